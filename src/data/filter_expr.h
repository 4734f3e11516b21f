// Filter expressions of the client datasets. Internal to the dataset engine.
//
// Grammar (keywords in any letter case):
//   expr       := and_expr { OR and_expr }
//   and_expr   := unary { AND unary }
//   unary      := NOT unary | "(" expr ")" | comparison
//   comparison := field ( IS [NOT] NULL | op literal )
//   op         := "=" | "<>" | "!=" | "<" | "<=" | ">" | ">="
//   literal    := 'text' (a quote inside is written '') | number
//   field      := a field name, or any text in [brackets]
// Text fields compare byte for byte (case matters); a field without value reads as the empty
// text, so FIELD='' holds for it. Numeric fields compare as numbers; date-time fields compare with
// a date literal written in the module's short date form (or yyyy-mm-dd), by calendar day when
// the literal has no time of day. A numeric or date-time field without value equals only ''.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "remote/value.h"

namespace data::internal {

class FilterExpr {
 public:
  struct FieldInfo {
    int id = -1;  // the caller's handle for the field
    remote::FieldType type = remote::FieldType::Text;
  };
  // Finds a field by name; throws the caller's error naming it when there is none.
  using Resolver = std::function<FieldInfo(std::string_view name)>;
  // The value of field `id` in the record being tested.
  using Reader = std::function<remote::Value(int id)>;

  // A malformed expression is reported through `fail`, which must throw.
  static std::unique_ptr<FilterExpr> Parse(std::string_view text, const Resolver& resolve,
                                           const std::function<void(const std::string&)>& fail);

  bool Matches(const Reader& read) const;
  ~FilterExpr();

  struct Node;

 private:
  FilterExpr() = default;
  std::vector<Node> nodes_;
  int root_ = -1;
  friend class FilterParser;
};

}  // namespace data::internal
