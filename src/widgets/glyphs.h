// The button pictures of the module: small bitmaps stored with the layouts, named by what they
// show. Buttons refer to them by name (FlatButton::SetGlyph); a platform draws them from here.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace widgets {

// A picture: width x height pixels, row by row from the top, each 0xAARRGGBB (alpha 0: clear).
struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
};

// The picture of that name ("print", "preview", "new", "edit", "delete", "ok", "cancel",
// "exit", "save", "door"), or null. "save" is 18 x 18; every other one 16 x 16.
const Bitmap* FindGlyph(std::string_view name);
// The greyed form of a picture, for a disabled button.
Bitmap Greyed(const Bitmap& bitmap);

}  // namespace widgets
