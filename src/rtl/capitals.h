// An amount in yuan written in Chinese capital numerals, the form used on financial documents:
// every digit of the amount in fen followed by its unit, closed by "整"; "负" before a negative
// amount; the empty text from 100000000.00 yuan on. Pure: reads and changes no state.
#pragma once

#include <string>

namespace rtl {

std::string MoneyToCapitals(double amount);

}  // namespace rtl
