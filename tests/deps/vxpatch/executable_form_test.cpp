// The executable form of packed files (directive 2): packing with the
// executable preprocessing and unpacking reproduce ELF, PE, Mach-O and
// multi-architecture files exactly; the fallbacks to the plain form; the
// unpacker's refusals of damaged payloads; and ensemble patches between two
// versions of a PE and a Mach-O program.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "checksum.h"
#include "encoded_program.h"
#include "engine_test_support.h"
#include "exe_fixtures.h"
#include "executable_form.h"
#include "lzmaioout.h"
#include "vxdiff.h"
#include "vxpatch/ensemble_patch.h"
#include "vxpatch/packed_file.h"

namespace {

using exefixtures::Bytes;

// Every engine message of WARNING and worse, and the DEBUG lines, while it lives.
class AllMessages {
 public:
  AllMessages() {
    handle_ = voxlog::EngineLog::AddSink([this](const voxlog::LogRecord& record) {
      (record.level <= voxlog::LOG_WARNING ? problems : debug).push_back(record.message);
    });
  }
  ~AllMessages() { voxlog::EngineLog::RemoveSink(handle_); }
  bool Has(const std::string& message) const {
    for (const auto* list : {&problems, &debug}) {
      for (const std::string& m : *list) {
        if (m == message) return true;
      }
    }
    return false;
  }
  std::vector<std::string> problems, debug;

 private:
  int handle_ = 0;
};

struct Header {
  uint32_t magic = 0, checksum = 0, directive = 0;
  size_t size = 0;
};

Header ReadHeader(const Bytes& packed) {
  Header header;
  vxpatch::InputStream in(packed.data(), packed.size());
  in.ReadUVarint(&header.magic);
  in.ReadUVarint(&header.checksum);
  in.ReadUVarint(&header.directive);
  header.size = in.Position();
  return header;
}

class ExecutableFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {exefixtures::kMingw32, exefixtures::kMingw64, exefixtures::kClang, exefixtures::kLld,
                             exefixtures::kLipo}) {
      if (!exefixtures::HaveTool(tool)) GTEST_SKIP() << exefixtures::MissingTool(tool);
    }
  }

  // Packs with preprocessing, checks the directive, unpacks and compares.
  Bytes PackAndUnpack(const std::string& input, uint32_t directive) {
    const std::string packed = input + ".packed", unpacked = input + ".unpacked";
    EXPECT_TRUE(vxpatch::PackLzmaFile(input.c_str(), packed.c_str(), true)) << input;
    const Bytes container = exetest::ReadFile(packed);
    EXPECT_EQ(ReadHeader(container).directive, directive) << input;
    EXPECT_TRUE(vxpatch::UnpackLzmaFile(packed.c_str(), unpacked.c_str(), vxpatch::kNoOutputLimit)) << input;
    EXPECT_EQ(exetest::ReadFile(unpacked), exetest::ReadFile(input)) << input;
    return container;
  }

  // A directive-2 container of `payload` with the given checksum.
  Bytes Container(const Bytes& payload, uint32_t checksum) {
    vxpatch::OutputStream out;
    out.WriteUVarint(vxpatch::kPackedFileMagic);
    out.WriteUVarint(checksum);
    out.WriteUVarint(vxpatch::DIRECTIVE_EXECUTABLE);
    vxpatch::WriteLzma2Block(payload.data(), payload.size(), &out);
    return vxtest::Content(out);
  }

  // Unpacks `container`; returns the ERROR messages, and whether it worked.
  bool Unpack(const Bytes& container, std::vector<std::string>* errors) {
    const std::string packed = dir_.File("damaged.packed"), output = dir_.File("damaged.out");
    exetest::WriteFile(packed, container);
    std::remove(output.c_str());
    vxtest::LogCapture capture;
    const bool ok = vxpatch::UnpackLzmaFile(packed.c_str(), output.c_str(), vxpatch::kNoOutputLimit);
    *errors = capture.Messages();
    EXPECT_EQ(vxtest::FileExists(output), ok);
    return ok;
  }

  exefixtures::TempDir dir_;
};

