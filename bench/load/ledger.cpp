#include "ledger.h"

#include <cmath>

namespace load {

Ledger ReadLedger(server::DbSession& db) {
  Ledger ledger;
  {
    auto rows = db.Query("SELECT SPDM00, CKDM00, KCSL00 FROM XSTZXKC0 WHERE KCBZ00 = 'YW'");
    while (rows->Next()) {
      std::string key(rows->Text(0));
      key += '\t';
      key += rows->Text(1);
      ledger.yw[key] = rows->IsNull(2) ? 0.0 : rows->Float(2);
    }
  }
  auto rows = db.Query("SELECT DHAO00, YWRQ00, YWRY00, CKDM00 FROM QMDWLRT1");
  while (rows->Next()) {
    DocState d;
    d.has_date = !rows->IsNull(1);
    d.has_auditor = !rows->IsNull(2) && !rows->Text(2).empty();
    d.warehouse = rows->IsNull(3) ? std::string() : std::string(rows->Text(3));
    ledger.docs[static_cast<int64_t>(std::llround(rows->Float(0)))] = d;
  }
  return ledger;
}

LedgerCheck CheckLedger(server::DbSession& db, const Ledger& start, const Ledger& end,
                        const std::map<int64_t, int>* net_by_doc) {
  LedgerCheck check;
  std::unordered_map<std::string, double> expected = start.yw;
  std::map<int64_t, int> change;  // +1 audited now, -1 cancelled
  for (const auto& [doc, now] : end.docs) {
    if (now.has_date != now.has_auditor) {
      check.violations.push_back(
          "document " + std::to_string(doc) + " has " +
          (now.has_date ? "an audit date without auditor" : "an auditor without audit date"));
    }
    auto it = start.docs.find(doc);
    if (it == start.docs.end()) {
      check.violations.push_back("document " + std::to_string(doc) + " appeared during the run");
      continue;
    }
    const int delta = static_cast<int>(now.has_date) - static_cast<int>(it->second.has_date);
    if (delta != 0) change[doc] = delta;
  }
  if (end.docs.size() != start.docs.size()) {
    check.violations.push_back("the number of documents changed from " +
                               std::to_string(start.docs.size()) + " to " +
                               std::to_string(end.docs.size()));
  }
  for (const auto& [doc, delta] : change) {
    (delta > 0 ? check.docs_audited : check.docs_cancelled)++;
    const std::string& warehouse = end.docs.at(doc).warehouse;
    auto lines = db.Query("SELECT SPDM00, SL0000 FROM QMDWLRT2 WHERE DHAO00 = ?",
                          {remote::Value::Float(static_cast<double>(doc))});
    while (lines->Next()) {
      const std::string goods(lines->Text(0));
      const double q = lines->IsNull(1) ? 0.0 : lines->Float(1);
      // An audit lowers the "0B" row and the document's own row (the same row for "0B").
      expected[goods + "\t0B"] -= delta * q;
      expected[goods + "\t" + warehouse] -= delta * q;
    }
  }
  for (const auto& [key, want] : expected) {
    ++check.stock_rows_checked;
    auto it = end.yw.find(key);
    double have = it == end.yw.end() ? 0.0 : it->second;
    if (it == end.yw.end() && start.yw.count(key) == 0) continue;  // no such row at all
    if (std::fabs(have - want) > 1e-6 * std::max(1.0, std::fabs(want))) {
      std::string k = key;
      k[k.find('\t')] = '/';
      check.violations.push_back("stock YW " + k + " is " + std::to_string(have) + ", expected " +
                                 std::to_string(want));
    }
  }
  if (net_by_doc != nullptr) {
    for (const auto& [doc, net] : *net_by_doc) {
      auto it = change.find(doc);
      const int delta = it == change.end() ? 0 : it->second;
      if (net != delta) {
        check.violations.push_back("document " + std::to_string(doc) + ": operators saw " +
                                   std::to_string(net) +
                                   " net successful audits (audits minus cancels), the database "
                                   "changed by " +
                                   std::to_string(delta));
      }
    }
    for (const auto& [doc, delta] : change) {
      if (net_by_doc->count(doc) == 0) {
        check.violations.push_back("document " + std::to_string(doc) +
                                   " changed although no operator saw a successful operation");
      }
    }
  }
  return check;
}

}  // namespace load
