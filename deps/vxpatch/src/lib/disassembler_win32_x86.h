// DisassemblerWin32X86: PE32 executables and DLLs (kind WIN_32_X86). It
// refuses PE32+ files, which detection then hands to DisassemblerWin32X64.
#ifndef VXPATCH_DISASSEMBLER_WIN32_X86_H
#define VXPATCH_DISASSEMBLER_WIN32_X86_H

#include "disassembler_win32.h"

namespace vxpatch {

class DisassemblerWin32X86 : public DisassemblerWin32 {
 public:
  DisassemblerWin32X86(const uint8_t* start, size_t length) : DisassemblerWin32(start, length, false) {}
  ExecutableKind GetKind() const override { return EXE_WIN_32_X86; }
};

}  // namespace vxpatch

#endif  // VXPATCH_DISASSEMBLER_WIN32_X86_H
