#include "rtl/money.h"

#include <gtest/gtest.h>

namespace rtl {
namespace {

struct MoneyCase {
  Extended value;
  const char* text;
};

TEST(FormatMoneyTest, TwoDecimalsHalvesAwayFromZeroOnEighteenDigits) {
  const MoneyCase cases[] = {
      {0, "0.00"},
      {-0.0L, "0.00"},
      {0.125, "0.13"},  // an exact half goes away from zero
      {-0.125, "-0.13"},
      {1.005, "1.00"},   // the double is 1.00499999999999989...
      {0.005, "0.01"},   // the double lies just above the half
      {2.675, "2.67"},   // 2.67499999999999982...
      {-0.001, "0.00"},  // rounds to zero: no sign
      {-0.004, "0.00"},
      {-0.005, "-0.01"},
      {0.0049, "0.00"},
      {0.0009, "0.00"},
      {0.05, "0.05"},
      {0.5, "0.50"},
      {1, "1.00"},
      {1234.5, "1234.50"},
      {1234.56, "1234.56"},
      {99999999.99, "99999999.99"},
      {99999999.995, "100000000.00"},
      {101.00999999999999, "101.01"},
      {1e20, "100000000000000000000.00"},
      // Digits beyond the 18th decide nothing: 0.12499999999999999998... is 0.125000000000000000
      // on 18 digits, so it rounds up.
      {0.125L - 1e-20L, "0.13"},
      {0.125L - 1e-17L, "0.12"},
  };
  for (const MoneyCase& c : cases) {
    EXPECT_EQ(FormatMoney(c.value), c.text) << static_cast<double>(c.value);
  }
}

TEST(FormatMoneyTest, TaxExamplesInExtendedPrecision) {
  // amount x r / (r + 1) with every step in extended precision.
  auto tax = [](double amount, double rate_percent) {
    const Extended r = static_cast<Extended>(rate_percent) / 100;
    return static_cast<Extended>(amount) * r / (r + 1);
  };
  EXPECT_EQ(FormatMoney(tax(125, 17)), "18.16");
  EXPECT_EQ(FormatMoney(tax(0.625, 25)), "0.13");
  EXPECT_EQ(FormatMoney(tax(-30, 17)), "-4.36");
  EXPECT_EQ(FormatMoney(tax(30, 0)), "0.00");
}

TEST(FormatMoneyTest, FooterPatternAndRounding) {
  EXPECT_EQ(FormatFooter(-12.345), "-12.35");  // 12.3450000000000006...
  EXPECT_EQ(FormatFooter(-0.0001), "0.00");
  EXPECT_EQ(FormatFooter(0), "0.00");
  EXPECT_EQ(RoundMoney(0.125), 0.13);
  EXPECT_EQ(RoundMoney(-4.3589743589743589744L), -4.36);
}

}  // namespace
}  // namespace rtl
