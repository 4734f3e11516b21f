#include <windows.h>

#include "widgets/win32/native.h"

#include <commctrl.h>

#include <cstdio>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "widgets/form.h"
#include "widgets/grid.h"
#include "widgets/win32/automation.h"
#include "widgets/win32/peers.h"
#include "widgets/win32/platform.h"

namespace widgets::win32 {
namespace {

constexpr wchar_t kPropPeer[] = L"qmdw.peer";

struct FontKey {
  std::string name;
  int height;
  int charset;
  unsigned style;
  bool smooth;
  bool operator<(const FontKey& o) const {
    return std::tie(name, height, charset, style, smooth) <
           std::tie(o.name, o.height, o.charset, o.style, o.smooth);
  }
};

// Window classes this module registered; unregistered when the module unloads, so that a
// reloaded module never meets a class whose procedure lies in the old image.
struct ClassRegistry {
  std::vector<std::wstring> names;
  ~ClassRegistry() {
    for (const auto& n : names) UnregisterClassW(n.c_str(), NativePeer::ModuleInstance());
  }
};

ClassRegistry& Classes() {
  static ClassRegistry registry;
  return registry;
}

}  // namespace

// GDI objects live until the module unloads: a host that loads the module again gets new ones
// and keeps no leftovers of the old.
template <class Key, class Handle>
struct GdiCache {
  std::map<Key, Handle> objects;
  ~GdiCache() {
    for (auto& [key, handle] : objects) DeleteObject(handle);
  }
};

HFONT FontFor(const Font& font, bool smooth) {
  static GdiCache<FontKey, HFONT> fonts;
  auto* cache = &fonts.objects;
  FontKey key{font.name, font.height, font.charset, font.style, smooth};
  auto it = cache->find(key);
  if (it != cache->end()) return it->second;
  HFONT f = CreateFontW(
      -font.height, 0, 0, 0, (font.style & kFsBold) ? FW_BOLD : FW_NORMAL,
      (font.style & kFsItalic) ? TRUE : FALSE, (font.style & kFsUnderline) ? TRUE : FALSE,
      (font.style & kFsStrikeOut) ? TRUE : FALSE, static_cast<DWORD>(font.charset),
      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, smooth ? ANTIALIASED_QUALITY : DEFAULT_QUALITY,
      DEFAULT_PITCH | FF_DONTCARE, Wide(font.name).c_str());
  (*cache)[key] = f;
  return f;
}

HBRUSH BrushFor(COLORREF color) {
  static GdiCache<COLORREF, HBRUSH> brushes;
  auto* cache = &brushes.objects;
  auto it = cache->find(color);
  if (it != cache->end()) return it->second;
  HBRUSH b = CreateSolidBrush(color);
  (*cache)[color] = b;
  return b;
}

COLORREF ColorRef(Color color, COLORREF none) {
  if (color == kClNone) return none;
  if (IsSystemColor(color)) return GetSysColor(static_cast<int>(color & 0xFF));
  return static_cast<COLORREF>(color & 0x00FFFFFF);
}

int FontPixelHeight(const Font& font) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, FontFor(font));
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return tm.tmHeight > 0 ? static_cast<int>(tm.tmHeight) : font.height;
}

void DrawBitmap(HDC dc, const Bitmap& bitmap, int x, int y) {
  if (bitmap.width <= 0 || bitmap.height <= 0) return;
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = bitmap.width;
  bi.bmiHeader.biHeight = -bitmap.height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (dib == nullptr) return;
  auto* px = static_cast<uint32_t*>(bits);
  for (size_t i = 0; i < bitmap.pixels.size(); ++i) {
    uint32_t p = bitmap.pixels[i];
    uint32_t a = p >> 24;
    uint32_t r = ((p >> 16) & 0xFF) * a / 255, g = ((p >> 8) & 0xFF) * a / 255,
             b = (p & 0xFF) * a / 255;
    px[i] = (a << 24) | (r << 16) | (g << 8) | b;  // premultiplied BGRA
  }
  HDC mem = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(mem, dib);
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  GdiAlphaBlend(dc, x, y, bitmap.width, bitmap.height, mem, 0, 0, bitmap.width, bitmap.height,
                blend);
  SelectObject(mem, old);
  DeleteDC(mem);
  DeleteObject(dib);
}

