// ParsedProgram: an executable as the parsers see it, a list of instructions
// (plain bytes, references to labels, origin changes, relocation-table
// markers) and two label tables, rel32 and abs32. A browser-sized library
// has tens of millions of instructions, so an instruction is twelve bytes:
// byte runs are offsets into the parsed file, labels are ids into their
// table.
//
// Contract:
//  - Byte runs and ARM branches lie inside the file given to set_file,
//    which must outlive the program; a run outside it, or at an offset past
//    4 GiB, is refused.
//  - A label's id is its position in its table. Ids are handed out in the
//    order labels are made until SortLabels puts every table in rva order
//    (the instructions follow); TrimLabels keeps that order.
//  - Every emit and find-or-make operation returns false (kNoLabel) when
//    memory runs out or an id is unknown, and leaves the program as it was.
//  - EmitRel32To, EmitAbs32To and EmitRel32ArmTo make or find the label of
//    an rva and count the reference, as find-or-make followed by an emit.
//  - AssignDefaultIndexes sorts the labels, then numbers abs32 labels, then
//    rel32 labels, in rva order; false when memory runs out.
//  - TrimLabels drops rarely used rel32 labels of ARM programs and turns their
//    instructions back into plain bytes; other kinds are left alone.
#ifndef VXPATCH_ASSEMBLY_PROGRAM_H
#define VXPATCH_ASSEMBLY_PROGRAM_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vxpatch/ensemble_status.h"

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

constexpr uint32_t kNoLabel = UINT32_MAX;

// One instruction. Only the fields of its kind are meaningful: INSN_ORIGIN
// uses rva, INSN_BYTE byte_value, the label kinds label (an id in the
// table of their kind), INSN_REL32ARM also arm_op, op_size and offset,
// INSN_BYTES offset and length. Offsets count from the start of the parsed
// file (ParsedProgram::Data).
struct Instruction {
  InstructionKind kind = INSN_BYTE;
  union {
    uint8_t byte_value = 0;
    uint8_t op_size;
  };
  uint16_t arm_op = 0;
  union {
    uint32_t rva = 0;
    uint32_t offset;
  };
  union {
    uint32_t length = 0;
    uint32_t label;
  };
};

// The labels of one kind, by id. Made through a flat open-addressing table
// from rva to id, which SortLabels drops once the table is in rva order
// (look-ups then search the sorted labels).
class LabelTable {
 public:
  using const_iterator = std::vector<Label>::const_iterator;
  using iterator = std::vector<Label>::iterator;

  // The id of rva's label, its count raised by one; a new label (index -1,
  // count 1) when there is none. false when memory runs out.
  bool Add(uint32_t rva, uint32_t* id);
  // The id of rva's label, or kNoLabel.
  uint32_t Find(uint32_t rva) const;
  // A hint that rva is looked up soon: its slot is fetched into the cache.
  void Prefetch(uint32_t rva) const;

  size_t size() const { return labels_.size(); }
  bool empty() const { return labels_.empty(); }
  Label& operator[](uint32_t id) { return labels_[id]; }
  const Label& operator[](uint32_t id) const { return labels_[id]; }
  // The label of rva, which must exist (std::out_of_range otherwise).
  Label& at(uint32_t rva);
  const Label& at(uint32_t rva) const;
  size_t count(uint32_t rva) const { return Find(rva) == kNoLabel ? 0 : 1; }
  iterator begin() { return labels_.begin(); }
  iterator end() { return labels_.end(); }
  const_iterator begin() const { return labels_.begin(); }
  const_iterator end() const { return labels_.end(); }

  // Puts the labels in rva order; `moved` gets, for every old id, its new
  // one (nothing when they were in order already). Drops the rva look-up
  // table.
  void Sort(std::vector<uint32_t>* moved);
  // Keeps the labels referenced more than `count` times, in their order;
  // `moved` gets the new id of every old one (kNoLabel for a dropped one).
  void KeepCountedAbove(int32_t count, std::vector<uint32_t>* moved);

 private:
  bool Grow();

  std::vector<Label> labels_;
  // rva << 32 | (id + 1), or 0 for an empty slot: a probe reads no label.
  std::vector<uint64_t> slots_;
  unsigned bits_ = 0;  // slots_ has 2^bits_ entries
  bool sorted_ = true;
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
  // The parsed bytes, which byte runs and ARM branches point into.
  void set_file(const uint8_t* start, size_t length) {
    file_ = start;
    file_length_ = length;
  }
  // The bytes of an INSN_BYTES or INSN_REL32ARM instruction.
  const uint8_t* Data(const Instruction& insn) const { return file_ + insn.offset; }

  bool EmitOrigin(uint32_t rva);
  bool EmitByte(uint8_t value);
  // A zero length emits nothing.
  bool EmitBytes(const uint8_t* data, size_t length);
  // By label id, made through find-or-make.
  bool EmitRel32(uint32_t label);
  bool EmitAbs32(uint32_t label);
  bool EmitRel32Arm(uint16_t op, uint8_t op_size, const uint8_t* data, uint32_t label);
  bool EmitRel32To(uint32_t target_rva);
  bool EmitAbs32To(uint32_t target_rva);
  bool EmitRel32ArmTo(uint16_t op, uint8_t op_size, const uint8_t* data, uint32_t target_rva);
  bool EmitPeRelocs();
  bool EmitElfRelocs();
  bool EmitElfArmRelocs();

  // The id of rva's label, its count raised by one; a new label (index -1,
  // count 1) when there is none. kNoLabel when memory runs out.
  uint32_t FindOrMakeRel32Label(uint32_t rva);
  uint32_t FindOrMakeAbs32Label(uint32_t rva);

  // Room for `count` instructions in all; a hint, false when memory runs out.
  bool Reserve(size_t count);

  // Puts both label tables in rva order, the instructions' ids with them.
  bool SortLabels();
  bool AssignDefaultIndexes();

  std::vector<Instruction>& instructions() { return instructions_; }
  const std::vector<Instruction>& instructions() const { return instructions_; }
  LabelTable& rel32_labels() { return rel32_labels_; }
  const LabelTable& rel32_labels() const { return rel32_labels_; }
  LabelTable& abs32_labels() { return abs32_labels_; }
  const LabelTable& abs32_labels() const { return abs32_labels_; }

  // Gives the label kinds' instructions the ids `rel32` and `abs32` map
  // their ids to (empty: unchanged).
  void MoveLabelIds(const std::vector<uint32_t>& rel32, const std::vector<uint32_t>& abs32);

 private:
  bool Append(const Instruction& instruction);
  bool FileOffset(const uint8_t* data, size_t length, uint32_t* offset) const;
  bool EmitLabel(InstructionKind kind, LabelTable* labels, uint32_t rva);

  ExecutableKind kind_ = EXE_UNKNOWN;
  uint64_t image_base_ = 0;
  const uint8_t* file_ = nullptr;
  size_t file_length_ = 0;
  std::vector<Instruction> instructions_;
  LabelTable rel32_labels_;
  LabelTable abs32_labels_;
};

static_assert(sizeof(Instruction) == 12, "an instruction is twelve bytes");

// Labels referenced at most this often are not worth their index in an ARM
// program; their branches are kept as plain bytes.
constexpr int32_t kTrimThreshold = 5;

bool TrimLabels(ParsedProgram* program);

}  // namespace vxpatch

#endif  // VXPATCH_ASSEMBLY_PROGRAM_H
