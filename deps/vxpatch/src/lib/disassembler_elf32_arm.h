// DisassemblerElf32ARM: 32-bit ARM ELF executables and shared libraries
// (kind ELF_32_ARM, machine 40), ARM and Thumb-2 code. abs32 locations come
// from R_ARM_RELATIVE entries; rel32 locations from the five branch forms of
// arm_branch.h.
#ifndef VXPATCH_DISASSEMBLER_ELF32_ARM_H
#define VXPATCH_DISASSEMBLER_ELF32_ARM_H

#include "disassembler_elf.h"

namespace vxpatch {

class DisassemblerElf32ARM : public DisassemblerElf32 {
 public:
  DisassemblerElf32ARM(const uint8_t* start, size_t length) : DisassemblerElf32(start, length) {}
  ExecutableKind GetKind() const override { return EXE_ELF_32_ARM; }

 protected:
  uint16_t ElfMachine() const override { return 40; }
  bool RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t* rva) const override;
  bool ParseRelocationSection(const ElfSection& section, ParsedProgram* program) override;
  bool ScanRel32(const ElfSection& section) override;
};

}  // namespace vxpatch

#endif  // VXPATCH_DISASSEMBLER_ELF32_ARM_H
