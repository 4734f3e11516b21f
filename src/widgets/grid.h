// The data grid: one row per visible record of its dataset, columns addressed by index and bound
// to fields, a footer row of per-column sums, drawing hooks for cells and footer cells, in-place
// cell editors, and filter drop-downs in the column headers.
//
// The grid's current row is the row model's current row: moving in the grid moves the model,
// and a move of the model moves the grid. Rows are counted from 0 among the visible rows.
//
// Cell editing. An editor opens on the focused cell when the cell is editable (the grid allows
// editing, the column is editable, the dataset is open and not empty): by Enter or F2, by a click
// when clicks open editors at once, or by typing a character. While it is open, every change of
// its text raises edit-change; the text is written to the field only when the editor closes.
// Closing it (Enter, Tab, a click on another cell, a column or row move, the focus leaving the
// grid, the operator clicking another control of the window) writes a changed text to the field
// (putting the dataset into edit state first) and then raises edited, while the focused column is
// still the edited one; edited runs also when the text was not changed. Escape closes it without
// writing and without edited. A text the field refuses (not a number, not a date) raises the
// field's error, which the error display shows; the editor stays open with the text and edited
// does not run.
//
// Keys. The key-down event runs first, also while an editor is open, and does not consume the
// key unless the handler sets it to 0; then the grid handles the key on the cell focused at that
// moment: Enter opens a closed editor or closes an open one; Tab and Shift+Tab close the editor
// and move to the next or previous column (past the last column to the first of the next row,
// before the first to the last of the previous row); Up/Down close it and move the dataset's
// cursor; Left/Right move between columns while no editor is open; Escape cancels the editor;
// Backspace and Delete in a freshly opened editor remove its whole (marked) text, later
// Backspace removes the last character typed (each change raises edit-change).
// When a key that ends editing (Enter, Tab, Up, Down, Page Up, Page Down) or a double click
// arrives while an editor holds a changed text, that text is written to the field before the
// handler runs, so that whatever the handler does (moving the cursor, for one) keeps it on the
// record it was typed for. A move of the dataset that the program makes while an editor is open
// closes the editor without raising edited.
//
// The grid offers no insertion or deletion of rows.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "widgets/control.h"
#include "widgets/datasource.h"

namespace widgets {

class Grid;

enum class FooterKind { None, Sum };
enum class ScrollBars { None, Vertical, Horizontal, Both };

// One cell as it is about to be drawn. The cell-drawing hook may change the font (its colour, for
// one), the background, the text and the alignment.
struct CellDraw {
  int row = 0;
  int column = 0;
  bool selected = false;
  std::string text;
  Font font;
  Color background = kClWindow;
  Alignment alignment = Alignment::Left;
};

// One footer cell as it is about to be drawn: a sum column shows its sum written "0.00;-0.00".
// The footer-drawing hook may replace the text, the font (style, colour) and the background.
struct FooterDraw {
  int column = 0;
  std::string text;
  Font font;
  Color background = kClBtnFace;
  Alignment alignment = Alignment::Right;
};

class GridColumn {
 public:
  GridColumn(Grid& grid, int index, std::string name);

  Grid& Owner() const { return *grid_; }
  int Index() const { return index_; }
  const std::string& Name() const { return name_; }
  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(std::string field);
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  int Width() const { return width_; }
  void SetWidth(int width);
  Alignment HeaderAlignment() const { return header_alignment_; }
  void SetHeaderAlignment(Alignment alignment);
  Alignment CellAlignment() const { return alignment_; }
  void SetCellAlignment(Alignment alignment);
  bool Editable() const { return editable_; }
  void SetEditable(bool editable);
  FooterKind Footer() const { return footer_; }
  void SetFooter(FooterKind footer);

  Event<Grid&, GridColumn&, FooterDraw&> OnDrawFooter;

 private:
  Grid* grid_;
  int index_;
  std::string name_;
  std::string field_name_;
  std::string caption_;
  int width_ = 64;
  Alignment header_alignment_ = Alignment::Center;
  Alignment alignment_ = Alignment::Left;
  bool editable_ = false;
  FooterKind footer_ = FooterKind::None;
};

// What a column is declared with (Grid::AddColumn).
struct ColumnSpec {
  std::string name;
  std::string field;
  std::string caption;
  int width = 64;
  Alignment header_alignment = Alignment::Center;
  bool editable = false;
  FooterKind footer = FooterKind::None;
};

class Grid : public Control, private DataClient {
 public:
  Grid(Form* form, Control* parent, std::string name);
  ~Grid() override;
  const char* Kind() const override { return "Grid"; }

  // --- Binding and columns. ---
  DataSource* GetDataSource() const { return source_; }
  void SetDataSource(DataSource* source);
  // The rows shown, or null.
  RowModel* Model() const;
  // The field that identifies a row.
  const std::string& KeyFieldName() const { return key_field_; }
  void SetKeyFieldName(std::string field) { key_field_ = std::move(field); }
  GridColumn& AddColumn(const ColumnSpec& desc);
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  GridColumn& Column(int index) const;  // throws std::out_of_range
  GridColumn* FindColumn(std::string_view name) const;

