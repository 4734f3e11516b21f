// Saving an audit (TranPara with the document's apply), cancelling an audit (the communication
// object's transaction), refusals of foreign statements, and apply conflicts, on each backend.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "rtl/datetime.h"
#include "server/objects_log.h"
#include "test_support.h"

namespace server::testing {
namespace {

using remote::Value;
using ::testing::HasSubstr;

class TransactionsTest : public DbTest {
 protected:
  void TearDown() override {
    SetObjectOptions(ObjectOptions{});
    DbTest::TearDown();
  }

  static remote::Packet OpenDocument(remote::ServerObject& systran, double doc) {
    remote::OpenRequest r;
    r.provider = "dsp_qmdwlrt1";
    r.params = {TextParam("DHAO00", rtl::FloatToStr(doc))};
    return systran.Open(r).packet;
  }

  // The change log of an audit: YWRQ00 and YWRY00 stamped, originals as read.
  static remote::RowDelta AuditDelta(const remote::Packet& doc, const std::string& date,
                                     const std::string& auditor) {
    remote::RowDelta d;
    for (size_t i = 0; i < doc.fields.size(); ++i) {
      if (doc.fields[i].type == remote::FieldType::Nested) continue;
      d.original.push_back({doc.fields[i].name, doc.rows[0].cells[i]});
    }
    rtl::DateTime when;
    EXPECT_TRUE(rtl::TryIsoToDateTime(date, when));
    d.changed.push_back({"YWRQ00", Value::Date(when)});
    d.changed.push_back({"YWRY00", Value::Text(auditor)});
    d.changed.push_back({"YWRYMC", Value::Text("lookup, not stored")});
    return d;
  }

  static std::vector<BatchLine> Lines(const remote::Packet& doc) {
    std::vector<BatchLine> lines;
    for (const remote::Row& line : doc.rows[0].nested[0]) {
      lines.push_back({line.cells[1].text(), line.cells[3].float_value()});
    }
    return lines;
  }

  // The module's save: TranPara with the batch, then the apply with max errors 0.
  static remote::ApplyResult Save(remote::ServerObject& systran, const remote::Packet& doc,
                                  const std::string& date = "2024-04-01",
                                  const std::string& auditor = "0003") {
    std::vector<Value> args = {Value::Text(AuditBatch(Lines(doc), doc.rows[0].cells[5].text()))};
    systran.Call("TranPara", args);
    return systran.ApplyUpdates("dsp_qmdwlrt1", {AuditDelta(doc, date, auditor)}, 0);
  }

  // YW stock of every line's goods in 0B and in the document's warehouse.
  std::vector<std::optional<double>> LineStock(const remote::Packet& doc) {
    std::vector<std::optional<double>> out;
    for (const BatchLine& l : Lines(doc)) {
      out.push_back(Stock(l.goods, "0B"));
      out.push_back(Stock(l.goods, doc.rows[0].cells[5].text()));
    }
    return out;
  }

  void ExpectStockLowered(const remote::Packet& doc,
                          const std::vector<std::optional<double>>& before, int times) {
    const std::vector<BatchLine> lines = Lines(doc);
    std::vector<std::optional<double>> after = LineStock(doc);
    const std::string warehouse = doc.rows[0].cells[5].text();
    for (size_t i = 0; i < lines.size(); ++i) {
      // When the document's warehouse is 0B, both statements lower the same row.
      const double per_row = warehouse == "0B" ? 2 * lines[i].quantity : lines[i].quantity;
      EXPECT_DOUBLE_EQ(*after[2 * i], *before[2 * i] - times * per_row) << lines[i].goods;
      EXPECT_DOUBLE_EQ(*after[2 * i + 1], *before[2 * i + 1] - times * per_row) << lines[i].goods;
    }
  }

