#include "output_limit.h"

#include <cstdio>

#include "engine_log.h"

namespace vxpatch {

size_t SaturatingAdd(size_t a, size_t b) { return kNoOutputLimit - a < b ? kNoOutputLimit : a + b; }

size_t ScaledLimit(size_t bytes, size_t factor) {
  if (factor != 0 && bytes > (kNoOutputLimit - kWorkLimitSlack) / factor) return kNoOutputLimit;
  return bytes * factor + kWorkLimitSlack;
}

size_t WorkLimit(size_t output_limit) { return ScaledLimit(output_limit, kWorkLimitFactor); }

void LogOutputLimit(size_t limit) {
  char message[96];
  std::snprintf(message, sizeof message, "output would exceed the limit of %zu bytes", limit);
  LogError(message);
}

}  // namespace vxpatch
