// The data grid's window: drawn entirely from the grid (cells and footer cells through its drawing
// hooks), with a native edit as the in-place cell editor and a native list box as the column
// filter drop-down. Rows scroll under a fixed header and a fixed footer row.
#include <windows.h>

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

#include "widgets/win32/automation.h"
#include "widgets/win32/peers.h"
#include "widgets/win32/platform.h"

namespace widgets::win32 {
namespace {

constexpr wchar_t kGridClass[] = L"QMDW.Grid";
constexpr int kFilterButton = 13;  // width of a header's filter button
constexpr int kPad = 3;            // text inset inside a cell
constexpr COLORREF kLineColor = RGB(192, 192, 192);
const wchar_t kAllValues[] = L"(全部)";

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

void DrawCellText(HDC dc, const std::string& text, const Font& font, Alignment alignment, RECT rc) {
  if (text.empty()) return;
  std::wstring w = Wide(text);
  HGDIOBJ old = SelectObject(dc, FontFor(font));
  SetTextColor(dc, ColorRef(font.color, RGB(0, 0, 0)));
  SetBkMode(dc, TRANSPARENT);
  InflateRect(&rc, -kPad, 0);
  DrawTextW(dc, w.c_str(), static_cast<int>(w.size()), &rc,
            AlignFlags(alignment) | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, old);
}

void Line(HDC dc, int x1, int y1, int x2, int y2, COLORREF color) {
  RECT r{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2) + (x1 == x2 ? 1 : 0),
         std::max(y1, y2) + (y1 == y2 ? 1 : 0)};
  FillRect(dc, &r, BrushFor(color));
}

bool Reachable(HWND hwnd) {
  return IsWindowEnabled(hwnd) && IsWindowEnabled(GetAncestor(hwnd, GA_ROOT));
}

bool IsGridKey(WPARAM vk) {
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

}  // namespace

GridPeer::~GridPeer() {
  DropParts();
}

void GridPeer::DropParts() {
  // The filter list is a child of the window, not of the grid: it goes with the grid.
  if (filter_ == nullptr) return;
  HWND list = filter_;
  filter_ = nullptr;
  if (!IsWindow(list)) return;
  if (auto atom =
          static_cast<ATOM>(reinterpret_cast<UINT_PTR>(GetPropW(list, automation::kPropName)))) {
    GlobalDeleteAtom(atom);
  }
  RemovePropW(list, automation::kPropName);
  RemovePropW(list, L"qmdw.peer");
  DestroyWindow(list);
}

void GridPeer::Create(HWND parent) {
  RegisterClassOnce(kGridClass, &GridPeer::WndProc);
  Rect r = grid_->Bounds();
  DWORD style = WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL;
  if (grid_->Visible()) style |= WS_VISIBLE;
  if (!grid_->Enabled()) style |= WS_DISABLED;
  DWORD ex = grid_->Flat() ? WS_EX_STATICEDGE : WS_EX_CLIENTEDGE;
  HWND hwnd = CreateWindowExW(ex, kGridClass, Wide(grid_->Name()).c_str(), style, r.left, r.top,
                              r.width, r.height, parent, nullptr, ModuleInstance(), this);
  if (hwnd == nullptr) return;
  Attach(hwnd);
  Measure();
  UpdateScrollBars();
}

HWND GridPeer::FocusWindow() const {
  if (editor_ != nullptr && IsWindowVisible(editor_)) return editor_;
  return hwnd_;
}

void GridPeer::Measure() {
  // The designed heights (a 12-pixel font gives 18-pixel rows), never less than the typeface
  // on this computer needs.
  const Font& header = grid_->HeaderFont();
  const Font& cells = grid_->GetFont();
  header_h_ = std::max(header.height + 8, FontPixelHeight(header) + 4);
  row_h_ = std::max(cells.height + 6, FontPixelHeight(cells) + 2);
  footer_h_ = row_h_ + 2;
}

RECT GridPeer::DataArea() const {
  RECT rc{0, 0, 0, 0};
  if (hwnd_ != nullptr) GetClientRect(hwnd_, &rc);
  rc.top = std::min<LONG>(rc.bottom, header_h_);
  if (grid_->ShowFooter()) rc.bottom = std::max<LONG>(rc.top, rc.bottom - footer_h_);
  return rc;
}

int GridPeer::VisibleRows() const {
  RECT area = DataArea();
  return std::max(1, static_cast<int>(area.bottom - area.top) / std::max(1, row_h_));
}

int GridPeer::ColumnLeft(int column) const {
  int x = -left_px_;
  for (int c = 0; c < column && c < grid_->ColumnCount(); ++c) x += grid_->Column(c).Width();
  return x;
}

int GridPeer::TotalWidth() const {
  int w = 0;
  for (int c = 0; c < grid_->ColumnCount(); ++c) w += grid_->Column(c).Width();
  return w;
}

bool GridPeer::CellRect(int row, int column, RECT* rect) const {
  if (column < 0 || column >= grid_->ColumnCount() || row < top_row_) return false;
  RECT area = DataArea();
  int y = area.top + (row - top_row_) * row_h_;
  if (y >= area.bottom) return false;
  int x = ColumnLeft(column);
  *rect = RECT{x, y, x + grid_->Column(column).Width(), std::min<LONG>(y + row_h_, area.bottom)};
  return true;
}

void GridPeer::HitTest(int x, int y, int* row, int* column, bool* filter_button) const {
  *row = -3;
  *column = -1;
  *filter_button = false;
  for (int c = 0; c < grid_->ColumnCount(); ++c) {
    int left = ColumnLeft(c), right = left + grid_->Column(c).Width();
    if (x >= left && x < right) {
      *column = c;
      if (y < header_h_ && grid_->AutoFilter() && x >= right - kFilterButton - 2) {
        *filter_button = true;
      }
      break;
    }
  }
  RECT area = DataArea();
  if (y < header_h_) {
    *row = -1;
  } else if (grid_->ShowFooter() && y >= area.bottom) {
    *row = -2;
  } else {
    int r = top_row_ + (y - area.top) / std::max(1, row_h_);
    if (r >= 0 && r < grid_->RowCount()) *row = r;
  }
}

void GridPeer::UpdateScrollBars() {
  if (hwnd_ == nullptr) return;
  ScrollBars bars = grid_->GetScrollBars();
  bool allow_v = bars == ScrollBars::Vertical || bars == ScrollBars::Both;
  bool allow_h = bars == ScrollBars::Horizontal || bars == ScrollBars::Both;
  // Showing one bar narrows the room for the other: settle in two rounds.
  for (int round = 0; round < 2; ++round) {
    int rows = grid_->RowCount(), visible = VisibleRows();
    bool need_v = allow_v && rows > visible;
    RECT rc;
    GetClientRect(hwnd_, &rc);
    bool need_h = allow_h && TotalWidth() > rc.right - rc.left;
    ShowScrollBar(hwnd_, SB_VERT, need_v ? TRUE : FALSE);
    ShowScrollBar(hwnd_, SB_HORZ, need_h ? TRUE : FALSE);
  }
  int rows = grid_->RowCount(), visible = VisibleRows();
  top_row_ = std::max(0, std::min(top_row_, rows - visible));
  RECT rc;
  GetClientRect(hwnd_, &rc);
  left_px_ = std::max(0, std::min(left_px_, TotalWidth() - static_cast<int>(rc.right - rc.left)));
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
  si.nMin = 0;
  si.nMax = std::max(0, rows - 1);
  si.nPage = static_cast<UINT>(visible);
  si.nPos = top_row_;
  SetScrollInfo(hwnd_, SB_VERT, &si, TRUE);
  si.nMax = std::max(0, TotalWidth() - 1);
  si.nPage = static_cast<UINT>(std::max<LONG>(1, rc.right - rc.left));
  si.nPos = left_px_;
  SetScrollInfo(hwnd_, SB_HORZ, &si, TRUE);
}

void GridPeer::ScrollTo(int top_row, int left_px) {
  top_row_ = top_row;
  left_px_ = left_px;
  UpdateScrollBars();
  InvalidateRect(hwnd_, nullptr, FALSE);
  ShowEditor();
}

void GridPeer::EnsureVisible(int row, int column) {
  if (hwnd_ == nullptr) return;
  int top = top_row_, left = left_px_;
  if (row >= 0) {
    int visible = VisibleRows();
    if (row < top) top = row;
    if (row >= top + visible) top = row - visible + 1;
  }
  if (column >= 0 && column < grid_->ColumnCount()) {
    RECT rc;
    GetClientRect(hwnd_, &rc);
    int x = ColumnLeft(column) + left_px_, w = grid_->Column(column).Width();
    if (x < left) left = x;
    if (x + w > left + (rc.right - rc.left)) left = x + w - (rc.right - rc.left);
  }
  if (top != top_row_ || left != left_px_) ScrollTo(top, left);
}

void GridPeer::Sync(Change what) {
  if (hwnd_ == nullptr) return;
  switch (what) {
    case Change::Data: {
      int current = grid_->CurrentRow();
      UpdateScrollBars();
      if (current != last_row_) {
        last_row_ = current;
        EnsureVisible(current, -1);
      }
      InvalidateRect(hwnd_, nullptr, FALSE);
      ShowEditor();
      break;
    }
    case Change::Focus:
      EnsureVisible(grid_->CurrentRow(), grid_->FocusedColumn());
      InvalidateRect(hwnd_, nullptr, FALSE);
      ShowEditor();
      break;
    case Change::Text:
    case Change::State:
      if (what == Change::State) UpdateScrollBars();
      InvalidateRect(hwnd_, nullptr, FALSE);
      ShowEditor();
      break;
    case Change::Items:
    case Change::Font:
    case Change::Color:
      Measure();
      UpdateScrollBars();
      InvalidateRect(hwnd_, nullptr, FALSE);
      if (editor_ != nullptr) {
        SendMessageW(editor_, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(grid_->GetFont())), 0);
      }
      ShowEditor();
      break;
    case Change::Bounds:
      ApplyBounds();
      UpdateScrollBars();
      ShowEditor();
      break;
    default:
      NativePeer::Sync(what);
      break;
  }
}

