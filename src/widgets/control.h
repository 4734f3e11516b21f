// The base of every visual element: a named control with a parent, bounds, alignment,
// visibility, an enabled state, a colour and a font, and the keyboard focus events.
//
// Controls are created by their window (Form::Add) and owned by it; the window destroys them.
// Every change a program makes through a setter is passed to the platform (Platform::Changed),
// which redraws; no setter raises an event. What an operator does enters through the User*
// methods of each control: they raise the events the operator's action raises, in the order
// the control documents, and an error from any handler ends the action and reaches the
// application's error display (Application::Guard).
#pragma once

#include <any>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "widgets/types.h"

namespace widgets {

class Form;
class Control;
class Application;

// Anything that can be the sender of an event.
class Object {
 public:
  explicit Object(std::string name) : name_(std::move(name)) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  // The component name ("tbok", "dg_qmdwlrt2"); scenarios and the native driver find controls by
  // it.
  const std::string& Name() const { return name_; }
  // The kind of control ("FlatButton", "Grid"), as observations report it.
  virtual const char* Kind() const { return "Object"; }

 private:
  std::string name_;
};

// An event that can be bound by name. Every event of the toolkit is one: it is either set to a
// handler directly, or bound to the name of an operation of the window; a named binding is
// resolved against the most derived window when the window is built (Form::ResolveBindings), so a
// derived window that publishes an operation of the same name takes the event over.
class NamedEvent {
 public:
  NamedEvent() = default;
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;
  virtual ~NamedEvent() = default;

  // Binds the event to the window operation `method` (resolved when the window is built).
  void Bind(std::string method) {
    method_ = std::move(method);
    Reset();
  }
  const std::string& Method() const { return method_; }

 protected:
  friend class Form;
  // Takes the published operation `operation` (a std::function); false when its signature is
  // not this event's.
  virtual bool Resolve(const std::any& operation) = 0;
  virtual void Reset() = 0;
  std::string method_;
};

// An event whose handlers take `Args`. Raising an event without a handler does nothing.
template <class... Args>
class Event final : public NamedEvent {
 public:
  using Handler = std::function<void(Args...)>;

  Event& operator=(Handler handler) {
    handler_ = std::move(handler);
    method_.clear();
    return *this;
  }
  // Clears both the handler and the binding.
  void Clear() {
    handler_ = nullptr;
    method_.clear();
  }
  bool Assigned() const { return static_cast<bool>(handler_); }
  explicit operator bool() const { return Assigned(); }
  void operator()(Args... args) const {
    if (handler_) handler_(std::forward<Args>(args)...);
  }

 private:
  bool Resolve(const std::any& operation) override {
    const Handler* h = std::any_cast<Handler>(&operation);
    if (h == nullptr) return false;
    handler_ = *h;
    return true;
  }
  void Reset() override { handler_ = nullptr; }
  Handler handler_;
};

// An event that passes only its sender (click, change, enter, exit...).
using NotifyEvent = Event<Object&>;
using NotifyHandler = NotifyEvent::Handler;
// A key going down: the handler may change the key (0 drops it).
using KeyEvent = Event<Object&, int&, ShiftState>;

// What changed, for the platform's redraw.
enum class Change {
  Bounds,
  Visibility,
  Enabled,
  Caption,
  Text,
  Color,
  Font,
  Data,
  Items,
  State,
  Focus
};

// Native side of a control (a window handle and its drawing); created by the platform.
class Peer {
 public:
  virtual ~Peer() = default;
};

class Control : public Object {
 public:
  ~Control() override;

  Form& Window() const { return *form_; }
  Control* Parent() const { return parent_; }
  const std::vector<Control*>& Children() const { return children_; }
  Application& App() const;

  // --- Bounds, relative to the parent's client area. ---
  int Left() const { return bounds_.left; }
  int Top() const { return bounds_.top; }
  int Width() const { return bounds_.width; }
  int Height() const { return bounds_.height; }
  Rect Bounds() const { return bounds_; }
  void SetBounds(int left, int top, int width, int height);
  void SetLeft(int v) { SetBounds(v, bounds_.top, bounds_.width, bounds_.height); }
  void SetTop(int v) { SetBounds(bounds_.left, v, bounds_.width, bounds_.height); }
  void SetWidth(int v) { SetBounds(bounds_.left, bounds_.top, v, bounds_.height); }
  void SetHeight(int v) { SetBounds(bounds_.left, bounds_.top, bounds_.width, v); }
  // Aligned controls are placed by their parent: top-aligned ones from the top edge down in
  // creation order, bottom-aligned ones from the bottom up, then left, right, and the client-
  // aligned one fills what is left. Width (top/bottom) or height (left/right) follow the parent.
  Align GetAlign() const { return align_; }
  void SetAlign(Align align);
  // The client area's size: the bounds less the frame (windows) or border (panels).
  virtual int ClientWidth() const { return bounds_.width; }
  virtual int ClientHeight() const { return bounds_.height; }

