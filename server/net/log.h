// The application server's log: one line per event on stderr, with time, level and the session
// it concerns. Lines from different threads never interleave.
#pragma once

#include <sstream>
#include <string>
#include <string_view>

namespace appserver {

enum class LogLevel { kDebug = 0, kInfo = 1, kWarning = 2, kError = 3, kOff = 4 };

// Process-wide threshold; messages below it are dropped. Starts at kInfo.
void SetLogLevel(LogLevel level);
LogLevel GetLogLevel();
// "debug", "info", "warning", "error", "off"; false for anything else.
bool ParseLogLevel(const std::string& text, LogLevel& level);

// Writes one line: control characters of `message` are escaped (server::EscapeForLog) and the
// message is cut to server::kMaxLogMessageBytes.
void WriteLog(LogLevel level, const std::string& message);

// Text that came from a client, made safe for one log line: control characters become '?',
// and it is cut to `max_bytes` bytes (marked with "...") without splitting a UTF-8 character.
std::string LogSafe(std::string_view text, std::size_t max_bytes = 80);

// LOG(kInfo) << "text" << value;  builds the line only when the level is enabled.
class LogLine {
 public:
  explicit LogLine(LogLevel level) : level_(level) {}
  ~LogLine() { WriteLog(level_, out_.str()); }
  template <typename T>
  LogLine& operator<<(const T& v) {
    out_ << v;
    return *this;
  }

 private:
  LogLevel level_;
  std::ostringstream out_;
};

// Turns the stream expression into void so that APPSERVER_LOG can sit in a ?: expression.
struct LogVoidify {
  void operator&(LogLine&) {}
};

}  // namespace appserver

// The expression is the left operand of a stream, so it is not wrapped in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define APPSERVER_LOG(level)                                  \
  (::appserver::LogLevel::level < ::appserver::GetLogLevel()) \
      ? (void)0                                               \
      : ::appserver::LogVoidify() & ::appserver::LogLine(::appserver::LogLevel::level)
// NOLINTEND(bugprone-macro-parentheses)
