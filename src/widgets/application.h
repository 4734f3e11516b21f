// The application object of the module: one per module, created before anything is shown.
//
// It never creates a window of its own. Its handle is the application window, which the host
// hands over (SetHandle): every top-level window of the module is owned by it on the screen, and
// so is every message box. It owns every top-level window object of the module
// (CreateForm/DestroyForm/Release), and it is the default error display: an error that no
// handler catches while a window is shown ends the handler that raised it and is shown in a
// message box with the error icon and the error's text; the window stays open.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "widgets/form.h"
#include "widgets/types.h"

namespace widgets {

class Platform;

// The buttons and icon of a message box, from its flags.
struct MessageBoxSpec {
  std::string text;
  std::string caption;
  unsigned flags = kMbOk;
  uintptr_t owner = 0;  // the application window
};
// The results of the buttons a message box shows, left to right ({kIdYes, kIdNo, kIdCancel}).
std::vector<int> MessageBoxButtons(unsigned flags);
// "error", "question", "exclamation", "information" or "none".
const char* MessageBoxIconName(unsigned flags);
// "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No"; ButtonResult reads them back (0: none).
const char* ButtonName(int result);
int ButtonResult(std::string_view name);

class Application {
 public:
  explicit Application(Platform& platform);
  ~Application();  // destroys every window it still owns
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  Platform& GetPlatform() const { return *platform_; }

  // The application window (0: none). Setting a different handle replaces it; setting the same
  // one changes nothing.
  uintptr_t Handle() const { return handle_; }
  void SetHandle(uintptr_t handle);

  // The caption of the default error display.
  const std::string& Title() const { return title_; }
  void SetTitle(std::string title) { title_ = std::move(title); }

  // Creates a window of class T owned by this application and resolves its named bindings.
  template <class T, class... Args>
  T* CreateForm(Args&&... args) {
    auto form = std::make_unique<T>(*this, std::forward<Args>(args)...);
    T* raw = form.get();
    Adopt(std::move(form));
    return raw;
  }
  // Destroys a window now; a window whose modal run has not returned is released instead.
  void DestroyForm(Form* form);
  // Destroys the windows whose release was scheduled and whose modal run has returned.
  void ProcessReleases();
  bool Owns(const Form* form) const;
  // The windows it owns, in creation order.
  std::vector<Form*> Forms() const;
  // The modal windows being shown, the first shown first; the last is the active one.
  const std::vector<Form*>& ModalStack() const { return modal_stack_; }
  Form* ActiveForm() const { return modal_stack_.empty() ? nullptr : modal_stack_.back(); }

  // Shows a message box owned by the application window and returns the chosen button (kIdOk ...).
  // (Not named MessageBox: that is a macro wherever <windows.h> is included.)
  int ShowMessageBox(std::string_view text, std::string_view caption, unsigned flags);
  // The default error display.
  void ShowException(const std::exception& error);
  // Runs `action` as one operator action: an error it raises ends it and goes to the error
  // display. Errors that are not std::exception (the headless operator running out of script)
  // pass through.
  void Guard(const std::function<void()>& action);

 private:
  friend class Form;
  void Adopt(std::unique_ptr<Form> form);
  void PushModal(Form* form) { modal_stack_.push_back(form); }
  void PopModal(Form* form);

  Platform* platform_;
  uintptr_t handle_ = 0;
  std::string title_ = "QMDWLRTSH";
  std::vector<std::unique_ptr<Form>> forms_;
  std::vector<Form*> modal_stack_;
};

}  // namespace widgets
