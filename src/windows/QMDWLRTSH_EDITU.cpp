#include "windows/QMDWLRTSH_EDITU.h"

#include <exception>
#include <vector>

#include "data/module_datasets.h"
#include "remote/value.h"
#include "rtl/error.h"
#include "rtl/quoted.h"
#include "widgets/platform.h"
#include "windows/QMDWLRT_SHSJU.h"
#include "windows/QMDWLRT_SHU.h"
#include "windows/audit_rules.h"
#include "windows/host.h"

namespace windows {

TFM_QMDWLRTSH_EDIT* FM_QMDWLRTSH_EDIT = nullptr;

namespace {

using widgets::Align;
using widgets::Alignment;
using widgets::BevelKind;
using widgets::ColumnSpec;
using widgets::FooterKind;

constexpr unsigned kWarning = widgets::kMbIconExclamation | widgets::kMbOk;            // flags 48
constexpr unsigned kQuestion = widgets::kMbIconExclamation | widgets::kMbYesNoCancel;  // flags 51

// Columns of the line grid, by index.
constexpr int kPriceColumn = 2;
constexpr int kStockColumn = 3;
constexpr int kAmountColumn = 5;
constexpr int kTaxColumn = 6;

TFM_QMDWLRTSH& Browser() {
  if (FM_QMDWLRTSH == nullptr) throw rtl::Error("The document browser is not open");
  return *FM_QMDWLRTSH;
}

widgets::Font FontOfHeight(int height) {
  widgets::Font f = widgets::ModuleFont();
  f.height = height;
  return f;
}

}  // namespace

TFM_QMDWLRTSH_EDIT::TFM_QMDWLRTSH_EDIT(widgets::Application& app)
    : binding::DataForm(app, "FM_QMDWLRTSH_EDIT") {
  TFM_QMDWLRTSH& browser = Browser();

  // --- The window: no frame, so it can be neither moved nor resized. ---
  SetCaption("溢耗单据审核");
  SetBorderStyle(widgets::BorderStyle::None);
  SetBorderIcons(0);
  SetPosition(widgets::Position::Designed);
  SetBounds(0, 76, 792, 503);
  SetClientSize(792, 503);
  SetColor(widgets::kWindowColor);
  SetFont(FontOfHeight(15));

  // --- Connection and datasets. ---
  own_sysctrl_ = std::make_unique<remote::Connection>(remote::kProgIdSysControl);
  dcom_sysctrl = own_sysctrl_.get();
  data::EditorDataSets sets = data::CreateEditorDataSets(
      {browser.dcom_systran, browser.dcom_storpro, dcom_sysctrl},
      {browser.cds_gstrygl0, browser.cds_gstckgl0, browser.cds_gstjygl1});
  AdoptDataSet(std::move(sets.cds_qmdwlrt1), &cds_qmdwlrt1);
  AdoptDataSet(std::move(sets.cds_qmdwlrt2), &cds_qmdwlrt2);
  AdoptDataSet(std::move(sets.cds_gstrygl0), &cds_gstrygl0);
  AdoptDataSet(std::move(sets.cds_xstzxkc0), &cds_xstzxkc0);
  AdoptDataSet(std::move(sets.cds_stockcolor), &cds_stockcolor);
  ds_qmdwlrt1 = AddDataSource("ds_qmdwlrt1", cds_qmdwlrt1);
  ds_qmdwlrt2 = AddDataSource("ds_qmdwlrt2", cds_qmdwlrt2);
  cds_qmdwlrt2->AfterScroll = [this](data::ClientDataSet& ds) { cds_qmdwlrt2AfterScroll(ds); };

  // --- Toolbar. ---
  Panel1 = Add<widgets::Panel>(this, "Panel1");
  Panel1->SetAlign(Align::Top);
  Panel1->SetHeight(36);
  Panel1->SetBevelOuter(BevelKind::None);
  Panel1->SetColor(widgets::kWindowColor);
  Panel1->SetFont(widgets::ModuleFont());
  Panel1->SetTabStop(false);
  tb_save = Add<widgets::FlatButton>(Panel1, "tb_save");
  tb_save->SetBounds(3, 0, 35, 35);
  tb_save->SetCaption("保存");
  tb_save->SetGlyph("save");
  tb_save->SetGlyphLayout(widgets::GlyphLayout::Top);
  tb_save->SetBorderColor(widgets::kClMenu);
  Bind(tb_save->OnClick, "tb_saveClick", &TFM_QMDWLRTSH_EDIT::tb_saveClick);
  tb_exit = Add<widgets::FlatButton>(Panel1, "tb_exit");
  tb_exit->SetBounds(37, 1, 35, 35);
  tb_exit->SetCaption("退出");
  tb_exit->SetGlyph("door");
  tb_exit->SetGlyphLayout(widgets::GlyphLayout::Top);
  tb_exit->SetBorderColor(widgets::kClMenu);
  Bind(tb_exit->OnClick, "tb_exitClick", &TFM_QMDWLRTSH_EDIT::tb_exitClick);

  // --- Title band. ---
  pn_gl = Add<widgets::Panel>(this, "pn_gl");
  pn_gl->SetAlign(Align::Top);
  pn_gl->SetHeight(30);
  pn_gl->SetBevelOuter(BevelKind::None);
  pn_gl->SetColor(widgets::kWindowColor);
  pn_gl->SetCaption("损溢单据审核");
  pn_gl->SetFont(widgets::TitleFont());
  pn_gl->SetTabStop(false);
  Bevel1 = Add<widgets::Bevel>(pn_gl, "Bevel1");
  Bevel1->SetAlign(Align::Top);
  Bevel1->SetHeight(1);

  // --- Header panel: captions and the document's fields. ---
  FlatPanel1 = Add<widgets::Panel>(this, "FlatPanel1");
  FlatPanel1->SetAlign(Align::Top);
  FlatPanel1->SetHeight(91);
  FlatPanel1->SetBevelOuter(BevelKind::None);
  FlatPanel1->SetColor(widgets::kWindowColor);
  FlatPanel1->SetCaption("");
  FlatPanel1->SetTabStop(false);

  // The memo is first in the window's tab order, ahead of the grid.
  dmemo_beizhu = Add<widgets::DBMemo>(FlatPanel1, "dmemo_beizhu");
  dmemo_beizhu->SetBounds(93, 52, 666, 32);
  dmemo_beizhu->SetBorder(false);
  dmemo_beizhu->SetColor(widgets::kWindowColor);
  dmemo_beizhu->Bind(ds_qmdwlrt1, "BEIZHU");

  struct Caption {
    widgets::Label** slot;
    const char* name;
    const char* caption;
    int left, top, width;
  };
  const Caption captions[] = {
      {&AALinkLabel1, "AALinkLabel1", "*溢耗单号", 20, 8, 68},
      {&AALinkLabel2, "AALinkLabel2", "*制单人员", 271, 8, 68},
      {&AALinkLabel3, "AALinkLabel3", "*制单日期", 544, 8, 68},
      {&AALinkLabel4, "AALinkLabel4", "*溢耗仓库", 20, 32, 68},
      {&AALinkLabel5, "AALinkLabel5", "*审核人员", 271, 31, 68},
      {&AALinkLabel6, "AALinkLabel6", "*审核日期", 544, 31, 68},
      {&AALinkLabel7, "AALinkLabel7", "备    注", 20, 61, 61},
  };
  for (const Caption& c : captions) {
    widgets::Label* label = Add<widgets::Label>(FlatPanel1, c.name);
    label->SetBounds(c.left, c.top, c.width, 15);
    label->SetCaption(c.caption);
    *c.slot = label;
  }

  struct Edit {
    widgets::DBEdit** slot;
    const char* name;
    const char* field;
    int left, top, width;
  };
  const Edit edits[] = {
      {&dedt_yhdhao, "dedt_yhdhao", "DHAO00", 93, 5, 142},
      {&dedt_ckrymc, "dedt_ckrymc", "CKRYMC", 345, 5, 134},
      {&dedt_ckrq00, "dedt_ckrq00", "CKRQ00", 623, 5, 135},
      {&dedt_yhck00, "dedt_yhck00", "CKMC00", 93, 29, 142},
      {&dedt_shry, "dedt_shry", "YWRYMC", 345, 28, 134},
      {&dedt_shrq, "dedt_shrq", "YWRQ00", 623, 28, 135},
  };
  for (const Edit& e : edits) {
    widgets::DBEdit* edit = Add<widgets::DBEdit>(FlatPanel1, e.name);
    edit->SetBounds(e.left, e.top, e.width, 21);
    edit->SetEnabled(false);
    edit->SetBorder(false);
    edit->SetColor(widgets::kWindowColor);
    edit->Bind(ds_qmdwlrt1, e.field);
    *e.slot = edit;
  }

  // --- Bottom band, then the line grid filling the rest. ---
  Panel2 = Add<widgets::Panel>(this, "Panel2");
  Panel2->SetAlign(Align::Bottom);
  Panel2->SetHeight(33);
  Panel2->SetBevelOuter(BevelKind::None);
  Panel2->SetColor(widgets::kWindowColor);
  Panel2->SetTabStop(false);

  dg_qmdwlrt2 = Add<widgets::Grid>(this, "dg_qmdwlrt2");
  dg_qmdwlrt2->SetAlign(Align::Client);
  dg_qmdwlrt2->SetDataSource(ds_qmdwlrt2);
  dg_qmdwlrt2->SetKeyFieldName("SPDM00");
  dg_qmdwlrt2->SetFlat(true);
  dg_qmdwlrt2->SetHeaderColor(widgets::kWindowColor);
  dg_qmdwlrt2->SetHeaderFont(FontOfHeight(15));
  dg_qmdwlrt2->SetFont(widgets::ModuleFont());
  dg_qmdwlrt2->SetAllowEditing(true);
  dg_qmdwlrt2->SetImmediateEditor(true);
  dg_qmdwlrt2->SetTabMovesCells(true);
  dg_qmdwlrt2->SetShowFooter(true);
  const ColumnSpec columns[] = {
      {"dg_qmdwlrt2SPDM00", "SPDM00", "商品代码", 96, Alignment::Center, false, FooterKind::None},
      {"dg_qmdwlrt2SPMC00", "SPMC00", "商品名称", 147, Alignment::Center, false, FooterKind::None},
      {"dg_qmdwlrt2DJIA00", "DJIA00", "含税单价(元)", 125, Alignment::Center, true,
       FooterKind::None},
      {"dg_qmdwlrt2KCSL00", "KCSL00", "库存数量(条)", 104, Alignment::Center, false,
       FooterKind::None},
      {"dg_qmdwlrt2SL0000", "SL0000", "数量(条)", 89, Alignment::Center, false, FooterKind::Sum},
      {"dg_qmdwlrt2JE0000", "JE0000", "含税金额(元)", 122, Alignment::Center, true,
       FooterKind::Sum},
      {"dg_qmdwlrt2SE0000", "SE0000", "税额(元)", 103, Alignment::Center, true, FooterKind::Sum},
  };
  for (const ColumnSpec& c : columns) dg_qmdwlrt2->AddColumn(c);
  using W = TFM_QMDWLRTSH_EDIT;
  Bind(dg_qmdwlrt2->Column(kStockColumn).OnDrawFooter, "dg_qmdwlrt2KCSL00DrawSummaryFooter",
       &W::dg_qmdwlrt2KCSL00DrawSummaryFooter);
  Bind(dg_qmdwlrt2->OnCustomDrawCell, "dg_qmdwlrt2CustomDrawCell", &W::dg_qmdwlrt2CustomDrawCell);
  Bind(dg_qmdwlrt2->OnEditChange, "dg_qmdwlrt2EditChange", &W::dg_qmdwlrt2EditChange);
  Bind(dg_qmdwlrt2->OnEdited, "dg_qmdwlrt2Edited", &W::dg_qmdwlrt2Edited);
  Bind(dg_qmdwlrt2->OnChangeColumn, "dg_qmdwlrt2ChangeColumn", &W::dg_qmdwlrt2ChangeColumn);
  Bind(dg_qmdwlrt2->OnEnter, "dg_qmdwlrt2Enter", &W::dg_qmdwlrt2Enter);
  Bind(dg_qmdwlrt2->OnKeyDown, "dg_qmdwlrt2KeyDown", &W::dg_qmdwlrt2KeyDown);
  Bind(dg_qmdwlrt2->OnDblClick, "dg_qmdwlrt2DblClick", &W::dg_qmdwlrt2DblClick);

  // --- Window events. ---
  Bind(OnActivate, "FormActivate", &W::FormActivate);
  Bind(OnClose, "FormClose", &W::FormClose);
}

TFM_QMDWLRTSH_EDIT::~TFM_QMDWLRTSH_EDIT() {
  if (FM_QMDWLRTSH_EDIT == this) FM_QMDWLRTSH_EDIT = nullptr;
  // The datasets go before the connection they use.
  for (data::ClientDataSet* ds :
       {cds_qmdwlrt2, cds_qmdwlrt1, cds_gstrygl0, cds_xstzxkc0, cds_stockcolor}) {
    if (ds != nullptr && OwnsDataSet(ds)) DestroyDataSet(ds);
  }
}

// ---------------------------------------------------------------------------------------------
// Loading

void TFM_QMDWLRTSH_EDIT::FormActivate(widgets::Object&) {
  TFM_QMDWLRTSH& browser = Browser();
  data::ClientDataSet& header = *cds_qmdwlrt1;
  data::ClientDataSet& lines = *cds_qmdwlrt2;

  // 1. Place the window, through the editor reference as the layout does: while this editor is
  // shown the reference names it (an editor made without it places itself).
  (FM_QMDWLRTSH_EDIT != nullptr ? FM_QMDWLRTSH_EDIT : this)->SetBounds(0, 76, 800, 508);
  // 2. A fresh save and price history.
  BatchText.clear();
  PreviousPrice = 0;
  warning_rows_.clear();
  warning_rows_built_ = false;
  // 3. The own connection to the system-control object.
  dcom_sysctrl->SetConnected(false);
  dcom_sysctrl->SetComputerName(CurrentHost().ServerHost());
  dcom_sysctrl->SetConnected(true);
  // 4. The browser's connections, on the computer the browser gave them.
  browser.dcom_systran->SetConnected(true);
  browser.dcom_storpro->SetConnected(true);
  // The requests of steps 5 to 10 go to the server in one exchange; each list is still opened
  // in its own step below, in this order, and a failure still ends the activation at its step.
  header.ParamByName("DHAO00").SetAsString(SelectedDocNo);
  data::PrefetchOpen({browser.cds_gstjygl1, cds_gstrygl0, &header, cds_stockcolor, cds_xstzxkc0});
  // 5. Every goods name resolves.
  browser.cds_gstjygl1->Open();
  browser.cds_gstjygl1->SetFiltered(false);
  // 6. The own staff list.
  cds_gstrygl0->Open();
  // 7. The document as the server holds it now.
  header.Close();
  header.ParamByName("DHAO00").SetAsString(SelectedDocNo);
  header.Open();
  if (header.IsEmpty()) {
    App().ShowMessageBox("该单已经不存在。", "警告", kWarning);
    Close();
    return;
  }
  // Another operator may have audited it since the browser read its list: no second audit.
  if (!header.FieldByName("YWRQ00").AsString().empty()) {
    App().ShowMessageBox("该单已经审核。", "警告", kWarning);
    Close();
    return;
  }
  // 8. The audit stamp.
  header.Edit();
  header.FieldByName("YWRQ00").SetAsString(AuditDateText);
  header.FieldByName("YWRY00").SetAsString(CurrentHost().UserCode());
  // 9. The auditor's name.
  cds_gstrygl0->SetFiltered(false);
  cds_gstrygl0->SetFilter("RYDM00=" + rtl::QuotedStr(CurrentHost().UserCode()));
  cds_gstrygl0->SetFiltered(true);
  header.FieldByName("YWRYMC").SetAsString(
      cds_gstrygl0->IsEmpty() ? std::string() : cds_gstrygl0->FieldByName("RYMC00").AsString());
  // 10. Warnings, and the stock as it is now.
  cds_stockcolor->Open();
  cds_xstzxkc0->Close();
  cds_xstzxkc0->Open();
  // 11. Each line's current stock: the first "CK" row of its goods in the document's warehouse.
  const std::string warehouse = header.FieldByName("CKDM00").AsString();
  lines.Last();
  while (!lines.Bof()) {
    if (cds_xstzxkc0->Locate("SPDM00;CKDM00;KCBZ00",
                             {lines.FieldByName("SPDM00").AsString(), warehouse, "CK"},
                             data::LocateOption::PartialKey)) {
      lines.Edit();
      // Passed as text: a stock row without a value leaves the line's stock without one.
      lines.FieldByName("KCSL00").SetAsString(cds_xstzxkc0->FieldByName("KCSL00").AsString());
    }
    lines.Prior();
  }
}

// ---------------------------------------------------------------------------------------------
// Stock display

int TFM_QMDWLRTSH_EDIT::WarningRow(const std::string& goods) {
  if (!warning_rows_built_) {
    warning_rows_.clear();
    const data::Field& code = cds_stockcolor->FieldByName("SPDM00");
    const int rows = cds_stockcolor->RecordCount();
    for (int r = 0; r < rows; ++r) warning_rows_.emplace(cds_stockcolor->TextAt(r, code), r);
    warning_rows_built_ = true;
  }
  auto it = warning_rows_.find(goods);
  return it == warning_rows_.end() ? -1 : it->second;
}

void TFM_QMDWLRTSH_EDIT::ColorStockCell(widgets::CellDraw& cell) {
  data::ClientDataSet& lines = *cds_qmdwlrt2;
  data::ClientDataSet& warnings = *cds_stockcolor;
  if (!lines.Active() || !warnings.Active()) return;
  if (cell.row < 0 || cell.row >= lines.RecordCount()) return;
  const data::Field& stock_field = lines.FieldByName("KCSL00");
  if (lines.IsNullAt(cell.row, stock_field)) return;
  const int w = WarningRow(lines.TextAt(cell.row, lines.FieldByName("SPDM00")));
  if (w < 0) return;

  auto threshold = [&](const char* name) -> int32_t {
    const data::Field& f = warnings.FieldByName(name);
    if (warnings.IsNullAt(w, f)) return 0;
    return audit::StockWhole(warnings.FloatAt(w, f));
  };
  const int32_t stock = audit::StockWhole(lines.FloatAt(cell.row, stock_field));
  std::optional<widgets::Color> color = audit::StockTextColor(
      stock, threshold("ZGKCSL"), warnings.TextAt(w, warnings.FieldByName("ZGYJYS")),
      threshold("ZDKCSL"), warnings.TextAt(w, warnings.FieldByName("ZDYJYS")));
  if (color) cell.font.color = widgets::ResolveColor(App().GetPlatform(), *color);
}

void TFM_QMDWLRTSH_EDIT::dg_qmdwlrt2CustomDrawCell(widgets::Grid&, widgets::CellDraw& cell) {
  if (cell.column != kStockColumn || cell.selected) return;
  // Drawing must never fail: whatever goes wrong leaves the cell in the grid's colours.
  try {
    ColorStockCell(cell);
  } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): the grid's colours stay
  }
}

