// Output limits: every unpack, diff application and patch application takes
// the most bytes its output may have from its caller and fails as soon as the
// output would pass it, so a small hostile input cannot make the engine
// produce (or hold) gigabytes.
//
// Contract:
//  - WorkLimit(output_limit) is the limit of the buffers an operation builds
//    on the way to an output of at most `output_limit` bytes (decoded LZMA2
//    sections and bodies, encoded and assembled programs), together: four
//    times the output plus 1 MiB, saturating at kNoOutputLimit. What valid
//    inputs hold there stays well below it (diff sections add up to the
//    output plus their control triples; an encoded program is about the size
//    of its element).
//  - What each operation holds at its peak, and which buffers share one
//    work limit: docs/ensemble-patches.md, "Peak memory".
//  - LogOutputLimit logs the one ERROR every limit failure carries:
//    "output would exceed the limit of <n> bytes".
#ifndef VXPATCH_OUTPUT_LIMIT_H
#define VXPATCH_OUTPUT_LIMIT_H

#include <cstddef>

#include "streams.h"

namespace vxpatch {

constexpr size_t kWorkLimitFactor = 4;
constexpr size_t kWorkLimitSlack = size_t{1} << 20;

// An ensemble patch's body may take this share of its work limit.
constexpr size_t kBodyLimitFactor = 2;

size_t WorkLimit(size_t output_limit);
// factor * bytes + kWorkLimitSlack, saturating at kNoOutputLimit.
size_t ScaledLimit(size_t bytes, size_t factor);
// a + b, or kNoOutputLimit when that overflows.
size_t SaturatingAdd(size_t a, size_t b);
void LogOutputLimit(size_t limit);

}  // namespace vxpatch

#endif  // VXPATCH_OUTPUT_LIMIT_H
