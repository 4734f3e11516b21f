#include "runner.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "entry/QMDWLRTSH.h"
#include "rtl/datetime.h"
#include "rtl/gbk.h"
#include "widgets/application.h"
#include "widgets/controls.h"
#include "widgets/describe.h"
#include "widgets/grid.h"
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

Json Described(Control& control) {
  return Json::parse(widgets::DescribeControl(control));
}

// Checks one expectation against the screen.
void Expect(hl::Screen& screen, const Expectation& e, int step, Failures& failures) {
  if (e.windows) {
    Json captions = Json::array();
    for (widgets::Form* f : screen.Windows()) captions.push_back(f->Caption());
    if (captions != *e.windows) {
      failures.Add(step, "open windows are " + captions.dump() + ", expected " + e.windows->dump());
    }
  }
  if (e.window) {
    std::string caption = screen.Windows().empty() ? "" : screen.Windows().back()->Caption();
    if (caption != *e.window) {
      failures.Add(step,
                   "the active window is \"" + caption + "\", expected \"" + *e.window + "\"");
    }
  }
  const widgets::MessageBoxSpec* box = screen.Box();
  if (e.box == Expectation::Box::kNone && box != nullptr) {
    failures.Add(step, "a message box is open: \"" + box->text + "\"");
  } else if (e.box == Expectation::Box::kOpen) {
    if (box == nullptr) {
      failures.Add(step, "no message box is open");
    } else {
      Json actual;
      actual["caption"] = box->caption;
      actual["text"] = box->text;
      actual["icon"] = IconName(box->flags);
      Json buttons = Json::array();
      for (int b : widgets::MessageBoxButtons(box->flags)) buttons.push_back(ButtonName(b));
      actual["buttons"] = buttons;
      actual["flags"] = box->flags;
      std::vector<std::string> out;
      Compare(actual, e.box_expected, "message box", out);
      for (const auto& o : out) failures.Add(step, o);
    }
  }
  if (e.control) {
    const std::string& name = *e.control;
    if (screen.Windows().empty()) {
      failures.Add(step, "no window is shown to look for " + name);
      return;
    }
    Control* c = screen.Windows().back()->FindControl(name);
    if (c == nullptr) {
      failures.Add(step, "the window has no control " + name);
      return;
    }
    std::vector<std::string> out;
    CheckControl(name, Described(*c), e.control_expected, out);
    for (const auto& o : out) failures.Add(step, o);
  }
}

// A grid of the active window with the cell there; fails the script otherwise.
widgets::Grid& GridWithCell(hl::Screen& s, const std::string& name, const Cell& cell) {
  auto& g = s.Get<widgets::Grid>(name);
  if (cell.row < 0 || cell.row >= g.RowCount() || cell.column < 0 ||
      cell.column >= g.ColumnCount()) {
    s.Fail(name + " has no cell " + std::to_string(cell.row) + "," + std::to_string(cell.column));
  }
  return g;
}

widgets::ShiftState Shift(const Modifiers& m) {
  return (m.shift ? widgets::kShift : 0u) | (m.ctrl ? widgets::kCtrl : 0u) |
         (m.alt ? widgets::kAlt : 0u);
}

// Turns the typed steps of one call into the headless platform's script: one method per kind of
// step, each giving the script's step that performs it.
class Translator {
 public:
  Translator(Failures& failures, Json& events) : failures_(failures), events_(events) {}

  void Add(const Step& step, std::vector<hl::Step>& out) {
    description_ = step.text;
    if (step.expect) {
      Expectation expected = *step.expect;
      Failures* failures = &failures_;
      out.push_back(hl::Check(description_, [expected, failures](hl::Screen& screen) {
        Expect(screen, expected, hl::Instance().CurrentStep(), *failures);
      }));
    }
    if (std::holds_alternative<std::monostate>(step.action)) return;
    out.push_back(std::visit([this](const auto& s) { return Do(s); }, step.action));
  }

 private:
  hl::Step Act(std::function<void(hl::Screen&)> action) const {
    return hl::Act(description_, std::move(action));
  }
  hl::Step Look(std::function<void(hl::Screen&)> look) const {
    return hl::Check(description_, std::move(look));
  }
  void Event(Json e) const { events_.push_back(std::move(e)); }

