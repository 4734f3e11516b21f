#include "widgets/form.h"

#include <algorithm>

#include "rtl/error.h"
#include "widgets/application.h"
#include "widgets/datasource.h"
#include "widgets/platform.h"

namespace widgets {

Form::Form(Application& app, std::string name)
    : Control(this, nullptr, std::move(name)), app_(&app) {
  visible_ = false;
  parent_color_ = false;
  parent_font_ = false;
  font_ = ModuleFont();
  RegisterEvent("OnActivate", &OnActivate);
  RegisterEvent("OnClose", &OnClose);
  RegisterEvent("OnNcHitTest", &OnNcHitTest);
}

Form::~Form() {
  DestroyContents();
}

void Form::DestroyContents() {
  if (destroying_) return;
  destroying_ = true;
  Platform& platform = app_->GetPlatform();
  for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) platform.Destroying(**it);
  platform.Destroying(*this);
  active_control_ = nullptr;
  while (!controls_.empty()) controls_.pop_back();
  while (!sources_.empty()) sources_.pop_back();
}

void Form::SetCaption(std::string caption) {
  caption_ = std::move(caption);
  Changed(Change::Caption);
}

void Form::SetBorderStyle(BorderStyle style) {
  border_style_ = style;
  Changed(Change::State);
  ArrangeChildren();
}

void Form::SetBorderIcons(unsigned icons) {
  border_icons_ = icons;
  Changed(Change::State);
}

void Form::SetBorderWidth(int width) {
  border_width_ = width;
  Changed(Change::State);
  ArrangeChildren();
}

Insets Form::Frame() const {
  Insets f = app_->GetPlatform().FrameOf(border_style_);
  f.left += border_width_;
  f.top += border_width_;
  f.right += border_width_;
  f.bottom += border_width_;
  return f;
}

int Form::ClientWidth() const {
  Insets f = Frame();
  return std::max(0, Width() - f.left - f.right);
}

int Form::ClientHeight() const {
  Insets f = Frame();
  return std::max(0, Height() - f.top - f.bottom);
}

void Form::SetClientSize(int width, int height) {
  Insets f = Frame();
  SetBounds(Left(), Top(), width + f.left + f.right, height + f.top + f.bottom);
}

void Form::ArrangeChildren() {
  Control::ArrangeChildren();
}

void Form::Adopt(std::unique_ptr<Control> control) {
  Control* raw = control.get();
  controls_.push_back(std::move(control));
  if (raw->parent_ != nullptr) raw->parent_->ChildChanged(raw);
}

Control* Form::FindControl(std::string_view name) const {
  for (const auto& c : controls_) {
    if (c->Name() == name) return c.get();
  }
  return nullptr;
}

DataSource* Form::AddDataSource(std::string name, RowModel* model) {
  sources_.push_back(std::make_unique<DataSource>(std::move(name), model));
  return sources_.back().get();
}

DataSource* Form::FindDataSource(std::string_view name) const {
  for (const auto& s : sources_) {
    if (s->Name() == name) return s.get();
  }
  return nullptr;
}

void Form::PublishAny(std::string name, std::any operation) {
  operations_[std::move(name)] = std::move(operation);
}

bool Form::HasOperation(std::string_view name) const {
  return operations_.find(name) != operations_.end();
}

void Form::ResolveBindings() {
  auto resolve = [&](Control& owner) {
    for (auto& [event_name, event] : owner.NamedEvents()) {
      if (event->method_.empty()) continue;
      auto op = operations_.find(event->method_);
      if (op == operations_.end()) {
        throw rtl::Error("The window " + Name() + " has no operation " + event->method_ + " for " +
                         owner.Name() + "." + event_name);
      }
      if (!event->Resolve(op->second)) {
        throw rtl::Error("The operation " + event->method_ + " of the window " + Name() +
                         " does not take what " + owner.Name() + "." + event_name + " passes");
      }
    }
  };
  resolve(*this);
  for (auto& c : controls_) resolve(*c);
  bindings_resolved_ = true;
}

