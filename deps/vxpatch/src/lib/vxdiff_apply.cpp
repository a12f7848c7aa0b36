// Applying a diff. The raw sections are read in place; the result is reserved
// once and each diff byte and its old byte are added straight into it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "checksum.h"
#include "engine_log.h"
#include "lzma2_block_reader.h"
#include "lzmaioout.h"
#include "output_limit.h"
#include "vxdiff.h"

namespace vxpatch {
namespace {

struct Sections {
  InputStream control;
  InputStream diff;
  InputStream extra;
};

// Reads the three lengths of the raw layout and takes the sections in place;
// `source` moves past them.
bool TakeRawSections(InputStream* source, Sections* sections) {
  uint32_t control_length = 0;
  uint32_t diff_length = 0;
  uint32_t extra_length = 0;
  if (!source->ReadUVarint(&control_length) || !source->ReadUVarint(&diff_length) ||
      !source->ReadUVarint(&extra_length)) {
    return false;
  }
  if (!source->ReadSubstream(control_length, &sections->control) ||
      !source->ReadSubstream(diff_length, &sections->diff) ||
      !source->ReadSubstream(extra_length, &sections->extra)) {
    LogError("Corrupt patch");
    return false;
  }
  return true;
}

// One LZMA2-coded section held whole; a section over its limit fails the
// target as over the limit too.
bool ReadSection(InputStream* diff_stream, OutputStream* section, DiffTarget* target, bool* over_limit,
                 ProgressSpan* progress) {
  if (ReadLzma2Block(diff_stream, section, progress)) return true;
  if (section->LimitExceeded()) {
    target->FailOverLimit();
    *over_limit = true;
  }
  return false;
}

// The old bytes: pieces that count as one sequence, one after the other.
struct OldBytes {
  const InputStream* pieces = nullptr;
  size_t count = 0;
  size_t size = 0;
};

// to[i] = a[i] + b[i] modulo 256 for `count` bytes: sixteen at a time in
// a vector register where there is one, then eight at a time in one word
// (the low seven bits of each byte are added without a carry leaving the
// byte, the top bits by exclusive or). A null `a` adds zeros: a copy.
void AddBytes(uint8_t* to, const uint8_t* a, const uint8_t* b, size_t count) {
  if (!a) {
    std::memcpy(to, b, count);
    return;
  }
  constexpr uint64_t kLow = 0x7F7F7F7F7F7F7F7Full;
  constexpr uint64_t kHigh = ~kLow;
  size_t index = 0;
#if defined(__SSE2__)
  for (; count - index >= 16; index += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + index));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + index));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + index), _mm_add_epi8(x, y));
  }
#endif
  for (; count - index >= 8; index += 8) {
    uint64_t x = 0;
    uint64_t y = 0;
    std::memcpy(&x, a + index, 8);
    std::memcpy(&y, b + index, 8);
    const uint64_t sum = ((x & kLow) + (y & kLow)) ^ ((x ^ y) & kHigh);
    std::memcpy(to + index, &sum, 8);
  }
  for (; index < count; ++index) to[index] = static_cast<uint8_t>(a[index] + b[index]);
}

// to = diff bytes plus old bytes [position, position + count); the range
// lies within the old bytes. A null `diff` is zeros: the old bytes as they
// are.
void AddOld(const OldBytes& old, size_t position, const uint8_t* diff, uint8_t* to, size_t count) {
  size_t piece = 0;
  while (count > 0 && piece < old.count) {
    const size_t size = old.pieces[piece].Remaining();
    if (position >= size) {
      position -= size;
      ++piece;
      continue;
    }
    const size_t part = count < size - position ? count : size - position;
    AddBytes(to, diff, old.pieces[piece].Current() + position, part);
    to += part;
    if (diff) diff += part;
    count -= part;
    position = 0;
    ++piece;
  }
}

bool CopySection(InputStream* section, size_t count, OutputStream* result) {
  if (!result->Write(section->Current(), count)) return false;
  section->Skip(count);
  return true;
}

// What precedes the sections: the optional header, the method and N.
struct DiffHead {
  bool has_checksum = false;
  uint32_t checksum = 0;
  uint8_t method = 0;
  uint32_t new_size = 0;
};

