// The engine's decoder of raw LZMA2 chunk streams (the data of an LZMA2
// block after its header), for streams that lie whole in memory, as mapped
// patches and containers do. It decodes what liblzma's raw LZMA2 decoder
// decodes, byte for byte, with the same checks, but copies a repeated match
// a run at a time instead of a byte at a time: the corrections of a patch
// after a small update are mostly long runs of zeros, which cost liblzma
// about a dozen instructions per byte.
//
// Contract:
//  - Start(window, data, size): the chunk stream at `data` (the memory must
//    outlive the decoder), decoded through a dictionary window of `window`
//    bytes (at least 4 KiB; rounded up to 16), which must hold every
//    distance the stream uses: the dictionary the block's properties byte
//    claims, or the block's size if that is smaller. False when there is no
//    memory for the window. The first chunk must reset the dictionary.
//  - Decode(to, count, &made): the next `count` bytes into `to`, or dropped
//    when `to` is null; *made receives how many were made, also on failure.
//    Returns kDone when all were made; kEnded when the end marker came first;
//    kDataError for data that does not decode (a bad chunk header or
//    properties, a distance beyond what was decoded, a chunk whose packed or
//    unpacked size disagrees with its data); kInputEnded when the stream is
//    cut off. A failure is final: every later call returns it again.
//  - Finish(&consumed): after the last wanted byte the end marker must come
//    next (kDone, *consumed: the input bytes of the whole stream); more data
//    is kDataError, no more input kInputEnded.
//  - Memory: the window plus about 30 KiB of probabilities. Not thread-safe;
//    nothing logs.
#ifndef VXPATCH_LZMA2_DECODER_H
#define VXPATCH_LZMA2_DECODER_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vxpatch {

class Lzma2Decoder {
 public:
  enum Result { kDone, kEnded, kDataError, kInputEnded };

  Lzma2Decoder();
  ~Lzma2Decoder();
  Lzma2Decoder(const Lzma2Decoder&) = delete;
  Lzma2Decoder& operator=(const Lzma2Decoder&) = delete;

  bool Start(size_t window, const uint8_t* data, size_t size);
  Result Decode(uint8_t* to, size_t count, size_t* made);
  Result Finish(size_t* consumed);

 private:
  struct Probabilities;
  Result ReadChunkHeader();
  // Decodes into the window up to `limit` (within the current chunk).
  Result DecodeSymbols(size_t limit);
  Result CopyStored(size_t limit);
  Result EndChunk() const;
  bool SetProperties(uint8_t properties);
  void ResetState();
  Result Fail(Result result);

  std::unique_ptr<uint8_t[]> window_;
  size_t window_size_ = 0;
  size_t pos_ = 0;   // next byte of the window to write
  size_t full_ = 0;  // bytes of the window that hold data
  std::unique_ptr<Probabilities> probabilities_;

  const uint8_t* input_ = nullptr;
  const uint8_t* in_ = nullptr;
  const uint8_t* input_end_ = nullptr;
  // The current chunk: its packed data ends at chunk_end_ (cut to the
  // input), chunk_left_ bytes of it remain to be made.
  const uint8_t* chunk_end_ = nullptr;
  bool chunk_cut_ = false;  // the input ends before the chunk's packed data does
  size_t chunk_left_ = 0;
  bool stored_ = false;
  bool need_dictionary_reset_ = true;
  bool need_properties_ = true;

  // The LZMA state between calls.
  uint32_t range_ = 0;
  uint32_t code_ = 0;
  uint32_t state_ = 0;
  uint32_t reps_[4] = {};
  uint32_t pending_ = 0;  // bytes of the last match still to be copied
  unsigned literal_context_bits_ = 0;
  unsigned literal_position_mask_ = 0;
  unsigned position_mask_ = 0;
  Result failure_ = kDone;
};

}  // namespace vxpatch

#endif  // VXPATCH_LZMA2_DECODER_H
