// The LZMA2 block: the compressed unit of packed files, ensemble patches and
// diffs. Layout: one LZMA2 dictionary-size properties byte (0..40), the
// unpacked size as an unsigned varint (32-bit), then a raw LZMA2 chunk stream
// up to and including its end marker. The block stores no compressed length:
// it ends where the decoder stops.
//
// Contract:
//  - ReadLzma2Block decodes the block at the input's position and appends
//    exactly the announced number of bytes to `output`. On success the input
//    moves past the block; on failure the input position and the output length
//    are unchanged, and one ERROR is logged: "Error read LZMA2 properties",
//    "Error read LZMA2 unpack size", "unable to allocate sink space" (output
//    failed or allocation failed), or "Error uncompressing data <code>" with the
//    decoder result as the LZMA SDK numbers it: 0 the data ended before the
//    announced size, 1 data error (also: more data than announced), 2 out of
//    memory, 4 unsupported properties, 6 input ended early (also: an announced
//    size the remaining input cannot possibly produce).
//  - The output's limit (OutputStream::SetLimit) is honoured: a block that
//    announces more than the output may still take fails at once with "output
//    would exceed the limit of <n> bytes", before anything is decoded, and
//    leaves the output failed with LimitExceeded().
//  - Nothing is reserved for the announced size: the output grows with the
//    bytes the decoder actually produces (doubling from 64 KiB), so a block
//    that announces gigabytes and holds little costs little. An announced
//    size that the remaining input cannot produce is refused outright (every
//    LZMA2 chunk takes at least 6 input bytes and yields at most 2 MiB).
//    Memory while decoding: the output plus the decoder's window, which
//    is at most the smaller of the announced size and the dictionary the
//    properties byte claims.
//  - WriteLzma2Block appends one block encoding the given bytes (compression
//    level 9, its dictionary no larger than the data). Inputs of 4 GiB or
//    more are refused. Blocks beyond two pieces (16 MiB unless tuned) are
//    encoded piece by piece, on as many threads as the tuning's budget lends;
//    each piece's encoder is primed with the quarter piece before it, so the
//    pieces join into one ordinary chunk stream, the same whatever the number
//    of threads. Failures log
//    "Error Lzma2Enc_SetProps" or "Error Lzma2Enc_Encode" and return false.
//  - Reentrant.
// lzma2_block_reader.h reads a block piece by piece instead of at once.
#ifndef VXPATCH_LZMAIOOUT_H
#define VXPATCH_LZMAIOOUT_H

#include <cstddef>
#include <cstdint>

#include "streams.h"
#include "vxpatch/progress.h"

namespace vxpatch {

class ThreadBudget;

// Advances `progress` (may be null) by the bytes decoded while they come, so
// that a large block is reported as it goes.
bool ReadLzma2Block(InputStream* input, OutputStream* output, ProgressSpan* progress = nullptr);
// The unpacked size announced by the block at the input's position (the
// input does not move); 0 when there is no readable block header.
uint32_t Lzma2BlockSize(const InputStream& input);
// Encoder settings. Blocks written with any of them decode alike: the
// decoder takes the literal and position parameters from the data.
struct Lzma2Tuning {
  // The encoder's dictionary at most (at least 4 KiB). The encoder needs
  // about 10.5 bytes of memory per dictionary byte; data whose matches are
  // near (diff sections) loses almost nothing.
  uint32_t dictionary_limit = UINT32_MAX;
  bool extreme = false;  // slower and a little denser
  uint32_t literal_context_bits = 3;
  uint32_t position_bits = 2;
  // Blocks of more than two pieces are encoded piece by piece (at least
  // 64 KiB each), each primed with the quarter piece before it.
  size_t piece_bytes = size_t{16} << 20;
  // Threads that a large block may take for its pieces besides the caller's
  // (none if null); the block's bytes do not depend on them.
  ThreadBudget* threads = nullptr;
};
bool WriteLzma2Block(const uint8_t* data, size_t length, OutputStream* output,
                     const Lzma2Tuning& tuning = Lzma2Tuning());

// The input bytes of the block at the input's position (header, chunks and
// end marker), found from the chunk headers without decoding: for callers
// that read several blocks lying one after the other at once. False when the
// chunks do not add up to a block of the announced size (decoding it reports
// what is wrong).
bool Lzma2BlockExtent(const InputStream& input, size_t* bytes);

}  // namespace vxpatch

#endif  // VXPATCH_LZMAIOOUT_H
