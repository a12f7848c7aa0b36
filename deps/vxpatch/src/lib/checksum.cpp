// The CRC-32 is zlib's, except for long runs on processors with a carry-less
// multiply: those are folded 64 bytes at a time (four 128-bit lanes, each
// multiplied forward by x^512 mod P and added to the next bytes), reduced to
// 32 bits by Barrett reduction, and zlib finishes the last few bytes. Both
// give the same values; only the speed differs (several times zlib's on the
// files the engine checks).
#include "checksum.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vxpatch {

namespace {

#if defined(__x86_64__)

// Runs shorter than this are left to zlib.
constexpr size_t kFoldMinimum = 64;

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// a times k, the low halves and the high halves each, plus `next`, in GF(2).
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i a, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x11), _mm_clmulepi64_si128(a, k, 0x00)), next);
}

// Folds `length` bytes (at least 64, a multiple of 16) into the CRC register
// `crc` (the inverted form zlib keeps inside). The constants are powers of x
// modulo the bit-reflected polynomial: x^(512+32) and x^(512-32) for the
// four-lane fold, x^(128+32) and x^(128-32) for folding lanes together,
// x^64 for the last 64 bits, then the polynomial and its Barrett quotient.
__attribute__((target("pclmul,sse4.1"))) uint32_t FoldRegister(const uint8_t* data, size_t length,
                                                               uint32_t crc) {
  alignas(16) static const uint64_t kLanes[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t kLane[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t kLast[] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t kPolynomial[] = {0x01db710641, 0x01f7011641};
  __m128i x1 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = Load(data + 16);
  __m128i x3 = Load(data + 32);
  __m128i x4 = Load(data + 48);
  data += 64;
  length -= 64;
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kLanes));
  for (; length >= 64; data += 64, length -= 64) {
    x1 = Fold(x1, k, Load(data));
    x2 = Fold(x2, k, Load(data + 16));
    x3 = Fold(x3, k, Load(data + 32));
    x4 = Fold(x4, k, Load(data + 48));
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kLane));
  x1 = Fold(x1, k, x2);
  x1 = Fold(x1, k, x3);
  x1 = Fold(x1, k, x4);
  for (; length >= 16; data += 16, length -= 16) x1 = Fold(x1, k, Load(data));
  // 128 bits to 64, then to 32 by Barrett reduction.
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  __m128i x2b = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kLast));
  x2b = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00), x2b);
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kPolynomial));
  x2b = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x10), low32);
  x1 = _mm_xor_si128(x1, _mm_clmulepi64_si128(x2b, k, 0x00));
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool CanFold() {
  static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return can;
}

#endif

}  // namespace

uint32_t UpdateCrc32(uint32_t crc, const uint8_t* data, size_t length) {
#if defined(__x86_64__)
  if (length >= kFoldMinimum && CanFold()) {
    const size_t folded = length & ~size_t{15};
    crc = ~FoldRegister(data, folded, ~crc);
    data += folded;
    length -= folded;
  }
#endif
  return static_cast<uint32_t>(crc32_z(crc, data, static_cast<z_size_t>(length)));
}

uint32_t CombineCrc32(uint32_t first, uint32_t second, size_t second_length) {
  return static_cast<uint32_t>(crc32_combine64(first, second, static_cast<z_off64_t>(second_length)));
}

uint32_t ComputeChecksum(const uint8_t* data, size_t length) {
  if (length == 0) return 0;
  return ~UpdateCrc32(0, data, length);
}

bool ChecksumMatches(const uint8_t* data, size_t length, uint32_t expected) {
  if (length == 0) return expected == 0 || expected == 0xFFFFFFFFu;
  return ComputeChecksum(data, length) == expected;
}

}  // namespace vxpatch
