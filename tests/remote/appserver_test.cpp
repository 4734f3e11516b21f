// The application server with its real server objects, over TCP, on SQLite and (with
// QMDW_PG_URL) PostgreSQL: connections by ProgID, the server's messages end to end, a killed
// client's transaction rolled back; and the appserver program itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "remote/connection.h"
#include "remote/tcp_client.h"
#include "server/objects.h"
#include "tests/support/test_app_server.h"

extern char** environ;

namespace {

using remote::ServerError;
using remote::Value;
using testsupport::Backend;
using testsupport::TestAppServer;

// Runs a program with arguments; returns its pid, its stdout readable through *out_fd.
pid_t Spawn(const std::vector<std::string>& args, int* out_fd, int* err_fd = nullptr) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  *out_fd = out[0];
  if (err_fd)
    *err_fd = err[0];
  else
    close(err[0]);
  return pid;
}

std::string ReadAll(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  close(fd);
  return text;
}

int WaitExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Increment(int n) {
  return "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(" + std::to_string(n) +
         ") WHERE CKDM00='01' AND SPDM00='10010001' AND KCBZ00='YW'";
}

class AppServerTest : public ::testing::TestWithParam<Backend> {
 protected:
  double Stock(const std::string& goods = "10010001") {
    auto session = server_.storage().NewSession();
    auto rows =
        session->Query("SELECT KCSL00 FROM XSTZXKC0 WHERE CKDM00='01' AND SPDM00=? AND KCBZ00='YW'",
                       {Value::Text(goods)});
    EXPECT_TRUE(rows->Next());
    return rows->Float(0);
  }

  TestAppServer server_{GetParam()};
};

TEST_P(AppServerTest, ConnectionsReachTheObjectsByProgId) {
  remote::Connection units(remote::kProgIdStoreProduct);
  units.SetComputerName("");  // this computer: the fixture's port
  remote::OpenRequest request;
  request.provider = "dsp_LirraUnit";
  remote::OpenResult result = units.Object().Open(request);
  ASSERT_EQ(result.packet.rows.size(), 3u);
  EXPECT_EQ(result.packet.rows[0].cells[0], Value::Text("条"));
  EXPECT_EQ(result.packet.rows[1].cells[0], Value::Text("件"));

  for (const std::string& prog_id : server::HostedProgIds()) {
    remote::Connection c(prog_id);
    c.SetComputerName(server_.computer_name());
    EXPECT_NO_THROW(c.SetConnected(true)) << prog_id;
  }
  EXPECT_TRUE(server_.server().WaitForSessionCount(1, 5000));
}

TEST_P(AppServerTest, RefusalsArriveWithTheServersMessageAndChangeNothing) {
  double before = Stock();
  auto commu = remote::ConnectServerObject(server_.computer_name(), remote::kProgIdCommunicate);
  try {
    commu->Execute("dsp_qmdwlrt_tmp", {}, "DELETE FROM XSTZXKC0");
    ADD_FAILURE();
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("DELETE FROM XSTZXKC0"), std::string::npos) << e.what();
  }
  EXPECT_EQ(Stock(), before);
  EXPECT_THROW(remote::ConnectServerObject(server_.computer_name(), "No.Such.Object"), ServerError);
  // The session goes on: a transaction opens, an increment runs in it and is rolled back.
  std::vector<Value> none;
  commu->Call("sustarttran", none);
  EXPECT_NO_THROW(commu->Execute("dsp_qmdwlrt_tmp", {}, Increment(5)));
  commu->Call("surollback", none);
  EXPECT_EQ(Stock(), before);
}

TEST_P(AppServerTest, KilledClientsTransactionIsRolledBack) {
  double before = Stock();
  int out = -1;
  pid_t pid = Spawn({KILL_CLIENT_PATH, server_.computer_name(), remote::kProgIdCommunicate,
                     "dsp_qmdwlrt_tmp", Increment(7)},
                    &out);
  ASSERT_GT(pid, 0);
  char buf[6] = {};
  ASSERT_EQ(read(out, buf, 5), 5);
  close(out);
  ASSERT_STREQ(buf, "ready");
  EXPECT_TRUE(server_.server().WaitForSessionCount(1, 5000));

  kill(pid, SIGKILL);
  WaitExit(pid);
  EXPECT_TRUE(server_.server().WaitForSessionCount(0, 5000));
  EXPECT_EQ(Stock(), before);

  // A cancel committed does change the stock: the rollback above was real. Document 20240021
  // (warehouse 01, audited) has a line of goods 10010002 with quantity 6.
  auto commu = remote::ConnectServerObject(server_.computer_name(), remote::kProgIdCommunicate);
  const double before_line = Stock("10010002");
  std::vector<Value> none;
  commu->Call("sustarttran", none);
  for (const auto& [goods, quantity] : std::vector<std::pair<std::string, int>>{
           {"10010008", 8}, {"10010005", 7}, {"10010002", 6}}) {
    for (const char* warehouse : {"0B", "01"}) {
      commu->Execute("dsp_qmdwlrt_tmp", {},
                     "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(" + std::to_string(quantity) +
                         ") WHERE CKDM00='" + warehouse + "' AND SPDM00='" + goods +
                         "' AND KCBZ00='YW'");
    }
  }
  commu->Execute("dsp_qmdwlrt_tmp", {},
                 "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=20240021");
  commu->Call("sucommit", none);
  EXPECT_EQ(Stock("10010002"), before_line + 6);
}

