// PE and Mach-O parsers on real files from real toolchains: detection and
// kinds, exact round trips, what becomes a label, every header refusal, the
// base-relocation walk's refusals, damaged and truncated files, and the
// element search in multi-architecture files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "disassembler_macho.h"
#include "disassembler_win32_x64.h"
#include "disassembler_win32_x86.h"
#include "exe_fixtures.h"
#include "executable_detection.h"
#include "executable_elements.h"

namespace {

using exefixtures::Bytes;
using exefixtures::MachoWriter;
using vxpatch::Status;

uint32_t Get32(const Bytes& bytes, uint64_t at) { return MachoWriter::Get32(bytes, at); }
uint16_t Get16(const Bytes& bytes, uint64_t at) { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); }
uint32_t BigEndian32(const Bytes& bytes, uint64_t at) {
  return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}
void Put(Bytes* bytes, uint64_t at, int width, uint64_t value) { MachoWriter::Put(bytes, at, width, value); }

template <typename Parser>
std::string Refusal(const Bytes& bytes) {
  Parser parser(bytes.data(), bytes.size());
  return parser.ParseHeaders() ? std::string("accepted") : parser.failure_reason();
}

// Assembles the detected element back and compares it with the file.
void ExpectExactRoundTrip(const Bytes& file, vxpatch::ExecutableKind kind, const std::string& what) {
  vxpatch::ExecutableKind detected = vxpatch::EXE_UNKNOWN;
  size_t length = 0;
  ASSERT_EQ(vxpatch::DetectExecutable(file.data(), file.size(), &detected, &length), vxpatch::STATUS_OK) << what;
  EXPECT_EQ(detected, kind) << what;
  Bytes assembled;
  ASSERT_EQ(exetest::RoundTrip(file, &assembled), vxpatch::STATUS_OK) << what;
  ASSERT_EQ(assembled.size(), length) << what;
  EXPECT_TRUE(std::equal(assembled.begin(), assembled.end(), file.begin())) << what;
}

struct Counts {
  size_t abs32 = 0, rel32 = 0, pe_relocs = 0, origins = 0;
};

Counts CountInstructions(const Bytes& file) {
  Counts counts;
  std::unique_ptr<vxpatch::ParsedProgram> program;
  if (vxpatch::ParseExecutable(file.data(), file.size(), &program) != vxpatch::STATUS_OK) return counts;
  for (const vxpatch::Instruction& insn : program->instructions()) {
    counts.abs32 += insn.kind == vxpatch::INSN_ABS32;
    counts.rel32 += insn.kind == vxpatch::INSN_REL32;
    counts.pe_relocs += insn.kind == vxpatch::INSN_PE_RELOCS;
    counts.origins += insn.kind == vxpatch::INSN_ORIGIN;
  }
  return counts;
}

// Where the PE headers of a file are.
struct PeLayout {
  uint64_t pe = 0, optional = 0, sections = 0;
  uint16_t section_count = 0;
  bool plus = false;
  explicit PeLayout(const Bytes& file) {
    pe = Get32(file, 60);
    optional = pe + 24;
    section_count = Get16(file, pe + 6);
    sections = optional + Get16(file, pe + 20);
    plus = Get16(file, optional) == 0x20B;
  }
  uint64_t Directory(unsigned index) const { return optional + (plus ? 112 : 96) + index * 8; }
  uint64_t FileOffset(const Bytes& file, uint32_t rva) const {
    for (uint16_t i = 0; i < section_count; ++i) {
      const uint64_t at = sections + i * 40;
      const uint32_t va = Get32(file, at + 12), raw_size = Get32(file, at + 16), raw = Get32(file, at + 20);
      if (rva >= va && rva - va < raw_size) return raw + (rva - va);
    }
    return 0;
  }
  uint64_t TextHeader(const Bytes& file) const {
    for (uint16_t i = 0; i < section_count; ++i) {
      if (std::memcmp(&file[sections + i * 40], ".text\0\0\0", 8) == 0) return sections + i * 40;
    }
    return 0;
  }
};

class PeParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!exefixtures::HaveTool(exefixtures::kMingw32)) GTEST_SKIP() << exefixtures::MissingTool(exefixtures::kMingw32);
    if (!exefixtures::HaveTool(exefixtures::kMingw64)) GTEST_SKIP() << exefixtures::MissingTool(exefixtures::kMingw64);
  }
  Bytes Build(bool plus, bool dll) {
    const std::string path = dir_.File(std::string(plus ? "pe64" : "pe32") + (dll ? ".dll" : ".exe"));
    EXPECT_TRUE(exefixtures::BuildPe(dir_, plus, dll, 1, path));
    return exetest::ReadFile(path);
  }
  exefixtures::TempDir dir_;
};

TEST_F(PeParserTest, ProgramsAndDllsRoundTripExactlyWithTheirRelocationsAsLabels) {
  for (bool plus : {false, true}) {
    for (bool dll : {false, true}) {
      const Bytes file = Build(plus, dll);
      const std::string what = std::string(plus ? "PE32+" : "PE32") + (dll ? " DLL" : " program");
      ExpectExactRoundTrip(file, plus ? vxpatch::EXE_WIN_32_X64 : vxpatch::EXE_WIN_32_X86, what);
      const Counts counts = CountInstructions(file);
      EXPECT_GT(counts.rel32, 50u) << what;
      if (dll) {
        // The DLL keeps its base-relocation table: every entry is a label and
        // the table itself one marker.
        EXPECT_GT(counts.abs32, 10u) << what;
        EXPECT_EQ(counts.pe_relocs, 1u) << what;
      }
    }
  }
}

TEST_F(PeParserTest, EachFlavourRefusesTheOtherAndDetectionFindsTheRightOne) {
  const Bytes pe32 = Build(false, true);
  const Bytes pe64 = Build(true, true);
  EXPECT_EQ(Refusal<vxpatch::DisassemblerWin32X86>(pe64), "64 bit executables are not supported by this disassembler");
  EXPECT_EQ(Refusal<vxpatch::DisassemblerWin32X64>(pe64), "accepted");
  EXPECT_EQ(Refusal<vxpatch::DisassemblerWin32X64>(pe32), "32 bit executables are not supported by this disassembler");
  EXPECT_EQ(Refusal<vxpatch::DisassemblerWin32X86>(pe32), "accepted");
  // Trailing data (symbols, an overlay) is not part of the element.
  Bytes longer = pe64;
  longer.insert(longer.end(), 1000, 0xCC);
  vxpatch::ExecutableKind kind = vxpatch::EXE_UNKNOWN;
  size_t length = 0, longer_length = 0;
  ASSERT_EQ(vxpatch::DetectExecutable(pe64.data(), pe64.size(), &kind, &length), vxpatch::STATUS_OK);
  ASSERT_EQ(vxpatch::DetectExecutable(longer.data(), longer.size(), &kind, &longer_length), vxpatch::STATUS_OK);
  EXPECT_EQ(kind, vxpatch::EXE_WIN_32_X64);
  EXPECT_EQ(length, longer_length);
}

