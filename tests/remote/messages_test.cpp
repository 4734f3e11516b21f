// The client's message table: every entry reachable by its stable key, Chinese the module's
// windows can show (GBK), and what the operator reads for a mistyped server name, an unknown
// server computer and a lost connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "remote/client_settings.h"
#include "remote/messages.h"
#include "rtl/gbk.h"

namespace remote::msg {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(ClientMessagesTest, EveryEntryHasAUniqueKeyAndChineseTheWindowsCanShow) {
  std::set<std::string> keys;
  const std::regex code("C-[A-Z]+-[0-9]{3}");
  const std::regex part("part\\.[a-z_.]+");
  for (const Entry& e : ClientTable().entries()) {
    SCOPED_TRACE(e.key);
    EXPECT_TRUE(keys.insert(e.key).second) << "twice in the table";
    EXPECT_TRUE(std::regex_match(e.key, code) || std::regex_match(e.key, part));
    const std::string zh = e.zh;
    bool chinese = false;
    for (char c : zh) chinese = chinese || static_cast<unsigned char>(c) >= 0x80;
    EXPECT_TRUE(chinese) << zh;
    EXPECT_EQ(rtl::GbkToUtf8(rtl::Utf8ToGbk(zh)), zh);
    EXPECT_FALSE(std::string(e.en).empty());
  }
}

// What() of a thrown setting or connection error.
template <typename F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no coded error)";
}

TEST(ClientMessagesTest, AMistypedServerNameIsNamedInChineseWithItsCode) {
  const std::string text = ErrorOf([] { ParseComputerName("127.0.0.1:c 34081", 7211); });
  EXPECT_EQ(text,
            "服务器端口“c 34081”（计算机名称 127.0.0.1:c 34081）不是有效的端口号（1 到 "
            "65535）。请检查计算机名称的设置。（代码 C-SET-001）");
  EXPECT_EQ(ErrorOf([] { ParseComputerName("[::1", 7211); }),
            "计算机名称“[::1”无效。请检查应用服务器的名称或地址。（代码 C-SET-002）");
}

TEST(ClientMessagesTest, ALostConnectionTellsTheOperatorWhatToDoAndKeepsTheDetailInEnglish) {
  const Message m =
      ConnectionLost("10.0.0.5:7211", "Lirraloss.Communicate", NetworkFailure("reset by peer"));
  EXPECT_EQ(m.ForOperator(),
            "与应用服务器 10.0.0.5:7211 的连接已断开（网络中断或超时），服务器对象 "
            "Lirraloss.Communicate 已不可用。尚未完成的操作没有生效。请关闭本窗口，检查网络后重新"
            "打开。（代码 C-NET-005）");
  EXPECT_THAT(m.ForOperator(), Not(HasSubstr("reset by peer")));
  EXPECT_EQ(m.ForLog(),
            "C-NET-005 The connection to the application server at 10.0.0.5:7211 was lost (reset "
            "by peer); the server object Lirraloss.Communicate is no longer available");
}

TEST(ClientMessagesTest, AKeyMissingFromATableStillReachesTheOperatorAsAMessage) {
  const Message m = ClientTable().Make("C-NET-999");
  EXPECT_EQ(m.code, "C-GEN-001");
  EXPECT_THAT(m.ForOperator(), HasSubstr("请与管理员联系"));
  EXPECT_THAT(m.ForLog(), HasSubstr("C-NET-999"));
  EXPECT_EQ(ClientTable().Part("part.no_such").zh, "part.no_such");
}

}  // namespace
}  // namespace remote::msg
