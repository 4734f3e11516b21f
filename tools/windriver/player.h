// Plays a scenario (docs/scenarios.md, read by tools/scenario/format.h) against the real windows
// of the demo host, one small method per kind of step: each call of the file starts the host (or
// reuses it when the host's arguments are the same), opens the module from the host's window,
// performs the steps as posted input messages, checks the expectations against what the windows
// show, and records what was seen. Beyond the file's own expectations it checks, at every step,
// what the module promises of every window: owned by the host's window, the host's window disabled
// while a window of the module is shown, message boxes owned by the host's window with every other
// window of the thread disabled.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "format.h"
#include "gui.h"

namespace windriver {

struct PlayOptions {
  std::wstring host_program;    // host.exe
  std::wstring host_directory;  // where it runs (lz\lirralossPRT.dll is found from there)
  std::string server_host;      // replaces every call's server_host when not empty
  std::wstring host_options;    // more options of the host's command line ("/fpu 1332")
  bool screenshots = false;     // screenshot steps ask the caller to capture the screen
  // Asks the caller to capture the screen under a label; returns when the picture is taken.
  std::function<void(const std::string& label)> capture;
};

struct PlayResult {
  Json log;
  std::vector<std::string> failures;
  bool Passed() const { return failures.empty(); }
};

PlayResult Play(const scenario::Scenario& scenario, const PlayOptions& options);

}  // namespace windriver
