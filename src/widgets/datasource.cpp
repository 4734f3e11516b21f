#include "widgets/datasource.h"

#include <algorithm>

namespace widgets {

DataSource::DataSource(std::string name, RowModel* model) : Object(std::move(name)) {
  SetModel(model);
}

DataSource::~DataSource() {
  if (model_ != nullptr) model_->RemoveObserver(this);
}

void DataSource::SetModel(RowModel* model) {
  if (model_ == model) return;
  if (model_ != nullptr) model_->RemoveObserver(this);
  model_ = model;
  if (model_ != nullptr) model_->AddObserver(this);
  Notify(Event::Opened);
}

void DataSource::Attach(DataClient* client) {
  if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) {
    clients_.push_back(client);
  }
}

void DataSource::Detach(DataClient* client) {
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void DataSource::RowModelEvent(RowModel& model, Event event) {
  if (&model != model_) return;
  if (event == Event::Destroying) {
    model_ = nullptr;
    model.RemoveObserver(this);
  }
  Notify(event);
}

void DataSource::Notify(Event event) {
  // A client may detach itself while being told; work on a copy.
  std::vector<DataClient*> clients = clients_;
  for (DataClient* c : clients) {
    if (std::find(clients_.begin(), clients_.end(), c) != clients_.end()) c->DataEvent(event);
  }
}

}  // namespace widgets
