// The packed-file container with every form: the engine's container with
// its executable form handed in. What the updater and the tools unpack and
// pack with.
//
// Contract:
//  - UnpackLzmaFile(input, output, output_limit): true only if the output
//    file was written completely and its checksum matched; nothing appears
//    at the output path otherwise, and an existing file there is replaced
//    on success. The file may have at most `output_limit` bytes: a container
//    that would produce more fails as soon as that shows. A failure logs one
//    ERROR naming its reason (the container's own contract lists them).
//  - PackLzmaFile(input, output, preprocess): writes a container; plain form
//    unless `preprocess` and the executable form applies (a fallback after a
//    failure of the executable form has logged "falling back to default
//    compression"). An empty input file packs to the container of no bytes.
//  - UnpackLzmaStream: the same from memory into `result`.
//  - Paths are narrow byte strings (UTF-8). Reentrant.
#ifndef VXPATCH_PACKED_FILE_H
#define VXPATCH_PACKED_FILE_H

#include <cstddef>

#include "vxpatch/limits.h"
#include "vxpatch/progress.h"

namespace vxpatch {

class InputStream;
class OutputStream;

// `over_limit`, when given, tells whether a failure was the limit's.
// `progress`, when not empty, is called as the unpacking goes (progress.h).
bool UnpackLzmaFile(const char* input_path, const char* output_path, size_t output_limit,
                    bool* over_limit = nullptr, const ProgressFn& progress = ProgressFn());
bool PackLzmaFile(const char* input_path, const char* output_path, bool preprocess);
bool UnpackLzmaStream(InputStream* packed, OutputStream* result, size_t output_limit);

}  // namespace vxpatch

#endif  // VXPATCH_PACKED_FILE_H
