// The audit date dialog and the audit editor driven in-process on the headless platform against a
// real application server: what the operator sees at each step and what the server's tables hold
// afterwards. Every case runs on SQLite and, when QMDW_PG_URL is set, on PostgreSQL.
//
// The scenario files (tests/scenarios/audit) cover the operator's paths; the cases here need what
// a scenario file cannot say: today's date, a second operator acting in the middle of an audit,
// or the window objects themselves.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "entry/module.h"
#include "rtl/datetime.h"
#include "tests/support/test_app_server.h"
#include "tests/windows/audit_fixture.h"
#include "widgets/grid.h"
#include "widgets/headless/headless.h"
#include "windows/QMDWLRTSH_EDITU.h"
#include "windows/QMDWLRT_SHSJU.h"
#include "windows/QMDWLRT_SHU.h"

namespace audittest {
namespace {

namespace fs = std::filesystem;
namespace hl = widgets::headless;
using testsupport::Backend;
using testsupport::TestAppServer;

hl::Step Do(std::string what, std::function<void(hl::Screen&)> action) {
  return hl::Act(std::move(what), std::move(action));
}
hl::Step Look(std::string what, std::function<void(hl::Screen&)> check) {
  return hl::Check(std::move(what), std::move(check));
}
hl::Step Click(const std::string& name) {
  return hl::Click(name);
}
hl::Step Answer(int button) {
  return hl::Answer(button);
}
hl::Step MoveTo(const std::string& grid, int row) {
  return Do("move " + grid, [grid, row](hl::Screen& s) {
    s.Get<widgets::Grid>(grid).UserMoveTo(row);
  });
}
hl::Step PickDate(const std::string& iso) {
  return Do("pick " + iso, [iso](hl::Screen& s) {
    rtl::DateTime d;
    ASSERT_TRUE(rtl::TryIsoToDateTime(iso, d));
    s.Get<widgets::DatePicker>("MonthCalendar1").UserPickDate(d);
  });
}
hl::Step EditCell(int row, int column, std::string text, int close = widgets::kVkReturn) {
  return Do("edit cell", [=](hl::Screen& s) {
    s.Get<widgets::Grid>("dg_qmdwlrt2").UserEditCell(row, column, text, close);
  });
}
// A message box, checked and answered.
hl::Step ExpectBox(const std::string& caption, const std::string& text, unsigned flags) {
  return Look("box " + text, [=](hl::Screen& s) {
    ASSERT_NE(s.Box(), nullptr) << "expected \"" << text << "\"";
    EXPECT_EQ(s.Box()->caption, caption);
    EXPECT_EQ(s.Box()->text, text);
    EXPECT_EQ(s.Box()->flags, flags);
  });
}
hl::Step ExpectWindows(std::vector<std::string> captions) {
  return Look("windows", [captions](hl::Screen& s) {
    std::vector<std::string> shown;
    for (widgets::Form* f : s.Windows()) shown.push_back(f->Caption());
    EXPECT_EQ(shown, captions);
  });
}
std::string Cell(hl::Screen& s, int row, int column) {
  return s.Get<widgets::Grid>("dg_qmdwlrt2").CellText(row, column);
}

// The path from the browser to the editor: select a document, click "审核", accept a date.
std::vector<hl::Step> OpenEditor(int row, const std::string& date = "2024-03-05") {
  return {MoveTo("dg_overfall_master", row), Click("tbok"), PickDate(date), Click("btn_ok")};
}

std::vector<hl::Step> Join(std::vector<std::vector<hl::Step>> parts) {
  std::vector<hl::Step> all;
  for (auto& p : parts) {
    for (auto& s : p) all.push_back(std::move(s));
  }
  return all;
}

class AuditModuleTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    server_ = std::make_unique<TestAppServer>(
        testsupport::TestAppServerOptions{GetParam(), false, {}});
  }
  void TearDown() override {
    hl::Instance().Reset();
    server_.reset();
  }
  server::StorageFactory& db() { return server_->storage(); }

  // Runs one showdll call with the operator's steps; fails when the script does not fit.
  void Play(std::vector<hl::Step> steps, const char* user = "0002") {
    hl::HeadlessPlatform& p = hl::Instance();
    p.Reset();
    p.SetScript(std::move(steps));
    const std::string host = server_->computer_name();
    entry::RunModule(4242, user, "", host.c_str());
    EXPECT_FALSE(p.Failed()) << p.Failure();
    EXPECT_EQ(p.StepsLeft(), 0u);
  }

  std::unique_ptr<TestAppServer> server_;
};

Doc TwoLines(double number) {
  Doc d;
  d.number = number;
  d.lines = {{"10010001", 10, 8.5}, {"10010002", 3, 20}};
  return d;
}

TEST_P(AuditModuleTest, AuditsADocumentEndToEnd) {
  Fixture f;
  f.docs = {TwoLines(1)};
  WriteFixture(db(), f);
  Play(Join({OpenEditor(0),
             {ExpectWindows({"溢耗单据管理", "审核日期", "溢耗单据审核"}),
              EditCell(0, 2, "12.5"),
              Look("amount and tax",
                   [](hl::Screen& s) {
                     EXPECT_EQ(Cell(s, 0, 5), "125");
                     EXPECT_EQ(Cell(s, 0, 6), "18.16");
                   }),
              Click("tb_save"), ExpectWindows({"溢耗单据管理"}), Click("tbexit")}}));
  EXPECT_EQ(StockRows(db()), DefaultStockRows({{"10010001/01/YW", "990"},
                                                {"10010001/0B/YW", "990"},
                                                {"10010002/01/YW", "997"},
                                                {"10010002/0B/YW", "997"}}));
  StoredHeader h = Header(db(), 1);
  EXPECT_EQ(h.audit_date, "2024-03-05");
  EXPECT_EQ(h.auditor, "0002");
  EXPECT_EQ(Lines(db(), 1),
            (std::vector<std::string>{"10010001 12.5 125 18.16", "10010002 20 60 1.7"}));
}

INSTANTIATE_TEST_SUITE_P(Backends, AuditModuleTest,
                         ::testing::ValuesIn(testsupport::AvailableBackends()),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

}  // namespace
}  // namespace audittest
