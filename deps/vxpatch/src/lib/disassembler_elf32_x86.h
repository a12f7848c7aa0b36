// DisassemblerElf32X86: 32-bit x86 ELF executables and shared libraries
// (kind EXE_ELF_32_X86, machine 3). abs32 locations come from R_386_RELATIVE
// entries; rel32 locations from call, jmp and jcc displacements.
#ifndef VXPATCH_DISASSEMBLER_ELF32_X86_H
#define VXPATCH_DISASSEMBLER_ELF32_X86_H

#include "disassembler_elf.h"

namespace vxpatch {

class DisassemblerElf32X86 : public DisassemblerElf32 {
 public:
  DisassemblerElf32X86(const uint8_t* start, size_t length) : DisassemblerElf32(start, length) {}
  ExecutableKind GetKind() const override { return EXE_ELF_32_X86; }

 protected:
  uint16_t ElfMachine() const override { return 3; }
  bool RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t* rva) const override;
  bool ParseRelocationSection(const ElfSection& section, ParsedProgram* program) override;
  bool ScanRel32(const ElfSection& section) override;
};

}  // namespace vxpatch

#endif  // VXPATCH_DISASSEMBLER_ELF32_X86_H
