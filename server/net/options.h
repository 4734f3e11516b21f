// The application server's command line.
//
//   appserver [OPTIONS]              serve clients until SIGTERM or SIGINT
//   appserver demo small|large [OPTIONS]
//                                    replace the database's content by a demo set, then exit
//
// OPTIONS: --listen ADDR (default 127.0.0.1), --port N (default 7211; 0: a free port),
//   --database URL (default sqlite:appserver.db), --site-key FILE, --log-level LEVEL,
//   --port-file FILE (the port listened on is written there once listening), and the limits
//   that keep one client from starving the others (UsageText lists them with their defaults).
#pragma once

#include <string>
#include <vector>

#include "server/net/app_server.h"
#include "server/net/log.h"
#include "server/objects.h"
#include "server/storage.h"

namespace appserver {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CommandLine {
  enum class Command { kServe, kDemo, kHelp };
  Command command = Command::kServe;
  std::string demo_set;  // "small" or "large" (kDemo)
  ServerOptions server;  // listen address, port, connection limits (the site key is read later)
  server::ObjectOptions objects;   // transaction and open-result limits
  server::StorageOptions storage;  // how long a writer waits for another
  std::string database = "sqlite:appserver.db";
  std::string site_key_file;
  // The audit trail's keys (--trail-key, repeatable): the first keys the events written from now
  // on. None: the site key keys them.
  std::vector<std::string> trail_key_files;
  std::string port_file;
  LogLevel log_level = LogLevel::kInfo;
};

// Throws UsageError with a message for the operator.
CommandLine ParseCommandLine(const std::vector<std::string>& args);
std::string UsageText();

}  // namespace appserver