INSTANTIATE_TEST_SUITE_P(Backends, AppServerTest,
                         ::testing::ValuesIn(testsupport::AvailableBackends()),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

// The program: demo data, serving, graceful shutdown, refusing to listen beyond loopback
// without a key.
class AppServerProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("qmdw-appserver-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    db_ = "sqlite:" + (dir_ / "qmdw.db").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs appserver to its end; returns the exit code, stderr in *log.
  int Run(std::vector<std::string> args, std::string* log) {
    args.insert(args.begin(), APPSERVER_PATH);
    int out = -1, err = -1;
    pid_t pid = Spawn(args, &out, &err);
    ReadAll(out);
    *log = ReadAll(err);
    return WaitExit(pid);
  }

  // Starts appserver serving; returns its pid once it listens.
  pid_t Serve(std::vector<std::string> args, int* err) {
    std::string port_file = (dir_ / "port").string();
    std::filesystem::remove(port_file);
    args.insert(args.begin(),
                {APPSERVER_PATH, "--database", db_, "--port", "0", "--port-file", port_file});
    int out = -1;
    pid_t pid = Spawn(args, &out, err);
    close(out);
    for (int i = 0; i < 500 && port_ == 0; ++i) {
      std::ifstream in(port_file);
      if (!(in >> port_)) {
        port_ = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    return pid;
  }

  std::filesystem::path dir_;
  std::string db_;
  int port_ = 0;
};

TEST_F(AppServerProgramTest, ServesTheDemoAndStopsCleanlyOnSigterm) {
  std::string log;
  ASSERT_EQ(Run({"demo", "small", "--database", db_}, &log), 0) << log;

  int err = -1;
  pid_t pid = Serve({}, &err);
  ASSERT_GT(port_, 0);
  {
    auto object = remote::ConnectServerObject("127.0.0.1:" + std::to_string(port_),
                                              remote::kProgIdStoreProduct);
    remote::OpenRequest request;
    request.provider = "dsp_LirraUnit";
    EXPECT_EQ(object->Open(request).packet.rows.size(), 3u);
    kill(pid, SIGTERM);  // with the client still connected
    EXPECT_EQ(WaitExit(pid), 0);
  }
  log = ReadAll(err);
  EXPECT_NE(log.find("received SIGTERM, shutting down"), std::string::npos) << log;
  EXPECT_NE(log.find("instance destroyed"), std::string::npos) << log;
  EXPECT_NE(log.find("stopped"), std::string::npos) << log;
}

TEST_F(AppServerProgramTest, SiteKeyIsRequiredBeyondLoopbackAndChecked) {
  std::string log;
  EXPECT_EQ(Run({"--database", db_, "--listen", "0.0.0.0", "--port", "0"}, &log), 1);
  EXPECT_NE(log.find("requires a site key"), std::string::npos) << log;
  EXPECT_EQ(Run({"--port", "http"}, &log), 2);
  EXPECT_NE(log.find("--port expects a number"), std::string::npos) << log;

  std::string key = (dir_ / "site.key").string();
  std::ofstream(key) << "a site key of thirty-two bytes..\n";
  int err = -1;
  pid_t pid = Serve({"--site-key", key}, &err);
  ASSERT_GT(port_, 0);
  std::string computer = "127.0.0.1:" + std::to_string(port_);
  remote::ClientSettings without;
  EXPECT_THROW(remote::ConnectServerObject(computer, remote::kProgIdSysControl, without),
               ServerError);
  remote::ClientSettings with;
  with.site_key_file = key;
  EXPECT_NO_THROW(remote::ConnectServerObject(computer, remote::kProgIdSysControl, with));
  kill(pid, SIGINT);
  EXPECT_EQ(WaitExit(pid), 0);
  close(err);
}

}  // namespace
