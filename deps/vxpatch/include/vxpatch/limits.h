// The most bytes an unpack or a patch application may produce is the
// caller's to say (packed_file.h, ensemble_patch.h): kNoOutputLimit says no
// limit. What the engine holds on the way is bounded by the limit given
// (docs/ensemble-patches.md).
#ifndef VXPATCH_LIMITS_H
#define VXPATCH_LIMITS_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

constexpr size_t kNoOutputLimit = SIZE_MAX;

}  // namespace vxpatch

#endif  // VXPATCH_LIMITS_H
