#include "player.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "widgets/win32/automation.h"

namespace windriver {
namespace {

namespace automation = widgets::win32::automation;
namespace step = scenario::step;

constexpr wchar_t kHostClass[] = L"LirraMISDemoHost";
constexpr int kHostOpen = 201;
constexpr int kHostQuit = 202;
constexpr char kPreviewClass[] = "LirraLossPreview";
constexpr int kPreviewClose = 104;

std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

RECT ChildRect(HWND hwnd) {
  RECT r;
  GetWindowRect(hwnd, &r);
  HWND parent = GetParent(hwnd);
  if (parent != nullptr && (GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_CHILD) != 0) {
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  }
  return r;
}

bool Inside(HWND outer, HWND inner) {
  return inner != nullptr && (inner == outer || IsChild(outer, inner));
}

class Player {
 public:
  Player(const PlayOptions& options, PlayResult& result) : options_(options), result_(result) {}

  void RunCall(const scenario::Call& call, size_t index);
  void Finish();

 private:
  // The call cannot go on: recorded as a failure, and the host is ended.
  void Lost(Json& events, int number, const std::string& message);

  struct HostArgs {
    std::string user, mode, server;
    bool operator==(const HostArgs&) const = default;
  };

  // --- Bookkeeping. ---
  void Event(Json e) { events_->push_back(std::move(e)); }
  void Failed(int step, const std::string& what) {
    std::string message = "step " + std::to_string(step) + ": " + what;
    result_.failures.push_back(prefix_ + message);
    Json e;
    e["event"] = "expectation_failed";
    e["step"] = step;
    e["message"] = message;
    Event(e);
  }
  [[noreturn]] void Abort(const std::string& what) { throw GuiError{what}; }

  // --- The host. ---
  void StartHost(const HostArgs& args);
  void OpenModule();

  // --- Waiting and watching. ---
  void Settle(int step);
  void ObserveWindows(int step);
  void CheckBox(int step, HWND box);
  HWND WaitForBox(int ms);
  void ClosePreviews(int step);
  void CheckPreviewIsModal(int step);

  // --- Reading the windows. ---
  Json Actual(HWND hwnd);
  Json BoxActual(HWND box);
  void Expect(const scenario::Expectation& expected, int step);
  Json Snapshot();
  // Captures the screen under the next numbered label; the file name, or nothing when screenshots
  // are not taken.
  std::optional<std::string> Capture(const std::string& label);

  // --- Acting. ---
  HWND Control(const std::string& name);
  HWND EnsureFocus(HWND control);
  POINT CellPoint(HWND grid, int row, int column);
  void ClickAt(HWND window, POINT pt, bool double_click = false);
  // One step: a look at the windows, or an action as posted input; then the windows settle.
  void Perform(const scenario::Step& step);
  void Do(const std::monostate&, int) {}
  void Do(const step::Snapshot& s, int number);
  void Do(const step::Screenshot& s, int number);
  void Do(const step::PrintPreview& p, int number);
  void Do(const step::Answer& a, int number);
  void Do(const step::Dismiss& d, int number);
  void Do(const step::Click& c, int number);
  void Do(const step::DoubleClick& d, int number);
  void Do(const step::Focus& f, int number);
  void Do(const step::Type& t, int number);
  void Do(const step::Key& k, int number);
  void Do(const step::Choose& c, int number);
  void Do(const step::ToggleList& t, int number);
  void Do(const step::PickDate& p, int number);
  void Do(const step::EditCell& e, int number);
  void Do(const step::ClickCell& c, int number);
  void Do(const step::Move& m, int number);
  void Do(const step::Filter& f, int number);
  void Do(const step::DragCaption& d, int number);
  void Do(const step::CloseWindow& c, int number);
  // Answers the open message box with `button` (0: dismisses it).
  void AnswerBox(int button, int number);
  // Clicks an item of an open list box (a drop-down list's or a filter's), scrolling it in.
  void ClickListItem(HWND list, int index, int x);