bool ReadDiffHead(InputStream* diff_stream, bool expect_header, DiffHead* head) {
  if (expect_header) {
    char magic[sizeof kDiffMagic];
    if (!diff_stream->Read(magic, sizeof magic)) return false;
    if (std::memcmp(magic, kDiffMagic, sizeof magic) != 0) {
      LogError("Corrupt patch header");
      return false;
    }
    if (!diff_stream->ReadUVarint(&head->checksum)) {
      LogError("Could not read crc");
      return false;
    }
    head->has_checksum = true;
  }
  if (!diff_stream->ReadByte(&head->method)) return false;
  if (head->method > DIFF_LZMA2_JOINED) {
    LogError("Invalid compression method");
    return false;
  }
  return diff_stream->ReadUVarint(&head->new_size);
}

// The decoded sections share one budget: each may take what those before it
// left, so a diff's sections together never hold more than the limit of one.
size_t SectionBudget(uint32_t new_size, size_t work_limit) {
  return WorkLimit(new_size) < work_limit ? WorkLimit(new_size) : work_limit;
}

bool ApplyMethodToTarget(const OldBytes& old, InputStream* diff_stream, const DiffHead& head, DiffTarget* target,
                         size_t work_limit, bool* over_limit, const ProgressSpan& progress);

bool ApplyDiffUnguarded(const OldBytes& old, InputStream* diff_stream, OutputStream* result,
                        bool expect_header, size_t output_limit, size_t work_limit,
                        const ProgressSpan& progress) {
  DiffHead head;
  if (!ReadDiffHead(diff_stream, expect_header, &head)) return false;
  const uint32_t new_size = head.new_size;
  if (new_size > output_limit) {
    LogOutputLimit(output_limit);
    result->FailOverLimit();
    return false;
  }
  if (!result->WithinLimit(new_size)) {
    LogOutputLimit(result->Limit());
    return false;
  }
  if (head.method != DIFF_RAW) {
    // The LZMA2 methods decode their sections as they are used, straight
    // into the result.
    StreamTarget target(result);
    bool over_limit = false;
    return ApplyMethodToTarget(old, diff_stream, head, &target, work_limit, &over_limit, progress);
  }

  Sections sections;
  ProgressSpan making = progress.Part(0, 1, 1, new_size);
  if (!TakeRawSections(diff_stream, &sections)) return false;
  // Every new byte comes from the diff or the extra section.
  const uint64_t producible = static_cast<uint64_t>(sections.diff.Remaining()) + sections.extra.Remaining();
  if (new_size > producible) {
    LogError("Corrupt patch");
    return false;
  }

  result->Reserve(new_size);  // a failure leaves the result failed: its first write fails
  const int64_t old_size = static_cast<int64_t>(old.size);
  const size_t base = result->Length();
  int64_t old_position = 0;
  size_t produced = 0;
  while (produced < new_size) {
    int32_t x = 0;
    int32_t y = 0;
    int32_t z = 0;
    if (!sections.control.ReadSVarint(&x) || !sections.control.ReadSVarint(&y) ||
        !sections.control.ReadSVarint(&z)) {
      LogError("Corrupt patch reading control");
      return false;
    }
    if (x < 0 || y < 0 || static_cast<uint64_t>(x) > new_size - produced ||
        static_cast<size_t>(x) > sections.diff.Remaining()) {
      LogError("Corrupt patch");
      return false;
    }
    if (old_position < 0 || old_position > old_size || old_size - old_position < x) return false;
    // The diff bytes and the old ones are added straight into the result.
    if (!result->EnsureSpare(static_cast<size_t>(x))) return false;
    AddOld(old, static_cast<size_t>(old_position), sections.diff.Current(), result->Spare(),
           static_cast<size_t>(x));
    sections.diff.Skip(static_cast<size_t>(x));
    result->Commit(static_cast<size_t>(x));
    produced += static_cast<size_t>(x);

    if (static_cast<uint64_t>(y) > new_size - produced || static_cast<size_t>(y) > sections.extra.Remaining()) {
      LogError("Corrupt patch");
      return false;
    }
    if (!CopySection(&sections.extra, static_cast<size_t>(y), result)) return false;
    produced += static_cast<size_t>(y);
    old_position += static_cast<int64_t>(x) + z;
    making.Advance(static_cast<uint64_t>(x) + static_cast<uint64_t>(y));
  }
  if (result->Failed()) return false;
  if (expect_header && !ChecksumMatches(result->Buffer() + base, new_size, head.checksum)) {
    LogError("crc mismatch");
    return false;
  }
  return true;
}

