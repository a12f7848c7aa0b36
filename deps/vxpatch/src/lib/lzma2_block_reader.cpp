// The LZMA2 block reader and its decoder ahead (see lzma2_block_reader.h).
#include "lzma2_block_reader.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "lzma2_coder.h"
#include "output_limit.h"
#include "vxpatch/thread_budget.h"

namespace vxpatch {

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
  Lzma2Decoder lzma2;

  // The next `count` bytes into `to` (dropped when null); *made receives
  // how many of them were made before a failure.
  int Produce(uint8_t* to, size_t count, size_t* made) {
    const Lzma2Decoder::Result result = lzma2.Decode(to, count, made);
    return result == Lzma2Decoder::kDone ? kDecoded : SdkCodeFor(result);
  }

  // After the last byte: the end marker must follow. *consumed: the input
  // bytes after the block header.
  int End(size_t* consumed) {
    const Lzma2Decoder::Result result = lzma2.Finish(consumed);
    return result == Lzma2Decoder::kDone ? kDecoded : SdkCodeFor(result);
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
  bool stopped = false;                // the decoder ended, well or not
  int failure = kDecoded;              // why the decoder stopped early
  int end = kDecoded;                  // the end marker's check
  size_t end_consumed = 0;
  bool stop = false;        // the reader goes away
  size_t offset = 0;        // the reader's position in the front piece
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
  if (!StartDecoder(properties, unpacked_size, rest, &decoder_->lzma2)) {
    LogDecodeFailure(SDK_ERROR_MEM);
    return false;
  }
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
