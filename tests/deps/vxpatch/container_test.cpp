// LZMA2 blocks and packed-file containers: vectors, every failure message of
// the reader, the output-file rules, and an independent decoder as oracle.
#include "container.h"
#include "checksum.h"
#include "lzma2_block_reader.h"
#include "lzmaioout.h"
#include "output_file.h"
#include "vxpatch/packed_file.h"
#include "vxpatch/thread_budget.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine_test_support.h"

namespace vxpatch {
namespace {

using vxtest::Bytes;
using vxtest::Content;
using vxtest::LogCapture;
using vxtest::TempDir;

const Bytes kMagicBytes{0xE9, 0xAE, 0xA8, 0x3F};

Bytes Block(const Bytes& content) {
  OutputStream out;
  EXPECT_TRUE(WriteLzma2Block(content.data(), content.size(), &out));
  return Content(out);
}

// The block with its announced size replaced.
Bytes Reannounced(const Bytes& block, uint32_t size) {
  InputStream in(block.data(), block.size());
  uint8_t properties = 0;
  uint32_t old_size = 0;
  EXPECT_TRUE(in.ReadByte(&properties) && in.ReadUVarint(&old_size));
  OutputStream out;
  out.WriteByte(properties);
  out.WriteUVarint(size);
  out.Write(in.Current(), in.Remaining());
  return Content(out);
}

Bytes Container(const Bytes& content) {
  OutputStream out;
  EXPECT_TRUE(PackPlainForm(content.data(), content.size(), ComputeChecksum(content.data(), content.size()), &out));
  return Content(out);
}

TEST(Lzma2BlockTest, RoundTripAppendsAndConsumesExactlyTheBlock) {
  const Bytes content = vxtest::SampleBytes(300000, 1);
  Bytes stream = Block(content);
  const size_t block_size = stream.size();
  stream.push_back(0x5A);  // the next field of an enclosing format

  InputStream in(stream.data(), stream.size());
  OutputStream out;
  ASSERT_TRUE(out.Write("pre", 3));
  ASSERT_TRUE(ReadLzma2Block(&in, &out));
  EXPECT_EQ(in.Position(), block_size);
  ASSERT_EQ(out.Length(), 3 + content.size());
  EXPECT_EQ(Bytes(out.Buffer() + 3, out.Buffer() + out.Length()), content);
  // Grown with the output (doubling), never by more than the block needs.
  EXPECT_LT(out.Capacity(), 2 * out.Length()) << "the output grows with what is decoded";
}

TEST(Lzma2BlockTest, EachFailureIsNamedAndLeavesBothStreamsAlone) {
  const Bytes content = vxtest::SampleBytes(5000, 2);
  const Bytes block = Block(content);
  struct Case {
    const char* what;
    Bytes input;
    std::string message;
  };
  const Case cases[] = {
      {"no bytes", {}, "Error read LZMA2 properties"},
      {"no size", {0x16}, "Error read LZMA2 unpack size"},
      {"unterminated size", {0x16, 0x80, 0x80}, "Error read LZMA2 unpack size"},
      {"announced too large", Reannounced(block, 5001), "Error uncompressing data 0"},
      {"announced too small", Reannounced(block, 4999), "Error uncompressing data 1"},
      {"properties above 40", Bytes{41, 0x00, 0x00}, "Error uncompressing data 4"},
      {"cut short", Bytes(block.begin(), block.begin() + static_cast<long>(block.size() / 2)),
       "Error uncompressing data 6"},
      {"4 GiB from three bytes", Bytes{0x16, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}, "Error uncompressing data 6"},
      {"garbage chunk", Bytes{0x16, 0x05, 0x07, 0x00}, "Error uncompressing data 1"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    LogCapture log;
    InputStream in(test.input.data(), test.input.size());
    OutputStream out;
    ASSERT_TRUE(out.WriteByte(1));
    EXPECT_FALSE(ReadLzma2Block(&in, &out));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{test.message});
    EXPECT_EQ(in.Position(), 0u);
    EXPECT_EQ(out.Length(), 1u);
    EXPECT_LT(out.Capacity(), size_t{1} << 20) << "nothing reserved for an impossible size";
    // Read piece by piece, the same block fails with the same one message.
    log.Clear();
    Lzma2BlockReader reader;
    size_t consumed = 0;
    bool read = reader.Open(in, kNoOutputLimit);
    while (read && reader.Left() > 0) read = reader.Read(nullptr, reader.Left() < 999 ? reader.Left() : 999);
    EXPECT_FALSE(read && reader.Finish(&consumed));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{test.message});
  }
}

TEST(Lzma2BlockTest, ReaderYieldsTheBlockInPiecesAndFindsItsEnd) {
  const Bytes content = vxtest::SampleBytes(300000, 1);
  Bytes stream = Block(content);
  const size_t block_size = stream.size();
  stream.push_back(0x5A);
  InputStream in(stream.data(), stream.size());
  Lzma2BlockReader reader;
  ASSERT_TRUE(reader.Open(in, content.size()));
  Bytes decoded(content.size());
  for (size_t done = 0; done < decoded.size(); done += 7777) {
    ASSERT_TRUE(reader.Read(decoded.data() + done, std::min<size_t>(7777, decoded.size() - done)));
  }
  size_t consumed = 0;
  ASSERT_TRUE(reader.Finish(&consumed));
  EXPECT_EQ(consumed, block_size);
  EXPECT_EQ(decoded, content);
  LogCapture log;
  Lzma2BlockReader limited;
  EXPECT_FALSE(limited.Open(in, content.size() - 1));
  EXPECT_TRUE(limited.LimitExceeded());
  EXPECT_EQ(log.Last(), "output would exceed the limit of " + std::to_string(content.size() - 1) + " bytes");
}

// Decoding ahead on a thread changes nothing the reader sees: the same
// bytes, the same failure at the same read, the same one message.
TEST(Lzma2BlockTest, DecodingAheadYieldsWhatTheReaderWouldDecode) {
  // Large enough to be decoded ahead, plain enough to be packed at once;
  // the second mostly zeros (a correction after a small update), which the
  // decoder holds as sizes alone.
  Bytes plain(size_t{6} << 20);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i % 251 == 0 ? i >> 9 : i / 4096);
  Bytes zeros(size_t{6} << 20);
  for (size_t i = 0; i < zeros.size(); i += i < (size_t{1} << 20) ? 3 : 300007)
    zeros[i] = static_cast<uint8_t>(i);
  struct Case {
    const Bytes* content;
    bool damaged;
  };
  for (const Case& test :
       {Case{&plain, false}, Case{&plain, true}, Case{&zeros, false}, Case{&zeros, true}}) {
    const Bytes& content = *test.content;
    Bytes bytes = Block(content);
    if (test.damaged) bytes[bytes.size() / 2] ^= 0x55;
    const Bytes* block = &bytes;
    struct Outcome {
      Bytes decoded;
      bool finished = false;
      std::vector<std::string> messages;
    } outcomes[2];
    for (unsigned threads = 0; threads < 2; ++threads) {
      SCOPED_TRACE(threads);
      ThreadBudget budget(threads);
      LogCapture log;
      Outcome& outcome = outcomes[threads];
      {
        Lzma2BlockReader reader;
        InputStream in(block->data(), block->size());
        ASSERT_TRUE(reader.Open(in, kNoOutputLimit, &budget));
        EXPECT_EQ(budget.TryTake(), false) << "the decoder holds the one thread";
        Bytes piece(100003);
        bool read = true;
        while (read && reader.Left() > 0) {
          const size_t part = std::min(piece.size(), reader.Left());
          read = reader.Read(piece.data(), part);
          if (read) outcome.decoded.insert(outcome.decoded.end(), piece.begin(), piece.begin() + part);
        }
        size_t consumed = 0;
        outcome.finished = read && reader.Finish(&consumed);
      }
      outcome.messages = log.Messages();
      EXPECT_TRUE(budget.TryTake() == (threads == 1)) << "the thread is given back";
    }
    EXPECT_EQ(outcomes[0].decoded, outcomes[1].decoded);
    EXPECT_EQ(outcomes[0].finished, outcomes[1].finished);
    EXPECT_EQ(outcomes[0].messages, outcomes[1].messages);
    if (!test.damaged)
      EXPECT_TRUE(outcomes[0].finished && outcomes[0].decoded == content);
    else EXPECT_FALSE(outcomes[0].finished || outcomes[0].messages.empty());
  }
}

