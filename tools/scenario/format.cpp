#include "format.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "widgets/types.h"

namespace scenario {
namespace {

const std::map<std::string, int>& KeyNames() {
  static const std::map<std::string, int> names = {
      {"Enter", widgets::kVkReturn},  {"Tab", widgets::kVkTab},
      {"Escape", widgets::kVkEscape}, {"Up", widgets::kVkUp},
      {"Down", widgets::kVkDown},     {"Left", widgets::kVkLeft},
      {"Right", widgets::kVkRight},   {"Home", widgets::kVkHome},
      {"End", widgets::kVkEnd},       {"PageUp", widgets::kVkPrior},
      {"PageDown", widgets::kVkNext}, {"F2", widgets::kVkF2},
      {"F4", widgets::kVkF4},         {"Backspace", widgets::kVkBack},
      {"Delete", widgets::kVkDelete},
  };
  return names;
}

// Reads the parts of one object, naming it in every error.
class Reader {
 public:
  Reader(const Json& object, std::string where) : j_(object), where_(std::move(where)) {}

  [[noreturn]] void Fail(const std::string& what) const { throw FormatError{where_ + ": " + what}; }
  bool Has(const char* key) const { return j_.contains(key); }
  const Json& Get(const char* key) const { return j_[key]; }

  std::string Text(const char* key) const {
    if (!Has(key) || !j_[key].is_string()) Fail(std::string("\"") + key + "\" must be a text");
    return j_[key].get<std::string>();
  }
  int Int(const char* key) const {
    if (!Has(key) || !j_[key].is_number_integer()) {
      Fail(std::string("\"") + key + "\" must be a whole number");
    }
    return j_[key].get<int>();
  }
  // A text when it is one, otherwise (absent, true, null...) "".
  std::string Label(const char* key) const {
    return Has(key) && j_[key].is_string() ? j_[key].get<std::string>() : std::string();
  }
  std::optional<std::string> OptionalText(const char* key) const {
    if (!Has(key) || !j_[key].is_string()) return std::nullopt;
    return j_[key].get<std::string>();
  }
  int KeyCode(const Json& key) const {
    if (key.is_number_integer()) return key.get<int>();
    if (key.is_string()) {
      auto it = KeyNames().find(key.get<std::string>());
      if (it != KeyNames().end()) return it->second;
    }
    Fail("unknown key " + key.dump());
  }
  Cell CellAt() const { return Cell{Int("row"), Int("column")}; }
  const std::string& Where() const { return where_; }

