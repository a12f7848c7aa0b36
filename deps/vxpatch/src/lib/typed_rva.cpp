// rel32 locations of the ELF parsers.
#include "typed_rva.h"

namespace vxpatch {

namespace {

uint32_t Le16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8; }

uint32_t Le32(const uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }

}  // namespace

TypedRVA TypedRVA::X86(uint32_t rva, uint64_t file_offset, const uint8_t* location) {
  TypedRVA typed(rva, file_offset);
  typed.relative_target_ = Le32(location) + 4u;
  return typed;
}

TypedRVA TypedRVA::Arm(ArmBranchType type, uint32_t rva, uint64_t file_offset, const uint8_t* location) {
  uint32_t c = 0;
  switch (type) {
    case ARM_OFF8:
    case ARM_OFF11:
      c = Le16(location);
      break;
    case ARM_OFF24:
      c = Le32(location);
      break;
    case ARM_OFF25:
    case ARM_OFF21:
      c = Le16(location) << 16 | Le16(location + 2);
      break;
  }
  TypedRVA typed(rva, file_offset);
  const CompressedArmBranch compressed = CompressArmBranch(type, c, rva);
  typed.relative_target_ = compressed.relative_target;
  typed.op_ = compressed.op;
  typed.arm_ = true;
  typed.type_ = type;
  return typed;
}

bool TypedRVA::EmitInstruction(ParsedProgram* program, uint32_t target_rva, const uint8_t* file) const {
  if (!arm_) return program->EmitRel32To(target_rva);
  return program->EmitRel32ArmTo(op_, OpSize(), file + file_offset_, target_rva);
}

}  // namespace vxpatch
