// Windows output of the print module: a modal print preview owned by the caller's window, and
// printing through the platform's print dialog. Both draw the same laid-out pages.
#include <windows.h>
#include <commdlg.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "print_output.h"
#include "rtl/fpu.h"
#include "rtl/numtext.h"
#include "svg.h"

namespace printmodule {
namespace {

constexpr wchar_t kPreviewClass[] = L"LirraLossPreview";
constexpr int kButtonHeight = 28;
constexpr int kIdPrint = 101, kIdPrior = 102, kIdNext = 103, kIdClose = 104;

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

// Draws one page into `dc`, a tenth of a millimetre becoming `scale` device units, from `origin`.
void DrawPage(HDC dc, const Page& page, double scale, POINT origin) {
  auto px = [&](int v) { return static_cast<int>(std::lround(v * scale)); };
  HPEN pen = CreatePen(PS_SOLID, std::max(1, px(2)), RGB(0, 0, 0));
  HGDIOBJ old_pen = SelectObject(dc, pen);
  for (const LineItem& l : page.lines) {
    MoveToEx(dc, origin.x + px(l.x1), origin.y + px(l.y1), nullptr);
    LineTo(dc, origin.x + px(l.x2), origin.y + px(l.y2));
  }
  SelectObject(dc, old_pen);
  DeleteObject(pen);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  for (const TextItem& t : page.texts) {
    HFONT font = CreateFontW(-std::max(1, px(t.size)), 0, 0, 0, t.bold ? FW_BOLD : FW_NORMAL, 0, 0,
                             0, GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             ANTIALIASED_QUALITY, DEFAULT_PITCH, L"宋体");
    HGDIOBJ old_font = SelectObject(dc, font);
    RECT r{origin.x + px(t.x), origin.y + px(t.y), origin.x + px(t.x + t.width),
           origin.y + px(t.y + t.height)};
    UINT align = t.align == Align::Center  ? DT_CENTER
                 : t.align == Align::Right ? DT_RIGHT
                                           : DT_LEFT;
    std::wstring w = Wide(t.text);
    DrawTextW(dc, w.c_str(), static_cast<int>(w.size()), &r,
              align | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_NOCLIP);
    SelectObject(dc, old_font);
    DeleteObject(font);
  }
}

struct Preview {
  const PrintDocument* doc;
  const std::vector<Page>* pages;
  size_t current = 0;
  bool done = false;
  HWND window = nullptr;
};

void PrintPages(HWND owner, const Preview& p) {
  PRINTDLGW pd{};
  pd.lStructSize = sizeof pd;
  pd.hwndOwner = owner;
  pd.Flags = PD_RETURNDC | PD_NOSELECTION | PD_NOPAGENUMS;
  BOOL chosen = FALSE;
  {
    const rtl::CallerFpu caller;  // the dialog's own loop dispatches to the caller's windows
    chosen = PrintDlgW(&pd);
  }
  if (!chosen) return;
  HDC dc = pd.hDC;
  const std::wstring title = L"损溢单 " + Wide(p.doc->number);
  DOCINFOW info{};
  info.cbSize = sizeof info;
  info.lpszDocName = title.c_str();
  if (StartDocW(dc, &info) > 0) {
    const double scale = GetDeviceCaps(dc, LOGPIXELSX) / 254.0;
    const POINT origin{-GetDeviceCaps(dc, PHYSICALOFFSETX), -GetDeviceCaps(dc, PHYSICALOFFSETY)};
    for (const Page& page : *p.pages) {
      StartPage(dc);
      DrawPage(dc, page, scale, origin);
      EndPage(dc);
    }
    EndDoc(dc);
  }
  DeleteDC(dc);
  if (pd.hDevMode) GlobalFree(pd.hDevMode);
  if (pd.hDevNames) GlobalFree(pd.hDevNames);
}

void UpdateCaption(Preview& p) {
  const std::wstring caption = L"打印预览 - 损溢单 " + Wide(p.doc->number) + L" (第 " +
                               std::to_wstring(p.current + 1) + L"/" +
                               std::to_wstring(p.pages->size()) + L" 页)";
  SetWindowTextW(p.window, caption.c_str());
  EnableWindow(GetDlgItem(p.window, kIdPrior), p.current > 0);
  EnableWindow(GetDlgItem(p.window, kIdNext), p.current + 1 < p.pages->size());
  InvalidateRect(p.window, nullptr, TRUE);
}

LRESULT CALLBACK PreviewProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the print module's code
  auto* p = reinterpret_cast<Preview*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
      break;
    }
    case WM_COMMAND:
      if (!p) break;
      switch (LOWORD(wp)) {
        case kIdPrint:
          PrintPages(hwnd, *p);
          return 0;
        case kIdPrior:
          if (p->current > 0) --p->current;
          UpdateCaption(*p);
          return 0;
        case kIdNext:
          if (p->current + 1 < p->pages->size()) ++p->current;
          UpdateCaption(*p);
          return 0;
        case kIdClose:
          p->done = true;  // ShowPages closes it, once the caller's windows take input again
          return 0;
      }
      break;
    case WM_KEYDOWN:
      if (wp == VK_ESCAPE && p) p->done = true;
      return 0;
    case WM_CLOSE:
      if (!p) break;
      p->done = true;
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      HBRUSH grey = CreateSolidBrush(RGB(128, 128, 128));
      RECT area{0, kButtonHeight + 8, rc.right, rc.bottom};
      FillRect(dc, &area, grey);
      DeleteObject(grey);
      RECT bar{0, 0, rc.right, kButtonHeight + 8};
      FillRect(dc, &bar, GetSysColorBrush(COLOR_BTNFACE));
      if (p) {
        const int avail_w = rc.right - 20, avail_h = rc.bottom - kButtonHeight - 28;
        const double scale = std::min(avail_w / double(kPageWidth), avail_h / double(kPageHeight));
        const int w = static_cast<int>(kPageWidth * scale),
                  h = static_cast<int>(kPageHeight * scale);
        const POINT origin{(rc.right - w) / 2, kButtonHeight + 18};
        RECT paper{origin.x, origin.y, origin.x + w, origin.y + h};
        FillRect(dc, &paper, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        DrawPage(dc, (*p->pages)[p->current], scale, origin);
      }
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_SIZE:
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_DESTROY:
      if (p) p->done = true;
      return 0;
  }
  // The system's own handling may run loops of its own (moving, sizing, the system menu) that
  // dispatch to the caller's windows: the caller's state.
  const rtl::CallerFpu caller;
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// The windows the preview disables while it is shown.
struct Disabled {
  HWND preview;
  std::vector<HWND> windows;
};

// Notes one enabled, visible top-level window of the thread other than the preview.
BOOL CALLBACK NoteEnabled(HWND hwnd, LPARAM lp) {
  auto* d = reinterpret_cast<Disabled*>(lp);
  if (hwnd != d->preview && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd)) {
    d->windows.push_back(hwnd);
  }
  return TRUE;
}

}  // namespace

