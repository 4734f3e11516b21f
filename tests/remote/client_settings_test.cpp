// Where a client looks for the application server: computer names and the settings sources.
#include "remote/client_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "remote/server_object.h"

namespace remote {
namespace {

TEST(ClientSettingsTest, ComputerNames) {
  struct Case {
    std::string name;
    std::string host;
    uint16_t port;
  };
  const Case cases[] = {
      {"", "127.0.0.1", 7211},
      {"  ", "127.0.0.1", 7211},
      {"appserver", "appserver", 7211},
      {"\\\\APPSERVER", "APPSERVER", 7211},
      {"10.1.2.3", "10.1.2.3", 7211},
      {"10.1.2.3:9000", "10.1.2.3", 9000},
      {"localhost:1", "localhost", 1},
      {":4000", "127.0.0.1", 4000},
      {"::1", "::1", 7211},
      {"[::1]", "::1", 7211},
      {"[::1]:65535", "::1", 65535},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerAddress a = ParseComputerName(c.name, 7211);
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.port, c.port);
  }
}

TEST(ClientSettingsTest, BadPortsAreRefused) {
  for (const char* name : {"host:", "host:0", "host:65536", "host:12a", "[::1]x", "[::1"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(ParseComputerName(name, 7211), ServerError);
  }
}

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  if (value.empty())
    unsetenv(name);
  else
    setenv(name, value.c_str(), 1);
#endif
}

class SettingsSources : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("qmdw-settings-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    SetEnv("QMDW_SERVER_PORT", "");
    SetEnv("QMDW_SITE_KEY_FILE", "");
    SetEnv("QMDW_CLIENT_CONFIG", PathText(dir_ / "client.conf"));
  }
  void TearDown() override {
    SetEnv("QMDW_CLIENT_CONFIG", "");
    SetEnv("QMDW_SERVER_PORT", "");
    SetEnv("QMDW_SITE_KEY_FILE", "");
    std::filesystem::remove_all(dir_);
  }
  void WriteConfig(const std::string& text) { std::ofstream(dir_ / "client.conf") << text; }
  std::filesystem::path dir_;
};

TEST_F(SettingsSources, DefaultsWithoutFileOrEnvironment) {
  ClientSettings s = LoadClientSettings();
  EXPECT_EQ(s.port, kDefaultPort);
  EXPECT_TRUE(s.site_key_file.empty());
}

TEST_F(SettingsSources, FileIsReadAndEnvironmentWins) {
  WriteConfig("# client settings\n[server]\nport = 9100 ; the site's port\nsite_key_file = /k\n");
  ClientSettings s = LoadClientSettings();
  EXPECT_EQ(s.port, 9100);
  EXPECT_EQ(s.site_key_file, std::filesystem::path("/k"));

  SetEnv("QMDW_SERVER_PORT", "9200");
  SetEnv("QMDW_SITE_KEY_FILE", "/other");
  s = LoadClientSettings();
  EXPECT_EQ(s.port, 9200);
  EXPECT_EQ(s.site_key_file, std::filesystem::path("/other"));
}

TEST_F(SettingsSources, MalformedPortNamesItsSource) {
  WriteConfig("port = seventy\n");
  try {
    LoadClientSettings();
    ADD_FAILURE();
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("client.conf"), std::string::npos) << e.what();
  }
  SetEnv("QMDW_SERVER_PORT", "70000");
  try {
    LoadClientSettings();
    ADD_FAILURE();
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("QMDW_SERVER_PORT"), std::string::npos) << e.what();
  }
}

TEST_F(SettingsSources, SiteKeyFile) {
  std::ofstream(dir_ / "good.key", std::ios::binary) << "0123456789abcdef0123\r\n";
  EXPECT_EQ(ReadSiteKeyFile(dir_ / "good.key"), "0123456789abcdef0123");
  std::ofstream(dir_ / "short.key", std::ios::binary) << "short\n";
  EXPECT_THROW(ReadSiteKeyFile(dir_ / "short.key"), ServerError);
  EXPECT_THROW(ReadSiteKeyFile(dir_ / "missing.key"), ServerError);
}

}  // namespace
}  // namespace remote
