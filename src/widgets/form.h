// A top-level window of the module. Created by the application object (Application::CreateForm),
// owned by it, and owned on the screen by the application window (the host's window).
//
// A window owns its controls and its data sources. Its layout is built in the constructor of the
// window class: controls are added with Add<T>(parent, name), data sources over the rows they
// show with AddDataSource, and events are bound either to handlers or, by name, to operations
// that the window publishes (Publish, Bind). Named bindings are resolved once the most derived
// constructor has run (Application::CreateForm calls ResolveBindings), so a derived window that
// publishes an operation under a base operation's name takes over every event bound to that name.
//
// Modal showing (ShowModal): the window appears, every other window of the module and of the
// host is disabled, the activation event runs once, and the platform's modal loop dispatches
// operator input until the window is closed; then the others are enabled again and the window
// that was active before becomes active again. Activation does not run again when a window or
// message box opened from this one returns control to it.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "widgets/control.h"

namespace widgets {

class Application;
class DataSource;
class RowModel;

enum class CloseAction { None, Hide, Free };

// The platform's non-client hit-test message: the point on the screen, and the result the
// platform would give (kHtCaption on the caption bar). A handler may change the result.
struct HitTestMessage {
  int x = 0, y = 0;
  int result = 0;
};

// Frame thickness of a window on each side (caption bar included in `top`).
struct Insets {
  int left = 0, top = 0, right = 0, bottom = 0;
};

class Form : public Control {
 public:
  Form(Application& app, std::string name);
  ~Form() override;
  const char* Kind() const override { return "Form"; }

  Application& App() const { return *app_; }

  // --- Layout of the window itself. ---
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  BorderStyle GetBorderStyle() const { return border_style_; }
  void SetBorderStyle(BorderStyle style);
  unsigned BorderIcons() const { return border_icons_; }
  void SetBorderIcons(unsigned icons);
  // An inner border inside the frame, in pixels.
  int BorderWidth() const { return border_width_; }
  void SetBorderWidth(int width);
  Position GetPosition() const { return position_; }
  void SetPosition(Position position) { position_ = position; }
  Insets Frame() const;
  int ClientWidth() const override;
  int ClientHeight() const override;
  void SetClientSize(int width, int height);

  // --- Controls and data sources. ---
  template <class T, class... Args>
  T* Add(Control* parent, std::string name, Args&&... args) {
    auto control = std::make_unique<T>(this, parent != nullptr ? parent : this, std::move(name),
                                       std::forward<Args>(args)...);
    T* raw = control.get();
    Adopt(std::move(control));
    return raw;
  }
  // Every control of the window in creation order.
  const std::vector<std::unique_ptr<Control>>& Controls() const { return controls_; }
  Control* FindControl(std::string_view name) const;
  template <class T>
  T* Find(std::string_view name) const {
    return dynamic_cast<T*>(FindControl(name));
  }

  // A data source over `model` (which outlives it or tells it that it goes away), owned by this
  // window.
  DataSource* AddDataSource(std::string name, RowModel* model);
  DataSource* FindDataSource(std::string_view name) const;

  // --- Operations bound by name. ---
  // Each operation of a window is registered once, in the constructor of the window class that
  // defines it: with Bind when the class's layout also binds an event to it, with Publish alone
  // when it is bound elsewhere (a base layout's button that a derived window takes over) or not at
  // all. Base windows register theirs first, derived windows afterwards, so the most derived
  // operation of a name wins:
  //
  //   Bind(tbprint->OnClick, "tbprintClick", &TFM_X::tbprintClick);  // layout and operation
  //   Publish("TbOKClick", &TFM_X::TbOKClick);  // takes over the base layout's tbok
  //
  // Publishes (or replaces) the operation `name`: a member function of the window class W.
  template <class W, class... Args>
  void Publish(const std::string& name, void (W::*method)(Args...)) {
    static_assert(std::is_base_of_v<Form, W>, "an operation is a member of the window");
    W* self = static_cast<W*>(this);
    PublishAny(name, std::function<void(Args...)>([self, method](Args... args) {
                 (self->*method)(std::forward<Args>(args)...);
               }));
  }
  // Publishes a handler that takes only its sender (tests and small windows).
  void Publish(std::string name, NotifyHandler operation) {
    PublishAny(std::move(name), std::move(operation));
  }
  // Publishes `method` under `name` and binds `event` to that name.
  template <class W, class... Args>
  void Bind(Event<Args...>& event, std::string name, void (W::*method)(Args...)) {
    Publish(name, method);
    event.Bind(std::move(name));
  }
  // Whether an operation of that name is published.
  bool HasOperation(std::string_view name) const;
  // Resolves every named event binding of the window and its controls against the published
  // operations. A name that no operation answers, or one whose operation takes other arguments
  // than the event passes, fails with an error naming it. Called by Application::CreateForm
  // once the window is fully constructed; ShowModal calls it when that has not happened.
  void ResolveBindings();

