// CheckedBytes: the one reader through which the executable parsers look at
// bytes that come from outside (a mapped file, an element of a patch).
//
// Contract: every read names an offset and a width and fails (returns false,
// leaves the output untouched) unless the whole field lies inside the view.
// Values are little-endian. The view does not own the bytes.
#ifndef VXPATCH_CHECKED_BYTES_H
#define VXPATCH_CHECKED_BYTES_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

class CheckedBytes {
 public:
  CheckedBytes() = default;
  CheckedBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

  // True when [offset, offset + length) lies inside the view.
  bool Contains(uint64_t offset, uint64_t length) const {
    return offset <= size_ && size_ - offset >= length;
  }

  bool U8(uint64_t offset, uint8_t* out) const { return Little(offset, 1, out); }
  bool U16(uint64_t offset, uint16_t* out) const { return Little(offset, 2, out); }
  bool U32(uint64_t offset, uint32_t* out) const { return Little(offset, 4, out); }
  bool U64(uint64_t offset, uint64_t* out) const { return Little(offset, 8, out); }

  // Pointer to [offset, offset + length), or nullptr when outside the view.
  const uint8_t* Slice(uint64_t offset, uint64_t length) const {
    return Contains(offset, length) ? data_ + offset : nullptr;
  }

 private:
  template <typename T>
  bool Little(uint64_t offset, unsigned width, T* out) const {
    if (!Contains(offset, width)) return false;
    T value = 0;
    for (unsigned i = width; i-- > 0;) value = static_cast<T>((value << 8) | data_[offset + i]);
    *out = value;
    return true;
  }

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace vxpatch

#endif  // VXPATCH_CHECKED_BYTES_H
