// The vxpatch command line on PE, Mach-O and multi-architecture files: detect
// names the new kinds, roundtrip is exact on each (every thin file of a
// multi-architecture file on its own), and pack --exe writes the executable
// form (directive 2) that unpack turns back into the very same file.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "../deps/vxpatch/exe_fixtures.h"

namespace {

using exefixtures::Bytes;

struct Outcome {
  int status = -1;
  std::string output;
};

class VxpatchExeToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {exefixtures::kMingw32, exefixtures::kMingw64, exefixtures::kClang, exefixtures::kLld,
                             exefixtures::kLipo}) {
      if (!exefixtures::HaveTool(tool)) GTEST_SKIP() << exefixtures::MissingTool(tool);
    }
    ASSERT_TRUE(exefixtures::BuildPe(dir_, false, false, 1, File("pe32.exe")));
    ASSERT_TRUE(exefixtures::BuildPe(dir_, true, true, 1, File("pe64.dll")));
    ASSERT_TRUE(exefixtures::BuildMacho64(dir_, true, 1, File("macho64.dylib")));
    ASSERT_TRUE(exefixtures::BuildWrittenMacho(dir_, false, 1, File("macho32")));
    ASSERT_TRUE(exefixtures::MakeFat({File("macho64.dylib")}, File("fat1")));
    ASSERT_TRUE(exefixtures::MakeFat({File("macho32"), File("macho64.dylib")}, File("fat2")));
  }
  std::string File(const std::string& name) const { return dir_.File(name); }
  Outcome Run(const std::string& arguments) {
    const std::string output = File("stdout");
    const int raw = std::system((std::string(VXPATCH_TOOL) + " " + arguments + " >'" + output + "' 2>&1").c_str());
    Outcome outcome;
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const Bytes text = exetest::ReadFile(output);
    outcome.output.assign(text.begin(), text.end());
    return outcome;
  }
  exefixtures::TempDir dir_;
};

TEST_F(VxpatchExeToolTest, DetectAndRoundtripKnowTheNewKinds) {
  const struct {
    const char* file;
    const char* kind;
  } files[] = {{"pe32.exe", "WIN_32_X86"}, {"pe64.dll", "WIN_32_X64"}, {"macho64.dylib", "MACHO_X64"},
               {"macho32", "MACHO_X86"}};
  for (const auto& f : files) {
    const Outcome detected = Run("detect '" + File(f.file) + "'");
    EXPECT_EQ(detected.status, 0) << f.file;
    EXPECT_EQ(detected.output.rfind(std::string(f.kind) + " ", 0), 0u) << detected.output;
    const Outcome round = Run("roundtrip '" + File(f.file) + "'");
    EXPECT_EQ(round.status, 0) << round.output;
    EXPECT_EQ(round.output.rfind(std::string("exact ") + f.kind + " ", 0), 0u) << round.output;
  }
}

TEST_F(VxpatchExeToolTest, MultiArchitectureFilesAreTakenApartIntoThinFiles) {
  const Outcome one = Run("detect '" + File("fat1") + "'");
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.output.rfind("MACHO_X64 ", 0), 0u) << one.output;
  const Outcome two = Run("detect '" + File("fat2") + "'");
  EXPECT_EQ(two.status, 0);
  EXPECT_NE(two.output.find("MACHO_X86 "), std::string::npos) << two.output;
  EXPECT_NE(two.output.find("\nMACHO_X64 "), std::string::npos) << two.output;
  for (const char* fat : {"fat1", "fat2"}) {
    const Outcome round = Run(std::string("roundtrip '") + File(fat) + "'");
    EXPECT_EQ(round.status, 0) << round.output;
    EXPECT_EQ(round.output.find("differs"), std::string::npos) << round.output;
  }
  const Outcome two_round = Run("roundtrip '" + File("fat2") + "'");
  EXPECT_NE(two_round.output.find("exact MACHO_X86 "), std::string::npos) << two_round.output;
  EXPECT_NE(two_round.output.find("exact MACHO_X64 "), std::string::npos) << two_round.output;
}

TEST_F(VxpatchExeToolTest, PackExeWritesTheExecutableFormAndUnpackRestoresEveryFile) {
  for (const char* name : {"pe32.exe", "pe64.dll", "macho64.dylib", "macho32", "fat1", "fat2"}) {
    SCOPED_TRACE(name);
    const std::string input = File(name), packed = input + ".vx", output = input + ".out";
    const Outcome pack = Run("pack --exe '" + input + "' '" + packed + "'");
    ASSERT_EQ(pack.status, 0) << pack.output;
    EXPECT_TRUE(pack.output.empty()) << pack.output;
    const Bytes container = exetest::ReadFile(packed);
    ASSERT_GT(container.size(), 8u);
    // Magic (4 varint bytes), checksum (up to 5), then the directive.
    size_t at = 4;
    while (container[at] & 0x80) ++at;
    EXPECT_EQ(container[at + 1], 2) << name;
    const Outcome unpack = Run("unpack '" + packed + "' '" + output + "'");
    ASSERT_EQ(unpack.status, 0) << unpack.output;
    EXPECT_EQ(exetest::ReadFile(output), exetest::ReadFile(input));
  }
}

}  // namespace
