// zlib's table-driven CRC-32 does the work; only its final inversion is undone.
#include "checksum.h"

#include <zlib.h>

namespace vxpatch {

uint32_t ComputeChecksum(const uint8_t* data, size_t length) {
  if (length == 0) return 0;
  const uLong crc = crc32_z(crc32_z(0L, Z_NULL, 0), data, static_cast<z_size_t>(length));
  return ~static_cast<uint32_t>(crc);
}

bool ChecksumMatches(const uint8_t* data, size_t length, uint32_t expected) {
  if (length == 0) return expected == 0 || expected == 0xFFFFFFFFu;
  return ComputeChecksum(data, length) == expected;
}

}  // namespace vxpatch
