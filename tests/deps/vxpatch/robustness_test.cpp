// Malformed input never crashes the engine: every truncation and thousands of
// random byte flips (fixed seed) of small valid containers, diffs and stream
// sets. Meant to run under the sanitizer build as well.
#include "checksum.h"
#include "container.h"
#include "lzmaioout.h"
#include "streams.h"
#include "vxdiff.h"
#include "vxpatch/packed_file.h"

#include <gtest/gtest.h>

#include <random>

#include "engine_test_support.h"

namespace vxpatch {
namespace {

using vxtest::Bytes;
using vxtest::Content;

constexpr int kFlips = 3000;

Bytes Container(const Bytes& content) {
  OutputStream out;
  EXPECT_TRUE(PackPlainForm(content.data(), content.size(), ComputeChecksum(content.data(), content.size()), &out));
  return Content(out);
}

bool Unpack(const Bytes& container, Bytes* result) {
  InputStream in(container.data(), container.size());
  OutputStream out;
  const bool ok = UnpackLzmaStream(&in, &out, kNoOutputLimit);
  *result = Content(out);
  return ok;
}

Bytes MakeDiff(const Bytes& old_bytes, const Bytes& new_bytes, DiffMethod method, bool header) {
  InputStream old_stream(old_bytes.data(), old_bytes.size());
  InputStream new_stream(new_bytes.data(), new_bytes.size());
  OutputStream diff;
  EXPECT_TRUE(CreateDiff(&old_stream, &new_stream, &diff, header, method));
  return Content(diff);
}

bool Apply(const Bytes& old_bytes, const Bytes& diff, bool header, Bytes* result) {
  InputStream old_stream(old_bytes.data(), old_bytes.size());
  InputStream diff_stream(diff.data(), diff.size());
  OutputStream out;
  const bool ok = ApplyDiff(&old_stream, &diff_stream, &out, header, kNoOutputLimit);
  *result = Content(out);
  return ok;
}

// `bytes` with one byte changed to a different value.
Bytes Flipped(const Bytes& bytes, std::mt19937* random) {
  Bytes changed = bytes;
  const size_t at = std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(*random);
  changed[at] ^= static_cast<uint8_t>(std::uniform_int_distribution<int>(1, 255)(*random));
  return changed;
}

TEST(RobustnessTest, ContainerTruncationsAndFlips) {
  for (const Bytes& content : {Bytes{}, vxtest::SampleBytes(600, 11), vxtest::Text("short text, short text")}) {
    const Bytes container = Container(content);
    Bytes result;
    ASSERT_TRUE(Unpack(container, &result));
    for (size_t length = 0; length < container.size(); ++length) {
      EXPECT_FALSE(Unpack(Bytes(container.begin(), container.begin() + static_cast<long>(length)), &result))
          << "prefix " << length;
    }
    std::mt19937 random(20240611);
    for (int round = 0; round < kFlips; ++round) {
      const Bytes changed = Flipped(container, &random);
      if (Unpack(changed, &result)) {
        EXPECT_EQ(result, content) << "a changed container produced other bytes";
      }
    }
  }
}

TEST(RobustnessTest, LzmaBlockFlipsNeverOverrunTheAnnouncedSize) {
  const Bytes content = vxtest::SampleBytes(3000, 12);
  OutputStream block;
  ASSERT_TRUE(WriteLzma2Block(content.data(), content.size(), &block));
  const Bytes original = Content(block);
  std::mt19937 random(7);
  for (int round = 0; round < kFlips; ++round) {
    const Bytes changed = Flipped(original, &random);
    InputStream in(changed.data(), changed.size());
    OutputStream out;
    if (ReadLzma2Block(&in, &out)) {
      EXPECT_LE(in.Position(), changed.size());
    } else {
      EXPECT_EQ(out.Length(), 0u);
      EXPECT_EQ(in.Position(), 0u);
    }
  }
}

TEST(RobustnessTest, DiffTruncationsAndFlips) {
  const Bytes old_bytes = vxtest::SampleBytes(1500, 13);
  Bytes new_bytes = old_bytes;
  new_bytes.insert(new_bytes.begin() + 700, 40, 0x77);
  for (size_t i = 5; i < new_bytes.size(); i += 101) new_bytes[i] ^= 0x5;
  for (DiffMethod method : {DIFF_RAW, DIFF_LZMA2_SPLIT, DIFF_LZMA2_JOINED}) {
    for (bool header : {false, true}) {
      SCOPED_TRACE(testing::Message() << "method " << int(method) << " header " << header);
      const Bytes diff = MakeDiff(old_bytes, new_bytes, method, header);
      Bytes result;
      ASSERT_TRUE(Apply(old_bytes, diff, header, &result));
      ASSERT_EQ(result, new_bytes);
      for (size_t length = 0; length < diff.size(); ++length) {
        EXPECT_FALSE(Apply(old_bytes, Bytes(diff.begin(), diff.begin() + static_cast<long>(length)), header, &result))
            << "prefix " << length;
      }
      std::mt19937 random(99 + method);
      for (int round = 0; round < kFlips; ++round) {
        const bool ok = Apply(old_bytes, Flipped(diff, &random), header, &result);
        if (ok) {
          EXPECT_LE(result.size(), new_bytes.size() + 255u);
          if (header) {
            EXPECT_EQ(result, new_bytes) << "the checksum lets no other result through";
          }
        }
      }
    }
  }
}

TEST(RobustnessTest, StreamSetFlipsAndTruncations) {
  OutputStreamSet nested;
  nested.Stream(0)->Write("abc", 3);
  nested.Stream(3)->Write("defgh", 5);
  OutputStreamSet outer;
  outer.SetCount(5);
  outer.Stream(1)->Write("1", 1);
  ASSERT_TRUE(outer.WriteSet(&nested));
  OutputStream serialised;
  ASSERT_TRUE(outer.SerializeSet(&serialised));
  const Bytes original = Content(serialised);

  auto exercise = [](const Bytes& bytes) {
    InputStreamSet set;
    if (!set.InitFromBuffer(bytes.data(), bytes.size())) return false;
    InputStreamSet inner;
    if (set.ReadSet(&inner)) {
      for (size_t i = 0; i < inner.Count(); ++i) {
        InputStream* stream = inner.Stream(i);
        uint8_t byte = 0;
        while (stream->ReadByte(&byte)) {
        }
      }
    }
    return true;
  };
  EXPECT_TRUE(exercise(original));
  for (size_t length = 0; length < original.size(); ++length) {
    EXPECT_FALSE(exercise(Bytes(original.begin(), original.begin() + static_cast<long>(length))));
  }
  std::mt19937 random(5);
  for (int round = 0; round < kFlips; ++round) exercise(Flipped(original, &random));
}

}  // namespace
}  // namespace vxpatch