  hl::Step Do(const std::monostate&) const {
    return Look([](hl::Screen&) {});
  }
  hl::Step Do(const step::Snapshot& s) const {
    Json* events = &events_;
    return Look([label = s.label, events](hl::Screen& screen) {
      Json e;
      e["event"] = "snapshot";
      e["label"] = label;
      Json windows = Json::array();
      for (widgets::Form* f : screen.Windows()) {
        windows.push_back(Json::parse(widgets::DescribeWindow(*f)));
      }
      e["windows"] = windows;
      events->push_back(e);
    });
  }
  // A picture of the screen is taken where there is one (the real windows); headless the step
  // only records where it stood.
  hl::Step Do(const step::Screenshot& s) const {
    Json* events = &events_;
    return Look([label = s.label, events](hl::Screen&) {
      Json e;
      e["event"] = "screenshot";
      e["label"] = label;
      e["skipped"] = true;
      events->push_back(e);
    });
  }
  // The print module's preview is a window of its own on Windows, which this step closes; the
  // Linux print module writes its pages as files and has returned by now.
  hl::Step Do(const step::PrintPreview&) const {
    Json* events = &events_;
    return Look([events](hl::Screen&) {
      Json e;
      e["event"] = "print_preview";
      e["text"] = "the pages were written as files";
      events->push_back(e);
    });
  }
  hl::Step Do(const step::Answer& a) const {
    hl::Step s = hl::Answer(a.button);
    s.description = description_;
    return s;
  }
  hl::Step Do(const step::Dismiss&) const {
    hl::Step s = hl::Dismiss();
    s.description = description_;
    return s;
  }
  hl::Step Do(const step::Click& c) const {
    return Act([name = c.control](hl::Screen& s) {
      if (!s.Get<widgets::FlatButton>(name).UserClick()) {
        s.Fail("button " + name + " is not visible");
      }
    });
  }
  hl::Step Do(const step::DoubleClick& d) const {
    return Act([d](hl::Screen& s) {
      Control& c = s.Find(d.control);
      if (auto* g = dynamic_cast<widgets::Grid*>(&c)) {
        if (d.cell) g->UserClickCell(d.cell->row, d.cell->column);
        g->UserDoubleClick();
      } else if (auto* cb = dynamic_cast<widgets::ComboBox*>(&c)) {
        cb->UserDoubleClick();
      } else {
        s.Fail(d.control + " takes no double click");
      }
    });
  }
  hl::Step Do(const step::Focus& f) const {
    return Act([name = f.control](hl::Screen& s) {
      Control& c = s.Find(name);
      if (!c.CanFocus()) s.Fail(name + " cannot take the keyboard focus");
      c.UserFocus();
    });
  }
  hl::Step Do(const step::Type& t) const {
    return Act([t](hl::Screen& s) {
      Control& c = s.Find(t.control);
      if (auto* g = dynamic_cast<widgets::Grid*>(&c)) {
        g->UserType(t.text);
      } else if (auto* cb = dynamic_cast<widgets::ComboBox*>(&c)) {
        cb->UserType(t.text);
      } else if (auto* text = dynamic_cast<widgets::DBTextControl*>(&c)) {
        text->UserType(t.text);
      } else {
        s.Fail(t.control + " takes no typing");
      }
    });
  }
  hl::Step Do(const step::Key& k) const {
    return Act([k](hl::Screen& s) {
      Control& c = s.Find(k.control);
      if (auto* g = dynamic_cast<widgets::Grid*>(&c)) {
        g->UserKeyDown(k.key, Shift(k.modifiers));
      } else if (auto* cb = dynamic_cast<widgets::ComboBox*>(&c)) {
        cb->UserKeyDown(k.key, Shift(k.modifiers));
      } else {
        s.Fail(k.control + " takes no keys");
      }
    });
  }
  hl::Step Do(const step::Choose& c) const {
    return Act([c](hl::Screen& s) {
      auto& cb = s.Get<widgets::ComboBox>(c.control);
      const auto& items = cb.Items();
      auto it = std::find(items.begin(), items.end(), c.item);
      if (it == items.end()) s.Fail(c.control + " has no item " + c.item);
      if (!cb.DroppedDown()) cb.UserToggleList();
      cb.UserChooseItem(static_cast<int>(it - items.begin()));
    });
  }
  hl::Step Do(const step::ToggleList& t) const {
    return Act(
        [name = t.control](hl::Screen& s) { s.Get<widgets::ComboBox>(name).UserToggleList(); });
  }
  hl::Step Do(const step::PickDate& p) const {
    return Act([p](hl::Screen& s) {
      s.Get<widgets::DatePicker>(p.control).UserPickDate(rtl::EncodeDate(p.year, p.month, p.day));
    });
  }
  hl::Step Do(const step::EditCell& e) const {
    return Act([e](hl::Screen& s) {
      GridWithCell(s, e.control, e.cell)
          .UserEditCell(e.cell.row, e.cell.column, e.text, e.close_key);
    });
  }
  hl::Step Do(const step::ClickCell& c) const {
    return Act([c](hl::Screen& s) {
      GridWithCell(s, c.control, c.cell).UserClickCell(c.cell.row, c.cell.column);
    });
  }
  hl::Step Do(const step::Move& m) const {
    return Act([m](hl::Screen& s) {
      auto& g = s.Get<widgets::Grid>(m.control);
      switch (m.to) {
        case step::Move::To::kRow:
          if (m.row < 0 || m.row >= g.RowCount()) {
            s.Fail(m.control + " has no row " + std::to_string(m.row));
          }
          g.UserMoveTo(m.row);
          break;
        case step::Move::To::kNext:
          g.UserKeyDown(widgets::kVkDown);
          break;
        case step::Move::To::kPrior:
          g.UserKeyDown(widgets::kVkUp);
          break;
        case step::Move::To::kFirst:
          g.UserKeyDown(widgets::kVkHome, widgets::kCtrl);
          break;
        case step::Move::To::kLast:
          g.UserKeyDown(widgets::kVkEnd, widgets::kCtrl);
          break;
      }
    });
  }
  hl::Step Do(const step::Filter& f) const {
    return Act([f](hl::Screen& s) {
      auto& g = s.Get<widgets::Grid>(f.control);
      if (f.column < 0 || f.column >= g.ColumnCount()) {
        s.Fail(f.control + " has no column " + std::to_string(f.column));
      }
      if (f.value) {
        auto values = g.FilterValues(f.column);
        if (std::find(values.begin(), values.end(), *f.value) == values.end()) {
          s.Fail(f.control + ": the filter of column " + std::to_string(f.column) + " offers no " +
                 *f.value);
        }
      }
      g.UserChooseFilter(f.column, f.value);
    });
  }
  hl::Step Do(const step::DragCaption& d) const {
    return Act([d](hl::Screen& s) { s.Top().UserDragCaption(d.dx, d.dy); });
  }
  hl::Step Do(const step::CloseWindow&) const {
    return Act([](hl::Screen& s) { s.Top().UserClose(); });
  }