// Where the pages are also written as SVG files, as the Linux build writes them: the folder named
// by LIRRALOSS_OUTPUT_DIR, when it is set (automated runs compare the pages on both platforms).
void WritePagesWhenAsked(const PrintDocument& doc, const std::vector<Page>& pages) {
  wchar_t dir[MAX_PATH] = {};
  DWORD n = GetEnvironmentVariableW(L"LIRRALOSS_OUTPUT_DIR", dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  for (size_t i = 0; i < pages.size(); ++i) {
    std::filesystem::path path = std::filesystem::path(dir) / Wide("lirraloss-" + doc.number + "-" +
                                                                   rtl::IntToStr(i + 1) + ".svg");
    std::ofstream out(path, std::ios::binary);
    out << PageToSvg(pages[i]);
    if (!out) {
      const std::wstring w = path.wstring();
      std::string shown(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr,
                                                                0, nullptr, nullptr)),
                        '\0');
      WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, shown.data(), static_cast<int>(shown.size()),
                          nullptr, nullptr);
      if (!shown.empty()) shown.pop_back();
      throw PrintError("无法写入打印文件 " + shown);
    }
  }
}

void ShowPages(void* owner_handle, const PrintDocument& doc, const std::vector<Page>& pages) {
  WritePagesWhenAsked(doc, pages);
  HWND owner = static_cast<HWND>(owner_handle);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (!GetClassInfoExW(instance, kPreviewClass, &wc)) {
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = PreviewProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.lpszClassName = kPreviewClass;
    RegisterClassExW(&wc);
  }
  Preview p{&doc, &pages};
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int h = work.bottom - work.top - 40,
            w = std::min<int>(work.right - work.left - 40, h * 3 / 4 + 60);
  p.window = CreateWindowExW(0, kPreviewClass, L"", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                             work.left + 20, work.top + 20, w, h, owner, nullptr, instance, &p);
  if (!p.window) throw PrintError("无法打开打印预览窗口。");
  HFONT font = CreateFontW(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, GB2312_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"宋体");
  const struct {
    int id;
    const wchar_t* caption;
  } buttons[] = {
      {kIdPrint, L"打印"}, {kIdPrior, L"上一页"}, {kIdNext, L"下一页"}, {kIdClose, L"关闭"}};
  int x = 8;
  for (const auto& b : buttons) {
    HWND button = CreateWindowExW(
        0, L"BUTTON", b.caption, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, x, 4, 72, kButtonHeight,
        p.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(b.id)), instance, nullptr);
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    x += 80;
  }
  UpdateCaption(p);
  // Modal: every other window of the thread waits until the preview closes (the owner, and the
  // caller's own windows, which the owner need not own); then they take input again and the
  // window that was active before is active again.
  HWND previous = GetActiveWindow();
  Disabled disabled{p.window, {}};
  EnumThreadWindows(GetCurrentThreadId(), &NoteEnabled, reinterpret_cast<LPARAM>(&disabled));
  // From here on the caller's windows hear of the preview and get their messages: they do so in
  // the caller's floating-point state; the preview's procedure takes the print module's own.
  const rtl::CallerFpu caller;
  for (HWND h : disabled.windows) EnableWindow(h, FALSE);
  ShowWindow(p.window, SW_SHOW);
  SetForegroundWindow(p.window);
  MSG msg;
  bool quit = false;
  WPARAM quit_code = 0;
  while (!p.done) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      // The program is quitting: the preview goes, and the quit stays for the caller's loop.
      quit = got == 0;
      quit_code = msg.wParam;
      if (IsWindow(p.window)) DestroyWindow(p.window);
      break;
    }
    if (!IsDialogMessageW(p.window, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  // The caller's windows take input again before the preview goes, so that the activation stays
  // with them instead of passing to another program.
  for (HWND h : disabled.windows) {
    if (IsWindow(h)) EnableWindow(h, TRUE);
  }
  if (IsWindow(p.window)) DestroyWindow(p.window);
  if (previous != nullptr && IsWindow(previous)) SetActiveWindow(previous);
  if (quit) PostQuitMessage(static_cast<int>(quit_code));
  DeleteObject(font);
}

void TellOperator(void* owner, const std::string& message) {
  const std::wstring text = Wide(message);
  const rtl::CallerFpu caller;  // the box's own loop dispatches to the caller's windows
  MessageBoxW(static_cast<HWND>(owner), text.c_str(), L"打印", MB_OK | MB_ICONERROR);
}

}  // namespace printmodule
