#include "widgets/win32/automation.h"
#include "widgets/win32/peers.h"
#include "widgets/win32/platform.h"

namespace widgets::win32 {

DWORD FormPeer::StyleFor(BorderStyle border, unsigned icons) {
  DWORD style = WS_POPUP | WS_CLIPCHILDREN;
  bool caption = true;
  switch (border) {
    case BorderStyle::None:
      caption = false;
      break;
    case BorderStyle::Single:
      style |= WS_CAPTION;
      break;
    case BorderStyle::Sizeable:
      style |= WS_CAPTION | WS_THICKFRAME;
      break;
    case BorderStyle::Dialog:
      style |= WS_CAPTION;
      break;
  }
  if (caption) {
    if ((icons & kBiSystemMenu) != 0) {
      style |= WS_SYSMENU;
      if (border != BorderStyle::Dialog) {
        if ((icons & kBiMinimize) != 0) style |= WS_MINIMIZEBOX;
        if ((icons & kBiMaximize) != 0) style |= WS_MAXIMIZEBOX;
      }
    }
  }
  return style;
}

DWORD FormPeer::ExStyleFor(BorderStyle border) {
  return border == BorderStyle::Dialog ? WS_EX_DLGMODALFRAME : 0;
}

void FormPeer::Create(HWND owner) {
  std::wstring cls = L"T" + Wide(form_->Name());
  RegisterClassOnce(cls.c_str(), &FormPeer::WndProc);
  Rect r = form_->Bounds();
  if (owner != nullptr && !IsWindow(owner)) owner = nullptr;
  HWND hwnd = CreateWindowExW(ExStyleFor(form_->GetBorderStyle()), cls.c_str(),
                              Wide(form_->Caption()).c_str(),
                              StyleFor(form_->GetBorderStyle(), form_->BorderIcons()), r.left,
                              r.top, r.width, r.height, owner, nullptr, ModuleInstance(), this);
  if (hwnd != nullptr && hwnd_ == nullptr) Attach(hwnd);
}

void FormPeer::Sync(Change what) {
  if (hwnd_ == nullptr) return;
  Syncing syncing(*this);
  switch (what) {
    case Change::Bounds: {
      Rect r = form_->Bounds();
      SetWindowPos(hwnd_, nullptr, r.left, r.top, r.width, r.height, SWP_NOZORDER | SWP_NOACTIVATE);
      break;
    }
    case Change::Caption:
      SetWindowTextW(hwnd_, Wide(form_->Caption()).c_str());
      break;
    case Change::State: {
      SetWindowLongPtrW(hwnd_, GWL_STYLE,
                        static_cast<LONG_PTR>(
                            StyleFor(form_->GetBorderStyle(), form_->BorderIcons()) |
                            (GetWindowLongPtrW(hwnd_, GWL_STYLE) & (WS_VISIBLE | WS_DISABLED))));
      SetWindowLongPtrW(hwnd_, GWL_EXSTYLE,
                        static_cast<LONG_PTR>(ExStyleFor(form_->GetBorderStyle())));
      Rect r = form_->Bounds();
      SetWindowPos(hwnd_, nullptr, r.left, r.top, r.width, r.height,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
      break;
    }
    case Change::Visibility:
      break;  // modal showing shows and hides the window
    default:
      Repaint();
      break;
  }
}

void FormPeer::RestoreFocus() {
  Control* active = form_->ActiveControl();
  NativePeer* peer = active != nullptr ? Win32Platform::PeerOf(*active) : nullptr;
  HWND target = peer != nullptr && peer->Hwnd() != nullptr ? peer->FocusWindow() : hwnd_;
  if (target == nullptr || !IsWindowVisible(target)) target = hwnd_;
  if (GetFocus() != target) SetFocus(target);
}

LRESULT CALLBACK FormPeer::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    auto* peer = static_cast<FormPeer*>(cs->lpCreateParams);
    peer->Attach(hwnd);
  }
  auto* peer = static_cast<FormPeer*>(FromHwnd(hwnd));
  if (peer == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  return peer->Handle(msg, wp, lp);
}

LRESULT FormPeer::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  HWND hwnd = hwnd_;
  LRESULT result = 0;
  if (ChildMessage(msg, wp, lp, &result)) return result;
  // A UI test driver asks a shown window for the automation window; only then does it exist.
  if (msg == automation::MsgAutomationWindow()) {
    return reinterpret_cast<LRESULT>(Instance().AutomationWindow());
  }
  int border = form_->BorderWidth();
  switch (msg) {
    case WM_NCCALCSIZE: {
      result = DefWindowProcW(hwnd, msg, wp, lp);
      RECT* client = wp != 0 ? &reinterpret_cast<NCCALCSIZE_PARAMS*>(lp)->rgrc[0]
                             : reinterpret_cast<RECT*>(lp);
      InflateRect(client, -border, -border);
      return result;
    }
    case WM_NCPAINT:
    case WM_NCACTIVATE: {
      result = DefWindowProcW(hwnd, msg, wp, lp);
      if (border > 0) {
        // The inner border is drawn in the window's colour, around the client area.
        RECT window, client;
        GetWindowRect(hwnd, &window);
        GetClientRect(hwnd, &client);
        MapWindowPoints(hwnd, nullptr, reinterpret_cast<POINT*>(&client), 2);
        OffsetRect(&client, -window.left, -window.top);
        RECT outer = client;
        InflateRect(&outer, border, border);
        HDC dc = GetWindowDC(hwnd);
        ExcludeClipRect(dc, client.left, client.top, client.right, client.bottom);
        FillRect(dc, &outer, BrushFor(ColorRef(form_->GetColor())));
        ReleaseDC(hwnd, dc);
      }
      return result;
    }
    case WM_NCHITTEST: {
      result = DefWindowProcW(hwnd, msg, wp, lp);
      if (form_->OnNcHitTest && !Instance().TearingDown()) {
        HitTestMessage message;
        message.x = static_cast<short>(LOWORD(lp));
        message.y = static_cast<short>(HIWORD(lp));
        message.result = static_cast<int>(result);
        Form* form = form_;
        Deliver([&] { form->App().Guard([&] { form->OnNcHitTest(message); }); });
        result = message.result;
      }
      return result;
    }
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(hwnd, &rc);
      FillRect(reinterpret_cast<HDC>(wp), &rc, BrushFor(ColorRef(form_->GetColor())));
      return 1;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hwnd, &ps);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE && HIWORD(wp) == 0) RestoreFocus();
      return 0;
    case WM_SETFOCUS:
      RestoreFocus();
      return 0;
    case WM_CLOSE: {
      Form* form = form_;
      Deliver([form] { form->UserClose(); });
      return 0;
    }
    case WM_WINDOWPOSCHANGED: {
      auto* pos = reinterpret_cast<WINDOWPOS*>(lp);
      if (syncing_ == 0 && !Instance().TearingDown() &&
          (pos->flags & (SWP_NOMOVE | SWP_NOSIZE)) != (SWP_NOMOVE | SWP_NOSIZE)) {
        // The operator moved or sized the window: the window's bounds follow.
        RECT rc;
        GetWindowRect(hwnd, &rc);
        Rect r{rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top};
        if (!(r == form_->Bounds())) {
          Syncing syncing(*this);
          Form* form = form_;
          Deliver([form, r] { form->SetBounds(r.left, r.top, r.width, r.height); });
        }
      }
      return DefWindowProcW(hwnd, msg, wp, lp);
    }
    case WM_SYSCOMMAND: {
      // Moving, sizing and the window menu run the system's own loop, which dispatches to the
      // host's windows as well: they run in the host's state, as under the module's own loop.
      const rtl::CallerFpu host;
      return DefWindowProcW(hwnd, msg, wp, lp);
    }
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace widgets::win32
