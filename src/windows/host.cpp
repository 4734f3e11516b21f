#include "windows/host.h"

#include "windows/QMDWLRT_SHU.h"

namespace windows {
namespace {

// Before the first call, or for windows made without one (tests of a single window).
class NoHost final : public Host {
 public:
  uintptr_t AppHandle() const override { return 0; }
  std::string UserCode() const override { return {}; }
  std::string AccessModeBytes() const override { return {}; }
  std::string ServerHost() const override { return {}; }
  const char* ServerHostReference() const override { return nullptr; }
};

const Host* g_host = nullptr;

}  // namespace

void SetHost(const Host* host) {
  g_host = host;
}

const Host& CurrentHost() {
  static const NoHost none;
  return g_host != nullptr ? *g_host : none;
}

widgets::Form* CreateBrowser(widgets::Application& app) {
  FM_QMDWLRTSH = app.CreateForm<TFM_QMDWLRTSH>();
  return FM_QMDWLRTSH;
}

}  // namespace windows
