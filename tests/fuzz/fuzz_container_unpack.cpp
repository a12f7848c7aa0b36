// Packed-file containers, both forms, as the updater unpacks downloads.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "streams.h"
#include "vxpatch/packed_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vxpatch::InputStream packed(data, size);
  vxpatch::OutputStream result;
  vxpatch::UnpackLzmaStream(&packed, &result, vxfuzz::kOutputLimit);
  return 0;
}
