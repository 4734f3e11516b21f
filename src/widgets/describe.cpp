#include "widgets/describe.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "rtl/datetime.h"
#include "widgets/controls.h"

namespace widgets {
namespace {

// Writes JSON text: members and elements are separated as they are added.
class JsonWriter {
 public:
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  void Key(std::string_view key) {
    Separate();
    Quote(key);
    out_ += ':';
    after_key_ = true;
  }
  void String(std::string_view text) {
    Separate();
    Quote(text);
  }
  void Int(int value) {
    Separate();
    out_ += std::to_string(value);
  }
  void Bool(bool value) {
    Separate();
    out_ += value ? "true" : "false";
  }
  // A member in one call.
  template <class T>
  void Member(std::string_view key, const T& value) {
    Key(key);
    Value(value);
  }
  std::string Take() { return std::move(out_); }

 private:
  void Value(std::string_view v) { String(v); }
  void Value(const std::string& v) { String(v); }
  void Value(const char* v) { String(v); }
  void Value(int v) { Int(v); }
  void Value(bool v) { Bool(v); }

  void Open(char c) {
    Separate();
    out_ += c;
    first_.push_back(true);
  }
  void Close(char c) {
    out_ += c;
    first_.pop_back();
  }
  void Separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (first_.empty()) return;
    if (!first_.back()) out_ += ',';
    first_.back() = false;
  }
  void Quote(std::string_view text) {
    out_ += '"';
    for (char ch : text) {
      auto c = static_cast<unsigned char>(ch);
      switch (c) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        default:
          if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out_ += buf;
          } else {
            out_ += ch;
          }
      }
    }
    out_ += '"';
  }

  std::string out_;
  std::vector<bool> first_;
  bool after_key_ = false;
};

void WriteDrawn(JsonWriter& w, const std::string& text, const Font& font, Color background) {
  w.Member("text", text);
  w.Member("color", ColorToText(font.color));
  w.Member("background", ColorToText(background));
  w.Member("bold", (font.style & kFsBold) != 0);
}

void WriteCell(JsonWriter& w, const CellDraw& cell) {
  w.BeginObject();
  WriteDrawn(w, cell.text, cell.font, cell.background);
  w.Member("selected", cell.selected);
  w.EndObject();
}

void WriteFooter(JsonWriter& w, const FooterDraw& footer) {
  w.BeginObject();
  WriteDrawn(w, footer.text, footer.font, footer.background);
  w.EndObject();
}

void WriteGrid(JsonWriter& w, Grid& g) {
  w.Key("columns");
  w.BeginArray();
  for (int c = 0; c < g.ColumnCount(); ++c) w.String(g.Column(c).Caption());
  w.EndArray();
  w.Member("row_count", g.RowCount());
  w.Member("current_row", g.CurrentRow());
  w.Member("focused_column", g.FocusedColumn());
  w.Member("editing", g.EditorOpen());
  if (g.EditorOpen()) w.Member("editor_text", g.EditorText());
  w.Key("rows");
  w.BeginArray();
  for (int r = 0; r < g.RowCount(); ++r) {
    w.BeginArray();
    for (int c = 0; c < g.ColumnCount(); ++c) WriteCell(w, g.DrawCell(r, c));
    w.EndArray();
  }
  w.EndArray();
  if (g.ShowFooter()) {
    w.Key("footer");
    w.BeginArray();
    for (int c = 0; c < g.ColumnCount(); ++c) WriteFooter(w, g.DrawFooter(c));
    w.EndArray();
  }
  w.Key("filter_values");
  w.BeginArray();
  for (int c = 0; c < g.ColumnCount(); ++c) {
    w.BeginArray();
    if (g.AutoFilter()) {
      for (const std::string& v : g.FilterValues(c)) w.String(v);
    }
    w.EndArray();
  }
  w.EndArray();
}

void WriteControlMembers(JsonWriter& w, Control& control) {
  w.Member("name", control.Name());
  w.Member("kind", control.Kind());
  w.Member("left", control.Left());
  w.Member("top", control.Top());
  w.Member("width", control.Width());
  w.Member("height", control.Height());
  w.Member("visible", control.Visible());
  w.Member("enabled", control.Enabled());
  w.Member("focused", control.Focused());
  w.Member("color", ColorToText(control.GetColor()));
  if (auto* f = dynamic_cast<Form*>(&control)) {
    w.Member("caption", f->Caption());
  } else if (auto* b = dynamic_cast<FlatButton*>(&control)) {
    w.Member("caption", b->Caption());
    w.Member("glyph", b->Glyph());
  } else if (auto* p = dynamic_cast<Panel*>(&control)) {
    w.Member("caption", p->Caption());
  } else if (auto* l = dynamic_cast<Label*>(&control)) {
    w.Member("caption", l->Caption());
  } else if (auto* t = dynamic_cast<DBTextControl*>(&control)) {
    w.Member("text", t->Text());
    w.Member("field", t->DataField());
  } else if (auto* c = dynamic_cast<ComboBox*>(&control)) {
    w.Member("text", c->Text());
    w.Key("items");
    w.BeginArray();
    for (const std::string& item : c->Items()) w.String(item);
    w.EndArray();
    w.Member("dropped_down", c->DroppedDown());
  } else if (auto* d = dynamic_cast<DatePicker*>(&control)) {
    w.Member("date", rtl::FormatDate("yyyy-mm-dd", d->Date()));
    w.Member("text", d->Text());
    w.Member("dropped_down", d->DroppedDown());
  } else if (auto* g = dynamic_cast<Grid*>(&control)) {
    WriteGrid(w, *g);
  }
}

}  // namespace

std::string DescribeControl(Control& control) {
  JsonWriter w;
  w.BeginObject();
  WriteControlMembers(w, control);
  w.EndObject();
  return w.Take();
}

std::string DescribeWindow(Form& form) {
  JsonWriter w;
  w.BeginObject();
  WriteControlMembers(w, form);
  w.Key("controls");
  w.BeginArray();
  for (const auto& c : form.Controls()) {
    w.BeginObject();
    WriteControlMembers(w, *c);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  return w.Take();
}

std::string DescribeCell(const CellDraw& cell) {
  JsonWriter w;
  WriteCell(w, cell);
  return w.Take();
}

std::string DescribeFooter(const FooterDraw& footer) {
  JsonWriter w;
  WriteFooter(w, footer);
  return w.Take();
}

}  // namespace widgets
