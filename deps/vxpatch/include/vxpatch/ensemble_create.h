// Options and statistics of the ensemble patch generator.
//
// The generator weighs two candidates, the plain patch (no elements) and the
// element patch, and by default keeps the smaller one that applies; a caller
// can ask for one of them (the element patch falls back to the plain one
// when the files have no pair of elements or it does not apply).
//
// Statistics tell where the bytes of a patch go: the sizes of both
// candidates, the one kept, how many labels of the new program were paired
// with old ones, and per body stream (and per table of the encoded program
// inside the element correction) the raw length and what that part alone
// compresses to. Those sizes show shares and do not add up to the patch
// size; they cost extra compression, so they are filled only when asked for.
#ifndef VXPATCH_ENSEMBLE_CREATE_H
#define VXPATCH_ENSEMBLE_CREATE_H

#include <cstddef>
#include <string>
#include <vector>

#include "vxpatch/ensemble_patch.h"
#include "vxpatch/label_alignment_stats.h"
#include "vxpatch/thread_budget.h"

namespace vxpatch {

struct EnsemblePatchPart {
  std::string name;
  size_t raw_bytes = 0;
  size_t compressed_bytes = 0;
};

struct EnsemblePatchStats {
  size_t patch_bytes = 0;
  size_t element_patch_bytes = 0;  // 0: no element patch could be made
  size_t plain_patch_bytes = 0;    // 0: not made
  size_t elements = 0;             // elements of the patch kept
  LabelAlignmentStats labels;
  std::vector<EnsemblePatchPart> parts;  // of the patch kept
};

enum class PatchChoice { kSmallest, kPlain, kElements };

// CreateEnsemblePatch with a choice of candidate; `stats` may be null.
// `threads`, if given, lends the generator threads for its long steps beside
// the caller's; the patch is the same whatever it lends.
Status CreateEnsemblePatch(InputStream* old_file, InputStream* new_file, OutputStream* patch,
                           PatchChoice choice, EnsemblePatchStats* stats, ThreadBudget* threads = nullptr);
Status CreateEnsemblePatch(const oschar* old_path, const oschar* new_path, const oschar* patch_path,
                           ThreadBudget* threads);

}  // namespace vxpatch

#endif  // VXPATCH_ENSEMBLE_CREATE_H
