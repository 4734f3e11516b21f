// The audit trail on each backend: what an audit, a cancel, a refused double audit or cancel and
// a rolled-back save record; that an event and its change are committed together or not at all;
// and that nothing outside the server changes or deletes an event undetected.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "module_calls.h"
#include "server/trail.h"
#include "test_support.h"

namespace server::testing {
namespace {

using remote::Value;
using ::testing::HasSubstr;
using Json = nlohmann::json;

class TrailTest : public DbTest {
 protected:
  void TearDown() override {
    trail::WaitIdle();
    trail::SetKey("");
    SetObjectOptions(ObjectOptions{});
    DbTest::TearDown();
  }

  // An instance as the application server creates it for a client at `address`.
  std::unique_ptr<remote::ServerObject> ClientObject(const std::string& prog_id,
                                                     const std::string& address = "192.0.2.7") {
    ClientInfo client;
    client.address = address;
    return CreateServerObject(prog_id, *storage_, client);
  }

  // The events of a document, once every failed event queued so far has been written.
  std::vector<trail::Event> Events(std::optional<double> document = std::nullopt) {
    trail::WaitIdle();
    trail::Filter f;
    f.document = document;
    return trail::Read(*db_, f);
  }
  static std::vector<std::string> Kinds(const std::vector<trail::Event>& events) {
    std::vector<std::string> kinds;
    for (const trail::Event& e : events) kinds.emplace_back(trail::KindName(e.kind));
    return kinds;
  }
  std::vector<std::string> ChainProblems(const std::string& key = "") {
    return trail::VerifyChain(*db_, {key}).problems;
  }
  void Sql(const std::string& sql) { db_->ExecuteScript(sql); }
};
QMDW_BACKENDS(TrailTest);

TEST_P(TrailTest, AuditCancelAndReauditAreTheWholeLifeOfADocument) {
  auto systran = ClientObject(remote::kProgIdSysTran);
  auto commu = ClientObject(remote::kProgIdCommunicate, "192.0.2.8");
  const double number = 20240014;
  const rtl::DateTime start = trail::Now();

  remote::Packet doc = OpenDocument(*systran, number);
  const std::string warehouse = DocumentWarehouse(doc);
  const std::vector<BatchLine> lines = DocumentLines(doc);
  ASSERT_FALSE(lines.empty());
  const double stock_0b = *Stock(lines.back().goods, "0B");
  remote::RowDelta delta = AuditDelta(doc, "2024-04-01", "0003", {{"BEIZHU", Value::Text("核对")}});
  const double old_price = doc.rows[0].nested[0][0].cells[2].float_value();
  ChangeLinePrice(delta, doc, 0, 12.5, 125, 18.16);
  ASSERT_EQ(SaveAudit(*systran, doc, delta).error_count, 0);

  std::vector<trail::Event> events = Events(number);
  ASSERT_EQ(Kinds(events), (std::vector<std::string>{"audit"}));
  const trail::Event& audit = events[0];
  EXPECT_EQ(audit.operator_code, "0003");
  EXPECT_EQ(audit.client_address, "192.0.2.7");
  EXPECT_EQ(audit.computer_name, "");  // not told by this client
  EXPECT_EQ(audit.warehouse, warehouse);
  EXPECT_EQ(audit.code, "");
  EXPECT_GE(audit.time, start);
  EXPECT_LE(audit.time, trail::Now());
  const Json details = Json::parse(audit.details);
  // Every statement's row, in the order the batch ran: the last line first, 0B before the
  // document's warehouse.
  ASSERT_EQ(details["stock"].size(), 2 * lines.size());
  EXPECT_EQ(details["stock"][0]["goods"], lines.back().goods);
  EXPECT_EQ(details["stock"][0]["warehouse"], "0B");
  EXPECT_EQ(details["stock"][0]["before"].get<double>(), stock_0b);
  EXPECT_EQ(details["stock"][0]["after"].get<double>(), stock_0b - lines.back().quantity);
  EXPECT_EQ(details["stock"][1]["warehouse"], warehouse);
  // The header's stamp and remark, the line's price, amount and tax, each before and after.
  Json header = Json::object();
  for (const Json& f : details["header"]) header[f["field"].get<std::string>()] = f;
  EXPECT_TRUE(header["YWRQ00"]["before"].is_null());
  EXPECT_EQ(header["YWRQ00"]["after"], "2024-04-01");
  EXPECT_EQ(header["YWRY00"]["after"], "0003");
  EXPECT_EQ(header["BEIZHU"]["after"], "核对");
  ASSERT_EQ(details["lines"].size(), 3u);
  EXPECT_EQ(details["lines"][0]["goods"], lines[0].goods);
  EXPECT_EQ(details["lines"][0]["field"], "DJIA00");
  EXPECT_EQ(details["lines"][0]["before"].get<double>(), old_price);
  EXPECT_EQ(details["lines"][0]["after"].get<double>(), 12.5);

  // The cancel records the audit it took away and the stock it gave back.
  doc = OpenDocument(*systran, number);
  EXPECT_EQ(CancelAudit(*commu, doc), "");
  // Audited again, by another operator.
  doc = OpenDocument(*systran, number);
  ASSERT_EQ(SaveAudit(*systran, doc, "2024-04-03", "0004").error_count, 0);

  events = Events(number);
  ASSERT_EQ(Kinds(events), (std::vector<std::string>{"audit", "cancel", "audit"}));
  const trail::Event& cancel = events[1];
  EXPECT_EQ(cancel.client_address, "192.0.2.8");
  EXPECT_EQ(cancel.warehouse, warehouse);
  const Json cancelled = Json::parse(cancel.details);
  for (const Json& f : cancelled["header"]) {
    EXPECT_TRUE(f["after"].is_null());
    EXPECT_EQ(f["before"], f["field"] == "YWRQ00" ? Json("2024-04-01") : Json("0003"));
  }
  ASSERT_EQ(cancelled["stock"].size(), 2 * lines.size());
  EXPECT_EQ(cancelled["stock"][0]["before"].get<double>(), stock_0b - lines.back().quantity);
  EXPECT_EQ(cancelled["stock"][0]["after"].get<double>(), stock_0b);
  EXPECT_EQ(events[2].operator_code, "0004");
  EXPECT_LT(events[0].sequence, events[1].sequence);
  EXPECT_LT(events[1].sequence, events[2].sequence);
  EXPECT_THAT(ChainProblems(), ::testing::IsEmpty());
  // The operator filter finds the second audit only.
  trail::Filter by_operator;
  by_operator.operator_code = "0004";
  EXPECT_EQ(trail::Read(*db_, by_operator).size(), 1u);
}

TEST_P(TrailTest, ARefusedDoubleAuditIsRecordedWithItsReason) {
  auto first = ClientObject(remote::kProgIdSysTran, "192.0.2.1");
  auto second = ClientObject(remote::kProgIdSysTran, "192.0.2.2");
  remote::Packet a = OpenDocument(*first, 20240014);
  remote::Packet b = OpenDocument(*second, 20240014);
  ASSERT_EQ(SaveAudit(*first, a, "2024-04-01", "0003").error_count, 0);
  const std::string after_first = Snapshot();
  EXPECT_EQ(SaveAudit(*second, b, "2024-04-02", "0004").error_count, 1);
  EXPECT_EQ(Snapshot(), after_first);

  const std::vector<trail::Event> events = Events(20240014);
  ASSERT_EQ(Kinds(events), (std::vector<std::string>{"audit", "audit-failed"}));
  EXPECT_EQ(events[0].operator_code, "0003");
  const trail::Event& refused = events[1];
  EXPECT_EQ(refused.operator_code, "0004");
  EXPECT_EQ(refused.client_address, "192.0.2.2");
  EXPECT_EQ(refused.code, "S-APPLY-013");
  EXPECT_THAT(refused.reason, HasSubstr("was changed by another user"));
  // What it tried: the batch's statements; no stock row changed.
  const Json details = Json::parse(refused.details);
  EXPECT_FALSE(details.contains("stock"));
  EXPECT_EQ(details["statements"].size(), 2 * DocumentLines(b).size());
  EXPECT_THAT(ChainProblems(), ::testing::IsEmpty());
}

TEST_P(TrailTest, ARefusedDoubleCancelIsRecordedWithItsReason) {
  auto systran = ClientObject(remote::kProgIdSysTran);
  auto first = ClientObject(remote::kProgIdCommunicate);
  auto second = ClientObject(remote::kProgIdCommunicate);
  remote::Packet doc = OpenDocument(*systran, 20240021);
  EXPECT_EQ(CancelAudit(*first, doc), "");
  EXPECT_NE(CancelAudit(*second, doc), "");
  const std::vector<trail::Event> events = Events(20240021);
  ASSERT_EQ(Kinds(events), (std::vector<std::string>{"cancel", "cancel-failed"}));
  EXPECT_EQ(events[1].code, "S-CANCEL-002");
  EXPECT_EQ(events[1].warehouse, DocumentWarehouse(doc));
  // The refused cancel's increments were rolled back: the stock rose once.
  EXPECT_FALSE(Json::parse(events[1].details).contains("stock"));
  EXPECT_EQ(Json::parse(events[1].details)["statements"].size(), 2 * DocumentLines(doc).size() + 1);
}

TEST_P(TrailTest, ASaveRolledBackBeforeItsDocumentCameIsRecordedOnceWithTheDocument) {
  ObjectOptions options;
  options.save_timeout = std::chrono::milliseconds(150);
  SetObjectOptions(options);
  auto systran = ClientObject(remote::kProgIdSysTran);
  remote::Packet doc = OpenDocument(*systran, 20240014);
  std::vector<Value> args = {Value::Text(AuditBatch(DocumentLines(doc), DocumentWarehouse(doc)))};
  systran->Call("TranPara", args);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_THROW(systran->ApplyUpdates("dsp_qmdwlrt1", {AuditDelta(doc, "2024-04-01", "0003")}, 0),
               remote::ServerError);
  std::vector<trail::Event> events = Events(20240014);
  ASSERT_EQ(Kinds(events), (std::vector<std::string>{"audit-failed"}));
  EXPECT_EQ(events[0].operator_code, "0003");
  EXPECT_THAT(events[0].code, HasSubstr("S-TXN-00"));

  // A client that goes away with its batch pending.
  systran->Call("TranPara", args);
  systran.reset();
  events = Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, trail::Kind::kAuditFailed);
  EXPECT_EQ(events.back().code, "S-SAVE-003");
  EXPECT_EQ(events.back().document, std::nullopt);
  EXPECT_FALSE(Audited(20240014));
}

TEST_P(TrailTest, AChangeAndItsEventAreCommittedTogetherOrNotAtAll) {
  // A trail that cannot take the audit's event: the audit is rolled back with it.
  if (GetParam() == "sqlite") {
    Sql("CREATE TRIGGER QMDW_TEST_NO_EVENT BEFORE INSERT ON QMDWSHRZ WHEN NEW.SJLX00 IN "
        "('audit', 'cancel') BEGIN SELECT RAISE(ABORT, 'no event'); END");
  } else {
    Sql("CREATE OR REPLACE FUNCTION QMDW_TEST_NO_EVENT() RETURNS trigger LANGUAGE plpgsql AS $$ "
        "BEGIN RAISE EXCEPTION 'no event'; END $$; CREATE TRIGGER QMDW_TEST_NO_EVENT BEFORE "
        "INSERT ON QMDWSHRZ FOR EACH ROW WHEN (NEW.SJLX00 IN ('audit', 'cancel')) EXECUTE "
        "FUNCTION QMDW_TEST_NO_EVENT()");
  }
  auto systran = ClientObject(remote::kProgIdSysTran);
  auto commu = ClientObject(remote::kProgIdCommunicate);
  const std::string before = Snapshot();
  remote::Packet doc = OpenDocument(*systran, 20240014);
  EXPECT_THROW(SaveAudit(*systran, doc, "2024-04-01", "0003"), remote::ServerError);
  remote::Packet audited = OpenDocument(*systran, 20240021);
  EXPECT_NE(CancelAudit(*commu, audited), "");
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(Kinds(Events(20240014)), (std::vector<std::string>{"audit-failed"}));
  EXPECT_EQ(Kinds(Events(20240021)), (std::vector<std::string>{"cancel-failed"}));
  Sql(GetParam() == "sqlite" ? "DROP TRIGGER QMDW_TEST_NO_EVENT"
                             : "DROP TRIGGER QMDW_TEST_NO_EVENT ON QMDWSHRZ");

  // A document that cannot be written: no audit, so no audit event.
  if (GetParam() == "sqlite") {
    Sql("CREATE TRIGGER QMDW_TEST_NO_HEADER BEFORE UPDATE ON QMDWLRT1 BEGIN SELECT RAISE(ABORT, "
        "'the document could not be written'); END");
  } else {
    Sql("CREATE OR REPLACE FUNCTION QMDW_TEST_NO_HEADER() RETURNS trigger LANGUAGE plpgsql AS $$ "
        "BEGIN RAISE EXCEPTION 'the document could not be written'; END $$; CREATE TRIGGER "
        "QMDW_TEST_NO_HEADER BEFORE UPDATE ON QMDWLRT1 FOR EACH ROW EXECUTE FUNCTION "
        "QMDW_TEST_NO_HEADER()");
  }
  EXPECT_THROW(SaveAudit(*systran, doc, "2024-04-01", "0003"), remote::ServerError);
  EXPECT_EQ(Snapshot(), before);
  const std::vector<trail::Event> events = Events(20240014);
  ASSERT_EQ(Kinds(events), (std::vector<std::string>{"audit-failed", "audit-failed"}));
  EXPECT_EQ(events[1].code, "S-DB-003");
  EXPECT_THAT(events[1].reason, HasSubstr("the document could not be written"));
  // The tables outlive the test on PostgreSQL.
  Sql(GetParam() == "sqlite" ? "DROP TRIGGER QMDW_TEST_NO_HEADER"
                             : "DROP TRIGGER QMDW_TEST_NO_HEADER ON QMDWLRT1");
}

TEST_P(TrailTest, NothingOutsideTheServerChangesOrDeletesAnEventUndetected) {
  trail::SetKey("the trail key of this site, 32 b");
  auto systran = ClientObject(remote::kProgIdSysTran);
  for (double number : {20240014.0, 20240015.0, 20240016.0}) {
    remote::Packet doc = OpenDocument(*systran, number);
    ASSERT_EQ(SaveAudit(*systran, doc, "2024-04-01", "0003").error_count, 0);
  }
  const std::string key = "the trail key of this site, 32 b";
  EXPECT_THAT(ChainProblems(key), ::testing::IsEmpty());
  EXPECT_THAT(trail::MissingTriggers(*db_), ::testing::IsEmpty());
  // The triggers refuse every change and deletion.
  EXPECT_THROW(Sql("UPDATE QMDWSHRZ SET CZRY00 = '0001' WHERE XHAO00 = 2"), StorageError);
  EXPECT_THROW(Sql("DELETE FROM QMDWSHRZ WHERE XHAO00 = 3"), StorageError);
  if (GetParam() == "postgresql") {
    EXPECT_THROW(Sql("TRUNCATE QMDWSHRZ"), StorageError);
  }
  EXPECT_THAT(ChainProblems(key), ::testing::IsEmpty());

  // Someone who drops the triggers: the chain still shows what was changed, even when the hash
  // was computed again without the key.
  Sql(GetParam() == "sqlite"
          ? "DROP TRIGGER QMDWSHRZ_NO_UPDATE; DROP TRIGGER QMDWSHRZ_NO_DELETE"
          : "DROP TRIGGER QMDWSHRZ_NO_CHANGE ON QMDWSHRZ; DROP TRIGGER QMDWSHRZ_NO_TRUNCATE ON "
            "QMDWSHRZ");
  EXPECT_EQ(trail::MissingTriggers(*db_).size(), 2u);
  std::vector<trail::Event> events = Events();
  trail::Event forged = events[2];
  forged.operator_code = "0001";
  const std::string rehashed = trail::HashOf(forged, events[1].hash, "");
  db_->Execute("UPDATE QMDWSHRZ SET CZRY00 = '0001', JYM000 = ? WHERE XHAO00 = 3",
               {Value::Text(rehashed)});
  std::vector<std::string> problems = ChainProblems(key);
  ASSERT_FALSE(problems.empty());
  EXPECT_THAT(problems[0], HasSubstr("event 3"));
  // A deleted event leaves a gap.
  Sql("DELETE FROM QMDWSHRZ WHERE XHAO00 = 2");
  problems = ChainProblems(key);
  EXPECT_THAT(problems, ::testing::Contains(HasSubstr("events 2 to 2 are missing")));
  // Verified without the key, the keyed events cannot be verified.
  EXPECT_THAT(ChainProblems(""), ::testing::Contains(HasSubstr("cannot be verified")));
  // Nor can a keyed event be turned back into one without a key.
  Sql("UPDATE QMDWSHRZ SET MYBS00 = NULL WHERE XHAO00 = 4");
  EXPECT_THAT(ChainProblems(key),
              ::testing::Contains(HasSubstr("event 4: holds no trail key after events")));
}

TEST_P(TrailTest, APlainChangeOfADocumentIsRecorded) {
  auto systran = ClientObject(remote::kProgIdSysTran);
  remote::Packet doc = OpenDocument(*systran, 20240014);
  remote::RowDelta d = AuditDelta(doc, "2024-04-01", "0003");
  d.changed = {{"BEIZHU", Value::Text("只改备注")}};
  ASSERT_EQ(systran->ApplyUpdates("dsp_qmdwlrt1", {d}, 0).error_count, 0);
  // An audit stored without its stock batch is refused, and recorded as a failed save.
  ASSERT_EQ(
      systran
          ->ApplyUpdates("dsp_qmdwlrt1",
                         {AuditDelta(OpenDocument(*systran, 20240015), "2024-04-01", "0003")}, 0)
          .error_count,
      1);
  std::vector<trail::Event> events = Events(20240014);
  ASSERT_EQ(Kinds(events), (std::vector<std::string>{"change"}));
  EXPECT_EQ(Json::parse(events[0].details)["header"][0]["after"], "只改备注");
  events = Events(20240015);
  ASSERT_EQ(Kinds(events), (std::vector<std::string>{"audit-failed"}));
  EXPECT_EQ(events[0].code, "S-APPLY-010");
}

TEST_P(TrailTest, TheTrailBeginsWithTheDocumentsAuditedAtItsStart) {
  const std::vector<trail::Event> events = Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].sequence, 1);
  EXPECT_EQ(events[0].kind, trail::Kind::kStart);
  const Json audited = Json::parse(events[0].details)["audited"];
  // The small demo set: 20240001-06 and 20240020-22.
  EXPECT_EQ(audited.size(), 9u);
  EXPECT_EQ(audited[0].get<double>(), 20240001);
}

}  // namespace
}  // namespace server::testing
