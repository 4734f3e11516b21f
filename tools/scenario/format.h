// The scenario format (docs/scenarios.md), read once into typed steps. Two players execute
// them, each with one small method per kind of step: the headless runner in-process with the
// module (tools/scenario/runner.cpp) and the driver of the real windows (tools/windriver). Both
// check expectations against the one widget description (widgets/describe.h) with the helpers
// below, so that a file means the same to both.
//
// Builds for Linux and for the Windows builds alike (nlohmann's JSON headers and the toolkit's
// key and button codes, which are the Win32 values, are all it needs).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace scenario {

using Json = nlohmann::ordered_json;

// A file that does not follow the format: the message names the offending call and step.
struct FormatError {
  std::string message;
};

struct Cell {
  int row = 0;
  int column = 0;
};

struct Modifiers {
  bool shift = false;
  bool ctrl = false;
  bool alt = false;
};

// The kinds of step. Controls are named by their component names; keys are virtual key codes,
// buttons message box results (both as Win32 numbers them: widgets/types.h).
namespace step {
struct Click {
  std::string control;
};
struct DoubleClick {
  std::string control;
  std::optional<Cell> cell;  // a grid: the cell clicked first
};
struct Focus {
  std::string control;
};
struct Type {
  std::string control;
  std::string text;
};
struct Key {
  std::string control;
  int key = 0;
  Modifiers modifiers;
};
struct Choose {
  std::string control;
  std::string item;
};
struct ToggleList {
  std::string control;
};
struct PickDate {
  std::string control;
  int year = 0, month = 0, day = 0;
};
struct EditCell {
  std::string control;
  Cell cell;
  std::string text;
  int close_key = 13;  // 0: the editor stays open
};
struct ClickCell {
  std::string control;
  Cell cell;
};
struct Move {
  enum class To { kRow, kNext, kPrior, kFirst, kLast };
  std::string control;
  To to = To::kNext;
  int row = 0;  // kRow
};
struct Filter {
  std::string control;
  int column = 0;
  std::optional<std::string> value;  // nothing: all values
};
struct DragCaption {
  int dx = 0, dy = 0;
};
struct CloseWindow {};
struct Answer {
  int button = 0;  // kIdOk ... kIdNo
};
struct Dismiss {};
struct Snapshot {
  std::string label;
};
struct Screenshot {
  std::string label;
};
struct PrintPreview {
  std::optional<std::string> caption_contains;
  std::optional<std::string> screenshot;  // label
};
}  // namespace step

using Action =
    std::variant<std::monostate, step::Click, step::DoubleClick, step::Focus, step::Type, step::Key,
                 step::Choose, step::ToggleList, step::PickDate, step::EditCell, step::ClickCell,
                 step::Move, step::Filter, step::DragCaption, step::CloseWindow, step::Answer,
                 step::Dismiss, step::Snapshot, step::Screenshot, step::PrintPreview>;

// An "expect" object (or a call's "after").
struct Expectation {
  std::optional<Json> windows;        // the captions of the windows shown, first shown first
  std::optional<std::string> window;  // the active window's caption
  enum class Box { kUnchecked, kNone, kOpen };
  Box box = Box::kUnchecked;
  Json box_expected;                   // kOpen: the properties the box must have
  std::optional<std::string> control;  // a control of the active window, and...
  Json control_expected;               // ...the properties it must have (CheckControl)
};

struct Step {
  int number = 0;                     // 1-based within its call
  std::string text;                   // the step as written (JSON), for the log
  bool answers = false;               // answers a message box (may stand while one is open)
  bool looks = false;                 // only looks (expect, snapshot, screenshot, print preview)
  std::optional<Expectation> expect;  // checked before the action
  Action action;
};

struct HostArguments {
  Json json;  // as written, for the log
  uintptr_t app_handle = 0;
  int64_t arg2 = 0, arg5 = 0;
  // UTF-8 as written; nothing for a null reference.
  std::optional<std::string> user_code, access_mode, server_host;
};

struct Call {
  HostArguments host;
  std::vector<Step> steps;
  std::optional<Expectation> after;
};

struct Scenario {
  std::string name;
  std::vector<Call> calls;
};

// Reads a whole file; FormatError on anything the format does not provide for.
Scenario Parse(const Json& document);

// The name of a message box button ("OK", "Cancel", ...; "" for none) and back (0: none).
const char* ButtonName(int button);
int ButtonNamed(const std::string& name);
// The name of a message box's icon by its flags: "error", "question", "exclamation",
// "information" or "none".
const char* IconName(unsigned flags);

// Records, for every key of `expected`, how `actual` differs: a missing key, or another value
// (objects are compared key by key, deeper down). Keys in `skip` are passed over.
void Compare(const Json& actual, const Json& expected, const std::string& subject,
             std::vector<std::string>& failures, const std::vector<std::string>& skip = {});

// Checks a control's description against the properties an expectation asks of it, grids
// included: "cells", "cell", "footer", "footer_cell" and "filter_values" are read from the
// description's rows, footer and filter values.
void CheckControl(const std::string& name, const Json& description, const Json& expected,
                  std::vector<std::string>& failures);

}  // namespace scenario
