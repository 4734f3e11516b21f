#include "rtl/numtext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "rtl/error.h"

namespace rtl {
namespace {

struct TextCase {
  double value;
  const char* text;
};

TEST(FloatToStrTest, GeneralFormWithFifteenDigits) {
  const TextCase cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {1, "1"},
      {-1, "-1"},
      {123, "123"},
      {2.5, "2.5"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.3"},
      {7.0 / 3.0, "2.33333333333333"},
      {2.0 / 3.0, "0.666666666666667"},
      {-5.0 / 3.0, "-1.66666666666667"},
      {0.3 / 0.1, "3"},
      {120.0 / 50.0, "2.4"},
      {7.77 * 13, "101.01"},
      {1234.56, "1234.56"},
      {999999999999999.0, "999999999999999"},
      {100000000000000.0, "100000000000000"},
      {999999999999999.9, "1E15"},
      {1e15, "1E15"},
      {-1e15, "-1E15"},
      {1e20, "1E20"},
      {123456789012345678.0, "1.23456789012346E17"},
      {0.0001, "0.0001"},
      {0.00001, "0.00001"},
      {0.000012, "0.000012"},
      {0.0000099, "9.9E-6"},
      {-0.0000099, "-9.9E-6"},
      {1.5e-7, "1.5E-7"},
      // Judged on the 18-digit expansion, a half going away from zero: 12345678901234.25 is
      // exact; 1353603561.733145 is 1353603561.73314499855..., 18 digits 1353603561.73314500.
      {12345678901234.25, "12345678901234.3"},
      {-12345678901234.25, "-12345678901234.3"},
      {1353603561.733145, "1353603561.73315"},
      {std::numeric_limits<double>::max(), "1.79769313486232E308"},
      {std::numeric_limits<double>::denorm_min(), "4.94065645841247E-324"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(FloatToStr(c.value), c.text) << "value " << c.value;
  }
}

// The reference: the exact decimal expansion of a double, computed from its bits with integers
// alone (no run-time conversion, so it is the same on every platform), in base 10^4 so that every
// step stays within 32 bits. value = 0.<digits> x 10^point, digits without leading zeros.
struct Expansion {
  std::string digits;
  int point = 0;
};

Expansion ExactExpansion(double v) {
  uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof v);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  int exp2 = -1074;
  if (biased != 0) {
    mantissa |= uint64_t{1} << 52;
    exp2 = biased - 1075;
  }
  std::vector<uint32_t> limbs;  // least significant first
  for (uint64_t m = mantissa; m != 0; m /= 10000) limbs.push_back(static_cast<uint32_t>(m % 10000));
  auto multiply = [&](uint32_t factor) {  // factor below 2^18
    uint32_t carry = 0;
    for (uint32_t& l : limbs) {
      const uint32_t p = l * factor + carry;
      l = p % 10000;
      carry = p / 10000;
    }
    for (; carry != 0; carry /= 10000) limbs.push_back(carry % 10000);
  };
  // m x 2^e for e >= 0; m x 2^-k = m x 5^k / 10^k otherwise.
  for (int e = exp2; e > 0; e -= std::min(e, 17)) multiply(1u << std::min(e, 17));
  for (int k = -exp2; k > 0; k -= std::min(k, 7)) {
    uint32_t f = 1;
    for (int i = 0; i < std::min(k, 7); ++i) f *= 5;
    multiply(f);
  }
  Expansion x;
  for (size_t i = limbs.size(); i-- > 0;) {
    for (uint32_t unit = 1000; unit != 0; unit /= 10)
      x.digits += static_cast<char>('0' + limbs[i] / unit % 10);
  }
  const size_t first = x.digits.find_first_not_of('0');
  x.digits.erase(0, first);
  x.point = static_cast<int>(x.digits.size()) - std::max(0, -exp2);
  return x;
}

// Rounds to `keep` digits, a half going away from zero.
void RoundHalfAway(Expansion& x, size_t keep) {
  if (x.digits.size() <= keep) return;
  const bool up = x.digits[keep] >= '5';
  x.digits.resize(keep);
  for (size_t i = keep; up && i-- > 0;) {
    if (x.digits[i] != '9') {
      ++x.digits[i];
      return;
    }
    x.digits[i] = '0';
  }
  if (up) {
    x.digits.insert(x.digits.begin(), '1');
    x.digits.pop_back();
    ++x.point;
  }
}

// The significant digits (no trailing zeros) and the decimal exponent of the first digit that a
// number text names; false when it is not in the general form.
bool ReadGeneralForm(const std::string& text, std::string& digits, int& exponent) {
  std::string t = text;
  if (!t.empty() && t[0] == '-') t.erase(0, 1);
  int shift = 0;
  const size_t e = t.find('E');
  if (e != std::string::npos) {
    shift = std::atoi(t.c_str() + e + 1);
    t.resize(e);
  }
  const size_t dot = t.find('.');
  std::string whole = t.substr(0, dot),
              fraction = dot == std::string::npos ? "" : t.substr(dot + 1);
  if (whole.empty() || (dot != std::string::npos && fraction.empty())) return false;
  if (whole != "0") {
    if (whole[0] == '0') return false;
    digits = whole + fraction;
    exponent = static_cast<int>(whole.size()) - 1 + shift;
  } else {
    const size_t zeros = fraction.find_first_not_of('0');
    if (zeros == std::string::npos) return false;
    digits = fraction.substr(zeros);
    exponent = -static_cast<int>(zeros) - 1 + shift;
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  // Scientific exactly for magnitudes below 0.00001 and from 16 integer digits on.
  const bool scientific = exponent < -5 || exponent >= 15;
  return scientific == (e != std::string::npos) && (e == std::string::npos || whole.size() == 1);
}

TEST(FloatToStrTest, AgreesWithTheExactExpansionForRandomDoubles) {
  std::mt19937_64 rng(20261209);
  std::uniform_int_distribution<uint64_t> bits;
  std::uniform_real_distribution<double> money(-1e7, 1e7);
  for (int i = 0; i < 200000; ++i) {
    double v;
    if (i % 2 == 0) {
      const uint64_t b = bits(rng);
      std::memcpy(&v, &b, sizeof v);
      if (!std::isfinite(v) || v == 0) continue;
    } else {
      v = money(rng);
    }
    const std::string text = FloatToStr(v);
    // The text names the value's 18-digit expansion rounded to 15 digits, halves away from zero...
    Expansion x = ExactExpansion(v);
    RoundHalfAway(x, 18);
    RoundHalfAway(x, 15);
    while (x.digits.size() > 1 && x.digits.back() == '0') x.digits.pop_back();
    std::string digits;
    int exponent = 0;
    ASSERT_TRUE(ReadGeneralForm(text, digits, exponent)) << text;
    ASSERT_EQ(text[0] == '-', v < 0) << text;
    ASSERT_EQ(digits, x.digits) << "value " << ExactExpansion(v).digits << " text " << text;
    ASSERT_EQ(exponent, x.point - 1) << "value " << ExactExpansion(v).digits << " text " << text;
    // ...and writing the value that text names gives the same text again.
    double back = 0;
    ASSERT_TRUE(TryStrToFloat(text, back)) << text;
    ASSERT_EQ(FloatToStr(back), text);
  }
}

TEST(FloatToStrTest, ExactExpansionOfTheReference) {
  // The reference itself, on values whose expansions are known.
  const struct {
    double value;
    const char* digits;
    int point;
  } cases[] = {
      {1, "1", 1},
      {0.5, "5", 0},
      {12345678901234.25, "1234567890123425", 14},
      {0.1, "1000000000000000055511151231257827021181583404541015625", 0},
      {std::numeric_limits<double>::denorm_min(),
       "494065645841246544176568792868221372365059802614", -323},
  };
  for (const auto& c : cases) {
    const Expansion x = ExactExpansion(c.value);
    EXPECT_EQ(x.digits.substr(0, std::strlen(c.digits)), c.digits) << c.value;
    EXPECT_EQ(x.point, c.point) << c.value;
  }
  EXPECT_EQ(ExactExpansion(std::numeric_limits<double>::max()).point, 309);
}

TEST(StrToFloatTest, ReadsNumbersAndRefusesEverythingElse) {
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"1", true, 1},        {" 2.5 ", true, 2.5}, {"-3", true, -3},    {"+4", true, 4},
      {"1e3", true, 1000},   {"1E-2", true, 0.01}, {".5", true, 0.5},   {"5.", true, 5},
      {"-.25", true, -0.25}, {"0.3", true, 0.3},   {"1e-400", true, 0}, {"101.01", true, 101.01},
      {"", false, 0},        {" ", false, 0},      {"abc", false, 0},   {"1,5", false, 0},
      {"1e", false, 0},      {"1e+", false, 0},    {"inf", false, 0},   {"nan", false, 0},
      {"0x10", false, 0},    {"1e400", false, 0},  {"--1", false, 0},   {"1 2", false, 0},
      {".", false, 0},       {"+-1", false, 0},    {"1.2.3", false, 0}, {"12abc", false, 0},
      {"１", false, 0},
  };
  for (const Case& c : cases) {
    double v = -99;
    EXPECT_EQ(TryStrToFloat(c.text, v), c.ok) << "'" << c.text << "'";
    if (c.ok) {
      EXPECT_EQ(v, c.value) << "'" << c.text << "'";
    }
  }
}

TEST(StrToFloatTest, ErrorNamesTheText) {
  try {
    StrToFloat("12x");
    FAIL() << "no error";
  } catch (const ConvertError& e) {
    EXPECT_STREQ(e.what(), "'12x' is not a valid floating point value");
  }
}

TEST(StrToInt64Test, WholeNumbersOnly) {
  int64_t v = 0;
  EXPECT_TRUE(TryStrToInt64(" -42 ", v));
  EXPECT_EQ(v, -42);
  EXPECT_TRUE(TryStrToInt64("+7", v));
  EXPECT_EQ(v, 7);
  EXPECT_FALSE(TryStrToInt64("4.5", v));
  EXPECT_FALSE(TryStrToInt64("99999999999999999999", v));
  EXPECT_FALSE(TryStrToInt64("", v));
  EXPECT_EQ(IntToStr(-9223372036854775807LL - 1), "-9223372036854775808");
}

}  // namespace
}  // namespace rtl
