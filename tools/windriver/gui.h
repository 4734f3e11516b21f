// The real windows of a host process, seen from outside the way a UI test tool sees them: found
// by window class and by the component names the module puts on its windows, read through
// window messages, driven by posted input messages, and waited for through the module's
// automation window (widgets/win32/automation.h).
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "format.h"
#include "widgets/win32/win32.h"

namespace windriver {

using scenario::Json;
using widgets::win32::ForEachChild;
using widgets::win32::ForEachThreadWindow;
using widgets::win32::ForEachTopLevel;
using widgets::win32::Utf8;
using widgets::win32::Wide;

std::string Text(HWND hwnd);     // WM_GETTEXT across processes, as UTF-8
std::string ClassOf(HWND hwnd);  // window class name
std::string NameOf(HWND hwnd);   // the component name property, or ""

// Thrown when the windows do not answer or do not fit what a step asks.
struct GuiError {
  std::string message;
};

class Gui {
 public:
  Gui();
  ~Gui();
  Gui(const Gui&) = delete;
  Gui& operator=(const Gui&) = delete;

  // Starts `program` with `arguments` in `directory`; waits for its main window of class
  // `main_class`.
  void Launch(const std::wstring& program, const std::wstring& arguments,
              const std::wstring& directory, const wchar_t* main_class);
  // Ends the host: its quit command, then termination when it does not go within `wait_ms`.
  void Quit(int quit_command, int wait_ms);
  bool Running() const;
  HWND HostWindow() const { return host_; }
  DWORD Thread() const { return thread_; }

  // Waits (up to `ms`) until a window of the module is shown, and asks it for the module's
  // automation window (which the module creates only when asked).
  bool WaitForModule(int ms);
  // Waits until the module's thread has dispatched everything posted to it so far and waits for
  // input again. False on timeout.
  bool Sync(int ms = 60000);
  // Paints every window of the thread now.
  void Flush();

  // Top-level windows of the host's GUI thread.
  std::vector<HWND> ThreadWindows(bool visible_only = true) const;
  // The module's windows shown modally, the first shown first.
  std::vector<HWND> Forms() const;
  HWND ActiveForm() const;
  // The open message box, or null.
  HWND MessageBoxWindow() const;
  // A window of the given class on the thread, or null.
  HWND FindTopLevel(const char* cls) const;
  // A control of `form` by component name (any depth), or null.
  HWND FindControl(HWND form, const std::string& name) const;

  // What the module says about a control or window (kind, colours, grid cells...).
  Json Describe(HWND hwnd);
  // The focused window of the host's thread.
  HWND Focus() const;

  // Input. Points are in `hwnd`'s client coordinates.
  void Click(HWND hwnd, POINT pt, bool double_click = false);
  void Key(HWND hwnd, int vk, bool shift = false, bool ctrl = false);
  void Char(HWND hwnd, const std::string& utf8);
  LRESULT Send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, int ms = 30000);
  void Post(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

 private:
  static LRESULT CALLBACK ReplyProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  HWND reply_ = nullptr;
  HWND automation_ = nullptr;
  PROCESS_INFORMATION process_{};
  HWND host_ = nullptr;
  DWORD thread_ = 0;
  unsigned next_ping_ = 1;
  unsigned last_pong_ = 0;
  std::string copied_;
  bool copied_ok_ = false;
};

}  // namespace windriver
