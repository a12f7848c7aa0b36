// Stand-in for the executable form until the executable layer provides it
// (see executable_form.h): packing falls back to the plain form, and a
// directive-2 container cannot be unpacked yet.
#include "engine_log.h"
#include "executable_form.h"

namespace vxpatch {

bool UnpackExecutableForm(InputStream*, OutputStream*) {
  LogError("executable form not supported by this build");
  return false;
}

ExecutablePackResult PackExecutableForm(const uint8_t*, size_t, uint32_t, OutputStream*) {
  return ExecutablePackResult::kUsePlainForm;
}

}  // namespace vxpatch
