// PostgreSQL backend (libpq): one connection per session, statements prepared once per
// connection, values sent as text and typed by the server from the statement.
#include <libpq-fe.h>

#include <charconv>
#include <cmath>
#include <map>

#include "rtl/datetime.h"
#include "server/schema.h"
#include "server/storage_backends.h"

namespace server {
namespace {

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// "?" placeholders become $1, $2, ... (outside quoted literals).
std::string Numbered(std::string_view sql) {
  std::string out;
  out.reserve(sql.size() + 8);
  int n = 0;
  bool quoted = false;
  for (char c : sql) {
    if (c == '\'') quoted = !quoted;
    if (c == '?' && !quoted) {
      out += '$';
      out += std::to_string(++n);
    } else {
      out += c;
    }
  }
  return out;
}

std::string FloatText(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

// Text forms of the bound values; a value without value is a null pointer.
struct ParamTexts {
  std::vector<std::string> texts;
  std::vector<const char*> ptrs;
  explicit ParamTexts(const std::vector<remote::Value>& params) {
    texts.resize(params.size());
    ptrs.resize(params.size());
    for (size_t i = 0; i < params.size(); ++i) {
      const remote::Value& v = params[i];
      if (v.is_null()) {
        ptrs[i] = nullptr;
        continue;
      }
      if (v.is_text()) {
        // libpq takes texts up to their first NUL: a NUL inside would cut the value bound.
        if (v.text().find('\0') != std::string::npos) {
          throw StorageError(msg::DatabaseNul());
        }
        texts[i] = v.text();
      } else if (v.is_float()) {
        texts[i] = FloatText(v.float_value());
      } else if (v.is_integer()) {
        texts[i] = std::to_string(v.integer());
      } else if (v.is_date()) {
        texts[i] = rtl::DateTimeToIso(v.date());
      }
      ptrs[i] = texts[i].c_str();
    }
  }
};

class PgRows : public DbRows {
 public:
  explicit PgRows(PGresult* res) : res_(res), count_(PQntuples(res)) {}
  ~PgRows() override { PQclear(res_); }
  bool Next() override { return ++row_ < count_; }
  bool IsNull(int c) const override { return PQgetisnull(res_, row_, c); }
  std::string_view Text(int c) const override {
    return std::string_view(PQgetvalue(res_, row_, c), PQgetlength(res_, row_, c));
  }
  double Float(int c) const override {
    std::string_view t = Text(c);
    double d = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), d);
    if (r.ec != std::errc()) {
      if (t == "NaN") return NAN;
      if (t == "Infinity") return INFINITY;
      if (t == "-Infinity") return -INFINITY;
    }
    return d;
  }
  int64_t Integer(int c) const override {
    std::string_view t = Text(c);
    int64_t v = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec != std::errc()) return static_cast<int64_t>(std::llround(Float(c)));
    return v;
  }

 private:
  PGresult* res_;
  int count_;
  int row_ = -1;
};

class PgSession;

class PgBulkWriter : public DbBulkWriter {
 public:
  PgBulkWriter(PGconn* conn) : conn_(conn) {}
  ~PgBulkWriter() override {
    if (!finished_) {
      PQputCopyEnd(conn_, "abandoned");
      while (PGresult* r = PQgetResult(conn_)) PQclear(r);
    }
  }
  void Add(const std::vector<remote::Value>& row) override {
    for (size_t i = 0; i < row.size(); ++i) {
      if (i) buf_ += '\t';
      const remote::Value& v = row[i];
      if (v.is_null()) {
        buf_ += "\\N";
        continue;
      }
      std::string text;
      if (v.is_text()) {
        for (char c : v.text()) {
          switch (c) {
            case '\\':
              buf_ += "\\\\";
              break;
            case '\t':
              buf_ += "\\t";
              break;
            case '\n':
              buf_ += "\\n";
              break;
            case '\r':
              buf_ += "\\r";
              break;
            default:
              buf_ += c;
          }
        }
        continue;
      }
      if (v.is_float()) {
        buf_ += FloatText(v.float_value());
      } else if (v.is_integer()) {
        buf_ += std::to_string(v.integer());
      } else if (v.is_date()) {
        buf_ += rtl::DateTimeToIso(v.date());
      }
    }
    buf_ += '\n';
    if (buf_.size() > (1 << 20)) Flush();
  }
  void Finish() override {
    Flush();
    finished_ = true;
    if (PQputCopyEnd(conn_, nullptr) != 1) {
      throw StorageError(msg::DatabaseError("copy", Trim(PQerrorMessage(conn_))));
    }
    std::string error;
    while (PGresult* r = PQgetResult(conn_)) {
      if (PQresultStatus(r) != PGRES_COMMAND_OK && error.empty()) {
        error = Trim(PQresultErrorMessage(r));
      }
      PQclear(r);
    }
    if (!error.empty()) throw StorageError(msg::DatabaseError("copy", error));
  }

