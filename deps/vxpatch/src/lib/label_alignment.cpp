// Pairing the labels of two versions of a program and numbering the new
// program's labels after the old ones.
#include "label_alignment.h"

#include <algorithm>
#include <set>

#include "streams.h"

namespace vxpatch {

namespace {

enum LabelSpace { kRel32 = 0, kAbs32 = 1, kSpaces = 2 };

// Where a walked run of instructions lies both in memory and in the element.
struct Segment {
  uint32_t rva;
  uint32_t offset;
  uint32_t length;
};

// A reference at `offset` in the element to the label at `label`, its
// position in the (rva-ordered) label map.
struct Reference {
  uint32_t offset;
  uint32_t label;
};

struct ProgramView {
  std::vector<uint32_t> rvas[kSpaces];
  std::vector<Reference> references[kSpaces];
  std::vector<Segment> by_rva;
  std::vector<Segment> by_offset;
};

uint32_t Position(const std::vector<uint32_t>& rvas, uint32_t rva) {
  return static_cast<uint32_t>(std::lower_bound(rvas.begin(), rvas.end(), rva) - rvas.begin());
}

// Walks the instructions as assembly would, keeping track of the element
// offset through the byte runs that point into it. Relocation tables stand
// for bytes of unknown length, so after one both positions are lost until
// the next origin and the next byte run.
void Walk(const ParsedProgram& program, const uint8_t* base, size_t length, ProgramView* view) {
  const LabelTable* tables[kSpaces] = {&program.rel32_labels(), &program.abs32_labels()};
  for (int space = 0; space < kSpaces; ++space) {
    view->rvas[space].reserve(tables[space]->size());
    for (const Label& label : *tables[space]) view->rvas[space].push_back(label.rva);
  }
  bool rva_known = false, offset_known = false;
  uint32_t rva = 0;
  size_t offset = 0;
  std::vector<Segment>& segments = view->by_rva;
  auto locate = [&](const uint8_t* data) {
    offset_known = data >= base && data < base + length;
    if (offset_known) offset = static_cast<size_t>(data - base);
  };
  auto advance = [&](size_t n) {
    if (rva_known && offset_known && n <= length && offset <= length - n && n > 0) {
      Segment* last = segments.empty() ? nullptr : &segments.back();
      if (last && last->rva + last->length == rva && last->offset + size_t{last->length} == offset &&
          UINT32_MAX - last->length >= n) {
        last->length += static_cast<uint32_t>(n);
      } else {
        segments.push_back({rva, static_cast<uint32_t>(offset), static_cast<uint32_t>(n)});
      }
    }
    rva += static_cast<uint32_t>(n);
    offset += n;
  };
  auto refer = [&](LabelSpace space, const Instruction& insn) {
    if (offset_known && offset < length && insn.label < tables[space]->size())
      view->references[space].push_back(
          {static_cast<uint32_t>(offset), Position(view->rvas[space], (*tables[space])[insn.label].rva)});
  };
  for (const Instruction& insn : program.instructions()) {
    switch (insn.kind) {
      case INSN_ORIGIN:
        rva = insn.rva;
        rva_known = true;
        break;
      case INSN_PE_RELOCS:
      case INSN_ELF_RELOCS:
      case INSN_ELF_ARM_RELOCS: rva_known = offset_known = false; break;
      case INSN_BYTE: advance(1); break;
      case INSN_BYTES:
        locate(program.Data(insn));
        advance(insn.length);
        break;
      case INSN_REL32:
        refer(kRel32, insn);
        advance(4);
        break;
      case INSN_ABS32:
        refer(kAbs32, insn);
        advance(4);
        break;
      case INSN_REL32ARM:
        locate(program.Data(insn));
        refer(kRel32, insn);
        advance(insn.op_size);
        break;
    }
  }
  for (auto& references : view->references) {
    std::stable_sort(references.begin(), references.end(),
                     [](const Reference& a, const Reference& b) { return a.offset < b.offset; });
  }
  std::sort(segments.begin(), segments.end(),
            [](const Segment& a, const Segment& b) { return a.rva < b.rva; });
  view->by_offset = segments;
  std::sort(view->by_offset.begin(), view->by_offset.end(),
            [](const Segment& a, const Segment& b) { return a.offset < b.offset; });
}

// Maps `value` through ranges sorted by their `from` field: the range that
// holds it gives the same distance from its `to` field.
template <typename Range>
bool MapThroughRanges(const std::vector<Range>& ranges, uint32_t Range::*from, uint32_t Range::*to,
                      uint32_t value, uint32_t* mapped) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), value,
                             [from](uint32_t v, const Range& r) { return v < r.*from; });
  if (it == ranges.begin()) return false;
  --it;
  if (value - (*it).*from >= it->length) return false;
  *mapped = (*it).*to + (value - (*it).*from);
  return true;
}

bool RvaToOffset(const std::vector<Segment>& by_rva, uint32_t rva, uint32_t* offset) {
  return MapThroughRanges(by_rva, &Segment::rva, &Segment::offset, rva, offset);
}

