#include "server/trail.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "remote/crypto.h"
#include "rtl/numtext.h"
#include "server/objects_log.h"

namespace server::trail {
namespace {

using remote::Value;
using JsonValue = nlohmann::json;

std::mutex& KeyMutex() {
  static std::mutex m;
  return m;
}
std::string& KeyStore() {
  static std::string key;
  return key;
}
std::string CurrentKey() {
  std::lock_guard<std::mutex> lock(KeyMutex());
  return KeyStore();
}

std::string Hex(const std::array<uint8_t, 32>& bytes, std::size_t n = 32) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

JsonValue ValueJson(const Value& v) {
  if (v.is_text()) return v.text();
  if (v.is_float()) return v.float_value();
  if (v.is_integer()) return v.integer();
  if (v.is_date()) return rtl::DateTimeToIso(v.date());
  return nullptr;
}

const char* StatementKindName(StatementKind k) {
  switch (k) {
    case StatementKind::kStockDecrement:
      return "decrement";
    case StatementKind::kStockIncrement:
      return "increment";
    case StatementKind::kHeaderReset:
      return "reset";
    case StatementKind::kClosingPeriodQuery:
      break;
  }
  return "query";
}

const char* kColumns =
    "XHAO00, FSSJ00, SJLX00, DHAO00, CZRY00, KHDZ00, JSJM00, CKDM00, XXDM00, XXNR00, MXNR00, "
    "MYBS00, JYM000";

std::string Ddl(Dialect d) {
  const bool pg = d == Dialect::kPostgreSQL;
  const std::string text = pg ? "VARCHAR COLLATE \"C\"" : "TEXT";
  std::string s = std::string("CREATE TABLE QMDWSHRZ (XHAO00 ") + (pg ? "BIGINT" : "INTEGER") +
                  " NOT NULL, FSSJ00 " + (pg ? "TIMESTAMP" : "TEXT") + " NOT NULL, SJLX00 " + text +
                  " NOT NULL, DHAO00 " + (pg ? "DOUBLE PRECISION" : "REAL") + ", CZRY00 " + text +
                  ", KHDZ00 " + text + ", JSJM00 " + text + ", CKDM00 " + text + ", XXDM00 " +
                  text + ", XXNR00 " + text + ", MXNR00 " + text + ", MYBS00 " + text +
                  ", JYM000 " + text + " NOT NULL, PRIMARY KEY (XHAO00));\n";
  s += "CREATE INDEX QMDWSHRZ_DHAO00 ON QMDWSHRZ (DHAO00, XHAO00);\n";
  s += "CREATE INDEX QMDWSHRZ_FSSJ00 ON QMDWSHRZ (FSSJ00);\n";
  if (pg) {
    s += "CREATE OR REPLACE FUNCTION QMDWSHRZ_REFUSE() RETURNS trigger LANGUAGE plpgsql AS $$ "
         "BEGIN RAISE EXCEPTION 'the audit trail cannot be changed or deleted'; END $$;\n"
         "CREATE TRIGGER QMDWSHRZ_NO_CHANGE BEFORE UPDATE OR DELETE ON QMDWSHRZ FOR EACH ROW "
         "EXECUTE FUNCTION QMDWSHRZ_REFUSE();\n"
         "CREATE TRIGGER QMDWSHRZ_NO_TRUNCATE BEFORE TRUNCATE ON QMDWSHRZ FOR EACH STATEMENT "
         "EXECUTE FUNCTION QMDWSHRZ_REFUSE();\n";
  } else {
    s += "CREATE TRIGGER QMDWSHRZ_NO_UPDATE BEFORE UPDATE ON QMDWSHRZ BEGIN SELECT RAISE(ABORT, "
         "'the audit trail cannot be changed'); END;\n"
         "CREATE TRIGGER QMDWSHRZ_NO_DELETE BEFORE DELETE ON QMDWSHRZ BEGIN SELECT RAISE(ABORT, "
         "'events of the audit trail cannot be deleted'); END;\n";
  }
  return s;
}

std::vector<std::string> ExpectedTriggers(Dialect d) {
  if (d == Dialect::kPostgreSQL) return {"qmdwshrz_no_change", "qmdwshrz_no_truncate"};
  return {"QMDWSHRZ_NO_UPDATE", "QMDWSHRZ_NO_DELETE"};
}

// `anew`: the database's content was replaced (the demo data); otherwise the trail begins on a
// database that may hold audits made before it, which is worth a warning.
void StartTrail(DbSession& db, bool anew) {
  db.ExecuteScript(Ddl(db.dialect()));
  Event start;
  start.kind = Kind::kStart;
  start.time = Now();
  Details details;
  auto rows = db.Query("SELECT DHAO00 FROM QMDWLRT1 WHERE YWRQ00 IS NOT NULL ORDER BY DHAO00");
  while (rows->Next()) details.audited.push_back(rows->Float(0));
  rows.reset();
  start.details = details.Json();
  Append(db, start);
  const std::string what = "The audit trail begins (event 1), " +
                           std::to_string(details.audited.size()) +
                           " documents audited at its start";
  if (anew || details.audited.empty()) {
    Log(LogLevel::kInfo, what);
  } else {
    Log(LogLevel::kWarning, what +
                                ": the database had no trail table, so their audits have no "
                                "events of their own");
  }
}

// --- The trail writer ----------------------------------------------------------------------

struct Job {
  StorageFactory* storage;
  Event event;
  const void* owner;
};

std::string Summary(const Event& e) {
  std::string s = std::string(KindName(e.kind));
  if (e.document) s += " of document " + rtl::FloatToStr(*e.document);
  if (!e.operator_code.empty()) s += " by " + e.operator_code;
  if (!e.client_address.empty()) s += " from " + e.client_address;
  if (!e.code.empty()) s += ": " + e.code + " " + e.reason;
  return s;
}

class Writer {
 public:
  static Writer& Instance() {
    static Writer* writer = new Writer;  // never destroyed: instances may end at exit
    return *writer;
  }

