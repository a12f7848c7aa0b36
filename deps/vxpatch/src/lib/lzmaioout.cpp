// LZMA2 blocks on liblzma's raw LZMA2 coder. liblzma's results are translated
// into the LZMA SDK's numbering, which is what the log messages have always
// carried.
#include "lzmaioout.h"

#include <lzma.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "big_buffer.h"
#include "engine_log.h"
#include "output_limit.h"
#include "thread_budget.h"

namespace vxpatch {
namespace {

// LZMA SDK result codes as they appear in "Error uncompressing data <code>".
enum SdkResult : int {
  SDK_OK = 0,
  SDK_ERROR_DATA = 1,
  SDK_ERROR_MEM = 2,
  SDK_ERROR_UNSUPPORTED = 4,
  SDK_ERROR_INPUT_EOF = 6,
};

constexpr uint8_t kMaxDictionaryProperty = 40;
constexpr uint64_t kMaxChunkOutput = uint64_t{2} << 20;
constexpr uint64_t kMinChunkInput = 6;
constexpr size_t kEncoderOutputStep = size_t{64} << 10;
// First growth of a decoded block's output; later growth doubles.
constexpr size_t kDecodeStep = size_t{64} << 10;
// Smallest piece of a block encoded in pieces: below it the cost of starting
// an encoder outweighs anything.
constexpr size_t kMinPiece = size_t{64} << 10;

// The decoder's dictionary is as large as the block's output (up to the
// dictionary size) and written once, front to back, like a large output
// buffer; an encoder's match finder is reached at random all over its
// tables. Both ask for huge pages: one fault per 2 MiB instead of one per
// 4 KiB page, and far fewer misses of the address translation cache.
void* AllocateForCoder(void*, size_t count, size_t size) {
  if (size != 0 && count > std::numeric_limits<size_t>::max() / size) return nullptr;
  const size_t bytes = count * size;
  void* memory = std::malloc(bytes);
  if (memory) AdviseHugePages(memory, bytes);
  return memory;
}

void FreeForCoder(void*, void* memory) { std::free(memory); }

const lzma_allocator kCoderAllocator = {AllocateForCoder, FreeForCoder, nullptr};

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

uint32_t DictionarySizeFromProperty(uint8_t property) {
  if (property == kMaxDictionaryProperty) return std::numeric_limits<uint32_t>::max();
  return (2u | (property & 1u)) << (property / 2 + 11);
}

// The most bytes an LZMA2 chunk stream of `input_bytes` can decode to. Valid
// blocks never exceed it; it keeps a few bytes from reserving gigabytes.
uint64_t MaxDecodableSize(size_t input_bytes) {
  return (static_cast<uint64_t>(input_bytes) / kMinChunkInput + 1) * kMaxChunkOutput;
}

void LogDecodeFailure(int code) {
  char message[48];
  std::snprintf(message, sizeof message, "Error uncompressing data %d", code);
  LogError(message);
}

int SdkCodeFor(lzma_ret result, const lzma_stream& stream) {
  switch (result) {
    case LZMA_MEM_ERROR:
      return SDK_ERROR_MEM;
    case LZMA_OPTIONS_ERROR:
      return SDK_ERROR_UNSUPPORTED;
    case LZMA_BUF_ERROR:
      // No progress possible: either the input ran out (also when the output is
      // complete but the end marker is missing), or the output space (the
      // announced size) is used up while the data goes on.
      return stream.avail_in == 0 ? SDK_ERROR_INPUT_EOF : SDK_ERROR_DATA;
    default:
      return SDK_ERROR_DATA;
  }
}

// Decodes the block's data from `input` onto `output`, `unpacked_size` bytes
// at most. The output grows with what the decoder produces (doubling, from a
// small first step), never by the announced size at once: a block that
// announces gigabytes and ends early costs only what it really held. Returns
// an SDK code; on SDK_OK *consumed and *produced are set. On failure the
// output keeps its length (or is failed, when it could not grow).
// A raw LZMA2 decoder for a block of `unpacked_size` bytes.
lzma_ret StartDecoder(uint8_t properties, size_t unpacked_size, lzma_stream* stream) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 0)) return LZMA_OPTIONS_ERROR;
  // Output never refers back further than what was produced, so a dictionary
  // of the output's size decodes every valid block, whatever the properties
  // byte claims, without reserving the claimed (up to 4 GiB) dictionary.
  const uint64_t claimed = DictionarySizeFromProperty(properties);
  const uint64_t needed = unpacked_size < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : unpacked_size;
  options.dict_size = static_cast<uint32_t>(claimed < needed ? claimed : needed);
  if (options.dict_size < LZMA_DICT_SIZE_MIN) options.dict_size = LZMA_DICT_SIZE_MIN;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  *stream = LZMA_STREAM_INIT;
  stream->allocator = &kCoderAllocator;
  return lzma_raw_decoder(stream, filters);
}

