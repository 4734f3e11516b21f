// Number text: how a number is written into SQL, into a text field, into a grid cell or into an
// argument, and how text is read back as a number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rtl {

// The general number format with 15 significant digits: the shortest decimal text that names
// the value rounded to 15 significant digits, "." as decimal point, no decimal point for integral
// values, no digit grouping. Scientific notation (mantissa, "E", exponent with "-" only when
// negative, e.g. "1.5E-7", "1E20") only for magnitudes below 0.00001 or with more than 15 integer
// digits. Zero (also negative zero) is "0"; not-a-number is "NAN", infinities "INF" and "-INF".
std::string FloatToStr(double value);

// Appends the number text of `value` to `out`; the allocation-free form of FloatToStr.
void AppendFloatText(std::string& out, double value);

// Reads a number: optional blanks, an optional sign, digits with an optional "." and fraction,
// an optional exponent ("e" or "E", optional sign, digits), optional blanks. At least one digit.
// Returns false for anything else, including values out of the double range.
bool TryStrToFloat(std::string_view text, double& value);

// As TryStrToFloat; throws ConvertError "'<text>' is not a valid floating point value".
double StrToFloat(std::string_view text);

// Reads a whole number in decimal (optional blanks and sign); false when not a whole number or out
// of the 64-bit range.
bool TryStrToInt64(std::string_view text, int64_t& value);

std::string IntToStr(int64_t value);

}  // namespace rtl
