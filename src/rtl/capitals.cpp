#include "rtl/capitals.h"

#include <cmath>

#include "rtl/money.h"

namespace rtl {

std::string MoneyToCapitals(double amount) {
  static const char* const kNumerals[] = {"零", "壹", "贰", "叁", "肆",
                                          "伍", "陆", "柒", "捌", "玖"};
  // Unit of the digit with p digits to its right, p counted in fen.
  static const char* const kUnits[] = {"分", "角", "圆", "拾", "佰", "仟", "万", "拾", "佰", "仟"};

  // The amount in fen as digits: the "0.00" text of the magnitude without its point, leading
  // zeros stripped (one "0" kept for zero). This is exactly the fen count that the 15-digit
  // general format prints for the rounded amount times 100.
  const std::string text = FormatMoney(std::fabs(static_cast<Extended>(amount)));
  std::string fen;
  for (char c : text) {
    if (c != '.') fen += c;
  }
  const size_t first = fen.find_first_not_of('0');
  fen = first == std::string::npos ? "0" : fen.substr(first);
  if (fen.size() > 10) return "";

  std::string out;
  if (amount < 0) out = "负";  // the argument's own sign; negative zero is not below zero
  for (size_t i = 0; i < fen.size(); ++i) {
    const size_t p = fen.size() - 1 - i;
    out += kNumerals[fen[i] - '0'];
    out += kUnits[p];
  }
  out += "整";
  return out;
}

}  // namespace rtl
