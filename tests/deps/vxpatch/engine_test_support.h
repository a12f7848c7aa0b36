// Helpers shared by the engine tests: capturing engine log messages, temporary
// directories and whole-file reads and writes.
#ifndef VXPATCH_TEST_ENGINE_TEST_SUPPORT_H
#define VXPATCH_TEST_ENGINE_TEST_SUPPORT_H

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "log.h"
#include "streams.h"

namespace vxtest {

using Bytes = std::vector<uint8_t>;

// Collects the messages of ERROR and worse while it lives.
class LogCapture {
 public:
  LogCapture() {
    handle_ = voxlog::EngineLog::AddSink([this](const voxlog::LogRecord& record) {
      if (record.level <= voxlog::LOG_ERROR) messages_.push_back(record.message);
    });
  }
  ~LogCapture() { voxlog::EngineLog::RemoveSink(handle_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<std::string>& Messages() const { return messages_; }
  std::string Last() const { return messages_.empty() ? std::string() : messages_.back(); }
  void Clear() { messages_.clear(); }

 private:
  int handle_ = 0;
  std::vector<std::string> messages_;
};

// A fresh directory under /tmp, removed with its contents at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/vxpatch-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "";
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& Path() const { return path_; }
  bool Valid() const { return !path_.empty(); }

 private:
  std::string path_;
};

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

inline bool FileExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0;
}

// The names in a directory, "." and ".." left out.
inline std::vector<std::string> DirectoryEntries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

inline Bytes Content(const vxpatch::OutputStream& stream) {
  return Bytes(stream.Buffer(), stream.Buffer() + stream.Length());
}

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Deterministic bytes of moderate compressibility.
inline Bytes SampleBytes(size_t length, uint32_t seed) {
  Bytes bytes(length);
  uint32_t state = seed * 2654435761u + 1;
  for (size_t index = 0; index < length; ++index) {
    state = state * 1103515245u + 12345u;
    bytes[index] = static_cast<uint8_t>((index % 7 == 0) ? (state >> 24) : (index / 13));
  }
  return bytes;
}

}  // namespace vxtest

#endif  // VXPATCH_TEST_ENGINE_TEST_SUPPORT_H
