#include "server/admin.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "rtl/numtext.h"

namespace server::admin {
namespace {

using JsonValue = nlohmann::json;
using remote::Value;

std::string Pad(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

// A value of the trail's JSON as the history shows it: numbers as number text (15 significant
// digits), texts as they are.
std::string Shown(const JsonValue& v) {
  if (v.is_null()) return "(none)";
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number()) return rtl::FloatToStr(v.get<double>());
  return v.dump();
}

JsonValue Parse(const std::string& details) {
  if (details.empty()) return JsonValue::object();
  JsonValue j = JsonValue::parse(details, nullptr, /*allow_exceptions=*/false);
  return j.is_discarded() ? JsonValue::object() : j;
}

std::vector<std::string> DetailLines(const trail::Event& e) {
  std::vector<std::string> out;
  if (!e.code.empty()) out.push_back("reason: " + e.code + " " + e.reason);
  const JsonValue d = Parse(e.details);
  if (d.contains("audited")) {
    out.push_back("documents audited when the trail began: " + std::to_string(d["audited"].size()));
  }
  if (d.contains("stock")) {
    for (const JsonValue& s : d["stock"]) {
      out.push_back("stock " + Shown(s["goods"]) + " in " + Shown(s["warehouse"]) + ": " +
                    Shown(s["before"]) + " -> " + Shown(s["after"]));
    }
  }
  if (d.contains("header")) {
    for (const JsonValue& f : d["header"]) {
      out.push_back(Shown(f["field"]) + ": " + Shown(f["before"]) + " -> " + Shown(f["after"]));
    }
  }
  if (d.contains("lines")) {
    for (const JsonValue& f : d["lines"]) {
      out.push_back("line " + Shown(f["goods"]) + " " + Shown(f["field"]) + ": " +
                    Shown(f["before"]) + " -> " + Shown(f["after"]));
    }
  }
  if (d.contains("statements")) {
    for (const JsonValue& s : d["statements"]) {
      const std::string kind = Shown(s["kind"]);
      if (kind == "reset") {
        out.push_back("sent: audit reset of document " + Shown(s["document"]));
      } else {
        out.push_back("sent: stock " + kind + " of " + Shown(s["goods"]) + " in " +
                      Shown(s["warehouse"]) + " by " + Shown(s["quantity"]));
      }
    }
  }
  return out;
}

std::string Csv(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string DocumentText(const std::optional<double>& d) {
  return d ? rtl::FloatToStr(*d) : std::string();
}

// --- Check -------------------------------------------------------------------------------

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  // One check: its name, what it found wrong (nothing: ok), and how many in all.
  void Section(const std::string& name, const std::vector<std::string>& problems,
               std::size_t count = 0, const std::string& ok_note = "") {
    if (count == 0) count = problems.size();
    if (problems.empty()) {
      out_ << "  [ok]      " << name << (ok_note.empty() ? "" : " (" + ok_note + ")") << "\n";
      return;
    }
    problems_ += static_cast<int>(count);
    out_ << "  [PROBLEM] " << name << ": " << count << "\n";
    std::size_t shown = 0;
    for (const std::string& p : problems) {
      if (++shown > kShown) {
        out_ << "            ... and " << (count - kShown) << " more\n";
        break;
      }
      out_ << "            " << p << "\n";
    }
  }
  int problems() const { return problems_; }

 private:
  static constexpr std::size_t kShown = 20;
  std::ostream& out_;
  int problems_ = 0;
};

std::string Text(const DbRows& r, int c) {
  return r.IsNull(c) ? std::string() : std::string(r.Text(c));
}

int64_t CountOf(DbSession& db, const std::string& sql) {
  auto r = db.Query(sql);
  return r->Next() ? r->Integer(0) : 0;
}

using StockKey = std::pair<std::string, std::string>;  // goods, warehouse

}  // namespace

void PrintHistory(DbSession& db, const trail::Filter& filter, bool csv, std::ostream& out) {
  const std::vector<trail::Event> events = trail::Read(db, filter);
  if (csv) {
    out << "number,time,event,document,operator,client_address,computer_name,warehouse,code,"
           "reason,details,key_id,hash\r\n";
    for (const trail::Event& e : events) {
      out << e.sequence << ',' << Csv(rtl::DateTimeToIso(e.time)) << ','
          << Csv(std::string(trail::KindName(e.kind))) << ',' << Csv(DocumentText(e.document))
          << ',' << Csv(e.operator_code) << ',' << Csv(e.client_address) << ','
          << Csv(e.computer_name) << ',' << Csv(e.warehouse) << ',' << Csv(e.code) << ','
          << Csv(e.reason) << ',' << Csv(e.details) << ',' << Csv(e.key_id) << ',' << Csv(e.hash)
          << "\r\n";
    }
    return;
  }
  out << Pad("No.", 7) << Pad("Time (server)", 25) << Pad("Event", 15) << Pad("Document", 12)
      << Pad("Operator", 10) << Pad("Client", 17) << Pad("Computer", 17) << "Warehouse\n";
  for (const trail::Event& e : events) {
    std::string time = rtl::DateTimeToIso(e.time);
    out << Pad(std::to_string(e.sequence), 7) << Pad(time, 25)
        << Pad(std::string(trail::KindName(e.kind)), 15) << Pad(DocumentText(e.document), 12)
        << Pad(e.operator_code.empty() ? "-" : e.operator_code, 10)
        << Pad(e.client_address.empty() ? "-" : e.client_address, 17)
        << Pad(e.computer_name.empty() ? "-" : e.computer_name, 17) << e.warehouse << "\n";
    for (const std::string& line : DetailLines(e)) out << "       " << line << "\n";
  }
  out << events.size() << (events.size() == 1 ? " event\n" : " events\n");
}

BackupResult BackupSqlite(const std::string& database_path, const std::string& target) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(database_path, ec)) {
    throw BackupError("there is no database at " + database_path);
  }
  const fs::path target_path = fs::absolute(target, ec);
  const fs::path source_path = fs::absolute(database_path, ec);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const fs::path live = source_path.string() + suffix;
    if (target_path == live || (fs::exists(target_path, ec) && fs::exists(live, ec) &&
                                fs::equivalent(target_path, live, ec))) {
      throw BackupError("the backup " + target + " would overwrite the live database " +
                        live.string() + "; choose another file");
    }
  }
  if (fs::is_directory(target_path, ec)) {
    throw BackupError("the backup " + target + " is a directory; name a file");
  }
  // Written beside the target, renamed to it once whole and checked.
  const std::string partial = target_path.string() + ".part-" + std::to_string(getpid());
  struct Db {
    sqlite3* db = nullptr;
    ~Db() {
      if (db) sqlite3_close(db);
    }
  } source, copy;
  auto remove_partial = [&] {
    if (copy.db) sqlite3_close(copy.db);
    copy.db = nullptr;
    fs::remove(partial, ec);
    fs::remove(partial + "-journal", ec);
  };
  if (sqlite3_open_v2(database_path.c_str(), &source.db, SQLITE_OPEN_READWRITE, nullptr) !=
      SQLITE_OK) {
    throw BackupError("cannot open the database " + database_path + ": " +
                      sqlite3_errmsg(source.db));
  }
  sqlite3_busy_timeout(source.db, 15000);
  if (sqlite3_open_v2(partial.c_str(), &copy.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK ||
      sqlite3_exec(copy.db, "PRAGMA user_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
    const std::string why = copy.db ? sqlite3_errmsg(copy.db) : "out of memory";
    remove_partial();
    throw BackupError("cannot write the backup " + target + ": " + why);
  }
  // One step copies every page inside one read transaction of the database: a consistent copy
  // of one moment, while writers go on (WAL).
  sqlite3_backup* backup = sqlite3_backup_init(copy.db, "main", source.db, "main");
  if (!backup) {
    const std::string why = sqlite3_errmsg(copy.db);
    remove_partial();
    throw BackupError("cannot write the backup " + target + ": " + why);
  }
  int rc = SQLITE_OK;
  for (int attempt = 0; attempt < 100; ++attempt) {
    rc = sqlite3_backup_step(backup, -1);
    if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
    sqlite3_sleep(100);
  }
  BackupResult result;
  result.pages = sqlite3_backup_pagecount(backup);
  sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE) {
    const std::string why = sqlite3_errstr(rc);
    remove_partial();
    throw BackupError("the backup of " + database_path + " failed: " + why);
  }
  std::string integrity;
  sqlite3_exec(
      copy.db, "PRAGMA integrity_check",
      [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) += values[0] ? values[0] : "";
        return 0;
      },
      &integrity, nullptr);
  sqlite3_close(copy.db);
  copy.db = nullptr;
  if (integrity != "ok") {
    remove_partial();
    throw BackupError("the copy failed SQLite's integrity check (" + integrity +
                      "); nothing was written");
  }
  fs::rename(partial, target_path, ec);
  if (ec) {
    const std::string why = ec.message();
    remove_partial();
    throw BackupError("cannot write the backup " + target + ": " + why);
  }
  result.bytes = static_cast<long long>(fs::file_size(target_path, ec));
  return result;
}

