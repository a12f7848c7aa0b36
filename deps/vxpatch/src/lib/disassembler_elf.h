// DisassemblerElf32 / DisassemblerElf64: the ELF parser base shared by the
// three ELF flavours. Both widths read their headers into one neutral model
// (sections, segments) and share header checks, address rules and the walk
// that emits the program; a flavour adds its machine, which relocations give
// abs32 locations, how its relocation section is emitted and its rel32 scan.
//
// Contract:
//  - ParseHeaders validates the ELF header, both header tables, e_shstrndx,
//    every section and segment file range, and that every PROGBITS section's
//    addresses fit 32 bits; nothing outside [start, start + length) is read.
//  - EmitProgram fails cleanly (false, DEBUG message) on anything the walk
//    could not reproduce byte for byte: overlapping sections, misplaced or
//    overlapping abs32 locations, malformed relocation sections. Overlapping
//    sections are refused before anything is scanned, so the scanned and
//    walked sections never add up to more than the file, and the address
//    rules are looked up in indexes: the work grows with the file's size,
//    whatever counts its headers declare.
#ifndef VXPATCH_DISASSEMBLER_ELF_H
#define VXPATCH_DISASSEMBLER_ELF_H

#include <cstdint>
#include <memory>
#include <vector>

#include "address_ranges.h"
#include "disassembler.h"
#include "typed_rva.h"

namespace vxpatch {

enum ElfSectionType : uint32_t {
  SHT_PROGBITS_TYPE = 1,
  SHT_REL_TYPE = 9,
  SHT_NOBITS_TYPE = 8,
  SHT_INIT_ARRAY_TYPE = 14,
  SHT_FINI_ARRAY_TYPE = 15,
};

constexpr uint32_t kPtLoad = 1;

struct ElfSection {
  uint32_t type = 0;
  uint64_t addr = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t entsize = 0;
  uint64_t end() const { return offset + size; }
};

struct ElfSegment {
  uint32_t type = 0;
  uint64_t offset = 0;
  uint64_t vaddr = 0;
  uint64_t filesz = 0;
  uint64_t memsz = 0;
};

// An abs32 location: the relocated rva and where it sits in the file.
struct Abs32Location {
  uint32_t rva = 0;
  uint64_t file_offset = 0;
};

class DisassemblerElf : public Disassembler {
 public:
  bool ParseHeaders() override;
  bool EmitProgram(ParsedProgram* program) override;

 protected:
  DisassemblerElf(const uint8_t* start, size_t length, bool is64);

  virtual uint16_t ElfMachine() const = 0;
  // Accepts a REL entry as an abs32 location and gives its rva.
  virtual bool RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t* rva) const = 0;
  virtual bool ParseRelocationSection(const ElfSection& section, ParsedProgram* program) = 0;
  virtual bool ScanRel32(const ElfSection& section) = 0;
  // Whether REL entries are read at all (ELF32: 8-byte entries).
  virtual bool ReadsRelEntries() const = 0;

  // Address rules.
  bool IsValidTargetRva(uint32_t rva) const;
  bool RvaToFileOffset(uint32_t rva, uint64_t* offset) const;
  uint32_t SectionRva(const ElfSection& section, uint64_t file_offset) const {
    return static_cast<uint32_t>(section.addr + (file_offset - section.offset));
  }

  // Emits [from, to) as plain bytes; empty ranges emit nothing.
  bool EmitRange(ParsedProgram* program, uint64_t from, uint64_t to);
  bool EmitWholeSection(const ElfSection& section, ParsedProgram* program) {
    return EmitRange(program, section.offset, section.end());
  }

  // The x86 (and, with x64, x86-64) rel32 scan over one section.
  bool ScanX86Rel32(const ElfSection& section, bool x64);

  const std::vector<Abs32Location>& abs32_locations() const { return abs32_; }
  void AddRel32(const TypedRVA& location) { rel32_.push_back(location); }

  // The walk emits at most one relocation-table marker per program: the
  // assembler refuses a second one, so a second matching section stays bytes.
  bool relocs_marker_emitted() const { return relocs_marker_emitted_; }
  void note_relocs_marker() { relocs_marker_emitted_ = true; }

 private:
  bool ReadSections(uint64_t shoff, uint16_t shnum);
  // The walk's overlap rule, checked before the scans that it would make
  // pointless.
  bool SectionsWalkable() const;
  void BuildIndexes();
  bool ReadSegments(uint64_t phoff, uint16_t phnum);
  bool CollectAbs32();
  bool CollectRel32();
  bool WalkProgbits(const ElfSection& section, ParsedProgram* program);
  bool InSectionOfType1Or9(uint64_t file_offset) const;

  bool is64_;
  std::vector<ElfSection> sections_;
  std::vector<ElfSegment> segments_;
  AddressRanges load_ranges_;     // rvas inside load segments
  AddressRanges mapped_ranges_;   // rvas with file bytes, by segment index
  AddressRanges walked_ranges_;   // file offsets in progbits and REL sections
  AddressRanges array_ranges_;    // file offsets in init and fini arrays
  std::vector<Abs32Location> abs32_;
  std::vector<TypedRVA> rel32_;
  size_t next_abs32_ = 0;
  size_t next_rel32_ = 0;
  size_t released_rel32_ = 0;  // locations before it have no pages
  // Progress already reported: offset in the section being scanned, and in
  // the file as walked.
  size_t scan_reported_ = 0;
  uint64_t walk_reported_ = 0;
  bool relocs_marker_emitted_ = false;
};

class DisassemblerElf32 : public DisassemblerElf {
 protected:
  DisassemblerElf32(const uint8_t* start, size_t length) : DisassemblerElf(start, length, false) {}
  bool ReadsRelEntries() const override { return true; }
};

class DisassemblerElf64 : public DisassemblerElf {
 protected:
  DisassemblerElf64(const uint8_t* start, size_t length) : DisassemblerElf(start, length, true) {}
  // No 64-bit flavour takes abs32 locations from REL entries.
  bool ReadsRelEntries() const override { return false; }
};

}  // namespace vxpatch

#endif  // VXPATCH_DISASSEMBLER_ELF_H
