// Values of the client datasets, internal to the dataset engine: how a value of any kind reads
// as text, number, whole number and date-time, how it is brought into a field's type, how an
// operator's text becomes a value of a field, and the comparison values of locate and lookup.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/record_store.h"
#include "remote/value.h"
#include "rtl/datetime.h"

namespace data::internal {

// Names joined by ";" (blanks around a name dropped, empty names left out).
std::vector<std::string> SplitNames(std::string_view list);

// Without value: no value at all, or an empty text.
bool IsNoValue(const Value& v);

// A value read as a field of another type would read it. Text: number text for numbers, the
// short date form for dates. Number: text parsed (rtl::ConvertError when it is not a number).
// Whole number: the nearest integer, halves to even. Date-time: text parsed in the short date
// form. Without value: "", 0, 0 and the zero date-time.
std::string ValueText(const Value& v);
double ValueFloat(const Value& v);
int64_t ValueInteger(const Value& v);
rtl::DateTime ValueDate(const Value& v);

// A value of any kind brought into a column's type. False when it does not convert.
bool Coerce(const Value& v, FieldType type, Value& out);

// A comparison value for a column of `type`; false when `v` cannot be one.
bool MakeProbe(const Value& v, FieldType type, Probe& probe);

// Text typed by the operator (or a window) for a field of `type` of `width` GBK bytes (0: any):
// rtl::ConvertError when it is not a value of that type; the empty text is "without value"; a
// text longer than the width keeps its longest whole-character prefix that fits.
Value ParseText(std::string_view text, FieldType type, int width);

}  // namespace data::internal
