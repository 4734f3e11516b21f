// The window base: layout, the exit guard, binding by name with a derived window taking a button
// over, TbDeleteClick/TbCloseClick on CurrentDataSet, and the amount in capitals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/dataset_model.h"
#include "widgets/headless/headless.h"
#include "windows/Base.h"

namespace windows {
namespace {

using widgets::headless::Act;
using widgets::headless::Check;
using widgets::headless::Click;
using widgets::headless::Screen;

class BaseTest : public ::testing::Test {
 protected:
  void TearDown() override { CurrentDataSet = nullptr; }
  widgets::headless::HeadlessPlatform platform;
  widgets::Application app{platform};
};

widgets::headless::Step ExitEnabled(bool enabled) {
  return widgets::headless::Check(
      "tbexit enabled " + std::to_string(enabled),
      [enabled](Screen& s) { EXPECT_EQ(s.Get<widgets::FlatButton>("tbexit").Enabled(), enabled); });
}

TEST_F(BaseTest, LayoutOfThePlainBase) {
  auto* w = app.CreateForm<TFm_Base>();
  EXPECT_EQ(w->Name(), "Fm_Base");
  EXPECT_EQ(w->Caption(), "Fm_Base");
  EXPECT_EQ(w->Bounds(), (widgets::Rect{73, 122, 697, 450}));
  EXPECT_EQ(w->GetColor(), 14473669u);
  EXPECT_EQ(w->BorderIcons(), 0u);
  EXPECT_EQ(w->BorderWidth(), 1);
  const std::vector<std::pair<std::string, int>> expected = {
      {"打印", 0},   {"设置", 35},  {"新增", 73},  {"编辑", 108},
      {"删除", 143}, {"确定", 178}, {"取消", 213}, {"退出", 248}};
  const widgets::FlatButton* buttons[] = {w->tbprint, w->tbpreview, w->tbnew,    w->tbedit,
                                          w->tbdel,   w->tbok,      w->tbcancel, w->tbexit};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(buttons[i]->Caption(), expected[i].first);
    EXPECT_EQ(buttons[i]->Left(), expected[i].second) << expected[i].first;
    EXPECT_EQ(buttons[i]->Top(), 2);
    EXPECT_EQ(buttons[i]->Height(), 35);
    EXPECT_EQ(buttons[i]->BorderColor(), 14473669u);
    EXPECT_EQ(buttons[i]->GetGlyphLayout(), widgets::GlyphLayout::Top);
    EXPECT_TRUE(buttons[i]->Visible() && buttons[i]->Enabled());
  }
  EXPECT_EQ(w->pn_gl->Top(), 49);
  EXPECT_EQ(w->pn_gl->Height(), 30);
  EXPECT_EQ(w->pn_gl->Caption(), "基础管理");
  EXPECT_EQ(w->pn_gl->GetFont(), widgets::TitleFont());
  EXPECT_EQ(w->tbr_base->Height(), 40);
  EXPECT_NE(w->ClientDataSet1, nullptr);
}

TEST_F(BaseTest, ExitGuardSequences) {
  struct Case {
    std::vector<std::string> clicks;
    bool exit_enabled;
  };
  const Case cases[] = {
      {{}, true},
      {{"tbnew"}, false},
      {{"tbedit"}, false},
      {{"tbnew", "tbok"}, true},
      {{"tbedit", "tbcancel"}, true},
      {{"tbnew", "tbedit"}, false},
      {{"tbnew", "tbedit", "tbok"}, true},
      {{"tbok", "tbok"}, true},
      {{"tbprint", "tbpreview", "tbdel"}, true},
      {{"tbnew", "tbprint", "tbdel", "tbpreview"}, false},
  };
  for (const Case& c : cases) {
    auto* w = app.CreateForm<TFm_Base>();
    std::vector<widgets::headless::Step> steps;
    for (const auto& name : c.clicks) steps.push_back(Click(name));
    steps.push_back(ExitEnabled(c.exit_enabled));
    steps.push_back(Click("tbexit"));  // closes only when enabled
    if (!c.exit_enabled) {
      steps.push_back(Check("still open", [](Screen& s) { EXPECT_EQ(s.Top().Name(), "Fm_Base"); }));
      steps.push_back(Click("tbcancel"));
      steps.push_back(Click("tbexit"));
    }
    platform.Reset();
    platform.SetScript(std::move(steps));
    w->ShowModal();
    EXPECT_FALSE(platform.Failed()) << platform.Failure();
    EXPECT_EQ(platform.StepsLeft(), 0u);
    app.DestroyForm(w);
  }
}

TEST_F(BaseTest, TbMoreClickDisablesExitLikeNewAndEdit) {
  auto* w = app.CreateForm<TFm_Base>();
  w->TbMoreClick(*w);
  EXPECT_FALSE(w->tbexit->Enabled());
  w->TbCancelClick(*w);
  EXPECT_TRUE(w->tbexit->Enabled());
}

// A derived window that takes tbok over and binds tbprint, as the browser does.
class Derived : public TFm_Base {
 public:
  explicit Derived(widgets::Application& app) : TFm_Base(app, "FM_DERIVED") {
    SetCaption("派生");
    tbok->SetCaption("审核");
    tbcancel->SetWidth(50);
    for (auto* b : {tbpreview, tbnew, tbedit, tbdel}) b->SetVisible(false);
    tbprint->OnClick.Bind("tbprintClick");
    Publish("TbOKClick", [this](widgets::Object& s) { TbOKClick(s); });
    Publish("tbprintClick", [this](widgets::Object&) { ++prints; });
  }
  void TbOKClick(widgets::Object&) { ++audits; }
  int audits = 0;
  int prints = 0;
};

TEST_F(BaseTest, DerivedWindowTakesTbokOverAndTheBaseGuardNoLongerRuns) {
  auto* w = app.CreateForm<Derived>();
  w->tbexit->SetEnabled(false);
  platform.SetScript(
      {Click("tbok"), ExitEnabled(false), Click("tbprint"), Click("tbcancel"), Click("tbexit")});
  w->ShowModal();
  EXPECT_EQ(w->audits, 1);
  EXPECT_EQ(w->prints, 1);
  // Hidden buttons take no room: 打印, 审核, 取消审核 (50 wide), 退出.
  EXPECT_EQ(w->tbok->Left(), 35);
  EXPECT_EQ(w->tbcancel->Left(), 70);
  EXPECT_EQ(w->tbexit->Left(), 120);
}

TEST_F(BaseTest, TbCloseClickWithoutCurrentDataSetOnlyCloses) {
  auto* w = app.CreateForm<TFm_Base>();
  CurrentDataSet = nullptr;
  platform.SetScript({Act("close", [w](Screen&) { w->TbCloseClick(*w); })});
  EXPECT_EQ(w->ShowModal(), widgets::kMrCancel);
  EXPECT_NE(w->ClientDataSet1, nullptr);
}

TEST_F(BaseTest, TbCloseClickDestroysTheCurrentDataSetThenCloses) {
  auto* w = app.CreateForm<TFm_Base>();
  data::ClientDataSet* other = nullptr;
  w->AddDataSet(&other, "cds_other");
  auto* source = w->AddDataSource("ds_other", other);
  CurrentDataSet = w->ClientDataSet1;
  platform.SetScript({Act("close", [w](Screen&) { w->TbCloseClick(*w); })});
  w->ShowModal();
  EXPECT_EQ(w->ClientDataSet1, nullptr);
  EXPECT_EQ(w->FindDataSet("ClientDataSet1"), nullptr);
  EXPECT_EQ(CurrentDataSet.get(), nullptr);
  EXPECT_EQ(other, w->FindDataSet("cds_other"));
  ASSERT_NE(source->Model(), nullptr);
  EXPECT_EQ(static_cast<binding::DataSetModel*>(source->Model())->DataSet(), other);
  app.DestroyForm(w);  // must not destroy it a second time
}

TEST_F(BaseTest, CurrentDataSetEmptiesWhenItsWindowIsDestroyed) {
  auto* w = app.CreateForm<TFm_Base>();
  CurrentDataSet = w->ClientDataSet1;
  app.DestroyForm(w);
  EXPECT_EQ(CurrentDataSet.get(), nullptr);
  auto* w2 = app.CreateForm<TFm_Base>();
  w2->TbDeleteClick(*w2);  // nothing to delete: no effect
}

TEST_F(BaseTest, TbDeleteClickOnAnEmptyDataSetRefusesWithTheDataSetsError) {
  auto* w = app.CreateForm<TFm_Base>();
  CurrentDataSet = w->ClientDataSet1;
  EXPECT_THROW(w->TbDeleteClick(*w), rtl::Error);
}

TEST_F(BaseTest, ConversionMoneyCapWritesCapitals) {
  auto* w = app.CreateForm<TFm_Base>();
  EXPECT_EQ(w->conversionmoneycap(1234.56), "壹仟贰佰叁拾肆圆伍角陆分整");
  EXPECT_EQ(w->conversionmoneycap(-0.004), "负零分整");
  EXPECT_EQ(w->conversionmoneycap(100000000), "");
}

}  // namespace
}  // namespace windows
