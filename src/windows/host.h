// What the windows know of the host program that loaded the module, and what the entry point
// asks of the windows. The entry point (unit QMDWLRTSH) fills the host in for every showdll call
// and creates the browser; nothing under windows/ includes the entry point.
#pragma once

#include <cstdint>
#include <string>

#include "widgets/application.h"
#include "widgets/form.h"

namespace windows {

// The host context of the current showdll call. The texts are read anew at every call (the host
// owns them and keeps them valid while showdll runs); a text the host did not pass reads as the
// empty text.
class Host {
 public:
  virtual ~Host() = default;
  // The application window: the host's window, which owns every window of the module.
  virtual uintptr_t AppHandle() const = 0;
  // The operator's staff code, as UTF-8.
  virtual std::string UserCode() const = 0;
  // The access mode's bytes exactly as the host holds them, for byte-for-byte comparison.
  virtual std::string AccessModeBytes() const = 0;
  // The application server's computer name, as UTF-8.
  virtual std::string ServerHost() const = 0;
  // The computer name exactly as the host handed it over (null when it passed none): the print
  // module receives it unchanged.
  virtual const char* ServerHostReference() const = 0;
};

// Makes `host` (which outlives every window of the module; null: none) the host the windows read.
void SetHost(const Host* host);
// The host every window of the module reads; a host that passed nothing until the entry point
// has set one.
const Host& CurrentHost();

// Creates the document browser TFM_QMDWLRTSH owned by `app` and records it as the browser
// instance.
widgets::Form* CreateBrowser(widgets::Application& app);

}  // namespace windows
