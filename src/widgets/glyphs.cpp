#include "widgets/glyphs.h"

#include <map>
#include <string>

namespace widgets {
namespace {

// Each picture is drawn as rows of characters; the palette gives each character's colour and
// '.' is clear.
uint32_t PaletteColor(char c) {
  switch (c) {
    case 'k':
      return 0xFF000000;  // black
    case 'w':
      return 0xFFFFFFFF;  // white
    case 'g':
      return 0xFF808080;  // grey
    case 's':
      return 0xFFC0C0C0;  // silver
    case 'G':
      return 0xFF008000;  // green
    case 'L':
      return 0xFF00C000;  // light green
    case 'r':
      return 0xFFC00000;  // red
    case 'b':
      return 0xFF0000C0;  // blue
    case 'y':
      return 0xFFE0C000;  // yellow
    case 'n':
      return 0xFF804000;  // brown
    default:
      return 0;
  }
}

Bitmap Draw(std::initializer_list<const char*> rows) {
  Bitmap b;
  b.height = static_cast<int>(rows.size());
  for (const char* row : rows) {
    std::string r(row);
    b.width = static_cast<int>(r.size());
    for (char c : r) b.pixels.push_back(PaletteColor(c));
  }
  return b;
}

const std::map<std::string, Bitmap, std::less<>>& Table() {
  // Released with the module when the host unloads it.
  static const std::map<std::string, Bitmap, std::less<>> table{
      {"print",
       Draw({"................", "....kkkkkkkk....", "....kwwwwwwk....", "....kwkkkkwk....",
             "....kwwwwwwk....", "..kkkkkkkkkkkk..", ".kssssssssssssk.", ".kssssssssssssk.",
             ".ksssssssssLsk..", ".kssssssssssssk.", ".kkkkkkkkkkkkkk.", "...kwwwwwwwwk...",
             "...kwkkkkkkwk...", "...kwwwwwwwwk...", "...kkkkkkkkkk...", "................"})},
      {"preview",
       Draw({"................", "..kkkkkkkkk.....", "..kwwwwwwwkk....", "..kwkkkkkwkwk...",
             "..kwwwwwwwkkkk..", "..kwkkkkkwwwwk..", "..kwwwwkkkkwwk..", "..kwkkkwwwwkwk..",
             "..kwwwkwbbwkwk..", "..kwkkkwbbwkwk..", "..kwwwwkkkkkwk..", "..kwwwwwwwkkkk..",
             "..kwwwwwwwwkkkk.", "..kkkkkkkkkk.kkk", "..............kk", "................"})},
      {"new",
       Draw({"................", "...kkkkkkk......", "...kwwwwwkk.....", "...kwwwwwkwk....",
             "...kwwwwwkkkk...", "...kwwwwwwwwk...", "...kwwwwwwwwk...", "...kwwwwwwwwk...",
             "...kwwwwwyywk...", "...kwwwwwyywk...", "...kwwwyyyyyyk..", "...kwwwyyyyyyk..",
             "...kwwwwwyywk...", "...kwwwwwyywk...", "...kkkkkkkkkk...", "................"})},
      {"edit",
       Draw({"................", "...........kk...", "..........kyyk..", ".........kyyk...",
             "........kyyk....", ".......kyyk.....", "......kyyk......", ".....kyyk.......",
             "....kyyk........", "...kwyk.........", "...kwwk.........", "..kkkk..........",
             "..k.............", "................", ".kkkkkkkkkkkkkk.", "................"})},
      {"delete",
       Draw({"................", ".rr.........rr..", ".rrr.......rrr..", "..rrr.....rrr...",
             "...rrr...rrr....", "....rrr.rrr.....", ".....rrrrr......", "......rrr.......",
             ".....rrrrr......", "....rrr.rrr.....", "...rrr...rrr....", "..rrr.....rrr...",
             ".rrr.......rrr..", ".rr.........rr..", "................", "................"})},
      {"ok",
       Draw({"................", "................", "..............G.", ".............GG.",
             "............GGG.", "...........GGG..", "..G.......GGG...", "..GG.....GGG....",
             "..GGG...GGG.....", "...GGG.GGG......", "....GGGGG.......", ".....GGG........",
             "......G.........", "................", "................", "................"})},
      {"cancel",
       Draw({"................", "................", "...r........r...", "..rrr......rrr..",
             "...rrr....rrr...", "....rrr..rrr....", ".....rrrrrr.....", "......rrrr......",
             "......rrrr......", ".....rrrrrr.....", "....rrr..rrr....", "...rrr....rrr...",
             "..rrr......rrr..", "...r........r...", "................", "................"})},
      {"exit",
       Draw({"................", "..kkkkkkkkk.....", "..knnnnnnnk.....", "..knnnnnnnk.....",
             "..knnnnnnnk..b..", "..knnnnnnnk..bb.", "..knnnnnykbbbbbb", "..knnnnnnnbbbbbb",
             "..knnnnnnnk..bb.", "..knnnnnnnk..b..", "..knnnnnnnk.....", "..knnnnnnnk.....",
             "..knnnnnnnk.....", "..kkkkkkkkk.....", "................", "................"})},
      {"save",
       Draw({"..................", "..................", "................L.", "...............LL.",
             "..............LLL.", ".............LLL..", "............LLL...", "...L.......LLL....",
             "...LL.....LLL.....", "...LLL...LLL......", "....LLL.LLL.......", ".....LLLLL........",
             "......LLL.........", ".......L..........", "..................", "..................",
             "..................", ".................."})},
  };
  return table;
}

}  // namespace

const Bitmap* FindGlyph(std::string_view name) {
  const auto& table = Table();
  if (name == "door") return FindGlyph("exit");
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

Bitmap Greyed(const Bitmap& bitmap) {
  Bitmap out = bitmap;
  for (uint32_t& p : out.pixels) {
    if ((p >> 24) == 0) continue;
    uint32_t r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    uint32_t y = (r * 3 + g * 6 + b) / 10;
    y = 128 + y / 2;
    p = 0xFF000000u | (y << 16) | (y << 8) | y;
  }
  return out;
}

}  // namespace widgets
