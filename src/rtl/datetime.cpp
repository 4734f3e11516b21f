#include "rtl/datetime.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "rtl/error.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace rtl {
namespace {

// Days from 0001-01-01 to 1899-12-30 in the proleptic Gregorian calendar.
constexpr long long kDeltaTo1899 = 693593;

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days since 0001-01-01 (day 0) of a valid date.
long long DayNumber(int y, int m, int d) {
  long long days = 0;
  const long long py = y - 1;
  days = py * 365 + py / 4 - py / 100 + py / 400;
  for (int i = 1; i < m; ++i) days += DaysInMonth(y, i);
  return days + d - 1;
}

void CivilFromDayNumber(long long n, int& y, int& m, int& d) {
  // Algorithm from the day count since 0001-01-01 (n >= 0).
  long long n400 = n / 146097, r = n % 146097;
  long long n100 = r / 36524;
  if (n100 == 4) n100 = 3;
  r -= n100 * 36524;
  long long n4 = r / 1461;
  r %= 1461;
  long long n1 = r / 365;
  if (n1 == 4) n1 = 3;
  r -= n1 * 365;
  y = static_cast<int>(n400 * 400 + n100 * 100 + n4 * 4 + n1 + 1);
  m = 1;
  while (r >= DaysInMonth(y, m)) r -= DaysInMonth(y, m++);
  d = static_cast<int>(r) + 1;
}

std::string& FormatSlot() {
  static std::string format = SystemShortDateFormat();
  return format;
}

enum class Part { Year, Month, Day };

struct ParsedFormat {
  Part order[3] = {Part::Year, Part::Month, Part::Day};
  char separator = '/';
};

ParsedFormat ParseFormat(std::string_view format) {
  ParsedFormat f;
  int n = 0;
  bool have_sep = false;
  for (size_t i = 0; i < format.size();) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
    if (c == 'y' || c == 'm' || c == 'd') {
      const Part p = c == 'y' ? Part::Year : c == 'm' ? Part::Month : Part::Day;
      if (n < 3) f.order[n++] = p;
      while (i < format.size() && std::tolower(static_cast<unsigned char>(format[i])) == c) {
        ++i;
      }
    } else {
      if (!have_sep && c != ' ' && c != '\'' && c != '"') {
        f.separator = format[i];
        have_sep = true;
      }
      ++i;
    }
  }
  return f;
}

void AppendNumber(std::string& out, int v, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, v);
  out += buf;
}

bool ReadNumber(std::string_view text, size_t& i, int max_digits, int& value, int& digits) {
  value = 0;
  digits = 0;
  while (i < text.size() && digits < max_digits && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i++] - '0');
    ++digits;
  }
  return digits > 0;
}

void SkipBlanks(std::string_view text, size_t& i) {
  while (i < text.size() && text[i] == ' ') ++i;
}

// Reads the date part at `i`; leaves `i` after it.
bool ScanDate(std::string_view text, size_t& i, DateTime& value) {
  const ParsedFormat f = ParseFormat(ShortDateFormat());
  int parts[3] = {0, 0, 0};
  int year_digits = 0;
  SkipBlanks(text, i);
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      if (i >= text.size() || text[i] != f.separator) return false;
      ++i;
    }
    int v = 0, digits = 0;
    const bool year = f.order[k] == Part::Year;
    if (!ReadNumber(text, i, year ? 4 : 2, v, digits)) return false;
    if (year) {
      if (digits != 4 && digits != 2) return false;
      year_digits = digits;
    }
    parts[static_cast<int>(f.order[k])] = v;
  }
  int year = parts[0];
  if (year_digits == 2) year += year < 50 ? 2000 : 1900;
  return TryEncodeDate(year, parts[1], parts[2], value);
}

}  // namespace

bool TryEncodeDate(int year, int month, int day, DateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return false;
  }
  out.value = static_cast<double>(DayNumber(year, month, day) - kDeltaTo1899);
  return true;
}

DateTime EncodeDate(int year, int month, int day) {
  DateTime t;
  if (!TryEncodeDate(year, month, day, t)) throw ConvertError("Invalid argument to date encode");
  return t;
}

