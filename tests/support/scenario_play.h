// Playing a scenario file with the scenario runner, as a process of its own, against a server.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

enum class Runner {
  // The runner named by QMDW_SCENARIO_RUNNER when it is set (for example the one that drives the
  // Windows build under Wine), the headless runner of this build otherwise.
  kChosen,
  // Always the headless runner of this build (a second operator beside the module under test).
  kHeadless,
};

// Plays `file` against `server_host`, writing the observation log to `log`; the runner's exit
// status (-1 when it did not exit normally).
int PlayScenario(const std::filesystem::path& file, const std::filesystem::path& log,
                 const std::string& server_host, Runner runner = Runner::kChosen);

// A new empty directory under the system's temporary directory, its name starting with `prefix`.
std::filesystem::path MakeTempDir(const std::string& prefix);

}  // namespace testsupport
