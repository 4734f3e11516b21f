#include "player.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "widgets/win32/automation.h"

namespace windriver {
namespace {

namespace automation = widgets::win32::automation;

constexpr wchar_t kHostClass[] = L"LirraMISDemoHost";
constexpr int kHostOpen = 201;
constexpr int kHostQuit = 202;
constexpr char kPreviewClass[] = "LirraLossPreview";
constexpr int kPreviewClose = 104;

const std::map<std::string, int>& KeyNames() {
  static const std::map<std::string, int> names = {
      {"Enter", VK_RETURN}, {"Tab", VK_TAB},        {"Escape", VK_ESCAPE}, {"Up", VK_UP},
      {"Down", VK_DOWN},    {"Left", VK_LEFT},      {"Right", VK_RIGHT},   {"Home", VK_HOME},
      {"End", VK_END},      {"PageUp", VK_PRIOR},   {"PageDown", VK_NEXT}, {"F2", VK_F2},
      {"F4", VK_F4},        {"Backspace", VK_BACK}, {"Delete", VK_DELETE},
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

const char* ButtonName(int id) {
  switch (id) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDABORT:
      return "Abort";
    case IDRETRY:
      return "Retry";
    case IDIGNORE:
      return "Ignore";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    default:
      return "";
  }
}

int ButtonId(const std::string& name) {
  for (int id = IDOK; id <= IDNO; ++id) {
    if (name == ButtonName(id)) return id;
  }
  return 0;
}

const char* IconName(unsigned flags) {
  switch (flags & 0xF0) {
    case MB_ICONHAND:
      return "error";
    case MB_ICONQUESTION:
      return "question";
    case MB_ICONEXCLAMATION:
      return "exclamation";
    case MB_ICONASTERISK:
      return "information";
    default:
      return "none";
  }
}

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

// Compares `actual` with every key of `expected` that it has.
void Compare(const Json& actual, const Json& expected, const std::string& subject,
             std::vector<std::string>& out, const std::vector<std::string>& skip = {}) {
  for (auto it = expected.begin(); it != expected.end(); ++it) {
    const std::string& key = it.key();
    if (std::find(skip.begin(), skip.end(), key) != skip.end()) continue;
    if (!actual.contains(key)) {
      out.push_back(subject + " has no \"" + key + "\" to compare");
      continue;
    }
    if (it.value().is_object() && actual[key].is_object()) {
      Compare(actual[key], it.value(), subject + "." + key, out);
      continue;
    }
    if (actual[key] != it.value()) {
      out.push_back(subject + ": " + key + " is " + actual[key].dump() + ", expected " +
                    it.value().dump());
    }
  }
}

class Player {
 public:
  Player(const PlayOptions& options, PlayResult& result) : options_(options), result_(result) {}

  void RunCall(const Json& call, size_t index);
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
  void Expect(const Json& expected, int step);
  Json Snapshot();

  // --- Acting. ---
  HWND Control(const std::string& name);
  HWND EnsureFocus(HWND control);
  POINT CellPoint(HWND grid, int row, int column);
  void ClickAt(HWND window, POINT pt, bool double_click = false);
  void Step(const Json& step, int number);

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
  actual["icon"] = flags != 0 ? IconName(f) : "unknown";
  Json names = Json::array();
  for (auto& b : buttons) names.push_back(ButtonName(b.second));
  actual["buttons"] = names;
  if (flags != 0) actual["flags"] = f;
  return actual;
}

void Player::Expect(const Json& expected, int step) {
  std::vector<std::string> out;
  std::vector<HWND> forms = gui_.Forms();
  if (expected.contains("windows")) {
    Json captions = Json::array();
    for (HWND f : forms) captions.push_back(Text(f));
    if (captions != expected["windows"]) {
      out.push_back("open windows are " + captions.dump() + ", expected " +
                    expected["windows"].dump());
    }
  }
  if (expected.contains("window")) {
    std::string caption = forms.empty() ? "" : Text(forms.back());
    if (caption != expected["window"].get<std::string>()) {
      out.push_back("the active window is \"" + caption + "\", expected " +
                    expected["window"].dump());
    }
  }
  if (expected.contains("message_box")) {
    const Json& want = expected["message_box"];
    HWND box = want.is_null() ? gui_.MessageBoxWindow() : WaitForBox(5000);
    if (want.is_null()) {
      if (box != nullptr)
        out.push_back("a message box is open: \"" + BoxActual(box).value("text", "") + "\"");
    } else if (box == nullptr) {
      out.push_back("no message box is open");
    } else {
      Compare(BoxActual(box), want, "message box", out);
    }
  }
  if (expected.contains("control")) {
    std::string name = expected["control"].get<std::string>();
    HWND form = forms.empty() ? nullptr : forms.back();
    HWND c = gui_.FindControl(form, name);
    if (form == nullptr) {
      out.push_back("no window is shown to look for " + name);
    } else if (c == nullptr) {
      out.push_back("the window has no control " + name);
    } else {
      Json actual = Actual(c);
      if (actual.contains("rows")) {
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
          if (row < 0 || row >= static_cast<int>(actual["rows"].size()) || col < 0 ||
              col >= static_cast<int>(actual["columns"].size())) {
            out.push_back(name + " has no cell " + std::to_string(row) + "," + std::to_string(col));
          } else {
            Json cell = actual["rows"][row][col];
            cell["row"] = row;
            cell["column"] = col;
            actual["cell"] = cell;
          }
        }
        if (actual.contains("footer")) {
          Json footer = actual["footer"];
          if (expected.contains("footer_cell")) {
            int col = Int(expected["footer_cell"], "column", "expect footer_cell");
            if (col < 0 || col >= static_cast<int>(footer.size())) {
              out.push_back(name + " has no column " + std::to_string(col));
            } else {
              Json f = footer[col];
              f["column"] = col;
              actual["footer_cell"] = f;
            }
          }
          Json texts = Json::array();
          for (const auto& f : footer) texts.push_back(f["text"]);
          actual["footer"] = texts;
        }
        if (expected.contains("filter_values")) {
          int col = Int(expected["filter_values"], "column", "expect filter_values");
          Json values = expected["filter_values"];
          const Json& all = actual["filter_values"];
          values["values"] =
              col >= 0 && col < static_cast<int>(all.size()) ? all[col] : Json::array();
          actual["filter_values"] = values;
        }
      }
      Compare(actual, expected, name, out, {"control", "windows", "window", "message_box"});
    }
  }
  for (const auto& o : out) Failed(step, o);
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

void Player::Step(const Json& step, int number) {
  std::string where = "step " + std::to_string(number);
  if (!step.is_object()) throw FormatError{where + ": a step is an object"};
  Json e;
  e["event"] = "step";
  e["step"] = number;
  e["text"] = step.dump();
  Event(e);
  fprintf(stderr, "windriver: %s %s\n", where.c_str(), step.dump().c_str());

  bool answers = step.contains("answer") || step.contains("dismiss");
  bool looks = step.contains("expect") || step.contains("snapshot") ||
               step.contains("screenshot") || step.contains("print_preview");
  if (!answers && !looks) {
    ClosePreviews(number);
    if (HWND box = gui_.MessageBoxWindow()) {
      Abort("the step acts on a window, but the message box \"" + Text(box) + "\": \"" +
            BoxActual(box).value("text", "") + "\" is open");
    }
  }
  if (step.contains("expect")) {
    Expect(step["expect"], number);
    if (step.size() == 1) return;
  }
  if (step.contains("snapshot") || step.contains("screenshot")) {
    std::string label =
        step.contains("snapshot") ? step.value("snapshot", "") : step.value("screenshot", "");
    Json s;
    s["event"] = step.contains("snapshot") ? "snapshot" : "screenshot";
    s["step"] = number;
    s["label"] = label;
    if (step.contains("snapshot")) s["windows"] = Snapshot();
    if (step.contains("screenshot")) {
      gui_.Flush();
      Sleep(250);
      if (options_.screenshots && options_.capture) {
        char buf[16];
        snprintf(buf, sizeof buf, "%02d-", ++shot_);
        s["file"] = std::string(buf) + label + ".png";
        options_.capture(std::string(buf) + label);
      } else {
        s["skipped"] = true;
      }
    }
    Event(s);
    return;
  }
  if (step.contains("print_preview")) {
    HWND preview = nullptr;
    for (int waited = 0; waited < 30000 && preview == nullptr; waited += 50) {
      preview = gui_.FindTopLevel(kPreviewClass);
      if (preview == nullptr) {
        Sleep(50);
        gui_.Sync(5000);
      }
    }
    if (preview == nullptr) Abort("no print preview is open");
    const Json& want = step["print_preview"];
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
    if (want.is_object() && want.contains("caption_contains")) {
      std::string part = want["caption_contains"].get<std::string>();
      if (caption.find(part) == std::string::npos) {
        Failed(number, "the print preview's caption \"" + caption + "\" does not contain " + part);
      }
    }
    if (want.is_object() && want.contains("screenshot") && options_.screenshots &&
        options_.capture) {
      gui_.Flush();
      Sleep(400);
      char buf[16];
      snprintf(buf, sizeof buf, "%02d-", ++shot_);
      std::string label = std::string(buf) + want["screenshot"].get<std::string>();
      p["file"] = label + ".png";
      options_.capture(label);
    }
    Event(p);
    gui_.Post(preview, WM_COMMAND, kPreviewClose, 0);
    Settle(number);
    return;
  }
  if (step.contains("answer") || step.contains("dismiss")) {
    HWND box = WaitForBox(10000);
    if (box == nullptr) Abort("the step answers a message box, but none is open");
    Json actual = BoxActual(box);
    std::vector<int> ids;
    for (const auto& b : actual["buttons"]) ids.push_back(ButtonId(b.get<std::string>()));
    int id = 0;
    if (step.contains("answer")) {
      id = ButtonId(Str(step, "answer", where));
      if (id == 0) throw FormatError{where + ": unknown button " + step["answer"].dump()};
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
        Abort(std::string("the step answers ") + ButtonName(id) + ", but the message box \"" +
              actual.value("text", "") + "\" offers " + actual["buttons"].dump());
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
    m["answer"] = ButtonName(id);
    Event(m);
    gui_.Post(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
              reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
    Settle(number);
    return;
  }
  if (step.contains("click")) {
    HWND b = Control(Str(step, "click", where));
    if ((GetWindowLongPtrW(b, GWL_STYLE) & WS_VISIBLE) == 0 || !IsWindowVisible(b)) {
      Abort("button " + NameOf(b) + " is not visible");
    }
    RECT rc;
    GetClientRect(b, &rc);
    gui_.Click(b, POINT{rc.right / 2, rc.bottom / 2});
    Settle(number);
    return;
  }
  if (step.contains("double_click")) {
    HWND c = Control(Str(step, "double_click", where));
    std::string kind = gui_.Describe(c).value("kind", "");
    if (kind == "Grid") {
      POINT pt{4, 4};
      if (step.contains("row")) {
        pt = CellPoint(c, Int(step, "row", where), Int(step, "column", where));
      } else {
        Json d = gui_.Describe(c);
        pt = CellPoint(c, std::max(0, d.value("current_row", 0)), d.value("focused_column", 0));
      }
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
    return;
  }
  if (step.contains("focus")) {
    EnsureFocus(Control(Str(step, "focus", where)));
    Settle(number);
    return;
  }
  if (step.contains("type")) {
    std::string text = Str(step, "type", where);
    HWND c = Control(Str(step, "into", where));
    std::string kind = gui_.Describe(c).value("kind", "");
    if (kind != "Grid" && kind != "ComboBox" && kind != "DBEdit" && kind != "DBMemo") {
      Abort(NameOf(c) + " takes no typing");
    }
    HWND focus = EnsureFocus(c);
    // The operator replaces an edit's text: it is marked first.
    if (kind == "DBEdit" || kind == "DBMemo") gui_.Send(focus, EM_SETSEL, 0, -1);
    gui_.Char(focus, text);
    Settle(number);
    return;
  }
  if (step.contains("key")) {
    int key = KeyCode(step["key"], where);
    bool shift = false, ctrl = false;
    if (step.contains("shift")) {
      for (const auto& k : step["shift"]) {
        shift = shift || k == "shift";
        ctrl = ctrl || k == "ctrl";
      }
    }
    HWND c = Control(Str(step, "into", where));
    std::string kind = gui_.Describe(c).value("kind", "");
    if (kind != "Grid" && kind != "ComboBox") Abort(NameOf(c) + " takes no keys");
    HWND focus = EnsureFocus(c);
    gui_.Key(focus, key, shift, ctrl);
    Settle(number);
    return;
  }
  if (step.contains("choose")) {
    std::string item = Str(step, "choose", where);
    HWND c = Control(Str(step, "in", where));
    Json actual = Actual(c);
    int index = -1;
    for (size_t i = 0; i < actual["items"].size(); ++i) {
      if (actual["items"][i] == item) {
        index = static_cast<int>(i);
        break;
      }
    }
    if (index < 0) Abort(NameOf(c) + " has no item " + item);
    RECT rc;
    GetClientRect(c, &rc);
    if (gui_.Send(c, CB_GETDROPPEDSTATE, 0, 0) == 0) {
      gui_.Click(c, POINT{rc.right - 8, rc.bottom / 2});
      Settle(number);
    }
    HWND list = gui_.FindTopLevel("ComboLBox");
    if (list == nullptr) Abort("the list of " + NameOf(c) + " did not open");
    int height = std::max(1, static_cast<int>(gui_.Send(list, LB_GETITEMHEIGHT, 0, 0)));
    RECT lr;
    GetClientRect(list, &lr);
    int visible = std::max(1, static_cast<int>(lr.bottom) / height);
    int top = static_cast<int>(gui_.Send(list, LB_GETTOPINDEX, 0, 0));
    if (index < top || index >= top + visible) {
      gui_.Send(list, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
      top = static_cast<int>(gui_.Send(list, LB_GETTOPINDEX, 0, 0));
    }
    POINT pt{std::max<LONG>(2, lr.right / 2), (index - top) * height + height / 2};
    gui_.Click(list, pt);
    Settle(number);
    return;
  }
  if (step.contains("toggle_list")) {
    HWND c = Control(Str(step, "toggle_list", where));
    RECT rc;
    GetClientRect(c, &rc);
    gui_.Click(c, POINT{rc.right - 8, rc.bottom / 2});
    Settle(number);
    return;
  }
  if (step.contains("pick_date")) {
    std::string date = Str(step, "pick_date", where);
    int y = 0, m = 0, d = 0;
    if (sscanf(date.c_str(), "%d-%d-%d", &y, &m, &d) != 3) {
      throw FormatError{where + ": not a date: " + date};
    }
    HWND c = Control(Str(step, "in", where));
    gui_.Send(c, automation::MsgPickDate(), static_cast<WPARAM>(y * 10000 + m * 100 + d), 0);
    Settle(number);
    return;
  }
  if (step.contains("edit_cell") || step.contains("click_cell")) {
    bool edit = step.contains("edit_cell");
    HWND grid = Control(Str(step, edit ? "edit_cell" : "click_cell", where));
    int row = Int(step, "row", where), col = Int(step, "column", where);
    ClickAt(grid, CellPoint(grid, row, col));
    Settle(number);
    if (!edit) return;
    std::string text = Str(step, "text", where);
    int close = VK_RETURN;
    if (step.contains("close")) close = step["close"] == "none" ? 0 : KeyCode(step["close"], where);
    if (!gui_.Describe(grid).value("editing", false)) {
      gui_.Key(gui_.Focus(), VK_F2);
      Settle(number);
      if (!gui_.Describe(grid).value("editing", false)) return;  // the cell takes no editing
    }
    if (text.empty()) {
      gui_.Key(gui_.Focus(), VK_BACK);
    } else {
      gui_.Char(gui_.Focus(), text);
    }
    Settle(number);
    if (close != 0) {
      gui_.Key(gui_.Focus(), close);
      Settle(number);
    }
    return;
  }
  if (step.contains("move")) {
    HWND grid = Control(Str(step, "move", where));
    if (!step.contains("to")) throw FormatError{where + ": \"move\" needs \"to\""};
    const Json& to = step["to"];
    if (to.is_number_integer()) {
      Json d = gui_.Describe(grid);
      int row = to.get<int>();
      if (row < 0 || row >= d.value("row_count", 0)) {
        Abort(NameOf(grid) + " has no row " + std::to_string(row));
      }
      ClickAt(grid, CellPoint(grid, row, d.value("focused_column", 0)));
    } else {
      int key = to == "next"    ? VK_DOWN
                : to == "prior" ? VK_UP
                : to == "first" ? VK_HOME
                : to == "last"  ? VK_END
                                : 0;
      if (key == 0) Abort("move to " + to.dump() + " is not a row, next, prior, first or last");
      HWND focus = EnsureFocus(grid);
      gui_.Key(focus, key, false, key == VK_HOME || key == VK_END);
    }
    Settle(number);
    return;
  }
  if (step.contains("filter")) {
    HWND grid = Control(Str(step, "filter", where));
    int col = Int(step, "column", where);
    std::optional<std::string> value;
    if (step.contains("value") && step["value"].is_string())
      value = step["value"].get<std::string>();
    ClickAt(grid, CellPoint(grid, -1, col));
    Settle(number);
    HWND list = gui_.FindControl(gui_.ActiveForm(), NameOf(grid) + ".filter");
    if (list == nullptr || !IsWindowVisible(list))
      Abort("the filter of " + NameOf(grid) + " did not open");
    int count = static_cast<int>(gui_.Send(list, LB_GETCOUNT, 0, 0));
    int index = value ? -1 : 0;
    for (int i = 1; value && i < count; ++i) {
      int n = static_cast<int>(gui_.Send(list, LB_GETTEXTLEN, i, 0));
      std::wstring w(static_cast<size_t>(std::max(n, 0)) + 1, L'\0');
      gui_.Send(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(w.data()));
      w.resize(static_cast<size_t>(std::max(n, 0)));
      if (Utf8(w) == *value) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      gui_.Key(list, VK_ESCAPE);
      Settle(number);
      Abort(NameOf(grid) + ": the filter of column " + std::to_string(col) + " offers no " +
            *value);
    }
    int height = std::max(1, static_cast<int>(gui_.Send(list, LB_GETITEMHEIGHT, 0, 0)));
    RECT lr;
    GetClientRect(list, &lr);
    int visible = std::max(1, static_cast<int>(lr.bottom) / height);
    int top = static_cast<int>(gui_.Send(list, LB_GETTOPINDEX, 0, 0));
    if (index < top || index >= top + visible) {
      gui_.Send(list, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
      top = static_cast<int>(gui_.Send(list, LB_GETTOPINDEX, 0, 0));
    }
    gui_.Click(list, POINT{4, (index - top) * height + height / 2});
    Settle(number);
    return;
  }
  if (step.contains("drag_caption")) {
    int dx = Int(step["drag_caption"], "dx", where), dy = Int(step["drag_caption"], "dy", where);
    HWND form = gui_.ActiveForm();
    if (form == nullptr) Abort("no window is shown");
    RECT wr;
    GetWindowRect(form, &wr);
    int x = (wr.left + wr.right) / 2, y = wr.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 3;
    // The system asks the window what lies under the mouse; only a caption point is dragged.
    LRESULT hit = gui_.Send(form, WM_NCHITTEST, 0, MAKELPARAM(x, y));
    if (hit == HTCAPTION) {
      SetWindowPos(form, nullptr, wr.left + dx, wr.top + dy, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    Settle(number);
    return;
  }
  if (step.contains("close_window")) {
    HWND form = gui_.ActiveForm();
    if (form == nullptr) Abort("no window is shown");
    gui_.Post(form, WM_SYSCOMMAND, SC_CLOSE, 0);
    Settle(number);
    return;
  }
  if (step.contains("expect_database")) {
    throw FormatError{where + ": \"expect_database\" is not supported"};
  }
  throw FormatError{where + ": no known action in " + step.dump()};
}

void Player::RunCall(const Json& call, size_t index) {
  Json host = call.value("host", Json::object());
  Json call_log;
  Json events = Json::array();
  events_ = &events;
  prefix_ = "call " + std::to_string(index + 1) + ": ";
  auto text = [&](const char* key) {
    if (!host.contains(key) || host[key].is_null()) return std::string();
    return host[key].get<std::string>();
  };
  HostArgs args{text("user_code"), text("access_mode"), text("server_host")};
  if (!options_.server_host.empty()) args.server = options_.server_host;
  const Json& steps = call.contains("steps") ? call["steps"] : Json::array();
  int number = 0;
  try {
    StartHost(args);
    OpenModule();
    Settle(0);
    for (const auto& step : steps) Step(step, ++number);
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
    if (call.contains("after")) Expect(call["after"], number);
  } catch (const GuiError& e) {
    Lost(events, number, e.message);
  } catch (const std::exception& e) {  // a reply that could not be read
    Lost(events, number, e.what());
  }
  call_log["host"] = host;
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

PlayResult Play(const Json& scenario, const PlayOptions& options) {
  PlayResult result;
  result.log["scenario"] = scenario.value("name", "");
  result.log["platform"] = "win32";
  result.log["calls"] = Json::array();
  Json calls = scenario.contains("calls") ? scenario["calls"] : Json::array({scenario});
  Player player(options, result);
  try {
    for (size_t i = 0; i < calls.size(); ++i) player.RunCall(calls[i], i);
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