void TFM_QMDWLRTSH_EDIT::dg_qmdwlrt2KCSL00DrawSummaryFooter(widgets::Grid&, widgets::GridColumn&,
                                                            widgets::FooterDraw& footer) {
  footer.text = "总计";
  footer.font.style |= widgets::kFsBold;
  footer.font.color = widgets::kClWindowText;
  footer.background = widgets::kClBtnFace;
}

// ---------------------------------------------------------------------------------------------
// Closing

void TFM_QMDWLRTSH_EDIT::FormClose(widgets::Object&, widgets::CloseAction&) {
  // The editor is released however the refresh of the browser ends.
  struct ReleaseEditor {
    TFM_QMDWLRTSH_EDIT* self;
    // The window the editor reference holds is released: this one while it is shown.
    ~ReleaseEditor() { (FM_QMDWLRTSH_EDIT != nullptr ? FM_QMDWLRTSH_EDIT : self)->Release(); }
  } release{this};
  TFM_QMDWLRTSH& browser = Browser();
  browser.cds_qmdwlrt1->Close();
  browser.cds_qmdwlrt1->Open();
  const bool any = !browser.cds_qmdwlrt1->IsEmpty();
  browser.tbok->SetEnabled(any);
  browser.tbcancel->SetEnabled(any);
}

