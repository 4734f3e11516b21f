#include "data/filter_expr.h"

#include <cmath>
#include <cstdint>

#include "rtl/datetime.h"
#include "rtl/numtext.h"

namespace data::internal {

using remote::FieldType;
using remote::Value;

enum class Op { Eq, Ne, Lt, Le, Gt, Ge, IsNull, IsNotNull };

struct FilterExpr::Node {
  enum class Kind { And, Or, Not, Compare } kind = Kind::Compare;
  int left = -1, right = -1;  // And, Or: both; Not: left
  // Compare:
  int field = -1;
  FieldType type = FieldType::Text;
  Op op = Op::Eq;
  bool literal_empty = false;  // the literal is '' (for numeric fields: "without value")
  std::string text;            // text fields
  double number = 0;           // numeric and date-time fields
  bool whole_day = false;      // date literal without time of day
};

namespace {

bool IsIdentStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool IsIdentChar(char c) {
  return IsIdentStart(c) || (c >= '0' && c <= '9');
}

bool KeywordIs(std::string_view word, std::string_view keyword) {
  if (word.size() != keyword.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != keyword[i]) return false;
  }
  return true;
}

template <typename T>
bool Compare(Op op, const T& a, const T& b) {
  switch (op) {
    case Op::Eq:
      return a == b;
    case Op::Ne:
      return !(a == b);
    case Op::Lt:
      return a < b;
    case Op::Le:
      return a < b || a == b;
    case Op::Gt:
      return b < a;
    case Op::Ge:
      return b < a || a == b;
    default:
      return false;
  }
}

}  // namespace

class FilterParser {
 public:
  FilterParser(std::string_view text, FilterExpr& out, const FilterExpr::Resolver& resolve,
               const std::function<void(const std::string&)>& fail)
      : s_(text), out_(out), resolve_(resolve), fail_(fail) {}

  int ParseAll() {
    int root = ParseOr();
    SkipBlanks();
    if (i_ != s_.size()) Fail("unexpected text at \"" + std::string(s_.substr(i_)) + "\"");
    return root;
  }

 private:
  using Node = FilterExpr::Node;

  [[noreturn]] void Fail(const std::string& what) {
    fail_("Invalid filter expression \"" + std::string(s_) + "\": " + what);
    throw std::logic_error("filter failure handler returned");
  }

