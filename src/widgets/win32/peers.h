// The peer classes, one per kind of control. Each owns one window and one window procedure;
// native controls (edit, combo box, date picker) are subclassed to route the operator's input
// through the control.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "widgets/controls.h"
#include "widgets/form.h"
#include "widgets/grid.h"
#include "widgets/win32/native.h"

namespace widgets::win32 {

// A top-level window of class "T" + layout name, owned by the application window. Its inner
// border (Form::BorderWidth) is part of the frame, so its client area is the form's.
class FormPeer : public NativePeer {
 public:
  explicit FormPeer(Form& form) : NativePeer(form), form_(&form) {}
  void Create(HWND owner) override;
  void Sync(Change what) override;
  static DWORD StyleFor(BorderStyle style, unsigned icons);
  static DWORD ExStyleFor(BorderStyle style);

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void RestoreFocus();
  Form* form_;
};

// A panel or title band: its colour, bevel and centred caption.
class PanelPeer : public NativePeer {
 public:
  explicit PanelPeer(Panel& panel) : NativePeer(panel), panel_(&panel) {}
  void Create(HWND parent) override;
  void Sync(Change what) override;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  Panel* panel_;
};

// A toolbar: a plain container of flat buttons.
class ToolBarPeer : public NativePeer {
 public:
  explicit ToolBarPeer(ToolBar& bar) : NativePeer(bar) {}
  void Create(HWND parent) override;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
};

// A flat button: picture above or left of the caption; a raised edge under the mouse, a sunken
// one while pressed; never takes the focus.
class FlatButtonPeer : public NativePeer {
 public:
  explicit FlatButtonPeer(FlatButton& button) : NativePeer(button), button_(&button) {}
  void Create(HWND parent) override;
  void Sync(Change what) override;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  void Paint(HDC dc);
  FlatButton* button_;
  bool hot_ = false;
  bool pressed_ = false;
};

// An anti-aliased text label.
class LabelPeer : public NativePeer {
 public:
  explicit LabelPeer(Label& label) : NativePeer(label), label_(&label) {}
  void Create(HWND parent) override;
  void Sync(Change what) override;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  Label* label_;
};

// A one-pixel line along the top edge.
class BevelPeer : public NativePeer {
 public:
  explicit BevelPeer(Bevel& bevel) : NativePeer(bevel) {}
  void Create(HWND parent) override;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
};

// A data-bound edit or memo: a native edit. What the operator types goes to the field at once.
class TextPeer : public NativePeer {
 public:
  explicit TextPeer(DBTextControl& text) : NativePeer(text), text_(&text) {}
  void Create(HWND parent) override;
  void Sync(Change what) override;
  LRESULT OnCommand(WORD code) override;
  HBRUSH CtlColor(HDC dc) override;

 private:
  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  void ShowText();
  bool Multiline() const;
  DBTextControl* text_;
};

// The editable drop-down list: a native combo box whose edit passes every key and character to
// the control, which decides what the text becomes.
class ComboPeer : public NativePeer {
 public:
  explicit ComboPeer(ComboBox& combo) : NativePeer(combo), combo_(&combo) {}
  void Create(HWND parent) override;
  void Sync(Change what) override;
  HWND FocusWindow() const override { return edit_ != nullptr ? edit_ : hwnd_; }
  LRESULT OnCommand(WORD code) override;
  HBRUSH CtlColor(HDC dc) override;
  void OnMeasureItem(MEASUREITEMSTRUCT* item) override;
  void OnDrawItem(DRAWITEMSTRUCT* item) override;

 private:
  static LRESULT CALLBACK ComboProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK EditProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  void ShowItems();
  void ShowText();
  void ShowDropped();
  void PaintButton();
  ComboBox* combo_;
  HWND edit_ = nullptr;
  int notifying_ = 0;  // >0 while the native list reports a choice
};

// The common-controls date picker (date only, drop-down calendar).
class DatePickerPeer : public NativePeer {
 public:
  explicit DatePickerPeer(DatePicker& picker) : NativePeer(picker), picker_(&picker) {}
  void Create(HWND parent) override;
  void Sync(Change what) override;
  LRESULT OnNotify(NMHDR* header) override;

 private:
  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  void ShowDate();
  DatePicker* picker_;
};

// The data grid: column headers with filter buttons, rows drawn through the grid's cell-drawing
// hook, a footer row, an in-place cell editor and the filter drop-down.
class GridPeer : public NativePeer {
 public:
  explicit GridPeer(Grid& grid) : NativePeer(grid), grid_(&grid) {}
  ~GridPeer() override;
  void Create(HWND parent) override;
  void Sync(Change what) override;
  HWND FocusWindow() const override;

 protected:
  void DropParts() override;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK EditorProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK FilterProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  // Geometry.
  void Measure();
  RECT DataArea() const;
  int VisibleRows() const;
  int ColumnLeft(int column) const;  // client x of the column's left edge
  int TotalWidth() const;
  bool CellRect(int row, int column, RECT* rect) const;
  // Hit test: row (-1 header, -2 footer, -3 none) and column (-1 none).
  void HitTest(int x, int y, int* row, int* column, bool* filter_button) const;
  void ScrollTo(int top_row, int left_px);
  void EnsureVisible(int row, int column);
  void UpdateScrollBars();
  void Paint(HDC dc, const RECT& client);
  void ShowEditor();
  void OpenFilter(int column);
  void CloseFilter();
  void ChooseFilter(int index);
  bool Keyed(UINT msg, WPARAM wp, LPARAM lp);  // keys shared by the grid and its cell editor

  Grid* grid_;
  HWND editor_ = nullptr;
  HWND filter_ = nullptr;
  int filter_column_ = -1;
  std::vector<std::string> filter_values_;
  int top_row_ = 0;
  int left_px_ = 0;
  int header_h_ = 20;
  int row_h_ = 18;
  int footer_h_ = 20;
  int last_row_ = -2;
  bool editor_was_open_ = false;
};

}  // namespace widgets::win32