 private:
  const Json& j_;
  std::string where_;
};

Modifiers ReadModifiers(const Reader& r) {
  Modifiers m;
  if (!r.Has("shift")) return m;
  if (!r.Get("shift").is_array()) r.Fail("\"shift\" must be a list");
  for (const Json& k : r.Get("shift")) {
    if (k == "shift") m.shift = true;
    if (k == "ctrl") m.ctrl = true;
    if (k == "alt") m.alt = true;
  }
  return m;
}

bool LeapYear(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

step::PickDate ReadDate(const Reader& r) {
  step::PickDate d;
  std::string text = r.Text("pick_date");
  d.control = r.Text("in");
  char rest = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &d.year, &d.month, &d.day, &rest) != 3) {
    r.Fail("not a date: " + text);
  }
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (d.year < 1 || d.month < 1 || d.month > 12 || d.day < 1 ||
      d.day > kDays[d.month - 1] + (d.month == 2 && LeapYear(d.year) ? 1 : 0)) {
    r.Fail("not a date: " + text);
  }
  return d;
}

Expectation ReadExpectation(const Json& e, const std::string& where) {
  if (!e.is_object()) throw FormatError{where + ": an expectation is an object"};
  Reader r(e, where);
  Expectation x;
  if (r.Has("windows")) {
    if (!e["windows"].is_array()) r.Fail("\"windows\" must be a list of captions");
    x.windows = e["windows"];
  }
  if (r.Has("window")) x.window = r.Text("window");
  if (r.Has("message_box")) {
    const Json& box = e["message_box"];
    if (box.is_null()) {
      x.box = Expectation::Box::kNone;
    } else if (box.is_object()) {
      x.box = Expectation::Box::kOpen;
      x.box_expected = box;
    } else {
      r.Fail("\"message_box\" must be an object or null");
    }
  }
  if (r.Has("control")) {
    x.control = r.Text("control");
    x.control_expected = Json::object();
    for (auto it = e.begin(); it != e.end(); ++it) {
      const std::string& key = it.key();
      if (key == "control" || key == "windows" || key == "window" || key == "message_box") continue;
      x.control_expected[key] = it.value();
    }
    const Json& c = x.control_expected;
    if (c.contains("cell")) {
      Reader cell(c["cell"], where + ": expect cell");
      cell.CellAt();
    }
    if (c.contains("footer_cell"))
      Reader(c["footer_cell"], where + ": expect footer_cell").Int("column");
    if (c.contains("filter_values")) {
      Reader(c["filter_values"], where + ": expect filter_values").Int("column");
    }
  }
  return x;
}

Action ReadAction(const Json& j, const Reader& r) {
  if (r.Has("snapshot")) return step::Snapshot{r.Label("snapshot")};
  if (r.Has("screenshot")) return step::Screenshot{r.Label("screenshot")};
  if (r.Has("print_preview")) {
    step::PrintPreview p;
    const Json& want = j["print_preview"];
    if (want.is_object()) {
      Reader w(want, r.Where() + ": print_preview");
      p.caption_contains = w.OptionalText("caption_contains");
      p.screenshot = w.OptionalText("screenshot");
    }
    return p;
  }
  if (r.Has("answer")) {
    int button = ButtonNamed(r.Text("answer"));
    if (button == 0) r.Fail("unknown button " + j["answer"].dump());
    return step::Answer{button};
  }
  if (r.Has("dismiss")) return step::Dismiss{};
  if (r.Has("click")) return step::Click{r.Text("click")};
  if (r.Has("double_click")) {
    step::DoubleClick d{r.Text("double_click"), std::nullopt};
    if (r.Has("row")) d.cell = r.CellAt();
    return d;
  }
  if (r.Has("focus")) return step::Focus{r.Text("focus")};
  if (r.Has("type")) return step::Type{r.Text("into"), r.Text("type")};
  if (r.Has("key")) return step::Key{r.Text("into"), r.KeyCode(j["key"]), ReadModifiers(r)};
  if (r.Has("choose")) return step::Choose{r.Text("in"), r.Text("choose")};
  if (r.Has("toggle_list")) return step::ToggleList{r.Text("toggle_list")};
  if (r.Has("pick_date")) return ReadDate(r);
  if (r.Has("edit_cell")) {
    step::EditCell e{r.Text("edit_cell"), r.CellAt(), r.Text("text"), widgets::kVkReturn};
    if (r.Has("close")) e.close_key = j["close"] == "none" ? 0 : r.KeyCode(j["close"]);
    return e;
  }
  if (r.Has("click_cell")) return step::ClickCell{r.Text("click_cell"), r.CellAt()};
  if (r.Has("move")) {
    step::Move m;
    m.control = r.Text("move");
    if (!r.Has("to")) r.Fail("\"move\" needs \"to\"");
    const Json& to = j["to"];
    if (to.is_number_integer()) {
      m.to = step::Move::To::kRow;
      m.row = to.get<int>();
    } else if (to == "next") {
      m.to = step::Move::To::kNext;
    } else if (to == "prior") {
      m.to = step::Move::To::kPrior;
    } else if (to == "first") {
      m.to = step::Move::To::kFirst;
    } else if (to == "last") {
      m.to = step::Move::To::kLast;
    } else {
      r.Fail("move to " + to.dump() + " is not a row, next, prior, first or last");
    }
    return m;
  }
  if (r.Has("filter")) {
    step::Filter f{r.Text("filter"), r.Int("column"), std::nullopt};
    f.value = r.OptionalText("value");
    return f;
  }
  if (r.Has("drag_caption")) {
    Reader d(j["drag_caption"], r.Where());
    return step::DragCaption{d.Int("dx"), d.Int("dy")};
  }
  if (r.Has("close_window")) return step::CloseWindow{};
  if (r.Has("expect_database")) r.Fail("\"expect_database\" is not supported by the players yet");
  r.Fail("no known action in " + j.dump());
}

Step ReadStep(const Json& j, int number, const std::string& where) {
  if (!j.is_object()) throw FormatError{where + ": a step is an object"};
  Reader r(j, where);
  Step s;
  s.number = number;
  s.text = j.dump();
  if (r.Has("expect")) {
    s.expect = ReadExpectation(j["expect"], where);
    if (j.size() == 1) {
      s.looks = true;
      return s;
    }
  }
  s.action = ReadAction(j, r);
  s.answers = std::holds_alternative<step::Answer>(s.action) ||
              std::holds_alternative<step::Dismiss>(s.action);
  s.looks = std::holds_alternative<step::Snapshot>(s.action) ||
            std::holds_alternative<step::Screenshot>(s.action) ||
            std::holds_alternative<step::PrintPreview>(s.action);
  return s;
}

HostArguments ReadHost(const Json& host, const std::string& where) {
  if (!host.is_object()) throw FormatError{where + ": \"host\" must be an object"};
  HostArguments h;
  h.json = host;
  auto number = [&](const char* key, auto fallback) -> decltype(fallback) {
    if (!host.contains(key)) return fallback;
    if (!host[key].is_number_integer()) {
      throw FormatError{where + ": \"" + key + "\" must be a whole number"};
    }
    return host[key].get<decltype(fallback)>();
  };
  h.app_handle = number("app_handle", uintptr_t{0});
  h.arg2 = number("arg2", int64_t{0});
  h.arg5 = number("arg5", int64_t{0});
  auto text = [&](const char* key) -> std::optional<std::string> {
    if (!host.contains(key) || host[key].is_null()) return std::nullopt;
    if (!host[key].is_string()) throw FormatError{where + ": \"" + key + "\" must be a text"};
    return host[key].get<std::string>();
  };
  h.user_code = text("user_code");
  h.access_mode = text("access_mode");
  h.server_host = text("server_host");
  return h;
}

}  // namespace

