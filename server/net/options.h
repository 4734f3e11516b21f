// The application server's command line.
//
//   appserver [OPTIONS]              serve clients until SIGTERM or SIGINT
//   appserver demo small|large [OPTIONS]
//                                    replace the database's content by a demo set, then exit
//
// OPTIONS: --listen ADDR (default 127.0.0.1), --port N (default 7211; 0: a free port),
//   --database URL (default sqlite:appserver.db), --site-key FILE, --log-level LEVEL,
//   --max-clients N, --port-file FILE (the port listened on is written there once listening).
#pragma once

#include <string>
#include <vector>

#include "server/net/app_server.h"
#include "server/net/log.h"

namespace appserver {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CommandLine {
  enum class Command { kServe, kDemo, kHelp };
  Command command = Command::kServe;
  std::string demo_set;  // "small" or "large" (kDemo)
  ServerOptions server;  // listen address, port, max clients (the site key is read later)
  std::string database = "sqlite:appserver.db";
  std::string site_key_file;
  std::string port_file;
  LogLevel log_level = LogLevel::kInfo;
};

// Throws UsageError with a message for the operator.
CommandLine ParseCommandLine(const std::vector<std::string>& args);
std::string UsageText();

}  // namespace appserver
