// Behaviour of the client dataset engine against a fake server object.
#include "data/dataset.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_server.h"
#include "remote/connection.h"
#include "rtl/datetime.h"

namespace data {
namespace {

using testing::D;
using ::testing::ElementsAre;
using testing::F;
using testing::FakeServer;
using testing::FakeServers;
using testing::FakeTable;
using testing::FloatDef;
using ::testing::HasSubstr;
using testing::I;
using testing::MakeRow;
using testing::Null;
using testing::T;
using testing::TextDef;

// Catches the error a call throws and returns its message ("" when nothing was thrown).
template <typename Fn>
std::string ErrorOf(Fn&& fn) {
  try {
    fn();
  } catch (const rtl::Error& e) {
    return e.what();
  }
  return "";
}

// A table of `n` records: ID 1..n and NAME "r1".."rn".
FakeTable Numbered(int n) {
  FakeTable t;
  t.fields = {FloatDef("ID"), TextDef("NAME", 10)};
  for (int i = 1; i <= n; ++i) t.rows.push_back(MakeRow({F(i), T("r" + std::to_string(i))}));
  return t;
}

class DataSetTest : public ::testing::Test {
 protected:
  DataSetTest() : conn_(remote::kProgIdCommunicate) {}
  FakeServer& server() { return servers_[remote::kProgIdCommunicate]; }

  // A dataset over provider `provider` of the fake, counting after-move and before-post runs.
  std::unique_ptr<ClientDataSet> MakeDataSet(const std::string& provider, FakeTable table) {
    server().providers[provider] = std::move(table);
    auto ds = std::make_unique<ClientDataSet>("cds_" + provider);
    ds->SetRemoteServer(&conn_);
    ds->SetProviderName(provider);
    ds->AfterScroll = [this](ClientDataSet&) { ++after_moves_; };
    ds->BeforePost = [this](ClientDataSet&) { ++before_posts_; };
    return ds;
  }

  FakeServers servers_;
  remote::Connection conn_;
  int after_moves_ = 0;
  int before_posts_ = 0;
};

// --- Cursor flags and the after-move hook ---------------------------------------------------

enum class Move { Open, First, Last, Next, Prior };

struct Step {
  Move move;
  int rec_no;
  bool bof, eof;
  bool fires;
};

struct CursorCase {
  const char* name;
  int records;
  std::vector<Step> steps;
};

TEST_F(DataSetTest, CursorFlagsAndAfterMoveFollowEveryMove) {
  const std::vector<CursorCase> cases = {
      {"empty",
       0,
       {{Move::Open, 0, true, true, false},
        {Move::Next, 0, true, true, false},
        {Move::Prior, 0, true, true, false},
        {Move::Last, 0, true, true, true},
        {Move::First, 0, true, true, true}}},
      {"one record",
       1,
       {{Move::Open, 1, true, false, true},
        {Move::Last, 1, false, true, true},
        {Move::Next, 1, false, true, false},
        {Move::Prior, 1, true, false, true},
        {Move::Prior, 1, true, false, false},
        {Move::Next, 1, false, true, true},
        {Move::First, 1, true, false, true}}},
      {"three records",
       3,
       {{Move::Open, 1, true, false, true},
        {Move::Prior, 1, true, false, false},
        {Move::Next, 2, false, false, true},
        {Move::Next, 3, false, false, true},
        {Move::Next, 3, false, true, true},
        {Move::Next, 3, false, true, false},
        {Move::Prior, 2, false, false, true},
        {Move::Prior, 1, false, false, true},
        {Move::Prior, 1, true, false, true},
        {Move::Last, 3, false, true, true},
        {Move::First, 1, true, false, true},
        {Move::Open, 1, true, false, false}}},  // opening an open dataset does nothing
  };
  for (const CursorCase& c : cases) {
    auto ds = MakeDataSet("p", Numbered(c.records));
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      int before = after_moves_;
      switch (s.move) {
        case Move::Open:
          ds->Open();
          break;
        case Move::First:
          ds->First();
          break;
        case Move::Last:
          ds->Last();
          break;
        case Move::Next:
          ds->Next();
          break;
        case Move::Prior:
          ds->Prior();
          break;
      }
      SCOPED_TRACE(std::string(c.name) + ", step " + std::to_string(i));
      EXPECT_EQ(ds->RecNo(), s.rec_no);
      EXPECT_EQ(ds->Bof(), s.bof);
      EXPECT_EQ(ds->Eof(), s.eof);
      EXPECT_EQ(after_moves_ - before, s.fires ? 1 : 0);
    }
  }
}

TEST_F(DataSetTest, WalkingFromLastToFirstHandlesEveryRecordOnce) {
  for (int n : {0, 1, 5}) {
    SCOPED_TRACE(n);
    auto ds = MakeDataSet("p", Numbered(n));
    ds->Open();
    std::vector<std::string> seen;
    ds->Last();
    while (!ds->Bof()) {
      seen.push_back(ds->FieldByName("NAME").AsString());
      ds->Prior();
    }
    std::vector<std::string> expected;
    for (int i = n; i >= 1; --i) expected.push_back("r" + std::to_string(i));
    EXPECT_EQ(seen, expected);
    // And from first to last with the end flag.
    seen.clear();
    ds->First();
    while (!ds->Eof()) {
      seen.push_back(ds->FieldByName("NAME").AsString());
      ds->Next();
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(n));
  }
}

// --- Packets ----------------------------------------------------------------------------------

TEST_F(DataSetTest, PacketsArriveOnRequestUntilEveryRowHasArrived) {
  auto ds = MakeDataSet("p", Numbered(25));
  ds->SetPacketRecords(10);
  ds->Open();
  EXPECT_EQ(server().opens.back().packet_records, 10);
  EXPECT_EQ(ds->RecordCount(), 10);
  EXPECT_EQ(ds->GetNextPacket(), 10);
  EXPECT_EQ(ds->RecordCount(), 20);
  EXPECT_EQ(ds->GetNextPacket(), 5);
  EXPECT_EQ(ds->RecordCount(), 25);
  EXPECT_EQ(ds->GetNextPacket(), 0);
  EXPECT_EQ(ds->RecordCount(), 25);
  EXPECT_THAT(server().fetched_rows, ElementsAre(10, 5));  // the fourth request asked nothing
  EXPECT_EQ(server().OpenCursorCount(), 0u);               // the finished result was released
  EXPECT_EQ(ds->RecNo(), 1);                               // fetching does not move the cursor
}

TEST_F(DataSetTest, WithoutPacketSizeEveryRowArrivesAtOpening) {
  auto ds = MakeDataSet("p", Numbered(25));
  ds->Open();
  EXPECT_EQ(ds->RecordCount(), 25);
  EXPECT_EQ(ds->GetNextPacket(), 0);
  EXPECT_TRUE(server().fetched_rows.empty());
}

// The browser's list: the after-move hook fetches the next packet when the end flag is set.
TEST_F(DataSetTest, RowsArrivingAtTheEndClearTheEndFlag) {
  auto ds = MakeDataSet("p", Numbered(25));
  ds->SetPacketRecords(10);
  ds->AfterScroll = [](ClientDataSet& d) {
    if (d.Eof()) d.GetNextPacket();
  };
  ds->Open();
  for (int i = 1; i < 10; ++i) ds->Next();
  EXPECT_EQ(ds->RecNo(), 10);
  ds->Next();  // past the tenth: loads 11..20, stays on the tenth
  EXPECT_EQ(ds->RecordCount(), 20);
  EXPECT_EQ(ds->RecNo(), 10);
  EXPECT_FALSE(ds->Eof());
  ds->Next();
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "r11");
  ds->Last();  // a jump to the end loads one more packet and stays on the old last document
  EXPECT_EQ(ds->RecordCount(), 25);
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "r20");
  ds->Last();
  ds->Next();
  ds->Next();
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "r25");
  EXPECT_TRUE(ds->Eof());
}

