// The toolkit's row model (widgets/row_model.h) over a client dataset: what a grid or a
// data-bound edit shows of a dataset and writes to it. The only code that knows both the toolkit
// and the dataset engine lives in this layer.
//
// The model does not own its dataset. When the dataset is destroyed the model tells its
// observers (Destroying) and stands empty from then on: it has no rows and no fields.
#pragma once

#include <vector>

#include "data/dataset.h"
#include "widgets/row_model.h"

namespace binding {

class DataSetModel final : public widgets::RowModel, private data::DataLink {
 public:
  explicit DataSetModel(data::ClientDataSet* dataset);
  ~DataSetModel() override;
  DataSetModel(const DataSetModel&) = delete;
  DataSetModel& operator=(const DataSetModel&) = delete;

  // The dataset, or null once it has been destroyed.
  data::ClientDataSet* DataSet() const { return dataset_; }

  bool Active() const override;
  bool Editing() const override;
  bool Adding() const override;

  int RowCount() const override;
  int CurrentRow() const override;
  void MoveTo(int row) override;
  void MoveFirst() override;
  void MoveLast() override;
  void MoveNext() override;
  void MovePrior() override;
  bool AtBegin() const override;
  bool AtEnd() const override;

  bool HasField(std::string_view field) const override;
  std::string Text(std::string_view field) const override;
  // The field must exist (the dataset's error naming it otherwise); a row in browse state is put
  // into edit state first.
  void SetText(std::string_view field, std::string_view text) override;
  std::string TextAt(int row, std::string_view field) const override;
  double NumberAt(int row, std::string_view field) const override;

  // The dataset's filter expression becomes the conditions FIELD='value' (the value quoted as
  // every text literal of the module is, rtl::QuotedStr) joined by " AND ", switched on; with no
  // condition the filter is switched off and emptied.
  void FilterByColumns(const std::vector<widgets::ColumnCondition>& conditions) override;

  void AddObserver(widgets::RowModelObserver* observer) override;
  void RemoveObserver(widgets::RowModelObserver* observer) override;

 private:
  void DataSetEvent(data::ClientDataSet& dataset, Event event) override;
  void Notify(widgets::RowModelObserver::Event event);
  // Tells the observers that the rows are gone, and forgets them.
  void Forget();
  data::Field& Need(std::string_view field) const;

  data::ClientDataSet* dataset_;
  std::vector<widgets::RowModelObserver*> observers_;
};

}  // namespace binding
