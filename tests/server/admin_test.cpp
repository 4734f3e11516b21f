// The administrator's commands of the appserver program on each backend: history with its
// filters and formats and its errors for bad filters; check finding what is wrong; backup of an
// SQLite database under load, whose copy check passes; and a server killed with SIGKILL in the
// middle of saves and cancels, after which every change has its event and every event its
// change.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "module_calls.h"
#include "remote/tcp_client.h"
#include "server/trail.h"
#include "test_support.h"

extern char** environ;

namespace server::testing {
namespace {

namespace fs = std::filesystem;
using remote::Value;
using ::testing::HasSubstr;
using ::testing::Not;

struct Ran {
  int status = -1;
  std::string out;  // stdout and stderr
};

// `appserver ARGS...`, its exit status and what it wrote.
Ran Appserver(const std::vector<std::string>& args) {
  std::string command = "'" + std::string(APPSERVER_PATH) + "'";
  for (const std::string& a : args) {
    std::string quoted = "'";
    for (char c : a) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += " " + quoted + "'";
  }
  command += " 2>&1";
  Ran r;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// A database of its own for the test and for appserver processes: an SQLite file, or a schema
// of the PostgreSQL database named by QMDW_PG_URL (the program reaches it through the search
// path in its connection string).
class AdminTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgresql") {
      if (!PgUrl()) GTEST_SKIP() << "QMDW_PG_URL is not set";
      static int counter = 0;
      schema_ = "qmdw_admin_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
      StorageOptions options;
      options.pg_schema = schema_;
      storage_ = OpenStorage(PgUrl(), options);
      const std::string base = PgUrl();
      url_ = base + (base.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" +
             schema_;
    } else {
      dir_ = fs::temp_directory_path() / ("qmdw-admin-" + std::to_string(getpid()));
      fs::remove_all(dir_);
      fs::create_directories(dir_);
      url_ = "sqlite:" + (dir_ / "live.db").string();
      storage_ = OpenStorage(url_);
    }
    CreateDemoData(*storage_, DemoSet::kSmall);
    db_ = storage_->NewSession();
  }
  void TearDown() override {
    trail::WaitIdle();
    trail::SetKey("");
    if (!schema_.empty() && db_) db_->ExecuteScript("DROP SCHEMA " + schema_ + " CASCADE");
    db_.reset();
    storage_.reset();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  std::unique_ptr<remote::ServerObject> Object(const std::string& prog_id,
                                               const std::string& address = "192.0.2.9") {
    ClientInfo client;
    client.address = address;
    return CreateServerObject(prog_id, *storage_, client);
  }
  Ran Check(std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"check", "--database", url_};
    args.insert(args.end(), more.begin(), more.end());
    return Appserver(args);
  }
  void Sql(const std::string& sql) { db_->ExecuteScript(sql); }

