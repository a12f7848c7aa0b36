// Packing and unpacking of whole files. The input is mapped, never copied; the
// output file is written once, at the end, and only with verified content.
#include "container.h"

#include <cstdio>
#include <new>

#include "checksum.h"
#include "engine_log.h"
#include "lzmaioout.h"
#include "mapped_file.h"

namespace vxpatch {

namespace {

bool WriteResult(const char* output_path, const OutputStream& result) {
  if (!WriteWholeFile(output_path, result.Buffer(), result.Length())) {
    LogError("could not write output file");
    return false;
  }
  return true;
}

}  // namespace

bool UnpackContainerStream(InputStream* packed, OutputStream* result, const ExecutableFormHooks& hooks,
                           size_t output_limit, ProgressSpan progress) {
  result->SetLimit(output_limit);
  uint32_t magic = 0;
  uint32_t checksum = 0;
  uint32_t directive = 0;
  if (!packed->ReadUVarint(&magic) || !packed->ReadUVarint(&checksum) || !packed->ReadUVarint(&directive)) {
    LogError("could not read lzma header");
    return false;
  }
  if (magic != kPackedFileMagic) {
    LogError("not lzma file");
    return false;
  }
  if (directive == DIRECTIVE_PLAIN) {
    ProgressSpan decoding = progress.Part(0, 1, 1, Lzma2BlockSize(*packed));
    if (!ReadLzma2Block(packed, result, &decoding)) {
      LogError("could not decompress file");
      return false;
    }
  } else if (directive == DIRECTIVE_EXECUTABLE && hooks.unpack) {
    if (!hooks.unpack(packed, result, output_limit, progress)) return false;
  } else {
    LogError("Unknown preprocessing dirrective");
    return false;
  }
  if (result->Failed() || !ChecksumMatches(result->Buffer(), result->Length(), checksum)) {
    LogError("crc mismatch");
    return false;
  }
  progress.Finish();
  return true;
}

bool UnpackContainerFile(const char* input_path, const char* output_path, const ExecutableFormHooks& hooks,
                         size_t output_limit, bool* over_limit, const ProgressFn& progress) {
  if (over_limit) *over_limit = false;
  try {
    MappedFile input;
    if (!input.Open(input_path)) {
      LogError("could not open lzma file");
      return false;
    }
    InputStream packed(input.Data(), input.Length());
    OutputStream result;
    ProgressMeter meter(&progress, kProgressUnits);
    meter.Reach(0);
    if (!UnpackContainerStream(&packed, &result, hooks, output_limit,
                               ProgressSpan(&meter, 0, kProgressUnits, kProgressUnits))) {
      if (over_limit) *over_limit = result.LimitExceeded();
      return false;
    }
    return WriteResult(output_path, result);
  } catch (const std::bad_alloc&) {
    LogError("out of memory");
    return false;
  }
}

bool PackPlainForm(const uint8_t* data, size_t length, uint32_t checksum, OutputStream* packed) {
  if (!packed->WriteUVarint(kPackedFileMagic)) {
    LogError("could not write magic");
    return false;
  }
  if (!packed->WriteUVarint(checksum)) {
    LogError("could not write crc");
    return false;
  }
  if (!packed->WriteUVarint(DIRECTIVE_PLAIN)) {
    LogError("could not write preprocess directive");
    return false;
  }
  if (!WriteLzma2Block(data, length, packed)) {
    LogError("could not compress file");
    return false;
  }
  return true;
}

bool PackContainerFile(const char* input_path, const char* output_path, const ExecutableFormHooks& hooks) {
  try {
    MappedFile input;
    // An empty file cannot be mapped, but it is a perfectly good input: it
    // packs to the container of no bytes.
    if (!input.Open(input_path) && !input.OpenedEmpty()) {
      LogError("could not open file");
      return false;
    }
    const uint8_t* data = input.Data();
    const size_t length = input.Length();
    const uint32_t checksum = ComputeChecksum(data, length);
    OutputStream packed;
    bool use_plain_form = true;
    if (hooks.pack && length > 0) {
      switch (hooks.pack(data, length, checksum, &packed)) {
        case ExecutablePackResult::kPacked:
          use_plain_form = false;
          break;
        case ExecutablePackResult::kUsePlainForm:
          packed.Retire();
          break;
        case ExecutablePackResult::kFailed:
          return false;
      }
    }
    if (use_plain_form && !PackPlainForm(data, length, checksum, &packed)) return false;
    return WriteResult(output_path, packed);
  } catch (const std::bad_alloc&) {
    LogError("out of memory");
    return false;
  }
}

bool WriteWholeFile(const char* path, const uint8_t* data, size_t length) {
  if (!path) return false;
  std::FILE* file = std::fopen(path, "wb");
  if (!file) return false;
  const size_t written = length == 0 ? 0 : std::fwrite(data, 1, length, file);
  // fclose reports write errors that buffering kept back (a full disk).
  const bool closed = std::fclose(file) == 0;
  if (written != length || !closed) {
    std::remove(path);
    return false;
  }
  return true;
}

}  // namespace vxpatch
