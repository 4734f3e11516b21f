// The providers and methods of the five server objects on the small demo set, on each backend.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "rtl/datetime.h"
#include "rtl/gbk.h"
#include "test_support.h"

namespace server::testing {
namespace {

using remote::FieldType;
using remote::OpenRequest;
using remote::Value;
using ::testing::HasSubstr;

class ObjectsTest : public DbTest {};
QMDW_BACKENDS(ObjectsTest);

std::string Signature(const std::vector<remote::FieldDef>& fields) {
  std::string s;
  for (const auto& f : fields) {
    if (!s.empty()) s += " ";
    s += f.name + ":";
    switch (f.type) {
      case FieldType::Text:
        s += "T" + std::to_string(f.width);
        break;
      case FieldType::Float:
        s += "F";
        break;
      case FieldType::DateTime:
        s += "D";
        break;
      case FieldType::Integer:
        s += "I";
        break;
      case FieldType::Nested:
        s += "[" + Signature(f.nested) + "]";
        break;
    }
  }
  return s;
}

OpenRequest Request(const std::string& provider, std::vector<remote::Param> params = {},
                    int32_t packet = -1) {
  OpenRequest r;
  r.provider = provider;
  r.params = std::move(params);
  r.packet_records = packet;
  return r;
}

TEST_P(ObjectsTest, EveryProviderDeliversItsDeclaredFields) {
  const std::string header =
      "DHAO00:F CKRQ00:D CKRY00:T8 YWRQ00:D YWRY00:T8 CKDM00:T2 ZZSL00:F BEIZHU:T50 GSDW00:T12";
  const std::string lines = "DHAO00:F SPDM00:T8 DJIA00:F SL0000:F JE0000:F SE0000:F";
  struct Case {
    const char* prog_id;
    OpenRequest request;
    std::string fields;
  };
  OpenRequest closing = Request("dsp_xstyjzqj_edit");
  closing.command_text = "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL";
  const Case cases[] = {
      {remote::kProgIdCommunicate,
       Request("dsp_qmdwlrt1", {TextParam("CKDM00", std::nullopt), TextParam("FLAG", "1")}, 10),
       header + " qry_qmdwlrt2:[" + lines + "]"},
      {remote::kProgIdSysTran, Request("dsp_qmdwlrt1", {TextParam("DHAO00", "20240012")}),
       header + " tb_qmdwlrt2:[" + lines + "]"},
      {remote::kProgIdSysTran, Request("dsp_xstzxkc0_ck"),
       "SPDM00:T8 CKDM00:T2 KCBZ00:T4 KCSL00:F"},
      {remote::kProgIdStoreProduct, Request("dsp_LirraUnit"), "SPDW02:T8 ZHXS00:F"},
      {remote::kProgIdStoreProduct, Request("dsp_lirrainfo2"), "SPDM00:T8 SPMC00:T20"},
      {remote::kProgIdStoreProduct, Request("Dsp_StockColor"),
       "SPDM00:T8 ZGKCSL:I ZGYJYS:T20 ZDKCSL:I ZDYJYS:T20"},
      {remote::kProgIdStoreProduct, closing, "JSRQ00:D"},
      {remote::kProgIdSysControl, Request("dsp_gstrygl0"), "RYDM00:T8 RYMC00:T20 CKDM00:T2"},
      {remote::kProgIdCompanyInfo, Request("DataSetProvider_StorCode"), "CKDM00:T2 CKMC00:T30"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.prog_id) + " " + c.request.provider);
    auto object = Object(c.prog_id);
    remote::OpenResult result = object->Open(c.request);
    EXPECT_EQ(Signature(result.packet.fields), c.fields);
    ASSERT_FALSE(result.packet.rows.empty());
    // Every row has one cell per field; every text is GBK text within its width.
    for (const remote::Row& row : result.packet.rows) {
      ASSERT_EQ(row.cells.size(), result.packet.fields.size());
      for (size_t i = 0; i < row.cells.size(); ++i) {
        const auto& f = result.packet.fields[i];
        if (f.type != FieldType::Text || row.cells[i].is_null()) continue;
        const std::string& text = row.cells[i].text();
        EXPECT_EQ(rtl::GbkToUtf8(rtl::Utf8ToGbk(text)), text) << f.name;
        EXPECT_LE(rtl::GbkLength(text), static_cast<size_t>(f.width)) << f.name << " " << text;
      }
    }
  }
}

TEST_P(ObjectsTest, HeaderListComesInPacketsFromTheNewestDocument) {
  // 25 documents of one line each.
  db_->Begin();
  db_->ExecuteScript("DELETE FROM QMDWLRT2; DELETE FROM QMDWLRT1");
  for (int i = 1; i <= 25; ++i) {
    db_->Execute("INSERT INTO QMDWLRT1 (DHAO00, CKDM00) VALUES (?, '01')", {Value::Float(i)});
    db_->Execute("INSERT INTO QMDWLRT2 (DHAO00, SPDM00, SL0000) VALUES (?, '10010001', ?)",
                 {Value::Float(i), Value::Float(i * 10)});
  }
  db_->Commit();
  auto commu = Object(remote::kProgIdCommunicate);
  remote::OpenResult first = commu->Open(
      Request("dsp_qmdwlrt1", {TextParam("CKDM00", std::nullopt), TextParam("FLAG", "1")}, 10));
  ASSERT_EQ(first.packet.rows.size(), 10u);
  EXPECT_TRUE(first.packet.more);
  ASSERT_NE(first.cursor, 0u);
  remote::Packet second = commu->Fetch(first.cursor, 10);
  ASSERT_EQ(second.rows.size(), 10u);
  EXPECT_TRUE(second.more);
  remote::Packet third = commu->Fetch(first.cursor, 10);
  ASSERT_EQ(third.rows.size(), 5u);
  EXPECT_FALSE(third.more);

  std::vector<double> numbers;
  for (const auto* packet : {&first.packet, &second, &third}) {
    for (const remote::Row& row : packet->rows) {
      numbers.push_back(row.cells[0].float_value());
      ASSERT_EQ(row.nested.size(), 1u);
      ASSERT_EQ(row.nested[0].size(), 1u);
      EXPECT_EQ(row.nested[0][0].cells[3].float_value(), row.cells[0].float_value() * 10);
    }
  }
  for (int i = 0; i < 25; ++i) EXPECT_EQ(numbers[i], 25 - i);

  // Every row arrived: the result is gone.
  EXPECT_THROW(commu->Fetch(first.cursor, 10), remote::ServerError);
}

TEST_P(ObjectsTest, FlagAndWarehouseSelectTheDocuments) {
  struct Case {
    std::optional<std::string> flag, warehouse;
    size_t count;
  };
  // The small set: 30 documents, 9 audited; warehouse 0B has document 20240007 only.
  const Case cases[] = {
      {"1", std::nullopt, 30}, {std::nullopt, std::nullopt, 30},
      {"1", "", 30},           {"0", std::nullopt, 21},
      {"2", std::nullopt, 9},  {"1", "0B", 1},
      {"1", "04", 0},          {"0", "0B", 1},
      {"2", "0B", 0},
  };
  auto commu = Object(remote::kProgIdCommunicate);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flag.value_or("<none>") + "/" + c.warehouse.value_or("<none>"));
    remote::OpenResult r = commu->Open(
        Request("dsp_qmdwlrt1", {TextParam("CKDM00", c.warehouse), TextParam("FLAG", c.flag)}));
    EXPECT_EQ(r.packet.rows.size(), c.count);
    EXPECT_FALSE(r.packet.more);
    for (const auto& row : r.packet.rows) {
      if (c.flag == "0") {
        EXPECT_TRUE(row.cells[3].is_null());
      }
      if (c.flag == "2") {
        EXPECT_FALSE(row.cells[3].is_null());
      }
    }
  }
  EXPECT_THAT([&] { commu->Open(Request("dsp_qmdwlrt1", {TextParam("FLAG", "3")})); },
              Refusal(HasSubstr("FLAG '3'")));
}

