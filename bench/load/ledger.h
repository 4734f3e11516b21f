// The stock ledger's invariants, read straight from the database (not through the application
// server), before and after a load or fault run:
//
//   1. For every goods and warehouse, the "YW" stock equals its value at the start minus the
//      quantities of the documents audited now and not at the start (plus those of documents
//      audited at the start and not now); a document of warehouse "0B" counts twice there.
//   2. Every document has both an audit date and an auditor, or neither.
//   3. When the operators' own records are given: for every document the audits the operators
//      saw succeed minus the cancels they saw succeed equals its change of state (so no document
//      was audited twice, and no cancel restored stock twice).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/storage.h"

namespace load {

struct DocState {
  bool has_date = false;
  bool has_auditor = false;
  std::string warehouse;
};

struct Ledger {
  std::unordered_map<std::string, double> yw;  // goods + "\t" + warehouse -> KCSL00 ("YW" rows)
  std::unordered_map<int64_t, DocState> docs;  // DHAO00 -> state
};

Ledger ReadLedger(server::DbSession& db);

struct LedgerCheck {
  std::vector<std::string> violations;  // empty: every invariant held
  int64_t docs_audited = 0;             // documents audited at the end and not at the start
  int64_t docs_cancelled = 0;           // audited at the start and not at the end
  int64_t stock_rows_checked = 0;
};

// `net_by_doc`, when not null: audits minus cancels that the operators saw succeed, per document.
LedgerCheck CheckLedger(server::DbSession& db, const Ledger& start, const Ledger& end,
                        const std::map<int64_t, int>* net_by_doc);

}  // namespace load