// The streamed diff's bytes, counted against the length it may take.
class BoundedSource {
 public:
  BoundedSource(DiffSource* source, size_t length) : source_(source), left_(length) {}
  bool Read(uint8_t* to, size_t count) {
    if (count > left_ || !source_->Read(to, count)) return false;
    left_ -= count;
    return true;
  }
  bool ReadUVarint(uint32_t* value) {
    uint8_t bytes[kMaxVarintBytes];
    for (size_t used = 0; used < kMaxVarintBytes; ++used) {
      if (!Read(&bytes[used], 1)) return false;
      if ((bytes[used] & 0x80) == 0) {
        InputStream varint(bytes, used + 1);
        return varint.ReadUVarint(value);
      }
    }
    return false;
  }
  size_t Lend(const uint8_t** data, size_t most) {
    const size_t lent = source_->Lend(data, most < left_ ? most : left_);
    left_ -= lent;
    return lent;
  }
  bool SkipRest() { return Read(nullptr, left_); }
  size_t Left() const { return left_; }

 private:
  DiffSource* source_;
  size_t left_;
};

struct Triple {
  int32_t x = 0;
  int32_t y = 0;
  int32_t z = 0;
};

bool ReadTriple(InputStream* control, Triple* triple) {
  return control->ReadSVarint(&triple->x) && control->ReadSVarint(&triple->y) && control->ReadSVarint(&triple->z);
}

// First run: every triple checked as ApplyDiffUnguarded checks it, its diff
// bytes added to the old ones at their places.
bool PlaceDiffBytes(const OldBytes& old, InputStream control, BoundedSource* source, uint32_t diff_length,
                    uint32_t extra_length, size_t new_size, DiffTarget* target, ProgressSpan* progress) {
  OutputStream piece;
  if (!piece.Reserve(diff_length < kDiffPiece ? diff_length : kDiffPiece)) return false;
  const int64_t old_size = static_cast<int64_t>(old.size);
  size_t diff_left = diff_length;
  size_t extra_left = extra_length;
  int64_t old_position = 0;
  size_t produced = 0;
  while (produced < new_size) {
    Triple t;
    if (!ReadTriple(&control, &t)) {
      LogError("Corrupt patch reading control");
      return false;
    }
    if (t.x < 0 || t.y < 0 || static_cast<uint64_t>(t.x) > new_size - produced ||
        static_cast<size_t>(t.x) > diff_left) {
      LogError("Corrupt patch");
      return false;
    }
    if (old_position < 0 || old_position > old_size || old_size - old_position < t.x) return false;
    for (size_t done = 0; done < static_cast<size_t>(t.x);) {
      const size_t part = static_cast<size_t>(t.x) - done < kDiffPiece ? static_cast<size_t>(t.x) - done : kDiffPiece;
      uint8_t* to = target->Place(produced + done, part);
      if (!to) return false;
      // The diff bytes where the source holds them when it lends them, else
      // read into a piece of our own.
      for (size_t filled = 0; filled < part;) {
        const size_t position = static_cast<size_t>(old_position) + done + filled;
        const uint8_t* lent = nullptr;
        size_t got = source->Lend(&lent, part - filled);
        if (got == 0) {
          got = part - filled;
          if (!source->Read(piece.MutableBuffer(), got)) return false;
          lent = piece.Buffer();
        }
        AddOld(old, position, lent, to + filled, got);
        filled += got;
      }
      progress->Advance(part);
      done += part;
    }
    diff_left -= static_cast<size_t>(t.x);
    produced += static_cast<size_t>(t.x);
    if (static_cast<uint64_t>(t.y) > new_size - produced || static_cast<size_t>(t.y) > extra_left) {
      LogError("Corrupt patch");
      return false;
    }
    extra_left -= static_cast<size_t>(t.y);
    produced += static_cast<size_t>(t.y);
    old_position += static_cast<int64_t>(t.x) + t.z;
  }
  return source->Read(nullptr, diff_left);  // bytes no triple used
}

