#include "widgets/control.h"

#include <algorithm>

#include "rtl/error.h"
#include "widgets/application.h"
#include "widgets/form.h"
#include "widgets/platform.h"

namespace widgets {

Control::Control(Form* form, Control* parent, std::string name)
    : Object(std::move(name)), form_(form), parent_(parent) {
  RegisterEvent("OnEnter", &OnEnter);
  RegisterEvent("OnExit", &OnExit);
  if (parent_ != nullptr) {
    parent_->children_.push_back(this);
    tab_order_ = form_->NextTabOrder();
  }
}

Control::~Control() {
  if (parent_ != nullptr && !form_->destroying_) {
    auto& siblings = parent_->children_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}

Application& Control::App() const {
  return form_->App();
}

void Control::SetBounds(int left, int top, int width, int height) {
  Rect r{left, top, width, height};
  if (r == bounds_) return;
  bounds_ = r;
  Changed(Change::Bounds);
  ArrangeChildren();
  if (parent_ != nullptr) parent_->ChildChanged(this);
}

void Control::PlaceAt(const Rect& r) {
  if (r == bounds_) return;
  bounds_ = r;
  Changed(Change::Bounds);
  ArrangeChildren();
}

void Control::SetAlign(Align align) {
  if (align_ == align) return;
  align_ = align;
  if (parent_ != nullptr) parent_->ArrangeChildren();
}

void Control::ChildChanged(Control* child) {
  if (child->align_ != Align::None) ArrangeChildren();
}

void Control::ArrangeChildren() {
  Rect r = ClientRect();
  auto place = [&](Align which) {
    for (Control* c : children_) {
      if (c->align_ != which || !c->visible_) continue;
      switch (which) {
        case Align::Top:
          c->PlaceAt({r.left, r.top, r.width, c->bounds_.height});
          r.top += c->bounds_.height;
          r.height -= c->bounds_.height;
          break;
        case Align::Bottom:
          c->PlaceAt({r.left, r.top + r.height - c->bounds_.height, r.width, c->bounds_.height});
          r.height -= c->bounds_.height;
          break;
        case Align::Left:
          c->PlaceAt({r.left, r.top, c->bounds_.width, r.height});
          r.left += c->bounds_.width;
          r.width -= c->bounds_.width;
          break;
        case Align::Right:
          c->PlaceAt({r.left + r.width - c->bounds_.width, r.top, c->bounds_.width, r.height});
          r.width -= c->bounds_.width;
          break;
        case Align::Client:
          c->PlaceAt({r.left, r.top, std::max(0, r.width), std::max(0, r.height)});
          break;
        case Align::None:
          break;
      }
    }
  };
  place(Align::Top);
  place(Align::Bottom);
  place(Align::Left);
  place(Align::Right);
  place(Align::Client);
}

void Control::SetVisible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  Changed(Change::Visibility);
  if (parent_ != nullptr) parent_->ChildChanged(this);
}

bool Control::Showing() const {
  if (!visible_) return false;
  return parent_ == nullptr || parent_->Showing();
}

void Control::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  Changed(Change::Enabled);
}

bool Control::EffectivelyEnabled() const {
  if (!enabled_) return false;
  return parent_ == nullptr || parent_->EffectivelyEnabled();
}

Color Control::GetColor() const {
  if (parent_color_ && parent_ != nullptr) return parent_->GetColor();
  return color_;
}

void Control::SetColor(Color color) {
  parent_color_ = false;
  color_ = color;
  Changed(Change::Color);
}

const Font& Control::GetFont() const {
  if (parent_font_ && parent_ != nullptr) return parent_->GetFont();
  return font_;
}

void Control::SetFont(const Font& font) {
  parent_font_ = false;
  font_ = font;
  Changed(Change::Font);
}

bool Control::CanFocus() const {
  return Focusable() && form_->IsShown() && Showing() && EffectivelyEnabled();
}

bool Control::Focused() const {
  return form_->active_control_ == this;
}

void Control::SetFocus() {
  if (!CanFocus()) throw rtl::Error("Cannot focus a disabled or invisible window");
  form_->MoveFocus(this);
}

void Control::SetTabOrder(int order) {
  tab_order_ = order;
}

void Control::UserFocus() {
  App().Guard([&] {
    if (CanFocus()) form_->MoveFocus(this);
  });
}

void Control::Operate(bool focus, const std::function<void()>& action) {
  App().Guard([&] {
    if (focus && CanFocus() && !Focused()) form_->MoveFocus(this);
    action();
  });
}

void Control::Changed(Change what) {
  App().GetPlatform().Changed(*this, what);
}

}  // namespace widgets
