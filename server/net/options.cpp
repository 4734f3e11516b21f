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

unsigned long Positive(const std::string& option, const std::string& text, unsigned long max) {
  unsigned long v = ParseNumber(option, text, max);
  if (v == 0) throw UsageError(option + " must be at least 1");
  return v;
}

// A time in whole seconds, 1 s to 24 days (what milliseconds in an int hold), as milliseconds.
int Millis(const std::string& option, const std::string& text) {
  return static_cast<int>(Positive(option, text, 24UL * 86400) * 1000);
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
         "  --trail-key FILE   the key of the audit trail's hash chain (default: the site key)\n"
         "  --log-level LEVEL  debug, info (default), warning, error or off\n"
         "  --port-file FILE   write the port listened on to FILE\n"
         "\n"
         "Limits (times in seconds):\n"
         "  --max-clients N               connections served at once (default 256)\n"
         "  --max-clients-per-address N   connections from one computer (default 64)\n"
         "  --max-objects N               server object instances at once (default 1024)\n"
         "  --max-objects-per-address N   instances from one computer (default 128)\n"
         "  --max-request-bytes N         largest request (default 4194304)\n"
         "  --handshake-timeout S         the whole greeting, from the connection (default 10)\n"
         "  --idle-timeout S              a session without a request is closed (default 28800)\n"
         "  --request-timeout S           a request, once begun, must arrive whole (default 60)\n"
         "  --send-timeout S              each reply frame must be taken by the client\n"
         "                                (default 120)\n"
         "  --save-timeout S              an audit's stock batch waits for its document\n"
         "                                (default 10)\n"
         "  --transaction-idle S          a cancel's transaction without a request (default 10)\n"
         "  --transaction-limit S         any transaction, from its start (default 10)\n"
         "  --busy-timeout S              a writer waits for another writer (default 15)\n"
         "  --max-open-results N          results read in packets per connection (default 64)\n"
         "  --result-memory-per-session MIB  rows held for open results per connection\n"
         "                                (default 64)\n"
         "  --result-memory MIB           rows held for open results in all (default 512)\n";
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
    } else if (name == "--trail-key") {
      cl.trail_key_files.push_back(next());
    } else if (name == "--log-level") {
      std::string level = next();
      if (!ParseLogLevel(level, cl.log_level))
        throw UsageError("--log-level expects debug, info, warning, error or off, not \"" + level +
                         "\"");
    } else if (name == "--max-clients") {
      cl.server.max_clients = Positive(name, next(), 100000);
    } else if (name == "--max-clients-per-address") {
      cl.server.max_clients_per_address = Positive(name, next(), 100000);
    } else if (name == "--max-objects") {
      cl.server.max_objects = Positive(name, next(), 1000000);
    } else if (name == "--max-objects-per-address") {
      cl.server.max_objects_per_address = Positive(name, next(), 1000000);
    } else if (name == "--max-request-bytes") {
      cl.server.max_request_bytes = Positive(name, next(), std::size_t{1} << 28);
    } else if (name == "--handshake-timeout") {
      cl.server.handshake_timeout_ms = Millis(name, next());
    } else if (name == "--idle-timeout") {
      cl.server.idle_timeout_ms = Millis(name, next());
    } else if (name == "--request-timeout") {
      cl.server.request_timeout_ms = Millis(name, next());
    } else if (name == "--send-timeout") {
      cl.server.send_timeout_ms = Millis(name, next());
    } else if (name == "--save-timeout") {
      cl.objects.save_timeout = std::chrono::milliseconds(Millis(name, next()));
    } else if (name == "--transaction-idle") {
      cl.objects.transaction_timeout = std::chrono::milliseconds(Millis(name, next()));
    } else if (name == "--transaction-limit") {
      cl.objects.transaction_limit = std::chrono::milliseconds(Millis(name, next()));
    } else if (name == "--busy-timeout") {
      cl.storage.busy_timeout_ms = Millis(name, next());
    } else if (name == "--max-open-results") {
      cl.objects.max_open_results = static_cast<int>(Positive(name, next(), 100000));
    } else if (name == "--result-memory-per-session") {
      cl.objects.result_memory_per_session = static_cast<int64_t>(Positive(name, next(), 1 << 20))
                                             << 20;
    } else if (name == "--result-memory") {
      cl.objects.result_memory_total = static_cast<int64_t>(Positive(name, next(), 1 << 20)) << 20;
    } else if (name == "--port-file") {
      cl.port_file = next();
    } else {
      throw UsageError("unknown argument \"" + a + "\"");
    }
  }
  return cl;
}

}  // namespace appserver
