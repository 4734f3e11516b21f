// The decimal digits of a binary floating-point value, as the platform's number formats judge a
// value: its exact decimal expansion, computed with integers only (no C runtime conversion, so
// every build gives the same digits), cut to its first 18 significant digits with a half going
// away from zero. The number text (numtext.h) and the money pattern "0.00" (money.h) both round
// from these 18 digits. Internal to rtl.
#pragma once

#include <string>

#include "rtl/money.h"

namespace rtl::decimal {

// A positive value as significant decimal digits: value = 0.<digits> x 10^point.
struct Digits {
  std::string digits;  // '0'..'9', the first one not '0'
  int point = 0;
};

// The first 18 significant digits of a finite positive value, rounded from its exact expansion
// with a half going away from zero (trailing zeros kept, always 18 digits).
Digits Eighteen(Extended magnitude);

// Rounds `d` to at most `keep` (0 or more) digits, a half (the first dropped digit 5 or more)
// going away from zero; a carry out of the first digit puts a "1" in front and raises `point`.
// With `keep` 0 the value becomes either nothing (no digits: it rounds to zero) or "1".
void RoundHalfAway(Digits& d, int keep);

}  // namespace rtl::decimal
