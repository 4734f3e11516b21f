#include "runner.h"

#include <functional>
#include <map>
#include <optional>

#include "entry/QMDWLRTSH.h"
#include "rtl/datetime.h"
#include "rtl/gbk.h"
#include "widgets/headless/headless.h"

namespace scenario {
namespace {

namespace hl = widgets::headless;
using widgets::Control;

// Collects failed expectations; a failed expectation does not stop the scenario.
struct Failures {
  std::vector<std::string>* list;
  Json* events;
  void Add(int step, const std::string& what) {
    std::string message = "step " + std::to_string(step) + ": " + what;
    list->push_back(message);
    Json e;
    e["event"] = "expectation_failed";
    e["step"] = step;
    e["message"] = message;
    events->push_back(e);
  }
};

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

int KeyCode(const Json& key, const std::string& where) {
  if (key.is_number_integer()) return key.get<int>();
  if (key.is_string()) {
    auto it = KeyNames().find(key.get<std::string>());
    if (it != KeyNames().end()) return it->second;
  }
  throw FormatError{where + ": unknown key " + key.dump()};
}

widgets::ShiftState Shift(const Json& step) {
  widgets::ShiftState s = 0;
  if (!step.contains("shift")) return s;
  for (const auto& k : step["shift"]) {
    std::string name = k.get<std::string>();
    if (name == "shift") s |= widgets::kShift;
    if (name == "ctrl") s |= widgets::kCtrl;
    if (name == "alt") s |= widgets::kAlt;
  }
  return s;
}

std::string Str(const Json& step, const char* key, const std::string& where) {
  if (!step.contains(key) || !step[key].is_string()) {
    throw FormatError{where + ": \"" + key + "\" must be a text"};
  }
  return step[key].get<std::string>();
}

int Int(const Json& step, const char* key, const std::string& where) {
  if (!step.contains(key) || !step[key].is_number_integer()) {
    throw FormatError{where + ": \"" + key + "\" must be a whole number"};
  }
  return step[key].get<int>();
}

rtl::DateTime Date(const std::string& text, const std::string& where) {
  rtl::DateTime d;
  if (!rtl::TryIsoToDateTime(text, d)) throw FormatError{where + ": not a date: " + text};
  return d;
}

// Compares `actual` with every key of `expected` that it has; records each difference.
void Compare(const Json& actual, const Json& expected, const std::string& subject, int step,
             Failures& failures, const std::vector<std::string>& skip = {}) {
  for (auto it = expected.begin(); it != expected.end(); ++it) {
    const std::string& key = it.key();
    if (std::find(skip.begin(), skip.end(), key) != skip.end()) continue;
    if (!actual.contains(key)) {
      failures.Add(step, subject + " has no \"" + key + "\" to compare");
      continue;
    }
    if (it.value().is_object() && actual[key].is_object()) {
      Compare(actual[key], it.value(), subject + "." + key, step, failures);
      continue;
    }
    if (actual[key] != it.value()) {
      failures.Add(step, subject + ": " + key + " is " + actual[key].dump() + ", expected " +
                             it.value().dump());
    }
  }
}

// Checks one "expect" object against the screen.
void Expect(hl::Screen& screen, const Json& expected, int step, Failures& failures) {
  if (expected.contains("windows")) {
    Json captions = Json::array();
    for (widgets::Form* f : screen.Windows()) captions.push_back(f->Caption());
    if (captions != expected["windows"]) {
      failures.Add(
          step, "open windows are " + captions.dump() + ", expected " + expected["windows"].dump());
    }
  }
  if (expected.contains("window")) {
    std::string caption = screen.Windows().empty() ? "" : screen.Windows().back()->Caption();
    if (caption != expected["window"].get<std::string>()) {
      failures.Add(
          step, "the active window is \"" + caption + "\", expected " + expected["window"].dump());
    }
  }
  if (expected.contains("message_box")) {
    const widgets::MessageBoxSpec* box = screen.Box();
    const Json& want = expected["message_box"];
    if (want.is_null()) {
      if (box != nullptr) failures.Add(step, "a message box is open: \"" + box->text + "\"");
    } else if (box == nullptr) {
      failures.Add(step, "no message box is open");
    } else {
      Json actual;
      actual["caption"] = box->caption;
      actual["text"] = box->text;
      actual["icon"] = widgets::MessageBoxIconName(box->flags);
      Json buttons = Json::array();
      for (int b : widgets::MessageBoxButtons(box->flags))
        buttons.push_back(widgets::ButtonName(b));
      actual["buttons"] = buttons;
      actual["flags"] = box->flags;
      Compare(actual, want, "message box", step, failures);
    }
  }
  if (expected.contains("control")) {
    std::string name = expected["control"].get<std::string>();
    if (screen.Windows().empty()) {
      failures.Add(step, "no window is shown to look for " + name);
      return;
    }
    Control* c = screen.Windows().back()->FindControl(name);
    if (c == nullptr) {
      failures.Add(step, "the window has no control " + name);
      return;
    }
    Json actual = DescribeControl(*c);
    // Grid cells and footers by position, and the texts of all rows.
    if (auto* g = dynamic_cast<widgets::Grid*>(c)) {
      if (expected.contains("cells")) {
        Json texts = Json::array();
        for (const auto& row : actual["rows"]) {
          Json r = Json::array();
          for (const auto& cell : row) r.push_back(cell["text"]);
          texts.push_back(r);
        }
        actual["cells"] = texts;
      }
      if (expected.contains("cell")) {
        const Json& want = expected["cell"];
        int row = Int(want, "row", "expect cell"), col = Int(want, "column", "expect cell");
        if (row < 0 || row >= g->RowCount() || col < 0 || col >= g->ColumnCount()) {
          failures.Add(step,
                       name + " has no cell " + std::to_string(row) + "," + std::to_string(col));
        } else {
          Json cell = DescribeCell(g->DrawCell(row, col));
          cell["row"] = row;
          cell["column"] = col;
          actual["cell"] = cell;
        }
      }
      if (expected.contains("footer")) {
        Json texts = Json::array();
        for (int col = 0; col < g->ColumnCount(); ++col) texts.push_back(g->DrawFooter(col).text);
        actual["footer"] = texts;
      }
      if (expected.contains("footer_cell")) {
        int col = Int(expected["footer_cell"], "column", "expect footer_cell");
        if (col < 0 || col >= g->ColumnCount()) {
          failures.Add(step, name + " has no column " + std::to_string(col));
        } else {
          Json f = DescribeFooter(g->DrawFooter(col));
          f["column"] = col;
          actual["footer_cell"] = f;
        }
      }
      if (expected.contains("filter_values")) {
        int col = Int(expected["filter_values"], "column", "expect filter_values");
        Json values = expected["filter_values"];
        values["values"] = g->FilterValues(col);
        actual["filter_values"] = values;
      }
    }
    Compare(actual, expected, name, step, failures,
            {"control", "windows", "window", "message_box"});
  }
}

template <class T>
T& Need(hl::Screen& screen, const std::string& name) {
  return screen.Get<T>(name);
}

// Turns one step of the file into steps of the headless script.
void Translate(const Json& step, int index, Failures& failures, std::vector<hl::Step>& out,
               Json* events) {
  std::string where = "step " + std::to_string(index + 1);
  if (!step.is_object()) throw FormatError{where + ": a step is an object"};
  std::string description = step.dump();
  auto act = [&](std::function<void(hl::Screen&)> action) {
    out.push_back(hl::Act(description, std::move(action)));
  };

  if (step.contains("expect")) {
    const Json& expected = step["expect"];
    out.push_back(hl::Check(description, [expected, &failures](hl::Screen& screen) {
      Expect(screen, expected, hl::Instance().CurrentStep(), failures);
    }));
    if (step.size() == 1) return;
  }
  if (step.contains("snapshot")) {
    std::string label = step["snapshot"].is_string() ? step["snapshot"].get<std::string>() : "";
    out.push_back(hl::Check(description, [label, events](hl::Screen& screen) {
      Json e;
      e["event"] = "snapshot";
      e["label"] = label;
      Json windows = Json::array();
      for (widgets::Form* f : screen.Windows()) windows.push_back(DescribeWindow(*f));
      e["windows"] = windows;
      events->push_back(e);
    }));
    return;
  }
  if (step.contains("screenshot")) {
    // A picture of the screen, taken where there is one (the native windows); headless the
    // step only records where it stood.
    std::string label = step["screenshot"].is_string() ? step["screenshot"].get<std::string>() : "";
    out.push_back(hl::Check(description, [label, events](hl::Screen&) {
      Json e;
      e["event"] = "screenshot";
      e["label"] = label;
      e["skipped"] = true;
      events->push_back(e);
    }));
    return;
  }
  if (step.contains("print_preview")) {
    // The print module's preview: a window of its own on Windows, which this step closes. The
    // Linux print module writes its pages as files and has returned by now.
    out.push_back(hl::Check(description, [events](hl::Screen&) {
      Json e;
      e["event"] = "print_preview";
      e["text"] = "the pages were written as files";
      events->push_back(e);
    }));
    return;
  }
  if (step.contains("answer")) {
    int button = widgets::ButtonResult(Str(step, "answer", where));
    if (button == 0) throw FormatError{where + ": unknown button " + step["answer"].dump()};
    hl::Step s = hl::Answer(button);
    s.description = description;
    out.push_back(std::move(s));
    return;
  }
  if (step.contains("dismiss")) {
    hl::Step s = hl::Dismiss();
    s.description = description;
    out.push_back(std::move(s));
    return;
  }
  if (step.contains("click")) {
    std::string name = Str(step, "click", where);
    act([name](hl::Screen& s) {
      if (!Need<widgets::FlatButton>(s, name).UserClick())
        s.Fail("button " + name + " is not visible");
    });
    return;
  }
  if (step.contains("double_click")) {
    std::string name = Str(step, "double_click", where);
    std::optional<std::pair<int, int>> cell;
    if (step.contains("row")) cell = {{Int(step, "row", where), Int(step, "column", where)}};
    act([name, cell](hl::Screen& s) {
      Control& c = s.Find(name);
      if (auto* g = dynamic_cast<widgets::Grid*>(&c)) {
        if (cell) g->UserClickCell(cell->first, cell->second);
        g->UserDoubleClick();
      } else if (auto* cb = dynamic_cast<widgets::ComboBox*>(&c)) {
        cb->UserDoubleClick();
      } else {
        s.Fail(name + " takes no double click");
      }
    });
    return;
  }
  if (step.contains("focus")) {
    std::string name = Str(step, "focus", where);
    act([name](hl::Screen& s) {
      Control& c = s.Find(name);
      if (!c.CanFocus()) s.Fail(name + " cannot take the keyboard focus");
      c.UserFocus();
    });
    return;
  }
  if (step.contains("type")) {
    std::string text = Str(step, "type", where), name = Str(step, "into", where);
    act([name, text](hl::Screen& s) {
      Control& c = s.Find(name);
      if (auto* g = dynamic_cast<widgets::Grid*>(&c)) {
        g->UserType(text);
      } else if (auto* cb = dynamic_cast<widgets::ComboBox*>(&c)) {
        cb->UserType(text);
      } else if (auto* t = dynamic_cast<widgets::DBTextControl*>(&c)) {
        t->UserType(text);
      } else {
        s.Fail(name + " takes no typing");
      }
    });
    return;
  }
  if (step.contains("key")) {
    int key = KeyCode(step["key"], where);
    widgets::ShiftState shift = Shift(step);
    std::string name = Str(step, "into", where);
    act([name, key, shift](hl::Screen& s) {
      Control& c = s.Find(name);
      if (auto* g = dynamic_cast<widgets::Grid*>(&c)) {
        g->UserKeyDown(key, shift);
      } else if (auto* cb = dynamic_cast<widgets::ComboBox*>(&c)) {
        cb->UserKeyDown(key, shift);
      } else {
        s.Fail(name + " takes no keys");
      }
    });
    return;
  }
  if (step.contains("choose")) {
    std::string item = Str(step, "choose", where), name = Str(step, "in", where);
    act([name, item](hl::Screen& s) {
      auto& cb = Need<widgets::ComboBox>(s, name);
      const auto& items = cb.Items();
      auto it = std::find(items.begin(), items.end(), item);
      if (it == items.end()) s.Fail(name + " has no item " + item);
      if (!cb.DroppedDown()) cb.UserToggleList();
      cb.UserChooseItem(static_cast<int>(it - items.begin()));
    });
    return;
  }
  if (step.contains("toggle_list")) {
    std::string name = Str(step, "toggle_list", where);
    act([name](hl::Screen& s) { Need<widgets::ComboBox>(s, name).UserToggleList(); });
    return;
  }
  if (step.contains("pick_date")) {
    rtl::DateTime date = Date(Str(step, "pick_date", where), where);
    std::string name = Str(step, "in", where);
    act([name, date](hl::Screen& s) { Need<widgets::DatePicker>(s, name).UserPickDate(date); });
    return;
  }
  if (step.contains("edit_cell")) {
    std::string name = Str(step, "edit_cell", where), text = Str(step, "text", where);
    int row = Int(step, "row", where), col = Int(step, "column", where);
    int close = widgets::kVkReturn;
    if (step.contains("close")) {
      close = step["close"] == "none" ? 0 : KeyCode(step["close"], where);
    }
    act([name, row, col, text, close](hl::Screen& s) {
      auto& g = Need<widgets::Grid>(s, name);
      if (row < 0 || row >= g.RowCount() || col < 0 || col >= g.ColumnCount()) {
        s.Fail(name + " has no cell " + std::to_string(row) + "," + std::to_string(col));
      }
      g.UserEditCell(row, col, text, close);
    });
    return;
  }
  if (step.contains("click_cell")) {
    std::string name = Str(step, "click_cell", where);
    int row = Int(step, "row", where), col = Int(step, "column", where);
    act([name, row, col](hl::Screen& s) {
      auto& g = Need<widgets::Grid>(s, name);
      if (row < 0 || row >= g.RowCount() || col < 0 || col >= g.ColumnCount()) {
        s.Fail(name + " has no cell " + std::to_string(row) + "," + std::to_string(col));
      }
      g.UserClickCell(row, col);
    });
    return;
  }
  if (step.contains("move")) {
    std::string name = Str(step, "move", where);
    if (!step.contains("to")) throw FormatError{where + ": \"move\" needs \"to\""};
    const Json& to = step["to"];
    act([name, to](hl::Screen& s) {
      auto& g = Need<widgets::Grid>(s, name);
      if (to.is_number_integer()) {
        int row = to.get<int>();
        if (row < 0 || row >= g.RowCount()) s.Fail(name + " has no row " + std::to_string(row));
        g.UserMoveTo(row);
      } else if (to == "next") {
        g.UserKeyDown(widgets::kVkDown);
      } else if (to == "prior") {
        g.UserKeyDown(widgets::kVkUp);
      } else if (to == "first") {
        g.UserKeyDown(widgets::kVkHome, widgets::kCtrl);
      } else if (to == "last") {
        g.UserKeyDown(widgets::kVkEnd, widgets::kCtrl);
      } else {
        s.Fail("move to " + to.dump() + " is not a row, next, prior, first or last");
      }
    });
    return;
  }
  if (step.contains("filter")) {
    std::string name = Str(step, "filter", where);
    int col = Int(step, "column", where);
    std::optional<std::string> value;
    if (step.contains("value") && step["value"].is_string())
      value = step["value"].get<std::string>();
    act([name, col, value](hl::Screen& s) {
      auto& g = Need<widgets::Grid>(s, name);
      if (col < 0 || col >= g.ColumnCount()) s.Fail(name + " has no column " + std::to_string(col));
      if (value) {
        auto values = g.FilterValues(col);
        if (std::find(values.begin(), values.end(), *value) == values.end()) {
          s.Fail(name + ": the filter of column " + std::to_string(col) + " offers no " + *value);
        }
      }
      g.UserChooseFilter(col, value);
    });
    return;
  }
  if (step.contains("drag_caption")) {
    int dx = Int(step["drag_caption"], "dx", where), dy = Int(step["drag_caption"], "dy", where);
    act([dx, dy](hl::Screen& s) { s.Top().UserDragCaption(dx, dy); });
    return;
  }
  if (step.contains("close_window")) {
    act([](hl::Screen& s) { s.Top().UserClose(); });
    return;
  }
  if (step.contains("expect_database")) {
    throw FormatError{where + ": \"expect_database\" is not supported by this runner yet"};
  }
  throw FormatError{where + ": no known action in " + description};
}

Json ObservationJson(const hl::Observation& o) {
  Json e;
  e["event"] = o.event;
  if (o.step != 0) e["step"] = o.step;
  if (!o.window.empty()) e["window"] = o.window;
  if (o.event == "window_shown" || o.event == "window_closed" || o.event == "window_destroyed" ||
      o.event == "message_box") {
    e["caption"] = o.caption;
  }
  if (!o.text.empty()) e["text"] = o.text;
  if (o.event == "message_box") {
    e["icon"] = o.icon;
    e["buttons"] = o.buttons;
  }
  if (o.event == "window_shown" || o.event == "message_box") e["owner"] = o.owner;
  if (o.event == "window_closed") e["modal_result"] = o.result;
  return e;
}

// A host text: UTF-8 in the file, single-byte GBK for the module; null stays null.
std::optional<std::string> HostText(const Json& host, const char* key) {
  if (!host.contains(key) || host[key].is_null()) return std::nullopt;
  return rtl::Utf8ToGbk(host[key].get<std::string>());
}

}  // namespace

RunResult Run(const Json& scenario, const std::string& server_host) {
  RunResult result;
  result.log["scenario"] = scenario.value("name", "");
  Json calls = Json::array();
  Json call_list;
  if (scenario.contains("calls")) {
    call_list = scenario["calls"];
  } else {
    call_list = Json::array({scenario});
  }
  hl::HeadlessPlatform& platform = hl::Instance();
  for (size_t ci = 0; ci < call_list.size(); ++ci) {
    const Json& call = call_list[ci];
    Json host = call.value("host", Json::object());
    Json call_log;
    Json events = Json::array();
    Failures failures{&result.failures, &events};

    std::vector<hl::Step> steps;
    const Json& file_steps = call.contains("steps") ? call["steps"] : Json::array();
    for (size_t i = 0; i < file_steps.size(); ++i) {
      Translate(file_steps[i], static_cast<int>(i), failures, steps, &events);
    }
    platform.Reset();
    platform.SetScript(std::move(steps));
    platform.OnObservation = [&events](const hl::Observation& o) {
      events.push_back(ObservationJson(o));
    };

    uintptr_t handle = host.value("app_handle", 0u);
    auto user = HostText(host, "user_code");
    auto access = HostText(host, "access_mode");
    std::optional<std::string> server = HostText(host, "server_host");
    if (!server_host.empty()) server = server_host;
    showdll(handle, host.value("arg2", 0), user ? user->c_str() : nullptr,
            access ? access->c_str() : nullptr, host.value("arg5", 0),
            server ? server->c_str() : nullptr);
    platform.OnObservation = nullptr;

    std::string prefix = "call " + std::to_string(ci + 1) + ": ";
    if (platform.Failed()) result.failures.push_back(prefix + platform.Failure());
    if (platform.StepsLeft() > 0) {
      result.failures.push_back(prefix + std::to_string(platform.StepsLeft()) +
                                " steps left when the module returned");
    }
    if (call.contains("after")) {
      hl::Screen screen(platform);
      Expect(screen, call["after"], 0, failures);
    }
    call_log["host"] = host;
    call_log["events"] = events;
    calls.push_back(call_log);
  }
  result.log["calls"] = calls;
  result.log["passed"] = result.Passed();
  result.log["failures"] = result.failures;
  return result;
}

}  // namespace scenario
