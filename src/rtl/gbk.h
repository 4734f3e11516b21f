// Text inside the module is UTF-8. GBK (code page 936) appears where a boundary is defined in
// it: field widths ("text n" counts GBK bytes), the host's arguments and the print module's
// unit argument. A character that GBK cannot represent counts, and converts, as one "?".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rtl {

std::string Utf8ToGbk(std::string_view utf8);
// Bytes that are not valid GBK convert to U+FFFD.
std::string GbkToUtf8(std::string_view gbk);

// The width of a UTF-8 text in GBK bytes: one per ASCII character, two per Chinese character.
std::size_t GbkLength(std::string_view utf8);

// The longest prefix of whole characters whose GBK width is at most `max_bytes`: a character is
// never split, so the result may be one byte shorter than the limit.
std::string GbkTruncate(std::string_view utf8, std::size_t max_bytes);

// Whether `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

}  // namespace rtl