  // An appserver process on the test's database; its computer name ("127.0.0.1:PORT").
  std::string StartServer(pid_t& pid, const std::vector<std::string>& more = {}) {
    const fs::path port_file =
        fs::temp_directory_path() / ("qmdw-admin-port-" + std::to_string(getpid()));
    fs::remove(port_file);
    std::vector<std::string> args = {APPSERVER_PATH,     "--database",  url_,
                                     "--port",           "0",           "--port-file",
                                     port_file.string(), "--log-level", "off"};
    args.insert(args.end(), more.begin(), more.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return "";
    std::string port;
    for (int i = 0; i < 200 && port.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
      std::ifstream(port_file) >> port;
    }
    fs::remove(port_file);
    return port.empty() ? "" : "127.0.0.1:" + port;
  }
  static void KillServer(pid_t pid) {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  // Every changeable value of the documents and the stock, and the trail's events.
  std::string State() {
    std::string s;
    const std::pair<const char*, int> queries[] = {
        {"SELECT SPDM00, CKDM00, KCBZ00, KCSL00 FROM XSTZXKC0 ORDER BY 1, 2, 3", 4},
        {"SELECT DHAO00, YWRQ00, YWRY00, BEIZHU FROM QMDWLRT1 ORDER BY 1", 4},
        {"SELECT XHAO00, SJLX00, DHAO00 FROM QMDWSHRZ ORDER BY 1", 3}};
    for (const auto& [sql, columns] : queries) {
      auto rows = db_->Query(sql);
      while (rows->Next()) {
        for (int c = 0; c < columns; ++c) {
          s += rows->IsNull(c) ? std::string("-") : std::string(rows->Text(c));
          s += '|';
        }
        s += '\n';
      }
    }
    return s;
  }

  fs::path dir_;
  std::string schema_;
  std::string url_;
  std::unique_ptr<StorageFactory> storage_;
  std::unique_ptr<DbSession> db_;
};

INSTANTIATE_TEST_SUITE_P(Backends, AdminTest, ::testing::Values("sqlite", "postgresql"),
                         BackendName);

TEST_P(AdminTest, HistoryPrintsTheTrailFilteredAsATableOrCsv) {
  auto systran = Object(remote::kProgIdSysTran);
  auto commu = Object(remote::kProgIdCommunicate);
  ASSERT_EQ(SaveAudit(*systran, OpenDocument(*systran, 20240014), "2024-04-01", "0003").error_count,
            0);
  EXPECT_EQ(CancelAudit(*commu, OpenDocument(*systran, 20240014)), "");
  // A refused double audit: the other operator read the document before the audit.
  auto other = Object(remote::kProgIdSysTran, "192.0.2.10");
  remote::Packet stale = OpenDocument(*other, 20240016);
  ASSERT_EQ(SaveAudit(*systran, OpenDocument(*systran, 20240016), "2024-04-02", "0004").error_count,
            0);
  ASSERT_EQ(SaveAudit(*other, stale, "2024-04-03", "0005").error_count, 1);
  trail::WaitIdle();

  Ran all = Appserver({"history", "--database", url_});
  ASSERT_EQ(all.status, 0) << all.out;
  EXPECT_THAT(all.out, HasSubstr("audit-failed"));
  EXPECT_THAT(all.out, HasSubstr("reason: S-APPLY-013 Document 20240016 was changed"));
  EXPECT_THAT(all.out, HasSubstr("192.0.2.9"));
  EXPECT_THAT(all.out, HasSubstr("YWRY00: (none) -> 0003"));
  EXPECT_THAT(all.out, HasSubstr("YWRY00: 0003 -> (none)"));  // the cancel took the audit away

  Ran one = Appserver({"history", "--database", url_, "--document", "20240014"});
  ASSERT_EQ(one.status, 0) << one.out;
  EXPECT_THAT(one.out, HasSubstr("2 events"));
  EXPECT_THAT(one.out, Not(HasSubstr("20240016")));
  Ran by = Appserver({"history", "--database", url_, "--operator", "0005"});
  EXPECT_THAT(by.out, HasSubstr("1 event\n"));
  // Every event lies in today's range, none in an earlier one.
  const std::string today = rtl::DateTimeToIso(rtl::DateOf(trail::Now()));
  EXPECT_THAT(Appserver({"history", "--database", url_, "--from", today, "--to", today}).out,
              Not(HasSubstr(" 0 events")));
  EXPECT_THAT(Appserver({"history", "--database", url_, "--to", "2000-01-01 12:00"}).out,
              HasSubstr("0 events"));

  Ran csv = Appserver({"history", "--database", url_, "--document", "20240014", "--csv"});
  ASSERT_EQ(csv.status, 0) << csv.out;
  std::istringstream lines(csv.out);
  std::string header, first;
  std::getline(lines, header);
  std::getline(lines, first);
  EXPECT_THAT(header, HasSubstr("number,time,event,document,operator,client_address"));
  EXPECT_THAT(first, HasSubstr(",audit,20240014,0003,192.0.2.9,"));
  EXPECT_THAT(first, HasSubstr("\"{\"\"header\"\":"));  // the JSON, quoted
}

TEST_P(AdminTest, HistoryRefusesUnknownFiltersAndMalformedTimes) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--user", "0003"}, "unknown filter \"--user\"; the filters are --document N"},
      {{"--from", "2024-13-01"}, "--from \"2024-13-01\" is not a time"},
      {{"--to", "yesterday"}, "--to \"yesterday\" is not a time"},
      {{"--from", "2024-03-01 25:00"}, "is not a time"},
      {{"--from", "2024-03-02", "--to", "2024-03-01"}, "--to lies before --from"},
      {{"--document", "abc"}, "--document \"abc\" is not a document number"},
      {{"--operator"}, "--operator expects a value"},
      {{"extra"}, "history takes no argument \"extra\""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"history", "--database", url_};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Ran r = Appserver(args);
    EXPECT_EQ(r.status, 2) << c.says;
    EXPECT_THAT(r.out, HasSubstr(c.says));
  }
}