  // The cancel of a document as the browser runs it; returns the error, or "" on success.
  std::string Cancel(remote::ServerObject& commu, const remote::Packet& doc) {
    std::vector<Value> none;
    try {
      commu.Call("sustarttran", none);
      const std::vector<BatchLine> lines = Lines(doc);
      const std::string warehouse = doc.rows[0].cells[5].text();
      for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        commu.Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement("0B", it->goods, it->quantity));
        commu.Execute("dsp_qmdwlrt_tmp", {},
                      IncrementStatement(warehouse, it->goods, it->quantity));
      }
      commu.Execute("dsp_qmdwlrt_tmp", {}, ResetStatement(doc.rows[0].cells[0].float_value()));
      commu.Call("sucommit", none);
      return "";
    } catch (const remote::ServerError& e) {
      commu.Call("surollback", none);
      return e.what();
    }
  }
};
QMDW_BACKENDS(TransactionsTest);

// A database session that ended leaves nothing to the next one (on SQLite the next instance may
// get the same connection again): a transaction it left open is rolled back, and a session made
// after another writer committed sees that change and takes the write lock at once.
TEST_P(TransactionsTest, AnEndedSessionLeavesNothingToTheNext) {
  const std::string count = "SELECT COUNT(*) FROM QMDWBBH0 WHERE BBMC00 = 'ended-session'";
  const std::string insert = "INSERT INTO QMDWBBH0 (BBMC00, BBSJ00, BBHA00) VALUES (?, 'g', 1)";
  {
    auto s = storage_->NewSession();
    s->Begin();
    s->Execute(insert, {remote::Value::Text("ended-session")});
  }
  for (int i = 0; i < 3; ++i) {  // sessions that read, then end
    auto s = storage_->NewSession();
    EXPECT_FALSE(s->InTransaction());
    auto rows = s->Query(count);
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Integer(0), 0);
  }
  {
    auto writer = storage_->NewSession();
    writer->Begin();
    writer->Execute(insert, {remote::Value::Text("ended-session")});
    writer->Commit();
  }
  auto s = storage_->NewSession();
  {
    auto rows = s->Query(count);
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Integer(0), 1);
  }
  s->Begin();  // no lock or snapshot held over from before
  s->Execute("DELETE FROM QMDWBBH0 WHERE BBMC00 = 'ended-session'");
  s->Commit();
  EXPECT_EQ(Number(count), 0.0);
}

TEST_P(TransactionsTest, SaveLowersTheStockAndStoresTheAuditTogether) {
  auto systran = Object(remote::kProgIdSysTran);
  // 20240012: a line of 2.5; 20240013: a line of -3; 20240007: warehouse 0B; 20240009: no lines.
  for (double number : {20240012.0, 20240013.0, 20240007.0, 20240014.0, 20240009.0}) {
    SCOPED_TRACE(number);
    remote::Packet doc = OpenDocument(*systran, number);
    const auto before = LineStock(doc);
    const std::string ck_before = Snapshot();
    remote::ApplyResult result = Save(*systran, doc);
    EXPECT_EQ(result.error_count, 0) << (result.errors.empty() ? "" : result.errors[0]);
    ExpectStockLowered(doc, before, 1);
    EXPECT_TRUE(Audited(number));
    remote::Packet saved = OpenDocument(*systran, number);
    EXPECT_EQ(rtl::DateTimeToIso(saved.rows[0].cells[3].date()), "2024-04-01");
    EXPECT_EQ(saved.rows[0].cells[4].text(), "0003");
  }
  // Only "YW" rows changed: every "CK" row is as the demo set made it.
  auto rows = db_->Query(
      "SELECT COUNT(*) FROM XSTZXKC0 WHERE KCBZ00 = 'CK' AND "
      "KCSL00 <> 40 * CAST(substr(SPDM00, 5, 4) AS INTEGER) + 25 * "
      "(CASE CKDM00 WHEN '0B' THEN 0 WHEN '01' THEN 1 WHEN '02' THEN 2 "
      "WHEN '03' THEN 3 ELSE 4 END) + (CASE WHEN CAST(substr(SPDM00, 5, 4) "
      "AS INTEGER) % 3 = 0 THEN 0.5 ELSE 0 END)");
  ASSERT_TRUE(rows->Next());
  EXPECT_EQ(rows->Integer(0), 0);
}

