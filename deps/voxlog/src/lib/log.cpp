// The engine log's registry of sinks and the process end on CRITICAL records.
#include "log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace voxlog {
namespace {

struct RegisteredSink {
  int handle;
  std::shared_ptr<const LogSink> sink;
};

struct Registry {
  std::mutex mutex;
  std::vector<RegisteredSink> sinks;
  int next_handle = 1;
  int level = LOG_DEVELOP;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

const char* LevelName(int level) {
  static const char* const kNames[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
  if (level < LOG_CRITICAL || level > LOG_DEVELOP) return "UNKNOWN";
  return kNames[level];
}

int EngineLog::AddSink(LogSink sink) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const int handle = registry.next_handle++;
  registry.sinks.push_back({handle, std::make_shared<const LogSink>(std::move(sink))});
  return handle;
}

void EngineLog::RemoveSink(int handle) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (auto it = registry.sinks.begin(); it != registry.sinks.end(); ++it) {
    if (it->handle == handle) {
      registry.sinks.erase(it);
      return;
    }
  }
}

void EngineLog::SetLevel(int level) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.level = level;
}

int EngineLog::Level() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.level;
}

void EngineLog::Write(int level, std::string_view message, std::string_view channel, int id) {
  // Anything below CRITICAL is treated as CRITICAL: a bogus level must not
  // quietly drop a record that was meant to stop the process.
  if (level < LOG_CRITICAL) level = LOG_CRITICAL;
  std::vector<std::shared_ptr<const LogSink>> receivers;
  try {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (level <= registry.level || level == LOG_CRITICAL) {
      receivers.reserve(registry.sinks.size());
      for (const RegisteredSink& entry : registry.sinks) receivers.push_back(entry.sink);
    }
  } catch (const std::bad_alloc&) {
    receivers.clear();
  }
  if (!receivers.empty()) {
    // Logging must never turn into a failure of its own: without memory for
    // the record it is dropped (a CRITICAL one still ends the process).
    try {
      LogRecord record;
      record.level = level;
      record.channel = std::string(channel);
      record.id = id;
      record.message = std::string(message);
      for (const auto& sink : receivers) (*sink)(record);
    } catch (const std::bad_alloc&) {
    }
  }
  if (level == LOG_CRITICAL) {
    // Other threads may still be running engine code, so skip static
    // destructors; flush what the sinks printed first.
    std::fflush(nullptr);
    std::_Exit(1);
  }
}

void EngineLog::AssertionFailed(const char* condition, const char* file, int line) {
  const char* shown = file;
  for (const char* found = std::strstr(file, "deps/"); found; found = std::strstr(found + 1, "deps/")) {
    shown = found;
  }
  char message[512];
  std::snprintf(message, sizeof message, "Assertion failed: %s, file %s, line %d", condition, shown, line);
  Write(LOG_CRITICAL, message);
  std::_Exit(1);  // not reached; Write ends the process
}

}  // namespace voxlog