void GridPeer::ShowEditor() {
  if (hwnd_ == nullptr) return;
  if (!grid_->EditorOpen()) {
    if (editor_ != nullptr && IsWindowVisible(editor_)) {
      bool had_focus = GetFocus() == editor_;
      ShowWindow(editor_, SW_HIDE);
      if (had_focus) SetFocus(hwnd_);
    }
    editor_was_open_ = false;
    return;
  }
  if (editor_ == nullptr) {
    editor_ = CreateWindowExW(0, WC_EDITW, L"", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 10, 10, hwnd_,
                              nullptr, ModuleInstance(), nullptr);
    if (editor_ == nullptr) return;
    AttachPart(editor_);
    Subclass(editor_, &GridPeer::EditorProc);
    SendMessageW(editor_, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(grid_->GetFont())), 0);
  }
  RECT cell;
  if (!CellRect(grid_->CurrentRow(), grid_->FocusedColumn(), &cell)) {
    ShowWindow(editor_, SW_HIDE);
    return;
  }
  SetWindowPos(editor_, HWND_TOP, cell.left + 1, cell.top + 1,
               std::max<LONG>(4, cell.right - cell.left - 2),
               std::max<LONG>(4, cell.bottom - cell.top - 2), SWP_NOACTIVATE | SWP_SHOWWINDOW);
  std::wstring want = Wide(grid_->EditorText());
  if (WindowText(editor_) != want) {
    Syncing syncing(*this);
    SetWindowTextW(editor_, want.c_str());
  }
  if (!editor_was_open_) {
    // A fresh editor: the first character typed replaces the whole text, so all of it is marked.
    SendMessageW(editor_, EM_SETSEL, 0, -1);
  } else {
    SendMessageW(editor_, EM_SETSEL, want.size(), static_cast<LPARAM>(want.size()));
  }
  editor_was_open_ = true;
  HWND focus = GetFocus();
  if (focus == hwnd_) SetFocus(editor_);
}

