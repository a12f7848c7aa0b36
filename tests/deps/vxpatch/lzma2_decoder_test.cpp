// The engine's LZMA2 decoder against liblzma's encoder: every shape a
// match copy takes (runs of one byte, short periods, far and overlapping
// matches, a window that turns over), every literal and position setting,
// read in pieces of any size. Damaged blocks are the container tests' (the
// reader's messages) and the fuzz targets'.
#include "lzma2_decoder.h"
#include "lzmaioout.h"

#include <gtest/gtest.h>

#include "engine_test_support.h"

namespace vxpatch {
namespace {

using vxtest::Bytes;

Bytes Shape(int shape, size_t length) {
  Bytes bytes = vxtest::SampleBytes(length, static_cast<uint32_t>(shape) + 1);
  for (size_t i = 0; i < length; ++i) {
    switch (shape) {
      case 0:  // a correction after a small update: zeros, a change now and then
        bytes[i] = i % 9973 < 3 ? bytes[i] : 0;
        break;
      case 1:  // short periods, each for a while
        bytes[i] = static_cast<uint8_t>("abcdefghijklmnopq"[i % (2 + i / 20000 % 15)]);
        break;
      case 2:  // far repeats, slightly changed, across a small window
        if (i >= 6000) bytes[i] = i % 101 == 0 ? bytes[i] : bytes[i - 6000 + i / 50000];
        break;
      default:  // random
        break;
    }
  }
  return bytes;
}

TEST(Lzma2DecoderTest, DecodesWhatLiblzmaEncodesInPiecesOfAnySize) {
  struct Case {
    int shape;
    uint32_t dictionary;  // small ones turn the window over many times
    uint32_t literal_context_bits;
    uint32_t position_bits;
    size_t piece;
  };
  const Case cases[] = {
      {0, 4096, 3, 2, 1 << 16}, {0, 1 << 20, 1, 0, 777}, {1, 4096, 0, 4, 1},      {1, 1 << 20, 3, 2, 5000},
      {2, 8192, 4, 0, 65536},   {2, 1 << 20, 2, 1, 3},   {3, 4096, 3, 2, 100000}, {3, 1 << 20, 0, 3, 12345},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << "shape " << test.shape << " dictionary " << test.dictionary);
    const Bytes content = Shape(test.shape, 300000);
    Lzma2Tuning tuning;
    tuning.dictionary_limit = test.dictionary;
    tuning.literal_context_bits = test.literal_context_bits;
    tuning.position_bits = test.position_bits;
    tuning.piece_bytes = size_t{64} << 10;  // chunks that reset the state and keep the dictionary
    OutputStream block;
    ASSERT_TRUE(WriteLzma2Block(content.data(), content.size(), &block, tuning));
    InputStream header(block.Buffer(), block.Length());
    uint8_t properties = 0;
    uint32_t size = 0;
    ASSERT_TRUE(header.ReadByte(&properties) && header.ReadUVarint(&size));
    ASSERT_EQ(size, content.size());

    Lzma2Decoder decoder;
    ASSERT_TRUE(decoder.Start(test.dictionary, header.Current(), header.Remaining()));
    Bytes decoded(content.size());
    for (size_t done = 0; done < decoded.size();) {
      const size_t part = std::min(test.piece, decoded.size() - done);
      size_t made = 0;
      ASSERT_EQ(decoder.Decode(decoded.data() + done, part, &made), Lzma2Decoder::kDone);
      ASSERT_EQ(made, part);
      done += part;
    }
    size_t consumed = 0;
    ASSERT_EQ(decoder.Finish(&consumed), Lzma2Decoder::kDone);
    EXPECT_EQ(consumed, header.Remaining());
    EXPECT_TRUE(decoded == content);
  }
}

}  // namespace
}  // namespace vxpatch
