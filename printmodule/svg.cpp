#include "svg.h"

#include <string_view>

namespace printmodule {
namespace {

void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
}

std::string Num(int tenths) {
  std::string s = std::to_string(tenths / 10);
  const int frac = (tenths < 0 ? -tenths : tenths) % 10;
  if (frac) {
    s += '.';
    s += static_cast<char>('0' + frac);
  }
  return s;
}

}  // namespace

std::string PageToSvg(const Page& page) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      Num(kPageWidth) + "mm\" height=\"" + Num(kPageHeight) + "mm\" viewBox=\"0 0 " +
      Num(kPageWidth) + " " + Num(kPageHeight) +
      "\" font-family=\"SimSun, 宋体, serif\">\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  for (const LineItem& l : page.lines) {
    out += "<line x1=\"" + Num(l.x1) + "\" y1=\"" + Num(l.y1) + "\" x2=\"" + Num(l.x2) +
           "\" y2=\"" + Num(l.y2) + "\" stroke=\"black\" stroke-width=\"" + Num(l.weight) +
           "\"/>\n";
  }
  for (const TextItem& t : page.texts) {
    int x = t.x;
    const char* anchor = "start";
    if (t.align == Align::Center) {
      x = t.x + t.width / 2;
      anchor = "middle";
    } else if (t.align == Align::Right) {
      x = t.x + t.width;
      anchor = "end";
    }
    out += "<text x=\"" + Num(x) + "\" y=\"" + Num(t.y + t.height / 2) +
           "\" dominant-baseline=\"central\" text-anchor=\"" + anchor + "\" font-size=\"" +
           Num(t.size) + "\"" + (t.bold ? " font-weight=\"bold\"" : "") + ">";
    AppendEscaped(out, t.text);
    out += "</text>\n";
  }
  out += "</svg>\n";
  return out;
}

}  // namespace printmodule
