// DisassemblerElf64X64: x86-64 ELF executables and shared libraries (kind
// ELF_64_X64, machine 62). No abs32 locations (their relocations are RELA);
// rel32 locations from the x86 and x86-64 rules.
#ifndef VXPATCH_DISASSEMBLER_ELF64_X64_H
#define VXPATCH_DISASSEMBLER_ELF64_X64_H

#include "disassembler_elf.h"

namespace vxpatch {

class DisassemblerElf64X64 : public DisassemblerElf64 {
 public:
  DisassemblerElf64X64(const uint8_t* start, size_t length) : DisassemblerElf64(start, length) {}
  ExecutableKind GetKind() const override { return EXE_ELF_64_X64; }

 protected:
  uint16_t ElfMachine() const override { return 62; }
  bool RelocToRva(uint32_t, uint32_t, uint32_t*) const override { return false; }
  bool ParseRelocationSection(const ElfSection& section, ParsedProgram* program) override {
    return EmitWholeSection(section, program);
  }
  bool ScanRel32(const ElfSection& section) override { return ScanX86Rel32(section, true); }
};

}  // namespace vxpatch

#endif  // VXPATCH_DISASSEMBLER_ELF64_X64_H
