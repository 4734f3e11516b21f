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

TEST(OptionsTest, EveryLimit) {
  const CommandLine defaults = ParseCommandLine({});
  EXPECT_EQ(defaults.server.max_clients_per_address, 64u);
  EXPECT_EQ(defaults.server.handshake_timeout_ms, 10000);
  EXPECT_EQ(defaults.server.idle_timeout_ms, 8 * 3600 * 1000);
  EXPECT_EQ(defaults.server.request_timeout_ms, 60000);
  EXPECT_EQ(defaults.server.send_timeout_ms, 120000);
  EXPECT_EQ(defaults.objects.transaction_limit.count(), 10000);
  EXPECT_EQ(defaults.storage.busy_timeout_ms, 15000);
  EXPECT_GT(defaults.storage.busy_timeout_ms, defaults.objects.transaction_limit.count());

  CommandLine cl = ParseCommandLine({"--max-clients-per-address",
                                     "6",
                                     "--max-request-bytes",
                                     "65536",
                                     "--handshake-timeout",
                                     "3",
                                     "--idle-timeout",
                                     "600",
                                     "--request-timeout",
                                     "20",
                                     "--send-timeout",
                                     "30",
                                     "--save-timeout",
                                     "4",
                                     "--transaction-idle",
                                     "5",
                                     "--transaction-limit",
                                     "7",
                                     "--busy-timeout",
                                     "9",
                                     "--max-open-results",
                                     "8",
                                     "--result-memory-per-session",
                                     "16",
                                     "--result-memory=128",
                                     "--max-objects",
                                     "300",
                                     "--max-objects-per-address=21"});
  EXPECT_EQ(cl.server.max_clients_per_address, 6u);
  EXPECT_EQ(cl.server.max_objects, 300u);
  EXPECT_EQ(cl.server.max_objects_per_address, 21u);
  EXPECT_EQ(cl.server.max_request_bytes, 65536u);
  EXPECT_EQ(cl.server.handshake_timeout_ms, 3000);
  EXPECT_EQ(cl.server.idle_timeout_ms, 600000);
  EXPECT_EQ(cl.server.request_timeout_ms, 20000);
  EXPECT_EQ(cl.server.send_timeout_ms, 30000);
  EXPECT_EQ(cl.objects.save_timeout.count(), 4000);
  EXPECT_EQ(cl.objects.transaction_timeout.count(), 5000);
  EXPECT_EQ(cl.objects.transaction_limit.count(), 7000);
  EXPECT_EQ(cl.storage.busy_timeout_ms, 9000);
  EXPECT_EQ(cl.objects.max_open_results, 8);
  EXPECT_EQ(cl.objects.result_memory_per_session, int64_t{16} << 20);
  EXPECT_EQ(cl.objects.result_memory_total, int64_t{128} << 20);
  // Every limit is listed in the usage text.
  for (const char* option :
       {"--max-clients ", "--max-clients-per-address", "--max-request-bytes", "--handshake-timeout",
        "--idle-timeout", "--request-timeout", "--send-timeout", "--save-timeout",
        "--transaction-idle", "--transaction-limit", "--busy-timeout", "--max-open-results",
        "--result-memory-per-session", "--result-memory "}) {
    EXPECT_NE(UsageText().find(option), std::string::npos) << option;
  }
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
      {{"--transaction-limit", "0"}, "--transaction-limit must be at least 1"},
      {{"--idle-timeout", "2.5"}, "--idle-timeout expects a number, not \"2.5\""},
      {{"--send-timeout", "2073601"}, "--send-timeout 2073601 is out of range (at most 2073600)"},
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
