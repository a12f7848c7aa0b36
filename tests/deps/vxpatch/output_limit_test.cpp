// Output limits: every unpack and apply takes its limit from the caller,
// passes an output of exactly the limit, and refuses one byte more and every
// hand-made bomb cleanly (false or STATUS_OUTPUT_LIMIT, the limit message, the
// caller's stream failed with LimitExceeded) without decoding what a bomb
// announces.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "bombs.h"
#include "engine_test_support.h"
#include "output_limit.h"

namespace vxpatch {
namespace {

using vxtest::Bytes;
using vxtest::LogCapture;

constexpr size_t kSmallLimit = size_t{1} << 20;

std::string LimitMessage(size_t limit) { return "output would exceed the limit of " + std::to_string(limit) + " bytes"; }

bool Unpack(const Bytes& container, size_t limit, OutputStream* result) {
  InputStream in(container.data(), container.size());
  return UnpackLzmaStream(&in, result, limit);
}

bool Apply(const Bytes& old_bytes, const Bytes& diff, size_t limit, OutputStream* result) {
  InputStream old_stream(old_bytes.data(), old_bytes.size());
  InputStream diff_stream(diff.data(), diff.size());
  return ApplyDiff(&old_stream, &diff_stream, result, false, limit);
}

Status Patch(const Bytes& old_bytes, const Bytes& patch, size_t limit, OutputStream* result) {
  InputStream old_stream(old_bytes.data(), old_bytes.size());
  InputStream patch_stream(patch.data(), patch.size());
  return ApplyEnsemblePatch(&old_stream, &patch_stream, result, limit);
}

TEST(OutputStreamLimitTest, WritesStopAtTheLimitAndCapacityNeverPassesIt) {
  OutputStream stream;
  stream.SetLimit(1000);
  const Bytes chunk(300, 7);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(stream.Write(chunk.data(), chunk.size()));
  EXPECT_LE(stream.Capacity(), 1000u);
  EXPECT_TRUE(stream.Write(chunk.data(), 100));  // exactly the limit
  EXPECT_FALSE(stream.WriteByte(1));
  EXPECT_TRUE(stream.Failed());
  EXPECT_TRUE(stream.LimitExceeded());
  stream.Retire();
  EXPECT_FALSE(stream.LimitExceeded());
  EXPECT_EQ(stream.Limit(), 1000u);
  EXPECT_FALSE(stream.Reserve(1001));
  EXPECT_TRUE(stream.LimitExceeded());
}

// The limit is inclusive: an output of exactly the limit passes, one byte
// less fails at once, for every kind of input.
TEST(OutputLimitTest, ExactSizePassesOneByteLessIsRefused) {
  const Bytes content = vxtest::SampleBytes(70000, 3);
  const Bytes old_bytes = vxtest::SampleBytes(60000, 4);
  OutputStream packed;
  ASSERT_TRUE(PackPlainForm(content.data(), content.size(), ComputeChecksum(content.data(), content.size()), &packed));
  const Bytes container = vxtest::Content(packed);
  Bytes patch;
  {
    InputStream old_stream(old_bytes.data(), old_bytes.size());
    InputStream new_stream(content.data(), content.size());
    OutputStream out;
    ASSERT_EQ(CreateEnsemblePatch(&old_stream, &new_stream, &out), STATUS_OK);
    patch = vxtest::Content(out);
  }
  struct Row {
    const char* name;
    std::function<bool(size_t, OutputStream*)> run;
  };
  std::vector<Row> rows = {
      {"container", [&](size_t limit, OutputStream* out) { return Unpack(container, limit, out); }},
      {"patch", [&](size_t limit, OutputStream* out) { return Patch(old_bytes, patch, limit, out) == STATUS_OK; }},
  };
  for (DiffMethod method : {DIFF_RAW, DIFF_LZMA2_SPLIT, DIFF_LZMA2_JOINED}) {
    InputStream old_stream(old_bytes.data(), old_bytes.size());
    InputStream new_stream(content.data(), content.size());
    OutputStream diff;
    ASSERT_TRUE(CreateDiff(&old_stream, &new_stream, &diff, false, method));
    const Bytes diff_bytes = vxtest::Content(diff);
    rows.push_back({"diff", [&old_bytes, diff_bytes](size_t limit, OutputStream* out) {
                      return Apply(old_bytes, diff_bytes, limit, out);
                    }});
  }
  for (const Row& row : rows) {
    OutputStream exact;
    EXPECT_TRUE(row.run(content.size(), &exact)) << row.name;
    EXPECT_EQ(vxtest::Content(exact), content) << row.name;
    LogCapture log;
    OutputStream short_by_one;
    EXPECT_FALSE(row.run(content.size() - 1, &short_by_one)) << row.name;
    EXPECT_TRUE(short_by_one.LimitExceeded()) << row.name;
    EXPECT_EQ(log.Messages().front(), LimitMessage(content.size() - 1)) << row.name;
  }
}

// Each bomb is refused before what it announces is decoded: the result never
// grows (its capacity stays at most a first decoding step).
TEST(OutputLimitTest, BombsAreRefusedCleanly) {
  const Bytes old_bytes = vxtest::SampleBytes(5000, 9);
  struct Row {
    const char* name;
    Bytes input;
    size_t limit;
    std::string message;
  };
  const Row rows[] = {
      {"container of 16 MiB of zeros", vxtest::ZeroContainer(size_t{16} << 20), kSmallLimit,
       LimitMessage(kSmallLimit)},
      {"container claiming 4 GiB", vxtest::ClaimingContainer(0xFFFFFFFFu), size_t{256} << 20,
       LimitMessage(size_t{256} << 20)},
      {"split diff of a 16 MiB control section", vxtest::SplitDiffBomb(size_t{16} << 20), kSmallLimit,
       LimitMessage(WorkLimit(16))},
      {"patch body of 16 MiB", vxtest::PatchBodyBomb(old_bytes, size_t{16} << 20), kSmallLimit,
       LimitMessage(ScaledLimit(kSmallLimit + old_bytes.size(), kBodyLimitFactor))},
      {"joined diff of a 16 MiB control section", vxtest::JoinedDiffBomb(size_t{16} << 20), kSmallLimit,
       LimitMessage(WorkLimit(16))},
      // Its ops alone would assemble to 8 MiB: refused while they arrive.
      {"container of a program of 2 Mi rel32 ops", vxtest::EncodedProgramBomb(2 << 20), kSmallLimit,
       LimitMessage(kSmallLimit)},
  };
  for (const Row& row : rows) {
    LogCapture log;
    OutputStream result;
    bool ok = true;
    if (std::string(row.name).find("container") == 0) {
      ok = Unpack(row.input, row.limit, &result);
    } else if (std::string(row.name).find("diff") != std::string::npos) {
      ok = Apply(old_bytes, row.input, row.limit, &result);
    } else {
      EXPECT_EQ(Patch(old_bytes, row.input, row.limit, &result), STATUS_OUTPUT_LIMIT) << row.name;
      ok = false;
    }
    EXPECT_FALSE(ok) << row.name;
    if (std::string(row.name).find("patch") != 0) {
      EXPECT_TRUE(result.LimitExceeded()) << row.name;
    }
    ASSERT_FALSE(log.Messages().empty()) << row.name;
    EXPECT_EQ(log.Messages().front(), row.message) << row.name;
    EXPECT_LE(result.Capacity(), size_t{64} << 10) << row.name;
  }
}

// The file entries write as they go: a limit failure is told to the caller
// and leaves nothing behind.
TEST(OutputLimitTest, FileUnpackingTellsALimitFailureAndLeavesNoFile) {
  vxtest::TempDir dir;
  const Bytes inputs[] = {vxtest::ZeroContainer(4 * kSmallLimit), vxtest::EncodedProgramBomb(2 << 20)};
  for (const Bytes& input : inputs) {
    ASSERT_TRUE(vxtest::WriteFile(dir.File("in"), input));
    LogCapture log;
    bool over_limit = false;
    EXPECT_FALSE(UnpackLzmaFile(dir.File("in").c_str(), dir.File("out").c_str(), kSmallLimit, &over_limit));
    EXPECT_TRUE(over_limit);
    EXPECT_EQ(vxtest::DirectoryEntries(dir.Path()), std::vector<std::string>{"in"});
  }
}

// A bomb that passes each single limit and would only add up: the sections
// of one diff share the limit of a diff's sections.
TEST(OutputLimitTest, BombsThatAddUpAreRefusedCleanly) {
  const Bytes old_bytes = vxtest::SampleBytes(5000, 9);
  const size_t section = 3 * kSmallLimit;  // each below WorkLimit(kSmallLimit), together above it
  {
    LogCapture log;
    OutputStream result;
    EXPECT_EQ(Patch(old_bytes, vxtest::CorrectionBomb(old_bytes, kSmallLimit, section), kSmallLimit, &result),
              STATUS_OUTPUT_LIMIT);
    ASSERT_FALSE(log.Messages().empty());
    EXPECT_EQ(log.Messages().front(), LimitMessage(WorkLimit(kSmallLimit) - section));
  }
}

// Without a limit, a block that announces 4 GiB but holds 4 KiB costs what it
// holds: the decoder fails at the early end, having grown by its output only.
TEST(OutputLimitTest, AnnouncedSizeIsNeverReservedUpFront) {
  LogCapture log;
  OutputStream result;
  EXPECT_FALSE(Unpack(vxtest::ClaimingContainer(0xFFFFFFFFu), kNoOutputLimit, &result));
  EXPECT_EQ(log.Messages().front(), "Error uncompressing data 0");
  EXPECT_LT(result.Capacity(), size_t{1} << 20);
  EXPECT_EQ(result.Length(), 0u);
}

}  // namespace
}  // namespace vxpatch
