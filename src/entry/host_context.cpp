#include "entry/host_context.h"

#include "rtl/gbk.h"
#include "widgets/platform.h"

namespace entry {
namespace {

struct HostContext {
  const char* user_code = nullptr;
  const char* access_mode = nullptr;
  const char* server_host = nullptr;
};

HostContext& Context() {
  static HostContext context;
  return context;
}

std::string Bytes(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

class WindowsHost final : public windows::Host {
 public:
  uintptr_t AppHandle() const override { return entry::AppHandle(); }
  std::string UserCode() const override { return entry::UserCode(); }
  std::string AccessModeBytes() const override { return entry::AccessModeBytes(); }
  std::string ServerHost() const override { return entry::ServerHost(); }
  const char* ServerHostReference() const override { return entry::ServerHostReference(); }
};

}  // namespace

widgets::Application& App() {
  static widgets::Application app(widgets::DefaultPlatform());
  return app;
}

uintptr_t AppHandle() {
  return App().Handle();
}

void StoreHostContext(const char* user_code, const char* access_mode, const char* server_host) {
  HostContext& c = Context();
  c.user_code = user_code;
  c.access_mode = access_mode;
  c.server_host = server_host;
}

std::string UserCode() {
  return rtl::GbkToUtf8(Bytes(Context().user_code));
}
std::string AccessMode() {
  return rtl::GbkToUtf8(Bytes(Context().access_mode));
}
std::string ServerHost() {
  return rtl::GbkToUtf8(Bytes(Context().server_host));
}
std::string AccessModeBytes() {
  return Bytes(Context().access_mode);
}
const char* ServerHostReference() {
  return Context().server_host;
}

const windows::Host& HostForWindows() {
  static const WindowsHost host;
  return host;
}

}  // namespace entry