TEST_F(DataSetTest, ReopeningStartsAgainFromTheFirstPacket) {
  auto ds = MakeDataSet("p", Numbered(25));
  ds->SetPacketRecords(10);
  ds->Open();
  ds->GetNextPacket();
  ds->Close();
  EXPECT_EQ(server().OpenCursorCount(), 0u);  // closing released the unfinished result
  ds->Open();
  EXPECT_EQ(ds->RecordCount(), 10);
}

// --- Opening ----------------------------------------------------------------------------------

TEST_F(DataSetTest, ParametersAndCommandTextTravelWithTheOpen) {
  auto ds = MakeDataSet("p", Numbered(1));
  ds->AddParam("CKDM00", remote::ParamType::Text);
  ds->AddParam("DHAO00", remote::ParamType::Float, remote::ParamDirection::InputOutput);
  ds->ParamByName("DHAO00").SetAsString("17");
  ds->SetCommandText("SELECT 1");
  ds->Open();
  const remote::OpenRequest& r = server().opens.back();
  ASSERT_EQ(r.params.size(), 2u);
  EXPECT_TRUE(r.params[0].value.is_null());              // without value: travels without one
  EXPECT_EQ(r.params[1].type, remote::ParamType::Text);  // text makes it a text parameter
  EXPECT_EQ(r.params[1].direction, remote::ParamDirection::InputOutput);
  EXPECT_EQ(r.params[1].value.text(), "17");
  EXPECT_EQ(r.command_text, "SELECT 1");
  EXPECT_THAT(ErrorOf([&] { ds->ParamByName("FLAG"); }), HasSubstr("FLAG"));
}

TEST_F(DataSetTest, MissingDeclaredFieldFailsTheOpenNamingIt) {
  auto ds = MakeDataSet("p", Numbered(25));
  ds->SetPacketRecords(10);
  ds->AddField(StoredField("ID", FieldType::Float));
  ds->AddField(StoredField("SPDM00", FieldType::Text, 8));
  EXPECT_THAT(ErrorOf([&] { ds->Open(); }), HasSubstr("SPDM00"));
  EXPECT_FALSE(ds->Active());
  EXPECT_EQ(ds->State(), DataSetState::Inactive);
  EXPECT_EQ(after_moves_, 0);
  EXPECT_EQ(server().OpenCursorCount(), 0u);
}

TEST_F(DataSetTest, DeclaredFieldsBindByNameAndOthersAreLeftOut) {
  FakeTable t;
  t.fields = {TextDef("EXTRA"), TextDef("name", 30), FloatDef("ID")};
  t.rows = {MakeRow({T("x"), T("n1"), F(7)})};
  auto ds = MakeDataSet("p", t);
  ds->AddField(StoredField("ID", FieldType::Float));
  ds->AddField(StoredField("NAME", FieldType::Text, 8));
  ds->Open();
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "n1");
  EXPECT_EQ(ds->FieldByName("NAME").Size(), 8);
  EXPECT_EQ(ds->FieldByName("ID").AsFloat(), 7);
  EXPECT_EQ(ds->FindField("EXTRA"), nullptr);
}

TEST_F(DataSetTest, UndeclaredDataSetTakesThePacketFields) {
  auto ds = MakeDataSet("p", Numbered(2));
  ds->Open();
  ASSERT_EQ(ds->FieldCount(), 2);
  EXPECT_EQ(ds->FieldAt(1).FieldName(), "NAME");
  EXPECT_EQ(ds->FieldByName("NAME").Size(), 10);
}

TEST_F(DataSetTest, ServerErrorsReachTheCaller) {
  auto ds = MakeDataSet("p", Numbered(2));
  server().open_error = "ORA-00942: table or view does not exist";
  EXPECT_EQ(ErrorOf([&] { ds->Open(); }), "ORA-00942: table or view does not exist");
  EXPECT_FALSE(ds->Active());
}

// --- Field access -----------------------------------------------------------------------------