  // --- Showing and closing. ---
  // Shows the window modally and returns its modal result when it has been closed.
  int ShowModal();
  bool IsModal() const { return modal_; }
  // Whether the window is on the screen.
  bool IsShown() const { return shown_; }
  int ModalResult() const { return modal_result_; }
  void SetModalResult(int result) { modal_result_ = result; }
  // Closes the window: a modal window ends its modal run (its result becomes kMrCancel when none
  // was set); the close event runs when the run ends, with the action Hide, and may change it
  // (None keeps the window open, Free releases it). A window that is not modal runs the close
  // event at once and hides.
  void Close();
  // Schedules the window's destruction: it is destroyed by the next turn of the modal loop that
  // is running once this window's own modal run has returned (or by Application::ProcessReleases).
  void Release();
  bool ReleasePending() const { return release_pending_; }

  NotifyEvent OnActivate;
  Event<Object&, CloseAction&> OnClose;  // sender, action
  Event<HitTestMessage&> OnNcHitTest;

  // --- Focus. ---
  Control* ActiveControl() const { return active_control_; }
  // Moves the focus to the first control in tab order that can take it (nothing when none can).
  void FocusFirstControl();
  // Focusable controls in tab order.
  std::vector<Control*> TabOrderList() const;
  // Moves the focus to the next (or previous) control in tab order that can take it.
  void FocusNext(Control* from, bool forward);

  // --- Operator actions on the window itself. ---
  // The platform's close command (close box, Alt+F4).
  void UserClose();
  // The operator drags the caption bar by (dx, dy): the window asks its hit-test handler what the
  // point is; only a caption point moves the window.
  void UserDragCaption(int dx, int dy);

  // Stores what the operator was typing into the focused control (Control::FinishEditing).
  void FinishEditing() override;

 protected:
  void ArrangeChildren() override;
  // Takes the window's native side, its controls and its data sources down (what the destructor
  // does first). A derived window that owns what the controls show (rows) calls it before that
  // goes, so that no control is told about it while it is torn down; afterwards the window shows
  // nothing and must not be shown again.
  void DestroyContents();

 private:
  friend class Control;
  friend class Application;
  void Adopt(std::unique_ptr<Control> control);
  void PublishAny(std::string name, std::any operation);
  void MoveFocus(Control* control);  // exit then enter events
  void ControlGone(Control* control);
  bool CloseModal();  // the close event at the end of a modal run; false when it keeps the window
  int NextTabOrder() { return next_tab_order_++; }

  Application* app_;
  std::string caption_;
  BorderStyle border_style_ = BorderStyle::Sizeable;
  unsigned border_icons_ = kBiSystemMenu | kBiMinimize | kBiMaximize;
  int border_width_ = 0;
  Position position_ = Position::Designed;
  std::vector<std::unique_ptr<Control>> controls_;
  std::vector<std::unique_ptr<DataSource>> sources_;
  std::map<std::string, std::any, std::less<>> operations_;
  bool bindings_resolved_ = false;
  bool modal_ = false;
  bool shown_ = false;
  bool release_pending_ = false;
  bool destroying_ = false;
  int modal_result_ = kMrNone;
  Control* active_control_ = nullptr;
  int next_tab_order_ = 0;
};

}  // namespace widgets
