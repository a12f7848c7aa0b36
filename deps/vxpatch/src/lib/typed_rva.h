// TypedRVA: one rel32 location found by an ELF parser's scan, in the form of
// the instruction set it was found in.
//
// Contract: rva is the address of the displacement (x86, x86-64) or of the
// whole instruction (ARM); file_offset is where the scan found it, in the
// parsed bytes, and is kept as found; RelativeTarget reads the location once,
// at scan time, and must be called before EmitInstruction.
#ifndef VXPATCH_TYPED_RVA_H
#define VXPATCH_TYPED_RVA_H

#include <cstdint>

#include "arm_branch.h"
#include "assembly_program.h"

namespace vxpatch {

class TypedRVA {
 public:
  TypedRVA(uint32_t rva, uint64_t file_offset) : rva_(rva), file_offset_(file_offset) {}
  virtual ~TypedRVA() = default;
  TypedRVA(const TypedRVA&) = delete;
  TypedRVA& operator=(const TypedRVA&) = delete;

  // Computes the relative target from the bytes at the location (at least
  // OpSize() bytes). False when the bytes are no such instruction.
  virtual bool RelativeTarget(const uint8_t* location) = 0;
  virtual bool EmitInstruction(ParsedProgram* program, uint32_t target_rva) = 0;
  virtual uint8_t OpSize() const = 0;

  uint32_t rva() const { return rva_; }
  uint64_t file_offset() const { return file_offset_; }
  uint32_t relative_target() const { return relative_target_; }

 protected:
  uint32_t relative_target_ = 0;

 private:
  uint32_t rva_;
  uint64_t file_offset_;
};

// x86 and x86-64: a signed 32-bit displacement relative to its own end.
class TypedRVAX86 : public TypedRVA {
 public:
  using TypedRVA::TypedRVA;
  bool RelativeTarget(const uint8_t* location) override;
  bool EmitInstruction(ParsedProgram* program, uint32_t target_rva) override;
  uint8_t OpSize() const override { return 4; }
};

class TypedRVAX64 : public TypedRVAX86 {
 public:
  using TypedRVAX86::TypedRVAX86;
};

class TypedRVAARM : public TypedRVA {
 public:
  TypedRVAARM(ArmBranchType type, uint32_t rva, uint64_t file_offset)
      : TypedRVA(rva, file_offset), type_(type) {}
  bool RelativeTarget(const uint8_t* location) override;
  bool EmitInstruction(ParsedProgram* program, uint32_t target_rva) override;
  uint8_t OpSize() const override { return ArmOpSize(type_); }

 private:
  ArmBranchType type_;
  uint16_t op_ = 0;
  const uint8_t* location_ = nullptr;
};

}  // namespace vxpatch

#endif  // VXPATCH_TYPED_RVA_H
