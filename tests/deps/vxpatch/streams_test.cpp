// Varints, streams, stream sets, mapped files and the checksum, mostly against
// byte-exact vectors of the formats.
#include "streams.h"
#include "big_buffer.h"
#include "checksum.h"
#include "log.h"
#include "mapped_file.h"
#include "vxpatch/thread_budget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace vxpatch {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Content(const OutputStream& stream) { return Bytes(stream.Buffer(), stream.Buffer() + stream.Length()); }

TEST(VarintTest, UnsignedEncodings) {
  OutputStream out;
  ASSERT_TRUE(out.WriteUVarint(0));
  ASSERT_TRUE(out.WriteUVarint(127));
  ASSERT_TRUE(out.WriteUVarint(300));
  ASSERT_TRUE(out.WriteUVarint(4294967295u));
  EXPECT_EQ(Content(out), (Bytes{0x00, 0x7F, 0xAC, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));

  InputStream in(out);
  uint32_t value = 1;
  for (uint32_t expected : {0u, 127u, 300u, 4294967295u}) {
    ASSERT_TRUE(in.ReadUVarint(&value));
    EXPECT_EQ(value, expected);
  }
  EXPECT_TRUE(in.Empty());
  EXPECT_FALSE(in.ReadUVarint(&value));
}

TEST(VarintTest, FifthByteRules) {
  const Bytes continued{0x80, 0x80, 0x80, 0x80, 0x80, 0x00};
  InputStream rejected(continued.data(), continued.size());
  uint32_t value = 7;
  EXPECT_FALSE(rejected.ReadUVarint(&value));
  EXPECT_EQ(rejected.Remaining(), continued.size()) << "a failed read must not move";
  EXPECT_EQ(value, 7u);

  const Bytes top_bits{0x80, 0x80, 0x80, 0x80, 0x0F};
  InputStream top(top_bits.data(), top_bits.size());
  ASSERT_TRUE(top.ReadUVarint(&value));
  EXPECT_EQ(value, 4026531840u);

  const Bytes dropped_bits{0x80, 0x80, 0x80, 0x80, 0x10};
  InputStream dropped(dropped_bits.data(), dropped_bits.size());
  ASSERT_TRUE(dropped.ReadUVarint(&value));
  EXPECT_EQ(value, 0u);

  const Bytes truncated{0xAC};
  InputStream short_input(truncated.data(), truncated.size());
  EXPECT_FALSE(short_input.ReadUVarint(&value));
  EXPECT_EQ(short_input.Remaining(), 1u);
}

TEST(VarintTest, SignedEncodingsRoundTrip) {
  OutputStream out;
  for (int32_t v : {0, -1, 1, -2}) ASSERT_TRUE(out.WriteSVarint(v));
  EXPECT_EQ(Content(out), (Bytes{0, 1, 2, 3}));

  const int32_t samples[] = {0, 1, -1, 63, -64, 64, -65, 2147483647, -2147483647 - 1, 123456, -123456};
  OutputStream many;
  for (int32_t v : samples) ASSERT_TRUE(many.WriteSVarint(v));
  InputStream in(many);
  for (int32_t expected : samples) {
    int32_t value = 0;
    ASSERT_TRUE(in.ReadSVarint(&value));
    EXPECT_EQ(value, expected);
  }
  EXPECT_TRUE(in.Empty());
}

TEST(InputStreamTest, ReadsAndSubstreamsAreBoundsChecked) {
  const Bytes data{1, 2, 3, 4, 5};
  InputStream in(data.data(), data.size());
  uint8_t buffer[8] = {};
  EXPECT_FALSE(in.Read(buffer, 6));
  EXPECT_FALSE(in.Skip(6));
  ASSERT_TRUE(in.Skip(1));
  InputStream peek;
  EXPECT_FALSE(in.PeekSubstream(3, 2, &peek));
  EXPECT_FALSE(in.PeekSubstream(SIZE_MAX, 1, &peek));
  EXPECT_FALSE(in.PeekSubstream(1, SIZE_MAX, &peek));
  ASSERT_TRUE(in.PeekSubstream(2, 2, &peek));
  EXPECT_EQ(peek.Current()[0], 4);
  EXPECT_EQ(in.Remaining(), 4u);
  InputStream part;
  EXPECT_FALSE(in.ReadSubstream(5, &part));
  ASSERT_TRUE(in.ReadSubstream(2, &part));
  EXPECT_EQ(part.Remaining(), 2u);
  EXPECT_EQ(in.Remaining(), 2u);
  ASSERT_TRUE(in.Read(buffer, 2));
  EXPECT_EQ(buffer[1], 5);
  EXPECT_TRUE(in.Empty());

  const Bytes counted{3, 9, 9};
  InputStream counts(counted.data(), counted.size());
  uint32_t count = 0;
  EXPECT_FALSE(counts.ReadCount(&count)) << "three items cannot fit in two bytes";
  EXPECT_EQ(counts.Remaining(), 3u);
}

TEST(OutputStreamTest, GrowthReserveAppendRetire) {
  OutputStream out;
  EXPECT_TRUE(out.Write(nullptr, 0));
  EXPECT_EQ(out.Capacity(), 0u);
  ASSERT_TRUE(out.WriteByte(1));
  EXPECT_EQ(out.Capacity(), 256u);
  const Bytes block(300, 7);
  ASSERT_TRUE(out.Write(block.data(), block.size()));
  EXPECT_EQ(out.Capacity(), 512u);
  ASSERT_TRUE(out.Reserve(1000));
  EXPECT_EQ(out.Capacity(), 1301u) << "Reserve grows to exactly length + n";
  ASSERT_TRUE(out.Reserve(10));
  EXPECT_EQ(out.Capacity(), 1301u);

  OutputStream tail;
  ASSERT_TRUE(tail.WriteByte(9));
  ASSERT_TRUE(out.Append(&tail));
  EXPECT_EQ(out.Length(), 302u);
  EXPECT_EQ(out.Buffer()[301], 9);
  EXPECT_EQ(tail.Length(), 0u);
  EXPECT_EQ(tail.Buffer(), nullptr);

  out.Retire();
  EXPECT_EQ(out.Length(), 0u);
  EXPECT_EQ(out.Capacity(), 0u);
}

// Past kBigBuffer a stream's buffer is a mapping that moves rather than
// copies: every way of growing, handing on and shrinking it keeps the bytes.
TEST(OutputStreamTest, BigBuffersKeepTheirBytes) {
  OutputStream out;
  Bytes expected;
  for (uint8_t i = 1; expected.size() < 3 * kBigBuffer; ++i) {
    const Bytes chunk(40961, i);
    ASSERT_TRUE(out.Write(chunk.data(), chunk.size()));
    expected.insert(expected.end(), chunk.begin(), chunk.end());
  }
  ASSERT_TRUE(out.Reserve(size_t{20} << 20));
  EXPECT_EQ(Content(out), expected);
  OutputStream moved(std::move(out));
  OutputStream into;
  ASSERT_TRUE(into.Append(&moved));
  EXPECT_EQ(Content(into), expected);
  into.ShrinkToFit();
  EXPECT_EQ(into.Capacity(), expected.size());
  into.Truncate(100);
  into.ShrinkToFit();
  EXPECT_EQ(into.Capacity(), 256u);
  EXPECT_EQ(Content(into), Bytes(expected.begin(), expected.begin() + 100));
}

TEST(BigBufferTest, AlignedAndMovedWhenItCannotGrowInPlace) {
  const size_t size = size_t{3} << 20;
  auto* buffer = static_cast<uint8_t*>(AllocateBigBuffer(size));
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % (uintptr_t{2} << 20), 0u);
  for (size_t i = 0; i < size; ++i) buffer[i] = static_cast<uint8_t>(i * 7);
  // A page taken right behind it leaves only the move.
  void* blocker = ::mmap(buffer + size, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  auto* grown = static_cast<uint8_t*>(ResizeBigBuffer(buffer, size, 3 * size));
  ASSERT_NE(grown, nullptr);
  if (blocker != MAP_FAILED) {
    EXPECT_NE(grown, buffer);
  }
  EXPECT_EQ(reinterpret_cast<uintptr_t>(grown) % (uintptr_t{2} << 20), 0u);
  size_t differing = 0;
  for (size_t i = 0; i < size; ++i) differing += grown[i] != static_cast<uint8_t>(i * 7);
  EXPECT_EQ(differing, 0u);
  grown[3 * size - 1] = 1;
  EXPECT_EQ(ResizeBigBuffer(grown, 3 * size, 100), grown);
  EXPECT_EQ(grown[99], static_cast<uint8_t>(99 * 7));
  FreeBigBuffer(grown, 100);
  if (blocker != MAP_FAILED) ::munmap(blocker, 4096);
}

TEST(OutputStreamTest, FailedStreamRejectsEveryLaterWrite) {
  OutputStream out;
  ASSERT_TRUE(out.WriteByte(1));
  EXPECT_FALSE(out.Reserve(SIZE_MAX)) << "length + n overflows";
  EXPECT_TRUE(out.Failed());
  EXPECT_EQ(out.Length(), 0u);
  EXPECT_EQ(out.Buffer(), nullptr);
  EXPECT_FALSE(out.WriteByte(2));
  EXPECT_FALSE(out.WriteUVarint(1));
  EXPECT_FALSE(out.Reserve(1));
  OutputStream other;
  ASSERT_TRUE(other.WriteByte(3));
  EXPECT_FALSE(out.Append(&other));
  EXPECT_EQ(other.Length(), 1u) << "a failed append leaves the source alone";
  out.Retire();
  EXPECT_FALSE(out.Failed());
  EXPECT_TRUE(out.WriteByte(4));

  OutputStream huge;
  EXPECT_FALSE(huge.Reserve(SIZE_MAX / 2)) << "an impossible allocation is an ordinary failure";
  EXPECT_TRUE(huge.Failed());
}

TEST(OutputStreamDeathTest, SizeBeyond32BitsIsAnAssertion) {
  EXPECT_EXIT(
      {
        voxlog::EngineLog::AddSink(
            [](const voxlog::LogRecord& record) { std::fprintf(stderr, "%s\n", record.message.c_str()); });
        OutputStream out;
        out.WriteSizeUVarint(size_t{1} << 32);
      },
      ::testing::ExitedWithCode(1),
      "Assertion failed: value == narrowed_value, file deps/vxpatch/src/lib/streams.cpp, line [0-9]+");
}

TEST(StreamSetTest, EmptySetAndExactLength) {
  const Bytes empty_set{0xEA, 0x9A, 0xCA, 0x09, 0x00};
  InputStreamSet set;
  EXPECT_EQ(set.Count(), kMaxStreams);
  ASSERT_TRUE(set.InitFromBuffer(empty_set.data(), empty_set.size()));
  EXPECT_EQ(set.Count(), 0u);
  EXPECT_TRUE(set.Empty());
  EXPECT_EQ(set.Stream(0), nullptr);

  Bytes trailing = empty_set;
  trailing.push_back(0);
  InputStreamSet other;
  EXPECT_FALSE(other.InitFromBuffer(trailing.data(), trailing.size()));
  EXPECT_EQ(other.Count(), kMaxStreams) << "a failed parse leaves the set alone";

  const Bytes eleven{0xEA, 0x9A, 0xCA, 0x09, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(other.InitFromBuffer(eleven.data(), eleven.size()));

  const Bytes wrong_version{0xEB, 0x9A, 0xCA, 0x09, 0x00};
  EXPECT_FALSE(other.InitFromBuffer(wrong_version.data(), wrong_version.size()));

  const Bytes short_data{0xEA, 0x9A, 0xCA, 0x09, 2, 1, 2, 0xAA, 0xBB};
  EXPECT_FALSE(other.InitFromBuffer(short_data.data(), short_data.size()));
  const Bytes missing_length{0xEA, 0x9A, 0xCA, 0x09, 2, 1};
  EXPECT_FALSE(other.InitFromBuffer(missing_length.data(), missing_length.size()));
}

TEST(StreamSetTest, FreshOutputSetSerialisesTenZeroLengths) {
  OutputStreamSet set;
  OutputStream out;
  ASSERT_TRUE(set.SerializeSet(&out));
  Bytes expected{0xEA, 0x9A, 0xCA, 0x09, 10};
  expected.resize(expected.size() + 10, 0);
  EXPECT_EQ(Content(out), expected);
}

TEST(StreamSetTest, SerialisedSetParsesInPlace) {
  OutputStreamSet set;
  set.SetCount(3);
  ASSERT_TRUE(set.Stream(0)->WriteByte(0xA0));
  ASSERT_TRUE(set.Stream(2)->Write("xyz", 3));
  ASSERT_TRUE(set.Stream(5)->WriteByte(1));  // beyond the count: not serialised
  OutputStream out;
  ASSERT_TRUE(set.SerializeSet(&out));
  EXPECT_EQ(Content(out), (Bytes{0xEA, 0x9A, 0xCA, 0x09, 3, 1, 0, 3, 0xA0, 'x', 'y', 'z'}));
  EXPECT_EQ(set.Stream(2)->Length(), 0u);
  EXPECT_EQ(out.Capacity(), 256u) << "reserved once, exactly (never below 256)";

  InputStreamSet in;
  ASSERT_TRUE(in.InitFromBuffer(out.Buffer(), out.Length()));
  ASSERT_EQ(in.Count(), 3u);
  EXPECT_EQ(in.Stream(0)->Current(), out.Buffer() + 8) << "no copy";
  EXPECT_EQ(in.Stream(1)->Remaining(), 0u);
  EXPECT_EQ(in.Stream(2)->Remaining(), 3u);
  EXPECT_FALSE(in.Empty());
  ASSERT_TRUE(in.Stream(0)->Skip(1));
  ASSERT_TRUE(in.Stream(2)->Skip(3));
  EXPECT_TRUE(in.Empty());
}

TEST(StreamSetTest, NestedSetsAnnounceTheirLengthsInStreamZero) {
  OutputStreamSet nested;
  ASSERT_TRUE(nested.Stream(0)->Write("ab", 2));
  ASSERT_TRUE(nested.Stream(2)->Write("cde", 3));
  OutputStreamSet outer;
  ASSERT_TRUE(outer.Stream(1)->WriteByte('!'));
  ASSERT_TRUE(outer.WriteSet(&nested));
  EXPECT_EQ(Content(*outer.Stream(0)), (Bytes{3, 2, 0, 3, 'a', 'b'}));
  EXPECT_EQ(Content(*outer.Stream(1)), (Bytes{'!'}));
  EXPECT_EQ(Content(*outer.Stream(2)), (Bytes{'c', 'd', 'e'}));
  EXPECT_EQ(nested.Stream(2)->Length(), 0u);

  OutputStream serialised;
  ASSERT_TRUE(outer.SerializeSet(&serialised));
  InputStreamSet in;
  ASSERT_TRUE(in.InitFromBuffer(serialised.Buffer(), serialised.Length()));
  InputStreamSet read_back;
  ASSERT_TRUE(in.ReadSet(&read_back));
  ASSERT_EQ(read_back.Count(), kMaxStreams) << "a nested set keeps its count";
  EXPECT_EQ(read_back.Stream(0)->Remaining(), 2u);
  EXPECT_EQ(read_back.Stream(1)->Remaining(), 0u);
  EXPECT_EQ(read_back.Stream(2)->Remaining(), 3u);
  for (size_t i = 3; i < kMaxStreams; ++i) EXPECT_TRUE(read_back.Stream(i)->Empty());
  EXPECT_EQ(in.Stream(1)->Remaining(), 1u) << "the outer stream keeps what the nested set did not take";
  EXPECT_TRUE(in.Stream(0)->Empty());

  OutputStreamSet all_empty;
  OutputStreamSet holder;
  ASSERT_TRUE(holder.WriteSet(&all_empty));
  EXPECT_EQ(Content(*holder.Stream(0)), (Bytes{0}));
}

TEST(StreamSetTest, NestedSetRefusesWhatItsOuterSetCannotHold) {
  // Outer set of 2 streams announcing 3 nested streams.
  const Bytes too_many{0xEA, 0x9A, 0xCA, 0x09, 2, 4, 0, 3, 0, 0, 0};
  InputStreamSet in;
  ASSERT_TRUE(in.InitFromBuffer(too_many.data(), too_many.size()));
  InputStreamSet nested;
  EXPECT_FALSE(nested.Stream(0) == nullptr);
  EXPECT_FALSE(in.ReadSet(&nested));
  EXPECT_EQ(in.Stream(0)->Remaining(), 4u) << "a failed nested read leaves the outer set alone";

  // Announces 5 bytes in stream 1 which holds 1.
  const Bytes too_long{0xEA, 0x9A, 0xCA, 0x09, 2, 3, 1, 2, 0, 5, 'x'};
  ASSERT_TRUE(in.InitFromBuffer(too_long.data(), too_long.size()));
  EXPECT_FALSE(in.ReadSet(&nested));
  EXPECT_EQ(in.Stream(0)->Remaining(), 3u);
  EXPECT_EQ(in.Stream(1)->Remaining(), 1u);

  const Bytes eleven{0xEA, 0x9A, 0xCA, 0x09, 1, 1, 11};
  ASSERT_TRUE(in.InitFromBuffer(eleven.data(), eleven.size()));
  EXPECT_FALSE(in.ReadSet(&nested));
}

TEST(ChecksumTest, ComplementOfCrc32) {
  EXPECT_EQ(ComputeChecksum(reinterpret_cast<const uint8_t*>("abc"), 3), 0xCADBBE3Du);
  EXPECT_EQ(ComputeChecksum(nullptr, 0), 0u);
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_TRUE(ChecksumMatches(abc, 3, 0xCADBBE3Du));
  EXPECT_FALSE(ChecksumMatches(abc, 3, 0x352441C2u));
  EXPECT_TRUE(ChecksumMatches(nullptr, 0, 0));
  EXPECT_TRUE(ChecksumMatches(nullptr, 0, 0xFFFFFFFFu)) << "the literal complement of the CRC-32 of nothing";
  EXPECT_FALSE(ChecksumMatches(nullptr, 0, 1));
}

// The CRC-32 bit by bit, as the standard defines it.
uint32_t BitwiseCrc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// The folding CRC agrees with the definition on every length around its
// lane and block sizes, at every alignment, and carried on in pieces.
TEST(ChecksumTest, AgreesWithTheDefinitionAtEveryLengthAndAlignment) {
  std::vector<uint8_t> bytes(4096 + 64);
  uint32_t state = 12345;
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length = 0; length <= 300; ++length) {
      const uint8_t* data = bytes.data() + offset;
      ASSERT_EQ(UpdateCrc32(0, data, length), BitwiseCrc32(data, length)) << offset << " " << length;
    }
  }
  const uint32_t whole = UpdateCrc32(0, bytes.data(), 4096);
  EXPECT_EQ(whole, BitwiseCrc32(bytes.data(), 4096));
  EXPECT_EQ(UpdateCrc32(UpdateCrc32(0, bytes.data(), 1000), bytes.data() + 1000, 3096), whole);
}

