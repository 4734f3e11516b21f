#include "rtl/decimal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace rtl::decimal {
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
  // The number of decimal digits.
  int DigitCount() const {
    int n = 0;
    for (uint32_t top = words_.back(); top != 0; top /= 10) ++n;
    return n + 9 * static_cast<int>(words_.size() - 1);
  }
  // The first `count` digits (fewer when the number has fewer).
  std::string Leading(int count) const {
    std::string s;
    char buf[10];
    for (size_t i = words_.size(); i-- > 0 && static_cast<int>(s.size()) < count;) {
      uint32_t w = words_[i];
      for (int k = 8; k >= 0; --k, w /= 10) buf[k] = static_cast<char>('0' + w % 10);
      const char* from = buf;
      if (i == words_.size() - 1) {
        while (from < buf + 8 && *from == '0') ++from;  // the top word without its leading zeros
      }
      s.append(from, static_cast<size_t>(buf + 9 - from));
    }
    if (static_cast<int>(s.size()) > count) s.resize(static_cast<size_t>(count));
    return s;
  }

 private:
  static constexpr uint64_t kBase = 1000000000;
  std::vector<uint32_t> words_;
};

// The first `count` digits of the exact expansion of a finite positive value (cut, not rounded).
Digits Leading(Extended magnitude, int count) {
  int exp2 = 0;
  const Extended fraction = std::frexp(magnitude, &exp2);  // [0.5, 1) x 2^exp2
  uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 64));
  int e = exp2 - 64;
  while (e < 0 && (mantissa & 1) == 0) {
    mantissa >>= 1;
    ++e;
  }
  BigDecimal n(mantissa);
  Digits d;
  if (e >= 0) {
    for (int i = 0; i < e; i += 31) n.Multiply(1u << std::min(31, e - i));
    d.point = n.DigitCount();
  } else {
    // m x 2^-k = m x 5^k / 10^k.
    const int k = -e;
    for (int i = 0; i < k; i += 13) {
      uint32_t p = 1;
      for (int j = 0; j < std::min(13, k - i); ++j) p *= 5;
      n.Multiply(p);
    }
    d.point = n.DigitCount() - k;
  }
  d.digits = n.Leading(count);
  return d;
}

}  // namespace

void RoundHalfAway(Digits& d, int keep) {
  if (keep >= static_cast<int>(d.digits.size())) return;
  const bool up = d.digits[static_cast<size_t>(keep)] >= '5';
  d.digits.resize(static_cast<size_t>(keep));
  if (!up) return;
  int i = keep - 1;
  while (i >= 0 && d.digits[static_cast<size_t>(i)] == '9')
    d.digits[static_cast<size_t>(i--)] = '0';
  if (i >= 0) {
    ++d.digits[static_cast<size_t>(i)];
  } else {
    d.digits.insert(d.digits.begin(), '1');
    ++d.point;
  }
  if (d.digits.size() > static_cast<size_t>(std::max(keep, 1))) d.digits.pop_back();
}

Digits Eighteen(Extended magnitude) {
  Digits d = Leading(magnitude, 19);
  RoundHalfAway(d, 18);
  d.digits.resize(18, '0');
  return d;
}

}  // namespace rtl::decimal
