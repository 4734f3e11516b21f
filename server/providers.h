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

class ProviderCursor {
 public:
  virtual ~ProviderCursor() = default;
  // Appends up to `count` further rows (-1: every remaining row) to `rows`; returns whether
  // rows remain for a later call.
  virtual bool Next(int32_t count, std::vector<remote::Row>& rows) = 0;
  // Reads whatever the cursor still holds open in the database into memory, so that the
  // session's statement and snapshot are released. The object calls it before any request that
  // is not a fetch of this cursor.
  virtual void Detach() {}
};

struct OpenedResult {
  std::vector<remote::FieldDef> fields;
  std::unique_ptr<ProviderCursor> cursor;
};

class Provider {
 public:
  explicit Provider(std::string name) : name_(std::move(name)) {}
  virtual ~Provider() = default;
  const std::string& name() const { return name_; }

  // Each operation a provider does not offer throws remote::ServerError saying so.
  virtual OpenedResult Open(DbSession& db, const remote::OpenRequest& request);
  virtual void Execute(DbSession& db, const std::vector<remote::Param>& params,
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

// A whole reference list: `select` (without parameters) delivers `fields` in order.
std::unique_ptr<Provider> MakeListProvider(std::string name, std::string select,
                                           std::vector<remote::FieldDef> fields);
// The document list of the communication object (parameters CKDM00, FLAG), lines nested as
// "qry_qmdwlrt2", read in packets by document number from the newest down.
std::unique_ptr<Provider> MakeHeaderListProvider();
// One document by its parameter DHAO00, lines nested as "tb_qmdwlrt2"; takes the change log.
std::unique_ptr<Provider> MakeDocumentProvider();
// Runs the closing-period query given as command text.
std::unique_ptr<Provider> MakeClosingPeriodProvider();
// Executes the cancel's stock increments and audit resets given as command texts.
std::unique_ptr<Provider> MakeCommandProvider();

// Runs a recognised stock statement or audit reset with bound values. A stock statement that
// changes no row is logged as a warning naming goods and warehouse; an audit reset that changes
// no row (the document is not audited, or does not exist) throws remote::ServerError.
void RunStatement(DbSession& db, const Statement& statement);

}  // namespace server
