// What the generator's statistics (ensemble_create.h) tell of the labels of
// the new program: how many there were, and how many were paired with labels
// of the old one.
#ifndef VXPATCH_LABEL_ALIGNMENT_STATS_H
#define VXPATCH_LABEL_ALIGNMENT_STATS_H

#include <cstddef>

namespace vxpatch {

struct LabelAlignmentStats {
  size_t rel32_labels = 0;
  size_t rel32_paired = 0;
  size_t abs32_labels = 0;
  size_t abs32_paired = 0;
};

}  // namespace vxpatch

#endif  // VXPATCH_LABEL_ALIGNMENT_STATS_H
