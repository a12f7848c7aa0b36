// PE header checks, base-relocation table, rel32 scan of ".text" and the
// section walk shared by the PE32 and PE32+ parsers.
#include "disassembler_win32.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "engine_log.h"
#include "rel32_scan_x86.h"

namespace vxpatch {

namespace {

constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kPeHeaderOffsetField = 60;
constexpr uint64_t kPeHeaderSize = 24;  // signature and COFF header
constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint64_t kMinimumOptionalHeaderPe32 = 96;
constexpr uint64_t kMinimumOptionalHeaderPe32Plus = 112;
constexpr uint64_t kRelocBlockHeaderSize = 8;
constexpr uint16_t kRelocTypeAbsolute = 0;  // padding
constexpr uint16_t kRelocTypeHighLow = 3;
constexpr uint16_t kRelocTypeDir64 = 10;

constexpr uint8_t kTextName[8] = {'.', 't', 'e', 'x', 't', 0, 0, 0};

// Data directories the parser keeps, by their index in the optional header.
enum DirectoryIndex : unsigned {
  kExportDirectory = 0,
  kImportDirectory = 1,
  kResourceDirectory = 2,
  kExceptionDirectory = 3,
  kBaseRelocationDirectory = 5,
  kBoundImportDirectory = 11,
  kImportAddressDirectory = 12,
  kDelayImportDirectory = 13,
  kRuntimeHeaderDirectory = 14,
};

bool Fail(const std::string& message) {
  LogDebug(message);
  return false;
}

}  // namespace

DisassemblerWin32::DisassemblerWin32(const uint8_t* start, size_t length, bool accepts_pe32_plus)
    : Disassembler(start, length), accepts_pe32_plus_(accepts_pe32_plus) {}

bool DisassemblerWin32::ParseHeaders() {
  sections_.clear();
  text_ = nullptr;
  const CheckedBytes in = bytes();
  if (in.size() < kDosHeaderSize) return Bad("Too small");
  if (in.data()[0] != 'M' || in.data()[1] != 'Z') return Bad("Not MZ");

  uint32_t pe_offset = 0;
  in.U32(kPeHeaderOffsetField, &pe_offset);
  if (pe_offset >= in.size() || pe_offset == 0 || !in.Contains(pe_offset, kPeHeaderSize))
    return Bad("Bad offset to PE header");
  if (pe_offset % 8 != 0) return Bad("Misaligned PE header");
  static const uint8_t kSignature[4] = {'P', 'E', 0, 0};
  if (std::memcmp(in.Slice(pe_offset, 4), kSignature, 4) != 0) return Bad("no PE signature");

  in.U16(pe_offset + 4, &machine_);
  in.U16(pe_offset + 6, &section_count_);
  in.U16(pe_offset + 20, &optional_header_size_);
  const uint64_t optional_header = pe_offset + kPeHeaderSize;
  if (!in.Contains(optional_header, optional_header_size_)) return Bad("optional header past end of file");
  if (optional_header_size_ < 2) return Bad("optional header no magic");
  uint16_t magic = 0;
  in.U16(optional_header, &magic);
  uint64_t minimum_size = 0;
  if (magic == kMagicPe32) {
    is_pe32_plus_ = false;
    minimum_size = kMinimumOptionalHeaderPe32;
  } else if (magic == kMagicPe32Plus) {
    is_pe32_plus_ = true;
    minimum_size = kMinimumOptionalHeaderPe32Plus;
  } else {
    return Bad("unrecognized magic");
  }
  if (optional_header_size_ < minimum_size) return Bad("optional header too short");

  // Every field below lies inside the minimum optional header, which lies
  // inside the file.
  if (is_pe32_plus_) {
    in.U64(optional_header + 24, &image_base_);
  } else {
    uint32_t base = 0;
    in.U32(optional_header + 28, &base);
    image_base_ = base;
  }
  in.U32(optional_header + 56, &size_of_image_);
  uint32_t directory_count = 0;
  in.U32(optional_header + (is_pe32_plus_ ? 108 : 92), &directory_count);
  const struct {
    unsigned index;
    PeDataDirectory* directory;
  } kept[] = {
      {kExportDirectory, &export_table_},          {kImportDirectory, &import_table_},
      {kResourceDirectory, &resource_table_},      {kExceptionDirectory, &exception_table_},
      {kBaseRelocationDirectory, &base_relocation_table_}, {kBoundImportDirectory, &bound_import_},
      {kImportAddressDirectory, &import_address_table_},   {kDelayImportDirectory, &delay_import_},
      {kRuntimeHeaderDirectory, &runtime_header_},
  };
  for (const auto& entry : kept) {
    if (!ReadDataDirectory(optional_header, directory_count, entry.index, entry.directory))
      return Bad("malformed data directory");
  }

  if (!ParseSectionTable(optional_header + optional_header_size_, section_count_)) return false;

  if (is_pe32_plus_ && !accepts_pe32_plus_) return Bad("64 bit executables are not supported by this disassembler");
  if (!is_pe32_plus_ && accepts_pe32_plus_) return Bad("32 bit executables are not supported by this disassembler");
  if (text_ == nullptr) return Bad("Resource-only executables are not yet supported");
  return Good();
}

bool DisassemblerWin32::ReadDataDirectory(uint64_t optional_header, uint32_t directory_count, unsigned index,
                                          PeDataDirectory* directory) {
  *directory = PeDataDirectory();
  // A directory beyond the announced count, or beyond the optional header the
  // COFF header sizes, does not exist.
  const uint64_t first = is_pe32_plus_ ? kMinimumOptionalHeaderPe32Plus : kMinimumOptionalHeaderPe32;
  const uint64_t at = first + uint64_t{index} * 8;
  if (index >= directory_count || optional_header_size_ < at + 8) return true;
  bytes().U32(optional_header + at, &directory->rva);
  bytes().U32(optional_header + at + 4, &directory->size);
  if (directory->size == 0) return true;
  // "data directory outside image"
  return uint64_t{directory->rva} + directory->size <= size_of_image_;
}

bool DisassemblerWin32::ParseSectionTable(uint64_t table_offset, uint16_t count) {
  const CheckedBytes in = bytes();
  const uint64_t table_size = uint64_t{count} * kSectionHeaderSize;
  if (!in.Contains(table_offset, table_size)) return Bad("section table past end of file");
  sections_.reserve(count);
  uint64_t end = table_offset + table_size;
  for (uint16_t i = 0; i < count; ++i) {
    const uint64_t at = table_offset + uint64_t{i} * kSectionHeaderSize;
    PeSection section;
    std::memcpy(section.name, in.Slice(at, 8), 8);
    in.U32(at + 8, &section.virtual_size);
    in.U32(at + 12, &section.virtual_address);
    in.U32(at + 16, &section.raw_size);
    in.U32(at + 20, &section.raw_offset);
    // A section without raw data owns no file bytes, whatever its pointer.
    if (section.raw_size > 0) {
      if (!in.Contains(section.raw_offset, section.raw_size)) return Bad("section past end of file");
      end = std::max(end, section.raw_end());
    }
    sections_.push_back(section);
  }
  for (const PeSection& section : sections_) {
    if (std::memcmp(section.name, kTextName, 8) == 0) {
      text_ = &section;
      break;
    }
  }
  set_length(static_cast<size_t>(end));
  return true;
}

bool DisassemblerWin32::RvaToFileOffset(uint32_t rva, uint64_t* offset) const {
  for (const PeSection& section : sections_) {
    if (rva < section.virtual_address) continue;
    const uint64_t delta = rva - section.virtual_address;
    if (delta < section.raw_size) {
      *offset = section.raw_offset + delta;
      return true;
    }
  }
  return false;
}

bool DisassemblerWin32::CollectAbs32() {
  const PeDataDirectory& directory = base_relocation_table_;
  if (directory.size == 0) return true;
  const CheckedBytes in = bytes();
  uint64_t start = 0;
  if (!RvaToFileOffset(directory.rva, &start) || !in.Contains(start, directory.size))
    return Fail(".relocs outside image");
  const uint64_t end = start + directory.size;
  const uint16_t address_type = is_pe32_plus_ ? kRelocTypeDir64 : kRelocTypeHighLow;
  uint64_t block = start;
  while (block < end) {
    uint32_t page = 0, block_size = 0;
    if (end - block < kRelocBlockHeaderSize) return Fail(".relocs block outside image");
    in.U32(block, &page);
    in.U32(block + 4, &block_size);
    if (block_size < kRelocBlockHeaderSize || block_size % 4 != 0) return Fail("unreasonable relocs block");
    if (end - block < block_size) return Fail(".relocs block outside image");
    for (uint64_t at = block + kRelocBlockHeaderSize; at < block + block_size; at += 2) {
      uint16_t entry = 0;
      in.U16(at, &entry);
      const uint16_t type = static_cast<uint16_t>(entry >> 12);
      if (type == kRelocTypeAbsolute) continue;
      if (type != address_type) return Fail("unknown type of reloc");
      abs32_rvas_.push_back(page + (entry & 0xFFFu));
    }
    block += block_size;
  }
  std::sort(abs32_rvas_.begin(), abs32_rvas_.end());
  abs32_rvas_.erase(std::unique(abs32_rvas_.begin(), abs32_rvas_.end()), abs32_rvas_.end());
  return true;
}

bool DisassemblerWin32::OverlapsAbs32(uint32_t rva) const {
  // The first abs32 location that ends after rva starts before rva + 4?
  const uint32_t lowest = rva >= 3 ? rva - 3 : 0;
  auto next = std::lower_bound(abs32_rvas_.begin(), abs32_rvas_.end(), lowest);
  return next != abs32_rvas_.end() && uint64_t{*next} < uint64_t{rva} + 4;
}

void DisassemblerWin32::CollectRel32() {
  const PeSection& text = *text_;
  uint64_t from = text.raw_offset;
  const uint64_t to = text.raw_end();
  // The base-relocation table's bytes are data, even inside ".text".
  uint64_t relocs = 0;
  const PeDataDirectory& directory = base_relocation_table_;
  if (directory.size > 0 && RvaToFileOffset(directory.rva, &relocs) && relocs < to &&
      relocs + directory.size > from) {
    if (relocs > from) ScanRel32Run(text, from, relocs);
    from = relocs + directory.size;
  }
  if (from < to) ScanRel32Run(text, from, to);
  std::sort(rel32_rvas_.begin(), rel32_rvas_.end());
}

void DisassemblerWin32::ScanRel32Run(const PeSection& text, uint64_t from, uint64_t to) {
  const uint8_t* run = bytes().Slice(from, to - from);
  if (run == nullptr) return;
  const size_t size = static_cast<size_t>(to - from);
  const uint64_t text_size = text.virtual_end() - text.virtual_address;
  size_t p = 0;
  while (p < size) {
    size_t displacement_offset = 0;
    if (!FindX86Rel32Candidate(run + p, size - p, is_pe32_plus_, &displacement_offset)) {
      ++p;
      continue;
    }
    const uint8_t* displacement = run + p + displacement_offset;
    const uint32_t rva = static_cast<uint32_t>(text.virtual_address + (from + p + displacement_offset - text.raw_offset));
    const uint32_t value = uint32_t{displacement[0]} | uint32_t{displacement[1]} << 8 |
                           uint32_t{displacement[2]} << 16 | uint32_t{displacement[3]} << 24;
    const uint32_t target = rva + value + 4;
    const bool inside_text = target >= text.virtual_address && target - text.virtual_address < text_size;
    if (!OverlapsAbs32(rva) && inside_text && target < size_of_image_) {
      rel32_rvas_.push_back(rva);
      p += displacement_offset + 4;
    } else {
      ++p;
    }
  }
}

bool DisassemblerWin32::EmitProgram(ParsedProgram* program) {
  if (!headers_ok()) return false;
  try {
    program->set_image_base(image_base_);
    abs32_rvas_.clear();
    rel32_rvas_.clear();
    relocs_emitted_ = false;
    if (!CollectAbs32()) return false;
    CollectRel32();

    // Sections with raw data in file order; equal offsets keep table order.
    std::vector<const PeSection*> order;
    for (const PeSection& section : sections_) {
      if (section.raw_size > 0) order.push_back(&section);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const PeSection* a, const PeSection* b) { return a->raw_offset < b->raw_offset; });
    uint64_t position = 0;
    for (const PeSection* section : order) {
      // Bytes another section already covered are not emitted twice.
      if (section->raw_end() <= position) continue;
      if (!EmitPlainBytes(position, section->raw_offset, program)) return false;
      position = std::max<uint64_t>(position, section->raw_offset);
      if (!WalkSection(*section, position, program)) return false;
      position = section->raw_end();
    }
    if (!EmitPlainBytes(position, length(), program)) return false;
    return program->AssignDefaultIndexes();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool DisassemblerWin32::EmitPlainBytes(uint64_t from, uint64_t to, ParsedProgram* program) const {
  if (to <= from) return true;
  const uint8_t* run = bytes().Slice(from, to - from);
  return run != nullptr && program->EmitBytes(run, static_cast<size_t>(to - from));
}

bool DisassemblerWin32::WalkSection(const PeSection& section, uint64_t from, ParsedProgram* program) {
  const CheckedBytes in = bytes();
  const uint64_t end = section.raw_end();
  auto rva_at = [&section](uint64_t offset) {
    return static_cast<uint32_t>(section.virtual_address + (offset - section.raw_offset));
  };
  if (!program->EmitOrigin(rva_at(from))) return false;
  const bool is_text = &section == text_;
  const PeDataDirectory& relocs = base_relocation_table_;
  auto next_abs32 = std::lower_bound(abs32_rvas_.begin(), abs32_rvas_.end(), rva_at(from));
  auto next_rel32 = std::lower_bound(rel32_rvas_.begin(), rel32_rvas_.end(), rva_at(from));
  // Plain bytes travel as runs pointing into the file; encoding folds them
  // into the same copies as single bytes, without an instruction per byte.
  uint64_t offset = from;
  uint64_t run_start = from;
  auto flush = [&]() { return EmitPlainBytes(run_start, offset, program); };
  while (offset < end) {
    const uint32_t rva = rva_at(offset);
    const uint64_t left = end - offset;
    if (!relocs_emitted_ && relocs.size > 0 && !abs32_rvas_.empty() && rva == relocs.rva &&
        relocs.size <= left) {
      if (!flush() || !program->EmitPeRelocs()) return false;
      relocs_emitted_ = true;
      offset += relocs.size;
      run_start = offset;
      continue;
    }
    while (next_abs32 != abs32_rvas_.end() && *next_abs32 < rva) ++next_abs32;
    while (next_rel32 != rel32_rvas_.end() && *next_rel32 < rva) ++next_rel32;
    uint32_t value = 0;
    if (next_abs32 != abs32_rvas_.end() && *next_abs32 == rva && left >= 4) {
      in.U32(offset, &value);
      if (!flush() || !program->EmitAbs32To(value - static_cast<uint32_t>(image_base_))) return false;
      ++next_abs32;
      offset += 4;
      run_start = offset;
      continue;
    }
    if (is_text && next_rel32 != rel32_rvas_.end() && *next_rel32 == rva && left >= 4) {
      in.U32(offset, &value);
      if (!flush() || !program->EmitRel32To(rva + value + 4)) return false;
      ++next_rel32;
      offset += 4;
      run_start = offset;
      continue;
    }
    ++offset;
  }
  return flush();
}

}  // namespace vxpatch
