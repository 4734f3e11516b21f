// The browser's scenarios (tests/scenarios/browser/*.json) played against a real application
// server: each case puts its fixture on a fresh database, plays its scenario file with the
// scenario runner (a process of its own, the operator's computer), and then checks what the
// server's tables hold. Every case runs on SQLite and, when QMDW_PG_URL is set, on PostgreSQL.
//
// The runner is build/.../qmdw_scenario unless QMDW_SCENARIO_RUNNER names another command taking
// the same arguments (SCENARIO --out LOG --server-host HOST), for instance one that plays the
// files against the native windows.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/scenario_play.h"
#include "tests/support/test_app_server.h"
#include "tests/windows/browser_fixture.h"

namespace browsertest {
namespace {

namespace fs = std::filesystem;
using testsupport::Backend;
using testsupport::TestAppServer;

// The "YW" rows of the fixture with the given changes ("goods/warehouse" -> quantity).
std::vector<std::string> YWRows(const std::vector<std::pair<std::string, std::string>>& changed) {
  std::vector<std::string> rows;
  for (int g = 1; g <= 5; ++g) {
    for (const char* w : {"01", "02", "0B"}) {
      std::string key = "1001000" + std::to_string(g) + "/" + w;
      std::string value = "1000";
      for (const auto& [k, v] : changed) {
        if (k == key) value = v;
      }
      rows.push_back(key + "=" + value);
    }
  }
  return rows;
}

Doc Audited(double number, const std::string& date, const std::string& warehouse,
            std::vector<Line> lines) {
  Doc d;
  d.number = number;
  d.audited = date;
  d.auditor = "0002";
  d.warehouse = warehouse;
  d.lines = std::move(lines);
  return d;
}

Doc Plain(double number, std::vector<Line> lines) {
  Doc d;
  d.number = number;
  d.lines = std::move(lines);
  return d;
}

// The documents of the unit scenarios: 2 with the quantities 120, 7, 2, -5 and 0.3 cartons, 1
// with 30 and 9; the units listed with 提 (3 cartons) first.
Fixture UnitFixture() {
  Fixture f;
  f.units = {{"提", 3}, {"条", 1}, {"件", 50}, {"盒", 0.1}};
  f.docs = {Plain(2, {{"10010001", 120},
                      {"10010002", 7},
                      {"10010003", 2},
                      {"10010004", -5},
                      {"10010005", 0.3}}),
            Plain(1, {{"10010001", 30}, {"10010002", 9}})};
  return f;
}

struct ScenarioCase {
  std::string name;
  std::string file;
  Fixture fixture;
  // What the server holds afterwards; `output` is the print module's output directory.
  std::function<void(server::StorageFactory& db, const fs::path& output)> check;
  // The computer name the runner is given in place of the server's (e.g. one where no server
  // listens); empty: the server's.
  std::string computer_name = {};
};

void PrintTo(const ScenarioCase& c, std::ostream* os) {
  *os << c.file;
}

void Unchanged(server::StorageFactory& db, const fs::path&) {
  EXPECT_EQ(StockYWRows(db), YWRows({}));
}

std::vector<ScenarioCase> Cases() {
  std::vector<ScenarioCase> cases;

  cases.push_back({"LayoutEmptyList", "layout_empty_list.json", Fixture{}, Unchanged});

  {
    Fixture f;
    f.docs = {Plain(3, {{"10010001", 1}}), Audited(2, "2024-03-10", "01", {{"10010001", 1}}),
              Plain(1, {})};
    cases.push_back({"AccessModes", "access_modes.json", f, Unchanged});
  }
  {
    Fixture f;
    f.docs = NumberedDocs(1, 25);
    cases.push_back({"Packets", "packets.json", f, Unchanged});
  }
  {
    Fixture f;
    f.docs = NumberedDocs(1, 11);
    f.docs[1].lines.clear();  // document 2, the tenth of the list
    cases.push_back({"DocumentWithoutLines", "document_without_lines.json", f, Unchanged});
  }
  {
    Fixture f;
    f.docs = NumberedDocs(1, 3);
    ScenarioCase c{"ActivationFailure", "activation_failure.json", f, Unchanged};
    c.computer_name = "127.0.0.1:1";  // nothing listens on port 1 of the loopback interface
    cases.push_back(c);
  }
  {
    Fixture f;
    f.docs = NumberedDocs(1, 3);
    ScenarioCase c{"BadServerName", "bad_server_name.json", f, Unchanged};
    c.computer_name = "127.0.0.1:c 34081";
    cases.push_back(c);
  }
  cases.push_back({"UnitsChoose", "units_choose.json", UnitFixture(), Unchanged});
  cases.push_back({"UnitsKeyboard", "units_keyboard.json", UnitFixture(), Unchanged});
  cases.push_back({"UnitsDoubleClick", "units_double_click.json", UnitFixture(), Unchanged});
  {
    Fixture f;
    std::vector<Line> two = {{"10010001", 1}, {"10010002", 2}};
    f.docs = {Plain(4, two), Plain(3, two), Plain(2, two), Plain(1, two)};
    f.docs[0].remark = "月末盘点溢余";
    f.docs[1].remark = "运输途中破损";
    f.docs[1].maker = "0003";
    f.docs[1].warehouse = "02";
    f.docs[2].maker = "0004";
    f.docs[2].warehouse = "02";
    f.docs[3].warehouse = "0B";
    cases.push_back({"FooterFiltersRemark", "footer_filters_remark.json", f, Unchanged});
  }
  {
    Fixture f;
    f.docs = {Plain(2, {{"10010001", 1}}), Audited(1, "2024-03-10", "01", {{"10010001", 1}})};
    cases.push_back({"AuditStartRefused", "audit_start_refused.json", f, Unchanged});
  }
  {
    Fixture f;
    f.docs = {Plain(5, {{"10010001", 3}}), Audited(4, "2024-03-10", "01", {{"10010001", 4}}),
              Audited(3, "2024-02-28", "01", {{"10010002", 5}})};
    cases.push_back({"CancelRefused", "cancel_refused.json", f,
                     [](server::StorageFactory& db, const fs::path&) {
                       EXPECT_EQ(StockYWRows(db), YWRows({}));
                       EXPECT_EQ(AuditDate(db, 4), "2024-03-10");
                       EXPECT_EQ(AuditDate(db, 3), "2024-02-28");
                       EXPECT_EQ(Auditor(db, 3), "0002");
                       EXPECT_EQ(AuditDate(db, 5), std::nullopt);
                     }});
  }
  {
    Fixture f;
    f.docs = {Audited(14, "2024-02-29", "01", {{"10010001", 10}}),
              Audited(13, "2024-03-10", "0B", {{"10010002", 7}}),
              Audited(12, "2024-03-11", "02", {{"10010003", 2.5}, {"10010004", -3}}),
              Audited(11, "2024-03-12", "01", {}), Plain(10, {{"10010005", 8}})};
    cases.push_back({"Cancel", "cancel.json", f, [](server::StorageFactory& db, const fs::path&) {
                       EXPECT_EQ(StockYWRows(db), YWRows({{"10010001/0B", "1010"},
                                                          {"10010001/01", "1010"},
                                                          {"10010002/0B", "1014"},
                                                          {"10010003/0B", "1002.5"},
                                                          {"10010003/02", "1002.5"},
                                                          {"10010004/0B", "997"},
                                                          {"10010004/02", "997"}}));
                       for (double doc : {14, 13, 12, 11, 10}) {
                         EXPECT_EQ(AuditDate(db, doc), std::nullopt) << doc;
                         EXPECT_EQ(Auditor(db, doc), "") << doc;
                       }
                     }});
  }
  {
    Fixture f;
    f.closed = {};
    f.docs = {Audited(1, "2023-01-05", "01", {{"10010001", 4}})};
    cases.push_back(
        {"CancelNoClosedPeriod", "cancel_no_closed_period.json", f,
         [](server::StorageFactory& db, const fs::path&) {
           EXPECT_EQ(StockYWRows(db), YWRows({{"10010001/0B", "1004"}, {"10010001/01", "1004"}}));
           EXPECT_EQ(AuditDate(db, 1), std::nullopt);
         }});
  }
  {
    Fixture f;
    f.docs = {Plain(124, {{"10010001", 120}, {"10010002", 7}}),
              Audited(123, "2024-03-10", "01", {{"10010003", 2.5}})};
    cases.push_back({"PrintRealModule", "print_real_module.json", f,
                     [](server::StorageFactory& db, const fs::path& output) {
                       EXPECT_EQ(StockYWRows(db), YWRows({}));
                       for (const char* doc : {"123", "124"}) {
                         fs::path page = output / ("lirraloss-" + std::string(doc) + "-1.svg");
                         ASSERT_TRUE(fs::exists(page)) << page;
                         std::ifstream in(page);
                         std::stringstream text;
                         text << in.rdbuf();
                         EXPECT_NE(text.str().find(doc), std::string::npos) << page;
                       }
                     }});
  }
  return cases;
}

class BrowserScenario : public ::testing::TestWithParam<ScenarioCase> {};

TEST_P(BrowserScenario, PlaysAndLeavesTheDatabaseAsExpected) {
  const ScenarioCase& c = GetParam();
  for (Backend backend : testsupport::AvailableBackends()) {
    SCOPED_TRACE(testsupport::BackendName(backend));
    TestAppServer server(testsupport::TestAppServerOptions{backend, false, {}});
    WriteFixture(server.storage(), c.fixture);

    const fs::path work = testsupport::MakeTempDir("qmdw-browser-");
    setenv("LIRRALOSS_OUTPUT_DIR", work.c_str(), 1);
    const std::string host = c.computer_name.empty() ? server.computer_name() : c.computer_name;
    const fs::path log = work / (c.name + ".log.json");
    EXPECT_EQ(testsupport::PlayScenario(fs::path(QMDW_BROWSER_SCENARIOS) / c.file, log, host), 0)
        << c.file << ": see " << log;
    c.check(server.storage(), work);
    unsetenv("LIRRALOSS_OUTPUT_DIR");
    if (!HasFailure()) fs::remove_all(work);
  }
}

INSTANTIATE_TEST_SUITE_P(Browser, BrowserScenario, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace browsertest
