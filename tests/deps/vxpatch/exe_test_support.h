// Helpers of the executable-layer tests: temporary directories, whole files,
// small real programs built by the installed compilers, a builder of
// synthetic ELF files, and the detect-parse-encode-assemble round trip.
#ifndef VXPATCH_TEST_EXE_TEST_SUPPORT_H
#define VXPATCH_TEST_EXE_TEST_SUPPORT_H

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "encoded_program.h"
#include "engine_test_support.h"
#include "executable_detection.h"
#include "streams.h"

namespace exetest {

// Files and directories as the engine's own tests have them.
using vxtest::Bytes;
using vxtest::ReadFile;
using vxtest::TempDir;
using vxtest::WriteFile;

// A small C program with calls, conditional branches, a table of function
// pointers (abs32 relocations in 32-bit position-independent code) and
// strings; VERSION 2 changes code and data so that addresses shift.
inline const char* ProgramSource() {
  return R"(#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifndef VERSION
#define VERSION 1
#endif
static const char* names[] = {"alpha", "beta", "gamma", "delta", "epsilon",
#if VERSION > 1
  "zeta", "eta",
#endif
};
typedef int (*binary)(int, int);
static int add(int a, int b) { return a + b; }
static int sub(int a, int b) { return a - b; }
static int mul(int a, int b) { return a * b; }
#if VERSION > 1
static int mix(int a, int b) { return (a ^ b) + (a >> 3); }
#endif
static binary table[] = {add, sub, mul,
#if VERSION > 1
  mix,
#endif
};
static const char** name_table[] = {&names[0], &names[1], &names[2]};
__attribute__((noinline)) int step(int acc, int i) {
  binary fn = table[i % (int)(sizeof table / sizeof table[0])];
  acc = fn(acc, i * VERSION);
  if (acc > 100000) acc /= 7 + VERSION;
  else if (acc < -100000) acc = -acc / 3;
  return acc;
}
__attribute__((noinline)) int compute(int n) {
  int acc = 0;
  for (int i = 0; i < n; ++i) acc = step(acc, i);
  return acc;
}
int exported_entry(int n) { return compute(n) + (int)strlen(*name_table[n % 3]); }
int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 10;
  for (unsigned i = 0; i < sizeof names / sizeof names[0]; ++i) printf("%s %d\n", names[i], compute(n + (int)i));
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%s", argv[0]);
  puts(buffer);
  return exported_entry(n) > 3 ? 0 : 1;
}
)";
}

// A program of many small functions, as a major version reshuffles them:
// version 2 emits the functions in reverse order behind a new one, so every
// call and every reference to the strings and the table lands elsewhere.
// Each function is distinct code (its own constants) and is named f<i>.
inline std::string ReshuffledProgramSource(int version, int functions = 60) {
  std::string source = "#include <stdio.h>\nstatic const char* words[] = {\"w0\", \"w1\", \"w2\"};\n";
  for (int i = 0; i < functions; ++i) source += "int f" + std::to_string(i) + "(int);\n";
  if (version > 1) source += "int extra(int x) { return x * 3 + (int)words[x % 3][0]; }\n";
  for (int k = 0; k < functions; ++k) {
    const int i = version > 1 ? functions - 1 - k : k;
    const std::string n = std::to_string(i);
    source += "__attribute__((noinline)) int f" + n + "(int x) {\n  if (x <= 0) return " + n + ";\n" +
              "  int y = x * " + std::to_string(2 * i + 3) + " + (x >> " + std::to_string(i % 7 + 1) +
              ");\n" + "  if (y % 5 == " + std::to_string(i % 5) + ") puts(words[(x + " + n + ") % 3]);\n" +
              "  return f" + std::to_string((i * 7 + 1) % functions) + "(x - 1) + f" +
              std::to_string((i * 13 + 5) % functions) + "(x - 2) + y;\n}\n";
  }
  source += "int main(int argc, char** argv) { (void)argv; return f0(argc); }\n";
  return source;
}

