// The native side of the controls: one small class per kind of control, each over one window
// with its own window procedure. A peer shows its control's state (NativePeer::Sync, called
// whenever the program changes something visible) and turns the operator's input into the
// control's User* calls; the control keeps the state and the behaviour.
//
// Text crosses into Windows through the wide (W) functions only; inside, text is UTF-8.
//
// Every window procedure, subclass procedure and hook of the module begins with an
// rtl::ModuleFpu: the system calls it with whatever floating-point state the host has (rtl/fpu.h).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "rtl/fpu.h"
#include "widgets/control.h"
#include "widgets/glyphs.h"
#include "widgets/types.h"
#include "widgets/win32/win32.h"

namespace widgets::win32 {

// GDI objects, created once and kept until the module unloads (a module has a few dozen).
// `smooth`: anti-aliased glyphs (labels, captions, title bands).
HFONT FontFor(const Font& font, bool smooth = false);
HBRUSH BrushFor(COLORREF color);
// A colour of the toolkit as a GDI colour: system colours resolved; kClNone reads as `none`.
COLORREF ColorRef(Color color, COLORREF none = RGB(255, 255, 255));
// Character height of a font in pixels (ascent + descent).
int FontPixelHeight(const Font& font);

// Draws a picture of the module's picture table with its clear pixels left alone.
void DrawBitmap(HDC dc, const Bitmap& bitmap, int x, int y);

// The modifier keys of a key message: the thread's keyboard state, or the bits a driver put into
// a posted message (see automation.h).
ShiftState KeyShift(LPARAM lparam);
// The UTF-8 text of one typed UTF-16 unit (a surrogate pair is joined across two messages).
std::string TypedChar(wchar_t unit);

// Classic subclassing of a native control: `proc` replaces its window procedure and reaches the
// original through CallOriginal.
void Subclass(HWND hwnd, WNDPROC proc);
LRESULT CallOriginal(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

class NativePeer : public Peer {
 public:
  explicit NativePeer(Control& control);
  ~NativePeer() override;
  NativePeer(const NativePeer&) = delete;
  NativePeer& operator=(const NativePeer&) = delete;

  Control& Model() const { return *control_; }
  HWND Hwnd() const { return hwnd_; }

  // Creates the window (a child of `parent`; windows: owned by `parent`).
  virtual void Create(HWND parent) = 0;
  // Shows what the program changed.
  virtual void Sync(Change what);
  // The window that takes the keyboard focus for this control (an edit inside a drop-down list).
  virtual HWND FocusWindow() const { return hwnd_; }
  // Notifications of a native control, passed on by its parent.
  virtual LRESULT OnCommand(WORD code) { return 0; }
  virtual LRESULT OnNotify(NMHDR* header) { return 0; }
  // Owner-drawn parts of a native control.
  virtual void OnMeasureItem(MEASUREITEMSTRUCT* item) {}
  virtual void OnDrawItem(DRAWITEMSTRUCT* item) {}
  // The colours of a native control (WM_CTLCOLOR*): sets up `dc`, returns the background brush.
  virtual HBRUSH CtlColor(HDC dc);
  // The control is being destroyed: the window goes, and nothing reaches the control any more.
  void DestroyNative();

  // The peer of a window of the module (or of a part of one, such as a drop-down list's edit).
  static NativePeer* FromHwnd(HWND hwnd);

  // Runs an operator action on the control unless the platform is tearing windows down; nothing
  // thrown escapes into the window procedure.
  static void Deliver(const std::function<void()>& action);

  // The module (DLL) holding this code: the instance of its window classes.
  static HINSTANCE ModuleInstance();

 protected:
  // Windows of the control that are not children of its own window go here.
  virtual void DropParts() {}
  // Registers `hwnd` as this control's window: peer and name properties.
  void Attach(HWND hwnd);
  // Registers a part of the control (its own peer property, no name).
  void AttachPart(HWND part);
  // The native focus arrived in this control's window: the control receives the focus.
  void NativeFocusReceived();
  void ApplyBounds();
  void ApplyVisible();
  void ApplyEnabled();
  void ApplyFont(bool smooth = false);
  // Redraws the control and its children.
  void Repaint();
  // Passes WM_COMMAND, WM_NOTIFY, WM_CTLCOLOR*, WM_MEASUREITEM and WM_DRAWITEM to the child
  // control they concern. Every container window calls this first.
  static bool ChildMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);
  // Registers a window class of this module once (classes are unregistered at unload).
  static void RegisterClassOnce(const wchar_t* name, WNDPROC proc, UINT style = CS_DBLCLKS);

  // The control whose window is being created, for the measuring it asks for meanwhile.
  static NativePeer* creating_;

  Control* control_;
  HWND hwnd_ = nullptr;
  int syncing_ = 0;  // >0 while the program's change is being shown: native echoes are ignored

  struct Syncing {
    explicit Syncing(NativePeer& p) : peer(p) { ++peer.syncing_; }
    ~Syncing() { --peer.syncing_; }
    NativePeer& peer;
  };

 private:
  ATOM name_atom_ = 0;
};

// Creates the peer of a control of any kind.
std::unique_ptr<NativePeer> MakePeer(Control& control);

}  // namespace widgets::win32
