// Detection and the ELF parsers: real programs built by the installed
// compilers come back byte for byte, the header checks refuse what they
// should (and detection moves on), the scan rules find exactly their
// candidates, and damaged files fail cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "disassembler_elf32_arm.h"
#include "disassembler_elf32_x86.h"
#include "disassembler_elf64_x64.h"
#include "exe_test_support.h"
#include "executable_detection.h"
#include "rel32_scan_x86.h"

namespace {

using exetest::Bytes;
using exetest::ElfBuilder;
using exetest::SynthSection;

size_t CountKind(const vxpatch::ParsedProgram& program, vxpatch::InstructionKind kind) {
  return static_cast<size_t>(std::count_if(program.instructions().begin(), program.instructions().end(),
                                           [kind](const vxpatch::Instruction& i) { return i.kind == kind; }));
}

std::unique_ptr<vxpatch::ParsedProgram> Parse(const Bytes& file, vxpatch::Status* status) {
  std::unique_ptr<vxpatch::ParsedProgram> program;
  *status = vxpatch::ParseExecutable(file.data(), file.size(), &program);
  return program;
}

class RealPrograms : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new exetest::TempDir();
    for (const exetest::Toolchain& toolchain : exetest::Toolchains()) {
      for (bool shared : {false, true}) {
        const std::string path = dir_->File(std::string(toolchain.name) + (shared ? ".so" : ".exe"));
        ASSERT_TRUE(exetest::BuildProgram(*dir_, toolchain, 1, shared, path)) << toolchain.compiler;
      }
    }
  }
  static void TearDownTestSuite() { delete dir_; }
  static Bytes Load(const exetest::Toolchain& toolchain, bool shared) {
    return exetest::ReadFile(dir_->File(std::string(toolchain.name) + (shared ? ".so" : ".exe")));
  }
  static exetest::TempDir* dir_;
};

exetest::TempDir* RealPrograms::dir_ = nullptr;

TEST_F(RealPrograms, AreDetectedAndReassembledExactly) {
  for (const exetest::Toolchain& toolchain : exetest::Toolchains()) {
    for (bool shared : {false, true}) {
      SCOPED_TRACE(std::string(toolchain.name) + (shared ? " shared" : " executable"));
      const Bytes file = Load(toolchain, shared);
      ASSERT_FALSE(file.empty());
      vxpatch::ExecutableKind kind = vxpatch::EXE_UNKNOWN;
      size_t length = 0;
      ASSERT_EQ(vxpatch::DetectExecutable(file.data(), file.size(), &kind, &length), vxpatch::STATUS_OK);
      EXPECT_EQ(kind, toolchain.kind);
      EXPECT_EQ(length, file.size());
      Bytes assembled;
      ASSERT_EQ(exetest::RoundTrip(file, &assembled), vxpatch::STATUS_OK);
      EXPECT_TRUE(assembled == file);

      vxpatch::Status status;
      std::unique_ptr<vxpatch::ParsedProgram> program = Parse(file, &status);
      ASSERT_EQ(status, vxpatch::STATUS_OK);
      EXPECT_EQ(program->kind(), toolchain.kind);
      EXPECT_GT(program->rel32_labels().size(), 0u);
    }
  }
}

