// Row sets column by column and the compression of large messages: every value comes back bit
// for bit whatever coding the writer chose, and bytes that do not hold a row set (cut, damaged,
// or announcing more rows, values or inflated bytes than the limits) are refused with
// ProtocolError before anything is allocated for them.
#include "remote/rowset.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "remote/compression.h"

namespace remote::rowset {
namespace {

using coding::ByteReader;
using coding::ByteWriter;

uint64_t Bits(double d) {
  return std::bit_cast<uint64_t>(d);
}

// Equal kinds, equal texts and integers, equal bits of floats and date-times.
bool SameValue(const Value& a, const Value& b) {
  if (a.storage().index() != b.storage().index()) return false;
  if (a.is_float()) return Bits(a.float_value()) == Bits(b.float_value());
  if (a.is_date()) return Bits(a.date().value) == Bits(b.date().value);
  return a == b;
}

::testing::AssertionResult SameRows(const std::vector<Row>& a, const std::vector<Row>& b) {
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << a.size() << " rows instead of " << b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].cells.size() != b[i].cells.size() || a[i].nested.size() != b[i].nested.size())
      return ::testing::AssertionFailure() << "row " << i << " has another shape";
    for (std::size_t j = 0; j < a[i].cells.size(); ++j) {
      if (!SameValue(a[i].cells[j], b[i].cells[j]))
        return ::testing::AssertionFailure() << "row " << i << ", cell " << j << " differs";
    }
    for (std::size_t k = 0; k < a[i].nested.size(); ++k) {
      auto r = SameRows(a[i].nested[k], b[i].nested[k]);
      if (!r) return r << " (in the lines of row " << i << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

std::string Encoded(const std::vector<Row>& rows) {
  std::string out;
  {
    ByteWriter w(out);
    Write(w, rows);
  }
  return out;
}

std::vector<Row> Decoded(std::string_view bytes) {
  std::vector<Row> rows;
  ByteReader r(bytes);
  Budget budget;
  Read(r, rows, budget, 1, 8);
  r.End();
  return rows;
}

// One column of these values, beside a column of row numbers.
std::vector<Row> Column(const std::vector<Value>& values) {
  std::vector<Row> rows(values.size());
  for (std::size_t i = 0; i < values.size(); ++i)
    rows[i].cells = {Value::Integer(static_cast<int64_t>(i)), values[i]};
  return rows;
}

double FromBits(uint64_t bits) {
  return std::bit_cast<double>(bits);
}

TEST(RowSetTest, FixedPointNumbersAreTheNearestDoubles) {
  struct Case {
    int64_t k;
    int decimals;
    double expected;
  };
  const Case cases[] = {
      {1, 1, 0.1},
      {-1, 1, -0.1},
      {1234, 2, 12.34},
      {5, 1, 0.5},
      {25, 2, 0.25},
      {1, 4, 0.0001},
      {-99999, 4, -9.9999},
      {1234567, 1, 123456.7},
      {3, 0, 3.0},
      {(int64_t{1} << 53) + 1, 0, 9007199254740992.0},  // a tie: to the even neighbour
      {(int64_t{1} << 53) + 3, 0, 9007199254740996.0},  // a tie: to the even neighbour
      {(int64_t{1} << 60) - 1, 0, 1152921504606846976.0},
      {(int64_t{1} << 60) - 1, 4, 115292150460684.6975},
      {45292395833, 6 - 2, 4529239.5833},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Bits(FromDecimal(c.k, c.decimals)), Bits(c.expected)) << c.k << "e-" << c.decimals;
  }
  EXPECT_EQ(Bits(FromDecimal(0, 3)), Bits(0.0));
}

// The writer relies on this: an integer written with decimals comes back as the same integer.
TEST(RowSetTest, AnIntegerWithDecimalsIsTheSameInteger) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 100000; ++i) {
    const int64_t k = static_cast<int64_t>(rng() >> (64 - 1 - static_cast<int>(rng() % 46))) *
                      (rng() & 1 ? 1 : -1);
    int64_t scaled = k;
    for (int d = 0; d <= kMaxDecimals; ++d, scaled *= 10) {
      ASSERT_EQ(Bits(FromDecimal(scaled, d)), Bits(static_cast<double>(k))) << k << " " << d;
    }
  }
}

#ifndef _WIN32
// Against the C library's conversion of the same decimal text (correctly rounded in glibc).
TEST(RowSetTest, FixedPointNumbersAgreeWithTheDecimalText) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200000; ++i) {
    const int decimals = static_cast<int>(rng() % (kMaxDecimals + 1));
    const int bits = 1 + static_cast<int>(rng() % 59);
    int64_t k = static_cast<int64_t>(rng() >> (64 - bits));
    if (rng() & 1) k = -k;
    char text[64];
    std::snprintf(text, sizeof text, "%lldE-%d", static_cast<long long>(k), decimals);
    ASSERT_EQ(Bits(FromDecimal(k, decimals)), Bits(std::strtod(text, nullptr))) << text;
  }
}
#endif

