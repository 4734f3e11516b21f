#include "data/values.h"

#include <cmath>

#include "rtl/error.h"
#include "rtl/gbk.h"
#include "rtl/numtext.h"

namespace data::internal {
namespace {

[[noreturn]] void ThrowNotInteger(std::string_view text) {
  throw rtl::ConvertError("'" + std::string(text) + "' is not a valid integer value");
}

int64_t RoundToInteger(double d) {
  double r = std::nearbyint(d);  // the default rounding mode: halves to even
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) {
    throw rtl::ConvertError(rtl::FloatToStr(d) + " is not a valid integer value");
  }
  return static_cast<int64_t>(r);
}

}  // namespace

std::vector<std::string> SplitNames(std::string_view list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string_view::npos) end = list.size();
    std::string_view name = list.substr(start, end - start);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (!name.empty()) names.emplace_back(name);
    start = end + 1;
  }
  return names;
}

bool IsNoValue(const Value& v) {
  return v.is_null() || (v.is_text() && v.text().empty());
}

std::string ValueText(const Value& v) {
  if (v.is_text()) return v.text();
  if (v.is_float()) return rtl::FloatToStr(v.float_value());
  if (v.is_integer()) return rtl::IntToStr(v.integer());
  if (v.is_date()) return rtl::DateToStr(v.date());
  return std::string();
}

double ValueFloat(const Value& v) {
  if (v.is_float()) return v.float_value();
  if (v.is_integer()) return static_cast<double>(v.integer());
  if (v.is_date()) return v.date().value;
  if (v.is_text() && !v.text().empty()) return rtl::StrToFloat(v.text());
  return 0;
}

int64_t ValueInteger(const Value& v) {
  if (v.is_integer()) return v.integer();
  if (v.is_float()) return RoundToInteger(v.float_value());
  if (v.is_date()) return static_cast<int64_t>(std::trunc(v.date().value));
  if (v.is_text() && !v.text().empty()) {
    int64_t i = 0;
    if (rtl::TryStrToInt64(v.text(), i)) return i;
    double d = 0;
    if (rtl::TryStrToFloat(v.text(), d)) return RoundToInteger(d);
    ThrowNotInteger(v.text());
  }
  return 0;
}

rtl::DateTime ValueDate(const Value& v) {
  if (v.is_date()) return v.date();
  if (v.is_float()) return rtl::DateTime{v.float_value()};
  if (v.is_integer()) return rtl::DateTime{static_cast<double>(v.integer())};
  if (v.is_text() && !v.text().empty()) return rtl::StrToDateTime(v.text());
  return rtl::DateTime{};
}

bool Coerce(const Value& v, FieldType type, Value& out) {
  if (v.is_null()) {
    out = Value();
    return true;
  }
  switch (type) {
    case FieldType::Text:
      out = v.is_text() ? v : Value::Text(ValueText(v));
      return true;
    case FieldType::Float: {
      if (v.is_float()) {
        out = v;
        return true;
      }
      double d = 0;
      if (v.is_text()) {
        if (v.text().empty()) {
          out = Value();
          return true;
        }
        if (!rtl::TryStrToFloat(v.text(), d)) return false;
      } else {
        d = ValueFloat(v);
      }
      out = Value::Float(d);
      return true;
    }
    case FieldType::DateTime: {
      if (v.is_date()) {
        out = v;
        return true;
      }
      rtl::DateTime d;
      if (v.is_text()) {
        if (v.text().empty()) {
          out = Value();
          return true;
        }
        if (!rtl::TryIsoToDateTime(v.text(), d) && !rtl::TryStrToDateTime(v.text(), d)) {
          return false;
        }
      } else {
        d = ValueDate(v);
      }
      out = Value::Date(d);
      return true;
    }
    case FieldType::Integer: {
      if (v.is_integer()) {
        out = v;
        return true;
      }
      if (v.is_text() && v.text().empty()) {
        out = Value();
        return true;
      }
      try {
        out = Value::Integer(ValueInteger(v));
      } catch (const rtl::ConvertError&) {
        return false;
      }
      return true;
    }
    case FieldType::Nested:
      return false;
  }
  return false;
}

bool MakeProbe(const Value& v, FieldType type, Probe& probe) {
  Value c;
  if (!Coerce(v, type, c)) return false;
  probe.null = c.is_null();
  probe.text.clear();
  probe.bits = 0;
  if (c.is_null()) return true;
  switch (type) {
    case FieldType::Text:
      probe.text = c.text();
      break;
    case FieldType::Float:
      probe.bits = DoubleBits(c.float_value());
      break;
    case FieldType::DateTime:
      probe.bits = DoubleBits(c.date().value);
      break;
    case FieldType::Integer:
      probe.bits = static_cast<uint64_t>(c.integer());
      break;
    case FieldType::Nested:
      return false;
  }
  return true;
}

Value ParseText(std::string_view text, FieldType type, int width) {
  if (text.empty()) return Value();
  switch (type) {
    case FieldType::Text:
      if (width > 0 && rtl::GbkLength(text) > static_cast<size_t>(width)) {
        return Value::Text(rtl::GbkTruncate(text, width));
      }
      return Value::Text(std::string(text));
    case FieldType::Float:
      return Value::Float(rtl::StrToFloat(text));
    case FieldType::DateTime:
      return Value::Date(rtl::StrToDateTime(text));
    case FieldType::Integer: {
      int64_t i = 0;
      if (!rtl::TryStrToInt64(text, i)) ThrowNotInteger(text);
      return Value::Integer(i);
    }
    case FieldType::Nested:
      break;
  }
  return Value();
}

}  // namespace data::internal
