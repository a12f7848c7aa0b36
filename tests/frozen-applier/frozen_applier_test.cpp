// Patches made by today's generator apply byte for byte with the applier that
// installed updaters run: the pinned engine's vxpatch tool (vxpatch_frozen).
// Pairs: programs of every kind the cross compilers build (forwards, backwards
// and unchanged, as element patches and as the generator chooses) and data.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "exe_test_support.h"
#include "lzmaioout.h"
#include "vxdiff.h"
#include "vxpatch/ensemble_create.h"
#include "vxpatch/ensemble_patch.h"

namespace {

using exetest::Bytes;

struct Pair {
  std::string name;
  Bytes old_file, new_file;
};

class FrozenApplier : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(VXPATCH_FROZEN).empty()) GTEST_SKIP() << "the pinned applier was not built";
    ASSERT_TRUE(dir_.Valid());
  }

  // Makes the patch with today's engine and applies it with the pinned one.
  void Check(const Pair& pair, vxpatch::PatchChoice choice = vxpatch::PatchChoice::kSmallest) {
    SCOPED_TRACE(pair.name);
    const std::string old_path = dir_.File("old"), new_path = dir_.File("new");
    const std::string patch_path = dir_.File("patch"), result_path = dir_.File("result");
    ASSERT_TRUE(exetest::WriteFile(old_path, pair.old_file));
    ASSERT_TRUE(exetest::WriteFile(new_path, pair.new_file));
    std::remove(result_path.c_str());
    vxpatch::InputStream old_stream(pair.old_file.data(), pair.old_file.size());
    vxpatch::InputStream new_stream(pair.new_file.data(), pair.new_file.size());
    vxpatch::OutputStream patch;
    ASSERT_EQ(vxpatch::CreateEnsemblePatch(&old_stream, &new_stream, &patch, choice, nullptr),
              vxpatch::STATUS_OK);
    ASSERT_TRUE(exetest::WriteFile(patch_path, Bytes(patch.Buffer(), patch.Buffer() + patch.Length())));
    const std::string command = std::string("'") + VXPATCH_FROZEN + "' apply-patch '" + old_path + "' '" +
                                patch_path + "' '" + result_path + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_TRUE(exetest::ReadFile(result_path) == pair.new_file);
  }

  exetest::TempDir dir_;
};

TEST_F(FrozenApplier, AppliesPatchesOfProgramsOfEveryKind) {
  for (const exetest::Toolchain& toolchain : exetest::Toolchains()) {
    for (bool shared : {false, true}) {
      const std::string name = std::string(toolchain.name) + (shared ? " shared" : " executable");
      const std::string v1 = dir_.File("v1"), v2 = dir_.File("v2");
      ASSERT_TRUE(exetest::BuildProgram(dir_, toolchain, 1, shared, v1));
      ASSERT_TRUE(exetest::BuildProgram(dir_, toolchain, 2, shared, v2));
      const Bytes one = exetest::ReadFile(v1), two = exetest::ReadFile(v2);
      // Small programs mostly get plain patches, so the element patches are
      // asked for as well.
      for (vxpatch::PatchChoice choice : {vxpatch::PatchChoice::kSmallest, vxpatch::PatchChoice::kElements}) {
        Check({name + " forwards", one, two}, choice);
        Check({name + " backwards", two, one}, choice);
        Check({name + " unchanged", one, one}, choice);
      }
    }
  }
}

// A version that reorders every function: the labels are paired through
// stretches matched past their references.
TEST_F(FrozenApplier, AppliesPatchesAcrossABigChange) {
  ASSERT_TRUE(exetest::BuildReshuffledProgram(dir_, 1, dir_.File("v1")));
  ASSERT_TRUE(exetest::BuildReshuffledProgram(dir_, 2, dir_.File("v2")));
  const Bytes one = exetest::ReadFile(dir_.File("v1")), two = exetest::ReadFile(dir_.File("v2"));
  for (vxpatch::PatchChoice choice : {vxpatch::PatchChoice::kSmallest, vxpatch::PatchChoice::kElements}) {
    Check({"reshuffled forwards", one, two}, choice);
    Check({"reshuffled backwards", two, one}, choice);
  }
}

