// ELF header checks, address rules and the program walk shared by all ELF
// flavours.
#include "disassembler_elf.h"

#include <algorithm>
#include <exception>
#include <new>
#include <string>

#include "big_buffer.h"
#include "engine_log.h"
#include "rel32_scan_x86.h"

namespace vxpatch {

namespace {

constexpr uint64_t kFourGiB = uint64_t{1} << 32;
constexpr uint64_t kRelEntrySize = 8;
constexpr uint16_t kElfMachineArm = 40;
// How many rel32 locations ahead of the walk a label look-up is started.
constexpr size_t kLookAhead = 8;
// The walk gives back the pages of the locations it has passed this many
// bytes at a time.
constexpr size_t kReleaseStep = size_t{8} << 20;

void Debug(const std::string& message) { LogDebug(message); }

}  // namespace

DisassemblerElf::DisassemblerElf(const uint8_t* start, size_t length, bool is64)
    : Disassembler(start, length), is64_(is64) {}

bool DisassemblerElf::ParseHeaders() {
  sections_.clear();
  segments_.clear();
  const CheckedBytes in = bytes();
  if (in.size() < (is64_ ? 64u : 52u)) return Bad("Too small");
  static const uint8_t kMagic[4] = {0x7F, 'E', 'L', 'F'};
  if (!std::equal(kMagic, kMagic + 4, in.data())) return Bad("No Magic Number");

  uint16_t type = 0, machine = 0;
  uint32_t version = 0;
  in.U16(16, &type);
  in.U16(18, &machine);
  in.U32(20, &version);
  if (type != 2 && type != 3) return Bad("Not an executable file or shared library");
  if (machine != ElfMachine()) return Bad("Not a supported architecture");
  if (version != 1) return Bad("Unknown file version");

  uint64_t phoff = 0, shoff = 0;
  uint16_t phnum = 0, shentsize = 0, shnum = 0, shstrndx = 0;
  if (is64_) {
    in.U64(32, &phoff);
    in.U64(40, &shoff);
    in.U16(56, &phnum);
    in.U16(58, &shentsize);
    in.U16(60, &shnum);
    in.U16(62, &shstrndx);
  } else {
    uint32_t phoff32 = 0, shoff32 = 0;
    in.U32(28, &phoff32);
    in.U32(32, &shoff32);
    phoff = phoff32;
    shoff = shoff32;
    in.U16(44, &phnum);
    in.U16(46, &shentsize);
    in.U16(48, &shnum);
    in.U16(50, &shstrndx);
  }
  const uint64_t section_header_size = is64_ ? 64 : 40;
  const uint64_t segment_header_size = is64_ ? 56 : 32;
  if (shentsize != section_header_size) return Bad("Unexpected section header size");
  if (shoff >= in.size()) return Bad("Out of bounds section header table offset");
  if (!in.Contains(shoff, uint64_t{shnum} * section_header_size))
    return Bad("Out of bounds section header table");
  if (phoff >= in.size()) return Bad("Out of bounds program header table offset");
  if (!in.Contains(phoff, uint64_t{phnum} * segment_header_size))
    return Bad("Out of bounds program header table");
  // The section-name table is not needed for parsing, but an index outside
  // the table marks a damaged file.
  if (shnum > 0 && shstrndx >= shnum) return Bad("Out of bounds section name table index");

  if (!ReadSections(shoff, shnum) || !ReadSegments(phoff, phnum)) return false;

  uint64_t length = std::max(phoff + phnum * segment_header_size, shoff + shnum * section_header_size);
  for (const ElfSection& section : sections_) {
    if (section.type != SHT_NOBITS_TYPE) length = std::max(length, section.end());
  }
  for (const ElfSegment& segment : segments_) length = std::max(length, segment.offset + segment.filesz);
  set_length(static_cast<size_t>(length));
  return Good();
}

bool DisassemblerElf::ReadSections(uint64_t shoff, uint16_t shnum) {
  const CheckedBytes in = bytes();
  sections_.reserve(shnum);
  for (uint16_t i = 0; i < shnum; ++i) {
    ElfSection s;
    if (is64_) {
      const uint64_t at = shoff + uint64_t{i} * 64;
      in.U32(at + 4, &s.type);
      in.U64(at + 16, &s.addr);
      in.U64(at + 24, &s.offset);
      in.U64(at + 32, &s.size);
      in.U64(at + 56, &s.entsize);
    } else {
      const uint64_t at = shoff + uint64_t{i} * 40;
      uint32_t addr = 0, offset = 0, size = 0, entsize = 0;
      in.U32(at + 4, &s.type);
      in.U32(at + 12, &addr);
      in.U32(at + 16, &offset);
      in.U32(at + 20, &size);
      in.U32(at + 36, &entsize);
      s.addr = addr;
      s.offset = offset;
      s.size = size;
      s.entsize = entsize;
    }
    if (s.type != SHT_NOBITS_TYPE && !in.Contains(s.offset, s.size)) return Bad("Out of bounds section");
    // Labels and origins are 32-bit addresses.
    if (s.type == SHT_PROGBITS_TYPE && (s.addr > kFourGiB || kFourGiB - s.addr < s.size))
      return Bad("Section address beyond 32 bits");
    sections_.push_back(s);
  }
  return true;
}

bool DisassemblerElf::ReadSegments(uint64_t phoff, uint16_t phnum) {
  const CheckedBytes in = bytes();
  segments_.reserve(phnum);
  for (uint16_t i = 0; i < phnum; ++i) {
    ElfSegment p;
    if (is64_) {
      const uint64_t at = phoff + uint64_t{i} * 56;
      in.U32(at, &p.type);
      in.U64(at + 8, &p.offset);
      in.U64(at + 16, &p.vaddr);
      in.U64(at + 32, &p.filesz);
      in.U64(at + 40, &p.memsz);
    } else {
      const uint64_t at = phoff + uint64_t{i} * 32;
      uint32_t offset = 0, vaddr = 0, filesz = 0, memsz = 0;
      in.U32(at, &p.type);
      in.U32(at + 4, &offset);
      in.U32(at + 8, &vaddr);
      in.U32(at + 16, &filesz);
      in.U32(at + 20, &memsz);
      p.offset = offset;
      p.vaddr = vaddr;
      p.filesz = filesz;
      p.memsz = memsz;
    }
    if (!in.Contains(p.offset, p.filesz)) return Bad("Out of bounds segment");
    segments_.push_back(p);
  }
  return true;
}

namespace {

uint64_t RangeEnd(uint64_t begin, uint64_t size) {
  return UINT64_MAX - begin < size ? UINT64_MAX : begin + size;
}

}  // namespace

void DisassemblerElf::BuildIndexes() {
  load_ranges_.Clear();
  mapped_ranges_.Clear();
  walked_ranges_.Clear();
  array_ranges_.Clear();
  for (size_t i = 0; i < segments_.size(); ++i) {
    const ElfSegment& segment = segments_[i];
    // Half-open: the end of a segment is outside it.
    if (segment.type == kPtLoad) load_ranges_.Add(segment.vaddr, RangeEnd(segment.vaddr, segment.memsz), i);
    // The first segment that holds file bytes for an rva maps it.
    mapped_ranges_.Add(segment.vaddr, RangeEnd(segment.vaddr, std::min(segment.memsz, segment.filesz)), i);
  }
  for (const ElfSection& section : sections_) {
    if (section.type == SHT_INIT_ARRAY_TYPE || section.type == SHT_FINI_ARRAY_TYPE)
      array_ranges_.Add(section.offset, section.end(), 0);
    if (section.type == SHT_PROGBITS_TYPE || section.type == SHT_REL_TYPE)
      walked_ranges_.Add(section.offset, section.end(), 0);
  }
  load_ranges_.Build();
  mapped_ranges_.Build();
  walked_ranges_.Build();
  array_ranges_.Build();
}

bool DisassemblerElf::IsValidTargetRva(uint32_t rva) const {
  size_t index = 0;
  return load_ranges_.Find(rva, &index);
}

bool DisassemblerElf::RvaToFileOffset(uint32_t rva, uint64_t* offset) const {
  size_t index = 0;
  if (!mapped_ranges_.Find(rva, &index)) return false;
  const ElfSegment& segment = segments_[index];
  *offset = segment.offset + (rva - segment.vaddr);
  return true;
}

bool DisassemblerElf::SectionsWalkable() const {
  uint64_t position = 0;
  for (const ElfSection& section : sections_) {
    if (section.type == SHT_NOBITS_TYPE) continue;
    position = std::max(position, section.offset);
    if (section.type != SHT_PROGBITS_TYPE && section.type != SHT_REL_TYPE) continue;
    if (section.offset < position && section.size > 0) {
      Debug("Overlapping ELF section at offset " + std::to_string(section.offset));
      return false;
    }
    position = std::max(position, section.end());
  }
  return true;
}

bool DisassemblerElf::EmitRange(ParsedProgram* program, uint64_t from, uint64_t to) {
  if (to <= from) return true;
  const uint8_t* run = bytes().Slice(from, to - from);
  return run != nullptr && program->EmitBytes(run, static_cast<size_t>(to - from));
}

bool DisassemblerElf::InSectionOfType1Or9(uint64_t file_offset) const {
  size_t unused = 0;
  // A location that the walk would skip (inside an init or fini array that
  // overlaps a progbits section) must not be collected: the relocation table
  // marker stands for every collected location, so a skipped one would drop
  // its relocation entry from the rebuilt file.
  if (array_ranges_.Find(file_offset, &unused)) return false;
  return walked_ranges_.Find(file_offset, &unused);
}

bool DisassemblerElf::CollectAbs32() {
  if (!ReadsRelEntries()) return true;
  const CheckedBytes in = bytes();
  for (const ElfSection& section : sections_) {
    if (section.type != SHT_REL_TYPE || section.size == 0) continue;
    // Entries are read at a fixed 8-byte stride and the relocation table is
    // rebuilt with 8-byte entries, so any other entry size cannot be parsed.
    if (section.entsize != kRelEntrySize) {
      Debug("Unexpected relocation entry size " + std::to_string(section.entsize));
      return false;
    }
    const uint64_t count = section.size / section.entsize;
    for (uint64_t i = 0; i < count; ++i) {
      uint32_t r_offset = 0, r_info = 0;
      if (!in.U32(section.offset + i * kRelEntrySize, &r_offset) ||
          !in.U32(section.offset + i * kRelEntrySize + 4, &r_info))
        return false;
      uint32_t rva = 0;
      if (!RelocToRva(r_offset, r_info, &rva)) continue;
      Abs32Location location;
      location.rva = rva;
      if (!RvaToFileOffset(rva, &location.file_offset) || !InSectionOfType1Or9(location.file_offset))
        continue;
      abs32_.push_back(location);
    }
  }
  std::sort(abs32_.begin(), abs32_.end(),
            [](const Abs32Location& a, const Abs32Location& b) { return a.rva < b.rva; });
  return true;
}

bool DisassemblerElf::CollectRel32() {
  // Progress counts the progbits sections' bytes here and the whole file in
  // the walk; what the scans leave out is made up at the end.
  uint64_t scanned = 0;
  // Accepted locations lie at least five bytes apart on x86 (two on ARM).
  // Room for that many is only address space until the locations are
  // written, so the list never moves: the copies, and the old and the new
  // buffer at once, would cost a large library a tenth of its parse's
  // memory. Without the address space it grows as it goes.
  uint64_t most = 0;
  for (const ElfSection& section : sections_) {
    if (section.type == SHT_PROGBITS_TYPE) most += section.size / (ElfMachine() == kElfMachineArm ? 2 : 5) + 1;
  }
  try {
    if (most <= SIZE_MAX / sizeof(TypedRVA)) rel32_.reserve(static_cast<size_t>(most));
  } catch (const std::exception&) {
  }
  for (const ElfSection& section : sections_) {
    if (section.type != SHT_PROGBITS_TYPE) continue;
    scan_reported_ = 0;
    if (!ScanRel32(section)) return false;
    Advance(section.size - scan_reported_);
    scanned += section.size;
  }
  if (scanned < length()) Advance(length() - scanned);
  // By rva; locations at the same rva (sections that share addresses, such
  // as unloaded ones at 0) in the order of the file. Sections usually come
  // in address order, and their scans then already are.
  const auto before = [](const TypedRVA& a, const TypedRVA& b) {
    if (a.rva() != b.rva()) return a.rva() < b.rva();
    return a.file_offset() < b.file_offset();
  };
  if (!std::is_sorted(rel32_.begin(), rel32_.end(), before))
    std::stable_sort(rel32_.begin(), rel32_.end(), before);
  return true;
}

bool DisassemblerElf::EmitProgram(ParsedProgram* program) {
  if (!headers_ok()) return false;
  try {
    program->set_image_base(0);
    // Programs and rel32 locations keep file offsets in 32 bits.
    if (length() > UINT32_MAX) {
      Debug("ELF file of 4 GiB or more");
      return false;
    }
    if (!SectionsWalkable()) return false;
    BuildIndexes();
    if (!CollectAbs32() || !CollectRel32()) return false;
    // Every location emits at most a run of bytes and a reference, every
    // section at most a run before it, an origin and a run after it.
    if (!program->Reserve(2 * (abs32_.size() + rel32_.size()) + 3 * sections_.size() + 2)) return false;

    uint64_t position = 0;
    for (const ElfSection& section : sections_) {
      const uint32_t type = section.type;
      if (type == SHT_NOBITS_TYPE) continue;  // occupies no file bytes, so holds no location
      if (type == SHT_INIT_ARRAY_TYPE || type == SHT_FINI_ARRAY_TYPE) {
        while (next_abs32_ < abs32_.size() && abs32_[next_abs32_].file_offset >= section.offset &&
               abs32_[next_abs32_].file_offset - section.offset < section.size) {
          Debug("Skipping relocation entry for unsupported section: " + std::to_string(type));
          ++next_abs32_;
        }
      }
      if (!EmitRange(program, position, section.offset)) return false;
      position = std::max(position, section.offset);
      if (type == SHT_PROGBITS_TYPE || type == SHT_REL_TYPE) {
        // Walking a section that starts behind the position would emit its
        // bytes twice.
        if (section.offset < position && section.size > 0) {
          Debug("Overlapping ELF section at offset " + std::to_string(section.offset));
          return false;
        }
        const bool ok = type == SHT_PROGBITS_TYPE ? WalkProgbits(section, program)
                                                  : ParseRelocationSection(section, program);
        if (!ok) return false;
        position = std::max(position, section.end());
      } else if (type != SHT_INIT_ARRAY_TYPE && type != SHT_FINI_ARRAY_TYPE &&
                 next_abs32_ < abs32_.size() && abs32_[next_abs32_].file_offset >= section.offset &&
                 abs32_[next_abs32_].file_offset - section.offset < section.size) {
        Debug("Relocation address in unrecognized ELF section: " + std::to_string(type));
      }
    }
    if (!EmitRange(program, position, length())) return false;
    if (walk_reported_ < length()) Advance(length() - walk_reported_);
    if (next_abs32_ != abs32_.size()) {
      Debug("Not all abs32 locations were consumed");
      return false;
    }
    // The locations are walked; numbering the labels needs room of its own.
    std::vector<TypedRVA>().swap(rel32_);
    std::vector<Abs32Location>().swap(abs32_);
    next_rel32_ = next_abs32_ = released_rel32_ = 0;
    return program->AssignDefaultIndexes();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool DisassemblerElf::WalkProgbits(const ElfSection& section, ParsedProgram* program) {
  const CheckedBytes in = bytes();
  const uint64_t end = section.end();
  uint64_t position = section.offset;
  if (!program->EmitOrigin(static_cast<uint32_t>(section.addr))) return false;
  // The bytes before the section (emitted as one run) count with it.
  if (position > walk_reported_) {
    Advance(position - walk_reported_);
    walk_reported_ = position;
  }
  while (position < end) {
    if (position - walk_reported_ >= kProgressStep) {
      Advance(position - walk_reported_);
      walk_reported_ = position;
    }
    if (next_abs32_ < abs32_.size() && abs32_[next_abs32_].file_offset < position) {
      Debug("abs32 location behind the walk at offset " + std::to_string(abs32_[next_abs32_].file_offset));
      return false;
    }
    uint64_t stop = end;
    if (next_abs32_ < abs32_.size() && abs32_[next_abs32_].file_offset < end)
      stop = abs32_[next_abs32_].file_offset;
    // Locations the walk has already passed (inside an abs32 value, or
    // refused below) are not errors, just not used.
    while (next_rel32_ < rel32_.size() && rel32_[next_rel32_].file_offset() < position) ++next_rel32_;
    // Locations behind the walk are never read again; on a large library
    // they are a good part of the parse's peak while the program grows.
    if ((next_rel32_ - released_rel32_) * sizeof(TypedRVA) >= kReleaseStep) {
      ReleasePages(rel32_.data() + released_rel32_, rel32_.data() + next_rel32_);
      released_rel32_ = next_rel32_;
    }
    const bool at_rel32 = next_rel32_ < rel32_.size() && rel32_[next_rel32_].file_offset() + 3 < stop;
    if (at_rel32) stop = rel32_[next_rel32_].file_offset();
    if (!EmitRange(program, position, stop)) return false;
    position = stop;
    if (position == end) break;

    if (at_rel32) {
      // Label look-ups go all over a large table: the one a few locations
      // ahead is started now, so that it is in the cache when its turn comes.
      if (rel32_.size() - next_rel32_ > kLookAhead) {
        const TypedRVA& ahead = rel32_[next_rel32_ + kLookAhead];
        program->rel32_labels().Prefetch(ahead.rva() + ahead.relative_target());
      }
      const TypedRVA& location = rel32_[next_rel32_++];
      const uint32_t target = SectionRva(section, position) + location.relative_target();
      if (!location.EmitInstruction(program, target, start())) return false;
      position += location.OpSize();
      continue;
    }
    const Abs32Location& location = abs32_[next_abs32_++];
    // The assembler rebuilds the relocation table from the rvas at which it
    // writes abs32 values; a value that straddles the section end or whose
    // section address disagrees with its relocation would not come back.
    uint32_t value = 0;
    if (end - position < 4 || SectionRva(section, position) != location.rva || !in.U32(position, &value)) {
      Debug("Unusable abs32 location at offset " + std::to_string(position));
      return false;
    }
    if (!program->EmitAbs32To(value)) return false;
    position += 4;
  }
  return true;
}

}  // namespace vxpatch

namespace vxpatch {

bool DisassemblerElf::ScanX86Rel32(const ElfSection& section, bool x64) {
  const uint8_t* base = bytes().Slice(section.offset, section.size);
  if (base == nullptr) return false;
  const size_t size = static_cast<size_t>(section.size);
  size_t p = 0;
  size_t displacement = 0;
  while ((p = NextX86Rel32Candidate(base, size, p, x64, &displacement)) < size) {
    if (p - scan_reported_ >= kProgressStep) {
      Advance(p - scan_reported_);
      scan_reported_ = p;
    }
    const uint64_t offset = section.offset + p + displacement;
    const TypedRVA location = TypedRVA::X86(SectionRva(section, offset), offset, base + p + displacement);
    if (IsValidTargetRva(location.rva() + location.relative_target())) {
      AddRel32(location);
      p += displacement + 4;
    } else {
      ++p;
    }
  }
  return true;
}

}  // namespace vxpatch
