#include "server/net/admin_commands.h"

#include <cmath>
#include <ostream>
#include <stdexcept>

#include "remote/client_settings.h"
#include "remote/messages.h"
#include "rtl/datetime.h"
#include "rtl/numtext.h"
#include "server/admin.h"
#include "server/messages.h"
#include "server/objects_log.h"
#include "server/storage.h"
#include "server/trail.h"

namespace appserver {
namespace {

class Usage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A time of the command line: a date, or a date with hours and minutes (and seconds).
rtl::DateTime ParseTime(const std::string& option, const std::string& text, bool end_of_day) {
  std::string iso = text;
  if (iso.size() == 16 && (iso[10] == ' ' || iso[10] == 'T')) iso += ":00";
  rtl::DateTime t;
  const bool date_only = iso.size() == 10;
  if ((iso.size() != 10 && iso.size() != 19) || !rtl::TryIsoToDateTime(iso, t)) {
    throw Usage(option + " \"" + text +
                "\" is not a time: write yyyy-mm-dd, yyyy-mm-dd hh:mm or yyyy-mm-dd hh:mm:ss");
  }
  if (date_only && end_of_day) {
    rtl::DateParts p = rtl::DecodeDateTime(t);
    p.hour = 23;
    p.minute = 59;
    p.second = 59;
    p.millisecond = 999;
    t = rtl::EncodeDateTime(p);
  }
  return t;
}

struct Options {
  std::string database = "sqlite:appserver.db";
  std::vector<std::string> key_files;
  std::vector<std::string> positional;
  server::trail::Filter filter;
  bool csv = false;
};

// Reads the options `allowed` names for `command`; a filter or option it does not know is an
// error that lists the ones it knows.
Options Parse(const std::string& command, const std::vector<std::string>& args,
              const std::vector<std::string>& allowed, const std::string& known) {
  Options o;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string name = args[i], value;
    bool inline_value = false;
    if (std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inline_value = true;
    }
    if (name.rfind("--", 0) != 0) {
      o.positional.push_back(name);
      continue;
    }
    bool ok = false;
    for (const std::string& a : allowed) ok = ok || a == name;
    if (!ok) {
      throw Usage("unknown " + std::string(command == "history" ? "filter" : "option") + " \"" +
                  name + "\"; " + known);
    }
    auto next = [&]() -> std::string {
      if (inline_value) return value;
      if (i + 1 >= args.size()) throw Usage(name + " expects a value");
      return args[++i];
    };
    if (name == "--csv") {
      if (inline_value) throw Usage("--csv takes no value");
      o.csv = true;
    } else if (name == "--database") {
      o.database = next();
      if (o.database.empty()) throw Usage("--database expects a database URL");
    } else if (name == "--trail-key" || name == "--site-key") {
      o.key_files.push_back(next());
    } else if (name == "--document") {
      const std::string text = next();
      double n = 0;
      if (!rtl::TryStrToFloat(text, n) || !std::isfinite(n)) {
        throw Usage("--document \"" + text + "\" is not a document number");
      }
      o.filter.document = n;
    } else if (name == "--operator") {
      o.filter.operator_code = next();
      if (o.filter.operator_code->empty()) throw Usage("--operator expects a staff code");
    } else if (name == "--from") {
      o.filter.from = ParseTime(name, next(), false);
    } else if (name == "--to") {
      o.filter.to = ParseTime(name, next(), true);
    }
  }
  if (o.filter.from && o.filter.to && *o.filter.to < *o.filter.from) {
    throw Usage("--to lies before --from: no event could be in that range");
  }
  return o;
}

std::unique_ptr<server::StorageFactory> Open(const std::string& url) {
  return server::OpenStorage(url);
}

std::vector<std::string> Keys(const Options& o) {
  std::vector<std::string> keys;
  for (const std::string& f : o.key_files) keys.push_back(remote::ReadSiteKeyFile(f));
  return keys;
}

int History(const std::vector<std::string>& args, std::ostream& out) {
  const Options o =
      Parse("history", args, {"--database", "--document", "--operator", "--from", "--to", "--csv"},
            "the filters are --document N, --operator CODE, --from TIME and --to "
            "TIME, and --csv writes CSV");
  if (!o.positional.empty()) throw Usage("history takes no argument \"" + o.positional[0] + "\"");
  auto storage = Open(o.database);
  auto db = storage->NewSession();
  server::admin::PrintHistory(*db, o.filter, o.csv, out);
  return 0;
}

int Backup(const std::vector<std::string>& args, std::ostream& out) {
  const Options o = Parse("backup", args, {"--database"}, "backup takes --database URL");
  if (o.positional.size() != 1) throw Usage("backup expects the file to write: backup FILE");
  const std::string prefix = "sqlite:";
  if (o.database.rfind(prefix, 0) != 0) {
    throw Usage(
        "backup copies SQLite databases; back up PostgreSQL with its own tool, e.g. "
        "pg_dump --format=custom --file=FILE \"URL\" (see docs/admin-guide.md)");
  }
  const std::string path = o.database.substr(prefix.size());
  const server::admin::BackupResult r = server::admin::BackupSqlite(path, o.positional[0]);
  out << "backup of " << o.database << " written to " << o.positional[0] << ": " << r.pages
      << " pages, " << r.bytes << " bytes, integrity ok\n";
  return 0;
}

int Check(const std::vector<std::string>& args, std::ostream& out) {
  const Options o = Parse("check", args, {"--database", "--trail-key", "--site-key"},
                          "check takes --database URL and --trail-key FILE (or --site-key FILE), "
                          "once for each key the trail was written with");
  if (!o.positional.empty()) throw Usage("check takes no argument \"" + o.positional[0] + "\"");
  const std::vector<std::string> keys = Keys(o);
  auto storage = Open(o.database);
  return server::admin::CheckDatabase(*storage, keys, out) == 0 ? 0 : 1;
}

int Messages(const std::vector<std::string>& args, std::ostream& out) {
  const Options o = Parse("messages", args, {"--csv"}, "messages takes --csv");
  if (o.csv) out << "code,chinese,english\r\n";
  // The server's table, then the module's (its connection, settings and site key texts).
  std::vector<server::msg::Entry> entries = server::msg::Table();
  const auto& client = remote::msg::ClientTable().entries();
  entries.insert(entries.end(), client.begin(), client.end());
  for (const server::msg::Entry& e : entries) {
    const std::string key = e.key;
    if (o.csv) {
      auto q = [](const std::string& s) {
        std::string r = "\"";
        for (char c : s) r += c == '"' ? std::string("\"\"") : std::string(1, c);
        return r + "\"";
      };
      out << key << ',' << q(e.zh) << ',' << q(e.en) << "\r\n";
      continue;
    }
    out << key << "\n    " << e.zh << "\n    " << e.en << "\n";
  }
  return 0;
}

}  // namespace

