// Plain values shared by every control of the toolkit: colours, fonts, alignment, border styles,
// key codes, modal results and message box flags. The numeric values are the Win32 ones, so the
// native implementation passes them through unchanged and the windows can name them the way
// their behaviour is written ("flags 48", "key code 13").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace widgets {

// A colour: 0x00BBGGRR (red in the lowest byte), or a system colour (0x80000000 | index of the
// platform's system colour, 0 to 24), or kClNone. The value 14473669 is red $C5, green $D9,
// blue $DC, the colour of every window of the module.
using Color = uint32_t;

constexpr Color Rgb(int r, int g, int b) {
  return static_cast<Color>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}

inline constexpr Color kSystemColorFlag = 0x80000000u;
constexpr Color SystemColor(int index) {
  return kSystemColorFlag | static_cast<Color>(index);
}
constexpr bool IsSystemColor(Color c) {
  return (c & kSystemColorFlag) != 0;
}

inline constexpr Color kClBlack = Rgb(0, 0, 0);
inline constexpr Color kClMaroon = Rgb(128, 0, 0);
inline constexpr Color kClGreen = Rgb(0, 128, 0);
inline constexpr Color kClOlive = Rgb(128, 128, 0);
inline constexpr Color kClNavy = Rgb(0, 0, 128);
inline constexpr Color kClPurple = Rgb(128, 0, 128);
inline constexpr Color kClTeal = Rgb(0, 128, 128);
inline constexpr Color kClGray = Rgb(128, 128, 128);
inline constexpr Color kClSilver = Rgb(192, 192, 192);
inline constexpr Color kClRed = Rgb(255, 0, 0);
inline constexpr Color kClLime = Rgb(0, 255, 0);
inline constexpr Color kClYellow = Rgb(255, 255, 0);
inline constexpr Color kClBlue = Rgb(0, 0, 255);
inline constexpr Color kClFuchsia = Rgb(255, 0, 255);
inline constexpr Color kClAqua = Rgb(0, 255, 255);
inline constexpr Color kClWhite = Rgb(255, 255, 255);
inline constexpr Color kClNone = 0x1FFFFFFFu;

// System colours, by the platform's index.
inline constexpr Color kClWindow = SystemColor(5);
inline constexpr Color kClMenu = SystemColor(4);
inline constexpr Color kClWindowText = SystemColor(8);
inline constexpr Color kClHighlight = SystemColor(13);
inline constexpr Color kClHighlightText = SystemColor(14);
inline constexpr Color kClBtnFace = SystemColor(15);
inline constexpr Color kClBtnText = SystemColor(18);

// The module's window colour (red $C5, green $D9, blue $DC).
inline constexpr Color kWindowColor = 14473669u;

// Colour names: the sixteen fixed colours ("clRed"), the 25 system colours ("clBtnFace") and
// "clNone". IdentToColor compares without regard to letter case.
std::optional<Color> IdentToColor(std::string_view name);
// The name of a named colour, or nothing.
std::optional<std::string> ColorToIdent(Color color);
// The colour as the operator sees it: its name when it has one, else "#RRGGBB".
std::string ColorToText(Color color);
// Reads ColorToText's forms back (a name in any letter case, or "#RRGGBB").
std::optional<Color> TextToColor(std::string_view text);

inline constexpr int kCharsetGb2312 = 134;

enum FontStyle : unsigned { kFsBold = 1, kFsItalic = 2, kFsUnderline = 4, kFsStrikeOut = 8 };

// A font: typeface, character height in pixels, character set, colour and style bits.
struct Font {
  std::string name = "宋体";
  int height = 12;
  int charset = kCharsetGb2312;
  Color color = kClWindowText;
  unsigned style = 0;
  friend bool operator==(const Font&, const Font&) = default;
};

// The look shared by every window of the module: "宋体", 12 pixels, GB2312, window-text colour.
inline Font ModuleFont() {
  return Font{};
}
// Title bands: "隶书", 24 pixels, bold, navy.
inline Font TitleFont() {
  return Font{"隶书", 24, kCharsetGb2312, kClNavy, kFsBold};
}

enum class Align { None, Top, Bottom, Left, Right, Client };
enum class Alignment { Left, Right, Center };

// Frame of a top-level window.
enum class BorderStyle { None, Single, Sizeable, Dialog };
enum BorderIcon : unsigned { kBiSystemMenu = 1, kBiMinimize = 2, kBiMaximize = 4 };
// Where a window appears when shown: at its own position or centred on the screen.
enum class Position { Designed, ScreenCenter };

enum class BevelKind { None, Raised, Lowered };

// Keyboard shift state bits.
enum Shift : unsigned { kShift = 1, kAlt = 2, kCtrl = 4 };
using ShiftState = unsigned;

// Virtual key codes (Win32 values).
inline constexpr int kVkBack = 8;
inline constexpr int kVkTab = 9;
inline constexpr int kVkReturn = 13;
inline constexpr int kVkEscape = 27;
inline constexpr int kVkSpace = 32;
inline constexpr int kVkPrior = 33;  // page up
inline constexpr int kVkNext = 34;   // page down
inline constexpr int kVkEnd = 35;
inline constexpr int kVkHome = 36;
inline constexpr int kVkLeft = 37;
inline constexpr int kVkUp = 38;
inline constexpr int kVkRight = 39;
inline constexpr int kVkDown = 40;
inline constexpr int kVkInsert = 45;
inline constexpr int kVkDelete = 46;
inline constexpr int kVkF2 = 113;
inline constexpr int kVkF4 = 115;
// The key code an input method reports while it composes a character (Chinese input).
inline constexpr int kVkProcessKey = 229;

// The key code of a typed character: letters and digits give their key, a few punctuation
// characters theirs, every other character (Chinese ones) the input method's code.
int KeyCodeOfChar(char32_t ch);

// The characters of a UTF-8 text, one text each (a malformed byte stands alone), and the code
// point of such a character (U+FFFD when malformed).
std::vector<std::string> Utf8Chars(std::string_view text);
char32_t CodePoint(std::string_view ch);

// Modal results.
inline constexpr int kMrNone = 0;
inline constexpr int kMrOk = 1;
inline constexpr int kMrCancel = 2;

// Message box flags (Win32 MB_*): buttons in the low nibble, icon in the next one.
inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kMbOkCancel = 0x1;
inline constexpr unsigned kMbAbortRetryIgnore = 0x2;
inline constexpr unsigned kMbYesNoCancel = 0x3;
inline constexpr unsigned kMbYesNo = 0x4;
inline constexpr unsigned kMbRetryCancel = 0x5;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconExclamation = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;

// Message box results (Win32 ID*).
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdAbort = 3;
inline constexpr int kIdRetry = 4;
inline constexpr int kIdIgnore = 5;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Non-client hit-test results (Win32 HT*).
inline constexpr int kHtClient = 1;
inline constexpr int kHtCaption = 2;

struct Rect {
  int left = 0, top = 0, width = 0, height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace widgets
