// The browser's and the audit editor's datasets, built from their declarations, against fake
// server objects: each reaches its own object and provider, and the fields behave as declared.
#include "data/module_datasets.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "fake_server.h"
#include "remote/connection.h"
#include "rtl/datetime.h"

namespace data {
namespace {

using testing::D;
using testing::DateDef;
using testing::F;
using testing::FakeServers;
using testing::FakeTable;
using testing::FloatDef;
using ::testing::HasSubstr;
using testing::I;
using testing::IntDef;
using testing::MakeRow;
using testing::NestedDef;
using testing::Null;
using testing::T;
using testing::TextDef;

std::vector<remote::FieldDef> HeaderDefs(const std::string& nested) {
  return {FloatDef("DHAO00"),
          DateDef("CKRQ00"),
          TextDef("CKRY00", 8),
          DateDef("YWRQ00"),
          TextDef("YWRY00", 8),
          TextDef("CKDM00", 2),
          FloatDef("ZZSL00"),
          TextDef("BEIZHU", 50),
          TextDef("GSDW00", 12),
          NestedDef(nested, {FloatDef("DHAO00"), TextDef("SPDM00", 8), FloatDef("DJIA00"),
                             FloatDef("SL0000"), FloatDef("JE0000"), FloatDef("SE0000")})};
}

remote::Row Document(int number, const std::string& maker, const std::string& auditor,
                     const std::string& warehouse, std::vector<remote::Row> lines) {
  auto text_or_null = [](const std::string& s) { return s.empty() ? Null() : T(s); };
  return MakeRow(
      {F(number), D(2024, 3, number % 28 + 1), T(maker), auditor.empty() ? Null() : D(2024, 4, 1),
       text_or_null(auditor), T(warehouse), F(17), T("remark"), T("G1"), Null()},
      {std::move(lines)});
}

remote::Row Line(int doc, const std::string& goods, double price, double quantity) {
  return MakeRow({F(doc), T(goods), F(price), F(quantity), F(price * quantity), F(0)});
}

class ModuleDataSetsTest : public ::testing::Test {
 protected:
  ModuleDataSetsTest()
      : systran_(remote::kProgIdSysTran),
        storpro_(remote::kProgIdStoreProduct),
        commu_(remote::kProgIdCommunicate),
        sysctrl_(remote::kProgIdSysControl),
        cominfo_(remote::kProgIdCompanyInfo),
        editor_sysctrl_(remote::kProgIdSysControl) {
    FakeTable headers;
    headers.fields = HeaderDefs("qry_qmdwlrt2");
    for (int n = 1; n <= 25; ++n) {
      headers.rows.push_back(Document(n, n == 2 ? "S99" : "S01", n % 3 == 0 ? "S02" : "", "01",
                                      {Line(n, "G001", 10, 3), Line(n, "G002", 2.5, 4)}));
    }
    servers_[remote::kProgIdCommunicate].providers["dsp_qmdwlrt1"] = headers;
    servers_[remote::kProgIdCommunicate].providers["dsp_qmdwlrt_tmp"] = FakeTable{};

    FakeTable document;
    document.fields = HeaderDefs("tb_qmdwlrt2");
    document.rows.push_back(
        Document(7, "S01", "", "02", {Line(7, "G002", 2.5, 4), Line(7, "G404", 1, 1)}));
    servers_[remote::kProgIdSysTran].providers["dsp_qmdwlrt1"] = document;
    FakeTable stock;
    stock.fields = {TextDef("SPDM00", 8), TextDef("CKDM00", 2), TextDef("KCBZ00", 4),
                    FloatDef("KCSL00")};
    stock.rows = {MakeRow({T("G002"), T("01"), T("CK"), F(50)}),
                  MakeRow({T("G002"), T("02"), T("CK01"), F(60)}),
                  MakeRow({T("G002"), T("02"), T("CK"), F(70)})};
    servers_[remote::kProgIdSysTran].providers["dsp_xstzxkc0_ck"] = stock;

    auto& storpro = servers_[remote::kProgIdStoreProduct].providers;
    storpro["dsp_LirraUnit"] = {{TextDef("SPDW02", 10), FloatDef("ZHXS00")},
                                {MakeRow({T("条"), F(1)}), MakeRow({T("件"), F(50)})}};
    storpro["dsp_lirrainfo2"] = {{TextDef("SPDM00", 8), TextDef("SPMC00", 40)},
                                 {MakeRow({T("G001"), T("红塔山（软经典）特醇细支香烟礼盒装")}),
                                  MakeRow({T("G002"), T("中华")})}};
    storpro["dsp_xstyjzqj_edit"] = {{DateDef("JSRQ00")}, {MakeRow({D(2024, 2, 29)})}};
    storpro["Dsp_StockColor"] = {{TextDef("SPDM00", 8), IntDef("ZGKCSL"), TextDef("ZGYJYS", 20),
                                  IntDef("ZDKCSL"), TextDef("ZDYJYS", 20)},
                                 {MakeRow({T("G002"), I(100), T("clRed"), I(10), T("$FF0000")})}};
    servers_[remote::kProgIdSysControl].providers["dsp_gstrygl0"] = {
        {TextDef("RYDM00", 8), TextDef("RYMC00", 20), TextDef("CKDM00", 2)},
        {MakeRow({T("S01"), T("欧阳娜娜丽"), T("01")}), MakeRow({T("S02"), T("Li Lei"), T("02")})}};
    servers_[remote::kProgIdCompanyInfo].providers["DataSetProvider_StorCode"] = {
        {TextDef("CKDM00", 2), TextDef("CKMC00", 30)},
        {MakeRow({T("01"), T("一号仓库")}), MakeRow({T("02"), T("二号仓库")})}};

    browser_ = CreateBrowserDataSets({&systran_, &storpro_, &commu_, &sysctrl_, &cominfo_});
  }

