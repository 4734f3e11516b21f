// What a platform supplies to the toolkit: putting windows on the screen, the modal loop,
// message boxes, redrawing after a program's change, the keyboard focus and the system colours.
//
// The controls hold their state and their behaviour (which events an operator's action raises,
// in which order); a platform only shows them and turns the operator's input into the controls'
// User* calls. Two platforms exist: the headless one (widgets/headless), driven by a scripted
// operator, and the native Win32 one. Each build of the module links one of them and
// DefaultPlatform() returns it.
#pragma once

#include <cstdint>

#include "widgets/application.h"
#include "widgets/control.h"
#include "widgets/form.h"
#include "widgets/types.h"

namespace widgets {

class Platform {
 public:
  virtual ~Platform() = default;

  // Puts `form` on the screen, owned by the application window (form.App().Handle(); zero: no
  // owner), disables every other top-level window of the thread, and makes it active. Creates the
  // native side of its controls when it has none yet.
  virtual void ShowModalWindow(Form& form) = 0;
  // Runs the modal loop of `form`: takes the operator's input and dispatches it (each input
  // through the controls' User* calls) until form.ModalResult() is not kMrNone. Before each
  // input it calls form.App().ProcessReleases(). Returns without waiting when the result is set
  // already.
  virtual void RunModalLoop(Form& form) = 0;
  // Hides `form`, enables the windows that ShowModalWindow disabled and activates the window that
  // was active before.
  virtual void HideModalWindow(Form& form) = 0;

  // Shows a message box owned by desc.owner and returns the result of the chosen button; every
  // other top-level window of the thread is disabled meanwhile.
  virtual int ShowMessageBox(const MessageBoxSpec& desc) = 0;

  // The program changed something of `control` that is visible.
  virtual void Changed(Control& control, Change what) = 0;
  // The keyboard focus moved to `control` (null: to no control) in `form`.
  virtual void FocusChanged(Form& form, Control* control) = 0;
  // `control` (or a window) is about to be destroyed: drop its native side.
  virtual void Destroying(Control& control) = 0;

  // The frame of a window of that style (caption bar, borders), for client-size arithmetic.
  virtual Insets FrameOf(BorderStyle style) const = 0;
  // The screen's size, for centred windows.
  virtual Rect Screen() const = 0;
  // The platform's current value of a system colour (0x00BBGGRR).
  virtual Color ResolveSystemColor(int index) const = 0;
};

// The platform linked into this build.
Platform& DefaultPlatform();

// A colour with system colours resolved by `platform`.
Color ResolveColor(const Platform& platform, Color color);

}  // namespace widgets
