// Logging of the server objects: a process-wide sink with levels. By default messages go to
// stderr as "LEVEL message", one line each (control characters escaped, cut to a bounded length,
// see server/text_rules.h); the application server may route them into its own log, which does
// the same.
#pragma once

#include <functional>
#include <string_view>

namespace server {

enum class LogLevel { kDebug = 0, kInfo = 1, kWarning = 2, kError = 3 };

using LogSink = std::function<void(LogLevel level, std::string_view message)>;

// Replaces the sink (an empty function restores the stderr default). Thread-safe.
void SetLogSink(LogSink sink);
// Messages below this level are dropped by the default sink (default: kInfo).
void SetLogLevel(LogLevel level);
void Log(LogLevel level, std::string_view message);

}  // namespace server
