// Real PE and Mach-O files for the tests, made at test time in a temporary
// directory by the installed cross toolchains: PE32 and PE32+ programs and
// DLLs (mingw-w64), 64-bit Mach-O executables and dylibs (clang and
// ld64.lld), multi-architecture files (llvm-lipo), and 32-bit (and low-based
// 64-bit) Mach-O executables from a small writer of our own around code taken
// from a clang-compiled Mach-O object, since the linker refuses i386.
//
// Every builder returns false when its tool is missing or fails; tests then
// skip with MissingTool() as the reason.
#ifndef VXPATCH_TEST_EXE_FIXTURES_H
#define VXPATCH_TEST_EXE_FIXTURES_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exe_test_support.h"

namespace exefixtures {

using exetest::Bytes;
using exetest::TempDir;

inline bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

inline bool HaveTool(const std::string& tool) { return Run("command -v " + tool); }

inline std::string MissingTool(const std::string& tool) {
  return tool + " is not installed (scripts/setup installs it); skipping";
}

constexpr const char* kMingw32 = "i686-w64-mingw32-gcc";
constexpr const char* kMingw64 = "x86_64-w64-mingw32-gcc";
constexpr const char* kClang = "clang";
constexpr const char* kLld = "ld64.lld-14";
constexpr const char* kLipo = "llvm-lipo-14";

// A PE program (or DLL, which keeps its base-relocation table) of the shared
// test program at `version`.
inline bool BuildPe(const TempDir& dir, bool pe32_plus, bool dll, int version, const std::string& output) {
  const std::string source = dir.File("pe_program.c");
  const std::string text = exetest::ProgramSource();
  if (!exetest::WriteFile(source, Bytes(text.begin(), text.end()))) return false;
  return Run(std::string(pe32_plus ? kMingw64 : kMingw32) + " -O2 " + (dll ? "-shared " : "") +
             "-DVERSION=" + std::to_string(version) + " '" + source + "' -o '" + output + "'");
}

// Freestanding code for Mach-O files (no system library to link against):
// calls, branches, a table of function pointers and strings.
inline std::string MachoSource() {
  return R"(#ifndef VERSION
#define VERSION 1
#endif
typedef int (*binary)(int, int);
static int add(int a, int b) { return a + b; }
static int sub(int a, int b) { return a - b; }
#if VERSION > 1
static int mix(int a, int b) { return (a ^ b) + (a >> 3); }
#endif
static binary table[] = {add, sub,
#if VERSION > 1
  mix,
#endif
};
const char* words[] = {"alpha", "beta", "gamma"};
int counter;
__attribute__((noinline)) int step(int acc, int i) {
  acc = table[i % (int)(sizeof table / sizeof table[0])](acc, i * VERSION);
  if (acc > 100000) acc /= 7 + VERSION;
  else if (acc < -100000) acc = -acc / 3;
  return acc + words[i % 3][0];
}
__attribute__((noinline)) int compute(int n) {
  int acc = 0;
  for (int i = 0; i < n; ++i) acc = step(acc, i);
  return acc;
}
int exported_entry(int n) { return compute(n) + compute(n / 2 + VERSION); }
void start(void) { counter = exported_entry(40); for (;;) {} }
)";
}

inline bool CompileMachoObject(const TempDir& dir, const char* target, int version, const std::string& object) {
  const std::string source = dir.File("macho_program.c");
  const std::string text = MachoSource();
  if (!exetest::WriteFile(source, Bytes(text.begin(), text.end()))) return false;
  return Run(std::string(kClang) + " -target " + target + " -O2 -DVERSION=" + std::to_string(version) + " -c '" +
             source + "' -o '" + object + "'");
}

// A 64-bit Mach-O executable (entry _start) or dylib linked by ld64.lld. The
// executable has the usual 4 GiB page zero and its code at 0x100000000.
inline bool BuildMacho64(const TempDir& dir, bool dylib, int version, const std::string& output) {
  const std::string object = dir.File("macho64_v" + std::to_string(version) + ".o");
  if (!CompileMachoObject(dir, "x86_64-apple-macos11", version, object)) return false;
  return Run(std::string(kLld) + " -arch x86_64 -platform_version macos 11.0 11.0 " +
             (dylib ? "-dylib" : "-e _start") + " '" + object + "' -o '" + output + "'");
}

inline bool MakeFat(const std::vector<std::string>& inputs, const std::string& output) {
  std::string command = std::string(kLipo) + " -create";
  for (const std::string& input : inputs) command += " '" + input + "'";
  return Run(command + " -output '" + output + "'");
}