TEST_P(AdminTest, CheckPassesAConsistentDatabaseAndFindsWhatIsWrong) {
  auto systran = Object(remote::kProgIdSysTran);
  auto commu = Object(remote::kProgIdCommunicate);
  ASSERT_EQ(SaveAudit(*systran, OpenDocument(*systran, 20240014), "2024-04-01", "0003").error_count,
            0);
  EXPECT_EQ(CancelAudit(*commu, OpenDocument(*systran, 20240021)), "");
  Ran ok = Check();
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_THAT(ok.out, HasSubstr("result: consistent"));

  const bool pg = GetParam() == "postgresql";
  struct Case {
    const char* what;
    std::string damage;
    std::string repair;
    const char* found;
  };
  const std::string drop_triggers =
      pg ? "DROP TRIGGER QMDWSHRZ_NO_CHANGE ON QMDWSHRZ" : "DROP TRIGGER QMDWSHRZ_NO_UPDATE";
  const std::string make_triggers =
      pg ? "CREATE TRIGGER QMDWSHRZ_NO_CHANGE BEFORE UPDATE OR DELETE ON QMDWSHRZ FOR EACH ROW "
           "EXECUTE FUNCTION QMDWSHRZ_REFUSE()"
         : "CREATE TRIGGER QMDWSHRZ_NO_UPDATE BEFORE UPDATE ON QMDWSHRZ BEGIN SELECT "
           "RAISE(ABORT, 'the audit trail cannot be changed'); END";
  const Case cases[] = {
      {"an audit date without its auditor",
       "UPDATE QMDWLRT1 SET YWRY00 = NULL WHERE DHAO00 = 20240020",
       "UPDATE QMDWLRT1 SET YWRY00 = '0002' WHERE DHAO00 = 20240020",
       "document 20240020: an audit date without an auditor"},
      {"a document audited outside the server",
       "UPDATE QMDWLRT1 SET YWRQ00 = '2024-04-05', YWRY00 = '0001' WHERE DHAO00 = 20240016",
       "UPDATE QMDWLRT1 SET YWRQ00 = NULL, YWRY00 = NULL WHERE DHAO00 = 20240016",
       "document 20240016 is audited, and the trail holds no audit of it"},
      {"an audit cancelled outside the server",
       "UPDATE QMDWLRT1 SET YWRQ00 = NULL, YWRY00 = NULL WHERE DHAO00 = 20240014",
       "UPDATE QMDWLRT1 SET YWRQ00 = '2024-04-01', YWRY00 = '0003' WHERE DHAO00 = 20240014",
       "document 20240014 is not audited, and its last event in the trail"},
      {"the stock changed outside the server",
       "UPDATE XSTZXKC0 SET KCSL00 = KCSL00 + 1 WHERE KCBZ00 = 'YW' AND CKDM00 = '0B' AND "
       "SPDM00 IN (SELECT SPDM00 FROM QMDWLRT2 WHERE DHAO00 = 20240014)",
       "UPDATE XSTZXKC0 SET KCSL00 = KCSL00 - 1 WHERE KCBZ00 = 'YW' AND CKDM00 = '0B' AND "
       "SPDM00 IN (SELECT SPDM00 FROM QMDWLRT2 WHERE DHAO00 = 20240014)",
       "(changed outside the application server)"},
      {"a missing stock row of an audited document",
       "UPDATE XSTZXKC0 SET KCBZ00 = 'YX' WHERE KCBZ00 = 'YW' AND CKDM00 = '02' AND SPDM00 = "
       "(SELECT MIN(SPDM00) FROM QMDWLRT2 WHERE DHAO00 = 20240001)",
       "UPDATE XSTZXKC0 SET KCBZ00 = 'YW' WHERE KCBZ00 = 'YX'",
       "document 20240001: no stock row \"YW\" of goods"},
      {"a trail without its protection", drop_triggers, make_triggers,
       "that refuses changes of events is missing or off"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sql(c.damage);
    const Ran r = Check();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_THAT(r.out, HasSubstr(c.found)) << r.out;
    EXPECT_THAT(r.out, HasSubstr("problem(s) found"));
    Sql(c.repair);
    EXPECT_EQ(Check().status, 0) << Check().out;
  }
  // An event changed by someone who dropped the triggers.
  Sql(drop_triggers);
  Sql("UPDATE QMDWSHRZ SET CZRY00 = '0001' WHERE SJLX00 = 'audit'");
  const Ran forged = Check();
  EXPECT_EQ(forged.status, 1);
  EXPECT_THAT(forged.out, HasSubstr("its content or its place in the trail was changed"));
}

TEST_P(AdminTest, CheckVerifiesAKeyedTrailWithItsKey) {
  const fs::path key_file =
      fs::temp_directory_path() / ("qmdw-trail-key-" + std::to_string(getpid()));
  std::ofstream(key_file) << "a trail key of at least 16 bytes\n";
  {
    pid_t server = -1;
    const std::string computer = StartServer(server, {"--trail-key", key_file.string()});
    ASSERT_FALSE(computer.empty());
    auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
    ASSERT_EQ(
        SaveAudit(*systran, OpenDocument(*systran, 20240014), "2024-04-01", "0003").error_count, 0);
    systran.reset();
    kill(server, SIGTERM);
    int status = 0;
    waitpid(server, &status, 0);
  }
  const Ran with = Check({"--trail-key", key_file.string()});
  EXPECT_EQ(with.status, 0) << with.out;
  const Ran without = Check();
  EXPECT_EQ(without.status, 1);
  EXPECT_THAT(without.out, HasSubstr("which was not given: it cannot be verified"));
  fs::remove(key_file);
}

// PostgreSQL is backed up with its own tools: pg_dump of the schema, pg_restore into another
// database, and the copy passes check with its trail protected as before.
TEST_P(AdminTest, ThePgDumpRouteGivesACopyThatCheckPasses) {
  if (GetParam() != "postgresql") GTEST_SKIP() << "the pg_dump route is PostgreSQL's";
  if (std::system("pg_dump --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no pg_dump";
  auto systran = Object(remote::kProgIdSysTran);
  ASSERT_EQ(SaveAudit(*systran, OpenDocument(*systran, 20240014), "2024-04-01", "0003").error_count,
            0);
  const std::string dump = (fs::temp_directory_path() / (schema_ + ".dump")).string();
  const std::string base = PgUrl();
  if (base.find(":///") == std::string::npos || base.find('?') == std::string::npos) {
    GTEST_SKIP() << "QMDW_PG_URL is not of the form postgresql:///DB?host=...";
  }
  auto quote = [](const std::string& s) { return "'" + s + "'"; };
  ASSERT_EQ(std::system(("pg_dump --format=custom --schema=" + schema_ + " --file=" + quote(dump) +
                         " " + quote(url_))
                            .c_str()),
            0);
  const std::string database = schema_ + "_restored";
  Sql("CREATE DATABASE " + database);
  const std::size_t slash = base.find(":///") + 4;
  std::string restored = base.substr(0, slash) + database + base.substr(base.find('?'));
  ASSERT_EQ(std::system(("pg_restore --dbname=" + quote(restored) + " " + quote(dump)).c_str()), 0);
  restored += "&options=-csearch_path%3D" + schema_;
  const Ran r = Appserver({"check", "--database", restored});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, Not(HasSubstr("trail protection:")));
  {
    auto copy = OpenStorage(restored);
    auto session = copy->NewSession();
    EXPECT_THROW(session->ExecuteScript("DELETE FROM QMDWSHRZ"), StorageError);
  }
  Sql("DROP DATABASE " + database);
  fs::remove(dump);
}

// The module's audits and cancels from several clients over the network while the copies are
// taken: each copy is one consistent moment that check passes.
TEST(BackupTest, ACopyTakenUnderLoadPassesCheckAndABadTargetChangesNothing) {
  const fs::path dir = fs::temp_directory_path() / ("qmdw-backup-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string live = (dir / "live.db").string();
  ASSERT_EQ(
      Appserver({"demo", "small", "--database", "sqlite:" + live, "--log-level", "warning"}).status,
      0);
  // The server, as a process of its own.
  const std::string port_file = (dir / "port").string();
  pid_t server = -1;
  {
    std::vector<std::string> args = {APPSERVER_PATH, "--database", "sqlite:" + live, "--port", "0",
                                     "--port-file",  port_file,    "--log-level",    "error"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&server, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  }
  std::string port;
  for (int i = 0; i < 100 && port.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream(port_file) >> port;
  }
  ASSERT_FALSE(port.empty());
  const std::string computer = "127.0.0.1:" + port;

  // Documents whose every line has its stock rows: audited and cancelled in turn.
  const std::vector<double> documents = {20240007, 20240008, 20240010, 20240012, 20240013,
                                         20240014, 20240016, 20240018, 20240020, 20240021};
  std::atomic<bool> stop{false};
  std::atomic<int> saves{0};
  std::vector<std::thread> operators;
  for (int t = 0; t < 3; ++t) {
    operators.emplace_back([&, t] {
      auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
      auto commu = remote::ConnectServerObject(computer, remote::kProgIdCommunicate);
      std::mt19937 random(static_cast<unsigned>(t));
      while (!stop) {
        const double number = documents[random() % documents.size()];
        try {
          remote::Packet doc = OpenDocument(*systran, number);
          if (doc.rows[0].cells[3].is_null()) {
            SaveAudit(*systran, doc, "2024-04-0" + std::to_string(1 + t),
                      "000" + std::to_string(t + 1));
          } else {
            CancelAudit(*commu, doc);
          }
          ++saves;
        } catch (const remote::ServerError&) {
          // a conflict or a busy database: as an operator sees it, and on with the next
        }
      }
    });
  }
  std::vector<std::string> copies;
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string copy = (dir / ("copy" + std::to_string(i) + ".db")).string();
    const Ran r = Appserver({"backup", copy, "--database", "sqlite:" + live});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(r.out, HasSubstr("integrity ok"));
    copies.push_back(copy);
  }
  // A target that cannot be written: a clean failure, nothing left behind, nothing changed.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stop = true;
  for (std::thread& t : operators) t.join();
  EXPECT_GT(saves.load(), 10);
  {
    auto db = OpenStorage("sqlite:" + live)->NewSession();
    auto count = [&] {
      auto r = db->Query("SELECT COUNT(*), SUM(KCSL00) FROM XSTZXKC0");
      r->Next();
      return std::to_string(r->Integer(0)) + "/" + rtl::FloatToStr(r->Float(1));
    };
    const std::string before = count();
    for (const std::string& bad :
         {std::string("/proc/qmdw-backup.db"), (dir / "no-such-dir" / "copy.db").string(), live,
          live + "-wal", dir.string()}) {
      const Ran r = Appserver({"backup", bad, "--database", "sqlite:" + live});
      EXPECT_EQ(r.status, 1) << bad << ": " << r.out;
      EXPECT_THAT(r.out, HasSubstr("appserver backup: ")) << bad;
    }
    EXPECT_EQ(count(), before);
    for (const auto& entry : fs::directory_iterator(dir)) {
      EXPECT_EQ(entry.path().string().find(".part-"), std::string::npos) << entry.path();
    }
  }
  const Ran pg = Appserver({"backup", (dir / "x").string(), "--database", "postgresql:///qmdw"});
  EXPECT_EQ(pg.status, 2);
  EXPECT_THAT(pg.out, HasSubstr("pg_dump"));
  for (const std::string& copy : copies) {
    const Ran r = Appserver({"check", "--database", "sqlite:" + copy});
    EXPECT_EQ(r.status, 0) << copy << ":\n" << r.out;
  }
  kill(server, SIGTERM);
  int status = 0;
  waitpid(server, &status, 0);
  const Ran r = Appserver({"check", "--database", "sqlite:" + live});
  EXPECT_EQ(r.status, 0) << r.out;
  fs::remove_all(dir);
}

// The server killed with SIGKILL right after a save's stock batch ran (its document not yet sent),
// and right before a cancel's commit: neither left a change or an event.
TEST_P(AdminTest, AServerKilledInsideASaveOrACancelLeavesNeitherChangeNorEvent) {
  const std::string before = State();
  {
    pid_t server = -1;
    const std::string computer = StartServer(server);
    ASSERT_FALSE(computer.empty());
    auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
    const remote::Packet doc = OpenDocument(*systran, 20240014);
    std::vector<Value> args = {Value::Text(AuditBatch(DocumentLines(doc), DocumentWarehouse(doc)))};
    systran->Call("TranPara", args);  // the stock is lowered, uncommitted
    KillServer(server);
    EXPECT_THROW(systran->ApplyUpdates("dsp_qmdwlrt1", {AuditDelta(doc, "2024-04-01", "0003")}, 0),
                 remote::ServerError);
  }
  EXPECT_EQ(State(), before);
  {
    pid_t server = -1;
    const std::string computer = StartServer(server);
    ASSERT_FALSE(computer.empty());
    auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
    auto commu = remote::ConnectServerObject(computer, remote::kProgIdCommunicate);
    const remote::Packet doc = OpenDocument(*systran, 20240021);
    std::vector<Value> none;
    commu->Call("sustarttran", none);
    for (const BatchLine& l : DocumentLines(doc)) {
      commu->Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement("0B", l.goods, l.quantity));
      commu->Execute("dsp_qmdwlrt_tmp", {},
                     IncrementStatement(DocumentWarehouse(doc), l.goods, l.quantity));
    }
    commu->Execute("dsp_qmdwlrt_tmp", {}, ResetStatement(20240021));
    KillServer(server);
    EXPECT_THROW(commu->Call("sucommit", none), remote::ServerError);
  }
  EXPECT_EQ(State(), before);
  const Ran r = Check();
  EXPECT_EQ(r.status, 0) << r.out;
}

// The server killed with SIGKILL while operators save and cancel: a transaction that had not
// committed left nothing, neither change nor event; one that had committed left both.
TEST_P(AdminTest, AServerKilledInTheMiddleOfSavesLeavesNoEventWithoutItsChange) {
  const std::vector<double> documents = {20240007, 20240008, 20240010, 20240012,
                                         20240014, 20240016, 20240020, 20240021};
  std::mt19937 random(7);
  int audits_before = 0;
  for (int trial = 0; trial < 4; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    pid_t server = -1;
    const std::string computer = StartServer(server);
    ASSERT_FALSE(computer.empty());
    std::atomic<bool> stop{false};
    std::vector<std::thread> operators;
    for (int t = 0; t < 3; ++t) {
      operators.emplace_back([&, t] {
        try {
          auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
          auto commu = remote::ConnectServerObject(computer, remote::kProgIdCommunicate);
          std::mt19937 pick(static_cast<unsigned>(trial * 10 + t));
          while (!stop) {
            const double number = documents[pick() % documents.size()];
            try {
              remote::Packet doc = OpenDocument(*systran, number);
              if (doc.rows[0].cells[3].is_null()) {
                SaveAudit(*systran, doc, "2024-04-0" + std::to_string(1 + t), "0001");
              } else {
                CancelAudit(*commu, doc);
              }
            } catch (const remote::ServerError&) {
              if (stop) return;
            }
          }
        } catch (const std::exception&) {
          // the server is gone
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + random() % 400));
    KillServer(server);
    stop = true;
    for (std::thread& t : operators) t.join();

    const Ran r = Check();
    EXPECT_EQ(r.status, 0) << r.out;
    // And directly: a document is audited exactly when its last audit or cancel is an audit.
    auto storage = OpenStorage(url_);
    auto db = storage->NewSession();
    std::map<double, trail::Kind> last;
    int audits = 0;
    for (const trail::Event& e : trail::Read(*db)) {
      if (!e.document) continue;
      if (e.kind == trail::Kind::kAudit || e.kind == trail::Kind::kCancel)
        last[*e.document] = e.kind;
      if (e.kind == trail::Kind::kAudit) ++audits;
    }
    for (double number : documents) {
      auto row = db->Query("SELECT YWRQ00 FROM QMDWLRT1 WHERE DHAO00 = ?", {Value::Float(number)});
      ASSERT_TRUE(row->Next());
      const bool audited = !row->IsNull(0);
      const bool baseline = number >= 20240020;  // audited in the demo set
      auto it = last.find(number);
      const bool by_trail = it == last.end() ? baseline : it->second == trail::Kind::kAudit;
      EXPECT_EQ(audited, by_trail) << number;
    }
    EXPECT_GE(audits, audits_before);
    audits_before = audits;
  }
  EXPECT_GT(audits_before, 0);  // the operators got something done between the kills
}

}  // namespace
}  // namespace server::testing
