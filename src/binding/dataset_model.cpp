#include "binding/dataset_model.h"

#include <algorithm>

#include "rtl/quoted.h"

namespace binding {

using Observed = widgets::RowModelObserver::Event;

DataSetModel::DataSetModel(data::ClientDataSet* dataset) : dataset_(dataset) {
  if (dataset_ != nullptr) dataset_->AddLink(this);
}

DataSetModel::~DataSetModel() {
  if (dataset_ != nullptr) dataset_->RemoveLink(this);
  Forget();
}

void DataSetModel::Forget() {
  Notify(Observed::Destroying);
  // Every observer has let go of the model: none is told anything again.
  observers_.clear();
}

bool DataSetModel::Active() const {
  return dataset_ != nullptr && dataset_->Active();
}
bool DataSetModel::Editing() const {
  return dataset_ != nullptr && dataset_->State() == data::DataSetState::Edit;
}
bool DataSetModel::Adding() const {
  return dataset_ != nullptr && dataset_->State() == data::DataSetState::Insert;
}

int DataSetModel::RowCount() const {
  return Active() ? dataset_->RecordCount() : 0;
}
int DataSetModel::CurrentRow() const {
  if (!Active() || dataset_->IsEmpty()) return -1;
  return dataset_->RecNo() - 1;
}
void DataSetModel::MoveTo(int row) {
  if (dataset_ != nullptr) dataset_->SetRecNo(row + 1);
}
void DataSetModel::MoveFirst() {
  if (dataset_ != nullptr) dataset_->First();
}
void DataSetModel::MoveLast() {
  if (dataset_ != nullptr) dataset_->Last();
}
void DataSetModel::MoveNext() {
  if (dataset_ != nullptr) dataset_->Next();
}
void DataSetModel::MovePrior() {
  if (dataset_ != nullptr) dataset_->Prior();
}
bool DataSetModel::AtBegin() const {
  return dataset_ == nullptr || dataset_->Bof();
}
bool DataSetModel::AtEnd() const {
  return dataset_ == nullptr || dataset_->Eof();
}

bool DataSetModel::HasField(std::string_view field) const {
  return dataset_ != nullptr && dataset_->FindField(field) != nullptr;
}

data::Field& DataSetModel::Need(std::string_view field) const {
  if (dataset_ == nullptr) throw data::DataError("The dataset is gone");
  return dataset_->FieldByName(field);
}

std::string DataSetModel::Text(std::string_view field) const {
  data::Field* f = dataset_ != nullptr ? dataset_->FindField(field) : nullptr;
  return f != nullptr ? f->AsString() : std::string();
}

void DataSetModel::SetText(std::string_view field, std::string_view text) {
  data::Field& f = Need(field);
  if (dataset_->State() == data::DataSetState::Browse) dataset_->Edit();
  f.SetAsString(text);
}

std::string DataSetModel::TextAt(int row, std::string_view field) const {
  return dataset_->TextAt(row, Need(field));
}

double DataSetModel::NumberAt(int row, std::string_view field) const {
  return dataset_->FloatAt(row, Need(field));
}

void DataSetModel::FilterByColumns(const std::vector<widgets::ColumnCondition>& conditions) {
  if (dataset_ == nullptr) return;
  std::string expression;
  for (const widgets::ColumnCondition& c : conditions) {
    if (!expression.empty()) expression += " AND ";
    expression += c.field + "=" + rtl::QuotedStr(c.value);
  }
  dataset_->SetFiltered(false);
  dataset_->SetFilter(expression);
  if (!expression.empty()) dataset_->SetFiltered(true);
}

void DataSetModel::AddObserver(widgets::RowModelObserver* observer) {
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
}

void DataSetModel::RemoveObserver(widgets::RowModelObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void DataSetModel::DataSetEvent(data::ClientDataSet& dataset, Event event) {
  if (&dataset != dataset_) return;
  switch (event) {
    case Event::ActiveChanged:
      Notify(Observed::Opened);
      break;
    case Event::Scrolled:
      Notify(Observed::Moved);
      break;
    case Event::DataChanged:
      Notify(Observed::RowsChanged);
      break;
    case Event::RecordChanged:
      Notify(Observed::RecordChanged);
      break;
    case Event::StateChanged:
      Notify(Observed::EditingChanged);
      break;
    case Event::Destroying:
      dataset_ = nullptr;
      Forget();
      break;
  }
}

void DataSetModel::Notify(Observed event) {
  // An observer may remove itself while being told; work on a copy.
  std::vector<widgets::RowModelObserver*> observers = observers_;
  for (widgets::RowModelObserver* o : observers) {
    if (std::find(observers_.begin(), observers_.end(), o) != observers_.end()) {
      o->RowModelEvent(*this, event);
    }
  }
}

}  // namespace binding
