// Directive 2 of the packed-file container, the executable form: the seam
// between the container (this layer) and the executable layer above it.
//
// Declared here so that the container never includes the executable layer;
// defined by that layer in executable_form.cpp.
//
// Contract:
//  - UnpackExecutableForm: `payload` is positioned right after the container
//    header; appends the unpacked file to the empty `result`. Logs its own
//    ERROR messages; UnpackLzmaFile checks the checksum afterwards.
//  - PackExecutableForm: the whole input and its checksum; on kPacked `packed`
//    holds the complete container (header with directive 2 and payload);
//    kUsePlainForm sends the caller to the plain form (`packed` is then
//    empty; a fallback after a failure has logged "falling back to default
//    compression"); kFailed fails the packing.
#ifndef VXPATCH_EXECUTABLE_FORM_H
#define VXPATCH_EXECUTABLE_FORM_H

#include <cstddef>
#include <cstdint>

#include "streams.h"

namespace vxpatch {

enum class ExecutablePackResult { kPacked, kUsePlainForm, kFailed };

bool UnpackExecutableForm(InputStream* payload, OutputStream* result);
ExecutablePackResult PackExecutableForm(const uint8_t* data, size_t length, uint32_t checksum,
                                        OutputStream* packed);

}  // namespace vxpatch

#endif  // VXPATCH_EXECUTABLE_FORM_H
