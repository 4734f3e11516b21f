#include "server/net/options.h"

namespace appserver {
namespace {

unsigned long ParseNumber(const std::string& option, const std::string& text, unsigned long max) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError(option + " expects a number, not \"" + text + "\"");
  unsigned long v = std::stoul(text);
  if (v > max)
    throw UsageError(option + " " + text + " is out of range (at most " + std::to_string(max) +
                     ")");
  return v;
}

}  // namespace

std::string UsageText() {
  return "usage: appserver [OPTIONS]                 serve clients until SIGTERM/SIGINT\n"
         "       appserver demo small|large [OPTIONS]  fill the database with a demo set\n"
         "\n"
         "  --listen ADDR      address to listen on (default 127.0.0.1; any other than a\n"
         "                     loopback address requires --site-key)\n"
         "  --port N           TCP port (default 7211; 0 picks a free port)\n"
         "  --database URL     sqlite:PATH (default sqlite:appserver.db, created with its\n"
         "                     tables when missing) or a PostgreSQL connection string\n"
         "                     (postgresql://... or \"host=... dbname=...\")\n"
         "  --site-key FILE    the site's key; clients must prove they hold it\n"
         "  --log-level LEVEL  debug, info (default), warning, error or off\n"
         "  --max-clients N    connections served at once (default 256)\n"
         "  --port-file FILE   write the port listened on to FILE\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  std::size_t i = 0;
  if (i < args.size() && args[i] == "demo") {
    cl.command = CommandLine::Command::kDemo;
    if (++i >= args.size() || (args[i] != "small" && args[i] != "large"))
      throw UsageError("demo expects \"small\" or \"large\"");
    cl.demo_set = args[i++];
  } else if (i < args.size() && args[i] == "serve") {
    ++i;
  }
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      cl.command = CommandLine::Command::kHelp;
      return cl;
    }
    std::string name = a, value;
    bool inline_value = false;
    if (std::size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inline_value = true;
    }
    auto next = [&]() -> std::string {
      if (inline_value) return value;
      if (i + 1 >= args.size()) throw UsageError(name + " expects a value");
      return args[++i];
    };
    if (name == "--listen") {
      cl.server.listen_address = next();
      if (cl.server.listen_address.empty()) throw UsageError("--listen expects an address");
    } else if (name == "--port") {
      cl.server.port = static_cast<uint16_t>(ParseNumber(name, next(), 65535));
    } else if (name == "--database") {
      cl.database = next();
      if (cl.database.empty()) throw UsageError("--database expects a database URL");
    } else if (name == "--site-key") {
      cl.site_key_file = next();
    } else if (name == "--log-level") {
      std::string level = next();
      if (!ParseLogLevel(level, cl.log_level))
        throw UsageError("--log-level expects debug, info, warning, error or off, not \"" + level +
                         "\"");
    } else if (name == "--max-clients") {
      cl.server.max_clients = ParseNumber(name, next(), 100000);
      if (cl.server.max_clients == 0) throw UsageError("--max-clients must be at least 1");
    } else if (name == "--port-file") {
      cl.port_file = next();
    } else {
      throw UsageError("unknown argument \"" + a + "\"");
    }
  }
  return cl;
}

}  // namespace appserver
