// Panels, toolbars, flat buttons, labels and bevel lines: windows of this module's own classes,
// drawn from their controls' state.
#include <windows.h>

#include <windowsx.h>

#include "widgets/win32/peers.h"
#include "widgets/win32/platform.h"

namespace widgets::win32 {
namespace {

constexpr wchar_t kPanelClass[] = L"QMDW.Panel";
constexpr wchar_t kToolBarClass[] = L"QMDW.ToolBar";
constexpr wchar_t kButtonClass[] = L"QMDW.FlatButton";
constexpr wchar_t kLabelClass[] = L"QMDW.Label";
constexpr wchar_t kBevelClass[] = L"QMDW.Bevel";

HWND CreateChild(const wchar_t* cls, WNDPROC proc, NativePeer* peer, HWND parent, DWORD extra = 0) {
  Control& c = peer->Model();
  Rect r = c.Bounds();
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | extra;
  if (c.Visible()) style |= WS_VISIBLE;
  if (!c.Enabled()) style |= WS_DISABLED;
  return CreateWindowExW(0, cls, Wide(c.Name()).c_str(), style, r.left, r.top, r.width, r.height,
                         parent, nullptr, NativePeer::ModuleInstance(), peer);
}

// The window procedures of this file share the attachment and the child-message routing.
template <class PeerT>
PeerT* Attached(HWND hwnd, UINT msg, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    auto* peer = static_cast<PeerT*>(cs->lpCreateParams);
    SetPropW(hwnd, L"qmdw.peer", static_cast<NativePeer*>(peer));
  }
  return static_cast<PeerT*>(NativePeer::FromHwnd(hwnd));
}

void FillBackground(HWND hwnd, HDC dc, Color color) {
  RECT rc;
  GetClientRect(hwnd, &rc);
  FillRect(dc, &rc, BrushFor(ColorRef(color)));
}

UINT AlignFlags(Alignment a) {
  switch (a) {
    case Alignment::Left:
      return DT_LEFT;
    case Alignment::Right:
      return DT_RIGHT;
    case Alignment::Center:
      return DT_CENTER;
  }
  return DT_LEFT;
}

// Whether the operator can reach the window now: it and its top-level window are enabled.
bool Reachable(HWND hwnd) {
  return IsWindowEnabled(hwnd) && IsWindowEnabled(GetAncestor(hwnd, GA_ROOT));
}

}  // namespace

// --- Panel ---

void PanelPeer::Create(HWND parent) {
  RegisterClassOnce(kPanelClass, &PanelPeer::WndProc);
  HWND hwnd = CreateChild(kPanelClass, &PanelPeer::WndProc, this, parent);
  if (hwnd != nullptr) {
    Attach(hwnd);
    SetWindowTextW(hwnd, Wide(panel_->Caption()).c_str());
  }
}

void PanelPeer::Sync(Change what) {
  if (what == Change::Caption && hwnd_ != nullptr) {
    SetWindowTextW(hwnd_, Wide(panel_->Caption()).c_str());
  }
  NativePeer::Sync(what);
}

LRESULT CALLBACK PanelPeer::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = Attached<PanelPeer>(hwnd, msg, lp);
  if (peer == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  LRESULT result = 0;
  if (ChildMessage(msg, wp, lp, &result)) return result;
  Panel* panel = peer->panel_;
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      FillRect(dc, &rc, BrushFor(ColorRef(panel->GetColor())));
      if (panel->BevelOuter() != BevelKind::None) {
        DrawEdge(dc, &rc,
                 panel->BevelOuter() == BevelKind::Raised ? BDR_RAISEDINNER : BDR_SUNKENOUTER,
                 BF_RECT);
      }
      if (!panel->Caption().empty()) {
        const Font& font = panel->GetFont();
        HGDIOBJ old = SelectObject(dc, FontFor(font, true));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, ColorRef(font.color));
        std::wstring text = Wide(panel->Caption());
        RECT tr = rc;
        InflateRect(&tr, -2, 0);
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &tr,
                  AlignFlags(panel->CaptionAlignment()) | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, old);
      }
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_LBUTTONDOWN:
      // A click into a panel gives it the focus, as it does to any control that can hold it.
      if (Reachable(hwnd)) SetFocus(hwnd);
      return 0;
    case WM_SETFOCUS:
      peer->NativeFocusReceived();
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

// --- ToolBar ---