void GridPeer::OpenFilter(int column) {
  HWND form = GetAncestor(hwnd_, GA_ROOT);
  if (filter_ == nullptr) {
    filter_ = CreateWindowExW(0, WC_LISTBOXW, L"",
                              WS_CHILD | WS_BORDER | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                              0, 0, 10, 10, form, nullptr, ModuleInstance(), nullptr);
    if (filter_ == nullptr) return;
    AttachPart(filter_);
    std::wstring name = Wide(grid_->Name() + ".filter");
    ATOM atom = GlobalAddAtomW(name.c_str());
    SetPropW(filter_, automation::kPropName, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(atom)));
    Subclass(filter_, &GridPeer::FilterProc);
    SendMessageW(filter_, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(grid_->GetFont())), 0);
  }
  filter_column_ = column;
  filter_values_ = grid_->FilterValues(column);
  SendMessageW(filter_, LB_RESETCONTENT, 0, 0);
  SendMessageW(filter_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kAllValues));
  int selected = 0;
  const auto& current = grid_->ColumnFilter(column);
  for (size_t i = 0; i < filter_values_.size(); ++i) {
    SendMessageW(filter_, LB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(Wide(filter_values_[i]).c_str()));
    if (current && *current == filter_values_[i]) selected = static_cast<int>(i) + 1;
  }
  SendMessageW(filter_, LB_SETCURSEL, static_cast<WPARAM>(selected), 0);
  int item = std::max(12, static_cast<int>(SendMessageW(filter_, LB_GETITEMHEIGHT, 0, 0)));
  int rows =
      std::min<int>(grid_->FilterDropDownRows(), static_cast<int>(filter_values_.size()) + 1);
  POINT pt{ColumnLeft(column), header_h_};
  MapWindowPoints(hwnd_, form, &pt, 1);
  int width = std::max(grid_->Column(column).Width(), 100);
  SetWindowPos(filter_, HWND_TOP, pt.x, pt.y, width, rows * item + 2, SWP_SHOWWINDOW);
  SetFocus(filter_);
}