  // --- Look and options. ---
  bool RowSelect() const { return row_select_; }
  void SetRowSelect(bool on);
  bool AllowEditing() const { return allow_editing_; }
  void SetAllowEditing(bool on) { allow_editing_ = on; }
  // A click on an editable cell opens its editor at once.
  bool ImmediateEditor() const { return immediate_editor_; }
  void SetImmediateEditor(bool on) { immediate_editor_ = on; }
  // Tab moves from cell to cell (otherwise Tab leaves the grid).
  bool TabMovesCells() const { return tab_moves_cells_; }
  void SetTabMovesCells(bool on) { tab_moves_cells_ = on; }
  bool ShowFooter() const { return show_footer_; }
  void SetShowFooter(bool on);
  Color HeaderColor() const { return header_color_; }
  void SetHeaderColor(Color color);
  const Font& HeaderFont() const { return header_font_ ? *header_font_ : GetFont(); }
  void SetHeaderFont(const Font& font);
  bool Flat() const { return flat_; }
  void SetFlat(bool flat);
  ScrollBars GetScrollBars() const { return scroll_bars_; }
  void SetScrollBars(ScrollBars bars);
  // Column filter drop-downs in the headers.
  bool AutoFilter() const { return auto_filter_; }
  void SetAutoFilter(bool on);
  int FilterDropDownRows() const { return 8; }
  static constexpr int kMaxFilterValues = 200;

  // --- Rows, cells and footer as the operator sees them. ---
  int RowCount() const;
  // The row of the dataset's cursor, or -1 when there is none.
  int CurrentRow() const;
  int FocusedColumn() const { return focused_column_; }
  // Moves the focus to another column (an open editor is closed first, as the operator leaving
  // the cell would close it); change-column runs when the column changes.
  void SetFocusedColumn(int column);
  // The text of a cell: the field read as text on that row.
  std::string CellText(int row, int column) const;
  // A cell as it is drawn: text, font, background, after the cell-drawing hook.
  CellDraw DrawCell(int row, int column);
  // A footer cell as it is drawn, after the column's footer-drawing hook.
  FooterDraw DrawFooter(int column);
  // The sum of a column's field over the visible records.
  long double ColumnSum(int column) const;

  // --- The cell editor. ---
  bool EditorOpen() const { return editor_open_; }
  const std::string& EditorText() const { return editor_text_; }
  // Opens the editor on the focused cell when the cell is editable; false otherwise.
  bool ShowEditor();
  // Closes the editor: writes a changed text and raises edited (see the header comment).
  void PostEditor();
  // Closes the editor without writing and without raising edited.
  void CancelEditor();
  void FinishEditing() override { PostEditor(); }

  // --- Column filters. ---
  // The distinct texts of a column among the visible records, sorted, at most 200.
  std::vector<std::string> FilterValues(int column) const;
  const std::optional<std::string>& ColumnFilter(int column) const;
  // Sets (a value) or removes (nothing) a column's filter; the rows are filtered by the values of
  // every filtered column (RowModel::FilterByColumns), or not at all when no column is.
  void SetColumnFilter(int column, std::optional<std::string> value);

  // --- Events. ---
  NotifyEvent OnEditChange;
  Event<Object&, int> OnEdited;             // sender, row
  Event<Object&, int, int> OnChangeColumn;  // sender, row, column
  KeyEvent OnKeyDown;
  NotifyEvent OnDblClick;
  Event<Grid&, CellDraw&> OnCustomDrawCell;

  // --- Operator actions (each first puts the focus into the grid). ---
  void UserClickCell(int row, int column);
  void UserDoubleClick();
  void UserKeyDown(int key, ShiftState shift = 0);
  // Types characters: each is a key-down, then (opening the editor on the focused cell when none
  // is open; the first character replaces the cell's text) the text changes and edit-change runs.
  void UserType(std::string_view text);
  // Moves the cursor to a row, as clicking into the row's focused cell would (no editor opens).
  void UserMoveTo(int row);
  // Convenience: clicks the cell, opens its editor when the click did not, types `text` over the
  // cell's text and presses `close_key` (0: leaves the editor open).
  void UserEditCell(int row, int column, std::string_view text, int close_key = kVkReturn);
  // Chooses a value (or "all": nothing) in a column's filter drop-down.
  void UserChooseFilter(int column, std::optional<std::string> value);

 private:
  void DataEvent(RowModelObserver::Event event) override;
  bool CellEditable(int column) const;
  void StoreEditorText();  // writes a changed text to the field (no edited)
  void GridKey(int key, ShiftState shift);
  void MoveColumnBy(int delta);
  void TypeChar(const std::string& ch, int key);
  void EraseInEditor(int key);  // Backspace or Delete in an open editor

  DataSource* source_ = nullptr;
  std::string key_field_;
  std::vector<std::unique_ptr<GridColumn>> columns_;
  bool row_select_ = false;
  bool allow_editing_ = true;
  bool immediate_editor_ = false;
  bool tab_moves_cells_ = false;
  bool show_footer_ = false;
  bool auto_filter_ = false;
  bool flat_ = false;
  Color header_color_ = kClBtnFace;
  std::unique_ptr<Font> header_font_;
  ScrollBars scroll_bars_ = ScrollBars::Both;
  int focused_column_ = 0;
  bool editor_open_ = false;
  bool editor_modified_ = false;  // changed since opened or since last stored
  bool editor_stored_ = false;    // a text of this editor has been written to the field
  bool editor_replace_ = true;    // the next typed character replaces the whole text
  std::string editor_text_;
  int editor_row_ = -1;
  bool moving_ = false;  // the grid itself is moving the cursor
  std::vector<std::optional<std::string>> filters_;
};

}  // namespace widgets