TEST_P(TransactionsTest, SecondAuditOfTheSameDocumentChangesNothing) {
  // Two operators read the same unaudited document; both save.
  auto first = Object(remote::kProgIdSysTran);
  auto second = Object(remote::kProgIdSysTran);
  remote::Packet doc1 = OpenDocument(*first, 20240014);
  remote::Packet doc2 = OpenDocument(*second, 20240014);
  const auto before = LineStock(doc1);
  EXPECT_EQ(Save(*first, doc1).error_count, 0);
  const std::string after_first = Snapshot();
  remote::ApplyResult result = Save(*second, doc2, "2024-04-02", "0004");
  EXPECT_EQ(result.error_count, 1);
  ASSERT_EQ(result.errors.size(), 1u);
  // The operator reads the conflict and what became of the save, in Chinese with its code.
  EXPECT_EQ(result.errors[0], msg::SaveRolledBack(msg::ChangedByAnother(msg::Document(20240014),
                                                                        {"YWRQ00", "YWRY00"}))
                                  .ForOperator());
  EXPECT_THAT(result.errors[0], HasSubstr("单据 20240014 在打开之后已被其他操作员修改"));
  EXPECT_THAT(result.errors[0], HasSubstr("（代码 S-APPLY-013）"));
  EXPECT_EQ(Snapshot(), after_first);  // the second batch was rolled back with the document
  ExpectStockLowered(doc1, before, 1);
}

TEST_P(TransactionsTest, ConcurrentSavesQueueAndOnlyOneAudits) {
  // The first save's batch is pending when the second save starts: the second waits for the
  // first's commit, then fails on the conflict.
  auto first = Object(remote::kProgIdSysTran);
  auto second = Object(remote::kProgIdSysTran);
  remote::Packet doc1 = OpenDocument(*first, 20240016);
  remote::Packet doc2 = OpenDocument(*second, 20240016);
  const auto before = LineStock(doc1);
  std::vector<Value> batch = {Value::Text(AuditBatch(Lines(doc1), doc1.rows[0].cells[5].text()))};
  first->Call("TranPara", batch);
  remote::ApplyResult second_result;
  std::string second_error;
  std::thread other([&] {
    try {
      second_result = Save(*second, doc2, "2024-04-02", "0004");
    } catch (const remote::ServerError& e) {
      second_error = e.what();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(
      first->ApplyUpdates("dsp_qmdwlrt1", {AuditDelta(doc1, "2024-04-01", "0003")}, 0).error_count,
      0);
  other.join();
  EXPECT_TRUE(second_result.error_count == 1 || !second_error.empty());
  ExpectStockLowered(doc1, before, 1);
  remote::Packet saved = OpenDocument(*first, 20240016);
  EXPECT_EQ(saved.rows[0].cells[4].text(), "0003");
}

TEST_P(TransactionsTest, AFailingApplyRollsTheStockBatchBack) {
  auto systran = Object(remote::kProgIdSysTran);
  remote::Packet doc = OpenDocument(*systran, 20240014);
  const std::string before = Snapshot();
  std::vector<Value> args = {Value::Text(AuditBatch(Lines(doc), "03"))};
  systran->Call("TranPara", args);
  // The remark is too long for BEIZHU (50 GBK bytes): the row fails.
  remote::RowDelta delta = AuditDelta(doc, "2024-04-01", "0003");
  delta.changed.push_back(
      {"BEIZHU", Value::Text(std::string(27, 'x') + "一二三四五六七八九十一二")});
  remote::ApplyResult result = systran->ApplyUpdates("dsp_qmdwlrt1", {delta}, 0);
  EXPECT_EQ(result.error_count, 1);
  EXPECT_THAT(result.errors[0], HasSubstr("备注最多 50 个字节"));
  EXPECT_THAT(result.errors[0], HasSubstr("S-APPLY-003"));
  EXPECT_EQ(Snapshot(), before);
  // Saving again works and lowers the stock once.
  const auto stock = LineStock(doc);
  EXPECT_EQ(Save(*systran, doc).error_count, 0);
  ExpectStockLowered(doc, stock, 1);
}

TEST_P(TransactionsTest, APendingBatchIsRolledBackByAnythingElse) {
  struct Case {
    const char* what;
    std::function<void(remote::ServerObject&)> between;
  };
  const Case cases[] = {
      {"another request",
       [](remote::ServerObject& o) {
         remote::OpenRequest r;
         r.provider = "dsp_xstzxkc0_ck";
         o.Open(r);
       }},
      {"a timeout",
       [](remote::ServerObject&) { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }},
  };
  ObjectOptions options;
  options.save_timeout = std::chrono::milliseconds(150);
  SetObjectOptions(options);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto systran = Object(remote::kProgIdSysTran);
    remote::Packet doc = OpenDocument(*systran, 20240014);
    const std::string before = Snapshot();
    std::vector<Value> args = {Value::Text(AuditBatch(Lines(doc), "03"))};
    systran->Call("TranPara", args);
    c.between(*systran);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_THAT(
        [&] { systran->ApplyUpdates("dsp_qmdwlrt1", {AuditDelta(doc, "2024-04-01", "0003")}, 0); },
        Refusal(HasSubstr("Save again")));
    EXPECT_EQ(Snapshot(), before);
  }
}

TEST_P(TransactionsTest, ADroppedClientLeavesNothingHalfDone) {
  const std::string before = Snapshot();
  {
    auto systran = Object(remote::kProgIdSysTran);
    remote::Packet doc = OpenDocument(*systran, 20240014);
    std::vector<Value> args = {Value::Text(AuditBatch(Lines(doc), "03"))};
    systran->Call("TranPara", args);
  }
  EXPECT_EQ(Snapshot(), before);
  {
    auto commu = Object(remote::kProgIdCommunicate);
    std::vector<Value> none;
    commu->Call("sustarttran", none);
    // Document 20240020 (warehouse 03): one line, goods 10010001, quantity 5.
    commu->Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement("0B", "10010001", 5));
    commu->Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement("03", "10010001", 5));
    commu->Execute("dsp_qmdwlrt_tmp", {}, ResetStatement(20240020));
  }
  EXPECT_EQ(Snapshot(), before);
}

