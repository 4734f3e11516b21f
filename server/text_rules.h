// What the application server accepts as text and number from a client, and how client text is
// written into a log line. Shared by the network core and the server objects.
//
// - A text that names something or is bound as a value other than stored data (a ProgID, a
//   provider or method name, a statement, a parameter) holds no control character at all: no C0
//   control (0x00 to 0x1F) and no DEL (0x7F).
// - A text stored in a field (an apply value, such as the remark BEIZHU) may hold line breaks
//   (CR, LF) and tabs, which an operator types into a memo; every other C0 control, NUL above
//   all, is refused. NUL would cut the value where a backend reads it as a C string.
// - A number is finite: infinities and NaN are refused.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>

#include "remote/server_object.h"
#include "server/messages.h"

namespace server {

enum class TextUse { kName, kStored };

// The first byte of `text` that `use` does not allow, or -1.
inline int ForbiddenControl(std::string_view text, TextUse use) {
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) continue;
    if (use == TextUse::kStored && (c == '\t' || c == '\n' || c == '\r' || c == 0x7F)) continue;
    return c;
  }
  return -1;
}

// Throws msg::Error naming `what` when `text` holds a control character `use` forbids.
inline void CheckText(std::string_view text, const msg::Text& what, TextUse use = TextUse::kName) {
  const int c = ForbiddenControl(text, use);
  if (c >= 0) throw msg::Error(msg::ControlCharacter(what, static_cast<unsigned char>(c)));
}

inline void CheckFinite(double d, const msg::Text& what) {
  if (!std::isfinite(d)) throw msg::Error(msg::NotFinite(what));
}

// Texts and numbers of one value.
inline void CheckValue(const remote::Value& v, const msg::Text& what, TextUse use) {
  if (v.is_text()) CheckText(v.text(), what, use);
  if (v.is_float()) CheckFinite(v.float_value(), what);
}

// Client text made safe for one log line: control characters and the backslash are written as
// escapes (\n, \r, \t, \\, \xNN), so that no text can end a line or forge another; the result is
// cut to at most about `max_bytes` bytes without splitting a UTF-8 character, and the cut is
// marked with the full length.
inline std::string EscapeForLog(std::string_view text, std::size_t max_bytes) {
  std::string out;
  out.reserve(std::min(text.size(), max_bytes) + 16);
  std::size_t i = 0;
  for (; i < text.size() && out.size() < max_bytes; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static const char kHex[] = "0123456789ABCDEF";
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  if (i < text.size()) {
    // Do not leave half a UTF-8 character at the cut.
    while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
    if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
    out += "... (" + std::to_string(text.size()) + " bytes)";
  }
  return out;
}

// The longest log line the server writes, in bytes of message (before time and level).
inline constexpr std::size_t kMaxLogMessageBytes = 2048;

}  // namespace server
