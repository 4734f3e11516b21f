// SQLite backend: one connection per session, WAL journal (readers never wait for the writer),
// a busy timeout for writers, prepared statements cached per connection.
#include <sqlite3.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "rtl/datetime.h"
#include "server/schema.h"
#include "server/storage_backends.h"

namespace server {
namespace {

[[noreturn]] void Fail(sqlite3* db, int rc, std::string_view what) {
  if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) throw StorageError(msg::DatabaseBusy());
  throw StorageError(msg::DatabaseError(what, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
}

void Bind(sqlite3* db, sqlite3_stmt* stmt, const std::vector<remote::Value>& params) {
  const int expected = sqlite3_bind_parameter_count(stmt);
  if (expected != static_cast<int>(params.size())) {
    throw StorageError(msg::DatabaseError("bind", "statement expects " + std::to_string(expected) +
                                                      " values, " + std::to_string(params.size()) +
                                                      " given"));
  }
  for (int i = 0; i < expected; ++i) {
    const remote::Value& v = params[i];
    int rc = SQLITE_OK;
    if (v.is_null()) {
      rc = sqlite3_bind_null(stmt, i + 1);
    } else if (v.is_text()) {
      // Refused as on PostgreSQL, where a NUL would cut the value: both backends alike.
      if (v.text().find('\0') != std::string::npos) {
        throw StorageError(msg::DatabaseNul());
      }
      rc = sqlite3_bind_text(stmt, i + 1, v.text().data(), static_cast<int>(v.text().size()),
                             SQLITE_TRANSIENT);
    } else if (v.is_float()) {
      rc = sqlite3_bind_double(stmt, i + 1, v.float_value());
    } else if (v.is_integer()) {
      rc = sqlite3_bind_int64(stmt, i + 1, v.integer());
    } else if (v.is_date()) {
      const std::string iso = rtl::DateTimeToIso(v.date());
      rc = sqlite3_bind_text(stmt, i + 1, iso.data(), static_cast<int>(iso.size()),
                             SQLITE_TRANSIENT);
    }
    if (rc != SQLITE_OK) Fail(db, rc, "bind");
  }
}

class SqliteSession;

// A prepared statement on loan from the session's cache (or prepared for this use only when the
// cached one is in use by an outer query).
struct StmtLease {
  sqlite3_stmt* stmt = nullptr;
  bool* in_use = nullptr;  // the cache slot, or nullptr for a private statement
  StmtLease() = default;
  StmtLease(const StmtLease&) = delete;
  StmtLease& operator=(const StmtLease&) = delete;
  StmtLease(StmtLease&& o) noexcept : stmt(o.stmt), in_use(o.in_use) {
    o.stmt = nullptr;
    o.in_use = nullptr;
  }
  ~StmtLease() {
    if (!stmt) return;
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (in_use) {
      *in_use = false;
    } else {
      sqlite3_finalize(stmt);
    }
  }
};

class SqliteRows : public DbRows {
 public:
  SqliteRows(sqlite3* db, StmtLease lease) : db_(db), lease_(std::move(lease)) {}
  bool Next() override {
    if (done_) return false;
    const int rc = sqlite3_step(lease_.stmt);
    if (rc == SQLITE_ROW) return true;
    done_ = true;
    if (rc == SQLITE_DONE) return false;
    Fail(db_, rc, "query");
  }
  bool IsNull(int c) const override { return sqlite3_column_type(lease_.stmt, c) == SQLITE_NULL; }
  std::string_view Text(int c) const override {
    const unsigned char* p = sqlite3_column_text(lease_.stmt, c);
    const int n = sqlite3_column_bytes(lease_.stmt, c);
    return p ? std::string_view(reinterpret_cast<const char*>(p), n) : std::string_view();
  }
  double Float(int c) const override { return sqlite3_column_double(lease_.stmt, c); }
  int64_t Integer(int c) const override { return sqlite3_column_int64(lease_.stmt, c); }
  // The hot path of long lists: one type test per cell.
  remote::Value Get(int c, remote::FieldType type) const override {
    if (sqlite3_column_type(lease_.stmt, c) == SQLITE_NULL) return remote::Value();
    switch (type) {
      case remote::FieldType::Text: {
        const unsigned char* p = sqlite3_column_text(lease_.stmt, c);
        return remote::Value::Text(
            std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(lease_.stmt, c)));
      }
      case remote::FieldType::Float:
        return remote::Value::Float(sqlite3_column_double(lease_.stmt, c));
      case remote::FieldType::Integer:
        return remote::Value::Integer(sqlite3_column_int64(lease_.stmt, c));
      default:
        return DbRows::Get(c, type);
    }
  }

 private:
  sqlite3* db_;
  StmtLease lease_;
  bool done_ = false;
};

class SqliteBulkWriter : public DbBulkWriter {
 public:
  SqliteBulkWriter(sqlite3* db, StmtLease lease) : db_(db), lease_(std::move(lease)) {}
  void Add(const std::vector<remote::Value>& row) override {
    Bind(db_, lease_.stmt, row);
    const int rc = sqlite3_step(lease_.stmt);
    sqlite3_reset(lease_.stmt);
    if (rc != SQLITE_DONE) Fail(db_, rc, "insert");
  }
  void Finish() override {}