// The writer of thin Mach-O executables: page zero, __TEXT with a code
// section (the object's __text) and a C-string section, __DATA with a
// pointer table, and a thread command for the entry point.
class MachoWriter {
 public:
  explicit MachoWriter(bool is64) : is64_(is64) {}

  // Takes the bytes of section __text from a Mach-O object.
  bool TakeCodeFromObject(const Bytes& object) {
    if (object.size() < 32) return false;
    const uint32_t command_count = Get32(object, 16);
    uint64_t at = is64_ ? 32 : 28;
    for (uint32_t i = 0; i < command_count && at + 8 <= object.size(); ++i) {
      const uint32_t type = Get32(object, at), size = Get32(object, at + 4);
      if (type == (is64_ ? 25u : 1u)) {
        const uint64_t header = is64_ ? 72 : 56, section_size = is64_ ? 80 : 68;
        const uint32_t sections = Get32(object, at + (is64_ ? 64 : 48));
        for (uint32_t s = 0; s < sections; ++s) {
          const uint64_t section = at + header + s * section_size;
          if (section + section_size > object.size()) return false;
          if (std::memcmp(&object[section], "__text", 7) != 0) continue;
          const uint64_t code_size = is64_ ? Get32(object, section + 40) : Get32(object, section + 36);
          const uint64_t offset = Get32(object, section + (is64_ ? 48 : 40));
          if (offset + code_size > object.size()) return false;
          code_.assign(object.begin() + static_cast<long>(offset),
                       object.begin() + static_cast<long>(offset + code_size));
          return !code_.empty();
        }
      }
      if (size < 8) return false;
      at += size;
    }
    return false;
  }

  // Options for the failure cases of the tests.
  bool code_is_pure_instructions = true;
  bool use_32bit_segment_command = false;  // in a 64-bit file: LC_SEGMENT

  Bytes Write() const {
    const uint32_t page = 0x1000;
    const uint32_t text_base = page;  // right after a one-page page zero
    const uint64_t segment_command = is64_ && !use_32bit_segment_command ? 72 : 56;
    const uint64_t section_header = is64_ && !use_32bit_segment_command ? 80 : 68;
    const uint64_t thread_command = is64_ ? 8 + 8 + 168 : 8 + 8 + 64;
    const uint64_t commands = segment_command + (segment_command + 2 * section_header) +
                              (segment_command + section_header) + thread_command;
    const uint64_t header = is64_ ? 32 : 28;
    const uint64_t code_offset = Align(header + commands, 16);
    const Bytes strings = {'a', 'l', 'p', 'h', 'a', 0, 'b', 'e', 't', 'a', 0};
    const uint64_t strings_offset = code_offset + code_.size();
    const uint64_t text_size = Align(strings_offset + strings.size(), page);
    const uint64_t data_offset = text_size;
    const uint64_t data_size = page;
    Bytes out(static_cast<size_t>(data_offset + data_size), 0);

    Put(&out, 0, 4, is64_ ? 0xFEEDFACF : 0xFEEDFACE);
    Put(&out, 4, 4, is64_ ? 0x1000007 : 7);
    Put(&out, 8, 4, 3);
    Put(&out, 12, 4, 2);  // executable
    Put(&out, 16, 4, 4);
    Put(&out, 20, 4, commands);
    Put(&out, 24, 4, 1);  // no undefined symbols
    uint64_t at = header;
    at = Segment(&out, at, "__PAGEZERO", 0, page, 0, 0, 0);
    const uint64_t text_sections = Segment(&out, at, "__TEXT", text_base, text_size, 0, text_size, 2);
    at = Section(&out, text_sections, "__text", "__TEXT", text_base + code_offset, code_.size(), code_offset,
                 code_is_pure_instructions ? 0x80000400u : 0x00000400u);
    at = Section(&out, at, "__cstring", "__TEXT", text_base + strings_offset, strings.size(), strings_offset, 2);
    const uint64_t data_sections =
        Segment(&out, at, "__DATA", text_base + text_size, data_size, data_offset, data_size, 1);
    at = Section(&out, data_sections, "__data", "__DATA", text_base + text_size, 16, data_offset, 0);
    Put(&out, at, 4, 5);  // LC_UNIXTHREAD
    Put(&out, at + 4, 4, thread_command);
    Put(&out, at + 8, 4, is64_ ? 4 : 1);
    Put(&out, at + 12, 4, is64_ ? 42 : 16);
    Put(&out, at + 16 + (is64_ ? 16 * 8 : 10 * 4), is64_ ? 8 : 4, text_base + code_offset);

    std::copy(code_.begin(), code_.end(), out.begin() + static_cast<long>(code_offset));
    std::copy(strings.begin(), strings.end(), out.begin() + static_cast<long>(strings_offset));
    // Pointers to the strings, as a data section would hold them.
    Put(&out, data_offset, 4, text_base + strings_offset);
    Put(&out, data_offset + 4, 4, text_base + strings_offset + 6);
    return out;
  }

