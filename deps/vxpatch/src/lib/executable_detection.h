// Executable detection: which parser, in the fixed detection order, accepts
// some bytes, and the parse of those bytes into a program.
//
// Contract:
//  - FindDisassembler tries the parsers in the fixed detection order and
//    returns the first that accepts the headers. The order is part of the
//    format: it decides how an element is encoded.
//  - Nothing here throws; running out of memory reads as "not recognised"
//    (detection) or a failed disassembly (parse).
//  - This module sits above the parsers: they include disassembler.h, this
//    includes them.
#ifndef VXPATCH_EXECUTABLE_DETECTION_H
#define VXPATCH_EXECUTABLE_DETECTION_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "disassembler.h"

namespace vxpatch {

// The first parser, in detection order, whose ParseHeaders accepts the bytes;
// nullptr when none does (or memory runs out).
std::unique_ptr<Disassembler> FindDisassembler(const uint8_t* bytes, size_t length);

// STATUS_OK with the kind and the parser's length, or
// STATUS_INPUT_NOT_RECOGNIZED with kind 0 and length 0.
Status DetectExecutable(const uint8_t* bytes, size_t length, ExecutableKind* kind, size_t* detected_length);

// STATUS_OK and a program of the detected kind; STATUS_INPUT_NOT_RECOGNIZED
// when no parser accepts the bytes; STATUS_DISASSEMBLY_FAILED when parsing
// fails (the program is then discarded).
// `progress`, when given, covers 2 * length bytes of the parse.
Status ParseExecutable(const uint8_t* bytes, size_t length, std::unique_ptr<ParsedProgram>* program,
                       ProgressSpan* progress = nullptr);

}  // namespace vxpatch

#endif  // VXPATCH_EXECUTABLE_DETECTION_H
