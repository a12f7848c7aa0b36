// The five ARM/Thumb branch forms the ELF ARM parser turns into labels, and
// their compressed 16-bit ops.
//
// Contract: CompressArmBranch(type, c, rva) yields the relative target and the
// op; RebuildArmBranch(op, t) with t equal to that relative target yields c
// again, bit for bit, for every instruction value the scan accepts. All
// arithmetic is unsigned 32-bit with logical shifts.
#ifndef VXPATCH_ARM_BRANCH_H
#define VXPATCH_ARM_BRANCH_H

#include <cstdint>

namespace vxpatch {

enum ArmBranchType : uint8_t {
  ARM_OFF8 = 0,   // Thumb conditional branch, 2 bytes
  ARM_OFF11 = 1,  // Thumb unconditional branch, 2 bytes
  ARM_OFF24 = 2,  // ARM B/BL/BLX, 4 bytes
  ARM_OFF25 = 3,  // Thumb-2 BL/BLX/B.W, 4 bytes
  ARM_OFF21 = 4,  // Thumb-2 conditional B.W, 4 bytes
};

struct CompressedArmBranch {
  uint32_t relative_target = 0;
  uint16_t op = 0;
};

// c: types 0 and 1 the halfword, type 2 the little-endian word, types 3 and 4
// the first halfword << 16 | the second. rva: the instruction's rva.
CompressedArmBranch CompressArmBranch(ArmBranchType type, uint32_t c, uint32_t rva);

// Bytes the instruction of a type covers: 2 for types 0 and 1, 4 otherwise.
uint8_t ArmOpSize(ArmBranchType type);

// Rebuilds the instruction value from an op (0x1000..0x5FFF) and a relative
// target. False for ops outside those five ranges.
bool RebuildArmBranch(uint16_t op, uint32_t relative_target, uint32_t* value, uint8_t* size);

// Writes a rebuilt value as the file holds it: one little-endian halfword for
// size 2, a little-endian word for type 2, two little-endian halfwords (high
// half first) for types 3 and 4. out must hold 4 bytes.
void StoreArmBranch(uint16_t op, uint32_t value, uint8_t* out);

}  // namespace vxpatch

#endif  // VXPATCH_ARM_BRANCH_H