TEST_F(PeParserTest, HeaderRefusals) {
  const Bytes good = Build(false, true);
  const PeLayout pe(good);
  struct Case {
    const char* reason;
    void (*damage)(Bytes*, const PeLayout&);
  };
  const Case cases[] = {
      {"Too small", [](Bytes* f, const PeLayout&) { f->resize(63); }},
      {"Not MZ", [](Bytes* f, const PeLayout&) { (*f)[1] = 'X'; }},
      {"Bad offset to PE header", [](Bytes* f, const PeLayout&) { Put(f, 60, 4, 0); }},
      {"Bad offset to PE header", [](Bytes* f, const PeLayout&) { Put(f, 60, 4, f->size()); }},
      {"Bad offset to PE header", [](Bytes* f, const PeLayout&) { Put(f, 60, 4, f->size() - 16); }},
      {"Misaligned PE header", [](Bytes* f, const PeLayout&) { Put(f, 60, 4, 0x84); }},
      {"no PE signature", [](Bytes* f, const PeLayout& l) { (*f)[l.pe + 1] = 'X'; }},
      {"optional header past end of file", [](Bytes* f, const PeLayout& l) { Put(f, l.pe + 20, 2, 0xFFFF); f->resize(0x8000); }},
      {"optional header no magic", [](Bytes* f, const PeLayout& l) { Put(f, l.pe + 20, 2, 1); }},
      {"unrecognized magic", [](Bytes* f, const PeLayout& l) { Put(f, l.optional, 2, 0x107); }},
      {"optional header too short", [](Bytes* f, const PeLayout& l) { Put(f, l.pe + 20, 2, 95); }},
      {"malformed data directory", [](Bytes* f, const PeLayout& l) { Put(f, l.Directory(5) + 4, 4, 0xFFFFFFF0); }},
      {"malformed data directory", [](Bytes* f, const PeLayout& l) { Put(f, l.Directory(1), 4, 0xFFFFFF00); }},
      {"section table past end of file", [](Bytes* f, const PeLayout& l) { Put(f, l.pe + 6, 2, 0xFFFF); }},
      {"section past end of file", [](Bytes* f, const PeLayout& l) { Put(f, l.TextHeader(*f) + 20, 4, 0xFFFFFF00); }},
      {"section past end of file", [](Bytes* f, const PeLayout& l) { Put(f, l.TextHeader(*f) + 16, 4, f->size()); }},
      {"Resource-only executables are not yet supported", [](Bytes* f, const PeLayout& l) { (*f)[l.TextHeader(*f) + 1] = 'T'; }},
  };
  for (const Case& c : cases) {
    Bytes damaged = good;
    c.damage(&damaged, pe);
    EXPECT_EQ(Refusal<vxpatch::DisassemblerWin32X86>(damaged), c.reason);
  }
  // A directory beyond the announced count does not exist, whatever it says.
  Bytes fewer = good;
  Put(&fewer, pe.Directory(1), 4, 0xFFFFFF00);
  Put(&fewer, pe.optional + 92, 4, 1);
  EXPECT_EQ(Refusal<vxpatch::DisassemblerWin32X86>(fewer), "accepted");
  // ".text" must match on all eight name bytes.
  Bytes longer_name = good;
  longer_name[pe.TextHeader(good) + 5] = 'x';
  EXPECT_EQ(Refusal<vxpatch::DisassemblerWin32X86>(longer_name), "Resource-only executables are not yet supported");
}

TEST_F(PeParserTest, DamagedBaseRelocationTablesFailTheParse) {
  for (bool plus : {false, true}) {
    const Bytes good = Build(plus, true);
    const PeLayout pe(good);
    const uint64_t table = pe.FileOffset(good, Get32(good, pe.Directory(5)));
    ASSERT_NE(table, 0u);
    const uint32_t table_size = Get32(good, pe.Directory(5) + 4);
    struct Case {
      const char* what;
      uint64_t at;
      int width;
      uint64_t value;
    };
    const Case cases[] = {
        {"block size below 8", table + 4, 4, 4},
        {"block size not a multiple of 4", table + 4, 4, 10},
        {"block beyond the table", table + 4, 4, table_size + 4},
        {"entry of another type", table + 8, 2, (plus ? 3u : 10u) << 12},
        {"entry of an unknown type", table + 8, 2, 0x5000},
    };
    for (const Case& c : cases) {
      Bytes damaged = good;
      Put(&damaged, c.at, c.width, c.value);
      std::unique_ptr<vxpatch::ParsedProgram> program;
      EXPECT_EQ(vxpatch::ParseExecutable(damaged.data(), damaged.size(), &program), vxpatch::STATUS_DISASSEMBLY_FAILED)
          << c.what;
    }
    // Directory pointing at no section's bytes.
    Bytes nowhere = good;
    Put(&nowhere, pe.Directory(5), 4, Get32(good, pe.optional + 56) - 16);
    Put(&nowhere, pe.Directory(5) + 4, 4, 16);
    std::unique_ptr<vxpatch::ParsedProgram> program;
    EXPECT_EQ(vxpatch::ParseExecutable(nowhere.data(), nowhere.size(), &program), vxpatch::STATUS_DISASSEMBLY_FAILED);
  }
}

