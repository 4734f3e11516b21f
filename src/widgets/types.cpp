#include "widgets/types.h"

#include <array>
#include <cstdio>

namespace widgets {
namespace {

struct NamedColor {
  const char* name;
  Color color;
};

constexpr std::array<NamedColor, 42> kNamedColors = {{
    {"clBlack", kClBlack},
    {"clMaroon", kClMaroon},
    {"clGreen", kClGreen},
    {"clOlive", kClOlive},
    {"clNavy", kClNavy},
    {"clPurple", kClPurple},
    {"clTeal", kClTeal},
    {"clGray", kClGray},
    {"clSilver", kClSilver},
    {"clRed", kClRed},
    {"clLime", kClLime},
    {"clYellow", kClYellow},
    {"clBlue", kClBlue},
    {"clFuchsia", kClFuchsia},
    {"clAqua", kClAqua},
    {"clWhite", kClWhite},
    {"clScrollBar", SystemColor(0)},
    {"clBackground", SystemColor(1)},
    {"clActiveCaption", SystemColor(2)},
    {"clInactiveCaption", SystemColor(3)},
    {"clMenu", SystemColor(4)},
    {"clWindow", SystemColor(5)},
    {"clWindowFrame", SystemColor(6)},
    {"clMenuText", SystemColor(7)},
    {"clWindowText", SystemColor(8)},
    {"clCaptionText", SystemColor(9)},
    {"clActiveBorder", SystemColor(10)},
    {"clInactiveBorder", SystemColor(11)},
    {"clAppWorkSpace", SystemColor(12)},
    {"clHighlight", SystemColor(13)},
    {"clHighlightText", SystemColor(14)},
    {"clBtnFace", SystemColor(15)},
    {"clBtnShadow", SystemColor(16)},
    {"clGrayText", SystemColor(17)},
    {"clBtnText", SystemColor(18)},
    {"clInactiveCaptionText", SystemColor(19)},
    {"clBtnHighlight", SystemColor(20)},
    {"cl3DDkShadow", SystemColor(21)},
    {"cl3DLight", SystemColor(22)},
    {"clInfoText", SystemColor(23)},
    {"clInfoBk", SystemColor(24)},
    {"clNone", kClNone},
}};

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<Color> IdentToColor(std::string_view name) {
  for (const auto& nc : kNamedColors) {
    if (EqualsNoCase(name, nc.name)) return nc.color;
  }
  return std::nullopt;
}

std::optional<std::string> ColorToIdent(Color color) {
  for (const auto& nc : kNamedColors) {
    if (nc.color == color) return std::string(nc.name);
  }
  return std::nullopt;
}

std::string ColorToText(Color color) {
  if (auto name = ColorToIdent(color)) return *name;
  char buf[16];
  std::snprintf(buf, sizeof buf, "#%02X%02X%02X", static_cast<unsigned>(color & 0xFF),
                static_cast<unsigned>((color >> 8) & 0xFF),
                static_cast<unsigned>((color >> 16) & 0xFF));
  return buf;
}

std::optional<Color> TextToColor(std::string_view text) {
  if (auto c = IdentToColor(text)) return c;
  if (text.size() == 7 && text[0] == '#') {
    int v[6];
    for (int i = 0; i < 6; ++i) {
      v[i] = HexDigit(text[1 + i]);
      if (v[i] < 0) return std::nullopt;
    }
    return Rgb(v[0] * 16 + v[1], v[2] * 16 + v[3], v[4] * 16 + v[5]);
  }
  return std::nullopt;
}

int KeyCodeOfChar(char32_t ch) {
  if (ch >= 'a' && ch <= 'z') return static_cast<int>(ch - 'a' + 'A');
  if ((ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == ' ')
    return static_cast<int>(ch);
  switch (ch) {
    case '.':
      return 0xBE;  // VK_OEM_PERIOD
    case '-':
      return 0xBD;  // VK_OEM_MINUS
    case '+':
      return 0xBB;  // VK_OEM_PLUS
    case ',':
      return 0xBC;  // VK_OEM_COMMA
    case '/':
      return 0xBF;  // VK_OEM_2
    case '\'':
      return 0xDE;  // VK_OEM_7
    default:
      return kVkProcessKey;
  }
}

std::vector<std::string> Utf8Chars(std::string_view text) {
  std::vector<std::string> chars;
  size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    if (i + len > text.size()) len = 1;
    for (size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        len = 1;
        break;
      }
    }
    chars.emplace_back(text.substr(i, len));
    i += len;
  }
  return chars;
}

char32_t CodePoint(std::string_view ch) {
  if (ch.empty()) return 0xFFFD;
  auto b = static_cast<unsigned char>(ch[0]);
  if (b < 0x80) return b;
  size_t len = (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (len == 0 || ch.size() != len) return 0xFFFD;
  char32_t cp = b & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(ch[k]) & 0x3F);
  return cp;
}

}  // namespace widgets