bool OffsetToRva(const std::vector<Segment>& by_offset, uint32_t offset, uint32_t* rva) {
  return MapThroughRanges(by_offset, &Segment::offset, &Segment::rva, offset, rva);
}

bool NewToOld(const std::vector<AlignedRange>& ranges, uint32_t new_offset, uint32_t* old_offset) {
  return MapThroughRanges(ranges, &AlignedRange::new_offset, &AlignedRange::old_offset, new_offset, old_offset);
}

const Reference* ReferenceAt(const std::vector<Reference>& references, uint32_t offset) {
  auto it = std::lower_bound(references.begin(), references.end(), offset,
                             [](const Reference& r, uint32_t value) { return r.offset < value; });
  return it != references.end() && it->offset == offset ? &*it : nullptr;
}

constexpr uint32_t kNone = UINT32_MAX;
// A target that lands on a corresponding place says more than one reference
// that does: references can be retargeted by an edit, a label's own place
// cannot.
constexpr int kTargetWeight = 2;

// Pairs for one label space: pairing[new position] = old position or kNone.
std::vector<uint32_t> Pair(const ProgramView& old_view, const ProgramView& new_view, LabelSpace space,
                           const std::vector<AlignedRange>& ranges) {
  const std::vector<uint32_t>& old_rvas = old_view.rvas[space];
  const std::vector<uint32_t>& new_rvas = new_view.rvas[space];
  std::vector<uint64_t> votes;
  auto vote = [&votes](uint32_t new_label, uint32_t old_label, int weight) {
    for (int i = 0; i < weight; ++i) votes.push_back(uint64_t{new_label} << 32 | old_label);
  };
  for (const Reference& reference : new_view.references[space]) {
    uint32_t old_offset = 0;
    if (!NewToOld(ranges, reference.offset, &old_offset)) continue;
    const Reference* old_reference = ReferenceAt(old_view.references[space], old_offset);
    if (old_reference) vote(reference.label, old_reference->label, 1);
  }
  for (uint32_t label = 0; label < new_rvas.size(); ++label) {
    uint32_t new_offset = 0, old_offset = 0, old_rva = 0;
    if (!RvaToOffset(new_view.by_rva, new_rvas[label], &new_offset) ||
        !NewToOld(ranges, new_offset, &old_offset) || !OffsetToRva(old_view.by_offset, old_offset, &old_rva))
      continue;
    const uint32_t old_label = Position(old_rvas, old_rva);
    if (old_label < old_rvas.size() && old_rvas[old_label] == old_rva) vote(label, old_label, kTargetWeight);
  }

  struct Candidate {
    uint32_t count, new_label, old_label;
  };
  std::sort(votes.begin(), votes.end());
  std::vector<Candidate> candidates;
  for (size_t i = 0; i < votes.size();) {
    size_t j = i;
    while (j < votes.size() && votes[j] == votes[i]) ++j;
    candidates.push_back({static_cast<uint32_t>(j - i), static_cast<uint32_t>(votes[i] >> 32),
                          static_cast<uint32_t>(votes[i])});
    i = j;
  }
  votes.clear();
  votes.shrink_to_fit();
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.count > b.count; });

  std::vector<uint32_t> pairing(new_rvas.size(), kNone);
  std::vector<bool> old_taken(old_rvas.size(), false);
  for (const Candidate& candidate : candidates) {
    if (pairing[candidate.new_label] != kNone || old_taken[candidate.old_label]) continue;
    pairing[candidate.new_label] = candidate.old_label;
    old_taken[candidate.old_label] = true;
  }

  // Labels between two pairs that moved by the same amount moved by it too,
  // when the old program has a free label there.
  uint32_t previous = kNone;
  std::vector<uint32_t> next_paired(new_rvas.size() + 1, kNone);
  for (size_t i = new_rvas.size(); i-- > 0;)
    next_paired[i] = pairing[i] != kNone ? static_cast<uint32_t>(i) : next_paired[i + 1];
  for (uint32_t label = 0; label < new_rvas.size(); ++label) {
    if (pairing[label] != kNone) {
      previous = label;
      continue;
    }
    const uint32_t next = next_paired[label];
    if (previous == kNone || next == kNone) continue;
    const uint32_t shift = new_rvas[previous] - old_rvas[pairing[previous]];
    if (new_rvas[next] - old_rvas[pairing[next]] != shift) continue;
    const uint32_t old_rva = new_rvas[label] - shift;
    const uint32_t old_label = Position(old_rvas, old_rva);
    if (old_label >= old_rvas.size() || old_rvas[old_label] != old_rva || old_taken[old_label]) continue;
    if (old_label <= pairing[previous] || old_label >= pairing[next]) continue;
    pairing[label] = old_label;
    old_taken[old_label] = true;
    previous = label;
  }
  return pairing;
}