TEST_F(DataSetTest, UnknownFieldNamesFailNamingTheField) {
  auto ds = MakeDataSet("p", Numbered(3));
  ds->Open();
  EXPECT_THAT(ErrorOf([&] { ds->FieldByName("NOPE00"); }), HasSubstr("NOPE00"));
  EXPECT_THAT(ErrorOf([&] { ds->Locate("NOPE01", {"1"}); }), HasSubstr("NOPE01"));
  ds->SetFilter("NOPE02='1'");
  EXPECT_THAT(ErrorOf([&] { ds->SetFiltered(true); }), HasSubstr("NOPE02"));
  EXPECT_EQ(ds->RecordCount(), 3);
  EXPECT_EQ(ds->FindField("NOPE00"), nullptr);
}

TEST_F(DataSetTest, FieldsWithoutValueReadAsEmptyZeroAndTheZeroDate) {
  FakeTable t;
  t.fields = {TextDef("S"), FloatDef("X"), testing::DateDef("D"), testing::IntDef("N")};
  t.rows = {MakeRow({Null(), Null(), Null(), Null()})};
  auto ds = MakeDataSet("p", t);
  ds->Open();
  for (const char* name : {"S", "X", "D", "N"}) {
    Field& f = ds->FieldByName(name);
    SCOPED_TRACE(name);
    EXPECT_TRUE(f.IsNull());
    EXPECT_EQ(f.AsString(), "");
    EXPECT_EQ(f.AsFloat(), 0);
    EXPECT_EQ(f.AsInteger(), 0);
    EXPECT_EQ(f.AsDateTime().value, 0);
  }
}

TEST_F(DataSetTest, ValuesReadAsTextNumbersAndDates) {
  rtl::SetShortDateFormat("yyyy-mm-dd");
  FakeTable t;
  t.fields = {FloatDef("X"), testing::DateDef("D"), testing::IntDef("N"), TextDef("S")};
  t.rows = {MakeRow({F(2.5), D(2024, 3, 5), I(42), T("12.5")}),
            MakeRow({F(10), D(1999, 12, 31), I(-3), T("x")}),
            MakeRow({F(10.5), Null(), I(0), Null()})};
  auto ds = MakeDataSet("p", t);
  ds->Open();
  EXPECT_EQ(ds->FieldByName("X").AsString(), "2.5");
  EXPECT_EQ(ds->FieldByName("D").AsString(), "2024-03-05");
  EXPECT_EQ(ds->FieldByName("N").AsString(), "42");
  EXPECT_EQ(ds->FieldByName("S").AsFloat(), 12.5);
  EXPECT_EQ(ds->FieldByName("X").AsInteger(), 2);  // halves to even
  ds->Next();
  EXPECT_EQ(ds->FieldByName("X").AsString(), "10");
  EXPECT_THAT(ErrorOf([&] { ds->FieldByName("S").AsFloat(); }), HasSubstr("'x'"));
  ds->Next();
  EXPECT_EQ(ds->FieldByName("X").AsInteger(), 10);
  // Reading any record without moving the cursor.
  EXPECT_EQ(ds->TextAt(0, ds->FieldByName("X")), "2.5");
  EXPECT_EQ(ds->FloatAt(1, ds->FieldByName("X")), 10);
  EXPECT_TRUE(ds->IsNullAt(2, ds->FieldByName("D")));
  EXPECT_EQ(ds->Sum(ds->FieldByName("X")), 23.0L);
  EXPECT_EQ(ds->RecNo(), 3);
  EXPECT_THAT(ErrorOf([&] { ds->TextAt(3, ds->FieldByName("X")); }), HasSubstr("out of range"));
}

TEST_F(DataSetTest, SettingNeedsEditStateAndBadTextChangesNothing) {
  rtl::SetShortDateFormat("yyyy-mm-dd");
  FakeTable t;
  t.fields = {FloatDef("X"), testing::DateDef("D"), testing::IntDef("N")};
  t.rows = {MakeRow({F(8.5), D(2024, 1, 2), I(3)})};
  auto ds = MakeDataSet("p", t);
  ds->Open();
  EXPECT_THAT(ErrorOf([&] { ds->FieldByName("X").SetAsString("1"); }), HasSubstr("not in edit"));
  ds->Edit();
  struct Case {
    const char* field;
    const char* text;
  };
  for (const Case& c : std::vector<Case>{
           {"X", "abc"}, {"X", "1,5"}, {"D", "2024-13-01"}, {"D", "yesterday"}, {"N", "1.5"}}) {
    SCOPED_TRACE(std::string(c.field) + "=" + c.text);
    EXPECT_THROW(ds->FieldByName(c.field).SetAsString(c.text), rtl::ConvertError);
  }
  EXPECT_FALSE(ds->Modified());
  EXPECT_EQ(ds->FieldByName("X").AsFloat(), 8.5);
  EXPECT_EQ(ds->FieldByName("D").AsString(), "2024-01-02");
  ds->FieldByName("D").SetAsString("2024-02-29");
  ds->FieldByName("X").SetAsString("");  // the empty text clears the field
  EXPECT_EQ(ds->FieldByName("D").AsDateTime(), rtl::EncodeDate(2024, 2, 29));
  EXPECT_TRUE(ds->FieldByName("X").IsNull());
}

// A text longer than its width keeps its longest whole-character prefix within the width.
TEST_F(DataSetTest, TextIsCutToItsWidthInGbkBytesWithoutSplittingACharacter) {
  FakeTable t;
  t.fields = {TextDef("S")};
  t.rows = {MakeRow({T("")})};
  auto ds = MakeDataSet("p", t);
  ds->AddField(StoredField("S", FieldType::Text, 8));
  ds->Open();
  ds->Edit();
  struct Case {
    std::string in, out;
  };
  for (const Case& c : std::vector<Case>{{"abcdefghij", "abcdefgh"},
                                         {"abc", "abc"},
                                         {"张三丰李四", "张三丰李"},
                                         {"a张三丰李", "a张三丰"},
                                         {"张三丰李", "张三丰李"},
                                         {"1234567张", "1234567"}}) {
    ds->FieldByName("S").SetAsString(c.in);
    EXPECT_EQ(ds->FieldByName("S").AsString(), c.out) << c.in;
  }
}

// --- Filter -----------------------------------------------------------------------------------