TEST(Lzma2BlockTest, FailedSinkIsReportedAsAllocationFailure) {
  const Bytes block = Block(vxtest::Text("hello"));
  OutputStream failed;
  ASSERT_FALSE(failed.Reserve(SIZE_MAX));
  LogCapture log;
  InputStream in(block.data(), block.size());
  EXPECT_FALSE(ReadLzma2Block(&in, &failed));
  EXPECT_EQ(log.Last(), "unable to allocate sink space");
}

TEST(Lzma2BlockTest, IndependentDecoderReadsWhatWeWrite) {
  TempDir dir;
  const Bytes content = vxtest::ReadFile("/proc/self/exe");
  ASSERT_GT(content.size(), 10000u);
  const std::string original = dir.File("original");
  const std::string packed = dir.File("packed");
  vxtest::WriteFile(original, content);
  ASSERT_TRUE(PackLzmaFile(original.c_str(), packed.c_str(), false));

  const Bytes container = vxtest::ReadFile(packed);
  InputStream in(container.data(), container.size());
  uint32_t magic = 0, checksum = 0, directive = 0, size = 0;
  uint8_t properties = 0;
  ASSERT_TRUE(in.ReadUVarint(&magic) && in.ReadUVarint(&checksum) && in.ReadUVarint(&directive));
  EXPECT_EQ(Bytes(container.begin(), container.begin() + 4), kMagicBytes);
  EXPECT_EQ(checksum, ComputeChecksum(content.data(), content.size()));
  EXPECT_EQ(directive, 1u);
  ASSERT_TRUE(in.ReadByte(&properties) && in.ReadUVarint(&size));
  EXPECT_EQ(size, content.size());
  ASSERT_LE(properties, 40);
  const uint32_t dictionary = (2u | (properties & 1u)) << (properties / 2 + 11);

  const std::string raw = dir.File("raw");
  vxtest::WriteFile(raw, Bytes(in.Current(), in.Current() + in.Remaining()));
  const std::string command = "xz --format=raw --lzma2=dict=" + std::to_string(dictionary) + " -d -c '" + raw +
                              "' > '" + dir.File("decoded") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_TRUE(vxtest::ReadFile(dir.File("decoded")) == content);
}

