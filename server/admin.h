// The administrator's tools behind `appserver history`, `appserver backup` and `appserver check`.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "server/storage.h"
#include "server/trail.h"

namespace server::admin {

// Writes the events of the trail that pass `filter`: as a table (one line per event, its stock
// and field changes indented below) or as CSV (one row per event, with a header row; the changes
// as the JSON the trail holds).
void PrintHistory(DbSession& db, const trail::Filter& filter, bool csv, std::ostream& out);

// A consistent copy of the SQLite database at `database_path` in `target`, taken with SQLite's
// online backup while servers keep writing. The copy is written beside the target and renamed
// to it only once it is whole and passes SQLite's integrity check, so a failed backup leaves
// nothing behind; the database itself is only read. Refuses a target that is the database (or
// one of its journal files). Throws BackupError saying why.
struct BackupResult {
  long long pages = 0;
  long long bytes = 0;
};
class BackupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
BackupResult BackupSqlite(const std::string& database_path, const std::string& target);

// The consistency report of a database: audit stamps half set, lines without a header, stock
// rows an audit should have changed that are missing, stock values that are no numbers, the
// trail's chain and protection, documents whose state their trail does not explain, stock rows
// whose value their trail does not explain. Writes one line per check; returns the number of
// problems found (0: consistent). `keys`: the trail's key and any it had before.
int CheckDatabase(StorageFactory& storage, const std::vector<std::string>& keys, std::ostream& out);

}  // namespace server::admin
