// Reading a whole input file for a command: mapped, and an empty file is an
// empty stream rather than a failure.
#ifndef VXPATCH_TOOL_INPUT_FILE_H
#define VXPATCH_TOOL_INPUT_FILE_H

#include <string>

#include "mapped_file.h"
#include "streams.h"

namespace vxtool {

// On failure reports "cannot read '<path>'" and returns false.
bool OpenInput(const std::string& path, vxpatch::MappedFile* file, vxpatch::InputStream* stream);

// The size of a file, 0 when it cannot be read (the command then reports
// that itself).
size_t FileSize(const std::string& path);

}  // namespace vxtool

#endif  // VXPATCH_TOOL_INPUT_FILE_H
