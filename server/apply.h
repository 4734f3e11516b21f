// Apply updates of documents: the change log of headers with their nested lines.
//
// Rules:
// - Only stored fields are written: header CKRQ00 CKRY00 YWRQ00 YWRY00 CKDM00 ZZSL00 BEIZHU
//   GSDW00; line DJIA00 JE0000 SE0000. Fields the server does not store (lookups such as CKRYMC,
//   local fields such as KCSL00) are ignored. Keys (DHAO00, SPDM00) and a line's SL0000 cannot be
//   changed; inserting or deleting documents or lines is refused.
// - No lost update: a row is written only while every field being changed still holds, on the
//   server, the value the client read (the change log's original value). Otherwise the row fails.
// - A document (header and its lines) is written whole or not at all.
// - Every failing row counts as one error; its message names the document (and the goods).
// - A stored text may hold line breaks and tabs but no other control character; a number is
//   finite; a date lies in years 1 to 9999.
// - Storing an audit stamp (YWRQ00 from no value to a value) needs `audit_allowed`: the stock
//   batch of the same save is pending. Clearing YWRQ00 is only done by cancelling the audit.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "remote/value.h"
#include "server/messages.h"
#include "server/storage.h"

namespace server {

// One stored field that an apply changed: of a header (goods empty) or of a line.
struct WrittenField {
  double document = 0;
  std::string goods;
  std::string field;
  remote::Value before;
  remote::Value after;
};

struct ApplyOptions {
  std::string nested_field;    // the lines' nested field name
  int32_t max_errors = 0;      // stop after more errors than this (-1: never stop)
  bool audit_allowed = false;  // a stock batch is pending for this save
  // When set: the message of every failing row (in the order of the result's errors), and every
  // field of the documents written (documents that failed are not listed).
  std::vector<msg::Message>* failures = nullptr;
  std::vector<WrittenField>* written = nullptr;
};

// Runs inside the session's open transaction; the caller commits or rolls back (it rolls back
// when more than `max_errors` rows failed).
remote::ApplyResult ApplyDocumentChanges(DbSession& db, const std::vector<remote::RowDelta>& delta,
                                         const ApplyOptions& options);

// The number DHAO00 of the document a change names (its value read, else its new value).
std::optional<double> ChangedDocumentNumber(const remote::RowDelta& row);

// Whether the change stores an audit: YWRQ00 from no value to a value.
bool StoresAudit(const remote::RowDelta& row);

}  // namespace server
