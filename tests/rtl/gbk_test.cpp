#include "rtl/gbk.h"

#include <gtest/gtest.h>

namespace rtl {
namespace {

TEST(GbkTest, WidthCountsGbkBytes) {
  struct Case {
    const char* text;
    size_t width;
  };
  const Case cases[] = {
      {"", 0},   {"abc", 3},          {"溢耗", 4}, {"a溢", 3},
      {"条", 2}, {"0B仓库", 6},       {"😀", 1},  // not in GBK: one "?"
      {"＊", 2}, {"张三丰收abc", 11},
  };
  for (const Case& c : cases) EXPECT_EQ(GbkLength(c.text), c.width) << c.text;
}

TEST(GbkTest, ConvertsBothWays) {
  EXPECT_EQ(Utf8ToGbk("条"), "\xCC\xF5");
  EXPECT_EQ(GbkToUtf8("\xCC\xF5"), "条");
  EXPECT_EQ(GbkToUtf8(Utf8ToGbk("损溢单据查询 ABC")), "损溢单据查询 ABC");
  EXPECT_EQ(Utf8ToGbk("a😀b"), "a?b");
  EXPECT_EQ(GbkToUtf8("A\xFF"), "A\xEF\xBF\xBD");  // a byte that is no GBK character
}

TEST(GbkTest, TruncationNeverSplitsACharacter) {
  struct Case {
    const char* text;
    size_t limit;
    const char* result;
  };
  const Case cases[] = {
      {"张三丰收", 8, "张三丰收"},
      {"张三丰收", 7, "张三丰"},
      {"张三丰收", 6, "张三丰"},
      {"abc张", 4, "abc"},
      {"ab张三", 4, "ab张"},
      {"abcdefghij", 8, "abcdefgh"},
      {"张", 1, ""},
      {"", 3, ""},
      {"a😀b", 2, "a😀"},
  };
  for (const Case& c : cases) {
    const std::string cut = GbkTruncate(c.text, c.limit);
    EXPECT_EQ(cut, c.result) << c.text << " / " << c.limit;
    EXPECT_LE(GbkLength(cut), c.limit);
    EXPECT_TRUE(IsValidUtf8(cut));
  }
}

TEST(GbkTest, RecognisesMalformedUtf8) {
  EXPECT_TRUE(IsValidUtf8("溢耗 abc 😀"));
  EXPECT_FALSE(IsValidUtf8("\xE6\xBA"));          // cut short
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // a surrogate
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\xCC\xF5"));          // GBK bytes are not UTF-8
}

}  // namespace
}  // namespace rtl
