#include "windows/audit_rules.h"

#include <cmath>
#include <limits>

#include "rtl/money.h"
#include "rtl/numtext.h"
#include "rtl/quoted.h"

namespace windows::audit {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads "[blanks][sign](digits | $hex | 0xhex)" as a whole number; false for anything else,
// trailing characters included, or a magnitude beyond 32 bits.
bool ReadWholeNumber(std::string_view text, int64_t& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    int digit =
        base == 16 ? HexValue(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (digit < 0) return false;
    magnitude = magnitude * base + digit;
    if (magnitude > 0xFFFFFFFFLL) return false;
  }
  value = negative ? -magnitude : magnitude;
  return true;
}

}  // namespace

WarningColor ParseWarningColor(std::string_view text) {
  WarningColor result;
  if (std::optional<widgets::Color> named = widgets::IdentToColor(text)) {
    if (*named == widgets::kClNone) {
      result.kind = WarningColor::Kind::kNone;
    } else {
      result.kind = WarningColor::Kind::kColor;
      result.color = *named;
    }
    return result;
  }
  int64_t number = 0;
  if (ReadWholeNumber(text, number) && number >= 0 && number <= 0xFFFFFF) {
    result.kind = WarningColor::Kind::kColor;
    result.color = static_cast<widgets::Color>(number);
  }
  return result;
}

int32_t StockWhole(double value) {
  if (!std::isfinite(value)) return 0;
  // nearbyint rounds in the default mode: to nearest, halves to even.
  double whole = std::nearbyint(value);
  if (whole < static_cast<double>(std::numeric_limits<int32_t>::min()) ||
      whole > static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return 0;
  }
  return static_cast<int32_t>(whole);
}

int32_t StockWhole(int64_t value) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return 0;
  }
  return static_cast<int32_t>(value);
}

std::optional<widgets::Color> StockTextColor(int32_t stock, int32_t upper,
                                             std::string_view upper_color, int32_t lower,
                                             std::string_view lower_color) {
  WarningColor chosen;
  if (stock > upper) {
    chosen = ParseWarningColor(upper_color);
  } else if (stock < lower) {
    chosen = ParseWarningColor(lower_color);
  } else {
    return widgets::kClBlack;
  }
  if (chosen.kind != WarningColor::Kind::kColor) return std::nullopt;
  return chosen.color;
}

LineAmounts AmountsForPrice(double price, double quantity, double rate_percent) {
  using rtl::Extended;
  LineAmounts result;
  const Extended product = static_cast<Extended>(price) * static_cast<Extended>(quantity);
  const double amount = static_cast<double>(product);
  if (!std::isfinite(amount)) return result;
  result.amount = amount;
  const Extended r = static_cast<Extended>(rate_percent) / 100.0L;
  const Extended divisor = r + 1.0L;
  if (divisor == 0.0L || !std::isfinite(divisor)) return result;
  const Extended tax = static_cast<Extended>(amount) * r / divisor;
  if (!std::isfinite(tax) || std::fabs(tax) > std::numeric_limits<double>::max()) return result;
  const double rounded = rtl::RoundMoney(tax);
  if (std::isfinite(rounded)) result.tax = rounded;
  return result;
}

std::string StockDecrement(double quantity, std::string_view goods, std::string_view warehouse) {
  std::string s = "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(";
  rtl::AppendFloatText(s, quantity);
  s += ") WHERE SPDM00=";
  rtl::AppendQuoted(s, goods);
  s += " AND CKDM00=";
  rtl::AppendQuoted(s, warehouse);
  s += " AND KCBZ00='YW'";
  return s;
}

void AppendLineStatements(std::string& batch, double quantity, std::string_view goods,
                          std::string_view warehouse) {
  batch += '!';
  batch += StockDecrement(quantity, goods, "0B");
  batch += '!';
  batch += StockDecrement(quantity, goods, warehouse);
}

}  // namespace windows::audit