DateTime EncodeDateTime(const DateParts& p) {
  DateTime date = EncodeDate(p.year, p.month, p.day);
  if (p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 || p.second < 0 || p.second > 59 ||
      p.millisecond < 0 || p.millisecond > 999) {
    throw ConvertError("Invalid argument to time encode");
  }
  const double time =
      (((p.hour * 60.0 + p.minute) * 60.0 + p.second) * 1000.0 + p.millisecond) / 86400000.0;
  // Before the zero date the whole part is the day and the fraction still counts forward.
  date.value = date.value >= 0 ? date.value + time : date.value - time;
  return date;
}

// The day numbers of 0001-01-01 and 9999-12-31.
constexpr double kFirstDay = -693593;
constexpr double kLastDay = 2958465;

bool IsValidDateTime(DateTime value) {
  if (!std::isfinite(value.value)) return false;
  const double day = std::trunc(value.value);
  return day >= kFirstDay && day <= kLastDay;
}

DateParts DecodeDateTime(DateTime value) {
  if (!IsValidDateTime(value)) throw ConvertError("Invalid date: outside the years 1 to 9999");
  DateParts p;
  const double day = std::trunc(value.value);
  CivilFromDayNumber(static_cast<long long>(day) + kDeltaTo1899, p.year, p.month, p.day);
  long long ms = std::llround(std::fabs(value.value - day) * 86400000.0);
  if (ms >= 86400000) ms = 86399999;
  p.hour = static_cast<int>(ms / 3600000);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.millisecond = static_cast<int>(ms % 1000);
  return p;
}

long long CalendarDay(DateTime value) {
  if (!(value.value >= kFirstDay)) return static_cast<long long>(kFirstDay) - 1;  // NaN too
  if (value.value >= kLastDay + 1) return static_cast<long long>(kLastDay) + 1;
  return static_cast<long long>(std::trunc(value.value));
}

DateTime DateOf(DateTime value) {
  return DateTime{std::trunc(value.value)};
}

DateTime Now() {
  DateParts p;
#ifdef _WIN32
  SYSTEMTIME st;
  GetLocalTime(&st);
  p.year = st.wYear;
  p.month = st.wMonth;
  p.day = st.wDay;
  p.hour = st.wHour;
  p.minute = st.wMinute;
  p.second = st.wSecond;
  p.millisecond = st.wMilliseconds;
#else
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  p.year = tm.tm_year + 1900;
  p.month = tm.tm_mon + 1;
  p.day = tm.tm_mday;
  p.hour = tm.tm_hour;
  p.minute = tm.tm_min;
  p.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  p.millisecond = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
#endif
  return EncodeDateTime(p);
}

DateTime Today() {
  return DateOf(Now());
}

std::string SystemShortDateFormat() {
#ifdef _WIN32
  wchar_t buf[80];
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SSHORTDATE, buf, 80) > 0) {
    std::string s;
    for (const wchar_t* p = buf; *p; ++p) {
      if (*p < 128) s += static_cast<char>(*p);
    }
    // Keep only what the module's formats know: y, M, d and the separators.
    std::string out;
    for (char c : s) {
      if (c == 'M') c = 'm';
      if (c == 'y' || c == 'm' || c == 'd' || c == '/' || c == '-' || c == '.') out += c;
    }
    if (out.find('y') != std::string::npos && out.find('m') != std::string::npos &&
        out.find('d') != std::string::npos) {
      return out;
    }
  }
#endif
  return "yyyy/m/d";
}

const std::string& ShortDateFormat() {
  return FormatSlot();
}

void SetShortDateFormat(std::string format) {
  FormatSlot() = std::move(format);
}

std::string FormatDate(std::string_view format, DateTime value) {
  const DateParts p = DecodeDateTime(value);
  std::string out;
  for (size_t i = 0; i < format.size();) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
    if (c == 'y' || c == 'm' || c == 'd') {
      size_t n = 0;
      while (i < format.size() && std::tolower(static_cast<unsigned char>(format[i])) == c) {
        ++i;
        ++n;
      }
      if (c == 'y') {
        if (n <= 2) {
          AppendNumber(out, p.year % 100, 2);
        } else {
          AppendNumber(out, p.year, 4);
        }
      } else {
        AppendNumber(out, c == 'm' ? p.month : p.day, n >= 2 ? 2 : 1);
      }
    } else {
      out += format[i++];
    }
  }
  return out;
}