ShiftState KeyShift(LPARAM lparam) {
  ShiftState s = 0;
  if ((GetKeyState(VK_SHIFT) & 0x8000) != 0 || (lparam & automation::kKeyFlagShift) != 0) {
    s |= kShift;
  }
  if ((GetKeyState(VK_CONTROL) & 0x8000) != 0 || (lparam & automation::kKeyFlagCtrl) != 0) {
    s |= kCtrl;
  }
  if ((GetKeyState(VK_MENU) & 0x8000) != 0) s |= kAlt;
  return s;
}

std::string TypedChar(wchar_t unit) {
  static wchar_t high = 0;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    high = unit;
    return {};
  }
  if (unit >= 0xDC00 && unit <= 0xDFFF) {
    if (high == 0) return {};
    wchar_t pair[2] = {high, unit};
    high = 0;
    return Utf8(std::wstring_view(pair, 2));
  }
  high = 0;
  return Utf8(std::wstring_view(&unit, 1));
}

void Subclass(HWND hwnd, WNDPROC proc) {
  auto old = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC));
  SetPropW(hwnd, L"qmdw.oldproc", reinterpret_cast<HANDLE>(old));
  SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc));
}

LRESULT CallOriginal(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto old = reinterpret_cast<WNDPROC>(GetPropW(hwnd, L"qmdw.oldproc"));
  if (old == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  LRESULT r = CallWindowProcW(old, hwnd, msg, wp, lp);
  if (msg == WM_NCDESTROY) RemovePropW(hwnd, L"qmdw.oldproc");
  return r;
}

// --- NativePeer ---

NativePeer* NativePeer::creating_ = nullptr;

NativePeer::NativePeer(Control& control) : control_(&control) {}

NativePeer::~NativePeer() {
  DestroyNative();
}

HINSTANCE NativePeer::ModuleInstance() {
  static HINSTANCE instance = [] {
    HMODULE m = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&NativePeer::ModuleInstance), &m);
    return static_cast<HINSTANCE>(m);
  }();
  return instance;
}

void NativePeer::RegisterClassOnce(const wchar_t* name, WNDPROC proc, UINT style) {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof existing;
  if (GetClassInfoExW(ModuleInstance(), name, &existing)) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = style;
  wc.lpfnWndProc = proc;
  wc.hInstance = ModuleInstance();
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.lpszClassName = name;
  if (RegisterClassExW(&wc) != 0) Classes().names.emplace_back(name);
}

void NativePeer::Attach(HWND hwnd) {
  hwnd_ = hwnd;
  SetPropW(hwnd, kPropPeer, this);
  name_atom_ = GlobalAddAtomW(Wide(control_->Name()).c_str());
  if (name_atom_ != 0) {
    SetPropW(hwnd, automation::kPropName,
             reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(name_atom_)));
  }
}

void NativePeer::AttachPart(HWND part) {
  SetPropW(part, kPropPeer, this);
}

NativePeer* NativePeer::FromHwnd(HWND hwnd) {
  if (hwnd == nullptr) return nullptr;
  return static_cast<NativePeer*>(GetPropW(hwnd, kPropPeer));
}

void NativePeer::DestroyNative() {
  DropParts();
  if (hwnd_ == nullptr) return;
  HWND h = hwnd_;
  hwnd_ = nullptr;
  // Parts (children of this window) lose their link first.
  ForEachChild(h, [](HWND child) {
    RemovePropW(child, kPropPeer);
    return true;
  });
  RemovePropW(h, kPropPeer);
  RemovePropW(h, automation::kPropName);
  RemovePropW(h, automation::kPropModal);
  if (name_atom_ != 0) {
    GlobalDeleteAtom(name_atom_);
    name_atom_ = 0;
  }
  if (IsWindow(h)) DestroyWindow(h);
}

void NativePeer::Deliver(const std::function<void()>& action) {
  if (Instance().TearingDown()) return;
  try {
    action();
  } catch (...) {  // NOLINT(bugprone-empty-catch): nothing may unwind through Windows' frames
  }
}

void NativePeer::NativeFocusReceived() {
  if (Instance().MovingFocus() || Instance().TearingDown()) return;
  Control* c = control_;
  if (c->Window().ActiveControl() == c) return;
  Deliver([c] {
    if (c->CanFocus()) c->UserFocus();
  });
}

