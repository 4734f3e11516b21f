#include "server/statements.h"

#include <gtest/gtest.h>

#include <random>

#include "rtl/numtext.h"
#include "tests/support/statement_text.h"

namespace server {
namespace {

struct Accepted {
  const char* text;
  StatementKind kind;
  double quantity;
  const char* goods;
  const char* warehouse;
  double document;
};

TEST(StatementsTest, RecognisesTheModulesShapesWithTheirValues) {
  const Accepted cases[] = {
      {"UPDATE XSTZXKC0 SET KCSL00=KCSL00-(12) WHERE SPDM00='10010001' AND CKDM00='0B' AND "
       "KCBZ00='YW'",
       StatementKind::kStockDecrement, 12, "10010001", "0B", 0},
      {"UPDATE XSTZXKC0 SET KCSL00=KCSL00-(2.5) WHERE SPDM00='A' AND CKDM00='01' AND KCBZ00='YW'",
       StatementKind::kStockDecrement, 2.5, "A", "01", 0},
      {"UPDATE XSTZXKC0 SET KCSL00=KCSL00-(-3) WHERE SPDM00='A' AND CKDM00='01' AND KCBZ00='YW'",
       StatementKind::kStockDecrement, -3, "A", "01", 0},
      {"UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1.5E-7) WHERE SPDM00='A' AND CKDM00='01' AND "
       "KCBZ00='YW'",
       StatementKind::kStockDecrement, 1.5e-7, "A", "01", 0},
      {"UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1E20) WHERE SPDM00='' AND CKDM00='' AND KCBZ00='YW'",
       StatementKind::kStockDecrement, 1e20, "", "", 0},
      // A quote inside a text is written doubled; everything else inside quotes is plain text.
      {"UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='O''K' AND CKDM00='0B' AND "
       "KCBZ00='YW'",
       StatementKind::kStockDecrement, 1, "O'K", "0B", 0},
      {"UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00=''' OR 1=1; DROP TABLE QMDWLRT1 --' "
       "AND CKDM00='0B' AND KCBZ00='YW'",
       StatementKind::kStockDecrement, 1, "' OR 1=1; DROP TABLE QMDWLRT1 --", "0B", 0},
      {"UPDATE XSTZXKC0 SET KCSL00=KCSL00+(7) WHERE CKDM00='03' AND SPDM00='10010002' AND "
       "KCBZ00='YW'",
       StatementKind::kStockIncrement, 7, "10010002", "03", 0},
      {"UPDATE XSTZXKC0 SET KCSL00=KCSL00+(+0.25) WHERE CKDM00='商' AND SPDM00='青岚' AND "
       "KCBZ00='YW'",
       StatementKind::kStockIncrement, 0.25, "青岚", "商", 0},
      {"UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=20240001",
       StatementKind::kHeaderReset, 0, "", "", 20240001},
      {"UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=1.5", StatementKind::kHeaderReset,
       0, "", "", 1.5},
      {"SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL",
       StatementKind::kClosingPeriodQuery, 0, "", "", 0},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<Statement> st = Recognise(c.text);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(st->kind, c.kind);
    EXPECT_EQ(st->quantity, c.quantity);
    EXPECT_EQ(st->goods, c.goods);
    EXPECT_EQ(st->warehouse, c.warehouse);
    EXPECT_EQ(st->document, c.document);
  }
}

TEST(StatementsTest, RefusesEverythingElse) {
  // Long statements are written as adjacent literals on purpose.
  // NOLINTBEGIN(bugprone-suspicious-missing-comma)
  const char* cases[] = {
      "",
      "DELETE FROM XSTZXKC0",
      "DROP TABLE QMDWLRT1",
      "SELECT * FROM GSTRYGL0",
      // Stacked statements, comments and trailing text.
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'; "
      "DELETE FROM QMDWLRT1",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW' --",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW' ",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW' OR "
      "1=1",
      // A quote closing the text early: what follows is not the shape.
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A' OR '1'='1' AND CKDM00='0B' AND "
      "KCBZ00='YW'",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A AND CKDM00='0B' AND KCBZ00='YW'",
      // Numbers that are not number text, or expressions in place of numbers.
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1+1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(.5) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1.) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(NAN) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1E999) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-( 1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(KCSL00) WHERE SPDM00='A' AND CKDM00='0B' AND "
      "KCBZ00='YW'",
      // Other markers, other tables, other order of conditions, other letter case.
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='CK'",
      "UPDATE XSTZXKC1 SET KCSL00=KCSL00-(1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE CKDM00='0B' AND SPDM00='A' AND KCBZ00='YW'",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'",
      "update XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'",
      "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=1 OR 1=1",
      "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00='1'",
      "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL,BEIZHU=NULL WHERE DHAO00=1",
      "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=",
      "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL;",
      "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ",
      "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL UNION SELECT RYMC00 FROM "
      "GSTRYGL0",
  };
  // NOLINTEND(bugprone-suspicious-missing-comma)
  for (const char* text : cases) {
    EXPECT_FALSE(Recognise(text).has_value()) << text;
  }
}

TEST(StatementsTest, RefusalNamesWhereAndWhat) {
  try {
    RecogniseFor("DROP TABLE QMDWLRT1", {StatementKind::kHeaderReset}, "dsp_qmdwlrt_tmp");
    FAIL();
  } catch (const StatementRefused& e) {
    EXPECT_NE(std::string(e.what()).find("dsp_qmdwlrt_tmp"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("\"DROP TABLE QMDWLRT1\""), std::string::npos);
  }
  // A recognised statement that the caller does not run is refused too.
  EXPECT_THROW(RecogniseFor("UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=1",
                            {StatementKind::kStockIncrement}, "x"),
               StatementRefused);
  // Long texts are shortened in the message.
  try {
    RecogniseFor(std::string(5000, 'x'), {StatementKind::kHeaderReset}, "p");
    FAIL();
  } catch (const StatementRefused& e) {
    EXPECT_LT(std::string(e.what()).size(), 300u);
  }
}

TEST(StatementsTest, SplitsABatchAtBangsOutsideQuotes) {
  const std::string a =
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A!B' AND CKDM00='0B' AND KCBZ00='YW'";
  const std::string b =
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(2) WHERE SPDM00='C''' AND CKDM00='01' AND KCBZ00='YW'";
  std::vector<Statement> batch = ParseStockBatch(a + "!" + b);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[0].goods, "A!B");
  EXPECT_EQ(batch[1].goods, "C'");
  EXPECT_EQ(batch[1].quantity, 2);
  EXPECT_TRUE(ParseStockBatch("").empty());
}

TEST(StatementsTest, RefusesABatchWithAnyBadPiece) {
  const std::string a =
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE SPDM00='A' AND CKDM00='0B' AND KCBZ00='YW'";
  const std::string cases[] = {
      "!" + a,                      // "!" before the first
      a + "!",                      // "!" after the last
      a + "!!" + a,                 // an empty statement between
      a + "!DELETE FROM XSTZXKC0",  // a foreign statement
      a + "!UPDATE XSTZXKC0 SET KCSL00=KCSL00+(1) WHERE CKDM00='0B' AND SPDM00='A' AND "
          "KCBZ00='YW'",  // an increment: not TranPara's
      a + "!UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=1",
  };
  for (const std::string& batch : cases) {
    EXPECT_THROW(ParseStockBatch(batch), StatementRefused) << batch;
  }
}

// Random mutations of accepted statements: the recogniser never fails on them, and whatever it
// accepts means exactly what its values say (rendered back, it recognises to the same values).
TEST(StatementsTest, MutatedStatementsAreRefusedOrMeanTheirValues) {
  const std::string seeds[] = {
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(12.5) WHERE SPDM00='10010001' AND CKDM00='0B' AND "
      "KCBZ00='YW'",
      "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(-3) WHERE CKDM00='01' AND SPDM00='O''K' AND "
      "KCBZ00='YW'",
      "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=20240001",
      "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL",
  };
  const std::string alphabet = "'!;-()= E.+0123456789ORAND/*\"\\x";
  std::mt19937 rng(20240001);
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text = seeds[rng() % 4];
    const int edits = 1 + rng() % 3;
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = rng() % text.size();
      const char c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0:
          text[at] = c;
          break;
        case 1:
          text.insert(text.begin() + at, c);
          break;
        default:
          text.erase(at, 1);
      }
    }
    std::optional<Statement> st = Recognise(text);
    if (!st) continue;
    ++accepted;
    std::optional<Statement> again = Recognise(testsupport::StatementText(*st));
    ASSERT_TRUE(again.has_value()) << text;
    EXPECT_EQ(again->kind, st->kind) << text;
    EXPECT_EQ(again->goods, st->goods) << text;
    EXPECT_EQ(again->warehouse, st->warehouse) << text;
    EXPECT_EQ(rtl::FloatToStr(again->quantity), rtl::FloatToStr(st->quantity)) << text;
    EXPECT_EQ(rtl::FloatToStr(again->document), rtl::FloatToStr(st->document)) << text;
  }
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace server