void ToolBarPeer::Create(HWND parent) {
  RegisterClassOnce(kToolBarClass, &ToolBarPeer::WndProc);
  HWND hwnd = CreateChild(kToolBarClass, &ToolBarPeer::WndProc, this, parent);
  if (hwnd != nullptr) Attach(hwnd);
}

LRESULT CALLBACK ToolBarPeer::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = Attached<ToolBarPeer>(hwnd, msg, lp);
  if (peer == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  LRESULT result = 0;
  if (ChildMessage(msg, wp, lp, &result)) return result;
  switch (msg) {
    case WM_ERASEBKGND:
      FillBackground(hwnd, reinterpret_cast<HDC>(wp), peer->Model().GetColor());
      return 1;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

// --- FlatButton ---

void FlatButtonPeer::Create(HWND parent) {
  RegisterClassOnce(kButtonClass, &FlatButtonPeer::WndProc);
  HWND hwnd = CreateChild(kButtonClass, &FlatButtonPeer::WndProc, this, parent);
  if (hwnd != nullptr) {
    Attach(hwnd);
    SetWindowTextW(hwnd, Wide(button_->Caption()).c_str());
  }
}

void FlatButtonPeer::Sync(Change what) {
  if (what == Change::Caption && hwnd_ != nullptr) {
    SetWindowTextW(hwnd_, Wide(button_->Caption()).c_str());
  }
  if (what == Change::Enabled || what == Change::Visibility) {
    hot_ = false;
    pressed_ = false;
  }
  NativePeer::Sync(what);
}

void FlatButtonPeer::Paint(HDC dc) {
  RECT rc;
  GetClientRect(hwnd_, &rc);
  FillRect(dc, &rc, BrushFor(ColorRef(button_->GetColor())));
  bool enabled = button_->EffectivelyEnabled();
  if (enabled && hot_ && pressed_) {
    DrawEdge(dc, &rc, BDR_SUNKENOUTER, BF_RECT);
  } else if (enabled && (hot_ || pressed_)) {
    DrawEdge(dc, &rc, BDR_RAISEDINNER, BF_RECT);
  } else if (button_->BorderColor() != kClNone) {
    HBRUSH frame = BrushFor(ColorRef(button_->BorderColor()));
    FrameRect(dc, &rc, frame);
  }
  int shift = (enabled && hot_ && pressed_) ? 1 : 0;

  const Bitmap* glyph = FindGlyph(button_->Glyph());
  Bitmap greyed;
  if (glyph != nullptr && !enabled) {
    greyed = Greyed(*glyph);
    glyph = &greyed;
  }
  const Font& font = button_->GetFont();
  HGDIOBJ old = SelectObject(dc, FontFor(font, true));
  std::wstring text = Wide(button_->Caption());
  SIZE ts{0, 0};
  if (!text.empty()) GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &ts);
  int gw = glyph != nullptr ? glyph->width : 0, gh = glyph != nullptr ? glyph->height : 0;
  int w = rc.right - rc.left, h = rc.bottom - rc.top;
  int gx, gy;
  RECT tr;
  if (button_->GetGlyphLayout() == GlyphLayout::Top) {
    int spacing = (gh > 0 && ts.cy > 0) ? 2 : 0;
    int total = gh + spacing + ts.cy;
    int y0 = (h - total) / 2;
    gx = (w - gw) / 2;
    gy = y0;
    tr = RECT{0, y0 + gh + spacing, w, y0 + gh + spacing + ts.cy};
  } else {
    int spacing = (gw > 0 && ts.cx > 0) ? 4 : 0;
    int total = gw + spacing + ts.cx;
    int x0 = (w - total) / 2;
    gx = x0;
    gy = (h - gh) / 2;
    tr = RECT{x0 + gw + spacing, (h - ts.cy) / 2, x0 + gw + spacing + ts.cx,
              (h - ts.cy) / 2 + ts.cy};
  }
  if (glyph != nullptr) DrawBitmap(dc, *glyph, gx + shift, gy + shift);
  if (!text.empty()) {
    OffsetRect(&tr, shift, shift);
    SetBkMode(dc, TRANSPARENT);
    if (!enabled) {
      // Disabled captions are embossed, as the platform draws disabled text.
      RECT light = tr;
      OffsetRect(&light, 1, 1);
      SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
      DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &light,
                DT_CENTER | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
      SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    } else {
      SetTextColor(dc, ColorRef(font.color));
    }
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &tr,
              DT_CENTER | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
  }
  SelectObject(dc, old);
}

LRESULT CALLBACK FlatButtonPeer::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = Attached<FlatButtonPeer>(hwnd, msg, lp);
  if (peer == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      peer->Paint(dc);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_MOUSEMOVE:
      if (!peer->hot_) {
        peer->hot_ = true;
        TRACKMOUSEEVENT tme{sizeof tme, TME_LEAVE, hwnd, 0};
        TrackMouseEvent(&tme);
        InvalidateRect(hwnd, nullptr, FALSE);
      }
      return 0;
    case WM_MOUSELEAVE:
      peer->hot_ = false;
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      // The focus stays where it is: a flat button never takes it.
      if (!Reachable(hwnd)) return 0;
      peer->pressed_ = true;
      peer->hot_ = true;
      SetCapture(hwnd);
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_LBUTTONUP: {
      bool was_pressed = peer->pressed_;
      peer->pressed_ = false;
      if (GetCapture() == hwnd) ReleaseCapture();
      // The raised edge stays only while the mouse is really over the button.
      POINT cursor;
      RECT screen;
      GetWindowRect(hwnd, &screen);
      if (GetCursorPos(&cursor) && !PtInRect(&screen, cursor)) peer->hot_ = false;
      InvalidateRect(hwnd, nullptr, FALSE);
      RECT rc;
      GetClientRect(hwnd, &rc);
      POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
      if (was_pressed && PtInRect(&rc, pt) && Reachable(hwnd)) {
        FlatButton* button = peer->button_;
        Deliver([button] { button->UserClick(); });
      }
      return 0;
    }
    case WM_CAPTURECHANGED:
      if (peer->pressed_) {
        peer->pressed_ = false;
        InvalidateRect(hwnd, nullptr, FALSE);
      }
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

// --- Label ---

void LabelPeer::Create(HWND parent) {
  RegisterClassOnce(kLabelClass, &LabelPeer::WndProc);
  HWND hwnd = CreateChild(kLabelClass, &LabelPeer::WndProc, this, parent);
  if (hwnd != nullptr) {
    Attach(hwnd);
    SetWindowTextW(hwnd, Wide(label_->Caption()).c_str());
  }
}

void LabelPeer::Sync(Change what) {
  if (what == Change::Caption && hwnd_ != nullptr) {
    SetWindowTextW(hwnd_, Wide(label_->Caption()).c_str());
  }
  NativePeer::Sync(what);
}

LRESULT CALLBACK LabelPeer::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = Attached<LabelPeer>(hwnd, msg, lp);
  if (peer == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_NCHITTEST:
      return HTTRANSPARENT;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      Label* label = peer->label_;
      RECT rc;
      GetClientRect(hwnd, &rc);
      // A transparent label shows its parent's colour, which is all that lies under it here.
      Color back = label->Transparent() && label->Parent() != nullptr ? label->Parent()->GetColor()
                                                                      : label->GetColor();
      FillRect(dc, &rc, BrushFor(ColorRef(back)));
      const Font& font = label->GetFont();
      HGDIOBJ old = SelectObject(dc, FontFor(font, true));
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(
          dc, label->EffectivelyEnabled() ? ColorRef(font.color) : GetSysColor(COLOR_GRAYTEXT));
      std::wstring text = Wide(label->Caption());
      DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc,
                DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
      SelectObject(dc, old);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

// --- Bevel ---

void BevelPeer::Create(HWND parent) {
  RegisterClassOnce(kBevelClass, &BevelPeer::WndProc);
  HWND hwnd = CreateChild(kBevelClass, &BevelPeer::WndProc, this, parent);
  if (hwnd != nullptr) Attach(hwnd);
}

LRESULT CALLBACK BevelPeer::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = Attached<BevelPeer>(hwnd, msg, lp);
  if (peer == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_NCHITTEST:
      return HTTRANSPARENT;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      Control* parent = peer->Model().Parent();
      FillRect(dc, &rc, BrushFor(ColorRef(parent != nullptr ? parent->GetColor() : kClBtnFace)));
      RECT line{rc.left, rc.top, rc.right, rc.top + 1};
      FillRect(dc, &line, GetSysColorBrush(COLOR_BTNSHADOW));
      EndPaint(hwnd, &ps);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace widgets::win32
