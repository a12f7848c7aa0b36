// Mach-O header and load-command checks, rel32 scan of the code sections and
// the walk in file order.
#include "disassembler_macho.h"

#include <algorithm>
#include <new>

#include "engine_log.h"
#include "rel32_scan_x86.h"

namespace vxpatch {

namespace {

constexpr uint32_t kMagic32 = 0xFEEDFACE;
constexpr uint32_t kMagic64 = 0xFEEDFACF;
constexpr uint32_t kCpuX86 = 7;
constexpr uint32_t kCpuX64 = 0x1000007;
constexpr uint64_t kHeaderSize32 = 28;
constexpr uint64_t kHeaderSize64 = 32;
constexpr uint32_t kLcSegment = 1;
constexpr uint32_t kLcSegment64 = 25;
constexpr uint64_t kSegmentCommandSize32 = 56;
constexpr uint64_t kSegmentCommandSize64 = 72;
constexpr uint64_t kSectionSize32 = 68;
constexpr uint64_t kSectionSize64 = 80;
constexpr uint64_t kLoadCommandHeaderSize = 8;
constexpr uint32_t kSectionTypeMask = 0xFF;
constexpr uint32_t kPureInstructions = 0x80000000u;
constexpr uint64_t kMax32 = 0xFFFFFFFFu;

bool IsSupportedFileType(uint32_t type) {
  // executable, core, dynamic library, bundle
  return type == 2 || type == 5 || type == 6 || type == 8;
}

// [start, start + size) inside [outer, outer + outer_size), in 64 bits.
bool Inside(uint64_t start, uint64_t size, uint64_t outer, uint64_t outer_size) {
  return start >= outer && start - outer <= outer_size && outer_size - (start - outer) >= size;
}

uint64_t U32At(const CheckedBytes& in, uint64_t at) {
  uint32_t value = 0;
  in.U32(at, &value);
  return value;
}

// A segment load command's fields, in 64 bits whatever the file's width.
struct SegmentCommand {
  uint64_t vmaddr = 0;
  uint64_t vmsize = 0;
  uint64_t fileoff = 0;
  uint64_t filesize = 0;
  uint32_t section_count = 0;
};

// The command lies in the file and is at least as long as its segment
// header, so these reads cannot fail.
SegmentCommand ReadSegmentCommand(const CheckedBytes& in, uint64_t command, bool is64) {
  SegmentCommand fields;
  if (is64) {
    in.U64(command + 24, &fields.vmaddr);
    in.U64(command + 32, &fields.vmsize);
    in.U64(command + 40, &fields.fileoff);
    in.U64(command + 48, &fields.filesize);
    in.U32(command + 64, &fields.section_count);
  } else {
    fields.vmaddr = U32At(in, command + 24);
    fields.vmsize = U32At(in, command + 28);
    fields.fileoff = U32At(in, command + 32);
    fields.filesize = U32At(in, command + 36);
    in.U32(command + 48, &fields.section_count);
  }
  return fields;
}

struct SectionHeader {
  uint64_t addr = 0;
  uint64_t size = 0;
  uint32_t offset = 0;
  uint32_t flags = 0;
};

// The headers lie within their command (checked against the section count).
SectionHeader ReadSectionHeader(const CheckedBytes& in, uint64_t at, bool is64) {
  SectionHeader section;
  if (is64) {
    in.U64(at + 32, &section.addr);
    in.U64(at + 40, &section.size);
    in.U32(at + 48, &section.offset);
    in.U32(at + 64, &section.flags);
  } else {
    section.addr = U32At(in, at + 32);
    section.size = U32At(in, at + 36);
    in.U32(at + 40, &section.offset);
    in.U32(at + 56, &section.flags);
  }
  return section;
}

}  // namespace

DisassemblerMacho::DisassemblerMacho(const uint8_t* start, size_t length) : Disassembler(start, length) {}

bool DisassemblerMacho::ParseHeaders() {
  segments_.clear();
  code_sections_.clear();
  segments_end_ = 0;
  kind_ = EXE_UNKNOWN;
  const CheckedBytes in = bytes();
  if (in.size() < kHeaderSize64) return Bad("Too small");
  uint32_t magic = 0, cpu_type = 0, file_type = 0, command_count = 0;
  in.U32(0, &magic);
  in.U32(4, &cpu_type);
  in.U32(12, &file_type);
  in.U32(16, &command_count);
  uint32_t expected_cpu = 0;
  uint64_t header_size = 0;
  ExecutableKind kind = EXE_UNKNOWN;
  if (magic == kMagic32) {
    is64_ = false;
    header_size = kHeaderSize32;
    expected_cpu = kCpuX86;
    kind = EXE_MACHO_X86;
  } else if (magic == kMagic64) {
    is64_ = true;
    header_size = kHeaderSize64;
    expected_cpu = kCpuX64;
    kind = EXE_MACHO_X64;
  } else {
    return Bad("Unknown magic type");
  }
  if (cpu_type != expected_cpu) return Bad("unsupported cpu type");
  if (!IsSupportedFileType(file_type)) return Bad("Unsupported filetype in header");

  uint64_t command = header_size;
  for (uint32_t i = 0; i < command_count; ++i) {
    uint32_t type = 0, size = 0;
    if (!in.U32(command, &type) || !in.U32(command + 4, &size) || !in.Contains(command, size))
      return Bad("file to small in load commands");
    // A command shorter than its own header would never move the walk on.
    if (size < kLoadCommandHeaderSize) return Bad("bad load command size");
    if (type == kLcSegment) {
      if (is64_) return Bad("LC_SEGMENT not supported");
      if (size < kSegmentCommandSize32) return Bad("bad LC_SEGMENT");
      if (!ParseSegment(command, size)) return false;
    } else if (type == kLcSegment64) {
      if (!is64_) return Bad("LC_SEGMENT_64 not supported");
      if (size < kSegmentCommandSize64) return Bad("bad LC_SEGMENT_64");
      if (!ParseSegment(command, size)) return false;
    }
    command += size;
  }
  if (code_sections_.empty()) return Bad("Resource-only executables are not yet supported");
  std::stable_sort(code_sections_.begin(), code_sections_.end(),
                   [](const MachoCodeSection& a, const MachoCodeSection& b) { return a.offset < b.offset; });
  kind_ = kind;
  set_length(static_cast<size_t>(segments_end_));
  return Good();
}

bool DisassemblerMacho::ParseSegment(uint64_t command, uint32_t command_size) {
  const CheckedBytes in = bytes();
  SegmentCommand fields = ReadSegmentCommand(in, command, is64_);
  // Page zero and the link-edit data carry no sections and no code; the
  // first spans 4 GiB, which would not fit the 32-bit model below.
  if (is64_ && fields.section_count == 0) return true;
  if (is64_ && !MoveIntoWindow(&fields.vmaddr)) return Bad("overflow");
  if (fields.vmaddr > kMax32 || fields.vmsize > kMax32 || fields.fileoff > kMax32 || fields.filesize > kMax32)
    return Bad("overflow");
  if (!in.Contains(fields.fileoff, fields.filesize)) return Bad("segment too large");
  const uint64_t header_size = is64_ ? kSegmentCommandSize64 : kSegmentCommandSize32;
  const uint64_t section_size = is64_ ? kSectionSize64 : kSectionSize32;
  if (command_size < header_size || (command_size - header_size) / section_size < fields.section_count)
    return Bad("sections too small");

  MachoSegment segment;
  segment.vmaddr = static_cast<uint32_t>(fields.vmaddr);
  segment.vmsize = static_cast<uint32_t>(fields.vmsize);
  segment.fileoff = static_cast<uint32_t>(fields.fileoff);
  segment.filesize = static_cast<uint32_t>(fields.filesize);
  segments_.push_back(segment);
  segments_end_ = std::max(segments_end_, fields.fileoff + fields.filesize);
  for (uint32_t i = 0; i < fields.section_count; ++i) {
    const SectionHeader section =
        ReadSectionHeader(in, command + header_size + uint64_t{i} * section_size, is64_);
    if (!AddCodeSection(section.addr, section.size, section.offset, section.flags, segment)) return false;
  }
  return true;
}

bool DisassemblerMacho::MoveIntoWindow(uint64_t* vmaddr) {
  if (!window_chosen_) {
    address_window_ = *vmaddr & ~uint64_t{kMax32};
    window_chosen_ = true;
  }
  if (*vmaddr < address_window_) return false;
  *vmaddr -= address_window_;
  return true;
}

bool DisassemblerMacho::AddCodeSection(uint64_t addr, uint64_t size, uint32_t offset, uint32_t flags,
                                       const MachoSegment& segment) {
  if ((flags & kSectionTypeMask) != 0 || (flags & kPureInstructions) == 0) return true;
  // A section below the window cannot lie inside its segment either.
  addr = addr >= address_window_ ? addr - address_window_ : kMax32 + uint64_t{1} + addr;
  if (!Inside(addr, size, segment.vmaddr, segment.vmsize) ||
      !Inside(offset, size, segment.fileoff, segment.filesize))
    return Bad("section larger than segment");
  MachoCodeSection section;
  section.addr = static_cast<uint32_t>(addr);
  section.size = static_cast<uint32_t>(size);
  section.offset = offset;
  code_sections_.push_back(section);
  return true;
}

bool DisassemblerMacho::IsValidTargetRva(uint32_t rva) const {
  size_t index = 0;
  return segment_ranges_.Find(rva, &index);
}

bool DisassemblerMacho::RvaToFileOffset(uint32_t rva, uint64_t* offset) const {
  size_t index = 0;
  if (!code_ranges_.Find(rva, &index)) return false;
  const MachoCodeSection& section = code_sections_[index];
  *offset = section.offset + uint64_t{rva - section.addr};
  return true;
}

void DisassemblerMacho::ScanRel32(const MachoCodeSection& section) {
  const uint8_t* code = bytes().Slice(section.offset, section.size);
  if (code == nullptr) return;
  const size_t size = section.size;
  size_t p = 0;
  while (p < size) {
    size_t displacement_offset = 0;
    if (!FindX86Rel32Candidate(code + p, size - p, is64_, &displacement_offset)) {
      ++p;
      continue;
    }
    const uint8_t* displacement = code + p + displacement_offset;
    const uint32_t rva = section.addr + static_cast<uint32_t>(p + displacement_offset);
    const uint32_t value = uint32_t{displacement[0]} | uint32_t{displacement[1]} << 8 |
                           uint32_t{displacement[2]} << 16 | uint32_t{displacement[3]} << 24;
    if (IsValidTargetRva(rva + value + 4)) {
      MachoRel32 location;
      location.rva = rva;
      rel32_.push_back(location);
      p += displacement_offset + 4;
    } else {
      ++p;
    }
  }
}

// Plain bytes travel as runs pointing into the file; encoding folds them into
// the same copies as single bytes, without an instruction per byte.
bool DisassemblerMacho::EmitPlainBytes(uint64_t from, uint64_t to, ParsedProgram* program) const {
  if (to <= from) return true;
  const uint8_t* run = bytes().Slice(from, to - from);
  return run != nullptr && program->EmitBytes(run, static_cast<size_t>(to - from));
}

bool DisassemblerMacho::EmitProgram(ParsedProgram* program) {
  if (!headers_ok()) return false;
  try {
    program->set_image_base(0);
    rel32_.clear();
    // Each code section is scanned on its own; sections that overlap so much
    // that together they exceed the file would only repeat the work.
    uint64_t code_bytes = 0;
    for (const MachoCodeSection& section : code_sections_) code_bytes += section.size;
    if (code_bytes > length()) {
      LogDebug("Code sections larger than the file");
      return false;
    }
    segment_ranges_.Clear();
    code_ranges_.Clear();
    for (const MachoSegment& segment : segments_)
      segment_ranges_.Add(segment.vmaddr, uint64_t{segment.vmaddr} + segment.vmsize, 0);
    for (size_t i = 0; i < code_sections_.size(); ++i)
      code_ranges_.Add(code_sections_[i].addr, uint64_t{code_sections_[i].addr} + code_sections_[i].size, i);
    segment_ranges_.Build();
    code_ranges_.Build();
    for (const MachoCodeSection& section : code_sections_) ScanRel32(section);
    std::sort(rel32_.begin(), rel32_.end(),
              [](const MachoRel32& a, const MachoRel32& b) { return a.rva < b.rva; });
    for (MachoRel32& location : rel32_) {
      if (!RvaToFileOffset(location.rva, &location.file_offset)) {
        LogDebug("RVAToFileOffset reached invalid point");
        return false;
      }
    }
    std::stable_sort(rel32_.begin(), rel32_.end(),
                     [](const MachoRel32& a, const MachoRel32& b) { return a.file_offset < b.file_offset; });

    const CheckedBytes in = bytes();
    size_t next = 0;
    uint64_t position = 0;
    for (const MachoCodeSection& section : code_sections_) {
      // Sections without bytes, or whose bytes were walked already, add
      // nothing; a partly walked one continues where the walk stands.
      if (section.end() <= position || section.size == 0) continue;
      if (!EmitPlainBytes(position, section.offset, program)) return false;
      position = std::max<uint64_t>(position, section.offset);
      if (!program->EmitOrigin(section.addr + static_cast<uint32_t>(position - section.offset))) return false;
      const uint64_t end = section.end();
      while (position < end) {
        while (next < rel32_.size() && rel32_[next].file_offset < position) ++next;
        uint64_t stop = end;
        if (next < rel32_.size() && rel32_[next].file_offset < end) stop = rel32_[next].file_offset;
        if (!EmitPlainBytes(position, stop, program)) return false;
        position = stop;
        if (position == end) break;
        uint32_t value = 0;
        if (end - position < 4 || !in.U32(position, &value)) {
          ++next;
          continue;
        }
        const uint32_t rva = section.addr + static_cast<uint32_t>(position - section.offset);
        if (!program->EmitRel32To(rva + value + 4)) return false;
        ++next;
        position += 4;
      }
    }
    if (!EmitPlainBytes(position, length(), program)) return false;
    return program->AssignDefaultIndexes();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace vxpatch