  void Push(Job job) {
    std::unique_lock<std::mutex> lock(mu_);
    // A client that makes the server refuse faster than the events can be written waits for
    // room, so the queue stays bounded.
    room_.wait(lock, [&] { return jobs_.size() < kMaxJobs; });
    if (!started_) {
      std::thread([this] { Run(); }).detach();
      started_ = true;
    }
    ++pending_[job.owner];
    ++total_;
    jobs_.push_back(std::move(job));
    work_.notify_one();
  }

  void Wait(const void* owner) {
    std::unique_lock<std::mutex> lock(mu_);
    done_.wait(lock, [&] {
      if (!owner) return total_ == 0;
      auto it = pending_.find(owner);
      return it == pending_.end();
    });
  }

 private:
  static constexpr std::size_t kMaxJobs = 1024;

  void Run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      work_.wait(lock, [&] { return !jobs_.empty(); });
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      room_.notify_all();
      lock.unlock();
      Write(job);
      lock.lock();
      // The sessions are kept only while events wait: once the queue is empty no instance
      // waits for the writer, and a database that goes away leaves no session behind here.
      if (jobs_.empty()) sessions_.clear();
      if (--pending_[job.owner] == 0) pending_.erase(job.owner);
      --total_;
      done_.notify_all();
    }
  }