// A minimal PE32 file: ".text" at rva 0x1000 (file 0x200) and ".reloc" at rva
// 0x2000 (file 0x400), each 0x200 bytes, image base 0x400000, size of image
// 0x3000, and a base-relocation table of the given page offsets in page
// 0x1000.
Bytes SyntheticPe(const Bytes& code, const std::vector<uint16_t>& relocs) {
  Bytes file(0x600, 0);
  file[0] = 'M';
  file[1] = 'Z';
  Put(&file, 60, 4, 0x40);
  std::memcpy(&file[0x40], "PE\0\0", 4);
  Put(&file, 0x44, 2, 0x14C);
  Put(&file, 0x46, 2, 2);
  Put(&file, 0x54, 2, 224);
  const uint64_t optional = 0x58;
  Put(&file, optional, 2, 0x10B);
  Put(&file, optional + 28, 4, 0x400000);
  Put(&file, optional + 56, 4, 0x3000);
  Put(&file, optional + 92, 4, 16);
  const uint64_t table_size = relocs.empty() ? 0 : 8 + 2 * (relocs.size() + relocs.size() % 2);
  Put(&file, optional + 96 + 5 * 8, 4, relocs.empty() ? 0 : 0x2000);
  Put(&file, optional + 96 + 5 * 8 + 4, 4, table_size);
  const uint64_t sections = optional + 224;
  const struct {
    const char* name;
    uint32_t rva, raw;
  } headers[] = {{".text", 0x1000, 0x200}, {".reloc", 0x2000, 0x400}};
  for (int i = 0; i < 2; ++i) {
    std::memcpy(&file[sections + i * 40], headers[i].name, std::strlen(headers[i].name));
    Put(&file, sections + i * 40 + 8, 4, 0x200);
    Put(&file, sections + i * 40 + 12, 4, headers[i].rva);
    Put(&file, sections + i * 40 + 16, 4, 0x200);
    Put(&file, sections + i * 40 + 20, 4, headers[i].raw);
  }
  std::copy(code.begin(), code.end(), file.begin() + 0x200);
  if (!relocs.empty()) {
    Put(&file, 0x400, 4, 0x1000);
    Put(&file, 0x404, 4, table_size);
    for (size_t i = 0; i < relocs.size(); ++i) Put(&file, 0x408 + 2 * i, 2, 0x3000 | relocs[i]);
  }
  return file;
}

std::vector<uint32_t> Rel32Rvas(const Bytes& file) {
  std::vector<uint32_t> rvas;
  std::unique_ptr<vxpatch::ParsedProgram> program;
  if (vxpatch::ParseExecutable(file.data(), file.size(), &program) != vxpatch::STATUS_OK) return {0xDEAD};
  uint32_t rva = 0;
  for (const vxpatch::Instruction& insn : program->instructions()) {
    switch (insn.kind) {
      case vxpatch::INSN_ORIGIN: rva = insn.rva; break;
      case vxpatch::INSN_BYTE: rva += 1; break;
      case vxpatch::INSN_BYTES: rva += insn.length; break;
      case vxpatch::INSN_REL32: rvas.push_back(rva); rva += 4; break;
      case vxpatch::INSN_ABS32: rva += 4; break;
      default: break;
    }
  }
  return rvas;
}