// A large block is encoded in pieces whose encoders are primed with the bytes
// before them: content that repeats every 8 KiB costs little in every piece,
// the bytes do not depend on the threads lent, and an independent decoder
// reads the joined stream.
TEST(Lzma2BlockTest, PiecesJoinIntoOneStreamWhateverTheThreads) {
  const Bytes unit = vxtest::SampleBytes(8 << 10, 3);
  Bytes content;
  while (content.size() < (600u << 10)) content.insert(content.end(), unit.begin(), unit.end());
  Lzma2Tuning tuning;
  tuning.piece_bytes = 64 << 10;
  std::vector<Bytes> blocks;
  for (unsigned lent : {0u, 1u, 3u}) {
    ThreadBudget threads(lent);
    tuning.threads = &threads;
    OutputStream out;
    ASSERT_TRUE(WriteLzma2Block(content.data(), content.size(), &out, tuning));
    blocks.push_back(Content(out));
    for (unsigned i = 0; i < lent; ++i) EXPECT_TRUE(threads.TryTake()) << "every lent thread is given back";
    EXPECT_FALSE(threads.TryTake());
  }
  EXPECT_EQ(blocks[0], blocks[1]);
  EXPECT_EQ(blocks[0], blocks[2]);
  EXPECT_LT(blocks[0].size(), 3 * unit.size()) << "each piece matches the bytes before it";

  InputStream in(blocks[0].data(), blocks[0].size());
  OutputStream decoded;
  ASSERT_TRUE(ReadLzma2Block(&in, &decoded));
  EXPECT_TRUE(in.Empty());
  EXPECT_EQ(Content(decoded), content);

  TempDir dir;
  InputStream header(blocks[0].data(), blocks[0].size());
  uint8_t properties = 0;
  uint32_t size = 0;
  ASSERT_TRUE(header.ReadByte(&properties) && header.ReadUVarint(&size));
  vxtest::WriteFile(dir.File("raw"), Bytes(header.Current(), header.Current() + header.Remaining()));
  const std::string command = "xz --format=raw --lzma2=dict=" + std::to_string(size) + " -d -c '" + dir.File("raw") +
                              "' > '" + dir.File("decoded") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_TRUE(vxtest::ReadFile(dir.File("decoded")) == content);
}

