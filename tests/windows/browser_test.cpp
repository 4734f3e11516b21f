// The document browser in-process against a real application server: the quantity rule, what the
// operator cannot see on the screen (window placement, CurrentDataSet, SelectedDocNo), the unit
// factor errors, and the cancel's failures: a second operator cancelling the same document first,
// and a failure after the commit.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "entry/module.h"
#include "remote/connection.h"
#include "rtl/error.h"
#include "tests/support/scenario_play.h"
#include "tests/support/server_object_double.h"
#include "tests/support/test_app_server.h"
#include "tests/windows/browser_fixture.h"
#include "widgets/headless/headless.h"
#include "windows/QMDWLRT_SHU.h"

namespace browsertest {
namespace {

using testsupport::Backend;
using testsupport::TestAppServer;
using widgets::headless::Act;
using widgets::headless::Answer;
using widgets::headless::Check;
using widgets::headless::Click;
using widgets::headless::Instance;
using widgets::headless::Screen;
using windows::FM_QMDWLRTSH;

// ---------------------------------------------------------------------------------------------
// The quantity rule

TEST(QuantityInUnit, CutsTheNumberTextAfterTwoDecimals) {
  struct Case {
    double quantity;
    const char* factor;
    const char* shown;
  } cases[] = {
      {120, "50", "2.4"},       {7, "3", "2.33"}, {2, "3", "0.66"},    {-5, "3", "-1.66"},
      {0.3, "0.1", "3"},        {10, "1", "10"},  {2.5, "1", "2.5"},   {1, "3", "0.33"},
      {-2, "3", "-0.66"},       {0, "3", "0"},    {0.3, "50", "0.00"}, {-0.3, "50", "-0.00"},
      {999, "0.001", "999000"}, {1e-7, "1", "0"}, {1e20, "1", "1E20"}, {100, "7", "14.28"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(windows::QuantityInUnit(c.quantity, c.factor), c.shown)
        << c.quantity << " / " << c.factor;
  }
}

TEST(QuantityInUnit, RefusesAFactorThatIsNoNumberOrZero) {
  EXPECT_THROW(windows::QuantityInUnit(1, ""), rtl::ConvertError);
  EXPECT_THROW(windows::QuantityInUnit(1, "abc"), rtl::ConvertError);
  EXPECT_THROW(windows::QuantityInUnit(1, "0"), rtl::Error);
}

// ---------------------------------------------------------------------------------------------
// The browser against a server

// Records the communication object's method calls and can make the document list fail to open
// once the transaction has been committed.
struct Recorder {
  std::vector<std::string> calls;
  bool fail_open_after_commit = false;
  bool committed = false;
};

// The communication object as the server serves it, watched: its method calls are recorded, and
// the document list's provider can be made to fail after a commit.
std::unique_ptr<remote::ServerObject> RecordingObject(std::unique_ptr<remote::ServerObject> inner,
                                                      Recorder* recorder) {
  auto object = std::make_unique<testsupport::ServerObjectDouble>(std::move(inner));
  remote::ServerObject* served = object->Inner();
  object->on_open = [served, recorder](const remote::OpenRequest& request) {
    if (recorder->fail_open_after_commit && recorder->committed &&
        request.provider == "dsp_qmdwlrt1") {
      throw remote::ServerError("the document list cannot be read");
    }
    return served->Open(request);
  };
  object->on_call = [served, recorder](const std::string& method,
                                       std::vector<remote::Value>& args) {
    recorder->calls.push_back(method);
    remote::Value result = served->Call(method, args);
    if (method == "sucommit") recorder->committed = true;
    return result;
  };
  return object;
}

class BrowserTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    Instance().Reset();
    server_ =
        std::make_unique<TestAppServer>(testsupport::TestAppServerOptions{GetParam(), false, {}});
    remote::ObjectFactory tcp = remote::GetObjectFactory();
    remote::SetObjectFactory([this, tcp](const std::string& computer, const std::string& prog_id) {
      auto object = tcp(computer, prog_id);
      if (prog_id != remote::kProgIdCommunicate) return object;
      return RecordingObject(std::move(object), &recorder_);
    });
  }
  void TearDown() override {
    remote::SetObjectFactory({});
    server_.reset();
    Instance().Reset();
  }
  server::StorageFactory& db() { return server_->storage(); }
  // One showdll call of the operator 0001 playing `steps`.
  void Run(std::vector<widgets::headless::Step> steps, const char* access_mode = "") {
    Instance().SetScript(std::move(steps));
    host_ = server_->computer_name();
    entry::RunModule(4242, "0001", access_mode, host_.c_str());
    EXPECT_FALSE(Instance().Failed()) << Instance().Failure();
    EXPECT_EQ(Instance().StepsLeft(), 0u);
  }
  static widgets::Grid& Grid(Screen& s, const char* name) { return s.Get<widgets::Grid>(name); }

