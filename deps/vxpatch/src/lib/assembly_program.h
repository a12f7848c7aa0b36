// ParsedProgram: an executable as the parsers see it, a list of instructions
// (plain bytes, references to labels, origin changes, relocation-table
// markers) and the two label maps, rel32 and abs32, keyed by rva.
//
// Contract:
//  - Labels live in the maps and are referenced by pointer from instructions;
//    a label's address never changes while it is in its map.
//  - INSN_BYTES and INSN_REL32ARM point into the parsed file, which must
//    outlive the program.
//  - Every emit and find-or-make operation returns false when memory runs out
//    and leaves the program as it was.
//  - EmitRel32To, EmitAbs32To and EmitRel32ArmTo name a label by its rva
//    without making it: the instruction's label stays nullptr until
//    ResolveLabels makes or finds the labels of all of them at once (counts
//    and maps then as if each had gone through find-or-make), which saves a
//    map look-up per reference.
//  - AssignDefaultIndexes resolves pending references, then numbers abs32
//    labels, then rel32 labels, in rva order; false when memory runs out.
//  - TrimLabels drops rarely used rel32 labels of ARM programs and turns their
//    instructions back into plain bytes; other kinds are left alone.
#ifndef VXPATCH_ASSEMBLY_PROGRAM_H
#define VXPATCH_ASSEMBLY_PROGRAM_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "ensemble_status.h"

namespace vxpatch {

struct Label {
  uint32_t rva = 0;
  int32_t index = -1;  // -1 until an index is assigned
  int32_t count = 0;   // references made through find-or-make
};

enum InstructionKind : uint8_t {
  INSN_ORIGIN = 0,
  INSN_PE_RELOCS = 1,
  INSN_ELF_RELOCS = 2,
  INSN_BYTE = 3,
  INSN_REL32 = 4,
  INSN_ABS32 = 5,
  INSN_REL32ARM = 6,
  INSN_ELF_ARM_RELOCS = 7,
  INSN_BYTES = 8,
};

// One instruction. Only the fields of its kind are meaningful: INSN_ORIGIN
// uses rva, INSN_BYTE byte_value, the label kinds label, INSN_REL32ARM also
// arm_op, op_size and data, INSN_BYTES data and length. Instructions are kept
// by value, so a plain byte costs no allocation of its own.
struct Instruction {
  InstructionKind kind = INSN_BYTE;
  uint8_t byte_value = 0;
  uint8_t op_size = 0;
  bool pending = false;  // label not made yet; rva holds its pending id
  uint16_t arm_op = 0;
  uint32_t rva = 0;
  uint32_t length = 0;
  Label* label = nullptr;
  const uint8_t* data = nullptr;
};

using LabelMap = std::map<uint32_t, Label>;

// Labels referenced by rva and not made yet: a flat open-addressing table
// from rva to a dense id, with a reference count per id.
class PendingLabels {
 public:
  // The id of rva (new ones numbered from 0), its count raised by one;
  // false when memory runs out.
  bool Add(uint32_t rva, uint32_t* id);
  size_t size() const { return rvas_.size(); }
  uint32_t rva(uint32_t id) const { return rvas_[id]; }
  int32_t count(uint32_t id) const { return counts_[id]; }
  void Clear();

 private:
  bool Grow();

  std::vector<uint32_t> rvas_;
  std::vector<int32_t> counts_;
  std::vector<uint32_t> slots_;  // id + 1, or 0 for an empty slot
  unsigned bits_ = 0;            // slots_ has 2^bits_ entries
};

class ParsedProgram {
 public:
  ParsedProgram();
  ParsedProgram(const ParsedProgram&) = delete;
  ParsedProgram& operator=(const ParsedProgram&) = delete;

  ExecutableKind kind() const { return kind_; }
  void set_kind(ExecutableKind kind) { kind_ = kind; }
  uint64_t image_base() const { return image_base_; }
  void set_image_base(uint64_t base) { image_base_ = base; }

  bool EmitOrigin(uint32_t rva);
  bool EmitByte(uint8_t value);
  // A zero length emits nothing.
  bool EmitBytes(const uint8_t* data, size_t length);
  bool EmitRel32(Label* label);
  bool EmitAbs32(Label* label);
  bool EmitRel32Arm(uint16_t op, uint8_t op_size, const uint8_t* data, Label* label);
  bool EmitRel32To(uint32_t target_rva);
  bool EmitAbs32To(uint32_t target_rva);
  bool EmitRel32ArmTo(uint16_t op, uint8_t op_size, const uint8_t* data, uint32_t target_rva);
  bool EmitPeRelocs();
  bool EmitElfRelocs();
  bool EmitElfArmRelocs();

  // The label of rva, its count raised by one; a new label (index -1,
  // count 1) when there is none. nullptr when memory runs out.
  Label* FindOrMakeRel32Label(uint32_t rva);
  Label* FindOrMakeAbs32Label(uint32_t rva);

  // Room for `count` instructions in all; a hint, false when memory runs out.
  bool Reserve(size_t count);

  // Makes the labels of pending references and points them at them.
  bool ResolveLabels();
  bool AssignDefaultIndexes();

  std::vector<Instruction>& instructions() { return instructions_; }
  const std::vector<Instruction>& instructions() const { return instructions_; }
  LabelMap& rel32_labels() { return rel32_labels_; }
  const LabelMap& rel32_labels() const { return rel32_labels_; }
  LabelMap& abs32_labels() { return abs32_labels_; }
  const LabelMap& abs32_labels() const { return abs32_labels_; }

 private:
  bool Append(const Instruction& instruction);
  bool AppendPending(Instruction instruction, PendingLabels* labels, uint32_t rva);

  ExecutableKind kind_ = EXE_UNKNOWN;
  uint64_t image_base_ = 0;
  std::vector<Instruction> instructions_;
  LabelMap rel32_labels_;
  LabelMap abs32_labels_;
  PendingLabels pending_rel32_;
  PendingLabels pending_abs32_;
};

// Labels referenced at most this often are not worth their index in an ARM
// program; their branches are kept as plain bytes.
constexpr int32_t kTrimThreshold = 5;

bool TrimLabels(ParsedProgram* program);

}  // namespace vxpatch

#endif  // VXPATCH_ASSEMBLY_PROGRAM_H
