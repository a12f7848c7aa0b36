// Read-only file mappings: inputs are read in place, never copied.
#include "mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace vxpatch {

MappedFile::~MappedFile() { Close(); }

bool MappedFile::Open(const char* path) {
  Close();
  if (!path) return false;
  const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return false;
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(descriptor);
    return false;
  }
  if (status.st_size == 0) {
    opened_empty_ = true;
    ::close(descriptor);
    return false;
  }
  if (static_cast<uint64_t>(status.st_size) > SIZE_MAX) {
    ::close(descriptor);
    return false;
  }
  const size_t length = static_cast<size_t>(status.st_size);
  // Every caller reads the whole file (a checksum at least), so its pages
  // are mapped at once rather than one fault at a time.
  void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, descriptor, 0);
  if (mapped == MAP_FAILED) {
    ::close(descriptor);
    return false;
  }
  ::madvise(mapped, length, MADV_NORMAL);
  descriptor_ = descriptor;
  data_ = static_cast<const uint8_t*>(mapped);
  length_ = length;
  return true;
}

void MappedFile::Close() {
  if (data_) ::munmap(const_cast<uint8_t*>(data_), length_);
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
  data_ = nullptr;
  length_ = 0;
  opened_empty_ = false;
}

void MappedFile::Evict() const {
  // A shared read-only file mapping loses nothing: its pages are the file's.
  if (data_) ::madvise(const_cast<uint8_t*>(data_), length_, MADV_DONTNEED);
}

uint8_t MappedFile::At(size_t offset) const {
  if (!data_) throw std::invalid_argument("No view mapped");
  if (offset >= length_) throw std::out_of_range("View is not large enough");
  return data_[offset];
}

}  // namespace vxpatch
