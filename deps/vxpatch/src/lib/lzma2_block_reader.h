// One LZMA2 block (lzmaioout.h) decoded piece by piece, for callers that use
// its bytes in order and need not hold them all: its memory is the decoder's
// dictionary window (at most the smaller of the block's size and the
// dictionary the properties byte claims), however large the block. Checks
// and messages are those of ReadLzma2Block: Open() refuses the header (a size
// over `limit` with the limit message and LimitExceeded()), Read() and
// Finish() log the decoder's failure once and fail from then on.
// Given a budget of threads, a block of a few MiB or more is decoded on one
// of them (while one is free), up to 2 MiB of bytes ahead of its reader and
// through stretches of zeros as far as they go (they take no memory): the
// same bytes, checks and messages, each message logged by the reader when
// it reaches the bytes concerned.
#ifndef VXPATCH_LZMA2_BLOCK_READER_H
#define VXPATCH_LZMA2_BLOCK_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "streams.h"

namespace vxpatch {

class ThreadBudget;

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

#endif  // VXPATCH_LZMA2_BLOCK_READER_H
