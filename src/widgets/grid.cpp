#include "widgets/grid.h"

#include <set>
#include <stdexcept>

#include "rtl/error.h"
#include "rtl/money.h"
#include "widgets/application.h"
#include "widgets/form.h"

namespace widgets {
namespace {

// Sets a flag for the lifetime of the guard.
class FlagGuard {
 public:
  explicit FlagGuard(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
  ~FlagGuard() { flag_ = old_; }
  FlagGuard(const FlagGuard&) = delete;
  FlagGuard& operator=(const FlagGuard&) = delete;

 private:
  bool& flag_;
  bool old_;
};

bool EndsEditing(int key) {
  return key == kVkReturn || key == kVkTab || key == kVkUp || key == kVkDown || key == kVkPrior ||
         key == kVkNext;
}

}  // namespace

// --- GridColumn ---

GridColumn::GridColumn(Grid& grid, int index, std::string name)
    : grid_(&grid), index_(index), name_(std::move(name)) {}

void GridColumn::SetFieldName(std::string field) {
  field_name_ = std::move(field);
}

void GridColumn::SetCaption(std::string caption) {
  caption_ = std::move(caption);
}
void GridColumn::SetWidth(int width) {
  width_ = width;
}
void GridColumn::SetHeaderAlignment(Alignment alignment) {
  header_alignment_ = alignment;
}
void GridColumn::SetCellAlignment(Alignment alignment) {
  alignment_ = alignment;
}
void GridColumn::SetEditable(bool editable) {
  editable_ = editable;
}
void GridColumn::SetFooter(FooterKind footer) {
  footer_ = footer;
}

// --- Grid ---

Grid::Grid(Form* form, Control* parent, std::string name) : Control(form, parent, std::move(name)) {
  SetColor(kClWindow);
  RegisterEvent("OnEditChange", &OnEditChange);
  RegisterEvent("OnEdited", &OnEdited);
  RegisterEvent("OnChangeColumn", &OnChangeColumn);
  RegisterEvent("OnKeyDown", &OnKeyDown);
  RegisterEvent("OnDblClick", &OnDblClick);
  RegisterEvent("OnCustomDrawCell", &OnCustomDrawCell);
}

Grid::~Grid() {
  if (source_ != nullptr) source_->Detach(this);
}

void Grid::SetDataSource(DataSource* source) {
  if (source_ == source) return;
  CancelEditor();
  if (source_ != nullptr) source_->Detach(this);
  source_ = source;
  if (source_ != nullptr) source_->Attach(this);
  Changed(Change::Data);
}

RowModel* Grid::Model() const {
  return source_ != nullptr ? source_->Model() : nullptr;
}

GridColumn& Grid::AddColumn(const ColumnSpec& desc) {
  auto column = std::make_unique<GridColumn>(*this, ColumnCount(), desc.name);
  column->SetFieldName(desc.field);
  column->SetCaption(desc.caption);
  column->SetWidth(desc.width);
  column->SetHeaderAlignment(desc.header_alignment);
  column->SetEditable(desc.editable);
  column->SetFooter(desc.footer);
  RegisterEvent(column->Name() + ".OnDrawFooter", &column->OnDrawFooter);
  columns_.push_back(std::move(column));
  filters_.resize(columns_.size());
  Changed(Change::Items);
  return *columns_.back();
}

GridColumn& Grid::Column(int index) const {
  if (index < 0 || index >= ColumnCount()) {
    throw std::out_of_range("Grid " + Name() + " has no column " + std::to_string(index));
  }
  return *columns_[static_cast<size_t>(index)];
}

GridColumn* Grid::FindColumn(std::string_view name) const {
  for (const auto& c : columns_) {
    if (c->Name() == name) return c.get();
  }
  return nullptr;
}

void Grid::SetRowSelect(bool on) {
  row_select_ = on;
  Changed(Change::State);
}

void Grid::SetShowFooter(bool on) {
  show_footer_ = on;
  Changed(Change::State);
}

void Grid::SetHeaderColor(Color color) {
  header_color_ = color;
  Changed(Change::Color);
}

void Grid::SetHeaderFont(const Font& font) {
  header_font_ = std::make_unique<Font>(font);
  Changed(Change::Font);
}

void Grid::SetFlat(bool flat) {
  flat_ = flat;
  Changed(Change::State);
}

void Grid::SetScrollBars(ScrollBars bars) {
  scroll_bars_ = bars;
  Changed(Change::State);
}

void Grid::SetAutoFilter(bool on) {
  auto_filter_ = on;
  Changed(Change::State);
}

int Grid::RowCount() const {
  RowModel* m = Model();
  return m != nullptr && m->Active() ? m->RowCount() : 0;
}

int Grid::CurrentRow() const {
  RowModel* m = Model();
  if (m == nullptr || !m->Active()) return -1;
  return m->CurrentRow();
}

void Grid::SetFocusedColumn(int column) {
  if (column < 0 || column >= ColumnCount()) {
    throw rtl::Error("Grid " + Name() + " has no column " + std::to_string(column));
  }
  if (column == focused_column_) return;
  PostEditor();
  focused_column_ = column;
  Changed(Change::Focus);
  if (OnChangeColumn) OnChangeColumn(*this, CurrentRow(), column);
}

std::string Grid::CellText(int row, int column) const {
  RowModel* m = Model();
  if (m == nullptr || !m->Active() || row < 0 || row >= m->RowCount()) return {};
  const std::string& field = Column(column).FieldName();
  if (!m->HasField(field)) return {};
  return m->TextAt(row, field);
}

CellDraw Grid::DrawCell(int row, int column) {
  CellDraw cell;
  cell.row = row;
  cell.column = column;
  cell.text = CellText(row, column);
  cell.font = GetFont();
  cell.background = GetColor();
  cell.alignment = Column(column).CellAlignment();
  bool current = row == CurrentRow();
  cell.selected = current && (row_select_ || column == focused_column_);
  if (cell.selected) {
    cell.font.color = kClHighlightText;
    cell.background = kClHighlight;
  }
  if (editor_open_ && current && column == focused_column_) cell.text = editor_text_;
  if (OnCustomDrawCell) OnCustomDrawCell(*this, cell);
  return cell;
}

long double Grid::ColumnSum(int column) const {
  RowModel* m = Model();
  if (m == nullptr || !m->Active()) return 0;
  const std::string& field = Column(column).FieldName();
  if (!m->HasField(field)) return 0;
  long double sum = 0;
  int rows = m->RowCount();
  for (int r = 0; r < rows; ++r) sum += m->NumberAt(r, field);
  return sum;
}

FooterDraw Grid::DrawFooter(int column) {
  GridColumn& col = Column(column);
  FooterDraw footer;
  footer.column = column;
  if (col.Footer() == FooterKind::Sum) footer.text = rtl::FormatFooter(ColumnSum(column));
  footer.font = GetFont();
  footer.background = GetColor();
  footer.alignment = Alignment::Right;
  if (col.OnDrawFooter) col.OnDrawFooter(*this, col, footer);
  return footer;
}

bool Grid::CellEditable(int column) const {
  if (!allow_editing_ || column < 0 || column >= ColumnCount()) return false;
  if (!Column(column).Editable()) return false;
  RowModel* m = Model();
  if (m == nullptr || !m->Active() || m->RowCount() == 0) return false;
  return m->HasField(Column(column).FieldName());
}

bool Grid::ShowEditor() {
  if (editor_open_) return true;
  if (!CellEditable(focused_column_)) return false;
  editor_row_ = CurrentRow();
  editor_text_ = CellText(editor_row_, focused_column_);
  editor_open_ = true;
  editor_modified_ = false;
  editor_stored_ = false;
  editor_replace_ = true;
  Changed(Change::State);
  return true;
}

void Grid::StoreEditorText() {
  if (!editor_open_ || !editor_modified_) return;
  RowModel* m = Model();
  if (m == nullptr || !m->Active()) return;
  m->SetText(Column(focused_column_).FieldName(), editor_text_);
  editor_modified_ = false;
  editor_stored_ = true;
}

void Grid::PostEditor() {
  if (!editor_open_) return;
  StoreEditorText();
  int row = editor_row_;
  editor_open_ = false;
  editor_modified_ = false;
  Changed(Change::State);
  if (OnEdited) OnEdited(*this, row);
}

void Grid::CancelEditor() {
  if (!editor_open_) return;
  editor_open_ = false;
  editor_modified_ = false;
  Changed(Change::State);
}

std::vector<std::string> Grid::FilterValues(int column) const {
  std::set<std::string> values;
  int rows = RowCount();
  for (int r = 0; r < rows; ++r) values.insert(CellText(r, column));
  std::vector<std::string> list;
  for (const auto& v : values) {
    if (static_cast<int>(list.size()) == kMaxFilterValues) break;
    list.push_back(v);
  }
  return list;
}

const std::optional<std::string>& Grid::ColumnFilter(int column) const {
  Column(column);
  return filters_[static_cast<size_t>(column)];
}

void Grid::SetColumnFilter(int column, std::optional<std::string> value) {
  Column(column);
  PostEditor();
  filters_[static_cast<size_t>(column)] = std::move(value);
  std::vector<ColumnCondition> conditions;
  for (int c = 0; c < ColumnCount(); ++c) {
    const auto& f = filters_[static_cast<size_t>(c)];
    if (f) conditions.push_back({Column(c).FieldName(), *f});
  }
  RowModel* m = Model();
  if (m == nullptr) return;
  FlagGuard moving(moving_);
  m->FilterByColumns(conditions);
  Changed(Change::Data);
}

void Grid::DataEvent(RowModelObserver::Event event) {
  using Event = RowModelObserver::Event;
  switch (event) {
    case Event::Destroying:
      editor_open_ = false;
      editor_modified_ = false;
      for (auto& f : filters_) f.reset();
      break;
    case Event::Opened:
      editor_open_ = false;
      editor_modified_ = false;
      break;
    case Event::Moved:
      if (editor_open_ && !moving_) {
        editor_open_ = false;
        editor_modified_ = false;
      }
      break;
    default:
      break;
  }
  Changed(Change::Data);
}

void Grid::MoveColumnBy(int delta) {
  RowModel* m = Model();
  int column = focused_column_ + delta;
  if (column >= ColumnCount()) {
    if (m != nullptr && m->Active() && CurrentRow() >= 0 && CurrentRow() < RowCount() - 1) {
      FlagGuard moving(moving_);
      m->MoveNext();
      column = 0;
    } else {
      column = ColumnCount() - 1;
    }
  } else if (column < 0) {
    if (m != nullptr && m->Active() && CurrentRow() > 0) {
      FlagGuard moving(moving_);
      m->MovePrior();
      column = ColumnCount() - 1;
    } else {
      column = 0;
    }
  }
  SetFocusedColumn(column);
}

void Grid::GridKey(int key, ShiftState shift) {
  RowModel* m = Model();
  bool active = m != nullptr && m->Active();
  switch (key) {
    case kVkReturn:
      if (editor_open_) {
        PostEditor();
      } else {
        ShowEditor();
      }
      break;
    case kVkF2:
      ShowEditor();
      break;
    case kVkEscape:
      CancelEditor();
      break;
    case kVkBack:
    case kVkDelete:
      EraseInEditor(key);
      break;
    case kVkTab:
      if (!tab_moves_cells_) {
        PostEditor();
        Window().FocusNext(this, (shift & kShift) == 0);
        break;
      }
      PostEditor();
      MoveColumnBy((shift & kShift) != 0 ? -1 : 1);
      break;
    case kVkLeft:
    case kVkRight:
      if (editor_open_ || ColumnCount() == 0) break;
      {
        int column = focused_column_ + (key == kVkLeft ? -1 : 1);
        if (column >= 0 && column < ColumnCount()) SetFocusedColumn(column);
      }
      break;
    case kVkUp:
    case kVkDown:
    case kVkPrior:
    case kVkNext:
      PostEditor();
      if (!active) break;
      {
        FlagGuard moving(moving_);
        int steps = (key == kVkPrior || key == kVkNext) ? 10 : 1;
        for (int i = 0; i < steps; ++i) {
          if (key == kVkUp || key == kVkPrior) {
            if (m->AtBegin()) break;
            m->MovePrior();
          } else {
            if (m->AtEnd()) break;
            m->MoveNext();
          }
        }
      }
      break;
    case kVkHome:
    case kVkEnd:
      if (editor_open_) break;
      if ((shift & kCtrl) != 0) {
        if (!active) break;
        FlagGuard moving(moving_);
        if (key == kVkHome) {
          m->MoveFirst();
        } else {
          m->MoveLast();
        }
      } else if (ColumnCount() > 0) {
        SetFocusedColumn(key == kVkHome ? 0 : ColumnCount() - 1);
      }
      break;
    default:
      break;
  }
}

void Grid::EraseInEditor(int key) {
  if (!editor_open_) return;
  std::string before = editor_text_;
  if (editor_replace_) {
    // A fresh editor has its whole text marked: either key removes it.
    editor_text_.clear();
  } else if (key == kVkBack && !editor_text_.empty()) {
    std::vector<std::string> chars = Utf8Chars(editor_text_);
    chars.pop_back();
    editor_text_.clear();
    for (const auto& c : chars) editor_text_ += c;
  }
  editor_replace_ = false;
  if (editor_text_ == before) return;
  editor_modified_ = true;
  Changed(Change::Text);
  OnEditChange(*this);
}

void Grid::TypeChar(const std::string& ch, int key) {
  int k = key;
  if (OnKeyDown) OnKeyDown(*this, k, 0);
  if (k == 0) return;
  if (!editor_open_ && !ShowEditor()) return;
  editor_text_ = editor_replace_ ? ch : editor_text_ + ch;
  editor_replace_ = false;
  editor_modified_ = true;
  Changed(Change::Text);
  OnEditChange(*this);
}

void Grid::UserClickCell(int row, int column) {
  Operate(true, [&] {
    if (row < 0 || row >= RowCount() || column < 0 || column >= ColumnCount()) return;
    PostEditor();
    if (row != CurrentRow()) {
      FlagGuard moving(moving_);
      Model()->MoveTo(row);
    }
    SetFocusedColumn(column);
    if (immediate_editor_) ShowEditor();
  });
}

void Grid::UserDoubleClick() {
  Operate(true, [&] {
    StoreEditorText();
    OnDblClick(*this);
  });
}

void Grid::UserKeyDown(int key, ShiftState shift) {
  Operate(true, [&] {
    if (EndsEditing(key)) StoreEditorText();
    int k = key;
    if (OnKeyDown) OnKeyDown(*this, k, shift);
    if (k != 0) GridKey(k, shift);
  });
}

void Grid::UserType(std::string_view text) {
  Operate(true, [&] {
    for (const std::string& ch : Utf8Chars(text)) TypeChar(ch, KeyCodeOfChar(CodePoint(ch)));
  });
}

void Grid::UserMoveTo(int row) {
  Operate(true, [&] {
    if (row < 0 || row >= RowCount()) return;
    PostEditor();
    if (row != CurrentRow()) {
      FlagGuard moving(moving_);
      Model()->MoveTo(row);
    }
  });
}

void Grid::UserEditCell(int row, int column, std::string_view text, int close_key) {
  Operate(true, [&] {
    if (row < 0 || row >= RowCount() || column < 0 || column >= ColumnCount()) return;
    PostEditor();
    if (row != CurrentRow()) {
      FlagGuard moving(moving_);
      Model()->MoveTo(row);
    }
    SetFocusedColumn(column);
    if (!ShowEditor()) return;
    editor_replace_ = true;
    for (const std::string& ch : Utf8Chars(text)) TypeChar(ch, KeyCodeOfChar(CodePoint(ch)));
    if (text.empty()) {
      // Clearing the cell: the selected text is deleted.
      editor_text_.clear();
      editor_modified_ = true;
      Changed(Change::Text);
      OnEditChange(*this);
    }
    if (close_key != 0) {
      if (EndsEditing(close_key)) StoreEditorText();
      int k = close_key;
      if (OnKeyDown) OnKeyDown(*this, k, 0);
      if (k != 0) GridKey(k, 0);
    }
  });
}

void Grid::UserChooseFilter(int column, std::optional<std::string> value) {
  Operate(true, [&] {
    if (column < 0 || column >= ColumnCount()) return;
    SetColumnFilter(column, std::move(value));
  });
}

}  // namespace widgets