TEST(PeRel32Rules, CandidatesAndTheirTargets) {
  // A call whose displacement overlaps an abs32 location is skipped and the
  // scan resumes at the next byte, so the E8 inside the absolute address is
  // still found; the table comes back exactly.
  Bytes code = {0xE8, 0x11, 0x22, 0xE8, 0x10, 0, 0, 0};
  Bytes file = SyntheticPe(code, {0x000});
  EXPECT_EQ(Rel32Rvas(file), std::vector<uint32_t>({0x1004}));
  ExpectExactRoundTrip(file, vxpatch::EXE_WIN_32_X86, "synthetic PE32");
  EXPECT_EQ(CountInstructions(file).pe_relocs, 1u);

  // Targets: inside ".text" only (its start included, its end not), and the
  // candidates of 0F 8A / 0F 8B never.
  const struct {
    Bytes code;
    std::vector<uint32_t> found;
  } cases[] = {
      {{0xE9, 0xFB, 0xFF, 0xFF, 0xFF}, {0x1001}},        // to 0x1000
      {{0xE9, 0xFA, 0xFF, 0xFF, 0xFF}, {}},              // to 0xFFF
      {{0xE8, 0xFB, 0x01, 0, 0}, {}},                    // to 0x1200, the end
      {{0xE8, 0xFA, 0x01, 0, 0}, {0x1001}},              // to 0x11FF
      {{0xE8, 0x00, 0x10, 0, 0}, {}},                    // into ".reloc"
      {{0x0F, 0x85, 0x10, 0, 0, 0}, {0x1002}},
      {{0x0F, 0x8A, 0x10, 0, 0, 0}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Rel32Rvas(SyntheticPe(c.code, {})), c.found);

  // Without relocations there is no table marker; no code at all still parses.
  EXPECT_EQ(CountInstructions(SyntheticPe({0x90}, {})).pe_relocs, 0u);
  ExpectExactRoundTrip(SyntheticPe({}, {}), vxpatch::EXE_WIN_32_X86, "empty synthetic PE32");
}

TEST(PeSectionWalk, SharedAndEmptySectionsAreEmittedOnce) {
  // A second section header over the same raw bytes as ".text", and a
  // section without raw data pointing nowhere: every byte once, in order.
  Bytes code = {0xE8, 0x10, 0, 0, 0, 0x90, 0xC3};
  Bytes file = SyntheticPe(code, {});
  const uint64_t sections = 0x58 + 224;
  Put(&file, 0x46, 2, 3);
  std::memcpy(&file[sections + 80], ".bss\0\0\0\0", 8);
  Put(&file, sections + 80 + 12, 4, 0x3000);
  Put(&file, sections + 80 + 20, 4, 0x7FFFFFFF);
  ExpectExactRoundTrip(file, vxpatch::EXE_WIN_32_X86, "empty section");
  std::memcpy(&file[sections + 80], ".text\0\0\0", 8);  // a second ".text": the first counts
  Put(&file, sections + 80 + 8, 4, 0x100);
  Put(&file, sections + 80 + 12, 4, 0x2800);
  Put(&file, sections + 80 + 16, 4, 0x100);
  Put(&file, sections + 80 + 20, 4, 0x200);
  ExpectExactRoundTrip(file, vxpatch::EXE_WIN_32_X86, "shared raw data");
  EXPECT_EQ(Rel32Rvas(file), std::vector<uint32_t>({0x1001}));
}

class MachoParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {exefixtures::kClang, exefixtures::kLld, exefixtures::kLipo}) {
      if (!exefixtures::HaveTool(tool)) GTEST_SKIP() << exefixtures::MissingTool(tool);
    }
  }
  Bytes Linked(bool dylib) {
    const std::string path = dir_.File(dylib ? "linked.dylib" : "linked");
    EXPECT_TRUE(exefixtures::BuildMacho64(dir_, dylib, 1, path));
    return exetest::ReadFile(path);
  }
  Bytes Written(bool is64, const exefixtures::WrittenMachoOptions& options = {}) {
    const std::string path = dir_.File(is64 ? "written64" : "written32");
    EXPECT_TRUE(exefixtures::BuildWrittenMacho(dir_, is64, 1, path, options));
    return exetest::ReadFile(path);
  }
  exefixtures::TempDir dir_;
};

TEST_F(MachoParserTest, LinkedAndWrittenFilesRoundTripExactlyWithTheirBranchesAsLabels) {
  const struct {
    const char* what;
    Bytes file;
    vxpatch::ExecutableKind kind;
  } files[] = {
      {"linked 64-bit dylib", Linked(true), vxpatch::EXE_MACHO_X64},
      {"linked 64-bit executable, code at 4 GiB", Linked(false), vxpatch::EXE_MACHO_X64},
      {"written 32-bit executable", Written(false), vxpatch::EXE_MACHO_X86},
      {"written 64-bit executable", Written(true), vxpatch::EXE_MACHO_X64},
  };
  for (const auto& f : files) {
    ExpectExactRoundTrip(f.file, f.kind, f.what);
    const Counts counts = CountInstructions(f.file);
    EXPECT_GE(counts.rel32, 3u) << f.what;
    EXPECT_EQ(counts.abs32, 0u) << f.what;
    EXPECT_GE(counts.origins, 1u) << f.what;
  }
}