// Second run, over triples the first one checked: the extra bytes.
bool PlaceExtraBytes(InputStream control, BoundedSource* source, size_t new_size, DiffTarget* target,
                     ProgressSpan* progress) {
  size_t produced = 0;
  while (produced < new_size) {
    Triple t;
    ReadTriple(&control, &t);
    produced += static_cast<size_t>(t.x);
    for (size_t done = 0; done < static_cast<size_t>(t.y);) {
      const size_t part = static_cast<size_t>(t.y) - done < kDiffPiece ? static_cast<size_t>(t.y) - done : kDiffPiece;
      uint8_t* to = target->Place(produced + done, part);
      if (!to || !source->Read(to, part)) return false;
      progress->Advance(part);
      done += part;
    }
    produced += static_cast<size_t>(t.y);
  }
  return true;
}

// A block's bytes as a diff source.
class BlockSource final : public DiffSource {
 public:
  explicit BlockSource(Lzma2BlockReader* block) : block_(block) {}
  bool Read(uint8_t* to, size_t count) override { return block_->Read(to, count); }
  size_t Lend(const uint8_t** data, size_t most) override { return block_->Lend(data, most); }

 private:
  Lzma2BlockReader* block_;
};

// The control section, read in pieces: it grows with what the source
// yields, never by what its length claims, within `limit`.
bool HoldControl(BoundedSource* source, size_t length, size_t limit, OutputStream* control, bool* over_limit,
                 ProgressSpan* progress) {
  control->SetLimit(limit);
  if (!control->WithinLimit(length)) {
    LogOutputLimit(limit);
    *over_limit = true;
    return false;
  }
  for (size_t done = 0; done < length;) {
    const size_t part = length - done < kDiffPiece ? length - done : kDiffPiece;
    if (!control->EnsureSpare(part) || !source->Read(control->Spare(), part) || !control->Commit(part)) return false;
    if (progress) progress->Advance(part);
    done += part;
  }
  return true;
}

// The new bytes from sections held in memory (the raw method's, or LZMA2
// sections decoded whole).
class MemorySource final : public DiffSource {
 public:
  explicit MemorySource(const InputStream& bytes) : bytes_(bytes) {}
  bool Read(uint8_t* to, size_t count) override {
    if (!to) return bytes_.Skip(count);
    return bytes_.Read(to, count);
  }
  size_t Lend(const uint8_t** data, size_t most) override {
    const size_t lent = most < bytes_.Remaining() ? most : bytes_.Remaining();
    *data = bytes_.Current();
    bytes_.Skip(lent);
    return lent;
  }

 private:
  InputStream bytes_;
};

bool ApplyHeldSections(const OldBytes& old, const Sections& sections, uint32_t new_size, DiffTarget* target,
                       ProgressSpan* making) {
  // Every new byte comes from the diff or the extra section.
  if (new_size > static_cast<uint64_t>(sections.diff.Remaining()) + sections.extra.Remaining()) {
    LogError("Corrupt patch");
    return false;
  }
  MemorySource diff_bytes(sections.diff);
  MemorySource extra_bytes(sections.extra);
  BoundedSource diff(&diff_bytes, sections.diff.Remaining());
  BoundedSource extra(&extra_bytes, sections.extra.Remaining());
  return PlaceDiffBytes(old, sections.control, &diff, static_cast<uint32_t>(sections.diff.Remaining()),
                        static_cast<uint32_t>(sections.extra.Remaining()), new_size, target, making) &&
         PlaceExtraBytes(sections.control, &extra, new_size, target, making) && target->End();
}

