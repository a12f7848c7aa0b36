// EncodedProgram: a parsed program as separate tables (label addresses, label
// indexes, copy bytes, op codes) that compress and diff far better than the
// executable itself, and its travelling form, a stream set.
//
// Contract:
//  - EncodeProgram, WriteEncodedProgram, ReadEncodedProgram and AssembleProgram
//    are byte-exact: diffs made elsewhere are applied to the serialised form
//    and to the assembled bytes.
//  - Assembly appends to its output stream and reproduces the executable the
//    program was parsed from, relocation tables included. The output's
//    limit bounds what it holds on the way too: the bytes after a PE
//    relocation table, which wait until the table's size is known, may take
//    only what the output could still take (a failure there leaves the
//    output failed with LimitExceeded()).
//  - Every operation reports failure through its return value; allocation
//    failures are ordinary failures.
#ifndef VXPATCH_ENCODED_PROGRAM_H
#define VXPATCH_ENCODED_PROGRAM_H

#include <cstdint>
#include <memory>
#include <vector>

#include "assembly_program.h"
#include "streams.h"
#include "vxpatch/ensemble_status.h"

namespace vxpatch {

// Stream numbers of an encoded program's serialised form, written by the
// encoder and read by the assembler.
enum : size_t {
  kStreamBaseAndOrigins = 0,
  kStreamOps = 1,
  kStreamCopyBytes = 2,
  kStreamAbs32Ix = 3,
  kStreamRel32Ix = 4,
  kStreamAbs32Rvas = 5,
  kStreamRel32Rvas = 6,
  kStreamCopyCounts = 7,
  kStreamsRead = 9,  // streams 0 to 8 must be consumed; 8 is empty
};

enum OpCode : uint32_t {
  OP_ORIGIN = 0,
  OP_COPY = 1,
  OP_COPY1 = 2,
  OP_REL32 = 3,
  OP_ABS32 = 4,
  OP_PE_RELOCS = 5,
  OP_ELF_RELOCS = 6,
  OP_ELF_ARM_RELOCS = 7,
  OP_PE64_RELOCS = 8,
  // 0x1000 to 0x5FFF: compressed ARM branches (arm_branch.h).
};

struct EncodedProgram {
  uint32_t image_base = 0;
  std::vector<uint32_t> rel32_rvas;
  std::vector<uint32_t> abs32_rvas;
  std::vector<uint32_t> ops;
  std::vector<uint32_t> origins;
  std::vector<uint32_t> copy_counts;
  std::vector<uint8_t> copy_bytes;
  std::vector<uint32_t> rel32_ix;
  std::vector<uint32_t> abs32_ix;
  // Rebuilt by every assembly: the rva of every abs32 value written.
  std::vector<uint32_t> abs32_relocs;
};

// nullptr when encoding fails (memory, or a label without an index).
std::unique_ptr<EncodedProgram> EncodeProgram(const ParsedProgram& program);

// Writes streams 0 to 7 of `set`; STATUS_OK or STATUS_STREAM_ERROR.
Status WriteEncodedProgram(const EncodedProgram& program, OutputStreamSet* set);

// EncodeProgram and WriteEncodedProgram in one, without the tables in
// between: the same streams, the copy bytes copied once, from the parsed
// file. STATUS_OK, STATUS_GENERAL_ERROR where EncodeProgram fails, or
// STATUS_STREAM_ERROR.
Status WriteProgramStreams(const ParsedProgram& program, OutputStreamSet* set);
// The same for a program that is not needed afterwards: the pages of its
// instructions are given back as they are written, so that the streams grow
// into the room the program leaves. The program is destroyed.
Status WriteProgramStreams(std::unique_ptr<ParsedProgram> program, OutputStreamSet* set);

// STATUS_OK and the program, or STATUS_DESERIALIZATION_FAILED (nothing kept).
Status ReadEncodedProgram(InputStreamSet* set, std::unique_ptr<EncodedProgram>* program);

// Appends the executable's bytes to `output`; STATUS_OK or
// STATUS_ASSEMBLY_FAILED (the output's content is then undefined).
Status AssembleProgram(EncodedProgram* program, OutputStream* output);

// ReadEncodedProgram and AssembleProgram in one pass over the set, for the
// appliers: the operand tables are read where they lie instead of being
// copied out (only the label addresses are expanded, being indexed), so a
// program costs about its label tables beside its assembled bytes. The same
// results: STATUS_DESERIALIZATION_FAILED for a set ReadEncodedProgram refuses
// (checked before anything is appended), STATUS_ASSEMBLY_FAILED where
// AssembleProgram fails, else STATUS_OK and the same bytes. The set's
// buffer must outlive the call.
Status AssembleEncodedProgram(InputStreamSet* set, OutputStream* output);

}  // namespace vxpatch

#endif  // VXPATCH_ENCODED_PROGRAM_H