const char* ButtonName(int button) {
  switch (button) {
    case widgets::kIdOk:
      return "OK";
    case widgets::kIdCancel:
      return "Cancel";
    case widgets::kIdAbort:
      return "Abort";
    case widgets::kIdRetry:
      return "Retry";
    case widgets::kIdIgnore:
      return "Ignore";
    case widgets::kIdYes:
      return "Yes";
    case widgets::kIdNo:
      return "No";
    default:
      return "";
  }
}

const char* IconName(unsigned flags) {
  switch (flags & 0xF0) {
    case widgets::kMbIconError:
      return "error";
    case widgets::kMbIconQuestion:
      return "question";
    case widgets::kMbIconExclamation:
      return "exclamation";
    case widgets::kMbIconInformation:
      return "information";
    default:
      return "none";
  }
}

int ButtonNamed(const std::string& name) {
  for (int b = widgets::kIdOk; b <= widgets::kIdNo; ++b) {
    if (name == ButtonName(b)) return b;
  }
  return 0;
}

Scenario Parse(const Json& document) {
  if (!document.is_object()) throw FormatError{"a scenario is an object"};
  Scenario s;
  if (document.contains("name") && document["name"].is_string()) {
    s.name = document["name"].get<std::string>();
  }
  Json calls = document.contains("calls") ? document["calls"] : Json::array({document});
  if (!calls.is_array()) throw FormatError{"\"calls\" must be a list"};
  for (size_t ci = 0; ci < calls.size(); ++ci) {
    const Json& c = calls[ci];
    std::string prefix = calls.size() > 1 ? "call " + std::to_string(ci + 1) + ", " : "";
    if (!c.is_object()) throw FormatError{prefix + "a call is an object"};
    Call call;
    call.host = ReadHost(c.contains("host") ? c["host"] : Json::object(), prefix + "host");
    if (c.contains("steps")) {
      const Json& steps = c["steps"];
      if (!steps.is_array()) throw FormatError{prefix + "\"steps\" must be a list"};
      for (size_t i = 0; i < steps.size(); ++i) {
        int number = static_cast<int>(i) + 1;
        call.steps.push_back(ReadStep(steps[i], number, prefix + "step " + std::to_string(number)));
      }
    }
    if (c.contains("after")) call.after = ReadExpectation(c["after"], prefix + "after");
    s.calls.push_back(std::move(call));
  }
  return s;
}