// The raw layout after N (lengths, control, diff and extra bytes) read from
// `source` in order: the control section is held, the diff and extra bytes
// are placed as they come. Leftover bytes are read and dropped.
bool ApplyLayout(const OldBytes& old, BoundedSource* source, uint32_t new_size, DiffTarget* target,
                 size_t work_limit, bool* over_limit, ProgressSpan* making) {
  uint32_t lengths[3] = {};
  for (uint32_t& length : lengths) {
    if (!source->ReadUVarint(&length)) return false;
  }
  const uint64_t sections = uint64_t{lengths[0]} + lengths[1] + lengths[2];
  if (sections > source->Left()) {
    LogError("Corrupt patch");
    return false;
  }
  if (new_size > uint64_t{lengths[1]} + lengths[2]) {
    LogError("Corrupt patch");
    return false;
  }
  OutputStream control;
  if (!HoldControl(source, lengths[0], work_limit, &control, over_limit, nullptr)) return false;
  if (!PlaceDiffBytes(old, InputStream(control), source, lengths[1], lengths[2], new_size, target, making))
    return false;
  if (!PlaceExtraBytes(InputStream(control), source, new_size, target, making)) return false;
  return target->End() && source->SkipRest();
}

// The joined method: its one block decoded as the raw layout is read.
bool ApplyJoinedStreamed(const OldBytes& old, InputStream* diff_stream, uint32_t new_size, DiffTarget* target,
                         size_t budget, bool* over_limit, ProgressSpan* making) {
  Lzma2BlockReader block;
  if (!block.Open(*diff_stream, budget)) {
    if (block.LimitExceeded()) {
      target->FailOverLimit();
      *over_limit = true;
    }
    return false;
  }
  BlockSource block_bytes(&block);
  BoundedSource source(&block_bytes, block.Size());
  size_t consumed = 0;
  if (!ApplyLayout(old, &source, new_size, target, budget, over_limit, making) || !block.Finish(&consumed))
    return false;
  diff_stream->Skip(consumed);
  return true;
}

// A split diff whose sections are found without decoding them: applied with
// only the control section held. Returns false with *handled unset when the
// sections cannot be found that way (decoding them whole then reports why).
bool ApplySplitStreamed(const OldBytes& old, InputStream* diff_stream, DiffTarget* target, uint32_t new_size,
                        size_t budget, bool* over_limit, ProgressSpan* making, bool* handled) {
  InputStream starts[3];
  size_t total = 0;
  for (InputStream& start : starts) {
    size_t extent = 0;
    if (!diff_stream->PeekSubstream(total, diff_stream->Remaining() - total, &start) ||
        !Lzma2BlockExtent(start, &extent))
      return false;
    total += extent;
  }
  *handled = true;
  // Every section's size is checked against what those before it left of
  // the sections' budget before any is decoded. Then the control section is
  // held, and the diff and extra sections are decoded as they are used.
  Lzma2BlockReader blocks[3];
  size_t left = budget;
  for (size_t i = 0; i < 3; ++i) {
    if (!blocks[i].Open(starts[i], left)) {
      if (blocks[i].LimitExceeded()) {
        target->FailOverLimit();
        *over_limit = true;
      }
      return false;
    }
    left -= blocks[i].Size();
  }
  OutputStream control;
  BlockSource control_block(&blocks[0]);
  BoundedSource control_bytes(&control_block, blocks[0].Size());
  size_t consumed = 0;
  if (!HoldControl(&control_bytes, blocks[0].Size(), budget, &control, over_limit, nullptr) ||
      !blocks[0].Finish(&consumed))
    return false;
  Lzma2BlockReader* sections = blocks + 1;
  if (new_size > static_cast<uint64_t>(sections[0].Size()) + sections[1].Size()) {
    LogError("Corrupt patch");
    return false;
  }
  BlockSource diff_block(&sections[0]);
  BlockSource extra_block(&sections[1]);
  BoundedSource diff(&diff_block, sections[0].Size());
  BoundedSource extra(&extra_block, sections[1].Size());
  if (!PlaceDiffBytes(old, InputStream(control), &diff, static_cast<uint32_t>(sections[0].Size()),
                      static_cast<uint32_t>(sections[1].Size()), new_size, target, making) ||
      !PlaceExtraBytes(InputStream(control), &extra, new_size, target, making) || !target->End())
    return false;
  // What no triple used is decoded all the same: a section that does not
  // decode to its end fails the diff as it always has.
  if (!extra.SkipRest() || !sections[0].Finish(&consumed) || !sections[1].Finish(&consumed)) return false;
  diff_stream->Skip(total);
  return true;
}

