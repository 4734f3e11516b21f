#include "widgets/headless/headless.h"

#include <algorithm>
#include <exception>

#include "widgets/controls.h"

namespace widgets::headless {

Step Act(std::string description, std::function<void(Screen&)> action) {
  Step s;
  s.kind = Step::Kind::Action;
  s.description = std::move(description);
  s.run = std::move(action);
  return s;
}

Step Check(std::string description, std::function<void(Screen&)> check) {
  Step s;
  s.kind = Step::Kind::Check;
  s.description = std::move(description);
  s.run = std::move(check);
  return s;
}

Step Answer(int button) {
  Step s;
  s.kind = Step::Kind::Answer;
  s.answer = button;
  s.description = std::string("answer ") + ButtonName(button);
  return s;
}

Step Dismiss() {
  Step s;
  s.kind = Step::Kind::Answer;
  s.answer = 0;
  s.description = "dismiss the message box";
  return s;
}

Step Click(const std::string& control) {
  std::string description = "click " + control;
  return Act(std::move(description), [control](Screen& screen) {
    auto& button = screen.Get<FlatButton>(control);
    if (!button.UserClick()) screen.Fail("button " + control + " is not visible");
  });
}

// --- Screen ---

const std::vector<Form*>& Screen::Windows() const {
  return platform_->Windows();
}

Form& Screen::Top() const {
  if (platform_->Windows().empty()) Fail("no window is shown");
  return *platform_->Windows().back();
}

const MessageBoxSpec* Screen::Box() const {
  return platform_->OpenMessageBox();
}

Control& Screen::Find(const std::string& name) const {
  Form& top = Top();
  Control* c = top.FindControl(name);
  if (c == nullptr) Fail("the window " + top.Name() + " has no control " + name);
  return *c;
}

void Screen::Fail(const std::string& message) const {
  platform_->Fail(message);
}

// --- HeadlessPlatform ---

HeadlessPlatform::HeadlessPlatform() = default;

void HeadlessPlatform::SetScript(std::vector<Step> steps) {
  script_.assign(std::make_move_iterator(steps.begin()), std::make_move_iterator(steps.end()));
}

void HeadlessPlatform::Add(Step step) {
  script_.push_back(std::move(step));
}

void HeadlessPlatform::Reset() {
  script_.clear();
  log_.clear();
  failed_ = false;
  failure_.clear();
  step_number_ = 0;
}

void HeadlessPlatform::Fail(const std::string& message) {
  if (!failed_) {
    failed_ = true;
    failure_ = message;
    Observation o;
    o.event = "failure";
    o.text = message;
    o.step = step_number_;
    Observe(std::move(o));
  }
  throw ScriptFailure{failure_};
}

void HeadlessPlatform::Observe(Observation o) {
  log_.push_back(std::move(o));
  if (OnObservation) OnObservation(log_.back());
}

Step HeadlessPlatform::Next(const std::string& waiting) {
  if (failed_) throw ScriptFailure{failure_};
  if (script_.empty()) Fail("the operator's script ran out while " + waiting);
  Step step = std::move(script_.front());
  script_.pop_front();
  ++step_number_;
  Observation o;
  o.event = "step";
  o.text = step.description;
  o.step = step_number_;
  Observe(std::move(o));
  return step;
}

void HeadlessPlatform::RunStep(Step& step) {
  class Screen screen(*this);
  try {
    step.run(screen);
  } catch (const std::exception& e) {
    // An error the controls did not take to the error display: the step itself is wrong.
    Fail("step " + std::to_string(step_number_) + " (" + step.description +
         ") failed: " + e.what());
  }
}

void HeadlessPlatform::ShowModalWindow(Form& form) {
  windows_.push_back(&form);
  Observation o;
  o.event = "window_shown";
  o.window = form.Name();
  o.caption = form.Caption();
  o.owner = form.App().Handle();
  o.step = step_number_;
  Observe(std::move(o));
}

void HeadlessPlatform::RunModalLoop(Form& form) {
  while (form.ModalResult() == kMrNone) {
    form.App().ProcessReleases();
    Step step = Next("the window " + form.Name() + " (\"" + form.Caption() + "\") waits for input");
    if (step.kind == Step::Kind::Answer) {
      Fail("step " + std::to_string(step_number_) + " (" + step.description +
           ") answers a message box, but none is open; the window " + form.Name() +
           " waits for input");
    }
    RunStep(step);
  }
}

void HeadlessPlatform::HideModalWindow(Form& form) {
  auto it = std::find(windows_.rbegin(), windows_.rend(), &form);
  if (it != windows_.rend()) windows_.erase(std::next(it).base());
  Observation o;
  o.event = "window_closed";
  o.window = form.Name();
  o.caption = form.Caption();
  o.result = form.ModalResult();
  o.step = step_number_;
  Observe(std::move(o));
}

int HeadlessPlatform::ShowMessageBox(const MessageBoxSpec& desc) {
  std::vector<int> buttons = MessageBoxButtons(desc.flags);
  Observation o;
  o.event = "message_box";
  o.caption = desc.caption;
  o.text = desc.text;
  o.icon = MessageBoxIconName(desc.flags);
  for (int b : buttons) o.buttons.emplace_back(ButtonName(b));
  o.owner = desc.owner;
  o.step = step_number_;
  size_t index = log_.size();
  Observe(std::move(o));

  const MessageBoxSpec* outer = box_;
  box_ = &desc;
  struct Restore {
    const MessageBoxSpec*& box;
    const MessageBoxSpec* outer;
    ~Restore() { box = outer; }
  } restore{box_, outer};

  for (;;) {
    Step step = Next("the message box \"" + desc.caption + "\": \"" + desc.text + "\" is open");
    if (step.kind == Step::Kind::Check) {
      RunStep(step);
      continue;
    }
    if (step.kind == Step::Kind::Action) {
      Fail("step " + std::to_string(step_number_) + " (" + step.description +
           ") acts on a window, but the message box \"" + desc.caption + "\": \"" + desc.text +
           "\" is open");
    }
    int answer = step.answer;
    if (answer == 0) {
      // Escape or the close box: Cancel where there is one, OK in a box with OK alone.
      if (std::find(buttons.begin(), buttons.end(), kIdCancel) != buttons.end()) {
        answer = kIdCancel;
      } else if (buttons.size() == 1 && buttons[0] == kIdOk) {
        answer = kIdOk;
      } else {
        Fail("step " + std::to_string(step_number_) + ": the message box \"" + desc.text +
             "\" cannot be dismissed, it needs one of its buttons");
      }
    } else if (std::find(buttons.begin(), buttons.end(), answer) == buttons.end()) {
      std::string names;
      for (int b : buttons) names += std::string(names.empty() ? "" : ", ") + ButtonName(b);
      Fail("step " + std::to_string(step_number_) + " answers " + ButtonName(answer) +
           ", but the message box \"" + desc.text + "\" offers " + names);
    }
    log_[index].answer = ButtonName(answer);
    return answer;
  }
}

void HeadlessPlatform::Destroying(Control& control) {
  auto* form = dynamic_cast<Form*>(&control);
  if (form == nullptr) return;
  Observation o;
  o.event = "window_destroyed";
  o.window = form->Name();
  o.caption = form->Caption();
  o.step = step_number_;
  Observe(std::move(o));
}

Insets HeadlessPlatform::FrameOf(BorderStyle style) const {
  switch (style) {
    case BorderStyle::None:
      return {0, 0, 0, 0};
    case BorderStyle::Single:
    case BorderStyle::Dialog:
      return {3, 22, 3, 3};
    case BorderStyle::Sizeable:
      return {4, 23, 4, 4};
  }
  return {};
}

Color HeadlessPlatform::ResolveSystemColor(int index) const {
  // The platform's classic defaults.
  static constexpr Color kDefaults[25] = {
      Rgb(212, 208, 200), Rgb(58, 110, 165),  Rgb(10, 36, 106),   Rgb(128, 128, 128),
      Rgb(212, 208, 200), Rgb(255, 255, 255), Rgb(0, 0, 0),       Rgb(0, 0, 0),
      Rgb(0, 0, 0),       Rgb(255, 255, 255), Rgb(212, 208, 200), Rgb(212, 208, 200),
      Rgb(128, 128, 128), Rgb(10, 36, 106),   Rgb(255, 255, 255), Rgb(212, 208, 200),
      Rgb(128, 128, 128), Rgb(128, 128, 128), Rgb(0, 0, 0),       Rgb(212, 208, 200),
      Rgb(255, 255, 255), Rgb(64, 64, 64),    Rgb(212, 208, 200), Rgb(0, 0, 0),
      Rgb(255, 255, 225)};
  if (index < 0 || index >= 25) return kClBlack;
  return kDefaults[index];
}

// Destroyed when the module is unloaded, after the application object that uses it.
HeadlessPlatform& Instance() {
  static HeadlessPlatform platform;
  return platform;
}

}  // namespace widgets::headless

namespace widgets {
Platform& DefaultPlatform() {
  return headless::Instance();
}
}  // namespace widgets
