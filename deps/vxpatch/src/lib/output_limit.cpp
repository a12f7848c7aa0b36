#include "output_limit.h"

#include <cstdio>

#include "engine_log.h"

namespace vxpatch {

size_t SaturatingAdd(size_t a, size_t b) { return kNoOutputLimit - a < b ? kNoOutputLimit : a + b; }

size_t WorkLimit(size_t output_limit) {
  if (output_limit > (kNoOutputLimit - kWorkLimitSlack) / kWorkLimitFactor) return kNoOutputLimit;
  return output_limit * kWorkLimitFactor + kWorkLimitSlack;
}

void LogOutputLimit(size_t limit) {
  char message[96];
  std::snprintf(message, sizeof message, "output would exceed the limit of %zu bytes", limit);
  LogError(message);
}

}  // namespace vxpatch
