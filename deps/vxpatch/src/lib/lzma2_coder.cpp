// liblzma glue of the LZMA2 block (see lzma2_coder.h).
#include "lzma2_coder.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "big_buffer.h"
#include "engine_log.h"

namespace vxpatch {
namespace {

constexpr uint8_t kMaxDictionaryProperty = 40;
constexpr uint64_t kMaxChunkOutput = uint64_t{2} << 20;
constexpr uint64_t kMinChunkInput = 6;

// An encoder's match finder is reached at random all over its tables, which
// ask for huge pages: one fault per 2 MiB instead of one per 4 KiB page, and
// far fewer misses of the address translation cache.
void* AllocateForCoder(void*, size_t count, size_t size) {
  if (size != 0 && count > std::numeric_limits<size_t>::max() / size) return nullptr;
  const size_t bytes = count * size;
  void* memory = std::malloc(bytes);
  if (memory) AdviseHugePages(memory, bytes);
  return memory;
}

void FreeForCoder(void*, void* memory) { std::free(memory); }

uint32_t DictionarySizeFromProperty(uint8_t property) {
  if (property == kMaxDictionaryProperty) return std::numeric_limits<uint32_t>::max();
  return (2u | (property & 1u)) << (property / 2 + 11);
}

// The most bytes an LZMA2 chunk stream of `input_bytes` can decode to. Valid
// blocks never exceed it; it keeps a few bytes from reserving gigabytes.
uint64_t MaxDecodableSize(size_t input_bytes) {
  return (static_cast<uint64_t>(input_bytes) / kMinChunkInput + 1) * kMaxChunkOutput;
}

}  // namespace

const lzma_allocator kCoderAllocator = {AllocateForCoder, FreeForCoder, nullptr};

void LogDecodeFailure(int code) {
  char message[48];
  std::snprintf(message, sizeof message, "Error uncompressing data %d", code);
  LogError(message);
}

int SdkCodeFor(Lzma2Decoder::Result result) {
  switch (result) {
    case Lzma2Decoder::kEnded: return SDK_OK;  // the data ended before the announced size
    case Lzma2Decoder::kInputEnded: return SDK_ERROR_INPUT_EOF;
    default: return SDK_ERROR_DATA;
  }
}

bool StartDecoder(uint8_t properties, size_t unpacked_size, const InputStream& data, Lzma2Decoder* decoder) {
  // Output never refers back further than what was produced, so a window of
  // the output's size decodes every valid block, whatever the properties
  // byte claims, without reserving the claimed (up to 4 GiB) dictionary.
  const uint64_t claimed = DictionarySizeFromProperty(properties);
  const size_t window = static_cast<size_t>(claimed < unpacked_size ? claimed : unpacked_size);
  return decoder->Start(window, data.Current(), data.Remaining());
}

bool ReadBlockHeader(InputStream* input, uint8_t* properties, uint32_t* unpacked_size) {
  if (!input->ReadByte(properties)) {
    LogError("Error read LZMA2 properties");
    return false;
  }
  if (!input->ReadUVarint(unpacked_size)) {
    LogError("Error read LZMA2 unpack size");
    return false;
  }
  return true;
}

bool PlausibleBlock(uint8_t properties, uint32_t unpacked_size, const InputStream& rest) {
  if (properties > kMaxDictionaryProperty) {
    LogDecodeFailure(SDK_ERROR_UNSUPPORTED);
    return false;
  }
  if (unpacked_size > MaxDecodableSize(rest.Remaining())) {
    LogDecodeFailure(SDK_ERROR_INPUT_EOF);
    return false;
  }
  return true;
}

}  // namespace vxpatch
