// Behaviours of the toolkit that the windows rely on, on the headless platform: activation once
// per showing, errors in handlers reaching the error display with the window staying open, the
// drop-down list's event orders, focus events, message boxes, binding by name, release and the
// scripted operator running out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/error.h"
#include "widgets/application.h"
#include "widgets/controls.h"
#include "widgets/headless/headless.h"

namespace widgets {
namespace {

using headless::Act;
using headless::Answer;
using headless::Check;
using headless::Click;
using headless::HeadlessPlatform;
using headless::Screen;
using headless::ScriptFailure;

class ToolkitTest : public ::testing::Test {
 protected:
  HeadlessPlatform platform;
  Application app{platform};
  std::vector<std::string> events;

  std::vector<headless::Observation> Boxes() const {
    std::vector<headless::Observation> boxes;
    for (const auto& o : platform.Log()) {
      if (o.event == "message_box") boxes.push_back(o);
    }
    return boxes;
  }
};

// A window with a button that closes it and a few controls that log their events.
class TestWindow : public Form {
 public:
  explicit TestWindow(Application& app, std::vector<std::string>* log) : Form(app, "TestWindow") {
    SetCaption("测试");
    SetBounds(10, 20, 300, 200);
    close = Add<FlatButton>(this, "close");
    close->SetBounds(0, 0, 40, 30);
    close->OnClick.Bind("CloseClick");
    combo = Add<ComboBox>(this, "combo");
    combo->SetItems({"条", "件", "箱"});
    combo->SetText("条");
    combo->OnKeyDown = [log](Object&, int& key, ShiftState) {
      log->push_back("keydown " + std::to_string(key));
    };
    combo->OnChange = [this, log](Object&) { log->push_back("change " + combo->Text()); };
    combo->OnClick = [this, log](Object&) { log->push_back("click " + combo->Text()); };
    combo->OnDblClick = [log](Object&) { log->push_back("dblclick"); };
    combo->OnEnter = [log](Object&) { log->push_back("combo enter"); };
    combo->OnExit = [log](Object&) { log->push_back("combo exit"); };
    panel = Add<Panel>(this, "panel");
    panel->OnEnter = [log](Object&) { log->push_back("panel enter"); };
    panel->OnExit = [log](Object&) { log->push_back("panel exit"); };
    Publish("CloseClick", [this](Object&) { Close(); });
  }
  FlatButton* close;
  ComboBox* combo;
  Panel* panel;
};

TEST_F(ToolkitTest, ActivationRunsOnceWhenChildWindowsAndMessageBoxesReturn) {
  auto* w = app.CreateForm<TestWindow>(&events);
  int activations = 0;
  w->OnActivate = [&](Object&) { ++activations; };
  auto* open_child = w->Add<FlatButton>(w, "child");
  open_child->OnClick = [&](Object&) {
    auto* child = app.CreateForm<TestWindow>(&events);
    child->ShowModal();
    app.ShowMessageBox("完成", "提示", kMbOk | kMbIconInformation);
  };
  platform.SetScript({Click("child"), Click("close"), Answer(kIdOk), Click("child"), Click("close"),
                      Answer(kIdOk), Click("close")});
  w->ShowModal();
  EXPECT_EQ(activations, 1);
  EXPECT_EQ(platform.StepsLeft(), 0u);
}

TEST_F(ToolkitTest, ErrorInHandlerEndsItReachesTheErrorDisplayAndTheWindowStaysOpen) {
  auto* w = app.CreateForm<TestWindow>(&events);
  auto* fail = w->Add<FlatButton>(w, "fail");
  fail->OnClick = [&](Object&) {
    events.push_back("before");
    throw rtl::Error("服务器无法连接");
    events.push_back("after");  // NOLINT: never reached
  };
  platform.SetScript(
      {Click("fail"), Answer(kIdOk),
       Check("still open", [](Screen& s) { EXPECT_EQ(s.Top().Name(), "TestWindow"); }),
       Click("close")});
  EXPECT_EQ(w->ShowModal(), kMrCancel);
  EXPECT_EQ(events, (std::vector<std::string>{"combo enter", "before"}));
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "服务器无法连接");
  EXPECT_EQ(boxes[0].icon, "error");
  EXPECT_EQ(boxes[0].buttons, std::vector<std::string>{"OK"});
  EXPECT_EQ(boxes[0].caption, app.Title());
}

TEST_F(ToolkitTest, ErrorInActivationEndsActivationOnly) {
  auto* w = app.CreateForm<TestWindow>(&events);
  w->OnActivate = [&](Object&) {
    events.push_back("step 1");
    throw rtl::Error("激活失败");
  };
  platform.SetScript({Answer(kIdOk), Click("close")});
  w->ShowModal();
  EXPECT_EQ(events.front(), "step 1");
  EXPECT_EQ(Boxes().size(), 1u);
}

TEST_F(ToolkitTest, ChoosingAnItemSetsTextThenRaisesClickThenChange) {
  auto* w = app.CreateForm<TestWindow>(&events);
  w->combo->SetDroppedDown(true);
  platform.SetScript(
      {Act("choose 箱", [&](Screen&) { w->combo->UserChooseItem(2); }), Click("close")});
  w->ShowModal();
  EXPECT_EQ(events, (std::vector<std::string>{"combo enter", "click 箱", "change 箱"}));
  EXPECT_FALSE(w->combo->DroppedDown());
}

TEST_F(ToolkitTest, TextSetByTheProgramRaisesNoChange) {
  auto* w = app.CreateForm<TestWindow>(&events);
  w->combo->SetText("件");
  w->combo->ClearItems();
  w->combo->AddItem("x");
  EXPECT_TRUE(events.empty());
}

TEST_F(ToolkitTest, TypingRaisesKeyDownThenChangeForEveryCharacterAndReplacesTheTextFirst) {
  auto* w = app.CreateForm<TestWindow>(&events);
  w->combo->OnKeyDown = [&](Object&, int& key, ShiftState) {
    events.push_back("keydown " + std::to_string(key));
    if (key != kVkReturn) w->combo->SetDroppedDown(true);
  };
  platform.SetScript({Act("type ab", [&](Screen&) { w->combo->UserType("ab"); }),
                      Check("list open", [&](Screen&) { EXPECT_TRUE(w->combo->DroppedDown()); }),
                      Act("enter", [&](Screen&) { w->combo->UserKeyDown(kVkReturn); }),
                      Click("close")});
  w->ShowModal();
  EXPECT_EQ(events, (std::vector<std::string>{"combo enter", "keydown 65", "change a", "keydown 66",
                                              "change ab", "keydown 13"}));
  EXPECT_EQ(w->combo->Text(), "ab");
  EXPECT_FALSE(w->combo->DroppedDown());
}

TEST_F(ToolkitTest, ChineseCharactersArriveWithTheInputMethodKeyCode) {
  auto* w = app.CreateForm<TestWindow>(&events);
  platform.SetScript({Act("type 箱", [&](Screen&) { w->combo->UserType("箱"); }), Click("close")});
  w->ShowModal();
  EXPECT_EQ(events, (std::vector<std::string>{"combo enter", "keydown 229", "change 箱"}));
}

TEST_F(ToolkitTest, FocusMovesWithExitBeforeEnterAndFlatButtonsDoNotTakeIt) {
  auto* w = app.CreateForm<TestWindow>(&events);
  w->OnActivate = [&](Object&) { w->panel->SetFocus(); };
  auto* noop = w->Add<FlatButton>(w, "noop");
  noop->OnClick = [&](Object&) { events.push_back("noop"); };
  platform.SetScript({Act("dblclick combo", [&](Screen&) { w->combo->UserDoubleClick(); }),
                      Click("noop"),
                      Check("focus", [&](Screen&) { EXPECT_TRUE(w->combo->Focused()); }),
                      Act("focus panel", [&](Screen&) { w->panel->UserFocus(); }), Click("close")});
  w->ShowModal();
  EXPECT_EQ(events, (std::vector<std::string>{"panel enter", "panel exit", "combo enter",
                                              "dblclick", "noop", "combo exit", "panel enter"}));
}

TEST_F(ToolkitTest, DisabledButtonIgnoresTheClickAndAHiddenOneCannotBeClicked) {
  auto* w = app.CreateForm<TestWindow>(&events);
  auto* b = w->Add<FlatButton>(w, "b");
  b->OnClick = [&](Object&) { events.push_back("clicked"); };
  b->SetEnabled(false);
  platform.SetScript({Click("b"), Act("hide", [&](Screen&) { b->SetVisible(false); }), Click("b")});
  try {
    w->ShowModal();
    FAIL() << "clicking a hidden button must fail the script";
  } catch (const ScriptFailure& f) {
    EXPECT_NE(f.message.find("not visible"), std::string::npos) << f.message;
  }
  EXPECT_EQ(events, std::vector<std::string>{"combo enter"});  // the first control's focus
  EXPECT_TRUE(app.ModalStack().empty());
}

TEST_F(ToolkitTest, ScriptRunningOutInAModalLoopFailsClearly) {
  auto* w = app.CreateForm<TestWindow>(&events);
  platform.SetScript({});
  try {
    w->ShowModal();
    FAIL() << "an empty script must not wait";
  } catch (const ScriptFailure& f) {
    EXPECT_NE(f.message.find("ran out"), std::string::npos);
    EXPECT_NE(f.message.find("TestWindow"), std::string::npos);
  }
  EXPECT_TRUE(platform.Failed());
  EXPECT_FALSE(w->IsShown());
  EXPECT_TRUE(platform.Windows().empty());
}

TEST_F(ToolkitTest, ScriptRunningOutUnderAMessageBoxPassesThroughTheErrorDisplay) {
  auto* w = app.CreateForm<TestWindow>(&events);
  w->OnActivate = [&](Object&) { throw rtl::Error("boom"); };
  platform.SetScript({});
  EXPECT_THROW(w->ShowModal(), ScriptFailure);
  EXPECT_NE(platform.Failure().find("boom"), std::string::npos);
}

TEST_F(ToolkitTest, MessageBoxAnswersMustBeAmongItsButtons) {
  struct Case {
    unsigned flags;
    headless::Step answer;
    int expected;  // 0: the script fails
  };
  const Case cases[] = {
      {kMbYesNoCancel | kMbIconExclamation, Answer(kIdNo), kIdNo},
      {kMbYesNoCancel | kMbIconExclamation, headless::Dismiss(), kIdCancel},
      {kMbOk | kMbIconExclamation, headless::Dismiss(), kIdOk},
      {kMbOkCancel | kMbIconExclamation, Answer(kIdCancel), kIdCancel},
      {kMbYesNo, headless::Dismiss(), 0},
      {kMbOk, Answer(kIdYes), 0},
  };
  for (const Case& c : cases) {
    platform.Reset();
    platform.SetScript({c.answer});
    if (c.expected != 0) {
      EXPECT_EQ(app.ShowMessageBox("确实要取消审核该单吗？", "警告", c.flags), c.expected);
    } else {
      EXPECT_THROW(app.ShowMessageBox("?", "警告", c.flags), ScriptFailure);
    }
  }
  platform.Reset();
  platform.SetScript({Answer(kIdYes)});
  app.ShowMessageBox("是否审核该单？", "提示", 51);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].icon, "exclamation");
  EXPECT_EQ(Boxes()[0].buttons, (std::vector<std::string>{"Yes", "No", "Cancel"}));
  EXPECT_EQ(Boxes()[0].answer, "Yes");
}