FakeTable Staff() {
  FakeTable t;
  t.fields = {TextDef("RYDM00"), TextDef("RYMC00"), TextDef("CKDM00"), FloatDef("N"),
              testing::DateDef("RQ")};
  t.rows = {MakeRow({T("001"), T("王五"), T("01"), F(1), D(2024, 1, 1)}),
            MakeRow({T("002"), T("Li"), T("02"), F(2), D(2024, 1, 2)}),
            MakeRow({T("003"), T("li"), T("01"), F(3), D(2024, 1, 2)}),
            MakeRow({T("002"), T("Second"), T("01"), F(4), Null()})};
  return t;
}

TEST_F(DataSetTest, SwitchingTheFilterMovesToTheFirstVisibleRecord) {
  auto ds = MakeDataSet("staff", Staff());
  ds->Open();
  ds->Last();
  ds->SetFilter("RYDM00='002'");
  int before = after_moves_;
  ds->SetFiltered(true);
  EXPECT_EQ(ds->RecordCount(), 2);
  EXPECT_EQ(ds->RecNo(), 1);
  EXPECT_EQ(ds->FieldByName("RYMC00").AsString(), "Li");
  EXPECT_TRUE(ds->Bof());
  EXPECT_EQ(after_moves_ - before, 1);
  ds->Next();
  ds->SetFiltered(true);  // to the state it has: still back to the first
  EXPECT_EQ(ds->FieldByName("RYMC00").AsString(), "Li");
  ds->SetFiltered(false);
  EXPECT_EQ(ds->RecordCount(), 4);
  EXPECT_EQ(ds->FieldByName("RYMC00").AsString(), "王五");
  ds->Last();
  ds->SetFiltered(false);
  EXPECT_EQ(ds->RecNo(), 1);
}

TEST_F(DataSetTest, ARecordPostedWithAValueTheFilterNoLongerAcceptsLeavesTheView) {
  auto ds = MakeDataSet("staff", Staff());
  ds->Open();
  ds->SetFilter("RYDM00='002'");
  ds->SetFiltered(true);
  ASSERT_EQ(ds->FieldByName("RYMC00").AsString(), "Li");
  ds->Edit();
  ds->FieldByName("RYDM00").SetAsString("zz");
  ds->Post();
  EXPECT_EQ(ds->RecordCount(), 1);
  EXPECT_EQ(ds->FieldByName("RYMC00").AsString(), "Second");  // the record that followed it
  EXPECT_FALSE(ds->Locate("RYDM00", {"zz"}));
  ds->Edit();
  ds->FieldByName("RYDM00").SetAsString("zz");
  ds->Post();
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_TRUE(ds->Bof() && ds->Eof());
  ds->SetFiltered(false);
  EXPECT_EQ(ds->RecordCount(), 4);  // still there, as posted
  EXPECT_TRUE(ds->Locate("RYMC00", {"Li"}));
  EXPECT_EQ(ds->FieldByName("RYDM00").AsString(), "zz");
}

TEST_F(DataSetTest, FilterExpressionsSelectRecords) {
  rtl::SetShortDateFormat("yyyy-mm-dd");
  struct Case {
    const char* expression;
    std::vector<double> ids;
  };
  const std::vector<Case> cases = {
      {"RYDM00='002'", {2, 4}},
      {"RYDM00='002' AND CKDM00='01'", {4}},
      {"RYDM00 = '002' and CKDM00 = '01'", {4}},
      {"RYMC00='li'", {3}},  // case matters
      {"RYMC00='王五'", {1}},
      {"RYDM00='009'", {}},
      {"N='3'", {3}},
      {"N>=2 AND N<4", {2, 3}},
      {"RQ='2024-01-02'", {2, 3}},
      {"RQ=''", {4}},
      {"RQ IS NULL OR RYDM00='001'", {1, 4}},
      {"NOT (CKDM00='01')", {2}},
      {"RYDM00<>'002'", {1, 3}},
      {"", {1, 2, 3, 4}},
  };
  auto ds = MakeDataSet("staff", Staff());
  ds->Open();
  ds->SetFiltered(true);
  for (const Case& c : cases) {
    ds->SetFilter(c.expression);
    std::vector<double> ids;
    for (int i = 0; i < ds->RecordCount(); ++i) ids.push_back(ds->FloatAt(i, ds->FieldByName("N")));
    EXPECT_EQ(ids, c.ids) << c.expression;
  }
  EXPECT_THAT(ErrorOf([&] { ds->SetFilter("RYDM00='002"); }), HasSubstr("RYDM00='002"));
  EXPECT_EQ(ds->RecordCount(), 4);  // the previous expression still holds
}

// --- Locate -----------------------------------------------------------------------------------

FakeTable Stock() {
  FakeTable t;
  t.fields = {TextDef("SPDM00"), TextDef("CKDM00"), TextDef("KCBZ00"), FloatDef("KCSL00")};
  t.rows = {
      MakeRow({T("SP1"), T("02"), T("CK"), F(1)}),  MakeRow({T("SP1"), T("01"), T("YW"), F(2)}),
      MakeRow({T("SP1"), T("01"), T("CKX"), F(3)}), MakeRow({T("SP1"), T("01"), T("CK"), F(4)}),
      MakeRow({T("SP10"), T("01"), T("CK"), F(5)}), MakeRow({T("SP2"), T("011"), T("CK"), F(6)}),
      MakeRow({T("SP3"), T("01"), Null(), F(7)})};
  return t;
}

