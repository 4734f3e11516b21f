// A data source (`ds_` component): names the dataset that data-bound controls show, and tells
// them when the dataset moves, changes or goes away. When the dataset is destroyed the source
// lets go of it and its controls show nothing from then on.
#pragma once

#include <string>
#include <vector>

#include "data/dataset.h"
#include "widgets/control.h"

namespace widgets {

// A control that shows data of a source.
class DataClient {
 public:
  virtual ~DataClient() = default;
  virtual void DataEvent(data::DataLink::Event event) = 0;
};

class DataSource : public Object, private data::DataLink {
 public:
  DataSource(std::string name, data::ClientDataSet* dataset);
  ~DataSource() override;
  const char* Kind() const override { return "DataSource"; }

  // The dataset, or null (none set, or destroyed).
  data::ClientDataSet* DataSet() const { return dataset_; }
  void SetDataSet(data::ClientDataSet* dataset);

  void Attach(DataClient* client);
  void Detach(DataClient* client);

 private:
  void DataSetEvent(data::ClientDataSet& dataset, Event event) override;
  void Notify(Event event);

  data::ClientDataSet* dataset_ = nullptr;
  std::vector<DataClient*> clients_;
};

}  // namespace widgets
