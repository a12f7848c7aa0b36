// rel32 locations of the ELF parsers.
#include "typed_rva.h"

namespace vxpatch {

namespace {

uint32_t Le16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8; }

uint32_t Le32(const uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }

}  // namespace

bool TypedRVAX86::RelativeTarget(const uint8_t* location) {
  relative_target_ = Le32(location) + 4u;
  return true;
}

bool TypedRVAX86::EmitInstruction(ParsedProgram* program, uint32_t target_rva) {
  Label* label = program->FindOrMakeRel32Label(target_rva);
  return label != nullptr && program->EmitRel32(label);
}

bool TypedRVAARM::RelativeTarget(const uint8_t* location) {
  uint32_t c = 0;
  switch (type_) {
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
  const CompressedArmBranch compressed = CompressArmBranch(type_, c, rva());
  relative_target_ = compressed.relative_target;
  op_ = compressed.op;
  location_ = location;
  return true;
}

bool TypedRVAARM::EmitInstruction(ParsedProgram* program, uint32_t target_rva) {
  Label* label = program->FindOrMakeRel32Label(target_rva);
  return label != nullptr && program->EmitRel32Arm(op_, OpSize(), location_, label);
}

}  // namespace vxpatch
