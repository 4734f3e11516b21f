// The module's own call sequences on a server object, in-process or over the network: reading a
// document, saving its audit (TranPara, then the apply on the same instance) and cancelling it
// (sustarttran, the increments, the audit reset, sucommit; surollback after a failure).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remote/server_object.h"
#include "rtl/datetime.h"
#include "rtl/numtext.h"
#include "test_support.h"

namespace server::testing {

inline remote::Packet OpenDocument(remote::ServerObject& systran, double doc) {
  remote::OpenRequest r;
  r.provider = "dsp_qmdwlrt1";
  r.params = {TextParam("DHAO00", rtl::FloatToStr(doc))};
  return systran.Open(r).packet;
}

inline std::vector<BatchLine> DocumentLines(const remote::Packet& doc) {
  std::vector<BatchLine> lines;
  for (const remote::Row& line : doc.rows[0].nested[0]) {
    lines.push_back({line.cells[1].text(), line.cells[3].float_value()});
  }
  return lines;
}

inline std::string DocumentWarehouse(const remote::Packet& doc) {
  return doc.rows[0].cells[5].is_text() ? doc.rows[0].cells[5].text() : std::string();
}

// The change log of an audit: YWRQ00 and YWRY00 stamped, originals as read; `more` are further
// header changes (the remark).
inline remote::RowDelta AuditDelta(const remote::Packet& doc, const std::string& date,
                                   const std::string& auditor,
                                   std::vector<remote::FieldValue> more = {}) {
  remote::RowDelta d;
  for (size_t i = 0; i < doc.fields.size(); ++i) {
    if (doc.fields[i].type == remote::FieldType::Nested) continue;
    d.original.push_back({doc.fields[i].name, doc.rows[0].cells[i]});
  }
  rtl::DateTime when;
  EXPECT_TRUE(rtl::TryIsoToDateTime(date, when));
  d.changed.push_back({"YWRQ00", remote::Value::Date(when)});
  d.changed.push_back({"YWRY00", remote::Value::Text(auditor)});
  for (remote::FieldValue& v : more) d.changed.push_back(std::move(v));
  return d;
}

// A line's new price, amount and tax in the change log of `delta` (line `index` of `doc`).
inline void ChangeLinePrice(remote::RowDelta& delta, const remote::Packet& doc, size_t index,
                            double price, double amount, double tax) {
  const remote::Row& line = doc.rows[0].nested[0][index];
  remote::RowDelta l;
  for (size_t i = 0; i < doc.fields.back().nested.size(); ++i) {
    l.original.push_back({doc.fields.back().nested[i].name, line.cells[i]});
  }
  l.changed = {{"DJIA00", remote::Value::Float(price)},
               {"JE0000", remote::Value::Float(amount)},
               {"SE0000", remote::Value::Float(tax)}};
  if (delta.nested.empty()) delta.nested.push_back({"tb_qmdwlrt2", {}});
  delta.nested[0].rows.push_back(std::move(l));
}

// The module's save: TranPara with the batch, then the apply with max errors 0.
inline remote::ApplyResult SaveAudit(remote::ServerObject& systran, const remote::Packet& doc,
                                     const remote::RowDelta& delta) {
  std::vector<remote::Value> args = {
      remote::Value::Text(AuditBatch(DocumentLines(doc), DocumentWarehouse(doc)))};
  systran.Call("TranPara", args);
  return systran.ApplyUpdates("dsp_qmdwlrt1", {delta}, 0);
}
inline remote::ApplyResult SaveAudit(remote::ServerObject& systran, const remote::Packet& doc,
                                     const std::string& date, const std::string& auditor) {
  return SaveAudit(systran, doc, AuditDelta(doc, date, auditor));
}

// The cancel of a document as the browser runs it; the error the module would have caught, or
// "" when it committed.
inline std::string CancelAudit(remote::ServerObject& commu, const remote::Packet& doc) {
  std::vector<remote::Value> none;
  try {
    commu.Call("sustarttran", none);
    const std::vector<BatchLine> lines = DocumentLines(doc);
    const std::string warehouse = DocumentWarehouse(doc);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      commu.Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement("0B", it->goods, it->quantity));
      commu.Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement(warehouse, it->goods, it->quantity));
    }
    commu.Execute("dsp_qmdwlrt_tmp", {}, ResetStatement(doc.rows[0].cells[0].float_value()));
    commu.Call("sucommit", none);
    return "";
  } catch (const remote::ServerError& e) {
    commu.Call("surollback", none);
    return e.what();
  }
}

}  // namespace server::testing
