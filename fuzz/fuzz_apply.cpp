// The change-log apply path: any change log that the wire can carry (an ApplyUpdates request) is
// applied to documents of a real SQLite database inside a transaction that is rolled back
// afterwards. It either throws a server error or returns a result whose error count equals its
// number of messages; it never crashes and never writes outside its transaction.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "remote/wire.h"
#include "server/apply.h"
#include "server/demo_data.h"
#include "server/storage.h"

namespace {

struct Database {
  std::unique_ptr<server::StorageFactory> storage;
  std::unique_ptr<server::DbSession> db;
  Database() {
    const std::string path = "/tmp/qmdw_fuzz_apply." + std::to_string(getpid()) + ".sqlite";
    unlink(path.c_str());
    storage = server::OpenStorage("sqlite:" + path);
    server::CreateDemoData(*storage, server::DemoSet::kSmall);
    db = storage->NewSession();
    unlink(path.c_str());  // the open connection keeps it while the process runs
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Database database;
  remote::wire::ClientMessage message;
  try {
    message = remote::wire::DecodeClientMessage(
        std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const remote::ProtocolError&) {
    return 0;
  }
  auto* request = std::get_if<remote::wire::ApplyUpdatesRequest>(&message);
  if (request == nullptr) return 0;
  server::ApplyOptions options;
  options.nested_field = "tb_qmdwlrt2";
  options.max_errors = request->max_errors;
  options.audit_allowed = !request->provider.empty() && request->provider[0] == 'A';
  server::DbSession& db = *database.db;
  db.Begin();
  try {
    remote::ApplyResult r = server::ApplyDocumentChanges(db, request->delta, options);
    if (r.error_count < 0 || static_cast<size_t>(r.error_count) != r.errors.size()) std::abort();
  } catch (const remote::ServerError&) {
  }
  if (!db.InTransaction()) std::abort();  // the caller's transaction is still the caller's
  db.Rollback();
  return 0;
}
