#include "tests/windows/browser_fixture.h"

#include <cmath>
#include <stdexcept>

#include "remote/value.h"
#include "rtl/datetime.h"
#include "rtl/numtext.h"

namespace browsertest {
namespace {

using remote::Value;

Value Date(const std::string& iso) {
  if (iso.empty()) return Value();
  rtl::DateTime d;
  if (!rtl::TryIsoToDateTime(iso, d)) throw std::runtime_error("fixture: not a date: " + iso);
  return Value::Date(d);
}

Value Text(const std::string& s) {
  return s.empty() ? Value() : Value::Text(s);
}

const char* const kGoods[] = {"10010001", "10010002", "10010003", "10010004", "10010005"};
const char* const kGoodsNames[] = {"青岚(硬盒)", "松涛(精品)", "竹韵(细支)", "雁归(硬盒)",
                                   "云岫(中支)"};
const char* const kWarehouses[] = {"0B", "01", "02"};
const char* const kWarehouseNames[] = {"配送中心总仓", "城东仓库", "城西仓库"};

}  // namespace

void WriteFixture(server::StorageFactory& storage, const Fixture& f) {
  auto db = storage.NewSession();
  db->Begin();
  for (const char* table : {"QMDWLRT2", "QMDWLRT1", "XSTZXKC0", "XSTYJZQJ", "GSTRYGL0", "GSTCKGL0",
                            "GSTJYGL1", "GSTJYDW0", "XSTKCYJ0"}) {
    db->Execute(std::string("DELETE FROM ") + table);
  }
  db->Execute("INSERT INTO GSTRYGL0 (RYDM00, RYMC00, CKDM00) VALUES ('0001', '陈思远', '0B')");
  db->Execute("INSERT INTO GSTRYGL0 (RYDM00, RYMC00, CKDM00) VALUES ('0002', '林雨桐', '01')");
  db->Execute("INSERT INTO GSTRYGL0 (RYDM00, RYMC00, CKDM00) VALUES ('0003', 'Ann', '02')");
  db->Execute("INSERT INTO GSTRYGL0 (RYDM00, RYMC00, CKDM00) VALUES ('0004', 'ANN', '02')");
  for (int w = 0; w < 3; ++w) {
    db->Execute("INSERT INTO GSTCKGL0 (CKDM00, CKMC00) VALUES (?, ?)",
                {Value::Text(kWarehouses[w]), Value::Text(kWarehouseNames[w])});
  }
  for (int g = 0; g < 5; ++g) {
    db->Execute("INSERT INTO GSTJYGL1 (SPDM00, SPMC00) VALUES (?, ?)",
                {Value::Text(kGoods[g]), Value::Text(kGoodsNames[g])});
    for (const char* w : kWarehouses) {
      db->Execute("INSERT INTO XSTZXKC0 (SPDM00, CKDM00, KCBZ00, KCSL00) VALUES (?, ?, 'CK', 500)",
                  {Value::Text(kGoods[g]), Value::Text(w)});
      db->Execute("INSERT INTO XSTZXKC0 (SPDM00, CKDM00, KCBZ00, KCSL00) VALUES (?, ?, 'YW', 1000)",
                  {Value::Text(kGoods[g]), Value::Text(w)});
    }
  }
  int order = 0;
  for (const auto& [name, factor] : f.units) {
    db->Execute("INSERT INTO GSTJYDW0 (SPDW02, ZHXS00, XHAO00) VALUES (?, ?, ?)",
                {Value::Text(name), Value::Float(factor), Value::Integer(++order)});
  }
  int period = 0;
  for (const std::string& date : f.closed) {
    db->Execute("INSERT INTO XSTYJZQJ (KJQJ00, JSRQ00, JZRY00) VALUES (?, ?, '0001')",
                {Value::Text("P" + std::to_string(++period)), Date(date)});
  }
  db->Execute("INSERT INTO XSTYJZQJ (KJQJ00, JSRQ00, JZRY00) VALUES ('OPEN', ?, NULL)",
              {Date("2099-12-31")});
  for (const Doc& d : f.docs) {
    db->Execute(
        "INSERT INTO QMDWLRT1 (DHAO00, CKRQ00, CKRY00, YWRQ00, YWRY00, CKDM00, ZZSL00, BEIZHU, "
        "GSDW00) VALUES (?, ?, ?, ?, ?, ?, 17, ?, 'GS0001')",
        {Value::Float(d.number), Date(d.made), Text(d.maker), Date(d.audited), Text(d.auditor),
         Text(d.warehouse), Text(d.remark)});
    for (const Line& l : d.lines) {
      db->Execute(
          "INSERT INTO QMDWLRT2 (DHAO00, SPDM00, DJIA00, SL0000, JE0000, SE0000) "
          "VALUES (?, ?, ?, ?, ?, ?)",
          {Value::Float(d.number), Value::Text(l.goods), Value::Float(l.price),
           Value::Float(l.quantity), Value::Float(l.price * l.quantity),
           Value::Float(std::round(l.price * l.quantity * 17 / 1.17) / 100)});
    }
  }
  db->Commit();
}

std::vector<Doc> NumberedDocs(int first, int count) {
  std::vector<Doc> docs;
  for (int i = 0; i < count; ++i) {
    Doc d;
    d.number = first + i;
    d.lines = {{kGoods[i % 5], static_cast<double>(i + 1), 10}};
    docs.push_back(d);
  }
  return docs;
}

double StockYW(server::StorageFactory& storage, const std::string& goods,
               const std::string& warehouse) {
  auto db = storage.NewSession();
  auto rows =
      db->Query("SELECT KCSL00 FROM XSTZXKC0 WHERE SPDM00 = ? AND CKDM00 = ? AND KCBZ00 = 'YW'",
                {Value::Text(goods), Value::Text(warehouse)});
  if (!rows->Next()) throw std::runtime_error("no YW row of " + goods + " in " + warehouse);
  return rows->Float(0);
}

std::vector<std::string> StockYWRows(server::StorageFactory& storage) {
  auto db = storage.NewSession();
  auto rows = db->Query(
      "SELECT SPDM00, CKDM00, KCSL00 FROM XSTZXKC0 WHERE KCBZ00 = 'YW' ORDER BY SPDM00, CKDM00");
  std::vector<std::string> out;
  while (rows->Next()) {
    out.push_back(std::string(rows->Text(0)) + "/" + std::string(rows->Text(1)) + "=" +
                  rtl::FloatToStr(rows->Float(2)));
  }
  return out;
}

std::optional<std::string> AuditDate(server::StorageFactory& storage, double number) {
  auto db = storage.NewSession();
  auto rows = db->Query("SELECT YWRQ00 FROM QMDWLRT1 WHERE DHAO00 = ?", {Value::Float(number)});
  if (!rows->Next()) throw std::runtime_error("no document " + rtl::FloatToStr(number));
  Value v = rows->Get(0, remote::FieldType::DateTime);
  if (v.is_null()) return std::nullopt;
  return rtl::DateTimeToIso(v.date());
}

std::string Auditor(server::StorageFactory& storage, double number) {
  auto db = storage.NewSession();
  auto rows = db->Query("SELECT YWRY00 FROM QMDWLRT1 WHERE DHAO00 = ?", {Value::Float(number)});
  if (!rows->Next()) throw std::runtime_error("no document " + rtl::FloatToStr(number));
  return rows->IsNull(0) ? std::string() : std::string(rows->Text(0));
}

}  // namespace browsertest