// ---------------------------------------------------------------------------------------------
// Line editing

void TFM_QMDWLRTSH_EDIT::cds_qmdwlrt2AfterScroll(data::ClientDataSet& dataset) {
  PreviousPrice = dataset.IsEmpty() ? 0 : dataset.FieldByName("DJIA00").AsFloat();
}

void TFM_QMDWLRTSH_EDIT::dg_qmdwlrt2EditChange(widgets::Object&) {
  if (dg_qmdwlrt2->FocusedColumn() == kPriceColumn) {
    PreviousPrice = cds_qmdwlrt2->FieldByName("DJIA00").AsFloat();
  }
}

void TFM_QMDWLRTSH_EDIT::dg_qmdwlrt2Edited(widgets::Object&, int) {
  if (dg_qmdwlrt2->FocusedColumn() != kPriceColumn) return;
  data::ClientDataSet& lines = *cds_qmdwlrt2;
  data::Field& price = lines.FieldByName("DJIA00");
  const double p = price.AsFloat();
  lines.Edit();
  if (p == 0) {
    // A price of 0, typed or cleared, is not accepted: the line gets its previous price back.
    price.SetAsFloat(PreviousPrice);
    return;
  }
  const audit::LineAmounts amounts = audit::AmountsForPrice(
      p, lines.FieldByName("SL0000").AsFloat(), cds_qmdwlrt1->FieldByName("ZZSL00").AsFloat());
  if (!amounts.amount) {
    price.SetAsFloat(PreviousPrice);
    throw rtl::Error("含税单价与数量之积超出数值范围。");
  }
  lines.FieldByName("JE0000").SetAsFloat(*amounts.amount);
  // Without a tax (a rate of -100 percent) the line keeps the tax it has.
  if (amounts.tax) lines.FieldByName("SE0000").SetAsFloat(*amounts.tax);
}

