// The LZMA2 block's chunk stream, encoded whole or piece by piece.
//
// Blocks of more than two pieces (Lzma2Tuning::piece_bytes) are encoded
// piece by piece, each by an encoder of its own (so on as many threads as are
// free), and the chunk streams are joined into one. A piece's encoder starts
// from the quarter piece before it as its preset dictionary: its first chunk
// then resets state and properties but not the dictionary, so that its
// matches may reach into the bytes the decoder has just produced, and the
// joined stream is one ordinary LZMA2 stream that any decoder reads. What a
// piece loses is the older history and the adapted probabilities. The pieces
// depend on the data alone, never on the number of threads, so the block is
// the same on any machine.
//
// Contract: both append the chunks and the end marker to `output` and return
// false on any failure (out of memory included) without logging; the caller
// names the failure. Private to the block writer.
#ifndef VXPATCH_LZMA2_PIECE_ENCODER_H
#define VXPATCH_LZMA2_PIECE_ENCODER_H

#include <lzma.h>

#include <cstddef>
#include <cstdint>

#include "streams.h"

namespace vxpatch {

class ThreadBudget;

// data[0, length) in one piece, with the end marker.
bool EncodeChunks(const lzma_options_lzma& options, const uint8_t* data, size_t length, OutputStream* output);
// data[0, length) in pieces of `piece` bytes, on the caller's thread and as
// many of `threads` (may be null) as it lends.
bool EncodePieces(const lzma_options_lzma& options, const uint8_t* data, size_t length, size_t piece,
                  ThreadBudget* threads, OutputStream* output);

}  // namespace vxpatch

#endif  // VXPATCH_LZMA2_PIECE_ENCODER_H
