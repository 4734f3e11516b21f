// The native platform in-process (64-bit build, under Wine on an X screen): real windows, input
// posted as window messages and played by the real modal loop. What the module promises of its
// windows: owned by the application window, modal showing that disables the thread's other
// windows and gives the activation back, message boxes owned by the application window that
// disable every window and keep a modally disabled host disabled, the error display, the quit
// message, the non-client hit test; and that the operator's input reaches the controls in their
// documented order (drop-down list, grid cell editor).
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "binding/data_form.h"
#include "rtl/error.h"
#include "tests/widgets/fake_provider.h"
#include "widgets/application.h"
#include "widgets/controls.h"
#include "widgets/grid.h"
#include "widgets/win32/automation.h"
#include "widgets/win32/native.h"
#include "widgets/win32/platform.h"

namespace widgets::win32 {
namespace {

HWND HwndOf(const Control& c) {
  NativePeer* peer = Win32Platform::PeerOf(c);
  return peer != nullptr ? peer->Hwnd() : nullptr;
}

void PostClick(HWND hwnd, int x = 3, int y = 3) {
  PostMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
  PostMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

void PostKey(HWND hwnd, int vk) {
  PostMessageW(hwnd, WM_KEYDOWN, static_cast<WPARAM>(vk), 1);
  PostMessageW(hwnd, WM_KEYUP, static_cast<WPARAM>(vk), static_cast<LPARAM>(0xC0000001u));
}

void PostText(HWND hwnd, const wchar_t* text) {
  for (const wchar_t* p = text; *p != 0; ++p) PostMessageW(hwnd, WM_CHAR, *p, 1);
}

std::string ClassName(HWND hwnd) {
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  return Utf8(cls);
}

// A window with the kinds of controls the module's windows use.
class TestWindow : public binding::DataForm {
 public:
  TestWindow(Application& app, std::vector<std::string>* log) : DataForm(app, "FM_TEST") {
    SetCaption("测试窗口");
    SetBounds(40, 50, 500, 360);
    SetBorderStyle(BorderStyle::Dialog);
    SetBorderIcons(0);
    SetColor(kWindowColor);
    ok = Add<FlatButton>(this, "tbok");
    ok->SetBounds(0, 0, 35, 35);
    ok->SetCaption("审核");
    ok->SetGlyph("ok");
    ok->OnClick = [this](Object&) {
      if (on_ok) on_ok();
    };
    exit = Add<FlatButton>(this, "tbexit");
    exit->SetBounds(40, 0, 35, 35);
    exit->SetCaption("退出");
    exit->OnClick = [this](Object&) { Close(); };
    combo = Add<ComboBox>(this, "cb_unit");
    combo->SetBounds(100, 5, 80, 20);
    combo->SetItems({"条", "件", "盒"});
    combo->SetText("条");
    combo->OnKeyDown = [log](Object&, int& key, ShiftState) {
      log->push_back("keydown " + std::to_string(key));
    };
    combo->OnChange = [this, log](Object&) { log->push_back("change " + combo->Text()); };
    combo->OnClick = [log](Object&) { log->push_back("click"); };
    conn = std::make_unique<remote::Connection>("test.lines");
    AddDataSet(&lines, "cds_lines");
    lines->SetRemoteServer(conn.get());
    lines->SetProviderName("lines");
    grid = Add<Grid>(this, "dg_lines");
    grid->SetBounds(0, 40, 480, 200);
    grid->SetDataSource(AddDataSource("ds_lines", lines));
    grid->SetShowFooter(true);
    grid->AddColumn({"dgSPDM00", "SPDM00", "商品代码", 96, Alignment::Center, false});
    grid->AddColumn({"dgDJIA00", "DJIA00", "单价", 125, Alignment::Center, true});
    grid->AddColumn({"dgJE0000", "JE0000", "金额", 122, Alignment::Center, true, FooterKind::Sum});
    grid->OnEditChange = [this, log](Object&) {
      log->push_back("editchange " + grid->EditorText());
    };
    grid->OnEdited = [this, log](Object&, int row) {
      log->push_back("edited " + std::to_string(row) + " " +
                     grid->CellText(grid->CurrentRow(), grid->FocusedColumn()));
    };
  }
  std::function<void()> on_ok;
  FlatButton* ok = nullptr;
  FlatButton* exit = nullptr;
  ComboBox* combo = nullptr;
  std::unique_ptr<remote::Connection> conn;
  data::ClientDataSet* lines = nullptr;
  Grid* grid = nullptr;
};

// What a thread timer saw of the message box it answered.
struct BoxSeen {
  bool seen = false;
  HWND owner = nullptr;
  unsigned flags = 0;
  bool form_enabled = true;
  bool host_enabled = true;
  std::string caption;
  HWND form = nullptr;
  HWND host = nullptr;
  int answer = IDOK;
  HWND then_click = nullptr;  // clicked once the box has gone (windows under a box take no input)
};
BoxSeen g_box;

void CALLBACK AnswerBox(HWND, UINT, UINT_PTR id, DWORD) {
  HWND box = nullptr;
  ForEachThreadWindow(GetCurrentThreadId(), [&](HWND h) {
    if (IsWindowVisible(h) && ClassName(h) == "#32770") box = h;
    return box == nullptr;
  });
  if (box == nullptr) return;
  KillTimer(nullptr, id);
  g_box.seen = true;
  g_box.owner = GetWindow(box, GW_OWNER);
  g_box.flags =
      static_cast<unsigned>(reinterpret_cast<UINT_PTR>(GetPropW(box, automation::kPropBoxFlags)) &
                            ~automation::kBoxFlagsMark);
  g_box.form_enabled = IsWindowEnabled(g_box.form) != FALSE;
  g_box.host_enabled = IsWindowEnabled(g_box.host) != FALSE;
  wchar_t caption[256] = {};
  GetWindowTextW(box, caption, 256);
  g_box.caption = Utf8(caption);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(g_box.answer, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, g_box.answer)));
  if (g_box.then_click != nullptr) PostClick(g_box.then_click);
}

class Win32PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ServeLines({{"A01", 8.5, 10}, {"B02", 2, -3}});
    host = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 600, 400, 300,
                           200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetActiveWindow(host);
    app.SetHandle(reinterpret_cast<uintptr_t>(host));
    w = app.CreateForm<TestWindow>(&log);
    w->lines->Open();
    g_box = BoxSeen{};
    g_box.host = host;
  }
  void TearDown() override {
    app.DestroyForm(w);
    DestroyWindow(host);
    remote::SetObjectFactory(nullptr);
  }
  // Shows the window modally; `input` runs once it is shown and posts what the operator does.
  int Show(std::function<void()> input) {
    w->OnActivate = [this, input](Object&) {
      g_box.form = HwndOf(*w);
      input();
    };
    return w->ShowModal();
  }

  Application app{Instance()};
  HWND host = nullptr;
  TestWindow* w = nullptr;
  std::vector<std::string> log;
};