  Failures& failures_;
  Json& events_;
  std::string description_;
};

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
std::optional<std::string> HostText(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return rtl::Utf8ToGbk(*text);
}

}  // namespace

RunResult Run(const Scenario& scenario, const std::string& server_host) {
  RunResult result;
  result.log["scenario"] = scenario.name;
  Json calls = Json::array();
  hl::HeadlessPlatform& platform = hl::Instance();
  for (size_t ci = 0; ci < scenario.calls.size(); ++ci) {
    const Call& call = scenario.calls[ci];
    Json call_log;
    Json events = Json::array();
    Failures failures{&result.failures, &events};

    std::vector<hl::Step> steps;
    Translator translator(failures, events);
    for (const Step& s : call.steps) translator.Add(s, steps);
    platform.Reset();
    platform.SetScript(std::move(steps));
    platform.OnObservation = [&events](const hl::Observation& o) {
      events.push_back(ObservationJson(o));
    };

    const HostArguments& host = call.host;
    auto user = HostText(host.user_code);
    auto access = HostText(host.access_mode);
    std::optional<std::string> server = HostText(host.server_host);
    if (!server_host.empty()) server = server_host;
    showdll(host.app_handle, static_cast<intptr_t>(host.arg2), user ? user->c_str() : nullptr,
            access ? access->c_str() : nullptr, static_cast<intptr_t>(host.arg5),
            server ? server->c_str() : nullptr);
    platform.OnObservation = nullptr;

    std::string prefix = "call " + std::to_string(ci + 1) + ": ";
    if (platform.Failed()) result.failures.push_back(prefix + platform.Failure());
    if (platform.StepsLeft() > 0) {
      result.failures.push_back(prefix + std::to_string(platform.StepsLeft()) +
                                " steps left when the module returned");
    }
    if (call.after) {
      hl::Screen screen(platform);
      Expect(screen, *call.after, 0, failures);
    }
    call_log["host"] = host.json;
    call_log["events"] = events;
    calls.push_back(call_log);
  }
  result.log["calls"] = calls;
  result.log["passed"] = result.Passed();
  result.log["failures"] = result.failures;
  return result;
}

}  // namespace scenario
