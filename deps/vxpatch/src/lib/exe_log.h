// Log glue of the executable layer, on top of the engine's log helpers.
#ifndef VXPATCH_EXE_LOG_H
#define VXPATCH_EXE_LOG_H

#include <string>
#include <string_view>

#include "engine_log.h"

namespace vxpatch {

// The engine's marker for states that should be impossible but are handled;
// detail follows the marker without a separator.
inline void LogUnreachable(int level, std::string_view detail) {
  std::string text = "REACHED UNREACHABLE";
  text.append(detail);
  voxlog::EngineLog::Write(level, text);
}

}  // namespace vxpatch

#endif  // VXPATCH_EXE_LOG_H
