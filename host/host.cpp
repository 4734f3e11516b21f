// The demo host: stands in for the management system's shell. Its main window loads
// QMDWLRTSH.dll and calls showdll with the window's handle, the operator's staff code, the access
// mode and the application server's computer name, all taken from the command line:
//
//   host.exe [/user CODE] [/mode TEXT] [/server NAME] [/open | /auto] [/fpu HEX [/fpulog PATH]]
//
// /open opens the module at once and leaves the host running when showdll returns (the demo);
// /auto opens it at once and closes the host when showdll returns (scripted runs).
// The texts are handed over in GBK, as the shell does.
//
// /fpu HEX sets the x87 control word before the host calls showdll, as hosts built with other
// tool chains run: 1332 (64-bit precision; invalid operation, zero divide and overflow
// unmasked), 027F (53-bit precision). The host then checks that it has that control word
// whenever its own code runs: in every message its window receives (a timer keeps them coming
// while the module shows its windows) and when showdll returns. Each control word found
// otherwise is written as a line to the file /fpulog names, and the host ends with exit code 3.
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kClass[] = L"LirraMISDemoHost";
constexpr int kIdOpen = 201;
constexpr int kIdQuit = 202;

using ShowDll = void(__stdcall*)(HWND, int, const char*, const char*, int, const char*);

struct Options {
  std::string user = "0001";
  std::string mode;
  std::string server;
  bool automatic = false;
  bool open = false;
  bool set_fpu = false;
  uint16_t fpu = 0;
  std::wstring fpu_log;
};

// The options of this run, read from the command line when the program starts.
Options& TheOptions() {
  static Options options;
  return options;
}
HFONT g_font = nullptr;
constexpr UINT_PTR kFpuTimer = 1;
constexpr int kExitFpuChanged = 3;

// The host's x87 control word: set as /fpu asks, read back as the processor keeps it.
uint16_t g_fpu_expected = 0;
bool g_fpu_changed = false;
std::vector<std::pair<uint16_t, std::string>> g_fpu_reported;

uint16_t ControlWord() {
  uint16_t cw = 0;
  __asm__ __volatile__("fnstcw %0" : "=m"(cw));
  return cw;
}

void SetControlWord(uint16_t cw) {
  __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(cw));
}

// Checks the host's control word where the host's own code runs; `where` names the place. Each
// control word found is reported once for each place (a message is named by its number).
void CheckFpu(const std::string& where) {
  if (!TheOptions().set_fpu) return;
  const uint16_t cw = ControlWord();
  // Some arithmetic of the host's own, as a host does: an exception the module left pending
  // for an unmasked flag would fire here.
  volatile double x = 1.5;
  x = x * x / 3.0;
  if (cw == g_fpu_expected) return;
  g_fpu_changed = true;
  for (const auto& seen : g_fpu_reported) {
    if (seen.first == cw && seen.second == where) return;
  }
  g_fpu_reported.emplace_back(cw, where);
  if (TheOptions().fpu_log.empty()) return;
  if (FILE* f = _wfopen(TheOptions().fpu_log.c_str(), L"a")) {
    fprintf(f, "control word $%04X in %s (the host set $%04X)\n", cw, where.c_str(),
            g_fpu_expected);
    fclose(f);
  }
}

