// The LZMA2 block read at once, and its extent found without decoding (see
// lzmaioout.h).
#include "lzmaioout.h"

#include "engine_log.h"
#include "lzma2_coder.h"
#include "output_limit.h"

namespace vxpatch {
namespace {

// First growth of a decoded block's output; later growth doubles.
constexpr size_t kDecodeStep = size_t{64} << 10;

// Decodes the block's data from `input` onto `output`, `unpacked_size` bytes
// at most. The output grows with what the decoder produces (doubling, from a
// small first step), never by the announced size at once: a block that
// announces gigabytes and ends early costs only what it really held. Returns
// an SDK code; on SDK_OK *consumed and *produced are set. On failure the
// output keeps its length (or is failed, when it could not grow).
int DecodeRaw(uint8_t properties, const InputStream& input, size_t unpacked_size, OutputStream* output,
              size_t* consumed, size_t* produced, ProgressSpan* progress) {
  Lzma2Decoder decoder;
  if (!StartDecoder(properties, unpacked_size, input, &decoder)) return SDK_ERROR_MEM;
  const size_t base = output->Length();
  size_t done = 0;
  int code = SDK_OK;
  Lzma2Decoder::Result result = Lzma2Decoder::kDone;
  while (done < unpacked_size && result == Lzma2Decoder::kDone) {
    const size_t wanted = unpacked_size - done;
    if (!output->EnsureSpare(wanted < kDecodeStep ? wanted : kDecodeStep)) {
      code = SDK_ERROR_MEM;
      break;
    }
    size_t room = output->SpareCapacity() < wanted ? output->SpareCapacity() : wanted;
    // Decoding in steps of a report lets a watcher see a large block move.
    if (progress && progress->Active() && room > kProgressStep) room = kProgressStep;
    size_t filled = 0;
    result = decoder.Decode(output->Spare(), room, &filled);
    output->Commit(filled);
    done += filled;
    if (progress) progress->Advance(filled);
  }
  // The end marker must follow the last byte.
  if (code == SDK_OK && result == Lzma2Decoder::kDone) result = decoder.Finish(consumed);
  if (code == SDK_OK && result != Lzma2Decoder::kDone) code = SdkCodeFor(result);
  *produced = done;
  if (code != SDK_OK && !output->Failed()) output->Truncate(base);
  return code;
}

}  // namespace

uint32_t Lzma2BlockSize(const InputStream& input) {
  InputStream header = input;
  uint8_t properties = 0;
  uint32_t unpacked_size = 0;
  if (!header.ReadByte(&properties) || !header.ReadUVarint(&unpacked_size)) return 0;
  return unpacked_size;
}

bool ReadLzma2Block(InputStream* input, OutputStream* output, ProgressSpan* progress) {
  const InputStream start = *input;
  uint8_t properties = 0;
  uint32_t unpacked_size = 0;
  if (!ReadBlockHeader(input, &properties, &unpacked_size)) {
    *input = start;
    return false;
  }
  if (output->Failed()) {
    *input = start;
    LogError("unable to allocate sink space");
    return false;
  }
  // Refused before anything is decoded: the announced size is what the block
  // must produce, so a block beyond the limit can only fail.
  if (!output->WithinLimit(unpacked_size)) {
    *input = start;
    LogOutputLimit(output->Limit());
    return false;
  }
  if (!PlausibleBlock(properties, unpacked_size, *input)) {
    *input = start;
    return false;
  }
  size_t consumed = 0;
  size_t produced = 0;
  const int code = DecodeRaw(properties, *input, unpacked_size, output, &consumed, &produced, progress);
  if (code == SDK_ERROR_MEM && output->Failed()) {
    *input = start;
    LogError("unable to allocate sink space");
    return false;
  }
  if (code != SDK_OK || produced != unpacked_size) {
    if (code == SDK_OK) output->Truncate(output->Length() - produced);
    *input = start;
    LogDecodeFailure(code);
    return false;
  }
  input->Skip(consumed);
  return true;
}

bool Lzma2BlockExtent(const InputStream& input, size_t* bytes) {
  InputStream in = input;
  uint8_t properties = 0;
  uint32_t unpacked_size = 0;
  if (!in.ReadByte(&properties) || !in.ReadUVarint(&unpacked_size)) return false;
  uint64_t total = 0;
  for (;;) {
    // Chunk headers: 0 the end; 1 and 2 a stored chunk (size - 1 in two
    // bytes); 0x80 and up an LZMA chunk (unpacked size - 1 in the low five
    // bits and two bytes, packed size - 1 in two bytes, a properties byte
    // from 0xC0 on).
    uint8_t control = 0;
    uint8_t sizes[4] = {};
    if (!in.ReadByte(&control)) return false;
    if (control == 0) break;
    if (control == 1 || control == 2) {
      if (!in.Read(sizes, 2)) return false;
      const size_t stored = ((size_t{sizes[0]} << 8) | sizes[1]) + 1;
      if (!in.Skip(stored)) return false;
      total += stored;
      continue;
    }
    if (control < 0x80 || !in.Read(sizes, 4)) return false;
    total += ((size_t{control & 0x1Fu} << 16) | (size_t{sizes[0]} << 8) | sizes[1]) + 1;
    const size_t packed = ((size_t{sizes[2]} << 8) | sizes[3]) + 1;
    if ((control >= 0xC0 && !in.Skip(1)) || !in.Skip(packed)) return false;
  }
  if (total != unpacked_size) return false;
  *bytes = in.Position();
  return true;
}

}  // namespace vxpatch
