#include "widgets/datasource.h"

#include <algorithm>

namespace widgets {

DataSource::DataSource(std::string name, data::ClientDataSet* dataset) : Object(std::move(name)) {
  SetDataSet(dataset);
}

DataSource::~DataSource() {
  if (dataset_ != nullptr) dataset_->RemoveLink(this);
}

void DataSource::SetDataSet(data::ClientDataSet* dataset) {
  if (dataset_ == dataset) return;
  if (dataset_ != nullptr) dataset_->RemoveLink(this);
  dataset_ = dataset;
  if (dataset_ != nullptr) dataset_->AddLink(this);
  Notify(Event::ActiveChanged);
}

void DataSource::Attach(DataClient* client) {
  if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) {
    clients_.push_back(client);
  }
}

void DataSource::Detach(DataClient* client) {
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void DataSource::DataSetEvent(data::ClientDataSet& dataset, Event event) {
  if (&dataset != dataset_) return;
  if (event == Event::Destroying) dataset_ = nullptr;
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
