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
//  - Peak memory. The inputs (old file, patch, container, diff) are mapped
//    and not counted here; the old file's pages are handed back to the page
//    cache once a patch's elements are encoded. Beyond them, with L the
//    output limit, O the old file's size, W liblzma's window of the block
//    being decoded (at most the smaller of the block's size and the
//    dictionary it claims: 64 MiB for every block the packer and the
//    generator write) and C about 6 MiB (the process, a staging buffer of
//    2 MiB and a piece of 1 MiB), the peak is at most:
//      unpacking a plain container to a file:   W + C (never the file)
//      unpacking the executable form to a file: W + A + P + R + C, where
//                                    A, the assembled elements (the final
//                                    diff's old side, read at random), is
//                                    at most L; P is the one encoded
//                                    program being assembled with the label
//                                    tables its assembly expands (4 bytes an
//                                    entry), later the final diff's control
//                                    section, and A + P <= WorkLimit(L); R,
//                                    what that program's assembly holds
//                                    beside A, is at most twice the
//                                    program's assembled bytes (4 bytes per
//                                    abs32 value written, and a PE
//                                    program's bytes after its relocation
//                                    table until the table is written).
//                                    Never the payload, never the file.
//      applying a diff to a file (vxpatch apply-diff): W + its control
//                                    section (within WorkLimit(N)) + C
//      applying a patch to a file:   W + the parse of one old element
//                                    + the buffers sharing the work limit,
//                                    <= 4 * (L + O) + 1 MiB (never the file)
//      the stream entries hold their result too: + L.
//    The buffers sharing one work limit: a diff's control section, and its
//    sections decoded whole (the split method when its blocks cannot be
//    found from their chunk headers); an executable form's held program
//    and assembled elements; a patch's held body streams (descriptions,
//    parameter correction, a correction in an LZMA2 method), corrected
//    parameters, encoded and corrected elements and reformed elements. The
//    diff and extra bytes of a raw correction, of a split diff and of a
//    joined diff are decoded as they are used and never held; a patch's
//    body may announce at most kBodyLimitFactor * (L + O) + 1 MiB. The
//    parse (instruction list and label tables) grows with the element and
//    depends on the old file only, which the caller chose, not on the
//    patch. An encoded program's ops come before its operands: a program
//    whose ops alone would assemble past L is refused while they arrive,
//    and every op costs at least one byte of the held program, so the work
//    of ops that emit nothing is bounded by P too. Real library patches
//    peak near three times the larger file plus a few MiB
//    (bench/run-apply); every hand-made bomb stays within a few MiB under
//    vxpatch's default limit, but for the executable form's program bomb,
//    which holds what it sends before its ops show it
//    (tests/deps/vxpatch/make_bombs.cpp, tests/fuzz/README.md).
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