TEST_P(ObjectsTest, SingleDocumentByNumber) {
  auto systran = Object(remote::kProgIdSysTran);
  // The number as text (as the editor sends it) and as a float.
  for (const remote::Value& number : {Value::Text("20240012"), Value::Float(20240012)}) {
    remote::Param p;
    p.name = "DHAO00";
    p.type = remote::ParamType::Float;
    p.direction = remote::ParamDirection::InputOutput;
    p.value = number;
    remote::OpenResult r = systran->Open(Request("dsp_qmdwlrt1", {p}));
    ASSERT_EQ(r.packet.rows.size(), 1u);
    const remote::Row& doc = r.packet.rows[0];
    EXPECT_EQ(doc.cells[0].float_value(), 20240012);
    EXPECT_EQ(doc.cells[5].text(), "01");
    ASSERT_EQ(doc.nested.size(), 1u);
    // Lines come ordered by goods code; goods 10010003 carries the fractional quantity.
    ASSERT_EQ(doc.nested[0].size(), 5u);
    EXPECT_EQ(doc.nested[0][1].cells[1].text(), "10010003");
    EXPECT_EQ(doc.nested[0][1].cells[3].float_value(), 2.5);
    for (size_t i = 1; i < doc.nested[0].size(); ++i) {
      EXPECT_LT(doc.nested[0][i - 1].cells[1].text(), doc.nested[0][i].cells[1].text());
    }
  }
  // A document without lines; an audited one; one that does not exist.
  auto open = [&](const std::string& n) {
    return systran->Open(Request("dsp_qmdwlrt1", {TextParam("DHAO00", n)})).packet;
  };
  remote::Packet empty = open("20240009");
  ASSERT_EQ(empty.rows.size(), 1u);
  EXPECT_TRUE(empty.rows[0].nested[0].empty());
  remote::Packet audited = open("20240020");
  EXPECT_EQ(rtl::DateTimeToIso(audited.rows[0].cells[3].date()), "2024-03-10");
  EXPECT_EQ(audited.rows[0].cells[4].text(), "0002");
  EXPECT_TRUE(open("99").rows.empty());

  EXPECT_THROW(open("abc"), remote::ServerError);
  EXPECT_THROW(open(""), remote::ServerError);
  EXPECT_THROW(systran->Open(Request("dsp_qmdwlrt1")), remote::ServerError);
}

