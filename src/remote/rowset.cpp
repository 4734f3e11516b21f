#include "remote/rowset.h"

#include <bit>
#include <cmath>
#include <string>
#include <string_view>

namespace remote::rowset {
namespace {

using coding::ByteReader;
using coding::ByteWriter;
using coding::ThrowMalformed;
using coding::VarintLength;
using coding::ZigZag;

// Value tags: the index of the value's alternative in Value::Storage.
enum : uint8_t { kNull = 0, kText = 1, kFloat = 2, kInteger = 3, kDate = 4 };
constexpr uint8_t kMixedTags = 0xFF;  // a column whose values are not all of one kind

enum : uint8_t { kFormRows = 0, kFormColumns = 1 };
// Fewer rows than this go row by row: a column's mode bytes would cost more than its tags.
constexpr std::size_t kMinColumnRows = 4;

enum : uint8_t { kTextsPlain = 0, kTextsPrefix = 1, kTextsDictionary = 2 };
// A text column is coded as a dictionary only while it has at most this many distinct values.
constexpr std::size_t kMaxDictionary = 256;

enum : uint8_t { kCountsEach = 0, kCountsSame = 1 };

constexpr uint32_t kPow10[kMaxDecimals + 1] = {1, 10, 100, 1000, 10000};
constexpr int64_t kMaxFixed = int64_t{1} << 60;  // |k| of a fixed-point number stays below
constexpr uint64_t kNoFixed = 0;                 // the code of a raw 8-byte number

uint8_t TagOf(const Value& v) {
  return static_cast<uint8_t>(v.storage().index());
}

bool Fits(int64_t k) {
  return k > -kMaxFixed && k < kMaxFixed;
}

// ---- values one by one (row form) -------------------------------------------------------------

void WriteValue(ByteWriter& w, const Value& v) {
  const Value::Storage& s = v.storage();
  w.U8(TagOf(v));
  switch (s.index()) {
    case kText:
      w.Str(std::get<kText>(s));
      break;
    case kFloat:
      w.Double(std::get<kFloat>(s));
      break;
    case kInteger:
      w.Signed(std::get<kInteger>(s));
      break;
    case kDate:
      w.Double(std::get<kDate>(s).value);
      break;
    default:
      break;
  }
}

void ReadValues(ByteReader& r, std::vector<Value>& out) {
  std::size_t n = r.Count();
  out.reserve(out.size() + n);
  for (std::size_t i = 0; i < n; ++i) {
    switch (r.U8()) {
      case kNull:
        out.emplace_back();
        break;
      case kText: {
        std::string_view s = r.StrView();
        out.emplace_back(std::in_place_type<std::string>, s.data(), s.size());
        break;
      }
      case kFloat:
        out.emplace_back(std::in_place_type<double>, r.Double());
        break;
      case kInteger:
        out.emplace_back(std::in_place_type<int64_t>, r.Signed());
        break;
      case kDate:
        out.emplace_back(std::in_place_type<rtl::DateTime>, rtl::DateTime{r.Double()});
        break;
      default:
        ThrowMalformed("unknown value tag");
    }
  }
}

// ---- writing columns --------------------------------------------------------------------------

// One column's values taken out of the rows, by kind, in row order.
struct ColumnData {
  std::vector<uint8_t> tags;
  std::size_t count[5] = {};
  std::vector<std::string_view> texts;
  std::vector<double> floats;
  std::vector<int64_t> integers;
  std::vector<double> dates;
};

// The distinct texts of a column in order of appearance, up to kMaxDictionary of them: a small
// open-addressing table (texts are short codes; a general hash map costs more than the rest of
// the column).
class Dictionary {
 public:
  void Clear() {
    entries_.clear();
    std::fill(std::begin(slots_), std::end(slots_), 0);
  }
  // The entry of `v`, added when new; -1 once a new one would pass kMaxDictionary.
  int Index(std::string_view v) {
    uint32_t h = 2166136261u;
    for (char c : v) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
    for (uint32_t i = h & kMask;; i = (i + 1) & kMask) {
      const uint32_t slot = slots_[i];
      if (slot == 0) {
        if (entries_.size() == kMaxDictionary) return -1;
        entries_.push_back(v);
        slots_[i] = static_cast<uint32_t>(entries_.size());
        return static_cast<int>(entries_.size() - 1);
      }
      if (entries_[slot - 1] == v) return static_cast<int>(slot - 1);
    }
  }
  const std::vector<std::string_view>& entries() const { return entries_; }

