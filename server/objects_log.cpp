#include "server/objects_log.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "server/text_rules.h"

namespace server {
namespace {

std::mutex& SinkMutex() {
  static std::mutex m;
  return m;
}
LogSink& Sink() {
  static LogSink sink;
  return sink;
}
LogLevel& MinLevel() {
  static LogLevel level = LogLevel::kInfo;
  return level;
}

const char* LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return "DEBUG";
    case LogLevel::kInfo:
      return "INFO";
    case LogLevel::kWarning:
      return "WARN";
    case LogLevel::kError:
      return "ERROR";
  }
  return "INFO";
}

}  // namespace

void SetLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}

void SetLogLevel(LogLevel level) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  MinLevel() = level;
}

void Log(LogLevel level, std::string_view message) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (Sink()) {
    Sink()(level, message);
    return;
  }
  if (level < MinLevel()) return;
  std::string line =
      std::string(LevelName(level)) + " " + EscapeForLog(message, kMaxLogMessageBytes) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace server
