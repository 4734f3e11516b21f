#include "operator.h"

#include <chrono>
#include <cmath>

#include "entry/QMDWLRTSH.h"
#include "widgets/controls.h"
#include "widgets/grid.h"
#include "widgets/headless/headless.h"
#include "windows/QMDWLRT_SHU.h"

namespace load {
namespace {

namespace hl = widgets::headless;

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr const char* kBrowserCaption = "溢耗单据管理";
constexpr const char* kDateCaption = "审核日期";
constexpr const char* kEditorCaption = "溢耗单据审核";

// Plays the operator. Every turn of a modal loop and every message box takes one step; the one
// step kept in the script is a Check step (allowed under a message box and in a modal loop),
// which decides on what the screen shows and queues the next step before it acts, so that
// modal loops opened by its own click find a step waiting.
class Operator {
 public:
  explicit Operator(const OperatorOptions& options)
      : options_(options), rng_(options.seed), platform_(hl::Instance()) {}

  OperatorResult Run() {
    platform_.Reset();
    QueueTurn();
    started_us_ = NowUs();
    showdll(4242, 0, options_.user_code.c_str(), "A", 0, options_.server_host.c_str());
    if (platform_.Failed()) result_.failure = platform_.Failure();
    platform_.Reset();
    return std::move(result_);
  }

 private:
  void QueueTurn() {
    platform_.Add(hl::Check("operator", [this](hl::Screen& s) { Turn(s); }));
  }

  void Turn(hl::Screen& s) {
    if (const widgets::MessageBoxSpec* box = s.Box()) {
      AnswerBox(*box);
      return;
    }
    QueueTurn();
    widgets::Form& top = s.Top();
    const std::string& caption = top.Caption();
    if (caption == kBrowserCaption) {
      BrowserTurn(s);
    } else if (caption == kDateCaption) {
      dialog_ok_us_ = NowUs();
      Click(s, "btn_ok");
    } else if (caption == kEditorCaption) {
      if (op_.editor_us < 0 && dialog_ok_us_ > 0) op_.editor_us = NowUs() - dialog_ok_us_;
      if (!save_tried_) {
        save_tried_ = true;
        Mark('S');
        int64_t t0 = NowUs();
        Click(s, "tb_save");
        op_.save_us = NowUs() - t0;
      } else {
        Click(s, "tb_exit");  // after a failed save: leave with "No"
      }
    } else {
      s.Fail("the operator does not know the window \"" + caption + "\"");
    }
  }

  void AnswerBox(const widgets::MessageBoxSpec& box) {
    const std::string icon = widgets::MessageBoxIconName(box.flags);
    int answer = widgets::kIdOk;
    if (box.text == "是否审核该单？") {
      answer = widgets::kIdNo;
    } else if (box.text == "确实要取消审核该单吗？") {
      confirmed_ = true;
      Mark('C');
    } else {
      boxes_.push_back(box.text);
      if (icon == std::string("error")) error_box_ = true;
    }
    platform_.Add(hl::Answer(answer));
    QueueTurn();
  }

  void Click(hl::Screen& s, const std::string& name) {
    if (!s.Get<widgets::FlatButton>(name).UserClick()) s.Fail(name + " is not visible");
  }

  void Mark(char m) {
    if (options_.on_mark) options_.on_mark(m);
  }

  bool Done() const {
    if (options_.work == Work::kNone) return true;
    if (options_.max_ops > 0 && static_cast<int>(result_.ops.size()) >= options_.max_ops)
      return true;
    return options_.seconds > 0 && (NowUs() - work_start_us_) > options_.seconds * 1e6;
  }

  void BrowserTurn(hl::Screen& s) {
    if (!ready_) {
      ready_ = true;
      result_.activation_us = NowUs() - started_us_;
      work_start_us_ = NowUs();
      Mark('R');
    }
    if (Done()) {
      Click(s, "tbexit");
      return;
    }
    windows::TFM_QMDWLRTSH& browser = *windows::FM_QMDWLRTSH;
    if (options_.work == Work::kUnitSwitch) {
      SwitchUnit(s);
      return;
    }
    auto& grid = s.Get<widgets::Grid>("dg_overfall_master");
    std::uniform_int_distribution<int> pick(0, options_.hot_documents - 1);
    const int64_t doc = options_.newest_doc - pick(rng_);
    op_ = OpRecord{};
    op_.doc = doc;
    dialog_ok_us_ = 0;
    save_tried_ = confirmed_ = error_box_ = false;
    boxes_.clear();
    op_.start_us = NowUs();
    if (!GoTo(grid, browser, doc)) {
      op_.kind = browser.cds_qmdwlrt1->FieldByName("YWRQ00").AsString().empty() ? 'A' : 'C';
      op_.outcome = "not_found";
      Finish();
      return;
    }
    // The operator audits what the list shows as not audited and cancels what it shows audited.
    const bool audited = !browser.cds_qmdwlrt1->FieldByName("YWRQ00").AsString().empty();
    op_.kind = audited ? 'C' : 'A';
    op_.start_us = NowUs();
    Click(s, audited ? "tbcancel" : "tbok");
    op_.total_us = NowUs() - op_.start_us;
    Classify();
    Finish();
  }

