// The audit's scenarios (tests/scenarios/audit/*.json) played against a real application server:
// each case puts its fixture on a fresh database, plays its scenario file with the scenario runner
// (a process of its own, as the operator's computer is), and then checks what the server's tables
// hold. Every case runs on SQLite and, when QMDW_PG_URL is set, on PostgreSQL.
//
// The runner is the build's qmdw_scenario unless QMDW_SCENARIO_RUNNER names another command taking
// the same arguments (SCENARIO --out LOG --server-host HOST), for instance one that plays the
// files against the native windows.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "remote/socket.h"
#include "rtl/numtext.h"
#include "server/trail.h"
#include "tests/support/scenario_play.h"
#include "tests/support/test_app_server.h"
#include "tests/windows/audit_fixture.h"

namespace audittest {
namespace {

namespace fs = std::filesystem;
using testsupport::Backend;
using testsupport::TestAppServer;
using Rows = std::vector<std::string>;

struct ScenarioCase {
  std::string name;
  std::string file;
  Fixture fixture;
  std::function<void(server::StorageFactory& db)> check;
  // What another client does while the scenario plays (held until the returned object goes).
  std::function<std::shared_ptr<void>(server::StorageFactory& db)> meanwhile = {};
  int busy_timeout_ms = 0;  // how long a writer waits for another (0: the server's default)
  std::string drop_connection_at = {};  // a method whose call ends the client's connection
};

// Another operator's audit of `doc` arriving between the editor's reading and its save: a trigger
// stamps the document when the save lowers its first stock row, inside the save's transaction,
// so the save's own stamp then finds the document changed.
std::shared_ptr<void> OtherOperatorAuditsDuringTheSave(server::StorageFactory& db, double doc) {
  auto session = db.NewSession();
  const std::string number = rtl::FloatToStr(doc);
  if (session->dialect() == server::Dialect::kSQLite) {
    session->ExecuteScript(
        "CREATE TRIGGER QMDW_OTHER_OPERATOR AFTER UPDATE OF KCSL00 ON XSTZXKC0 WHEN NEW.KCBZ00 = "
        "'YW' BEGIN UPDATE QMDWLRT1 SET YWRQ00 = '2024-03-07', YWRY00 = '0001' WHERE DHAO00 = " +
        number + " AND YWRQ00 IS NULL; END");
  } else {
    session->ExecuteScript(
        "CREATE OR REPLACE FUNCTION QMDW_OTHER_OPERATOR() RETURNS trigger LANGUAGE plpgsql AS $$ "
        "BEGIN UPDATE QMDWLRT1 SET YWRQ00 = '2024-03-07', YWRY00 = '0001' WHERE DHAO00 = " +
        number +
        " AND YWRQ00 IS NULL; RETURN NULL; END $$; CREATE TRIGGER QMDW_OTHER_OPERATOR AFTER "
        "UPDATE OF KCSL00 ON XSTZXKC0 FOR EACH ROW WHEN (NEW.KCBZ00 = 'YW') EXECUTE FUNCTION "
        "QMDW_OTHER_OPERATOR()");
  }
  return nullptr;
}

// Another client holding the database's write lock (SQLite) or the stock table's rows
// (PostgreSQL) for as long as the returned object lives.
std::shared_ptr<void> AnotherClientHoldsTheDatabase(server::StorageFactory& db) {
  std::shared_ptr<server::DbSession> session = db.NewSession();
  session->Begin();
  if (session->dialect() == server::Dialect::kPostgreSQL) {
    session->ExecuteScript("LOCK TABLE XSTZXKC0 IN EXCLUSIVE MODE");
  }
  return std::shared_ptr<void>(nullptr, [session](void*) { session->Rollback(); });
}

void PrintTo(const ScenarioCase& c, std::ostream* os) {
  *os << c.file;
}

Doc Document(double number, const std::string& warehouse, std::vector<Line> lines) {
  Doc d;
  d.number = number;
  d.warehouse = warehouse;
  d.lines = std::move(lines);
  return d;
}

// Nothing stored: the stock as the fixture wrote it and the documents unaudited.
std::function<void(server::StorageFactory&)> NothingStored(std::vector<double> docs) {
  return [docs](server::StorageFactory& db) {
    EXPECT_EQ(StockRows(db), DefaultStockRows());
    for (double d : docs) {
      EXPECT_EQ(Header(db, d).audit_date, std::nullopt) << d;
      EXPECT_EQ(Header(db, d).auditor, "") << d;
    }
  };
}

// The save's trail event names the computer the module ran on, as it named itself in its
// greeting: this computer (under Wine: its NetBIOS form, the host name in capitals, at most 15
// characters).
void TrailNamesThisComputer(server::StorageFactory& db, double doc) {
  server::trail::WaitIdle();
  server::trail::Filter f;
  f.document = doc;
  auto session = db.NewSession();
  const std::vector<server::trail::Event> events = server::trail::Read(*session, f);
  ASSERT_FALSE(events.empty());
  auto lower = [](std::string t) {
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  std::string here = lower(remote::ThisComputerName());
  here = here.substr(0, here.find('.'));
  const std::string told = lower(events.back().computer_name);
  EXPECT_FALSE(told.empty());
  EXPECT_TRUE(told == here || told == here.substr(0, 15)) << told << " / " << here;
  EXPECT_EQ(events.back().client_address, "127.0.0.1");
}

std::vector<ScenarioCase> Cases() {
  std::vector<ScenarioCase> cases;

  {
    // Two lines of warehouse 02: 2.5 and -3 cartons; the second line's price changed.
    Fixture f;
    f.docs = {Document(1, "02", {{"10010001", 2.5, 8}, {"10010002", -3, 10, -30, -4.36}})};
    cases.push_back(
        {"SaveTwoLines", "save_two_lines.json", f, [](server::StorageFactory& db) {
           EXPECT_EQ(StockRows(db), DefaultStockRows({{"10010001/02/YW", "997.5"},
                                                      {"10010001/0B/YW", "997.5"},
                                                      {"10010002/02/YW", "1003"},
                                                      {"10010002/0B/YW", "1003"}}));
           StoredHeader h = Header(db, 1);
           EXPECT_EQ(h.audit_date, "2024-03-05");
           EXPECT_EQ(h.auditor, "0002");
           EXPECT_EQ(h.made, "2024-03-01 09:30:00");
           EXPECT_EQ(h.maker, "0001");
           EXPECT_EQ(Lines(db, 1), (Rows{"10010001 8 20 1.7", "10010002 12 -36 -5.23"}));
           TrailNamesThisComputer(db, 1);
         }});
  }
  {
    // Warehouse 0B: both statements of a line lower the same row.
    Fixture f;
    f.docs = {Document(1, "0B", {{"10010003", 7, 5}})};
    cases.push_back({"Warehouse0B", "warehouse_0b.json", f, [](server::StorageFactory& db) {
                       EXPECT_EQ(StockRows(db), DefaultStockRows({{"10010003/0B/YW", "986"}}));
                       EXPECT_EQ(Header(db, 1).audit_date, "2024-03-05");
                     }});
  }
  {
    Fixture f;
    f.docs = {Document(1, "01", {})};
    f.docs[0].remark = "无明细";
    cases.push_back(
        {"DocumentWithoutLines", "document_without_lines.json", f, [](server::StorageFactory& db) {
           EXPECT_EQ(StockRows(db), DefaultStockRows());
           StoredHeader h = Header(db, 1);
           EXPECT_EQ(h.audit_date, "2024-03-05");
           EXPECT_EQ(h.auditor, "0002");
           EXPECT_EQ(h.remark, "无明细");
         }});
  }
  {
    Fixture f;
    f.docs = {Document(1, "01", {{"10010001", 4, 8.5}})};
    cases.push_back({"ExitNo", "exit_no.json", f, [](server::StorageFactory& db) {
                       NothingStored({1})(db);
                       EXPECT_EQ(Lines(db, 1), (Rows{"10010001 8.5 34 1.7"}));
                     }});
  }
  {
    Fixture f;
    f.docs = {Document(1, "01", {{"10010001", 4, 8.5}})};
    cases.push_back(
        {"ExitCancelKeepsEdits", "exit_cancel_keeps_edits.json", f, [](server::StorageFactory& db) {
           EXPECT_EQ(StockRows(db),
                     DefaultStockRows({{"10010001/01/YW", "996"}, {"10010001/0B/YW", "996"}}));
           StoredHeader h = Header(db, 1);
           EXPECT_EQ(h.audit_date, "2024-03-05");
           EXPECT_EQ(h.remark, "核对无误");
           EXPECT_EQ(Lines(db, 1), (Rows{"10010001 9 36 5.23"}));
         }});
  }
  {
    // Document 3 made on 2024-03-01 09:30, 2 audited already, 1 without a document date.
    Fixture f;
    f.docs = {Document(3, "01", {{"10010001", 1}}), Document(2, "01", {{"10010002", 1}}),
              Document(1, "01", {{"10010003", 2}})};
    f.docs[1].audited = "2024-03-10";
    f.docs[1].auditor = "0001";
    f.docs[2].made = "";
    cases.push_back({"DateDialog", "date_dialog.json", f, [](server::StorageFactory& db) {
                       EXPECT_EQ(StockRows(db), DefaultStockRows({{"10010003/01/YW", "998"},
                                                                  {"10010003/0B/YW", "998"}}));
                       EXPECT_EQ(Header(db, 3).audit_date, std::nullopt);
                       EXPECT_EQ(Header(db, 2).audit_date, "2024-03-10");
                       EXPECT_EQ(Header(db, 2).auditor, "0001");
                       EXPECT_EQ(Header(db, 1).audit_date, "1999-12-31");
                       EXPECT_EQ(Header(db, 1).auditor, "0002");
                     }});
  }
  {
    // Current stock of warehouse 01 against the warnings; each line 1 carton at 10. Goods
    // 10010007 has no warning row.
    Fixture f;
    std::vector<Line> lines;
    for (const char* g :
         {"10010001", "10010002", "10010003", "10010004", "10010005", "10010006", "10010007"}) {
      lines.push_back({g, 1, 10});
    }
    f.docs = {Document(1, "01", lines)};
    f.stock = std::vector<StockRow>{
        {"10010001", "01", "CK", 10.5}, {"10010001", "01", "CKZ", 99},
        {"10010001", "02", "CK", 77},   {"10010002", "01", "CK", 10.6},
        {"10010003", "01", "CK", 4},    {"10010004", "01", "CK", 3},
        {"10010005", "01", "CK", -2},   {"10010006", "02", "CK", 50},
        {"10010006", "01", "YW", 1000}, {"10010006", "01", "XCK", 60},
        {"10010007", "01", "CK", 20},
    };
    f.warnings = {
        {"10010001", 10, "clRed", 5, "CLBLUE"},
        {"10010002", 10, "$FF0000", 5, "clRed"},
        {"10010003", 10, "clRed", 5, "255"},
        {"10010004", std::nullopt, "0x00FF00", std::nullopt, "  -1"},
        {"10010005", std::nullopt, "0x00FF00", std::nullopt, "  -1"},
        {"10010006", 10, "clRed", 5, "clRed"},
        {"10010001", 0, "clLime", 0, "clLime"},  // a second row of a goods never counts
    };
    const std::vector<std::string> before = {
        "10010001/01/CK=10.5", "10010001/01/CKZ=99", "10010001/02/CK=77", "10010002/01/CK=10.6",
        "10010003/01/CK=4",    "10010004/01/CK=3",   "10010005/01/CK=-2", "10010006/01/XCK=60",
        "10010006/01/YW=1000", "10010006/02/CK=50",  "10010007/01/CK=20"};
    cases.push_back({"StockColours", "stock_colours.json", f, [before](server::StorageFactory& db) {
                       EXPECT_EQ(StockRows(db), before);
                       EXPECT_EQ(Header(db, 1).audit_date, std::nullopt);
                     }});
  }
  {
    Fixture f;
    f.docs = {Document(2, "01", {{"10010001", 1}}), Document(1, "02", {{"10010002", 2}})};
    cases.push_back({"Operators", "operators.json", f, [](server::StorageFactory& db) {
                       EXPECT_EQ(Header(db, 2).auditor, "9999");
                       EXPECT_EQ(Header(db, 2).audit_date, "2024-03-05");
                       EXPECT_EQ(Header(db, 1).auditor, "0003");
                       EXPECT_EQ(Header(db, 1).audit_date, "2024-03-06");
                       EXPECT_EQ(StockRows(db), DefaultStockRows({{"10010001/01/YW", "999"},
                                                                  {"10010001/0B/YW", "999"},
                                                                  {"10010002/02/YW", "998"},
                                                                  {"10010002/0B/YW", "998"}}));
                     }});
  }
  {
    Fixture f;
    f.docs = {Document(5, "01", {{"10010001", 10, 8.5}, {"10010002", -3, 10}, {"10010003", 13, 7}}),
              Document(4, "01", {{"10010001", 5, 1}}), Document(3, "01", {{"10010001", 3, 1}}),
              Document(2, "01", {{"10010001", 2, 5}})};
    f.docs[1].rate = 25;
    f.docs[2].rate = std::nullopt;
    f.docs[3].rate = -100;
    cases.push_back({"PriceEditing", "price_editing.json", f, [](server::StorageFactory& db) {
                       EXPECT_EQ(Lines(db, 5),
                                 (Rows{"10010001 12.5 125 18.16", "10010002 10 -30 -4.36",
                                       "10010003 7.77 101.01 14.68"}));
                       // The amount is the 64-bit product, not brought to whole cents.
                       EXPECT_EQ(LineValue(db, 5, "10010003", "JE0000"), 101.00999999999999);
                       EXPECT_NE(LineValue(db, 5, "10010003", "JE0000"), 101.01);
                       EXPECT_EQ(Lines(db, 4), (Rows{"10010001 0.125 0.625 0.13"}));
                       EXPECT_EQ(Lines(db, 3), (Rows{"10010001 10 30 0"}));
                       EXPECT_EQ(Lines(db, 2), (Rows{"10010001 6 12 1.7"}));
                       for (double d : {5, 4, 3, 2}) {
                         EXPECT_EQ(Header(db, d).audit_date, "2024-03-05") << d;
                       }
                       EXPECT_EQ(StockRows(db), DefaultStockRows({{"10010001/01/YW", "980"},
                                                                  {"10010001/0B/YW", "980"},
                                                                  {"10010002/01/YW", "1003"},
                                                                  {"10010002/0B/YW", "1003"},
                                                                  {"10010003/01/YW", "987"},
                                                                  {"10010003/0B/YW", "987"}}));
                     }});
  }
  {
    Fixture f;
    f.docs = {Document(1, "01", {{"10010001", 1, 10}, {"10010002", 2, 10}})};
    cases.push_back({"Focus", "focus.json", f, NothingStored({1})});
  }
  {
    Fixture f;
    f.failing_remark = true;
    f.docs = {Document(1, "02", {{"10010001", 4, 8.5}, {"10010002", 2, 10}})};
    cases.push_back(
        {"FailedSaveThenRetry", "failed_save_then_retry.json", f, [](server::StorageFactory& db) {
           EXPECT_EQ(StockRows(db), DefaultStockRows({{"10010001/02/YW", "996"},
                                                      {"10010001/0B/YW", "996"},
                                                      {"10010002/02/YW", "998"},
                                                      {"10010002/0B/YW", "998"}}));
           StoredHeader h = Header(db, 1);
           EXPECT_EQ(h.audit_date, "2024-03-05");
           EXPECT_EQ(h.auditor, "0002");
           EXPECT_EQ(h.remark, "核对无误");
           EXPECT_EQ(Lines(db, 1), (Rows{"10010001 9 36 5.23", "10010002 10 20 1.7"}));
         }});
    cases.push_back(
        {"FailedSaveThenNo", "failed_save_then_no.json", f, [](server::StorageFactory& db) {
           NothingStored({1})(db);
           EXPECT_EQ(Header(db, 1).remark, "");
           EXPECT_EQ(Lines(db, 1), (Rows{"10010001 8.5 34 1.7", "10010002 10 20 1.7"}));
         }});
  }
  {
    // The save meets another operator's audit: a conflict, nothing saved.
    Fixture f;
    f.docs = {Document(1, "01", {{"10010001", 4, 8.5}, {"10010002", 2, 10}})};
    ScenarioCase c{"SaveConflict", "save_conflict.json", f, NothingStored({1})};
    c.meanwhile = [](server::StorageFactory& db) {
      return OtherOperatorAuditsDuringTheSave(db, 1);
    };
    cases.push_back(c);
  }
  {
    // The save waits for another client's transaction beyond the busy timeout.
    Fixture f;
    f.docs = {Document(1, "01", {{"10010001", 4, 8.5}, {"10010002", 2, 10}})};
    ScenarioCase c{"BusyDatabase", "busy_database.json", f, NothingStored({1})};
    c.meanwhile = AnotherClientHoldsTheDatabase;
    c.busy_timeout_ms = 500;
    cases.push_back(c);
  }
  {
    // The connection breaks at the save's first call: nothing saved.
    Fixture f;
    f.docs = {Document(1, "01", {{"10010001", 4, 8.5}, {"10010002", 2, 10}})};
    ScenarioCase c{"LostConnection", "lost_connection.json", f, NothingStored({1})};
    c.drop_connection_at = "TranPara";
    cases.push_back(c);
  }
  return cases;
}

class AuditScenario : public ::testing::TestWithParam<ScenarioCase> {};

TEST_P(AuditScenario, PlaysAndLeavesTheDatabaseAsExpected) {
  const ScenarioCase& c = GetParam();
  for (Backend backend : testsupport::AvailableBackends()) {
    SCOPED_TRACE(testsupport::BackendName(backend));
    testsupport::TestAppServerOptions options{backend, false, {}};
    if (c.busy_timeout_ms > 0) options.busy_timeout_ms = c.busy_timeout_ms;
    options.drop_connection_at = c.drop_connection_at;
    TestAppServer server(options);
    WriteFixture(server.storage(), c.fixture);
    std::shared_ptr<void> meanwhile = c.meanwhile ? c.meanwhile(server.storage()) : nullptr;
    const fs::path work = testsupport::MakeTempDir("qmdw-audit-");
    const fs::path log = work / (c.name + ".log.json");
    EXPECT_EQ(testsupport::PlayScenario(fs::path(QMDW_AUDIT_SCENARIOS) / c.file, log,
                                        server.computer_name()),
              0)
        << c.file << ": see " << log;
    meanwhile.reset();
    c.check(server.storage());
    if (!HasFailure()) fs::remove_all(work);
  }
}

INSTANTIATE_TEST_SUITE_P(Audit, AuditScenario, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace audittest
