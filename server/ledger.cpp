#include "server/ledger.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "rtl/numtext.h"

namespace server {
namespace {

using Entry = std::tuple<std::string, std::string, std::string>;  // goods, warehouse, quantity

std::string Describe(const Entry& e) {
  return "goods '" + std::get<0>(e) + "' in warehouse '" + std::get<1>(e) + "' with quantity " +
         std::get<2>(e);
}

}  // namespace

LedgerDocument ReadLedgerDocument(DbSession& db, double document) {
  LedgerDocument doc;
  {
    auto header =
        db.Query("SELECT CKDM00 FROM QMDWLRT1 WHERE DHAO00 = ?", {remote::Value::Float(document)});
    if (!header->Next()) return doc;
    doc.exists = true;
    doc.warehouse = header->IsNull(0) ? "" : std::string(header->Text(0));
  }
  auto lines = db.Query("SELECT SPDM00, SL0000 FROM QMDWLRT2 WHERE DHAO00 = ? ORDER BY SPDM00",
                        {remote::Value::Float(document)});
  while (lines->Next()) {
    doc.lines.push_back({std::string(lines->Text(0)), lines->IsNull(1) ? 0.0 : lines->Float(1)});
  }
  return doc;
}

std::string CompareWithDocument(const LedgerDocument& doc,
                                const std::vector<Statement>& statements) {
  if (!doc.exists) return "the document does not exist";
  std::vector<Entry> expected, given;
  for (const LedgerLine& line : doc.lines) {
    const std::string q = rtl::FloatToStr(line.quantity);
    expected.emplace_back(line.goods, "0B", q);
    expected.emplace_back(line.goods, doc.warehouse, q);
  }
  for (const Statement& st : statements) {
    given.emplace_back(st.goods, st.warehouse, rtl::FloatToStr(st.quantity));
  }
  std::sort(expected.begin(), expected.end());
  std::sort(given.begin(), given.end());
  if (expected == given) return "";
  if (expected.size() != given.size()) {
    return std::to_string(given.size()) + " statements where the document's " +
           std::to_string(doc.lines.size()) + " lines need " + std::to_string(expected.size());
  }
  std::vector<Entry> missing, extra;
  std::set_difference(expected.begin(), expected.end(), given.begin(), given.end(),
                      std::back_inserter(missing));
  std::set_difference(given.begin(), given.end(), expected.begin(), expected.end(),
                      std::back_inserter(extra));
  if (!missing.empty()) return "no statement for " + Describe(missing.front());
  return "the statement for " + Describe(extra.front()) + " is not one of the document's lines";
}

std::string CheckAuditBatchShape(const std::vector<Statement>& batch) {
  if (batch.size() % 2 != 0) {
    return "it holds " + std::to_string(batch.size()) + " statements, an odd number";
  }
  std::set<std::string> goods;
  for (size_t i = 0; i + 1 < batch.size(); i += 2) {
    const Statement& a = batch[i];
    const Statement& b = batch[i + 1];
    const std::string n = std::to_string(i + 1);
    const std::string m = std::to_string(i + 2);
    if (a.warehouse != "0B") {
      return "statement " + n + " is for warehouse '" + a.warehouse + "', not 0B";
    }
    if (a.goods != b.goods) return "statements " + n + " and " + m + " name different goods";
    if (rtl::FloatToStr(a.quantity) != rtl::FloatToStr(b.quantity)) {
      return "statements " + n + " and " + m + " have different quantities";
    }
    if (b.warehouse != batch[1].warehouse) {
      return "statement " + m + " is for warehouse '" + b.warehouse + "', statement 2 for '" +
             batch[1].warehouse + "'";
    }
    if (!goods.insert(a.goods).second) {
      return "goods '" + a.goods + "' has more than one pair of statements";
    }
  }
  return "";
}

}  // namespace server
