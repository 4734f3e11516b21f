// A simulated operator: runs the module in-process on the headless platform (through showdll,
// exactly as the host calls it) and audits and cancels documents through the module's own windows
// and handlers: the browser's "审核" and "取消审核" buttons, the audit date dialog, the audit
// editor's "保存". It talks to the application server only through the module's own code, so
// every request on the wire is one the module sends.
//
// One operator per process: the module keeps process-wide state (the host context, the browser
// instance), as it does inside the host.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace load {

// What one operation came to, as the operator saw it.
struct OpRecord {
  char kind = 'A';         // 'A' audit, 'C' cancel, 'U' unit switch
  int64_t doc = 0;         // DHAO00
  std::string outcome;     // see OperatorOutcomes below
  int64_t start_us = 0;    // steady clock, microseconds since the epoch of the clock
  int64_t total_us = 0;    // from the button click until control is back in the browser
  int64_t save_us = -1;    // audit: the "保存" click (batch, apply, list reload), -1 when not
  int64_t editor_us = -1;  // audit: the date dialog's "确定" until the editor waits for input
  std::string message;     // the last message box text seen, for failures
};

// Outcomes:
//   audit:  "audited" (saved), "already_audited" (refused by the browser or at the editor's
//           reload), "save_failed" (the save reported an error; the operator left with "No"),
//           "missing", "not_found" (the document is not in the list), "error" (another error)
//   cancel: "cancelled", "not_audited", "closed_period", "cancel_failed" (the rollback notice),
//           "not_found", "error"

// What the operator does in the browser.
enum class Work {
  kAuditCancel,  // audits documents the list shows unaudited, cancels those it shows audited
  kUnitSwitch,   // chooses the units of the title band in turn on the newest document
  kNone,         // closes the browser as soon as it waits for input (activation only)
};

struct OperatorOptions {
  Work work = Work::kAuditCancel;
  std::string server_host;  // the host's ServerHost ("127.0.0.1:PORT")
  std::string user_code = "1001";
  int64_t newest_doc = 100000;  // the highest document number of the list
  int hot_documents = 200;      // documents newest_doc - hot + 1 .. newest_doc are worked on
  int max_ops = 0;              // stop after this many operations (0: no limit)
  double seconds = 10;          // stop once this much time has passed (0: no limit)
  uint64_t seed = 1;
  // Called at the moments a fault injector aims at: 'S' right before the editor's save is
  // clicked, 'C' when the cancel's confirmation is answered (its transaction starts next),
  // 'R' once the browser is shown and ready.
  std::function<void(char mark)> on_mark;
  // Called after every operation.
  std::function<void(const OpRecord&)> on_op;
};

struct OperatorResult {
  std::vector<OpRecord> ops;
  int64_t activation_us = 0;  // showdll until the browser waits for its first input
  std::string failure;        // the script failed (the module did something unforeseen)
};

// Runs one showdll call: works until the limits are reached, then closes the browser.
OperatorResult RunOperator(const OperatorOptions& options);

}  // namespace load
