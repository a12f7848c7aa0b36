// ELF32 ARM flavour: relocations, relocation-table marker, branch scan.
#include "disassembler_elf32_arm.h"

namespace vxpatch {

namespace {

constexpr uint32_t kRelativeArm = 23;  // R_ARM_RELATIVE, symbol 0

uint32_t Le16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8; }

// The branch form starting at p, if any; left is the number of bytes from p
// to the end of the section.
bool FindArmBranch(const uint8_t* p, size_t left, bool aligned, ArmBranchType* type) {
  if (left >= 3) {
    const uint32_t h = Le16(p);
    if ((h & 0xF000u) == 0xD000u) {
      *type = ARM_OFF8;
      return true;
    }
    if ((h & 0xF800u) == 0xE000u) {
      *type = ARM_OFF11;
      return true;
    }
  }
  if (left >= 5) {
    const uint32_t g = Le16(p);
    const uint32_t f = Le16(p + 2);
    if (g >= 0xF000u && g < 0xF800u && (f & 0x8000u) != 0) {
      *type = (f & 0x5000u) != 0 ? ARM_OFF25 : ARM_OFF21;
      return true;
    }
    if (aligned && (((f << 16 | g) >> 25) & 7u) == 5u) {
      *type = ARM_OFF24;
      return true;
    }
  }
  return false;
}

}  // namespace

bool DisassemblerElf32ARM::RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t* rva) const {
  if (r_info != kRelativeArm) return false;
  *rva = r_offset;
  return true;
}

bool DisassemblerElf32ARM::ParseRelocationSection(const ElfSection& section, ParsedProgram* program) {
  const std::vector<Abs32Location>& abs32 = abs32_locations();
  if (abs32.empty() || relocs_marker_emitted()) return EmitWholeSection(section, program);
  const CheckedBytes in = bytes();
  const uint64_t entries = section.size / 8;
  auto entry = [&](uint64_t i, uint32_t* r_offset, uint32_t* r_info) {
    return in.U32(section.offset + i * 8, r_offset) && in.U32(section.offset + i * 8 + 4, r_info);
  };

  // Entries before the first abs32 relocation (those of other sections, such
  // as init arrays) stay plain bytes.
  uint64_t first = 0;
  for (; first < entries; ++first) {
    uint32_t r_offset = 0, r_info = 0;
    if (!entry(first, &r_offset, &r_info)) return false;
    if (r_offset == abs32[0].rva) break;
  }
  if (!EmitRange(program, section.offset, section.offset + first * 8)) return false;
  const uint64_t rest = section.offset + first * 8;
  if (entries - first < abs32.size()) return EmitRange(program, rest, section.end());
  for (size_t i = 0; i < abs32.size(); ++i) {
    uint32_t r_offset = 0, r_info = 0;
    if (!entry(first + i, &r_offset, &r_info)) return false;
    // A run that breaks off is kept as it is: the marker can only stand for
    // the complete table, and no entry may be lost.
    if (r_info != kRelativeArm || r_offset != abs32[i].rva) return EmitRange(program, rest, section.end());
  }
  if (!program->EmitElfArmRelocs()) return false;
  note_relocs_marker();
  return EmitRange(program, rest + abs32.size() * 8, section.end());
}

bool DisassemblerElf32ARM::ScanRel32(const ElfSection& section) {
  const uint8_t* base = bytes().Slice(section.offset, section.size);
  if (base == nullptr) return false;
  const size_t size = static_cast<size_t>(section.size);
  // The alignment flag is part of the format: true at the section start,
  // toggled by every 2-byte step, set again after every recorded branch
  // (whatever its size). It decides where ARM-mode words are looked for.
  bool aligned = true;
  size_t p = 0;
  while (p < size) {
    ArmBranchType type = ARM_OFF8;
    if (FindArmBranch(base + p, size - p, aligned, &type)) {
      const uint64_t offset = section.offset + p;
      const TypedRVA location = TypedRVA::Arm(type, SectionRva(section, offset), offset, base + p);
      if (IsValidTargetRva(location.rva() + location.relative_target())) {
        p += location.OpSize();
        aligned = true;
        AddRel32(location);
        continue;
      }
    }
    p += 2;
    aligned = !aligned;
  }
  return true;
}

}  // namespace vxpatch
