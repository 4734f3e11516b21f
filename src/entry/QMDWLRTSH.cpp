// Unit QMDWLRTSH: the library's one export, showdll.
#include "entry/QMDWLRTSH.h"

#include <exception>

#include "entry/host_context.h"
#include "entry/module.h"
#include "rtl/fpu.h"
#include "windows/host.h"

namespace entry {
namespace {

BrowserFactory& Factory() {
  static BrowserFactory factory;
  return factory;
}

}  // namespace

void SetBrowserFactory(BrowserFactory factory) {
  Factory() = std::move(factory);
}

void RunModule(uintptr_t app_handle, const char* user_code, const char* access_mode,
               const char* server_host) {
  widgets::Application& app = App();
  app.SetHandle(app_handle);
  StoreHostContext(user_code, access_mode, server_host);
  windows::SetHost(&HostForWindows());
  widgets::Form* browser = nullptr;
  try {
    browser = Factory() ? Factory()(app) : windows::CreateBrowser(app);
    browser->ShowModal();
  } catch (const std::exception& error) {
    try {
      app.ShowException(error);
    } catch (...) {  // NOLINT(bugprone-empty-catch): the platform gave up; nothing more to show
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): an unwinding headless script; cleaned up below
  }
  // No window of the module outlives the call: the browser, and whatever a failed run left.
  app.DestroyForm(browser);
  app.ProcessReleases();
  for (widgets::Form* form : app.Forms()) app.DestroyForm(form);
}

}  // namespace entry

extern "C" QMDW_EXPORT void QMDW_STDCALL showdll(uintptr_t AppHandle, intptr_t /*unused*/,
                                                 const char* UserCode, const char* AccessMode,
                                                 intptr_t /*unused*/, const char* ServerHost) {
  // The module computes in its own floating-point state; the host gets its own back on return
  // and whenever the module lets host code run meanwhile (rtl/fpu.h).
  const rtl::ModuleFpu fpu;
  try {
    entry::RunModule(AppHandle, UserCode, AccessMode, ServerHost);
  } catch (...) {  // NOLINT(bugprone-empty-catch): nothing may cross into the host
  }
}