TEST_F(ExecutableFormTest, ExecutablesOfEveryKindComeBackExactly) {
  std::vector<std::string> inputs;
  for (bool plus : {false, true}) {
    for (bool dll : {false, true}) {
      inputs.push_back(dir_.File(std::string(plus ? "pe64" : "pe32") + (dll ? ".dll" : ".exe")));
      ASSERT_TRUE(exefixtures::BuildPe(dir_, plus, dll, 1, inputs.back()));
    }
  }
  inputs.push_back(dir_.File("linked.dylib"));
  ASSERT_TRUE(exefixtures::BuildMacho64(dir_, true, 1, inputs.back()));
  inputs.push_back(dir_.File("written32"));
  ASSERT_TRUE(exefixtures::BuildWrittenMacho(dir_, false, 1, inputs.back()));
  inputs.push_back(dir_.File("written64"));
  ASSERT_TRUE(exefixtures::BuildWrittenMacho(dir_, true, 1, inputs.back()));
  const std::string elf = dir_.File("elf64");
  if (exetest::BuildProgram(dir_, exetest::Toolchains()[0], 1, true, elf)) inputs.push_back(elf);
  const std::string elf32 = dir_.File("elf32");
  if (exetest::BuildProgram(dir_, exetest::Toolchains()[1], 1, false, elf32)) inputs.push_back(elf32);

  for (const std::string& input : inputs) {
    AllMessages messages;
    PackAndUnpack(input, vxpatch::DIRECTIVE_EXECUTABLE);
    EXPECT_TRUE(messages.problems.empty()) << input << ": " << messages.problems.front();
    EXPECT_EQ(messages.debug.size() >= 1 && messages.debug[0].rfind("detected ", 0) == 0, true) << input;
  }
}

TEST_F(ExecutableFormTest, MultiArchitectureFilesStoreEachThinFileAsAnElement) {
  const std::string thin32 = dir_.File("thin32"), thin64 = dir_.File("thin64.dylib");
  ASSERT_TRUE(exefixtures::BuildWrittenMacho(dir_, false, 1, thin32));
  ASSERT_TRUE(exefixtures::BuildMacho64(dir_, true, 1, thin64));
  const std::string one = dir_.File("fat1"), two = dir_.File("fat2");
  ASSERT_TRUE(exefixtures::MakeFat({thin64}, one));
  ASSERT_TRUE(exefixtures::MakeFat({thin32, thin64}, two));
  {
    AllMessages messages;
    PackAndUnpack(one, vxpatch::DIRECTIVE_EXECUTABLE);
    EXPECT_EQ(messages.debug, std::vector<std::string>({"detected MACHO_X64"}));
  }
  AllMessages messages;
  PackAndUnpack(two, vxpatch::DIRECTIVE_EXECUTABLE);
  EXPECT_EQ(messages.debug, std::vector<std::string>({"detected MACHO_X86", "detected MACHO_X64"}));
  EXPECT_TRUE(messages.problems.empty());
}

TEST_F(ExecutableFormTest, FilesWithoutAnExecutableUseThePlainFormSilently) {
  const std::string text = dir_.File("notes.txt");
  exetest::WriteFile(text, vxtest::SampleBytes(20000, 3));
  for (const std::string& input : {text}) {
    AllMessages messages;
    PackAndUnpack(input, vxpatch::DIRECTIVE_PLAIN);
    EXPECT_TRUE(messages.problems.empty()) << input;
    EXPECT_TRUE(messages.debug.empty()) << input;
  }
}