void TFM_QMDWLRTSH_EDIT::dg_qmdwlrt2ChangeColumn(widgets::Object&, int, int column) {
  if (column == 0 || column == 1) {
    dg_qmdwlrt2->SetFocusedColumn(kPriceColumn);
  } else if (column == kStockColumn || column == 4) {
    dg_qmdwlrt2->SetFocusedColumn(kAmountColumn);
  }
}

void TFM_QMDWLRTSH_EDIT::dg_qmdwlrt2Enter(widgets::Object&) {
  dg_qmdwlrt2->SetFocusedColumn(kPriceColumn);
}

void TFM_QMDWLRTSH_EDIT::dg_qmdwlrt2KeyDown(widgets::Object& sender, int& key,
                                            widgets::ShiftState) {
  if (key == widgets::kVkReturn) dg_qmdwlrt2DblClick(sender);
}

void TFM_QMDWLRTSH_EDIT::dg_qmdwlrt2DblClick(widgets::Object&) {
  const int column = dg_qmdwlrt2->FocusedColumn();
  if (column == kAmountColumn) {
    dg_qmdwlrt2->SetFocusedColumn(kTaxColumn);
  } else if (column == kTaxColumn) {
    data::ClientDataSet& lines = *cds_qmdwlrt2;
    lines.Next();
    // Past the last line the focus goes round to the first.
    if (lines.Eof()) lines.First();
    dg_qmdwlrt2->SetFocusedColumn(kPriceColumn);
  }
}