TEST_F(FrozenApplier, AppliesPatchesOfData) {
  ASSERT_TRUE(exetest::BuildProgram(dir_, exetest::Toolchains()[0], 1, false, dir_.File("program")));
  const Bytes program = exetest::ReadFile(dir_.File("program"));
  const auto lines = [](int step) {
    Bytes text;
    for (int i = 0; i < 4000; ++i) {
      const std::string line = "line " + std::to_string(i * step % 10007) + " of some text\n";
      text.insert(text.end(), line.begin(), line.end());
    }
    return text;
  };
  const Bytes text = lines(7919);
  Bytes edited = text;
  edited[100] ^= 0x20;
  edited.insert(edited.begin() + 5000, {'n', 'e', 'w'});
  edited.erase(edited.begin() + 20000, edited.begin() + 20100);
  const Pair pairs[] = {
      {"text", text, edited},
      {"text across a big change (a triple every line)", text, lines(7717)},
      {"identical text", text, text},
      {"last byte dropped", text, Bytes(text.begin(), text.end() - 1)},
      {"empty to text", Bytes(), text},
      {"text to empty", text, Bytes()},
      {"empty to empty", Bytes(), Bytes()},
      {"program to text", program, text},
      {"text to program", text, program},
  };
  for (const Pair& pair : pairs) Check(pair);
}

// A block encoded in pieces, each primed with the bytes before it, is one
// LZMA2 stream to the pinned decoder too: a joined diff whose block is so made.
TEST_F(FrozenApplier, DecodesBlocksEncodedInPieces) {
  Bytes old_file, new_file;
  for (uint32_t i = 0; i < 400000; ++i) {
    old_file.push_back(static_cast<uint8_t>(i * 2654435761u >> 24));
    new_file.push_back(static_cast<uint8_t>(i % 5000 == 0 ? i : old_file.back()));
  }
  vxpatch::InputStream old_stream(old_file.data(), old_file.size()), new_stream(new_file.data(), new_file.size());
  vxpatch::OutputStream raw;
  ASSERT_TRUE(vxpatch::CreateDiff(&old_stream, &new_stream, &raw, true, vxpatch::DIFF_RAW));
  // The raw form's sections, lengths first, are what a joined diff's block holds.
  vxpatch::InputStream in(raw.Buffer(), raw.Length());
  uint32_t checksum = 0, size = 0;
  uint8_t method = 0;
  ASSERT_TRUE(in.Skip(8) && in.ReadUVarint(&checksum) && in.ReadByte(&method) && in.ReadUVarint(&size));
  vxpatch::OutputStream joined;
  ASSERT_TRUE(joined.Write(raw.Buffer(), 8) && joined.WriteUVarint(checksum) &&
              joined.WriteByte(vxpatch::DIFF_LZMA2_JOINED) && joined.WriteUVarint(size));
  vxpatch::Lzma2Tuning tuning;
  tuning.piece_bytes = 64 << 10;
  ASSERT_TRUE(vxpatch::WriteLzma2Block(in.Current(), in.Remaining(), &joined, tuning));
  ASSERT_GT(in.Remaining(), 3 * tuning.piece_bytes);

  const std::string old_path = dir_.File("old"), diff_path = dir_.File("diff"), result_path = dir_.File("result");
  ASSERT_TRUE(exetest::WriteFile(old_path, old_file));
  ASSERT_TRUE(exetest::WriteFile(diff_path, Bytes(joined.Buffer(), joined.Buffer() + joined.Length())));
  const std::string command = std::string("'") + VXPATCH_FROZEN + "' apply-diff --header '" + old_path + "' '" +
                              diff_path + "' '" + result_path + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_TRUE(exetest::ReadFile(result_path) == new_file);
}

}  // namespace