TEST_F(ExecutableFormTest, AFailureAfterTheHeaderFallsBackToAValidPlainContainer) {
  // A DLL whose first base-relocation block is unreasonable is still
  // detected, but cannot be parsed.
  const std::string dll = dir_.File("broken.dll");
  ASSERT_TRUE(exefixtures::BuildPe(dir_, false, true, 1, dll));
  Bytes file = exetest::ReadFile(dll);
  const uint32_t pe = exefixtures::MachoWriter::Get32(file, 60);
  const uint32_t relocs_rva = exefixtures::MachoWriter::Get32(file, pe + 24 + 96 + 40);
  const uint16_t sections = static_cast<uint16_t>(file[pe + 6] | file[pe + 7] << 8);
  const uint32_t table = pe + 24 + static_cast<uint32_t>(file[pe + 20] | file[pe + 21] << 8);
  bool damaged = false;
  for (uint16_t i = 0; i < sections && !damaged; ++i) {
    const uint32_t va = exefixtures::MachoWriter::Get32(file, table + i * 40 + 12);
    const uint32_t raw = exefixtures::MachoWriter::Get32(file, table + i * 40 + 20);
    const uint32_t raw_size = exefixtures::MachoWriter::Get32(file, table + i * 40 + 16);
    if (relocs_rva >= va && relocs_rva - va < raw_size) {
      exefixtures::MachoWriter::Put(&file, raw + (relocs_rva - va) + 4, 4, 6);
      damaged = true;
    }
  }
  ASSERT_TRUE(damaged);
  exetest::WriteFile(dll, file);

  AllMessages messages;
  PackAndUnpack(dll, vxpatch::DIRECTIVE_PLAIN);
  EXPECT_TRUE(messages.Has("detected WIN_32_X86"));
  EXPECT_TRUE(messages.Has("could not parse file"));
  ASSERT_FALSE(messages.problems.empty());
  EXPECT_EQ(messages.problems.back(), "falling back to default compression");
}

TEST_F(ExecutableFormTest, DamagedPayloadsAreRefused) {
  const Bytes content = vxtest::SampleBytes(5000, 9);
  const uint32_t checksum = vxpatch::ComputeChecksum(content.data(), content.size());
  std::vector<std::string> errors;

  // One stream: there is no room for an element and the diff.
  vxpatch::OutputStreamSet single;
  single.SetCount(1);
  single.Stream(0)->Write(content.data(), content.size());
  vxpatch::OutputStream serialised;
  ASSERT_TRUE(single.SerializeSet(&serialised));
  EXPECT_FALSE(Unpack(Container(vxtest::Content(serialised), checksum), &errors));
  EXPECT_EQ(errors, std::vector<std::string>({"dis_and_diff too small"}));

  // Eleven streams cannot be a stream set.
  vxpatch::OutputStream eleven;
  eleven.WriteUVarint(vxpatch::kStreamSetVersion);
  eleven.WriteUVarint(11);
  for (int i = 0; i < 11; ++i) eleven.WriteUVarint(0);
  EXPECT_FALSE(Unpack(Container(vxtest::Content(eleven), checksum), &errors));
  EXPECT_EQ(errors, std::vector<std::string>({"could not init dif_and_dis set"}));

  // Not even an LZMA2 block.
  Bytes truncated = Container(vxtest::Content(eleven), checksum);
  truncated.resize(ReadHeader(truncated).size);
  EXPECT_FALSE(Unpack(truncated, &errors));
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), "could not decompress file");

  // A real executable form whose element stream is damaged, and one whose
  // diff yields a file of another checksum.
  const std::string exe = dir_.File("pe32.exe");
  ASSERT_TRUE(exefixtures::BuildPe(dir_, false, false, 1, exe));
  const Bytes good = PackAndUnpack(exe, vxpatch::DIRECTIVE_EXECUTABLE);
  const Header header = ReadHeader(good);
  vxpatch::InputStream block(good.data() + header.size, good.size() - header.size);
  vxpatch::OutputStream payload;
  ASSERT_TRUE(vxpatch::ReadLzma2Block(&block, &payload));
  const Bytes original = vxtest::Content(payload);

  EXPECT_FALSE(Unpack(Container(original, header.checksum + 1), &errors));
  EXPECT_EQ(errors, std::vector<std::string>({"crc mismatch"}));

  vxpatch::InputStreamSet set;
  ASSERT_TRUE(set.InitFromBuffer(original.data(), original.size()));
  ASSERT_EQ(set.Count(), 2u);
  const size_t element_start = static_cast<size_t>(set.Stream(0)->Current() - original.data());
  const size_t diff_start = static_cast<size_t>(set.Stream(1)->Current() - original.data());
  Bytes bad_set = original;
  bad_set[element_start] ^= 0x40;  // the nested set's version
  EXPECT_FALSE(Unpack(Container(bad_set, header.checksum), &errors));
  EXPECT_EQ(errors, std::vector<std::string>({"could not init program_source set"}));
  Bytes bad_diff = original;
  bad_diff[diff_start] = 7;  // no such diff method
  EXPECT_FALSE(Unpack(Container(bad_diff, header.checksum), &errors));
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), "could not apply diff");
}

