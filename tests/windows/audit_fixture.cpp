#include "tests/windows/audit_fixture.h"

#include <stdexcept>

#include "remote/value.h"
#include "rtl/datetime.h"
#include "rtl/numtext.h"

namespace audittest {
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

Value Number(const std::optional<double>& v) {
  return v ? Value::Float(*v) : Value();
}

Value Whole(const std::optional<int>& v) {
  return v ? Value::Integer(*v) : Value();
}

const char* const kGoods[] = {"10010001", "10010002", "10010003", "10010004",
                              "10010005", "10010006", "10010007"};
const char* const kGoodsNames[] = {"青岚(硬盒)", "松涛(精品)", "竹韵(细支)", "雁归(硬盒)",
                                   "云岫(中支)", "澄川(精品)", "晴川(试销)"};
const char* const kWarehouses[] = {"01", "02", "0B"};
const char* const kWarehouseNames[] = {"城东仓库", "城西仓库", "配送中心总仓"};

std::string NumberText(server::DbRows& rows, int column) {
  return rows.IsNull(column) ? std::string() : rtl::FloatToStr(rows.Float(column));
}

}  // namespace

void WriteFixture(server::StorageFactory& storage, const Fixture& f) {
  auto db = storage.NewSession();
  db->Begin();
  for (const char* table : {"QMDWLRT2", "QMDWLRT1", "XSTZXKC0", "XSTYJZQJ", "GSTRYGL0", "GSTCKGL0",
                            "GSTJYGL1", "GSTJYDW0", "XSTKCYJ0"}) {
    db->Execute(std::string("DELETE FROM ") + table);
  }
  const char* const staff[][3] = {
      {"0001", "陈思远", "0B"}, {"0002", "林雨桐", "01"}, {"0003", "欧阳明月光", "02"}};
  for (const auto& s : staff) {
    db->Execute("INSERT INTO GSTRYGL0 (RYDM00, RYMC00, CKDM00) VALUES (?, ?, ?)",
                {Value::Text(s[0]), Value::Text(s[1]), Value::Text(s[2])});
  }
  for (int w = 0; w < 3; ++w) {
    db->Execute("INSERT INTO GSTCKGL0 (CKDM00, CKMC00) VALUES (?, ?)",
                {Value::Text(kWarehouses[w]), Value::Text(kWarehouseNames[w])});
  }
  for (int g = 0; g < 7; ++g) {
    db->Execute("INSERT INTO GSTJYGL1 (SPDM00, SPMC00) VALUES (?, ?)",
                {Value::Text(kGoods[g]), Value::Text(kGoodsNames[g])});
  }
  db->Execute("INSERT INTO GSTJYDW0 (SPDW02, ZHXS00, XHAO00) VALUES ('条', 1, 1)");
  db->Execute("INSERT INTO XSTYJZQJ (KJQJ00, JSRQ00, JZRY00) VALUES ('2024-01', ?, '0001')",
              {Date("2024-01-31")});

  std::vector<StockRow> stock;
  if (f.stock) {
    stock = *f.stock;
  } else {
    for (const char* g : kGoods) {
      for (const char* w : kWarehouses) {
        stock.push_back({g, w, "CK", 500});
        stock.push_back({g, w, "YW", 1000});
      }
    }
  }
  for (const StockRow& s : stock) {
    db->Execute("INSERT INTO XSTZXKC0 (SPDM00, CKDM00, KCBZ00, KCSL00) VALUES (?, ?, ?, ?)",
                {Value::Text(s.goods), Value::Text(s.warehouse), Value::Text(s.marker),
                 Number(s.quantity)});
  }
  int order = 0;
  for (const Warning& w : f.warnings) {
    db->Execute(
        "INSERT INTO XSTKCYJ0 (XHAO00, SPDM00, ZGKCSL, ZGYJYS, ZDKCSL, ZDYJYS) "
        "VALUES (?, ?, ?, ?, ?, ?)",
        {Value::Integer(++order), Value::Text(w.goods), Whole(w.upper), Text(w.upper_color),
         Whole(w.lower), Text(w.lower_color)});
  }
  for (const Doc& d : f.docs) {
    db->Execute(
        "INSERT INTO QMDWLRT1 (DHAO00, CKRQ00, CKRY00, YWRQ00, YWRY00, CKDM00, ZZSL00, BEIZHU, "
        "GSDW00) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 'GS0001')",
        {Value::Float(d.number), Date(d.made), Text(d.maker), Date(d.audited), Text(d.auditor),
         Text(d.warehouse), Number(d.rate), Text(d.remark)});
    for (const Line& l : d.lines) {
      const double price = l.price.value_or(0);
      db->Execute(
          "INSERT INTO QMDWLRT2 (DHAO00, SPDM00, DJIA00, SL0000, JE0000, SE0000) "
          "VALUES (?, ?, ?, ?, ?, ?)",
          {Value::Float(d.number), Value::Text(l.goods), Number(l.price), Value::Float(l.quantity),
           Value::Float(l.amount.value_or(price * l.quantity)), Value::Float(l.tax.value_or(1.7))});
    }
  }
  if (f.failing_remark) {
    const std::string remark = kFailingRemark;
    if (db->dialect() == server::Dialect::kSQLite) {
      db->Execute(
          "CREATE TRIGGER IF NOT EXISTS QMDW_FAILING_REMARK BEFORE UPDATE ON QMDWLRT1 "
          "WHEN NEW.BEIZHU = '" +
          remark + "' BEGIN SELECT RAISE(ABORT, 'the document could not be written'); END");
    } else {
      db->Execute(
          "CREATE OR REPLACE FUNCTION QMDW_FAILING_REMARK() RETURNS trigger AS $$ BEGIN "
          "RAISE EXCEPTION 'the document could not be written'; END $$ LANGUAGE plpgsql");
      db->Execute("DROP TRIGGER IF EXISTS QMDW_FAILING_REMARK ON QMDWLRT1");
      db->Execute(
          "CREATE TRIGGER QMDW_FAILING_REMARK BEFORE UPDATE ON QMDWLRT1 FOR EACH ROW "
          "WHEN (NEW.BEIZHU = '" +
          remark + "') EXECUTE FUNCTION QMDW_FAILING_REMARK()");
    }
  }
  db->Commit();
}

