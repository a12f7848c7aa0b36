// Glue shared by the LZMA2 block's one-shot reader, its streaming reader
// (lzma2_block_reader.h) and its writer: the allocator liblzma's encoders
// take their tables from, the start of the engine's decoder
// (lzma2_decoder.h), the block header and the refusals that need no
// decoding, and the translation of the decoder's results into the LZMA
// SDK's numbering, which is what the log messages have always carried
// (lzmaioout.h lists the codes).
//
// Contract: private to the LZMA2 files; ReadBlockHeader, PlausibleBlock and
// LogDecodeFailure log as lzmaioout.h says, nothing else logs.
#ifndef VXPATCH_LZMA2_CODER_H
#define VXPATCH_LZMA2_CODER_H

#include <lzma.h>

#include <cstddef>
#include <cstdint>

#include "lzma2_decoder.h"
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

// The encoders' tables come from here (on huge pages where the system has
// them).
extern const lzma_allocator kCoderAllocator;

// The SDK code of a decoder's failure.
int SdkCodeFor(Lzma2Decoder::Result result);
void LogDecodeFailure(int code);

// Starts `decoder` on the chunks of a block of `unpacked_size` bytes that
// lie in `data`; false (SDK_ERROR_MEM) when there is no memory for it.
bool StartDecoder(uint8_t properties, size_t unpacked_size, const InputStream& data, Lzma2Decoder* decoder);

// The block header: properties byte and announced size.
bool ReadBlockHeader(InputStream* input, uint8_t* properties, uint32_t* unpacked_size);
// Refusals that need no decoding: properties beyond the format, a size that
// the remaining input cannot produce.
bool PlausibleBlock(uint8_t properties, uint32_t unpacked_size, const InputStream& rest);

}  // namespace vxpatch

#endif  // VXPATCH_LZMA2_CODER_H