// Every method into a target whose limit has not been checked yet; the diff
// stream is right after N.
bool ApplyMethodToTarget(const OldBytes& old, InputStream* diff_stream, const DiffHead& head, DiffTarget* target,
                         size_t work_limit, bool* over_limit, const ProgressSpan& progress) {
  const uint32_t new_size = head.new_size;
  if (!target->Begin(new_size)) {
    *over_limit = true;
    return false;
  }
  const size_t budget = SectionBudget(new_size, work_limit);
  ProgressSpan making = progress.Part(0, 1, 1, new_size);
  bool applied = false;
  if (head.method == DIFF_RAW) {
    Sections sections;
    applied = TakeRawSections(diff_stream, &sections) && ApplyHeldSections(old, sections, new_size, target, &making);
  } else if (head.method == DIFF_LZMA2_JOINED) {
    applied = ApplyJoinedStreamed(old, diff_stream, new_size, target, budget, over_limit, &making);
  } else {
    bool handled = false;
    applied = ApplySplitStreamed(old, diff_stream, target, new_size, budget, over_limit, &making, &handled);
    if (!handled) {
      OutputStream decoded[3];
      size_t used = 0;
      for (OutputStream& section : decoded) {
        section.SetLimit(budget - used);
        if (!ReadSection(diff_stream, &section, target, over_limit, nullptr)) return false;
        used += section.Length();
      }
      Sections sections{InputStream(decoded[0]), InputStream(decoded[1]), InputStream(decoded[2])};
      applied = ApplyHeldSections(old, sections, new_size, target, &making);
    }
  }
  if (!applied) return false;
  if (head.has_checksum && !target->MatchesChecksum(head.checksum)) {
    LogError("crc mismatch");
    return false;
  }
  return true;
}

bool OldBytesOf(const InputStream* old_pieces, size_t piece_count, OldBytes* old) {
  old->pieces = old_pieces;
  old->count = piece_count;
  old->size = 0;
  for (size_t piece = 0; piece < piece_count; ++piece) {
    // Sizes add up to more than any old input can be: refused as unusable.
    constexpr size_t kMaxOld = static_cast<size_t>(std::numeric_limits<int64_t>::max());
    if (kMaxOld - old->size < old_pieces[piece].Remaining()) return false;
    old->size += old_pieces[piece].Remaining();
  }
  return true;
}

bool ApplyStreamedUnguarded(const OldBytes& old, BoundedSource* source, DiffTarget* target, size_t output_limit,
                            size_t work_limit, bool* over_limit, const ProgressSpan& progress) {
  uint32_t new_size = 0;
  if (!source->ReadUVarint(&new_size)) return false;
  if (new_size > output_limit) {
    LogOutputLimit(output_limit);
    target->FailOverLimit();
    *over_limit = true;
    return false;
  }
  if (!target->Begin(new_size)) {
    *over_limit = true;
    return false;
  }
  ProgressSpan making = progress.Part(0, 1, 1, new_size);
  return ApplyLayout(old, source, new_size, target, work_limit, over_limit, &making);
}

}  // namespace

bool StreamTarget::Begin(size_t size) {
  if (!stream_->WithinLimit(size)) {
    LogOutputLimit(stream_->Limit());
    return false;
  }
  base_ = stream_->Length();
  size_ = size;
  return true;
}

uint8_t* StreamTarget::Place(size_t offset, size_t count) {
  // Reserved at the first byte, once the diff has shown it can produce them.
  if (stream_->Failed() || !stream_->Reserve(size_) || offset > size_ || size_ - offset < count) return nullptr;
  return stream_->MutableBuffer() + base_ + offset;
}

bool StreamTarget::End() { return stream_->Reserve(size_) && stream_->Commit(size_); }

bool StreamTarget::MatchesChecksum(uint32_t expected) {
  return !stream_->Failed() && ChecksumMatches(stream_->Buffer() + base_, size_, expected);
}

bool FileTarget::Begin(size_t size) {
  if (size > limit_) {
    LogOutputLimit(limit_);
    limit_exceeded_ = true;
    return false;
  }
  size_ = size;
  runs_.clear();
  return true;
}

