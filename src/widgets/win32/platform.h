// The native Win32 platform: windows and controls are real windows (common controls v6 where
// Windows has the control), the modal loop is the thread's message loop, message boxes are
// MessageBoxW boxes owned by the application window.
//
// Modal showing disables every other visible top-level window of the thread (the host's
// windows included) and re-enables exactly those afterwards, then activates the window that was
// active before. A message box does the same around MessageBoxW, so that the module's windows,
// which MessageBoxW does not know about, wait for it too.
//
// Everything an operator does arrives as window messages, so an outside program can drive the
// windows the same way; automation.h describes what it can rely on.
#pragma once

#include <windows.h>

#include <vector>

#include "widgets/platform.h"

namespace widgets::win32 {

class NativePeer;

class Win32Platform final : public Platform {
 public:
  Win32Platform();
  ~Win32Platform() override;

  void ShowModalWindow(Form& form) override;
  void RunModalLoop(Form& form) override;
  void HideModalWindow(Form& form) override;
  int ShowMessageBox(const MessageBoxSpec& desc) override;
  void Changed(Control& control, Change what) override;
  void FocusChanged(Form& form, Control* control) override;
  void Destroying(Control& control) override;
  Insets FrameOf(BorderStyle style) const override;
  Rect Screen() const override;
  Color ResolveSystemColor(int index) const override;

  // Creates the native side of a window and its controls when they have none.
  void EnsureNative(Form& form);
  static NativePeer* PeerOf(const Control& control);

  // While true, native messages reach no control (windows being destroyed).
  bool TearingDown() const { return tearing_down_ > 0; }
  // While true, the program is moving the focus itself; native focus echoes are ignored.
  bool MovingFocus() const { return moving_focus_ > 0; }

  // The hidden window that answers the automation messages. Created when a UI test driver first
  // asks a window of the module for it (automation.h); the module creates no window of its own
  // otherwise.
  HWND AutomationWindow();

 private:
  struct ModalState {
    Form* form = nullptr;
    std::vector<HWND> disabled;
    HWND previous_active = nullptr;
  };
  static std::vector<HWND> DisableThreadWindows(HWND except);
  static LRESULT CALLBACK AutomationProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  bool PreTranslate(MSG& msg);

  std::vector<ModalState> modal_;
  int tearing_down_ = 0;
  int moving_focus_ = 0;
  HWND automation_ = nullptr;
};

Win32Platform& Instance();

}  // namespace widgets::win32
