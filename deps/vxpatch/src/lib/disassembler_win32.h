// DisassemblerWin32: the PE parser shared by PE32 (DisassemblerWin32X86) and
// PE32+ (DisassemblerWin32X64). The two differ only in which optional-header
// magic they take, the width of absolute addresses in the base-relocation
// table (entry type 3 or 10) and the rel32 rules (x86, or x86 plus x86-64).
//
// Contract:
//  - ParseHeaders checks the DOS and PE headers, the optional header, the
//    data directories it keeps and the section table; every field is read
//    through the checked reader and every section's file range must lie in
//    the file. length() becomes the end of the last section's raw data (at
//    least the end of the section table).
//  - EmitProgram reads the base-relocation table (abs32 locations), scans the
//    ".text" section for rel32 locations and walks the sections in file
//    order. Every byte up to length() is emitted exactly once, so the
//    assembled program is the file whenever the rebuilt relocation table
//    equals the stored one. Failures are logged at DEBUG and return false.
#ifndef VXPATCH_DISASSEMBLER_WIN32_H
#define VXPATCH_DISASSEMBLER_WIN32_H

#include <cstdint>
#include <vector>

#include "disassembler.h"

namespace vxpatch {

struct PeSection {
  uint8_t name[8] = {};
  uint32_t virtual_size = 0;
  uint32_t virtual_address = 0;
  uint32_t raw_size = 0;
  uint32_t raw_offset = 0;
  uint64_t raw_end() const { return uint64_t{raw_offset} + raw_size; }
  // The loader maps a section's raw data when it declares no virtual size.
  uint64_t virtual_end() const { return uint64_t{virtual_address} + (virtual_size ? virtual_size : raw_size); }
};

struct PeDataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

class DisassemblerWin32 : public Disassembler {
 public:
  bool ParseHeaders() override;
  bool EmitProgram(ParsedProgram* program) override;

 protected:
  DisassemblerWin32(const uint8_t* start, size_t length, bool accepts_pe32_plus);

 private:
  bool ParseSectionTable(uint64_t table_offset, uint16_t count);
  bool ReadDataDirectory(uint64_t optional_header, uint32_t directory_count, unsigned index,
                         PeDataDirectory* directory);
  bool CollectAbs32();
  void CollectRel32();
  void ScanRel32Run(const PeSection& text, uint64_t from, uint64_t to);
  bool OverlapsAbs32(uint32_t rva) const;
  bool RvaToFileOffset(uint32_t rva, uint64_t* offset) const;
  bool WalkSection(const PeSection& section, uint64_t from, ParsedProgram* program);
  bool EmitPlainBytes(uint64_t from, uint64_t to, ParsedProgram* program) const;

  const bool accepts_pe32_plus_;
  bool is_pe32_plus_ = false;
  uint16_t machine_ = 0;
  uint16_t section_count_ = 0;
  uint16_t optional_header_size_ = 0;
  uint64_t image_base_ = 0;
  uint32_t size_of_image_ = 0;
  // Kept as the headers give them; only the base relocations are used.
  PeDataDirectory export_table_, import_table_, resource_table_, exception_table_, base_relocation_table_,
      bound_import_, import_address_table_, delay_import_, runtime_header_;
  std::vector<PeSection> sections_;
  const PeSection* text_ = nullptr;
  std::vector<uint32_t> abs32_rvas_;
  std::vector<uint32_t> rel32_rvas_;
  // The marker stands for the whole table, rebuilt from the abs32 values
  // written; it is placed once, and only when there are such values.
  bool relocs_emitted_ = false;
};

}  // namespace vxpatch

#endif  // VXPATCH_DISASSEMBLER_WIN32_H