std::string AdminUsageText() {
  return "       appserver history [--database URL] [--document N] [--operator CODE]\n"
         "                         [--from TIME] [--to TIME] [--csv]\n"
         "                                       print the audit trail (TIME: yyyy-mm-dd\n"
         "                                       [hh:mm[:ss]])\n"
         "       appserver backup FILE [--database sqlite:PATH]\n"
         "                                       a consistent copy of an SQLite database while\n"
         "                                       it is served (PostgreSQL: pg_dump)\n"
         "       appserver check [--database URL] [--trail-key FILE]...\n"
         "                                       the consistency report; exits 1 when something\n"
         "                                       is wrong\n"
         "       appserver messages [--csv]      every message with its code, Chinese and "
         "English\n";
}

int RunAdminCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) return -1;
  const std::string& command = args[0];
  if (command != "history" && command != "backup" && command != "check" && command != "messages") {
    return -1;
  }
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help") {
      out << "usage:\n" << AdminUsageText();
      return 0;
    }
  }
  // What the objects log while the database is opened (a trail begun) goes to stderr.
  server::SetLogLevel(server::LogLevel::kWarning);
  try {
    if (command == "history") return History(args, out);
    if (command == "backup") return Backup(args, out);
    if (command == "check") return Check(args, out);
    return Messages(args, out);
  } catch (const Usage& e) {
    err << "appserver " << command << ": " << e.what() << "\n\nusage:\n" << AdminUsageText();
    return 2;
  } catch (const server::admin::BackupError& e) {
    err << "appserver backup: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    err << "appserver " << command << ": " << server::msg::LogText(e) << "\n";
    return 1;
  }
}

}  // namespace appserver