class PackedFileTest : public ::testing::Test {
 protected:
  // Unpacks `container` and returns the messages; *ok tells the result.
  std::vector<std::string> Unpack(const Bytes& container, bool* ok) {
    vxtest::WriteFile(input_, container);
    std::remove(output_.c_str());
    LogCapture log;
    *ok = UnpackLzmaFile(input_.c_str(), output_.c_str(), kNoOutputLimit);
    return log.Messages();
  }
  TempDir dir_;
  std::string input_ = dir_.File("input");
  std::string output_ = dir_.File("output");
};

TEST_F(PackedFileTest, EmptyFileContainerIsTheDocumentedBytes) {
  const Bytes container = Container({});
  EXPECT_EQ(container, (Bytes{0xE9, 0xAE, 0xA8, 0x3F, 0x00, 0x01, container[6], 0x00, 0x00}));

  bool ok = false;
  EXPECT_TRUE(Unpack(container, &ok).empty());
  EXPECT_TRUE(ok);
  EXPECT_TRUE(vxtest::FileExists(output_));
  EXPECT_TRUE(vxtest::ReadFile(output_).empty());

  // Nothing to protect: the literal complement of the CRC-32 of nothing is
  // accepted too, any other value is not.
  Bytes literal{0xE9, 0xAE, 0xA8, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01};
  literal.insert(literal.end(), container.begin() + 6, container.end());
  EXPECT_TRUE(Unpack(literal, &ok).empty());
  EXPECT_TRUE(ok);
  Bytes other = container;
  other[4] = 0x01;
  EXPECT_EQ(Unpack(other, &ok), std::vector<std::string>{"crc mismatch"});

  // An empty input file packs to the same container.
  const std::string empty = dir_.File("empty");
  vxtest::WriteFile(empty, {});
  ASSERT_TRUE(PackLzmaFile(empty.c_str(), dir_.File("empty.pk").c_str(), true));
  EXPECT_EQ(vxtest::ReadFile(dir_.File("empty.pk")), container);
}

TEST_F(PackedFileTest, PackUnpackRoundTripOverwritesTheOutput) {
  const Bytes content = vxtest::SampleBytes(70000, 3);
  vxtest::WriteFile(dir_.File("plain"), content);
  ASSERT_TRUE(PackLzmaFile(dir_.File("plain").c_str(), input_.c_str(), false));
  vxtest::WriteFile(output_, vxtest::Text("older and longer content than nothing"));
  ASSERT_TRUE(UnpackLzmaFile(input_.c_str(), output_.c_str(), kNoOutputLimit));
  EXPECT_EQ(vxtest::ReadFile(output_), content);
}

TEST_F(PackedFileTest, MalformedContainersAreRefusedWithTheirMessage) {
  const Bytes good = Container(vxtest::Text("some content to pack, some content to pack"));
  Bytes wrong_magic = good;
  wrong_magic[0] = 0xE8;
  Bytes no_end_marker = good;
  no_end_marker.pop_back();
  struct Case {
    const char* what;
    Bytes container;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"empty file", {}, {"could not open lzma file"}},
      {"header cut", {0xE9, 0xAE, 0xA8, 0x3F, 0x00}, {"could not read lzma header"}},
      {"header only", {0xE9, 0xAE, 0xA8, 0x3F, 0x00, 0x01}, {"Error read LZMA2 properties", "could not decompress file"}},
      {"directive 3", {0xE9, 0xAE, 0xA8, 0x3F, 0x00, 0x03, 0x00, 0x00, 0x00}, {"Unknown preprocessing dirrective"}},
      {"directive 0", {0xE9, 0xAE, 0xA8, 0x3F, 0x00, 0x00}, {"Unknown preprocessing dirrective"}},
      {"wrong magic", wrong_magic, {"not lzma file"}},
      {"no end marker", no_end_marker, {"Error uncompressing data 6", "could not decompress file"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    bool ok = true;
    EXPECT_EQ(Unpack(test.container, &ok), test.messages);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(vxtest::FileExists(output_));
  }
  bool ok = false;
  EXPECT_TRUE(Unpack(good, &ok).empty());
  EXPECT_TRUE(ok);
}

TEST_F(PackedFileTest, AnnouncedSizeMismatchInEitherDirection) {
  const Bytes content = vxtest::SampleBytes(4000, 4);
  const Bytes container = Container(content);
  InputStream in(container.data(), container.size());
  uint32_t header[3];
  ASSERT_TRUE(in.ReadUVarint(&header[0]) && in.ReadUVarint(&header[1]) && in.ReadUVarint(&header[2]));
  const Bytes prefix(container.data(), in.Current());
  const Bytes block(in.Current(), in.Current() + in.Remaining());
  for (uint32_t size : {3999u, 4001u}) {
    SCOPED_TRACE(size);
    Bytes changed = prefix;
    const Bytes reannounced = Reannounced(block, size);
    changed.insert(changed.end(), reannounced.begin(), reannounced.end());
    bool ok = true;
    const std::vector<std::string> messages = Unpack(changed, &ok);
    EXPECT_FALSE(ok);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("Error uncompressing data ", 0), 0u) << messages[0];
    EXPECT_EQ(messages[1], "could not decompress file");
  }
}

