// Status values of the engine's executable and ensemble operations, and the
// executable kinds shared by patches, parsers and the packer's log.
//
// Contract: the numeric values are part of the patch format and of what the
// updater reports to the user; never renumber them.
#ifndef VXPATCH_ENSEMBLE_STATUS_H
#define VXPATCH_ENSEMBLE_STATUS_H

namespace vxpatch {

enum Status : int {
  STATUS_OK = 1,
  STATUS_GENERAL_ERROR = 2,
  STATUS_READ_OPEN_ERROR = 3,
  STATUS_READ_ERROR = 4,
  STATUS_BAD_MAGIC = 5,
  STATUS_BAD_VERSION = 6,
  STATUS_BAD_HEADER = 7,
  STATUS_BAD_CRC = 8,
  STATUS_BAD_TRANSFORM = 12,
  STATUS_STREAM_ERROR = 20,
  STATUS_STREAM_NOT_CONSUMED = 21,
  STATUS_DESERIALIZATION_FAILED = 23,
  STATUS_INPUT_NOT_RECOGNIZED = 24,
  STATUS_DISASSEMBLY_FAILED = 25,
  STATUS_ASSEMBLY_FAILED = 26,
  STATUS_TRIM_FAILED = 28,
  // The output, or a buffer on the way to it, would pass the caller's limit.
  STATUS_OUTPUT_LIMIT = 29,
};

// "STATUS_OK", ...; "STATUS_UNKNOWN" for values outside the table.
const char* StatusName(int status);

enum ExecutableKind : int {
  EXE_UNKNOWN = 0,
  EXE_WIN_32_X86 = 1,
  EXE_ELF_32_X86 = 2,
  EXE_ELF_32_ARM = 3,
  EXE_WIN_32_X64 = 4,
  EXE_ELF_64_X64 = 5,
  EXE_MACHO_X86 = 6,
  EXE_MACHO_X64 = 7,
};

constexpr int kLastExecutableKind = EXE_MACHO_X64;

// The printed names: "UNKNOWN", "WIN_32_X86", "EXE_ELF_32_X86", ... ("UNKNOWN"
// for values outside the table).
const char* ExecutableKindName(int kind);

}  // namespace vxpatch

#endif  // VXPATCH_ENSEMBLE_STATUS_H