  static uint32_t Get32(const Bytes& bytes, uint64_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | bytes[static_cast<size_t>(at) + i];
    return value;
  }
  static void Put(Bytes* out, uint64_t at, int width, uint64_t value) { exetest::ElfBuilder::Put(out, at, width, value); }

 private:
  static uint64_t Align(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

  bool wide() const { return is64_ && !use_32bit_segment_command; }

  // Writes a segment command announcing `sections` sections; returns where
  // its first section header goes.
  uint64_t Segment(Bytes* out, uint64_t at, const char* name, uint64_t vmaddr, uint64_t vmsize, uint64_t fileoff,
                   uint64_t filesize, uint32_t sections) const {
    const uint64_t size = (wide() ? 72 : 56) + sections * (wide() ? 80 : 68);
    Put(out, at, 4, wide() ? 25 : 1);
    Put(out, at + 4, 4, size);
    std::memcpy(&(*out)[static_cast<size_t>(at) + 8], name, std::strlen(name));
    if (wide()) {
      Put(out, at + 24, 8, vmaddr);
      Put(out, at + 32, 8, vmsize);
      Put(out, at + 40, 8, fileoff);
      Put(out, at + 48, 8, filesize);
      Put(out, at + 56, 4, 7);
      Put(out, at + 60, 4, 5);
      Put(out, at + 64, 4, sections);
      return at + 72;
    }
    Put(out, at + 24, 4, vmaddr);
    Put(out, at + 28, 4, vmsize);
    Put(out, at + 32, 4, fileoff);
    Put(out, at + 36, 4, filesize);
    Put(out, at + 40, 4, 7);
    Put(out, at + 44, 4, 5);
    Put(out, at + 48, 4, sections);
    return at + 56;
  }

  uint64_t Section(Bytes* out, uint64_t at, const char* name, const char* segment, uint64_t addr, uint64_t size,
                   uint64_t offset, uint32_t flags) const {
    std::memcpy(&(*out)[static_cast<size_t>(at)], name, std::strlen(name));
    std::memcpy(&(*out)[static_cast<size_t>(at) + 16], segment, std::strlen(segment));
    if (wide()) {
      Put(out, at + 32, 8, addr);
      Put(out, at + 40, 8, size);
      Put(out, at + 48, 4, offset);
      Put(out, at + 52, 4, 4);
      Put(out, at + 64, 4, flags);
      return at + 80;
    }
    Put(out, at + 32, 4, addr);
    Put(out, at + 36, 4, size);
    Put(out, at + 40, 4, offset);
    Put(out, at + 44, 4, 4);
    Put(out, at + 56, 4, flags);
    return at + 68;
  }

  bool is64_;
  Bytes code_;
};

// A thin Mach-O executable written around clang's code for the Mach-O test
// program: 32-bit (i386) or 64-bit with its code below 4 GiB.
struct WrittenMachoOptions {
  bool code_is_pure_instructions = true;
  bool use_32bit_segment_command = false;
};

inline bool BuildWrittenMacho(const TempDir& dir, bool is64, int version, const std::string& output,
                              const WrittenMachoOptions& options = WrittenMachoOptions()) {
  const std::string object = dir.File(std::string("written_") + (is64 ? "64" : "32") + "_v" +
                                      std::to_string(version) + ".o");
  if (!CompileMachoObject(dir, is64 ? "x86_64-apple-macos11" : "i386-apple-macos10.13", version, object))
    return false;
  MachoWriter writer(is64);
  writer.code_is_pure_instructions = options.code_is_pure_instructions;
  writer.use_32bit_segment_command = options.use_32bit_segment_command;
  if (!writer.TakeCodeFromObject(exetest::ReadFile(object))) return false;
  return exetest::WriteFile(output, writer.Write());
}

}  // namespace exefixtures

#endif  // VXPATCH_TEST_EXE_FIXTURES_H