TEST_F(DataSetTest, LocateExactAndByPrefixOfTheLastField) {
  struct Case {
    const char* fields;
    std::vector<std::string> values;
    LocateOption option;
    int found_kcsl;  // 0: not found
  };
  const LocateOption kExact = LocateOption::Exact, kPrefix = LocateOption::PartialKey;
  const std::vector<Case> cases = {
      {"SPDM00;CKDM00;KCBZ00", {"SP1", "01", "CK"}, kPrefix, 3},  // first whose marker begins CK
      {"SPDM00;CKDM00;KCBZ00", {"SP1", "01", "CK"}, kExact, 4},
      {"SPDM00;CKDM00;KCBZ00", {"SP1", "02", "CK"}, kPrefix, 1},
      {"SPDM00;CKDM00;KCBZ00", {"SP1", "03", "CK"}, kPrefix, 0},
      {"SPDM00;CKDM00;KCBZ00", {"SP2", "01", "CK"}, kPrefix, 0},  // only the last is a prefix
      {"SPDM00;CKDM00", {"SP1", "0"}, kPrefix, 1},
      {"SPDM00;CKDM00", {"SP", "01"}, kPrefix, 0},  // the first field must be equal
      {"SPDM00;CKDM00", {"SP", "01"}, kExact, 0},
      {"SPDM00;CKDM00", {"SP2", "01"}, kExact, 0},
      {"SPDM00;CKDM00", {"SP2", "01"}, kPrefix, 6},  // "011" is longer and begins with "01"
      {"SPDM00", {"SP1"}, kPrefix, 1},
      {"SPDM00", {"SP10"}, kExact, 5},
      {"spdm00", {"SP10"}, kExact, 5},
      {"SPDM00;KCSL00", {"SP1", "4"}, kPrefix, 4},  // a last field that is not text: equal
      {"SPDM00;KCSL00", {"SP10", "50"}, kPrefix, 0},
      {"SPDM00;KCBZ00", {"SP3", ""}, kExact, 7},  // no value matches the empty text
  };
  auto ds = MakeDataSet("stock", Stock());
  ds->Open();
  for (const Case& c : cases) {
    ds->Last();
    int before = after_moves_;
    bool found = ds->Locate(c.fields, c.values, c.option);
    SCOPED_TRACE(std::string(c.fields) + " " + ::testing::PrintToString(c.values));
    EXPECT_EQ(found, c.found_kcsl != 0);
    if (found) {
      EXPECT_EQ(ds->FieldByName("KCSL00").AsFloat(), c.found_kcsl);
      EXPECT_FALSE(ds->Bof());
      EXPECT_FALSE(ds->Eof());
      EXPECT_EQ(after_moves_ - before, 1);
    } else {
      EXPECT_EQ(ds->RecNo(), 7);  // the cursor stays
      EXPECT_EQ(after_moves_, before);
    }
  }
}

TEST_F(DataSetTest, LocateFollowsEditsFiltersAndNewPackets) {
  auto ds = MakeDataSet("stock", Stock());
  ds->SetPacketRecords(4);
  ds->Open();
  ASSERT_TRUE(ds->Locate("SPDM00;CKDM00", {"SP1", "01"}));
  ds->Edit();
  ds->FieldByName("SPDM00").SetAsString("SP9");
  ds->Post();
  ASSERT_TRUE(ds->Locate("SPDM00;CKDM00", {"SP9", "01"}));
  EXPECT_EQ(ds->FieldByName("KCSL00").AsFloat(), 2);
  ASSERT_TRUE(ds->Locate("SPDM00;CKDM00", {"SP1", "01"}));
  EXPECT_EQ(ds->FieldByName("KCSL00").AsFloat(), 3);
  EXPECT_FALSE(ds->Locate("SPDM00", {"SP10"}));  // not arrived yet
  ds->GetNextPacket();
  EXPECT_TRUE(ds->Locate("SPDM00", {"SP10"}));
  ds->SetFilter("KCBZ00='CK'");
  ds->SetFiltered(true);
  ASSERT_TRUE(ds->Locate("SPDM00;CKDM00", {"SP1", "01"}));
  EXPECT_EQ(ds->FieldByName("KCSL00").AsFloat(), 4);  // the invisible CKX row is passed over
  EXPECT_THROW(ds->Locate("KCSL00", {"many"}), rtl::ConvertError);
}

// --- Bookmarks --------------------------------------------------------------------------------

TEST_F(DataSetTest, BookmarksReturnToTheirRecord) {
  auto ds = MakeDataSet("p", Numbered(5));
  ds->Open();
  ds->Next();
  ds->Next();
  Bookmark mark = ds->GetBookmark();
  ds->Last();
  int before = after_moves_;
  ds->GotoBookmark(mark);
  EXPECT_EQ(ds->RecNo(), 3);
  EXPECT_EQ(after_moves_ - before, 1);
  ds->Delete();
  EXPECT_THAT(ErrorOf([&] { ds->GotoBookmark(mark); }), HasSubstr("Record not found"));
  ds->FreeBookmark(mark);
  EXPECT_FALSE(mark.Valid());
}

// --- Edit and post ----------------------------------------------------------------------------

FakeTable Lines() {
  FakeTable t;
  t.fields = {FloatDef("DHAO00"), TextDef("SPDM00", 8), FloatDef("DJIA00"), FloatDef("SL0000")};
  t.rows = {MakeRow({F(1), T("SP1"), F(10), F(3)})};
  return t;
}

void DeclareLines(ClientDataSet& ds) {
  ds.AddField(StoredField("DHAO00", FieldType::Float, 0, true));
  ds.AddField(StoredField("SPDM00", FieldType::Text, 8, true));
  ds.AddField(StoredField("DJIA00", FieldType::Float));
  ds.AddField(StoredField("SL0000", FieldType::Float, 0, true));
}

TEST_F(DataSetTest, PostChecksRequiredFieldsBeforeTheHook) {
  for (const char* cleared : {"DHAO00", "SPDM00", "SL0000"}) {
    SCOPED_TRACE(cleared);
    auto ds = MakeDataSet("lines", Lines());
    DeclareLines(*ds);
    ds->Open();
    ds->Edit();
    ds->FieldByName(cleared).SetAsString("");
    EXPECT_THAT(ErrorOf([&] { ds->Post(); }), HasSubstr(std::string("Field '") + cleared + "'"));
    EXPECT_EQ(ds->State(), DataSetState::Edit);
    EXPECT_EQ(before_posts_, 0);
    ds->Cancel();
    before_posts_ = 0;
  }
  auto ds = MakeDataSet("lines", Lines());
  DeclareLines(*ds);
  ds->Open();
  ds->Edit();
  ds->FieldByName("DJIA00").SetAsString("");  // not required
  ds->Post();
  EXPECT_EQ(before_posts_, 1);
  EXPECT_EQ(ds->State(), DataSetState::Browse);
}

