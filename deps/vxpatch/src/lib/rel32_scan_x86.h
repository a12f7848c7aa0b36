// The x86 and x86-64 instruction-scan rules for rel32 candidates, shared by
// every parser of those machines.
//
// Contract:
//  - FindX86Rel32Candidate looks at position p of [p, end) and gives the
//    offset of a 32-bit displacement from p when an instruction that carries
//    one starts there; it never looks past end.
//  - NextX86Rel32Candidate gives the first position at or after `from` where
//    FindX86Rel32Candidate finds a candidate (and its displacement offset),
//    or `size` when there is none; it finds exactly what calling the rule at
//    every position would find.
#ifndef VXPATCH_REL32_SCAN_X86_H
#define VXPATCH_REL32_SCAN_X86_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

// x86: call/jmp rel32 (E8, E9) and jcc rel32 (0F 80..8F, except 0F 8A and
// 0F 8B, whose bytes are too common in other code to be worth it). x86-64
// adds call/jmp through a RIP-relative pointer (FF 15, FF 25) and REX.W
// lea/mov with a RIP-relative operand.
bool FindX86Rel32Candidate(const uint8_t* p, size_t left, bool x64, size_t* displacement_offset);

size_t NextX86Rel32Candidate(const uint8_t* base, size_t size, size_t from, bool x64,
                             size_t* displacement_offset);

}  // namespace vxpatch

#endif  // VXPATCH_REL32_SCAN_X86_H
