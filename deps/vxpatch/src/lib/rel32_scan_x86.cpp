// x86 and x86-64 rel32 candidate rules.
#include "rel32_scan_x86.h"

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vxpatch {

namespace {

constexpr uint8_t kStartsX86 = 1;
constexpr uint8_t kStartsX64 = 2;

// The first bytes the rules can match: most bytes of code start none, and
// the scan passes over them with one table look-up instead of the rules.
constexpr std::array<uint8_t, 256> MakeStarts() {
  std::array<uint8_t, 256> starts{};
  starts[0xE8] = starts[0xE9] = starts[0x0F] = kStartsX86 | kStartsX64;
  starts[0xFF] = starts[0x48] = starts[0x49] = kStartsX64;
  return starts;
}

constexpr std::array<uint8_t, 256> kStarts = MakeStarts();

}  // namespace

bool FindX86Rel32Candidate(const uint8_t* p, size_t left, bool x64, size_t* displacement_offset) {
  bool found = false;
  if (left >= 5 && (p[0] == 0xE8 || p[0] == 0xE9)) {
    *displacement_offset = 1;
    found = true;
  }
  if (left >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && p[1] != 0x8A && p[1] != 0x8B) {
    *displacement_offset = 2;
    found = true;
  }
  if (!x64) return found;
  // Later rules win over earlier ones at the same position.
  if (left >= 6 && p[0] == 0xFF && (p[1] == 0x15 || p[1] == 0x25)) {
    *displacement_offset = 2;
    found = true;
  }
  if (left >= 7 && (p[0] == 0x48 || p[0] == 0x49) && (p[1] == 0x8D || p[1] == 0x8B) &&
      (p[2] & 0xC7) == 0x05) {
    *displacement_offset = 3;
    found = true;
  }
  return found;
}

size_t NextX86Rel32Candidate(const uint8_t* base, size_t size, size_t from, bool x64,
                             size_t* displacement_offset) {
  const uint8_t mask = x64 ? kStartsX64 : kStartsX86;
  // No rule matches fewer than 5 bytes, so the last 4 positions never start
  // a candidate.
  if (size < 5) return size;
  const size_t last = size - 5;
  size_t p = from;
#if defined(__SSE2__)
  // Sixteen positions at a time: a bit per position whose first two bytes
  // may start a candidate, then the rules at those positions only, in
  // order. Opcode bytes such as 0x0F, 0x48 and 0xFF are common in code, and
  // their second byte rules most of them out.
  const __m128i e8 = _mm_set1_epi8(static_cast<char>(0xE8));
  const __m128i e9 = _mm_set1_epi8(static_cast<char>(0xE9));
  const __m128i of = _mm_set1_epi8(0x0F);
  const __m128i high_nibble = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i jcc = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i ff = _mm_set1_epi8(static_cast<char>(0xFF));
  const __m128i call = _mm_set1_epi8(0x15);
  const __m128i jmp = _mm_set1_epi8(0x25);
  const __m128i rex48 = _mm_set1_epi8(0x48);
  const __m128i rex49 = _mm_set1_epi8(0x49);
  const __m128i lea = _mm_set1_epi8(static_cast<char>(0x8D));
  const __m128i mov = _mm_set1_epi8(static_cast<char>(0x8B));
  // The second bytes are read one further on: p + 16 stays below size.
  for (; p <= last && last - p >= 15; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + p));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + p + 1));
    __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, e8), _mm_cmpeq_epi8(bytes, e9)),
        _mm_and_si128(_mm_cmpeq_epi8(bytes, of), _mm_cmpeq_epi8(_mm_and_si128(next, high_nibble), jcc)));
    if (x64) {
      const __m128i indirect =
          _mm_and_si128(_mm_cmpeq_epi8(bytes, ff), _mm_or_si128(_mm_cmpeq_epi8(next, call), _mm_cmpeq_epi8(next, jmp)));
      const __m128i relative =
          _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, rex48), _mm_cmpeq_epi8(bytes, rex49)),
                        _mm_or_si128(_mm_cmpeq_epi8(next, lea), _mm_cmpeq_epi8(next, mov)));
      hits = _mm_or_si128(hits, _mm_or_si128(indirect, relative));
    }
    for (unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hits)); bits != 0; bits &= bits - 1) {
      const size_t at = p + static_cast<size_t>(__builtin_ctz(bits));
      if (FindX86Rel32Candidate(base + at, size - at, x64, displacement_offset)) return at;
    }
  }
#endif
  for (; p <= last; ++p) {
    if ((kStarts[base[p]] & mask) != 0 && FindX86Rel32Candidate(base + p, size - p, x64, displacement_offset))
      return p;
  }
  return size;
}

}  // namespace vxpatch
