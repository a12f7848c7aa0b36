// Big buffers: anonymous mappings aligned to huge pages, grown by moving
// pages (mremap) rather than copying bytes, so that a buffer that doubles
// towards a file's size neither copies what it holds nor touches fresh pages
// for the copy, and its huge pages stay whole where it moves.
#include "big_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

namespace vxpatch {
namespace {

constexpr uintptr_t kPage = 4096;
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

// `bytes` rounded up to whole pages; 0 when that overflows.
size_t Pages(size_t bytes) {
  if (bytes > std::numeric_limits<size_t>::max() - kPage) return 0;
  return (bytes + kPage - 1) & ~(kPage - 1);
}

// A fresh mapping of `length` (whole pages) starting on a 2 MiB boundary:
// a little more is mapped and the ends are given back.
void* MapAligned(size_t length) {
  if (length > std::numeric_limits<size_t>::max() - kHugePage) return nullptr;
  const size_t mapped = length + kHugePage;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const uintptr_t end = start + mapped;
  if (end > aligned + length) ::munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
  // Only advice: where it is refused, the buffer keeps small pages.
  if (length >= kHugePageBuffer) ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

void* AllocateBigBuffer(size_t bytes) {
  const size_t length = Pages(bytes);
  return length == 0 ? nullptr : MapAligned(length);
}

void* ResizeBigBuffer(void* memory, size_t old_bytes, size_t new_bytes) {
  const size_t old_length = Pages(old_bytes);
  const size_t new_length = Pages(new_bytes);
  if (!memory || old_length == 0 || new_length == 0) return nullptr;
  uint8_t* bytes = static_cast<uint8_t*>(memory);
  if (new_length <= old_length) {
    if (new_length < old_length) ::munmap(bytes + new_length, old_length - new_length);
    return memory;
  }
  // In place when the address space after it is free.
  if (::mremap(memory, old_length, new_length, 0) != MAP_FAILED) {
    if (new_length >= kHugePageBuffer) ::madvise(memory, new_length, MADV_HUGEPAGE);
    return memory;
  }
  // Otherwise the pages move onto the front of a fresh aligned mapping,
  // replacing its pages there.
  void* moved = MapAligned(new_length);
  if (!moved) return nullptr;
  if (::mremap(memory, old_length, old_length, MREMAP_MAYMOVE | MREMAP_FIXED, moved) == MAP_FAILED) {
    ::munmap(moved, new_length);
    return nullptr;
  }
  return moved;
}

void FreeBigBuffer(void* memory, size_t bytes) {
  if (memory) ::munmap(memory, Pages(bytes));
}

void AdviseHugePages(void* memory, size_t bytes) {
  constexpr size_t kSmallest = size_t{8} << 20;
  if (bytes < kSmallest) return;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(memory) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(memory) + bytes) & ~(kHugePage - 1);
  // Only advice: where it is refused, the buffer keeps small pages.
  if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

void ReleasePages(const void* from, const void* to) {
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  const uintptr_t page = static_cast<uintptr_t>(page_size);
  const uintptr_t start = (reinterpret_cast<uintptr_t>(from) + page - 1) & ~(page - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(to) & ~(page - 1);
  if (start < end) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

}  // namespace vxpatch
