// Matching two versions of a program past their changed addresses.
#include "element_matching.h"

#include <algorithm>

namespace vxpatch {

namespace {

// A copy of the element with the reference fields of its rel32 and abs32
// references zeroed. The offsets are followed as assembly walks the program:
// byte runs point into the element; after a relocation table the offset is
// unknown until the next byte run.
std::vector<uint8_t> Blanked(const ParsedProgram& program, const uint8_t* base, size_t length) {
  std::vector<uint8_t> bytes(base, base + length);
  bool known = false;
  size_t offset = 0;
  auto blank = [&](size_t n) {
    if (known && offset <= length && length - offset >= n) std::fill_n(bytes.begin() + offset, n, 0);
  };
  for (const Instruction& insn : program.instructions()) {
    switch (insn.kind) {
      case INSN_ORIGIN: break;
      case INSN_PE_RELOCS:
      case INSN_ELF_RELOCS:
      case INSN_ELF_ARM_RELOCS: known = false; break;
      case INSN_BYTE: ++offset; break;
      case INSN_BYTES:
        known = program.Data(insn) >= base && program.Data(insn) < base + length;
        if (known) offset = static_cast<size_t>(program.Data(insn) - base) + insn.length;
        break;
      case INSN_REL32:
      case INSN_ABS32:
        blank(4);
        offset += 4;
        break;
      case INSN_REL32ARM:
        // The branch offset shares its bits with the opcode; the op is kept.
        known = program.Data(insn) >= base && program.Data(insn) < base + length;
        if (known) offset = static_cast<size_t>(program.Data(insn) - base) + insn.op_size;
        break;
    }
  }
  return bytes;
}

// Stretches of at least kMinRun bytes that are equal once blanked, found
// from windows of kWindow bytes chosen by their content (so that the same
// code is sampled at the same places in both versions) and occurring once in
// each version, then extended both ways as far as the bytes agree. A window
// that is not unique (padding, common instruction sequences) says nothing
// about where a stretch went.
constexpr size_t kWindow = 32;
constexpr uint32_t kSampleMask = 15;  // about one window start in 16
constexpr uint32_t kMinRun = 48;
// Below this share (in thousandths) of equal bytes the byte alignment of the
// raw files is taken for a big change. Releases that fix bugs keep 90 percent
// and more of their bytes in place, a new major version about half; the raw
// alignment is the better one for the former (its approximate stretches pair
// more labels correctly there) and pairs too many wrongly for the latter,
// where mispaired labels cost more in the address table than they save.
constexpr uint64_t kBigChangeEqualShare = 750;

uint64_t WindowHash(const uint8_t* bytes) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (size_t i = 0; i < kWindow; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3u;
  return hash;
}

// Rolling sum of the window, cheap enough for every position; only where it
// selects a position is the full hash taken.
template <typename Visit>
void Sample(const std::vector<uint8_t>& bytes, Visit visit) {
  if (bytes.size() < kWindow) return;
  uint32_t sum = 0;
  for (size_t i = 0; i < kWindow; ++i) sum += bytes[i] * 2654435761u;
  for (size_t at = 0;; ++at) {
    // Windows that start with a run (padding, a blanked reference) are
    // skipped: in padding every position would be chosen and none is unique.
    const bool run = bytes[at] == bytes[at + 1] && bytes[at] == bytes[at + 2] && bytes[at] == bytes[at + 3];
    if (((sum >> 16) & kSampleMask) == 0 && !run) visit(at, WindowHash(&bytes[at]));
    if (at + kWindow >= bytes.size()) break;
    sum += bytes[at + kWindow] * 2654435761u - bytes[at] * 2654435761u;
  }
}

std::vector<AlignedRange> UniqueRuns(const std::vector<uint8_t>& old_bytes,
                                     const std::vector<uint8_t>& new_bytes) {
  struct Entry {
    uint64_t hash;
    uint32_t offset;
  };
  auto sorted_unique = [](const std::vector<uint8_t>& bytes) {
    std::vector<Entry> entries;
    Sample(bytes, [&](size_t at, uint64_t hash) { entries.push_back({hash, static_cast<uint32_t>(at)}); });
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      return a.hash < b.hash || (a.hash == b.hash && a.offset < b.offset);
    });
    std::vector<Entry> unique;
    for (size_t i = 0; i < entries.size();) {
      size_t j = i + 1;
      while (j < entries.size() && entries[j].hash == entries[i].hash) ++j;
      if (j == i + 1) unique.push_back(entries[i]);
      i = j;
    }
    return unique;
  };
  const std::vector<Entry> old_entries = sorted_unique(old_bytes);
  std::vector<Entry> new_entries = sorted_unique(new_bytes);
  // Pairs of equal windows, in the order of the new bytes.
  std::vector<AlignedRange> anchors;
  for (size_t i = 0, j = 0; i < old_entries.size() && j < new_entries.size();) {
    if (old_entries[i].hash < new_entries[j].hash) {
      ++i;
    } else if (new_entries[j].hash < old_entries[i].hash) {
      ++j;
    } else {
      anchors.push_back({new_entries[j].offset, old_entries[i].offset, 0});
      ++i;
      ++j;
    }
  }
  new_entries.clear();
  std::sort(anchors.begin(), anchors.end(),
            [](const AlignedRange& a, const AlignedRange& b) { return a.new_offset < b.new_offset; });
  std::vector<AlignedRange> runs;
  uint64_t covered = 0;
  for (const AlignedRange& anchor : anchors) {
    if (anchor.new_offset < covered) continue;
    uint64_t new_start = anchor.new_offset, old_start = anchor.old_offset;
    while (new_start > covered && old_start > 0 && old_bytes[old_start - 1] == new_bytes[new_start - 1]) {
      --new_start;
      --old_start;
    }
    uint64_t new_end = anchor.new_offset, old_end = anchor.old_offset;
    while (new_end < new_bytes.size() && old_end < old_bytes.size() &&
           old_bytes[old_end] == new_bytes[new_end]) {
      ++new_end;
      ++old_end;
    }
    if (new_end - new_start < kMinRun) continue;
    runs.push_back({static_cast<uint32_t>(new_start), static_cast<uint32_t>(old_start),
                    static_cast<uint32_t>(new_end - new_start)});
    covered = new_end;
  }
  return runs;
}

