// A window that owns client datasets and shows them through data sources: the windows of the
// module are built on it.
//
// Each dataset lives in a member of the window (its `slot`, cds_...). Destroying a dataset
// through DestroyDataSet lets every data source, grid and data-bound control that shows it go
// first (the dataset's destruction tells them), then empties the slot, so the window neither uses
// nor destroys it again. The window destroys its controls before its datasets.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "binding/dataset_model.h"
#include "data/dataset.h"
#include "widgets/application.h"
#include "widgets/datasource.h"
#include "widgets/form.h"

namespace binding {

class DataForm : public widgets::Form {
 public:
  using widgets::Form::Form;
  ~DataForm() override;

  // Creates a dataset owned by this window and stores it in `*slot`.
  data::ClientDataSet* AddDataSet(data::ClientDataSet** slot, std::string name);
  // Takes over a dataset created elsewhere.
  data::ClientDataSet* AdoptDataSet(std::unique_ptr<data::ClientDataSet> dataset,
                                    data::ClientDataSet** slot);
  bool OwnsDataSet(const data::ClientDataSet* dataset) const;
  void DestroyDataSet(data::ClientDataSet* dataset);
  data::ClientDataSet* FindDataSet(std::string_view name) const;
  // A data source over `dataset` (a dataset of this window or of one that outlives it).
  widgets::DataSource* AddDataSource(std::string name, data::ClientDataSet* dataset);

  // The window of `app` that owns `dataset`, or null.
  static DataForm* OwnerOf(const widgets::Application& app, const data::ClientDataSet* dataset);

 private:
  struct OwnedDataSet {
    std::unique_ptr<data::ClientDataSet> dataset;
    data::ClientDataSet** slot = nullptr;
  };
  std::vector<OwnedDataSet> datasets_;
  // One model per dataset shown, kept until the window goes.
  std::vector<std::unique_ptr<DataSetModel>> models_;
};

}  // namespace binding