  void SkipBlanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n'))
      ++i_;
  }

  std::string_view PeekWord() {
    SkipBlanks();
    size_t j = i_;
    while (j < s_.size() && IsIdentChar(s_[j])) ++j;
    return s_.substr(i_, j - i_);
  }

  bool AcceptKeyword(std::string_view keyword) {
    std::string_view word = PeekWord();
    if (!KeywordIs(word, keyword)) return false;
    i_ += word.size();
    return true;
  }

  int Add(Node node) {
    out_.nodes_.push_back(std::move(node));
    return static_cast<int>(out_.nodes_.size()) - 1;
  }

  int ParseOr() {
    int left = ParseAnd();
    while (AcceptKeyword("OR")) {
      Node n;
      n.kind = Node::Kind::Or;
      n.left = left;
      n.right = ParseAnd();
      left = Add(std::move(n));
    }
    return left;
  }

  int ParseAnd() {
    int left = ParseUnary();
    while (AcceptKeyword("AND")) {
      Node n;
      n.kind = Node::Kind::And;
      n.left = left;
      n.right = ParseUnary();
      left = Add(std::move(n));
    }
    return left;
  }

  int ParseUnary() {
    if (AcceptKeyword("NOT")) {
      Node n;
      n.kind = Node::Kind::Not;
      n.left = ParseUnary();
      return Add(std::move(n));
    }
    SkipBlanks();
    if (i_ < s_.size() && s_[i_] == '(') {
      ++i_;
      int inner = ParseOr();
      SkipBlanks();
      if (i_ >= s_.size() || s_[i_] != ')') Fail("\")\" expected");
      ++i_;
      return inner;
    }
    return ParseComparison();
  }

  std::string ParseFieldName() {
    SkipBlanks();
    if (i_ < s_.size() && s_[i_] == '[') {
      size_t close = s_.find(']', i_ + 1);
      if (close == std::string_view::npos) Fail("\"]\" expected");
      std::string name(s_.substr(i_ + 1, close - i_ - 1));
      i_ = close + 1;
      return name;
    }
    if (i_ >= s_.size() || !IsIdentStart(s_[i_])) Fail("a field name expected");
    std::string_view word = PeekWord();
    i_ += word.size();
    return std::string(word);
  }

  Op ParseOp() {
    SkipBlanks();
    auto take = [&](std::string_view tok) {
      if (s_.substr(i_, tok.size()) == tok) {
        i_ += tok.size();
        return true;
      }
      return false;
    };
    if (take("<>") || take("!=")) return Op::Ne;
    if (take("<=")) return Op::Le;
    if (take(">=")) return Op::Ge;
    if (take("=")) return Op::Eq;
    if (take("<")) return Op::Lt;
    if (take(">")) return Op::Gt;
    Fail("a comparison expected");
  }

  // The literal's text; `quoted` tells whether it was written in quotes.
  std::string ParseLiteral(bool& quoted) {
    SkipBlanks();
    if (i_ < s_.size() && s_[i_] == '\'') {
      quoted = true;
      std::string text;
      ++i_;
      while (true) {
        if (i_ >= s_.size()) Fail("unterminated text");
        char c = s_[i_++];
        if (c == '\'') {
          if (i_ < s_.size() && s_[i_] == '\'') {
            text += '\'';
            ++i_;
            continue;
          }
          return text;
        }
        text += c;
      }
    }
    quoted = false;
    size_t j = i_;
    while (j < s_.size() && (IsIdentChar(s_[j]) || s_[j] == '.' || s_[j] == '-' || s_[j] == '+'))
      ++j;
    if (j == i_) Fail("a value expected");
    std::string text(s_.substr(i_, j - i_));
    i_ = j;
    return text;
  }

  int ParseComparison() {
    std::string name = ParseFieldName();
    FilterExpr::FieldInfo info = resolve_(name);
    Node n;
    n.field = info.id;
    n.type = info.type;
    if (AcceptKeyword("IS")) {
      bool negate = AcceptKeyword("NOT");
      if (!AcceptKeyword("NULL")) Fail("NULL expected after IS");
      n.op = negate ? Op::IsNotNull : Op::IsNull;
      return Add(std::move(n));
    }
    n.op = ParseOp();
    bool quoted = false;
    std::string literal = ParseLiteral(quoted);
    if (!quoted && KeywordIs(literal, "NULL")) {
      if (n.op != Op::Eq && n.op != Op::Ne) Fail("NULL can only be compared with = or <>");
      n.op = n.op == Op::Eq ? Op::IsNull : Op::IsNotNull;
      return Add(std::move(n));
    }
    n.literal_empty = literal.empty();
    switch (n.type) {
      case FieldType::Text:
      case FieldType::Nested:
        n.text = std::move(literal);
        break;
      case FieldType::Float:
      case FieldType::Integer:
        if (!n.literal_empty && !rtl::TryStrToFloat(literal, n.number)) {
          Fail("'" + literal + "' is not a number for field " + name);
        }
        break;
      case FieldType::DateTime:
        if (!n.literal_empty) {
          rtl::DateTime d;
          if (!rtl::TryStrToDateTime(literal, d) && !rtl::TryIsoToDateTime(literal, d)) {
            Fail("'" + literal + "' is not a date for field " + name);
          }
          n.number = d.value;
          n.whole_day = d.value == std::trunc(d.value);
        }
        break;
    }
    return Add(std::move(n));
  }

  std::string_view s_;
  size_t i_ = 0;
  FilterExpr& out_;
  const FilterExpr::Resolver& resolve_;
  const std::function<void(const std::string&)>& fail_;
};

FilterExpr::~FilterExpr() = default;

std::unique_ptr<FilterExpr> FilterExpr::Parse(std::string_view text, const Resolver& resolve,
                                              const std::function<void(const std::string&)>& fail) {
  std::unique_ptr<FilterExpr> expr(new FilterExpr());
  FilterParser parser(text, *expr, resolve, fail);
  expr->root_ = parser.ParseAll();
  return expr;
}

namespace {

bool ValueIsNull(const Value& v) {
  return v.is_null() || (v.is_text() && v.text().empty());
}

double ValueNumber(const Value& v) {
  if (v.is_float()) return v.float_value();
  if (v.is_integer()) return static_cast<double>(v.integer());
  if (v.is_date()) return v.date().value;
  double d = 0;
  if (v.is_text()) rtl::TryStrToFloat(v.text(), d);
  return d;
}

}  // namespace

bool FilterExpr::Matches(const Reader& read) const {
  std::function<bool(int)> eval = [&](int index) -> bool {
    const Node& n = nodes_[index];
    switch (n.kind) {
      case Node::Kind::And:
        return eval(n.left) && eval(n.right);
      case Node::Kind::Or:
        return eval(n.left) || eval(n.right);
      case Node::Kind::Not:
        return !eval(n.left);
      case Node::Kind::Compare:
        break;
    }
    Value v = read(n.field);
    bool null = ValueIsNull(v);
    if (n.op == Op::IsNull) return null;
    if (n.op == Op::IsNotNull) return !null;
    if (n.type == FieldType::Text || n.type == FieldType::Nested) {
      std::string text = v.is_text() ? v.text() : std::string();
      return Compare(n.op, text, n.text);
    }
    if (n.literal_empty) {
      if (n.op == Op::Eq) return null;
      if (n.op == Op::Ne) return !null;
      return false;
    }
    if (null) return n.op == Op::Ne;
    double x = ValueNumber(v);
    if (n.type == FieldType::DateTime && n.whole_day) x = std::trunc(x);
    return Compare(n.op, x, n.number);
  };
  return eval(root_);
}

}  // namespace data::internal
