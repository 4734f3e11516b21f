// What the operator sees of a window and its controls, as JSON: the observation log's snapshots
// and the values that scenario expectations compare.
#pragma once

#include <nlohmann/json.hpp>

#include "widgets/controls.h"
#include "widgets/form.h"
#include "widgets/grid.h"

namespace scenario {

using Json = nlohmann::ordered_json;

// One control: kind, bounds, visible, enabled, focused and what it shows (caption, text, items,
// date, grid rows as drawn with their text colours, footers, column captions).
Json DescribeControl(widgets::Control& control);
// A window: name, caption, bounds, and every control.
Json DescribeWindow(widgets::Form& form);
// A grid cell or footer cell as drawn.
Json DescribeCell(const widgets::CellDraw& cell);
Json DescribeFooter(const widgets::FooterDraw& footer);

}  // namespace scenario
