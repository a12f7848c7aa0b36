// The engine checksum: the bitwise complement of the standard CRC-32
// (reflected polynomial 0xEDB88320, initial 0xFFFFFFFF, final XOR 0xFFFFFFFF),
// i.e. the CRC register before its final inversion. "abc" gives 0xCADBBE3D;
// no bytes give 0. Thread-safe.
#ifndef VXPATCH_CHECKSUM_H
#define VXPATCH_CHECKSUM_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

uint32_t ComputeChecksum(const uint8_t* data, size_t length);

// The standard CRC-32 carried on over more bytes, as zlib's crc32 counts it
// (start from 0); ComputeChecksum is the complement of its result.
uint32_t UpdateCrc32(uint32_t crc, const uint8_t* data, size_t length);

// The standard CRC-32 of two runs of bytes one after the other, from the
// CRC-32 of each (as UpdateCrc32 from 0) and the length of the second.
uint32_t CombineCrc32(uint32_t first, uint32_t second, size_t second_length);

// Whether stored `expected` vouches for the bytes. No bytes carry checksum 0;
// a writer that took "complement of the CRC-32" literally stores 0xFFFFFFFF
// for them instead, and with nothing to protect both are accepted.
bool ChecksumMatches(const uint8_t* data, size_t length, uint32_t expected);

}  // namespace vxpatch

#endif  // VXPATCH_CHECKSUM_H
