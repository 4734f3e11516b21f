// The view of a dataset, internal to the dataset engine: which records of a store are visible,
// in store order, where the cursor stands among them and its begin and end flags.
//
// What a view guarantees:
// - Without a filter every live record of the store is visible (the store's own order, nothing
//   copied); with one, exactly the live records it accepted when they were shown, in row order.
// - The cursor stands on a visible record, or at position 0 when none is visible, and then both
//   flags are set.
// - First sets the begin flag (and the end flag when nothing is visible); Last the end flag (and
//   clears the begin flag unless nothing is visible). Next from the last record sets the end flag
//   and stays; Prior from the first sets the begin flag and stays; neither moves with its flag
//   set already. Going to a record by position clears both flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "data/record_store.h"

namespace data::internal {

class RecordView {
 public:
  // Whether a row of the store passes the filter.
  using Filter = std::function<bool(uint32_t row)>;

  // Shows the live records of `store` (null: none) that `filter` accepts (every one when there is
  // no filter); the cursor on the first, with the begin flag, and the end flag when none shows.
  void Show(const RecordStore* store, const Filter* filter);
  // Nothing shown.
  void Clear() { Show(nullptr, nullptr); }

  const RecordStore* Store() const { return store_; }
  uint32_t Count() const {
    if (store_ == nullptr) return 0;
    return filtered_ ? static_cast<uint32_t>(visible_.size()) : store_->LiveCount();
  }
  // The row of the record at `pos` (0-based among the visible ones; pos < Count()).
  uint32_t RowAt(uint32_t pos) const { return filtered_ ? visible_[pos] : store_->LiveRow(pos); }
  // The position of `row` among the visible records, or -1 when it is not visible.
  int64_t PosOf(uint32_t row) const;

  uint32_t Pos() const { return pos_; }
  bool HasCurrent() const { return pos_ < Count(); }
  uint32_t CurrentRow() const { return RowAt(pos_); }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }

  // --- Cursor moves; false when the cursor did not move (Next with the end flag set, Prior with
  // the begin flag set). ---
  void First();
  void Last();
  bool Next();
  bool Prior();
  // To the record at `pos` (pos < Count()).
  void Goto(uint32_t pos);

  // Rows appended to the store from `first` on (the store holds them already; `filter` is the one
  // the view was shown with) become visible where it accepts them. When
  // records arrived the end flag is cleared, so that the next Next reaches them; true then.
  bool Appended(uint32_t first, const Filter* filter);
  // `row` is visible no longer (deleted, or no longer accepted by the filter). The cursor keeps
  // its position, on the record that followed, or on the last one when it stood on the last;
  // both flags are set when nothing is left, cleared otherwise.
  void Remove(uint32_t row);

  size_t MemoryUsage() const { return visible_.capacity() * sizeof(uint32_t); }

 private:
  const RecordStore* store_ = nullptr;
  bool filtered_ = false;
  std::vector<uint32_t> visible_;  // filtered: the visible rows, ascending
  uint32_t pos_ = 0;
  bool bof_ = true, eof_ = true;
};

}  // namespace data::internal
