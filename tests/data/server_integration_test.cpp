// The declared datasets against a real application server over TCP (the small demo set, on
// SQLite and, when QMDW_PG_URL is set, PostgreSQL): packets, nested lines, lookups, locate, apply
// updates after "TranPara", and the commands of a cancel inside a transaction.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "data/module_datasets.h"
#include "remote/connection.h"
#include "rtl/datetime.h"
#include "rtl/numtext.h"
#include "server/storage.h"
#include "tests/support/test_app_server.h"

namespace data {
namespace {

using remote::Value;

class ServerIntegrationTest : public ::testing::TestWithParam<testsupport::Backend> {
 protected:
  void SetUp() override {
    server_ = std::make_unique<testsupport::TestAppServer>(GetParam());
    for (remote::Connection* c :
         {&systran_, &storpro_, &commu_, &sysctrl_, &cominfo_, &editor_sysctrl_}) {
      c->SetComputerName(server_->computer_name());
    }
    rtl::SetShortDateFormat("yyyy-mm-dd");
    browser_ = CreateBrowserDataSets({&systran_, &storpro_, &commu_, &sysctrl_, &cominfo_});
    browser_.cds_gstrygl0->Open();
    browser_.cds_gstjydw0->Open();
    browser_.cds_gstjygl1->Open();
    browser_.cds_gstckgl0->Open();
  }
  void TearDown() override {
    browser_ = BrowserDataSets();
    for (remote::Connection* c :
         {&systran_, &storpro_, &commu_, &sysctrl_, &cominfo_, &editor_sysctrl_}) {
      c->SetConnected(false);
    }
    server_.reset();
  }

  std::optional<std::string> DbText(const std::string& sql) {
    auto db = server_->storage().NewSession();
    auto rows = db->Query(sql);
    if (!rows->Next() || rows->IsNull(0)) return std::nullopt;
    return std::string(rows->Text(0));
  }

