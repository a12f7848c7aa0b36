// ParsedProgram: instruction list, label tables, index assignment and trimming.
#include "assembly_program.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>

#include "engine_log.h"

namespace vxpatch {

namespace {

// Vectors start at this many elements and double from there.
constexpr size_t kInitialInstructions = 64;

// The top bits of a multiplicative hash: label addresses are mostly aligned,
// so their low bits, and those of a plain product, are often all equal.
size_t Slot(uint32_t rva, unsigned bits) {
  return static_cast<size_t>((uint64_t{rva} * 0x9E3779B97F4A7C15u) >> (64 - bits));
}

uint64_t SlotEntry(uint32_t rva, uint32_t id) { return uint64_t{rva} << 32 | (id + 1); }

uint32_t SlotId(uint64_t entry) { return static_cast<uint32_t>(entry) - 1; }

void AssignIndexes(LabelTable* labels) {
  int32_t next = 0;
  for (Label& label : *labels) {  // in rva order once sorted
    if (label.index != -1) LogUnreachable(voxlog::LOG_ERROR, "");
    label.index = next++;
  }
}

}  // namespace

bool LabelTable::Grow() {
  const unsigned bits = slots_.empty() ? 10 : bits_ + 1;
  unsigned wanted = bits;
  // A table dropped by Sort is rebuilt at the size its labels need.
  while ((size_t{1} << wanted) / 2 <= labels_.size()) ++wanted;
  const size_t size = size_t{1} << wanted;
  std::vector<uint64_t> slots(size, 0);
  const size_t mask = size - 1;
  for (uint32_t id = 0; id < labels_.size(); ++id) {
    const uint32_t rva = labels_[id].rva;
    size_t i = Slot(rva, wanted);
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = SlotEntry(rva, id);
  }
  slots_.swap(slots);
  bits_ = wanted;
  return true;
}

uint32_t LabelTable::Find(uint32_t rva) const {
  if (slots_.empty()) {
    if (sorted_) {
      auto it = std::lower_bound(labels_.begin(), labels_.end(), rva,
                                 [](const Label& label, uint32_t value) { return label.rva < value; });
      return it != labels_.end() && it->rva == rva ? static_cast<uint32_t>(it - labels_.begin()) : kNoLabel;
    }
    for (size_t id = 0; id < labels_.size(); ++id) {
      if (labels_[id].rva == rva) return static_cast<uint32_t>(id);
    }
    return kNoLabel;
  }
  const size_t mask = slots_.size() - 1;
  for (size_t i = Slot(rva, bits_); slots_[i] != 0; i = (i + 1) & mask) {
    if (slots_[i] >> 32 == rva) return SlotId(slots_[i]);
  }
  return kNoLabel;
}

bool LabelTable::Add(uint32_t rva, uint32_t* id) {
  try {
    // At most half full, so probes stay short.
    if (slots_.size() / 2 <= labels_.size() && !Grow()) return false;
    const size_t mask = slots_.size() - 1;
    size_t i = Slot(rva, bits_);
    for (; slots_[i] != 0; i = (i + 1) & mask) {
      if (slots_[i] >> 32 == rva) {
        *id = SlotId(slots_[i]);
        ++labels_[*id].count;
        return true;
      }
    }
    if (labels_.size() >= kNoLabel - 1) return false;
    Label made;
    made.rva = rva;
    made.count = 1;
    if (!labels_.empty() && labels_.back().rva > rva) sorted_ = false;
    *id = static_cast<uint32_t>(labels_.size());
    labels_.push_back(made);
    slots_[i] = SlotEntry(rva, *id);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void LabelTable::Prefetch(uint32_t rva) const {
  if (!slots_.empty()) __builtin_prefetch(&slots_[Slot(rva, bits_)]);
}

Label& LabelTable::at(uint32_t rva) {
  const uint32_t id = Find(rva);
  if (id == kNoLabel) throw std::out_of_range("no label at this rva");
  return labels_[id];
}

const Label& LabelTable::at(uint32_t rva) const {
  const uint32_t id = Find(rva);
  if (id == kNoLabel) throw std::out_of_range("no label at this rva");
  return labels_[id];
}

void LabelTable::Sort(std::vector<uint32_t>* moved) {
  moved->clear();
  slots_.clear();
  slots_.shrink_to_fit();
  bits_ = 0;
  if (sorted_) return;
  // Sorted as rva << 32 | id: the keys sit side by side, and rvas are
  // distinct, so the ids ride along without deciding anything.
  std::vector<uint64_t> order(labels_.size());
  for (uint32_t id = 0; id < labels_.size(); ++id) order[id] = uint64_t{labels_[id].rva} << 32 | id;
  std::sort(order.begin(), order.end());
  std::vector<Label> sorted;
  sorted.reserve(labels_.size());
  moved->resize(labels_.size());
  for (uint64_t key : order) {
    const uint32_t id = static_cast<uint32_t>(key);
    (*moved)[id] = static_cast<uint32_t>(sorted.size());
    sorted.push_back(labels_[id]);
  }
  labels_.swap(sorted);
  sorted_ = true;
}

void LabelTable::KeepCountedAbove(int32_t count, std::vector<uint32_t>* moved) {
  moved->assign(labels_.size(), kNoLabel);
  size_t kept = 0;
  for (size_t id = 0; id < labels_.size(); ++id) {
    if (labels_[id].count <= count) continue;
    (*moved)[id] = static_cast<uint32_t>(kept);
    labels_[kept++] = labels_[id];
  }
  labels_.resize(kept);
  slots_.clear();
  slots_.shrink_to_fit();
  bits_ = 0;
}

ParsedProgram::ParsedProgram() = default;

bool ParsedProgram::Reserve(size_t count) {
  try {
    instructions_.reserve(count);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool ParsedProgram::FileOffset(const uint8_t* data, size_t length, uint32_t* offset) const {
  if (file_ == nullptr || data < file_ || data > file_ + file_length_) return false;
  const size_t at = static_cast<size_t>(data - file_);
  if (at > UINT32_MAX || file_length_ - at < length) return false;
  *offset = static_cast<uint32_t>(at);
  return true;
}

bool ParsedProgram::Append(const Instruction& instruction) {
  try {
    if (instructions_.capacity() == 0) instructions_.reserve(kInitialInstructions);
    instructions_.push_back(instruction);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool ParsedProgram::EmitLabel(InstructionKind kind, LabelTable* labels, uint32_t rva) {
  uint32_t id = 0;
  if (!labels->Add(rva, &id)) return false;
  Instruction insn;
  insn.kind = kind;
  insn.label = id;
  if (Append(insn)) return true;
  --(*labels)[id].count;  // a label made here stays, unreferenced
  return false;
}

bool ParsedProgram::EmitRel32To(uint32_t target_rva) { return EmitLabel(INSN_REL32, &rel32_labels_, target_rva); }

bool ParsedProgram::EmitAbs32To(uint32_t target_rva) { return EmitLabel(INSN_ABS32, &abs32_labels_, target_rva); }

bool ParsedProgram::EmitRel32ArmTo(uint16_t op, uint8_t op_size, const uint8_t* data, uint32_t target_rva) {
  uint32_t offset = 0;
  if (!FileOffset(data, op_size, &offset)) return false;
  uint32_t id = 0;
  if (!rel32_labels_.Add(target_rva, &id)) return false;
  if (EmitRel32Arm(op, op_size, data, id)) return true;
  --rel32_labels_[id].count;
  return false;
}

bool ParsedProgram::EmitOrigin(uint32_t rva) {
  Instruction insn;
  insn.kind = INSN_ORIGIN;
  insn.rva = rva;
  return Append(insn);
}

bool ParsedProgram::EmitByte(uint8_t value) {
  Instruction insn;
  insn.kind = INSN_BYTE;
  insn.byte_value = value;
  return Append(insn);
}

bool ParsedProgram::EmitBytes(const uint8_t* data, size_t length) {
  if (length == 0) return true;
  uint32_t offset = 0;
  if (!FileOffset(data, length, &offset)) return false;
  // One instruction covers at most 4 GiB; longer runs are split, which the
  // encoding folds back into one copy.
  while (length > 0) {
    const uint32_t part = length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
    Instruction insn;
    insn.kind = INSN_BYTES;
    insn.offset = offset;
    insn.length = part;
    if (!Append(insn)) return false;
    offset += part;
    length -= part;
  }
  return true;
}

bool ParsedProgram::EmitRel32(uint32_t label) {
  if (label >= rel32_labels_.size()) return false;
  Instruction insn;
  insn.kind = INSN_REL32;
  insn.label = label;
  return Append(insn);
}

bool ParsedProgram::EmitAbs32(uint32_t label) {
  if (label >= abs32_labels_.size()) return false;
  Instruction insn;
  insn.kind = INSN_ABS32;
  insn.label = label;
  return Append(insn);
}

bool ParsedProgram::EmitRel32Arm(uint16_t op, uint8_t op_size, const uint8_t* data, uint32_t label) {
  Instruction insn;
  if (label >= rel32_labels_.size() || !FileOffset(data, op_size, &insn.offset)) return false;
  insn.kind = INSN_REL32ARM;
  insn.arm_op = op;
  insn.op_size = op_size;
  insn.label = label;
  return Append(insn);
}

bool ParsedProgram::EmitPeRelocs() {
  Instruction insn;
  insn.kind = INSN_PE_RELOCS;
  return Append(insn);
}

bool ParsedProgram::EmitElfRelocs() {
  Instruction insn;
  insn.kind = INSN_ELF_RELOCS;
  return Append(insn);
}

bool ParsedProgram::EmitElfArmRelocs() {
  Instruction insn;
  insn.kind = INSN_ELF_ARM_RELOCS;
  return Append(insn);
}

uint32_t ParsedProgram::FindOrMakeRel32Label(uint32_t rva) {
  uint32_t id = 0;
  return rel32_labels_.Add(rva, &id) ? id : kNoLabel;
}

uint32_t ParsedProgram::FindOrMakeAbs32Label(uint32_t rva) {
  uint32_t id = 0;
  return abs32_labels_.Add(rva, &id) ? id : kNoLabel;
}

void ParsedProgram::MoveLabelIds(const std::vector<uint32_t>& rel32, const std::vector<uint32_t>& abs32) {
  if (rel32.empty() && abs32.empty()) return;
  for (Instruction& insn : instructions_) {
    switch (insn.kind) {
      case INSN_REL32:
      case INSN_REL32ARM:
        if (!rel32.empty()) insn.label = rel32[insn.label];
        break;
      case INSN_ABS32:
        if (!abs32.empty()) insn.label = abs32[insn.label];
        break;
      default: break;
    }
  }
}

bool ParsedProgram::SortLabels() {
  try {
    std::vector<uint32_t> rel32, abs32;
    rel32_labels_.Sort(&rel32);
    abs32_labels_.Sort(&abs32);
    MoveLabelIds(rel32, abs32);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool ParsedProgram::AssignDefaultIndexes() {
  if (!SortLabels()) return false;
  AssignIndexes(&abs32_labels_);
  AssignIndexes(&rel32_labels_);
  return true;
}

bool TrimLabels(ParsedProgram* program) {
  if (program->kind() != EXE_ELF_32_ARM) return true;
  LogDebug("TrimLabels: threshold " + std::to_string(kTrimThreshold));

  const LabelTable& labels = program->rel32_labels();
  for (Instruction& insn : program->instructions()) {
    if (insn.kind != INSN_REL32ARM || labels[insn.label].count > kTrimThreshold) continue;
    if (insn.op_size == 0) return false;
    const uint32_t offset = insn.offset;
    const uint32_t size = insn.op_size;
    insn = Instruction();
    insn.kind = INSN_BYTES;
    insn.offset = offset;
    insn.length = size;
  }
  try {
    std::vector<uint32_t> moved;
    program->rel32_labels().KeepCountedAbove(kTrimThreshold, &moved);
    program->MoveLabelIds(moved, {});
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace vxpatch
