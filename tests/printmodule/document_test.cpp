#include "print_document.h"

#include <gtest/gtest.h>

#include "fake_server.h"

namespace printmodule {
namespace {

TEST(LoadPrintDocumentTest, ResolvesNamesAndReadsLines) {
  testing::FakeServer server(testing::SampleData());
  const PrintDocument d = LoadPrintDocument("", "123");
  EXPECT_EQ(server.data().last_dhao00, "123");
  EXPECT_EQ(d.number, "123");
  EXPECT_EQ(d.maker, "王制单");
  EXPECT_EQ(d.auditor, "李审核");
  EXPECT_TRUE(d.audited);
  EXPECT_EQ(d.warehouse, "一号仓库");
  EXPECT_EQ(d.remark, "盘点 <复核>");
  ASSERT_EQ(d.lines.size(), 2u);
  EXPECT_EQ(d.lines[0].goods_name, "红河谷(软)");
  EXPECT_DOUBLE_EQ(d.lines[0].tax, 18.16);
  EXPECT_EQ(d.lines[1].goods_name, "");  // goods missing from the list
  EXPECT_FALSE(d.lines[1].has_price);
  EXPECT_DOUBLE_EQ(d.lines[1].quantity, -3);
}

TEST(LoadPrintDocumentTest, ClearMessagesForEveryFailure) {
  struct Case {
    const char* number;
    const char* fail_with;
    const char* message;
  };
  const Case cases[] = {
      {"456", "", "单号为 456 的溢耗单据不存在。"},
      {"12x", "", "“12x”不是有效的单号。"},
      {"123", "connection refused", "无法从应用服务器读取单据：connection refused"},
  };
  for (const Case& c : cases) {
    testing::FakeServer server(testing::SampleData());
    server.data().fail_with = c.fail_with;
    try {
      LoadPrintDocument("", c.number);
      ADD_FAILURE() << "no error for " << c.number;
    } catch (const PrintError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace printmodule
