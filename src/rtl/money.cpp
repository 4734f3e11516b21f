#include "rtl/money.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "rtl/numtext.h"

namespace rtl {
namespace {

// An unsigned integer in base 10^9, least significant word first; just enough arithmetic to write
// m x 2^e exactly in decimal.
class BigDecimal {
 public:
  explicit BigDecimal(uint64_t v) {
    do {
      words_.push_back(static_cast<uint32_t>(v % kBase));
      v /= kBase;
    } while (v != 0);
  }
  void Multiply(uint32_t factor) {
    uint64_t carry = 0;
    for (uint32_t& w : words_) {
      const uint64_t p = static_cast<uint64_t>(w) * factor + carry;
      w = static_cast<uint32_t>(p % kBase);
      carry = p / kBase;
    }
    while (carry != 0) {
      words_.push_back(static_cast<uint32_t>(carry % kBase));
      carry /= kBase;
    }
  }
  std::string Digits() const {
    std::string s = std::to_string(words_.back());
    for (size_t i = words_.size() - 1; i-- > 0;) {
      std::string w = std::to_string(words_[i]);
      s.append(9 - w.size(), '0');
      s += w;
    }
    return s;
  }

 private:
  static constexpr uint64_t kBase = 1000000000;
  std::vector<uint32_t> words_;
};

// The exact decimal digits of a finite positive value and the number of its integer digits
// (value = 0.digits x 10^int_digits).
void ExactDigits(Extended magnitude, std::string& digits, int& int_digits) {
  int exp2 = 0;
  const Extended fraction = std::frexp(magnitude, &exp2);  // [0.5, 1) x 2^exp2
  uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 64));
  int e = exp2 - 64;
  while (e < 0 && (mantissa & 1) == 0) {
    mantissa >>= 1;
    ++e;
  }
  BigDecimal n(mantissa);
  if (e >= 0) {
    for (int i = 0; i < e; i += 31) n.Multiply(1u << std::min(31, e - i));
    digits = n.Digits();
    int_digits = static_cast<int>(digits.size());
  } else {
    // m x 2^-k = m x 5^k / 10^k.
    const int k = -e;
    for (int i = 0; i < k; i += 13) {
      uint32_t p = 1;
      for (int j = 0; j < std::min(13, k - i); ++j) p *= 5;
      n.Multiply(p);
    }
    digits = n.Digits();
    int_digits = static_cast<int>(digits.size()) - k;
  }
}

// Rounds a digit string to `keep` digits, half away from zero; a carry out of the first digit
// adds a digit in front and raises `int_digits`.
void RoundDigits(std::string& digits, int keep, int& int_digits) {
  if (keep >= static_cast<int>(digits.size())) return;
  const bool up = digits[keep] >= '5';
  digits.resize(keep);
  if (!up) return;
  int i = keep - 1;
  while (i >= 0 && digits[i] == '9') digits[i--] = '0';
  if (i >= 0) {
    ++digits[i];
  } else {
    digits.insert(digits.begin(), '1');
    ++int_digits;
  }
}

}  // namespace

std::string FormatMoney(Extended value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  const Extended magnitude = std::fabs(value);
  // Below a thousandth nothing can round up to a cent.
  if (magnitude < 0.001L) return "0.00";
  std::string digits;
  int int_digits = 0;
  ExactDigits(magnitude, digits, int_digits);
  // First the value as 18 significant digits, then the cents on those digits.
  RoundDigits(digits, 18, int_digits);
  const int keep = int_digits + 2;
  if (keep < 0) return "0.00";
  RoundDigits(digits, keep, int_digits);
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