std::vector<std::string> StockRows(server::StorageFactory& storage) {
  auto db = storage.NewSession();
  auto rows = db->Query(
      "SELECT SPDM00, CKDM00, KCBZ00, KCSL00 FROM XSTZXKC0 ORDER BY SPDM00, CKDM00, KCBZ00");
  std::vector<std::string> out;
  while (rows->Next()) {
    out.push_back(std::string(rows->Text(0)) + "/" + std::string(rows->Text(1)) + "/" +
                  std::string(rows->Text(2)) + "=" + NumberText(*rows, 3));
  }
  return out;
}

std::vector<std::string> DefaultStockRows(
    const std::vector<std::pair<std::string, std::string>>& changed) {
  std::vector<std::string> rows;
  for (const char* g : kGoods) {
    for (const char* w : kWarehouses) {
      for (const char* marker : {"CK", "YW"}) {
        const std::string key = std::string(g) + "/" + w + "/" + marker;
        std::string value = std::string(marker) == "CK" ? "500" : "1000";
        for (const auto& [k, v] : changed) {
          if (k == key) value = v;
        }
        rows.push_back(key + "=" + value);
      }
    }
  }
  return rows;
}

StoredHeader Header(server::StorageFactory& storage, double number) {
  auto db = storage.NewSession();
  auto rows =
      db->Query("SELECT YWRQ00, YWRY00, BEIZHU, CKRQ00, CKRY00 FROM QMDWLRT1 WHERE DHAO00 = ?",
                {Value::Float(number)});
  if (!rows->Next()) throw std::runtime_error("no document " + rtl::FloatToStr(number));
  StoredHeader h;
  Value audit = rows->Get(0, remote::FieldType::DateTime);
  if (!audit.is_null()) h.audit_date = rtl::DateTimeToIso(audit.date());
  h.auditor = rows->IsNull(1) ? "" : std::string(rows->Text(1));
  h.remark = rows->IsNull(2) ? "" : std::string(rows->Text(2));
  Value made = rows->Get(3, remote::FieldType::DateTime);
  if (!made.is_null()) h.made = rtl::DateTimeToIso(made.date());
  h.maker = rows->IsNull(4) ? "" : std::string(rows->Text(4));
  return h;
}

std::vector<std::string> Lines(server::StorageFactory& storage, double number) {
  auto db = storage.NewSession();
  auto rows = db->Query(
      "SELECT SPDM00, DJIA00, JE0000, SE0000 FROM QMDWLRT2 WHERE DHAO00 = ? ORDER BY SPDM00",
      {Value::Float(number)});
  std::vector<std::string> out;
  while (rows->Next()) {
    out.push_back(std::string(rows->Text(0)) + " " + NumberText(*rows, 1) + " " +
                  NumberText(*rows, 2) + " " + NumberText(*rows, 3));
  }
  return out;
}

double LineValue(server::StorageFactory& storage, double number, const std::string& goods,
                 const std::string& field) {
  if (field != "DJIA00" && field != "JE0000" && field != "SE0000") {
    throw std::runtime_error("not a float of a line: " + field);
  }
  auto db = storage.NewSession();
  auto rows = db->Query("SELECT " + field + " FROM QMDWLRT2 WHERE DHAO00 = ? AND SPDM00 = ?",
                        {Value::Float(number), Value::Text(goods)});
  if (!rows->Next() || rows->IsNull(0)) throw std::runtime_error("no " + field + " of " + goods);
  return rows->Float(0);
}

}  // namespace audittest