TEST_P(TransactionsTest, AnAuditIsStoredOnlyWithItsStockBatch) {
  auto systran = Object(remote::kProgIdSysTran);
  remote::Packet doc = OpenDocument(*systran, 20240014);
  const std::string before = Snapshot();
  remote::ApplyResult r =
      systran->ApplyUpdates("dsp_qmdwlrt1", {AuditDelta(doc, "2024-04-01", "0003")}, 0);
  EXPECT_EQ(r.error_count, 1);
  EXPECT_EQ(r.errors[0], msg::AuditOnlyWithStock(msg::Document(20240014)).ForOperator());
  EXPECT_EQ(Snapshot(), before);
}

TEST_P(TransactionsTest, TranParaIsAllOrNothing) {
  auto systran = Object(remote::kProgIdSysTran);
  const std::string before = Snapshot();
  const std::string good =
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(5) WHERE SPDM00='10010001' AND CKDM00='0B' AND "
      "KCBZ00='YW'";
  const std::string bad_batches[] = {
      good + "!DELETE FROM XSTZXKC0",
      good + "!" + good + "; DROP TABLE XSTZXKC0",
      good +
          "!UPDATE XSTZXKC0 SET KCSL00=KCSL00-(5) WHERE SPDM00='10010001' OR 1=1 --' AND "
          "CKDM00='0B' AND KCBZ00='YW'",
      good + "!",
  };
  for (const std::string& batch : bad_batches) {
    std::vector<Value> args = {Value::Text(batch)};
    EXPECT_THAT([&] { systran->Call("TranPara", args); }, Refusal(HasSubstr("TranPara refused")))
        << batch;
    EXPECT_EQ(Snapshot(), before);
  }
}

