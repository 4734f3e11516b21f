// Unit QMDWLRT_SHU: the document browser TFM_QMDWLRTSH, the module's main window.
//
// The browser lists the gain/loss documents (in packets of 10, the next packet fetched when the
// cursor reaches the end of the loaded ones), shows the lines of the current document with their
// sums in the unit of measure chosen in its title band, and carries the buttons that start an
// audit ("审核"), cancel one ("取消审核"), print and close the window. It owns the five server
// connections and every dataset of the window for as long as it exists; the audit date dialog and
// the audit editor reach them through the browser instance FM_QMDWLRTSH:
//
//   TFM_QMDWLRTSH& b = *windows::FM_QMDWLRTSH;
//   b.cds_qmdwlrt1->Close(); b.cds_qmdwlrt1->Open();   // reload the document list
//   b.tbok->SetEnabled(!b.cds_qmdwlrt1->IsEmpty());
//
// Every handler keeps the name its event is bound by in the window's layout. An error in a
// handler ends it and reaches the application's error display; only TbCancelClick guards its
// server work (and asks the server to roll back).
#pragma once

#include <memory>
#include <string>

#include "data/dataset.h"
#include "remote/connection.h"
#include "widgets/application.h"
#include "widgets/controls.h"
#include "widgets/grid.h"
#include "windows/Base.h"

namespace windows {

// An action of the window's action list: bound to no control, executed by handlers.
class TAction : public widgets::Object {
 public:
  using widgets::Object::Object;
  const char* Kind() const override { return "Action"; }
  widgets::NotifyEvent OnExecute;
  // Runs the action's handler (errors reach the caller).
  void Execute() { OnExecute(*this); }
};

class TFM_QMDWLRTSH : public TFm_Base {
 public:
  explicit TFM_QMDWLRTSH(widgets::Application& app);
  ~TFM_QMDWLRTSH() override;

  // --- Server connections (connected by FormActivate on the host's ServerHost). ---
  remote::Connection* dcom_systran = nullptr;  // system-transaction object
  remote::Connection* dcom_storpro = nullptr;  // store-product object
  remote::Connection* dcom_commu = nullptr;    // communication object (cancel's transaction)
  remote::Connection* dcom_sysctrl = nullptr;  // system-control object
  remote::Connection* dcom_cominfo = nullptr;  // company-information object

  // --- Datasets, owned by the window. ---
  data::ClientDataSet* cds_qmdwlrt1 = nullptr;     // document headers, packets of 10
  data::ClientDataSet* cds_qmdwlrt2 = nullptr;     // lines of the current document
  data::ClientDataSet* cds_gstjydw0 = nullptr;     // units of measure
  data::ClientDataSet* cds_gstjygl1 = nullptr;     // goods
  data::ClientDataSet* cds_xstyjzqj = nullptr;     // latest closing date
  data::ClientDataSet* cds_gstrygl0 = nullptr;     // staff
  data::ClientDataSet* cds_gstckgl0 = nullptr;     // warehouses
  data::ClientDataSet* cds_qmdwlrt_tmp = nullptr;  // executes the cancel's statements
  widgets::DataSource* ds_qmdwlrt1 = nullptr;
  widgets::DataSource* ds_qmdwlrt2 = nullptr;
  widgets::DataSource* ds_changeunit = nullptr;  // over cds_gstjydw0

  // --- Layout (besides the base's toolbar and title band). ---
  widgets::Label* Label1 = nullptr;  // "计量单位"
  widgets::ComboBox* cb_smokeunit = nullptr;
  widgets::Bevel* Bevel1 = nullptr;
  widgets::Grid* dg_overfall_master = nullptr;
  widgets::Grid* dg_overfall_detail = nullptr;
  widgets::Panel* pn_beizhu = nullptr;       // the remark band
  widgets::Panel* pn_beizhutitle = nullptr;  // its left part
  widgets::Label* Label2 = nullptr;          // "备  注"
  widgets::DBMemo* dmemo_beizhu = nullptr;
  widgets::DBEdit* dedt_changeunit = nullptr;  // never visible: ZHXS00 of the selected unit

  // --- Action list act_changeunit. ---
  TAction* changeunittitle = nullptr;
  TAction* changeunit = nullptr;

  // --- Handlers. ---
  // Activation: places the window, connects, opens the lists and the first packet of documents,
  // fills the unit selector, sets the buttons by the list and the access mode. An error ends it
  // where it happened.
  void FormActivate(widgets::Object& sender);
  // After every move of the document list: recomputes the current document's quantities in the
  // selected unit, and fetches the next packet when the end flag is set.
  void cds_qmdwlrt1AfterScroll(data::ClientDataSet& dataset);
  void dg_overfall_masterEnter(widgets::Object& sender);
  void dg_overfall_detailEnter(widgets::Object& sender);
  void dg_overfall_detailDJIA00DrawSummaryFooter(widgets::Grid& grid, widgets::GridColumn& column,
                                                 widgets::FooterDraw& footer);
  void TbexitClick(widgets::Object& sender);
  // Starts an audit: refuses an audited document, remembers the document in SelectedDocNo and
  // shows the audit date dialog.
  void TbOKClick(widgets::Object& sender);
  // Cancels the audit of the current document inside a server transaction.
  void TbCancelClick(widgets::Object& sender);
  // Hands the current document to the print module.
  void tbprintClick(widgets::Object& sender);

  // Unit switching.
  void changeunittitleExecute(widgets::Object& sender);
  void changeunitExecute(widgets::Object& sender);
  void cb_smokeunitExit(widgets::Object& sender);
  void cb_smokeunitKeyDown(widgets::Object& sender, int& key, widgets::ShiftState shift);
  void cb_smokeunitDblClick(widgets::Object& sender);
  void cb_smokeunitChange(widgets::Object& sender);
  void cb_smokeunitClick(widgets::Object& sender);

 private:
  // The selector's text must name one of its items; otherwise it becomes the first item.
  void ValidateUnit();
  // Sets SJSL00 of the current line from SL0000 and the selected unit's factor.
  void ConvertLineQuantity();

  std::unique_ptr<remote::Connection> connections_[5];
  std::unique_ptr<TAction> actions_[2];
};

// The browser instance of the current showdll call; null while no browser exists.
extern TFM_QMDWLRTSH* FM_QMDWLRTSH;

// The document number DHAO00 (number text) of the document being audited; set by the browser's
// TbOKClick, read by the audit editor.
extern std::string SelectedDocNo;

// SJSL00 as the browser shows it: `quantity` cartons in a unit of `factor_text` cartons, written
// as number text and cut (not rounded) after two decimals. Throws rtl::ConvertError when the factor
// text is not a number and rtl::Error when it is zero.
std::string QuantityInUnit(double quantity, const std::string& factor_text);

// Where the browser loads the print module from, and the entry it calls.
inline constexpr const char* kPrintModulePath = "lz\\lirralossPRT.dll";
inline constexpr const char* kPrintEntry = "printlirraloss";

}  // namespace windows
