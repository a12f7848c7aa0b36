// A new file written in place, piece by piece at any offset, that appears
// under its name only when it is complete: what the file entry points write
// their results through, so that a result never has to be held whole in
// memory and a failure never leaves a partial file behind.
//
// Contract:
//  - Create(path) makes a temporary file beside `path` (same directory, so
//    that the final rename stays on one file system), with the permissions a
//    new file of the process gets.
//  - Write() puts bytes at an offset; Checksum(size) reads the first `size`
//    bytes back and returns their ComputeChecksum.
//  - Commit(size) sets the length to `size`, closes the file and renames it
//    to `path`, replacing what was there. Without a successful Commit the
//    temporary file is removed (Abandon(), or on destruction).
//  - WriteWholeFile writes a file at once, in place: true only if the file
//    could be created or truncated, all bytes were written and it was closed
//    without error; a file that cannot be opened is a failure whatever the
//    length. A partly written file is removed.
//  - Failures return false; nothing here logs.
#ifndef VXPATCH_OUTPUT_FILE_H
#define VXPATCH_OUTPUT_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vxpatch {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool Create(const char* path);
  bool Write(size_t offset, const uint8_t* data, size_t count);
  bool Checksum(size_t size, uint32_t* checksum) const;
  bool Commit(size_t size);
  void Abandon();

 private:
  int descriptor_ = -1;
  std::string path_;
  std::string temporary_;
};

[[nodiscard]] bool WriteWholeFile(const char* path, const uint8_t* data, size_t length);

}  // namespace vxpatch

#endif  // VXPATCH_OUTPUT_FILE_H
