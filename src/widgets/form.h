// A top-level window of the module. Created by the application object (Application::CreateForm),
// owned by it, and owned on the screen by the application window (the host's window).
//
// A window owns its controls, its data sources and its client datasets. Its layout is built in
// the constructor of the window class: controls are added with Add<T>(parent, name), datasets
// with AddDataSet, and events are bound either to handlers or, by name, to operations that the
// window publishes (Publish). Named bindings are resolved once the most derived constructor has
// run (Application::CreateForm calls ResolveBindings), so a derived window that publishes an
// operation under a base operation's name takes over every event bound to that name.
//
// Modal showing (ShowModal): the window appears, every other window of the module and of the
// host is disabled, the activation event runs once, and the platform's modal loop dispatches
// operator input until the window is closed; then the others are enabled again and the window
// that was active before becomes active again. Activation does not run again when a window or
// message box opened from this one returns control to it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "widgets/control.h"

namespace data {
class ClientDataSet;
}

namespace widgets {

class Application;
class DataSource;

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

  // --- Controls, data sources and datasets. ---
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

  // Creates a dataset owned by this window and stores it in `*slot` (the window's member that
  // names it). Destroying the dataset through DestroyDataSet empties the slot, so the window
  // neither uses nor destroys it again.
  data::ClientDataSet* AddDataSet(data::ClientDataSet** slot, std::string name);
  // Takes over a dataset created elsewhere.
  data::ClientDataSet* AdoptDataSet(std::unique_ptr<data::ClientDataSet> dataset,
                                    data::ClientDataSet** slot);
  bool OwnsDataSet(const data::ClientDataSet* dataset) const;
  // Destroys a dataset of this window: every data source, grid and data-bound control that
  // shows it lets go of it first (the dataset's destruction tells them), then the slot is emptied.
  void DestroyDataSet(data::ClientDataSet* dataset);
  data::ClientDataSet* FindDataSet(std::string_view name) const;
  DataSource* AddDataSource(std::string name, data::ClientDataSet* dataset);
  DataSource* FindDataSource(std::string_view name) const;

  // --- Operations bound by name. ---
  // Publishes (or replaces) the operation `name`. Base windows publish theirs in their
  // constructor, derived windows afterwards, so the most derived operation of a name wins.
  void Publish(std::string name, NotifyHandler operation);
  // The published operation of that name, or null.
  const NotifyHandler* Operation(std::string_view name) const;
  // Resolves every named event binding of the window and its controls against the published
  // operations. A name that no operation answers fails with an error naming it. Called by
  // Application::CreateForm once the window is fully constructed; ShowModal calls it when that
  // has not happened.
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
  std::function<void(Object& sender, CloseAction& action)> OnClose;
  std::function<void(HitTestMessage& message)> OnNcHitTest;

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

 private:
  friend class Control;
  friend class Application;
  void Adopt(std::unique_ptr<Control> control);
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
  struct OwnedDataSet;
  std::vector<OwnedDataSet> datasets_;
  std::vector<std::unique_ptr<DataSource>> sources_;
  std::map<std::string, NotifyHandler, std::less<>> operations_;
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