  std::unique_ptr<testsupport::TestAppServer> server_;
  remote::Connection systran_{remote::kProgIdSysTran}, storpro_{remote::kProgIdStoreProduct},
      commu_{remote::kProgIdCommunicate}, sysctrl_{remote::kProgIdSysControl},
      cominfo_{remote::kProgIdCompanyInfo}, editor_sysctrl_{remote::kProgIdSysControl};
  BrowserDataSets browser_;
};

TEST_P(ServerIntegrationTest, BrowserListsTheDocumentsInPacketsWithTheirLines) {
  ClientDataSet& header = *browser_.cds_qmdwlrt1;
  ClientDataSet& lines = *browser_.cds_qmdwlrt2;
  header.ParamByName("FLAG").SetAsString("1");
  int moves = 0;
  header.AfterScroll = [&](ClientDataSet& ds) {
    ++moves;
    if (ds.Eof()) ds.GetNextPacket();
  };
  header.Open();
  EXPECT_EQ(moves, 1);
  EXPECT_EQ(header.RecordCount(), 10);
  header.Last();  // loads the next packet and stays on the tenth document
  EXPECT_EQ(header.RecordCount(), 20);
  EXPECT_EQ(header.RecNo(), 10);
  header.Last();
  header.Last();
  EXPECT_EQ(header.RecordCount(), 30);
  EXPECT_EQ(header.GetNextPacket(), 0);

  ASSERT_TRUE(header.Locate("DHAO00", {"20240011"}));
  EXPECT_EQ(header.FieldByName("CKRYMC").AsString(), "");  // maker not in the staff list
  EXPECT_FALSE(header.FieldByName("CKMC00").AsString().empty());
  ASSERT_TRUE(header.Locate("DHAO00", {"20240009"}));
  EXPECT_TRUE(lines.IsEmpty());
  ASSERT_TRUE(header.Locate("DHAO00", {"20240012"}));
  ASSERT_FALSE(lines.IsEmpty());
  bool found_fraction = false;
  for (int i = 0; i < lines.RecordCount(); ++i) {
    found_fraction |= lines.TextAt(i, lines.FieldByName("SL0000")) == "2.5";
    EXPECT_FALSE(lines.TextAt(i, lines.FieldByName("SPMC00")).empty());
  }
  EXPECT_TRUE(found_fraction);
  ASSERT_TRUE(header.Locate("DHAO00", {"20240001"}));
  EXPECT_FALSE(header.FieldByName("YWRQ00").IsNull());  // audited
  EXPECT_FALSE(header.FieldByName("YWRYMC").AsString().empty());

  browser_.cds_xstyjzqj->Open();
  EXPECT_EQ(browser_.cds_xstyjzqj->FieldByName("JSRQ00").AsString(), "2024-02-29");
}

TEST_P(ServerIntegrationTest, EditorSavesAnAuditWithItsStockBatch) {
  EditorDataSets editor = CreateEditorDataSets(
      {&systran_, &storpro_, &editor_sysctrl_},
      {browser_.cds_gstrygl0.get(), browser_.cds_gstckgl0.get(), browser_.cds_gstjygl1.get()});
  ClientDataSet& header = *editor.cds_qmdwlrt1;
  ClientDataSet& lines = *editor.cds_qmdwlrt2;
  header.ParamByName("DHAO00").SetAsString("20240012");
  header.Open();
  ASSERT_EQ(header.RecordCount(), 1);
  const std::string warehouse = header.FieldByName("CKDM00").AsString();
  ASSERT_FALSE(lines.IsEmpty());

  header.Edit();
  header.FieldByName("YWRQ00").SetAsString("2024-04-30");
  header.FieldByName("YWRY00").SetAsString("0001");
  editor.cds_gstrygl0->Open();
  editor.cds_gstrygl0->SetFilter("RYDM00='0001'");
  editor.cds_gstrygl0->SetFiltered(true);
  header.FieldByName("YWRYMC").SetAsString(editor.cds_gstrygl0->FieldByName("RYMC00").AsString());
  EXPECT_FALSE(header.FieldByName("YWRYMC").AsString().empty());

  editor.cds_stockcolor->Open();
  editor.cds_xstzxkc0->Open();
  int with_stock = 0;
  lines.Last();
  while (!lines.Bof()) {
    if (editor.cds_xstzxkc0->Locate("SPDM00;CKDM00;KCBZ00",
                                    {lines.FieldByName("SPDM00").AsString(), warehouse, "CK"},
                                    LocateOption::PartialKey)) {
      lines.Edit();
      lines.FieldByName("KCSL00").SetAsString(
          editor.cds_xstzxkc0->FieldByName("KCSL00").AsString());
      ++with_stock;
    }
    lines.Prior();
  }
  EXPECT_GT(with_stock, 0);

  lines.First();
  const std::string goods = lines.FieldByName("SPDM00").AsString();
  lines.Edit();
  lines.FieldByName("DJIA00").SetAsString("12.5");

  // The save: the stock batch, then the document.
  std::string batch;
  lines.Last();
  while (!lines.Bof()) {
    const std::string q = lines.FieldByName("SL0000").AsString();
    const std::string g = lines.FieldByName("SPDM00").AsString();
    batch += "!UPDATE XSTZXKC0 SET KCSL00=KCSL00-(" + q + ") WHERE SPDM00='" + g +
             "' AND CKDM00='0B' AND KCBZ00='YW'";
    batch += "!UPDATE XSTZXKC0 SET KCSL00=KCSL00-(" + q + ") WHERE SPDM00='" + g +
             "' AND CKDM00='" + warehouse + "' AND KCBZ00='YW'";
    lines.Prior();
  }
  batch.erase(0, 1);
  if (header.State() != DataSetState::Browse) header.Post();
  std::vector<Value> args = {Value::Text(batch)};
  systran_.Object().Call("TranPara", args);
  EXPECT_EQ(header.ApplyUpdates(0), 0);
  EXPECT_EQ(header.ChangeCount(), 0);

  EXPECT_EQ(DbText("SELECT YWRY00 FROM QMDWLRT1 WHERE DHAO00 = 20240012").value_or(""), "0001");
  EXPECT_EQ(
      DbText("SELECT DJIA00 FROM QMDWLRT2 WHERE DHAO00 = 20240012 AND SPDM00 = '" + goods + "'")
          .value_or(""),
      "12.5");
}

TEST_P(ServerIntegrationTest, CancelCommandsRunInsideTheTransaction) {
  ClientDataSet& tmp = *browser_.cds_qmdwlrt_tmp;
  std::vector<Value> none;
  commu_.Object().Call("sustarttran", none);
  // Document 20240020 (warehouse 03) has one line: goods 10010001, quantity 5. The server
  // commits a cancel only with the stock of each of its lines given back.
  for (const char* statement :
       {"UPDATE XSTZXKC0 SET KCSL00=KCSL00+(5) WHERE CKDM00='0B' AND SPDM00='10010001' AND "
        "KCBZ00='YW'",
        "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(5) WHERE CKDM00='03' AND SPDM00='10010001' AND "
        "KCBZ00='YW'",
        "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=20240020"}) {
    tmp.Close();
    tmp.SetCommandText(statement);
    tmp.Execute();
  }
  commu_.Object().Call("sucommit", none);
  EXPECT_FALSE(DbText("SELECT YWRQ00 FROM QMDWLRT1 WHERE DHAO00 = 20240020").has_value());

  tmp.SetCommandText("DELETE FROM QMDWLRT1");
  EXPECT_THROW(tmp.Execute(), remote::ServerError);  // the server runs only statements it knows
}

INSTANTIATE_TEST_SUITE_P(Backends, ServerIntegrationTest,
                         ::testing::ValuesIn(testsupport::AvailableBackends()),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

}  // namespace
}  // namespace data
