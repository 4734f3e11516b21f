#include "server/ledger.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "rtl/numtext.h"

namespace server {
namespace {

using Entry = std::tuple<std::string, std::string, std::string>;  // goods, warehouse, quantity

msg::Text Describe(const Entry& e) {
  return msg::Part("part.ledger.entry", {msg::Same(std::get<0>(e)), msg::Same(std::get<1>(e)),
                                         msg::Same(std::get<2>(e))});
}

msg::Text Index(size_t i) {
  return msg::Count(static_cast<int64_t>(i));
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

std::optional<msg::Text> CompareWithDocument(const LedgerDocument& doc,
                                             const std::vector<Statement>& statements) {
  if (!doc.exists) return msg::Part("part.ledger.no_document");
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
  if (expected == given) return std::nullopt;
  if (expected.size() != given.size()) {
    return msg::Part("part.ledger.count",
                     {Index(given.size()), Index(doc.lines.size()), Index(expected.size())});
  }
  std::vector<Entry> missing, extra;
  std::set_difference(expected.begin(), expected.end(), given.begin(), given.end(),
                      std::back_inserter(missing));
  std::set_difference(given.begin(), given.end(), expected.begin(), expected.end(),
                      std::back_inserter(extra));
  if (!missing.empty()) return msg::Part("part.ledger.missing", {Describe(missing.front())});
  return msg::Part("part.ledger.extra", {Describe(extra.front())});
}

std::optional<msg::Text> CheckAuditBatchShape(const std::vector<Statement>& batch) {
  if (batch.size() % 2 != 0) return msg::Part("part.shape.odd", {Index(batch.size())});
  std::set<std::string> goods;
  for (size_t i = 0; i + 1 < batch.size(); i += 2) {
    const Statement& a = batch[i];
    const Statement& b = batch[i + 1];
    const msg::Text n = Index(i + 1);
    const msg::Text m = Index(i + 2);
    if (a.warehouse != "0B") return msg::Part("part.shape.not_0b", {n, msg::Same(a.warehouse)});
    if (a.goods != b.goods) return msg::Part("part.shape.goods", {n, m});
    if (rtl::FloatToStr(a.quantity) != rtl::FloatToStr(b.quantity)) {
      return msg::Part("part.shape.quantity", {n, m});
    }
    if (b.warehouse != batch[1].warehouse) {
      return msg::Part("part.shape.warehouse",
                       {m, msg::Same(b.warehouse), msg::Same(batch[1].warehouse)});
    }
    if (!goods.insert(a.goods).second) return msg::Part("part.shape.pairs", {msg::Same(a.goods)});
  }
  return std::nullopt;
}

}  // namespace server
