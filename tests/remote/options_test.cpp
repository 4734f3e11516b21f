// The application server's command line.
#include "server/net/options.h"
#include "server/net/log.h"

#include <gtest/gtest.h>

namespace appserver {
namespace {

TEST(OptionsTest, Defaults) {
  CommandLine cl = ParseCommandLine({});
  EXPECT_EQ(cl.command, CommandLine::Command::kServe);
  EXPECT_EQ(cl.server.listen_address, "127.0.0.1");
  EXPECT_EQ(cl.server.port, 7211);
  EXPECT_EQ(cl.database, "sqlite:appserver.db");
  EXPECT_TRUE(cl.site_key_file.empty());
  EXPECT_EQ(cl.log_level, LogLevel::kInfo);
}

TEST(OptionsTest, EveryOption) {
  CommandLine cl = ParseCommandLine(
      {"demo", "large", "--listen", "0.0.0.0", "--port=0", "--database", "postgresql:///qmdw",
       "--site-key", "/k", "--log-level", "debug", "--max-clients", "9", "--port-file", "/p"});
  EXPECT_EQ(cl.command, CommandLine::Command::kDemo);
  EXPECT_EQ(cl.demo_set, "large");
  EXPECT_EQ(cl.server.listen_address, "0.0.0.0");
  EXPECT_EQ(cl.server.port, 0);
  EXPECT_EQ(cl.database, "postgresql:///qmdw");
  EXPECT_EQ(cl.site_key_file, "/k");
  EXPECT_EQ(cl.log_level, LogLevel::kDebug);
  EXPECT_EQ(cl.server.max_clients, 9u);
  EXPECT_EQ(cl.port_file, "/p");
  EXPECT_EQ(ParseCommandLine({"--help"}).command, CommandLine::Command::kHelp);
}

TEST(OptionsTest, MistakesAreNamed) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--port", "70000"}, "--port 70000 is out of range (at most 65535)"},
      {{"--port", "http"}, "--port expects a number, not \"http\""},
      {{"--port"}, "--port expects a value"},
      {{"--log-level", "loud"},
       "--log-level expects debug, info, warning, error or off, not \"loud\""},
      {{"demo"}, "demo expects \"small\" or \"large\""},
      {{"demo", "huge"}, "demo expects \"small\" or \"large\""},
      {{"--max-clients", "0"}, "--max-clients must be at least 1"},
      {{"--databse", "x"}, "unknown argument \"--databse\""},
  };
  for (const Case& c : cases) {
    try {
      ParseCommandLine(c.args);
      ADD_FAILURE() << c.message;
    } catch (const UsageError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(LogTest, ClientTextCannotForgeLogLines) {
  struct Case {
    std::string text;
    std::size_t max;
    std::string safe;
  };
  const Case cases[] = {
      {"LirraMISServer.CoStoreProduct", 80, "LirraMISServer.CoStoreProduct"},
      {"x\n2024-01-01 ERROR forged\r\t\x1b[31m", 80, "x?2024-01-01 ERROR forged???[31m"},
      {"abcdef", 4, "abcd..."},
      {"仓库仓库", 7, "仓库..."},  // 3-byte characters: never split
      {"", 80, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(LogSafe(c.text, c.max), c.safe) << c.text;
}

}  // namespace
}  // namespace appserver
