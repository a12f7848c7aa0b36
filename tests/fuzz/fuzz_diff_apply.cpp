// VXDIFF10 diffs, with and without header: input = old bytes and diff
// (fuzz_input.h); the low bit of the diff's first byte picks the header.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "vxdiff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vxfuzz::TwoParts parts = vxfuzz::Split(data, size);
  if (parts.second_size == 0) return 0;
  const bool header = (parts.second[0] & 1) != 0;
  vxpatch::InputStream old_stream(parts.first, parts.first_size);
  vxpatch::InputStream diff(parts.second + 1, parts.second_size - 1);
  vxpatch::OutputStream result;
  vxpatch::ApplyDiff(&old_stream, &diff, &result, header, vxfuzz::kOutputLimit);
  return 0;
}
