#include "windows/QMDWLRT_SHSJU.h"

#include "rtl/datetime.h"
#include "rtl/error.h"
#include "windows/QMDWLRTSH_EDITU.h"
#include "windows/QMDWLRT_SHU.h"

namespace windows {

TFM_QMDWLRT_SHSJ* FM_QMDWLRT_SHSJ = nullptr;
std::string AuditDateText;

namespace {

constexpr unsigned kWarning = widgets::kMbIconExclamation | widgets::kMbOk;  // flags 48

}  // namespace

TFM_QMDWLRT_SHSJ::TFM_QMDWLRT_SHSJ(widgets::Application& app)
    : binding::DataForm(app, "FM_QMDWLRT_SHSJ") {
  SetCaption("审核日期");
  SetBorderStyle(widgets::BorderStyle::Dialog);
  SetBorderIcons(0);
  SetPosition(widgets::Position::Designed);
  SetBounds(259, 139, 242, 123);
  SetClientSize(242, 123);
  SetColor(widgets::kWindowColor);
  SetFont(widgets::ModuleFont());

  Label1 = Add<widgets::Label>(this, "Label1");
  Label1->SetBounds(27, 23, 48, 12);
  Label1->SetCaption("审核日期");

  MonthCalendar1 = Add<widgets::DatePicker>(this, "MonthCalendar1");
  MonthCalendar1->SetBounds(100, 18, 110, 20);
  MonthCalendar1->SetColor(widgets::kClWindow);
  MonthCalendar1->SetTabOrder(0);

  btn_ok = Add<widgets::FlatButton>(this, "btn_ok");
  btn_ok->SetBounds(28, 70, 65, 25);
  btn_ok->SetCaption("确定");
  btn_ok->SetGlyph("ok");
  btn_ok->SetGlyphLayout(widgets::GlyphLayout::Left);
  Bind(btn_ok->OnClick, "btn_okClick", &TFM_QMDWLRT_SHSJ::btn_okClick);

  btn_cancel = Add<widgets::FlatButton>(this, "btn_cancel");
  btn_cancel->SetBounds(124, 70, 65, 25);
  btn_cancel->SetCaption("取消");
  btn_cancel->SetGlyph("cancel");
  btn_cancel->SetGlyphLayout(widgets::GlyphLayout::Left);
  Bind(btn_cancel->OnClick, "btn_cancelClick", &TFM_QMDWLRT_SHSJ::btn_cancelClick);

  Bind(OnActivate, "FormActivate", &TFM_QMDWLRT_SHSJ::FormActivate);
  Bind(OnClose, "FormClose", &TFM_QMDWLRT_SHSJ::FormClose);
  // The platform routes WM_NCHITTEST (0x0084) here.
  Bind(OnNcHitTest, "DisMove", &TFM_QMDWLRT_SHSJ::DisMove);
}

TFM_QMDWLRT_SHSJ::~TFM_QMDWLRT_SHSJ() {
  if (FM_QMDWLRT_SHSJ == this) FM_QMDWLRT_SHSJ = nullptr;
}

void TFM_QMDWLRT_SHSJ::FormActivate(widgets::Object&) {
  // The module's own date format, for as long as it stays loaded; also after a cancel.
  rtl::SetShortDateFormat("yyyy-mm-dd");
  MonthCalendar1->SetDate(rtl::Today());
}

void TFM_QMDWLRT_SHSJ::btn_okClick(widgets::Object&) {
  if (FM_QMDWLRTSH == nullptr) throw rtl::Error("The document browser is not open");
  // An empty CKRQ00 reads as the zero date, before every date the picker offers.
  const rtl::DateTime made = FM_QMDWLRTSH->cds_qmdwlrt1->FieldByName("CKRQ00").AsDateTime();
  if (rtl::CalendarDay(MonthCalendar1->Date()) < rtl::CalendarDay(made)) {
    App().ShowMessageBox("审核日期不能小于制单日期。", "警告", kWarning);
    MonthCalendar1->SetFocus();
    return;
  }
  AuditDateText = rtl::DateToStr(MonthCalendar1->Date());
  FM_QMDWLRTSH_EDIT = App().CreateForm<TFM_QMDWLRTSH_EDIT>();
  FM_QMDWLRTSH_EDIT->ShowModal();
  Close();
}

void TFM_QMDWLRT_SHSJ::btn_cancelClick(widgets::Object&) {
  Close();
}

void TFM_QMDWLRT_SHSJ::FormClose(widgets::Object&, widgets::CloseAction&) {
  // The dialog the reference holds is released: this one while it is shown.
  (FM_QMDWLRT_SHSJ != nullptr ? FM_QMDWLRT_SHSJ : this)->Release();
}

void TFM_QMDWLRT_SHSJ::DisMove(widgets::HitTestMessage& message) {
  message.result = widgets::kHtClient;
}

void ShowAuditDateDialog(widgets::Application& app) {
  FM_QMDWLRT_SHSJ = app.CreateForm<TFM_QMDWLRT_SHSJ>();
  FM_QMDWLRT_SHSJ->ShowModal();
}

}  // namespace windows
