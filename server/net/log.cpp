#include "server/net/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "server/text_rules.h"

namespace appserver {
namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};

const char* LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return "DEBUG";
    case LogLevel::kInfo:
      return "INFO";
    case LogLevel::kWarning:
      return "WARNING";
    case LogLevel::kError:
      return "ERROR";
    case LogLevel::kOff:
      break;
  }
  return "";
}

}  // namespace

void SetLogLevel(LogLevel level) {
  g_level = static_cast<int>(level);
}
LogLevel GetLogLevel() {
  return static_cast<LogLevel>(g_level.load());
}

bool ParseLogLevel(const std::string& text, LogLevel& level) {
  static const std::pair<const char*, LogLevel> kNames[] = {{"debug", LogLevel::kDebug},
                                                            {"info", LogLevel::kInfo},
                                                            {"warning", LogLevel::kWarning},
                                                            {"error", LogLevel::kError},
                                                            {"off", LogLevel::kOff}};
  for (const auto& [name, l] : kNames) {
    if (text == name) {
      level = l;
      return true;
    }
  }
  return false;
}

std::string LogSafe(std::string_view text, std::size_t max_bytes) {
  std::string out;
  bool cut = text.size() > max_bytes;
  if (cut) {
    std::size_t n = max_bytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    text = text.substr(0, n);
  }
  out.reserve(text.size() + 3);
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    out.push_back(u < 0x20 || u == 0x7F ? '?' : c);
  }
  if (cut) out += "...";
  return out;
}

void WriteLog(LogLevel level, const std::string& message) {
  if (level < GetLogLevel() || level == LogLevel::kOff) return;
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  static std::mutex mu;
  std::lock_guard<std::mutex> lock(mu);
  // One event, one line: whatever a message quotes of a client's text cannot end the line or
  // make it unbounded.
  const std::string line = server::EscapeForLog(message, server::kMaxLogMessageBytes);
  std::fprintf(stderr, "%s.%03d %-7s %s\n", stamp, ms, LevelName(level), line.c_str());
  std::fflush(stderr);
}

}  // namespace appserver
