// DisassemblerMacho: 32-bit (kind MACHO_X86) and 64-bit (kind MACHO_X64) x86
// Mach-O executables, libraries and bundles. The element is one thin file;
// multi-architecture files are split into elements by the packer.
//
// Contract:
//  - ParseHeaders checks the header and every load command, records the
//    segments (all four fields must fit 32 bits; 64-bit segments without
//    sections are passed over, so the 4 GiB page zero of an executable does
//    not count) and the code sections (regular sections of pure
//    instructions), each inside its segment's file and address ranges.
//    length() becomes the largest recorded segment end in the file.
//  - EmitProgram scans the code sections for rel32 locations whose targets
//    lie in a recorded segment and walks the file in offset order; every byte
//    up to length() is emitted once, so assembly reproduces the bytes exactly.
//    No abs32 locations, image base 0. Code sections that together exceed the
//    file (overlapping over and over) are refused before anything is
//    scanned, and addresses are looked up in indexes, so the work grows with
//    the file's size, not with its count of load commands.
#ifndef VXPATCH_DISASSEMBLER_MACHO_H
#define VXPATCH_DISASSEMBLER_MACHO_H

#include <cstdint>
#include <vector>

#include "address_ranges.h"
#include "disassembler.h"

namespace vxpatch {

struct MachoSegment {
  uint32_t vmaddr = 0;
  uint32_t vmsize = 0;
  uint32_t fileoff = 0;
  uint32_t filesize = 0;
};

struct MachoCodeSection {
  uint32_t addr = 0;
  uint32_t size = 0;
  uint32_t offset = 0;
  uint64_t end() const { return uint64_t{offset} + size; }
};

// A rel32 location: the rva of its displacement and where it is in the file.
struct MachoRel32 {
  uint32_t rva = 0;
  uint64_t file_offset = 0;
};

class DisassemblerMacho : public Disassembler {
 public:
  DisassemblerMacho(const uint8_t* start, size_t length);
  ExecutableKind GetKind() const override { return kind_; }
  bool ParseHeaders() override;
  bool EmitProgram(ParsedProgram* program) override;

 private:
  bool ParseSegment(uint64_t command, uint32_t command_size);
  // 64-bit files: takes `vmaddr` relative to the address window, which the
  // first segment with sections chooses; false below the window.
  bool MoveIntoWindow(uint64_t* vmaddr);
  // Records the section if it holds pure instructions; fails if it does not
  // lie inside its segment.
  bool AddCodeSection(uint64_t addr, uint64_t size, uint32_t offset, uint32_t flags,
                      const MachoSegment& segment);
  bool IsValidTargetRva(uint32_t rva) const;
  bool RvaToFileOffset(uint32_t rva, uint64_t* offset) const;
  void ScanRel32(const MachoCodeSection& section);
  bool EmitPlainBytes(uint64_t from, uint64_t to, ParsedProgram* program) const;

  ExecutableKind kind_ = EXE_UNKNOWN;
  bool is64_ = false;
  std::vector<MachoSegment> segments_;
  std::vector<MachoCodeSection> code_sections_;
  uint64_t segments_end_ = 0;
  // 64-bit files: the 4 GiB window of the first segment with sections. Every
  // address is taken relative to it, so a program whose code lies at 4 GiB
  // and above, as every linked 64-bit executable's does, fits the 32-bit
  // model; programs below 4 GiB keep their addresses (window 0).
  uint64_t address_window_ = 0;
  bool window_chosen_ = false;
  std::vector<MachoRel32> rel32_;
  AddressRanges segment_ranges_;  // rvas inside a recorded segment
  AddressRanges code_ranges_;     // rvas of code sections, by index
};

}  // namespace vxpatch

#endif  // VXPATCH_DISASSEMBLER_MACHO_H