TEST_F(ToolkitTest, AnActionWhileAMessageBoxIsOpenFailsTheScript) {
  platform.SetScript({Click("close")});
  EXPECT_THROW(app.ShowMessageBox("该单已经审核。", "警告", 48), ScriptFailure);
}

TEST_F(ToolkitTest, UnknownOperationNameFailsWhenTheWindowIsBuilt) {
  class Broken : public Form {
   public:
    explicit Broken(Application& app) : Form(app, "Broken") {
      Add<FlatButton>(this, "b")->OnClick.Bind("NoSuchClick");
    }
  };
  EXPECT_THROW(app.CreateForm<Broken>(), rtl::Error);
  EXPECT_TRUE(app.Forms().empty());
}

TEST_F(ToolkitTest, FocusEventsBoundByNameRunTheWindowsOperation) {
  class Bound : public Form {
   public:
    explicit Bound(Application& app) : Form(app, "Bound") {
      auto* close = Add<FlatButton>(this, "close");
      close->OnClick = [this](Object&) { Close(); };
      auto* p = Add<Panel>(this, "panel");
      p->OnEnter.Bind("panelEnter");
      p->OnExit.Bind("panelExit");
      Add<Panel>(this, "other");
      Publish("panelEnter", [this](Object&) { log.push_back("enter"); });
      Publish("panelExit", [this](Object&) { log.push_back("exit"); });
    }
    std::vector<std::string> log;
  };
  auto* w = app.CreateForm<Bound>();
  platform.SetScript({Act("focus panel", [](Screen& s) { s.Find("panel").UserFocus(); }),
                      Act("focus other", [](Screen& s) { s.Find("other").UserFocus(); }),
                      Click("close")});
  w->ShowModal();
  EXPECT_EQ(w->log, (std::vector<std::string>{"enter", "exit"}));
}