TEST_P(ObjectsTest, ReferenceListsInTheirOrder) {
  auto store = Object(remote::kProgIdStoreProduct);
  remote::Packet units = store->Open(Request("dsp_LirraUnit")).packet;
  ASSERT_EQ(units.rows.size(), 3u);
  EXPECT_EQ(units.rows[0].cells[0].text(), "条");
  EXPECT_EQ(units.rows[0].cells[1].float_value(), 1);
  EXPECT_EQ(units.rows[1].cells[0].text(), "件");
  EXPECT_EQ(units.rows[1].cells[1].float_value(), 50);
  EXPECT_EQ(units.rows[2].cells[0].text(), "盒");
  EXPECT_EQ(units.rows[2].cells[1].float_value(), 0.1);

  remote::Packet warnings = store->Open(Request("Dsp_StockColor")).packet;
  ASSERT_EQ(warnings.rows.size(), 8u);
  EXPECT_EQ(warnings.rows[0].cells[0].text(), "10010001");
  EXPECT_EQ(warnings.rows[0].cells[1].integer(), 500);
  EXPECT_EQ(warnings.rows[0].cells[2].text(), "clRed");
  EXPECT_TRUE(warnings.rows[3].cells[1].is_null());

  EXPECT_EQ(store->Open(Request("dsp_lirrainfo2")).packet.rows.size(), 11u);
  EXPECT_EQ(Object(remote::kProgIdSysControl)->Open(Request("dsp_gstrygl0")).packet.rows.size(),
            6u);
  EXPECT_EQ(Object(remote::kProgIdCompanyInfo)
                ->Open(Request("DataSetProvider_StorCode"))
                .packet.rows.size(),
            5u);

  // Only stock rows whose marker begins with "CK", ordered by goods, warehouse, marker.
  db_->Execute(
      "INSERT INTO XSTZXKC0 VALUES ('10010001', '01', 'CK2', 1), "
      "('10010001', '01', 'XCK', 1), ('10010001', '01', 'ck', 1)");
  remote::Packet stock = Object(remote::kProgIdSysTran)->Open(Request("dsp_xstzxkc0_ck")).packet;
  EXPECT_EQ(stock.rows.size(), 51u);
  for (const auto& row : stock.rows) EXPECT_EQ(row.cells[2].text().substr(0, 2), "CK");
  EXPECT_EQ(stock.rows[1].cells[2].text(), "CK2");
}

// Units are kept in list order: two units may share a name, and the first in the list counts
// on the client.
TEST_P(ObjectsTest, UnitsAreKeptInListOrderAndMayShareAName) {
  db_->Execute("INSERT INTO GSTJYDW0 (XHAO00, SPDW02, ZHXS00) VALUES (0, '件', 20), (4, '条', 2)");
  remote::Packet units = Object(remote::kProgIdStoreProduct)->Open(Request("dsp_LirraUnit")).packet;
  std::vector<std::pair<std::string, double>> got;
  for (const remote::Row& r : units.rows)
    got.emplace_back(r.cells[0].text(), r.cells[1].float_value());
  const std::vector<std::pair<std::string, double>> expected = {
      {"件", 20}, {"条", 1}, {"件", 50}, {"盒", 0.1}, {"条", 2}};
  EXPECT_EQ(got, expected);
}