// `pairing` holds old indexes (below old_size). Paired labels take their
// partner's index; the others take an index that
// the old program leaves free between their paired neighbours' indexes, so
// that the address table stays in order, or else one past all of them.
std::vector<uint32_t> Indexes(const std::vector<uint32_t>& pairing, size_t old_count) {
  std::vector<bool> taken(old_count, false);
  for (uint32_t old_label : pairing) {
    if (old_label != kNone) taken[old_label] = true;
  }
  std::set<uint32_t> free_slots;
  for (uint32_t i = 0; i < old_count; ++i) {
    if (!taken[i]) free_slots.insert(free_slots.end(), i);
  }
  std::vector<uint32_t> next_index(pairing.size() + 1, kNone);
  for (size_t i = pairing.size(); i-- > 0;)
    next_index[i] = pairing[i] != kNone ? pairing[i] : next_index[i + 1];

  std::vector<uint32_t> indexes(pairing.size());
  uint32_t fresh = static_cast<uint32_t>(old_count);
  uint32_t previous_index = kNone;
  for (size_t label = 0; label < pairing.size(); ++label) {
    if (pairing[label] != kNone) {
      indexes[label] = previous_index = pairing[label];
      continue;
    }
    const uint32_t low = previous_index == kNone ? 0 : previous_index + 1;
    const uint32_t high = next_index[label];  // kNone: no bound
    auto slot = free_slots.lower_bound(low);
    if (slot != free_slots.end() && *slot < high) {
      indexes[label] = previous_index = *slot;
      free_slots.erase(slot);
    } else {
      indexes[label] = fresh++;
    }
  }
  return indexes;
}

}  // namespace

bool AlignedRangesOfDiff(const uint8_t* diff, size_t length, std::vector<AlignedRange>* ranges) {
  ranges->clear();
  InputStream in(diff, length);
  uint8_t method = 0;
  uint32_t new_size = 0, control_length = 0, diff_length = 0, extra_length = 0;
  if (!in.ReadByte(&method) || method != 0 || !in.ReadUVarint(&new_size) ||
      !in.ReadUVarint(&control_length) || !in.ReadUVarint(&diff_length) || !in.ReadUVarint(&extra_length))
    return false;
  InputStream control;
  if (!in.ReadSubstream(control_length, &control)) return false;
  int64_t new_offset = 0, old_offset = 0;
  while (!control.Empty()) {
    int32_t x = 0, y = 0, z = 0;
    if (!control.ReadSVarint(&x) || !control.ReadSVarint(&y) || !control.ReadSVarint(&z) || x < 0 || y < 0)
      return false;
    if (x > 0 && old_offset >= 0 && old_offset + x <= UINT32_MAX && new_offset + x <= UINT32_MAX)
      ranges->push_back(
          {static_cast<uint32_t>(new_offset), static_cast<uint32_t>(old_offset), static_cast<uint32_t>(x)});
    new_offset += int64_t{x} + y;
    old_offset += int64_t{x} + z;
  }
  return true;
}

void AlignLabelIndexes(const ParsedProgram& old_program, const uint8_t* old_base, size_t old_length,
                       ParsedProgram* new_program, const uint8_t* new_base, size_t new_length,
                       const std::vector<AlignedRange>& ranges, LabelAlignmentStats* stats) {
  ProgramView old_view, new_view;
  Walk(old_program, old_base, old_length, &old_view);
  Walk(*new_program, new_base, new_length, &new_view);
  LabelTable* tables[kSpaces] = {&new_program->rel32_labels(), &new_program->abs32_labels()};
  size_t paired_counts[kSpaces] = {0, 0};
  for (int space = 0; space < kSpaces; ++space) {
    std::vector<uint32_t> pairing = Pair(old_view, new_view, static_cast<LabelSpace>(space), ranges);
    // Positions in the old map become the old program's indexes, which have
    // gaps where labels were trimmed after numbering.
    const LabelTable& old_table = space == kRel32 ? old_program.rel32_labels() : old_program.abs32_labels();
    std::vector<uint32_t> old_indexes;
    old_indexes.reserve(old_table.size());
    size_t old_size = 0;
    for (const Label& label : old_table) {
      old_indexes.push_back(static_cast<uint32_t>(label.index));
      old_size = std::max(old_size, size_t{old_indexes.back()} + 1);
    }
    for (uint32_t& old_label : pairing) {
      if (old_label == kNone) continue;
      ++paired_counts[space];
      old_label = old_indexes[old_label];
    }
    const std::vector<uint32_t> indexes = Indexes(pairing, old_size);
    size_t position = 0;
    for (Label& label : *tables[space]) label.index = static_cast<int32_t>(indexes[position++]);
  }
  if (stats) {
    stats->rel32_labels = new_view.rvas[kRel32].size();
    stats->rel32_paired = paired_counts[kRel32];
    stats->abs32_labels = new_view.rvas[kAbs32].size();
    stats->abs32_paired = paired_counts[kAbs32];
  }
}

}  // namespace vxpatch
