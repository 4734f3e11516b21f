#include "windows/Base.h"

#include "rtl/capitals.h"

namespace windows {

DataSetRef CurrentDataSet;

DataSetRef::~DataSetRef() {
  if (dataset_ != nullptr) dataset_->RemoveLink(this);
}

DataSetRef& DataSetRef::operator=(data::ClientDataSet* dataset) {
  if (dataset == dataset_) return *this;
  if (dataset_ != nullptr) dataset_->RemoveLink(this);
  dataset_ = dataset;
  if (dataset_ != nullptr) dataset_->AddLink(this);
  return *this;
}

void DataSetRef::DataSetEvent(data::ClientDataSet& dataset, Event event) {
  if (event == Event::Destroying && &dataset == dataset_) dataset_ = nullptr;
}

TFm_Base::TFm_Base(widgets::Application& app) : TFm_Base(app, "Fm_Base") {}

TFm_Base::TFm_Base(widgets::Application& app, std::string layout_name)
    : binding::DataForm(app, std::move(layout_name)) {
  using widgets::Align;
  using widgets::BevelKind;

  SetCaption("Fm_Base");
  SetBounds(73, 122, 697, 450);
  SetBorderStyle(widgets::BorderStyle::Sizeable);
  SetBorderWidth(1);
  SetBorderIcons(0);
  SetColor(widgets::kWindowColor);
  SetFont(widgets::ModuleFont());

  Panel1 = Add<widgets::Panel>(this, "Panel1");
  Panel1->SetAlign(Align::Top);
  Panel1->SetHeight(49);
  Panel1->SetBevelOuter(BevelKind::None);
  Panel1->SetColor(widgets::kWindowColor);

  tbr_base = Add<widgets::ToolBar>(Panel1, "tbr_base");
  tbr_base->SetAlign(Align::Top);
  tbr_base->SetHeight(40);
  tbr_base->SetButtonHeight(35);
  tbr_base->SetFont(widgets::ModuleFont());

  using Click = void (TFm_Base::*)(widgets::Object&);
  struct ButtonSpec {
    widgets::FlatButton** slot;
    const char* name;
    const char* caption;
    int width;
    const char* glyph;
    const char* operation;  // the operation its click runs, or none
    Click method;
  };
  const ButtonSpec buttons[] = {
      {&tbprint, "tbprint", "打印", 35, "print", nullptr, nullptr},
      {&tbpreview, "tbpreview", "设置", 38, "preview", nullptr, nullptr},
      {&tbnew, "tbnew", "新增", 35, "new", "TbNewClick", &TFm_Base::TbNewClick},
      {&tbedit, "tbedit", "编辑", 35, "edit", "TbEditClick", &TFm_Base::TbEditClick},
      {&tbdel, "tbdel", "删除", 35, "delete", nullptr, nullptr},
      {&tbok, "tbok", "确定", 35, "ok", "TbOKClick", &TFm_Base::TbOKClick},
      {&tbcancel, "tbcancel", "取消", 35, "cancel", "TbCancelClick", &TFm_Base::TbCancelClick},
      {&tbexit, "tbexit", "退出", 35, "exit", "TbexitClick", &TFm_Base::TbexitClick},
  };
  for (const ButtonSpec& desc : buttons) {
    widgets::FlatButton* b = Add<widgets::FlatButton>(tbr_base, desc.name);
    b->SetCaption(desc.caption);
    b->SetWidth(desc.width);
    b->SetGlyph(desc.glyph);
    b->SetGlyphLayout(widgets::GlyphLayout::Top);
    b->SetBorderColor(widgets::kWindowColor);
    if (desc.operation != nullptr) Bind(b->OnClick, desc.operation, desc.method);
    *desc.slot = b;
  }

  pn_gl = Add<widgets::Panel>(this, "pn_gl");
  pn_gl->SetAlign(Align::Top);
  pn_gl->SetHeight(30);
  pn_gl->SetBevelOuter(BevelKind::None);
  pn_gl->SetColor(widgets::kWindowColor);
  pn_gl->SetCaption("基础管理");
  pn_gl->SetFont(widgets::TitleFont());

  AddDataSet(&ClientDataSet1, "ClientDataSet1");

  // The operations no button of the base layout runs.
  Publish("TbMoreClick", &TFm_Base::TbMoreClick);
  Publish("TbDeleteClick", &TFm_Base::TbDeleteClick);
  Publish("TbCloseClick", &TFm_Base::TbCloseClick);
}

void TFm_Base::TbNewClick(widgets::Object&) {
  tbexit->SetEnabled(false);
}
void TFm_Base::TbEditClick(widgets::Object&) {
  tbexit->SetEnabled(false);
}
void TFm_Base::TbMoreClick(widgets::Object&) {
  tbexit->SetEnabled(false);
}
void TFm_Base::TbOKClick(widgets::Object&) {
  tbexit->SetEnabled(true);
}
void TFm_Base::TbCancelClick(widgets::Object&) {
  tbexit->SetEnabled(true);
}
void TFm_Base::TbexitClick(widgets::Object&) {
  Close();
}

void TFm_Base::TbDeleteClick(widgets::Object&) {
  data::ClientDataSet* ds = CurrentDataSet;
  if (ds == nullptr) return;
  if (ds->State() == data::DataSetState::Insert) {
    ds->Cancel();
  } else {
    ds->Delete();
  }
}

void TFm_Base::TbCloseClick(widgets::Object&) {
  if (data::ClientDataSet* ds = CurrentDataSet) {
    // Datasets of this module belong to their windows; the owner destroys it and forgets it.
    if (binding::DataForm* owner = binding::DataForm::OwnerOf(App(), ds)) {
      owner->DestroyDataSet(ds);
    }
  }
  Close();
}

std::string TFm_Base::conversionmoneycap(double x) const {
  return rtl::MoneyToCapitals(x);
}

}  // namespace windows