// Builds the reshuffled program as an x86-64 shared library. Hidden symbols
// are called directly rather than through the PLT, and the functions stay in
// the order of the source.
inline bool BuildReshuffledProgram(const TempDir& dir, int version, const std::string& output) {
  const std::string source = dir.File("reshuffled.c");
  const std::string text = ReshuffledProgramSource(version);
  if (!WriteFile(source, Bytes(text.begin(), text.end()))) return false;
  const std::string command = "gcc -O2 -fPIC -shared -fvisibility=hidden -fno-toplevel-reorder '" + source +
                              "' -o '" + output + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

struct Toolchain {
  const char* name;      // used in file names
  const char* compiler;  // with the flags that choose the code
  vxpatch::ExecutableKind kind;
};

inline const std::vector<Toolchain>& Toolchains() {
  static const std::vector<Toolchain> toolchains = {
      {"x64", "g++ -x c", vxpatch::EXE_ELF_64_X64},
      {"x86", "i686-linux-gnu-gcc", vxpatch::EXE_ELF_32_X86},
      {"thumb", "arm-linux-gnueabihf-gcc -mthumb", vxpatch::EXE_ELF_32_ARM},
      {"arm", "arm-linux-gnueabihf-gcc -marm", vxpatch::EXE_ELF_32_ARM},
  };
  return toolchains;
}

// Builds the program at `version` as a position-independent executable (or a
// shared library) into `output`; true on success.
inline bool BuildProgram(const TempDir& dir, const Toolchain& toolchain, int version, bool shared,
                         const std::string& output) {
  const std::string source = dir.File("program.c");
  if (!WriteFile(source, Bytes(ProgramSource(), ProgramSource() + std::string(ProgramSource()).size())))
    return false;
  const std::string command = std::string(toolchain.compiler) + " -O2 -fPIC " +
                              (shared ? "-shared " : "-pie ") + "-DVERSION=" + std::to_string(version) +
                              " '" + source + "' -o '" + output + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

// Detect, parse, trim, encode, write, serialise, read back and assemble.
// Returns the status of the first failing step; `assembled` holds the bytes.
inline vxpatch::Status RoundTrip(const Bytes& file, Bytes* assembled, size_t* element_length = nullptr) {
  vxpatch::ExecutableKind kind = vxpatch::EXE_UNKNOWN;
  size_t length = 0;
  vxpatch::Status status = vxpatch::DetectExecutable(file.data(), file.size(), &kind, &length);
  if (status != vxpatch::STATUS_OK) return status;
  if (element_length) *element_length = length;
  std::unique_ptr<vxpatch::ParsedProgram> parsed;
  status = vxpatch::ParseExecutable(file.data(), length, &parsed);
  if (status != vxpatch::STATUS_OK) return status;
  if (!vxpatch::TrimLabels(parsed.get())) return vxpatch::STATUS_TRIM_FAILED;
  std::unique_ptr<vxpatch::EncodedProgram> encoded = vxpatch::EncodeProgram(*parsed);
  if (!encoded) return vxpatch::STATUS_GENERAL_ERROR;
  vxpatch::OutputStreamSet set;
  status = vxpatch::WriteEncodedProgram(*encoded, &set);
  if (status != vxpatch::STATUS_OK) return status;
  vxpatch::OutputStream serialised;
  if (!set.SerializeSet(&serialised)) return vxpatch::STATUS_STREAM_ERROR;
  vxpatch::InputStreamSet read_set;
  if (!read_set.InitFromBuffer(serialised.Buffer(), serialised.Length())) return vxpatch::STATUS_STREAM_ERROR;
  std::unique_ptr<vxpatch::EncodedProgram> read_back;
  status = vxpatch::ReadEncodedProgram(&read_set, &read_back);
  if (status != vxpatch::STATUS_OK) return status;
  vxpatch::OutputStream out;
  status = vxpatch::AssembleProgram(read_back.get(), &out);
  if (status != vxpatch::STATUS_OK) return status;
  assembled->assign(out.Buffer(), out.Buffer() + out.Length());
  return vxpatch::STATUS_OK;
}

// A synthetic ELF file: header, one program header table, the sections' data
// in order (each at file offset == rva, 4-byte aligned) and the section
// header table last (null section first). One PT_LOAD covers the whole file
// at address 0.
struct SynthSection {
  uint32_t type = 1;
  Bytes data;
  uint64_t entsize = 0;
  uint64_t nobits_size = 0;  // type 8: the size, without any file bytes
  uint64_t offset = 0;  // filled by BuildElf
};

class ElfBuilder {
 public:
  ElfBuilder(bool is64, uint16_t machine) : is64_(is64), machine_(machine) {}
  // Returns the section's index in the section table (1-based, after null).
  size_t Add(SynthSection section) {
    sections_.push_back(std::move(section));
    return sections_.size();
  }
  // Offset (== rva) that section `index` (as returned by Add) will get.
  uint64_t OffsetOf(size_t index) {
    Layout();
    return sections_[index - 1].offset;
  }
  Bytes Build(uint16_t shstrndx = 0) {
    Layout();
    Bytes out(static_cast<size_t>(shoff_ + (sections_.size() + 1) * ShSize()), 0);
    const uint8_t ident[16] = {0x7F, 'E', 'L', 'F', static_cast<uint8_t>(is64_ ? 2 : 1), 1, 1};
    std::copy(ident, ident + 16, out.begin());
    Put(&out, 16, 2, 3);  // shared object
    Put(&out, 18, 2, machine_);
    Put(&out, 20, 4, 1);
    const uint64_t phoff = HeaderSize();
    if (is64_) {
      Put(&out, 32, 8, phoff);
      Put(&out, 40, 8, shoff_);
      Put(&out, 52, 2, 64);
      Put(&out, 54, 2, 56);
      Put(&out, 56, 2, 1);
      Put(&out, 58, 2, 64);
      Put(&out, 60, 2, sections_.size() + 1);
      Put(&out, 62, 2, shstrndx);
      Put(&out, phoff, 4, 1);
      Put(&out, phoff + 32, 8, out.size());
      Put(&out, phoff + 40, 8, out.size());
    } else {
      Put(&out, 28, 4, phoff);
      Put(&out, 32, 4, shoff_);
      Put(&out, 40, 2, 52);
      Put(&out, 42, 2, 32);
      Put(&out, 44, 2, 1);
      Put(&out, 46, 2, 40);
      Put(&out, 48, 2, sections_.size() + 1);
      Put(&out, 50, 2, shstrndx);
      Put(&out, phoff, 4, 1);
      Put(&out, phoff + 16, 4, out.size());
      Put(&out, phoff + 20, 4, out.size());
    }
    for (size_t i = 0; i < sections_.size(); ++i) {
      const SynthSection& s = sections_[i];
      std::copy(s.data.begin(), s.data.end(), out.begin() + static_cast<long>(s.offset));
      const uint64_t at = shoff_ + (i + 1) * ShSize();
      const uint64_t size = s.type == 8 ? s.nobits_size : s.data.size();
      Put(&out, at + 4, 4, s.type);
      if (is64_) {
        Put(&out, at + 16, 8, s.offset);
        Put(&out, at + 24, 8, s.offset);
        Put(&out, at + 32, 8, size);
        Put(&out, at + 56, 8, s.entsize);
      } else {
        Put(&out, at + 12, 4, s.offset);
        Put(&out, at + 16, 4, s.offset);
        Put(&out, at + 20, 4, size);
        Put(&out, at + 36, 4, s.entsize);
      }
    }
    return out;
  }

  static void Put(Bytes* out, uint64_t at, int width, uint64_t value) {
    for (int i = 0; i < width; ++i) (*out)[static_cast<size_t>(at) + i] = static_cast<uint8_t>(value >> (8 * i));
  }

 private:
  uint64_t HeaderSize() const { return is64_ ? 64 : 52; }
  uint64_t ShSize() const { return is64_ ? 64 : 40; }
  void Layout() {
    uint64_t at = HeaderSize() + (is64_ ? 56 : 32);
    for (SynthSection& s : sections_) {
      at = (at + 3) & ~uint64_t{3};
      s.offset = at;
      at += s.data.size();
    }
    shoff_ = (at + 7) & ~uint64_t{7};
  }

  bool is64_;
  uint16_t machine_;
  std::vector<SynthSection> sections_;
  uint64_t shoff_ = 0;
};

}  // namespace exetest

#endif  // VXPATCH_TEST_EXE_TEST_SUPPORT_H
