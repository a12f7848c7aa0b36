// A read-only, shared memory mapping of a whole file.
//
// Contract:
//  - Open() maps the whole file read-only; the view is valid only if the mapping
//    succeeded. An empty file cannot be mapped and so is never valid; use
//    OpenedEmpty() to tell "exists but is empty" from "cannot be opened".
//  - The mapping and descriptor are released by Close() and on destruction.
//  - Evict() hands the mapped pages back to the page cache: the view stays
//    valid and what is read again is faulted in again. For callers that are
//    done with most of the file for a while.
//  - At() is the bounds-tested byte access: an invalid view throws
//    std::invalid_argument("No view mapped"), an offset at or beyond the length
//    std::out_of_range("View is not large enough").
#ifndef VXPATCH_MAPPED_FILE_H
#define VXPATCH_MAPPED_FILE_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool Open(const char* path);
  void Close();

  bool Valid() const { return data_ != nullptr; }
  // True after an Open() that failed only because the file has no bytes.
  bool OpenedEmpty() const { return opened_empty_; }
  const uint8_t* Data() const { return data_; }
  size_t Length() const { return length_; }
  uint8_t At(size_t offset) const;
  void Evict() const;

 private:
  int descriptor_ = -1;
  const uint8_t* data_ = nullptr;
  size_t length_ = 0;
  bool opened_empty_ = false;
};

}  // namespace vxpatch

#endif  // VXPATCH_MAPPED_FILE_H
