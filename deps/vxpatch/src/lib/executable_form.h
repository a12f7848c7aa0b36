// Directive 2 of the packed-file container, the executable form: unpacking and
// packing, handed to the container (container.h) as its ExecutableFormHooks by
// packed_file.cpp.
//
// Contract:
//  - UnpackExecutableForm: `payload` is positioned right after the container
//    header; appends the unpacked file (at most `output_limit` bytes) to the
//    empty `result`. The decompressed payload and the assembled elements are
//    together limited to WorkLimit(output_limit); when one of them, or the
//    result, runs into its limit, `result` ends failed with LimitExceeded().
//    Programs are assembled from the payload where it lies (their operand
//    tables are not copied out).
//    Logs its own ERROR messages; the container checks the checksum
//    afterwards. `progress` follows the decoding, each element's assembly
//    and the final diff.
//  - PackExecutableForm: the whole input and its checksum; on kPacked `packed`
//    holds the complete container (header with directive 2 and payload);
//    kUsePlainForm sends the caller to the plain form (`packed` is then
//    empty; a fallback after a failure has logged "falling back to default
//    compression"); kFailed fails the packing.
#ifndef VXPATCH_EXECUTABLE_FORM_H
#define VXPATCH_EXECUTABLE_FORM_H

#include <cstddef>
#include <cstdint>

#include "container.h"
#include "streams.h"

namespace vxpatch {

bool UnpackExecutableForm(InputStream* payload, OutputStream* result, size_t output_limit,
                          const ProgressSpan& progress);
ExecutablePackResult PackExecutableForm(const uint8_t* data, size_t length, uint32_t checksum,
                                        OutputStream* packed);

}  // namespace vxpatch

#endif  // VXPATCH_EXECUTABLE_FORM_H
