// A data source (`ds_` component): names the rows that data-bound controls show (a row model)
// and tells them when the rows move, change or go away. When the model goes away the source
// lets go of it and its controls show nothing from then on.
#pragma once

#include <string>
#include <vector>

#include "widgets/control.h"
#include "widgets/row_model.h"

namespace widgets {

// A control that shows data of a source.
class DataClient {
 public:
  virtual ~DataClient() = default;
  virtual void DataEvent(RowModelObserver::Event event) = 0;
};

class DataSource : public Object, private RowModelObserver {
 public:
  DataSource(std::string name, RowModel* model);
  ~DataSource() override;
  const char* Kind() const override { return "DataSource"; }

  // The rows, or null (none set, or gone).
  RowModel* Model() const { return model_; }
  void SetModel(RowModel* model);

  void Attach(DataClient* client);
  void Detach(DataClient* client);

 private:
  void RowModelEvent(RowModel& model, Event event) override;
  void Notify(Event event);

  RowModel* model_ = nullptr;
  std::vector<DataClient*> clients_;
};

}  // namespace widgets