TEST_P(TransactionsTest, AStockStatementWithoutItsRowIsLogged) {
  std::vector<std::string> warnings;
  SetLogSink([&](LogLevel level, std::string_view m) {
    if (level == LogLevel::kWarning) warnings.emplace_back(m);
  });
  auto commu = Object(remote::kProgIdCommunicate);
  std::vector<Value> none;
  commu->Call("sustarttran", none);
  // Goods 10010010 has no "YW" row in warehouse 03; injected text stays a goods code.
  commu->Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement("03", "10010010", 1));
  commu->Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement("01", "x'' OR ''1''=''1", 1));
  commu->Call("surollback", none);
  SetLogSink(nullptr);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_THAT(warnings[0], HasSubstr("10010010"));
  EXPECT_THAT(warnings[0], HasSubstr("'03'"));
  EXPECT_THAT(warnings[1], HasSubstr("x' OR '1'='1"));
  EXPECT_EQ(*Stock("10010001", "01"), 40 + 25 + 100);  // rolled back
}

TEST_P(TransactionsTest, CancelRestoresTheStockOnceAndRefusesASecondCancel) {
  auto systran = Object(remote::kProgIdSysTran);
  remote::Packet doc = OpenDocument(*systran, 20240021);  // audited, warehouse 01
  const auto before = LineStock(doc);
  // Two operators both see the document as audited and both cancel it.
  auto first = Object(remote::kProgIdCommunicate);
  auto second = Object(remote::kProgIdCommunicate);
  EXPECT_EQ(Cancel(*first, doc), "");
  EXPECT_FALSE(Audited(20240021));
  ExpectStockLowered(doc, before, -1);
  const std::string after_first = Snapshot();
  EXPECT_EQ(Cancel(*second, doc), msg::CancelNotAudited(20240021).ForOperator());
  EXPECT_EQ(Snapshot(), after_first);
  // Cancelling a document that does not exist is refused the same way.
  remote::Packet ghost = doc;
  ghost.rows[0].cells[0] = Value::Float(77);
  EXPECT_EQ(Cancel(*second, ghost), msg::CancelDocumentMissing(77).ForOperator());
  EXPECT_EQ(Snapshot(), after_first);
}

TEST_P(TransactionsTest, AnAuditBeforeTheLatestClosingDateIsNotCancelled) {
  auto systran = Object(remote::kProgIdSysTran);
  auto commu = Object(remote::kProgIdCommunicate);
  // 20240005 was audited on 2024-01-21, before the closing date 2024-02-29.
  remote::Packet doc = OpenDocument(*systran, 20240005);
  const std::string before = Snapshot();
  EXPECT_EQ(Cancel(*commu, doc), msg::CancelClosedPeriod(20240005).ForOperator());
  EXPECT_EQ(Snapshot(), before);
  // An audit date equal to the latest closing date may be cancelled.
  db_->Execute("UPDATE QMDWLRT1 SET YWRQ00 = ? WHERE DHAO00 = 20240005",
               {Value::Date(rtl::EncodeDate(2024, 2, 29))});
  EXPECT_EQ(Cancel(*commu, doc), "");
  EXPECT_FALSE(Audited(20240005));
}

TEST_P(TransactionsTest, CommandsRefusedOnTheCommandProviderChangeNothing) {
  auto commu = Object(remote::kProgIdCommunicate);
  const std::string before = Snapshot();
  const char* refused[] = {
      "DELETE FROM XSTZXKC0",
      "UPDATE XSTZXKC0 SET KCSL00=0",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='10010001' AND CKDM00='0B' AND "
      "KCBZ00='YW'",  // a decrement: TranPara's, not the cancel's
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(1) WHERE CKDM00='0B' AND SPDM00='10010001' AND "
      "KCBZ00='YW'; DELETE FROM QMDWLRT1",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(1) WHERE CKDM00='0B' AND SPDM00='10010001' AND "
      "KCBZ00='YW' /* */",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(1) WHERE CKDM00='0B' AND SPDM00='1' OR '1'='1' AND "
      "KCBZ00='YW'",
      "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=20240021 OR 1=1",
      "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=20240021;",
      "UPDATE GSTRYGL0 SET RYMC00='x'",
      "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL",
  };
  for (const char* text : refused) {
    EXPECT_THAT([&] { commu->Execute("dsp_qmdwlrt_tmp", {}, text); }, Refusal(HasSubstr("refused")))
        << text;
  }
  EXPECT_EQ(Snapshot(), before);
}

