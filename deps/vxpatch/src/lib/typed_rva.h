// TypedRVA: one rel32 location found by an ELF parser's scan, in the form of
// the instruction set it was found in. A plain value: a scan of a large
// library finds hundreds of thousands, kept in one flat vector.
//
// Contract: rva is the address of the displacement (x86, x86-64) or of the
// whole instruction (ARM); file_offset is where the scan found it, in the
// parsed bytes, and is kept as found. The location is read once, when it is
// made; EmitInstruction needs the parsed bytes again only for ARM branches,
// whose instruction bytes the program points at. file_offset must be below
// 4 GiB (the parsers take no larger files): a location is sixteen bytes.
#ifndef VXPATCH_TYPED_RVA_H
#define VXPATCH_TYPED_RVA_H

#include <cstdint>

#include "arm_branch.h"
#include "assembly_program.h"

namespace vxpatch {

class TypedRVA {
 public:
  // x86 and x86-64: a signed 32-bit displacement relative to its own end,
  // read from `location` (4 bytes).
  static TypedRVA X86(uint32_t rva, uint64_t file_offset, const uint8_t* location);
  // An ARM branch of `type`, read from `location` (OpSize() bytes).
  static TypedRVA Arm(ArmBranchType type, uint32_t rva, uint64_t file_offset, const uint8_t* location);

  // Emits the reference to target_rva; `file` is the start of the parsed
  // bytes that file_offset counts from.
  bool EmitInstruction(ParsedProgram* program, uint32_t target_rva, const uint8_t* file) const;
  uint8_t OpSize() const { return arm_ ? ArmOpSize(type_) : 4; }

  uint32_t rva() const { return rva_; }
  uint64_t file_offset() const { return file_offset_; }
  uint32_t relative_target() const { return relative_target_; }

 private:
  TypedRVA(uint32_t rva, uint64_t file_offset) : rva_(rva), file_offset_(static_cast<uint32_t>(file_offset)) {}

  uint32_t rva_;
  uint32_t relative_target_ = 0;
  uint32_t file_offset_;
  uint16_t op_ = 0;
  bool arm_ = false;
  ArmBranchType type_ = ARM_OFF8;
};

}  // namespace vxpatch

#endif  // VXPATCH_TYPED_RVA_H