uint8_t* FileTarget::Place(size_t offset, size_t count) {
  constexpr size_t kStaging = 2 * kDiffPiece;
  if (count > kStaging || offset > size_ || size_ - offset < count) return nullptr;
  if (staging_.Capacity() < kStaging && !staging_.Reserve(kStaging)) return nullptr;
  // Pieces that continue the staged ones join them; others go after a flush.
  if (offset != staged_offset_ + staging_.Length() || kStaging - staging_.Length() < count) {
    if (!Flush()) return nullptr;
    staged_offset_ = offset;
  }
  uint8_t* to = staging_.Spare();
  return staging_.Commit(count) ? to : nullptr;
}

bool FileTarget::Flush() {
  if (staging_.Failed() || !file_->Write(staged_offset_, staging_.Buffer(), staging_.Length())) return false;
  // The run's CRC-32 while its bytes are at hand spares reading the file
  // back for its checksum.
  if (staging_.Length() > 0)
    runs_.push_back(
        Run{staged_offset_, staging_.Length(), UpdateCrc32(0, staging_.Buffer(), staging_.Length())});
  staged_offset_ += staging_.Length();
  staging_.Clear();
  return true;
}

bool FileTarget::End() { return Flush(); }

bool FileTarget::MatchesChecksum(uint32_t expected) {
  // As ChecksumMatches: no bytes pass with either stored form of nothing.
  if (size_ == 0) return expected == 0 || expected == 0xFFFFFFFFu;
  uint32_t actual = 0;
  return Checksum(&actual) && actual == expected;
}

bool FileTarget::Checksum(uint32_t* checksum) {
  std::sort(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) { return a.offset < b.offset; });
  uint32_t crc = 0;
  size_t covered = 0;
  bool once = true;  // no byte placed twice, none left out between
  for (const Run& run : runs_) {
    once = once && run.offset == covered;
    crc = CombineCrc32(crc, run.crc, run.length);
    covered += run.length;
  }
  if (!once || covered != size_ || size_ == 0) return file_->Checksum(size_, checksum);
  *checksum = ~crc;
  return true;
}

bool ApplyStreamedRawDiff(const InputStream* old_pieces, size_t piece_count, DiffSource* source, size_t length,
                          DiffTarget* target, size_t output_limit, size_t work_limit, bool* over_limit,
                          const ProgressSpan& progress) {
  *over_limit = false;
  OldBytes old;
  if (!OldBytesOf(old_pieces, piece_count, &old)) return false;
  BoundedSource bounded(source, length);
  try {
    return ApplyStreamedUnguarded(old, &bounded, target, output_limit, work_limit, over_limit, progress);
  } catch (const std::bad_alloc&) {
    LogError("out of memory");
    return false;
  }
}

bool ApplyDiffToTarget(const InputStream* old_pieces, size_t piece_count, InputStream* diff_stream,
                       DiffTarget* target, bool expect_header, size_t output_limit, size_t work_limit,
                       bool* over_limit, const ProgressSpan& progress) {
  *over_limit = false;
  OldBytes old;
  if (!OldBytesOf(old_pieces, piece_count, &old)) return false;
  try {
    DiffHead head;
    if (!ReadDiffHead(diff_stream, expect_header, &head)) return false;
    if (head.new_size > output_limit) {
      LogOutputLimit(output_limit);
      target->FailOverLimit();
      *over_limit = true;
      return false;
    }
    return ApplyMethodToTarget(old, diff_stream, head, target, work_limit, over_limit, progress);
  } catch (const std::bad_alloc&) {
    LogError("out of memory");
    return false;
  }
}

bool ApplyDiff(InputStream* old_stream, InputStream* diff_stream, OutputStream* result, bool expect_header,
               size_t output_limit) {
  return ApplyDiff(old_stream, 1, diff_stream, result, expect_header, output_limit, kNoOutputLimit);
}

bool ApplyDiff(const InputStream* old_pieces, size_t piece_count, InputStream* diff_stream,
               OutputStream* result, bool expect_header, size_t output_limit, size_t work_limit,
               const ProgressSpan& progress) {
  OldBytes old;
  if (!OldBytesOf(old_pieces, piece_count, &old)) return false;
  try {
    return ApplyDiffUnguarded(old, diff_stream, result, expect_header, output_limit, work_limit, progress);
  } catch (const std::bad_alloc&) {
    LogError("out of memory");
    return false;
  }
}

}  // namespace vxpatch
