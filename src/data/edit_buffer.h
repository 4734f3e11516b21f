// The edit buffer of a dataset, internal to the dataset engine: the record being edited, held
// apart from the store until it is posted.
//
// What an edit buffer guarantees:
// - Begin copies every column of one row; reads of the record being edited come from the copy,
//   so nothing reaches the store (or its change log) before WriteTo.
// - WriteTo stores the columns that were set, and keeps the store's change log true: the first
//   change of a stored column, or of the row's lines, records the row's values as the server sent
//   them; a row whose stored values are changed back to those leaves the log again (unless its
//   lines changed). Local columns are stored but never logged.
// - The lines of the record can be kept as they were (a snapshot, taken once per edit) and put
//   back when the edit is cancelled.
// - A lookup field may show a value of its own while the record is edited; it is forgotten when
//   the buffer ends or a key field of the lookup is set.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "data/record_store.h"

namespace data {
class Field;
}

namespace data::internal {

class EditBuffer {
 public:
  // Starts editing `row` of `store`: a copy of its columns, nothing set yet.
  void Begin(const RecordStore& store, uint32_t row);
  // Ends editing (after a post or a cancel): the copy, the snapshot and the lookup values go.
  void End();

  const Value& Get(int column) const { return values_[static_cast<size_t>(column)]; }
  void Set(int column, Value value);
  // A column or the record's lines were set since Begin.
  bool Modified() const { return modified_ || lines_modified_; }
  bool LinesModified() const { return lines_modified_; }
  void MarkLinesModified() { lines_modified_ = true; }

  // Stores what was set into `row` of `store`, keeping its change log (see above).
  void WriteTo(RecordStore& store, uint32_t row) const;

  // The lines of `row` as they are now, kept for a cancel (once per edit).
  void KeepLines(const RecordStore& store, uint32_t row);
  bool KeptLines() const { return lines_kept_; }
  // Puts the kept lines back into `row` of `store`.
  void RestoreLines(RecordStore& store, uint32_t row);

  // A lookup field's own value while editing, or null.
  const Value* LookupValue(const Field* field) const;
  void SetLookupValue(const Field* field, Value value);
  // Forgets the lookup values of the fields `keyed` says are keyed by a column just set.
  template <class Pred>
  void ForgetLookupValues(Pred keyed) {
    std::erase_if(lookups_, [&](const auto& entry) { return keyed(entry.first); });
  }

 private:
  std::vector<Value> values_;
  std::vector<uint8_t> set_;
  bool modified_ = false;
  bool lines_modified_ = false;
  bool lines_kept_ = false;
  std::vector<std::unique_ptr<RecordStore>> kept_lines_;
  std::vector<std::pair<const Field*, Value>> lookups_;
};

}  // namespace data::internal