void GridPeer::CloseFilter() {
  if (filter_ == nullptr || !IsWindowVisible(filter_)) return;
  bool had_focus = GetFocus() == filter_;
  ShowWindow(filter_, SW_HIDE);
  if (had_focus && hwnd_ != nullptr) SetFocus(FocusWindow());
}

void GridPeer::ChooseFilter(int index) {
  int column = filter_column_;
  if (index < 0 || column < 0) return;
  std::optional<std::string> value;
  if (index > 0 && index <= static_cast<int>(filter_values_.size())) {
    value = filter_values_[static_cast<size_t>(index) - 1];
  }
  CloseFilter();
  Grid* grid = grid_;
  Deliver([grid, column, value] { grid->UserChooseFilter(column, value); });
}

bool GridPeer::Keyed(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_KEYDOWN && IsGridKey(wp)) {
    Grid* grid = grid_;
    int key = static_cast<int>(wp);
    ShiftState shift = KeyShift(lp);
    Deliver([grid, key, shift] { grid->UserKeyDown(key, shift); });
    return true;
  }
  if (msg == WM_CHAR) {
    if (wp >= 0x20 && wp != 0x7F) {
      std::string ch = TypedChar(static_cast<wchar_t>(wp));
      Grid* grid = grid_;
      if (!ch.empty()) Deliver([grid, ch] { grid->UserType(ch); });
    }
    return true;
  }
  return false;
}

