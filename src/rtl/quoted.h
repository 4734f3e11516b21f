// Quoted text: how a text value is written into the filter and statement texts the module builds.
#pragma once

#include <string>
#include <string_view>

namespace rtl {

// Appends `text` inside single quotes with every quote in it doubled, so that a value can never
// end the literal early: "0B" gives '0B', "O'K" gives 'O''K'.
inline void AppendQuoted(std::string& out, std::string_view text) {
  out += '\'';
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
}

// `text` as a quoted literal (see AppendQuoted).
inline std::string QuotedStr(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  AppendQuoted(out, text);
  return out;
}

}  // namespace rtl
