#include "widgets/controls.h"

#include "rtl/error.h"
#include "widgets/application.h"
#include "widgets/form.h"

namespace widgets {

// --- Panel ---

Panel::Panel(Form* form, Control* parent, std::string name)
    : Control(form, parent, std::move(name)) {
  SetTabStop(false);
}

void Panel::SetCaption(std::string caption) {
  caption_ = std::move(caption);
  Changed(Change::Caption);
}

void Panel::SetCaptionAlignment(Alignment alignment) {
  alignment_ = alignment;
  Changed(Change::Caption);
}

void Panel::SetBevelOuter(BevelKind bevel) {
  bevel_outer_ = bevel;
  Changed(Change::State);
}

// --- ToolBar ---

ToolBar::ToolBar(Form* form, Control* parent, std::string name)
    : Control(form, parent, std::move(name)) {}

void ToolBar::SetButtonHeight(int height) {
  button_height_ = height;
  Arrange();
}

void ToolBar::ArrangeChildren() {
  Arrange();
}

void ToolBar::Arrange() {
  if (arranging_) return;
  arranging_ = true;
  int x = 0;
  for (Control* c : Children()) {
    if (!c->Visible()) continue;
    c->PlaceAt({x, 2, c->Width(), button_height_});
    x += c->Width();
  }
  arranging_ = false;
}

// --- FlatButton ---

FlatButton::FlatButton(Form* form, Control* parent, std::string name)
    : Control(form, parent, std::move(name)) {
  RegisterEvent("OnClick", &OnClick);
}

void FlatButton::SetCaption(std::string caption) {
  caption_ = std::move(caption);
  Changed(Change::Caption);
}

void FlatButton::SetGlyph(std::string glyph) {
  glyph_ = std::move(glyph);
  Changed(Change::Caption);
}

void FlatButton::SetGlyphLayout(GlyphLayout layout) {
  glyph_layout_ = layout;
  Changed(Change::Caption);
}

void FlatButton::SetBorderColor(Color color) {
  border_color_ = color;
  Changed(Change::Color);
}

void FlatButton::Click() {
  OnClick(*this);
}

bool FlatButton::UserClick() {
  if (!Showing() || !Window().IsShown()) return false;
  App().Guard([&] {
    if (!EffectivelyEnabled()) return;
    Window().FinishEditing();
    OnClick(*this);
  });
  return true;
}

// --- Label, Bevel ---

Label::Label(Form* form, Control* parent, std::string name)
    : Control(form, parent, std::move(name)) {}

void Label::SetCaption(std::string caption) {
  caption_ = std::move(caption);
  Changed(Change::Caption);
}

void Label::SetTransparent(bool transparent) {
  transparent_ = transparent;
  Changed(Change::Color);
}

Bevel::Bevel(Form* form, Control* parent, std::string name)
    : Control(form, parent, std::move(name)) {}

// --- DBTextControl ---

DBTextControl::DBTextControl(Form* form, Control* parent, std::string name)
    : Control(form, parent, std::move(name)) {
  RegisterEvent("OnChange", &OnChange);
}

DBTextControl::~DBTextControl() {
  if (source_ != nullptr) source_->Detach(this);
}

void DBTextControl::SetDataSource(DataSource* source) {
  if (source_ == source) return;
  if (source_ != nullptr) source_->Detach(this);
  source_ = source;
  if (source_ != nullptr) source_->Attach(this);
  Changed(Change::Data);
}

void DBTextControl::SetDataField(std::string field) {
  data_field_ = std::move(field);
  Changed(Change::Data);
}

void DBTextControl::Bind(DataSource* source, std::string field) {
  SetDataField(std::move(field));
  SetDataSource(source);
}

std::string DBTextControl::Text() const {
  RowModel* model = source_ != nullptr ? source_->Model() : nullptr;
  if (model == nullptr || !model->Active()) return {};
  if (model->RowCount() == 0 && !model->Adding()) return {};
  return model->HasField(data_field_) ? model->Text(data_field_) : std::string();
}

void DBTextControl::SetReadOnly(bool read_only) {
  read_only_ = read_only;
  Changed(Change::State);
}

void DBTextControl::SetBorder(bool border) {
  border_ = border;
  Changed(Change::State);
}

void DBTextControl::UserType(std::string_view text) {
  Operate(true, [&] {
    if (!EffectivelyEnabled() || read_only_) return;
    RowModel* model = source_ != nullptr ? source_->Model() : nullptr;
    if (model == nullptr || !model->Active()) return;
    model->SetText(data_field_, text);
    Changed(Change::Text);
    OnChange(*this);
  });
}

void DBTextControl::DataEvent(RowModelObserver::Event) {
  Changed(Change::Data);
}

// --- ComboBox ---

ComboBox::ComboBox(Form* form, Control* parent, std::string name)
    : Control(form, parent, std::move(name)) {
  RegisterEvent("OnChange", &OnChange);
  RegisterEvent("OnClick", &OnClick);
  RegisterEvent("OnDblClick", &OnDblClick);
  RegisterEvent("OnKeyDown", &OnKeyDown);
}

void ComboBox::AddItem(std::string item) {
  items_.push_back(std::move(item));
  Changed(Change::Items);
}

void ComboBox::ClearItems() {
  items_.clear();
  Changed(Change::Items);
}

void ComboBox::SetItems(std::vector<std::string> items) {
  items_ = std::move(items);
  Changed(Change::Items);
}

void ComboBox::SetText(std::string text) {
  text_ = std::move(text);
  Changed(Change::Text);
}

int ComboBox::ItemIndex() const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i] == text_) return static_cast<int>(i);
  }
  return -1;
}

