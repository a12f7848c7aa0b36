// Parser base.
#include "disassembler.h"

namespace vxpatch {

Disassembler::Disassembler(const uint8_t* start, size_t length) : length_(length), start_(start) {}

Disassembler::~Disassembler() = default;

}  // namespace vxpatch