  // --- State. ---
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  // Visible and every parent visible.
  bool Showing() const;
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  // Enabled and every parent enabled.
  bool EffectivelyEnabled() const;

  // The background colour; by default the parent's.
  Color GetColor() const;
  void SetColor(Color color);
  bool ParentColor() const { return parent_color_; }
  // The font; by default the parent's.
  const Font& GetFont() const;
  void SetFont(const Font& font);
  bool ParentFont() const { return parent_font_; }

  // --- Keyboard focus. ---
  // Whether the control can hold the keyboard focus at all (labels and flat buttons cannot).
  virtual bool Focusable() const { return true; }
  // Whether it can receive it now: focusable, showing, enabled and its window shown.
  bool CanFocus() const;
  bool Focused() const;
  // Gives it the focus: the control that loses it runs its exit event, then this one its enter
  // event. Fails with "Cannot focus a disabled or invisible window" when it cannot receive it.
  void SetFocus();
  // Tab order among the window's focusable controls; creation order by default.
  int TabOrder() const { return tab_order_; }
  void SetTabOrder(int order);
  bool TabStop() const { return tab_stop_; }
  void SetTabStop(bool stop) { tab_stop_ = stop; }

  NotifyEvent OnEnter;  // received the keyboard focus
  NotifyEvent OnExit;   // lost it

  // The operator puts the focus into this control (a click into it, or Tab).
  void UserFocus();

  // Ends what the operator was typing into the control (an open grid cell editor) as leaving
  // the control would: the text is stored and the control's "edited" event runs. The window
  // calls it before the focus moves away and before an operator's click on another control.
  virtual void FinishEditing() {}

  // Places the bounds without telling the parent: the parent's layout (alignment, toolbars).
  void PlaceAt(const Rect& r);

  // Native side, for the platform's use.
  Peer* GetPeer() const { return peer_.get(); }
  void SetPeer(std::unique_ptr<Peer> peer) { peer_ = std::move(peer); }

  // Every event of this control that can be bound to a window operation by name, with its name
  // ("OnClick"; a part's events carry the part's name: "dg_qmdwlrt2KCSL00.OnDrawFooter").
  const std::vector<std::pair<std::string, NamedEvent*>>& NamedEvents() const { return events_; }

 protected:
  Control(Form* form, Control* parent, std::string name);
  // Tells the platform that the program changed something visible.
  void Changed(Change what);
  void RegisterEvent(std::string event_name, NamedEvent* event) {
    events_.emplace_back(std::move(event_name), event);
  }
  // Lays out aligned children (see SetAlign); called when the bounds or the children change.
  virtual void ArrangeChildren();
  // The area in which aligned children are placed.
  virtual Rect ClientRect() const { return Rect{0, 0, ClientWidth(), ClientHeight()}; }
  // Runs an operator action on this control: the focus first moves here when `focus` says so
  // (and the control can take it), then `action` runs; an error ends it and is displayed.
  void Operate(bool focus, const std::function<void()>& action);
  // A child's bounds or visibility changed; re-arranges when the child is aligned.
  virtual void ChildChanged(Control* child);
  // The control has just received the keyboard focus (before its enter event).
  virtual void FocusReceived() {}

 private:
  friend class Form;
  Form* form_;
  Control* parent_;
  std::vector<Control*> children_;
  Rect bounds_;
  Align align_ = Align::None;
  bool visible_ = true;
  bool enabled_ = true;
  bool parent_color_ = true;
  bool parent_font_ = true;
  Color color_ = kClBtnFace;
  Font font_;
  int tab_order_ = 0;
  bool tab_stop_ = true;
  std::unique_ptr<Peer> peer_;
  std::vector<std::pair<std::string, NamedEvent*>> events_;
};

}  // namespace widgets