int DecodeRaw(uint8_t properties, const InputStream& input, size_t unpacked_size, OutputStream* output,
              size_t* consumed, size_t* produced, ProgressSpan* progress) {
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_ret result = StartDecoder(properties, unpacked_size, &stream);
  if (result != LZMA_OK) return SdkCodeFor(result, stream);
  stream.next_in = input.Current();
  stream.avail_in = input.Remaining();
  const size_t base = output->Length();
  size_t done = 0;
  int code = SDK_OK;
  for (;;) {
    const size_t wanted = unpacked_size - done;
    if (wanted > 0 && !output->EnsureSpare(wanted < kDecodeStep ? wanted : kDecodeStep)) {
      code = SDK_ERROR_MEM;
      break;
    }
    size_t room = output->SpareCapacity() < wanted ? output->SpareCapacity() : wanted;
    // Decoding in steps of a report lets a watcher see a large block move.
    if (progress && progress->Active() && room > kProgressStep) room = kProgressStep;
    stream.next_out = output->Spare();
    stream.avail_out = room;
    result = lzma_code(&stream, LZMA_FINISH);
    const size_t filled = room - stream.avail_out;
    output->Commit(filled);
    done += filled;
    if (progress) progress->Advance(filled);
    if (result == LZMA_STREAM_END) break;
    if (result != LZMA_OK) {
      code = SdkCodeFor(result, stream);
      break;
    }
  }
  *consumed = input.Remaining() - stream.avail_in;
  *produced = done;
  lzma_end(&stream);
  if (code != SDK_OK && !output->Failed()) output->Truncate(base);
  return code;
}

