// Row sets on the wire: the rows of a packet written column by column, so that sorted codes,
// repeated codes and small numbers take a byte or two each and what is left compresses well.
// Every value comes back exactly: texts byte for byte (so GBK widths stay as they were), floats
// and date-times bit for bit (-0.0, infinities and NaN payloads included), no value apart from
// the empty text.
//
// A row set is written in one of two forms, chosen by the writer:
// - columns: when every row has the same number of cells and of nested tables (the rows of one
//   provider always do): each cell position is one column, its values' kinds first, then each
//   kind's values in the coding that is shortest for that column (texts plain, as a shared
//   prefix with the previous text plus the rest, or as indexes into a dictionary; numbers as
//   integers of a fixed number of decimals, plain or as the difference to the previous one, and
//   raw 8 bytes where no such integer gives the same bits back); each nested position is the
//   line count of every row, then all lines of all rows as one row set;
// - rows: otherwise (and for a few rows, where columns would cost more): each row's values with
//   a tag byte each, then its nested tables, each a row set.
//
// The reader takes no more than the bytes hold and allocates nothing it has not checked against
// the limits below first: a row set announcing more rows, or a message more values, is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "remote/coding.h"
#include "remote/value.h"

namespace remote::rowset {

// Rows of one row set (the lines of all rows of a nested table count as one row set).
inline constexpr std::size_t kMaxRows = std::size_t{1} << 20;
// Values and nested tables of one message, summed over every row set in it.
inline constexpr std::size_t kMaxCells = std::size_t{4} << 20;
// Decimals of the fixed-point numbers (a price of 12.34 is 1234 with two decimals).
inline constexpr int kMaxDecimals = 4;

// What a reader may still create for one message; shared by the row sets of the message.
class Budget {
 public:
  explicit Budget(std::size_t cells = kMaxCells) : left_(cells) {}
  // Takes `rows` rows of `per_row` values and tables each, or refuses the message.
  void Take(std::size_t rows, std::size_t per_row);

 private:
  std::size_t left_;
};

// Writes `rows` as a row set (the row count first).
void Write(coding::ByteWriter& w, const std::vector<Row>& rows);
// Reads a row set and appends its rows to `rows`. `depth` is the nesting level of these rows
// (1 for a packet's rows); row sets nested deeper than `max_depth` are refused. Throws
// ProtocolError; rows appended before the fault stay in `rows` (the caller drops them).
void Read(coding::ByteReader& r, std::vector<Row>& rows, Budget& budget, int depth, int max_depth);

// Fixed-point numbers, exactly: FromDecimal(k, d) is the double nearest to k / 10^d (ties to
// even), computed with integers only, so that every machine gets the same bits whatever its
// floating-point unit is set to. |k| < 2^60, 0 <= d <= kMaxDecimals.
double FromDecimal(int64_t k, int decimals);
// The k of FromDecimal(k, decimals) == v bit for bit, when there is one (never for -0.0,
// infinities, NaN or magnitudes of 2^60 and beyond).
bool ToDecimal(double v, int decimals, int64_t& k);

}  // namespace remote::rowset
