#include "input_file.h"

#include <sys/stat.h>

#include "commands.h"

namespace vxtool {

bool OpenInput(const std::string& path, vxpatch::MappedFile* file, vxpatch::InputStream* stream) {
  if (!file->Open(path.c_str()) && !file->OpenedEmpty()) {
    ReportError("cannot read '" + path + "'");
    return false;
  }
  stream->Init(file->Data(), file->Length());
  return true;
}

size_t FileSize(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || status.st_size < 0) return 0;
  return static_cast<size_t>(status.st_size);
}

}  // namespace vxtool
