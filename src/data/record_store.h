// Record storage of the client datasets: the rows of one table (a provider's result, or the lines
// of one header record) in a compact row-major form, with the local change log of those rows and
// the hash indexes that locate and lookup use. Internal to the dataset engine.
//
// A cell takes 8 bytes (a double, a whole number, or the offset and length of a text in the
// store's text arena) plus one bit that says "no value". Rows never move: a row number names a
// record for as long as the store exists, which is what bookmarks and indexes rely on. Deleting a
// record takes it out of the live order; its cells stay until the store is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "remote/value.h"

namespace data::internal {

using remote::FieldType;
using remote::Value;

inline constexpr uint32_t kNoRow = 0xFFFFFFFFu;

// One column of a table: a stored field (bound to a field of the provider's packet) or a local
// field (kept in memory only).
struct ColumnDef {
  std::string name;
  FieldType type = FieldType::Text;
  int width = 0;  // text: GBK bytes; 0 when unbounded
  bool stored = true;
  int packet_index = -1;  // stored columns: position of the field in the packet's rows
};

struct Layout;

// A nested field of a table: each record holds a table of lines of layout `layout`.
struct NestedDef {
  std::string name;
  int packet_nested_index = -1;  // position among the packet row's nested tables
  std::shared_ptr<const Layout> layout;
};

struct Layout {
  std::vector<ColumnDef> columns;
  std::vector<NestedDef> nested;
  int ColumnIndex(std::string_view name) const;  // -1 when absent; names compare ASCII-caselessly
  int NestedIndex(std::string_view name) const;
};

bool SameName(std::string_view a, std::string_view b);

// A typed value to compare cells with, prepared once per locate or lookup.
struct Probe {
  bool null = false;
  std::string text;   // text columns; "" also matches a text cell without value
  uint64_t bits = 0;  // numeric columns: the bits of the double or the whole number
};

class RecordStore;

// A hash index over some columns of a store. Rows of equal keys are chained in ascending row
// order, so the first match in a chain is the first such record in the store's order.
class KeyIndex {
 public:
  explicit KeyIndex(std::vector<int> columns) : columns_(std::move(columns)) {}
  const std::vector<int>& Columns() const { return columns_; }

  void Build(const RecordStore& store);
  // Links the live rows in [first, last), which the index does not hold yet.
  void InsertRows(const RecordStore& store, uint32_t first, uint32_t last);
  void Erase(const RecordStore& store, uint32_t row);

  // The first row of the chain that may hold `hash`; follow with NextRow.
  uint32_t FirstRow(uint64_t hash) const;
  uint32_t NextRow(uint32_t row) const { return next_[row]; }

  uint64_t HashRow(const RecordStore& store, uint32_t row) const;
  uint64_t HashProbes(const RecordStore& store, const std::vector<Probe>& probes) const;
  bool RowMatches(const RecordStore& store, uint32_t row, const std::vector<Probe>& probes) const;

  size_t MemoryUsage() const;

 private:
  size_t Slot(uint64_t hash) const { return (hash * 0x9E3779B97F4A7C15ull) >> shift_; }
  void Rehash(const RecordStore& store, size_t min_rows);
  void Link(uint32_t row, uint64_t hash);

  std::vector<int> columns_;
  std::vector<uint32_t> heads_, tails_;
  std::vector<uint32_t> next_;  // per row; kNoRow ends a chain
  size_t count_ = 0;
  int shift_ = 64;
};

class RecordStore {
 public:
  explicit RecordStore(std::shared_ptr<const Layout> layout);
  RecordStore(const RecordStore& other);  // a deep copy, nested tables included; no indexes
  RecordStore& operator=(const RecordStore&) = delete;
  ~RecordStore();

  const Layout& layout() const { return *layout_; }
  const std::shared_ptr<const Layout>& layout_ptr() const { return layout_; }
  uint32_t serial() const { return serial_; }
  uint32_t RowCount() const { return rows_; }
  int ColumnCount() const { return cols_; }

