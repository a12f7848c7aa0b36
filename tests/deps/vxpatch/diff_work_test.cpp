// The diff scan's work per input byte on shapes that have each made a scan
// slow once: it is counted by the scan itself, never timed, and must stay
// below one bound on every shape.
#include "vxdiff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>

#include "engine_test_support.h"

namespace vxpatch {
namespace {

using vxtest::Bytes;
using vxtest::Content;

// Bytes examined per byte of old plus new input. A sound scan stays below
// it on every shape here: about 2 where matches are long and unique, 5 to
// 30 on runs of zeros (a search per capped match, and extensions walking
// back over matches before them within their allowance), about 75 on a
// repeated block edited every few dozen bytes, where every position is
// searched among many copies. A search or an extension that repeats work
// per position, as the scan once did on runs of zeros longer than the
// longest match it measures, goes far above, and the scan stops there
// instead of running for hours.
constexpr int64_t kWorkPerByte = 128;
constexpr size_t kSize = size_t{2} << 20;

Bytes Random(size_t length, uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(length);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

Bytes Repeated(const Bytes& block, size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = block[i % block.size()];
  return bytes;
}

// Every `step`-th byte from `first` on changed.
Bytes Edited(Bytes bytes, size_t first, size_t step) {
  for (size_t i = first; i < bytes.size(); i += step) bytes[i] = static_cast<uint8_t>(bytes[i] + 1 + i % 7);
  return bytes;
}

Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

Bytes Part(const Bytes& bytes, size_t from, size_t length) {
  return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + length));
}

// A library's data segment: blocks of random bytes between runs of zeros
// (some longer than any match the search measures), ending in zeros.
Bytes DataSegment(uint32_t seed, size_t lengthen) {
  std::mt19937 generator(seed);
  Bytes bytes;
  while (bytes.size() < kSize) {
    const Bytes block = Random(512 + generator() % 8192, generator());
    bytes.insert(bytes.end(), block.begin(), block.end());
    bytes.resize(bytes.size() + 1000 + generator() % 150000 + lengthen, 0);
  }
  return bytes;
}

struct Shape {
  const char* name;
  std::function<void(Bytes* old_bytes, Bytes* new_bytes)> make;
};

const Shape kShapes[] = {
    {"equal random", [](Bytes* o, Bytes* n) { *o = *n = Random(kSize, 1); }},
    {"equal zeros", [](Bytes* o, Bytes* n) { *o = *n = Bytes(kSize, 0); }},
    {"zeros, the new ones longer",
     [](Bytes* o, Bytes* n) { *o = Bytes(kSize / 4, 0), *n = Bytes(kSize, 0); }},
    {"zeros, sparse bytes moved",
     [](Bytes* o, Bytes* n) {
       *o = Edited(Bytes(kSize, 0), 0, 4096), *n = Edited(Bytes(kSize, 0), 100, 4096);
     }},
    {"data between long zero runs, runs lengthened",
     [](Bytes* o, Bytes* n) { *o = DataSegment(2, 0), *n = Edited(DataSegment(2, 24), 5, 3000); }},
    {"long equal stretches, sparse edits and an insertion",
     [](Bytes* o, Bytes* n) {
       *o = Random(kSize, 3);
       const Bytes edited = Edited(*o, 1000, 65536);
       *n = Joined({Part(edited, 0, kSize / 2), Random(1000, 4), Part(edited, kSize / 2, kSize / 2)});
     }},
    {"long repeats, shifted and edited",
     [](Bytes* o, Bytes* n) {
       const Bytes block = Random(1000, 5);
       *o = Repeated(block, kSize);
       *n = Edited(Part(*o, 7, kSize - 7), 0, 20011);
     }},
    // Every alignment a multiple of the block away explains nearly all
    // bytes behind it, and the exact matches between edits are short.
    {"long repeats, densely edited",
     [](Bytes* o, Bytes* n) {
       const Bytes block = Random(1000, 12);
       *o = Edited(Repeated(block, kSize), 0, 37), *n = Edited(Repeated(block, kSize), 11, 41);
     }},
    {"short period, edited",
     [](Bytes* o, Bytes* n) {
       *o = Repeated({1, 2, 3}, kSize), *n = Edited(Repeated({2, 3, 1}, kSize), 0, 501);
     }},
    {"random, unrelated", [](Bytes* o, Bytes* n) { *o = Random(kSize, 6), *n = Random(kSize, 7); }},
    {"shifted copies",
     [](Bytes* o, Bytes* n) {
       *o = Random(kSize, 8);
       *n = Joined({Part(*o, kSize / 3, kSize - kSize / 3), Part(*o, 0, kSize / 3)});
     }},
    {"a byte inserted in front",
     [](Bytes* o, Bytes* n) {
       *o = Random(kSize, 9), *n = Joined({{0}, *o});
     }},
    {"equal runs between noisy bytes",
     [](Bytes* o, Bytes* n) {
       *o = Random(kSize, 11);
       *n = *o;
       for (size_t i = 0; i + 22 <= n->size(); i += 22)
         std::fill_n(n->begin() + static_cast<long>(i + 16), 6, 0);
     }},
    // The alignment explains all but a few bytes of each exact match found
    // elsewhere, so the scan walks on position by position.
    {"an exact copy beside a noisy one",
     [](Bytes* o, Bytes* n) {
       const Bytes x = Random(kSize / 2, 10);
       *o = Joined({Edited(x, 0, 1100), Edited(x, 500, 8000)});
       *n = x;
     }},
};

TEST(DiffWorkTest, ScanWorkPerInputByteIsBoundedOnEveryShape) {
  const DiffTuning big_change = [] {
    DiffTuning tuning;
    tuning.match_advantage = 32;
    tuning.mismatch_cost = 3;
    return tuning;
  }();
  for (const Shape& shape : kShapes) {
    Bytes old_bytes, new_bytes;
    shape.make(&old_bytes, &new_bytes);
    const int64_t input = static_cast<int64_t>(old_bytes.size() + new_bytes.size());
    for (DiffTuning tuning : {DiffTuning(), big_change}) {
      SCOPED_TRACE(std::string(shape.name) + (tuning.mismatch_cost > 1 ? ", big-change tuning" : ""));
      DiffWork work;
      work.limit = kWorkPerByte * input;
      tuning.work = &work;
      InputStream old_stream(old_bytes.data(), old_bytes.size());
      InputStream new_stream(new_bytes.data(), new_bytes.size());
      OutputStream diff;
      const bool made = CreateDiff(&old_stream, &new_stream, &diff, false, DIFF_RAW, tuning);
      std::printf("%-52s %s %6.2f bytes examined per input byte\n", shape.name,
                  tuning.mismatch_cost > 1 ? "big" : "   ", static_cast<double>(work.examined) / input);
      EXPECT_LE(work.examined, kWorkPerByte * input);
      EXPECT_TRUE(made);
      if (!made) continue;
      OutputStream result;
      InputStream old_again(old_bytes.data(), old_bytes.size());
      InputStream diff_stream(diff.Buffer(), diff.Length());
      ASSERT_TRUE(ApplyDiff(&old_again, &diff_stream, &result, false, new_bytes.size()));
      EXPECT_TRUE(Content(result) == new_bytes);
    }
  }
}

}  // namespace
}  // namespace vxpatch
