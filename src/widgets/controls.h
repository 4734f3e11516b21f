// The controls the windows are built from, except the grid (widgets/grid.h): panels and title
// bands, the toolbar and its flat buttons, labels, bevel lines, data-bound edits and memos, the
// editable drop-down list and the date picker.
//
// Each control is created by its window: `auto* b = form.Add<FlatButton>(toolbar, "tbok");`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "rtl/datetime.h"
#include "widgets/control.h"
#include "widgets/datasource.h"

namespace widgets {

// A panel or title band: a background in its colour, an optional caption drawn in its font with
// the given alignment (centred by default, vertically centred too), an optional bevel.
class Panel : public Control {
 public:
  Panel(Form* form, Control* parent, std::string name);
  const char* Kind() const override { return "Panel"; }
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  Alignment CaptionAlignment() const { return alignment_; }
  void SetCaptionAlignment(Alignment alignment);
  BevelKind BevelOuter() const { return bevel_outer_; }
  void SetBevelOuter(BevelKind bevel);

 private:
  std::string caption_;
  Alignment alignment_ = Alignment::Center;
  BevelKind bevel_outer_ = BevelKind::Raised;
};

// A toolbar: a row of flat buttons of one height. Its visible buttons stand left to right in
// creation order, each directly right of the one before; a hidden button takes no room.
class ToolBar : public Control {
 public:
  ToolBar(Form* form, Control* parent, std::string name);
  const char* Kind() const override { return "ToolBar"; }
  bool Focusable() const override { return false; }
  int ButtonHeight() const { return button_height_; }
  void SetButtonHeight(int height);
  // Places the buttons (also done whenever a button's visibility or width changes).
  void Arrange();

 protected:
  void ArrangeChildren() override;
  void ChildChanged(Control* child) override { Arrange(); }

 private:
  int button_height_ = 22;
  bool arranging_ = false;
};

enum class GlyphLayout { Top, Left };

// A flat button: a caption with a 16 x 16 picture above or left of it, a border colour, and a
// click event. It never takes the keyboard focus, so clicking it leaves the focus where it is.
class FlatButton : public Control {
 public:
  FlatButton(Form* form, Control* parent, std::string name);
  const char* Kind() const override { return "FlatButton"; }
  bool Focusable() const override { return false; }

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  // The picture, by its name in the module's picture table (widgets/glyphs.h); empty: none.
  const std::string& Glyph() const { return glyph_; }
  void SetGlyph(std::string glyph);
  GlyphLayout GetGlyphLayout() const { return glyph_layout_; }
  void SetGlyphLayout(GlyphLayout layout);
  Color BorderColor() const { return border_color_; }
  void SetBorderColor(Color color);

  NotifyEvent OnClick;

  // The program clicks the button: runs the click event (errors reach the caller).
  void Click();
  // The operator clicks it. A button that is not showing cannot be clicked: false, nothing runs.
  // A disabled one ignores the click: true, nothing runs. Otherwise what the operator was typing
  // into the focused control is stored first (Form::FinishEditing), then the click event runs.
  bool UserClick();

 private:
  std::string caption_;
  std::string glyph_;
  GlyphLayout glyph_layout_ = GlyphLayout::Top;
  Color border_color_ = kClBtnFace;
};

// A text label (anti-aliased on the screen).
class Label : public Control {
 public:
  Label(Form* form, Control* parent, std::string name);
  const char* Kind() const override { return "Label"; }
  bool Focusable() const override { return false; }
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool transparent);

 private:
  std::string caption_;
  bool transparent_ = true;
};

// A one-pixel line along the top edge of its bounds.
class Bevel : public Control {
 public:
  Bevel(Form* form, Control* parent, std::string name);
  const char* Kind() const override { return "Bevel"; }
  bool Focusable() const override { return false; }
};

// Shared by the data-bound edit and memo: shows the text of one field of the source's current
// row and, when enabled and not read-only, lets the operator change it. What the operator types
// is written to the field at once (the row starts being edited first), so it is stored whatever
// the program does next.
class DBTextControl : public Control, private DataClient {
 public:
  DBTextControl(Form* form, Control* parent, std::string name);
  ~DBTextControl() override;

