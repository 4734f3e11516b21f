#include "tests/support/scenario_play.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <stdexcept>

namespace testsupport {
namespace {

// `s` as one word for the shell.
std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

}  // namespace

int PlayScenario(const std::filesystem::path& file, const std::filesystem::path& log,
                 const std::string& server_host, Runner runner) {
  const char* chosen = runner == Runner::kChosen ? std::getenv("QMDW_SCENARIO_RUNNER") : nullptr;
  std::string command = chosen && *chosen ? std::string(chosen) : Quote(QMDW_SCENARIO_RUNNER_PATH);
  command += " " + Quote(file.string()) + " --out " + Quote(log.string()) + " --server-host " +
             Quote(server_host);
  if (runner == Runner::kHeadless) command += " > /dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::filesystem::path MakeTempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
  return pattern;
}

}  // namespace testsupport