TEST_F(ToolkitTest, ReleasedWindowIsDestroyedOnceItsModalRunHasReturned) {
  auto* w = app.CreateForm<TestWindow>(&events);
  TestWindow* child = nullptr;
  auto* open = w->Add<FlatButton>(w, "open");
  open->OnClick = [&](Object&) {
    child = app.CreateForm<TestWindow>(&events);
    child->OnClose = [](Object&, CloseAction& action) { action = CloseAction::Free; };
    child->ShowModal();
    EXPECT_TRUE(app.Owns(child));  // still there while the handler runs
  };
  platform.SetScript({Click("open"), Click("close"),
                      Check("released", [&](Screen&) { EXPECT_FALSE(app.Owns(child)); }),
                      Click("close")});
  w->ShowModal();
  EXPECT_EQ(platform.StepsLeft(), 0u);
}

TEST_F(ToolkitTest, CloseEventMayKeepTheWindowOpen) {
  auto* w = app.CreateForm<TestWindow>(&events);
  int asked = 0;
  w->OnClose = [&](Object&, CloseAction& action) {
    if (++asked == 1) action = CloseAction::None;
  };
  platform.SetScript({Click("close"), Click("close")});
  w->ShowModal();
  EXPECT_EQ(asked, 2);
}

TEST_F(ToolkitTest, CaptionDragMovesTheWindowUnlessTheHitTestSaysClient) {
  auto* w = app.CreateForm<TestWindow>(&events);
  w->SetBorderStyle(BorderStyle::Dialog);
  bool fixed = false;
  w->OnNcHitTest = [&](HitTestMessage& m) {
    if (fixed) m.result = kHtClient;
  };
  platform.SetScript({Act("drag", [&](Screen&) { w->UserDragCaption(5, 7); }),
                      Check("moved", [&](Screen&) { EXPECT_EQ(w->Left(), 15); }),
                      Act("fix", [&](Screen&) { fixed = true; }),
                      Act("drag", [&](Screen&) { w->UserDragCaption(5, 7); }),
                      Check("not moved", [&](Screen&) { EXPECT_EQ(w->Left(), 15); }),
                      Click("close")});
  w->ShowModal();
  EXPECT_EQ(w->Top(), 27);
}

