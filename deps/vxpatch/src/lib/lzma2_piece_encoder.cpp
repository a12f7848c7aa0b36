// The LZMA2 block's chunk stream, whole or in pieces (see
// lzma2_piece_encoder.h).
#include "lzma2_piece_encoder.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "lzma2_coder.h"
#include "vxpatch/thread_budget.h"

namespace vxpatch {
namespace {

constexpr size_t kEncoderOutputStep = size_t{64} << 10;

// An encoder kept across the pieces one thread encodes: started again with
// the same options, it keeps its match finder's tables, whose pages are then
// not handed out and zeroed afresh for every piece. Starting again resets all
// of its state, so a piece's chunks are the same as from a new encoder.
class PieceEncoder {
 public:
  PieceEncoder() { stream_.allocator = &kCoderAllocator; }
  ~PieceEncoder() { lzma_end(&stream_); }
  PieceEncoder(const PieceEncoder&) = delete;
  PieceEncoder& operator=(const PieceEncoder&) = delete;
  lzma_stream* stream() { return &stream_; }

 private:
  lzma_stream stream_ = LZMA_STREAM_INIT;
};

// Encodes data[start, end) as LZMA2 chunks onto `output`, primed with up to
// `prime` bytes before `start` (as far as the dictionary holds them); the end
// marker only when `last`.
bool EncodePiece(const lzma_options_lzma& block_options, const uint8_t* data, size_t start, size_t end,
                 size_t prime, bool last, PieceEncoder* encoder, OutputStream* output) {
  lzma_options_lzma options = block_options;
  prime = std::min({start, prime, size_t{options.dict_size}});
  if (prime > 0) {
    options.preset_dict = data + start - prime;
    options.preset_dict_size = static_cast<uint32_t>(prime);
  }
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream& stream = *encoder->stream();
  // Out of memory is an ordinary failure here, not an assertion.
  if (lzma_raw_encoder(&stream, filters) != LZMA_OK) return false;
  stream.next_in = data + start;
  stream.avail_in = end - start;
  lzma_ret result = LZMA_OK;
  while (result == LZMA_OK) {
    // Compressed sizes are unknown in advance: grow by doubling, as writes do.
    if (!output->EnsureSpare(kEncoderOutputStep)) break;
    stream.next_out = output->Spare();
    stream.avail_out = output->SpareCapacity();
    result = lzma_code(&stream, LZMA_FINISH);
    output->Commit(output->SpareCapacity() - stream.avail_out);
  }
  if (result != LZMA_STREAM_END) return false;
  // The end marker is the single zero control byte the encoder ends with.
  if (!last) {
    if (output->Length() == 0 || output->Buffer()[output->Length() - 1] != 0) return false;
    output->Truncate(output->Length() - 1);
  }
  return true;
}

}  // namespace

bool EncodeChunks(const lzma_options_lzma& options, const uint8_t* data, size_t length,
                  OutputStream* output) {
  PieceEncoder encoder;
  return EncodePiece(options, data, 0, length, 0, true, &encoder, output);
}

bool EncodePieces(const lzma_options_lzma& block_options, const uint8_t* data, size_t length, size_t piece,
                  ThreadBudget* threads, OutputStream* output) {
  lzma_options_lzma options = block_options;
  const size_t prime = piece / 4;
  // Matches never reach further back than the piece and its prime.
  options.dict_size = static_cast<uint32_t>(std::min<size_t>(options.dict_size, prime + piece));
  if (options.dict_size < LZMA_DICT_SIZE_MIN) options.dict_size = LZMA_DICT_SIZE_MIN;
  const size_t count = (length + piece - 1) / piece;
  std::vector<OutputStream> pieces(count);
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  const auto encode_one = [&](size_t i, PieceEncoder* encoder) {
    const size_t start = i * piece;
    try {
      if (!EncodePiece(options, data, start, std::min(length, start + piece), prime, i + 1 == count, encoder,
                       &pieces[i]))
        failed = true;
    } catch (const std::bad_alloc&) {
      failed = true;
    }
  };
  const auto encode = [&] {
    PieceEncoder encoder;
    for (size_t i = next++; i < count && !failed; i = next++) encode_one(i, &encoder);
  };
  // Helpers join while threads are free; the calling thread looks for one
  // before each piece it takes on, since others may give theirs back meanwhile.
  std::vector<std::thread> helpers;
  helpers.reserve(count);
  PieceEncoder own;
  for (;;) {
    while (threads && next < count && helpers.size() + 1 < count && threads->TryTake()) {
      try {
        helpers.emplace_back([&] {
          encode();
          threads->Give();
        });
      } catch (const std::system_error&) {
        threads->Give();
        break;
      }
    }
    const size_t i = next++;
    if (i >= count || failed) break;
    encode_one(i, &own);
  }
  for (std::thread& helper : helpers) helper.join();
  if (failed) return false;
  size_t total = 0;
  for (const OutputStream& encoded : pieces) total += encoded.Length();
  if (!output->Reserve(total)) return false;
  for (OutputStream& encoded : pieces) {
    if (!output->Append(&encoded)) return false;
    encoded.Retire();
  }
  return true;
}

}  // namespace vxpatch