TEST(RowSetTest, ToDecimalFindsTheIntegerOrRefuses) {
  int64_t k = 0;
  EXPECT_TRUE(ToDecimal(12.34, 2, k));
  EXPECT_EQ(k, 1234);
  EXPECT_TRUE(ToDecimal(-7, 0, k));
  EXPECT_EQ(k, -7);
  EXPECT_TRUE(ToDecimal(0.5, 3, k));
  EXPECT_EQ(k, 500);
  EXPECT_TRUE(ToDecimal(0.0, 0, k));
  EXPECT_EQ(k, 0);
  const double refused[] = {-0.0,
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::nan(""),
                            5e-324,
                            0.1 + 0.2,
                            1152921504606846976.0,  // 2^60
                            3.14159};
  for (double v : refused) {
    for (int d = 0; d <= kMaxDecimals; ++d) EXPECT_FALSE(ToDecimal(v, d, k)) << v << " " << d;
  }
  EXPECT_FALSE(ToDecimal(0.1, 0, k));
  EXPECT_FALSE(ToDecimal(12.345, 2, k));
}

TEST(RowSetTest, EveryColumnCodingComesBackBitForBit) {
  auto texts = [](std::initializer_list<const char*> t) {
    std::vector<Value> v;
    for (const char* s : t) v.push_back(s ? Value::Text(s) : Value());
    return v;
  };
  auto floats = [](std::initializer_list<double> d) {
    std::vector<Value> v;
    for (double x : d) v.push_back(Value::Float(x));
    return v;
  };
  std::vector<Value> sorted_codes, repeated_codes, one_code, stock;
  for (int g = 0; g < 300; ++g) {
    for (const char* w : {"0B", "01", "02"}) {
      sorted_codes.push_back(Value::Text("2000" + std::to_string(1000 + g)));
      repeated_codes.push_back(Value::Text(w));
      one_code.push_back(Value::Text("CK"));
      stock.push_back(Value::Float(g % 7 == 0 ? g + 0.5 : g % 11 == 0 ? g / 10.0 : g * 3.0));
    }
  }
  std::vector<Value> names;
  for (int i = 0; i < 400; ++i) names.push_back(Value::Text("演示商品" + std::to_string(i * 7919)));
  std::vector<Value> big_dictionary;  // more distinct texts than a dictionary takes
  for (int i = 0; i < 600; ++i) big_dictionary.push_back(Value::Text(std::to_string(i % 300)));
  std::vector<Value> dates = {Value::Date({45292}), Value::Date({45292.395833333336}),
                              Value::Date({-1.25}), Value(),
                              Value::Date({0}),     Value::Date({FromBits(0x8000000000000000)})};
  std::vector<Value> integers = {Value::Integer(std::numeric_limits<int64_t>::min()),
                                 Value::Integer(std::numeric_limits<int64_t>::max()),
                                 Value::Integer(0),
                                 Value::Integer(-1),
                                 Value::Integer(800),
                                 Value::Integer(801)};
  std::vector<Value> ascending;
  for (int i = 0; i < 50; ++i) ascending.push_back(Value::Integer(100000 - i));
  std::vector<Value> mixed = {Value::Text(""),   Value(),           Value::Float(1),
                              Value::Integer(1), Value::Date({1}),  Value::Text("1"),
                              Value(),           Value::Float(-0.0)};

  struct Case {
    const char* name;
    std::vector<Value> values;
  };
  const Case cases[] = {
      {"sorted codes", sorted_codes},
      {"repeated codes", repeated_codes},
      {"one code", one_code},
      {"names", names},
      {"too many for a dictionary", big_dictionary},
      {"no value against the empty text", texts({"", nullptr, "", "", nullptr, "x", nullptr})},
      {"a shared prefix that splits a character", texts({"仓库甲", "仓库乙", "仓", "仓库甲"})},
      {"bytes that are no text", {Value::Text(std::string("\0\xff\x80", 3)), Value::Text("a")}},
      {"no value only", std::vector<Value>(9)},
      {"stock quantities", stock},
      {"special floats",
       floats({-0.0, 0.0, std::numeric_limits<double>::infinity(),
               -std::numeric_limits<double>::infinity(), FromBits(0x7FF8000000000123),
               FromBits(0xFFF0000000000001), 5e-324, std::numeric_limits<double>::max(), 0.1 + 0.2,
               9007199254740993.0, 1152921504606846976.0, -3.0, 0.0001})},
      {"prices and amounts", floats({12.34, 99.99, 0.01, 1234.5, 17, 2.9, -3.33, 44.4})},
      {"date-times", dates},
      {"integers at the edges", integers},
      {"integers in steps", ascending},
      {"every kind at once", mixed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Row> rows = Column(c.values);
    EXPECT_TRUE(SameRows(Decoded(Encoded(rows)), rows));
  }
}

TEST(RowSetTest, NestedLinesStayWithTheirRows) {
  auto line = [](int i) {
    Row r;
    r.cells = {Value::Text("2000" + std::to_string(i)), Value::Float(i * 1.5)};
    return r;
  };
  std::vector<Row> varied(7), same(5);
  for (int i = 0; i < 7; ++i) {
    varied[i].cells = {Value::Float(i), Value()};
    varied[i].nested.resize(1);
    for (int j = 0; j < i % 4; ++j) varied[i].nested[0].push_back(line(i * 10 + j));
  }
  for (int i = 0; i < 5; ++i) {
    same[i].cells = {Value::Float(i), Value()};
    same[i].nested = {{line(i), line(i + 1)}, {}};
  }
  // Lines of irregular shape inside regular rows.
  std::vector<Row> odd_lines = same;
  odd_lines[2].nested[0][1].cells.push_back(Value::Text("extra"));
  for (const auto* rows : {&varied, &same, &odd_lines}) {
    EXPECT_TRUE(SameRows(Decoded(Encoded(*rows)), *rows));
  }
}

TEST(RowSetTest, IrregularAndFewRowsGoRowByRow) {
  std::vector<Row> irregular(6);
  for (int i = 0; i < 6; ++i) {
    for (int j = 0; j < i; ++j) irregular[i].cells.push_back(Value::Integer(j));
  }
  irregular[3].nested = {{irregular[2]}};
  std::vector<Row> few(2);
  few[0].cells = {Value::Text("a"), Value::Float(-0.0)};
  few[1].cells = {Value(), Value::Date({3.5})};
  for (const auto* rows : {&irregular, &few}) {
    EXPECT_TRUE(SameRows(Decoded(Encoded(*rows)), *rows));
  }
  EXPECT_TRUE(SameRows(Decoded(Encoded({})), {}));
}

// A stock list's shape: codes sorted and repeated, one marker, quantities; column by column it
// takes a fraction of what tagged values row by row take.
TEST(RowSetTest, ColumnsAreMuchSmallerThanTaggedRows) {
  std::vector<Row> rows;
  std::mt19937 rng(3);
  for (int g = 0; g < 200; ++g) {
    for (int w = 0; w < 30; ++w) {
      Row r;
      r.cells = {Value::Text("2000" + std::to_string(1000 + g)),
                 Value::Text(w == 0 ? std::string("0B") : std::to_string(10 + w)),
                 Value::Text("CK"), Value::Float(static_cast<double>(rng() % 5000))};
      rows.push_back(std::move(r));
    }
  }
  std::size_t tagged = 0;
  for (const Row& r : rows) {
    tagged += 2;
    for (const Value& v : r.cells) tagged += 1 + (v.is_text() ? 1 + v.text().size() : 8);
  }
  const std::string bytes = Encoded(rows);
  EXPECT_LT(bytes.size() * 4, tagged);
  EXPECT_TRUE(SameRows(Decoded(bytes), rows));
}

std::string Raw(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

TEST(RowSetTest, RowSetsBeyondTheLimitsAreRefused) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;
  };
  const Case cases[] = {
      // 2^20 + 1 rows
      {"too many rows", Raw({0x81, 0x80, 0x40, 0x01, 0x01, 0x00, 0x00}), "more rows"},
      // 2^20 rows of five values without value: five million values from a few bytes
      {"too many values", Raw({0x80, 0x80, 0x40, 0x01, 0x05, 0x00, 0, 0, 0, 0, 0}), "more values"},
      // 4 rows, each with 2^40 lines
      {"too many lines", Raw({0x04, 0x01, 0x00, 0x01, 0x01, 0x80, 0x80, 0x80, 0x80, 0x80, 0x20}),
       "too many lines"},
      // 1000 rows whose kinds of value are listed one by one, in 3 bytes
      {"kinds beyond the bytes", Raw({0xE8, 0x07, 0x01, 0x01, 0x00, 0xFF, 0x00, 0x00, 0x00}),
       "count larger"},
      // row by row: 1000 rows announced in 4 bytes
      {"rows beyond the bytes", Raw({0xE8, 0x07, 0x00, 0x00, 0x00}), "count larger"},
      {"unknown form", Raw({0x04, 0x07}), "unknown row set form"},
      {"unknown kind of value", Raw({0x04, 0x01, 0x01, 0x00, 0x09}), "unknown value tag"},
      {"unknown text coding", Raw({0x04, 0x01, 0x01, 0x00, 0x01, 0x05}), "unknown text coding"},
      {"dictionary index out of range",
       Raw({0x04, 0x01, 0x01, 0x00, 0x01, 0x02, 0x02, 0x01, 'a', 0x01, 'b', 0, 1, 2, 0}),
       "index out of range"},
      {"prefix longer than the previous text",
       Raw({0x04, 0x01, 0x01, 0x00, 0x01, 0x01, 0x01, 0x00}), "shared prefix"},
      {"unknown number coding", Raw({0x04, 0x01, 0x01, 0x00, 0x02, 0x05}), "number coding"},
      {"fixed-point number out of range",
       Raw({0x04, 0x01, 0x01, 0x00, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
            0x7F}),
       "out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      Decoded(c.bytes);
      ADD_FAILURE() << "accepted";
    } catch (const ProtocolError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
}

std::vector<Row> Sample() {
  std::vector<Row> rows;
  for (int i = 0; i < 40; ++i) {
    Row r;
    r.cells = {Value::Text("2000" + std::to_string(i / 3)), Value::Text(i % 2 ? "CK" : "YW"),
               i % 5 ? Value::Float(i * 0.25) : Value(), Value::Date({45000.0 + i}),
               Value::Integer(i * 1000)};
    r.nested = {std::vector<Row>(i % 3, Row{{Value::Text("l"), Value::Float(i)}, {}})};
    rows.push_back(std::move(r));
  }
  return rows;
}

TEST(RowSetTest, EveryCutOfARowSetIsRefused) {
  const std::string bytes = Encoded(Sample());
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_THROW(Decoded(bytes.substr(0, n)), ProtocolError) << n;
  }
  EXPECT_THROW(Decoded(bytes + '\0'), ProtocolError);
}

// Under ASan/UBSan: damaged row sets decode or fail with ProtocolError, nothing else.
TEST(RowSetTest, DamagedRowSetsNeverCrashTheReader) {
  const std::string seed = Encoded(Sample());
  std::mt19937 rng(11);
  for (int i = 0; i < 20000; ++i) {
    std::string bytes = seed;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    try {
      Decoded(bytes);
    } catch (const ProtocolError&) {
    }
  }
}

// ---- compression ------------------------------------------------------------------------------

std::string Deflated(std::string_view in) {
  std::string out;
  compression::Deflate(in, 1, out);
  return out;
}

std::string Inflated(std::string_view in, std::size_t size) {
  std::string out;
  compression::Inflate(in, size, out);
  return out;
}

TEST(CompressionTest, WhatIsDeflatedInflatesToTheSameBytes) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += static_cast<char>('a' + (i * 7) % 13);
  for (const std::string& in : {std::string(), std::string("x"), text}) {
    const std::string packed = Deflated(in);
    EXPECT_EQ(Inflated(packed, in.size()), in);
  }
  EXPECT_LT(Deflated(text).size(), text.size() / 10);
}

