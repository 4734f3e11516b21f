#include "rtl/capitals.h"

#include <gtest/gtest.h>

namespace rtl {
namespace {

TEST(MoneyToCapitalsTest, WorkedExamples) {
  struct Case {
    double amount;
    const char* text;
  };
  const Case cases[] = {
      {0, "零分整"},
      {-0.0, "零分整"},  // negative zero is not below zero
      {0.05, "伍分整"},
      {0.5, "伍角零分整"},
      {0.125, "壹角叁分整"},
      {1, "壹圆零角零分整"},
      {9.99, "玖圆玖角玖分整"},
      {100.00, "壹佰零拾零圆零角零分整"},
      {1234.56, "壹仟贰佰叁拾肆圆伍角陆分整"},
      {-8.1, "负捌圆壹角零分整"},
      {12345678.9, "壹仟贰佰叁拾肆万伍仟陆佰柒拾捌圆玖角零分整"},
      {99999999.99, "玖仟玖佰玖拾玖万玖仟玖佰玖拾玖圆玖角玖分整"},
      {100000000, ""},
      {-100000000, ""},
      {99999999.995, ""},
      {1e300, ""},
      {-0.004, "负零分整"},
      {1.005, "壹圆零角零分整"},
      {0.005, "壹分整"},
  };
  for (const Case& c : cases) EXPECT_EQ(MoneyToCapitals(c.amount), c.text) << c.amount;
}

}  // namespace
}  // namespace rtl
