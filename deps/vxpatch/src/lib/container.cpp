// Packing and unpacking of whole files. The input is mapped, never copied; the
// output appears under its name only complete and verified. Both forms
// unpack straight into the output file; packing builds the container in
// memory.
#include "container.h"

#include <new>

#include "checksum.h"
#include "engine_log.h"
#include "lzma2_block_reader.h"
#include "lzmaioout.h"
#include "mapped_file.h"
#include "output_file.h"

namespace vxpatch {

namespace {

// What the plain form decodes at a time on its way to the file.
constexpr size_t kUnpackPiece = size_t{1} << 20;

// The output appears under its name complete or not at all.
bool WriteResult(const char* output_path, const OutputStream& result) {
  OutputFile output;
  if (!output.Create(output_path) || !output.Write(0, result.Buffer(), result.Length()) ||
      !output.Commit(result.Length())) {
    LogError("could not write output file");
    return false;
  }
  return true;
}

bool ReadContainerHeader(InputStream* packed, uint32_t* checksum, uint32_t* directive) {
  uint32_t magic = 0;
  if (!packed->ReadUVarint(&magic) || !packed->ReadUVarint(checksum) || !packed->ReadUVarint(directive)) {
    LogError("could not read lzma header");
    return false;
  }
  if (magic != kPackedFileMagic) {
    LogError("not lzma file");
    return false;
  }
  return true;
}

// The unpacked file takes its place only when its checksum matched.
bool CommitIfMatches(OutputFile* output, bool matches, size_t size, ProgressSpan* progress) {
  if (!matches) {
    LogError("crc mismatch");
    return false;
  }
  if (!output->Commit(size)) {
    LogError("could not write output file");
    return false;
  }
  progress->Finish();
  return true;
}

// The plain form decoded straight into the output file, a piece at a time:
// the file is never held in memory.
bool UnpackPlainToFile(const InputStream& packed, uint32_t checksum, const char* output_path, size_t output_limit,
                       bool* over_limit, ProgressSpan progress) {
  Lzma2BlockReader block;
  if (!block.Open(packed, output_limit)) {
    *over_limit = block.LimitExceeded();
    LogError("could not decompress file");
    return false;
  }
  OutputFile output;
  if (!output.Create(output_path)) {
    LogError("could not write output file");
    return false;
  }
  OutputStream piece;
  if (!piece.Reserve(block.Size() < kUnpackPiece ? block.Size() : kUnpackPiece)) {
    LogError("unable to allocate sink space");
    return false;
  }
  ProgressSpan decoding = progress.Part(0, 1, 1, block.Size());
  for (size_t done = 0; done < block.Size();) {
    const size_t part = block.Size() - done < kUnpackPiece ? block.Size() - done : kUnpackPiece;
    if (!block.Read(piece.MutableBuffer(), part)) {
      LogError("could not decompress file");
      return false;
    }
    if (!output.Write(done, piece.Buffer(), part)) {
      LogError("could not write output file");
      return false;
    }
    decoding.Advance(part);
    done += part;
  }
  size_t consumed = 0;
  if (!block.Finish(&consumed)) {
    LogError("could not decompress file");
    return false;
  }
  uint32_t actual = 0;
  if (!output.Checksum(block.Size(), &actual)) {
    LogError("could not write output file");
    return false;
  }
  // As ChecksumMatches: no bytes pass with either stored form of nothing.
  const bool matches = block.Size() == 0 ? checksum == 0 || checksum == 0xFFFFFFFFu : actual == checksum;
  return CommitIfMatches(&output, matches, block.Size(), &progress);
}

// The executable form unpacked straight into the output file: the file is
// never held in memory.
bool UnpackExecutableToFile(InputStream* payload, uint32_t checksum, const char* output_path,
                            const ExecutableFormHooks& hooks, size_t output_limit, bool* over_limit,
                            ProgressSpan progress) {
  OutputFile output;
  if (!output.Create(output_path)) {
    LogError("could not write output file");
    return false;
  }
  FileTarget target(&output, output_limit);
  const bool unpacked = hooks.unpack(payload, &target, output_limit, progress);
  *over_limit = target.LimitExceeded();
  if (!unpacked) return false;
  return CommitIfMatches(&output, target.MatchesChecksum(checksum), target.Size(), &progress);
}

}  // namespace

bool UnpackContainerStream(InputStream* packed, OutputStream* result, const ExecutableFormHooks& hooks,
                           size_t output_limit, ProgressSpan progress) {
  result->SetLimit(output_limit);
  uint32_t checksum = 0;
  uint32_t directive = 0;
  if (!ReadContainerHeader(packed, &checksum, &directive)) return false;
  if (directive == DIRECTIVE_PLAIN) {
    ProgressSpan decoding = progress.Part(0, 1, 1, Lzma2BlockSize(*packed));
    if (!ReadLzma2Block(packed, result, &decoding)) {
      LogError("could not decompress file");
      return false;
    }
  } else if (directive == DIRECTIVE_EXECUTABLE && hooks.unpack) {
    StreamTarget target(result);
    if (!hooks.unpack(packed, &target, output_limit, progress)) return false;
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
    ProgressMeter meter(&progress, kProgressUnits);
    meter.Reach(0);
    const ProgressSpan whole(&meter, 0, kProgressUnits, kProgressUnits);
    InputStream header = packed;
    uint32_t checksum = 0;
    uint32_t directive = 0;
    if (!ReadContainerHeader(&header, &checksum, &directive)) return false;
    bool limit_failure = false;
    bool unpacked = false;
    if (directive == DIRECTIVE_PLAIN) {
      unpacked = UnpackPlainToFile(header, checksum, output_path, output_limit, &limit_failure, whole);
    } else if (directive == DIRECTIVE_EXECUTABLE && hooks.unpack) {
      unpacked = UnpackExecutableToFile(&header, checksum, output_path, hooks, output_limit, &limit_failure, whole);
    } else {
      LogError("Unknown preprocessing dirrective");
    }
    if (over_limit) *over_limit = limit_failure;
    return unpacked;
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

}  // namespace vxpatch
