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
//    checksum matched, and only then is anything written to the new path.
//  - Old and patch files are mapped, never copied; mappings are released on
//    every path. An empty old file is a valid old file (it cannot be mapped,
//    so it is read as no bytes).
//  - CreateEnsemblePatch writes a patch that ApplyEnsemblePatch turns into the
//    new file exactly; it checks that itself before writing.
#ifndef VXPATCH_ENSEMBLE_PATCH_H
#define VXPATCH_ENSEMBLE_PATCH_H

#include <cstdint>

#include "ensemble_status.h"
#include "streams.h"

namespace vxpatch {

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

Status ApplyEnsemblePatch(const oschar* old_path, const oschar* patch_path, const oschar* new_path);
// The old stream's remaining bytes are the old file; the result stream must
// be empty.
Status ApplyEnsemblePatch(InputStream* old_file, InputStream* patch, OutputStream* result);

Status CreateEnsemblePatch(const oschar* old_path, const oschar* new_path, const oschar* patch_path);
// Appends the patch to `patch`.
Status CreateEnsemblePatch(InputStream* old_file, InputStream* new_file, OutputStream* patch);

}  // namespace vxpatch

#endif  // VXPATCH_ENSEMBLE_PATCH_H