void GridPeer::Paint(HDC dc, const RECT& client) {
  FillRect(dc, &client, BrushFor(ColorRef(grid_->GetColor())));
  int columns = grid_->ColumnCount();
  bool flat = grid_->Flat();

  // Header.
  RECT header{client.left, client.top, client.right, client.top + header_h_};
  FillRect(dc, &header, BrushFor(ColorRef(grid_->HeaderColor())));
  for (int c = 0; c < columns; ++c) {
    GridColumn& col = grid_->Column(c);
    RECT r{ColumnLeft(c), 0, ColumnLeft(c) + col.Width(), header_h_};
    if (r.right < client.left || r.left > client.right) continue;
    if (!flat) DrawEdge(dc, &r, BDR_RAISEDINNER, BF_RECT);
    RECT text = r;
    if (grid_->AutoFilter()) {
      text.right -= kFilterButton + 2;
      RECT b{r.right - kFilterButton - 2, r.top + 3, r.right - 2, r.bottom - 3};
      DrawEdge(dc, &b, BDR_RAISEDINNER, BF_RECT | BF_MIDDLE);
      COLORREF arrow = grid_->ColumnFilter(c) ? RGB(0, 0, 255) : RGB(0, 0, 0);
      int cx = (b.left + b.right) / 2, cy = (b.top + b.bottom) / 2;
      for (int i = 0; i < 3; ++i) Line(dc, cx - 2 + i, cy - 1 + i, cx + 2 - i, cy - 1 + i, arrow);
    }
    Font hf = grid_->HeaderFont();
    DrawCellText(dc, col.Caption(), hf, col.HeaderAlignment(), text);
    Line(dc, r.right - 1, r.top, r.right - 1, r.bottom - 1, GetSysColor(COLOR_BTNSHADOW));
  }
  Line(dc, client.left, header_h_ - 1, client.right, header_h_ - 1, GetSysColor(COLOR_BTNSHADOW));

  // Rows.
  RECT area = DataArea();
  HRGN clip = CreateRectRgn(area.left, area.top, area.right, area.bottom);
  SelectClipRgn(dc, clip);
  int rows = grid_->RowCount();
  int current = grid_->CurrentRow();
  bool focused = GetFocus() == hwnd_;
  for (int row = top_row_; row < rows; ++row) {
    int y = area.top + (row - top_row_) * row_h_;
    if (y >= area.bottom) break;
    for (int c = 0; c < columns; ++c) {
      RECT r{ColumnLeft(c), y, ColumnLeft(c) + grid_->Column(c).Width(), y + row_h_};
      if (r.right < client.left || r.left > client.right) continue;
      CellDraw cell;
      try {
        cell = grid_->DrawCell(row, c);
      } catch (
          ...) {  // NOLINT(bugprone-empty-catch): a drawing hook's failure leaves the cell blank
        cell.background = grid_->GetColor();
      }
      FillRect(dc, &r, BrushFor(ColorRef(cell.background)));
      DrawCellText(dc, cell.text, cell.font, cell.alignment, r);
      Line(dc, r.right - 1, r.top, r.right - 1, r.bottom - 1, kLineColor);
      Line(dc, r.left, r.bottom - 1, r.right - 1, r.bottom - 1, kLineColor);
      if (focused && !grid_->RowSelect() && row == current && c == grid_->FocusedColumn()) {
        RECT f = r;
        InflateRect(&f, -1, -1);
        DrawFocusRect(dc, &f);
      }
    }
  }
  SelectClipRgn(dc, nullptr);
  DeleteObject(clip);

  // Footer.
  if (grid_->ShowFooter()) {
    RECT footer{client.left, area.bottom, client.right, client.bottom};
    FillRect(dc, &footer, GetSysColorBrush(COLOR_BTNFACE));
    Line(dc, client.left, footer.top, client.right, footer.top, GetSysColor(COLOR_BTNSHADOW));
    for (int c = 0; c < columns; ++c) {
      RECT r{ColumnLeft(c), footer.top + 1, ColumnLeft(c) + grid_->Column(c).Width(),
             footer.bottom};
      if (r.right < client.left || r.left > client.right) continue;
      FooterDraw f;
      try {
        f = grid_->DrawFooter(c);
      } catch (
          ...) {  // NOLINT(bugprone-empty-catch): a drawing hook's failure leaves the cell blank
      }
      RECT inner = r;
      InflateRect(&inner, -1, -1);
      FillRect(dc, &inner, BrushFor(ColorRef(f.background)));
      DrawCellText(dc, f.text, f.font, f.alignment, inner);
      Line(dc, r.right - 1, r.top, r.right - 1, r.bottom - 1, GetSysColor(COLOR_BTNSHADOW));
    }
  }
}

