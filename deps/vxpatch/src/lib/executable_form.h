// Directive 2 of the packed-file container, the executable form: unpacking and
// packing, handed to the container (container.h) as its ExecutableFormHooks by
// packed_file.cpp.
//
// Contract:
//  - UnpackExecutableForm: `payload` is positioned right after the container
//    header; places the unpacked file (at most `output_limit` bytes) into
//    `target` (vxdiff.h), which has not begun. The payload is decoded once,
//    front to back, and never held: each element's encoded program is held
//    while it is assembled and then dropped, and the final diff reads its
//    bytes from the block as they are decoded (a diff of an LZMA2 method,
//    which the packer never writes, is held first). What is held, with L
//    the output limit: the assembled elements, at most L together (a real
//    file's elements are parts of it); one program with the label tables
//    its assembly expands (four bytes an entry), which share
//    WorkLimit(L) (output_limit.h) with the assembled elements; the final
//    diff's control section, within what the elements left of WorkLimit(L).
//    A program whose ops alone would assemble past L is refused while it
//    arrives. When a limit is met the target is failed over its limit
//    (FailOverLimit) and the limit message logged.
//    Logs its own ERROR messages; the container checks the checksum
//    afterwards. `progress` follows the payload's bytes as they are read.
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
#include "vxdiff.h"

namespace vxpatch {

bool UnpackExecutableForm(InputStream* payload, DiffTarget* target, size_t output_limit,
                          const ProgressSpan& progress);
ExecutablePackResult PackExecutableForm(const uint8_t* data, size_t length, uint32_t checksum,
                                        OutputStream* packed);

}  // namespace vxpatch

#endif  // VXPATCH_EXECUTABLE_FORM_H