 private:
  static constexpr uint32_t kMask = 2 * kMaxDictionary - 1;
  uint32_t slots_[2 * kMaxDictionary] = {};  // entry + 1; 0: free
  std::vector<std::string_view> entries_;
};

// Buffers reused from one column to the next.
struct Scratch {
  std::vector<int64_t> fixed;  // the number at its own fewest decimals
  std::vector<int> decimals;   // those decimals, -1 for a number written raw
  std::vector<uint32_t> indexes;
  Dictionary dictionary;
};

std::size_t StrCost(std::size_t n) {
  return VarintLength(n) + n;
}

std::size_t SharedPrefix(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

void WriteTexts(ByteWriter& w, const std::vector<std::string_view>& t, Scratch& s) {
  std::size_t plain = 0, prefix = 0;
  std::string_view prev;
  for (std::string_view v : t) {
    plain += StrCost(v.size());
    std::size_t shared = SharedPrefix(prev, v);
    prefix += VarintLength(shared) + StrCost(v.size() - shared);
    prev = v;
  }
  // The dictionary, given up once it grows beyond a byte's worth of entries.
  s.dictionary.Clear();
  s.indexes.clear();
  std::size_t dict = SIZE_MAX;
  {
    std::size_t indexes = 0;
    bool small = true;
    std::string_view last;
    int last_index = -1;
    for (std::string_view v : t) {
      if (last_index < 0 || v != last) {
        last_index = s.dictionary.Index(v);
        if (last_index < 0) {
          small = false;
          break;
        }
        last = v;
      }
      s.indexes.push_back(static_cast<uint32_t>(last_index));
      indexes += VarintLength(static_cast<uint64_t>(last_index));
    }
    if (small) {
      dict = VarintLength(s.dictionary.entries().size());
      for (std::string_view e : s.dictionary.entries()) dict += StrCost(e.size());
      if (s.dictionary.entries().size() > 1) dict += indexes;
    }
  }
  if (dict < prefix && dict < plain) {
    const std::vector<std::string_view>& entries = s.dictionary.entries();
    w.U8(kTextsDictionary);
    w.Varint(entries.size());
    for (std::string_view e : entries) w.Str(e);
    if (entries.size() > 1) {
      for (uint32_t index : s.indexes) w.Varint(index);
    }
  } else if (prefix < plain) {
    w.U8(kTextsPrefix);
    prev = {};
    for (std::string_view v : t) {
      std::size_t shared = SharedPrefix(prev, v);
      w.Varint(shared);
      w.Str(v.substr(shared));
      prev = v;
    }
  } else {
    w.U8(kTextsPlain);
    for (std::string_view v : t) w.Str(v);
  }
}

// Floats and date-times: fixed-point integers with the column's number of decimals, plain or as
// differences, and raw bits where no integer gives the number back exactly.
void WriteNumbers(ByteWriter& w, const std::vector<double>& v, Scratch& s) {
  const std::size_t n = v.size();
  s.fixed.resize(n);
  s.decimals.resize(n);
  int most = 0;
  for (std::size_t i = 0; i < n; ++i) {
    s.decimals[i] = -1;
    for (int d = 0; d <= kMaxDecimals; ++d) {
      if (ToDecimal(v[i], d, s.fixed[i])) {
        s.decimals[i] = d;
        most = std::max(most, d);
        break;
      }
    }
  }
  // The number of decimals and the delta coding that come out shortest.
  auto at = [&](std::size_t i, int decimals, int64_t& k) {
    if (s.decimals[i] < 0 || s.decimals[i] > decimals) return false;
    k = s.fixed[i];
    for (int d = s.decimals[i]; d < decimals; ++d) {
      if (k >= kMaxFixed / 10 || k <= -kMaxFixed / 10) return false;  // k * 10 must stay fixed
      k *= 10;
    }
    return true;
  };
  std::size_t best = SIZE_MAX;
  int best_decimals = 0;
  bool best_delta = false;
  for (int decimals = 0; decimals <= most; ++decimals) {
    for (bool delta : {false, true}) {
      std::size_t cost = 0;
      int64_t prev = 0, k = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (!at(i, decimals, k)) {
          cost += 9;
          continue;
        }
        cost += VarintLength(ZigZag(delta ? k - prev : k) + 1);
        prev = k;
      }
      if (cost < best) {
        best = cost;
        best_decimals = decimals;
        best_delta = delta;
      }
    }
  }
  w.U8(static_cast<uint8_t>(best_decimals | (best_delta ? 0x10 : 0)));
  int64_t prev = 0, k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    // A fraction scaled to more decimals than its own is checked once more: it must give the
    // same bits back, or it goes raw. (An integer scaled up is the same integer: exact.)
    if (at(i, best_decimals, k) &&
        (s.decimals[i] == best_decimals || s.decimals[i] == 0 ||
         std::bit_cast<uint64_t>(FromDecimal(k, best_decimals)) == std::bit_cast<uint64_t>(v[i]))) {
      w.Varint(ZigZag(best_delta ? k - prev : k) + 1);
      prev = k;
    } else {
      w.Varint(kNoFixed);
      w.Double(v[i]);
    }
  }
}

void WriteIntegers(ByteWriter& w, const std::vector<int64_t>& v) {
  std::size_t plain = 0, delta = 0;
  uint64_t prev = 0;
  for (int64_t x : v) {
    plain += VarintLength(ZigZag(x));
    delta += VarintLength(ZigZag(static_cast<int64_t>(static_cast<uint64_t>(x) - prev)));
    prev = static_cast<uint64_t>(x);
  }
  const bool use_delta = delta < plain;
  w.U8(use_delta ? 1 : 0);
  prev = 0;
  for (int64_t x : v) {
    w.Signed(use_delta ? static_cast<int64_t>(static_cast<uint64_t>(x) - prev) : x);
    prev = static_cast<uint64_t>(x);
  }
}

void WriteColumn(ByteWriter& w, const ColumnData& c, Scratch& s) {
  const std::size_t n = c.tags.size();
  const uint8_t first = c.tags[0];
  if (c.count[first] == n) {
    w.U8(first);
  } else {
    w.U8(kMixedTags);
    w.Bytes(c.tags.data(), n);
  }
  if (c.count[kText]) WriteTexts(w, c.texts, s);
  if (c.count[kFloat]) WriteNumbers(w, c.floats, s);
  if (c.count[kInteger]) WriteIntegers(w, c.integers);
  if (c.count[kDate]) WriteNumbers(w, c.dates, s);
}

// Takes every column out of the rows in one pass over them (the rows' cells lie apart in memory;
// one pass touches each of them once).
void Columns(const std::vector<Row>& rows, std::size_t cells, std::vector<ColumnData>& columns) {
  columns.resize(cells);
  for (ColumnData& c : columns) {
    c.tags.clear();
    c.tags.reserve(rows.size());
    std::fill(std::begin(c.count), std::end(c.count), 0);
    c.texts.clear();
    c.floats.clear();
    c.integers.clear();
    c.dates.clear();
  }
  for (const Row& row : rows) {
    for (std::size_t j = 0; j < cells; ++j) {
      const Value::Storage& v = row.cells[j].storage();
      ColumnData& c = columns[j];
      const uint8_t tag = static_cast<uint8_t>(v.index());
      c.tags.push_back(tag);
      ++c.count[tag];
      switch (tag) {
        case kText:
          c.texts.emplace_back(std::get<kText>(v));
          break;
        case kFloat:
          c.floats.push_back(std::get<kFloat>(v));
          break;
        case kInteger:
          c.integers.push_back(std::get<kInteger>(v));
          break;
        case kDate:
          c.dates.push_back(std::get<kDate>(v).value);
          break;
        default:
          break;
      }
    }
  }
}

void WriteBody(ByteWriter& w, const std::vector<Row>& rows);

void WriteNested(ByteWriter& w, const std::vector<Row>& rows, std::size_t k) {
  bool same = true;
  for (const Row& row : rows) same = same && row.nested[k].size() == rows[0].nested[k].size();
  if (same) {
    w.U8(kCountsSame);
    w.Varint(rows[0].nested[k].size());
  } else {
    w.U8(kCountsEach);
    for (const Row& row : rows) w.Varint(row.nested[k].size());
  }
  std::vector<Row> lines;
  std::size_t total = 0;
  for (const Row& row : rows) total += row.nested[k].size();
  lines.reserve(total);
  // The lines are copied into one set; a nested table is small next to its parent list.
  for (const Row& row : rows) lines.insert(lines.end(), row.nested[k].begin(), row.nested[k].end());
  WriteBody(w, lines);
}

void WriteBody(ByteWriter& w, const std::vector<Row>& rows) {
  if (rows.empty()) return;
  const std::size_t cells = rows[0].cells.size();
  const std::size_t nested = rows[0].nested.size();
  bool regular = rows.size() >= kMinColumnRows;
  for (std::size_t i = 1; regular && i < rows.size(); ++i) {
    regular = rows[i].cells.size() == cells && rows[i].nested.size() == nested;
  }
  if (!regular) {
    w.U8(kFormRows);
    for (const Row& row : rows) {
      w.Varint(row.cells.size());
      for (const Value& v : row.cells) WriteValue(w, v);
      w.Varint(row.nested.size());
      for (const std::vector<Row>& lines : row.nested) Write(w, lines);
    }
    return;
  }
  w.U8(kFormColumns);
  w.Varint(cells);
  w.Varint(nested);
#ifdef _WIN32
  // Clients write no rows; a DLL keeps no per-thread state that could outlive its unloading.
  std::vector<ColumnData> columns;
  Scratch s;
#else
  // The server writes the chunks of long lists one after the other: the buffers are kept.
  // Nested row sets are written after the columns, when they are free again.
  thread_local std::vector<ColumnData> columns;
  thread_local Scratch s;
#endif
  Columns(rows, cells, columns);
  for (const ColumnData& c : columns) WriteColumn(w, c, s);
  for (std::size_t k = 0; k < nested; ++k) WriteNested(w, rows, k);
}

// ---- reading ----------------------------------------------------------------------------------

void ReadBody(ByteReader& r, std::vector<Row>& rows, std::size_t n, Budget& budget, int depth,
              int max_depth);

// One column as read: the kinds of its values (one for all, or one per row) and each kind's
// values in row order. Texts are views into the message, or into `arena` for texts rebuilt from
// a shared prefix.
struct ColumnValues {
  uint8_t uniform = kNull;  // the kind of every value, or kMixedTags
  std::string_view tags;    // one per row when mixed
  std::size_t count[5] = {};
  std::vector<std::string_view> texts;
  std::string arena;
  std::vector<double> floats;
  std::vector<int64_t> integers;
  std::vector<double> dates;
};

void ReadTexts(ByteReader& r, ColumnValues& c) {
  const std::size_t count = c.count[kText];
  c.texts.resize(count);
  switch (r.U8()) {
    case kTextsPlain:
      for (std::string_view& t : c.texts) t = r.StrView();
      return;
    case kTextsPrefix: {
      // Each text is appended to the arena whole; the views are made once the arena is complete.
      std::vector<std::pair<std::size_t, std::size_t>> spans(count);
      std::size_t prev_at = 0, prev_size = 0;
      for (auto& [at, size] : spans) {
        const uint64_t shared = r.Varint();
        if (shared > prev_size) ThrowMalformed("shared prefix longer than the previous text");
        const std::string_view rest = r.StrView();
        at = c.arena.size();
        c.arena.append(c.arena, prev_at, static_cast<std::size_t>(shared));
        c.arena.append(rest);
        size = c.arena.size() - at;
        prev_at = at;
        prev_size = size;
      }
      for (std::size_t i = 0; i < count; ++i)
        c.texts[i] = std::string_view(c.arena).substr(spans[i].first, spans[i].second);
      return;
    }
    case kTextsDictionary: {
      const std::size_t d = r.Count();
      if (d == 0 || d > count) ThrowMalformed("dictionary of a wrong size");
      std::vector<std::string_view> entries(d);
      for (std::string_view& e : entries) e = r.StrView();
      for (std::string_view& t : c.texts) {
        const uint64_t index = d > 1 ? r.Varint() : 0;
        if (index >= d) ThrowMalformed("dictionary index out of range");
        t = entries[static_cast<std::size_t>(index)];
      }
      return;
    }
    default:
      ThrowMalformed("unknown text coding");
  }
}

void ReadNumbers(ByteReader& r, std::vector<double>& out, std::size_t count) {
  const uint8_t mode = r.U8();
  const int decimals = mode & 0x0F;
  const bool delta = (mode >> 4) == 1;
  if (decimals > kMaxDecimals || (mode >> 4) > 1) ThrowMalformed("unknown number coding");
  out.resize(count);
  int64_t prev = 0;
  for (double& v : out) {
    const uint64_t code = r.Varint();
    if (code == kNoFixed) {
      v = r.Double();
      continue;
    }
    const uint64_t z = code - 1;
    if (z >= (uint64_t{1} << 62)) ThrowMalformed("number out of range");
    int64_t k = coding::UnZigZag(z);
    if (delta) k += prev;
    if (!Fits(k)) ThrowMalformed("number out of range");
    prev = k;
    v = FromDecimal(k, decimals);
  }
}

void ReadIntegers(ByteReader& r, std::vector<int64_t>& out, std::size_t count) {
  const uint8_t mode = r.U8();
  if (mode > 1) ThrowMalformed("unknown integer coding");
  out.resize(count);
  uint64_t prev = 0;
  for (int64_t& x : out) {
    x = r.Signed();
    if (mode == 1) x = static_cast<int64_t>(prev + static_cast<uint64_t>(x));
    prev = static_cast<uint64_t>(x);
  }
}

void ReadColumn(ByteReader& r, std::size_t n, ColumnValues& c) {
  c.uniform = r.U8();
  if (c.uniform <= kDate) {
    c.count[c.uniform] = n;
  } else if (c.uniform == kMixedTags) {
    if (n > r.Left()) ThrowMalformed("count larger than the message");
    c.tags = r.View(n);
    for (char t : c.tags) {
      if (static_cast<uint8_t>(t) > kDate) ThrowMalformed("unknown value tag");
      ++c.count[static_cast<uint8_t>(t)];
    }
  } else {
    ThrowMalformed("unknown value tag");
  }
  if (c.count[kText]) ReadTexts(r, c);
  if (c.count[kFloat]) ReadNumbers(r, c.floats, c.count[kFloat]);
  if (c.count[kInteger]) ReadIntegers(r, c.integers, c.count[kInteger]);
  if (c.count[kDate]) ReadNumbers(r, c.dates, c.count[kDate]);
}

// The cells of `n` rows from their columns, each row's cells built in place in one go.
void BuildCells(Row* rows, std::size_t n, std::vector<ColumnValues>& columns) {
  struct Next {
    std::size_t text = 0, number = 0, integer = 0, date = 0;
  };
  std::vector<Next> next(columns.size());
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<Value>& cells = rows[i].cells;
    cells.reserve(columns.size());
    for (std::size_t j = 0; j < columns.size(); ++j) {
      ColumnValues& c = columns[j];
      Next& at = next[j];
      const uint8_t tag = c.uniform == kMixedTags ? static_cast<uint8_t>(c.tags[i]) : c.uniform;
      switch (tag) {
        case kText: {
          const std::string_view t = c.texts[at.text++];
          cells.emplace_back(std::in_place_type<std::string>, t.data(), t.size());
          break;
        }
        case kFloat:
          cells.emplace_back(std::in_place_type<double>, c.floats[at.number++]);
          break;
        case kInteger:
          cells.emplace_back(std::in_place_type<int64_t>, c.integers[at.integer++]);
          break;
        case kDate:
          cells.emplace_back(std::in_place_type<rtl::DateTime>, rtl::DateTime{c.dates[at.date++]});
          break;
        default:
          cells.emplace_back();
          break;
      }
    }
  }
}