std::string ToGbk(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(936, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(936, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

Options ParseCommandLine() {
  Options o;
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    auto next = [&]() { return i + 1 < argc ? ToGbk(argv[++i]) : std::string(); };
    if (a == L"/user" || a == L"--user") {
      o.user = next();
    } else if (a == L"/mode" || a == L"--mode") {
      o.mode = next();
    } else if (a == L"/server" || a == L"--server") {
      o.server = next();
    } else if (a == L"/auto" || a == L"--auto") {
      o.automatic = true;
    } else if (a == L"/open" || a == L"--open") {
      o.open = true;
    } else if ((a == L"/fpu" || a == L"--fpu") && i + 1 < argc) {
      o.set_fpu = true;
      o.fpu = static_cast<uint16_t>(wcstoul(argv[++i], nullptr, 16));
    } else if ((a == L"/fpulog" || a == L"--fpulog") && i + 1 < argc) {
      o.fpu_log = argv[++i];
    }
  }
  LocalFree(argv);
  return o;
}

// Loads the module beside the host and calls its entry; the call returns when the operator
// closes the module's browser.
void OpenModule(HWND main) {
  HMODULE module = LoadLibraryW(L"QMDWLRTSH.dll");
  if (!module) {
    MessageBoxW(main, L"无法加载 QMDWLRTSH.dll。", L"演示主程序", MB_OK | MB_ICONERROR);
    return;
  }
  auto showdll =
      reinterpret_cast<ShowDll>(reinterpret_cast<void*>(GetProcAddress(module, "showdll")));
  if (!showdll) {
    MessageBoxW(main, L"QMDWLRTSH.dll 没有 showdll 入口。", L"演示主程序", MB_OK | MB_ICONERROR);
  } else {
    if (TheOptions().set_fpu) {
      SetControlWord(TheOptions().fpu);
      g_fpu_expected = ControlWord();
      SetTimer(main, kFpuTimer, 50, nullptr);
    }
    showdll(main, 0, TheOptions().user.c_str(), TheOptions().mode.c_str(), 0,
            TheOptions().server.c_str());
    CheckFpu("the return of showdll");
    if (TheOptions().set_fpu) KillTimer(main, kFpuTimer);
  }
  // The host keeps the module loaded, as the shell does, until it exits.
}

LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (g_fpu_expected != 0) {
    char where[32];
    snprintf(where, sizeof where, "message $%04X", msg);
    CheckFpu(msg == WM_TIMER ? std::string("a timer message") : std::string(where));
  }
  switch (msg) {
    case WM_CREATE: {
      HWND open =
          CreateWindowExW(0, L"BUTTON", L"损溢单据审核", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 20,
                          20, 140, 32, hwnd, reinterpret_cast<HMENU>(kIdOpen), nullptr, nullptr);
      HWND quit =
          CreateWindowExW(0, L"BUTTON", L"退出系统", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 180, 20,
                          100, 32, hwnd, reinterpret_cast<HMENU>(kIdQuit), nullptr, nullptr);
      SendMessageW(open, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), TRUE);
      SendMessageW(quit, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), TRUE);
      if (TheOptions().automatic || TheOptions().open) PostMessageW(hwnd, WM_COMMAND, kIdOpen, 0);
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wp) == kIdOpen) {
        OpenModule(hwnd);
        if (TheOptions().automatic) DestroyWindow(hwnd);
        return 0;
      }
      if (LOWORD(wp) == kIdQuit) {
        DestroyWindow(hwnd);
        return 0;
      }
      break;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      rc.top = 70;
      SetBkMode(dc, TRANSPARENT);
      HGDIOBJ old = SelectObject(dc, g_font);
      const std::wstring text = L"烟草批发企业管理系统（演示主程序）\n操作员代码：" +
                                std::wstring(TheOptions().user.begin(), TheOptions().user.end());
      DrawTextW(dc, text.c_str(), -1, &rc, DT_CENTER | DT_NOPREFIX);
      SelectObject(dc, old);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_TIMER:
      return 0;
    case WM_DESTROY:
      PostQuitMessage(g_fpu_changed ? kExitFpuChanged : 0);
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  TheOptions() = ParseCommandLine();
  g_font = CreateFontW(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, GB2312_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"宋体");
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = MainProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
  wc.lpszClassName = kClass;
  RegisterClassExW(&wc);
  HWND main = CreateWindowExW(0, kClass, L"烟草批发企业管理系统", WS_OVERLAPPEDWINDOW, 0, 0, 820,
                              620, nullptr, nullptr, instance, nullptr);
  ShowWindow(main, show);
  UpdateWindow(main);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DeleteObject(g_font);
  return static_cast<int>(msg.wParam);
}
