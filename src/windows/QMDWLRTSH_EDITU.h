// Unit QMDWLRTSH_EDITU: the audit editor TFM_QMDWLRTSH_EDIT.
//
// The audit date dialog creates it, records it in FM_QMDWLRTSH_EDIT and shows it modally. On
// activation it reloads the document named by SelectedDocNo through the browser's
// system-transaction connection, stamps the audit date (AuditDateText) and the operator
// (UserCode), and copies each line's current stock ("CK" rows of the document's warehouse). Its
// line grid colours every stock figure against the goods' warning thresholds and totals quantity,
// amount and tax. The operator corrects unit prices (amount and tax follow), amounts, taxes and
// the remark, then saves.
//
// What the editor guarantees:
// - No double audit. A document that already carries an audit date when it is reloaded is not
//   stamped: the editor says "该单已经审核。" and closes. A document that another operator audits
//   after the reload fails to save on the conflict and nothing changes.
// - A save is all or nothing. The stock batch ("TranPara") and the document's changes (apply
//   updates) go to the same system-transaction instance one right after the other, and the
//   server commits them together or not at all. Any failure, including errors the provider
//   reports in its error count, ends the save with the server's message in the error display;
//   the editor stays open with the operator's changes, and saving again lowers the stock once.
// - A tax rate of -100 percent (no tax can be computed) leaves the line's tax as it is.
// - Drawing never fails: an unreadable warning colour, "clNone" included, leaves the stock cell
//   in the grid's colours.
// - Closing, however it happens, reloads the browser's document list, sets its audit buttons by
//   whether the list is empty, and releases the editor. Unsaved changes are discarded.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "binding/data_form.h"
#include "data/dataset.h"
#include "remote/connection.h"
#include "widgets/application.h"
#include "widgets/controls.h"
#include "widgets/datasource.h"
#include "widgets/grid.h"

namespace windows {

class TFM_QMDWLRTSH_EDIT : public binding::DataForm {
 public:
  // The editor with its layout (layout object "FM_QMDWLRTSH_EDIT"), owned by `app`. Its datasets
  // use the browser's connections and lists: the browser instance must exist.
  explicit TFM_QMDWLRTSH_EDIT(widgets::Application& app);
  ~TFM_QMDWLRTSH_EDIT() override;

  // --- The editor's own connection to the system-control object. ---
  remote::Connection* dcom_sysctrl = nullptr;

  // --- Datasets, owned by the window. ---
  data::ClientDataSet* cds_qmdwlrt1 = nullptr;    // the document (header)
  data::ClientDataSet* cds_qmdwlrt2 = nullptr;    // its lines
  data::ClientDataSet* cds_gstrygl0 = nullptr;    // staff: the auditor's name
  data::ClientDataSet* cds_xstzxkc0 = nullptr;    // stock rows ("CK")
  data::ClientDataSet* cds_stockcolor = nullptr;  // stock warnings
  widgets::DataSource* ds_qmdwlrt1 = nullptr;
  widgets::DataSource* ds_qmdwlrt2 = nullptr;

  // --- Layout. ---
  widgets::Panel* Panel1 = nullptr;  // toolbar
  widgets::FlatButton* tb_save = nullptr;
  widgets::FlatButton* tb_exit = nullptr;
  widgets::Panel* pn_gl = nullptr;  // title band
  widgets::Bevel* Bevel1 = nullptr;
  widgets::Panel* FlatPanel1 = nullptr;  // header panel
  widgets::Label* AALinkLabel1 = nullptr;
  widgets::Label* AALinkLabel2 = nullptr;
  widgets::Label* AALinkLabel3 = nullptr;
  widgets::Label* AALinkLabel4 = nullptr;
  widgets::Label* AALinkLabel5 = nullptr;
  widgets::Label* AALinkLabel6 = nullptr;
  widgets::Label* AALinkLabel7 = nullptr;
  widgets::DBEdit* dedt_yhdhao = nullptr;  // DHAO00
  widgets::DBEdit* dedt_ckrymc = nullptr;  // CKRYMC
  widgets::DBEdit* dedt_ckrq00 = nullptr;  // CKRQ00
  widgets::DBEdit* dedt_yhck00 = nullptr;  // CKMC00
  widgets::DBEdit* dedt_shry = nullptr;    // YWRYMC
  widgets::DBEdit* dedt_shrq = nullptr;    // YWRQ00
  widgets::DBMemo* dmemo_beizhu = nullptr;
  widgets::Grid* dg_qmdwlrt2 = nullptr;
  widgets::Panel* Panel2 = nullptr;  // bottom band

  // The stock statements of the last save, and the price the focused line had before the
  // current price edit.
  std::string BatchText;
  double PreviousPrice = 0;

  // --- Loading, stock display, closing. ---
  void FormActivate(widgets::Object& sender);
  void FormClose(widgets::Object& sender, widgets::CloseAction& action);
  void dg_qmdwlrt2CustomDrawCell(widgets::Grid& grid, widgets::CellDraw& cell);
  void dg_qmdwlrt2KCSL00DrawSummaryFooter(widgets::Grid& grid, widgets::GridColumn& column,
                                          widgets::FooterDraw& footer);

  // --- Line editing. ---
  void cds_qmdwlrt2AfterScroll(data::ClientDataSet& dataset);
  void dg_qmdwlrt2EditChange(widgets::Object& sender);
  void dg_qmdwlrt2Edited(widgets::Object& sender, int row);
  void dg_qmdwlrt2ChangeColumn(widgets::Object& sender, int row, int column);
  void dg_qmdwlrt2Enter(widgets::Object& sender);
  void dg_qmdwlrt2KeyDown(widgets::Object& sender, int& key, widgets::ShiftState shift);
  void dg_qmdwlrt2DblClick(widgets::Object& sender);

  // --- Saving. ---
  // Lowers the stock by every line and stores the document, both or neither; closes the window
  // when both are stored. Throws (to the error display) on any failure; the window stays open.
  void tb_saveClick(widgets::Object& sender);
  // Asks "是否审核该单？" (Yes: save, No: close without saving, Cancel: stay).
  void tb_exitClick(widgets::Object& sender);

 private:
  // The row of the warning list that counts for a goods code (the first one), or -1.
  int WarningRow(const std::string& goods);
  void ColorStockCell(widgets::CellDraw& cell);

  std::unique_ptr<remote::Connection> own_sysctrl_;
  std::unordered_map<std::string, int> warning_rows_;  // goods code -> first warning row
  bool warning_rows_built_ = false;
};

// The audit editor of the current audit while it exists; null otherwise.
extern TFM_QMDWLRTSH_EDIT* FM_QMDWLRTSH_EDIT;

}  // namespace windows