TEST(MappedFileTest, MapsWholeFilesAndRefusesEmptyOnes) {
  char directory[] = "/tmp/vxpatch-mapped-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string full = std::string(directory) + "/full";
  const std::string empty = std::string(directory) + "/empty";
  std::ofstream(full, std::ios::binary) << "hello";
  std::ofstream(empty, std::ios::binary).close();

  MappedFile file;
  EXPECT_THROW(file.At(0), std::invalid_argument);
  ASSERT_TRUE(file.Open(full.c_str()));
  EXPECT_EQ(file.Length(), 5u);
  EXPECT_EQ(file.At(4), 'o');
  EXPECT_THROW(file.At(5), std::out_of_range);
  file.Close();
  EXPECT_FALSE(file.Valid());

  EXPECT_FALSE(file.Open(empty.c_str()));
  EXPECT_TRUE(file.OpenedEmpty());
  EXPECT_FALSE(file.Open((std::string(directory) + "/missing").c_str()));
  EXPECT_FALSE(file.OpenedEmpty());
  EXPECT_FALSE(file.Open(directory)) << "a directory is no file";

  std::remove(full.c_str());
  std::remove(empty.c_str());
  rmdir(directory);
}

// Both steps run whether a thread is free or not, the thread taken is given
// back, and an exception of either step reaches the caller only after both
// ended (never through a running thread).
TEST(ThreadBudgetTest, RunBesideRunsBothAndGivesTheThreadBack) {
  for (unsigned lent : {0u, 1u}) {
    ThreadBudget threads(lent);
    for (int failing = 0; failing < 3; ++failing) {
      bool side_ran = false, main_ran = false;
      const auto run = [&] {
        RunBeside(
            &threads,
            [&] {
              side_ran = true;
              if (failing == 1) throw std::bad_alloc();
            },
            [&] {
              main_ran = true;
              if (failing == 2) throw std::bad_alloc();
            });
      };
      if (failing == 0) {
        run();
      } else {
        EXPECT_THROW(run(), std::bad_alloc);
      }
      EXPECT_TRUE(side_ran && (main_ran || (failing == 1 && lent == 0))) << lent << " " << failing;
      for (unsigned i = 0; i < lent; ++i) EXPECT_TRUE(threads.TryTake());
      EXPECT_FALSE(threads.TryTake());
      for (unsigned i = 0; i < lent; ++i) threads.Give();
    }
  }
  bool ran = false;
  RunBeside(nullptr, [&] { ran = true; }, [] {});
  EXPECT_TRUE(ran);
  // The main step may take the thread once the side step has ended.
  ThreadBudget one(1);
  bool retaken = false;
  RunBeside(
      &one, [] {},
      [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!retaken && std::chrono::steady_clock::now() < deadline) retaken = one.TryTake();
        if (retaken) one.Give();
      });
  EXPECT_TRUE(retaken);
}

}  // namespace
}  // namespace vxpatch