 private:
  void Flush() {
    if (buf_.empty()) return;
    if (PQputCopyData(conn_, buf_.data(), static_cast<int>(buf_.size())) != 1) {
      throw StorageError(msg::DatabaseError("copy", Trim(PQerrorMessage(conn_))));
    }
    buf_.clear();
  }
  PGconn* conn_;
  std::string buf_;
  bool finished_ = false;
};

void IgnoreNotice(void*, const char*) {}

class PgSession : public DbSession {
 public:
  PgSession(const std::string& conninfo, const std::string& schema, int lock_timeout_ms) {
    conn_ = PQconnectdb(conninfo.c_str());
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string detail = Trim(PQerrorMessage(conn_));
      PQfinish(conn_);
      throw StorageError(msg::Make("S-DB-009", {msg::Same(detail)}));
    }
    PQsetNoticeProcessor(conn_, IgnoreNotice, nullptr);
    try {
      // A writer waits for another's row locks as long as an SQLite writer waits for the write
      // lock, then fails as busy: no client waits without end for another.
      ExecuteScript(
          "SET client_encoding TO 'UTF8'; SET DateStyle TO 'ISO, YMD'; SET lock_timeout = " +
          std::to_string(lock_timeout_ms));
      if (!schema.empty()) {
        ExecuteScript("CREATE SCHEMA IF NOT EXISTS " + schema + "; SET search_path TO " + schema);
      }
    } catch (...) {
      PQfinish(conn_);
      throw;
    }
  }
  ~PgSession() override {
    if (InTransaction()) PQclear(PQexec(conn_, "ROLLBACK"));
    PQfinish(conn_);
  }

  Dialect dialect() const override { return Dialect::kPostgreSQL; }

  int64_t Execute(std::string_view sql, const std::vector<remote::Value>& params) override {
    PGresult* res = Run(sql, params);
    const char* tuples = PQcmdTuples(res);
    const int64_t n = (tuples && *tuples) ? std::atoll(tuples) : 0;
    PQclear(res);
    return n;
  }

  std::unique_ptr<DbRows> Query(std::string_view sql,
                                const std::vector<remote::Value>& params) override {
    return std::make_unique<PgRows>(Run(sql, params));
  }

  void ExecuteScript(std::string_view sql) override {
    const std::string text(sql);
    PGresult* res = PQexec(conn_, text.c_str());
    Check(res, "");
    PQclear(res);
  }

  void Begin() override { ExecuteScript("BEGIN"); }
  void Commit() override {
    PGresult* res = PQexec(conn_, "COMMIT");
    Check(res, "commit");
    const std::string status = PQcmdStatus(res);
    PQclear(res);
    // COMMIT of a transaction that an error aborted reports ROLLBACK.
    if (status == "ROLLBACK") throw StorageError(msg::DatabaseRolledBackAtCommit());
  }
  void Rollback() override {
    if (InTransaction()) PQclear(PQexec(conn_, "ROLLBACK"));
  }
  bool InTransaction() const override {
    const PGTransactionStatusType s = PQtransactionStatus(conn_);
    return s == PQTRANS_INTRANS || s == PQTRANS_INERROR || s == PQTRANS_ACTIVE;
  }
  void Savepoint(std::string_view name) override {
    ExecuteScript("SAVEPOINT " + std::string(name));
  }
  void RollbackToSavepoint(std::string_view name) override {
    ExecuteScript("ROLLBACK TO SAVEPOINT " + std::string(name));
  }
  void ReleaseSavepoint(std::string_view name) override {
    ExecuteScript("RELEASE SAVEPOINT " + std::string(name));
  }

  std::unique_ptr<DbBulkWriter> BulkInsert(std::string_view table,
                                           const std::vector<std::string>& columns) override {
    std::string sql = "COPY " + std::string(table) + " (";
    for (size_t i = 0; i < columns.size(); ++i) sql += (i ? ", " : "") + columns[i];
    sql += ") FROM STDIN";
    PGresult* res = PQexec(conn_, sql.c_str());
    if (PQresultStatus(res) != PGRES_COPY_IN) Check(res, "copy");
    PQclear(res);
    return std::make_unique<PgBulkWriter>(conn_);
  }

 private:
  PGresult* Run(std::string_view sql, const std::vector<remote::Value>& params) {
    auto it = prepared_.find(sql);
    if (it == prepared_.end()) {
      const std::string name = "q" + std::to_string(prepared_.size() + 1);
      const std::string numbered = Numbered(sql);
      PGresult* res = PQprepare(conn_, name.c_str(), numbered.c_str(), 0, nullptr);
      Check(res, "prepare");
      PQclear(res);
      it = prepared_.emplace(std::string(sql), name).first;
    }
    ParamTexts texts(params);
    PGresult* res = PQexecPrepared(conn_, it->second.c_str(), static_cast<int>(params.size()),
                                   texts.ptrs.data(), nullptr, nullptr, 0);
    Check(res, "");
    return res;
  }

  // Throws (and frees `res`) unless it reports success.
  void Check(PGresult* res, std::string_view what) {
    const ExecStatusType s = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    if (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK) return;
    const std::string detail = res ? Trim(PQresultErrorMessage(res)) : Trim(PQerrorMessage(conn_));
    // The state is copied: it lives in the result, which is freed before anything is thrown.
    const char* state_field = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    const std::string state = state_field ? state_field : "";
    PQclear(res);
    if (PQstatus(conn_) != CONNECTION_OK) {
      throw StorageError(msg::DatabaseConnectionLost(detail));
    }
    if (state == "55P03") {
      throw StorageError(msg::DatabaseBusy());
    }
    if (state == "40P01" || state == "40001") {
      throw StorageError(msg::DatabaseConflict(detail));
    }
    throw StorageError(msg::DatabaseError(what, detail));
  }

  PGconn* conn_ = nullptr;
  std::map<std::string, std::string, std::less<>> prepared_;
};

