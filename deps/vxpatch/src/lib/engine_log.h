// The engine's side of the log: every engine message uses the empty channel and
// id 0, so the engine writes through these helpers only.
#ifndef VXPATCH_ENGINE_LOG_H
#define VXPATCH_ENGINE_LOG_H

#include <string>
#include <string_view>

#include "log.h"

namespace vxpatch {

inline void LogError(std::string_view message) { voxlog::EngineLog::Write(voxlog::LOG_ERROR, message); }
inline void LogWarning(std::string_view message) { voxlog::EngineLog::Write(voxlog::LOG_WARNING, message); }
inline void LogDebug(std::string_view message) { voxlog::EngineLog::Write(voxlog::LOG_DEBUG, message); }

// The engine's marker for states that should be impossible but are handled;
// detail follows the marker without a separator.
inline void LogUnreachable(int level, std::string_view detail) {
  std::string text = "REACHED UNREACHABLE";
  text.append(detail);
  voxlog::EngineLog::Write(level, text);
}

}  // namespace vxpatch

#endif  // VXPATCH_ENGINE_LOG_H
