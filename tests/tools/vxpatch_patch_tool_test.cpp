// vxpatch make-patch, apply-patch, detect and roundtrip on real files: the
// programs of the three compilers, a spread sample of the machine's own
// libraries and programs, files of other kinds; exit statuses and messages.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "../deps/vxpatch/exe_test_support.h"

namespace {

using exetest::Bytes;

struct Outcome {
  int status = -1;
  std::string out;  // stdout and stderr together
};

Outcome Vxpatch(const std::string& arguments) {
  const std::string command = std::string(VXPATCH_TOOL) + " " + arguments + " 2>&1";
  Outcome outcome;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[4096];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.out.append(buffer, got);
  const int raw = pclose(pipe);
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return outcome;
}

std::string Quote(const std::string& path) { return "'" + path + "'"; }

bool StartsWithElfMagic(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  unsigned char magic[4] = {};
  const bool elf = std::fread(magic, 1, 4, file) == 4 && magic[0] == 0x7F && magic[1] == 'E' &&
                   magic[2] == 'L' && magic[3] == 'F';
  std::fclose(file);
  return elf;
}

// Regular ELF files of a directory, sorted by name.
std::vector<std::string> ElfFiles(const std::string& directory, size_t max_size) {
  std::vector<std::string> files;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return files;
  while (dirent* entry = readdir(dir)) {
    const std::string path = directory + "/" + entry->d_name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (static_cast<size_t>(info.st_size) > max_size || !StartsWithElfMagic(path)) continue;
    files.push_back(path);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

class PatchTool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new exetest::TempDir();
    for (const exetest::Toolchain& toolchain : exetest::Toolchains()) {
      for (int version : {1, 2}) {
        for (bool shared : {false, true}) {
          ASSERT_TRUE(exetest::BuildProgram(*dir_, toolchain, version, shared, Program(toolchain, version, shared)));
        }
      }
    }
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string Program(const exetest::Toolchain& toolchain, int version, bool shared) {
    return dir_->File(std::string(toolchain.name) + "-" + std::to_string(version) + (shared ? ".so" : ""));
  }
  static std::string File(const std::string& name) { return dir_->File(name); }
  static exetest::TempDir* dir_;
};

exetest::TempDir* PatchTool::dir_ = nullptr;

TEST_F(PatchTool, RoundTripIsExactOnProgramsOfEveryCompiler) {
  for (const exetest::Toolchain& toolchain : exetest::Toolchains()) {
    for (int version : {1, 2}) {
      for (bool shared : {false, true}) {
        const std::string program = Program(toolchain, version, shared);
        const Outcome outcome = Vxpatch("roundtrip " + Quote(program));
        EXPECT_EQ(outcome.status, 0) << program << ": " << outcome.out;
        EXPECT_EQ(outcome.out.rfind(std::string("exact ") + vxpatch::ExecutableKindName(toolchain.kind), 0), 0u)
            << outcome.out;
      }
    }
  }
}

TEST_F(PatchTool, MakeThenApplyReproducesEveryPair) {
  for (const exetest::Toolchain& toolchain : exetest::Toolchains()) {
    for (bool shared : {false, true}) {
      const std::string old_path = Program(toolchain, 1, shared), new_path = Program(toolchain, 2, shared);
      SCOPED_TRACE(new_path);
      const std::string patch = File("patch"), result = File("result");
      const Outcome made = Vxpatch("make-patch " + Quote(old_path) + " " + Quote(new_path) + " " + Quote(patch));
      ASSERT_EQ(made.status, 0) << made.out;
      const Outcome applied = Vxpatch("apply-patch " + Quote(old_path) + " " + Quote(patch) + " " + Quote(result));
      ASSERT_EQ(applied.status, 0) << applied.out;
      EXPECT_TRUE(exetest::ReadFile(result) == exetest::ReadFile(new_path));
    }
  }
  // Identical files and files that are no executables.
  exetest::WriteFile(File("a.txt"), Bytes(5000, 'a'));
  exetest::WriteFile(File("b.txt"), Bytes(4000, 'b'));
  const std::string text_a = Quote(File("a.txt")), text_b = Quote(File("b.txt"));
  const std::string x64 = Quote(Program(exetest::Toolchains()[0], 1, false));
  for (const auto& pair : {std::make_pair(text_a, text_b), std::make_pair(text_a, text_a),
                           std::make_pair(x64, x64), std::make_pair(x64, text_b)}) {
    ASSERT_EQ(Vxpatch("make-patch " + pair.first + " " + pair.second + " " + Quote(File("patch"))).status, 0);
    ASSERT_EQ(Vxpatch("apply-patch " + pair.first + " " + Quote(File("patch")) + " " + Quote(File("result"))).status, 0);
    EXPECT_TRUE(exetest::ReadFile(File("result")) == exetest::ReadFile(pair.second.substr(1, pair.second.size() - 2)));
  }
}

TEST_F(PatchTool, MakePatchChoicesAndStats)
{
    const std::string old_path = Quote(Program(exetest::Toolchains()[0], 1, false));
    const std::string new_path = Quote(Program(exetest::Toolchains()[0], 2, false));
    const Outcome elements =
        Vxpatch("make-patch --elements --stats " + old_path + " " + new_path + " " + Quote(File("p")));
    ASSERT_EQ(elements.status, 0) << elements.out;
    for (const char* line :
         {"1 element (element patch ", "labels paired: rel32 ", "element correction ", "  rel32 indexes "})
        EXPECT_NE(elements.out.find(line), std::string::npos) << line << " in " << elements.out;
    const Outcome plain =
        Vxpatch("make-patch --plain --stats " + old_path + " " + new_path + " " + Quote(File("p")));
    ASSERT_EQ(plain.status, 0) << plain.out;
    EXPECT_NE(plain.out.find("0 elements"), std::string::npos) << plain.out;
    EXPECT_EQ(Vxpatch("make-patch --fast " + old_path + " " + new_path + " " + Quote(File("p"))).status, 2);
    // Threads never change the patch; a count that is no number from 1 to
    // 256 is a usage error.
    ASSERT_EQ(Vxpatch("make-patch --jobs 1 " + old_path + " " + new_path + " " + Quote(File("p1"))).status, 0);
    ASSERT_EQ(Vxpatch("make-patch --jobs 3 " + old_path + " " + new_path + " " + Quote(File("p3"))).status, 0);
    EXPECT_TRUE(exetest::ReadFile(File("p1")) == exetest::ReadFile(File("p3")));
    for (const char* jobs : {"0", "257", "x", ""})
        EXPECT_EQ(Vxpatch(std::string("make-patch --jobs '") + jobs + "' " + old_path + " " + new_path + " " +
                          Quote(File("p")))
                      .status,
                  2)
            << jobs;
}

TEST_F(PatchTool, ApplyPatchNamesTheStatusOnFailure) {
  ASSERT_EQ(Vxpatch("make-patch " + Quote(Program(exetest::Toolchains()[0], 1, false)) + " " +
                Quote(Program(exetest::Toolchains()[0], 2, false)) + " " + Quote(File("p")))
                .status,
            0);
  const Outcome wrong_old = Vxpatch("apply-patch " + Quote(Program(exetest::Toolchains()[1], 1, false)) + " " +
                                Quote(File("p")) + " " + Quote(File("r")));
  EXPECT_EQ(wrong_old.status, 1);
  EXPECT_NE(wrong_old.out.find("STATUS_BAD_CRC"), std::string::npos) << wrong_old.out;
  exetest::WriteFile(File("not-a-patch"), Bytes(10, 0x11));
  const Outcome bad_magic = Vxpatch("apply-patch " + Quote(File("p")) + " " + Quote(File("not-a-patch")) + " " +
                                Quote(File("r")));
  EXPECT_EQ(bad_magic.status, 1);
  EXPECT_NE(bad_magic.out.find("STATUS_BAD_MAGIC"), std::string::npos);
  EXPECT_EQ(Vxpatch("apply-patch " + Quote(File("p"))).status, 2);
}

TEST_F(PatchTool, DetectAndRoundTripOfOtherFiles) {
  const std::string program = Program(exetest::Toolchains()[2], 1, true);
  const Outcome detected = Vxpatch("detect " + Quote(program));
  EXPECT_EQ(detected.status, 0);
  EXPECT_EQ(detected.out, "ELF_32_ARM " + std::to_string(exetest::ReadFile(program).size()) + "\n");
  exetest::WriteFile(File("text"), Bytes(100, 't'));
  const Outcome unknown = Vxpatch("detect " + Quote(File("text")));
  EXPECT_EQ(unknown.status, 3);
  EXPECT_EQ(unknown.out, "UNKNOWN 0\n");
  EXPECT_EQ(Vxpatch("roundtrip " + Quote(File("text"))).status, 3);
  EXPECT_EQ(Vxpatch("roundtrip " + Quote(File("missing"))).status, 1);
}

// A spread sample of the machine's own shared libraries and programs: each
// comes back exactly or is refused with a status, never a different result
// and never a crash.
TEST(PatchToolOnThisMachine, RoundTripOfASpreadSampleOfSystemFiles) {
  std::vector<std::string> all = ElfFiles("/usr/lib/x86_64-linux-gnu", 16u << 20);
  const std::vector<std::string> programs = ElfFiles("/usr/bin", 16u << 20);
  all.insert(all.end(), programs.begin(), programs.end());
  ASSERT_GE(all.size(), 100u) << "too few ELF files on this machine";
  const size_t wanted = 120;
  const size_t step = std::max<size_t>(1, all.size() / wanted);
  size_t exact = 0, checked = 0;
  for (size_t i = 0; i < all.size(); i += step) {
    const Outcome outcome = Vxpatch("roundtrip " + Quote(all[i]));
    ++checked;
    if (outcome.status == 0 && outcome.out.rfind("exact ", 0) == 0) {
      ++exact;
    } else {
      // Relocatable objects and other kinds are no executables (3); anything
      // else must be a refusal with a status, not a difference.
      EXPECT_TRUE(outcome.status == 3 || (outcome.status == 1 && outcome.out.rfind("refused: ", 0) == 0))
          << all[i] << ": " << outcome.status << " " << outcome.out;
    }
  }
  EXPECT_GE(checked, 100u);
  EXPECT_GE(exact, checked * 9 / 10);
}

}  // namespace
