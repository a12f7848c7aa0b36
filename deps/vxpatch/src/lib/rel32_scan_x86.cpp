// x86 and x86-64 rel32 candidate rules.
#include "rel32_scan_x86.h"

namespace vxpatch {

bool FindX86Rel32Candidate(const uint8_t* p, size_t left, bool x64, size_t* displacement_offset) {
  bool found = false;
  if (left >= 5 && (p[0] == 0xE8 || p[0] == 0xE9)) {
    *displacement_offset = 1;
    found = true;
  }
  if (left >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && p[1] != 0x8A && p[1] != 0x8B) {
    *displacement_offset = 2;
    found = true;
  }
  if (!x64) return found;
  // Later rules win over earlier ones at the same position.
  if (left >= 6 && p[0] == 0xFF && (p[1] == 0x15 || p[1] == 0x25)) {
    *displacement_offset = 2;
    found = true;
  }
  if (left >= 7 && (p[0] == 0x48 || p[0] == 0x49) && (p[1] == 0x8D || p[1] == 0x8B) &&
      (p[2] & 0xC7) == 0x05) {
    *displacement_offset = 3;
    found = true;
  }
  return found;
}

}  // namespace vxpatch