void ReadNested(ByteReader& r, Row* rows, std::size_t n, std::size_t k, Budget& budget, int depth,
                int max_depth) {
  std::vector<uint32_t> counts(n);
  std::size_t total = 0;
  const uint8_t mode = r.U8();
  if (mode == kCountsSame) {
    uint64_t c = r.Varint();
    if (c > kMaxRows || (c != 0 && n > kMaxRows / c)) ThrowMalformed("too many lines");
    for (uint32_t& x : counts) x = static_cast<uint32_t>(c);
    total = static_cast<std::size_t>(c) * n;
  } else if (mode == kCountsEach) {
    for (uint32_t& x : counts) {
      uint64_t c = r.Varint();
      if (c > kMaxRows - total) ThrowMalformed("too many lines");
      x = static_cast<uint32_t>(c);
      total += static_cast<std::size_t>(c);
    }
  } else {
    ThrowMalformed("unknown line count coding");
  }
  std::vector<Row> lines;
  ReadBody(r, lines, total, budget, depth + 1, max_depth);
  std::size_t pos = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<Row>& target = rows[i].nested[k];
    target.reserve(counts[i]);
    for (uint32_t j = 0; j < counts[i]; ++j) target.push_back(std::move(lines[pos++]));
  }
}

void ReadBody(ByteReader& r, std::vector<Row>& rows, std::size_t n, Budget& budget, int depth,
              int max_depth) {
  if (depth > max_depth) ThrowMalformed("nested too deeply");
  if (n == 0) return;
  if (n > kMaxRows) ThrowMalformed("more rows than a row set may hold");
  const uint8_t form = r.U8();
  if (form == kFormRows) {
    // Each row takes at least two bytes (its counts).
    if (n > r.Left() / 2) ThrowMalformed("count larger than the message");
    const std::size_t start = rows.size();
    rows.resize(start + n);
    for (std::size_t i = start; i < rows.size(); ++i) {
      Row& row = rows[i];
      ReadValues(r, row.cells);
      std::size_t m = r.Count();
      budget.Take(1, row.cells.size() + m + 1);
      if (m) {
        row.nested.resize(m);
        for (std::vector<Row>& lines : row.nested) Read(r, lines, budget, depth + 1, max_depth);
      }
    }
    return;
  }
  if (form != kFormColumns) ThrowMalformed("unknown row set form");
  const std::size_t cells = r.Count();
  const std::size_t nested = r.Count(2);
  budget.Take(n, cells + nested + 1);
  std::vector<ColumnValues> columns(cells);
  for (ColumnValues& c : columns) ReadColumn(r, n, c);
  const std::size_t start = rows.size();
  rows.resize(start + n);
  Row* block = rows.data() + start;
  BuildCells(block, n, columns);
  columns.clear();
  if (nested) {
    for (std::size_t i = 0; i < n; ++i) block[i].nested.resize(nested);
  }
  for (std::size_t k = 0; k < nested; ++k) ReadNested(r, block, n, k, budget, depth, max_depth);
}

}  // namespace

