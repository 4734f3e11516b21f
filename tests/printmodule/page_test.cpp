#include "page.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "svg.h"

namespace printmodule {
namespace {

PrintDocument Sample(int line_count) {
  PrintDocument d;
  d.number = "123";
  d.made_on = rtl::EncodeDate(2024, 3, 5);
  d.has_made_on = true;
  d.maker = "王制单";
  d.warehouse = "一号仓库";
  d.remark = "a < b & c";
  for (int i = 0; i < line_count; ++i) {
    PrintLine l;
    l.goods_code = "G" + std::to_string(i);
    l.goods_name = "商品";
    l.price = 12.5;
    l.has_price = true;
    l.quantity = 10;
    l.amount = 125;
    l.has_amount = true;
    l.tax = 18.16;
    l.has_tax = true;
    d.lines.push_back(l);
  }
  return d;
}

bool HasText(const Page& page, const std::string& text) {
  return std::any_of(page.texts.begin(), page.texts.end(),
                     [&](const TextItem& t) { return t.text == text; });
}

TEST(LayoutTest, HeaderLinesTotalsAndCapitals) {
  const auto pages = LayoutDocument(Sample(2), "条");
  ASSERT_EQ(pages.size(), 1u);
  const Page& p = pages[0];
  EXPECT_TRUE(HasText(p, "商品损溢单"));
  EXPECT_TRUE(HasText(p, "单    号：123"));
  EXPECT_TRUE(HasText(p, "制单日期：2024-03-05"));
  EXPECT_TRUE(HasText(p, "审核日期："));  // not audited: no date
  EXPECT_TRUE(HasText(p, "溢耗仓库：一号仓库"));
  EXPECT_TRUE(HasText(p, "数量(条)"));
  EXPECT_TRUE(HasText(p, "12.5"));
  EXPECT_TRUE(HasText(p, "125.00"));
  EXPECT_TRUE(HasText(p, "250.00"));  // total amount
  EXPECT_TRUE(HasText(p, "36.32"));   // total tax
  EXPECT_TRUE(HasText(p, "20"));      // total quantity
  EXPECT_TRUE(HasText(p, "含税金额合计（大写）：贰佰伍拾零圆零角零分整"));
  EXPECT_TRUE(HasText(p, "第 1 页  共 1 页"));
}

TEST(LayoutTest, LongDocumentsContinueOnFurtherPagesWithTotalsOnTheLast) {
  const auto pages = LayoutDocument(Sample(100), "条");
  ASSERT_GT(pages.size(), 1u);
  int rows = 0;
  for (const Page& p : pages) {
    for (const TextItem& t : p.texts) {
      if (t.text.rfind('G', 0) == 0) ++rows;
    }
  }
  EXPECT_EQ(rows, 100);  // every line printed once
  EXPECT_FALSE(HasText(pages.front(), "合计"));
  EXPECT_TRUE(HasText(pages.back(), "合计"));
  EXPECT_TRUE(HasText(pages.back(), "第 " + std::to_string(pages.size()) + " 页  共 " +
                                        std::to_string(pages.size()) + " 页"));
  for (const Page& p : pages) {
    for (const TextItem& t : p.texts) {
      EXPECT_LE(t.y + t.height, kPageHeight) << t.text;
    }
  }
}

TEST(SvgTest, EscapesTextAndSizesThePage) {
  const std::string svg = PageToSvg(LayoutDocument(Sample(1), "条")[0]);
  EXPECT_NE(svg.find("width=\"210mm\" height=\"297mm\""), std::string::npos);
  EXPECT_NE(svg.find("a &lt; b &amp; c"), std::string::npos);
  EXPECT_EQ(svg.find("a < b"), std::string::npos);
  EXPECT_NE(svg.find(">商品损溢单</text>"), std::string::npos);
}

}  // namespace
}  // namespace printmodule
