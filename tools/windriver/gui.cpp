#include "gui.h"

#include <algorithm>

#include "widgets/win32/automation.h"

namespace windriver {
namespace automation = widgets::win32::automation;

std::string Text(HWND hwnd) {
  // WM_GETTEXT crosses processes; the system copies the text back.
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 10000, &length)) return {};
  std::wstring w(static_cast<size_t>(length) + 1, L'\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, w.size(), reinterpret_cast<LPARAM>(w.data()), SMTO_NORMAL,
                      10000, &got);
  w.resize(std::min<size_t>(got, length));
  return Utf8(w);
}

std::string ClassOf(HWND hwnd) {
  return Utf8(widgets::win32::ClassName(hwnd));
}

std::string NameOf(HWND hwnd) {
  auto atom = static_cast<ATOM>(reinterpret_cast<UINT_PTR>(GetPropW(hwnd, automation::kPropName)));
  if (atom == 0) return {};
  wchar_t name[256] = {};
  UINT n = GlobalGetAtomNameW(atom, name, 256);
  return Utf8(std::wstring(name, n));
}

Gui::Gui() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &Gui::ReplyProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QMDW.WinDriver";
  RegisterClassExW(&wc);
  reply_ = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           wc.hInstance, nullptr);
  SetWindowLongPtrW(reply_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Gui::~Gui() {
  if (process_.hProcess != nullptr) {
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
  }
  if (reply_ != nullptr) DestroyWindow(reply_);
}

LRESULT CALLBACK Gui::ReplyProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<Gui*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg == WM_COPYDATA && self != nullptr) {
    auto* data = reinterpret_cast<COPYDATASTRUCT*>(lp);
    if (data->dwData == automation::kCopyDescribe) {
      self->copied_.assign(static_cast<const char*>(data->lpData), data->cbData);
      self->copied_ok_ = true;
      return 1;
    }
  }
  if (msg == automation::MsgPong() && self != nullptr) {
    self->last_pong_ = static_cast<unsigned>(wp);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void Gui::Launch(const std::wstring& program, const std::wstring& arguments,
                 const std::wstring& directory, const wchar_t* main_class) {
  std::wstring command = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  automation_ = nullptr;
  host_ = nullptr;
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &si, &process_)) {
    throw GuiError{"cannot start " + Utf8(program) + " (error " + std::to_string(GetLastError()) +
                   ")"};
  }
  WaitForInputIdle(process_.hProcess, 20000);
  // A 32-bit host may take long to start where 32-bit programs run emulated: up to two minutes.
  for (int i = 0; i < 12000 && host_ == nullptr; ++i) {
    HWND found = nullptr;
    DWORD wanted = process_.dwProcessId;
    ForEachTopLevel([&](HWND h) {
      DWORD pid = 0;
      GetWindowThreadProcessId(h, &pid);
      if (pid == wanted && widgets::win32::ClassName(h) == main_class) {
        found = h;
        return false;
      }
      return true;
    });
    host_ = found;
    if (host_ == nullptr) Sleep(10);
  }
  if (host_ == nullptr) throw GuiError{"the host program showed no main window"};
  thread_ = GetWindowThreadProcessId(host_, nullptr);
}

bool Gui::Running() const {
  return process_.hProcess != nullptr && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

void Gui::Quit(int quit_command, int wait_ms) {
  if (process_.hProcess == nullptr) return;
  if (Running() && host_ != nullptr && IsWindow(host_)) {
    PostMessageW(host_, WM_COMMAND, static_cast<WPARAM>(quit_command), 0);
  }
  if (WaitForSingleObject(process_.hProcess, static_cast<DWORD>(wait_ms)) == WAIT_TIMEOUT) {
    TerminateProcess(process_.hProcess, 1);
    WaitForSingleObject(process_.hProcess, 5000);
  }
  CloseHandle(process_.hProcess);
  CloseHandle(process_.hThread);
  process_ = PROCESS_INFORMATION{};
  host_ = nullptr;
  automation_ = nullptr;
  thread_ = 0;
}

std::vector<HWND> Gui::ThreadWindows(bool visible_only) const {
  std::vector<HWND> list;
  if (thread_ == 0) return list;
  ForEachThreadWindow(thread_, [&](HWND h) {
    if (!visible_only || IsWindowVisible(h)) list.push_back(h);
    return true;
  });
  return list;
}

bool Gui::WaitForModule(int ms) {
  for (int waited = 0; waited <= ms; waited += 10) {
    if (automation_ != nullptr && IsWindow(automation_)) return true;
    for (HWND h : ThreadWindows()) {
      if (GetPropW(h, automation::kPropModal) == nullptr) continue;
      DWORD_PTR answer = 0;
      if (SendMessageTimeoutW(h, automation::MsgAutomationWindow(), 0, 0, SMTO_NORMAL, 10000,
                              &answer) != 0 &&
          answer != 0) {
        automation_ = reinterpret_cast<HWND>(answer);
        return true;
      }
    }
    if (!Running()) return false;
    Sleep(10);
  }
  return false;
}

bool Gui::Sync(int ms) {
  if (automation_ == nullptr || !IsWindow(automation_)) {
    if (!WaitForModule(ms)) return false;
  }
  unsigned id = next_ping_++;
  PostMessageW(automation_, automation::MsgPing(), reinterpret_cast<WPARAM>(reply_),
               static_cast<LPARAM>(id));
  DWORD start = GetTickCount();
  while (last_pong_ != id) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == automation::MsgPong()) {
        last_pong_ = static_cast<unsigned>(msg.wParam);
      } else {
        DispatchMessageW(&msg);
      }
    }
    if (last_pong_ == id) break;
    if (GetTickCount() - start > static_cast<DWORD>(ms) || !Running()) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
  return true;
}

