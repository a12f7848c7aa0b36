// ParsedProgram: instruction list, label maps, index assignment and trimming.
#include "assembly_program.h"

#include <algorithm>
#include <new>
#include <numeric>
#include <string>

#include "exe_log.h"

namespace vxpatch {

namespace {

// Vectors start at this many elements and double from there.
constexpr size_t kInitialInstructions = 64;

Label* FindOrMake(LabelMap* labels, uint32_t rva) {
  try {
    auto found = labels->find(rva);
    if (found == labels->end()) {
      Label label;
      label.rva = rva;
      found = labels->emplace(rva, label).first;
    }
    ++found->second.count;
    return &found->second;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void AssignIndexes(LabelMap* labels) {
  int32_t next = 0;
  for (auto& entry : *labels) {  // std::map iterates in ascending rva order
    if (entry.second.index != -1) LogUnreachable(voxlog::LOG_ERROR, "");
    entry.second.index = next++;
  }
}

// Pending labels of one space made in the map, in rva order, merged with
// the labels already there; instructions of the space are pointed at them.
bool ResolveSpace(PendingLabels* pending, LabelMap* labels, std::vector<Label*>* by_id) {
  by_id->assign(pending->size(), nullptr);
  std::vector<uint32_t> order(pending->size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(),
            [pending](uint32_t a, uint32_t b) { return pending->rva(a) < pending->rva(b); });
  // `at` walks the labels that were there before, new ones go in just
  // before it: a label made at the end costs no climb through the tree.
  auto at = labels->begin();
  for (uint32_t id : order) {
    const uint32_t rva = pending->rva(id);
    while (at != labels->end() && at->first < rva) ++at;
    Label* label = nullptr;
    if (at != labels->end() && at->first == rva) {
      label = &at->second;
    } else {
      Label made;
      made.rva = rva;
      label = &labels->emplace_hint(at, rva, made)->second;
    }
    label->count += pending->count(id);
    (*by_id)[id] = label;
  }
  pending->Clear();
  return true;
}

// The top bits of a multiplicative hash: label addresses are mostly aligned,
// so their low bits, and those of a plain product, are often all equal.
size_t Slot(uint32_t rva, unsigned bits) {
  return static_cast<size_t>((uint64_t{rva} * 0x9E3779B97F4A7C15u) >> (64 - bits));
}

}  // namespace

void PendingLabels::Clear() {
  rvas_.clear();
  counts_.clear();
  slots_.clear();
  rvas_.shrink_to_fit();
  counts_.shrink_to_fit();
  slots_.shrink_to_fit();
  bits_ = 0;
}

bool PendingLabels::Grow() {
  const unsigned bits = slots_.empty() ? 10 : bits_ + 1;
  const size_t size = size_t{1} << bits;
  std::vector<uint32_t> slots(size, 0);
  const size_t mask = size - 1;
  for (uint32_t id = 0; id < rvas_.size(); ++id) {
    size_t i = Slot(rvas_[id], bits);
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = id + 1;
  }
  slots_.swap(slots);
  bits_ = bits;
  return true;
}

bool PendingLabels::Add(uint32_t rva, uint32_t* id) {
  try {
    // At most half full, so probes stay short.
    if (slots_.size() / 2 <= rvas_.size() && !Grow()) return false;
    const size_t mask = slots_.size() - 1;
    size_t i = Slot(rva, bits_);
    for (; slots_[i] != 0; i = (i + 1) & mask) {
      const uint32_t found = slots_[i] - 1;
      if (rvas_[found] == rva) {
        ++counts_[found];
        *id = found;
        return true;
      }
    }
    if (rvas_.size() >= UINT32_MAX - 1) return false;
    *id = static_cast<uint32_t>(rvas_.size());
    rvas_.push_back(rva);
    try {
      counts_.push_back(1);
    } catch (const std::bad_alloc&) {
      rvas_.pop_back();
      return false;
    }
    slots_[i] = *id + 1;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
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

bool ParsedProgram::AppendPending(Instruction instruction, PendingLabels* labels, uint32_t rva) {
  uint32_t id = 0;
  if (!labels->Add(rva, &id)) return false;
  instruction.pending = true;
  instruction.rva = id;
  return Append(instruction);
}

bool ParsedProgram::EmitRel32To(uint32_t target_rva) {
  Instruction insn;
  insn.kind = INSN_REL32;
  return AppendPending(insn, &pending_rel32_, target_rva);
}

bool ParsedProgram::EmitAbs32To(uint32_t target_rva) {
  Instruction insn;
  insn.kind = INSN_ABS32;
  return AppendPending(insn, &pending_abs32_, target_rva);
}

bool ParsedProgram::EmitRel32ArmTo(uint16_t op, uint8_t op_size, const uint8_t* data, uint32_t target_rva) {
  Instruction insn;
  insn.kind = INSN_REL32ARM;
  insn.arm_op = op;
  insn.op_size = op_size;
  insn.data = data;
  return AppendPending(insn, &pending_rel32_, target_rva);
}

bool ParsedProgram::ResolveLabels() {
  if (pending_rel32_.size() == 0 && pending_abs32_.size() == 0) return true;
  try {
    std::vector<Label*> rel32, abs32;
    if (!ResolveSpace(&pending_rel32_, &rel32_labels_, &rel32) ||
        !ResolveSpace(&pending_abs32_, &abs32_labels_, &abs32))
      return false;
    for (Instruction& insn : instructions_) {
      if (!insn.pending) continue;
      insn.label = insn.kind == INSN_ABS32 ? abs32[insn.rva] : rel32[insn.rva];
      insn.rva = 0;
      insn.pending = false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
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
  // One instruction covers at most 4 GiB; longer runs are split, which the
  // encoding folds back into one copy.
  while (length > 0) {
    const uint32_t part = length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
    Instruction insn;
    insn.kind = INSN_BYTES;
    insn.data = data;
    insn.length = part;
    if (!Append(insn)) return false;
    data += part;
    length -= part;
  }
  return true;
}

bool ParsedProgram::EmitRel32(Label* label) {
  Instruction insn;
  insn.kind = INSN_REL32;
  insn.label = label;
  return Append(insn);
}

bool ParsedProgram::EmitAbs32(Label* label) {
  Instruction insn;
  insn.kind = INSN_ABS32;
  insn.label = label;
  return Append(insn);
}

bool ParsedProgram::EmitRel32Arm(uint16_t op, uint8_t op_size, const uint8_t* data, Label* label) {
  Instruction insn;
  insn.kind = INSN_REL32ARM;
  insn.arm_op = op;
  insn.op_size = op_size;
  insn.data = data;
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

Label* ParsedProgram::FindOrMakeRel32Label(uint32_t rva) { return FindOrMake(&rel32_labels_, rva); }

Label* ParsedProgram::FindOrMakeAbs32Label(uint32_t rva) { return FindOrMake(&abs32_labels_, rva); }

bool ParsedProgram::AssignDefaultIndexes() {
  if (!ResolveLabels()) return false;
  AssignIndexes(&abs32_labels_);
  AssignIndexes(&rel32_labels_);
  return true;
}

bool TrimLabels(ParsedProgram* program) {
  if (program->kind() != EXE_ELF_32_ARM) return true;
  LogDebug("TrimLabels: threshold " + std::to_string(kTrimThreshold));

  // Instructions are rewritten before any label is freed: they still point at
  // their labels, and a freed label must never be looked at.
  for (Instruction& insn : program->instructions()) {
    if (insn.kind != INSN_REL32ARM || insn.label->count > kTrimThreshold) continue;
    if (insn.op_size == 0) return false;
    const uint8_t* bytes = insn.data;
    const uint32_t size = insn.op_size;
    insn = Instruction();
    insn.kind = INSN_BYTES;
    insn.data = bytes;
    insn.length = size;
  }
  LabelMap& labels = program->rel32_labels();
  for (auto it = labels.begin(); it != labels.end();) {
    if (it->second.count <= kTrimThreshold) {
      it = labels.erase(it);
    } else {
      ++it;
    }
  }
  return true;
}

}  // namespace vxpatch