TEST_F(DataSetTest, PostWithoutEditFailsAndEditOnEmptyFails) {
  auto ds = MakeDataSet("p", Numbered(1));
  ds->Open();
  EXPECT_THAT(ErrorOf([&] { ds->Post(); }), HasSubstr("not in edit"));
  auto empty = MakeDataSet("e", Numbered(0));
  empty->Open();
  EXPECT_THAT(ErrorOf([&] { empty->Edit(); }), HasSubstr("empty dataset"));
  EXPECT_EQ(ErrorOf([&] { empty->Delete(); }),
            "cds_e: Cannot perform this operation on an empty dataset");
}

TEST_F(DataSetTest, MovingWhileEditingPostsOnlyAChangedRecord) {
  auto ds = MakeDataSet("p", Numbered(3));
  ds->Open();
  ds->Edit();
  ds->Next();  // nothing changed: edit state left without a post
  EXPECT_EQ(ds->State(), DataSetState::Browse);
  EXPECT_EQ(before_posts_, 0);
  EXPECT_EQ(ds->ChangeCount(), 0);
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("changed");
  EXPECT_TRUE(ds->Modified());
  ds->Prior();
  EXPECT_EQ(before_posts_, 1);
  EXPECT_EQ(ds->TextAt(1, ds->FieldByName("NAME")), "changed");
  EXPECT_EQ(ds->ChangeCount(), 1);
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("unposted");
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("NAME").AsString(), "r1");
  // A failing post keeps the cursor where it was.
  ds->BeforePost = [](ClientDataSet&) { throw DataError("refused"); };
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("x");
  EXPECT_EQ(ErrorOf([&] { ds->Next(); }), "refused");
  EXPECT_EQ(ds->RecNo(), 1);
  EXPECT_EQ(ds->State(), DataSetState::Edit);
}

// --- Nested lines -----------------------------------------------------------------------------

// Two documents with lines; the second has none, the third has one.
FakeTable Documents() {
  FakeTable t;
  auto line_fields = std::vector<remote::FieldDef>{FloatDef("DHAO00"), TextDef("SPDM00", 8),
                                                   FloatDef("DJIA00"), FloatDef("SL0000")};
  t.fields = {FloatDef("DHAO00"), TextDef("YWRY00", 8), TextDef("BEIZHU", 50),
              testing::NestedDef("qry_qmdwlrt2", line_fields)};
  t.rows = {
      MakeRow({F(1), T("S01"), T("first"), Null()},
              {{MakeRow({F(1), T("SPA"), F(10), F(3)}), MakeRow({F(1), T("SPB"), F(20), F(5)})}}),
      MakeRow({F(2), Null(), T("empty"), Null()}, {{}}),
      MakeRow({F(3), T("S02"), Null(), Null()}, {{MakeRow({F(3), T("SPC"), F(1), F(1)})}})};
  return t;
}

class NestedTest : public DataSetTest {
 protected:
  void SetUp() override {
    header_ = MakeDataSet("docs", Documents());
    header_->AddField(StoredField("DHAO00", FieldType::Float));
    header_->AddField(StoredField("YWRY00", FieldType::Text, 8));
    header_->AddField(StoredField("BEIZHU", FieldType::Text, 50));
    Field& nested = header_->AddField(NestedField("qry_qmdwlrt2"));
    lines_ = std::make_unique<ClientDataSet>("cds_lines");
    DeclareLines(*lines_);
    lines_->AddField(LocalField("SJSL00", FieldType::Float));
    lines_->SetDataSetField(&nested);
    lines_->AfterScroll = [this](ClientDataSet&) { ++line_moves_; };
    header_->Open();
  }
  std::vector<std::string> Codes() {
    std::vector<std::string> codes;
    for (int i = 0; i < lines_->RecordCount(); ++i) {
      codes.push_back(lines_->TextAt(i, lines_->FieldByName("SPDM00")));
    }
    return codes;
  }

  std::unique_ptr<ClientDataSet> header_;
  std::unique_ptr<ClientDataSet> lines_;
  int line_moves_ = 0;
};

TEST_F(NestedTest, LinesFollowTheHeaderCursor) {
  EXPECT_TRUE(lines_->Active());
  EXPECT_THAT(Codes(), ElementsAre("SPA", "SPB"));
  EXPECT_EQ(line_moves_, 1);  // the lines' opening counts as a move
  lines_->Next();
  header_->Next();
  EXPECT_TRUE(Codes().empty());
  EXPECT_TRUE(lines_->Bof());
  EXPECT_TRUE(lines_->Eof());
  lines_->Last();  // a header without lines: walking them visits nothing
  EXPECT_TRUE(lines_->Bof());
  header_->Next();
  EXPECT_THAT(Codes(), ElementsAre("SPC"));
  header_->First();
  EXPECT_EQ(lines_->RecNo(), 1);  // shown from the first line again
  EXPECT_EQ(lines_->FieldByName("SPDM00").AsString(), "SPA");
  header_->Close();
  EXPECT_FALSE(lines_->Active());
}

TEST_F(NestedTest, EditingALinePutsTheHeaderInEditAndHeaderPostPostsTheLine) {
  lines_->Next();
  lines_->Edit();
  EXPECT_EQ(header_->State(), DataSetState::Edit);
  lines_->FieldByName("DJIA00").SetAsString("25");
  lines_->FieldByName("SJSL00").SetAsString("0.5");  // local
  header_->Post();
  EXPECT_EQ(lines_->State(), DataSetState::Browse);
  EXPECT_EQ(header_->State(), DataSetState::Browse);
  EXPECT_EQ(lines_->RecNo(), 2);  // posting the header keeps the line cursor
  EXPECT_EQ(lines_->FieldByName("DJIA00").AsFloat(), 25);
  EXPECT_EQ(lines_->FieldByName("SJSL00").AsFloat(), 0.5);
  header_->Next();
  header_->First();
  lines_->Next();
  EXPECT_EQ(lines_->FieldByName("DJIA00").AsFloat(), 25);
  EXPECT_EQ(lines_->FieldByName("SJSL00").AsFloat(), 0.5);  // local values stay with the record
}

