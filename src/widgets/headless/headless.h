// The headless platform: windows and message boxes live in memory only, and a scripted operator
// supplies every input. Each turn of a modal loop takes the next step of the script and performs
// it on the active window; each message box takes the next step as its answer. Everything the
// operator would see is readable from the controls themselves, and the platform keeps a log of
// what appeared (windows shown and closed, message boxes with their answers).
//
// When the script has no step left while the module waits for input, or a step does not fit
// (a message box answer while no box is open, a control that is not there), the platform throws
// ScriptFailure. It is deliberately not a std::exception, so neither the error display nor a
// window's own error handling swallows it: it unwinds every modal loop up to whoever started the
// module, and the platform remembers it (Failed()) for the case that something caught it anyway.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "widgets/application.h"
#include "widgets/platform.h"

namespace widgets::headless {

struct ScriptFailure {
  std::string message;
};

class Screen;

// One step of the script.
struct Step {
  enum class Kind {
    Action,  // performed on the active window during a modal loop
    Answer,  // the answer to an open message box
    Check,   // a look at the screen, taken wherever the script stands (under a box too)
  };
  Kind kind = Kind::Action;
  std::string description;
  std::function<void(Screen&)> run;  // Action and Check
  int answer = 0;                    // Answer: a button's result (kIdOk ...), or 0 to dismiss
};

// Steps, built in C++ (tests) or read from a scenario file (the scenario runner).
Step Act(std::string description, std::function<void(Screen&)> action);
Step Check(std::string description, std::function<void(Screen&)> check);
Step Answer(int button);  // kIdOk, kIdYes, ...
Step Dismiss();           // Escape / close box: Cancel when the box has it, OK for an OK box
Step Click(const std::string& control);

// What the platform logs.
struct Observation {
  std::string event;    // "window_shown", "window_closed", "window_destroyed", "message_box",
                        // "step", "failure"
  std::string window;   // the window's component name
  std::string caption;  // window or message box caption
  std::string text;     // message box text; step description; failure message
  std::string icon;     // message box icon name
  std::vector<std::string> buttons;
  std::string answer;   // the button that answered a message box
  uintptr_t owner = 0;  // the owner window handle of a window or message box
  int result = 0;       // modal result of a closed window
  int step = 0;         // the script step (1-based) that this belongs to
};

// The operator's view of the screen during a step.
class Screen {
 public:
  explicit Screen(class HeadlessPlatform& platform) : platform_(&platform) {}
  // The windows shown modally, the first shown first.
  const std::vector<Form*>& Windows() const;
  // The active window; fails the script when none is shown.
  Form& Top() const;
  // The open message box, or null.
  const MessageBoxSpec* Box() const;
  // A control of the active window; fails the script when there is none of that name and kind.
  Control& Find(const std::string& name) const;
  template <class T>
  T& Get(const std::string& name) const {
    Control& c = Find(name);
    auto* t = dynamic_cast<T*>(&c);
    if (t == nullptr)
      Fail("control " + name + " is a " + c.Kind() + ", not the kind the step needs");
    return *t;
  }
  [[noreturn]] void Fail(const std::string& message) const;

 private:
  HeadlessPlatform* platform_;
};

class HeadlessPlatform final : public Platform {
 public:
  HeadlessPlatform();

  // --- The script. ---
  void SetScript(std::vector<Step> steps);
  void Add(Step step);
  size_t StepsLeft() const { return script_.size(); }
  // Forgets script, log and failure.
  void Reset();
  bool Failed() const { return failed_; }
  const std::string& Failure() const { return failure_; }
  // Records a failure and throws ScriptFailure.
  [[noreturn]] void Fail(const std::string& message);

  // --- What the operator saw. ---
  const std::vector<Observation>& Log() const { return log_; }
  // Called for every observation as it is logged.
  std::function<void(const Observation&)> OnObservation;
  // Windows shown modally right now (first shown first) and the open message box.
  const std::vector<Form*>& Windows() const { return windows_; }
  const MessageBoxSpec* OpenMessageBox() const { return box_; }
  // The number of the step being performed (1-based; 0 before the first).
  int CurrentStep() const { return step_number_; }

  // --- Platform. ---
  void ShowModalWindow(Form& form) override;
  void RunModalLoop(Form& form) override;
  void HideModalWindow(Form& form) override;
  int ShowMessageBox(const MessageBoxSpec& desc) override;
  void Changed(Control& control, Change what) override {}
  void FocusChanged(Form& form, Control* control) override {}
  void Destroying(Control& control) override;
  Insets FrameOf(BorderStyle style) const override;
  Rect Screen() const override { return Rect{0, 0, 1024, 768}; }
  Color ResolveSystemColor(int index) const override;

 private:
  Step Next(const std::string& waiting);
  void Observe(Observation o);
  void RunStep(Step& step);

  std::deque<Step> script_;
  std::vector<Observation> log_;
  std::vector<Form*> windows_;
  const MessageBoxSpec* box_ = nullptr;
  bool failed_ = false;
  std::string failure_;
  int step_number_ = 0;
};

// The platform of headless builds (DefaultPlatform() returns it).
HeadlessPlatform& Instance();

}  // namespace widgets::headless