  DataSource* GetDataSource() const { return source_; }
  void SetDataSource(DataSource* source);
  const std::string& DataField() const { return data_field_; }
  void SetDataField(std::string field);
  // Both at once.
  void Bind(DataSource* source, std::string field);

  // The field's text on the current record; empty when unbound, closed, empty or the field is
  // unknown.
  std::string Text() const;

  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool read_only);
  // Drawn with a border (true) or without.
  bool HasBorder() const { return border_; }
  void SetBorder(bool border);

  NotifyEvent OnChange;

  // The operator replaces the text with `text` (typing it): the field receives it and the change
  // event runs. Nothing happens when the control is disabled or read-only.
  void UserType(std::string_view text);

 private:
  void DataEvent(RowModelObserver::Event event) override;
  DataSource* source_ = nullptr;
  std::string data_field_;
  bool read_only_ = false;
  bool border_ = true;
};

class DBEdit : public DBTextControl {
 public:
  using DBTextControl::DBTextControl;
  const char* Kind() const override { return "DBEdit"; }
};

class DBMemo : public DBTextControl {
 public:
  using DBTextControl::DBTextControl;
  const char* Kind() const override { return "DBMemo"; }
};

// An editable drop-down list: a text field with a list of items that opens below it.
//
// Events, as the operator raises them:
//  - typing a character: key-down (the handler may change the key; 0 drops it), then the text
//    changes (the first character after the control received the focus replaces the whole text,
//    later ones are appended), then change;
//  - choosing an item (UserChooseItem, or Up/Down): the text becomes the item, the list closes,
//    then click, then change;
//  - Enter and Escape close an open list; F4 opens or closes it;
//  - double click: the double-click event only;
//  - leaving the control: exit.
// Text and items set by the program raise no event.
class ComboBox : public Control {
 public:
  ComboBox(Form* form, Control* parent, std::string name);
  const char* Kind() const override { return "ComboBox"; }

  const std::vector<std::string>& Items() const { return items_; }
  void AddItem(std::string item);
  void ClearItems();
  void SetItems(std::vector<std::string> items);
  const std::string& Text() const { return text_; }
  void SetText(std::string text);
  // The position of the first item equal to the text, or -1.
  int ItemIndex() const;
  bool DroppedDown() const { return dropped_down_; }
  void SetDroppedDown(bool dropped);
  // Rows the open list shows at a time.
  int DropDownCount() const { return drop_down_count_; }
  void SetDropDownCount(int rows) { drop_down_count_ = rows; }
  // Colour of the arrow button.
  Color ButtonColor() const { return button_color_; }
  void SetButtonColor(Color color);

  NotifyEvent OnChange;
  NotifyEvent OnClick;
  NotifyEvent OnDblClick;
  KeyEvent OnKeyDown;

  void UserChooseItem(int index);
  void UserType(std::string_view text);
  void UserKeyDown(int key, ShiftState shift = 0);
  void UserDoubleClick();
  // The operator clicks the arrow: the list opens, or closes when it is open.
  void UserToggleList();

 protected:
  void FocusReceived() override;

 private:
  void Choose(int index);
  void TypeChar(const std::string& ch, int key);
  std::vector<std::string> items_;
  std::string text_;
  bool dropped_down_ = false;
  bool replace_on_type_ = true;
  int drop_down_count_ = 8;
  Color button_color_ = kClBtnFace;
};

// A date picker: a date without time of day, shown in the system's short date form, with a
// calendar that drops down below it (aligned with its left edge). No free-text entry.
class DatePicker : public Control {
 public:
  DatePicker(Form* form, Control* parent, std::string name);
  const char* Kind() const override { return "DatePicker"; }

  rtl::DateTime Date() const { return date_; }
  // Keeps the calendar day of `date` (the time of day is dropped).
  void SetDate(rtl::DateTime date);
  // The date as shown: the system's short date form (not the module's own setting).
  std::string Text() const;
  bool DroppedDown() const { return dropped_down_; }

  NotifyEvent OnChange;

  // The operator opens the calendar, picks the day of `date`, and the calendar closes; change
  // runs when the date differs.
  void UserPickDate(rtl::DateTime date);

 private:
  rtl::DateTime date_;
  bool dropped_down_ = false;
};

}  // namespace widgets