TEST_P(TransactionsTest, AFailedCommandAbortsTheTransaction) {
  auto commu = Object(remote::kProgIdCommunicate);
  const std::string before = Snapshot();
  std::vector<Value> none;
  commu->Call("sustarttran", none);
  EXPECT_THROW(commu->Call("sustarttran", none), remote::ServerError);
  commu->Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement("01", "10010001", 5));
  EXPECT_THROW(commu->Execute("dsp_qmdwlrt_tmp", {}, "DROP TABLE XSTZXKC0"), remote::ServerError);
  // Everything since sustarttran is gone; further commands and the commit are refused.
  EXPECT_EQ(Snapshot(), before);
  EXPECT_THAT(
      [&] { commu->Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement("01", "10010001", 5)); },
      Refusal(HasSubstr("rolled back")));
  EXPECT_THROW(commu->Call("sucommit", none), remote::ServerError);
  EXPECT_EQ(Snapshot(), before);
  // After surollback the object works as before: a cancel commits.
  commu->Call("surollback", none);
  auto systran = Object(remote::kProgIdSysTran);
  remote::Packet doc = OpenDocument(*systran, 20240021);
  const auto stock = LineStock(doc);
  EXPECT_EQ(Cancel(*commu, doc), "");
  ExpectStockLowered(doc, stock, -1);
}

TEST_P(TransactionsTest, AnIdleTransactionIsRolledBack) {
  ObjectOptions options;
  options.transaction_timeout = std::chrono::milliseconds(150);
  SetObjectOptions(options);
  auto commu = Object(remote::kProgIdCommunicate);
  const std::string before = Snapshot();
  std::vector<Value> none;
  commu->Call("sustarttran", none);
  commu->Execute("dsp_qmdwlrt_tmp", {}, IncrementStatement("01", "10010001", 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Snapshot(), before);
  EXPECT_THAT([&] { commu->Call("sucommit", none); }, Refusal(HasSubstr("left open")));
  EXPECT_EQ(Snapshot(), before);
}

TEST_P(TransactionsTest, ApplyWritesOnlyWhatStillHoldsTheValueRead) {
  auto systran = Object(remote::kProgIdSysTran);
  remote::Packet doc = OpenDocument(*systran, 20240014);
  const remote::Row& line = doc.rows[0].nested[0][0];
  auto line_delta = [&](std::vector<remote::FieldValue> changed, double original_price) {
    remote::RowDelta header;
    for (size_t i = 0; i < 9; ++i)
      header.original.push_back({doc.fields[i].name, doc.rows[0].cells[i]});
    remote::RowDelta l;
    for (size_t i = 0; i < 6; ++i) {
      l.original.push_back({doc.fields[9].nested[i].name, line.cells[i]});
    }
    l.original[2].value = Value::Float(original_price);
    l.changed = std::move(changed);
    header.nested.push_back({"tb_qmdwlrt2", {l}});
    return header;
  };
  const double price = line.cells[2].float_value();
  struct Case {
    const char* what;
    std::vector<remote::FieldValue> changed;
    double original_price;
    const char* error;  // the operator's text after "单据 20240014 的商品 G："; nullptr: written
  };
  const Case cases[] = {
      {"price read differs",
       {{"DJIA00", Value::Float(1)}},
       price + 1,
       "该明细行在打开之后已被其他操作员修改（单价）。（代码 S-APPLY-018）"},
      {"quantity", {{"SL0000", Value::Float(1)}}, price, "数量不能修改。（代码 S-APPLY-008）"},
      {"goods code",
       {{"SPDM00", Value::Text("x")}},
       price,
       "商品代码不能修改。（代码 S-APPLY-008）"},
      {"text in a number",
       {{"JE0000", Value::Text("1")}},
       price,
       "金额必须是数值。（代码 S-APPLY-004）"},
      {"NaN amount",
       {{"JE0000", Value::Float(std::nan(""))}},
       price,
       "金额必须是数值。（代码 S-APPLY-004）"},
      {"infinite tax",
       {{"SE0000", Value::Float(INFINITY)}},
       price,
       "税额必须是数值。（代码 S-APPLY-004）"},
      {"local and lookup fields only",
       {{"KCSL00", Value::Float(3)}, {"SPMC00", Value::Text("")}},
       price,
       nullptr},
      {"price, amount and tax",
       {{"DJIA00", Value::Float(12.5)},
        {"JE0000", Value::Float(125)},
        {"SE0000", Value::Float(18.16)}},
       price,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string before = Snapshot();
    remote::ApplyResult r =
        systran->ApplyUpdates("dsp_qmdwlrt1", {line_delta(c.changed, c.original_price)}, 0);
    if (c.error) {
      EXPECT_EQ(r.error_count, 1);
      ASSERT_FALSE(r.errors.empty());
      EXPECT_EQ(r.errors[0], "单据 20240014 的商品 " + line.cells[1].text() + "：" + c.error);
      EXPECT_EQ(Snapshot(), before);
    } else {
      EXPECT_EQ(r.error_count, 0);
    }
  }
  remote::Packet saved = OpenDocument(*systran, 20240014);
  EXPECT_EQ(saved.rows[0].nested[0][0].cells[2].float_value(), 12.5);
  EXPECT_EQ(saved.rows[0].nested[0][0].cells[4].float_value(), 125);
  EXPECT_EQ(saved.rows[0].nested[0][0].cells[5].float_value(), 18.16);
}

// The wire carries any 8 bytes as a date: a date outside years 1 to 9999 fails its row with a
// message instead of reaching the database.
TEST_P(TransactionsTest, ApplyRefusesDatesOutsideTheCalendar) {
  auto systran = Object(remote::kProgIdSysTran);
  remote::Packet doc = OpenDocument(*systran, 20240014);
  for (double day : {1.5e43, -1e300, std::nan(""), 2958466.0}) {
    SCOPED_TRACE(day);
    remote::RowDelta header;
    for (size_t i = 0; i < 9; ++i)
      header.original.push_back({doc.fields[i].name, doc.rows[0].cells[i]});
    header.changed = {{"CKRQ00", Value::Date(rtl::DateTime{day})}};
    const std::string before = Snapshot();
    remote::ApplyResult r = systran->ApplyUpdates("dsp_qmdwlrt1", {header}, 0);
    EXPECT_EQ(r.error_count, 1);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0], msg::FieldMustBeDate(msg::Document(20240014), "CKRQ00").ForOperator());
    EXPECT_THAT(r.errors[0], HasSubstr("制单日期必须是日期"));
    EXPECT_EQ(Snapshot(), before);
  }
}

