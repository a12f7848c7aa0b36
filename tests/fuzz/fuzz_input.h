// Splitting one fuzz input into the two inputs of an apply: a 2-byte length
// of the first part, then the first part, then the rest.
#ifndef VX_FUZZ_INPUT_H
#define VX_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>

namespace vxfuzz {

// Output limit of every target: large enough for what small inputs make,
// small enough that a bomb is refused quickly.
constexpr size_t kOutputLimit = size_t{16} << 20;

struct TwoParts {
  const uint8_t* first = nullptr;
  size_t first_size = 0;
  const uint8_t* second = nullptr;
  size_t second_size = 0;
};

inline TwoParts Split(const uint8_t* data, size_t size) {
  TwoParts parts;
  if (size < 2) {
    parts.second = data;
    parts.second_size = size;
    return parts;
  }
  size_t first = static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8;
  if (first > size - 2) first = size - 2;
  parts.first = data + 2;
  parts.first_size = first;
  parts.second = data + 2 + first;
  parts.second_size = size - 2 - first;
  return parts;
}

}  // namespace vxfuzz

#endif  // VX_FUZZ_INPUT_H
