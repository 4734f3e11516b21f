#include "binding/data_form.h"

#include <algorithm>

namespace binding {

DataForm::~DataForm() {
  DestroyContents();
  while (!datasets_.empty()) {
    OwnedDataSet owned = std::move(datasets_.back());
    datasets_.pop_back();
    if (owned.slot != nullptr && *owned.slot == owned.dataset.get()) *owned.slot = nullptr;
    owned.dataset.reset();
  }
  models_.clear();
}

data::ClientDataSet* DataForm::AddDataSet(data::ClientDataSet** slot, std::string name) {
  return AdoptDataSet(std::make_unique<data::ClientDataSet>(std::move(name)), slot);
}

data::ClientDataSet* DataForm::AdoptDataSet(std::unique_ptr<data::ClientDataSet> dataset,
                                            data::ClientDataSet** slot) {
  data::ClientDataSet* raw = dataset.get();
  datasets_.push_back(OwnedDataSet{std::move(dataset), slot});
  if (slot != nullptr) *slot = raw;
  return raw;
}

bool DataForm::OwnsDataSet(const data::ClientDataSet* dataset) const {
  return std::any_of(datasets_.begin(), datasets_.end(),
                     [&](const OwnedDataSet& o) { return o.dataset.get() == dataset; });
}

void DataForm::DestroyDataSet(data::ClientDataSet* dataset) {
  auto it = std::find_if(datasets_.begin(), datasets_.end(),
                         [&](const OwnedDataSet& o) { return o.dataset.get() == dataset; });
  if (it == datasets_.end()) return;
  OwnedDataSet owned = std::move(*it);
  datasets_.erase(it);
  if (owned.slot != nullptr && *owned.slot == dataset) *owned.slot = nullptr;
  owned.dataset.reset();
}

data::ClientDataSet* DataForm::FindDataSet(std::string_view name) const {
  for (const auto& o : datasets_) {
    if (o.dataset->Name() == name) return o.dataset.get();
  }
  return nullptr;
}

widgets::DataSource* DataForm::AddDataSource(std::string name, data::ClientDataSet* dataset) {
  DataSetModel* model = nullptr;
  for (const auto& m : models_) {
    if (m->DataSet() == dataset) model = m.get();
  }
  if (model == nullptr && dataset != nullptr) {
    models_.push_back(std::make_unique<DataSetModel>(dataset));
    model = models_.back().get();
  }
  return Form::AddDataSource(std::move(name), model);
}

DataForm* DataForm::OwnerOf(const widgets::Application& app, const data::ClientDataSet* dataset) {
  for (widgets::Form* f : app.Forms()) {
    auto* owner = dynamic_cast<DataForm*>(f);
    if (owner != nullptr && owner->OwnsDataSet(dataset)) return owner;
  }
  return nullptr;
}

}  // namespace binding