// ---------------------------------------------------------------------------------------------
// Saving

void TFM_QMDWLRTSH_EDIT::tb_saveClick(widgets::Object&) {
  TFM_QMDWLRTSH& browser = Browser();
  data::ClientDataSet& header = *cds_qmdwlrt1;
  data::ClientDataSet& lines = *cds_qmdwlrt2;

  // 1.-2. The stock statements, from the last line to the first; each move posts a pending line.
  BatchText.clear();
  const std::string warehouse = header.FieldByName("CKDM00").AsString();
  lines.Last();
  while (!lines.Bof()) {
    audit::AppendLineStatements(BatchText, lines.FieldByName("SL0000").AsFloat(),
                                lines.FieldByName("SPDM00").AsString(), warehouse);
    lines.Prior();
  }
  // Every statement was appended after a "!": the first one goes.
  if (!BatchText.empty()) BatchText.erase(0, 1);
  // 3. The audit stamp (and a pending line) into the change log.
  if (header.State() != data::DataSetState::Browse) header.Post();
  // The stamp is always a change; without one there is nothing to store with the stock.
  if (header.ChangeCount() == 0) throw rtl::Error("该单没有可保存的审核内容。");
  // 4. The browser's connection to the system-transaction object.
  browser.dcom_systran->SetConnected(true);
  remote::ServerObject& systran = browser.dcom_systran->Object();
  // 5. The stock batch: the server runs it in a transaction that stays open for the document.
  std::vector<remote::Value> args{remote::Value::Text(BatchText)};
  systran.Call("TranPara", args);
  // 6. The document, on the same instance and right after: the server commits stock and document
  // together when every row was written, and rolls both back otherwise.
  const remote::ApplyResult result =
      systran.ApplyUpdates(header.ProviderName(), header.Delta(), /*max_errors=*/0);
  if (result.error_count > 0) {
    std::string message;
    for (const std::string& e : result.errors) {
      if (!message.empty()) message += '\n';
      message += e;
    }
    if (message.empty()) message = "The document was not saved.";
    throw rtl::Error(message);
  }
  header.MergeChangeLog();
  // 7. Done: closing refreshes the browser and releases the editor.
  Close();
}

void TFM_QMDWLRTSH_EDIT::tb_exitClick(widgets::Object& sender) {
  switch (App().ShowMessageBox("是否审核该单？", "提示", kQuestion)) {
    case widgets::kIdYes:
      tb_saveClick(sender);
      break;
    case widgets::kIdNo:
      Close();
      break;
    default:  // Cancel, or the box dismissed: the editor stays open with every change.
      break;
  }
}

}  // namespace windows
