// The application server's storage: one interface, two backends (SQLite and PostgreSQL).
//
// A StorageFactory stands for one database; every server object instance asks it for a
// DbSession of its own (one database connection), so the transactions of two clients never mix.
// Statements are written once with "?" placeholders and run on both backends; values are always
// bound, never pasted into the statement text; a text value holding NUL is refused on both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "remote/server_object.h"
#include "remote/value.h"
#include "server/messages.h"

namespace server {

enum class Dialect { kSQLite, kPostgreSQL };

// A failure of the database itself (connection lost, busy beyond the timeout, constraint...).
class StorageError : public msg::Error {
 public:
  using msg::Error::Error;
};

// The rows of one query, read front to back. Column values stay valid until the next Next().
class DbRows {
 public:
  virtual ~DbRows() = default;
  virtual bool Next() = 0;
  virtual bool IsNull(int column) const = 0;
  virtual std::string_view Text(int column) const = 0;
  virtual double Float(int column) const = 0;
  virtual int64_t Integer(int column) const = 0;

  // The value of a column read as the given field type; dates are stored as ISO text (SQLite) or
  // timestamps (PostgreSQL) and come back as rtl::DateTime. Throws StorageError when a stored
  // date cannot be read.
  virtual remote::Value Get(int column, remote::FieldType type) const;
};

// Writes many rows into one table fast (the demo sets). Rows go into the session's open
// transaction; Finish() must be called before the transaction commits.
class DbBulkWriter {
 public:
  virtual ~DbBulkWriter() = default;
  virtual void Add(const std::vector<remote::Value>& row) = 0;
  virtual void Finish() = 0;
};

// One database connection. Not thread-safe: one owner (a server object instance) at a time.
// Destroying a session rolls back its open transaction.
class DbSession {
 public:
  virtual ~DbSession() = default;
  virtual Dialect dialect() const = 0;

  // Runs one statement with "?" placeholders bound to `params` (a date binds as ISO text, which
  // both backends store so that dates compare correctly); returns the number of rows changed.
  virtual int64_t Execute(std::string_view sql, const std::vector<remote::Value>& params = {}) = 0;
  virtual std::unique_ptr<DbRows> Query(std::string_view sql,
                                        const std::vector<remote::Value>& params = {}) = 0;
  // Runs statements without parameters, separated by ";" (schema, maintenance).
  virtual void ExecuteScript(std::string_view sql) = 0;

  // A write transaction: Begin takes the write lock at once on SQLite, so two writers queue up
  // (within the busy timeout) instead of failing half-way.
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;  // does nothing without an open transaction
  virtual bool InTransaction() const = 0;
  virtual void Savepoint(std::string_view name) = 0;
  virtual void RollbackToSavepoint(std::string_view name) = 0;
  virtual void ReleaseSavepoint(std::string_view name) = 0;

  virtual std::unique_ptr<DbBulkWriter> BulkInsert(std::string_view table,
                                                   const std::vector<std::string>& columns) = 0;

  // "IS" on SQLite, "IS NOT DISTINCT FROM" on PostgreSQL: equality in which no value equals no
  // value.
  const char* NullSafeEquals() const {
    return dialect() == Dialect::kSQLite ? " IS " : " IS NOT DISTINCT FROM ";
  }
};

// One database. Thread-safe: sessions may be created from any thread.
class StorageFactory {
 public:
  virtual ~StorageFactory() = default;
  virtual Dialect dialect() const = 0;
  // The database named for logs (a PostgreSQL password is never shown).
  virtual std::string Describe() const = 0;
  // A new connection; throws StorageError when the database cannot be reached.
  virtual std::unique_ptr<DbSession> NewSession() = 0;
};

struct StorageOptions {
  // How long a writer waits for another writer before failing with "The database is busy":
  // SQLite's busy timeout for the write lock, PostgreSQL's lock_timeout for row locks. Longer
  // than the longest time a transaction may hold them (ObjectOptions::transaction_limit), so a
  // writer that queues behind one client's transaction is served, not turned away.
  int busy_timeout_ms = 15000;
  // PostgreSQL: the schema that holds the tables (created when missing); empty: the default
  // search path. Lets several test programs share one cluster.
  std::string pg_schema;
};

// Opens a database by URL and creates its tables when they are missing:
//   "sqlite:PATH"                          an SQLite file (created when missing), WAL mode;
//   "postgresql://..." / "postgres://..."  a PostgreSQL connection URI;
//   "host=... dbname=..."                  a PostgreSQL key/value connection string.
// Throws StorageError naming the problem (unknown scheme, unreachable server, ...).
std::unique_ptr<StorageFactory> OpenStorage(const std::string& url,
                                            const StorageOptions& options = {});

}  // namespace server