LRESULT CALLBACK GridPeer::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetPropW(hwnd, L"qmdw.peer",
             static_cast<NativePeer*>(static_cast<GridPeer*>(cs->lpCreateParams)));
  }
  auto* peer = static_cast<GridPeer*>(FromHwnd(hwnd));
  if (peer == nullptr || peer->hwnd_ != hwnd) return DefWindowProcW(hwnd, msg, wp, lp);
  return peer->Handle(msg, wp, lp);
}

LRESULT GridPeer::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  HWND hwnd = hwnd_;
  LRESULT result = 0;
  if (ChildMessage(msg, wp, lp, &result)) return result;
  if (msg == automation::MsgGridCellPoint()) {
    int row = static_cast<int>(static_cast<INT_PTR>(wp)), column = static_cast<int>(lp);
    if (column < 0 || column >= grid_->ColumnCount()) return -1;
    if (row < 0) {
      EnsureVisible(-1, column);
      int right = ColumnLeft(column) + grid_->Column(column).Width();
      return MAKELONG(right - 2 - kFilterButton / 2, header_h_ / 2);
    }
    if (row >= grid_->RowCount()) return -1;
    EnsureVisible(row, column);
    RECT r;
    if (!CellRect(row, column, &r)) return -1;
    return MAKELONG((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  }
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      HDC mem = CreateCompatibleDC(dc);
      HBITMAP bmp =
          CreateCompatibleBitmap(dc, std::max<LONG>(1, rc.right), std::max<LONG>(1, rc.bottom));
      HGDIOBJ old = SelectObject(mem, bmp);
      Paint(mem, rc);
      BitBlt(dc, 0, 0, rc.right, rc.bottom, mem, 0, 0, SRCCOPY);
      SelectObject(mem, old);
      DeleteObject(bmp);
      DeleteDC(mem);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_SIZE:
      UpdateScrollBars();
      ShowEditor();
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_VSCROLL: {
      int top = top_row_, page = VisibleRows();
      switch (LOWORD(wp)) {
        case SB_LINEUP:
          --top;
          break;
        case SB_LINEDOWN:
          ++top;
          break;
        case SB_PAGEUP:
          top -= page;
          break;
        case SB_PAGEDOWN:
          top += page;
          break;
        case SB_TOP:
          top = 0;
          break;
        case SB_BOTTOM:
          top = grid_->RowCount();
          break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
          SCROLLINFO si{};
          si.cbSize = sizeof si;
          si.fMask = SIF_TRACKPOS;
          GetScrollInfo(hwnd, SB_VERT, &si);
          top = si.nTrackPos;
          break;
        }
        default:
          break;
      }
      ScrollTo(top, left_px_);
      return 0;
    }
    case WM_HSCROLL: {
      int left = left_px_;
      RECT rc;
      GetClientRect(hwnd, &rc);
      switch (LOWORD(wp)) {
        case SB_LINELEFT:
          left -= 20;
          break;
        case SB_LINERIGHT:
          left += 20;
          break;
        case SB_PAGELEFT:
          left -= rc.right;
          break;
        case SB_PAGERIGHT:
          left += rc.right;
          break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
          SCROLLINFO si{};
          si.cbSize = sizeof si;
          si.fMask = SIF_TRACKPOS;
          GetScrollInfo(hwnd, SB_HORZ, &si);
          left = si.nTrackPos;
          break;
        }
        default:
          break;
      }
      ScrollTo(top_row_, left);
      return 0;
    }
    case WM_MOUSEWHEEL: {
      int notches = GET_WHEEL_DELTA_WPARAM(wp) / WHEEL_DELTA;
      ScrollTo(top_row_ - 3 * notches, left_px_);
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      if (!Reachable(hwnd)) return 0;
      CloseFilter();
      HWND focus = GetFocus();
      if (focus != hwnd && focus != editor_) SetFocus(hwnd);
      int row, column;
      bool filter_button;
      HitTest(GET_X_LPARAM(lp), GET_Y_LPARAM(lp), &row, &column, &filter_button);
      Grid* grid = grid_;
      if (msg == WM_LBUTTONDBLCLK) {
        if (row >= 0) Deliver([grid] { grid->UserDoubleClick(); });
        return 0;
      }
      if (row == -1 && filter_button && column >= 0) {
        OpenFilter(column);
      } else if (row >= 0 && column >= 0) {
        Deliver([grid, row, column] { grid->UserClickCell(row, column); });
      }
      return 0;
    }
    case WM_SETFOCUS:
      NativeFocusReceived();
      if (editor_ != nullptr && IsWindowVisible(editor_)) SetFocus(editor_);
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_KILLFOCUS:
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTCHARS | DLGC_WANTTAB;
    case WM_KEYDOWN:
    case WM_CHAR:
      if (Keyed(msg, wp, lp)) return 0;
      return DefWindowProcW(hwnd, msg, wp, lp);
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