TEST_F(Win32PlatformTest, ModalWindowIsOwnedByTheHostDisablesItAndGivesTheActivationBack) {
  HWND form = nullptr;
  bool host_enabled_meanwhile = true;
  HWND owner = nullptr, active = nullptr;
  std::string cls, name;
  w->on_ok = [&] {
    form = HwndOf(*w);
    host_enabled_meanwhile = IsWindowEnabled(host) != FALSE;
    owner = GetWindow(form, GW_OWNER);
    active = GetActiveWindow();
    cls = ClassName(form);
    auto atom = static_cast<ATOM>(
        reinterpret_cast<UINT_PTR>(GetPropW(HwndOf(*w->ok), automation::kPropName)));
    wchar_t n[64] = {};
    GlobalGetAtomNameW(atom, n, 64);
    name = Utf8(n);
  };
  Show([&] {
    PostClick(HwndOf(*w->ok));
    PostClick(HwndOf(*w->exit));
  });
  EXPECT_EQ(owner, host);
  EXPECT_FALSE(host_enabled_meanwhile);
  EXPECT_EQ(active, form);
  EXPECT_EQ(cls, "TFM_TEST");
  EXPECT_EQ(name, "tbok");
  EXPECT_TRUE(IsWindowEnabled(host));
  EXPECT_EQ(GetActiveWindow(), host);
  EXPECT_FALSE(IsWindowVisible(form));
}

