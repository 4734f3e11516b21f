// The automation surface of the native windows: what an outside program (a UI test driver, an
// accessibility tool) can rely on to find the module's windows and controls and to wait for
// them, through ordinary window messages. Header-only; shared by the module and by the driver
// (tools/windriver).
//
// - Every window and control of the module carries its component name ("tbok", "dg_qmdwlrt2",
//   "FM_QMDWLRTSH") as the window property kPropName: a global atom, so that another process reads
//   it with GetPropW + GlobalGetAtomNameW.
// - A window of the module registers its window class as "T" + its layout name
//   ("TFM_QMDWLRTSH", "TFM_QMDWLRT_SHSJ", "TFM_QMDWLRTSH_EDIT"); while it is shown modally it
//   carries its depth in the stack of modal windows (1 = first shown) as kPropModal.
// - A message box of the module carries its MB_* flags, with bit 30 set (kBoxFlagsMark), as
//   kPropBoxFlags.
// - A window of the module answers (sent) kMsgAutomationWindow with the handle of the module's
//   automation window, creating it on the first request: the module has no window of its own
//   until a driver asks. It lives on the module's GUI thread until the module unloads and answers:
//     kMsgPing (wParam: reply window, lParam: a number): posts kMsgPong with the same number back.
//       Posted after a batch of input messages to the same thread, its answer says that the
//       thread has dispatched that input and waits for more (in whatever message loop).
//     kMsgFlush (sent): paints every window of the thread now; returns 1.
//     kMsgDescribe (sent; wParam: reply window, lParam: a window of the module): sends the reply
//       window a WM_COPYDATA (dwData kCopyDescribe) holding a UTF-8 JSON description of that
//       control or window as the operator sees it: the one description of the widget model
//       (widgets/describe.h), the one the scenario runner compares; returns 1 (0: not a window
//       of the module).
// - A grid answers (sent) kMsgGridCellPoint (wParam: row, lParam: column; row -1: the column's
//   filter button in the header): scrolls the cell into view and returns its centre in client
//   coordinates as MAKELONG(x, y), or -1 when there is no such cell.
// - A date picker answers (sent) kMsgPickDate (wParam: yyyymmdd): the operator picks that day
//   in the drop-down calendar.
// - Synthetic key messages (WM_KEYDOWN posted by a driver) may carry the modifier bits
//   kKeyFlagShift / kKeyFlagCtrl in lParam's reserved bits 25 and 26, which a posted message
//   cannot put into the thread's keyboard state.
#pragma once

#include <windows.h>

namespace widgets::win32::automation {

inline constexpr wchar_t kPropName[] = L"qmdw.name";
inline constexpr wchar_t kPropModal[] = L"qmdw.modal";
inline constexpr wchar_t kPropBoxFlags[] = L"qmdw.mbflags";
inline constexpr wchar_t kAutomationClass[] = L"QMDW.Automation";
inline constexpr UINT_PTR kBoxFlagsMark = 1u << 30;
inline constexpr ULONG_PTR kCopyDescribe = 0x514D4457;  // "QMDW"
inline constexpr LPARAM kKeyFlagShift = 1 << 25;
inline constexpr LPARAM kKeyFlagCtrl = 1 << 26;

inline UINT MsgAutomationWindow() {
  static const UINT m = RegisterWindowMessageW(L"QMDW.Automation.Window");
  return m;
}
inline UINT MsgPing() {
  static const UINT m = RegisterWindowMessageW(L"QMDW.Automation.Ping");
  return m;
}
inline UINT MsgPong() {
  static const UINT m = RegisterWindowMessageW(L"QMDW.Automation.Pong");
  return m;
}
inline UINT MsgFlush() {
  static const UINT m = RegisterWindowMessageW(L"QMDW.Automation.Flush");
  return m;
}
inline UINT MsgDescribe() {
  static const UINT m = RegisterWindowMessageW(L"QMDW.Automation.Describe");
  return m;
}
inline UINT MsgGridCellPoint() {
  static const UINT m = RegisterWindowMessageW(L"QMDW.Automation.GridCellPoint");
  return m;
}
inline UINT MsgPickDate() {
  static const UINT m = RegisterWindowMessageW(L"QMDW.Automation.PickDate");
  return m;
}

}  // namespace widgets::win32::automation