TEST_F(ToolkitTest, WindowsAreShownOwnedByTheApplicationWindow) {
  app.SetHandle(0x1234);
  auto* w = app.CreateForm<TestWindow>(&events);
  platform.SetScript({Click("close")});
  w->ShowModal();
  ASSERT_FALSE(platform.Log().empty());
  EXPECT_EQ(platform.Log().front().event, "window_shown");
  EXPECT_EQ(platform.Log().front().owner, 0x1234u);
}

TEST_F(ToolkitTest, DatePickerKeepsTheDayAndShowsTheSystemForm) {
  auto* w = app.CreateForm<TestWindow>(&events);
  auto* picker = w->Add<DatePicker>(w, "picker");
  int changes = 0;
  picker->OnChange = [&](Object&) { ++changes; };
  rtl::DateTime day = rtl::EncodeDate(2024, 3, 5);
  picker->SetDate(rtl::DateTime{day.value + 0.75});
  EXPECT_EQ(picker->Date(), day);
  platform.SetScript(
      {Act("pick", [&](Screen&) { picker->UserPickDate(rtl::EncodeDate(2024, 3, 4)); }),
       Act("pick same", [&](Screen&) { picker->UserPickDate(rtl::EncodeDate(2024, 3, 4)); }),
       Check("focus", [&](Screen&) { EXPECT_TRUE(picker->Focused()); }), Click("close")});
  w->ShowModal();
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(picker->Text(),
            rtl::FormatDate(rtl::SystemShortDateFormat(), rtl::EncodeDate(2024, 3, 4)));
}

TEST_F(ToolkitTest, ColourNamesReadBackInAnyCase) {
  EXPECT_EQ(IdentToColor("CLRED"), kClRed);
  EXPECT_EQ(IdentToColor("clbtnface"), kClBtnFace);
  EXPECT_EQ(ColorToText(kClNavy), "clNavy");
  EXPECT_EQ(ColorToText(Rgb(1, 2, 3)), "#010203");
  EXPECT_EQ(TextToColor("#010203"), Rgb(1, 2, 3));
  EXPECT_EQ(kWindowColor, Rgb(0xC5, 0xD9, 0xDC));
}

}  // namespace
}  // namespace widgets