// A database whose unit table is keyed by the unit's name is brought to the list order when the
// server opens it: every unit kept, in the order the server delivered them before.
TEST_P(ObjectsTest, UnitTableKeyedByNameIsMigrated) {
  const bool sqlite = db_->dialect() == Dialect::kSQLite;
  db_->ExecuteScript(std::string("DROP TABLE GSTJYDW0; CREATE TABLE GSTJYDW0 (SPDW02 ") +
                     (sqlite ? "TEXT" : "VARCHAR COLLATE \"C\"") + " NOT NULL, ZHXS00 " +
                     (sqlite ? "REAL" : "DOUBLE PRECISION") + " NOT NULL, XHAO00 " +
                     (sqlite ? "INTEGER" : "BIGINT") + ", PRIMARY KEY (SPDW02))");
  db_->Execute(
      "INSERT INTO GSTJYDW0 (SPDW02, ZHXS00, XHAO00) VALUES ('件', 50, 2), ('条', 1, 1), "
      "('盒', 0.1, NULL), ('箱', 250, 2)");
  auto read = [&](DbSession& db) {
    std::vector<std::pair<std::string, double>> units;
    auto rows = db.Query("SELECT SPDW02, ZHXS00 FROM GSTJYDW0 ORDER BY XHAO00, SPDW02");
    while (rows->Next()) units.emplace_back(std::string(rows->Text(0)), rows->Float(1));
    return units;
  };
  const auto before = read(*db_);
  ASSERT_EQ(before.size(), 4u);
  db_.reset();
  storage_.reset();
  // Opened again, as the server opens it at its start.
  StorageOptions options;
  if (GetParam() == "postgresql") options.pg_schema = QMDW_TEST_SCHEMA;
  storage_ = OpenStorage(
      GetParam() == "postgresql" ? std::string(PgUrl()) : "sqlite:" + dir_ + "/test.sqlite",
      options);
  db_ = storage_->NewSession();
  remote::Packet units = Object(remote::kProgIdStoreProduct)->Open(Request("dsp_LirraUnit")).packet;
  std::vector<std::pair<std::string, double>> delivered;
  for (const remote::Row& r : units.rows) {
    delivered.emplace_back(r.cells[0].text(), r.cells[1].float_value());
  }
  EXPECT_EQ(delivered, before);
  // Now keyed by list order: a second unit of the same name can be added.
  EXPECT_NO_THROW(
      db_->Execute("INSERT INTO GSTJYDW0 (XHAO00, SPDW02, ZHXS00) VALUES (5, '条', 10)"));
  // Opening it once more changes nothing.
  db_.reset();
  storage_.reset();
  storage_ = OpenStorage(
      GetParam() == "postgresql" ? std::string(PgUrl()) : "sqlite:" + dir_ + "/test.sqlite",
      options);
  db_ = storage_->NewSession();
  EXPECT_EQ(Object(remote::kProgIdStoreProduct)->Open(Request("dsp_LirraUnit")).packet.rows.size(),
            5u);
}

TEST_P(ObjectsTest, ClosingPeriodQuery) {
  auto store = Object(remote::kProgIdStoreProduct);
  OpenRequest r = Request("dsp_xstyjzqj_edit");
  r.command_text = "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL";
  remote::Packet p = store->Open(r).packet;
  ASSERT_EQ(p.rows.size(), 1u);
  EXPECT_EQ(rtl::DateTimeToIso(p.rows[0].cells[0].date()), "2024-02-29");

  // No closed period: one row without value.
  db_->Execute("UPDATE XSTYJZQJ SET JZRY00 = NULL");
  p = store->Open(r).packet;
  ASSERT_EQ(p.rows.size(), 1u);
  EXPECT_TRUE(p.rows[0].cells[0].is_null());

  for (const char* text : {"SELECT * FROM XSTYJZQJ", "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ",
                           "DELETE FROM XSTYJZQJ"}) {
    r.command_text = text;
    EXPECT_THAT([&] { store->Open(r); }, Refusal(HasSubstr("refused"))) << text;
  }
}

