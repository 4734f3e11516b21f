// Unit QMDWLRT_SHSJU: the audit date dialog TFM_QMDWLRT_SHSJ.
//
// The browser's audit button opens it (ShowAuditDateDialog) once it has remembered the document
// in SelectedDocNo. The operator picks the audit date: a date on a calendar day before the
// document's date (CKRQ00 of the browser's current document) is refused; an accepted date becomes
// AuditDateText ("yyyy-mm-dd") and the dialog shows the audit editor over itself. When the editor
// has closed, or when the operator cancels, the dialog closes and releases itself.
//
// From its first activation on, the module's short date format is "yyyy-mm-dd" for as long as the
// module stays loaded, also after a cancel: every date text the module writes or reads with it
// (grids, edits, AuditDateText) has the form 2024-03-05.
//
// The dialog cannot be moved: DisMove answers every non-client hit test with HTCLIENT. On Win32
// the platform routes WM_NCHITTEST (0x0084) to the window's OnNcHitTest, which is DisMove.
#pragma once

#include <string>

#include "binding/data_form.h"
#include "widgets/application.h"
#include "widgets/controls.h"

namespace windows {

class TFM_QMDWLRT_SHSJ : public binding::DataForm {
 public:
  // The dialog with its layout (layout object "FM_QMDWLRT_SHSJ"), owned by `app`.
  explicit TFM_QMDWLRT_SHSJ(widgets::Application& app);
  ~TFM_QMDWLRT_SHSJ() override;

  widgets::Label* Label1 = nullptr;               // "审核日期"
  widgets::DatePicker* MonthCalendar1 = nullptr;  // the audit date
  widgets::FlatButton* btn_ok = nullptr;          // "确定"
  widgets::FlatButton* btn_cancel = nullptr;      // "取消"

  // Sets the module's short date format to "yyyy-mm-dd" and the picker to today's date.
  void FormActivate(widgets::Object& sender);
  // Refuses a date before the document's calendar day ("审核日期不能小于制单日期。", focus back on
  // the picker); otherwise sets AuditDateText, shows the audit editor modally and, once it has
  // closed, closes the dialog.
  void btn_okClick(widgets::Object& sender);
  // Closes the dialog; AuditDateText keeps its value and no editor opens.
  void btn_cancelClick(widgets::Object& sender);
  // Schedules the destruction of the dialog held in FM_QMDWLRT_SHSJ (this one); the close action
  // is left as the platform set it.
  void FormClose(widgets::Object& sender, widgets::CloseAction& action);
  // Answers a non-client hit test with HTCLIENT (1): no point of the window is a caption or a
  // border, so the window cannot be dragged or sized.
  void DisMove(widgets::HitTestMessage& message);
};

// The dialog of the latest audit start while it exists; null otherwise.
extern TFM_QMDWLRT_SHSJ* FM_QMDWLRT_SHSJ;

// The accepted audit date as yyyy-mm-dd; empty until the first accepted date. Read by the audit
// editor, which stores it as the document's audit date.
extern std::string AuditDateText;

// Creates a new audit date dialog owned by `app`, records it in FM_QMDWLRT_SHSJ and shows it
// modally; returns when the dialog has closed.
void ShowAuditDateDialog(widgets::Application& app);

}  // namespace windows