void Budget::Take(std::size_t rows, std::size_t per_row) {
  if (per_row != 0 && rows > left_ / per_row) ThrowMalformed("more values than a message may hold");
  left_ -= rows * per_row;
}

void Write(ByteWriter& w, const std::vector<Row>& rows) {
  w.Varint(rows.size());
  WriteBody(w, rows);
}

void Read(ByteReader& r, std::vector<Row>& rows, Budget& budget, int depth, int max_depth) {
  if (depth > max_depth) ThrowMalformed("nested too deeply");
  std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(r.Varint(), kMaxRows + 1));
  ReadBody(r, rows, n, budget, depth, max_depth);
}

double FromDecimal(int64_t k, int decimals) {
  if (k == 0) return 0.0;
  const bool negative = k < 0;
  const uint64_t u = negative ? 0 - static_cast<uint64_t>(k) : static_cast<uint64_t>(k);
  const uint32_t q = kPow10[decimals];
  const int bu = 64 - std::countl_zero(u);
  const int bq = 32 - std::countl_zero(q);
  // u * 2^shift / q lies in [2^52, 2^54).
  const int shift = 53 - bu + bq;
  // The numerator u * 2^max(shift, 0) in four 32-bit limbs, most significant first; the divisor
  // q * 2^max(-shift, 0) stays below 2^32.
  uint64_t hi = 0, lo = u;
  if (shift >= 64) {
    hi = u << (shift - 64);
    lo = 0;
  } else if (shift > 0) {
    hi = u >> (64 - shift);
    lo = u << shift;
  }
  const uint64_t divisor = shift < 0 ? uint64_t{q} << -shift : q;
  const uint32_t limbs[4] = {static_cast<uint32_t>(hi >> 32), static_cast<uint32_t>(hi),
                             static_cast<uint32_t>(lo >> 32), static_cast<uint32_t>(lo)};
  uint64_t rem = 0, quotient = 0;
  for (uint32_t limb : limbs) {
    const uint64_t cur = (rem << 32) | limb;
    quotient = (quotient << 32) | (cur / divisor);
    rem = cur % divisor;
  }
  // quotient * 2^-shift is the value cut after its bits; round to 53 bits, ties to even.
  int exponent = -shift;
  uint64_t m;
  if (quotient >= (uint64_t{1} << 53)) {
    const bool half = (quotient & 1) != 0;
    m = quotient >> 1;
    ++exponent;
    if (half && (rem != 0 || (m & 1) != 0)) ++m;
  } else {
    m = quotient;
    const uint64_t twice = rem * 2;
    if (twice > divisor || (twice == divisor && (m & 1) != 0)) ++m;
  }
  if (m == (uint64_t{1} << 53)) {
    m >>= 1;
    ++exponent;
  }
  const int biased_exponent = exponent + 52 + 1023;
  const uint64_t biased = static_cast<uint64_t>(biased_exponent);
  const uint64_t bits =
      (negative ? uint64_t{1} << 63 : 0) | (biased << 52) | (m & ((uint64_t{1} << 52) - 1));
  return std::bit_cast<double>(bits);
}