LRESULT CALLBACK GridPeer::EditorProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = static_cast<GridPeer*>(FromHwnd(hwnd));
  if (peer == nullptr) return CallOriginal(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_SETFOCUS: {
      LRESULT r = CallOriginal(hwnd, msg, wp, lp);
      peer->NativeFocusReceived();
      return r;
    }
    case WM_KEYDOWN:
    case WM_CHAR:
      if (peer->Keyed(msg, wp, lp)) return 0;
      return CallOriginal(hwnd, msg, wp, lp);
    case WM_LBUTTONDOWN:
      // The text is typed at its end; a click only keeps the focus here.
      if (GetFocus() != hwnd) SetFocus(hwnd);
      return 0;
    case WM_LBUTTONDBLCLK: {
      Grid* grid = peer->grid_;
      Deliver([grid] { grid->UserDoubleClick(); });
      return 0;
    }
    case WM_PASTE: {
      std::string text;
      if (OpenClipboard(hwnd)) {
        if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
          if (auto* p = static_cast<const wchar_t*>(GlobalLock(h))) {
            text = Utf8(p);
            GlobalUnlock(h);
          }
        }
        CloseClipboard();
      }
      Grid* grid = peer->grid_;
      if (!text.empty()) Deliver([grid, text] { grid->UserType(text); });
      return 0;
    }
    case WM_MOUSEWHEEL:
      return SendMessageW(peer->hwnd_, msg, wp, lp);
    case WM_CUT:
    case WM_CLEAR:
    case WM_UNDO:
    case WM_CONTEXTMENU:
      return 0;
    default:
      return CallOriginal(hwnd, msg, wp, lp);
  }
}

LRESULT CALLBACK GridPeer::FilterProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const rtl::ModuleFpu fpu;  // an entry of the module's code
  auto* peer = static_cast<GridPeer*>(FromHwnd(hwnd));
  if (peer == nullptr) return CallOriginal(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_KEYDOWN:
      if (wp == VK_RETURN) {
        peer->ChooseFilter(static_cast<int>(SendMessageW(hwnd, LB_GETCURSEL, 0, 0)));
        return 0;
      }
      if (wp == VK_ESCAPE) {
        peer->CloseFilter();
        return 0;
      }
      break;
    case WM_LBUTTONUP: {
      LRESULT r = CallOriginal(hwnd, msg, wp, lp);
      LRESULT hit = SendMessageW(hwnd, LB_ITEMFROMPOINT, 0, lp);
      if (HIWORD(hit) == 0) peer->ChooseFilter(LOWORD(hit));
      return r;
    }
    case WM_KILLFOCUS: {
      LRESULT r = CallOriginal(hwnd, msg, wp, lp);
      ShowWindow(hwnd, SW_HIDE);
      return r;
    }
    default:
      break;
  }
  return CallOriginal(hwnd, msg, wp, lp);
}

}  // namespace widgets::win32
