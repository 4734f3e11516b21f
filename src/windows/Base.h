// Unit Base: the window base TFm_Base of the module's main window, and the module-wide
// CurrentDataSet.
//
// TFm_Base lays out a toolbar of eight flat buttons (print, settings, new, edit, delete, confirm,
// cancel, exit) above a title band, binds the buttons by operation name, and offers the exit
// guard, two operations on CurrentDataSet and the amount in capitals. A derived window passes its
// own layout name, then changes the layout in its constructor (captions, widths, visibility, new
// bindings) and takes a button over by publishing an operation of the same name:
//
//   TFM_X::TFM_X(widgets::Application& app) : TFm_Base(app, "FM_X") {
//     tbok->SetCaption("审核");
//     Publish("TbOKClick", &TFM_X::TbOKClick);  // hides the base's
//   }
//
// The base's operation then runs only when the derived one calls it (TFm_Base::TbOKClick(s)).
#pragma once

#include <string>

#include "binding/data_form.h"
#include "data/dataset.h"
#include "widgets/application.h"
#include "widgets/controls.h"

namespace windows {

// A reference to a dataset that does not own it and becomes empty when the dataset is destroyed.
class DataSetRef : private data::DataLink {
 public:
  DataSetRef() = default;
  ~DataSetRef() override;
  DataSetRef(const DataSetRef&) = delete;
  DataSetRef& operator=(const DataSetRef&) = delete;

  DataSetRef& operator=(data::ClientDataSet* dataset);
  data::ClientDataSet* get() const { return dataset_; }
  operator data::ClientDataSet*() const { return dataset_; }  // NOLINT(google-explicit-constructor)
  data::ClientDataSet* operator->() const { return dataset_; }

 private:
  void DataSetEvent(data::ClientDataSet& dataset, Event event) override;
  data::ClientDataSet* dataset_ = nullptr;
};

// The dataset whose grid last received the keyboard focus: one for the whole module, set by
// derived windows when one of their grids is entered, read by TbDeleteClick and TbCloseClick.
// Empty when the module is loaded, and again once the dataset it names has been destroyed.
extern DataSetRef CurrentDataSet;

class TFm_Base : public binding::DataForm {
 public:
  // The plain base window (layout "Fm_Base").
  explicit TFm_Base(widgets::Application& app);

  // Layout.
  widgets::Panel* Panel1 = nullptr;
  widgets::ToolBar* tbr_base = nullptr;
  widgets::FlatButton* tbprint = nullptr;
  widgets::FlatButton* tbpreview = nullptr;
  widgets::FlatButton* tbnew = nullptr;
  widgets::FlatButton* tbedit = nullptr;
  widgets::FlatButton* tbdel = nullptr;
  widgets::FlatButton* tbok = nullptr;
  widgets::FlatButton* tbcancel = nullptr;
  widgets::FlatButton* tbexit = nullptr;
  widgets::Panel* pn_gl = nullptr;
  data::ClientDataSet* ClientDataSet1 = nullptr;

  // Operations; the click operations ignore their sender.
  // New, edit and further work disable the exit button; confirm and cancel enable it again.
  void TbNewClick(widgets::Object& sender);
  void TbEditClick(widgets::Object& sender);
  void TbMoreClick(widgets::Object& sender);
  void TbOKClick(widgets::Object& sender);
  void TbCancelClick(widgets::Object& sender);
  // Closes the window.
  void TbexitClick(widgets::Object& sender);
  // Deletes the current record of CurrentDataSet locally (an insertion is cancelled instead);
  // nothing when CurrentDataSet is empty.
  void TbDeleteClick(widgets::Object& sender);
  // Destroys the dataset that CurrentDataSet names (its window lets go of it, every grid and
  // control showing it is detached), then closes the window.
  void TbCloseClick(widgets::Object& sender);
  // A money amount in yuan in Chinese capital numerals ("" from 100000000.00 yuan on).
  std::string conversionmoneycap(double x) const;

 protected:
  // For derived windows: the base layout under the derived window's layout name.
  TFm_Base(widgets::Application& app, std::string layout_name);
};

}  // namespace windows
