// Unit QMDWLRTSH, module-wide part: the module's application object and the host context.
//
// The host context keeps the references the host handed to showdll, not copies: the host owns
// the texts and keeps them valid while showdll runs, and every read happens during a call. Each
// read converts the host's single-byte GBK text to UTF-8; a null reference reads as the empty
// text. The application window handle is the application object's handle; there is no copy.
#pragma once

#include <cstdint>
#include <string>

#include "widgets/application.h"
#include "windows/host.h"

namespace entry {

// The module's application object: created on first use with the platform of this build, never
// with a window of its own; destroyed, with every window it still owns, when the module unloads.
widgets::Application& App();

// The application window handle (the host's window; 0 before the first call).
uintptr_t AppHandle();

// Stores the references of one call (arguments 3, 4 and 6 of showdll).
void StoreHostContext(const char* user_code, const char* access_mode, const char* server_host);

// The texts, read now and converted from GBK.
std::string UserCode();
std::string AccessMode();
std::string ServerHost();

// The texts' bytes exactly as the host holds them (GBK), for byte-for-byte comparisons.
std::string AccessModeBytes();
// The reference itself, as handed over (null when the host passed none); the print hand-off
// passes it on unchanged.
const char* ServerHostReference();

// The host context as the windows read it (windows/host.h).
const windows::Host& HostForWindows();

}  // namespace entry
