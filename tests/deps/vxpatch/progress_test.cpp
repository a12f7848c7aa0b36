// Progress of unpacking and applying as a watcher sees it: steady, ending at
// the total, and without effect on what is written.
#include "vxpatch/progress.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bombs.h"
#include "checksum.h"
#include "container.h"
#include "engine_test_support.h"
#include "vxdiff.h"
#include "vxpatch/ensemble_patch.h"
#include "vxpatch/packed_file.h"

namespace vxpatch {
namespace {

using vxtest::Bytes;
using vxtest::Content;
using vxtest::TempDir;

using Calls = std::vector<std::pair<uint64_t, uint64_t>>;

ProgressFn Recorder(Calls* calls) {
  return [calls](uint64_t done, uint64_t total) { calls->emplace_back(done, total); };
}

constexpr size_t kFileSize = size_t{16} << 20;

// An old file, a patch that turns it into a new one (no elements; the final
// correction adds mostly zero bytes, so the body packs fast) and a container.
class ProgressTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    Bytes old_file = vxtest::SampleBytes(kFileSize, 7);
    Bytes new_file = old_file;
    for (size_t i = 0; i < new_file.size(); i += 4096) new_file[i] = static_cast<uint8_t>(new_file[i] + 1);

    OutputStream final_correction;
    final_correction.WriteByte(DIFF_RAW);
    final_correction.WriteUVarint(static_cast<uint32_t>(kFileSize));
    // One triple per 1 MiB, so that the new bytes come in many steps.
    OutputStream control;
    OutputStream diff;
    for (size_t at = 0; at < kFileSize; at += size_t{1} << 20) {
      control.WriteSVarint(1 << 20);
      control.WriteSVarint(0);
      control.WriteSVarint(0);
    }
    for (size_t i = 0; i < kFileSize; ++i) diff.WriteByte(static_cast<uint8_t>(new_file[i] - old_file[i]));
    final_correction.WriteUVarint(static_cast<uint32_t>(control.Length()));
    final_correction.WriteUVarint(static_cast<uint32_t>(diff.Length()));
    final_correction.WriteUVarint(0);
    final_correction.Write(control.Buffer(), control.Length());
    final_correction.Write(diff.Buffer(), diff.Length());
    const Bytes patch = vxtest::ElementlessPatch(old_file, final_correction,
                                                 ComputeChecksum(new_file.data(), new_file.size()),
                                                 static_cast<uint32_t>(kFileSize));

    OutputStream container;
    PackPlainForm(diff.Buffer(), diff.Length(), ComputeChecksum(diff.Buffer(), diff.Length()), &container);

    vxtest::WriteFile(dir_->File("old"), old_file);
    vxtest::WriteFile(dir_->File("patch"), patch);
    vxtest::WriteFile(dir_->File("container"), Content(container));
    expected_patched_ = new Bytes(std::move(new_file));
    expected_unpacked_ = new Bytes(Content(diff));
  }
  static void TearDownTestSuite() {
    delete dir_;
    delete expected_patched_;
    delete expected_unpacked_;
  }

  static TempDir* dir_;
  static Bytes* expected_patched_;
  static Bytes* expected_unpacked_;
};

TempDir* ProgressTest::dir_ = nullptr;
Bytes* ProgressTest::expected_patched_ = nullptr;
Bytes* ProgressTest::expected_unpacked_ = nullptr;

TEST_F(ProgressTest, PatchingAndUnpackingReportSteadilyAndWriteTheSame) {
  const std::string old_path = dir_->File("old");
  const std::string patch_path = dir_->File("patch");
  const std::string container_path = dir_->File("container");
  struct Row {
    const char* what;
    std::function<bool(const std::string& out, const ProgressFn& progress)> run;
    const Bytes* expected;
  };
  // Helper threads change neither the result nor the reports.
  ThreadBudget none(0);
  ThreadBudget one(1);
  const Row rows[] = {
      {"patch",
       [&](const std::string& out, const ProgressFn& progress) {
         return ApplyEnsemblePatch(old_path.c_str(), patch_path.c_str(), out.c_str(), kFileSize, progress, &none) ==
                STATUS_OK;
       },
       expected_patched_},
      {"patch with a helper thread",
       [&](const std::string& out, const ProgressFn& progress) {
         return ApplyEnsemblePatch(old_path.c_str(), patch_path.c_str(), out.c_str(), kFileSize, progress, &one) ==
                STATUS_OK;
       },
       expected_patched_},
      {"container",
       [&](const std::string& out, const ProgressFn& progress) {
         return UnpackLzmaFile(container_path.c_str(), out.c_str(), kFileSize, nullptr, progress);
       },
       expected_unpacked_},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Calls calls;
    ASSERT_TRUE(row.run(dir_->File("watched"), Recorder(&calls)));
    ASSERT_TRUE(row.run(dir_->File("unwatched"), ProgressFn()));
    EXPECT_EQ(vxtest::ReadFile(dir_->File("watched")), *row.expected);
    EXPECT_EQ(vxtest::ReadFile(dir_->File("unwatched")), *row.expected);

    // Several steps of at most a few MiB each, never backwards, one total,
    // the last call at the total and no call repeated.
    ASSERT_GE(calls.size(), 5u);
    EXPECT_LE(calls.size(), 2 * kFileSize / kProgressStep + 8);
    EXPECT_EQ(calls.front().first, 0u);
    for (size_t i = 1; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].second, calls[0].second);
      EXPECT_GT(calls[i].first, calls[i - 1].first);
      // No jump over more than a third of the way.
      EXPECT_LE(calls[i].first - calls[i - 1].first, calls[0].second / 3) << "at call " << i;
    }
    EXPECT_EQ(calls.back().first, calls.back().second);
  }
}

TEST_F(ProgressTest, AFailedOperationNeverReportsCompletion) {
  Bytes damaged = vxtest::ReadFile(dir_->File("container"));
  damaged[5] ^= 0x40;  // the checksum
  ASSERT_TRUE(vxtest::WriteFile(dir_->File("damaged"), damaged));
  Calls calls;
  EXPECT_FALSE(UnpackLzmaFile(dir_->File("damaged").c_str(), dir_->File("out").c_str(), kFileSize, nullptr,
                              Recorder(&calls)));
  ASSERT_FALSE(calls.empty());
  EXPECT_LT(calls.back().first, calls.back().second);
}

}  // namespace
}  // namespace vxpatch
