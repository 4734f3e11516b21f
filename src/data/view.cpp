#include "data/view.h"

#include <algorithm>

namespace data::internal {

void RecordView::Show(const RecordStore* store, const Filter* filter) {
  store_ = store;
  filtered_ = store_ != nullptr && filter != nullptr && *filter;
  visible_.clear();
  if (filtered_) {
    for (uint32_t p = 0; p < store_->LiveCount(); ++p) {
      uint32_t row = store_->LiveRow(p);
      if ((*filter)(row)) visible_.push_back(row);
    }
  }
  pos_ = 0;
  bof_ = true;
  eof_ = Count() == 0;
}

int64_t RecordView::PosOf(uint32_t row) const {
  if (store_ == nullptr || !store_->Live(row)) return -1;
  if (!filtered_) return store_->LivePos(row);
  auto it = std::lower_bound(visible_.begin(), visible_.end(), row);
  if (it == visible_.end() || *it != row) return -1;
  return it - visible_.begin();
}

void RecordView::First() {
  pos_ = 0;
  bof_ = true;
  eof_ = Count() == 0;
}

void RecordView::Last() {
  uint32_t n = Count();
  pos_ = n > 0 ? n - 1 : 0;
  bof_ = n == 0;
  eof_ = true;
}

bool RecordView::Next() {
  if (eof_) return false;
  bof_ = false;
  if (pos_ + 1 < Count()) {
    ++pos_;
  } else {
    eof_ = true;
  }
  return true;
}

bool RecordView::Prior() {
  if (bof_) return false;
  eof_ = false;
  if (pos_ > 0) {
    --pos_;
  } else {
    bof_ = true;
  }
  return true;
}

void RecordView::Goto(uint32_t pos) {
  pos_ = pos;
  bof_ = false;
  eof_ = false;
}

bool RecordView::Appended(uint32_t first, const Filter* filter) {
  if (store_ == nullptr) return false;
  // The store holds the new rows already; every one of them is live.
  uint32_t before = filtered_ ? static_cast<uint32_t>(visible_.size())
                              : store_->LiveCount() - (store_->RowCount() - first);
  if (filtered_) {
    for (uint32_t row = first; row < store_->RowCount(); ++row) {
      if (store_->Live(row) && (*filter)(row)) visible_.push_back(row);
    }
  }
  if (Count() == before) return false;
  eof_ = false;
  return true;
}

void RecordView::Remove(uint32_t row) {
  if (filtered_) {
    auto it = std::lower_bound(visible_.begin(), visible_.end(), row);
    if (it != visible_.end() && *it == row) visible_.erase(it);
  }
  uint32_t n = Count();
  if (pos_ >= n) pos_ = n > 0 ? n - 1 : 0;
  bof_ = eof_ = n == 0;
}

}  // namespace data::internal
