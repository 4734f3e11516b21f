#include "server/statements.h"

#include <cmath>

#include "rtl/gbk.h"
#include "rtl/numtext.h"

namespace server {
namespace {

// A cursor over the text being recognised.
class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {}

  bool Literal(std::string_view lit) {
    if (s_.substr(pos_, lit.size()) != lit) return false;
    pos_ += lit.size();
    return true;
  }

  // Number text: [+-] digits [. digits] [(E|e) [+-] digits].
  bool Number(double& out) {
    const size_t start = pos_;
    size_t i = pos_;
    auto digits = [&] {
      const size_t from = i;
      while (i < s_.size() && s_[i] >= '0' && s_[i] <= '9') ++i;
      return i > from;
    };
    if (i < s_.size() && (s_[i] == '+' || s_[i] == '-')) ++i;
    if (!digits()) return false;
    if (i < s_.size() && s_[i] == '.') {
      ++i;
      if (!digits()) return false;
    }
    if (i < s_.size() && (s_[i] == 'E' || s_[i] == 'e')) {
      ++i;
      if (i < s_.size() && (s_[i] == '+' || s_[i] == '-')) ++i;
      if (!digits()) return false;
    }
    if (!rtl::TryStrToFloat(s_.substr(start, i - start), out) || !std::isfinite(out)) {
      return false;
    }
    pos_ = i;
    return true;
  }

  // A quoted text: ' ... ' with '' standing for one quote.
  bool Quoted(std::string& out) {
    if (pos_ >= s_.size() || s_[pos_] != '\'') return false;
    size_t i = pos_ + 1;
    out.clear();
    while (i < s_.size()) {
      if (s_[i] == '\'') {
        if (i + 1 < s_.size() && s_[i + 1] == '\'') {
          out += '\'';
          i += 2;
          continue;
        }
        pos_ = i + 1;
        return true;
      }
      out += s_[i++];
    }
    return false;
  }

  bool AtEnd() const { return pos_ == s_.size(); }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

bool ValidTexts(const Statement& st) {
  return rtl::IsValidUtf8(st.goods) && rtl::IsValidUtf8(st.warehouse);
}

std::optional<Statement> StockDecrement(std::string_view text) {
  Scanner sc(text);
  Statement st;
  st.kind = StatementKind::kStockDecrement;
  if (sc.Literal("UPDATE XSTZXKC0 SET KCSL00=KCSL00-(") && sc.Number(st.quantity) &&
      sc.Literal(") WHERE SPDM00=") && sc.Quoted(st.goods) && sc.Literal(" AND CKDM00=") &&
      sc.Quoted(st.warehouse) && sc.Literal(" AND KCBZ00='YW'") && sc.AtEnd() && ValidTexts(st)) {
    return st;
  }
  return std::nullopt;
}

std::optional<Statement> StockIncrement(std::string_view text) {
  Scanner sc(text);
  Statement st;
  st.kind = StatementKind::kStockIncrement;
  if (sc.Literal("UPDATE XSTZXKC0 SET KCSL00=KCSL00+(") && sc.Number(st.quantity) &&
      sc.Literal(") WHERE CKDM00=") && sc.Quoted(st.warehouse) && sc.Literal(" AND SPDM00=") &&
      sc.Quoted(st.goods) && sc.Literal(" AND KCBZ00='YW'") && sc.AtEnd() && ValidTexts(st)) {
    return st;
  }
  return std::nullopt;
}

std::optional<Statement> HeaderReset(std::string_view text) {
  Scanner sc(text);
  Statement st;
  st.kind = StatementKind::kHeaderReset;
  if (sc.Literal("UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=") &&
      sc.Number(st.document) && sc.AtEnd()) {
    return st;
  }
  return std::nullopt;
}

constexpr std::string_view kClosingQuery =
    "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL";

msg::Text KindName(StatementKind k) {
  switch (k) {
    case StatementKind::kStockDecrement:
      return msg::Part("part.kind.stock_decrement");
    case StatementKind::kStockIncrement:
      return msg::Part("part.kind.stock_increment");
    case StatementKind::kHeaderReset:
      return msg::Part("part.kind.audit_reset");
    case StatementKind::kClosingPeriodQuery:
      return msg::Part("part.kind.closing_query");
  }
  return msg::Part("part.kind.statement");
}

}  // namespace

std::optional<Statement> Recognise(std::string_view text) {
  if (auto st = StockDecrement(text)) return st;
  if (auto st = StockIncrement(text)) return st;
  if (auto st = HeaderReset(text)) return st;
  if (text == kClosingQuery) {
    Statement st;
    st.kind = StatementKind::kClosingPeriodQuery;
    return st;
  }
  return std::nullopt;
}

std::string QuoteForMessage(std::string_view text) {
  constexpr size_t kMax = 120;
  std::string s;
  size_t chars = 0;
  size_t i = 0;
  while (i < text.size() && chars < kMax) {
    size_t len = 1;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0xF0) {
      len = 4;
    } else if (c >= 0xE0) {
      len = 3;
    } else if (c >= 0xC0) {
      len = 2;
    }
    if (i + len > text.size()) break;
    s.append(text.substr(i, len));
    i += len;
    ++chars;
  }
  if (!rtl::IsValidUtf8(s)) s = "(text that is not UTF-8)";
  if (i < text.size()) s += "...";
  return "\"" + s + "\"";
}

Statement RecogniseFor(std::string_view text, std::initializer_list<StatementKind> allowed,
                       std::string_view where) {
  std::optional<Statement> st = Recognise(text);
  if (!st) {
    throw StatementRefused(msg::StatementNotRecognised(where, QuoteForMessage(text)));
  }
  for (StatementKind k : allowed) {
    if (k == st->kind) return *st;
  }
  throw StatementRefused(
      msg::StatementWrongProvider(where, QuoteForMessage(text), KindName(st->kind)));
}

std::vector<Statement> ParseStockBatch(std::string_view batch) {
  std::vector<Statement> out;
  if (batch.empty()) return out;
  size_t start = 0;
  bool quoted = false;
  int index = 0;
  for (size_t i = 0; i <= batch.size(); ++i) {
    if (i < batch.size()) {
      if (batch[i] == '\'') quoted = !quoted;
      if (batch[i] != '!' || quoted) continue;
    }
    ++index;
    std::string_view piece = batch.substr(start, i - start);
    std::optional<Statement> st = Recognise(piece);
    if (!st || st->kind != StatementKind::kStockDecrement) {
      throw StatementRefused(msg::BatchStatementRefused(
          index, QuoteForMessage(piece),
          msg::Part(st ? "part.batch_decrements_only" : "part.not_a_statement")));
    }
    out.push_back(std::move(*st));
    start = i + 1;
  }
  return out;
}

}  // namespace server