void ComboBox::SetDroppedDown(bool dropped) {
  if (dropped_down_ == dropped) return;
  dropped_down_ = dropped;
  Changed(Change::State);
}

void ComboBox::SetButtonColor(Color color) {
  button_color_ = color;
  Changed(Change::Color);
}

void ComboBox::FocusReceived() {
  replace_on_type_ = true;
}

void ComboBox::Choose(int index) {
  text_ = items_[static_cast<size_t>(index)];
  SetDroppedDown(false);
  replace_on_type_ = true;
  Changed(Change::Text);
  OnClick(*this);
  OnChange(*this);
}

void ComboBox::UserChooseItem(int index) {
  Operate(true, [&] {
    if (index < 0 || index >= static_cast<int>(items_.size())) return;
    Choose(index);
  });
}

void ComboBox::TypeChar(const std::string& ch, int key) {
  int k = key;
  if (OnKeyDown) OnKeyDown(*this, k, 0);
  if (k == 0) return;
  text_ = replace_on_type_ ? ch : text_ + ch;
  replace_on_type_ = false;
  Changed(Change::Text);
  OnChange(*this);
}

void ComboBox::UserType(std::string_view text) {
  Operate(true, [&] {
    for (const std::string& ch : Utf8Chars(text)) TypeChar(ch, KeyCodeOfChar(CodePoint(ch)));
  });
}

void ComboBox::UserKeyDown(int key, ShiftState shift) {
  Operate(true, [&] {
    int k = key;
    if (OnKeyDown) OnKeyDown(*this, k, shift);
    switch (k) {
      case kVkReturn:
      case kVkEscape:
        SetDroppedDown(false);
        break;
      case kVkF4:
        SetDroppedDown(!dropped_down_);
        break;
      case kVkDown: {
        int next = ItemIndex() + 1;
        if (next < static_cast<int>(items_.size())) Choose(next);
        break;
      }
      case kVkUp: {
        int prev = ItemIndex() - 1;
        if (prev >= 0) Choose(prev);
        break;
      }
      case kVkBack: {
        if (text_.empty()) break;
        std::vector<std::string> chars = Utf8Chars(text_);
        chars.pop_back();
        text_.clear();
        for (const auto& c : chars) text_ += c;
        replace_on_type_ = false;
        Changed(Change::Text);
        OnChange(*this);
        break;
      }
      case kVkTab:
        Window().FocusNext(this, (shift & kShift) == 0);
        break;
      default:
        break;
    }
  });
}

void ComboBox::UserDoubleClick() {
  Operate(true, [&] { OnDblClick(*this); });
}

void ComboBox::UserToggleList() {
  Operate(true, [&] { SetDroppedDown(!dropped_down_); });
}

// --- DatePicker ---

DatePicker::DatePicker(Form* form, Control* parent, std::string name)
    : Control(form, parent, std::move(name)) {
  RegisterEvent("OnChange", &OnChange);
  date_ = rtl::DateOf(rtl::Today());
}

void DatePicker::SetDate(rtl::DateTime date) {
  date_ = rtl::DateOf(date);
  Changed(Change::Text);
}

std::string DatePicker::Text() const {
  return rtl::FormatDate(rtl::SystemShortDateFormat(), date_);
}

void DatePicker::UserPickDate(rtl::DateTime date) {
  Operate(true, [&] {
    dropped_down_ = true;
    Changed(Change::State);
    rtl::DateTime picked = rtl::DateOf(date);
    bool changed = !(picked == date_);
    date_ = picked;
    dropped_down_ = false;
    Changed(Change::Text);
    if (changed) OnChange(*this);
  });
}

}  // namespace widgets
