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
#include <memory>
#include <string>
#include <vector>

#include "entry/module.h"
#include "remote/connection.h"
#include "remote/server_object.h"
#include "rtl/datetime.h"
#include "tests/support/scenario_play.h"
#include "tests/support/server_object_double.h"
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
  return Do("move " + grid,
            [grid, row](hl::Screen& s) { s.Get<widgets::Grid>(grid).UserMoveTo(row); });
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

// Another operator's computer: the scenario runner, a process of its own, plays `file` against
// the same server while this test's module waits in the middle of its own audit.
void OtherOperatorPlays(const std::string& file, const std::string& host) {
  const fs::path log = fs::temp_directory_path() / ("qmdw-audit-other-" + file + ".log.json");
  ASSERT_EQ(testsupport::PlayScenario(fs::path(QMDW_AUDIT_SCENARIOS) / file, log, host,
                                      testsupport::Runner::kHeadless),
            0)
      << file << ": see " << log;
  fs::remove(log);
}

// Records every request a server object receives ("TranPara <text>", "ApplyUpdates <provider>",
// "Open <provider>", ...), each with the instance it went to.
std::unique_ptr<remote::ServerObject> RecordingObject(
    std::unique_ptr<remote::ServerObject> inner, int instance,
    std::vector<std::pair<int, std::string>>* log) {
  auto object = std::make_unique<testsupport::ServerObjectDouble>(std::move(inner));
  remote::ServerObject* served = object->Inner();
  object->on_open = [=](const remote::OpenRequest& request) {
    log->emplace_back(instance, "Open " + request.provider);
    return served->Open(request);
  };
  object->on_fetch = [=](uint32_t cursor, int32_t count) {
    log->emplace_back(instance, "Fetch");
    return served->Fetch(cursor, count);
  };
  object->on_execute = [=](const std::string& provider, const std::vector<remote::Param>& params,
                           const std::string& command_text) {
    log->emplace_back(instance, "Execute " + provider);
    served->Execute(provider, params, command_text);
  };
  object->on_apply = [=](const std::string& provider, const std::vector<remote::RowDelta>& delta,
                         int32_t max_errors) {
    log->emplace_back(instance, "ApplyUpdates " + provider + " " + std::to_string(max_errors));
    return served->ApplyUpdates(provider, delta, max_errors);
  };
  object->on_call = [=](const std::string& method, std::vector<remote::Value>& args) {
    std::string entry = method;
    for (const remote::Value& a : args) entry += " " + (a.is_text() ? a.text() : "?");
    log->emplace_back(instance, entry);
    return served->Call(method, args);
  };
  return object;
}

class AuditModuleTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    server_ =
        std::make_unique<TestAppServer>(testsupport::TestAppServerOptions{GetParam(), false, {}});
  }
  void TearDown() override {
    if (recording_) remote::SetObjectFactory(previous_factory_);
    hl::Instance().Reset();
    server_.reset();
  }

  // From now on every server object instance records its requests in `requests_`.
  void RecordRequests() {
    previous_factory_ = remote::GetObjectFactory();
    recording_ = true;
    remote::ObjectFactory inner = previous_factory_;
    remote::SetObjectFactory([this, inner](const std::string& computer, const std::string& prog) {
      return RecordingObject(inner(computer, prog), ++instances_, &requests_);
    });
  }
  // The requests of the instance that received "TranPara", from that call on.
  std::vector<std::string> SaveRequests() const {
    int instance = -1;
    std::vector<std::string> out;
    for (const auto& [i, r] : requests_) {
      if (instance < 0 && r.rfind("TranPara", 0) == 0) instance = i;
      if (instance >= 0 && i == instance) out.push_back(r);
    }
    return out;
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
  bool recording_ = false;
  remote::ObjectFactory previous_factory_;
  int instances_ = 0;
  std::vector<std::pair<int, std::string>> requests_;
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
             {ExpectWindows({"溢耗单据管理", "审核日期", "溢耗单据审核"}), EditCell(0, 2, "12.5"),
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

TEST_P(AuditModuleTest, SaveSendsTheBatchThenTheDocumentOnTheSameInstance) {
  Fixture f;
  f.docs = {TwoLines(2), Doc{}};
  f.docs[0].warehouse = "02";
  f.docs[1].number = 1;
  WriteFixture(db(), f);
  RecordRequests();
  Play(Join(
      {OpenEditor(0), {Click("tb_save")}, OpenEditor(1), {Click("tb_save"), Click("tbexit")}}));
  const std::string l1_0b =
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(10) WHERE SPDM00='10010001' AND CKDM00='0B' AND "
      "KCBZ00='YW'";
  const std::string l1_02 =
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(10) WHERE SPDM00='10010001' AND CKDM00='02' AND "
      "KCBZ00='YW'";
  const std::string l2_0b =
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(3) WHERE SPDM00='10010002' AND CKDM00='0B' AND "
      "KCBZ00='YW'";
  const std::string l2_02 =
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(3) WHERE SPDM00='10010002' AND CKDM00='02' AND "
      "KCBZ00='YW'";
  // Lines from the last to the first, "0B" before the document's warehouse; right after the
  // batch, on the same instance, the document with at most 0 errors. The second audit (a
  // document without lines) sends the empty batch.
  EXPECT_EQ(SaveRequests(),
            (std::vector<std::string>{"TranPara " + l2_0b + "!" + l2_02 + "!" + l1_0b + "!" + l1_02,
                                      "ApplyUpdates dsp_qmdwlrt1 0", "Open dsp_qmdwlrt1",
                                      "Open dsp_xstzxkc0_ck", "TranPara ",
                                      "ApplyUpdates dsp_qmdwlrt1 0"}));
  EXPECT_EQ(StockRows(db()), DefaultStockRows({{"10010001/02/YW", "990"},
                                               {"10010001/0B/YW", "990"},
                                               {"10010002/02/YW", "997"},
                                               {"10010002/0B/YW", "997"}}));
  EXPECT_EQ(Header(db(), 1).audit_date, "2024-03-05");
}

TEST_P(AuditModuleTest, DialogSetsTheDateFormatForGoodAndShowsTodayEachTime) {
  Fixture f;
  f.docs = {TwoLines(1)};
  WriteFixture(db(), f);
  // As loaded: the system's short date format.
  rtl::SetShortDateFormat(rtl::SystemShortDateFormat());
  windows::AuditDateText = "1999-01-01";
  const std::string today = rtl::FormatDate("yyyy-mm-dd", rtl::Today());
  auto picker_shows_today = Look("today", [today](hl::Screen& s) {
    EXPECT_EQ(rtl::FormatDate("yyyy-mm-dd", s.Get<widgets::DatePicker>("MonthCalendar1").Date()),
              today);
  });
  const std::string made_before =
      rtl::FormatDate(rtl::SystemShortDateFormat(), rtl::EncodeDate(2024, 3, 1));
  Play({Look("system format",
             [made_before](hl::Screen& s) {
               EXPECT_EQ(s.Get<widgets::Grid>("dg_overfall_master").CellText(0, 1), made_before);
             }),
        Click("tbok"), picker_shows_today,
        Look("placed at its design position",
             [](hl::Screen& s) {
               widgets::Form& dialog = s.Top();
               EXPECT_EQ(dialog.Left(), 259);
               EXPECT_EQ(dialog.Top(), 139);
               EXPECT_EQ(dialog.ClientWidth(), 242);
               EXPECT_EQ(dialog.ClientHeight(), 123);
               EXPECT_EQ(dialog.GetBorderStyle(), widgets::BorderStyle::Dialog);
               EXPECT_EQ(dialog.BorderIcons(), 0u);
               EXPECT_EQ(dialog.GetColor(), widgets::kWindowColor);
               // Every non-client hit test is answered with HTCLIENT.
               widgets::HitTestMessage m{260, 140, widgets::kHtCaption};
               ASSERT_TRUE(dialog.OnNcHitTest);
               dialog.OnNcHitTest(m);
               EXPECT_EQ(m.result, widgets::kHtClient);
             }),
        Do("drag", [](hl::Screen& s) { s.Top().UserDragCaption(40, 25); }),
        Look("not moved",
             [](hl::Screen& s) {
               EXPECT_EQ(s.Top().Left(), 259);
               EXPECT_EQ(s.Top().Top(), 139);
             }),
        PickDate("2024-06-01"), Click("btn_cancel"), ExpectWindows({"溢耗单据管理"}),
        Look("module format from now on",
             [](hl::Screen& s) {
               EXPECT_EQ(s.Get<widgets::Grid>("dg_overfall_master").CellText(0, 1), "2024-03-01");
               EXPECT_EQ(windows::AuditDateText, "1999-01-01");
               EXPECT_EQ(windows::SelectedDocNo, "1");
             }),
        Click("tbok"), picker_shows_today, Click("btn_cancel"), Click("tbexit")});
  EXPECT_EQ(rtl::ShortDateFormat(), "yyyy-mm-dd");
  EXPECT_EQ(windows::AuditDateText, "1999-01-01");
  EXPECT_EQ(windows::FM_QMDWLRT_SHSJ, nullptr);
  EXPECT_EQ(StockRows(db()), DefaultStockRows());
  EXPECT_EQ(Header(db(), 1).audit_date, std::nullopt);
}

TEST_P(AuditModuleTest, DocumentAuditedSinceTheListWasReadIsNotAuditedAgain) {
  Fixture f;
  f.docs = {TwoLines(1)};
  WriteFixture(db(), f);
  const std::string host = server_->computer_name();
  Play(Join({{Look("another operator audits the document",
                   [host](hl::Screen&) { OtherOperatorPlays("other_operator_audits.json", host); }),
              Look("this browser still lists it unaudited",
                   [](hl::Screen& s) {
                     EXPECT_EQ(s.Get<widgets::Grid>("dg_overfall_master").CellText(0, 3), "");
                   })},
             OpenEditor(0),
             {ExpectBox("警告", "该单已经审核。", 48), Answer(widgets::kIdOk),
              ExpectWindows({"溢耗单据管理"}),
              Look("the list shows the other audit",
                   [](hl::Screen& s) {
                     auto& g = s.Get<widgets::Grid>("dg_overfall_master");
                     EXPECT_EQ(g.CellText(0, 3), "2024-03-07");
                     EXPECT_EQ(g.CellText(0, 4), "陈思远");
                   }),
              Click("tbexit")}}));
  // The other operator's audit, once.
  EXPECT_EQ(StockRows(db()), DefaultStockRows({{"10010001/01/YW", "990"},
                                               {"10010001/0B/YW", "990"},
                                               {"10010002/01/YW", "997"},
                                               {"10010002/0B/YW", "997"}}));
  EXPECT_EQ(Header(db(), 1).audit_date, "2024-03-07");
  EXPECT_EQ(Header(db(), 1).auditor, "0001");
}

TEST_P(AuditModuleTest, TwoOperatorsAuditTheSameDocumentExactlyOneSucceeds) {
  Fixture f;
  f.docs = {TwoLines(1)};
  WriteFixture(db(), f);
  const std::string host = server_->computer_name();
  auto conflict = Look("the save failed on the conflict", [](hl::Screen& s) {
    ASSERT_NE(s.Box(), nullptr);
    EXPECT_EQ(s.Box()->caption, "QMDWLRTSH");
    EXPECT_EQ(s.Box()->flags, widgets::kMbOk | widgets::kMbIconError);
    EXPECT_EQ(
        s.Box()->text,
        "单据 1 在打开之后已被其他操作员修改（审核日期、审核人员）。本次保存没有生效，库存和单据"
        "都没有改变。请退出审核窗口，查看该单的最新状态。（代码 S-APPLY-013）");
  });
  Play(Join({OpenEditor(0),
             {EditCell(0, 2, "12.5"),
              Look("the other operator audits it meanwhile",
                   [host](hl::Screen&) { OtherOperatorPlays("other_operator_audits.json", host); }),
              Click("tb_save"), conflict, Answer(widgets::kIdOk),
              ExpectWindows({"溢耗单据管理", "审核日期", "溢耗单据审核"}), Click("tb_save"),
              conflict, Answer(widgets::kIdOk), Click("tb_exit"), Answer(widgets::kIdNo),
              ExpectWindows({"溢耗单据管理"}), Click("tbexit")}}));
  EXPECT_EQ(StockRows(db()), DefaultStockRows({{"10010001/01/YW", "990"},
                                               {"10010001/0B/YW", "990"},
                                               {"10010002/01/YW", "997"},
                                               {"10010002/0B/YW", "997"}}));
  EXPECT_EQ(Header(db(), 1).audit_date, "2024-03-07");
  EXPECT_EQ(Header(db(), 1).auditor, "0001");
  EXPECT_EQ(Lines(db(), 1),
            (std::vector<std::string>{"10010001 8.5 85 1.7", "10010002 20 60 1.7"}));
}

TEST_P(AuditModuleTest, EditorLayoutAndStamp) {
  Fixture f;
  f.docs = {TwoLines(1)};
  f.warnings = {{"10010001", 100, "clRed", 5, "clBlue"}, {"10010002", 5, "clhighlight", 0, ""}};
  WriteFixture(db(), f);
  Play(Join({OpenEditor(0),
             {Look("layout",
                   [](hl::Screen& s) {
                     widgets::Form& e = s.Top();
                     EXPECT_EQ(e.Name(), "FM_QMDWLRTSH_EDIT");
                     EXPECT_EQ(e.Caption(), "溢耗单据审核");
                     EXPECT_EQ(e.GetBorderStyle(), widgets::BorderStyle::None);
                     EXPECT_EQ(e.Left(), 0);
                     EXPECT_EQ(e.Top(), 76);
                     EXPECT_EQ(e.Width(), 800);
                     EXPECT_EQ(e.Height(), 508);
                     EXPECT_EQ(e.GetFont().height, 15);
                     EXPECT_EQ(e.GetColor(), widgets::kWindowColor);
                     auto& save = s.Get<widgets::FlatButton>("tb_save");
                     EXPECT_EQ(save.Caption(), "保存");
                     EXPECT_EQ(save.Glyph(), "save");
                     EXPECT_EQ(save.Bounds(), (widgets::Rect{3, 0, 35, 35}));
                     auto& exit = s.Get<widgets::FlatButton>("tb_exit");
                     EXPECT_EQ(exit.Caption(), "退出");
                     EXPECT_EQ(exit.Bounds(), (widgets::Rect{37, 1, 35, 35}));
                     EXPECT_EQ(s.Get<widgets::Panel>("Panel1").Height(), 36);
                     auto& title = s.Get<widgets::Panel>("pn_gl");
                     EXPECT_EQ(title.Caption(), "损溢单据审核");
                     EXPECT_EQ(title.GetFont(), widgets::TitleFont());
                     EXPECT_EQ(title.Top(), 36);
                     EXPECT_EQ(s.Get<widgets::Panel>("FlatPanel1").Top(), 66);
                     EXPECT_EQ(s.Get<widgets::Panel>("FlatPanel1").Height(), 91);
                     auto& grid = s.Get<widgets::Grid>("dg_qmdwlrt2");
                     EXPECT_EQ(grid.Top(), 157);
                     EXPECT_EQ(s.Get<widgets::Panel>("Panel2").Height(), 33);
                     EXPECT_EQ(s.Get<widgets::Label>("AALinkLabel7").Caption(), "备    注");
                     EXPECT_EQ(s.Get<widgets::Label>("AALinkLabel1").Caption(), "*溢耗单号");
                     EXPECT_EQ(s.Get<widgets::DBEdit>("dedt_shrq").Bounds(),
                               (widgets::Rect{623, 28, 135, 21}));
                     EXPECT_FALSE(s.Get<widgets::DBEdit>("dedt_shrq").Enabled());
                     EXPECT_FALSE(s.Get<widgets::DBEdit>("dedt_shrq").HasBorder());
                     EXPECT_EQ(s.Get<widgets::DBMemo>("dmemo_beizhu").Bounds(),
                               (widgets::Rect{93, 52, 666, 32}));
                     EXPECT_TRUE(s.Get<widgets::DBMemo>("dmemo_beizhu").Focused());
                     const int widths[] = {96, 147, 125, 104, 89, 122, 103};
                     for (int c = 0; c < 7; ++c) EXPECT_EQ(grid.Column(c).Width(), widths[c]);
                     EXPECT_TRUE(grid.Column(2).Editable());
                     EXPECT_FALSE(grid.Column(3).Editable());
                     EXPECT_FALSE(grid.Column(4).Editable());
                     EXPECT_TRUE(grid.Column(5).Editable());
                     EXPECT_TRUE(grid.Column(6).Editable());
                     EXPECT_EQ(grid.HeaderFont().height, 15);
                     EXPECT_EQ(grid.GetFont().height, 12);
                   }),
              Look("the header is stamped, nothing is stored yet",
                   [this](hl::Screen&) {
                     windows::TFM_QMDWLRTSH_EDIT* e = windows::FM_QMDWLRTSH_EDIT;
                     ASSERT_NE(e, nullptr);
                     EXPECT_EQ(e->cds_qmdwlrt1->State(), data::DataSetState::Edit);
                     EXPECT_EQ(e->cds_qmdwlrt1->FieldByName("YWRY00").AsString(), "0002");
                     EXPECT_EQ(e->cds_qmdwlrt1->FieldByName("YWRQ00").AsString(), "2024-03-05");
                     EXPECT_EQ(e->cds_qmdwlrt2->State(), data::DataSetState::Browse);
                     EXPECT_EQ(e->cds_qmdwlrt2->RecNo(), 1);
                     EXPECT_EQ(e->PreviousPrice, 8.5);
                     EXPECT_EQ(e->BatchText, "");
                     EXPECT_EQ(Header(db(), 1).audit_date, std::nullopt);
                   }),
              Look("a selected stock cell keeps the grid's highlight",
                   [](hl::Screen& s) {
                     auto& grid = s.Get<widgets::Grid>("dg_qmdwlrt2");
                     widgets::CellDraw cell = grid.DrawCell(0, 3);
                     EXPECT_EQ(cell.font.color, widgets::kClRed);  // 500 is above 100
                     widgets::CellDraw selected;
                     selected.row = 0;
                     selected.column = 3;
                     selected.selected = true;
                     selected.font.color = widgets::kClHighlightText;
                     grid.OnCustomDrawCell(grid, selected);
                     EXPECT_EQ(selected.font.color, widgets::kClHighlightText);
                   }),
              Look("a system colour is the platform's current one",
                   [](hl::Screen& s) {
                     auto& grid = s.Get<widgets::Grid>("dg_qmdwlrt2");
                     EXPECT_EQ(grid.DrawCell(1, 3).font.color,
                               s.Top().App().GetPlatform().ResolveSystemColor(13));
                   }),
              Do("the platform's close command", [](hl::Screen& s) { s.Top().UserClose(); }),
              ExpectWindows({"溢耗单据管理"}), Click("tbexit")}}));
  EXPECT_EQ(StockRows(db()), DefaultStockRows());
  EXPECT_EQ(Header(db(), 1).audit_date, std::nullopt);
}

TEST_P(AuditModuleTest, AnOperatorCodeWithAQuoteIsLookedUpAsItStands) {
  Fixture f;
  f.docs = {TwoLines(1)};
  WriteFixture(db(), f);
  Play(Join({OpenEditor(0),
             {Look("stamped, and no staff member of that code",
                   [](hl::Screen& s) {
                     EXPECT_EQ(s.Box(), nullptr);
                     EXPECT_EQ(s.Get<widgets::DBEdit>("dedt_shry").Text(), "");
                     EXPECT_EQ(s.Get<widgets::DBEdit>("dedt_shrq").Text(), "2024-03-05");
                   }),
              Do("the platform's close command", [](hl::Screen& s) { s.Top().UserClose(); }),
              ExpectWindows({"溢耗单据管理"}), Click("tbexit")}}),
       "0'2");
}

INSTANTIATE_TEST_SUITE_P(Backends, AuditModuleTest,
                         ::testing::ValuesIn(testsupport::AvailableBackends()),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

}  // namespace
}  // namespace audittest
