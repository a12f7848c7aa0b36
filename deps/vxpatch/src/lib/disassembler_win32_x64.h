// DisassemblerWin32X64: PE32+ executables and DLLs (kind WIN_32_X64). It
// refuses PE32 files; abs32 locations are the low halves of the 64-bit
// addresses the base-relocation table names.
#ifndef VXPATCH_DISASSEMBLER_WIN32_X64_H
#define VXPATCH_DISASSEMBLER_WIN32_X64_H

#include "disassembler_win32.h"

namespace vxpatch {

class DisassemblerWin32X64 : public DisassemblerWin32 {
 public:
  DisassemblerWin32X64(const uint8_t* start, size_t length) : DisassemblerWin32(start, length, true) {}
  ExecutableKind GetKind() const override { return EXE_WIN_32_X64; }
};

}  // namespace vxpatch

#endif  // VXPATCH_DISASSEMBLER_WIN32_X64_H