TEST_F(MachoParserTest, SegmentsOutsideTheFirstCodeSegmentsWindowOverflow) {
  // Addresses are taken within the 4 GiB window of the first segment with
  // sections; a later segment 4 GiB higher cannot be expressed.
  Bytes file = Written(true);
  const uint32_t commands = exefixtures::MachoWriter::Get32(file, 16);
  uint64_t at = 32;
  int segments = 0;
  for (uint32_t i = 0; i < commands; ++i) {
    if (exefixtures::MachoWriter::Get32(file, at) == 25 && ++segments == 3) {
      file[at + 24 + 4] = static_cast<uint8_t>(file[at + 24 + 4] + 1);  // vmaddr += 4 GiB
      break;
    }
    at += exefixtures::MachoWriter::Get32(file, at + 4);
  }
  ASSERT_EQ(segments, 3) << "page zero, __TEXT, __DATA";
  EXPECT_EQ(Refusal<vxpatch::DisassemblerMacho>(file), "overflow");
}

TEST_F(MachoParserTest, HeaderRefusals) {
  exefixtures::WrittenMachoOptions lc_segment;
  lc_segment.use_32bit_segment_command = true;
  EXPECT_EQ(Refusal<vxpatch::DisassemblerMacho>(Written(true, lc_segment)), "LC_SEGMENT not supported");
  exefixtures::WrittenMachoOptions no_code;
  no_code.code_is_pure_instructions = false;
  EXPECT_EQ(Refusal<vxpatch::DisassemblerMacho>(Written(false, no_code)),
            "Resource-only executables are not yet supported");

  // Written 32-bit layout: header 28, page zero command at 28 (56 bytes),
  // __TEXT command at 84 with sections at 140 (__text) and 208.
  const Bytes good = Written(false);
  ASSERT_EQ(Get32(good, 84), 1u);
  struct Case {
    const char* reason;
    void (*damage)(Bytes*);
  };
  const Case cases[] = {
      {"Too small", [](Bytes* f) { f->resize(31); }},
      {"Unknown magic type", [](Bytes* f) { Put(f, 0, 4, 0xCEFAEDFE); }},
      {"unsupported cpu type", [](Bytes* f) { Put(f, 4, 4, 0x1000007); }},
      {"Unsupported filetype in header", [](Bytes* f) { Put(f, 12, 4, 1); }},
      {"file to small in load commands", [](Bytes* f) { Put(f, 16, 4, 1000); }},
      {"file to small in load commands", [](Bytes* f) { Put(f, 28 + 4, 4, 0x7FFFFFF0); }},
      {"bad load command size", [](Bytes* f) { Put(f, 28 + 4, 4, 0); }},
      {"LC_SEGMENT_64 not supported", [](Bytes* f) { Put(f, 28, 4, 25); }},
      {"bad LC_SEGMENT", [](Bytes* f) { Put(f, 28 + 4, 4, 40); }},
      {"segment too large", [](Bytes* f) { Put(f, 84 + 36, 4, 0xFFFFFFF0); }},
      {"sections too small", [](Bytes* f) { Put(f, 84 + 48, 4, 3); }},
      {"section larger than segment", [](Bytes* f) { Put(f, 140 + 36, 4, 0x100000); }},
      {"section larger than segment", [](Bytes* f) { Put(f, 140 + 40, 4, 0x7FFFFFF0); }},
      {"section larger than segment", [](Bytes* f) { Put(f, 140 + 32, 4, 0x10); }},
  };
  for (const Case& c : cases) {
    Bytes damaged = good;
    c.damage(&damaged);
    EXPECT_EQ(Refusal<vxpatch::DisassemblerMacho>(damaged), c.reason);
  }
}

