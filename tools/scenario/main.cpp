// qmdw_scenario: plays a scenario file against the module (in-process, headless) and writes the
// observation log as JSON. Exit status: 0 when every expectation held, 1 when one failed or the
// script did not fit the module, 2 for a bad command line or scenario file.
//
//   qmdw_scenario SCENARIO.json [--out LOG.json] [--server-host HOST]
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "runner.h"

int main(int argc, char** argv) {
  std::string path, out, server_host;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else if (a == "--server-host" && i + 1 < argc) {
      server_host = argv[++i];
    } else if (path.empty() && !a.empty() && a[0] != '-') {
      path = a;
    } else {
      std::cerr << "usage: qmdw_scenario SCENARIO.json [--out LOG.json] [--server-host HOST]\n";
      return 2;
    }
  }
  if (path.empty()) {
    std::cerr << "usage: qmdw_scenario SCENARIO.json [--out LOG.json] [--server-host HOST]\n";
    return 2;
  }
  scenario::Json doc;
  try {
    std::ifstream in(path);
    if (!in) {
      std::cerr << "qmdw_scenario: cannot read " << path << "\n";
      return 2;
    }
    doc = scenario::Json::parse(in);
  } catch (const std::exception& e) {
    std::cerr << "qmdw_scenario: " << path << " is not JSON: " << e.what() << "\n";
    return 2;
  }
  scenario::Scenario parsed;
  try {
    parsed = scenario::Parse(doc);
  } catch (const scenario::FormatError& e) {
    std::cerr << "qmdw_scenario: " << path << ": " << e.message << "\n";
    return 2;
  }
  scenario::RunResult result = scenario::Run(parsed, server_host);
  std::string text = result.log.dump(2);
  if (out.empty()) {
    std::cout << text << "\n";
  } else {
    std::ofstream o(out);
    o << text << "\n";
  }
  for (const auto& f : result.failures) std::cerr << "FAILED " << f << "\n";
  std::cerr << (result.Passed() ? "scenario passed: " : "scenario failed: ")
            << doc.value("name", path) << "\n";
  return result.Passed() ? 0 : 1;
}
