// What the operator sees of a window and its controls, written as JSON text: the one
// description of the widget model. The scenario runner compares expectations with it and logs
// it in snapshots; the native platform hands it to a UI test driver (win32/automation.h).
//
// Every control: "name", "kind", "left", "top", "width", "height" (relative to its parent; a
// window's on the screen), "visible", "enabled", "focused", "color". Then by kind:
// - Form, Panel, Label: "caption"; FlatButton: "caption", "glyph";
// - DBEdit, DBMemo: "text", "field";
// - ComboBox: "text", "items", "dropped_down";
// - DatePicker: "date" (yyyy-mm-dd), "text" (as shown), "dropped_down";
// - Grid: "columns" (captions), "row_count", "current_row", "focused_column", "editing",
//   "editor_text" (while editing), "rows" (each row's cells as drawn: "text", "color",
//   "background", "bold", "selected"), "footer" (when shown: "text", "color", "background",
//   "bold" per column), "filter_values" (per column, the values its filter offers; empty
//   without column filters).
// Colours are written as ColorToText writes them.
#pragma once

#include <string>

#include "widgets/control.h"
#include "widgets/form.h"
#include "widgets/grid.h"

namespace widgets {

std::string DescribeControl(Control& control);
// The window as DescribeControl writes it, with "controls": every control in creation order.
std::string DescribeWindow(Form& form);
// A grid cell or footer cell as drawn.
std::string DescribeCell(const CellDraw& cell);
std::string DescribeFooter(const FooterDraw& footer);

}  // namespace widgets