namespace {

// "<name>_begins" / "<name>_ends": the text <name> begins or ends with the expected text (for a
// text with a part that differs between computers, such as the system's own reason). False when
// `key` is neither.
bool CompareAffix(const Json& actual, const std::string& key, const Json& want,
                  const std::string& subject, std::vector<std::string>& failures) {
  for (const std::string suffix : {"_begins", "_ends"}) {
    if (key.size() <= suffix.size() ||
        key.compare(key.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    const std::string name = key.substr(0, key.size() - suffix.size());
    const bool begins = suffix == "_begins";
    if (!actual.contains(name) || !actual[name].is_string() || !want.is_string()) {
      failures.push_back(subject + " has no text \"" + name + "\" to compare");
      return true;
    }
    const std::string text = actual[name];
    const std::string part = want;
    const bool ok = text.size() >= part.size() &&
                    text.compare(begins ? 0 : text.size() - part.size(), part.size(), part) == 0;
    if (!ok) {
      failures.push_back(subject + ": " + name + " is " + actual[name].dump() + ", expected " +
                         (begins ? "to begin with " : "to end with ") + want.dump());
    }
    return true;
  }
  return false;
}

}  // namespace

void Compare(const Json& actual, const Json& expected, const std::string& subject,
             std::vector<std::string>& failures, const std::vector<std::string>& skip) {
  for (auto it = expected.begin(); it != expected.end(); ++it) {
    const std::string& key = it.key();
    if (std::find(skip.begin(), skip.end(), key) != skip.end()) continue;
    if (CompareAffix(actual, key, it.value(), subject, failures)) continue;
    if (!actual.contains(key)) {
      failures.push_back(subject + " has no \"" + key + "\" to compare");
      continue;
    }
    if (it.value().is_object() && actual[key].is_object()) {
      Compare(actual[key], it.value(), subject + "." + key, failures);
      continue;
    }
    if (actual[key] != it.value()) {
      failures.push_back(subject + ": " + key + " is " + actual[key].dump() + ", expected " +
                         it.value().dump());
    }
  }
}

void CheckControl(const std::string& name, const Json& description, const Json& expected,
                  std::vector<std::string>& failures) {
  Json actual = description;
  if (actual.contains("rows")) {
    const Json& rows = actual["rows"];
    const int row_count = static_cast<int>(rows.size());
    const int column_count =
        actual.contains("columns") ? static_cast<int>(actual["columns"].size()) : 0;
    if (expected.contains("cells")) {
      Json texts = Json::array();
      for (const auto& row : rows) {
        Json r = Json::array();
        for (const auto& cell : row) r.push_back(cell["text"]);
        texts.push_back(r);
      }
      actual["cells"] = texts;
    }
    if (expected.contains("cell")) {
      int row = expected["cell"]["row"].get<int>();
      int column = expected["cell"]["column"].get<int>();
      if (row < 0 || row >= row_count || column < 0 || column >= column_count) {
        failures.push_back(name + " has no cell " + std::to_string(row) + "," +
                           std::to_string(column));
      } else {
        Json cell = rows[row][column];
        cell["row"] = row;
        cell["column"] = column;
        actual["cell"] = cell;
      }
    }
    if (actual.contains("footer")) {
      Json footer = actual["footer"];
      if (expected.contains("footer_cell")) {
        int column = expected["footer_cell"]["column"].get<int>();
        if (column < 0 || column >= static_cast<int>(footer.size())) {
          failures.push_back(name + " has no column " + std::to_string(column));
        } else {
          Json f = footer[column];
          f["column"] = column;
          actual["footer_cell"] = f;
        }
      }
      Json texts = Json::array();
      for (const auto& f : footer) texts.push_back(f["text"]);
      actual["footer"] = texts;
    }
    if (expected.contains("filter_values")) {
      int column = expected["filter_values"]["column"].get<int>();
      Json values = expected["filter_values"];
      const Json& all = actual.contains("filter_values") ? actual["filter_values"] : Json::array();
      values["values"] =
          column >= 0 && column < static_cast<int>(all.size()) ? all[column] : Json::array();
      actual["filter_values"] = values;
    }
  }
  Compare(actual, expected, name, failures, {"control", "windows", "window", "message_box"});
}

}  // namespace scenario
