// The administrator's commands of `appserver`:
//
//   appserver history [--database URL] [--document N] [--operator CODE] [--from TIME]
//                     [--to TIME] [--csv]
//   appserver backup FILE [--database sqlite:PATH]
//   appserver check [--database URL] [--trail-key FILE]... [--site-key FILE]
//   appserver messages [--csv]
//
// TIME is "yyyy-mm-dd", "yyyy-mm-dd hh:mm" or "yyyy-mm-dd hh:mm:ss" (the server's local time); a
// date alone as --to means the end of that day. Exit status: 0 done (check: consistent), 1 a
// failure (check: something is wrong), 2 a wrong command line.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace appserver {

// Runs the command named by args[0] when it is one of the administrator's; -1 otherwise.
int RunAdminCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The usage text of the administrator's commands (a part of `appserver --help`).
std::string AdminUsageText();

}  // namespace appserver
