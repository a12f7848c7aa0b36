// The container's entries with the executable form handed in from this layer.
#include "packed_file.h"

#include "executable_form.h"

namespace vxpatch {

namespace {

constexpr ExecutableFormHooks kUnpackAnyForm{UnpackExecutableForm, nullptr};
constexpr ExecutableFormHooks kPackAnyForm{UnpackExecutableForm, PackExecutableForm};

}  // namespace

bool UnpackLzmaFile(const char* input_path, const char* output_path) {
  return UnpackContainerFile(input_path, output_path, kUnpackAnyForm);
}

bool PackLzmaFile(const char* input_path, const char* output_path, bool preprocess) {
  return PackContainerFile(input_path, output_path, preprocess ? kPackAnyForm : kUnpackAnyForm);
}

bool UnpackLzmaStream(InputStream* packed, OutputStream* result) {
  return UnpackContainerStream(packed, result, kUnpackAnyForm);
}

}  // namespace vxpatch
