// Large buffers mapped straight from the kernel, for the growable buffers
// that hold whole files (OutputStream's among them).
//
// Contract:
//  - AllocateBigBuffer(bytes) maps a private, zeroed buffer of at least
//    `bytes` (> 0) bytes whose start lies on a 2 MiB boundary, and asks for
//    huge pages under it when it is kHugePageBuffer or larger: one fault per
//    2 MiB instead of one per 4 KiB page. Where huge pages are off or
//    refused it is an ordinary mapping. nullptr when the kernel refuses.
//  - ResizeBigBuffer(memory, old_bytes, new_bytes) makes it `new_bytes`
//    long, keeping the first min(old, new) bytes. It never copies: growth
//    extends the mapping in place or moves its pages to a new 2 MiB-aligned
//    place; shrinking gives the tail back. nullptr on failure, the buffer
//    then unchanged.
//  - FreeBigBuffer(memory, bytes) unmaps it (`bytes` as allocated or last
//    resized). Null is ignored.
//  - kBigBuffer: the size from which a buffer is worth a mapping of its own
//    (below it the C heap serves better). kHugePageBuffer: from there on a
//    buffer holds at least one whole huge page; one that is written only in
//    part costs at most the rest of the huge page it ends in.
//  - Thread-safe (system calls only); nothing logs.
//  - kMapBigBuffers: whether growable buffers use these at all. Not under
//    the address sanitizer, which watches only the C heap: there they stay
//    on the heap, so that a write past a buffer is caught.
#ifndef VXPATCH_BIG_BUFFER_H
#define VXPATCH_BIG_BUFFER_H

#include <cstddef>

namespace vxpatch {

constexpr size_t kBigBuffer = size_t{1} << 20;
constexpr size_t kHugePageBuffer = size_t{2} << 20;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapBigBuffers = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMapBigBuffers = false;
#else
constexpr bool kMapBigBuffers = true;
#endif
#else
constexpr bool kMapBigBuffers = true;
#endif

void* AllocateBigBuffer(size_t bytes);
void* ResizeBigBuffer(void* memory, size_t old_bytes, size_t new_bytes);
void FreeBigBuffer(void* memory, size_t bytes);

// Asks for huge pages under a buffer of 8 MiB or more from the C heap that is
// about to be written through or read at random (a decoder's dictionary, an
// encoder's match finder, a suffix array): one fault per 2 MiB instead of one
// per 4 KiB page, and far fewer misses of the address translation cache.
// Only advice; smaller buffers are left alone.
void AdviseHugePages(void* memory, size_t bytes);

// Gives the whole pages inside [from, to) back to the system; what they held
// is gone (they read as zeros if touched again). For large arrays read once,
// front to back, whose read part is not needed again.
void ReleasePages(const void* from, const void* to);

}  // namespace vxpatch

#endif  // VXPATCH_BIG_BUFFER_H