int Form::ShowModal() {
  if (shown_) throw rtl::Error("Cannot make a visible window modal");
  if (!bindings_resolved_) ResolveBindings();
  Platform& platform = app_->GetPlatform();
  if (position_ == Position::ScreenCenter) {
    Rect screen = platform.Screen();
    SetBounds(screen.left + (screen.width - Width()) / 2,
              screen.top + (screen.height - Height()) / 2, Width(), Height());
  }
  modal_result_ = kMrNone;
  modal_ = true;
  shown_ = true;
  visible_ = true;
  app_->PushModal(this);
  // Whatever way the run ends (closed, or the headless operator giving up), the window leaves
  // the screen and the others are enabled again.
  struct Ending {
    Form* form;
    bool shown_on_platform = false;
    ~Ending() {
      if (shown_on_platform) {
        try {
          form->app_->GetPlatform().HideModalWindow(*form);
        } catch (...) {  // NOLINT(bugprone-empty-catch): hiding never reports to anyone
        }
      }
      form->shown_ = false;
      form->visible_ = false;
      form->modal_ = false;
      form->app_->PopModal(form);
    }
  } ending{this};
  platform.ShowModalWindow(*this);
  ending.shown_on_platform = true;
  app_->Guard([&] { OnActivate(*this); });
  if (modal_result_ == kMrNone && active_control_ == nullptr) {
    app_->Guard([&] { FocusFirstControl(); });
  }
  for (;;) {
    platform.RunModalLoop(*this);
    if (CloseModal()) break;
  }
  return modal_result_;
}

bool Form::CloseModal() {
  CloseAction action = CloseAction::Hide;
  app_->Guard([&] {
    if (OnClose) OnClose(*this, action);
  });
  if (action == CloseAction::None) {
    modal_result_ = kMrNone;
    return false;
  }
  if (action == CloseAction::Free) Release();
  return true;
}

void Form::Close() {
  if (modal_) {
    modal_result_ = kMrCancel;
    return;
  }
  CloseAction action = CloseAction::Hide;
  if (OnClose) OnClose(*this, action);
  if (action == CloseAction::None) return;
  if (shown_) {
    shown_ = false;
    visible_ = false;
    Changed(Change::Visibility);
  }
  if (action == CloseAction::Free) Release();
}

void Form::Release() {
  release_pending_ = true;
}

std::vector<Control*> Form::TabOrderList() const {
  std::vector<Control*> list;
  for (const auto& c : controls_) {
    if (c->Focusable()) list.push_back(c.get());
  }
  std::stable_sort(list.begin(), list.end(),
                   [](Control* a, Control* b) { return a->TabOrder() < b->TabOrder(); });
  return list;
}

void Form::FocusFirstControl() {
  for (Control* c : TabOrderList()) {
    if (c->TabStop() && c->CanFocus()) {
      MoveFocus(c);
      return;
    }
  }
}

void Form::FocusNext(Control* from, bool forward) {
  std::vector<Control*> list = TabOrderList();
  if (list.empty()) return;
  auto it = std::find(list.begin(), list.end(), from);
  size_t start = it == list.end() ? 0 : static_cast<size_t>(it - list.begin());
  size_t n = list.size();
  for (size_t step = 1; step <= n; ++step) {
    size_t i = forward ? (start + step) % n : (start + n - step % n) % n;
    Control* c = list[i];
    if (c != from && c->TabStop() && c->CanFocus()) {
      MoveFocus(c);
      return;
    }
  }
}

void Form::MoveFocus(Control* control) {
  if (active_control_ == control) return;
  Control* old = active_control_;
  if (old != nullptr) {
    old->FinishEditing();
    old->OnExit(*old);
  }
  active_control_ = control;
  app_->GetPlatform().FocusChanged(*this, control);
  if (control != nullptr) {
    control->FocusReceived();
    control->OnEnter(*control);
  }
}

void Form::FinishEditing() {
  if (active_control_ != nullptr) active_control_->FinishEditing();
}

void Form::UserClose() {
  app_->Guard([&] {
    if (!shown_) return;
    FinishEditing();
    Close();
  });
}

void Form::UserDragCaption(int dx, int dy) {
  app_->Guard([&] {
    if (!shown_) return;
    Insets frame = Frame();
    HitTestMessage message;
    message.x = Left() + Width() / 2;
    message.y = Top() + frame.top / 2;
    message.result = border_style_ == BorderStyle::None ? kHtClient : kHtCaption;
    if (OnNcHitTest) OnNcHitTest(message);
    if (message.result == kHtCaption) SetBounds(Left() + dx, Top() + dy, Width(), Height());
  });
}

}  // namespace widgets
