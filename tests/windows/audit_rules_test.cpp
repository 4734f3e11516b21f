// The audit's rules without a window: warning colours, stock thresholds, amount and tax of a new
// price, and the stock statements of a save.
#include "windows/audit_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "rtl/money.h"
#include "rtl/numtext.h"

namespace windows::audit {
namespace {

using widgets::Color;
using widgets::Rgb;
using Kind = WarningColor::Kind;

struct ColorCase {
  const char* text;
  Kind kind;
  Color color;
};

TEST(WarningColorTest, ReadsNamesNumbersAndRefusesTheRest) {
  const ColorCase cases[] = {
      {"clRed", Kind::kColor, Rgb(255, 0, 0)},
      {"CLRED", Kind::kColor, Rgb(255, 0, 0)},
      {"clblue", Kind::kColor, Rgb(0, 0, 255)},
      {"clMaroon", Kind::kColor, Rgb(128, 0, 0)},
      {"clAqua", Kind::kColor, Rgb(0, 255, 255)},
      {"clWindowText", Kind::kColor, widgets::SystemColor(8)},
      {"clwindowtext", Kind::kColor, widgets::SystemColor(8)},
      {"clScrollBar", Kind::kColor, widgets::SystemColor(0)},
      {"clInfoBk", Kind::kColor, widgets::SystemColor(24)},
      {"cl3DDkShadow", Kind::kColor, widgets::SystemColor(21)},
      {"clNone", Kind::kNone, 0},
      {"CLNONE", Kind::kNone, 0},
      {"255", Kind::kColor, Rgb(255, 0, 0)},
      {"$0000FF", Kind::kColor, Rgb(255, 0, 0)},
      {"$FF0000", Kind::kColor, Rgb(0, 0, 255)},
      {"$ff0000", Kind::kColor, Rgb(0, 0, 255)},
      {"0x00FF00", Kind::kColor, Rgb(0, 255, 0)},
      {"0X00ff00", Kind::kColor, Rgb(0, 255, 0)},
      {"  255", Kind::kColor, Rgb(255, 0, 0)},
      {"+255", Kind::kColor, Rgb(255, 0, 0)},
      {"0", Kind::kColor, Rgb(0, 0, 0)},
      {"16777215", Kind::kColor, Rgb(255, 255, 255)},
      {"$FFFFFF", Kind::kColor, Rgb(255, 255, 255)},
      // Out of range, not a number, or empty: unreadable.
      {"16777216", Kind::kUnreadable, 0},
      {"$1000000", Kind::kUnreadable, 0},
      {"  -1", Kind::kUnreadable, 0},
      {"-$FF", Kind::kUnreadable, 0},
      {"", Kind::kUnreadable, 0},
      {"   ", Kind::kUnreadable, 0},
      {"$", Kind::kUnreadable, 0},
      {"0x", Kind::kUnreadable, 0},
      {"255 ", Kind::kUnreadable, 0},
      {"12ab", Kind::kUnreadable, 0},
      {"$GG", Kind::kUnreadable, 0},
      {"red", Kind::kUnreadable, 0},
      {"clRed ", Kind::kUnreadable, 0},
      {"99999999999999999999999", Kind::kUnreadable, 0},
      {"红色", Kind::kUnreadable, 0},
  };
  for (const ColorCase& c : cases) {
    WarningColor w = ParseWarningColor(c.text);
    EXPECT_EQ(w.kind, c.kind) << '"' << c.text << '"';
    if (c.kind == Kind::kColor) {
      EXPECT_EQ(w.color, c.color) << '"' << c.text << '"';
    }
  }
}

TEST(StockWholeTest, RoundsHalvesToEvenAndCountsOutOfRangeAsZero) {
  const struct {
    double value;
    int32_t whole;
  } cases[] = {
      {10.5, 10},
      {10.6, 11},
      {11.5, 12},
      {10.4, 10},
      {-10.5, -10},
      {-11.5, -12},
      {-0.4, 0},
      {0.5, 0},
      {1.5, 2},
      {2147483647.0, 2147483647},
      {2147483647.4, 2147483647},
      {2147483647.6, 0},
      {-2147483648.0, -2147483648},
      {-2147483648.6, 0},
      {1e300, 0},
      {-1e300, 0},
      {std::numeric_limits<double>::infinity(), 0},
      {std::numeric_limits<double>::quiet_NaN(), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(StockWhole(c.value), c.whole) << c.value;
  EXPECT_EQ(StockWhole(int64_t{10}), 10);
  EXPECT_EQ(StockWhole(int64_t{2147483648}), 0);
  EXPECT_EQ(StockWhole(int64_t{-2147483649}), 0);
}

TEST(StockTextColorTest, AboveBelowAndAtTheThresholds) {
  // Upper 10 in red, lower 5 in blue.
  auto colour = [](int32_t stock) { return StockTextColor(stock, 10, "clRed", 5, "CLBLUE"); };
  EXPECT_EQ(colour(StockWhole(10.5)), widgets::kClBlack);  // 10.5 counts as 10: not above
  EXPECT_EQ(colour(StockWhole(10.6)), widgets::kClRed);    // 10.6 counts as 11
  EXPECT_EQ(colour(10), widgets::kClBlack);                // equal to the upper threshold
  EXPECT_EQ(colour(5), widgets::kClBlack);                 // equal to the lower threshold
  EXPECT_EQ(colour(4), widgets::kClBlue);
  EXPECT_EQ(colour(7), widgets::kClBlack);

  // Thresholds without value read as 0.
  EXPECT_EQ(StockTextColor(1, 0, "255", 0, "$FF0000"), Rgb(255, 0, 0));
  EXPECT_EQ(StockTextColor(-1, 0, "255", 0, "$FF0000"), Rgb(0, 0, 255));
  EXPECT_EQ(StockTextColor(0, 0, "255", 0, "$FF0000"), widgets::kClBlack);

  // An unreadable colour or clNone leaves the grid's colour; it never fails.
  EXPECT_EQ(StockTextColor(20, 10, "", 5, "clRed"), std::nullopt);
  EXPECT_EQ(StockTextColor(1, 10, "clRed", 5, "  -1"), std::nullopt);
  EXPECT_EQ(StockTextColor(20, 10, "clNone", 5, "clRed"), std::nullopt);
  // A system colour stays a system colour here; the window resolves it.
  EXPECT_EQ(StockTextColor(20, 10, "clwindowtext", 5, ""), widgets::kClWindowText);
}

// The shown text of a float as a grid cell shows it.
std::string Shown(double v) {
  return rtl::FloatToStr(v);
}

TEST(AmountsForPriceTest, AmountAndTaxInExtendedPrecision) {
  const struct {
    double price, quantity, rate;
    const char* amount;
    const char* tax;
  } cases[] = {
      {12.5, 10, 17, "125", "18.16"},
      {0.125, 5, 25, "0.625", "0.13"},  // the tax is exactly 0.125: a half goes away from zero
      {10, -3, 17, "-30", "-4.36"},
      {10, 3, 0, "30", "0"},  // a rate without value reads as 0: tax 0.00
      {7.77, 13, 17, "101.01", "14.68"},
      {10, 2.5, 13, "25", "2.88"},
      {-0.001, 1, 17, "-0.001", "0"},  // a tax that rounds to zero has no sign
  };
  for (const auto& c : cases) {
    LineAmounts a = AmountsForPrice(c.price, c.quantity, c.rate);
    ASSERT_TRUE(a.amount.has_value());
    ASSERT_TRUE(a.tax.has_value());
    EXPECT_EQ(Shown(*a.amount), c.amount) << c.price << " x " << c.quantity;
    EXPECT_EQ(Shown(*a.tax), c.tax) << c.price << " x " << c.quantity << " at " << c.rate;
    EXPECT_FALSE(std::signbit(*a.tax) && *a.tax == 0);
  }
  // The amount is the 64-bit product, not a value in whole cents.
  LineAmounts a = AmountsForPrice(7.77, 13, 0);
  EXPECT_EQ(*a.amount, 101.00999999999999);
  EXPECT_NE(*a.amount, 101.01);
  EXPECT_EQ(rtl::FormatMoney(*a.amount), "101.01");
  EXPECT_EQ(*AmountsForPrice(0.125, 5, 25).tax, 0.13);
  EXPECT_EQ(*AmountsForPrice(12.5, 10, 17).tax, 18.16);
}

TEST(AmountsForPriceTest, RateOfMinusHundredPercentKeepsTheTax) {
  LineAmounts a = AmountsForPrice(12.5, 10, -100);
  ASSERT_TRUE(a.amount.has_value());
  EXPECT_EQ(*a.amount, 125);
  EXPECT_FALSE(a.tax.has_value());
  // Close to -100 percent the tax is large but a number.
  LineAmounts near = AmountsForPrice(1, 1, -99.99);
  ASSERT_TRUE(near.tax.has_value());
  EXPECT_TRUE(std::isfinite(*near.tax));
  EXPECT_EQ(Shown(*near.tax), "-9999");
}

TEST(AmountsForPriceTest, ResultsThatAreNoNumberAreNotProduced) {
  LineAmounts huge = AmountsForPrice(1e200, 1e200, 17);
  EXPECT_FALSE(huge.amount.has_value());
  EXPECT_FALSE(huge.tax.has_value());
  LineAmounts big_tax = AmountsForPrice(1e308, 1, -99.9999999999);
  ASSERT_TRUE(big_tax.amount.has_value());
  EXPECT_FALSE(big_tax.tax.has_value());
}

TEST(StockStatementTest, ExactTextAndOrder) {
  EXPECT_EQ(StockDecrement(2.5, "10010001", "01"),
            "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(2.5) WHERE SPDM00='10010001' AND CKDM00='01' "
            "AND KCBZ00='YW'");
  EXPECT_EQ(StockDecrement(-3, "10010002", "0B"),
            "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(-3) WHERE SPDM00='10010002' AND CKDM00='0B' "
            "AND KCBZ00='YW'");
  EXPECT_EQ(StockDecrement(1, "A'B", "0'"),
            "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A''B' AND CKDM00='0''' "
            "AND KCBZ00='YW'");

  std::string batch;
  AppendLineStatements(batch, 4, "L2", "02");
  AppendLineStatements(batch, 2.5, "L1", "02");
  EXPECT_EQ(batch.substr(1),
            "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(4) WHERE SPDM00='L2' AND CKDM00='0B' AND "
            "KCBZ00='YW'!UPDATE XSTZXKC0 SET KCSL00=KCSL00-(4) WHERE SPDM00='L2' AND CKDM00='02' "
            "AND KCBZ00='YW'!UPDATE XSTZXKC0 SET KCSL00=KCSL00-(2.5) WHERE SPDM00='L1' AND "
            "CKDM00='0B' AND KCBZ00='YW'!UPDATE XSTZXKC0 SET KCSL00=KCSL00-(2.5) WHERE "
            "SPDM00='L1' AND CKDM00='02' AND KCBZ00='YW'");
}

}  // namespace
}  // namespace windows::audit
