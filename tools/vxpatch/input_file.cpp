#include "input_file.h"

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

}  // namespace vxtool