TEST_P(ObjectsTest, BadRequestsGetClearErrors) {
  auto systran = Object(remote::kProgIdSysTran);
  auto store = Object(remote::kProgIdStoreProduct);
  auto commu = Object(remote::kProgIdCommunicate);
  std::vector<Value> none;
  std::vector<Value> two = {Value::Text("a"), Value::Text("b")};
  std::vector<Value> number = {Value::Float(1)};
  std::vector<Value> one = {Value::Text("")};
  struct Case {
    std::function<void()> call;
    const char* message;
  };
  const Case cases[] = {
      {[&] { Object("LirraMISServer.NoSuchThing"); }, "LirraMISServer.NoSuchThing"},
      {[&] { store->Open(Request("dsp_nothing")); }, "no provider 'dsp_nothing'"},
      {[&] { store->Open(Request("dsp_lirrainfo2", {TextParam("X", "1")})); }, "parameter 'X'"},
      {[&] {
         OpenRequest r = Request("dsp_lirrainfo2");
         r.command_text = "SELECT * FROM GSTJYGL1";
         store->Open(r);
       },
       "refused"},
      {[&] { store->Call("TranPara", one); }, "no method 'TranPara'"},
      {[&] { systran->Call("tranpara", one); }, "no method 'tranpara'"},
      {[&] { systran->Call("TranPara", none); }, "takes 1 argument (0 given)"},
      {[&] { systran->Call("TranPara", two); }, "takes 1 argument (2 given)"},
      {[&] { systran->Call("TranPara", number); }, "text argument"},
      {[&] { commu->Call("sustarttran", one); }, "takes 0 arguments (1 given)"},
      {[&] { commu->Call("sucommit", none); }, "No transaction is open"},
      {[&] { store->Execute("dsp_lirrainfo2", {}, "DELETE FROM GSTJYGL1"); }, "executes no"},
      {[&] { commu->Open(Request("dsp_qmdwlrt_tmp")); }, "delivers no rows"},
      {[&] { commu->ApplyUpdates("dsp_qmdwlrt1", {}, 0); }, "takes no changes"},
      {[&] { systran->Fetch(12345, 10); }, "no open result 12345"},
  };
  const std::string before = Snapshot();
  for (const Case& c : cases) {
    EXPECT_THAT(c.call, Refusal(HasSubstr(c.message))) << c.message;
  }
  // The objects stay usable and nothing changed.
  EXPECT_EQ(store->Open(Request("dsp_lirrainfo2")).packet.rows.size(), 11u);
  EXPECT_EQ(Snapshot(), before);
  // Closing an unknown result is no error; surollback without a transaction neither.
  systran->CloseCursor(999);
  commu->Call("surollback", none);
}

TEST_P(ObjectsTest, AListReadInPacketsSurvivesOtherRequestsInBetween) {
  auto systran = Object(remote::kProgIdSysTran);
  remote::OpenResult r = systran->Open(Request("dsp_xstzxkc0_ck", {}, 20));
  ASSERT_EQ(r.packet.rows.size(), 20u);
  std::vector<remote::Row> rows = std::move(r.packet.rows);
  // Writes on the same session while the list is half read (a stock batch, rolled back when the
  // apply names no document), then the rest of the list.
  std::vector<Value> batch = {Value::Text(AuditBatch({{"10010001", 1}}, "01"))};
  systran->Call("TranPara", batch);
  EXPECT_THROW(systran->ApplyUpdates("dsp_qmdwlrt1", {}, 0), remote::ServerError);
  remote::Packet p = systran->Fetch(r.cursor, 25);
  EXPECT_EQ(p.rows.size(), 25u);
  EXPECT_TRUE(p.more);
  for (auto& row : p.rows) rows.push_back(std::move(row));
  p = systran->Fetch(r.cursor, -1);
  EXPECT_FALSE(p.more);
  for (auto& row : p.rows) rows.push_back(std::move(row));
  ASSERT_EQ(rows.size(), 50u);
  for (size_t i = 1; i < rows.size(); ++i) {
    EXPECT_LT(rows[i - 1].cells[0].text() + rows[i - 1].cells[1].text(),
              rows[i].cells[0].text() + rows[i].cells[1].text());
  }
  EXPECT_EQ(*Stock("10010001", "01"), 165);
}

TEST_P(ObjectsTest, ClosingAResultReleasesIt) {
  auto commu = Object(remote::kProgIdCommunicate);
  remote::OpenResult r = commu->Open(Request("dsp_qmdwlrt1", {TextParam("FLAG", "1")}, 10));
  ASSERT_TRUE(r.packet.more);
  commu->CloseCursor(r.cursor);
  EXPECT_THROW(commu->Fetch(r.cursor, 10), remote::ServerError);
}

}  // namespace
}  // namespace server::testing