void Gui::Flush() {
  if (automation_ != nullptr) Send(automation_, automation::MsgFlush(), 0, 0);
}

std::vector<HWND> Gui::Forms() const {
  std::vector<std::pair<UINT_PTR, HWND>> forms;
  for (HWND h : ThreadWindows()) {
    auto depth = reinterpret_cast<UINT_PTR>(GetPropW(h, automation::kPropModal));
    if (depth != 0) forms.emplace_back(depth, h);
  }
  std::sort(forms.begin(), forms.end());
  std::vector<HWND> out;
  out.reserve(forms.size());
  for (auto& f : forms) out.push_back(f.second);
  return out;
}

HWND Gui::ActiveForm() const {
  std::vector<HWND> forms = Forms();
  return forms.empty() ? nullptr : forms.back();
}

HWND Gui::MessageBoxWindow() const {
  // The topmost one: the walk goes from the top of the z-order down.
  for (HWND h : ThreadWindows()) {
    if (ClassOf(h) == "#32770") return h;
  }
  return nullptr;
}

HWND Gui::FindTopLevel(const char* cls) const {
  for (HWND h : ThreadWindows()) {
    if (ClassOf(h) == cls) return h;
  }
  return nullptr;
}

HWND Gui::FindControl(HWND form, const std::string& name) const {
  HWND found = nullptr;
  if (form == nullptr) return nullptr;
  ForEachChild(form, [&](HWND h) {
    if (NameOf(h) != name) return true;
    found = h;
    return false;
  });
  return found;
}

Json Gui::Describe(HWND hwnd) {
  copied_.clear();
  copied_ok_ = false;
  if (automation_ == nullptr) return Json();
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(automation_, automation::MsgDescribe(), reinterpret_cast<WPARAM>(reply_),
                           reinterpret_cast<LPARAM>(hwnd), SMTO_NORMAL, 30000, &result) ||
      result == 0 || !copied_ok_) {
    throw GuiError{"the module did not describe the window " + NameOf(hwnd)};
  }
  return Json::parse(copied_);
}

HWND Gui::Focus() const {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (thread_ == 0 || !GetGUIThreadInfo(thread_, &info)) return nullptr;
  return info.hwndFocus;
}

void Gui::Post(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  PostMessageW(hwnd, msg, wp, lp);
}

LRESULT Gui::Send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, int ms) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(hwnd, msg, wp, lp, SMTO_NORMAL, static_cast<UINT>(ms), &result)) {
    throw GuiError{"the window " + NameOf(hwnd) + " did not answer"};
  }
  return static_cast<LRESULT>(result);
}

void Gui::Click(HWND hwnd, POINT pt, bool double_click) {
  LPARAM lp = MAKELPARAM(pt.x, pt.y);
  Post(hwnd, WM_MOUSEMOVE, 0, lp);
  Post(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, lp);
  Post(hwnd, WM_LBUTTONUP, 0, lp);
  if (double_click) {
    Post(hwnd, WM_LBUTTONDBLCLK, MK_LBUTTON, lp);
    Post(hwnd, WM_LBUTTONUP, 0, lp);
  }
}

void Gui::Key(HWND hwnd, int vk, bool shift, bool ctrl) {
  LPARAM lp =
      1 | (static_cast<LPARAM>(MapVirtualKeyW(static_cast<UINT>(vk), MAPVK_VK_TO_VSC)) << 16);
  if (shift) lp |= automation::kKeyFlagShift;
  if (ctrl) lp |= automation::kKeyFlagCtrl;
  Post(hwnd, WM_KEYDOWN, static_cast<WPARAM>(vk), lp);
  Post(hwnd, WM_KEYUP, static_cast<WPARAM>(vk), lp | static_cast<LPARAM>(0xC0000000u));
}

void Gui::Char(HWND hwnd, const std::string& utf8) {
  for (wchar_t unit : Wide(utf8)) Post(hwnd, WM_CHAR, static_cast<WPARAM>(unit), 1);
}

}  // namespace windriver