TEST_P(TransactionsTest, MaxErrorsDecidesWhetherTheRestIsWritten) {
  auto systran = Object(remote::kProgIdSysTran);
  remote::Packet a = OpenDocument(*systran, 20240014);
  remote::Packet b = OpenDocument(*systran, 20240015);
  auto remark = [](const remote::Packet& doc, const std::string& text, bool stale) {
    remote::RowDelta d;
    for (size_t i = 0; i < 9; ++i) d.original.push_back({doc.fields[i].name, doc.rows[0].cells[i]});
    if (stale) d.original[7].value = Value::Text("stale");
    d.changed.push_back({"BEIZHU", Value::Text(text)});
    return d;
  };
  const std::string before = Snapshot();
  // One stale row with max errors 0: nothing is written.
  remote::ApplyResult r =
      systran->ApplyUpdates("dsp_qmdwlrt1", {remark(a, "甲", false), remark(b, "乙", true)}, 0);
  EXPECT_EQ(r.error_count, 1);
  EXPECT_THAT(r.errors[0], HasSubstr("单据 20240015"));
  EXPECT_EQ(Snapshot(), before);
  // With any number of errors allowed the good row is written.
  r = systran->ApplyUpdates("dsp_qmdwlrt1", {remark(a, "甲", false), remark(b, "乙", true)}, -1);
  EXPECT_EQ(r.error_count, 1);
  EXPECT_EQ(OpenDocument(*systran, 20240014).rows[0].cells[7].text(), "甲");
}

}  // namespace
}  // namespace server::testing
