// Unit QMDWLRTSH, entry part: what showdll does, callable from C++ (the scenario runner and the
// tests run the module in-process through it).
#pragma once

#include <cstdint>
#include <functional>

#include "widgets/application.h"
#include "widgets/form.h"

namespace entry {

// One call of the module: adopts `app_handle` as the application window handle, stores the host
// context, creates the document browser, shows it modally and destroys it on every path, together
// with any other window of the call still left. An error that escapes the browser's modal run (it
// could not be created, for one) is shown by the error display. Returns when the browser is
// closed.
void RunModule(uintptr_t app_handle, const char* user_code, const char* access_mode,
               const char* server_host);

// How RunModule creates its main window (windows::CreateBrowser unless replaced); tests replace
// it. Passing an empty function restores the default.
using BrowserFactory = std::function<widgets::Form*(widgets::Application&)>;
void SetBrowserFactory(BrowserFactory factory);

}  // namespace entry
