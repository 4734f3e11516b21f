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
//   ObjectOptions::transaction_timeout is rolled back the same way.
// - System-transaction object, saving an audit: "TranPara" runs its stock batch in a transaction
//   that stays open (pending) for the document. The next ApplyUpdates of "dsp_qmdwlrt1" on the
//   same instance writes the document in that transaction and commits both when every row was
//   written, or rolls both back when any row failed. Any other request first (except closing a
//   result), ObjectOptions::save_timeout passing, or the instance's end rolls the batch back;
//   the next ApplyUpdates of "dsp_qmdwlrt1" is then refused with the reason, so that a document
//   is never stored as audited without its stock changes.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "remote/server_object.h"
#include "server/storage.h"

namespace server {

// Creates an instance of the object named by `prog_id`, with its own session of `storage`.
// Throws remote::ServerError naming an unknown ProgID, or StorageError when the database cannot
// be reached.
std::unique_ptr<remote::ServerObject> CreateServerObject(const std::string& prog_id,
                                                         StorageFactory& storage);

// The ProgIDs that CreateServerObject knows.
const std::vector<std::string>& HostedProgIds();

struct ObjectOptions {
  // How long a stock batch of "TranPara" waits for its document.
  std::chrono::milliseconds save_timeout{30000};
  // How long a transaction of "sustarttran" may stay without a request.
  std::chrono::milliseconds transaction_timeout{60000};
  // Open results (list cursors) one instance may hold at once.
  int max_open_results = 64;
};

// Process-wide; applies to instances created afterwards.
void SetObjectOptions(const ObjectOptions& options);
ObjectOptions GetObjectOptions();

}  // namespace server
