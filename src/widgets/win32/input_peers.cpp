// The native input controls: data-bound edits and memos (EDIT), the editable drop-down list
// (COMBOBOX) and the date picker (SysDateTimePick32). Each is subclassed so that the operator's
// input goes through the control, which raises its events in its documented order.
#include <windows.h>

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

#include "rtl/datetime.h"
#include "widgets/win32/automation.h"
#include "widgets/win32/peers.h"
#include "widgets/win32/platform.h"

namespace widgets::win32 {
namespace {

DWORD CommonStyle(const Control& c) {
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
  if (c.Visible()) style |= WS_VISIBLE;
  if (!c.Enabled()) style |= WS_DISABLED;
  if (c.TabStop()) style |= WS_TABSTOP;
  return style;
}

// "a\nb" as an edit control shows it: "a\r\nb".
std::wstring ForEdit(const std::string& text, bool multiline) {
  std::wstring w = Wide(text);
  if (!multiline) return w;
  std::wstring out;
  for (size_t i = 0; i < w.size(); ++i) {
    if (w[i] == L'\n' && (i == 0 || w[i - 1] != L'\r')) out += L'\r';
    out += w[i];
  }
  return out;
}

std::string ClipboardText(HWND hwnd) {
  std::string text;
  if (!OpenClipboard(hwnd)) return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = Utf8(p);
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

bool IsControlKey(WPARAM vk) {
  switch (vk) {
    case VK_RETURN:
    case VK_ESCAPE:
    case VK_TAB:
    case VK_BACK:
    case VK_DELETE:
    case VK_INSERT:
    case VK_LEFT:
    case VK_RIGHT:
    case VK_UP:
    case VK_DOWN:
    case VK_PRIOR:
    case VK_NEXT:
    case VK_HOME:
    case VK_END:
      return true;
    default:
      return vk >= VK_F1 && vk <= VK_F24;
  }
}

SYSTEMTIME ToSystemTime(rtl::DateTime date) {
  rtl::DateParts p = rtl::DecodeDateTime(date);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(p.year);
  st.wMonth = static_cast<WORD>(p.month);
  st.wDay = static_cast<WORD>(p.day);
  return st;
}

}  // namespace

// --- TextPeer: DBEdit and DBMemo ---

bool TextPeer::Multiline() const {
  return dynamic_cast<const DBMemo*>(text_) != nullptr;
}

void TextPeer::Create(HWND parent) {
  DWORD style = CommonStyle(*text_) | ES_AUTOHSCROLL;
  if (Multiline())
    style = (style & ~ES_AUTOHSCROLL) | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
  if (text_->ReadOnly()) style |= ES_READONLY;
  DWORD ex = text_->HasBorder() ? WS_EX_CLIENTEDGE : 0;
  Rect r = text_->Bounds();
  HWND hwnd =
      CreateWindowExW(ex, WC_EDITW, ForEdit(text_->Text(), Multiline()).c_str(), style, r.left,
                      r.top, r.width, r.height, parent, nullptr, ModuleInstance(), nullptr);
  if (hwnd == nullptr) return;
  Attach(hwnd);
  Subclass(hwnd, &TextPeer::SubclassProc);
  ApplyFont();
}

void TextPeer::ShowText() {
  if (hwnd_ == nullptr) return;
  std::wstring want = ForEdit(text_->Text(), Multiline());
  if (WindowText(hwnd_) == want) return;
  Syncing syncing(*this);
  SetWindowTextW(hwnd_, want.c_str());
  if (GetFocus() == hwnd_) {
    SendMessageW(hwnd_, EM_SETSEL, want.size(), static_cast<LPARAM>(want.size()));
  }
}

void TextPeer::Sync(Change what) {
  if (hwnd_ == nullptr) return;
  switch (what) {
    case Change::Text:
    case Change::Data:
      ShowText();
      break;
    case Change::State: {
      SendMessageW(hwnd_, EM_SETREADONLY, text_->ReadOnly() ? TRUE : FALSE, 0);
      LONG_PTR ex = GetWindowLongPtrW(hwnd_, GWL_EXSTYLE);
      ex = text_->HasBorder() ? (ex | WS_EX_CLIENTEDGE) : (ex & ~WS_EX_CLIENTEDGE);
      SetWindowLongPtrW(hwnd_, GWL_EXSTYLE, ex);
      SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
      break;
    }
    case Change::Font:
      ApplyFont();
      break;
    default:
      NativePeer::Sync(what);
      break;
  }
}

LRESULT TextPeer::OnCommand(WORD code) {
  if (code == EN_CHANGE && syncing_ == 0 && hwnd_ != nullptr) {
    // The operator typed: the field receives the whole text at once.
    DBTextControl* text = text_;
    std::string typed = Utf8(WindowText(hwnd_));
    Deliver([text, typed] { text->UserType(typed); });
    ShowText();
  }
  return 0;
}

HBRUSH TextPeer::CtlColor(HDC dc) {
  return NativePeer::CtlColor(dc);
}

LRESULT CALLBACK TextPeer::SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = static_cast<TextPeer*>(FromHwnd(hwnd));
  if (peer == nullptr) return CallOriginal(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_SETFOCUS: {
      LRESULT r = CallOriginal(hwnd, msg, wp, lp);
      if (FromHwnd(hwnd) == peer) peer->NativeFocusReceived();
      return r;
    }
    default:
      break;
  }
  return CallOriginal(hwnd, msg, wp, lp);
}

// --- ComboPeer ---

void ComboPeer::Create(HWND parent) {
  Rect r = combo_->Bounds();
  // The list's items are drawn here, which also lets the field take exactly the control's
  // height whatever the typeface's own height is.
  DWORD style = CommonStyle(*combo_) | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL |
                CBS_OWNERDRAWFIXED | CBS_HASSTRINGS;
  creating_ = this;
  HWND hwnd = CreateWindowExW(0, WC_COMBOBOXW, L"", style, r.left, r.top, r.width, r.height, parent,
                              nullptr, ModuleInstance(), nullptr);
  creating_ = nullptr;
  if (hwnd == nullptr) return;
  Attach(hwnd);
  edit_ = FindWindowExW(hwnd, nullptr, WC_EDITW, nullptr);
  if (edit_ != nullptr) {
    AttachPart(edit_);
    Subclass(edit_, &ComboPeer::EditProc);
  }
  Subclass(hwnd, &ComboPeer::ComboProc);
  ApplyFont();
  ShowItems();
  Sync(Change::Bounds);
  ShowText();
}

void ComboPeer::ShowItems() {
  if (hwnd_ == nullptr) return;
  Syncing syncing(*this);
  SendMessageW(hwnd_, CB_RESETCONTENT, 0, 0);
  for (const std::string& item : combo_->Items()) {
    SendMessageW(hwnd_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
  }
  SendMessageW(hwnd_, CB_SETMINVISIBLE, static_cast<WPARAM>(combo_->DropDownCount()), 0);
}

void ComboPeer::ShowText() {
  if (hwnd_ == nullptr) return;
  Syncing syncing(*this);
  std::wstring want = Wide(combo_->Text());
  int index = combo_->ItemIndex();
  if (static_cast<int>(SendMessageW(hwnd_, CB_GETCURSEL, 0, 0)) != index) {
    SendMessageW(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  }
  if (WindowText(hwnd_) != want) SetWindowTextW(hwnd_, want.c_str());
  if (edit_ != nullptr && GetFocus() == edit_) {
    SendMessageW(edit_, EM_SETSEL, want.size(), static_cast<LPARAM>(want.size()));
  }
}

void ComboPeer::ShowDropped() {
  if (hwnd_ == nullptr || notifying_ > 0) return;
  bool native = SendMessageW(hwnd_, CB_GETDROPPEDSTATE, 0, 0) != 0;
  if (native == combo_->DroppedDown()) return;
  Syncing syncing(*this);
  SendMessageW(hwnd_, CB_SHOWDROPDOWN, combo_->DroppedDown() ? TRUE : FALSE, 0);
}

void ComboPeer::Sync(Change what) {
  if (hwnd_ == nullptr) return;
  switch (what) {
    case Change::Items:
      ShowItems();
      ShowText();
      break;
    case Change::Text:
      ShowText();
      break;
    case Change::State:
      ShowDropped();
      break;
    case Change::Bounds: {
      // The window's height includes the list; the field keeps the control's height.
      Rect r = combo_->Bounds();
      Syncing syncing(*this);
      // The window's height is the field's; the height asked for beyond it is the list's.
      auto place = [&] {
        int item = static_cast<int>(SendMessageW(hwnd_, CB_GETITEMHEIGHT, 0, 0));
        SetWindowPos(hwnd_, nullptr, r.left, r.top, r.width,
                     r.height + std::max(1, combo_->DropDownCount()) * std::max(item, 12) + 4,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      };
      int field = std::max(8, r.height - 6);
      SendMessageW(hwnd_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
      place();
      RECT wr;
      GetWindowRect(hwnd_, &wr);
      int actual = static_cast<int>(wr.bottom - wr.top);
      if (actual > 0 && actual != r.height) {
        // The frame around the field differs between systems: the field takes up the rest.
        SendMessageW(hwnd_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1),
                     std::max(8, field + r.height - actual));
        place();
      }
      break;
    }
    case Change::Font:
      ApplyFont();
      Sync(Change::Bounds);
      break;
    case Change::Color:
      InvalidateRect(hwnd_, nullptr, TRUE);
      if (edit_ != nullptr) InvalidateRect(edit_, nullptr, TRUE);
      break;
    default:
      NativePeer::Sync(what);
      break;
  }
}

LRESULT ComboPeer::OnCommand(WORD code) {
  if (syncing_ > 0) return 0;
  ComboBox* combo = combo_;
  switch (code) {
    case CBN_DROPDOWN:
      // The operator opened the list (the arrow, Alt+Down).
      if (!combo->DroppedDown()) Deliver([combo] { combo->UserToggleList(); });
      break;
    case CBN_SELENDOK: {
      int index = static_cast<int>(SendMessageW(hwnd_, CB_GETCURSEL, 0, 0));
      if (index >= 0) {
        ++notifying_;
        Deliver([combo, index] { combo->UserChooseItem(index); });
        --notifying_;
        ShowText();
      }
      break;
    }
    case CBN_CLOSEUP:
      // Closed without a choice (a click elsewhere, the arrow again).
      if (combo->DroppedDown()) {
        ++notifying_;
        Deliver([combo] { combo->UserToggleList(); });
        --notifying_;
      }
      ShowText();
      break;
    default:
      break;
  }
  return 0;
}

HBRUSH ComboPeer::CtlColor(HDC dc) {
  return NativePeer::CtlColor(dc);
}

void ComboPeer::OnMeasureItem(MEASUREITEMSTRUCT* item) {
  if (item->itemID == static_cast<UINT>(-1)) {
    item->itemHeight = static_cast<UINT>(std::max(4, combo_->Height() - 10));
  } else {
    item->itemHeight = static_cast<UINT>(
        std::max(combo_->GetFont().height + 4, FontPixelHeight(combo_->GetFont())));
  }
}

void ComboPeer::OnDrawItem(DRAWITEMSTRUCT* item) {
  if (item->itemID == static_cast<UINT>(-1) || (item->itemState & ODS_COMBOBOXEDIT) != 0) return;
  bool selected = (item->itemState & ODS_SELECTED) != 0;
  FillRect(item->hDC, &item->rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  int n = static_cast<int>(SendMessageW(hwnd_, CB_GETLBTEXTLEN, item->itemID, 0));
  if (n > 0) {
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    SendMessageW(hwnd_, CB_GETLBTEXT, item->itemID, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(n));
    HGDIOBJ old = SelectObject(item->hDC, FontFor(combo_->GetFont()));
    SetBkMode(item->hDC, TRANSPARENT);
    SetTextColor(item->hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    RECT r = item->rcItem;
    r.left += 2;
    DrawTextW(item->hDC, text.c_str(), n, &r, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(item->hDC, old);
  }
  if ((item->itemState & ODS_FOCUS) != 0) DrawFocusRect(item->hDC, &item->rcItem);
}

void ComboPeer::PaintButton() {
  COMBOBOXINFO info{};
  info.cbSize = sizeof info;
  if (!GetComboBoxInfo(hwnd_, &info)) return;
  RECT rc = info.rcButton;
  if (rc.right <= rc.left) return;
  HDC dc = GetDC(hwnd_);
  FillRect(dc, &rc, BrushFor(ColorRef(combo_->ButtonColor())));
  bool dropped = SendMessageW(hwnd_, CB_GETDROPPEDSTATE, 0, 0) != 0;
  DrawEdge(dc, &rc, dropped ? BDR_SUNKENOUTER : BDR_RAISEDINNER, BF_RECT);
  int cx = (rc.left + rc.right) / 2 + (dropped ? 1 : 0),
      cy = (rc.top + rc.bottom) / 2 + (dropped ? 1 : 0);
  COLORREF arrow = IsWindowEnabled(hwnd_) ? RGB(0, 0, 0) : GetSysColor(COLOR_GRAYTEXT);
  for (int i = 0; i < 4; ++i) {
    RECT line{cx - 3 + i, cy - 1 + i, cx + 4 - i, cy + i};
    FillRect(dc, &line, BrushFor(arrow));
  }
  ReleaseDC(hwnd_, dc);
}

LRESULT CALLBACK ComboPeer::ComboProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = static_cast<ComboPeer*>(FromHwnd(hwnd));
  if (peer == nullptr) return CallOriginal(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_PAINT: {
      LRESULT r = CallOriginal(hwnd, msg, wp, lp);
      if (FromHwnd(hwnd) == peer) peer->PaintButton();
      return r;
    }
    case WM_SETFOCUS: {
      LRESULT r = CallOriginal(hwnd, msg, wp, lp);
      if (FromHwnd(hwnd) == peer) peer->NativeFocusReceived();
      return r;
    }
    case WM_LBUTTONUP:
    case WM_MOUSEMOVE:
    case WM_CAPTURECHANGED: {
      LRESULT r = CallOriginal(hwnd, msg, wp, lp);
      if (FromHwnd(hwnd) == peer) peer->PaintButton();
      return r;
    }
    default:
      break;
  }
  return CallOriginal(hwnd, msg, wp, lp);
}

LRESULT CALLBACK ComboPeer::EditProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = static_cast<ComboPeer*>(FromHwnd(hwnd));
  if (peer == nullptr) return CallOriginal(hwnd, msg, wp, lp);
  ComboBox* combo = peer->combo_;
  switch (msg) {
    case WM_SETFOCUS: {
      LRESULT r = CallOriginal(hwnd, msg, wp, lp);
      peer->NativeFocusReceived();
      return r;
    }
    case WM_KEYDOWN: {
      if (!IsControlKey(wp)) return CallOriginal(hwnd, msg, wp, lp);
      int key = static_cast<int>(wp);
      ShiftState shift = KeyShift(lp);
      Deliver([combo, key, shift] { combo->UserKeyDown(key, shift); });
      peer->ShowText();
      // Caret movement stays the edit's; every other key has had its effect through the control.
      if (wp == VK_LEFT || wp == VK_RIGHT || wp == VK_HOME || wp == VK_END) {
        return CallOriginal(hwnd, msg, wp, lp);
      }
      return 0;
    }
    case WM_CHAR: {
      if (wp < 0x20 || wp == 0x7F) return 0;  // Enter, Escape, Tab, Backspace, Ctrl+letters
      std::string ch = TypedChar(static_cast<wchar_t>(wp));
      if (!ch.empty()) Deliver([combo, ch] { combo->UserType(ch); });
      peer->ShowText();
      return 0;
    }
    case WM_LBUTTONDBLCLK: {
      LRESULT r = CallOriginal(hwnd, msg, wp, lp);
      Deliver([combo] { combo->UserDoubleClick(); });
      return r;
    }
    case WM_PASTE: {
      std::string text = ClipboardText(hwnd);
      if (!text.empty()) Deliver([combo, text] { combo->UserType(text); });
      peer->ShowText();
      return 0;
    }
    case WM_CUT:
    case WM_CLEAR:
    case WM_UNDO:
      return 0;
    default:
      return CallOriginal(hwnd, msg, wp, lp);
  }
}

// --- DatePickerPeer ---

void DatePickerPeer::Create(HWND parent) {
  Rect r = picker_->Bounds();
  DWORD style = CommonStyle(*picker_) | DTS_SHORTDATEFORMAT;
  HWND hwnd = CreateWindowExW(0, DATETIMEPICK_CLASSW, L"", style, r.left, r.top, r.width, r.height,
                              parent, nullptr, ModuleInstance(), nullptr);
  if (hwnd == nullptr) return;
  Attach(hwnd);
  Subclass(hwnd, &DatePickerPeer::SubclassProc);
  ApplyFont();
  COLORREF back = ColorRef(picker_->GetColor());
  SendMessageW(hwnd, DTM_SETMCCOLOR, MCSC_MONTHBK, back);
  SendMessageW(hwnd, DTM_SETMCCOLOR, MCSC_BACKGROUND, back);
  ShowDate();
}

void DatePickerPeer::ShowDate() {
  if (hwnd_ == nullptr) return;
  SYSTEMTIME want = ToSystemTime(picker_->Date());
  SYSTEMTIME have{};
  if (SendMessageW(hwnd_, DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&have)) == GDT_VALID &&
      have.wYear == want.wYear && have.wMonth == want.wMonth && have.wDay == want.wDay) {
    return;
  }
  Syncing syncing(*this);
  SendMessageW(hwnd_, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&want));
}

void DatePickerPeer::Sync(Change what) {
  if (hwnd_ == nullptr) return;
  switch (what) {
    case Change::Text:
      ShowDate();
      break;
    case Change::State:
      break;
    case Change::Font:
      ApplyFont();
      break;
    default:
      NativePeer::Sync(what);
      break;
  }
}

LRESULT DatePickerPeer::OnNotify(NMHDR* header) {
  if (header->code == DTN_DATETIMECHANGE && syncing_ == 0) {
    auto* change = reinterpret_cast<NMDATETIMECHANGE*>(header);
    if (change->dwFlags != GDT_VALID) return 0;
    rtl::DateTime date;
    if (!rtl::TryEncodeDate(change->st.wYear, change->st.wMonth, change->st.wDay, date)) return 0;
    if (date == picker_->Date()) return 0;
    DatePicker* picker = picker_;
    Deliver([picker, date] { picker->UserPickDate(date); });
    ShowDate();
  }
  return 0;
}

LRESULT CALLBACK DatePickerPeer::SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = static_cast<DatePickerPeer*>(FromHwnd(hwnd));
  if (peer == nullptr) return CallOriginal(hwnd, msg, wp, lp);
  if (msg == automation::MsgPickDate()) {
    int ymd = static_cast<int>(wp);
    rtl::DateTime date;
    if (!rtl::TryEncodeDate(ymd / 10000, ymd / 100 % 100, ymd % 100, date)) return 0;
    DatePicker* picker = peer->picker_;
    Deliver([picker, date] { picker->UserPickDate(date); });
    peer->ShowDate();
    return 1;
  }
  switch (msg) {
    case WM_SETFOCUS: {
      LRESULT r = CallOriginal(hwnd, msg, wp, lp);
      peer->NativeFocusReceived();
      return r;
    }
    default:
      return CallOriginal(hwnd, msg, wp, lp);
  }
}

}  // namespace widgets::win32
