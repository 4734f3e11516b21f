// The scenario runner: plays a scenario (docs/scenarios.md, read by format.h) against the
// module, in-process on the headless platform, and records what the operator saw.
//
// In brief: a scenario holds one or more calls of showdll, each with the host's arguments and a
// list of steps; a step is an operator action ("click", "type", "edit_cell", ...), a message box
// answer ("answer"), or an expectation ("expect"). Controls are named by their component names.
#pragma once

#include <string>
#include <vector>

#include "format.h"

namespace scenario {

struct RunResult {
  Json log;                           // the observation log
  std::vector<std::string> failures;  // failed expectations and script errors
  bool Passed() const { return failures.empty(); }
};

// Plays `scenario`; `server_host`, when not empty, replaces every call's ServerHost.
RunResult Run(const Scenario& scenario, const std::string& server_host);

}  // namespace scenario