std::string DateToStr(DateTime value) {
  return FormatDate(ShortDateFormat(), value);
}

bool TryStrToDate(std::string_view text, DateTime& value) {
  size_t i = 0;
  DateTime v;
  if (!ScanDate(text, i, v)) return false;
  SkipBlanks(text, i);
  if (i != text.size()) return false;
  value = v;
  return true;
}

DateTime StrToDate(std::string_view text) {
  DateTime v;
  if (!TryStrToDate(text, v)) throw ConvertError("'" + std::string(text) + "' is not a valid date");
  return v;
}

bool TryStrToDateTime(std::string_view text, DateTime& value) {
  size_t i = 0;
  DateTime date;
  if (!ScanDate(text, i, date)) return false;
  SkipBlanks(text, i);
  if (i == text.size()) {
    value = date;
    return true;
  }
  DateParts p = DecodeDateTime(date);
  int digits = 0;
  if (!ReadNumber(text, i, 2, p.hour, digits)) return false;
  if (i >= text.size() || text[i] != ':') return false;
  ++i;
  if (!ReadNumber(text, i, 2, p.minute, digits) || digits != 2) return false;
  if (i < text.size() && text[i] == ':') {
    ++i;
    if (!ReadNumber(text, i, 2, p.second, digits) || digits != 2) return false;
  }
  SkipBlanks(text, i);
  if (i != text.size() || p.hour > 23 || p.minute > 59 || p.second > 59) return false;
  value = EncodeDateTime(p);
  return true;
}

DateTime StrToDateTime(std::string_view text) {
  DateTime v;
  if (!TryStrToDateTime(text, v)) {
    throw ConvertError("'" + std::string(text) + "' is not a valid date and time");
  }
  return v;
}

std::string DateTimeToIso(DateTime value) {
  const DateParts p = DecodeDateTime(value);
  char buf[40];
  if (p.hour == 0 && p.minute == 0 && p.second == 0 && p.millisecond == 0) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month, p.day);
  } else if (p.millisecond == 0) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                  p.minute, p.second);
  } else {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day,
                  p.hour, p.minute, p.second, p.millisecond);
  }
  return buf;
}

bool TryIsoToDateTime(std::string_view text, DateTime& value) {
  DateParts p;
  size_t i = 0;
  int digits = 0;
  if (!ReadNumber(text, i, 4, p.year, digits) || digits != 4) return false;
  if (i >= text.size() || text[i++] != '-') return false;
  if (!ReadNumber(text, i, 2, p.month, digits) || digits != 2) return false;
  if (i >= text.size() || text[i++] != '-') return false;
  if (!ReadNumber(text, i, 2, p.day, digits) || digits != 2) return false;
  if (i < text.size() && (text[i] == ' ' || text[i] == 'T')) {
    ++i;
    if (!ReadNumber(text, i, 2, p.hour, digits) || digits != 2) return false;
    if (i >= text.size() || text[i++] != ':') return false;
    if (!ReadNumber(text, i, 2, p.minute, digits) || digits != 2) return false;
    if (i < text.size() && text[i] == ':') {
      ++i;
      if (!ReadNumber(text, i, 2, p.second, digits) || digits != 2) return false;
      if (i < text.size() && text[i] == '.') {
        ++i;
        int frac = 0;
        if (!ReadNumber(text, i, 3, frac, digits)) return false;
        while (digits++ < 3) frac *= 10;
        p.millisecond = frac;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
      }
    }
  }
  if (i != text.size()) return false;
  DateTime d;
  if (!TryEncodeDate(p.year, p.month, p.day, d)) return false;
  if (p.hour > 23 || p.minute > 59 || p.second > 59) return false;
  value = EncodeDateTime(p);
  return true;
}

}  // namespace rtl