  // Writes on a session of the job's database (kept while the queue holds events of it), a few
  // times over a busy or lost connection.
  void Write(Job& job) {
    std::string error;
    const std::string database = job.storage->Describe();
    for (int attempt = 0; attempt < 3; ++attempt) {
      try {
        std::unique_ptr<DbSession>& db = sessions_[database];
        if (!db) db = job.storage->NewSession();
        db->Begin();
        Append(*db, job.event);
        db->Commit();
        return;
      } catch (const std::exception& e) {
        error = msg::LogText(e);
        sessions_.erase(database);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    Log(LogLevel::kError,
        "The audit trail could not record the event (" + Summary(job.event) + "): " + error);
  }

  std::mutex mu_;
  std::condition_variable work_, done_, room_;
  std::deque<Job> jobs_;
  std::map<const void*, int> pending_;
  std::size_t total_ = 0;
  std::map<std::string, std::unique_ptr<DbSession>> sessions_;  // writer's thread only
  bool started_ = false;
};

Event ReadEvent(const DbRows& r) {
  Event e;
  e.sequence = r.Integer(0);
  e.time = r.Get(1, remote::FieldType::DateTime).date();
  e.kind = KindFromName(r.Text(2)).value_or(Kind::kChange);
  if (!r.IsNull(3)) e.document = r.Float(3);
  auto text = [&](int c) { return r.IsNull(c) ? std::string() : std::string(r.Text(c)); };
  e.operator_code = text(4);
  e.client_address = text(5);
  e.computer_name = text(6);
  e.warehouse = text(7);
  e.code = text(8);
  e.reason = text(9);
  e.details = text(10);
  e.key_id = text(11);
  e.hash = text(12);
  return e;
}

// The kind as read, for an event whose kind is unknown (a row written by someone else).
std::string RawKind(DbSession& db, int64_t sequence) {
  auto r = db.Query("SELECT SJLX00 FROM QMDWSHRZ WHERE XHAO00 = ?", {Value::Integer(sequence)});
  return r->Next() ? std::string(r->Text(0)) : std::string();
}

}  // namespace

std::string_view KindName(Kind kind) {
  switch (kind) {
    case Kind::kStart:
      return "start";
    case Kind::kAudit:
      return "audit";
    case Kind::kAuditFailed:
      return "audit-failed";
    case Kind::kCancel:
      return "cancel";
    case Kind::kCancelFailed:
      return "cancel-failed";
    case Kind::kChange:
      return "change";
  }
  return "change";
}

std::optional<Kind> KindFromName(std::string_view name) {
  for (Kind k : {Kind::kStart, Kind::kAudit, Kind::kAuditFailed, Kind::kCancel, Kind::kCancelFailed,
                 Kind::kChange}) {
    if (KindName(k) == name) return k;
  }
  return std::nullopt;
}

std::string Details::Json() const {
  JsonValue j = JsonValue::object();
  if (!stock.empty()) {
    JsonValue a = JsonValue::array();
    for (const StockChange& s : stock) {
      a.push_back({{"goods", s.goods},
                   {"warehouse", s.warehouse},
                   {"before", s.before},
                   {"after", s.after}});
    }
    j["stock"] = std::move(a);
  }
  JsonValue header = JsonValue::array(), lines = JsonValue::array();
  for (const WrittenField& f : fields) {
    JsonValue one = {
        {"field", f.field}, {"before", ValueJson(f.before)}, {"after", ValueJson(f.after)}};
    if (f.goods.empty()) {
      header.push_back(std::move(one));
    } else {
      one["goods"] = f.goods;
      lines.push_back(std::move(one));
    }
  }
  if (!header.empty()) j["header"] = std::move(header);
  if (!lines.empty()) j["lines"] = std::move(lines);
  if (!statements.empty()) {
    JsonValue a = JsonValue::array();
    for (const Statement& st : statements) {
      JsonValue one = {{"kind", StatementKindName(st.kind)}};
      if (st.kind == StatementKind::kHeaderReset) {
        one["document"] = st.document;
      } else {
        one["goods"] = st.goods;
        one["warehouse"] = st.warehouse;
        one["quantity"] = st.quantity;
      }
      a.push_back(std::move(one));
    }
    j["statements"] = std::move(a);
  }
  if (!audited.empty()) j["audited"] = audited;
  return j.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

rtl::DateTime Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  rtl::DateParts p;
  p.year = tm.tm_year + 1900;
  p.month = tm.tm_mon + 1;
  p.day = tm.tm_mday;
  p.hour = tm.tm_hour;
  p.minute = tm.tm_min;
  p.second = tm.tm_sec;
  p.millisecond = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  return rtl::EncodeDateTime(p);
}

void SetKey(std::string key) {
  std::lock_guard<std::mutex> lock(KeyMutex());
  KeyStore() = std::move(key);
}

std::string KeyId(std::string_view key) {
  if (key.empty()) return "";
  return Hex(remote::HmacSha256(key, "QMDW-TRAIL-KEY-ID"), 8);
}

bool HasTrail(DbSession& db) {
  if (db.dialect() == Dialect::kPostgreSQL) {
    auto r = db.Query("SELECT to_regclass('qmdwshrz') IS NOT NULL");
    return r->Next() && (r->Text(0) == "t" || r->Text(0) == "true");
  }
  auto r = db.Query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'QMDWSHRZ'");
  return r->Next();
}

void CreateTrail(DbSession& db) {
  if (HasTrail(db)) return;
  StartTrail(db, /*anew=*/false);
}

void RestartTrail(DbSession& db) {
  db.ExecuteScript("DROP TABLE IF EXISTS QMDWSHRZ");
  StartTrail(db, /*anew=*/true);
}

std::string HashOf(const Event& e, std::string_view previous_hash, std::string_view key) {
  std::string in = "QMDW-TRAIL-1";
  auto add = [&](std::string_view field) {
    in += '\x1f';
    in += field;
  };
  add(std::to_string(e.sequence));
  add(rtl::DateTimeToIso(e.time));
  add(KindName(e.kind));
  add(e.document ? rtl::FloatToStr(*e.document) : std::string());
  add(e.operator_code);
  add(e.client_address);
  add(e.computer_name);
  add(e.warehouse);
  add(e.code);
  add(e.reason);
  add(e.details);
  add(e.key_id);
  add(previous_hash);
  return Hex(remote::HmacSha256(key, in));
}

void Append(DbSession& db, Event& e) {
  if (db.dialect() == Dialect::kPostgreSQL) {
    // One writer of the trail at a time, across every server on this database; held until the
    // transaction ends. The last event is read after the lock, in a snapshot of its own.
    db.Query("SELECT pg_advisory_xact_lock(hashtext(current_schema() || '.qmdwshrz'))")->Next();
  }
  int64_t sequence = 1;
  std::string previous;
  {
    auto last = db.Query("SELECT XHAO00, JYM000 FROM QMDWSHRZ ORDER BY XHAO00 DESC LIMIT 1");
    if (last->Next()) {
      sequence = last->Integer(0) + 1;
      previous = std::string(last->Text(1));
    }
  }
  const std::string key = CurrentKey();
  e.sequence = sequence;
  e.key_id = KeyId(key);
  e.hash = HashOf(e, previous, key);
  auto text = [](const std::string& s) { return s.empty() ? Value() : Value::Text(s); };
  db.Execute(
      std::string("INSERT INTO QMDWSHRZ (") + kColumns +
          ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      {Value::Integer(e.sequence), Value::Date(e.time), Value::Text(std::string(KindName(e.kind))),
       e.document ? Value::Float(*e.document) : Value(), text(e.operator_code),
       text(e.client_address), text(e.computer_name), text(e.warehouse), text(e.code),
       text(e.reason), text(e.details), text(e.key_id), Value::Text(e.hash)});
}

void Queue(StorageFactory& storage, Event event, const void* owner) {
  Writer::Instance().Push(Job{&storage, std::move(event), owner});
}

void WaitFor(const void* owner) {
  Writer::Instance().Wait(owner);
}

void WaitIdle() {
  Writer::Instance().Wait(nullptr);
}

std::vector<Event> Read(DbSession& db, const Filter& filter) {
  std::string sql = std::string("SELECT ") + kColumns + " FROM QMDWSHRZ";
  std::vector<Value> params;
  std::string where;
  auto add = [&](const char* condition, Value v) {
    where += where.empty() ? " WHERE " : " AND ";
    where += condition;
    params.push_back(std::move(v));
  };
  if (filter.document) add("DHAO00 = ?", Value::Float(*filter.document));
  if (filter.operator_code) add("CZRY00 = ?", Value::Text(*filter.operator_code));
  if (filter.from) add("FSSJ00 >= ?", Value::Date(*filter.from));
  if (filter.to) add("FSSJ00 <= ?", Value::Date(*filter.to));
  auto rows = db.Query(sql + where + " ORDER BY XHAO00", params);
  std::vector<Event> out;
  while (rows->Next()) out.push_back(ReadEvent(*rows));
  return out;
}

ChainReport VerifyChain(DbSession& db, const std::vector<std::string>& keys) {
  ChainReport report;
  std::map<std::string, std::string> by_id = {{"", ""}};
  for (const std::string& k : keys) by_id[KeyId(k)] = k;
  bool keyed = false;
  auto rows = db.Query(std::string("SELECT ") + kColumns + " FROM QMDWSHRZ ORDER BY XHAO00");
  std::string previous;
  int64_t expected = 1;
  std::vector<int64_t> unknown_kinds;
  auto problem = [&](int64_t n, const std::string& what) {
    report.problems.push_back("event " + std::to_string(n) + ": " + what);
  };
  while (rows->Next()) {
    Event e;
    try {
      e = ReadEvent(*rows);
      if (!KindFromName(rows->Text(2))) unknown_kinds.push_back(e.sequence);
    } catch (const std::exception& ex) {
      problem(rows->Integer(0), std::string("cannot be read (") + msg::LogText(ex) + ")");
      previous = rows->IsNull(12) ? std::string() : std::string(rows->Text(12));
      ++report.events;
      expected = rows->Integer(0) + 1;
      continue;
    }
    ++report.events;
    if (e.sequence != expected) {
      problem(e.sequence, e.sequence > expected
                              ? "events " + std::to_string(expected) + " to " +
                                    std::to_string(e.sequence - 1) + " are missing"
                              : "out of order (expected number " + std::to_string(expected) + ")");
    }
    if (e.sequence == 1 && e.kind != Kind::kStart) {
      problem(e.sequence, "the first event is no start");
    }
    auto key = by_id.find(e.key_id);
    if (e.key_id.empty() && keyed) {
      problem(e.sequence, "holds no trail key after events that held one");
    } else if (key == by_id.end()) {
      problem(e.sequence, "was written with the trail key " + e.key_id +
                              ", which was not given: it cannot be verified");
    } else if (e.hash != HashOf(e, previous, key->second)) {
      problem(e.sequence,
              "its content or its place in the trail was changed (the hash does not match)");
    }
    keyed = keyed || !e.key_id.empty();
    previous = e.hash;
    expected = e.sequence + 1;
    report.last_sequence = e.sequence;
    report.last_hash = e.hash;
  }
  rows.reset();
  for (int64_t n : unknown_kinds) {
    problem(n, "unknown kind of event '" + RawKind(db, n) + "'");
  }
  if (report.events == 0) report.problems.push_back("the trail holds no event, not even its start");
  return report;
}

std::vector<std::string> MissingTriggers(DbSession& db) {
  std::vector<std::string> missing;
  for (const std::string& name : ExpectedTriggers(db.dialect())) {
    std::unique_ptr<DbRows> r;
    if (db.dialect() == Dialect::kPostgreSQL) {
      r = db.Query(
          "SELECT 1 FROM pg_trigger WHERE tgrelid = to_regclass('qmdwshrz') AND tgname = ? AND "
          "tgenabled <> 'D'",
          {Value::Text(name)});
    } else {
      r = db.Query(
          "SELECT 1 FROM sqlite_master WHERE type = 'trigger' AND tbl_name = 'QMDWSHRZ' AND "
          "name = ?",
          {Value::Text(name)});
    }
    if (!r->Next()) missing.push_back(name);
  }
  return missing;
}

}  // namespace server::trail