// The share of the new element's bytes that the alignment pairs with equal
// old bytes, in thousandths.
uint64_t EqualShare(const std::vector<AlignedRange>& ranges, const uint8_t* old_base, size_t old_length,
                    const uint8_t* new_base, size_t new_length) {
  uint64_t equal = 0;
  for (const AlignedRange& range : ranges) {
    if (range.old_offset > old_length || old_length - range.old_offset < range.length ||
        range.new_offset > new_length || new_length - range.new_offset < range.length)
      continue;
    for (uint32_t i = 0; i < range.length; ++i)
      equal += old_base[range.old_offset + i] == new_base[range.new_offset + i];
  }
  return new_length == 0 ? 1000 : equal * 1000 / new_length;
}

}  // namespace

bool MatchElements(const ParsedProgram& old_program, const uint8_t* old_base, size_t old_length,
                   const ParsedProgram& new_program, const uint8_t* new_base, size_t new_length,
                   std::vector<AlignedRange>* ranges) {
  if (EqualShare(*ranges, old_base, old_length, new_base, new_length) >= kBigChangeEqualShare) return false;
  const std::vector<uint8_t> old_bytes = Blanked(old_program, old_base, old_length);
  const std::vector<uint8_t> new_bytes = Blanked(new_program, new_base, new_length);
  *ranges = UniqueRuns(old_bytes, new_bytes);
  return true;
}

}  // namespace vxpatch
