#include <windows.h>

#include <commctrl.h>

#include <algorithm>

#include "widgets/application.h"
#include "widgets/describe.h"
#include "widgets/grid.h"
#include "widgets/win32/automation.h"
#include "widgets/win32/native.h"
#include "widgets/win32/peers.h"
#include "widgets/win32/platform.h"

namespace widgets::win32 {
namespace {

// The module's own activation context (its manifest, resource 2): windows of the common
// controls are created from version 6, whatever the host program's manifest says.
class ActivationContext {
 public:
  ActivationContext() {
    ACTCTXW ctx{};
    ctx.cbSize = sizeof ctx;
    ctx.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    ctx.hModule = NativePeer::ModuleInstance();
    ctx.lpResourceName = MAKEINTRESOURCEW(2);
    handle_ = CreateActCtxW(&ctx);
  }
  HANDLE Handle() const { return handle_ == INVALID_HANDLE_VALUE ? nullptr : handle_; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

ActivationContext& ModuleContext() {
  static auto* ctx = new ActivationContext();
  return *ctx;
}

class ScopedContext {
 public:
  ScopedContext() {
    if (HANDLE h = ModuleContext().Handle()) active_ = ActivateActCtx(h, &cookie_) != FALSE;
  }
  ~ScopedContext() {
    if (active_) DeactivateActCtx(0, cookie_);
  }
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;

 private:
  ULONG_PTR cookie_ = 0;
  bool active_ = false;
};

// The flags of the message box being shown, for the hook that marks its window.
thread_local unsigned g_box_flags = 0;
thread_local bool g_box_marked = false;

LRESULT CALLBACK MarkMessageBox(int code, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  if (code == HCBT_CREATEWND && !g_box_marked) {
    auto hwnd = reinterpret_cast<HWND>(wp);
    wchar_t cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    if (lstrcmpW(cls, L"#32770") == 0) {
      SetPropW(
          hwnd, automation::kPropBoxFlags,
          reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(g_box_flags) | automation::kBoxFlagsMark));
      g_box_marked = true;
    }
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}

// Destroys the automation window when the module unloads (its procedure lives in the module).
struct AutomationWindowOwner {
  HWND hwnd = nullptr;
  ~AutomationWindowOwner() {
    if (hwnd != nullptr && IsWindow(hwnd)) DestroyWindow(hwnd);
  }
};

AutomationWindowOwner& AutomationOwner() {
  static AutomationWindowOwner owner;
  return owner;
}

}  // namespace

Win32Platform::Win32Platform() {
  ScopedContext context;
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof icc;
  icc.dwICC = ICC_DATE_CLASSES | ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
  InitCommonControlsEx(&icc);
}

Win32Platform::~Win32Platform() = default;

NativePeer* Win32Platform::PeerOf(const Control& control) {
  return static_cast<NativePeer*>(control.GetPeer());
}

void Win32Platform::EnsureNative(Form& form) {
  ScopedContext context;
  if (PeerOf(form) == nullptr) {
    std::unique_ptr<NativePeer> peer = MakePeer(form);
    NativePeer* raw = peer.get();
    form.SetPeer(std::move(peer));
    raw->Create(reinterpret_cast<HWND>(form.App().Handle()));
  }
  for (const auto& c : form.Controls()) {
    if (PeerOf(*c) != nullptr) continue;
    std::unique_ptr<NativePeer> peer = MakePeer(*c);
    if (peer == nullptr) continue;
    NativePeer* parent = c->Parent() != nullptr ? PeerOf(*c->Parent()) : nullptr;
    if (parent == nullptr || parent->Hwnd() == nullptr) continue;
    NativePeer* raw = peer.get();
    c->SetPeer(std::move(peer));
    raw->Create(parent->Hwnd());
  }
}

HWND Win32Platform::AutomationWindow() {
  if (automation_ != nullptr && IsWindow(automation_)) return automation_;
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Win32Platform::AutomationProc;
    wc.hInstance = NativePeer::ModuleInstance();
    wc.lpszClassName = automation::kAutomationClass;
    RegisterClassExW(&wc);
    registered = true;
  }
  automation_ = CreateWindowExW(WS_EX_TOOLWINDOW, automation::kAutomationClass, L"", WS_POPUP, 0, 0,
                                0, 0, nullptr, nullptr, NativePeer::ModuleInstance(), nullptr);
  AutomationOwner().hwnd = automation_;
  return automation_;
}

LRESULT CALLBACK Win32Platform::AutomationProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  if (msg == automation::MsgPing()) {
    PostMessageW(reinterpret_cast<HWND>(wp), automation::MsgPong(), static_cast<WPARAM>(lp), 0);
    return 1;
  }
  if (msg == automation::MsgFlush()) {
    const rtl::CallerFpu host;  // the host's windows are painted too
    ForEachThreadWindow(GetCurrentThreadId(), [](HWND h) {
      if (IsWindowVisible(h)) {
        RedrawWindow(h, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_FRAME | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
      }
      return true;
    });
    GdiFlush();
    return 1;
  }
  if (msg == automation::MsgDescribe()) {
    NativePeer* peer = NativePeer::FromHwnd(reinterpret_cast<HWND>(lp));
    if (peer == nullptr) return 0;
    std::string json;
    try {
      json = DescribeControl(peer->Model());
    } catch (...) {
      json = "{\"error\":\"the control could not be described\"}";
    }
    COPYDATASTRUCT data{};
    data.dwData = automation::kCopyDescribe;
    data.cbData = static_cast<DWORD>(json.size());
    data.lpData = json.data();
    SendMessageW(reinterpret_cast<HWND>(wp), WM_COPYDATA, reinterpret_cast<WPARAM>(hwnd),
                 reinterpret_cast<LPARAM>(&data));
    return 1;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

std::vector<HWND> Win32Platform::DisableThreadWindows(HWND except) {
  std::vector<HWND> disabled;
  ForEachThreadWindow(GetCurrentThreadId(), [&](HWND h) {
    if (h != except && IsWindowVisible(h) && IsWindowEnabled(h)) disabled.push_back(h);
    return true;
  });
  const rtl::CallerFpu host;  // the host's windows hear of it (WM_ENABLE)
  for (HWND h : disabled) EnableWindow(h, FALSE);
  return disabled;
}

void Win32Platform::ShowModalWindow(Form& form) {
  EnsureNative(form);
  NativePeer* peer = PeerOf(form);
  HWND hwnd = peer != nullptr ? peer->Hwnd() : nullptr;
  ModalState state;
  state.form = &form;
  state.previous_active = GetActiveWindow();
  state.disabled = DisableThreadWindows(hwnd);
  modal_.push_back(std::move(state));
  if (hwnd == nullptr) return;
  SetPropW(hwnd, automation::kPropModal,
           reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(modal_.size())));
  Rect r = form.Bounds();
  const rtl::CallerFpu host;  // the activation passes through the host's windows
  SetWindowPos(hwnd, HWND_TOP, r.left, r.top, r.width, r.height, SWP_SHOWWINDOW);
  SetForegroundWindow(hwnd);
  SetActiveWindow(hwnd);
  UpdateWindow(hwnd);
}

bool Win32Platform::PreTranslate(MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB) return false;
  NativePeer* peer = NativePeer::FromHwnd(msg.hwnd);
  if (peer == nullptr) return false;
  Control& control = peer->Model();
  // The grid and the drop-down list decide about Tab themselves.
  if (dynamic_cast<Grid*>(&control) != nullptr || dynamic_cast<ComboBox*>(&control) != nullptr) {
    return false;
  }
  bool forward = (KeyShift(msg.lParam) & kShift) == 0;
  Form* form = dynamic_cast<Form*>(&control);
  if (form == nullptr) form = &control.Window();
  Control* from = form == &control ? nullptr : &control;
  NativePeer::Deliver(
      [form, from, forward] { form->App().Guard([&] { form->FocusNext(from, forward); }); });
  return true;
}

void Win32Platform::RunModalLoop(Form& form) {
  while (form.ModalResult() == kMrNone) {
    form.App().ProcessReleases();
    MSG msg;
    BOOL got = 0;
    {
      const rtl::CallerFpu host;  // sent messages and hooks of the host run while waiting
      got = GetMessageW(&msg, nullptr, 0, 0);
    }
    if (got == 0 || got == -1) {
      // The host is quitting: the window ends its run and the quit goes on to the host's loop.
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
      form.SetModalResult(kMrCancel);
      break;
    }
    if (PreTranslate(msg)) continue;
    // The host's windows get their messages in the host's state, the module's windows take the
    // module's own in their procedures.
    const rtl::CallerFpu host;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void Win32Platform::HideModalWindow(Form& form) {
  auto it = std::find_if(modal_.rbegin(), modal_.rend(),
                         [&](const ModalState& s) { return s.form == &form; });
  if (it == modal_.rend()) return;
  ModalState state = std::move(*it);
  modal_.erase(std::next(it).base());
  const rtl::CallerFpu host;  // enabling and activating the host's windows again
  for (HWND h : state.disabled) {
    if (IsWindow(h)) EnableWindow(h, TRUE);
  }
  NativePeer* peer = PeerOf(form);
  HWND hwnd = peer != nullptr ? peer->Hwnd() : nullptr;
  if (state.previous_active != nullptr && IsWindow(state.previous_active) &&
      state.previous_active != hwnd) {
    SetActiveWindow(state.previous_active);
  }
  if (hwnd != nullptr) {
    ShowWindow(hwnd, SW_HIDE);
    RemovePropW(hwnd, automation::kPropModal);
  }
}

int Win32Platform::ShowMessageBox(const MessageBoxSpec& desc) {
  ScopedContext context;
  auto owner = reinterpret_cast<HWND>(desc.owner);
  if (owner != nullptr && !IsWindow(owner)) owner = nullptr;
  HWND previous_active = GetActiveWindow();
  bool owner_was_enabled = owner != nullptr && IsWindowEnabled(owner);
  std::vector<HWND> disabled = DisableThreadWindows(nullptr);
  unsigned outer_flags = g_box_flags;
  bool outer_marked = g_box_marked;
  g_box_flags = desc.flags;
  g_box_marked = false;
  const std::wstring text = Wide(desc.text), caption = Wide(desc.caption);
  HHOOK hook = SetWindowsHookExW(WH_CBT, &MarkMessageBox, nullptr, GetCurrentThreadId());
  int result = 0;
  {
    const rtl::CallerFpu host;  // the box's own loop dispatches to the host's windows too
    result = MessageBoxW(owner, text.c_str(), caption.c_str(), desc.flags);
  }
  if (hook != nullptr) UnhookWindowsHookEx(hook);
  g_box_flags = outer_flags;
  g_box_marked = outer_marked;
  const rtl::CallerFpu host;  // enabling and activating the host's windows again
  for (HWND h : disabled) {
    if (IsWindow(h)) EnableWindow(h, TRUE);
  }
  // The box re-enables its owner when it closes; a host window that a modal window of the
  // module had disabled stays disabled.
  if (owner != nullptr && !owner_was_enabled) EnableWindow(owner, FALSE);
  if (previous_active != nullptr && IsWindow(previous_active)) SetActiveWindow(previous_active);
  return result;
}

void Win32Platform::Changed(Control& control, Change what) {
  NativePeer* peer = PeerOf(control);
  if (peer == nullptr || peer->Hwnd() == nullptr) return;
  peer->Sync(what);
  if (what == Change::Font || what == Change::Color) {
    // Controls that take their parent's font or colour change with it.
    for (Control* child : control.Children()) {
      bool inherits = what == Change::Font ? child->ParentFont() : child->ParentColor();
      if (inherits) Changed(*child, what);
    }
  }
}

void Win32Platform::FocusChanged(Form& form, Control* control) {
  NativePeer* form_peer = PeerOf(form);
  if (form_peer == nullptr || form_peer->Hwnd() == nullptr) return;
  // Only the active window holds the native focus; the others get theirs back on activation.
  if (GetActiveWindow() != form_peer->Hwnd()) return;
  NativePeer* peer = control != nullptr ? PeerOf(*control) : nullptr;
  HWND target =
      peer != nullptr && peer->Hwnd() != nullptr ? peer->FocusWindow() : form_peer->Hwnd();
  if (GetFocus() == target) return;
  ++moving_focus_;
  SetFocus(target);
  --moving_focus_;
}

void Win32Platform::Destroying(Control& control) {
  NativePeer* peer = PeerOf(control);
  if (peer == nullptr) return;
  ++tearing_down_;
  peer->DestroyNative();
  --tearing_down_;
}

Insets Win32Platform::FrameOf(BorderStyle style) const {
  RECT r{0, 0, 0, 0};
  AdjustWindowRectEx(&r, FormPeer::StyleFor(style, 0), FALSE, FormPeer::ExStyleFor(style));
  return Insets{-r.left, -r.top, r.right, r.bottom};
}

Rect Win32Platform::Screen() const {
  return Rect{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

Color Win32Platform::ResolveSystemColor(int index) const {
  if (index < 0 || index > 30) return kClBlack;
  return static_cast<Color>(GetSysColor(index));
}

Win32Platform& Instance() {
  // Never destroyed: windows may still be torn down while the module unloads.
  static auto* platform = new Win32Platform();
  return *platform;
}

}  // namespace widgets::win32
