// The data providers of the server objects. A provider is stateless; an open result lives in a
// ProviderCursor that the object keeps until every row has been fetched or the client closes it.
// Providers run on the calling object's DbSession; transactions are the object's business.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "remote/server_object.h"
#include "server/statements.h"
#include "server/storage.h"

namespace server {

// The memory that the rows of detached results (ProviderCursor::Detach) take, counted for one
// server object instance (a connection) and for the whole process, each against its limit.
class ResultMemory {
 public:
  ResultMemory(int64_t session_limit, int64_t server_limit)
      : session_limit_(session_limit), server_limit_(server_limit) {}
  ~ResultMemory();
  ResultMemory(const ResultMemory&) = delete;
  ResultMemory& operator=(const ResultMemory&) = delete;

  enum class Refusal { kNone, kSession, kServer };
  // Counts `bytes` more, unless that passes a limit (then nothing is counted).
  Refusal Take(int64_t bytes);
  void Give(int64_t bytes);
  int64_t session_limit() const { return session_limit_; }
  int64_t server_limit() const { return server_limit_; }
  int64_t held() const { return held_; }
  // What every instance of the process holds.
  static int64_t ServerHeld();

 private:
  int64_t session_limit_;
  int64_t server_limit_;
  int64_t held_ = 0;
};

class ProviderCursor {
 public:
  virtual ~ProviderCursor() = default;
  // Appends up to `count` further rows (-1: every remaining row) to `rows`; returns whether
  // rows remain for a later call.
  virtual bool Next(int32_t count, std::vector<remote::Row>& rows) = 0;
  // Reads whatever the cursor still holds open in the database into memory, so that the
  // session's statement and snapshot are released, counting the rows read against `memory`.
  // The object calls it before any request that is not a fetch of this cursor. When the rows
  // would pass a limit of `memory`, the cursor drops everything it read (it can deliver no more
  // rows) and returns the limit it met.
  virtual ResultMemory::Refusal Detach(ResultMemory& memory) {
    return ResultMemory::Refusal::kNone;
  }
  // The version of the rows read, for a list clients may keep; "" otherwise (also an empty
  // list's: there is nothing worth keeping).
  virtual std::string Version() const { return {}; }
};

struct OpenedResult {
  OpenedResult(std::vector<remote::FieldDef> f, std::unique_ptr<ProviderCursor> c)
      : fields(std::move(f)), cursor(std::move(c)) {}
  std::vector<remote::FieldDef> fields;
  std::unique_ptr<ProviderCursor> cursor;
  // A list clients may keep: the version of the data the cursor reads (known once it has read
  // its first row: ProviderCursor::Version), or, when `unchanged`, the version of the copy the
  // client holds, still current (the cursor then delivers nothing).
  bool unchanged = false;
  // The copy the application server keeps (OpenRequest::server_copy_version) is current.
  bool server_copy_current = false;
  std::string version;
};

class Provider {
 public:
  explicit Provider(std::string name) : name_(std::move(name)) {}
  virtual ~Provider() = default;
  const std::string& name() const { return name_; }

  // Each operation a provider does not offer throws remote::ServerError saying so.
  virtual OpenedResult Open(DbSession& db, const remote::OpenRequest& request);
  // The statement that a command text given for execution is; the provider checks its
  // parameters and which statements it runs. The object decides whether and how it runs.
  virtual Statement RecogniseCommand(const std::vector<remote::Param>& params,
                                     const std::string& command_text);
  // Applies inside the session's open transaction; the caller commits or rolls back.
  virtual remote::ApplyResult Apply(DbSession& db, const std::vector<remote::RowDelta>& delta,
                                    int32_t max_errors);
  virtual bool Applies() const { return false; }

 protected:
  // Refuses parameters other than `allowed` and a command text when `command_allowed` is false.
  void CheckRequest(const remote::OpenRequest& request,
                    std::initializer_list<const char*> allowed) const;

 private:
  std::string name_;
};

// A whole reference list: `select` (without parameters) delivers `fields` in order. With a
// `counter` (schema::Counters) clients may keep a copy of it: the rows come with their version,
// read in the same statement (one snapshot); an open offering the version of a copy that is still
// current reads no rows and is answered "unchanged". Outside a transaction only: inside one, the
// rows may include changes that are not committed yet and may never be.
std::unique_ptr<Provider> MakeListProvider(std::string name, std::string select,
                                           std::vector<remote::FieldDef> fields,
                                           std::string counter = {});
// The document list of the communication object (parameters CKDM00, FLAG), lines nested as
// "qry_qmdwlrt2", read in packets by document number from the newest down.
std::unique_ptr<Provider> MakeHeaderListProvider();
// One document by its parameter DHAO00, lines nested as "tb_qmdwlrt2"; takes the change log.
std::unique_ptr<Provider> MakeDocumentProvider();
// Runs the closing-period query given as command text.
std::unique_ptr<Provider> MakeClosingPeriodProvider();
// Executes the cancel's stock increments and audit resets given as command texts.
std::unique_ptr<Provider> MakeCommandProvider();

// Runs a recognised stock statement or audit reset with bound values; returns the number of rows
// changed. A stock statement whose result would not be a finite number is refused (the row keeps
// its value), the same on every backend; one that finds no row changes nothing and returns 0 (the
// caller logs it). An audit reset that changes no row (the document is not audited, or does not
// exist, or was audited before the latest closing date) throws remote::ServerError.
// `before`/`after`: when given, the stock row's value before and after a stock statement that
// found its row (the audit trail records them).
int64_t RunStatement(DbSession& db, const Statement& statement, double* before = nullptr,
                     double* after = nullptr);

}  // namespace server
