// The packed-file container: varint magic 132781929 (bytes E9 AE A8 3F),
// varint checksum of the unpacked file (ComputeChecksum), varint directive
// (1 plain, 2 executable form), then one LZMA2 block (lzmaioout.h) holding the
// payload. Bytes after the LZMA2 data are never read.
//
// Contract:
//  - UnpackLzmaFile(input, output): true only if the output file was written
//    completely and the checksum matched. Nothing is written to the output path
//    unless the content is complete and verified; an existing file there is
//    overwritten. Failures log one ERROR: "could not open lzma file" (missing,
//    unreadable or empty input), "could not read lzma header", "not lzma file",
//    "Unknown preprocessing dirrective", "could not decompress file",
//    "crc mismatch", "could not write output file" (plus the block's own
//    message where a block fails).
//  - PackLzmaFile(input, output, preprocess): writes a container; plain form
//    unless `preprocess` and the executable form applies. An empty input file
//    packs to the container of no bytes.
//  - WriteWholeFile: true only if the file could be created or truncated, all
//    bytes were written and it was closed without error; a file that cannot be
//    opened is a failure whatever the length. A partly written file is removed.
//  - Paths are narrow byte strings (UTF-8). Reentrant.
#ifndef VXPATCH_PACKED_FILE_H
#define VXPATCH_PACKED_FILE_H

#include <cstddef>
#include <cstdint>

#include "streams.h"

namespace vxpatch {

constexpr uint32_t kPackedFileMagic = 132781929;

enum PreprocessDirective : uint32_t {
  DIRECTIVE_PLAIN = 1,
  DIRECTIVE_EXECUTABLE = 2,
};

bool UnpackLzmaFile(const char* input_path, const char* output_path);
bool PackLzmaFile(const char* input_path, const char* output_path, bool preprocess);

// The stream halves of the two, for callers that hold the bytes already.
// UnpackLzmaStream: the whole container in `packed`, the verified content
// appended to the empty `result`; same messages as UnpackLzmaFile.
bool UnpackLzmaStream(InputStream* packed, OutputStream* result);
// PackPlainForm: appends the plain container of `data` to `packed`.
bool PackPlainForm(const uint8_t* data, size_t length, uint32_t checksum, OutputStream* packed);

[[nodiscard]] bool WriteWholeFile(const char* path, const uint8_t* data, size_t length);

}  // namespace vxpatch

#endif  // VXPATCH_PACKED_FILE_H
