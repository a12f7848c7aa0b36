// The packed-file container: varint magic 132781929 (bytes E9 AE A8 3F),
// varint checksum of the unpacked file (ComputeChecksum), varint directive
// (1 plain, 2 executable form), then one LZMA2 block (lzmaioout.h) holding the
// payload. Bytes after the LZMA2 data are never read.
//
// This layer knows the plain form only. The executable form belongs to the
// executables layer above, which hands its two halves in (ExecutableFormHooks);
// vxpatch/packed_file.h there offers the container with every form.
//
// Contract:
//  - UnpackContainerFile(input, output, hooks): true only if the output file
//    was written completely and the checksum matched. Nothing is written to
//    the output path unless the content is complete and verified; an existing
//    file there is overwritten. Failures log one ERROR: "could not open lzma
//    file" (missing, unreadable or empty input), "could not read lzma header",
//    "not lzma file", "Unknown preprocessing dirrective" (also directive 2
//    without an unpack hook), "could not decompress file", "crc mismatch",
//    "could not write output file" (plus the block's own message where a
//    block fails).
//    The unpacked file may have at most `output_limit` bytes: a container
//    that would produce more fails as soon as that shows ("output would
//    exceed the limit of <n> bytes", then "could not decompress file" or the
//    executable form's message), and no buffer of the unpacking grows beyond
//    WorkLimit(output_limit) (output_limit.h). `over_limit`, when given,
//    tells whether a failure was the limit's. `progress`, when not empty,
//    follows the decoding and assembling (progress.h).
//  - PackContainerFile(input, output, hooks): writes a container; the
//    executable form when the pack hook is given and the form applies, else
//    the plain form. An empty input file packs to the container of no bytes.
//  - Paths are narrow byte strings (UTF-8). Reentrant.
#ifndef VXPATCH_CONTAINER_H
#define VXPATCH_CONTAINER_H

#include <cstddef>
#include <cstdint>

#include "streams.h"
#include "vxdiff.h"
#include "vxpatch/progress.h"

namespace vxpatch {

constexpr uint32_t kPackedFileMagic = 132781929;

enum PreprocessDirective : uint32_t {
  DIRECTIVE_PLAIN = 1,
  DIRECTIVE_EXECUTABLE = 2,
};

enum class ExecutablePackResult { kPacked, kUsePlainForm, kFailed };

// The executable form's halves (executable_form.h). `unpack` gets the payload
// positioned right after the header and places the file into `target` (a
// file, or the caller's stream); the container checks the checksum
// afterwards. `pack` gets the
// whole input and on kPacked leaves the complete container in `packed`. A null
// half: directive 2 is unknown (unpacking), or never tried (packing).
// `unpack` fills `progress` as it goes.
struct ExecutableFormHooks {
  bool (*unpack)(InputStream* payload, DiffTarget* target, size_t output_limit, const ProgressSpan& progress);
  ExecutablePackResult (*pack)(const uint8_t* data, size_t length, uint32_t checksum, OutputStream* packed);
};

bool UnpackContainerFile(const char* input_path, const char* output_path, const ExecutableFormHooks& hooks,
                         size_t output_limit, bool* over_limit = nullptr,
                         const ProgressFn& progress = ProgressFn());
bool PackContainerFile(const char* input_path, const char* output_path, const ExecutableFormHooks& hooks);

// The stream halves, for callers that hold the bytes already.
// UnpackContainerStream: the whole container in `packed`, the verified
// content appended to the empty `result`, whose limit becomes `output_limit`;
// same messages as the file form. A failure because of the limit leaves
// `result` failed with LimitExceeded(). `progress` is filled on success.
bool UnpackContainerStream(InputStream* packed, OutputStream* result, const ExecutableFormHooks& hooks,
                           size_t output_limit, ProgressSpan progress = ProgressSpan());
// PackPlainForm: appends the plain container of `data` to `packed`.
bool PackPlainForm(const uint8_t* data, size_t length, uint32_t checksum, OutputStream* packed);

}  // namespace vxpatch

#endif  // VXPATCH_CONTAINER_H
