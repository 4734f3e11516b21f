// Small Win32 helpers shared by the native platform and the UI driver (tools/windriver):
// UTF-8 <-> UTF-16 text, a window's text, and window enumeration with a lambda. Header-only, so
// that the driver needs no part of the module to use them.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace widgets::win32 {

inline std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

inline std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

// The text of a window of this process.
inline std::wstring WindowText(HWND hwnd) {
  int n = GetWindowTextLengthW(hwnd);
  std::wstring w(static_cast<size_t>(n) + 1, L'\0');
  n = GetWindowTextW(hwnd, w.data(), n + 1);
  w.resize(static_cast<size_t>(n < 0 ? 0 : n));
  return w;
}

// The window class's name.
inline std::wstring ClassName(HWND hwnd) {
  wchar_t cls[256] = {};
  int n = GetClassNameW(hwnd, cls, 256);
  return std::wstring(cls, static_cast<size_t>(n < 0 ? 0 : n));
}

// Walks the top-level windows, the child windows of `parent` (any depth) or the top-level
// windows of `thread`, calling `f(hwnd)` for each until it returns false. (Window enumeration
// wants a callback in the platform's calling convention, which a lambda does not convert to on
// 32-bit Windows.)
template <class F>
BOOL CALLBACK EnumThunk(HWND hwnd, LPARAM lp) {
  return (*reinterpret_cast<F*>(lp))(hwnd) ? TRUE : FALSE;
}
template <class F>
void ForEachTopLevel(F f) {
  EnumWindows(&EnumThunk<F>, reinterpret_cast<LPARAM>(&f));
}
template <class F>
void ForEachChild(HWND parent, F f) {
  EnumChildWindows(parent, &EnumThunk<F>, reinterpret_cast<LPARAM>(&f));
}
template <class F>
void ForEachThreadWindow(DWORD thread, F f) {
  EnumThreadWindows(thread, &EnumThunk<F>, reinterpret_cast<LPARAM>(&f));
}

}  // namespace widgets::win32
