#include "rtl/numtext.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

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

TEST(FloatToStrTest, AgreesWithFifteenDigitRoundingForRandomDoubles) {
  std::mt19937_64 rng(20261209);
  std::uniform_int_distribution<uint64_t> bits;
  std::uniform_real_distribution<double> money(-1e7, 1e7);
  for (int i = 0; i < 200000; ++i) {
    double v;
    if (i % 2 == 0) {
      const uint64_t b = bits(rng);
      std::memcpy(&v, &b, sizeof v);
      if (!std::isfinite(v)) continue;
    } else {
      v = money(rng);
    }
    const std::string text = FloatToStr(v);
    // The text names the value rounded to 15 significant digits...
    char reference[64];
    std::snprintf(reference, sizeof reference, "%.14e", v);
    double expected = 0, actual = 0;
    ASSERT_TRUE(TryStrToFloat(text, actual)) << text;
    expected = std::strtod(reference, nullptr);
    ASSERT_EQ(actual, expected) << "value " << reference << " text " << text;
    // ...and writing that again gives the same text.
    ASSERT_EQ(FloatToStr(actual), text);
  }
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
