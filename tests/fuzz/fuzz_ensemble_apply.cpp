// Ensemble patches: input = old file and patch (fuzz_input.h).
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "streams.h"
#include "vxpatch/ensemble_patch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vxfuzz::TwoParts parts = vxfuzz::Split(data, size);
  vxpatch::InputStream old_file(parts.first, parts.first_size);
  vxpatch::InputStream patch(parts.second, parts.second_size);
  vxpatch::OutputStream result;
  vxpatch::ApplyEnsemblePatch(&old_file, &patch, &result, vxfuzz::kOutputLimit);
  return 0;
}
