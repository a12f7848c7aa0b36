// The vxpatch command line: every command end to end on real files, exit
// statuses 0/1/2 and the engine's message on stderr.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "../deps/vxpatch/bombs.h"
#include "../deps/vxpatch/engine_test_support.h"

namespace {

using vxtest::Bytes;

struct Outcome {
  int status = -1;
  std::string errors;
};

class VxpatchToolTest : public ::testing::Test {
 protected:
  Outcome Run(const std::string& arguments) {
    const std::string errors = dir_.File("stderr");
    const std::string command = std::string(VXPATCH_TOOL) + " " + arguments + " 2>'" + errors + "'";
    const int raw = std::system(command.c_str());
    Outcome outcome;
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const Bytes text = vxtest::ReadFile(errors);
    outcome.errors.assign(text.begin(), text.end());
    return outcome;
  }
  std::string Path(const std::string& name) const { return "'" + dir_.File(name) + "'"; }
  vxtest::TempDir dir_;
};

TEST_F(VxpatchToolTest, PackThenUnpackRestoresTheFile) {
  const Bytes content = vxtest::ReadFile(VXPATCH_TOOL);
  vxtest::WriteFile(dir_.File("in"), content);
  for (const char* option : {"", "--exe "}) {
    EXPECT_EQ(Run(std::string("pack ") + option + Path("in") + " " + Path("packed")).status, 0);
    const Outcome unpacked = Run("unpack " + Path("packed") + " " + Path("out"));
    EXPECT_EQ(unpacked.status, 0) << unpacked.errors;
    EXPECT_TRUE(vxtest::ReadFile(dir_.File("out")) == content);
  }
}

TEST_F(VxpatchToolTest, UnpackFailureShowsTheEngineMessage) {
  vxtest::WriteFile(dir_.File("bad"), {0xE9, 0xAE, 0xA8, 0x3F, 0x00, 0x03});
  const Outcome outcome = Run("unpack " + Path("bad") + " " + Path("out"));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.errors.find("Unknown preprocessing dirrective"), std::string::npos) << outcome.errors;
  EXPECT_FALSE(vxtest::FileExists(dir_.File("out")));

  const Outcome missing = Run("unpack " + Path("missing") + " " + Path("out"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.errors.find("could not open lzma file"), std::string::npos) << missing.errors;
}

// Bombs are refused by the default limit with a hint at --limit, which sets
// the limit either way.
TEST_F(VxpatchToolTest, OutputLimitRefusesBombsWithAHint) {
  vxtest::WriteFile(dir_.File("claims"), vxtest::ClaimingContainer(0xFFFFFFFFu));
  vxtest::WriteFile(dir_.File("split"), vxtest::SplitDiffBomb(size_t{2} << 20));
  vxtest::WriteFile(dir_.File("old"), vxtest::Text("old"));
  vxtest::WriteFile(dir_.File("zeros"), vxtest::ZeroContainer(size_t{2} << 20));
  struct Row {
    std::string arguments;
    std::string message;
  };
  const Row rows[] = {
      {"unpack " + Path("claims") + " " + Path("out"), "the output would exceed the limit of 268435456 bytes"},
      {"apply-diff " + Path("old") + " " + Path("split") + " " + Path("out"),
       "could not apply the diff: the output would exceed the limit of 268435456 bytes"},
      {"unpack --limit 1M " + Path("zeros") + " " + Path("out"), "limit of 1048576 bytes (--limit raises it"},
  };
  for (const Row& row : rows) {
    const Outcome outcome = Run(row.arguments);
    EXPECT_EQ(outcome.status, 1) << row.arguments;
    EXPECT_NE(outcome.errors.find(row.message), std::string::npos) << outcome.errors;
    EXPECT_FALSE(vxtest::FileExists(dir_.File("out")));
  }
  EXPECT_EQ(Run("unpack --limit 2M " + Path("zeros") + " " + Path("out")).status, 0);
  EXPECT_EQ(Run("unpack --limit lots " + Path("zeros") + " " + Path("out")).status, 2);
}

TEST_F(VxpatchToolTest, DiffAndApplyWithEveryMethod) {
  const Bytes old_bytes = vxtest::ReadFile("/usr/lib/x86_64-linux-gnu/libz.so.1");
  ASSERT_FALSE(old_bytes.empty());
  Bytes new_bytes = old_bytes;
  new_bytes.insert(new_bytes.begin() + 4000, 64, 0x90);
  for (size_t i = 100; i < new_bytes.size(); i += 4099) new_bytes[i] ^= 1;
  vxtest::WriteFile(dir_.File("old"), old_bytes);
  vxtest::WriteFile(dir_.File("new"), new_bytes);
  for (const std::string options : {"", "--method raw ", "--method split --header ", "--header --method joined "}) {
    SCOPED_TRACE(options);
    const bool header = options.find("--header") != std::string::npos;
    const Outcome made = Run("diff " + options + Path("old") + " " + Path("new") + " " + Path("diff"));
    ASSERT_EQ(made.status, 0) << made.errors;
    const Outcome applied =
        Run(std::string("apply-diff ") + (header ? "--header " : "") + Path("old") + " " + Path("diff") + " " + Path("result"));
    ASSERT_EQ(applied.status, 0) << applied.errors;
    EXPECT_TRUE(vxtest::ReadFile(dir_.File("result")) == new_bytes);
  }
  // A headerless diff read as one with a header.
  ASSERT_EQ(Run("diff " + Path("old") + " " + Path("new") + " " + Path("plain")).status, 0);
  const Outcome wrong = Run("apply-diff --header " + Path("old") + " " + Path("plain") + " " + Path("result2"));
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.errors.find("Corrupt patch header"), std::string::npos) << wrong.errors;
}

TEST_F(VxpatchToolTest, UsageErrorsExitWithTwo) {
  for (const std::string& arguments :
       {std::string(""), std::string("frobnicate"), std::string("pack onlyone"), std::string("unpack a b c"),
        std::string("pack --fast a b"), std::string("diff --method best a b c"), std::string("diff a b"),
        std::string("diff --method"), std::string("apply-diff --method raw a b c")}) {
    SCOPED_TRACE(arguments);
    const Outcome outcome = Run(arguments);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.errors.find("usage"), std::string::npos) << outcome.errors;
  }
}

}  // namespace