TEST_F(NestedTest, AFailingLinePostStopsTheHeaderPost) {
  lines_->Edit();
  lines_->FieldByName("SL0000").SetAsString("");
  EXPECT_THAT(ErrorOf([&] { header_->Post(); }), HasSubstr("SL0000"));
  EXPECT_EQ(lines_->State(), DataSetState::Edit);
  EXPECT_EQ(header_->State(), DataSetState::Edit);
}

TEST_F(NestedTest, CancellingTheHeaderUndoesItsLineChanges) {
  header_->Edit();
  header_->FieldByName("BEIZHU").SetAsString("new remark");
  lines_->Edit();
  lines_->FieldByName("DJIA00").SetAsString("99");
  lines_->Next();  // posts the line inside the header's edit
  EXPECT_EQ(lines_->TextAt(0, lines_->FieldByName("DJIA00")), "99");
  lines_->Delete();
  EXPECT_EQ(lines_->RecordCount(), 1);
  header_->Cancel();
  EXPECT_EQ(header_->State(), DataSetState::Browse);
  EXPECT_EQ(header_->FieldByName("BEIZHU").AsString(), "first");
  EXPECT_THAT(Codes(), ElementsAre("SPA", "SPB"));
  EXPECT_EQ(lines_->TextAt(0, lines_->FieldByName("DJIA00")), "10");
  EXPECT_TRUE(header_->Delta().empty());
}

TEST_F(NestedTest, MovingTheHeaderPostsItsPendingLine) {
  lines_->Edit();
  lines_->FieldByName("DJIA00").SetAsString("11");
  header_->Next();
  EXPECT_EQ(header_->State(), DataSetState::Browse);
  header_->Prior();
  EXPECT_EQ(lines_->FieldByName("DJIA00").AsFloat(), 11);
  EXPECT_EQ(header_->ChangeCount(), 1);
}

TEST_F(NestedTest, TheChangeLogHoldsHeaderAndLineChangesWithOriginals) {
  header_->Edit();
  header_->FieldByName("YWRY00").SetAsString("S09");
  lines_->Next();
  lines_->Edit();
  lines_->FieldByName("DJIA00").SetAsString("21");
  lines_->FieldByName("SJSL00").SetAsString("7");  // local: never sent
  header_->Post();
  header_->Last();  // the third document: only a local change
  lines_->Edit();
  lines_->FieldByName("SJSL00").SetAsString("1");
  header_->Post();

  std::vector<remote::RowDelta> delta = header_->Delta();
  ASSERT_EQ(delta.size(), 1u);
  const remote::RowDelta& doc = delta[0];
  EXPECT_EQ(doc.kind, remote::ChangeKind::Modify);
  ASSERT_EQ(doc.original.size(), 3u);
  EXPECT_EQ(doc.original[0].field, "DHAO00");
  EXPECT_EQ(doc.original[0].value, F(1));
  EXPECT_EQ(doc.original[1].value, T("S01"));
  ASSERT_EQ(doc.changed.size(), 1u);
  EXPECT_EQ(doc.changed[0].field, "YWRY00");
  EXPECT_EQ(doc.changed[0].value, T("S09"));
  ASSERT_EQ(doc.nested.size(), 1u);
  EXPECT_EQ(doc.nested[0].field, "qry_qmdwlrt2");
  ASSERT_EQ(doc.nested[0].rows.size(), 1u);
  const remote::RowDelta& line = doc.nested[0].rows[0];
  EXPECT_EQ(line.kind, remote::ChangeKind::Modify);
  ASSERT_EQ(line.original.size(), 4u);
  EXPECT_EQ(line.original[1].value, T("SPB"));
  EXPECT_EQ(line.original[2].value, F(20));
  ASSERT_EQ(line.changed.size(), 1u);
  EXPECT_EQ(line.changed[0].field, "DJIA00");
  EXPECT_EQ(line.changed[0].value, F(21));
  EXPECT_EQ(lines_->Delta().size(), 1u);  // the lines' log is the header's

  // Setting a value back to what the server holds takes the record out of the log.
  header_->First();
  header_->Edit();
  header_->FieldByName("YWRY00").SetAsString("S01");
  lines_->Next();
  lines_->Edit();
  lines_->FieldByName("DJIA00").SetAsString("20");
  header_->Post();
  EXPECT_TRUE(header_->Delta().empty());
}

TEST_F(NestedTest, ApplyUpdatesSendsTheLogAndMergesItOnSuccess) {
  header_->Edit();
  header_->FieldByName("YWRY00").SetAsString("S09");
  lines_->Edit();
  lines_->FieldByName("DJIA00").SetAsString("12");
  // Apply posts what is pending first.
  EXPECT_EQ(header_->ApplyUpdates(0), 0);
  ASSERT_EQ(server().applies.size(), 1u);
  EXPECT_EQ(server().applies[0].provider, "docs");
  EXPECT_EQ(server().applies[0].max_errors, 0);
  ASSERT_EQ(server().applies[0].delta.size(), 1u);
  EXPECT_EQ(server().applies[0].delta[0].nested.at(0).rows.size(), 1u);
  EXPECT_EQ(header_->ChangeCount(), 0);
  EXPECT_EQ(header_->ApplyUpdates(0), 0);  // nothing left: no call
  EXPECT_EQ(server().applies.size(), 1u);

  server().apply_error_count = 1;
  header_->Edit();
  header_->FieldByName("BEIZHU").SetAsString("again");
  header_->Post();
  EXPECT_EQ(header_->ApplyUpdates(0), 1);
  EXPECT_EQ(header_->ChangeCount(), 1);  // kept for another try
}

TEST_F(NestedTest, CloseDiscardsUnappliedChangesAndLocalValues) {
  header_->Edit();
  header_->FieldByName("BEIZHU").SetAsString("lost");
  lines_->Edit();
  lines_->FieldByName("SJSL00").SetAsString("3");
  header_->Post();
  header_->Close();
  header_->Open();
  EXPECT_EQ(header_->FieldByName("BEIZHU").AsString(), "first");
  EXPECT_TRUE(lines_->FieldByName("SJSL00").IsNull());
  EXPECT_TRUE(header_->Delta().empty());
  EXPECT_EQ(header_->ApplyUpdates(0), 0);
  EXPECT_TRUE(server().applies.empty());
}