// The packer writes the final diff raw; a diff of either LZMA2 method in its
// place unpacks to the same file, within a limit of exactly its size.
TEST_F(ExecutableFormTest, FinalDiffsOfTheLzma2MethodsUnpackAlike) {
  const std::string exe = dir_.File("pe32.exe");
  ASSERT_TRUE(exefixtures::BuildPe(dir_, false, false, 1, exe));
  const Bytes file = exetest::ReadFile(exe);
  const Bytes good = PackAndUnpack(exe, vxpatch::DIRECTIVE_EXECUTABLE);
  const Header header = ReadHeader(good);
  vxpatch::InputStream block(good.data() + header.size, good.size() - header.size);
  vxpatch::OutputStream payload;
  ASSERT_TRUE(vxpatch::ReadLzma2Block(&block, &payload));
  vxpatch::InputStreamSet set;
  ASSERT_TRUE(set.InitFromBuffer(payload.Buffer(), payload.Length()));
  const vxpatch::InputStream program = *set.Stream(0);
  vxpatch::InputStreamSet program_set;
  ASSERT_TRUE(program_set.InitFromBuffer(program.Current(), program.Remaining()));
  vxpatch::OutputStream assembly;
  ASSERT_EQ(vxpatch::AssembleEncodedProgram(&program_set, &assembly), vxpatch::STATUS_OK);
  for (vxpatch::DiffMethod method : {vxpatch::DIFF_LZMA2_SPLIT, vxpatch::DIFF_LZMA2_JOINED}) {
    vxpatch::OutputStreamSet rebuilt;
    rebuilt.SetCount(2);
    rebuilt.Stream(0)->Write(program.Current(), program.Remaining());
    vxpatch::InputStream old_bytes(assembly);
    vxpatch::InputStream new_bytes(file.data(), file.size());
    ASSERT_TRUE(vxpatch::CreateDiff(&old_bytes, &new_bytes, rebuilt.Stream(1), false, method));
    vxpatch::OutputStream serialised;
    ASSERT_TRUE(rebuilt.SerializeSet(&serialised));
    const std::string packed = dir_.File("method.packed"), unpacked = dir_.File("method.out");
    exetest::WriteFile(packed, Container(vxtest::Content(serialised), header.checksum));
    EXPECT_TRUE(vxpatch::UnpackLzmaFile(packed.c_str(), unpacked.c_str(), file.size())) << int{method};
    EXPECT_EQ(exetest::ReadFile(unpacked), file) << int{method};
  }
}

