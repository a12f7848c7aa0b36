// ARM branch compression and rebuilding.
#include "arm_branch.h"

namespace vxpatch {

namespace {

uint32_t Bit(uint32_t value, unsigned bit) { return (value >> bit) & 1u; }

// Sign extension of the low `bits` bits, in unsigned arithmetic.
uint32_t SignExtend(uint32_t value, unsigned bits) {
  const uint32_t sign = 1u << (bits - 1);
  value &= (sign << 1) - 1u;
  return (value ^ sign) - sign;
}

}  // namespace

uint8_t ArmOpSize(ArmBranchType type) { return type <= ARM_OFF11 ? 2 : 4; }

CompressedArmBranch CompressArmBranch(ArmBranchType type, uint32_t c, uint32_t rva) {
  CompressedArmBranch out;
  switch (type) {
    case ARM_OFF8:
      out.relative_target = SignExtend(c & 0xFFu, 8) * 2u + 4u;
      out.op = static_cast<uint16_t>(0x1000u | (c >> 8));
      break;
    case ARM_OFF11:
      out.relative_target = SignExtend(c & 0x7FFu, 11) * 2u + 4u;
      out.op = static_cast<uint16_t>(0x2000u | (c >> 11));
      break;
    case ARM_OFF24:
      out.relative_target = SignExtend(c & 0xFFFFFFu, 24) * 4u + 8u;
      out.op = static_cast<uint16_t>(0x3000u | (c >> 24));
      break;
    case ARM_OFF25: {
      const uint32_t s = Bit(c, 26);
      const uint32_t j1 = Bit(c, 13);
      const uint32_t j2 = Bit(c, 11);
      const uint32_t v = (((c & 0x3FF0000u) >> 4) | ((c & 0x7FFu) * 2u)) - ((j1 ^ s) << 23) -
                         ((j2 ^ s) << 22) - (s << 24) + 0xC00000u;
      // BLX lands on a 4-byte boundary, so its pc depends on where it sits.
      uint32_t adjust = 4;
      if (!(Bit(c, 12) || !Bit(c, 14))) adjust = (rva % 4u != 0) ? 2u : 4u;
      out.relative_target = v + adjust;
      out.op = static_cast<uint16_t>(0x4000u | (adjust << 8) | ((c >> 27) << 3) |
                                     (((c >> 14) << 1) & 7u) | ((c >> 12) & 1u));
      break;
    }
    case ARM_OFF21: {
      const uint32_t v = ((c & 0x3F0000u) >> 4) | ((c & 0x7FFu) * 2u) | (Bit(c, 26) << 20) |
                         (Bit(c, 13) << 19) | (Bit(c, 11) << 18);
      out.relative_target = SignExtend(v, 21) + 4u;
      out.op = static_cast<uint16_t>(0x5000u | ((c >> 22) & 0xFu));
      break;
    }
  }
  return out;
}

bool RebuildArmBranch(uint16_t op, uint32_t t, uint32_t* value, uint8_t* size) {
  const uint32_t o = op;
  switch (o & 0xF000u) {
    case 0x1000u:
      *value = (((t - 4u) >> 1) & 0xFFu) | ((o & 0xFFFu) << 8);
      *size = 2;
      return true;
    case 0x2000u:
      *value = (((t - 4u) >> 1) & 0x7FFu) | ((o & 0xFFFu) << 11);
      *size = 2;
      return true;
    case 0x3000u:
      *value = (o << 24) | (((t - 8u) >> 2) & 0xFFFFFFu);
      *size = 4;
      return true;
    case 0x4000u: {
      const uint32_t f = t - ((o >> 8) & 0xFu);
      const uint32_t s = Bit(f, 24);
      *value = (Bit(o, 0) << 12) | (Bit(o, 1) << 14) | (Bit(o, 2) << 15) | (((o >> 3) & 0x1Fu) << 27) |
               ((f & 0xFFEu) >> 1) | ((f & 0x3FF000u) << 4) | (s << 26) |
               ((Bit(f, 22) ^ s ^ 1u) << 11) | ((Bit(f, 23) ^ s ^ 1u) << 13);
      *size = 4;
      return true;
    }
    case 0x5000u: {
      const uint32_t f = t - 4u;
      *value = 0xF0008000u | ((o & 0xFu) << 22) | ((f >> 1) & 0x7FFu) | ((f & 0x3F000u) << 4) |
               (Bit(f, 20) << 26) | (Bit(f, 19) << 13) | (Bit(f, 18) << 11);
      *size = 4;
      return true;
    }
    default:
      return false;
  }
}

void StoreArmBranch(uint16_t op, uint32_t value, uint8_t* out) {
  switch (op & 0xF000u) {
    case 0x1000u:
    case 0x2000u:
      out[0] = static_cast<uint8_t>(value);
      out[1] = static_cast<uint8_t>(value >> 8);
      break;
    case 0x3000u:
      for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
      break;
    default: {
      const uint32_t high = value >> 16;
      out[0] = static_cast<uint8_t>(high);
      out[1] = static_cast<uint8_t>(high >> 8);
      out[2] = static_cast<uint8_t>(value);
      out[3] = static_cast<uint8_t>(value >> 8);
      break;
    }
  }
}

}  // namespace vxpatch
