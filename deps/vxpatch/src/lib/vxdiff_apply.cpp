// Applying a diff. The raw sections are read in place; the result is reserved
// once and each diff byte and its old byte are added straight into it.
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "checksum.h"
#include "engine_log.h"
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

// One LZMA2-coded section; a section over its limit fails the result as
// over the limit too.
bool ReadSection(InputStream* diff_stream, OutputStream* section, OutputStream* result,
                 ProgressSpan* progress) {
  if (ReadLzma2Block(diff_stream, section, progress)) return true;
  if (section->LimitExceeded()) result->FailOverLimit();
  return false;
}

// The old bytes: pieces that count as one sequence, one after the other.
struct OldBytes {
  const InputStream* pieces = nullptr;
  size_t count = 0;
  size_t size = 0;
};

// to[i] = a[i] + b[i] modulo 256 for `count` bytes. Eight bytes at a time
// in one word: the low seven bits of each byte are added without a carry
// leaving the byte, the top bits by exclusive or.
void AddBytes(uint8_t* to, const uint8_t* a, const uint8_t* b, size_t count) {
  constexpr uint64_t kLow = 0x7F7F7F7F7F7F7F7Full;
  constexpr uint64_t kHigh = ~kLow;
  size_t index = 0;
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

// to = diff bytes plus old bytes [position, position + count), byte by byte;
// the range lies within the old bytes.
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
    diff += part;
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

bool ApplyDiffUnguarded(const OldBytes& old, InputStream* diff_stream, OutputStream* result,
                        bool expect_header, size_t output_limit, size_t work_limit,
                        const ProgressSpan& progress) {
  uint32_t expected_checksum = 0;
  if (expect_header) {
    char magic[sizeof kDiffMagic];
    if (!diff_stream->Read(magic, sizeof magic)) return false;
    if (std::memcmp(magic, kDiffMagic, sizeof magic) != 0) {
      LogError("Corrupt patch header");
      return false;
    }
    if (!diff_stream->ReadUVarint(&expected_checksum)) {
      LogError("Could not read crc");
      return false;
    }
  }
  uint8_t method = 0;
  if (!diff_stream->ReadByte(&method)) return false;
  if (method > DIFF_LZMA2_JOINED) {
    LogError("Invalid compression method");
    return false;
  }
  uint32_t new_size = 0;
  if (!diff_stream->ReadUVarint(&new_size)) return false;
  if (new_size > output_limit) {
    LogOutputLimit(output_limit);
    result->FailOverLimit();
    return false;
  }
  if (!result->WithinLimit(new_size)) {
    LogOutputLimit(result->Limit());
    return false;
  }

  Sections sections;
  OutputStream decoded[3];  // owns what the LZMA2 methods decode
  // The decoded sections share one budget: each may take what those before
  // it left, so a diff's sections together never hold more than the limit
  // of one.
  const size_t budget = WorkLimit(new_size) < work_limit ? WorkLimit(new_size) : work_limit;
  // Decoding a section costs about ten times what adding its bytes to the
  // old ones does; the sections hold about as many bytes as the new file.
  const uint64_t decode_share = method == DIFF_RAW ? 0 : 9;
  ProgressSpan decoding = progress.Part(0, decode_share, 10, new_size);
  ProgressSpan making = progress.Part(decode_share, 10, 10, new_size);
  if (method == DIFF_RAW) {
    if (!TakeRawSections(diff_stream, &sections)) return false;
  } else if (method == DIFF_LZMA2_JOINED) {
    decoded[0].SetLimit(budget);
    if (!ReadSection(diff_stream, &decoded[0], result, &decoding)) return false;
    InputStream joined(decoded[0]);
    if (!TakeRawSections(&joined, &sections)) return false;
  } else {
    size_t used = 0;
    for (OutputStream& section : decoded) {
      section.SetLimit(budget - used);
      if (!ReadSection(diff_stream, &section, result, &decoding)) return false;
      used += section.Length();
    }
    sections.control = InputStream(decoded[0]);
    sections.diff = InputStream(decoded[1]);
    sections.extra = InputStream(decoded[2]);
  }
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
  if (expect_header && !ChecksumMatches(result->Buffer() + base, new_size, expected_checksum)) {
    LogError("crc mismatch");
    return false;
  }
  return true;
}

}  // namespace

bool ApplyDiff(InputStream* old_stream, InputStream* diff_stream, OutputStream* result, bool expect_header,
               size_t output_limit) {
  return ApplyDiff(old_stream, 1, diff_stream, result, expect_header, output_limit, kNoOutputLimit);
}

bool ApplyDiff(const InputStream* old_pieces, size_t piece_count, InputStream* diff_stream,
               OutputStream* result, bool expect_header, size_t output_limit, size_t work_limit,
               const ProgressSpan& progress) {
  OldBytes old;
  old.pieces = old_pieces;
  old.count = piece_count;
  for (size_t piece = 0; piece < piece_count; ++piece) {
    // Sizes add up to more than any old input can be: refused as unusable.
    constexpr size_t kMaxOld = static_cast<size_t>(std::numeric_limits<int64_t>::max());
    if (kMaxOld - old.size < old_pieces[piece].Remaining()) return false;
    old.size += old_pieces[piece].Remaining();
  }
  try {
    return ApplyDiffUnguarded(old, diff_stream, result, expect_header, output_limit, work_limit, progress);
  } catch (const std::bad_alloc&) {
    LogError("out of memory");
    return false;
  }
}

}  // namespace vxpatch
