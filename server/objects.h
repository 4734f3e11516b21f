// The five server objects of the application server, created by ProgID.
//
// Each instance owns its own database session; destroying an instance (a client that
// disconnects) rolls back whatever it had left open. Instances are not shared between clients;
// the calls of one instance may come from any one thread at a time, while a background timer may
// roll back a transaction that a client left open too long.
//
// Transactions:
// - Communication object: "sustarttran" opens a transaction that covers every command executed
//   through its providers until "sucommit" or "surollback". A command that fails inside it rolls
//   the transaction back at once; later commands and "sucommit" are then refused until
//   "surollback" (which never fails) or a new "sustarttran". A transaction idle for longer than
//   ObjectOptions::transaction_timeout, or open for longer than ObjectOptions::transaction_limit
//   from its start however busy, is rolled back the same way.
// - System-transaction object, saving an audit: "TranPara" runs its stock batch in a transaction
//   that stays open (pending) for the document. The next ApplyUpdates of "dsp_qmdwlrt1" on the
//   same instance writes the document in that transaction and commits both when every row was
//   written, or rolls both back when any row failed. Any other request first (except closing a
//   result), ObjectOptions::save_timeout passing (from the batch's start), or the instance's end
//   rolls the batch back; the next ApplyUpdates of "dsp_qmdwlrt1" is then refused with the
//   reason, so that a document is never stored as audited without its stock changes.
//
// The stock ledger's rules (server/ledger.h), kept whatever the client sends:
// - A TranPara batch is the stock batch of one document's audit: pairs of decrements, for
//   warehouse "0B" and then the document's warehouse, with the same goods and quantity. The
//   apply that follows must store the audit (YWRQ00) of exactly one document, and the batch must
//   be exactly the two statements of each of that document's stored lines with the line's
//   quantity; otherwise batch and document are both rolled back and the apply is refused saying
//   why. An apply without the stamp (an empty one too) lowers no stock.
// - Stock increments and audit resets run only inside a communication object's transaction. The
//   audit reset checks that the increments before it are exactly the two statements of each of
//   that document's lines; nothing may follow it; a transaction with increments but no reset is
//   not committed. Each refusal rolls the transaction back.
// - No stock row becomes a non-finite number (see RunStatement).
//
// Requests: every text a request carries is checked before anything runs (server/text_rules.h):
// names, statements and parameters hold no control character; stored texts may hold line breaks
// and tabs and no other control character; every number is finite.
//
// The audit trail (server/trail.h): an audit saved, a cancel committed and a plain change of a
// document are recorded inside their own transaction; a save or cancel refused or rolled back is
// recorded after its rollback. Each event names the client the instance was created for.
//
// Open results: a result read in packets is detached (read into memory) when another request
// comes; the rows held that way count against ObjectOptions::result_memory_per_session and,
// summed over the process, result_memory_total. A result that would pass either is closed and a
// later fetch of it is refused saying why.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "remote/server_object.h"
#include "server/storage.h"

namespace server {

// The client an instance serves, as the audit trail records it.
struct ClientInfo {
  std::string address;        // the client computer's address, as the server sees it
  std::string computer_name;  // the name the client computer gives itself (empty: not told)
  std::string operator_code;  // the operator's staff code, when the client tells it
};

// Creates an instance of the object named by `prog_id`, with its own session of `storage`.
// Throws msg::Error naming an unknown ProgID, or StorageError when the database cannot be
// reached.
std::unique_ptr<remote::ServerObject> CreateServerObject(const std::string& prog_id,
                                                         StorageFactory& storage,
                                                         const ClientInfo& client = {});

// The ProgIDs that CreateServerObject knows.
const std::vector<std::string>& HostedProgIds();

struct ObjectOptions {
  // How long a stock batch of "TranPara" waits for its document, from the batch's start.
  std::chrono::milliseconds save_timeout{10000};
  // How long a transaction of "sustarttran" may stay without a request.
  std::chrono::milliseconds transaction_timeout{10000};
  // How long any transaction (a cancel's, or a pending stock batch) may stay open from its start,
  // however busy its client keeps it: the longest one client holds the database's write lock.
  std::chrono::milliseconds transaction_limit{10000};
  // Open results (list cursors) one instance may hold at once.
  int max_open_results = 64;
  // Memory the rows of detached open results may take, per instance and in the whole process.
  int64_t result_memory_per_session = int64_t{64} << 20;
  int64_t result_memory_total = int64_t{512} << 20;
};

// Process-wide; applies to instances created afterwards.
void SetObjectOptions(const ObjectOptions& options);
ObjectOptions GetObjectOptions();

}  // namespace server