// Every accepted prefix or damaged copy either fails cleanly or assembles
// back to exactly its element; the sanitizer build catches any read outside.
void ExpectSafeOnDamage(const Bytes& good, const std::string& what) {
  uint32_t state = 12345;
  auto next = [&state] { return state = state * 1103515245u + 12345u; };
  for (int round = 0; round < 120; ++round) {
    Bytes damaged = good;
    if (round < 40) {
      damaged.resize(good.size() * static_cast<size_t>(round) / 40 + (next() >> 24));
    } else {
      // Headers and tables live in the first few KiB.
      for (int flips = 0; flips < 4; ++flips) damaged[next() % std::min<size_t>(damaged.size(), 4096)] ^= next() >> 20;
    }
    vxpatch::ExecutableKind kind = vxpatch::EXE_UNKNOWN;
    size_t length = 0;
    if (vxpatch::DetectExecutable(damaged.data(), damaged.size(), &kind, &length) != vxpatch::STATUS_OK) continue;
    ASSERT_LE(length, damaged.size()) << what << " round " << round;
    Bytes assembled;
    if (exetest::RoundTrip(damaged, &assembled) != vxpatch::STATUS_OK) continue;
    // A damaged relocation table may not come back; everything else must.
    if (kind == vxpatch::EXE_WIN_32_X86 || kind == vxpatch::EXE_WIN_32_X64) continue;
    ASSERT_EQ(assembled.size(), length) << what << " round " << round;
    EXPECT_TRUE(std::equal(assembled.begin(), assembled.end(), damaged.begin())) << what << " round " << round;
  }
}

TEST_F(MachoParserTest, DamagedAndTruncatedFilesAreHandledSafely) {
  ExpectSafeOnDamage(Written(false), "written 32-bit");
  ExpectSafeOnDamage(Written(true), "written 64-bit");
  ExpectSafeOnDamage(Linked(true), "linked dylib");
}

TEST_F(PeParserTest, DamagedAndTruncatedFilesAreHandledSafely) {
  ExpectSafeOnDamage(Build(false, true), "PE32 DLL");
  ExpectSafeOnDamage(Build(true, false), "PE32+ program");
}

TEST_F(MachoParserTest, MultiArchitectureFilesGiveOneElementPerThinFile) {
  const std::string thin32 = dir_.File("thin32"), thin64 = dir_.File("thin64");
  ASSERT_TRUE(exetest::WriteFile(thin32, Written(false)));
  ASSERT_TRUE(exetest::WriteFile(thin64, Linked(true)));
  const std::string one = dir_.File("fat1"), two = dir_.File("fat2");
  ASSERT_TRUE(exefixtures::MakeFat({thin64}, one));
  ASSERT_TRUE(exefixtures::MakeFat({thin32, thin64}, two));

  std::vector<vxpatch::ExecutableElement> elements;
  const Bytes fat1 = exetest::ReadFile(one);
  ASSERT_EQ(vxpatch::FindExecutableElements(fat1.data(), fat1.size(), &elements), vxpatch::STATUS_OK);
  ASSERT_EQ(elements.size(), 1u);
  EXPECT_EQ(elements[0].kind, vxpatch::EXE_MACHO_X64);
  EXPECT_EQ(elements[0].offset, BigEndian32(fat1, 8 + 8));
  EXPECT_EQ(elements[0].length, exetest::ReadFile(thin64).size());

  Bytes fat2 = exetest::ReadFile(two);
  ASSERT_EQ(vxpatch::FindExecutableElements(fat2.data(), fat2.size(), &elements), vxpatch::STATUS_OK);
  ASSERT_EQ(elements.size(), 2u);
  EXPECT_EQ(elements[0].kind, vxpatch::EXE_MACHO_X86);
  EXPECT_EQ(elements[1].kind, vxpatch::EXE_MACHO_X64);
  EXPECT_LT(elements[0].offset + elements[0].length, elements[1].offset + 1);

  // The second entry reaching beyond the file: the first stays, the whole
  // file is no executable, so the first is all there is.
  Bytes beyond = fat2;
  Put(&beyond, 8 + 20 + 12, 4, 0xF0FFFF7F);
  ASSERT_EQ(vxpatch::FindExecutableElements(beyond.data(), beyond.size(), &elements), vxpatch::STATUS_OK);
  ASSERT_EQ(elements.size(), 1u);
  EXPECT_EQ(elements[0].kind, vxpatch::EXE_MACHO_X86);
  // A count outside 1..8 is not a multi-architecture file at all.
  Put(&beyond, 4, 4, 0x09000000);
  ASSERT_EQ(vxpatch::FindExecutableElements(beyond.data(), beyond.size(), &elements), vxpatch::STATUS_OK);
  EXPECT_TRUE(elements.empty());
}

}  // namespace