 private:
  sqlite3* db_;
  StmtLease lease_;
};

class SqliteSession : public DbSession {
 public:
  SqliteSession(const std::string& path, int busy_timeout_ms) {
    const int rc = sqlite3_open_v2(
        path.c_str(), &db_,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
        nullptr);
    if (rc != SQLITE_OK) {
      std::string detail = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      sqlite3_close(db_);
      db_ = nullptr;
      throw StorageError(msg::Make("S-DB-008", {msg::Same(path), msg::Same(detail)}));
    }
    sqlite3_busy_timeout(db_, busy_timeout_ms);
    try {
      ExecuteScript("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON");
    } catch (...) {
      sqlite3_close(db_);
      throw;
    }
  }

  ~SqliteSession() override {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    for (auto& [sql, slot] : cache_) sqlite3_finalize(slot.stmt);
    sqlite3_close(db_);
  }

  Dialect dialect() const override { return Dialect::kSQLite; }

  // Whether the session may serve another instance as if it were new: no transaction open, no
  // statement under way (a result still being read holds a snapshot), and a statement cache of
  // modest size (statements with their values written in would make it grow without end).
  bool Reusable() const {
    if (!sqlite3_get_autocommit(db_) || cache_.size() > kMaxCachedForReuse) return false;
    for (const auto& [sql, slot] : cache_) {
      if (slot.in_use) return false;
    }
    for (sqlite3_stmt* s = sqlite3_next_stmt(db_, nullptr); s; s = sqlite3_next_stmt(db_, s)) {
      if (sqlite3_stmt_busy(s)) return false;
    }
    return true;
  }

  int64_t Execute(std::string_view sql, const std::vector<remote::Value>& params) override {
    StmtLease lease = Prepare(sql);
    Bind(db_, lease.stmt, params);
    int rc;
    while ((rc = sqlite3_step(lease.stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) Fail(db_, rc, "");
    return sqlite3_changes64(db_);
  }

  std::unique_ptr<DbRows> Query(std::string_view sql,
                                const std::vector<remote::Value>& params) override {
    StmtLease lease = Prepare(sql);
    Bind(db_, lease.stmt, params);
    return std::make_unique<SqliteRows>(db_, std::move(lease));
  }

  void ExecuteScript(std::string_view sql) override {
    char* err = nullptr;
    const std::string text(sql);
    const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
      std::string detail = err ? err : sqlite3_errstr(rc);
      sqlite3_free(err);
      if (rc == SQLITE_BUSY) Fail(db_, rc, "");
      throw StorageError(msg::DatabaseError("", detail));
    }
  }

  void Begin() override { Execute("BEGIN IMMEDIATE", {}); }
  void Commit() override {
    try {
      Execute("COMMIT", {});
    } catch (...) {
      Rollback();
      throw;
    }
  }
  void Rollback() override {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  bool InTransaction() const override { return !sqlite3_get_autocommit(db_); }
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
    std::string sql = "INSERT INTO " + std::string(table) + " (";
    std::string marks;
    for (size_t i = 0; i < columns.size(); ++i) {
      sql += (i ? ", " : "") + columns[i];
      marks += i ? ", ?" : "?";
    }
    sql += ") VALUES (" + marks + ")";
    return std::make_unique<SqliteBulkWriter>(db_, Prepare(sql));
  }

 private:
  static constexpr std::size_t kMaxCachedForReuse = 256;
  struct Slot {
    sqlite3_stmt* stmt = nullptr;
    bool in_use = false;
  };

  StmtLease Prepare(std::string_view sql) {
    auto it = cache_.find(sql);
    StmtLease lease;
    if (it != cache_.end() && !it->second.in_use) {
      it->second.in_use = true;
      lease.stmt = it->second.stmt;
      lease.in_use = &it->second.in_use;
      return lease;
    }
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) Fail(db_, rc, "prepare");
    lease.stmt = stmt;
    if (it == cache_.end()) {
      auto [pos, inserted] = cache_.emplace(std::string(sql), Slot{stmt, true});
      lease.in_use = &pos->second.in_use;
    }
    return lease;
  }