TEST_F(PackedFileTest, TrailingBytesAreNeverRead) {
  const Bytes content = vxtest::Text("payload");
  Bytes container = Container(content);
  container.insert(container.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  bool ok = false;
  EXPECT_TRUE(Unpack(container, &ok).empty());
  EXPECT_TRUE(ok);
  EXPECT_EQ(vxtest::ReadFile(output_), content);
}

TEST_F(PackedFileTest, FlippedContentByteIsACrcMismatchAndNoFile) {
  // Store the payload uncompressed-looking: content with a flipped byte,
  // announced with the checksum of the original.
  const Bytes content = vxtest::SampleBytes(2000, 5);
  Bytes flipped = content;
  flipped[1234] ^= 0x40;
  OutputStream out;
  ASSERT_TRUE(PackPlainForm(flipped.data(), flipped.size(), ComputeChecksum(content.data(), content.size()), &out));
  bool ok = true;
  EXPECT_EQ(Unpack(Content(out), &ok), std::vector<std::string>{"crc mismatch"});
  EXPECT_FALSE(ok);
  EXPECT_FALSE(vxtest::FileExists(output_));
  // The content was decoded into a file beside the output: it is gone too.
  EXPECT_EQ(vxtest::DirectoryEntries(dir_.Path()).size(), 1u) << "the input alone";
}

TEST_F(PackedFileTest, UnopenableOutputIsAFailureEvenForAnEmptyResult) {
  // The empty result has nothing to write; a file that cannot be created must
  // still fail the unpack.
  vxtest::WriteFile(input_, Container({}));
  const std::string unreachable = dir_.File("no/such/dir/output");
  LogCapture log;
  EXPECT_FALSE(UnpackLzmaFile(input_.c_str(), unreachable.c_str(), kNoOutputLimit));
  EXPECT_EQ(log.Messages(), std::vector<std::string>{"could not write output file"});

  EXPECT_FALSE(WriteWholeFile(unreachable.c_str(), nullptr, 0));
  EXPECT_FALSE(WriteWholeFile(dir_.Path().c_str(), nullptr, 0)) << "a directory cannot be written as a file";
  EXPECT_TRUE(WriteWholeFile(dir_.File("zero").c_str(), nullptr, 0));
  EXPECT_TRUE(vxtest::FileExists(dir_.File("zero")));

  log.Clear();
  EXPECT_FALSE(PackLzmaFile(dir_.File("missing").c_str(), dir_.File("x").c_str(), false));
  EXPECT_EQ(log.Messages(), std::vector<std::string>{"could not open file"});
  log.Clear();
  EXPECT_FALSE(PackLzmaFile(input_.c_str(), unreachable.c_str(), false));
  EXPECT_EQ(log.Messages(), std::vector<std::string>{"could not write output file"});
}

TEST_F(PackedFileTest, ShortWriteFailsAndLeavesNoPartialFile) {
  if (!vxtest::FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  EXPECT_FALSE(WriteWholeFile("/dev/full", reinterpret_cast<const uint8_t*>("data"), 4));
}

}  // namespace
}  // namespace vxpatch