bool ToDecimal(double v, int decimals, int64_t& k) {
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  if (bits == 0) {
    k = 0;
    return true;
  }
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  if (biased == 0 || biased == 0x7FF) return false;  // subnormal (or -0.0), infinite, NaN
  if (decimals == 0) {
    // An integer: its bits say so without any arithmetic.
    const int exponent = biased - 1075;  // v = mantissa * 2^exponent
    const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    if (exponent > 7) return false;  // beyond 2^60
    uint64_t u;
    if (exponent >= 0) {
      u = mantissa << exponent;
    } else {
      if (exponent < -52) return false;
      if ((mantissa & ((uint64_t{1} << -exponent) - 1)) != 0) return false;
      u = mantissa >> -exponent;
    }
    if (u >= static_cast<uint64_t>(kMaxFixed)) return false;
    k = (bits >> 63) ? -static_cast<int64_t>(u) : static_cast<int64_t>(u);
    return true;
  }
  const long double scaled = static_cast<long double>(v) * kPow10[decimals];
  if (!(std::fabs(scaled) < static_cast<long double>(kMaxFixed))) return false;
  const int64_t candidate = std::llround(scaled);
  if (!Fits(candidate)) return false;
  if (std::bit_cast<uint64_t>(FromDecimal(candidate, decimals)) != bits) return false;
  k = candidate;
  return true;
}

}  // namespace remote::rowset
