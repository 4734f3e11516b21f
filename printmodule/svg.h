// Writes laid-out pages as SVG: one <svg> document per page, sized in millimetres.
#pragma once

#include <string>

#include "page.h"

namespace printmodule {

std::string PageToSvg(const Page& page);

}  // namespace printmodule
