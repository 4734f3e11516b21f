#include "data/record_store.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace data::internal {
namespace {

std::atomic<uint32_t> g_next_serial{1};

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

uint64_t Mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  return h;
}

constexpr uint64_t kNullHash = 0x6E756C6C6E756C6Cull;

uint64_t HashText(std::string_view text) {
  return std::hash<std::string_view>()(text);
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

int Layout::ColumnIndex(std::string_view name) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (SameName(columns[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

int Layout::NestedIndex(std::string_view name) const {
  for (size_t i = 0; i < nested.size(); ++i) {
    if (SameName(nested[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

uint64_t DoubleBits(double d) {
  if (d == 0) d = 0;  // -0 and +0 are one value
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

double BitsDouble(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// ---------------------------------------------------------------------------------------------
// KeyIndex

uint64_t KeyIndex::HashRow(const RecordStore& store, uint32_t row) const {
  uint64_t h = 0;
  for (int col : columns_) {
    if (store.layout().columns[col].type == FieldType::Text) {
      h = Mix(h, HashText(store.Text(row, col)));
    } else {
      h = Mix(h, store.IsNull(row, col) ? kNullHash : store.Bits(row, col));
    }
  }
  return h;
}

uint64_t KeyIndex::HashProbes(const RecordStore& store, const std::vector<Probe>& probes) const {
  uint64_t h = 0;
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (store.layout().columns[columns_[i]].type == FieldType::Text) {
      h = Mix(h, HashText(probes[i].text));
    } else {
      h = Mix(h, probes[i].null ? kNullHash : probes[i].bits);
    }
  }
  return h;
}

bool KeyIndex::RowMatches(const RecordStore& store, uint32_t row,
                          const std::vector<Probe>& probes) const {
  for (size_t i = 0; i < columns_.size(); ++i) {
    int col = columns_[i];
    if (store.layout().columns[col].type == FieldType::Text) {
      if (store.Text(row, col) != probes[i].text) return false;
    } else {
      bool null = store.IsNull(row, col);
      if (null != probes[i].null) return false;
      if (!null && store.Bits(row, col) != probes[i].bits) return false;
    }
  }
  return true;
}

uint32_t KeyIndex::FirstRow(uint64_t hash) const {
  if (heads_.empty()) return kNoRow;
  return heads_[Slot(hash)];
}

void KeyIndex::Rehash(const RecordStore& store, size_t min_rows) {
  size_t slots = 16;
  int bits = 4;
  while (slots < min_rows + min_rows / 2) {
    slots <<= 1;
    ++bits;
  }
  shift_ = 64 - bits;
  heads_.assign(slots, kNoRow);
  tails_.assign(slots, kNoRow);
  next_.assign(store.RowCount(), kNoRow);
  count_ = 0;
  for (uint32_t row = 0; row < store.RowCount(); ++row) {
    if (store.Live(row)) Link(row, HashRow(store, row));
  }
}

void KeyIndex::Build(const RecordStore& store) {
  Rehash(store, store.LiveCount());
}

// Rows arrive in ascending order during building and appending, so the usual case is a link
// at the tail; a row re-keyed by an edit is linked at its place in the chain.
void KeyIndex::Link(uint32_t row, uint64_t hash) {
  size_t slot = Slot(hash);
  ++count_;
  uint32_t head = heads_[slot];
  if (head == kNoRow) {
    heads_[slot] = tails_[slot] = row;
    next_[row] = kNoRow;
    return;
  }
  if (tails_[slot] < row) {
    next_[tails_[slot]] = row;
    next_[row] = kNoRow;
    tails_[slot] = row;
    return;
  }
  if (row < head) {
    next_[row] = head;
    heads_[slot] = row;
    return;
  }
  uint32_t prev = head;
  while (next_[prev] != kNoRow && next_[prev] < row) prev = next_[prev];
  next_[row] = next_[prev];
  next_[prev] = row;
}

void KeyIndex::InsertRows(const RecordStore& store, uint32_t first, uint32_t last) {
  if (next_.size() < store.RowCount()) next_.resize(store.RowCount(), kNoRow);
  size_t adding = last - first;
  if (count_ + adding > heads_.size() - heads_.size() / 4) {
    Rehash(store, count_ + adding);  // links every live row, these included
    return;
  }
  for (uint32_t row = first; row < last; ++row) {
    if (store.Live(row)) Link(row, HashRow(store, row));
  }
}

void KeyIndex::Erase(const RecordStore& store, uint32_t row) {
  if (heads_.empty()) return;
  size_t slot = Slot(HashRow(store, row));
  uint32_t prev = kNoRow;
  for (uint32_t r = heads_[slot]; r != kNoRow; prev = r, r = next_[r]) {
    if (r != row) continue;
    if (prev == kNoRow) {
      heads_[slot] = next_[r];
    } else {
      next_[prev] = next_[r];
    }
    if (tails_[slot] == r) tails_[slot] = prev;
    next_[r] = kNoRow;
    --count_;
    return;
  }
}

size_t KeyIndex::MemoryUsage() const {
  return (heads_.capacity() + tails_.capacity() + next_.capacity()) * sizeof(uint32_t) +
         columns_.capacity() * sizeof(int) + sizeof(*this);
}

// ---------------------------------------------------------------------------------------------
// RecordStore

RecordStore::RecordStore(std::shared_ptr<const Layout> layout)
    : layout_(std::move(layout)),
      serial_(g_next_serial.fetch_add(1)),
      cols_(static_cast<int>(layout_->columns.size())),
      nested_count_(static_cast<int>(layout_->nested.size())) {}

RecordStore::RecordStore(const RecordStore& other)
    : layout_(other.layout_),
      serial_(g_next_serial.fetch_add(1)),
      cols_(other.cols_),
      nested_count_(other.nested_count_),
      rows_(other.rows_),
      cells_(other.cells_),
      nulls_(other.nulls_),
      arena_(other.arena_),
      all_live_(other.all_live_),
      live_(other.live_),
      deleted_(other.deleted_),
      changes_(other.changes_) {
  children_.resize(other.children_.size());
  for (size_t i = 0; i < children_.size(); ++i) {
    if (other.children_[i]) children_[i] = std::make_unique<RecordStore>(*other.children_[i]);
  }
}

RecordStore::~RecordStore() = default;

std::string_view RecordStore::Text(uint32_t row, int col) const {
  if (IsNull(row, col)) return {};
  uint64_t bits = cells_[Cell(row, col)];
  return std::string_view(arena_.data() + (bits >> 32), static_cast<uint32_t>(bits));
}

double RecordStore::Double(uint32_t row, int col) const {
  if (IsNull(row, col)) return 0;
  return BitsDouble(cells_[Cell(row, col)]);
}

int64_t RecordStore::Int(uint32_t row, int col) const {
  if (IsNull(row, col)) return 0;
  return static_cast<int64_t>(cells_[Cell(row, col)]);
}

Value RecordStore::Get(uint32_t row, int col) const {
  if (IsNull(row, col)) return Value();
  switch (layout_->columns[col].type) {
    case FieldType::Text:
      return Value::Text(std::string(Text(row, col)));
    case FieldType::Float:
      return Value::Float(Double(row, col));
    case FieldType::DateTime:
      return Value::Date(rtl::DateTime{Double(row, col)});
    case FieldType::Integer:
      return Value::Integer(Int(row, col));
    case FieldType::Nested:
      break;
  }
  return Value();
}

void RecordStore::SetNullBit(uint32_t row, int col, bool null) {
  size_t bit = Cell(row, col);
  if (null) {
    nulls_[bit >> 6] |= (uint64_t{1} << (bit & 63));
  } else {
    nulls_[bit >> 6] &= ~(uint64_t{1} << (bit & 63));
  }
}

uint64_t RecordStore::AppendArena(std::string_view text) {
  // Offsets are 32-bit; the sum is taken in 64 bits so that it cannot wrap on a 32-bit build.
  if (uint64_t{arena_.size()} + text.size() > 0xFFFFFFFFull) {
    throw std::length_error("the dataset's text storage is full");
  }
  uint64_t offset = arena_.size();
  arena_.append(text);
  return (offset << 32) | text.size();
}

void RecordStore::LoadText(uint32_t row, int col, std::string_view text) {
  cells_[Cell(row, col)] = AppendArena(text);
  SetNullBit(row, col, false);
}

void RecordStore::LoadBits(uint32_t row, int col, uint64_t bits) {
  cells_[Cell(row, col)] = bits;
  SetNullBit(row, col, false);
}

void RecordStore::Set(uint32_t row, int col, const Value& value) {
  std::vector<KeyIndex*> touched;
  for (auto& index : indexes_) {
    const auto& cols = index->Columns();
    if (std::find(cols.begin(), cols.end(), col) != cols.end() && Live(row)) {
      index->Erase(*this, row);
      touched.push_back(index.get());
    }
  }
  if (value.is_null()) {
    cells_[Cell(row, col)] = 0;
    SetNullBit(row, col, true);
  } else {
    switch (layout_->columns[col].type) {
      case FieldType::Text:
        LoadText(row, col, value.text());
        break;
      case FieldType::Float:
        LoadBits(row, col, DoubleBits(value.float_value()));
        break;
      case FieldType::DateTime:
        LoadBits(row, col, DoubleBits(value.date().value));
        break;
      case FieldType::Integer:
        LoadBits(row, col, static_cast<uint64_t>(value.integer()));
        break;
      case FieldType::Nested:
        break;
    }
  }
  for (KeyIndex* index : touched) index->InsertRows(*this, row, row + 1);
}

void RecordStore::GrowTo(size_t rows) {
  size_t cells = rows * cols_;
  if (cells > cells_.capacity()) {
    cells_.reserve(std::max(cells, cells_.capacity() + cells_.capacity() / 2));
  }
  cells_.resize(cells, 0);
  size_t words = (cells + 63) / 64;
  if (words > nulls_.capacity()) {
    nulls_.reserve(std::max(words, nulls_.capacity() + nulls_.capacity() / 2));
  }
  nulls_.resize(words, 0);
  if (nested_count_ > 0) children_.resize(rows * nested_count_);
}

void RecordStore::Reserve(size_t more_rows, size_t more_text) {
  size_t rows = rows_ + more_rows;
  if (rows * cols_ > cells_.capacity()) cells_.reserve(rows * cols_);
  size_t words = (rows * cols_ + 63) / 64;
  if (words > nulls_.capacity()) nulls_.reserve(words);
  if (arena_.size() + more_text > arena_.capacity()) arena_.reserve(arena_.size() + more_text);
  if (nested_count_ > 0) children_.reserve(rows * nested_count_);
  if (!all_live_) live_.reserve(live_.size() + more_rows);
}

uint32_t RecordStore::AppendRow() {
  if (rows_ == kNoRow - 1) throw std::length_error("the dataset holds too many records");
  uint32_t row = rows_;
  GrowTo(static_cast<size_t>(rows_) + 1);
  ++rows_;
  for (int c = 0; c < cols_; ++c) SetNullBit(row, c, true);
  if (!all_live_) {
    live_.push_back(row);
    deleted_.push_back(false);
  }
  return row;
}

void RecordStore::IndexRowsFrom(uint32_t first_row) {
  for (auto& index : indexes_) index->InsertRows(*this, first_row, rows_);
}

uint32_t RecordStore::LivePos(uint32_t row) const {
  if (all_live_) return row;
  return static_cast<uint32_t>(std::lower_bound(live_.begin(), live_.end(), row) - live_.begin());
}

void RecordStore::Remove(uint32_t row) {
  if (!Live(row)) return;
  for (auto& index : indexes_) index->Erase(*this, row);
  if (all_live_) {
    all_live_ = false;
    live_.resize(rows_);
    for (uint32_t r = 0; r < rows_; ++r) live_[r] = r;
    deleted_.assign(rows_, false);
  }
  deleted_[row] = true;
  live_.erase(live_.begin() + LivePos(row));
}

std::vector<Value> RecordStore::StoredValues(uint32_t row) const {
  std::vector<Value> values;
  for (int c = 0; c < cols_; ++c) {
    if (layout_->columns[c].stored) values.push_back(Get(row, c));
  }
  return values;
}

bool RecordStore::ChildrenHaveChanges(uint32_t row) const {
  for (int n = 0; n < nested_count_; ++n) {
    const RecordStore* child = Child(row, n);
    if (child && child->HasChanges()) return true;
  }
  return false;
}

bool RecordStore::HasChanges() const {
  if (!changes_.empty()) return true;
  for (const auto& child : children_) {
    if (child && child->HasChanges()) return true;
  }
  return false;
}

void RecordStore::MergeChanges() {
  changes_.clear();
  for (auto& child : children_) {
    if (child) child->MergeChanges();
  }
}

remote::RowDelta RecordStore::RowDeltaOf(uint32_t row, const Change& change) const {
  remote::RowDelta delta;
  delta.kind = change.kind;
  size_t stored_index = 0;
  for (int c = 0; c < cols_; ++c) {
    const ColumnDef& def = layout_->columns[c];
    if (!def.stored) continue;
    Value now = Get(row, c);
    if (change.kind != remote::ChangeKind::Insert) {
      const Value& before = change.original[stored_index];
      delta.original.push_back({def.name, before});
      if (change.kind == remote::ChangeKind::Modify && !(now == before)) {
        delta.changed.push_back({def.name, std::move(now)});
      }
    } else if (!now.is_null()) {
      delta.changed.push_back({def.name, std::move(now)});
    }
    ++stored_index;
  }
  if (change.kind != remote::ChangeKind::Delete) {
    for (int n = 0; n < nested_count_; ++n) {
      const RecordStore* child = Child(row, n);
      if (!child) continue;
      std::vector<remote::RowDelta> rows = child->Delta();
      if (rows.empty()) continue;
      delta.nested.push_back({layout_->nested[n].name, std::move(rows)});
    }
  }
  return delta;
}

std::vector<remote::RowDelta> RecordStore::Delta() const {
  std::vector<remote::RowDelta> out;
  for (const auto& [row, change] : changes_) {
    remote::RowDelta delta = RowDeltaOf(row, change);
    if (delta.kind == remote::ChangeKind::Modify && delta.changed.empty() && delta.nested.empty()) {
      continue;
    }
    out.push_back(std::move(delta));
  }
  return out;
}

const KeyIndex& RecordStore::Index(const std::vector<int>& columns) const {
  for (auto& index : indexes_) {
    if (index->Columns() == columns) return *index;
  }
  auto index = std::make_unique<KeyIndex>(columns);
  index->Build(*this);
  indexes_.push_back(std::move(index));
  return *indexes_.back();
}

size_t RecordStore::MemoryUsage() const {
  size_t bytes = sizeof(*this) + cells_.capacity() * sizeof(uint64_t) +
                 nulls_.capacity() * sizeof(uint64_t) + arena_.capacity() +
                 children_.capacity() * sizeof(children_[0]) + live_.capacity() * sizeof(uint32_t) +
                 deleted_.capacity() / 8;
  for (const auto& [row, change] : changes_) {
    bytes += 64 + change.original.capacity() * sizeof(Value);
  }
  for (const auto& index : indexes_) bytes += index->MemoryUsage();
  for (const auto& child : children_) {
    if (child) bytes += child->MemoryUsage();
  }
  return bytes;
}

}  // namespace data::internal