TEST(CompressionTest, DamagedOrMisannouncedStreamsAreRefused) {
  std::string text(50000, 'q');
  for (int i = 0; i < 50000; i += 7) text[i] = static_cast<char>(i);
  const std::string packed = Deflated(text);
  std::string damaged = packed;
  damaged[damaged.size() / 2] ^= 0x5A;
  std::string bad_checksum = packed;
  bad_checksum.back() ^= 1;
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t size;
    const char* reason;
  };
  const Case cases[] = {
      {"damaged", damaged, text.size(), ""},
      {"wrong checksum", bad_checksum, text.size(), "damaged"},
      {"announced too small", packed, text.size() - 1, "longer than announced"},
      {"announced too large", packed, text.size() + 1, "shorter than announced"},
      {"cut short", packed.substr(0, packed.size() - 5), text.size(), "cut short"},
      {"trailing bytes", packed + "x", text.size(), "trailing"},
      {"beyond the limit", packed, compression::kMaxInflatedBytes + 1, "larger than the limit"},
      {"not a stream", std::string("hello, world"), 12, "damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      Inflated(c.bytes, c.size);
      ADD_FAILURE() << "accepted";
    } catch (const ProtocolError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
}

// A stream of a few kilobytes that would inflate to megabytes: refused once it passes its
// announced size, with nothing left behind.
TEST(CompressionTest, ABombIsRefusedAtItsAnnouncedSize) {
  const std::string zeros(std::size_t{8} << 20, '\0');
  std::string bomb;
  compression::Deflate(zeros, 9, bomb);
  ASSERT_LT(bomb.size(), std::size_t{64} << 10);
  std::string out;
  EXPECT_THROW(compression::Inflate(bomb, 1 << 20, out), ProtocolError);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace remote::rowset
