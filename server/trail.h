// The audit trail: who audited a document, who cancelled its audit, and when, and what every
// save and cancel changed or why it failed. The server writes it, and nothing else may change it.
//
// - The table QMDWSHRZ holds one row per event, numbered XHAO00 1, 2, ... in the order written.
//   An audit saved, a cancel committed and a plain change of a document are written inside the
//   transaction of the change itself, just before it commits: the change and its event are
//   committed together or not at all (a crash, a kill -9, a failing commit leave neither).
// - A save or cancel that is refused or rolled back leaves no change; its event ("audit-failed",
//   "cancel-failed") is written after the rollback, in a transaction of its own, by the trail
//   writer (one thread of the process), so that no client waits for it however busy the database
//   is. The events of an instance are written before the instance is gone.
// - Nothing outside the server may change or delete an event: triggers refuse UPDATE and DELETE
//   (and TRUNCATE on PostgreSQL). Each event holds a hash over its content and the previous
//   event's hash (HMAC-SHA-256 keyed with the trail key, see SetKey), so a change made by
//   someone who dropped the triggers breaks the chain and VerifyChain finds it.
// - The trail begins with a "start" event that lists the documents audited at that moment; an
//   audit before it has no event of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/datetime.h"
#include "server/apply.h"
#include "server/statements.h"
#include "server/storage.h"

namespace server::trail {

inline constexpr const char* kTable = "QMDWSHRZ";

enum class Kind { kStart, kAudit, kAuditFailed, kCancel, kCancelFailed, kChange };
// "start", "audit", "audit-failed", "cancel", "cancel-failed", "change".
std::string_view KindName(Kind kind);
std::optional<Kind> KindFromName(std::string_view name);

// One "YW" stock row as a statement changed it.
struct StockChange {
  std::string goods;
  std::string warehouse;
  double before = 0;
  double after = 0;
};

// What an event records beyond its columns; stored as JSON in MXNR00.
struct Details {
  std::vector<StockChange> stock;     // every stock row changed, in the order changed
  std::vector<WrittenField> fields;   // header and line fields written (before, after)
  std::vector<Statement> statements;  // a failed save or cancel: the statements it sent
  std::vector<double> audited;        // the start event: the documents audited then
  std::string Json() const;
};

struct Event {
  int64_t sequence = 0;  // XHAO00, given when written
  rtl::DateTime time;    // FSSJ00: the application server's local time, in whole milliseconds
  Kind kind = Kind::kAudit;
  std::optional<double> document;  // DHAO00
  std::string operator_code;       // CZRY00: the staff code (the auditor of an audit)
  std::string client_address;      // KHDZ00: the client computer's address
  std::string computer_name;       // JSJM00: the name the client computer gives itself
  std::string warehouse;           // CKDM00: the document's warehouse
  std::string code;                // XXDM00: a failed event's message code
  std::string reason;              // XXNR00: a failed event's English text
  std::string details;             // MXNR00: Details::Json()
  std::string key_id;              // MYBS00: names the key of the hash (empty: unkeyed)
  std::string hash;                // JYM000: hex HMAC-SHA-256 over content and previous hash
};

// The event's time: now, in whole milliseconds.
rtl::DateTime Now();

// The key of the hash chain, for every event written and verified from now on (empty: an
// unkeyed chain, which still finds a change made without recomputing it). Process-wide.
void SetKey(std::string key);
// What names `key` in the events (not the key itself): 16 hex digits, "" for no key.
std::string KeyId(std::string_view key);

// Creates the trail (table, index, triggers, start event) when the database has none. Runs in
// the caller's transaction (schema::CreateTables).
void CreateTrail(DbSession& db);
// Drops the trail and begins a new one: for the demo data, which replaces every row. In the
// caller's transaction.
void RestartTrail(DbSession& db);
// Whether the database has the trail table.
bool HasTrail(DbSession& db);

// Writes `event` inside the caller's open transaction: takes the trail's lock (PostgreSQL; on
// SQLite the write transaction holds it), reads the last event and stores this one after it,
// with its number, key id and hash filled in.
void Append(DbSession& db, Event& event);

// Writes `event` in a transaction of its own on a session of `storage`, from the trail writer's
// thread; `owner` names the instance it belongs to. A failure to write it is logged with the
// event's content.
void Queue(StorageFactory& storage, Event event, const void* owner);
// Waits until every event queued by `owner` (or, without one, by anyone) has been written.
void WaitFor(const void* owner);
void WaitIdle();

struct Filter {
  std::optional<double> document;
  std::optional<std::string> operator_code;
  std::optional<rtl::DateTime> from;  // events at or after
  std::optional<rtl::DateTime> to;    // events at or before
};
// The events that pass `filter`, by number.
std::vector<Event> Read(DbSession& db, const Filter& filter = {});

// The hash an event must hold after `previous_hash`, with `key`.
std::string HashOf(const Event& event, std::string_view previous_hash, std::string_view key);

struct ChainReport {
  int64_t events = 0;
  int64_t last_sequence = 0;
  std::string last_hash;
  std::vector<std::string> problems;  // one line each: event number and what is wrong
};
// Checks every event against its predecessor: numbers 1, 2, ... without gaps, the first a start
// event, each hash as HashOf gives it with the key its key id names, which must be one of `keys`
// (the trail's key now and any it had before). An event without a key is verified as such, but
// none may follow a keyed one: a trail is keyed from some event on, never the other way.
ChainReport VerifyChain(DbSession& db, const std::vector<std::string>& keys);

// The trail's protection as the database holds it: names of the refusing triggers missing.
std::vector<std::string> MissingTriggers(DbSession& db);

}  // namespace server::trail
