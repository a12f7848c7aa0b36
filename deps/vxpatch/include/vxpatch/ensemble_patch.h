// Ensemble patches: turn an old file into its new version, working on the
// encoded form of the executables inside the old file so that address shifts
// between versions cost little patch space.
//
// Patch file: varints magic 7696195, version 20110216, ComputeChecksum of the
// old file, of the new file, and the prediction size; then one LZMA2 block
// holding a stream set: 0 element descriptions, 1 parameter correction,
// 2 element correction, 3 final correction (diff bodies without header).
//
// Contract:
//  - ApplyEnsemblePatch returns a Status; STATUS_OK only when the result's
//    checksum matched, and only then does a file appear at the new path (the
//    file entry writes the result into a file beside it and renames that
//    into place; on failure it is removed).
//    The new file may have at most `output_limit` bytes (L); with O the old
//    file's size, the body may announce at most 2 * (L + O) + 1 MiB, and
//    the buffers on the way (held body streams, corrected parameters,
//    encoded and corrected elements, reformed elements, what a correction
//    holds) together at most 4 * (L + O) + 1 MiB (docs/ensemble-patches.md,
//    "Peak memory"). A patch that would pass a limit fails as soon as that
//    shows with STATUS_OUTPUT_LIMIT ("output would exceed the limit of <n>
//    bytes" in the log).
//  - The body is decoded once, front to back, and used as it decodes: the
//    element descriptions and the parameter correction are held, raw
//    corrections are applied as their bytes arrive (only their control
//    section is held), corrections in an LZMA2 method are held and applied
//    whole. A body that fails to decode anywhere fails the patch with
//    STATUS_STREAM_ERROR, whatever the steps before the damage found.
//  - The prediction (the old file followed by the reformed elements) is
//    never joined in one buffer: the final correction reads the old file
//    where it is mapped. Reformed elements are assembled from the corrected
//    elements where they lie. The file entry never holds the new file: the
//    final correction writes it into the file in pieces.
//  - Old and patch files are mapped, never copied; mappings are released on
//    every path. An empty old file is a valid old file (it cannot be mapped,
//    so it is read as no bytes).
//  - `progress`, when not empty, follows the application step by step
//    (progress.h): the body's decoding, each element's transform, the
//    element correction, each element's assembly and the final correction,
//    each weighted by its bytes and its cost per byte.
//  - CreateEnsemblePatch writes a patch that ApplyEnsemblePatch turns into the
//    new file exactly; it checks that itself before writing.
#ifndef VXPATCH_ENSEMBLE_PATCH_H
#define VXPATCH_ENSEMBLE_PATCH_H

#include <cstddef>
#include <cstdint>

#include "vxpatch/ensemble_status.h"
#include "vxpatch/limits.h"
#include "vxpatch/progress.h"
#include "vxpatch/thread_budget.h"

namespace vxpatch {

class InputStream;
class OutputStream;

using oschar = char;

constexpr uint32_t kEnsembleMagic = 7696195;
constexpr uint32_t kEnsembleVersion = 20110216;

// Streams of the patch body.
enum EnsembleStream : size_t {
  kElementDescriptions = 0,
  kParameterCorrection = 1,
  kElementCorrection = 2,
  kFinalCorrection = 3,
  kEnsembleStreamCount = 4,
};

// `threads`: helpers the application may take besides the calling thread
// (null: none); the result does not depend on them.
Status ApplyEnsemblePatch(const oschar* old_path, const oschar* patch_path, const oschar* new_path,
                          size_t output_limit, const ProgressFn& progress = ProgressFn(),
                          ThreadBudget* threads = SharedThreadBudget());
// The old stream's remaining bytes are the old file; the result stream must
// be empty (its limit becomes `output_limit`). `progress` is the range the
// application fills.
Status ApplyEnsemblePatch(InputStream* old_file, InputStream* patch, OutputStream* result,
                          size_t output_limit, const ProgressSpan& progress = ProgressSpan(),
                          ThreadBudget* threads = nullptr);

Status CreateEnsemblePatch(const oschar* old_path, const oschar* new_path, const oschar* patch_path);
// Appends the patch to `patch`.
Status CreateEnsemblePatch(InputStream* old_file, InputStream* new_file, OutputStream* patch);

}  // namespace vxpatch

#endif  // VXPATCH_ENSEMBLE_PATCH_H