void NativePeer::ApplyBounds() {
  if (hwnd_ == nullptr) return;
  Rect r = control_->Bounds();
  SetWindowPos(hwnd_, nullptr, r.left, r.top, r.width, r.height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void NativePeer::ApplyVisible() {
  if (hwnd_ == nullptr) return;
  ShowWindow(hwnd_, control_->Visible() ? SW_SHOWNA : SW_HIDE);
}

void NativePeer::ApplyEnabled() {
  if (hwnd_ == nullptr) return;
  EnableWindow(hwnd_, control_->Enabled() ? TRUE : FALSE);
  InvalidateRect(hwnd_, nullptr, TRUE);
}

void NativePeer::ApplyFont(bool smooth) {
  if (hwnd_ == nullptr) return;
  SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(control_->GetFont(), smooth)),
               TRUE);
}

void NativePeer::Repaint() {
  if (hwnd_ != nullptr)
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void NativePeer::Sync(Change what) {
  switch (what) {
    case Change::Bounds:
      ApplyBounds();
      break;
    case Change::Visibility:
      ApplyVisible();
      break;
    case Change::Enabled:
      ApplyEnabled();
      break;
    default:
      Repaint();
      break;
  }
}

HBRUSH NativePeer::CtlColor(HDC dc) {
  COLORREF bg = ColorRef(control_->GetColor());
  SetBkColor(dc, bg);
  SetTextColor(dc, ColorRef(control_->GetFont().color));
  return BrushFor(bg);
}

bool NativePeer::ChildMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  switch (msg) {
    case WM_COMMAND: {
      NativePeer* child = lp != 0 ? FromHwnd(reinterpret_cast<HWND>(lp)) : nullptr;
      if (child == nullptr) return false;
      *result = child->OnCommand(HIWORD(wp));
      return true;
    }
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lp);
      NativePeer* child = header != nullptr ? FromHwnd(header->hwndFrom) : nullptr;
      if (child == nullptr) return false;
      *result = child->OnNotify(header);
      return true;
    }
    case WM_MEASUREITEM: {
      NativePeer* child = creating_;
      if (child == nullptr) return false;
      child->OnMeasureItem(reinterpret_cast<MEASUREITEMSTRUCT*>(lp));
      *result = TRUE;
      return true;
    }
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
      NativePeer* child = item != nullptr ? FromHwnd(item->hwndItem) : nullptr;
      if (child == nullptr) return false;
      child->OnDrawItem(item);
      *result = TRUE;
      return true;
    }
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORLISTBOX: {
      NativePeer* child = FromHwnd(reinterpret_cast<HWND>(lp));
      if (child == nullptr) return false;
      *result = reinterpret_cast<LRESULT>(child->CtlColor(reinterpret_cast<HDC>(wp)));
      return true;
    }
    default:
      return false;
  }
}

std::unique_ptr<NativePeer> MakePeer(Control& control) {
  if (auto* f = dynamic_cast<Form*>(&control)) return std::make_unique<FormPeer>(*f);
  if (auto* g = dynamic_cast<Grid*>(&control)) return std::make_unique<GridPeer>(*g);
  if (auto* b = dynamic_cast<FlatButton*>(&control)) return std::make_unique<FlatButtonPeer>(*b);
  if (auto* t = dynamic_cast<ToolBar*>(&control)) return std::make_unique<ToolBarPeer>(*t);
  if (auto* p = dynamic_cast<Panel*>(&control)) return std::make_unique<PanelPeer>(*p);
  if (auto* l = dynamic_cast<Label*>(&control)) return std::make_unique<LabelPeer>(*l);
  if (auto* v = dynamic_cast<Bevel*>(&control)) return std::make_unique<BevelPeer>(*v);
  if (auto* e = dynamic_cast<DBTextControl*>(&control)) return std::make_unique<TextPeer>(*e);
  if (auto* c = dynamic_cast<ComboBox*>(&control)) return std::make_unique<ComboPeer>(*c);
  if (auto* d = dynamic_cast<DatePicker*>(&control)) return std::make_unique<DatePickerPeer>(*d);
  return nullptr;
}

}  // namespace widgets::win32
