// The container's entries with the executable form handed in from this layer.
#include "vxpatch/packed_file.h"

#include "executable_form.h"

namespace vxpatch {

namespace {

constexpr ExecutableFormHooks kUnpackAnyForm{UnpackExecutableForm, nullptr};
constexpr ExecutableFormHooks kPackAnyForm{UnpackExecutableForm, PackExecutableForm};

}  // namespace

bool UnpackLzmaFile(const char* input_path, const char* output_path, size_t output_limit, bool* over_limit,
                    const ProgressFn& progress) {
  return UnpackContainerFile(input_path, output_path, kUnpackAnyForm, output_limit, over_limit, progress);
}

bool PackLzmaFile(const char* input_path, const char* output_path, bool preprocess) {
  return PackContainerFile(input_path, output_path, preprocess ? kPackAnyForm : kUnpackAnyForm);
}

bool UnpackLzmaStream(InputStream* packed, OutputStream* result, size_t output_limit) {
  return UnpackContainerStream(packed, result, kUnpackAnyForm, output_limit);
}

}  // namespace vxpatch