bool ValidSchemaName(const std::string& s) {
  if (s.empty() || s.size() > 60) return false;
  for (char c : s) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return !(s[0] >= '0' && s[0] <= '9');
}

class PgFactory : public StorageFactory {
 public:
  PgFactory(std::string conninfo, const StorageOptions& options)
      : conninfo_(std::move(conninfo)), options_(options) {
    if (!options_.pg_schema.empty() && !ValidSchemaName(options_.pg_schema)) {
      throw StorageError(msg::Make("S-DB-012", {msg::Same(options_.pg_schema)}));
    }
    auto session = NewSession();
    schema::CreateTables(*session);
  }
  Dialect dialect() const override { return Dialect::kPostgreSQL; }
  std::string Describe() const override {
    PQconninfoOption* opts = PQconninfoParse(conninfo_.c_str(), nullptr);
    std::string s = "postgresql";
    if (opts) {
      for (PQconninfoOption* o = opts; o->keyword; ++o) {
        if (!o->val || !*o->val) continue;
        const std::string_view k = o->keyword;
        if (k == "host" || k == "port" || k == "dbname" || k == "user") {
          s += " " + std::string(k) + "=" + o->val;
        }
      }
      PQconninfoFree(opts);
    }
    if (!options_.pg_schema.empty()) s += " schema=" + options_.pg_schema;
    return s;
  }
  std::unique_ptr<DbSession> NewSession() override {
    return std::make_unique<PgSession>(conninfo_, options_.pg_schema, options_.busy_timeout_ms);
  }

 private:
  std::string conninfo_;
  StorageOptions options_;
};

}  // namespace

std::unique_ptr<StorageFactory> OpenPostgresStorage(const std::string& conninfo,
                                                    const StorageOptions& options) {
  return std::make_unique<PgFactory>(conninfo, options);
}

}  // namespace server