TEST_F(Win32PlatformTest, MessageBoxIsOwnedByTheHostDisablesEveryWindowAndKeepsTheHostDisabled) {
  int answer = 0;
  bool form_enabled_after = false, host_enabled_after = true;
  w->on_ok = [&] {
    SetTimer(nullptr, 0, 20, &AnswerBox);
    answer = app.ShowMessageBox("该单已经审核。", "警告", kMbOk | kMbIconExclamation);
    form_enabled_after = IsWindowEnabled(HwndOf(*w)) != FALSE;
    host_enabled_after = IsWindowEnabled(host) != FALSE;
  };
  Show([&] {
    g_box.then_click = HwndOf(*w->exit);
    PostClick(HwndOf(*w->ok));
  });
  ASSERT_TRUE(g_box.seen);
  EXPECT_EQ(answer, kIdOk);
  EXPECT_EQ(g_box.owner, host);
  EXPECT_EQ(g_box.flags, kMbOk | kMbIconExclamation);
  EXPECT_EQ(g_box.caption, "警告");
  EXPECT_FALSE(g_box.form_enabled);
  EXPECT_FALSE(g_box.host_enabled);
  EXPECT_TRUE(form_enabled_after);
  EXPECT_FALSE(host_enabled_after);  // the module's window is still shown modally
  EXPECT_TRUE(IsWindowEnabled(host));
}

TEST_F(Win32PlatformTest, TheModuleHasNoWindowOfItsOwnUntilADriverAsksForIt) {
  auto automation_windows = [] {
    int n = 0;
    ForEachThreadWindow(GetCurrentThreadId(), [&](HWND h) {
      if (ClassName(h) == Utf8(automation::kAutomationClass)) ++n;
      return true;
    });
    return n;
  };
  int before = -1;
  HWND asked = nullptr, again = nullptr;
  w->on_ok = [&] {
    SetTimer(nullptr, 0, 20, &AnswerBox);
    app.ShowMessageBox("该单已经审核。", "警告", kMbOk | kMbIconExclamation);
    before = automation_windows();  // a modal window and a message box have been shown
    asked =
        reinterpret_cast<HWND>(SendMessageW(HwndOf(*w), automation::MsgAutomationWindow(), 0, 0));
    again =
        reinterpret_cast<HWND>(SendMessageW(HwndOf(*w), automation::MsgAutomationWindow(), 0, 0));
  };
  Show([&] {
    g_box.then_click = HwndOf(*w->exit);
    PostClick(HwndOf(*w->ok));
  });
  EXPECT_EQ(before, 0);
  ASSERT_NE(asked, nullptr);
  EXPECT_EQ(ClassName(asked), Utf8(automation::kAutomationClass));
  EXPECT_FALSE(IsWindowVisible(asked));
  EXPECT_EQ(again, asked);
  EXPECT_EQ(automation_windows(), 1);
}

TEST_F(Win32PlatformTest, AnErrorInAHandlerIsShownWithTheErrorIconAndTheWindowStaysOpen) {
  bool still_open = false;
  w->on_ok = [&] {
    SetTimer(nullptr, 0, 20, &AnswerBox);
    throw rtl::Error("服务器不可用");
  };
  w->exit->OnClick = [&](Object&) {
    still_open = IsWindowVisible(HwndOf(*w)) != FALSE;
    w->Close();
  };
  Show([&] {
    g_box.then_click = HwndOf(*w->exit);
    PostClick(HwndOf(*w->ok));
  });
  ASSERT_TRUE(g_box.seen);
  EXPECT_EQ(g_box.flags, kMbOk | kMbIconError);
  EXPECT_EQ(g_box.caption, app.Title());
  EXPECT_TRUE(still_open);
}

