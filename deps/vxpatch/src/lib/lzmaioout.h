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
//    Memory while decoding: the output plus liblzma's dictionary window, which
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
#ifndef VXPATCH_LZMAIOOUT_H
#define VXPATCH_LZMAIOOUT_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "progress.h"
#include "streams.h"

namespace vxpatch {

class ThreadBudget;

bool ReadLzma2Block(InputStream* input, OutputStream* output);
// The same, advancing `progress` (may be null) by the bytes decoded while
// they come, so that a large block is reported as it goes.
bool ReadLzma2Block(InputStream* input, OutputStream* output, ProgressSpan* progress);
// The unpacked size announced by the block at the input's position (the
// input does not move); 0 when there is no readable block header.
uint32_t Lzma2BlockSize(const InputStream& input);
bool WriteLzma2Block(const uint8_t* data, size_t length, OutputStream* output);
// The same with the encoder's dictionary limited to `dictionary_limit` bytes
// (at least 4 KiB). The encoder needs about 10.5 bytes of memory per dictionary
// byte; data whose matches are near (diff sections) loses almost nothing.
bool WriteLzma2Block(const uint8_t* data, size_t length, OutputStream* output, uint32_t dictionary_limit);
// Encoder settings beyond the dictionary. Blocks written with any of them
// decode alike: the decoder takes the literal and position parameters from
// the data. The defaults are those of the writers above.
struct Lzma2Tuning {
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
bool WriteLzma2Block(const uint8_t* data, size_t length, OutputStream* output, const Lzma2Tuning& tuning);
// Encodes the input's remaining bytes; on success the input is at its end.
bool WriteLzma2Block(InputStream* input, OutputStream* output);

// The input bytes of the block at the input's position (header, chunks and
// end marker), found from the chunk headers without decoding: for callers
// that read several blocks lying one after the other at once. False when the
// chunks do not add up to a block of the announced size (decoding it reports
// what is wrong).
bool Lzma2BlockExtent(const InputStream& input, size_t* bytes);

// One block decoded piece by piece, for callers that use its bytes in order
// and need not hold them all: its memory is liblzma's dictionary window (at
// most the smaller of the block's size and the dictionary the properties
// byte claims), however large the block. Checks and messages are those of
// ReadLzma2Block: Open() refuses the header (a size over `limit` with the
// limit message and LimitExceeded()), Read() and Finish() log the decoder's
// failure once and fail from then on.
// Given a budget of threads, a block of a few MiB or more is decoded on one
// of them (while one is free), up to 2 MiB of bytes ahead of its reader and
// through stretches of zeros as far as they go (they take no memory): the
// same bytes, checks and messages, each message logged by the reader when
// it reaches the bytes concerned.
class Lzma2BlockReader {
 public:
  Lzma2BlockReader();
  ~Lzma2BlockReader();
  Lzma2BlockReader(const Lzma2BlockReader&) = delete;
  Lzma2BlockReader& operator=(const Lzma2BlockReader&) = delete;

  // The block at the input's position; the input must outlive the reader.
  bool Open(const InputStream& input, size_t limit);
  bool Open(const InputStream& input, size_t limit, ThreadBudget* threads);
  // Bytes the block announces, and those of them not yet read.
  size_t Size() const { return size_; }
  size_t Left() const { return left_; }
  // The next `count` (<= Left()) bytes into `to`, or dropped when `to` is
  // null.
  bool Read(uint8_t* to, size_t count);
  // The next bytes where the decoder ahead made them, up to `most`, without
  // a copy: *data points at them, or is null when they are all zero, until
  // the next call on the reader. Returns how many; 0 when there are none to
  // lend (no decoder ahead, or it failed: Read() then reports why).
  size_t Lend(const uint8_t** data, size_t most);
  // After the last byte: the end marker must follow. `consumed` receives the
  // input bytes of the whole block.
  bool Finish(size_t* consumed);
  bool Failed() const { return failed_; }
  bool LimitExceeded() const { return limit_exceeded_; }

 private:
  struct Decoder;
  struct Ahead;
  bool Fail(int code);
  void StopAhead();
  // Gives the decoder back the buffer of the piece last lent.
  void EndLoan();

  std::unique_ptr<Decoder> decoder_;
  // Declared after the decoder, so that it stops before the decoder goes.
  std::unique_ptr<Ahead> ahead_;
  size_t size_ = 0;
  size_t left_ = 0;
  size_t header_bytes_ = 0;
  bool failed_ = false;
  bool limit_exceeded_ = false;
};

}  // namespace vxpatch

#endif  // VXPATCH_LZMAIOOUT_H