// Whatever the damage to headers and tables, packing either builds a form
// that unpacks to exactly the input or falls back to the plain form.
TEST_F(ExecutableFormTest, DamagedExecutablesStillPackToExactContainers) {
  const std::string dll = dir_.File("pe32.dll"), dll64 = dir_.File("pe64.dll"), written = dir_.File("macho32");
  const std::string dylib = dir_.File("macho64.dylib"), fat = dir_.File("fat");
  ASSERT_TRUE(exefixtures::BuildPe(dir_, false, true, 1, dll));
  ASSERT_TRUE(exefixtures::BuildPe(dir_, true, true, 1, dll64));
  ASSERT_TRUE(exefixtures::BuildWrittenMacho(dir_, false, 1, written));
  ASSERT_TRUE(exefixtures::BuildMacho64(dir_, true, 1, dylib));
  ASSERT_TRUE(exefixtures::MakeFat({written, dylib}, fat));
  AllMessages quiet;  // the fallbacks' warnings are expected here
  uint32_t state = 77;
  auto next = [&state] { return state = state * 1103515245u + 12345u; };
  for (const std::string& input : {dll, dll64, written, dylib, fat}) {
    const Bytes good = exetest::ReadFile(input);
    size_t packed_forms = 0;
    for (int round = 0; round < 30; ++round) {
      Bytes damaged = good;
      for (int flips = 0; flips < 3; ++flips) damaged[next() % std::min<size_t>(good.size(), 4096)] ^= next() >> 20;
      const uint32_t checksum = vxpatch::ComputeChecksum(damaged.data(), damaged.size());
      vxpatch::OutputStream packed;
      const vxpatch::ExecutablePackResult result =
          vxpatch::PackExecutableForm(damaged.data(), damaged.size(), checksum, &packed);
      ASSERT_NE(result, vxpatch::ExecutablePackResult::kFailed) << input << " round " << round;
      if (result == vxpatch::ExecutablePackResult::kUsePlainForm) {
        EXPECT_EQ(packed.Length(), 0u);
        continue;
      }
      ++packed_forms;
      vxpatch::InputStream in(packed);
      vxpatch::OutputStream unpacked;
      ASSERT_TRUE(vxpatch::UnpackLzmaStream(&in, &unpacked, vxpatch::kNoOutputLimit)) << input << " round " << round;
      EXPECT_EQ(vxtest::Content(unpacked), damaged) << input << " round " << round;
    }
    EXPECT_GT(packed_forms, 5u) << input;
  }
}

TEST_F(ExecutableFormTest, EnsemblePatchesBetweenVersionsApplyExactly) {
  struct Pair {
    const char* name;
    std::string old_file, new_file;
  };
  std::vector<Pair> pairs;
  for (bool plus : {false, true}) {
    // mingw names an output without an extension ".exe".
    const std::string extension = plus ? "_64.dll" : "_32.exe";
    Pair pair{plus ? "PE32+ DLL" : "PE32 program", dir_.File("pe_v1" + extension), dir_.File("pe_v2" + extension)};
    ASSERT_TRUE(exefixtures::BuildPe(dir_, plus, plus, 1, pair.old_file));
    ASSERT_TRUE(exefixtures::BuildPe(dir_, plus, plus, 2, pair.new_file));
    pairs.push_back(pair);
  }
  Pair dylib{"Mach-O dylib", dir_.File("macho_v1.dylib"), dir_.File("macho_v2.dylib")};
  ASSERT_TRUE(exefixtures::BuildMacho64(dir_, true, 1, dylib.old_file));
  ASSERT_TRUE(exefixtures::BuildMacho64(dir_, true, 2, dylib.new_file));
  pairs.push_back(dylib);
  Pair written{"32-bit Mach-O program", dir_.File("macho32_v1"), dir_.File("macho32_v2")};
  ASSERT_TRUE(exefixtures::BuildWrittenMacho(dir_, false, 1, written.old_file));
  ASSERT_TRUE(exefixtures::BuildWrittenMacho(dir_, false, 2, written.new_file));
  pairs.push_back(written);

  for (const Pair& pair : pairs) {
    const std::string patch = pair.new_file + ".patch", result = pair.new_file + ".result";
    ASSERT_EQ(vxpatch::CreateEnsemblePatch(pair.old_file.c_str(), pair.new_file.c_str(), patch.c_str()),
              vxpatch::STATUS_OK)
        << pair.name;
    ASSERT_EQ(vxpatch::ApplyEnsemblePatch(pair.old_file.c_str(), patch.c_str(), result.c_str(), vxpatch::kNoOutputLimit), vxpatch::STATUS_OK)
        << pair.name;
    EXPECT_EQ(exetest::ReadFile(result), exetest::ReadFile(pair.new_file)) << pair.name;
  }
}

}  // namespace