TEST_F(NestedTest, DeletingRecordsJoinsTheLog) {
  lines_->Delete();
  EXPECT_EQ(header_->State(), DataSetState::Edit);
  header_->Post();
  header_->Last();
  header_->Delete();
  auto delta = header_->Delta();
  ASSERT_EQ(delta.size(), 2u);
  EXPECT_EQ(delta[0].nested.at(0).rows.at(0).kind, remote::ChangeKind::Delete);
  EXPECT_EQ(delta[0].nested.at(0).rows.at(0).original.at(1).value, T("SPA"));
  EXPECT_EQ(delta[1].kind, remote::ChangeKind::Delete);
  EXPECT_EQ(delta[1].original.at(0).value, F(3));
  EXPECT_EQ(header_->RecordCount(), 2);
}

TEST_F(NestedTest, MissingLineFieldFailsTheHeaderOpen) {
  header_->Close();
  server().providers["docs"].fields[3].nested.pop_back();  // no SL0000 in the lines
  EXPECT_THAT(ErrorOf([&] { header_->Open(); }), HasSubstr("SL0000"));
  EXPECT_FALSE(header_->Active());
  EXPECT_FALSE(lines_->Active());
}

// --- Lookup and local fields --------------------------------------------------------------------

class LookupTest : public DataSetTest {
 protected:
  void SetUp() override {
    staff_ = MakeDataSet("staff", Staff());
    staff_->AfterScroll = nullptr;
    staff_->Open();
    docs_ = MakeDataSet("docs", Documents());
    docs_->AfterScroll = nullptr;
    docs_->AddField(StoredField("DHAO00", FieldType::Float));
    docs_->AddField(StoredField("YWRY00", FieldType::Text, 8));
    docs_->AddField(LookupField("YWRYMC", 4, staff_.get(), "YWRY00", "RYDM00", "RYMC00"));
    docs_->Open();
  }
  std::string Name() { return docs_->FieldByName("YWRYMC").AsString(); }
  std::unique_ptr<ClientDataSet> staff_, docs_;
};

TEST_F(LookupTest, LookupFollowsKeyMovesAndItsSourceList) {
  server().providers["staff"].rows[0].cells[0] = T("S01");
  staff_->Close();
  staff_->Open();
  EXPECT_EQ(Name(), "王五");
  docs_->Next();  // YWRY00 without value
  EXPECT_EQ(Name(), "");
  docs_->Next();  // S02: in no staff row
  EXPECT_EQ(Name(), "");
  docs_->Edit();
  docs_->FieldByName("YWRY00").SetAsString("003");
  EXPECT_EQ(Name(), "li");
  docs_->FieldByName("YWRY00").SetAsString("002");
  EXPECT_EQ(Name(), "Li");  // the first staff row with the key
  docs_->Post();
  EXPECT_EQ(docs_->TextAt(2, docs_->FieldByName("YWRYMC")), "Li");
  staff_->SetFilter("CKDM00='01'");
  staff_->SetFiltered(true);
  EXPECT_EQ(Name(), "Seco");  // the filtered source; cut to the lookup's width of 4
  staff_->Close();
  EXPECT_EQ(Name(), "");
}

TEST_F(LookupTest, AValueSetInEditStateShowsUntilPostOrKeyChange) {
  docs_->Edit();
  docs_->FieldByName("YWRYMC").SetAsString("张三丰李四");
  EXPECT_EQ(Name(), "张三");  // width 4: two Chinese characters
  docs_->FieldByName("YWRYMC").SetAsString("a张三");
  EXPECT_EQ(Name(), "a张");
  docs_->FieldByName("YWRY00").SetAsString("003");
  EXPECT_EQ(Name(), "li");
  docs_->FieldByName("YWRYMC").SetAsString("xx");
  docs_->Post();
  EXPECT_EQ(Name(), "li");
  EXPECT_EQ(docs_->Delta().at(0).changed.size(), 1u);  // lookups are never sent
}

TEST_F(LookupTest, DestroyingTheSourceLeavesLookupsEmpty) {
  docs_->Last();
  docs_->Edit();
  docs_->FieldByName("YWRY00").SetAsString("001");
  EXPECT_EQ(Name(), "王五");
  staff_.reset();
  EXPECT_EQ(Name(), "");
}

// --- Data links, execute ------------------------------------------------------------------------

struct RecordingLink : DataLink {
  std::vector<Event> events;
  void DataSetEvent(ClientDataSet&, Event e) override { events.push_back(e); }
};

TEST_F(DataSetTest, DataLinksHearOfChangesAndOfDestruction) {
  using E = DataLink::Event;
  auto ds = MakeDataSet("p", Numbered(2));
  RecordingLink link;
  ds->AddLink(&link);
  ds->Open();
  EXPECT_THAT(link.events, ElementsAre(E::ActiveChanged));
  link.events.clear();
  ds->Next();
  ds->Edit();
  ds->FieldByName("NAME").SetAsString("x");
  ds->Post();
  EXPECT_THAT(link.events, ElementsAre(E::Scrolled, E::StateChanged, E::RecordChanged,
                                       E::StateChanged, E::DataChanged));
  link.events.clear();
  ds.reset();
  EXPECT_THAT(link.events, ElementsAre(E::Destroying));
}

TEST_F(DataSetTest, ExecuteSendsTheCommandText) {
  auto ds = MakeDataSet("dsp_tmp", Numbered(0));
  ds->SetCommandText("UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=5");
  ds->Execute();
  ASSERT_EQ(server().executes.size(), 1u);
  EXPECT_EQ(server().executes[0].provider, "dsp_tmp");
  EXPECT_EQ(server().executes[0].command_text,
            "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=5");
  EXPECT_FALSE(ds->Active());
}

}  // namespace
}  // namespace data
