// ELF32 x86 flavour: relocations, relocation-table marker, rel32 scan.
#include "disassembler_elf32_x86.h"

namespace vxpatch {

namespace {

constexpr uint32_t kRelative386 = 8;  // R_386_RELATIVE, symbol 0

}  // namespace

bool DisassemblerElf32X86::RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t* rva) const {
  if (r_info != kRelative386) return false;
  *rva = r_offset;
  return true;
}

bool DisassemblerElf32X86::ParseRelocationSection(const ElfSection& section, ParsedProgram* program) {
  const std::vector<Abs32Location>& abs32 = abs32_locations();
  const uint64_t entries = section.size / 8;
  // The marker stands for the whole table of abs32 relocations, so it is only
  // worth anything (and only rebuilt correctly) when there are some, and the
  // section must begin with exactly them.
  if (abs32.empty() || relocs_marker_emitted() || entries < abs32.size())
    return EmitWholeSection(section, program);
  const CheckedBytes in = bytes();
  for (size_t i = 0; i < abs32.size(); ++i) {
    uint32_t r_offset = 0, r_info = 0;
    if (!in.U32(section.offset + i * 8, &r_offset) || !in.U32(section.offset + i * 8 + 4, &r_info))
      return false;
    if (r_info != kRelative386 || r_offset != abs32[i].rva) return EmitWholeSection(section, program);
  }
  if (!program->EmitElfRelocs()) return false;
  note_relocs_marker();
  return EmitRange(program, section.offset + abs32.size() * 8, section.end());
}

bool DisassemblerElf32X86::ScanRel32(const ElfSection& section) { return ScanX86Rel32(section, false); }

}  // namespace vxpatch
