#include "describe.h"

#include "rtl/datetime.h"

namespace scenario {

Json DescribeCell(const widgets::CellDraw& cell) {
  Json j;
  j["text"] = cell.text;
  j["color"] = widgets::ColorToText(cell.font.color);
  j["background"] = widgets::ColorToText(cell.background);
  j["bold"] = (cell.font.style & widgets::kFsBold) != 0;
  j["selected"] = cell.selected;
  return j;
}

Json DescribeFooter(const widgets::FooterDraw& footer) {
  Json j;
  j["text"] = footer.text;
  j["color"] = widgets::ColorToText(footer.font.color);
  j["background"] = widgets::ColorToText(footer.background);
  j["bold"] = (footer.font.style & widgets::kFsBold) != 0;
  return j;
}

Json DescribeControl(widgets::Control& control) {
  Json j;
  j["name"] = control.Name();
  j["kind"] = control.Kind();
  j["left"] = control.Left();
  j["top"] = control.Top();
  j["width"] = control.Width();
  j["height"] = control.Height();
  j["visible"] = control.Visible();
  j["enabled"] = control.Enabled();
  j["focused"] = control.Focused();
  j["color"] = widgets::ColorToText(control.GetColor());
  if (auto* b = dynamic_cast<widgets::FlatButton*>(&control)) {
    j["caption"] = b->Caption();
    j["glyph"] = b->Glyph();
  } else if (auto* p = dynamic_cast<widgets::Panel*>(&control)) {
    j["caption"] = p->Caption();
  } else if (auto* l = dynamic_cast<widgets::Label*>(&control)) {
    j["caption"] = l->Caption();
  } else if (auto* t = dynamic_cast<widgets::DBTextControl*>(&control)) {
    j["text"] = t->Text();
    j["field"] = t->DataField();
  } else if (auto* c = dynamic_cast<widgets::ComboBox*>(&control)) {
    j["text"] = c->Text();
    j["items"] = c->Items();
    j["dropped_down"] = c->DroppedDown();
  } else if (auto* d = dynamic_cast<widgets::DatePicker*>(&control)) {
    j["date"] = rtl::FormatDate("yyyy-mm-dd", d->Date());
    j["text"] = d->Text();
  } else if (auto* g = dynamic_cast<widgets::Grid*>(&control)) {
    Json columns = Json::array();
    for (int c = 0; c < g->ColumnCount(); ++c) columns.push_back(g->Column(c).Caption());
    j["columns"] = columns;
    j["row_count"] = g->RowCount();
    j["current_row"] = g->CurrentRow();
    j["focused_column"] = g->FocusedColumn();
    j["editing"] = g->EditorOpen();
    if (g->EditorOpen()) j["editor_text"] = g->EditorText();
    Json rows = Json::array();
    for (int r = 0; r < g->RowCount(); ++r) {
      Json row = Json::array();
      for (int c = 0; c < g->ColumnCount(); ++c) row.push_back(DescribeCell(g->DrawCell(r, c)));
      rows.push_back(row);
    }
    j["rows"] = rows;
    if (g->ShowFooter()) {
      Json footer = Json::array();
      for (int c = 0; c < g->ColumnCount(); ++c) footer.push_back(DescribeFooter(g->DrawFooter(c)));
      j["footer"] = footer;
    }
  }
  return j;
}

Json DescribeWindow(widgets::Form& form) {
  Json j;
  j["name"] = form.Name();
  j["caption"] = form.Caption();
  j["left"] = form.Left();
  j["top"] = form.Top();
  j["width"] = form.Width();
  j["height"] = form.Height();
  Json controls = Json::array();
  for (const auto& c : form.Controls()) controls.push_back(DescribeControl(*c));
  j["controls"] = controls;
  return j;
}

}  // namespace scenario