  sqlite3* db_ = nullptr;
  std::map<std::string, Slot, std::less<>> cache_;
};

// Sessions given back by instances that ended, ready for the next ones: opening a connection
// (the file, its pragmas, the schema read at the first statement) costs about half a
// millisecond, and a module makes six or seven instances every time it is shown.
struct SessionPool {
  static constexpr std::size_t kMaxIdle = 32;
  std::mutex mu;
  std::vector<std::unique_ptr<SqliteSession>> idle;
};

// A session of the pool: ending it rolls back what it left open (as ending a connection does)
// and gives it back when it is as good as new; otherwise it is closed.
class PooledSession : public DbSession {
 public:
  PooledSession(std::unique_ptr<SqliteSession> session, std::shared_ptr<SessionPool> pool)
      : s_(std::move(session)), pool_(std::move(pool)) {}
  ~PooledSession() override {
    s_->Rollback();
    if (!s_->Reusable()) return;
    std::lock_guard<std::mutex> lock(pool_->mu);
    if (pool_->idle.size() < SessionPool::kMaxIdle) pool_->idle.push_back(std::move(s_));
  }
  PooledSession(const PooledSession&) = delete;
  PooledSession& operator=(const PooledSession&) = delete;

  Dialect dialect() const override { return Dialect::kSQLite; }
  int64_t Execute(std::string_view sql, const std::vector<remote::Value>& params) override {
    return s_->Execute(sql, params);
  }
  std::unique_ptr<DbRows> Query(std::string_view sql,
                                const std::vector<remote::Value>& params) override {
    return s_->Query(sql, params);
  }
  void ExecuteScript(std::string_view sql) override { s_->ExecuteScript(sql); }
  void Begin() override { s_->Begin(); }
  void Commit() override { s_->Commit(); }
  void Rollback() override { s_->Rollback(); }
  bool InTransaction() const override { return s_->InTransaction(); }
  void Savepoint(std::string_view name) override { s_->Savepoint(name); }
  void RollbackToSavepoint(std::string_view name) override { s_->RollbackToSavepoint(name); }
  void ReleaseSavepoint(std::string_view name) override { s_->ReleaseSavepoint(name); }
  std::unique_ptr<DbBulkWriter> BulkInsert(std::string_view table,
                                           const std::vector<std::string>& columns) override {
    return s_->BulkInsert(table, columns);
  }

 private:
  std::unique_ptr<SqliteSession> s_;
  std::shared_ptr<SessionPool> pool_;
};

class SqliteFactory : public StorageFactory {
 public:
  SqliteFactory(std::string path, const StorageOptions& options)
      : path_(std::move(path)), options_(options), pool_(std::make_shared<SessionPool>()) {
    auto session = NewSession();
    schema::CreateTables(*session);
  }
  Dialect dialect() const override { return Dialect::kSQLite; }
  std::string Describe() const override { return "sqlite:" + path_; }
  std::unique_ptr<DbSession> NewSession() override {
    std::unique_ptr<SqliteSession> session;
    {
      std::lock_guard<std::mutex> lock(pool_->mu);
      if (!pool_->idle.empty()) {
        session = std::move(pool_->idle.back());
        pool_->idle.pop_back();
      }
    }
    if (!session) session = std::make_unique<SqliteSession>(path_, options_.busy_timeout_ms);
    return std::make_unique<PooledSession>(std::move(session), pool_);
  }

 private:
  std::string path_;
  StorageOptions options_;
  std::shared_ptr<SessionPool> pool_;
};

}  // namespace

std::unique_ptr<StorageFactory> OpenSqliteStorage(const std::string& path,
                                                  const StorageOptions& options) {
  return std::make_unique<SqliteFactory>(path, options);
}

}  // namespace server
