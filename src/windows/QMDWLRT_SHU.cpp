#include "windows/QMDWLRT_SHU.h"

#include <bit>
#include <cmath>
#include <exception>
#include <vector>

#include "data/module_datasets.h"
#include "printmodule/print_api.h"
#include "remote/value.h"
#include "rtl/datetime.h"
#include "rtl/error.h"
#include "rtl/fpu.h"
#include "rtl/library.h"
#include "rtl/numtext.h"
#include "rtl/quoted.h"
#include "windows/QMDWLRT_SHSJU.h"
#include "windows/host.h"

namespace windows {

TFM_QMDWLRTSH* FM_QMDWLRTSH = nullptr;
std::string SelectedDocNo;

namespace {

using widgets::Alignment;
using widgets::ColumnSpec;
using widgets::FooterKind;

// The print module's entry, as printmodule/print_api.h declares it.
using PrintEntry = decltype(&printlirraloss);

// Kept for as long as the process runs: the print module is loaded at every click and never
// released.
rtl::LibraryHandle print_library = nullptr;
void* print_entry = nullptr;

// "条" in GBK: the unit the print module is always given.
constexpr const char kCartonUnitGbk[] = "\xCC\xF5";

constexpr unsigned kWarning = widgets::kMbIconExclamation | widgets::kMbOk;  // flags 48

std::string UnitFilter(const std::string& unit) {
  return "SPDW02=" + rtl::QuotedStr(unit);
}

void CallMethod(remote::Connection& connection, const char* method) {
  std::vector<remote::Value> args;
  connection.Object().Call(method, args);
}

}  // namespace

std::string QuantityInUnit(double quantity, const std::string& factor_text) {
  const long double q = quantity;
  const long double f = rtl::StrToFloat(factor_text);
  if (f == 0) throw rtl::Error("Floating point division by zero");
  const double quotient = static_cast<double>(q / f);
  std::string t = rtl::FloatToStr(quotient);
  if (t.find_first_of("Ee") != std::string::npos) {
    // Scientific notation: below 0.00001 in magnitude the cut leaves nothing but zero; from 16
    // integer digits on there are no decimals to cut.
    return std::fabs(quotient) < 1 ? "0" : t;
  }
  const size_t point = t.find('.');
  if (point != std::string::npos && t.size() > point + 3) t.resize(point + 3);
  return t;
}

TFM_QMDWLRTSH::TFM_QMDWLRTSH(widgets::Application& app) : TFm_Base(app, "FM_QMDWLRTSH") {
  using widgets::Align;
  using widgets::BevelKind;

  // --- The window. ---
  SetCaption("溢耗单据管理");
  SetBorderStyle(widgets::BorderStyle::None);
  SetBorderIcons(0);
  // Centred by the layout, then placed at 0, 76 by the activation: the window is shown centred
  // for the moment activation takes.
  SetPosition(widgets::Position::ScreenCenter);
  SetBounds(0, 76, 800, 508);

  // --- Connections and datasets. ---
  const char* prog_ids[5] = {remote::kProgIdSysTran, remote::kProgIdStoreProduct,
                             remote::kProgIdCommunicate, remote::kProgIdSysControl,
                             remote::kProgIdCompanyInfo};
  for (int i = 0; i < 5; ++i) connections_[i] = std::make_unique<remote::Connection>(prog_ids[i]);
  dcom_systran = connections_[0].get();
  dcom_storpro = connections_[1].get();
  dcom_commu = connections_[2].get();
  dcom_sysctrl = connections_[3].get();
  dcom_cominfo = connections_[4].get();

  data::BrowserDataSets sets = data::CreateBrowserDataSets(
      {dcom_systran, dcom_storpro, dcom_commu, dcom_sysctrl, dcom_cominfo});
  AdoptDataSet(std::move(sets.cds_qmdwlrt1), &cds_qmdwlrt1);
  AdoptDataSet(std::move(sets.cds_qmdwlrt2), &cds_qmdwlrt2);
  AdoptDataSet(std::move(sets.cds_gstjydw0), &cds_gstjydw0);
  AdoptDataSet(std::move(sets.cds_gstjygl1), &cds_gstjygl1);
  AdoptDataSet(std::move(sets.cds_xstyjzqj), &cds_xstyjzqj);
  AdoptDataSet(std::move(sets.cds_gstrygl0), &cds_gstrygl0);
  AdoptDataSet(std::move(sets.cds_gstckgl0), &cds_gstckgl0);
  AdoptDataSet(std::move(sets.cds_qmdwlrt_tmp), &cds_qmdwlrt_tmp);
  ds_qmdwlrt1 = AddDataSource("ds_qmdwlrt1", cds_qmdwlrt1);
  ds_qmdwlrt2 = AddDataSource("ds_qmdwlrt2", cds_qmdwlrt2);
  ds_changeunit = AddDataSource("ds_changeunit", cds_gstjydw0);
  cds_qmdwlrt1->AfterScroll = [this](data::ClientDataSet& ds) { cds_qmdwlrt1AfterScroll(ds); };

  // --- Toolbar: "打印", "审核", "取消审核", "退出". ---
  tbpreview->SetVisible(false);
  tbnew->SetVisible(false);
  tbedit->SetVisible(false);
  tbdel->SetVisible(false);
  tbok->SetCaption("审核");
  tbcancel->SetCaption("取消审核");
  tbcancel->SetWidth(50);
  Bind(tbprint->OnClick, "tbprintClick", &TFM_QMDWLRTSH::tbprintClick);

  // --- Title band with the unit selector. ---
  pn_gl->SetCaption("损溢单据查询");
  Label1 = Add<widgets::Label>(pn_gl, "Label1");
  Label1->SetCaption("计量单位");
  Label1->SetFont(widgets::ModuleFont());
  Label1->SetBounds(676, 7, 48, 12);
  cb_smokeunit = Add<widgets::ComboBox>(pn_gl, "cb_smokeunit");
  cb_smokeunit->SetBounds(727, 3, 56, 20);
  cb_smokeunit->SetColor(widgets::kWindowColor);
  cb_smokeunit->SetButtonColor(widgets::kWindowColor);
  cb_smokeunit->SetFont(widgets::ModuleFont());
  cb_smokeunit->SetDropDownCount(8);
  Bind(cb_smokeunit->OnExit, "cb_smokeunitExit", &TFM_QMDWLRTSH::cb_smokeunitExit);
  Bind(cb_smokeunit->OnKeyDown, "cb_smokeunitKeyDown", &TFM_QMDWLRTSH::cb_smokeunitKeyDown);
  Bind(cb_smokeunit->OnDblClick, "cb_smokeunitDblClick", &TFM_QMDWLRTSH::cb_smokeunitDblClick);
  Bind(cb_smokeunit->OnChange, "cb_smokeunitChange", &TFM_QMDWLRTSH::cb_smokeunitChange);
  Bind(cb_smokeunit->OnClick, "cb_smokeunitClick", &TFM_QMDWLRTSH::cb_smokeunitClick);
  Bevel1 = Add<widgets::Bevel>(pn_gl, "Bevel1");
  Bevel1->SetAlign(Align::Top);
  Bevel1->SetHeight(1);

  // --- Document grid. ---
  dg_overfall_master = Add<widgets::Grid>(this, "dg_overfall_master");
  dg_overfall_master->SetAlign(Align::Top);
  dg_overfall_master->SetHeight(155);
  dg_overfall_master->SetDataSource(ds_qmdwlrt1);
  dg_overfall_master->SetKeyFieldName("DHAO00");
  dg_overfall_master->SetFlat(true);
  dg_overfall_master->SetHeaderColor(widgets::kWindowColor);
  dg_overfall_master->SetRowSelect(true);
  dg_overfall_master->SetAllowEditing(false);
  dg_overfall_master->SetAutoFilter(true);
  const ColumnSpec master_columns[] = {
      {"dg_overfall_masterDHAO00", "DHAO00", "单号", 98, Alignment::Center},
      {"dg_overfall_masterCKRQ00", "CKRQ00", "制单日期", 120, Alignment::Center},
      {"dg_overfall_masterCKRYMC", "CKRYMC", "制单人员", 126, Alignment::Center},
      {"dg_overfall_masterYWRQ00", "YWRQ00", "审核日期", 130, Alignment::Center},
      {"dg_overfall_masterYWRYMC", "YWRYMC", "审核人员", 137, Alignment::Left},
      {"dg_overfall_masterCKMC00", "CKMC00", "溢耗仓库", 156, Alignment::Center},
  };
  for (const ColumnSpec& c : master_columns) dg_overfall_master->AddColumn(c);
  Bind(dg_overfall_master->OnEnter, "dg_overfall_masterEnter",
       &TFM_QMDWLRTSH::dg_overfall_masterEnter);

  // --- Remark band (bottom), then the line grid filling the rest. ---
  pn_beizhu = Add<widgets::Panel>(this, "pn_beizhu");
  pn_beizhu->SetAlign(Align::Bottom);
  pn_beizhu->SetHeight(40);
  pn_beizhu->SetBevelOuter(BevelKind::None);
  pn_beizhu->SetColor(widgets::kWindowColor);
  pn_beizhutitle = Add<widgets::Panel>(pn_beizhu, "pn_beizhutitle");
  pn_beizhutitle->SetAlign(Align::Left);
  pn_beizhutitle->SetWidth(58);
  pn_beizhutitle->SetBevelOuter(BevelKind::None);
  pn_beizhutitle->SetColor(widgets::kWindowColor);
  Label2 = Add<widgets::Label>(pn_beizhutitle, "Label2");
  Label2->SetCaption("备  注");
  Label2->SetBounds(10, 13, 36, 12);
  dmemo_beizhu = Add<widgets::DBMemo>(pn_beizhu, "dmemo_beizhu");
  dmemo_beizhu->SetAlign(Align::Client);
  dmemo_beizhu->SetBorder(false);
  dmemo_beizhu->SetColor(widgets::kWindowColor);
  dmemo_beizhu->SetReadOnly(true);
  dmemo_beizhu->Bind(ds_qmdwlrt1, "BEIZHU");

  dg_overfall_detail = Add<widgets::Grid>(this, "dg_overfall_detail");
  dg_overfall_detail->SetAlign(Align::Client);
  dg_overfall_detail->SetDataSource(ds_qmdwlrt2);
  dg_overfall_detail->SetKeyFieldName("SPDM00");
  dg_overfall_detail->SetFlat(true);
  dg_overfall_detail->SetHeaderColor(widgets::kWindowColor);
  dg_overfall_detail->SetRowSelect(true);
  dg_overfall_detail->SetAllowEditing(false);
  dg_overfall_detail->SetScrollBars(widgets::ScrollBars::Vertical);
  dg_overfall_detail->SetShowFooter(true);
  const ColumnSpec detail_columns[] = {
      {"dg_overfall_detailSPDM00", "SPDM00", "商品代码", 113, Alignment::Center},
      {"dg_overfall_detailSPMC00", "SPMC00", "商品名称", 134, Alignment::Center},
      {"dg_overfall_detailDJIA00", "DJIA00", "单价(元)", 129, Alignment::Center},
      {"dg_overfall_detailSJSL00", "SJSL00", "数量(条)", 129, Alignment::Center, false,
       FooterKind::Sum},
      {"dg_overfall_detailJE0000", "JE0000", "金额(元)", 138, Alignment::Center, false,
       FooterKind::Sum},
      {"dg_overfall_detailSE0000", "SE0000", "税额(元)", 126, Alignment::Center, false,
       FooterKind::Sum},
  };
  for (const ColumnSpec& c : detail_columns) dg_overfall_detail->AddColumn(c);
  Bind(dg_overfall_detail->Column(2).OnDrawFooter, "dg_overfall_detailDJIA00DrawSummaryFooter",
       &TFM_QMDWLRTSH::dg_overfall_detailDJIA00DrawSummaryFooter);
  Bind(dg_overfall_detail->OnEnter, "dg_overfall_detailEnter",
       &TFM_QMDWLRTSH::dg_overfall_detailEnter);

  // --- Never visible: the factor of the selected unit. ---
  dedt_changeunit = Add<widgets::DBEdit>(this, "dedt_changeunit");
  dedt_changeunit->SetVisible(false);
  dedt_changeunit->SetReadOnly(true);
  dedt_changeunit->Bind(ds_changeunit, "ZHXS00");

  // --- Action list act_changeunit. ---
  actions_[0] = std::make_unique<TAction>("changeunittitle");
  actions_[1] = std::make_unique<TAction>("changeunit");
  changeunittitle = actions_[0].get();
  changeunit = actions_[1].get();
  RegisterEvent("changeunittitle.OnExecute", &changeunittitle->OnExecute);
  RegisterEvent("changeunit.OnExecute", &changeunit->OnExecute);
  Bind(changeunittitle->OnExecute, "changeunittitleExecute",
       &TFM_QMDWLRTSH::changeunittitleExecute);
  Bind(changeunit->OnExecute, "changeunitExecute", &TFM_QMDWLRTSH::changeunitExecute);

  // --- The window's activation, and the base's buttons taken over. ---
  Bind(OnActivate, "FormActivate", &TFM_QMDWLRTSH::FormActivate);
  Publish("TbOKClick", &TFM_QMDWLRTSH::TbOKClick);
  Publish("TbCancelClick", &TFM_QMDWLRTSH::TbCancelClick);
  Publish("TbexitClick", &TFM_QMDWLRTSH::TbexitClick);
}

TFM_QMDWLRTSH::~TFM_QMDWLRTSH() {
  if (FM_QMDWLRTSH == this) FM_QMDWLRTSH = nullptr;
  // The datasets go before the connections they use.
  for (data::ClientDataSet* ds : {cds_qmdwlrt2, cds_qmdwlrt1, cds_gstjydw0, cds_gstjygl1,
                                  cds_xstyjzqj, cds_gstrygl0, cds_gstckgl0, cds_qmdwlrt_tmp}) {
    if (ds != nullptr && OwnsDataSet(ds)) DestroyDataSet(ds);
  }
}

// ---------------------------------------------------------------------------------------------
// Activation and the document list

void TFM_QMDWLRTSH::FormActivate(widgets::Object&) {
  // 1. Place the window.
  SetBounds(0, 76, 800, 508);
  // 2. Connect the five server objects on the host's server computer.
  const std::string host = CurrentHost().ServerHost();
  for (remote::Connection* c :
       {dcom_systran, dcom_storpro, dcom_commu, dcom_sysctrl, dcom_cominfo}) {
    c->SetConnected(false);
    c->SetComputerName(host);
    c->SetConnected(true);
  }
  // The requests of steps 3 to 5 go to the server in one exchange; each list is still opened in
  // its own step below, in this order, and a failure still ends the activation at its step.
  cds_qmdwlrt1->ParamByName("FLAG").SetAsString("1");
  data::PrefetchOpen({cds_gstrygl0, cds_gstjydw0, cds_gstjygl1, cds_gstckgl0, cds_qmdwlrt1});
  // 3.-4. The lists (one already open stays as it is).
  cds_gstrygl0->Open();
  cds_gstjydw0->Open();
  cds_gstjygl1->Open();
  cds_gstckgl0->Open();
  // 5. The document list from its first packet.
  cds_qmdwlrt1->Close();
  cds_qmdwlrt1->ParamByName("FLAG").SetAsString("1");
  cds_qmdwlrt1->Open();
  // 6. The unit selector: every unit name in list order, the first one selected.
  cds_gstjydw0->First();
  cb_smokeunit->ClearItems();
  cb_smokeunit->SetText("");
  while (!cds_gstjydw0->Eof()) {
    cb_smokeunit->AddItem(cds_gstjydw0->FieldByName("SPDW02").AsString());
    cds_gstjydw0->Next();
  }
  cb_smokeunit->SetText(cb_smokeunit->Items().empty() ? std::string() : cb_smokeunit->Items()[0]);
  // 7. Select that unit.
  cds_gstjydw0->SetFiltered(false);
  cds_gstjydw0->SetFilter(UnitFilter(cb_smokeunit->Text()));
  cds_gstjydw0->SetFiltered(true);
  // 8. The current document's quantities, in cartons.
  cds_qmdwlrt2->Last();
  while (!cds_qmdwlrt2->Bof()) {
    cds_qmdwlrt2->Edit();
    cds_qmdwlrt2->FieldByName("SJSL00").SetAsString(cds_qmdwlrt2->FieldByName("SL0000").AsString());
    // The header is posted, not the line: posting the header posts the pending line first.
    cds_qmdwlrt1->Post();
    cds_qmdwlrt2->Prior();
  }
  // 9.-10. Buttons by the list and by the access mode.
  const bool any = !cds_qmdwlrt1->IsEmpty();
  tbprint->SetEnabled(any);
  tbok->SetEnabled(any);
  tbcancel->SetEnabled(any);
  const std::string mode = CurrentHost().AccessModeBytes();
  if (mode == "B" || mode == "b") {
    tbok->SetEnabled(false);
    tbcancel->SetEnabled(false);
  }
  // 11. Neither grid holds the focus.
  pn_gl->SetFocus();
}

void TFM_QMDWLRTSH::ConvertLineQuantity() {
  cds_qmdwlrt2->Edit();
  cds_qmdwlrt2->FieldByName("SJSL00").SetAsString(
      QuantityInUnit(cds_qmdwlrt2->FieldByName("SL0000").AsFloat(), dedt_changeunit->Text()));
  // The header is posted, not the line: posting the header posts the pending line first, and
  // the local quantity stays in the header's change log, which the browser never sends.
  cds_qmdwlrt1->Post();
}

void TFM_QMDWLRTSH::cds_qmdwlrt1AfterScroll(data::ClientDataSet&) {
  cds_qmdwlrt2->First();
  while (!cds_qmdwlrt2->Eof()) {
    ConvertLineQuantity();
    cds_qmdwlrt2->Next();
  }
  cds_qmdwlrt2->First();
  // The end flag stands for "the cursor reached the last loaded document": the next packet.
  if (cds_qmdwlrt1->Eof()) cds_qmdwlrt1->GetNextPacket();
}

void TFM_QMDWLRTSH::dg_overfall_masterEnter(widgets::Object&) {
  CurrentDataSet = cds_qmdwlrt1;
}

void TFM_QMDWLRTSH::dg_overfall_detailEnter(widgets::Object&) {
  CurrentDataSet = cds_qmdwlrt2;
}

void TFM_QMDWLRTSH::dg_overfall_detailDJIA00DrawSummaryFooter(widgets::Grid&, widgets::GridColumn&,
                                                              widgets::FooterDraw& footer) {
  footer.text = "总计";
  footer.font.style |= widgets::kFsBold;
  footer.font.color = widgets::kClWindowText;
  footer.background = widgets::kClBtnFace;
}

void TFM_QMDWLRTSH::TbexitClick(widgets::Object&) {
  Close();
}

// ---------------------------------------------------------------------------------------------
// Unit switching

void TFM_QMDWLRTSH::ValidateUnit() {
  const auto& items = cb_smokeunit->Items();
  for (const std::string& item : items) {
    if (item == cb_smokeunit->Text()) return;
  }
  cb_smokeunit->SetText(items.empty() ? std::string() : items[0]);
}

void TFM_QMDWLRTSH::changeunittitleExecute(widgets::Object&) {
  cds_gstjydw0->SetFiltered(false);
  cds_gstjydw0->SetFilter(UnitFilter(cb_smokeunit->Text()));
  cds_gstjydw0->SetFiltered(true);
  dg_overfall_detail->Column(3).SetCaption("数量(" + cb_smokeunit->Text() + ")");
}

void TFM_QMDWLRTSH::changeunitExecute(widgets::Object&) {
  data::Bookmark mark = cds_qmdwlrt1->GetBookmark();
  cds_qmdwlrt2->First();
  while (!cds_qmdwlrt2->Eof()) {
    ConvertLineQuantity();
    cds_qmdwlrt2->Next();
  }
  cds_qmdwlrt2->First();
  // The return is a cursor move: the after-move steps run once more, with the same result.
  if (mark.Valid()) {
    cds_qmdwlrt1->GotoBookmark(mark);
    cds_qmdwlrt1->FreeBookmark(mark);
  }
}

void TFM_QMDWLRTSH::cb_smokeunitExit(widgets::Object&) {
  ValidateUnit();
}

void TFM_QMDWLRTSH::cb_smokeunitKeyDown(widgets::Object&, int& key, widgets::ShiftState) {
  if (key == widgets::kVkReturn) {
    ValidateUnit();
    changeunittitle->Execute();
    changeunit->Execute();
  } else {
    cb_smokeunit->SetDroppedDown(true);
  }
}

void TFM_QMDWLRTSH::cb_smokeunitDblClick(widgets::Object&) {
  if (!cb_smokeunit->DroppedDown()) {
    cb_smokeunit->SetDroppedDown(true);
    return;
  }
  changeunittitle->Execute();
  changeunit->Execute();
}

void TFM_QMDWLRTSH::cb_smokeunitChange(widgets::Object&) {
  ValidateUnit();
  changeunittitle->Execute();
  changeunit->Execute();
}

void TFM_QMDWLRTSH::cb_smokeunitClick(widgets::Object&) {
  changeunittitle->Execute();
  changeunit->Execute();
}

// ---------------------------------------------------------------------------------------------
// Audit start

void TFM_QMDWLRTSH::TbOKClick(widgets::Object&) {
  if (!cds_qmdwlrt1->FieldByName("YWRQ00").AsString().empty()) {
    App().ShowMessageBox("该单已经审核。", "警告", kWarning);
    return;
  }
  SelectedDocNo = cds_qmdwlrt1->FieldByName("DHAO00").AsString();
  // Whatever the dialog's result, the audit start ends here; the editor refreshes the list.
  ShowAuditDateDialog(App());
}

// ---------------------------------------------------------------------------------------------
// Cancel audit

void TFM_QMDWLRTSH::TbCancelClick(widgets::Object&) {
  data::ClientDataSet& header = *cds_qmdwlrt1;
  data::ClientDataSet& lines = *cds_qmdwlrt2;
  if (header.FieldByName("YWRQ00").AsString().empty()) {
    App().ShowMessageBox("该单尚未审核。", "警告", kWarning);
    return;
  }
  if (App().ShowMessageBox("确实要取消审核该单吗？", "警告",
                           widgets::kMbIconExclamation | widgets::kMbOkCancel) != widgets::kIdOk) {
    return;
  }
  cds_xstyjzqj->Close();
  cds_xstyjzqj->SetCommandText(data::kClosingPeriodQuery);
  cds_xstyjzqj->Open();
  if (cds_xstyjzqj->FieldByName("JSRQ00").AsDateTime() >
      header.FieldByName("YWRQ00").AsDateTime()) {
    App().ShowMessageBox("不能取消已结转业务月单据的审核。", "警告", kWarning);
    return;
  }

  auto execute = [this](const std::string& statement) {
    cds_qmdwlrt_tmp->Close();
    cds_qmdwlrt_tmp->SetCommandText(statement);
    cds_qmdwlrt_tmp->Execute();
  };
  try {
    CallMethod(*dcom_commu, "sustarttran");
    if (!lines.IsEmpty()) {
      const std::string warehouse = rtl::QuotedStr(header.FieldByName("CKDM00").AsString());
      lines.Last();
      while (!lines.Bof()) {
        const std::string quantity = rtl::FloatToStr(lines.FieldByName("SL0000").AsFloat());
        const std::string goods = rtl::QuotedStr(lines.FieldByName("SPDM00").AsString());
        execute("UPDATE XSTZXKC0 SET KCSL00=KCSL00+(" + quantity +
                ") WHERE CKDM00='0B' AND SPDM00=" + goods + " AND KCBZ00='YW'");
        execute("UPDATE XSTZXKC0 SET KCSL00=KCSL00+(" + quantity + ") WHERE CKDM00=" + warehouse +
                " AND SPDM00=" + goods + " AND KCBZ00='YW'");
        lines.Prior();
      }
    }
    execute("UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=" +
            rtl::FloatToStr(header.FieldByName("DHAO00").AsFloat()));
    CallMethod(*dcom_commu, "sucommit");
    header.Close();
    header.Open();
  } catch (const std::exception&) {
    // Whatever failed, the server is asked to undo the transaction (after a commit it has
    // nothing left to undo); an error of the rollback itself reaches the error display.
    CallMethod(*dcom_commu, "surollback");
    App().ShowMessageBox("由于种种原因，不能取消审核。\r请与管理员联系。", "提示",
                         widgets::kMbIconInformation | widgets::kMbOk);
  }
}

// ---------------------------------------------------------------------------------------------
// Print hand-off

void TFM_QMDWLRTSH::tbprintClick(widgets::Object&) {
  print_library = rtl::LoadLibraryByPath(kPrintModulePath);
  if (print_library == nullptr) return;
  print_entry = rtl::FindExport(print_library, kPrintEntry);
  if (print_entry == nullptr) return;
  const std::string document = cds_qmdwlrt1->FieldByName("DHAO00").AsString();
  const auto print = reinterpret_cast<PrintEntry>(print_entry);
  const rtl::CallerFpu host;  // the print module is not the module's code: the host's state
  // The host's window handle goes on as the pointer-sized value it was handed over as.
  print(std::bit_cast<void*>(CurrentHost().AppHandle()), document.c_str(), kCartonUnitGbk,
        CurrentHost().ServerHostReference());
}

}  // namespace windows