int CheckDatabase(StorageFactory& storage, const std::vector<std::string>& keys,
                  std::ostream& out) {
  auto db = storage.NewSession();
  // One snapshot for every check (a server may keep writing while this runs).
  if (db->dialect() == Dialect::kPostgreSQL) {
    db->ExecuteScript("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  } else {
    db->ExecuteScript("BEGIN");
  }
  struct End {
    DbSession& db;
    ~End() { db.Rollback(); }
  } end{*db};
  Report report(out);
  out << "appserver check: " << storage.Describe() << "\n";
  const int64_t documents = CountOf(*db, "SELECT COUNT(*) FROM QMDWLRT1");
  const int64_t audited_count =
      CountOf(*db, "SELECT COUNT(*) FROM QMDWLRT1 WHERE YWRQ00 IS NOT NULL");
  out << "  " << documents << " documents (" << audited_count << " audited), "
      << CountOf(*db, "SELECT COUNT(*) FROM QMDWLRT2") << " lines, "
      << CountOf(*db, "SELECT COUNT(*) FROM XSTZXKC0") << " stock rows\n";

  {  // Audit stamps half set.
    std::vector<std::string> p;
    auto r = db->Query(
        "SELECT DHAO00, YWRQ00, YWRY00 FROM QMDWLRT1 WHERE (YWRQ00 IS NULL) <> (YWRY00 IS NULL OR "
        "YWRY00 = '') ORDER BY DHAO00");
    while (r->Next()) {
      p.push_back("document " + rtl::FloatToStr(r->Float(0)) +
                  (r->IsNull(1) ? ": an auditor (" + Text(*r, 2) + ") without an audit date"
                                : ": an audit date without an auditor"));
    }
    report.Section("audit stamps (date and auditor both set or both empty)", p);
  }
  {  // Lines without a header.
    std::vector<std::string> p;
    auto r = db->Query(
        "SELECT l.DHAO00, l.SPDM00 FROM QMDWLRT2 l LEFT JOIN QMDWLRT1 h ON h.DHAO00 = l.DHAO00 "
        "WHERE h.DHAO00 IS NULL ORDER BY l.DHAO00, l.SPDM00");
    while (r->Next()) {
      p.push_back("document " + rtl::FloatToStr(r->Float(0)) + ", goods " + Text(*r, 1) +
                  ": no such document");
    }
    report.Section("lines without a header", p);
  }
  {  // Stock rows an audit should have changed that are missing.
    std::vector<std::string> p;
    std::size_t count = 0;
    // Each line of an audited document lowers its goods' "YW" row in 0B and in the document's
    // warehouse (one row when that is 0B).
    auto r = db->Query(
        "SELECT h.DHAO00, l.SPDM00, '0B' FROM QMDWLRT1 h JOIN QMDWLRT2 l ON l.DHAO00 = h.DHAO00 "
        "WHERE h.YWRQ00 IS NOT NULL AND NOT EXISTS (SELECT 1 FROM XSTZXKC0 s WHERE s.SPDM00 = "
        "l.SPDM00 AND s.CKDM00 = '0B' AND s.KCBZ00 = 'YW') UNION ALL SELECT h.DHAO00, l.SPDM00, "
        "h.CKDM00 FROM QMDWLRT1 h JOIN QMDWLRT2 l ON l.DHAO00 = h.DHAO00 WHERE h.YWRQ00 IS NOT "
        "NULL AND h.CKDM00 <> '0B' AND NOT EXISTS (SELECT 1 FROM XSTZXKC0 s WHERE s.SPDM00 = "
        "l.SPDM00 AND s.CKDM00 = h.CKDM00 AND s.KCBZ00 = 'YW') ORDER BY 1, 2, 3");
    while (r->Next()) {
      ++count;
      if (p.size() < 100) {
        p.push_back("document " + rtl::FloatToStr(r->Float(0)) + ": no stock row \"YW\" of goods " +
                    Text(*r, 1) + " in warehouse " + Text(*r, 2) + " (its audit lowered nothing)");
      }
    }
    report.Section("stock rows of the audited documents' lines", p, count);
  }
  {  // Stock values that are no numbers.
    std::vector<std::string> p;
    auto r = db->Query(
        "SELECT SPDM00, CKDM00, KCBZ00, KCSL00 FROM XSTZXKC0 ORDER BY SPDM00, CKDM00, KCBZ00");
    while (r->Next()) {
      if (r->IsNull(3) || std::isfinite(r->Float(3))) continue;
      p.push_back("goods " + Text(*r, 0) + " in " + Text(*r, 1) + " (" + Text(*r, 2) +
                  "): " + std::string(r->Text(3)));
    }
    report.Section("stock values are finite numbers", p);
  }

  if (!trail::HasTrail(*db)) {
    report.Section("audit trail", {"the database has no trail table (QMDWSHRZ)"});
    out << (report.problems() == 0
                ? "result: consistent\n"
                : "result: " + std::to_string(report.problems()) + " problem(s) found\n");
    return report.problems();
  }

  // The trail's chain and protection.
  const trail::ChainReport chain = trail::VerifyChain(*db, keys);
  std::string chain_note =
      std::to_string(chain.events) + (chain.events == 1 ? " event" : " events");
  if (chain.events > 0) {
    chain_note += ", the last number " + std::to_string(chain.last_sequence) + " with hash " +
                  chain.last_hash.substr(0, 16);
  }
  report.Section("trail chain", chain.problems, 0, chain_note);
  std::vector<std::string> missing;
  for (const std::string& t : trail::MissingTriggers(*db)) {
    missing.push_back("the trigger " + t + " that refuses changes of events is missing or off");
  }
  report.Section("trail protection", missing);

  // Documents and stock against what their trail says.
  const std::vector<trail::Event> events = trail::Read(*db);
  std::set<double> baseline;
  struct Stamp {
    std::string date, auditor;
    int64_t sequence = 0;
    bool audited = false;
  };
  std::map<double, Stamp> last;                          // the last audit or cancel of a document
  std::map<StockKey, std::pair<double, int64_t>> stock;  // what the trail left, by which event
  std::vector<std::string> stock_problems;
  for (const trail::Event& e : events) {
    const JsonValue d = Parse(e.details);
    if (e.kind == trail::Kind::kStart && d.contains("audited")) {
      for (const JsonValue& n : d["audited"]) {
        if (n.is_number()) baseline.insert(n.get<double>());
      }
      continue;
    }
    if (e.kind != trail::Kind::kAudit && e.kind != trail::Kind::kCancel) continue;
    if (e.document) {
      Stamp s;
      s.sequence = e.sequence;
      s.audited = e.kind == trail::Kind::kAudit;
      if (d.contains("header")) {
        for (const JsonValue& f : d["header"]) {
          if (f["field"] == "YWRQ00" && f["after"].is_string()) s.date = f["after"];
          if (f["field"] == "YWRY00" && f["after"].is_string()) s.auditor = f["after"];
        }
      }
      last[*e.document] = s;
    }
    if (!d.contains("stock")) continue;
    for (const JsonValue& c : d["stock"]) {
      if (!c["before"].is_number() || !c["after"].is_number()) continue;
      const StockKey key{Shown(c["goods"]), Shown(c["warehouse"])};
      const double before = c["before"].get<double>();
      auto it = stock.find(key);
      if (it != stock.end() && it->second.first != before) {
        stock_problems.push_back("goods " + key.first + " in " + key.second + ": event " +
                                 std::to_string(e.sequence) + " found " + rtl::FloatToStr(before) +
                                 " where event " + std::to_string(it->second.second) + " left " +
                                 rtl::FloatToStr(it->second.first) +
                                 " (changed outside the application server)");
      }
      stock[key] = {c["after"].get<double>(), e.sequence};
    }
  }
  {
    std::vector<std::string> p;
    auto r = db->Query("SELECT DHAO00, YWRQ00, YWRY00 FROM QMDWLRT1 ORDER BY DHAO00");
    while (r->Next()) {
      const double number = r->Float(0);
      const bool audited = !r->IsNull(1);
      const std::string doc = "document " + rtl::FloatToStr(number);
      auto it = last.find(number);
      if (it == last.end()) {
        if (audited && !baseline.count(number)) {
          p.push_back(doc + " is audited, and the trail holds no audit of it");
        } else if (!audited && baseline.count(number)) {
          p.push_back(doc +
                      " was audited when the trail began and is not now, and the trail "
                      "holds no cancel of it");
        }
        continue;
      }
      const Stamp& s = it->second;
      const std::string event = "event " + std::to_string(s.sequence);
      if (audited && !s.audited) {
        p.push_back(doc + " is audited, and its last event in the trail (" + event +
                    ") is a cancel");
      } else if (!audited && s.audited) {
        p.push_back(doc + " is not audited, and its last event in the trail (" + event +
                    ") is an audit");
      } else if (audited) {
        const Value date = r->Get(1, remote::FieldType::DateTime);
        const std::string stored_date = rtl::DateTimeToIso(date.date());
        const std::string stored_auditor = Text(*r, 2);
        if (stored_date != s.date || stored_auditor != s.auditor) {
          p.push_back(doc + " holds the audit " + stored_date + " by " + stored_auditor + ", its " +
                      event + " the audit " + s.date + " by " + s.auditor);
        }
      }
    }
    report.Section("documents against their trail (every audit and cancel recorded)", p);
  }
  {
    for (const auto& [key, left] : stock) {
      auto r =
          db->Query("SELECT KCSL00 FROM XSTZXKC0 WHERE SPDM00 = ? AND CKDM00 = ? AND KCBZ00 = 'YW'",
                    {Value::Text(key.first), Value::Text(key.second)});
      if (!r->Next()) {
        stock_problems.push_back("goods " + key.first + " in " + key.second +
                                 ": the stock row is gone (event " + std::to_string(left.second) +
                                 " changed it)");
        continue;
      }
      const double now = r->IsNull(0) ? 0.0 : r->Float(0);
      if (now != left.first) {
        stock_problems.push_back(
            "goods " + key.first + " in " + key.second + ": the stock is " + rtl::FloatToStr(now) +
            ", the trail's last change (event " + std::to_string(left.second) + ") left " +
            rtl::FloatToStr(left.first) + " (changed outside the application server)");
      }
    }
    report.Section("stock against the trail (every change of a \"YW\" row recorded)",
                   stock_problems, 0,
                   std::to_string(stock.size()) + " stock rows changed since the trail began");
  }
  out << (report.problems() == 0
              ? std::string("result: consistent\n")
              : "result: " + std::to_string(report.problems()) + " problem(s) found\n");
  return report.problems();
}

}  // namespace server::admin
