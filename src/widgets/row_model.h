// What the data-bound controls (the grid, the data-bound edit and memo) need of the rows they
// show, stated by the toolkit itself: a table of rows with a current row, fields read and
// written as text by name, and filtering by column values. The program supplies the model (the
// module's client datasets stand behind it, binding/dataset_model.h); the toolkit knows nothing
// of where the rows come from.
//
// Rows are counted from 0 among the visible rows. Every call that changes or moves the rows may
// fail with the model's error (a text that a number field refuses, a row that cannot be posted);
// the control lets it reach the caller, as the operator's action that raised it.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace widgets {

class RowModel;

// Told when the model changes. Opened: the rows were opened or closed. Moved: the current row
// moved. RowsChanged: rows changed, arrived, were filtered or replaced. RecordChanged: a field of
// the row being edited was set. EditingChanged: the current row started or ended being edited.
// Destroying: the model is going away; forget it.
class RowModelObserver {
 public:
  enum class Event { Opened, Moved, RowsChanged, RecordChanged, EditingChanged, Destroying };
  virtual ~RowModelObserver() = default;
  virtual void RowModelEvent(RowModel& model, Event event) = 0;
};

// One condition of a column filter: the field's text equals the value, compared exactly.
struct ColumnCondition {
  std::string field;
  std::string value;
};

class RowModel {
 public:
  virtual ~RowModel() = default;

  // Whether there are rows to show at all (the dataset is open).
  virtual bool Active() const = 0;
  // The current row is being edited (its changes not yet stored), or a new row being added.
  virtual bool Editing() const = 0;
  virtual bool Adding() const = 0;

  // --- Rows and the current row ---
  virtual int RowCount() const = 0;
  // The current row, or -1 when there is none.
  virtual int CurrentRow() const = 0;
  // Makes `row` the current row.
  virtual void MoveTo(int row) = 0;
  virtual void MoveFirst() = 0;
  virtual void MoveLast() = 0;
  virtual void MoveNext() = 0;
  virtual void MovePrior() = 0;
  // The moves past the first or the last row have been asked for (and stayed).
  virtual bool AtBegin() const = 0;
  virtual bool AtEnd() const = 0;

  // --- Fields ---
  virtual bool HasField(std::string_view field) const = 0;
  // The field's text on the current row ("" when there is none).
  virtual std::string Text(std::string_view field) const = 0;
  // Sets the field of the current row from `text`, starting to edit the row first.
  virtual void SetText(std::string_view field, std::string_view text) = 0;
  // The field's text and number on any visible row, without moving the current row (the row
  // being edited reads as edited).
  virtual std::string TextAt(int row, std::string_view field) const = 0;
  virtual double NumberAt(int row, std::string_view field) const = 0;

  // --- Filtering ---
  // Shows only the rows that meet every condition (all rows when there is none); the current row
  // becomes the first visible one.
  virtual void FilterByColumns(const std::vector<ColumnCondition>& conditions) = 0;

  // --- Observers ---
  virtual void AddObserver(RowModelObserver* observer) = 0;
  virtual void RemoveObserver(RowModelObserver* observer) = 0;
};

}  // namespace widgets
