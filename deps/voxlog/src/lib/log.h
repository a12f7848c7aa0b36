// The engine log: levelled records handed to registered sinks.
//
// Contract:
//  - A record is (level, channel, id, message). Levels run from 0 CRITICAL
//    (worst) to 5 DEVELOP (chattiest). Records at or below the configured level
//    (default LOG_DEVELOP, i.e. all) are handed to every registered sink; sinks
//    filter further themselves. With no sink registered records reach nobody.
//  - A level-0 record ends the process with exit status 1 after every sink has
//    seen it. The engine writes level 0 only through VOXLOG_ASSERT, for violated
//    internal assertions; the message names the condition, file and line.
//  - Thread-safe: sinks may be added or removed while other threads log. A sink
//    runs on the logging thread, outside the registry lock, so it may log itself.
//  - Write never throws: a record that cannot be built for lack of memory is
//    dropped. Exceptions thrown by a sink are the sink's own business.
//  - The engine always uses the empty channel and id 0.
#ifndef VOXLOG_LOG_H
#define VOXLOG_LOG_H

#include <functional>
#include <string>
#include <string_view>

namespace voxlog {

enum LogLevel : int {
  LOG_CRITICAL = 0,
  LOG_ERROR = 1,
  LOG_WARNING = 2,
  LOG_DEBUG = 3,
  LOG_INFO = 4,
  LOG_DEVELOP = 5,
};

// "CRITICAL", "ERROR", ... "DEVELOP"; "UNKNOWN" outside 0..5.
const char* LevelName(int level);

struct LogRecord {
  int level = LOG_ERROR;
  std::string channel;
  int id = 0;
  std::string message;
};

using LogSink = std::function<void(const LogRecord&)>;

class EngineLog {
 public:
  // Registers a sink; the returned handle removes it again.
  static int AddSink(LogSink sink);
  static void RemoveSink(int handle);

  static void SetLevel(int level);
  static int Level();

  static void Write(int level, std::string_view message,
                    std::string_view channel = {}, int id = 0);

  // Hands a CRITICAL record "Assertion failed: <condition>, file <file>, line
  // <line>" to the sinks and ends the process with status 1. The file is shown
  // from its "deps/" component on, so messages do not depend on the checkout.
  [[noreturn]] static void AssertionFailed(const char* condition, const char* file, int line);
};

}  // namespace voxlog

#define VOXLOG_ASSERT(condition)                                                  \
  do {                                                                            \
    if (!(condition)) ::voxlog::EngineLog::AssertionFailed(#condition, __FILE__, __LINE__); \
  } while (0)

#endif  // VOXLOG_LOG_H
