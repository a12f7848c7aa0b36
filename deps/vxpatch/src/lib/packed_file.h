// The packed-file container with every form: the container (container.h)
// with the executable form of the executables layer (executable_form.h)
// handed in. What the updater and the tools unpack and pack with.
//
// Contract:
//  - UnpackLzmaFile(input, output, output_limit): UnpackContainerFile with
//    the executable form; same guarantees, limit and messages.
//  - PackLzmaFile(input, output, preprocess): writes a container; plain form
//    unless `preprocess` and the executable form applies (a fallback after a
//    failure of the executable form has logged "falling back to default
//    compression"). An empty input file packs to the container of no bytes.
//  - UnpackLzmaStream: UnpackContainerStream with the executable form.
#ifndef VXPATCH_PACKED_FILE_H
#define VXPATCH_PACKED_FILE_H

#include "container.h"
#include "streams.h"

namespace vxpatch {

// `over_limit`, when given, tells whether a failure was the limit's.
// `progress`, when not empty, is called as the unpacking goes (progress.h).
bool UnpackLzmaFile(const char* input_path, const char* output_path, size_t output_limit,
                    bool* over_limit = nullptr, const ProgressFn& progress = ProgressFn());
bool PackLzmaFile(const char* input_path, const char* output_path, bool preprocess);
bool UnpackLzmaStream(InputStream* packed, OutputStream* result, size_t output_limit);

}  // namespace vxpatch

#endif  // VXPATCH_PACKED_FILE_H