  const PlayOptions& options_;
  PlayResult& result_;
  Gui gui_;
  std::optional<HostArgs> host_args_;
  Json* events_ = nullptr;
  std::string prefix_;
  std::set<HWND> shown_;
  int shot_ = 0;
};

void Player::StartHost(const HostArgs& args) {
  if (gui_.Running() && host_args_ && *host_args_ == args) return;
  if (gui_.Running()) gui_.Quit(kHostQuit, 10000);
  std::string arguments = "/user " + Quoted(args.user) + " /mode " + Quoted(args.mode) +
                          " /server " + Quoted(args.server);
  std::wstring command = Wide(arguments);
  if (!options_.host_options.empty()) command += L" " + options_.host_options;
  gui_.Launch(options_.host_program, command, options_.host_directory, kHostClass);
  host_args_ = args;
  shown_.clear();
}

void Player::OpenModule() {
  HWND open = GetDlgItem(gui_.HostWindow(), kHostOpen);
  gui_.Post(gui_.HostWindow(), WM_COMMAND, MAKEWPARAM(kHostOpen, BN_CLICKED),
            reinterpret_cast<LPARAM>(open));
  // The module's first window appears once showdll has created it.
  for (int waited = 0; waited < 120000; waited += 20) {
    if (gui_.WaitForModule(0) && !gui_.Forms().empty()) break;
    if (!gui_.Running()) Abort("the host program ended while the module was opened");
    Sleep(20);
  }
  if (gui_.Forms().empty()) Abort("no window of the module appeared");
}

void Player::Settle(int step) {
  if (!gui_.Sync()) Abort("the module's thread does not come back to its message loop");
  ObserveWindows(step);
}

void Player::ObserveWindows(int step) {
  std::vector<HWND> forms = gui_.Forms();
  HWND host = gui_.HostWindow();
  for (HWND f : forms) {
    if (shown_.count(f) != 0) continue;
    shown_.insert(f);
    Json e;
    e["event"] = "window_shown";
    e["step"] = step;
    e["window"] = NameOf(f).empty() ? ClassOf(f) : NameOf(f);
    e["class"] = ClassOf(f);
    e["caption"] = Text(f);
    HWND owner = GetWindow(f, GW_OWNER);
    e["owned_by_host"] = owner == host;
    Event(e);
    if (owner != host) Failed(step, "the window " + Text(f) + " is not owned by the host's window");
    if ((GetWindowLongPtrW(f, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0) {
      Failed(step, "the window " + Text(f) + " has a task-bar entry of its own");
    }
  }
  for (auto it = shown_.begin(); it != shown_.end();) {
    if (std::find(forms.begin(), forms.end(), *it) == forms.end()) {
      Json e;
      e["event"] = "window_closed";
      e["step"] = step;
      Event(e);
      it = shown_.erase(it);
    } else {
      ++it;
    }
  }
  // Modal showing: the host waits while a window of the module is shown; only the top one of
  // the module's windows takes input.
  if (!forms.empty() && IsWindowEnabled(host)) {
    Failed(step, "the host's window is enabled while " + Text(forms.back()) + " is shown");
  }
  for (size_t i = 0; i + 1 < forms.size(); ++i) {
    if (IsWindowEnabled(forms[i])) {
      Failed(step, "the window " + Text(forms[i]) + " is enabled under " + Text(forms.back()));
    }
  }
  HWND box = gui_.MessageBoxWindow();
  if (box != nullptr) CheckBox(step, box);
  // The window that takes the operator's input is the active one: the message box, else the
  // top window of the module, else (the module closed) the host's window again.
  if (gui_.FindTopLevel(kPreviewClass) == nullptr) {
    HWND expected = box != nullptr ? box : !forms.empty() ? forms.back() : host;
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(gui_.Thread(), &info) && info.hwndActive != expected) {
      Failed(step, "the active window is \"" + Text(info.hwndActive) + "\", expected \"" +
                       Text(expected) + "\"");
    }
  }
}

void Player::CheckBox(int step, HWND box) {
  if (GetWindow(box, GW_OWNER) != gui_.HostWindow()) {
    Failed(step, "the message box \"" + Text(box) + "\" is not owned by the host's window");
  }
  for (HWND f : gui_.Forms()) {
    if (IsWindowEnabled(f)) {
      Failed(step, "the window " + Text(f) + " is enabled while a message box is open");
    }
  }
}

void Player::CheckPreviewIsModal(int step) {
  // The browser waits for the print module: nothing of the module takes input meanwhile.
  for (HWND f : gui_.Forms()) {
    if (IsWindowEnabled(f)) {
      Failed(step, "the window " + Text(f) + " is enabled while the print preview is open");
    }
  }
  if (IsWindowEnabled(gui_.HostWindow())) {
    Failed(step, "the host's window is enabled while the print preview is open");
  }
}

HWND Player::WaitForBox(int ms) {
  for (int waited = 0; waited <= ms; waited += 20) {
    if (HWND box = gui_.MessageBoxWindow()) return box;
    Sleep(20);
    gui_.Sync(5000);
  }
  return nullptr;
}

void Player::ClosePreviews(int step) {
  // The print module's preview is modal: the operator closes it before going on.
  for (int i = 0; i < 5; ++i) {
    HWND preview = gui_.FindTopLevel(kPreviewClass);
    if (preview == nullptr) return;
    Json e;
    e["event"] = "print_preview";
    e["step"] = step;
    e["caption"] = Text(preview);
    e["owned_by_host"] = GetWindow(preview, GW_OWNER) == gui_.HostWindow();
    Event(e);
    CheckPreviewIsModal(step);
    gui_.Post(preview, WM_COMMAND, kPreviewClose, 0);
    Settle(step);
  }
}

Json Player::Actual(HWND hwnd) {
  Json actual = gui_.Describe(hwnd);
  std::string kind = actual.value("kind", "");
  // What Windows itself tells about the window takes the place of the module's account of it.
  LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
  actual["visible"] = (style & WS_VISIBLE) != 0;
  actual["enabled"] = IsWindowEnabled(hwnd) != FALSE;
  RECT r = kind == "Form" ? RECT{} : ChildRect(hwnd);
  if (kind == "Form") GetWindowRect(hwnd, &r);
  actual["left"] = r.left;
  actual["top"] = r.top;
  actual["width"] = r.right - r.left;
  actual["height"] = r.bottom - r.top;
  if (kind == "Form" || kind == "FlatButton" || kind == "Panel" || kind == "Label") {
    actual["caption"] = Text(hwnd);
  }
  if (kind == "DBEdit" || kind == "ComboBox") actual["text"] = Text(hwnd);
  if (kind == "ComboBox") {
    Json items = Json::array();
    int count = static_cast<int>(gui_.Send(hwnd, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      int n = static_cast<int>(gui_.Send(hwnd, CB_GETLBTEXTLEN, i, 0));
      std::wstring w(static_cast<size_t>(std::max(n, 0)) + 1, L'\0');
      gui_.Send(hwnd, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(w.data()));
      w.resize(static_cast<size_t>(std::max(n, 0)));
      items.push_back(Utf8(w));
    }
    actual["items"] = items;
    actual["dropped_down"] = gui_.Send(hwnd, CB_GETDROPPEDSTATE, 0, 0) != 0;
  }
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (GetGUIThreadInfo(gui_.Thread(), &info) && info.hwndActive == GetAncestor(hwnd, GA_ROOT) &&
      kind != "Form") {
    actual["focused"] = Inside(hwnd, info.hwndFocus);
  }
  return actual;
}

Json Player::BoxActual(HWND box) {
  Json actual;
  actual["caption"] = Text(box);
  std::string text;
  std::vector<std::pair<int, int>> buttons;  // x, id
  for (HWND c = GetWindow(box, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    std::string cls = ClassOf(c);
    LONG_PTR style = GetWindowLongPtrW(c, GWL_STYLE);
    if ((style & WS_VISIBLE) == 0) continue;
    if (cls == "Static" && (style & SS_TYPEMASK) != SS_ICON) {
      std::string t = Text(c);
      if (t.size() > text.size()) text = t;
    } else if (cls == "Button") {
      RECT r;
      GetWindowRect(c, &r);
      buttons.emplace_back(r.left, GetDlgCtrlID(c));
    }
  }
  std::sort(buttons.begin(), buttons.end());
  actual["text"] = text;
  auto flags = reinterpret_cast<UINT_PTR>(GetPropW(box, automation::kPropBoxFlags));
  unsigned f = static_cast<unsigned>(flags & ~automation::kBoxFlagsMark);
  actual["icon"] = flags != 0 ? scenario::IconName(f) : "unknown";
  Json names = Json::array();
  for (auto& b : buttons) names.push_back(scenario::ButtonName(b.second));
  actual["buttons"] = names;
  if (flags != 0) actual["flags"] = f;
  return actual;
}

Json Player::Snapshot() {
  Json windows = Json::array();
  for (HWND f : gui_.Forms()) {
    Json w = Actual(f);
    Json controls = Json::array();
    std::vector<HWND> children;
    ForEachChild(f, [&](HWND h) {
      if (!NameOf(h).empty()) children.push_back(h);
      return true;
    });
    for (HWND c : children) controls.push_back(Actual(c));
    w["controls"] = controls;
    windows.push_back(w);
  }
  return windows;
}

HWND Player::Control(const std::string& name) {
  HWND form = gui_.ActiveForm();
  if (form == nullptr) Abort("no window is shown");
  HWND c = gui_.FindControl(form, name);
  if (c == nullptr) Abort("the window " + NameOf(form) + " has no control " + name);
  return c;
}

void Player::ClickAt(HWND window, POINT pt, bool double_click) {
  // The input goes to the window under the point, as the mouse would deliver it.
  POINT screen = pt;
  ClientToScreen(window, &screen);
  HWND target = WindowFromPoint(screen);
  if (target == nullptr || !Inside(window, target)) target = window;
  POINT local = screen;
  ScreenToClient(target, &local);
  gui_.Click(target, local, double_click);
}

HWND Player::EnsureFocus(HWND control) {
  HWND focus = gui_.Focus();
  if (Inside(control, focus)) return focus;
  // A click into the control, where a click does nothing but give it the focus.
  Json d = gui_.Describe(control);
  std::string kind = d.value("kind", "");
  RECT rc;
  GetClientRect(control, &rc);
  if (kind == "Grid") {
    gui_.Click(control, POINT{4, 4});
  } else if (kind == "ComboBox") {
    HWND edit = FindWindowExW(control, nullptr, L"Edit", nullptr);
    RECT er;
    GetClientRect(edit != nullptr ? edit : control, &er);
    gui_.Click(edit != nullptr ? edit : control, POINT{er.right / 2, er.bottom / 2});
  } else if (kind == "DatePicker") {
    gui_.Click(control, POINT{2, rc.bottom / 2});
  } else {
    gui_.Click(control, POINT{std::max<LONG>(1, rc.right / 2), std::max<LONG>(1, rc.bottom / 2)});
  }
  if (!gui_.Sync()) Abort("the module does not answer");
  focus = gui_.Focus();
  if (!Inside(control, focus)) Abort(NameOf(control) + " cannot take the keyboard focus");
  return focus;
}

POINT Player::CellPoint(HWND grid, int row, int column) {
  LRESULT p = gui_.Send(grid, automation::MsgGridCellPoint(), static_cast<WPARAM>(row),
                        static_cast<LPARAM>(column));
  if (p == -1) {
    Abort(NameOf(grid) + " has no cell " + std::to_string(row) + "," + std::to_string(column));
  }
  return POINT{GET_X_LPARAM(p), GET_Y_LPARAM(p)};
}

void Player::Expect(const scenario::Expectation& e, int step) {
  std::vector<std::string> out;
  std::vector<HWND> forms = gui_.Forms();
  if (e.windows) {
    Json captions = Json::array();
    for (HWND f : forms) captions.push_back(Text(f));
    if (captions != *e.windows) {
      out.push_back("open windows are " + captions.dump() + ", expected " + e.windows->dump());
    }
  }
  if (e.window) {
    std::string caption = forms.empty() ? "" : Text(forms.back());
    if (caption != *e.window) {
      out.push_back("the active window is \"" + caption + "\", expected \"" + *e.window + "\"");
    }
  }
  if (e.box == scenario::Expectation::Box::kNone) {
    if (HWND box = gui_.MessageBoxWindow()) {
      out.push_back("a message box is open: \"" + BoxActual(box).value("text", "") + "\"");
    }
  } else if (e.box == scenario::Expectation::Box::kOpen) {
    HWND box = WaitForBox(5000);
    if (box == nullptr) {
      out.push_back("no message box is open");
    } else {
      scenario::Compare(BoxActual(box), e.box_expected, "message box", out);
    }
  }
  if (e.control) {
    const std::string& name = *e.control;
    HWND form = forms.empty() ? nullptr : forms.back();
    HWND c = gui_.FindControl(form, name);
    if (form == nullptr) {
      out.push_back("no window is shown to look for " + name);
    } else if (c == nullptr) {
      out.push_back("the window has no control " + name);
    } else {
      scenario::CheckControl(name, Actual(c), e.control_expected, out);
    }
  }
  for (const auto& o : out) Failed(step, o);
}

std::optional<std::string> Player::Capture(const std::string& label) {
  if (!options_.screenshots || !options_.capture) return std::nullopt;
  char buf[16];
  snprintf(buf, sizeof buf, "%02d-", ++shot_);
  std::string numbered = std::string(buf) + label;
  options_.capture(numbered);
  return numbered + ".png";
}

void Player::Perform(const scenario::Step& step) {
  const int number = step.number;
  Json e;
  e["event"] = "step";
  e["step"] = number;
  e["text"] = step.text;
  Event(e);
  fprintf(stderr, "windriver: step %d %s\n", number, step.text.c_str());

  if (!step.answers && !step.looks) {
    ClosePreviews(number);
    if (HWND box = gui_.MessageBoxWindow()) {
      Abort("the step acts on a window, but the message box \"" + Text(box) + "\": \"" +
            BoxActual(box).value("text", "") + "\" is open");
    }
  }
  if (step.expect) Expect(*step.expect, number);
  std::visit([&](const auto& action) { Do(action, number); }, step.action);
}

void Player::Do(const step::Snapshot& s, int number) {
  Json e;
  e["event"] = "snapshot";
  e["step"] = number;
  e["label"] = s.label;
  e["windows"] = Snapshot();
  Event(e);
}

void Player::Do(const step::Screenshot& s, int number) {
  Json e;
  e["event"] = "screenshot";
  e["step"] = number;
  e["label"] = s.label;
  gui_.Flush();
  Sleep(250);
  if (auto file = Capture(s.label)) {
    e["file"] = *file;
  } else {
    e["skipped"] = true;
  }
  Event(e);
}

void Player::Do(const step::PrintPreview& want, int number) {
  HWND preview = nullptr;
  for (int waited = 0; waited < 30000 && preview == nullptr; waited += 50) {
    preview = gui_.FindTopLevel(kPreviewClass);
    if (preview == nullptr) {
      Sleep(50);
      gui_.Sync(5000);
    }
  }
  if (preview == nullptr) Abort("no print preview is open");
  std::string caption = Text(preview);
  Json p;
  p["event"] = "print_preview";
  p["step"] = number;
  p["caption"] = caption;
  p["owned_by_host"] = GetWindow(preview, GW_OWNER) == gui_.HostWindow();
  if (GetWindow(preview, GW_OWNER) != gui_.HostWindow()) {
    Failed(number, "the print preview is not owned by the host's window");
  }
  CheckPreviewIsModal(number);
  if (want.caption_contains && caption.find(*want.caption_contains) == std::string::npos) {
    Failed(number, "the print preview's caption \"" + caption + "\" does not contain " +
                       *want.caption_contains);
  }
  if (want.screenshot && options_.screenshots && options_.capture) {
    gui_.Flush();
    Sleep(400);
    if (auto file = Capture(*want.screenshot)) p["file"] = *file;
  }
  Event(p);
  gui_.Post(preview, WM_COMMAND, kPreviewClose, 0);
  Settle(number);
}

void Player::Do(const step::Answer& a, int number) {
  AnswerBox(a.button, number);
}

void Player::Do(const step::Dismiss&, int number) {
  AnswerBox(0, number);
}

void Player::AnswerBox(int button, int number) {
  HWND box = WaitForBox(10000);
  if (box == nullptr) Abort("the step answers a message box, but none is open");
  Json actual = BoxActual(box);
  std::vector<int> ids;
  for (const auto& b : actual["buttons"])
    ids.push_back(scenario::ButtonNamed(b.get<std::string>()));
  int id = button;
  if (id != 0) {
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
      Abort(std::string("the step answers ") + scenario::ButtonName(id) +
            ", but the message box \"" + actual.value("text", "") + "\" offers " +
            actual["buttons"].dump());
    }
  } else if (std::find(ids.begin(), ids.end(), IDCANCEL) != ids.end()) {
    id = IDCANCEL;
  } else if (ids.size() == 1 && ids[0] == IDOK) {
    id = IDOK;
  } else {
    Abort("the message box \"" + actual.value("text", "") + "\" cannot be dismissed");
  }
  Json m;
  m["event"] = "message_box";
  m["step"] = number;
  m["caption"] = actual["caption"];
  m["text"] = actual["text"];
  m["icon"] = actual["icon"];
  m["buttons"] = actual["buttons"];
  m["owned_by_host"] = GetWindow(box, GW_OWNER) == gui_.HostWindow();
  m["answer"] = scenario::ButtonName(id);
  Event(m);
  gui_.Post(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
            reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
  Settle(number);
}

void Player::Do(const step::Click& c, int number) {
  HWND b = Control(c.control);
  if ((GetWindowLongPtrW(b, GWL_STYLE) & WS_VISIBLE) == 0 || !IsWindowVisible(b)) {
    Abort("button " + NameOf(b) + " is not visible");
  }
  RECT rc;
  GetClientRect(b, &rc);
  gui_.Click(b, POINT{rc.right / 2, rc.bottom / 2});
  Settle(number);
}

void Player::Do(const step::DoubleClick& d, int number) {
  HWND c = Control(d.control);
  Json described = gui_.Describe(c);
  std::string kind = described.value("kind", "");
  if (kind == "Grid") {
    POINT pt = d.cell ? CellPoint(c, d.cell->row, d.cell->column)
                      : CellPoint(c, std::max(0, described.value("current_row", 0)),
                                  described.value("focused_column", 0));
    ClickAt(c, pt, true);
  } else if (kind == "ComboBox") {
    HWND edit = FindWindowExW(c, nullptr, L"Edit", nullptr);
    RECT er;
    GetClientRect(edit, &er);
    gui_.Click(edit, POINT{er.right / 2, er.bottom / 2}, true);
  } else {
    Abort(NameOf(c) + " takes no double click");
  }
  Settle(number);
}

void Player::Do(const step::Focus& f, int number) {
  EnsureFocus(Control(f.control));
  Settle(number);
}

void Player::Do(const step::Type& t, int number) {
  HWND c = Control(t.control);
  std::string kind = gui_.Describe(c).value("kind", "");
  if (kind != "Grid" && kind != "ComboBox" && kind != "DBEdit" && kind != "DBMemo") {
    Abort(NameOf(c) + " takes no typing");
  }
  HWND focus = EnsureFocus(c);
  // The operator replaces an edit's text: it is marked first.
  if (kind == "DBEdit" || kind == "DBMemo") gui_.Send(focus, EM_SETSEL, 0, -1);
  gui_.Char(focus, t.text);
  Settle(number);
}

void Player::Do(const step::Key& k, int number) {
  HWND c = Control(k.control);
  std::string kind = gui_.Describe(c).value("kind", "");
  if (kind != "Grid" && kind != "ComboBox") Abort(NameOf(c) + " takes no keys");
  HWND focus = EnsureFocus(c);
  gui_.Key(focus, k.key, k.modifiers.shift, k.modifiers.ctrl);
  Settle(number);
}

void Player::ClickListItem(HWND list, int index, int x) {
  int height = std::max(1, static_cast<int>(gui_.Send(list, LB_GETITEMHEIGHT, 0, 0)));
  RECT lr;
  GetClientRect(list, &lr);
  int visible = std::max(1, static_cast<int>(lr.bottom) / height);
  int top = static_cast<int>(gui_.Send(list, LB_GETTOPINDEX, 0, 0));
  if (index < top || index >= top + visible) {
    gui_.Send(list, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
    top = static_cast<int>(gui_.Send(list, LB_GETTOPINDEX, 0, 0));
  }
  gui_.Click(list, POINT{x, (index - top) * height + height / 2});
}

void Player::Do(const step::Choose& c, int number) {
  HWND combo = Control(c.control);
  Json actual = Actual(combo);
  int index = -1;
  for (size_t i = 0; i < actual["items"].size(); ++i) {
    if (actual["items"][i] == c.item) {
      index = static_cast<int>(i);
      break;
    }
  }
  if (index < 0) Abort(NameOf(combo) + " has no item " + c.item);
  RECT rc;
  GetClientRect(combo, &rc);
  if (gui_.Send(combo, CB_GETDROPPEDSTATE, 0, 0) == 0) {
    gui_.Click(combo, POINT{rc.right - 8, rc.bottom / 2});
    Settle(number);
  }
  HWND list = gui_.FindTopLevel("ComboLBox");
  if (list == nullptr) Abort("the list of " + NameOf(combo) + " did not open");
  RECT lr;
  GetClientRect(list, &lr);
  ClickListItem(list, index, std::max<int>(2, static_cast<int>(lr.right) / 2));
  Settle(number);
}

void Player::Do(const step::ToggleList& t, int number) {
  HWND c = Control(t.control);
  RECT rc;
  GetClientRect(c, &rc);
  gui_.Click(c, POINT{rc.right - 8, rc.bottom / 2});
  Settle(number);
}

void Player::Do(const step::PickDate& p, int number) {
  HWND c = Control(p.control);
  const auto yyyymmdd = static_cast<WPARAM>(p.year) * 10000 + static_cast<WPARAM>(p.month) * 100 +
                        static_cast<WPARAM>(p.day);
  gui_.Send(c, automation::MsgPickDate(), yyyymmdd, 0);
  Settle(number);
}

void Player::Do(const step::ClickCell& c, int number) {
  HWND grid = Control(c.control);
  ClickAt(grid, CellPoint(grid, c.cell.row, c.cell.column));
  Settle(number);
}

void Player::Do(const step::EditCell& e, int number) {
  HWND grid = Control(e.control);
  ClickAt(grid, CellPoint(grid, e.cell.row, e.cell.column));
  Settle(number);
  if (!gui_.Describe(grid).value("editing", false)) {
    gui_.Key(gui_.Focus(), VK_F2);
    Settle(number);
    if (!gui_.Describe(grid).value("editing", false)) return;  // the cell takes no editing
  }
  if (e.text.empty()) {
    gui_.Key(gui_.Focus(), VK_BACK);
  } else {
    gui_.Char(gui_.Focus(), e.text);
  }
  Settle(number);
  if (e.close_key != 0) {
    gui_.Key(gui_.Focus(), e.close_key);
    Settle(number);
  }
}

void Player::Do(const step::Move& m, int number) {
  HWND grid = Control(m.control);
  if (m.to == step::Move::To::kRow) {
    Json d = gui_.Describe(grid);
    if (m.row < 0 || m.row >= d.value("row_count", 0)) {
      Abort(NameOf(grid) + " has no row " + std::to_string(m.row));
    }
    ClickAt(grid, CellPoint(grid, m.row, d.value("focused_column", 0)));
  } else {
    int key = m.to == step::Move::To::kNext    ? VK_DOWN
              : m.to == step::Move::To::kPrior ? VK_UP
              : m.to == step::Move::To::kFirst ? VK_HOME
                                               : VK_END;
    HWND focus = EnsureFocus(grid);
    gui_.Key(focus, key, false, key == VK_HOME || key == VK_END);
  }
  Settle(number);
}

void Player::Do(const step::Filter& f, int number) {
  HWND grid = Control(f.control);
  ClickAt(grid, CellPoint(grid, -1, f.column));
  Settle(number);
  HWND list = gui_.FindControl(gui_.ActiveForm(), NameOf(grid) + ".filter");
  if (list == nullptr || !IsWindowVisible(list)) {
    Abort("the filter of " + NameOf(grid) + " did not open");
  }
  int count = static_cast<int>(gui_.Send(list, LB_GETCOUNT, 0, 0));
  int index = f.value ? -1 : 0;
  for (int i = 1; f.value && i < count; ++i) {
    int n = static_cast<int>(gui_.Send(list, LB_GETTEXTLEN, i, 0));
    std::wstring w(static_cast<size_t>(std::max(n, 0)) + 1, L'\0');
    gui_.Send(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(w.data()));
    w.resize(static_cast<size_t>(std::max(n, 0)));
    if (Utf8(w) == *f.value) {
      index = i;
      break;
    }
  }
  if (index < 0) {
    gui_.Key(list, VK_ESCAPE);
    Settle(number);
    Abort(NameOf(grid) + ": the filter of column " + std::to_string(f.column) + " offers no " +
          *f.value);
  }
  ClickListItem(list, index, 4);
  Settle(number);
}

void Player::Do(const step::DragCaption& d, int number) {
  HWND form = gui_.ActiveForm();
  if (form == nullptr) Abort("no window is shown");
  RECT wr;
  GetWindowRect(form, &wr);
  int x = (wr.left + wr.right) / 2, y = wr.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 3;
  // The system asks the window what lies under the mouse; only a caption point is dragged.
  LRESULT hit = gui_.Send(form, WM_NCHITTEST, 0, MAKELPARAM(x, y));
  if (hit == HTCAPTION) {
    SetWindowPos(form, nullptr, wr.left + d.dx, wr.top + d.dy, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  Settle(number);
}

void Player::Do(const step::CloseWindow&, int number) {
  HWND form = gui_.ActiveForm();
  if (form == nullptr) Abort("no window is shown");
  gui_.Post(form, WM_SYSCOMMAND, SC_CLOSE, 0);
  Settle(number);
}

void Player::RunCall(const scenario::Call& call, size_t index) {
  Json call_log;
  Json events = Json::array();
  events_ = &events;
  prefix_ = "call " + std::to_string(index + 1) + ": ";
  const scenario::HostArguments& host = call.host;
  HostArgs args{host.user_code.value_or(""), host.access_mode.value_or(""),
                host.server_host.value_or("")};
  if (!options_.server_host.empty()) args.server = options_.server_host;
  int number = 0;
  try {
    StartHost(args);
    OpenModule();
    Settle(0);
    for (const scenario::Step& step : call.steps) {
      number = step.number;
      Perform(step);
    }
    // The operator's last step should have closed the module's window: showdll returns.
    ClosePreviews(number);
    for (int waited = 0; waited < 10000 && !gui_.Forms().empty(); waited += 50) {
      Sleep(50);
      gui_.Sync(5000);
    }
    ObserveWindows(number);
    if (!gui_.Forms().empty()) {
      Abort("the steps ran out while the window \"" + Text(gui_.ActiveForm()) +
            "\" waits for input");
    }
    if (HWND box = gui_.MessageBoxWindow()) {
      Abort("the steps ran out while the message box \"" + BoxActual(box).value("text", "") +
            "\" is open");
    }
    if (!IsWindowEnabled(gui_.HostWindow())) {
      Failed(number, "the host's window stays disabled after the module returned");
    }
    if (call.after) Expect(*call.after, number);
  } catch (const GuiError& e) {
    Lost(events, number, e.message);
  } catch (const std::exception& e) {  // a reply that could not be read
    Lost(events, number, e.what());
  }
  call_log["host"] = host.json;
  call_log["events"] = events;
  result_.log["calls"].push_back(call_log);
  events_ = nullptr;
}

void Player::Lost(Json& events, int number, const std::string& message) {
  result_.failures.push_back(prefix_ + "step " + std::to_string(number) + ": " + message);
  Json f;
  f["event"] = "failure";
  f["step"] = number;
  f["text"] = message;
  events.push_back(f);
  fprintf(stderr, "windriver: %sstep %d: %s\n", prefix_.c_str(), number, message.c_str());
  gui_.Quit(kHostQuit, 100);  // the call is lost: the host goes with it
  host_args_.reset();
}

void Player::Finish() {
  if (gui_.Running()) gui_.Quit(kHostQuit, 15000);
}

}  // namespace

PlayResult Play(const scenario::Scenario& scenario, const PlayOptions& options) {
  PlayResult result;
  result.log["scenario"] = scenario.name;
  result.log["platform"] = "win32";
  result.log["calls"] = Json::array();
  Player player(options, result);
  try {
    for (size_t i = 0; i < scenario.calls.size(); ++i) player.RunCall(scenario.calls[i], i);
  } catch (...) {
    player.Finish();
    throw;
  }
  player.Finish();
  result.log["passed"] = result.Passed();
  result.log["failures"] = result.failures;
  return result;
}

}  // namespace windriver