  EditorDataSets MakeEditor() {
    return CreateEditorDataSets(
        {&systran_, &storpro_, &editor_sysctrl_},
        {browser_.cds_gstrygl0.get(), browser_.cds_gstckgl0.get(), browser_.cds_gstjygl1.get()});
  }

  void OpenBrowserLists() {
    browser_.cds_gstrygl0->Open();
    browser_.cds_gstjydw0->Open();
    browser_.cds_gstjygl1->Open();
    browser_.cds_gstckgl0->Open();
  }

  FakeServers servers_;
  remote::Connection systran_, storpro_, commu_, sysctrl_, cominfo_, editor_sysctrl_;
  BrowserDataSets browser_;
};

TEST_F(ModuleDataSetsTest, EachBrowserDataSetOpensItsProviderOnItsObject) {
  struct Case {
    std::function<ClientDataSet&()> dataset;
    const char* prog_id;
    const char* provider;
    int packet_records;
    const char* command_text;  // nullptr: none
  };
  const std::vector<Case> cases = {
      {[&]() -> ClientDataSet& { return *browser_.cds_qmdwlrt1; }, remote::kProgIdCommunicate,
       "dsp_qmdwlrt1", 10, nullptr},
      {[&]() -> ClientDataSet& { return *browser_.cds_gstjydw0; }, remote::kProgIdStoreProduct,
       "dsp_LirraUnit", -1, nullptr},
      {[&]() -> ClientDataSet& { return *browser_.cds_gstjygl1; }, remote::kProgIdStoreProduct,
       "dsp_lirrainfo2", -1, nullptr},
      {[&]() -> ClientDataSet& { return *browser_.cds_xstyjzqj; }, remote::kProgIdStoreProduct,
       "dsp_xstyjzqj_edit", -1, kClosingPeriodQuery},
      {[&]() -> ClientDataSet& { return *browser_.cds_gstrygl0; }, remote::kProgIdSysControl,
       "dsp_gstrygl0", -1, nullptr},
      {[&]() -> ClientDataSet& { return *browser_.cds_gstckgl0; }, remote::kProgIdCompanyInfo,
       "DataSetProvider_StorCode", -1, nullptr},
  };
  for (const Case& c : cases) {
    ClientDataSet& ds = c.dataset();
    SCOPED_TRACE(ds.Name());
    ds.Open();
    ASSERT_FALSE(servers_[c.prog_id].opens.empty());
    const remote::OpenRequest& r = servers_[c.prog_id].opens.back();
    EXPECT_EQ(r.provider, c.provider);
    EXPECT_EQ(r.packet_records, c.packet_records);
    if (c.command_text) {
      EXPECT_EQ(r.command_text.value_or(""), c.command_text);
    } else {
      EXPECT_FALSE(r.command_text.has_value());
    }
  }
  // The closing date reads as a date-time.
  EXPECT_EQ(browser_.cds_xstyjzqj->FieldByName("JSRQ00").AsDateTime(),
            rtl::EncodeDate(2024, 2, 29));
  // The command dataset executes on the communication object.
  browser_.cds_qmdwlrt_tmp->SetCommandText(
      "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=3");
  browser_.cds_qmdwlrt_tmp->Execute();
  ASSERT_EQ(servers_[remote::kProgIdCommunicate].executes.size(), 1u);
  EXPECT_EQ(servers_[remote::kProgIdCommunicate].executes[0].provider, "dsp_qmdwlrt_tmp");
}

TEST_F(ModuleDataSetsTest, BrowserHeaderListShowsNamesLinesAndLocalQuantities) {
  OpenBrowserLists();
  ClientDataSet& header = *browser_.cds_qmdwlrt1;
  ClientDataSet& lines = *browser_.cds_qmdwlrt2;
  header.ParamByName("FLAG").SetAsString("1");
  header.Open();
  const remote::OpenRequest& r = servers_[remote::kProgIdCommunicate].opens.back();
  ASSERT_EQ(r.params.size(), 2u);
  EXPECT_EQ(r.params[0].name, "CKDM00");
  EXPECT_TRUE(r.params[0].value.is_null());
  EXPECT_EQ(r.params[1].name, "FLAG");
  EXPECT_EQ(r.params[1].value, T("1"));

  EXPECT_EQ(header.RecordCount(), 10);
  EXPECT_EQ(header.GetNextPacket(), 10);
  EXPECT_EQ(header.GetNextPacket(), 5);
  EXPECT_EQ(header.GetNextPacket(), 0);

  EXPECT_EQ(header.FieldByName("CKRYMC").AsString(), "欧阳娜娜丽");
  EXPECT_EQ(header.FieldByName("YWRYMC").AsString(), "");  // not audited
  EXPECT_EQ(header.FieldByName("YWRQ00").AsString(), "");
  EXPECT_EQ(header.FieldByName("CKMC00").AsString(), "一号仓库");
  header.Next();
  EXPECT_EQ(header.FieldByName("CKRYMC").AsString(), "");  // maker not in the staff list
  header.Next();
  EXPECT_EQ(header.FieldByName("YWRYMC").AsString(), "Li Lei");

  EXPECT_EQ(lines.RecordCount(), 2);
  // Goods names are cut to 20 GBK bytes, never inside a character.
  EXPECT_EQ(lines.FieldByName("SPMC00").AsString(), "红塔山（软经典）特醇");
  lines.Last();
  while (!lines.Bof()) {
    lines.Edit();
    lines.FieldByName("SJSL00").SetAsString(lines.FieldByName("SL0000").AsString());
    header.Post();
    lines.Prior();
  }
  EXPECT_EQ(lines.TextAt(1, lines.FieldByName("SJSL00")), "4");
  EXPECT_EQ(lines.Sum(lines.FieldByName("JE0000")), 40.0L);
  EXPECT_TRUE(header.Delta().empty());  // local quantities are never sent

  lines.Edit();
  lines.FieldByName("SPDM00").SetAsString("");
  EXPECT_THAT(
      [&] {
        try {
          header.Post();
        } catch (const DataError& e) {
          return std::string(e.what());
        }
        return std::string();
      }(),
      HasSubstr("SPDM00"));
}

TEST_F(ModuleDataSetsTest, EditorOpensTheDocumentAndReadsTheBrowserLists) {
  rtl::SetShortDateFormat("yyyy-mm-dd");
  OpenBrowserLists();
  EditorDataSets editor = MakeEditor();
  ClientDataSet& header = *editor.cds_qmdwlrt1;
  ClientDataSet& lines = *editor.cds_qmdwlrt2;
  header.ParamByName("DHAO00").SetAsString("7");
  header.Open();
  const remote::OpenRequest& r = servers_[remote::kProgIdSysTran].opens.back();
  EXPECT_EQ(r.provider, "dsp_qmdwlrt1");
  EXPECT_EQ(r.packet_records, -1);
  ASSERT_EQ(r.params.size(), 1u);
  EXPECT_EQ(r.params[0].type, remote::ParamType::Text);
  EXPECT_EQ(r.params[0].direction, remote::ParamDirection::InputOutput);
  EXPECT_EQ(r.params[0].value, T("7"));

  EXPECT_EQ(header.FieldByName("CKMC00").AsString(), "二号仓库");
  EXPECT_EQ(header.FieldByName("CKRYMC").AsString(), "欧阳娜娜");  // 8 bytes in the editor
  header.Edit();
  header.FieldByName("YWRQ00").SetAsString("2024-04-30");
  header.FieldByName("YWRY00").SetAsString("S02");
  EXPECT_EQ(header.FieldByName("YWRYMC").AsString(), "Li Lei");
  editor.cds_gstrygl0->Open();
  editor.cds_gstrygl0->SetFilter("RYDM00='S01'");
  editor.cds_gstrygl0->SetFiltered(true);
  header.FieldByName("YWRYMC").SetAsString(editor.cds_gstrygl0->FieldByName("RYMC00").AsString());
  EXPECT_EQ(header.FieldByName("YWRYMC").AsString(), "欧阳娜娜");
  // The browser's staff list and the editor's own: two lists, two opens.
  EXPECT_EQ(servers_[remote::kProgIdSysControl].opens.size(), 2u);
  EXPECT_NE(editor.cds_gstrygl0.get(), browser_.cds_gstrygl0.get());

  editor.cds_stockcolor->Open();
  EXPECT_EQ(editor.cds_stockcolor->FieldByName("ZGKCSL").AsInteger(), 100);
  editor.cds_xstzxkc0->Open();
  lines.Last();
  while (!lines.Bof()) {
    if (editor.cds_xstzxkc0->Locate(
            "SPDM00;CKDM00;KCBZ00",
            {lines.FieldByName("SPDM00").AsString(), header.FieldByName("CKDM00").AsString(), "CK"},
            LocateOption::PartialKey)) {
      lines.Edit();
      lines.FieldByName("KCSL00").SetAsString(
          editor.cds_xstzxkc0->FieldByName("KCSL00").AsString());
    }
    lines.Prior();
  }
  EXPECT_EQ(lines.TextAt(0, lines.FieldByName("KCSL00")), "60");  // the first "CK..." row
  EXPECT_TRUE(lines.IsNullAt(1, lines.FieldByName("KCSL00")));    // no stock row
  EXPECT_EQ(lines.TextAt(1, lines.FieldByName("SPMC00")), "");    // goods not in the list

  lines.First();
  lines.Edit();
  lines.FieldByName("DJIA00").SetAsString("3");
  header.Post();
  EXPECT_EQ(header.ApplyUpdates(0), 0);
  const auto& apply = servers_[remote::kProgIdSysTran].applies.at(0);
  EXPECT_EQ(apply.provider, "dsp_qmdwlrt1");
  ASSERT_EQ(apply.delta.size(), 1u);
  std::vector<std::string> changed;
  for (const auto& c : apply.delta[0].changed) changed.push_back(c.field);
  EXPECT_THAT(changed, ::testing::ElementsAre("YWRQ00", "YWRY00"));
  ASSERT_EQ(apply.delta[0].nested.size(), 1u);
  EXPECT_EQ(apply.delta[0].nested[0].field, "tb_qmdwlrt2");
  EXPECT_EQ(apply.delta[0].nested[0].rows.size(), 1u);
}

TEST_F(ModuleDataSetsTest, EditorDataSetsMayOutliveOrPrecedeTheBrowserLists) {
  OpenBrowserLists();
  {
    EditorDataSets editor = MakeEditor();
    editor.cds_qmdwlrt1->ParamByName("DHAO00").SetAsString("7");
    editor.cds_qmdwlrt1->Open();
  }
  EXPECT_EQ(browser_.cds_gstjygl1->FieldByName("SPMC00").AsString(),
            "红塔山（软经典）特醇细支香烟礼盒装");
  EditorDataSets editor = MakeEditor();
  editor.cds_qmdwlrt1->ParamByName("DHAO00").SetAsString("7");
  editor.cds_qmdwlrt1->Open();
  browser_.cds_gstckgl0.reset();
  EXPECT_EQ(editor.cds_qmdwlrt1->FieldByName("CKMC00").AsString(), "");
}

TEST_F(ModuleDataSetsTest, ADocumentPacketWithoutADeclaredFieldDoesNotOpen) {
  auto& document = servers_[remote::kProgIdSysTran].providers["dsp_qmdwlrt1"];
  document.fields.erase(document.fields.begin() + 8);  // GSDW00
  for (auto& row : document.rows) row.cells.erase(row.cells.begin() + 8);
  OpenBrowserLists();
  EditorDataSets editor = MakeEditor();
  editor.cds_qmdwlrt1->ParamByName("DHAO00").SetAsString("7");
  try {
    editor.cds_qmdwlrt1->Open();
    FAIL() << "opened";
  } catch (const DataError& e) {
    EXPECT_THAT(e.what(), HasSubstr("GSDW00"));
  }
  EXPECT_FALSE(editor.cds_qmdwlrt1->Active());
  EXPECT_FALSE(editor.cds_qmdwlrt2->Active());
}

}  // namespace
}  // namespace data
