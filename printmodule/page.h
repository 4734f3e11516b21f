// The printed page of a gain/loss document, laid out once as drawing primitives so that the
// preview, the printer and the SVG file show exactly the same thing.
#pragma once

#include <string>
#include <vector>

#include "print_document.h"

namespace printmodule {

// Lengths are in tenths of a millimetre from the page's top left corner.
enum class Align { Left, Center, Right };

struct TextItem {
  int x, y, width, height;
  std::string text;  // UTF-8
  int size;          // character height
  bool bold = false;
  Align align = Align::Left;
};

struct LineItem {
  int x1, y1, x2, y2;
  int weight = 2;
};

struct Page {
  std::vector<TextItem> texts;
  std::vector<LineItem> lines;
};

inline constexpr int kPageWidth = 2100;  // A4 portrait
inline constexpr int kPageHeight = 2970;

// The pages of a document; `unit` names the unit of the quantity column ("条").
std::vector<Page> LayoutDocument(const PrintDocument& doc, const std::string& unit);

}  // namespace printmodule