  // --- Cells ---
  bool IsNull(uint32_t row, int col) const {
    size_t bit = static_cast<size_t>(row) * cols_ + col;
    return (nulls_[bit >> 6] >> (bit & 63)) & 1;
  }
  std::string_view Text(uint32_t row, int col) const;  // "" when without value
  double Double(uint32_t row, int col) const;          // float and date-time columns
  int64_t Int(uint32_t row, int col) const;            // whole-number columns
  uint64_t Bits(uint32_t row, int col) const { return cells_[Cell(row, col)]; }
  Value Get(uint32_t row, int col) const;
  // `value` is null or of the column's type. Keeps the indexes in step.
  void Set(uint32_t row, int col, const Value& value);

  // --- Rows ---
  void Reserve(size_t more_rows, size_t more_text);
  uint32_t AppendRow();  // every cell without value; not yet indexed
  // Loading: sets a cell of a row that AppendRow made and that no index holds yet.
  void LoadText(uint32_t row, int col, std::string_view text);
  void LoadBits(uint32_t row, int col, uint64_t bits);
  void IndexRowsFrom(uint32_t first_row);  // adds rows appended since to every index

  std::unique_ptr<RecordStore>& ChildSlot(uint32_t row, int nested) {
    return children_[static_cast<size_t>(row) * nested_count_ + nested];
  }
  RecordStore* Child(uint32_t row, int nested) const {
    return children_[static_cast<size_t>(row) * nested_count_ + nested].get();
  }

  // --- Live order: every row not deleted, in row order ---
  bool Live(uint32_t row) const { return row < rows_ && (all_live_ || !deleted_[row]); }
  uint32_t LiveCount() const { return all_live_ ? rows_ : static_cast<uint32_t>(live_.size()); }
  uint32_t LiveRow(uint32_t pos) const { return all_live_ ? pos : live_[pos]; }
  uint32_t LivePos(uint32_t row) const;  // position of a live row
  void Remove(uint32_t row);

  // --- Change log ---
  struct Change {
    remote::ChangeKind kind = remote::ChangeKind::Modify;
    std::vector<Value> original;  // the stored columns as read from the server
  };
  std::map<uint32_t, Change>& changes() { return changes_; }
  const std::map<uint32_t, Change>& changes() const { return changes_; }
  std::vector<Value> StoredValues(uint32_t row) const;
  bool ChildrenHaveChanges(uint32_t row) const;
  bool HasChanges() const;  // own rows or any nested table
  void MergeChanges();      // the log becomes the new original state, nested tables included
  // The change log as apply updates sends it, lines inside their headers.
  std::vector<remote::RowDelta> Delta() const;
  remote::RowDelta RowDeltaOf(uint32_t row, const Change& change) const;

  // --- Indexes ---
  // The index over `columns`, built on first use and kept in step with every change.
  const KeyIndex& Index(const std::vector<int>& columns) const;

  // Heap bytes held by this store (cells, text, order, log, indexes, nested tables).
  size_t MemoryUsage() const;
  size_t TextBytes() const { return arena_.size(); }

 private:
  size_t Cell(uint32_t row, int col) const { return static_cast<size_t>(row) * cols_ + col; }
  void SetNullBit(uint32_t row, int col, bool null);
  void GrowTo(size_t rows);
  uint64_t AppendArena(std::string_view text);

  std::shared_ptr<const Layout> layout_;
  uint32_t serial_;
  int cols_;
  int nested_count_;
  uint32_t rows_ = 0;
  std::vector<uint64_t> cells_;
  std::vector<uint64_t> nulls_;
  std::string arena_;
  std::vector<std::unique_ptr<RecordStore>> children_;
  bool all_live_ = true;
  std::vector<uint32_t> live_;
  std::vector<bool> deleted_;
  std::map<uint32_t, Change> changes_;
  mutable std::vector<std::unique_ptr<KeyIndex>> indexes_;  // built on demand
};

// Double <-> cell bits. Negative zero is kept as zero so that equal numbers hash alike.
uint64_t DoubleBits(double d);
double BitsDouble(uint64_t bits);

}  // namespace data::internal
