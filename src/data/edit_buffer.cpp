#include "data/edit_buffer.h"

namespace data::internal {

void EditBuffer::Begin(const RecordStore& store, uint32_t row) {
  int columns = store.ColumnCount();
  values_.resize(static_cast<size_t>(columns));
  for (int c = 0; c < columns; ++c) values_[static_cast<size_t>(c)] = store.Get(row, c);
  set_.assign(static_cast<size_t>(columns), 0);
  modified_ = false;
  lines_modified_ = false;
  lines_kept_ = false;
  kept_lines_.clear();
  lookups_.clear();
}

void EditBuffer::End() {
  values_.clear();
  set_.clear();
  modified_ = false;
  lines_modified_ = false;
  lines_kept_ = false;
  kept_lines_.clear();
  lookups_.clear();
}

void EditBuffer::Set(int column, Value value) {
  values_[static_cast<size_t>(column)] = std::move(value);
  set_[static_cast<size_t>(column)] = 1;
  modified_ = true;
}

void EditBuffer::WriteTo(RecordStore& store, uint32_t row) const {
  const Layout& layout = store.layout();
  bool stored_change = false;
  for (size_t c = 0; c < layout.columns.size(); ++c) {
    if (set_[c] && layout.columns[c].stored &&
        !(store.Get(row, static_cast<int>(c)) == values_[c])) {
      stored_change = true;
    }
  }
  bool line_changes = store.ChildrenHaveChanges(row);
  auto& log = store.changes();
  if ((stored_change || line_changes) && log.find(row) == log.end()) {
    log[row] = RecordStore::Change{remote::ChangeKind::Modify, store.StoredValues(row)};
  }
  for (size_t c = 0; c < layout.columns.size(); ++c) {
    if (set_[c]) store.Set(row, static_cast<int>(c), values_[c]);
  }
  auto it = log.find(row);
  if (it != log.end() && it->second.kind == remote::ChangeKind::Modify && !line_changes &&
      store.StoredValues(row) == it->second.original) {
    log.erase(it);  // changed back to what the server holds
  }
}

void EditBuffer::KeepLines(const RecordStore& store, uint32_t row) {
  if (lines_kept_) return;
  int n = static_cast<int>(store.layout().nested.size());
  kept_lines_.clear();
  for (int i = 0; i < n; ++i) {
    RecordStore* lines = store.Child(row, i);
    kept_lines_.push_back(lines ? std::make_unique<RecordStore>(*lines) : nullptr);
  }
  lines_kept_ = true;
}

void EditBuffer::RestoreLines(RecordStore& store, uint32_t row) {
  for (size_t i = 0; i < kept_lines_.size(); ++i) {
    store.ChildSlot(row, static_cast<int>(i)) = std::move(kept_lines_[i]);
  }
  kept_lines_.clear();
  lines_kept_ = false;
}

const Value* EditBuffer::LookupValue(const Field* field) const {
  for (const auto& [f, value] : lookups_) {
    if (f == field) return &value;
  }
  return nullptr;
}

void EditBuffer::SetLookupValue(const Field* field, Value value) {
  for (auto& entry : lookups_) {
    if (entry.first == field) {
      entry.second = std::move(value);
      return;
    }
  }
  lookups_.emplace_back(field, std::move(value));
}

}  // namespace data::internal
