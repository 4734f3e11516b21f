// windriver: plays a scenario file (docs/scenarios.md) against the real windows of the module,
// shown by the demo host, and writes what it saw as JSON. A Windows program; under Wine it runs
// beside the host on the same display (scripts/wine-scenario runs it there).
//
//   windriver SCENARIO.json [--out LOG.json] [--server-host HOST] [--host PATH\host.exe]
//             [--host-options TEXT] [--screenshots]
//
// --host-options: more options for the host's command line (for instance "/fpu 1332").
// --screenshots: every screenshot step writes "SCREENSHOT <label>" on standard output and
// waits for a line on standard input, the caller's word that the screen has been captured.
// Exit status: 0 every expectation held, 1 one failed or the windows did not fit the steps,
// 2 a bad command line or scenario file.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "player.h"

namespace {

void Usage() {
  fprintf(stderr,
          "usage: windriver SCENARIO.json [--out LOG.json] [--server-host HOST] "
          "[--host PATH\\host.exe] [--host-options TEXT] [--screenshots]\n");
}

std::wstring Directory(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using windriver::Utf8;
  std::wstring scenario_path, out_path;
  windriver::PlayOptions options;
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  options.host_program = Directory(self) + L"\\host.exe";
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    if (a == L"--out" && i + 1 < argc) {
      out_path = argv[++i];
    } else if (a == L"--server-host" && i + 1 < argc) {
      options.server_host = Utf8(argv[++i]);
    } else if (a == L"--host" && i + 1 < argc) {
      options.host_program = argv[++i];
    } else if (a == L"--host-options" && i + 1 < argc) {
      options.host_options = argv[++i];
    } else if (a == L"--screenshots") {
      options.screenshots = true;
    } else if (scenario_path.empty() && !a.empty() && a[0] != L'-') {
      scenario_path = a;
    } else {
      Usage();
      return 2;
    }
  }
  if (scenario_path.empty()) {
    Usage();
    return 2;
  }
  options.host_directory = Directory(options.host_program);
  options.capture = [](const std::string& label) {
    printf("SCREENSHOT %s\n", label.c_str());
    fflush(stdout);
    char line[256];
    if (fgets(line, sizeof line, stdin) == nullptr) {
      fprintf(stderr, "windriver: nobody captured the screen for %s\n", label.c_str());
    }
  };

  windriver::Json doc;
  {
    std::ifstream in{std::filesystem::path(scenario_path)};
    if (!in) {
      fprintf(stderr, "windriver: cannot read %s\n", Utf8(scenario_path).c_str());
      return 2;
    }
    try {
      doc = windriver::Json::parse(in);
    } catch (const std::exception& e) {
      fprintf(stderr, "windriver: %s is not JSON: %s\n", Utf8(scenario_path).c_str(), e.what());
      return 2;
    }
  }
  scenario::Scenario parsed;
  try {
    parsed = scenario::Parse(doc);
  } catch (const scenario::FormatError& e) {
    fprintf(stderr, "windriver: %s: %s\n", Utf8(scenario_path).c_str(), e.message.c_str());
    return 2;
  }
  windriver::PlayResult result = windriver::Play(parsed, options);
  std::string text = result.log.dump(2);
  if (out_path.empty()) {
    fprintf(stderr, "%s\n", text.c_str());
  } else {
    std::ofstream o{std::filesystem::path(out_path), std::ios::binary};
    o << text << "\n";
  }
  for (const auto& f : result.failures) fprintf(stderr, "FAILED %s\n", f.c_str());
  fprintf(stderr, "%s%s\n", result.Passed() ? "scenario passed: " : "scenario failed: ",
          doc.value("name", Utf8(scenario_path)).c_str());
  return result.Passed() ? 0 : 1;
}
