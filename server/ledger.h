// The stock ledger's rules that the server keeps for every client: an audit lowers, and a cancel
// raises, the two "YW" stock rows of each of a document's lines (warehouse "0B" and the
// document's own warehouse) by the line's quantity, and nothing else changes the stock.
//
// The statements are compared with the document as stored, inside the transaction that runs
// them, so that a document whose lines changed since the client read them is refused whole.
// Quantities compare as number text (15 significant digits), the form in which the client
// writes them into its statements.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/messages.h"
#include "server/statements.h"
#include "server/storage.h"

namespace server {

struct LedgerLine {
  std::string goods;    // SPDM00
  double quantity = 0;  // SL0000
};

// What the ledger needs of one stored document.
struct LedgerDocument {
  bool exists = false;
  std::string warehouse;  // CKDM00
  std::vector<LedgerLine> lines;
};

LedgerDocument ReadLedgerDocument(DbSession& db, double document);

// Nothing when `statements` are exactly, in any order, the two stock statements of each of the
// document's lines (goods, warehouse "0B" and the document's warehouse, the line's quantity);
// otherwise the first difference, in words.
std::optional<msg::Text> CompareWithDocument(const LedgerDocument& doc,
                                             const std::vector<Statement>& statements);

// Nothing when a TranPara batch has the shape of one document's audit: pairs of statements, each
// the statement for warehouse "0B" followed by one for the same goods and quantity in the
// document's warehouse, one warehouse for the whole batch, each goods in one pair only; otherwise
// what is wrong, in words.
std::optional<msg::Text> CheckAuditBatchShape(const std::vector<Statement>& batch);

}  // namespace server