  std::unique_ptr<TestAppServer> server_;
  Recorder recorder_;
  std::string host_;
};

Doc AuditedDoc(double number, std::vector<Line> lines) {
  Doc d;
  d.number = number;
  d.audited = "2024-03-10";
  d.auditor = "0002";
  d.warehouse = "01";
  d.lines = std::move(lines);
  return d;
}

Doc Plain(double number, std::vector<Line> lines) {
  Doc d;
  d.number = number;
  d.lines = std::move(lines);
  return d;
}

TEST_P(BrowserTest, ActivationPlacesTheWindowAndTheGridsSetCurrentDataSet) {
  Fixture f;
  f.docs = NumberedDocs(1, 2);
  WriteFixture(db(), f);
  Run({Check("placed",
             [](Screen& s) {
               ASSERT_NE(FM_QMDWLRTSH, nullptr);
               EXPECT_EQ(&s.Top(), FM_QMDWLRTSH);
               EXPECT_EQ(FM_QMDWLRTSH->Left(), 0);
               EXPECT_EQ(FM_QMDWLRTSH->Top(), 76);
               EXPECT_EQ(FM_QMDWLRTSH->Width(), 800);
               EXPECT_EQ(FM_QMDWLRTSH->Height(), 508);
               EXPECT_EQ(FM_QMDWLRTSH->GetBorderStyle(), widgets::BorderStyle::None);
               EXPECT_EQ(FM_QMDWLRTSH->BorderIcons(), 0u);
               EXPECT_TRUE(FM_QMDWLRTSH->pn_gl->Focused());
               EXPECT_EQ(FM_QMDWLRTSH->dedt_changeunit->Text(), "1");
             }),
       Act("enter the document grid", [](Screen& s) { s.Find("dg_overfall_master").UserFocus(); }),
       Check("documents",
             [](Screen&) { EXPECT_EQ(windows::CurrentDataSet.get(), FM_QMDWLRTSH->cds_qmdwlrt1); }),
       Act("enter the line grid", [](Screen& s) { s.Find("dg_overfall_detail").UserFocus(); }),
       Check("lines",
             [](Screen&) { EXPECT_EQ(windows::CurrentDataSet.get(), FM_QMDWLRTSH->cds_qmdwlrt2); }),
       Click("tbexit")});
  EXPECT_EQ(FM_QMDWLRTSH, nullptr);
  EXPECT_EQ(windows::CurrentDataSet.get(), nullptr);
}

TEST_P(BrowserTest, AuditStartRemembersTheDocumentNumberUnlessTheDocumentIsAudited) {
  Fixture f;
  f.docs = {AuditedDoc(20240002, {{"10010001", 1}}), NumberedDocs(20240001, 1)[0]};
  WriteFixture(db(), f);
  windows::SelectedDocNo = "before";
  auto leave_dialog = Act("leave the audit date dialog if one is shown", [](Screen& s) {
    if (&s.Top() != FM_QMDWLRTSH) s.Get<widgets::FlatButton>("btn_cancel").UserClick();
  });
  Run({Click("tbok"), Answer(widgets::kIdOk),
       Check("refused", [](Screen&) { EXPECT_EQ(windows::SelectedDocNo, "before"); }),
       Act("second document", [](Screen& s) { Grid(s, "dg_overfall_master").UserMoveTo(1); }),
       Click("tbok"), leave_dialog,
       Check("remembered", [](Screen&) { EXPECT_EQ(windows::SelectedDocNo, "20240001"); }),
       Click("tbexit")});
}

TEST_P(BrowserTest, EnterWithATextNamingNoUnitSwitchesToTheFirstUnit) {
  Fixture f;
  f.units = {{"提", 3}, {"条", 1}};
  f.docs = {Plain(1, {{"10010001", 7}})};
  WriteFixture(db(), f);
  Run({Act("the text changes without an operator's change",
           [](Screen& s) { s.Get<widgets::ComboBox>("cb_smokeunit").SetText("箱"); }),
       Act("Enter",
           [](Screen& s) {
             s.Get<widgets::ComboBox>("cb_smokeunit").UserKeyDown(widgets::kVkReturn);
           }),
       Check("first unit",
             [](Screen& s) {
               EXPECT_EQ(s.Get<widgets::ComboBox>("cb_smokeunit").Text(), "提");
               EXPECT_EQ(Grid(s, "dg_overfall_detail").Column(3).Caption(), "数量(提)");
               EXPECT_EQ(Grid(s, "dg_overfall_detail").CellText(0, 3), "2.33");
             }),
       Click("tbexit")});
}

TEST_P(BrowserTest, AUnitOfZeroCartonsFailsAtTheFirstLineAndKeepsTheOthers) {
  Fixture f;
  f.units = {{"条", 1}, {"零", 0}};
  f.docs = {Plain(1, {{"10010001", 7}, {"10010002", 4}})};
  WriteFixture(db(), f);
  Run({Act("choose 零",
           [](Screen& s) {
             auto& cb = s.Get<widgets::ComboBox>("cb_smokeunit");
             cb.UserToggleList();
             cb.UserChooseItem(1);
           }),
       Check("error shown",
             [](Screen& s) {
               ASSERT_NE(s.Box(), nullptr);
               EXPECT_EQ(s.Box()->text, "Floating point division by zero");
               EXPECT_STREQ(widgets::MessageBoxIconName(s.Box()->flags), "error");
             }),
       // The error ends the operator's choice: the change event after the click does not run.
       Answer(widgets::kIdOk),
       Check("the first line stays in edit state, the others keep their quantities",
             [](Screen& s) {
               EXPECT_EQ(FM_QMDWLRTSH->cds_qmdwlrt2->State(), data::DataSetState::Edit);
               EXPECT_EQ(FM_QMDWLRTSH->cds_qmdwlrt2->RecNo(), 1);
               EXPECT_EQ(Grid(s, "dg_overfall_detail").CellText(1, 3), "4");
             }),
       Click("tbexit")});
}

TEST_P(BrowserTest, ASecondCancelOfTheSameDocumentIsRolledBackAndRestoresNothing) {
  Fixture f;
  f.docs = {AuditedDoc(1, {{"10010001", 6}, {"10010002", 1.5}})};
  WriteFixture(db(), f);
  const std::string notice = "由于种种原因，不能取消审核。\r请与管理员联系。";
  Run({Check("this operator sees the document audited",
             [](Screen& s) { EXPECT_EQ(Grid(s, "dg_overfall_master").CellText(0, 4), "林雨桐"); }),
       Act("another operator cancels the same audit on another computer",
           [this](Screen&) {
             ASSERT_EQ(testsupport::PlayScenario(
                           std::string(QMDW_BROWSER_SCENARIOS) + "/cancel_first_document.json",
                           "/dev/null", server_->computer_name(), testsupport::Runner::kHeadless),
                       0);
           }),
       Click("tbcancel"), Answer(widgets::kIdOk),
       Check("the notice",
             [&notice](Screen& s) {
               ASSERT_NE(s.Box(), nullptr);
               EXPECT_EQ(s.Box()->text, notice);
               EXPECT_EQ(s.Box()->caption, "提示");
               EXPECT_EQ(s.Box()->flags, widgets::kMbIconInformation | widgets::kMbOk);
             }),
       Answer(widgets::kIdOk),
       Check("the list was not reopened",
             [](Screen& s) { EXPECT_EQ(Grid(s, "dg_overfall_master").CellText(0, 4), "林雨桐"); }),
       Click("tbexit")});
  EXPECT_EQ(recorder_.calls, (std::vector<std::string>{"sustarttran", "surollback"}));
  // Restored once: by the first cancel.
  EXPECT_EQ(StockYW(db(), "10010001", "0B"), 1006);
  EXPECT_EQ(StockYW(db(), "10010001", "01"), 1006);
  EXPECT_EQ(StockYW(db(), "10010002", "0B"), 1001.5);
  EXPECT_EQ(StockYW(db(), "10010002", "01"), 1001.5);
  EXPECT_EQ(AuditDate(db(), 1), std::nullopt);
}

TEST_P(BrowserTest, AFailureAfterTheCommitStillAsksForARollbackAndShowsTheNotice) {
  Fixture f;
  f.docs = {AuditedDoc(1, {{"10010003", 2.5}})};
  WriteFixture(db(), f);
  recorder_.fail_open_after_commit = true;
  Run({Click("tbcancel"), Answer(widgets::kIdOk),
       Check("the notice",
             [](Screen& s) {
               ASSERT_NE(s.Box(), nullptr);
               EXPECT_EQ(s.Box()->text, "由于种种原因，不能取消审核。\r请与管理员联系。");
             }),
       Answer(widgets::kIdOk),
       Check("the list stays closed",
             [](Screen& s) {
               EXPECT_FALSE(FM_QMDWLRTSH->cds_qmdwlrt1->Active());
               EXPECT_EQ(Grid(s, "dg_overfall_master").RowCount(), 0);
             }),
       Click("tbexit")});
  EXPECT_EQ(recorder_.calls, (std::vector<std::string>{"sustarttran", "sucommit", "surollback"}));
  // The commit stands.
  EXPECT_EQ(StockYW(db(), "10010003", "0B"), 1002.5);
  EXPECT_EQ(StockYW(db(), "10010003", "01"), 1002.5);
  EXPECT_EQ(AuditDate(db(), 1), std::nullopt);
}

TEST_P(BrowserTest, AQuoteInACodeOrAUnitNameStaysPartOfTheValue) {
  Fixture f;
  f.units = {{"条", 1}, {"O'件", 2}};
  f.docs = {AuditedDoc(1, {{"10'01", 4}})};
  WriteFixture(db(), f);
  {
    auto s = db().NewSession();
    s->Execute("INSERT INTO GSTJYGL1 (SPDM00, SPMC00) VALUES ('10''01', '引号')");
    for (const char* w : {"0B", "01"}) {
      s->Execute(
          "INSERT INTO XSTZXKC0 (SPDM00, CKDM00, KCBZ00, KCSL00) VALUES ('10''01', ?, 'YW', 50)",
          {remote::Value::Text(w)});
    }
  }
  Run({Act("choose O'件",
           [](Screen& s) {
             auto& cb = s.Get<widgets::ComboBox>("cb_smokeunit");
             cb.UserToggleList();
             cb.UserChooseItem(1);
           }),
       Check("converted",
             [](Screen& s) {
               EXPECT_EQ(s.Box(), nullptr);
               EXPECT_EQ(Grid(s, "dg_overfall_detail").Column(3).Caption(), "数量(O'件)");
               EXPECT_EQ(Grid(s, "dg_overfall_detail").CellText(0, 3), "2");
               EXPECT_EQ(Grid(s, "dg_overfall_detail").CellText(0, 1), "引号");
             }),
       Click("tbcancel"), Answer(widgets::kIdOk),
       Check("cancelled", [](Screen& s) { EXPECT_EQ(s.Box(), nullptr); }), Click("tbexit")});
  EXPECT_EQ(StockYW(db(), "10'01", "0B"), 54);
  EXPECT_EQ(StockYW(db(), "10'01", "01"), 54);
  EXPECT_EQ(AuditDate(db(), 1), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Backends, BrowserTest,
                         ::testing::ValuesIn(testsupport::AvailableBackends()),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

}  // namespace
}  // namespace browsertest
