#include "rtl/money.h"

#include <cmath>
#include <string>

#include "rtl/decimal.h"
#include "rtl/numtext.h"

namespace rtl {

std::string FormatMoney(Extended value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  const Extended magnitude = std::fabs(value);
  // Below a thousandth nothing can round up to a cent.
  if (magnitude < 0.001L) return "0.00";
  // First the value as 18 significant digits, then the cents on those digits.
  decimal::Digits d = decimal::Eighteen(magnitude);
  const int keep = d.point + 2;
  if (keep < 0) return "0.00";
  decimal::RoundHalfAway(d, keep);
  const int int_digits = d.point;
  std::string& digits = d.digits;
  if (static_cast<int>(digits.size()) < int_digits + 2) digits.resize(int_digits + 2, '0');
  std::string out;
  const bool zero = digits.find_first_not_of('0') == std::string::npos;
  if (value < 0 && !zero) out += '-';
  if (int_digits <= 0) {
    out += '0';
    out += '.';
    out.append(static_cast<size_t>(-int_digits), '0');
    out.append(digits, 0, 2 + int_digits);
  } else {
    out.append(digits, 0, int_digits);
    out += '.';
    out.append(digits, int_digits, 2);
  }
  return out;
}

std::string FormatFooter(Extended value) {
  return FormatMoney(value);
}

double RoundMoney(Extended value) {
  return StrToFloat(FormatMoney(value));
}

}  // namespace rtl