TEST_F(Win32PlatformTest, AQuitMessageEndsTheModalRunAndStaysForTheHostsLoop) {
  int result = Show([] { PostQuitMessage(7); });
  EXPECT_EQ(result, kMrCancel);
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 7u);
}

TEST_F(Win32PlatformTest, TheWindowsHitTestHandlerDecidesWhatTheCaptionBarIs) {
  LRESULT plain = 0, pinned = 0;
  w->on_ok = [&] {
    HWND form = HwndOf(*w);
    RECT r;
    GetWindowRect(form, &r);
    LPARAM caption =
        MAKELPARAM((r.left + r.right) / 2, r.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 2);
    plain = SendMessageW(form, WM_NCHITTEST, 0, caption);
    w->OnNcHitTest = [](HitTestMessage& m) { m.result = kHtClient; };
    pinned = SendMessageW(form, WM_NCHITTEST, 0, caption);
  };
  Show([&] {
    PostClick(HwndOf(*w->ok));
    PostClick(HwndOf(*w->exit));
  });
  EXPECT_EQ(plain, HTCAPTION);
  EXPECT_EQ(pinned, HTCLIENT);
}

TEST_F(Win32PlatformTest, TypingIntoTheDropDownListGoesThroughTheControl) {
  std::wstring shown;
  w->on_ok = [&] {
    wchar_t text[32] = {};
    GetWindowTextW(HwndOf(*w->combo), text, 32);
    shown = text;
  };
  Show([&] {
    HWND edit = FindWindowExW(HwndOf(*w->combo), nullptr, L"Edit", nullptr);
    PostClick(edit);
    PostText(edit, L"件");
    PostKey(edit, VK_BACK);
    PostText(edit, L"盒");
    PostClick(HwndOf(*w->ok));
    PostClick(HwndOf(*w->exit));
  });
  // The first character replaces the text, Backspace removes the last one; the key-down event
  // runs before every change (229: the input method's code for a Chinese character).
  EXPECT_EQ(log, (std::vector<std::string>{"keydown 229", "change 件", "keydown 8", "change ",
                                           "keydown 229", "change 盒"}));
  EXPECT_EQ(w->combo->Text(), "盒");
  EXPECT_EQ(shown, L"盒");
}

TEST_F(Win32PlatformTest, TheGridsCellEditorTakesTypingAndStoresItWhenClosed) {
  Show([&] {
    HWND grid = HwndOf(*w->grid);
    LRESULT p = SendMessageW(grid, automation::MsgGridCellPoint(), 1, 1);
    ASSERT_NE(p, -1);
    PostClick(grid, LOWORD(p), HIWORD(p));
    PostKey(grid, VK_F2);
    PostKey(grid, VK_BACK);
    PostText(grid, L"12.5");
    PostKey(grid, VK_RETURN);
    PostClick(HwndOf(*w->exit));
  });
  EXPECT_EQ(w->grid->CellText(1, 1), "12.5");
  EXPECT_EQ(log, (std::vector<std::string>{"editchange ", "editchange 1", "editchange 12",
                                           "editchange 12.", "editchange 12.5", "edited 1 12.5"}));
}

TEST_F(Win32PlatformTest, WithoutAnApplicationWindowTheWindowHasNoOwner) {
  app.SetHandle(0);
  HWND owner = host;
  w->on_ok = [&] { owner = GetWindow(HwndOf(*w), GW_OWNER); };
  Show([&] {
    PostClick(HwndOf(*w->ok));
    PostClick(HwndOf(*w->exit));
  });
  EXPECT_EQ(owner, nullptr);
}

TEST_F(Win32PlatformTest, DestroyingTheWindowDestroysItsNativeWindows) {
  HWND form = nullptr, grid = nullptr;
  Show([&] {
    form = HwndOf(*w);
    grid = HwndOf(*w->grid);
    PostClick(HwndOf(*w->exit));
  });
  ASSERT_TRUE(IsWindow(form));
  app.DestroyForm(w);
  w = nullptr;
  EXPECT_FALSE(IsWindow(form));
  EXPECT_FALSE(IsWindow(grid));
}

}  // namespace
}  // namespace widgets::win32
