// The server's message table: every entry reachable by its stable key, Chinese the module's
// windows can show (GBK), and the two forms a message takes: the operator's and the log's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <stdexcept>

#include "rtl/gbk.h"
#include "server/messages.h"

namespace server::msg {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(MessagesTest, EveryEntryHasAUniqueKeyAndChineseTheWindowsCanShow) {
  std::set<std::string> keys;
  const std::regex code("S-[A-Z]+-[0-9]{3}");
  const std::regex part("(part|field)\\.[A-Za-z0-9_.]+");
  for (const Entry& e : Table()) {
    SCOPED_TRACE(e.key);
    EXPECT_TRUE(keys.insert(e.key).second) << "twice in the table";
    EXPECT_TRUE(std::regex_match(e.key, code) || std::regex_match(e.key, part));
    const std::string zh = e.zh;
    const std::string en = e.en;
    EXPECT_FALSE(en.empty());
    // Chinese: at least one character beyond ASCII, every one of them in GBK (the message box
    // of the 32-bit module shows GBK).
    bool chinese = false;
    for (char c : zh) chinese = chinese || static_cast<unsigned char>(c) >= 0x80;
    EXPECT_TRUE(chinese) << zh;
    EXPECT_EQ(rtl::GbkToUtf8(rtl::Utf8ToGbk(zh)), zh);
  }
  EXPECT_GT(keys.size(), 100u);
}

TEST(MessagesTest, TheOperatorReadsChineseWithTheCodeTheLogKeepsCodeAndEnglish) {
  const Message m = ChangedByAnother(Document(106), {"YWRQ00", "YWRY00"});
  EXPECT_EQ(m.code, "S-APPLY-013");
  EXPECT_EQ(m.ForOperator(),
            "单据 106 在打开之后已被其他操作员修改（审核日期、审核人员）。（代码 S-APPLY-013）");
  EXPECT_EQ(m.ForLog(),
            "S-APPLY-013 Document 106 was changed by another user after it was read (YWRQ00, "
            "YWRY00); it was not saved");
  // Thrown, the operator's text is what(); the message stays with the error for the log.
  const Error e(m);
  EXPECT_EQ(std::string(e.what()), m.ForOperator());
  EXPECT_EQ(LogText(e), m.ForLog());
  // What the save adds keeps the code of its cause.
  const Message saved = SaveRolledBack(m);
  EXPECT_EQ(saved.code, "S-APPLY-013");
  EXPECT_THAT(saved.ForOperator(), HasSubstr("本次保存没有生效，库存和单据都没有改变"));
  EXPECT_THAT(saved.ForLog(),
              HasSubstr("(the save was rolled back: neither the stock nor the document was "
                        "changed)"));
}

TEST(MessagesTest, AReasonInsideAMessageKeepsItsCodeInTheLogOnly) {
  const Message m = TransactionRolledBack(TransactionIdle(10000).AsPart());
  EXPECT_EQ(m.code, "S-TXN-002");
  EXPECT_EQ(m.ForOperator(),
            "事务已回滚（超过 10 秒没有继续），没有提交任何修改。（代码 S-TXN-002）");
  EXPECT_EQ(m.ForLog(),
            "S-TXN-002 The transaction was rolled back (S-TXN-005 it was left open for more than "
            "10 s); nothing was committed");
}

TEST(MessagesTest, AFailureWithoutACodeStillReachesTheOperatorInChinese) {
  const Message m = MessageOf(std::runtime_error("socket: broken pipe"));
  EXPECT_EQ(m.code, "S-GEN-001");
  EXPECT_THAT(m.ForOperator(), HasSubstr("请与管理员联系"));
  EXPECT_THAT(m.ForOperator(), Not(HasSubstr("broken pipe")));
  EXPECT_EQ(m.ForLog(), "S-GEN-001 socket: broken pipe");
  // A key missing from the table is this program's fault: it says so in the log.
  const Message missing = Make("S-NONE-999");
  EXPECT_EQ(missing.code, "S-GEN-001");
  EXPECT_THAT(missing.ForLog(), HasSubstr("S-NONE-999 is missing from the table"));
}

TEST(MessagesTest, TheDatabasesOwnWordsGoToTheLogOnly) {
  const Message m = DatabaseError("commit", "disk I/O error");
  EXPECT_EQ(m.ForOperator(), "数据库出错，本次操作没有完成。请与管理员联系。（代码 S-DB-003）");
  EXPECT_EQ(m.ForLog(), "S-DB-003 Database error (commit): disk I/O error");
  EXPECT_EQ(
      DatabaseBusy().ForOperator(),
      "数据库正忙：其他操作员的修改没有及时完成，本次操作没有完成，没有作任何修改。请稍后再试。"
      "（代码 S-DB-001）");
}

}  // namespace
}  // namespace server::msg
