// The LZMA2 block writer (lzmaioout.h): the block header, then the chunk
// stream, whole or in pieces (lzma2_piece_encoder.h).
#include <lzma.h>

#include <algorithm>
#include <limits>

#include "engine_log.h"
#include "lzma2_piece_encoder.h"
#include "lzmaioout.h"

namespace vxpatch {
namespace {

// Smallest piece of a block encoded in pieces: below it the cost of starting
// an encoder outweighs anything.
constexpr size_t kMinPiece = size_t{64} << 10;

}  // namespace

bool WriteLzma2Block(const uint8_t* data, size_t length, OutputStream* output, const Lzma2Tuning& tuning) {
  if (length > std::numeric_limits<uint32_t>::max()) {
    LogError("Error Lzma2Enc_Encode");
    return false;
  }
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 9 | (tuning.extreme ? LZMA_PRESET_EXTREME : 0))) {
    LogError("Error Lzma2Enc_SetProps");
    return false;
  }
  options.lc = tuning.literal_context_bits;
  options.pb = tuning.position_bits;
  // A dictionary larger than the data gains nothing and costs the encoder about
  // ten bytes of memory per dictionary byte (and the decoder the dictionary).
  if (options.dict_size > length) options.dict_size = static_cast<uint32_t>(length);
  if (options.dict_size > tuning.dictionary_limit) options.dict_size = tuning.dictionary_limit;
  if (options.dict_size < LZMA_DICT_SIZE_MIN) options.dict_size = LZMA_DICT_SIZE_MIN;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  uint32_t properties_size = 0;
  uint8_t properties = 0;
  if (lzma_properties_size(&properties_size, &filters[0]) != LZMA_OK || properties_size != 1 ||
      lzma_properties_encode(&filters[0], &properties) != LZMA_OK) {
    LogError("Error Lzma2Enc_SetProps");
    return false;
  }
  if (!output->WriteByte(properties) || !output->WriteSizeUVarint(length)) {
    LogError("Error Lzma2Enc_Encode");
    return false;
  }
  const size_t piece = std::max(tuning.piece_bytes, kMinPiece);
  const bool written = length / 2 > piece ? EncodePieces(options, data, length, piece, tuning.threads, output)
                                          : EncodeChunks(options, data, length, output);
  if (!written) LogError("Error Lzma2Enc_Encode");
  return written;
}

}  // namespace vxpatch
