// Money arithmetic and money text. Amounts are computed in extended precision (a 64-bit
// significand) and stored as 64-bit floats; they are brought to two decimals only where a
// window says so, through the pattern "0.00".
#pragma once

#include <cfloat>
#include <string>

namespace rtl {

using Extended = long double;
#if defined(__i386__) || defined(__x86_64__)
static_assert(LDBL_MANT_DIG == 64, "money arithmetic needs the x87 extended type");
#endif

// The pattern "0.00": two decimals, at least one integer digit, no grouping. The value is first
// written with its first 18 significant decimal digits (correctly rounded); the two-decimal
// rounding then goes half away from zero on those digits. So 0.125 gives "0.13", the double
// nearest 1.005 (1.00499999999999989...) gives "1.00", the double nearest 0.005 gives "0.01".
// A value that rounds to zero is written "0.00", without a sign; other negative values get "-".
std::string FormatMoney(Extended value);

// The grid footer pattern "0.00;-0.00": the same text as FormatMoney (a minus sign before a
// negative sum, none before a sum that rounds to zero).
std::string FormatFooter(Extended value);

// The value of FormatMoney(value) read back as a double: a money amount brought to two decimals.
double RoundMoney(Extended value);

}  // namespace rtl