// The block header: properties byte and announced size.
bool ReadBlockHeader(InputStream* input, uint8_t* properties, uint32_t* unpacked_size) {
  if (!input->ReadByte(properties)) {
    LogError("Error read LZMA2 properties");
    return false;
  }
  if (!input->ReadUVarint(unpacked_size)) {
    LogError("Error read LZMA2 unpack size");
    return false;
  }
  return true;
}

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
// Encodes data[start, end) as LZMA2 chunks onto `output`, primed with up to
// `prime` bytes before `start` (as far as the dictionary holds them); the end
// marker only when `last`.
bool EncodeChunks(const lzma_options_lzma& block_options, const uint8_t* data, size_t start, size_t end,
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

// Refusals that need no decoding: properties beyond the format, a size that
// the remaining input cannot produce.
bool PlausibleBlock(uint8_t properties, uint32_t unpacked_size, const InputStream& rest) {
  if (properties > kMaxDictionaryProperty) {
    LogDecodeFailure(SDK_ERROR_UNSUPPORTED);
    return false;
  }
  if (unpacked_size > MaxDecodableSize(rest.Remaining())) {
    LogDecodeFailure(SDK_ERROR_INPUT_EOF);
    return false;
  }
  return true;
}

bool EncodeChunks(const lzma_options_lzma& options, const uint8_t* data, size_t length, bool last,
                  OutputStream* output) {
  PieceEncoder encoder;
  return EncodeChunks(options, data, 0, length, 0, last, &encoder, output);
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
      if (!EncodeChunks(options, data, start, std::min(length, start + piece), prime, i + 1 == count, encoder,
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

}  // namespace

bool ReadLzma2Block(InputStream* input, OutputStream* output) {
  return ReadLzma2Block(input, output, nullptr);
}

uint32_t Lzma2BlockSize(const InputStream& input) {
  InputStream header = input;
  uint8_t properties = 0;
  uint32_t unpacked_size = 0;
  if (!header.ReadByte(&properties) || !header.ReadUVarint(&unpacked_size)) return 0;
  return unpacked_size;
}

bool ReadLzma2Block(InputStream* input, OutputStream* output, ProgressSpan* progress) {
  const InputStream start = *input;
  uint8_t properties = 0;
  uint32_t unpacked_size = 0;
  if (!ReadBlockHeader(input, &properties, &unpacked_size)) {
    *input = start;
    return false;
  }
  if (output->Failed()) {
    *input = start;
    LogError("unable to allocate sink space");
    return false;
  }
  // Refused before anything is decoded: the announced size is what the block
  // must produce, so a block beyond the limit can only fail.
  if (!output->WithinLimit(unpacked_size)) {
    *input = start;
    LogOutputLimit(output->Limit());
    return false;
  }
  if (!PlausibleBlock(properties, unpacked_size, *input)) {
    *input = start;
    return false;
  }
  size_t consumed = 0;
  size_t produced = 0;
  const int code = DecodeRaw(properties, *input, unpacked_size, output, &consumed, &produced, progress);
  if (code == SDK_ERROR_MEM && output->Failed()) {
    *input = start;
    LogError("unable to allocate sink space");
    return false;
  }
  if (code != SDK_OK || produced != unpacked_size) {
    if (code == SDK_OK) output->Truncate(output->Length() - produced);
    *input = start;
    LogDecodeFailure(code);
    return false;
  }
  input->Skip(consumed);
  return true;
}

bool WriteLzma2Block(const uint8_t* data, size_t length, OutputStream* output) {
  return WriteLzma2Block(data, length, output, std::numeric_limits<uint32_t>::max());
}

bool WriteLzma2Block(const uint8_t* data, size_t length, OutputStream* output, uint32_t dictionary_limit) {
  Lzma2Tuning tuning;
  tuning.dictionary_limit = dictionary_limit;
  return WriteLzma2Block(data, length, output, tuning);
}

bool WriteLzma2Block(const uint8_t* data, size_t length, OutputStream* output, const Lzma2Tuning& tuning) {
  if (length > std::numeric_limits<uint32_t>::max()) {
    LogError("Error Lzma2Enc_Encode");
    return false;
  }
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 9 | (tuning.extreme ? LZMA_PRESET_EXTREME : 0))) {
    LogError("Error Lzma2Enc_SetProps");
    return false;
  }
  options.lc = tuning.literal_context_bits;
  options.pb = tuning.position_bits;
  // A dictionary larger than the data gains nothing and costs the encoder about
  // ten bytes of memory per dictionary byte (and the decoder the dictionary).
  if (options.dict_size > length) options.dict_size = static_cast<uint32_t>(length);
  if (options.dict_size > tuning.dictionary_limit) options.dict_size = tuning.dictionary_limit;
  if (options.dict_size < LZMA_DICT_SIZE_MIN) options.dict_size = LZMA_DICT_SIZE_MIN;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  uint32_t properties_size = 0;
  uint8_t properties = 0;
  if (lzma_properties_size(&properties_size, &filters[0]) != LZMA_OK || properties_size != 1 ||
      lzma_properties_encode(&filters[0], &properties) != LZMA_OK) {
    LogError("Error Lzma2Enc_SetProps");
    return false;
  }
  if (!output->WriteByte(properties) || !output->WriteSizeUVarint(length)) {
    LogError("Error Lzma2Enc_Encode");
    return false;
  }
  const size_t piece = std::max(tuning.piece_bytes, kMinPiece);
  const bool written = length / 2 > piece ? EncodePieces(options, data, length, piece, tuning.threads, output)
                                          : EncodeChunks(options, data, length, true, output);
  if (!written) LogError("Error Lzma2Enc_Encode");
  return written;
}

bool WriteLzma2Block(InputStream* input, OutputStream* output) {
  if (!WriteLzma2Block(input->Current(), input->Remaining(), output)) return false;
  input->Skip(input->Remaining());
  return true;
}

bool Lzma2BlockExtent(const InputStream& input, size_t* bytes) {
  InputStream in = input;
  uint8_t properties = 0;
  uint32_t unpacked_size = 0;
  if (!in.ReadByte(&properties) || !in.ReadUVarint(&unpacked_size)) return false;
  uint64_t total = 0;
  for (;;) {
    // Chunk headers: 0 the end; 1 and 2 a stored chunk (size - 1 in two
    // bytes); 0x80 and up an LZMA chunk (unpacked size - 1 in the low five
    // bits and two bytes, packed size - 1 in two bytes, a properties byte
    // from 0xC0 on).
    uint8_t control = 0;
    uint8_t sizes[4] = {};
    if (!in.ReadByte(&control)) return false;
    if (control == 0) break;
    if (control == 1 || control == 2) {
      if (!in.Read(sizes, 2)) return false;
      const size_t stored = ((size_t{sizes[0]} << 8) | sizes[1]) + 1;
      if (!in.Skip(stored)) return false;
      total += stored;
      continue;
    }
    if (control < 0x80 || !in.Read(sizes, 4)) return false;
    total += ((size_t{control & 0x1Fu} << 16) | (size_t{sizes[0]} << 8) | sizes[1]) + 1;
    const size_t packed = ((size_t{sizes[2]} << 8) | sizes[3]) + 1;
    if ((control >= 0xC0 && !in.Skip(1)) || !in.Skip(packed)) return false;
  }
  if (total != unpacked_size) return false;
  *bytes = in.Position();
  return true;
}

// ------------------------------------------------------------ Lzma2BlockReader

namespace {

// A decoder's outcome: the bytes were made, or the SDK code of its failure.
constexpr int kDecoded = -1;
// Decoding ahead: pieces of this size, at most this many holding bytes made
// and not yet read, so that the decoder runs ahead of its reader by 2 MiB
// of bytes at most. A piece of zeros only (most of a correction after a
// small update) is kept as its size alone and holds no buffer: through
// such stretches the decoder runs ahead as far as they go, while its
// reader is still busy with an earlier step.
constexpr size_t kAheadPiece = size_t{64} << 10;
constexpr size_t kAheadPieces = 32;
// Smaller blocks are decoded by their reader: a thread would cost more than
// it saves.
constexpr size_t kAheadMinimum = size_t{4} << 20;

}  // namespace

struct Lzma2BlockReader::Decoder {
  lzma_stream stream = LZMA_STREAM_INIT;
  size_t input_bytes = 0;
  bool ended = false;
  ~Decoder() { lzma_end(&stream); }

  // The next `count` bytes into `to` (dropped when null); *made receives
  // how many of them were made before a failure.
  int Produce(uint8_t* to, size_t count, size_t* made) {
    uint8_t scratch[size_t{16} << 10];
    *made = 0;
    while (count > 0) {
      const size_t part = to ? count : (count < sizeof scratch ? count : sizeof scratch);
      stream.next_out = to ? to : scratch;
      stream.avail_out = part;
      while (stream.avail_out > 0) {
        // The end marker is read with the last bytes when it follows them.
        const lzma_ret result = ended ? LZMA_STREAM_END : lzma_code(&stream, LZMA_FINISH);
        ended = result == LZMA_STREAM_END;
        if (result == LZMA_OK || (ended && stream.avail_out == 0)) continue;
        *made += part - stream.avail_out;
        // The data ended before the announced size, or could not be decoded.
        return ended ? SDK_OK : SdkCodeFor(result, stream);
      }
      if (to) to += part;
      *made += part;
      count -= part;
    }
    return kDecoded;
  }

  // After the last byte: the end marker must follow. *consumed: the input
  // bytes after the block header.
  int End(size_t* consumed) {
    stream.next_out = nullptr;
    stream.avail_out = 0;
    lzma_ret result = ended ? LZMA_STREAM_END : LZMA_OK;
    // Without room for output the decoder can still read the end marker; data
    // beyond the announced size shows as no progress.
    while (result == LZMA_OK) result = lzma_code(&stream, LZMA_FINISH);
    if (result != LZMA_STREAM_END) return SdkCodeFor(result, stream);
    *consumed = input_bytes - stream.avail_in;
    return kDecoded;
  }
};

// True when the `size` bytes are all zero; a piece with data stops at its
// first words.
bool AllZero(const uint8_t* bytes, size_t size) {
  size_t i = 0;
  for (; size - i >= 64; i += 64) {
    uint64_t any = 0;
    for (size_t word = 0; word < 64; word += 8) {
      uint64_t value = 0;
      std::memcpy(&value, bytes + i + word, 8);
      any |= value;
    }
    if (any != 0) return false;
  }
  for (; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// The decoder on a thread of its own, ahead of the reader. It never logs: a
// failure is reported by the reader when it reaches the bytes that could
// not be made, exactly as if it had decoded them itself.
struct Lzma2BlockReader::Ahead {
  struct Piece {
    uint8_t* bytes = nullptr;  // null: `size` zeros
    size_t size = 0;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::unique_ptr<uint8_t[]> storage;  // kAheadPieces buffers of kAheadPiece
  std::vector<uint8_t*> spare;         // buffers no piece holds
  std::deque<Piece> ready;             // pieces made and not yet read through
  bool stopped = false;   // the decoder ended, well or not
  int failure = kDecoded; // why the decoder stopped early
  int end = kDecoded;     // the end marker's check
  size_t end_consumed = 0;
  bool stop = false;      // the reader goes away
  size_t offset = 0;      // the reader's position in the front piece
  uint8_t* lent = nullptr;  // a read-through piece's buffer still lent out
  ThreadBudget* threads = nullptr;
  std::thread thread;

  void Allocate() {
    storage.reset(new uint8_t[kAheadPiece * kAheadPieces]);
    spare.reserve(kAheadPieces);
    for (size_t i = 0; i < kAheadPieces; ++i) spare.push_back(storage.get() + i * kAheadPiece);
  }

  void Run(Decoder* decoder, size_t size) {
    size_t left = size;
    while (left > 0) {
      uint8_t* buffer = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stop || !spare.empty(); });
        if (stop) return;
        buffer = spare.back();
        spare.pop_back();
      }
      const size_t want = left < kAheadPiece ? left : kAheadPiece;
      size_t filled = 0;
      const int code = decoder->Produce(buffer, want, &filled);
      const bool zeros = AllZero(buffer, filled);
      std::lock_guard<std::mutex> lock(mutex);
      bool queued = filled == 0;
      try {
        if (filled > 0) ready.push_back(Piece{zeros ? nullptr : buffer, filled});
        queued = true;
      } catch (const std::bad_alloc&) {
      }
      if (filled == 0 || zeros || !queued) spare.push_back(buffer);
      if (code != kDecoded || !queued) {
        // No room to queue a piece is the decoder's running out of memory.
        failure = queued ? code : SDK_ERROR_MEM;
        stopped = true;
        changed.notify_all();
        return;
      }
      left -= want;
      changed.notify_all();
    }
    size_t consumed = 0;
    const int code = decoder->End(&consumed);
    std::lock_guard<std::mutex> lock(mutex);
    end = code;
    end_consumed = consumed;
    stopped = true;
    changed.notify_all();
  }
};

Lzma2BlockReader::Lzma2BlockReader() = default;

Lzma2BlockReader::~Lzma2BlockReader() { StopAhead(); }

void Lzma2BlockReader::StopAhead() {
  if (!ahead_) return;
  {
    std::lock_guard<std::mutex> lock(ahead_->mutex);
    ahead_->stop = true;
  }
  ahead_->changed.notify_all();
  if (ahead_->thread.joinable()) {
    ahead_->thread.join();
    ahead_->threads->Give();
  }
  ahead_.reset();
}

bool Lzma2BlockReader::Open(const InputStream& input, size_t limit) { return Open(input, limit, nullptr); }

bool Lzma2BlockReader::Open(const InputStream& input, size_t limit, ThreadBudget* threads) {
  StopAhead();
  InputStream rest = input;
  uint8_t properties = 0;
  uint32_t unpacked_size = 0;
  failed_ = true;
  if (!ReadBlockHeader(&rest, &properties, &unpacked_size)) return false;
  if (limit < unpacked_size) {
    LogOutputLimit(limit);
    limit_exceeded_ = true;
    return false;
  }
  if (!PlausibleBlock(properties, unpacked_size, rest)) return false;
  decoder_.reset(new Decoder);
  const lzma_ret started = StartDecoder(properties, unpacked_size, &decoder_->stream);
  if (started != LZMA_OK) {
    LogDecodeFailure(SdkCodeFor(started, decoder_->stream));
    return false;
  }
  decoder_->stream.next_in = rest.Current();
  decoder_->stream.avail_in = rest.Remaining();
  decoder_->input_bytes = rest.Remaining();
  header_bytes_ = rest.Position();
  size_ = unpacked_size;
  left_ = unpacked_size;
  failed_ = false;
  if (threads && unpacked_size >= kAheadMinimum && threads->TryTake()) {
    try {
      std::unique_ptr<Ahead> ahead(new Ahead);
      ahead->Allocate();
      ahead->threads = threads;
      Decoder* decoder = decoder_.get();
      Ahead* running = ahead.get();
      const size_t size = size_;
      ahead->thread = std::thread([running, decoder, size] { running->Run(decoder, size); });
      ahead_ = std::move(ahead);
    } catch (const std::exception&) {
      // No memory or no thread: the reader decodes for itself.
      threads->Give();
    }
  }
  return true;
}

void Lzma2BlockReader::EndLoan() {
  if (!ahead_ || !ahead_->lent) return;
  {
    std::lock_guard<std::mutex> lock(ahead_->mutex);
    ahead_->spare.push_back(ahead_->lent);
    ahead_->lent = nullptr;
  }
  ahead_->changed.notify_all();
}

size_t Lzma2BlockReader::Lend(const uint8_t** data, size_t most) {
  EndLoan();
  if (failed_ || !ahead_) return 0;
  if (most > left_) most = left_;
  if (most == 0) return 0;
  Ahead& ahead = *ahead_;
  Ahead::Piece piece;
  {
    std::unique_lock<std::mutex> lock(ahead.mutex);
    ahead.changed.wait(lock, [&] { return !ahead.ready.empty() || ahead.stopped; });
    if (ahead.ready.empty()) return 0;
    piece = ahead.ready.front();
  }
  const size_t part = most < piece.size - ahead.offset ? most : piece.size - ahead.offset;
  *data = piece.bytes ? piece.bytes + ahead.offset : nullptr;
  ahead.offset += part;
  left_ -= part;
  if (ahead.offset == piece.size) {
    std::lock_guard<std::mutex> lock(ahead.mutex);
    ahead.lent = piece.bytes;
    ahead.ready.pop_front();
    ahead.offset = 0;
  }
  return part;
}

bool Lzma2BlockReader::Read(uint8_t* to, size_t count) {
  EndLoan();
  if (failed_ || count > left_) return false;
  if (!ahead_) {
    size_t made = 0;
    const int code = decoder_->Produce(to, count, &made);
    if (code != kDecoded) return Fail(code);
    left_ -= count;
    return true;
  }
  Ahead& ahead = *ahead_;
  while (count > 0) {
    // The front piece stays where it is while the decoder adds pieces behind
    // it; a copy of its place is read outside the lock.
    Ahead::Piece piece;
    {
      std::unique_lock<std::mutex> lock(ahead.mutex);
      ahead.changed.wait(lock, [&] { return !ahead.ready.empty() || ahead.stopped; });
      if (ahead.ready.empty()) return Fail(ahead.failure == kDecoded ? SDK_OK : ahead.failure);
      piece = ahead.ready.front();
    }
    const size_t part = count < piece.size - ahead.offset ? count : piece.size - ahead.offset;
    if (to) {
      if (piece.bytes) {
        std::memcpy(to, piece.bytes + ahead.offset, part);
      } else {
        std::memset(to, 0, part);
      }
      to += part;
    }
    ahead.offset += part;
    count -= part;
    left_ -= part;
    if (ahead.offset == piece.size) {
      {
        std::lock_guard<std::mutex> lock(ahead.mutex);
        if (piece.bytes) ahead.spare.push_back(piece.bytes);
        ahead.ready.pop_front();
        ahead.offset = 0;
      }
      ahead.changed.notify_all();
    }
  }
  return true;
}

bool Lzma2BlockReader::Fail(int code) {
  LogDecodeFailure(code);
  failed_ = true;
  return false;
}

bool Lzma2BlockReader::Finish(size_t* consumed) {
  EndLoan();
  if (failed_ || left_ != 0) return false;
  size_t after_header = 0;
  int code = kDecoded;
  if (ahead_) {
    {
      std::unique_lock<std::mutex> lock(ahead_->mutex);
      ahead_->changed.wait(lock, [&] { return ahead_->stopped; });
      code = ahead_->failure != kDecoded ? ahead_->failure : ahead_->end;
      after_header = ahead_->end_consumed;
    }
    StopAhead();
  } else {
    code = decoder_->End(&after_header);
  }
  if (code != kDecoded) return Fail(code);
  *consumed = header_bytes_ + after_header;
  decoder_.reset();
  return true;
}

}  // namespace vxpatch
