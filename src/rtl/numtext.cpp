#include "rtl/numtext.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "rtl/decimal.h"
#include "rtl/error.h"

namespace rtl {
namespace {

// The decimal digits of a finite nonzero |value| rounded to at most 15 significant digits, with
// trailing zeros removed, and the decimal exponent of the first digit (value = d.ddd x 10^exp).
struct Digits15 {
  char digits[20];
  int count = 0;
  int exponent = 0;
};

Digits15 RoundTo15(double magnitude) {
  Digits15 d;
  char buf[40];
  // The shortest text that reads back as the value: when it has at most 15 significant digits it
  // is also the value rounded to 15 digits (the double lies within 0.12 units of the 15th digit
  // of that text, its 18-digit expansion too). Subnormal values carry fewer significant bits, so
  // their shortest text may be shorter than their rounding; they take the general way.
  auto r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
  const char* e = static_cast<const char*>(std::memchr(buf, 'e', r.ptr - buf));
  int mantissa_digits = static_cast<int>(e - buf) - (e - buf > 1 ? 1 : 0);
  if (mantissa_digits <= 15 && magnitude >= std::numeric_limits<double>::min()) {
    for (const char* p = buf; p < e; ++p) {
      if (*p != '.') d.digits[d.count++] = *p;
    }
    std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), r.ptr, d.exponent);
  } else {
    // The general way: the value's 18-digit expansion rounded to 15 digits, halves away from
    // zero (12345678901234.25 gives 12345678901234.3).
    decimal::Digits x = decimal::Eighteen(magnitude);
    decimal::RoundHalfAway(x, 15);
    d.count = static_cast<int>(x.digits.size());
    std::memcpy(d.digits, x.digits.data(), x.digits.size());
    d.exponent = x.point - 1;
  }
  while (d.count > 1 && d.digits[d.count - 1] == '0') --d.count;
  return d;
}

void AppendInt(std::string& out, long long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The decimal exponent of the first significant digit of a validated number text (no sign).
long long DecimalMagnitude(std::string_view body) {
  long long exponent = 0;
  const size_t epos = body.find_first_of("eE");
  if (epos != std::string_view::npos) {
    std::string_view e = body.substr(epos + 1);
    bool neg = !e.empty() && e.front() == '-';
    if (!e.empty() && (e.front() == '-' || e.front() == '+')) e.remove_prefix(1);
    for (char c : e) exponent = std::min<long long>(exponent * 10 + (c - '0'), 1000000000LL);
    if (neg) exponent = -exponent;
    body = body.substr(0, epos);
  }
  const size_t dot = body.find('.');
  std::string_view int_part = body.substr(0, dot);
  while (!int_part.empty() && int_part.front() == '0') int_part.remove_prefix(1);
  if (!int_part.empty()) return exponent + static_cast<long long>(int_part.size()) - 1;
  long long zeros = 0;
  if (dot != std::string_view::npos) {
    for (size_t k = dot + 1; k < body.size() && body[k] == '0'; ++k) ++zeros;
  }
  return exponent - zeros - 1;
}

}  // namespace

void AppendFloatText(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NAN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-INF" : "INF";
    return;
  }
  if (value == 0) {
    out += '0';
    return;
  }
  if (value < 0) out += '-';
  const Digits15 d = RoundTo15(std::fabs(value));
  if (d.exponent < -5 || d.exponent >= 15) {
    out += d.digits[0];
    if (d.count > 1) {
      out += '.';
      out.append(d.digits + 1, d.count - 1);
    }
    out += 'E';
    AppendInt(out, d.exponent);
    return;
  }
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-d.exponent - 1), '0');
    out.append(d.digits, d.count);
    return;
  }
  const int int_digits = d.exponent + 1;
  if (d.count <= int_digits) {
    out.append(d.digits, d.count);
    out.append(static_cast<size_t>(int_digits - d.count), '0');
  } else {
    out.append(d.digits, int_digits);
    out += '.';
    out.append(d.digits + int_digits, d.count - int_digits);
  }
}

std::string FloatToStr(double value) {
  std::string s;
  AppendFloatText(s, value);
  return s;
}

bool TryStrToFloat(std::string_view text, double& value) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  std::string_view t = text.substr(b, e - b);
  // Validate the whole form first: std::from_chars alone would accept "inf", "nan" and hex.
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  const size_t number_start = i;
  size_t digits = 0;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != t.size()) return false;
  // from_chars takes no '+' and rejects "5." and ".5" on some library versions: give it a
  // normalised copy when needed.
  std::string_view body = t.substr(number_start);
  std::string normal;
  if (!body.empty() && (body.front() == '.' || body.find(".e") != std::string_view::npos ||
                        body.find(".E") != std::string_view::npos || body.back() == '.')) {
    normal.reserve(body.size() + 2);
    if (body.front() == '.') normal += '0';
    for (size_t k = 0; k < body.size(); ++k) {
      normal += body[k];
      if (body[k] == '.' && (k + 1 == body.size() || body[k + 1] == 'e' || body[k + 1] == 'E'))
        normal += '0';
    }
    body = normal;
  }
  double v = 0;
  auto r = std::from_chars(body.data(), body.data() + body.size(), v);
  if (r.ec == std::errc::result_out_of_range) {
    // Too small reads as zero; too large is not a number a double can hold.
    if (DecimalMagnitude(body) >= 0) return false;
    v = 0;
  } else if (r.ec != std::errc() || r.ptr != body.data() + body.size()) {
    return false;
  }
  value = negative ? -v : v;
  return true;
}

double StrToFloat(std::string_view text) {
  double v = 0;
  if (!TryStrToFloat(text, v)) {
    throw ConvertError("'" + std::string(text) + "' is not a valid floating point value");
  }
  return v;
}

bool TryStrToInt64(std::string_view text, int64_t& value) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  std::string_view t = text.substr(b, e - b);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  if (t.empty() || t.front() == '+') return false;
  int64_t v = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
  value = v;
  return true;
}

std::string IntToStr(int64_t value) {
  std::string s;
  AppendInt(s, value);
  return s;
}

}  // namespace rtl
