// liblzma glue shared by the LZMA2 block's one-shot reader, its streaming
// reader (lzma2_block_reader.h) and its writer: the allocator the coders
// take their tables from, the decoder's start, the block header and the
// refusals that need no decoding, and the translation of liblzma's results
// into the LZMA SDK's numbering, which is what the log messages have always
// carried (lzmaioout.h lists the codes).
//
// Contract: private to the LZMA2 files; ReadBlockHeader, PlausibleBlock and
// LogDecodeFailure log as lzmaioout.h says, nothing else logs.
#ifndef VXPATCH_LZMA2_CODER_H
#define VXPATCH_LZMA2_CODER_H

#include <lzma.h>

#include <cstddef>
#include <cstdint>

#include "streams.h"

namespace vxpatch {

// LZMA SDK result codes as they appear in "Error uncompressing data <code>".
enum SdkResult : int {
  SDK_OK = 0,
  SDK_ERROR_DATA = 1,
  SDK_ERROR_MEM = 2,
  SDK_ERROR_UNSUPPORTED = 4,
  SDK_ERROR_INPUT_EOF = 6,
};

// Both coders' tables come from here (on huge pages where the system has
// them).
extern const lzma_allocator kCoderAllocator;

// The SDK code of a liblzma failure.
int SdkCodeFor(lzma_ret result, const lzma_stream& stream);
void LogDecodeFailure(int code);

// A raw LZMA2 decoder for a block of `unpacked_size` bytes.
lzma_ret StartDecoder(uint8_t properties, size_t unpacked_size, lzma_stream* stream);

// The block header: properties byte and announced size.
bool ReadBlockHeader(InputStream* input, uint8_t* properties, uint32_t* unpacked_size);
// Refusals that need no decoding: properties beyond the format, a size that
// the remaining input cannot produce.
bool PlausibleBlock(uint8_t properties, uint32_t unpacked_size, const InputStream& rest);

}  // namespace vxpatch

#endif  // VXPATCH_LZMA2_CODER_H
