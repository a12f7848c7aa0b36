// Results written beside their final name and renamed into place.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "checksum.h"

namespace vxpatch {

OutputFile::~OutputFile() { Abandon(); }

bool OutputFile::Create(const char* path) {
  Abandon();
  if (!path || !*path) return false;
  path_ = path;
  // Created like any new file of the process (0666 less the umask, which the
  // kernel applies), under a name no one else uses.
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".partial-%ld-%u", static_cast<long>(::getpid()), serial++);
    const std::string name = path_ + suffix;
    const int descriptor = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor >= 0) {
      descriptor_ = descriptor;
      temporary_ = name;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool OutputFile::Write(size_t offset, const uint8_t* data, size_t count) {
  if (descriptor_ < 0) return false;
  while (count > 0) {
    const ssize_t written = ::pwrite(descriptor_, data, count, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    offset += static_cast<size_t>(written);
    count -= static_cast<size_t>(written);
  }
  return true;
}

bool OutputFile::Checksum(size_t size, uint32_t* checksum) const {
  if (descriptor_ < 0) return false;
  std::vector<uint8_t> chunk(size < (size_t{1} << 20) ? size : size_t{1} << 20);
  uint32_t crc = 0;
  size_t offset = 0;
  while (offset < size) {
    const size_t want = size - offset < chunk.size() ? size - offset : chunk.size();
    const ssize_t got = ::pread(descriptor_, chunk.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    crc = UpdateCrc32(crc, chunk.data(), static_cast<size_t>(got));
    offset += static_cast<size_t>(got);
  }
  // As ComputeChecksum: the register before its final inversion, 0 for no
  // bytes.
  *checksum = size == 0 ? 0 : ~crc;
  return true;
}

bool OutputFile::Commit(size_t size) {
  if (descriptor_ < 0) return false;
  const bool written = ::ftruncate(descriptor_, static_cast<off_t>(size)) == 0;
  // close reports write errors that were kept back (a full disk on NFS).
  const bool closed = ::close(descriptor_) == 0;
  descriptor_ = -1;
  if (!written || !closed || std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    std::remove(temporary_.c_str());
    temporary_.clear();
    return false;
  }
  temporary_.clear();
  return true;
}

void OutputFile::Abandon() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
  if (!temporary_.empty()) std::remove(temporary_.c_str());
  temporary_.clear();
}

bool WriteWholeFile(const char* path, const uint8_t* data, size_t length) {
  if (!path) return false;
  std::FILE* file = std::fopen(path, "wb");
  if (!file) return false;
  const size_t written = length == 0 ? 0 : std::fwrite(data, 1, length, file);
  // fclose reports write errors that buffering kept back (a full disk).
  const bool closed = std::fclose(file) == 0;
  if (written != length || !closed) {
    std::remove(path);
    return false;
  }
  return true;
}

}  // namespace vxpatch