TEST_F(RealPrograms, UseTheirRelocationsAndBranchForms) {
  vxpatch::Status status;
  // x86-64 relocations are RELA: no abs32 labels.
  std::unique_ptr<vxpatch::ParsedProgram> x64 = Parse(Load(exetest::Toolchains()[0], true), &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  EXPECT_TRUE(x64->abs32_labels().empty());
  EXPECT_GT(CountKind(*x64, vxpatch::INSN_REL32), 0u);

  // 32-bit position-independent code relocates its pointer tables.
  std::unique_ptr<vxpatch::ParsedProgram> x86 = Parse(Load(exetest::Toolchains()[1], true), &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  EXPECT_GT(CountKind(*x86, vxpatch::INSN_ABS32), 0u);
  EXPECT_EQ(CountKind(*x86, vxpatch::INSN_ABS32), x86->abs32_labels().size());

  std::unique_ptr<vxpatch::ParsedProgram> thumb = Parse(Load(exetest::Toolchains()[2], true), &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  EXPECT_GT(CountKind(*thumb, vxpatch::INSN_ABS32), 0u);
  EXPECT_EQ(CountKind(*thumb, vxpatch::INSN_ELF_ARM_RELOCS), 1u);
  bool thumb2_call = false;
  for (const vxpatch::Instruction& insn : thumb->instructions())
    thumb2_call |= insn.kind == vxpatch::INSN_REL32ARM && (insn.arm_op & 0xF000) == 0x4000;
  EXPECT_TRUE(thumb2_call);

  std::unique_ptr<vxpatch::ParsedProgram> arm = Parse(Load(exetest::Toolchains()[3], true), &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  bool arm_branch = false;
  for (const vxpatch::Instruction& insn : arm->instructions())
    arm_branch |= insn.kind == vxpatch::INSN_REL32ARM && (insn.arm_op & 0xF000) == 0x3000;
  EXPECT_TRUE(arm_branch);
}

// Every prefix and many single-byte changes of a real file: detection and
// parsing either succeed or fail with a status, and whatever parses
// reassembles to the bytes it was parsed from. (The sanitizer build makes
// any read outside the file fatal.)
TEST_F(RealPrograms, DamagedFilesFailCleanlyOrStillRoundTrip) {
  for (const exetest::Toolchain& toolchain : exetest::Toolchains()) {
    SCOPED_TRACE(toolchain.name);
    const Bytes file = Load(toolchain, true);
    auto check = [](const Bytes& damaged) {
      Bytes assembled;
      size_t length = 0;
      const vxpatch::Status status = exetest::RoundTrip(damaged, &assembled, &length);
      if (status == vxpatch::STATUS_OK) {
        ASSERT_LE(length, damaged.size());
        ASSERT_TRUE(assembled == Bytes(damaged.begin(), damaged.begin() + static_cast<long>(length)));
      } else {
        ASSERT_TRUE(status == vxpatch::STATUS_INPUT_NOT_RECOGNIZED || status == vxpatch::STATUS_DISASSEMBLY_FAILED)
            << status;
      }
    };
    for (size_t cut = 0; cut < file.size(); cut += 97) check(Bytes(file.begin(), file.begin() + static_cast<long>(cut)));
    // Flips in the headers and tables, where they matter most.
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
      Bytes damaged = file;
      const size_t at = i < 150 ? random() % 256 : file.size() - 1 - random() % 2048;
      damaged[at] = static_cast<uint8_t>(damaged[at] ^ (1u << (random() % 8)));
      check(damaged);
    }
  }
}

// A small ELF64 x86-64 file whose single .text section holds `code`.
Bytes Elf64WithText(const Bytes& code) {
  ElfBuilder builder(true, 62);
  SynthSection text;
  text.data = code;
  builder.Add(text);
  return builder.Build();
}

size_t Rel32Count(const Bytes& file) {
  vxpatch::Status status;
  std::unique_ptr<vxpatch::ParsedProgram> program = Parse(file, &status);
  EXPECT_EQ(status, vxpatch::STATUS_OK);
  return program ? CountKind(*program, vxpatch::INSN_REL32) : 0;
}

TEST(ElfScan, FindsCallsUpToTheLastFiveBytesOfASection) {
  EXPECT_EQ(Rel32Count(Elf64WithText({0x90, 0x90, 0x90, 0xE8, 0, 0, 0, 0})), 1u);
  EXPECT_EQ(Rel32Count(Elf64WithText({0x90, 0x90, 0x90, 0x90, 0xE8, 0, 0, 0})), 0u);
  EXPECT_EQ(Rel32Count(Elf64WithText({0x0F, 0x85, 0, 0, 0, 0})), 1u);
  EXPECT_EQ(Rel32Count(Elf64WithText({0x0F, 0x8A, 0, 0, 0, 0, 0x0F, 0x8B, 0, 0, 0, 0})), 0u);
  // x86-64 only: call through a RIP-relative pointer and REX.W lea.
  EXPECT_EQ(Rel32Count(Elf64WithText({0xFF, 0x15, 0, 0, 0, 0, 0x48, 0x8D, 0x05, 0, 0, 0, 0})), 2u);
  // A target outside every loadable segment is no location.
  EXPECT_EQ(Rel32Count(Elf64WithText({0xE8, 0, 0, 0, 0x40})), 0u);
}

// A large parse reports as it goes, never more than a few MiB apart, and
// parses the same with and without a watcher.
TEST(ElfScan, LargeParseReportsEveryFewMiB) {
  Bytes code(size_t{24} << 20, 0x90);
  // A call to the next instruction every 64 bytes.
  for (size_t at = 0; at + 5 <= code.size(); at += 64) {
    code[at] = 0xE8;
    std::fill_n(code.begin() + static_cast<long>(at) + 1, 4, 0);
  }
  const Bytes file = Elf64WithText(code);
  std::vector<uint64_t> reports;
  const vxpatch::ProgressFn record = [&reports](uint64_t done, uint64_t) { reports.push_back(done); };
  constexpr uint64_t kUnits = 1000000;
  vxpatch::ProgressMeter meter(&record, kUnits);
  vxpatch::ProgressSpan span(&meter, 0, kUnits, 2 * file.size());
  std::unique_ptr<vxpatch::ParsedProgram> watched, unwatched;
  ASSERT_EQ(vxpatch::ParseExecutable(file.data(), file.size(), &watched, &span), vxpatch::STATUS_OK);
  ASSERT_EQ(vxpatch::ParseExecutable(file.data(), file.size(), &unwatched), vxpatch::STATUS_OK);
  EXPECT_EQ(watched->instructions().size(), unwatched->instructions().size());
  EXPECT_EQ(CountKind(*watched, vxpatch::INSN_REL32), code.size() / 64);
  // Both passes over 24 MiB in steps of 4 to 8 MiB; the last near the end.
  ASSERT_GE(reports.size(), 10u);
  const uint64_t step = kUnits * 2 * (vxpatch::kProgressStep + 64) / (2 * file.size()) + 1;
  for (size_t i = 1; i < reports.size(); ++i) EXPECT_LE(reports[i] - reports[i - 1], step) << i;
  EXPECT_GE(reports.back(), kUnits - step);
}

// The skipping scan finds exactly what the rule finds position by position,
// on code dense in the bytes the rules look at, up to the section's end.
TEST(ElfScan, SkippingScanFindsWhatTheRuleFindsEverywhere) {
  const uint8_t alphabet[] = {0xE8, 0xE9, 0x0F, 0x80, 0x85, 0x8A, 0x8B, 0xFF, 0x15, 0x25, 0x48, 0x49, 0x8D, 0x05, 0x90};
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    Bytes code(random() % 100);
    for (uint8_t& byte : code) byte = alphabet[random() % sizeof(alphabet)];
    const bool x64 = round % 2 == 0;
    for (size_t from = 0; from <= code.size(); ++from) {
      size_t expected = code.size(), expected_displacement = 0, displacement = 0;
      for (size_t p = from; p < code.size(); ++p) {
        if (vxpatch::FindX86Rel32Candidate(code.data() + p, code.size() - p, x64, &expected_displacement)) {
          expected = p;
          break;
        }
      }
      ASSERT_EQ(vxpatch::NextX86Rel32Candidate(code.data(), code.size(), from, x64, &displacement), expected);
      if (expected < code.size()) {
        ASSERT_EQ(displacement, expected_displacement);
      }
    }
  }
}

// 2000 section headers that all describe one 200 KB section of calls: each
// would be scanned again before the walk refuses the overlap (once 17 s and
// 1.7 GB for such a file); the overlap is now refused before any scan.
TEST(ElfScan, OverlappingSectionsAreRefusedBeforeTheScan) {
  Bytes calls;
  for (int i = 0; i < 40000; ++i) calls.insert(calls.end(), {0xE8, 0, 0, 0, 0});
  ElfBuilder builder(true, 62);
  SynthSection text;
  text.data = calls;
  builder.Add(text);
  constexpr int kCopies = 2000;
  for (int i = 1; i < kCopies; ++i) builder.Add(SynthSection());
  Bytes file = builder.Build();
  uint64_t shoff = 0;
  for (int i = 0; i < 8; ++i) shoff |= uint64_t{file[40 + i]} << (8 * i);
  // Every copy takes over the first section's offset, address and size.
  for (int i = 2; i <= kCopies; ++i) std::copy_n(file.begin() + static_cast<long>(shoff + 64 + 16), 24,
                                                 file.begin() + static_cast<long>(shoff + i * 64 + 16));
  vxpatch::Status status;
  EXPECT_EQ(Parse(file, &status), nullptr);
  EXPECT_EQ(status, vxpatch::STATUS_DISASSEMBLY_FAILED);
}

TEST(ElfScan, Elf64RelSectionsGiveNoAbs32Labels) {
  ElfBuilder builder(true, 62);
  SynthSection data;
  data.data = Bytes(16, 0x11);
  const size_t data_index = builder.Add(data);
  SynthSection rel;
  rel.type = 9;
  rel.entsize = 16;
  Bytes entry(16, 0);
  ElfBuilder::Put(&entry, 0, 8, builder.OffsetOf(data_index));
  ElfBuilder::Put(&entry, 8, 8, 8);
  rel.data = entry;
  builder.Add(rel);
  const Bytes file = builder.Build();
  vxpatch::Status status;
  std::unique_ptr<vxpatch::ParsedProgram> program = Parse(file, &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  EXPECT_TRUE(program->abs32_labels().empty());
}

// ELF32 with a REL section listing pointers of a data section: one entry
// (slot in the data section, type) per element; slots beyond the section
// make entries that point nowhere useful. With overlap_bytes, a NOBITS
// section of that size sits at the data section's offset, as .tbss does.
struct RelocatedElf32 {
  Bytes file;
  uint64_t data_offset = 0;
};

struct RelEntry {
  uint32_t slot;
  uint32_t type;
};

RelocatedElf32 Elf32WithRelocations(uint16_t machine, const std::vector<RelEntry>& entries, uint64_t entsize = 8,
                                    uint64_t overlap_bytes = 0) {
  SynthSection rel;
  rel.type = 9;
  rel.entsize = entsize;
  SynthSection nobits;
  nobits.type = 8;
  nobits.nobits_size = overlap_bytes;
  SynthSection data;
  data.data = Bytes(64, 0);
  for (const RelEntry& entry : entries) {
    if (entry.slot + 4 <= data.data.size()) ElfBuilder::Put(&data.data, entry.slot, 4, 0x20 + entry.slot);
  }
  // The layout depends only on the sizes, so a first layout with empty
  // entries tells where the data section will be.
  auto build = [&](ElfBuilder* builder) {
    builder->Add(rel);
    if (overlap_bytes > 0) builder->Add(nobits);
    return builder->Add(data);
  };
  ElfBuilder layout(false, machine);
  rel.data = Bytes(8 * entries.size(), 0);
  const uint64_t data_offset = layout.OffsetOf(build(&layout));
  rel.data.clear();
  for (const RelEntry& entry : entries) {
    Bytes bytes(8, 0);
    ElfBuilder::Put(&bytes, 0, 4, data_offset + entry.slot);
    ElfBuilder::Put(&bytes, 4, 4, entry.type);
    rel.data.insert(rel.data.end(), bytes.begin(), bytes.end());
  }
  ElfBuilder builder(false, machine);
  build(&builder);
  return {builder.Build(), data_offset};
}

RelocatedElf32 Elf32WithRelocatedData(const std::vector<uint32_t>& slots, uint64_t entsize = 8, uint32_t type = 8) {
  std::vector<RelEntry> entries;
  for (uint32_t slot : slots) entries.push_back({slot, type});
  return Elf32WithRelocations(3, entries, entsize);
}

void ExpectExactRoundTrip(const Bytes& file) {
  Bytes assembled;
  ASSERT_EQ(exetest::RoundTrip(file, &assembled), vxpatch::STATUS_OK);
  EXPECT_TRUE(assembled == file);
}

TEST(ElfRelocations, ArmTablesKeepEveryEntry) {
  vxpatch::Status status;
  // Entries of other types before the abs32 run stay bytes; the run becomes
  // the marker.
  const Bytes prefixed = Elf32WithRelocations(40, {{100, 22}, {0, 23}, {8, 23}, {200, 21}}).file;
  std::unique_ptr<vxpatch::ParsedProgram> program = Parse(prefixed, &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  EXPECT_EQ(CountKind(*program, vxpatch::INSN_ELF_ARM_RELOCS), 1u);
  ExpectExactRoundTrip(prefixed);
  // A run broken by another entry is kept whole as bytes: no marker, and the
  // entries around the break are not lost.
  const Bytes broken = Elf32WithRelocations(40, {{0, 23}, {100, 22}, {8, 23}}).file;
  program = Parse(broken, &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  EXPECT_EQ(CountKind(*program, vxpatch::INSN_ELF_ARM_RELOCS), 0u);
  EXPECT_EQ(CountKind(*program, vxpatch::INSN_ABS32), 2u);
  ExpectExactRoundTrip(broken);
}

TEST(ElfRelocations, NobitsSectionsOverlappingDataHideNoLocation) {
  const Bytes file = Elf32WithRelocations(40, {{0, 23}, {8, 23}, {40, 23}}, 8, 16).file;
  vxpatch::Status status;
  std::unique_ptr<vxpatch::ParsedProgram> program = Parse(file, &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  EXPECT_EQ(CountKind(*program, vxpatch::INSN_ABS32), 3u);
  ExpectExactRoundTrip(file);
}

TEST(ElfRelocations, MatchingTableBecomesOneMarkerAndComesBack) {
  const RelocatedElf32 elf = Elf32WithRelocatedData({0, 8, 12});
  vxpatch::Status status;
  std::unique_ptr<vxpatch::ParsedProgram> program = Parse(elf.file, &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  EXPECT_EQ(CountKind(*program, vxpatch::INSN_ELF_RELOCS), 1u);
  EXPECT_EQ(CountKind(*program, vxpatch::INSN_ABS32), 3u);
  ExpectExactRoundTrip(elf.file);
}

TEST(ElfRelocations, OverlappingOrStraddlingAbs32ValuesFailTheParse) {
  vxpatch::Status status;
  Parse(Elf32WithRelocatedData({0, 2}).file, &status);  // second value inside the first
  EXPECT_EQ(status, vxpatch::STATUS_DISASSEMBLY_FAILED);
  Parse(Elf32WithRelocatedData({62}).file, &status);  // crosses the section end
  EXPECT_EQ(status, vxpatch::STATUS_DISASSEMBLY_FAILED);
  Parse(Elf32WithRelocatedData({0}, 0).file, &status);  // entry size 0
  EXPECT_EQ(status, vxpatch::STATUS_DISASSEMBLY_FAILED);
  // Other relocation types are plain bytes.
  Parse(Elf32WithRelocatedData({0, 2}, 8, 1).file, &status);
  EXPECT_EQ(status, vxpatch::STATUS_OK);
}

TEST(ElfHeaders, RefuseWhatTheyCannotParseAndDetectionMovesOn) {
  Bytes small(63, 0);
  small[0] = 0x7F, small[1] = 'E', small[2] = 'L', small[3] = 'F';
  small[18] = 40;  // ARM
  small[20] = 1;
  small[16] = 3;
  small[46] = 40;  // e_shentsize of ELF32
  vxpatch::DisassemblerElf64X64 x64(small.data(), small.size());
  EXPECT_FALSE(x64.ParseHeaders());
  EXPECT_EQ(x64.failure_reason(), "Too small");
  vxpatch::ExecutableKind kind;
  size_t length;
  ASSERT_EQ(vxpatch::DetectExecutable(small.data(), small.size(), &kind, &length), vxpatch::STATUS_OK);
  EXPECT_EQ(kind, vxpatch::EXE_ELF_32_ARM);

  const Bytes good = Elf64WithText({0x90, 0x90});
  vxpatch::DisassemblerElf64X64 fresh(good.data(), good.size());
  EXPECT_EQ(fresh.failure_reason(), "uninitialized");
  vxpatch::ParsedProgram unused;
  EXPECT_FALSE(fresh.EmitProgram(&unused));
  EXPECT_TRUE(fresh.ParseHeaders());
  EXPECT_EQ(fresh.failure_reason(), "");

  auto reason = [](Bytes file) {
    vxpatch::DisassemblerElf64X64 parser(file.data(), file.size());
    parser.ParseHeaders();
    return parser.failure_reason();
  };
  Bytes bad = good;
  bad[0] = 0x7E;
  EXPECT_EQ(reason(bad), "No Magic Number");
  bad = good;
  bad[16] = 1;
  EXPECT_EQ(reason(bad), "Not an executable file or shared library");
  bad = good;
  bad[18] = 3;
  EXPECT_EQ(reason(bad), "Not a supported architecture");
  bad = good;
  bad[20] = 2;
  EXPECT_EQ(reason(bad), "Unknown file version");
  bad = good;
  bad[58] = 40;
  EXPECT_EQ(reason(bad), "Unexpected section header size");
  bad = good;
  ElfBuilder::Put(&bad, 40, 8, good.size());
  EXPECT_EQ(reason(bad), "Out of bounds section header table offset");
  bad = good;
  ElfBuilder::Put(&bad, 60, 2, 200);
  EXPECT_EQ(reason(bad), "Out of bounds section header table");
  bad = good;
  ElfBuilder::Put(&bad, 32, 8, good.size() + 1);
  EXPECT_EQ(reason(bad), "Out of bounds program header table offset");
  bad = good;
  ElfBuilder::Put(&bad, 56, 2, 400);
  EXPECT_EQ(reason(bad), "Out of bounds program header table");
  bad = good;
  ElfBuilder::Put(&bad, 62, 2, 2);  // two sections: null and .text
  EXPECT_EQ(reason(bad), "Out of bounds section name table index");
  bad = good;
  const uint64_t text_header = good.size() - 64;
  ElfBuilder::Put(&bad, text_header + 32, 8, good.size());  // .text size past the end
  EXPECT_EQ(reason(bad), "Out of bounds section");
  bad = good;
  ElfBuilder::Put(&bad, text_header + 16, 8, 0xFFFFFFFFull);  // .text (2 bytes) ends past 4 GiB
  EXPECT_EQ(reason(bad), "Section address beyond 32 bits");
  bad = good;
  ElfBuilder::Put(&bad, 64 + 32, 8, good.size() + 1);  // segment file size past the end
  EXPECT_EQ(reason(bad), "Out of bounds segment");
}

TEST(ElfHeaders, LengthStopsAtTheLastKnownPart) {
  Bytes file = Elf64WithText({0x90, 0x90});
  const size_t known = file.size();
  file.resize(known + 100, 0xAB);
  vxpatch::ExecutableKind kind;
  size_t length = 0;
  ASSERT_EQ(vxpatch::DetectExecutable(file.data(), file.size(), &kind, &length), vxpatch::STATUS_OK);
  EXPECT_EQ(length, known);
  Bytes none;
  EXPECT_EQ(vxpatch::DetectExecutable(none.data(), 0, &kind, &length), vxpatch::STATUS_INPUT_NOT_RECOGNIZED);
  EXPECT_EQ(kind, vxpatch::EXE_UNKNOWN);
  EXPECT_EQ(length, 0u);
}

}  // namespace
