// Detection order, detection and parsing.
#include "executable_detection.h"

#include <new>

#include "disassembler_elf32_arm.h"
#include "disassembler_elf32_x86.h"
#include "disassembler_elf64_x64.h"
#include "disassembler_macho.h"
#include "disassembler_win32_x64.h"
#include "disassembler_win32_x86.h"

namespace vxpatch {

namespace {

template <typename Parser>
std::unique_ptr<Disassembler> Try(const uint8_t* bytes, size_t length) {
  std::unique_ptr<Disassembler> parser(new Parser(bytes, length));
  if (!parser->ParseHeaders()) parser.reset();
  return parser;
}

}  // namespace

std::unique_ptr<Disassembler> FindDisassembler(const uint8_t* bytes, size_t length) {
  try {
    std::unique_ptr<Disassembler> parser;
    // Detection order is part of the format: the first parser that accepts
    // the headers decides how an element is encoded.
    if ((parser = Try<DisassemblerWin32X86>(bytes, length))) return parser;
    if ((parser = Try<DisassemblerWin32X64>(bytes, length))) return parser;
    if ((parser = Try<DisassemblerElf32X86>(bytes, length))) return parser;
    if ((parser = Try<DisassemblerElf64X64>(bytes, length))) return parser;
    if ((parser = Try<DisassemblerElf32ARM>(bytes, length))) return parser;
    if ((parser = Try<DisassemblerMacho>(bytes, length))) return parser;
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

Status DetectExecutable(const uint8_t* bytes, size_t length, ExecutableKind* kind, size_t* detected_length) {
  *kind = EXE_UNKNOWN;
  *detected_length = 0;
  std::unique_ptr<Disassembler> parser = FindDisassembler(bytes, length);
  if (!parser) return STATUS_INPUT_NOT_RECOGNIZED;
  *kind = parser->GetKind();
  *detected_length = parser->length();
  return STATUS_OK;
}

Status ParseExecutable(const uint8_t* bytes, size_t length, std::unique_ptr<ParsedProgram>* program,
                       ProgressSpan* progress) {
  program->reset();
  std::unique_ptr<Disassembler> parser = FindDisassembler(bytes, length);
  if (!parser) return STATUS_INPUT_NOT_RECOGNIZED;
  try {
    std::unique_ptr<ParsedProgram> parsed(new ParsedProgram());
    parsed->set_kind(parser->GetKind());
    parsed->set_file(bytes, length);
    parser->set_progress(progress);
    if (!parser->EmitProgram(parsed.get())) return STATUS_DISASSEMBLY_FAILED;
    *program = std::move(parsed);
    return STATUS_OK;
  } catch (const std::bad_alloc&) {
    return STATUS_DISASSEMBLY_FAILED;
  }
}

}  // namespace vxpatch
