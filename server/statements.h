// The statement recogniser. The server never runs a client's SQL text: it recognises the few
// statement shapes that the audit module sends, takes their values out and runs its own prepared
// statements with those values bound. Every other text is refused.
//
// Recognised shapes (literal parts byte for byte; <n> is number text: an optional sign, digits,
// an optional "." with digits, an optional exponent "E"/"e" with optional sign and digits; <t> is
// a quoted text in which a quote is written doubled):
//   stock decrement:  UPDATE XSTZXKC0 SET KCSL00=KCSL00-(<n>) WHERE SPDM00='<t>' AND CKDM00='<t>'
//                     AND KCBZ00='YW'
//   stock increment:  UPDATE XSTZXKC0 SET KCSL00=KCSL00+(<n>) WHERE CKDM00='<t>' AND SPDM00='<t>'
//                     AND KCBZ00='YW'
//   header reset:     UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=<n>
//   closing period:   SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL
// (each on one line, single blanks as written).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "remote/server_object.h"
#include "server/messages.h"

namespace server {

enum class StatementKind { kStockDecrement, kStockIncrement, kHeaderReset, kClosingPeriodQuery };

struct Statement {
  StatementKind kind = StatementKind::kStockDecrement;
  double quantity = 0;    // stock statements: the quantity added or subtracted, in cartons
  std::string goods;      // stock statements: SPDM00
  std::string warehouse;  // stock statements: CKDM00
  double document = 0;    // header reset: DHAO00
};

// A statement outside the accepted shapes, or one the provider does not run.
class StatementRefused : public msg::Error {
 public:
  using msg::Error::Error;
};

// The statement that `text` is, or nullopt.
std::optional<Statement> Recognise(std::string_view text);

// Recognises `text` and checks that it is one of `allowed`; otherwise throws StatementRefused
// whose message names `where` (the provider or method) and quotes the refused text (shortened
// when long).
Statement RecogniseFor(std::string_view text, std::initializer_list<StatementKind> allowed,
                       std::string_view where);

// Splits a TranPara batch: statements joined by "!", none before the first or after the last.
// The empty text is no statement. A "!" inside a quoted text does not split. Every statement must
// be a stock decrement; otherwise StatementRefused names the statement's position and text, and
// nothing of the batch is returned.
std::vector<Statement> ParseStockBatch(std::string_view batch);

// The refused text as quoted in messages: at most 120 characters (whole UTF-8 characters).
std::string QuoteForMessage(std::string_view text);

}  // namespace server