  // Chooses the next unit of the title band's selector, as the operator picks it from the list;
  // the browser converts the current document's quantities.
  void SwitchUnit(hl::Screen& s) {
    auto& cb = s.Get<widgets::ComboBox>("cb_smokeunit");
    const auto& items = cb.Items();
    op_ = OpRecord{};
    op_.kind = 'U';
    op_.doc = static_cast<int64_t>(
        std::llround(windows::FM_QMDWLRTSH->cds_qmdwlrt1->FieldByName("DHAO00").AsFloat()));
    boxes_.clear();
    error_box_ = false;
    if (items.empty()) s.Fail("the unit selector has no units");
    const int next = static_cast<int>((result_.ops.size() + 1) % items.size());
    op_.start_us = NowUs();
    if (!cb.DroppedDown()) cb.UserToggleList();
    cb.UserChooseItem(next);
    op_.total_us = NowUs() - op_.start_us;
    op_.outcome = boxes_.empty() ? "switched" : "error";
    if (!boxes_.empty()) op_.message = boxes_.back();
    Finish();
  }

  // Moves the list's cursor onto `doc` the way an operator does: scrolling down, packet after
  // packet, then clicking the row. The list is ordered by number from the newest down.
  bool GoTo(widgets::Grid& grid, windows::TFM_QMDWLRTSH& browser, int64_t doc) {
    data::ClientDataSet& list = *browser.cds_qmdwlrt1;
    const int row = static_cast<int>(options_.newest_doc - doc);
    for (int guard = 0; guard < 1000000; ++guard) {
      const int rows = grid.RowCount();
      if (rows == 0) return false;
      if (row < rows) {
        grid.UserMoveTo(row);
        break;
      }
      grid.UserMoveTo(rows - 1);
      grid.UserKeyDown(widgets::kVkDown);
      if (grid.RowCount() == rows) return false;  // no more packets
    }
    return static_cast<int64_t>(std::llround(list.FieldByName("DHAO00").AsFloat())) == doc;
  }

  void Classify() {
    auto saw = [this](const char* text) {
      for (const auto& b : boxes_)
        if (b == text) return true;
      return false;
    };
    if (!boxes_.empty()) op_.message = boxes_.back();
    if (op_.kind == 'A') {
      if (saw("该单已经审核。")) {
        op_.outcome = "already_audited";
      } else if (saw("该单已经不存在。")) {
        op_.outcome = "missing";
      } else if (error_box_ && save_tried_) {
        op_.outcome = "save_failed";
      } else if (save_tried_ && boxes_.empty()) {
        op_.outcome = "audited";
      } else {
        op_.outcome = "error";
      }
    } else {
      if (saw("该单尚未审核。")) {
        op_.outcome = "not_audited";
      } else if (saw("不能取消已结转业务月单据的审核。")) {
        op_.outcome = "closed_period";
      } else if (saw("由于种种原因，不能取消审核。\r请与管理员联系。")) {
        op_.outcome = "cancel_failed";
      } else if (confirmed_ && boxes_.empty()) {
        op_.outcome = "cancelled";
      } else {
        op_.outcome = "error";
      }
    }
  }

  void Finish() {
    result_.ops.push_back(op_);
    if (options_.on_op) options_.on_op(op_);
  }

  OperatorOptions options_;
  std::mt19937_64 rng_;
  hl::HeadlessPlatform& platform_;
  OperatorResult result_;
  OpRecord op_;
  std::vector<std::string> boxes_;
  bool save_tried_ = false, confirmed_ = false, error_box_ = false, ready_ = false;
  int64_t started_us_ = 0, work_start_us_ = 0, dialog_ok_us_ = 0;
};

}  // namespace

OperatorResult RunOperator(const OperatorOptions& options) {
  Operator op(options);
  return op.Run();
}

}  // namespace load
