// ParsedProgram: instruction list, label maps, index assignment and trimming.
#include "assembly_program.h"

#include <new>
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

}  // namespace

ParsedProgram::ParsedProgram() = default;

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

void ParsedProgram::AssignDefaultIndexes() {
  AssignIndexes(&abs32_labels_);
  AssignIndexes(&rel32_labels_);
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
