// The byte coding: the exact bytes of each form (little-endian whatever the machine, varints
// lowest group first, zigzag), round trips at the edges of every range, and refusal of bytes that
// do not fit.
#include "remote/coding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace remote::coding {
namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

template <class F>
std::string Written(F write) {
  std::string out;
  {
    ByteWriter w(out);
    write(w);
  }
  return out;
}

TEST(CodingTest, EachFormHasItsExactBytes) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"fixed32", Written([](ByteWriter& w) { w.Fixed32(0x01020304u); }),
       Bytes({0x04, 0x03, 0x02, 0x01})},
      {"fixed64", Written([](ByteWriter& w) { w.Fixed64(0x0102030405060708ull); }),
       Bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01})},
      {"double 1.0", Written([](ByteWriter& w) { w.Double(1.0); }),
       Bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F})},
      {"double -2.5", Written([](ByteWriter& w) { w.Double(-2.5); }),
       Bytes({0, 0, 0, 0, 0, 0, 0x04, 0xC0})},
      {"varint 0", Written([](ByteWriter& w) { w.Varint(0); }), Bytes({0x00})},
      {"varint 127", Written([](ByteWriter& w) { w.Varint(127); }), Bytes({0x7F})},
      {"varint 128", Written([](ByteWriter& w) { w.Varint(128); }), Bytes({0x80, 0x01})},
      {"varint 300", Written([](ByteWriter& w) { w.Varint(300); }), Bytes({0xAC, 0x02})},
      {"varint max", Written([](ByteWriter& w) { w.Varint(std::numeric_limits<uint64_t>::max()); }),
       Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01})},
      {"signed 0", Written([](ByteWriter& w) { w.Signed(0); }), Bytes({0x00})},
      {"signed -1", Written([](ByteWriter& w) { w.Signed(-1); }), Bytes({0x01})},
      {"signed 1", Written([](ByteWriter& w) { w.Signed(1); }), Bytes({0x02})},
      {"signed -64", Written([](ByteWriter& w) { w.Signed(-64); }), Bytes({0x7F})},
      {"signed 64", Written([](ByteWriter& w) { w.Signed(64); }), Bytes({0x80, 0x01})},
      {"text", Written([](ByteWriter& w) { w.Str("条"); }), Bytes({0x03, 0xE6, 0x9D, 0xA1})},
      {"empty text", Written([](ByteWriter& w) { w.Str(""); }), Bytes({0x00})},
      {"flags", Written([](ByteWriter& w) {
         w.Bool(true);
         w.Bool(false);
       }),
       Bytes({0x01, 0x00})},
  };
  for (const Case& c : cases) EXPECT_EQ(c.bytes, c.expected) << c.what;
}

TEST(CodingTest, ValuesAtTheEdgesOfTheirRangesRoundTrip) {
  const int64_t signed_values[] = {0,
                                   1,
                                   -1,
                                   63,
                                   -64,
                                   64,
                                   -65,
                                   std::numeric_limits<int32_t>::max(),
                                   std::numeric_limits<int32_t>::min(),
                                   std::numeric_limits<int64_t>::max(),
                                   std::numeric_limits<int64_t>::min()};
  const double doubles[] = {0.0,
                            -0.0,
                            0.1,
                            -1234.56,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity()};
  std::string out = Written([&](ByteWriter& w) {
    for (int64_t v : signed_values) w.Signed(v);
    for (double d : doubles) w.Double(d);
    w.Fixed32(std::numeric_limits<uint32_t>::max());
    w.Str(std::string(1000, 'x'));
  });
  ByteReader r(out);
  for (int64_t v : signed_values) EXPECT_EQ(r.Signed(), v);
  for (double d : doubles) {
    double back = r.Double();
    EXPECT_EQ(back, d);
    EXPECT_EQ(std::signbit(back), std::signbit(d));
  }
  EXPECT_EQ(r.Fixed32(), std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(r.StrView(), std::string(1000, 'x'));
  EXPECT_TRUE(r.AtEnd());
  r.End();
}

TEST(CodingTest, AWriterKeepsWhatTheBufferHeldBeforeIt) {
  std::string out = "HEAD";
  {
    ByteWriter w(out);
    w.Varint(300);
    EXPECT_EQ(w.Written(), 2u);
  }
  EXPECT_EQ(out, "HEAD" + Bytes({0xAC, 0x02}));
}

TEST(CodingTest, BytesThatDoNotFitAreRefusedWithTheReason) {
  struct Case {
    const char* what;
    std::string bytes;
    void (*read)(ByteReader&);
    const char* reason;
  };
  const Case cases[] = {
      {"nothing to read", "", [](ByteReader& r) { r.U8(); }, "truncated"},
      {"short fixed64", Bytes({1, 2, 3}), [](ByteReader& r) { r.Fixed64(); }, "truncated"},
      {"short double", Bytes({1, 2, 3, 4, 5, 6, 7}), [](ByteReader& r) { r.Double(); },
       "truncated"},
      {"varint cut off", Bytes({0x80, 0x80}), [](ByteReader& r) { r.Varint(); }, "truncated"},
      {"varint of 65 bits", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}),
       [](ByteReader& r) { r.Varint(); }, "integer out of range"},
      {"32-bit count too large", Bytes({0x80, 0x80, 0x80, 0x80, 0x10}),
       [](ByteReader& r) { r.U32(); }, "number out of range"},
      {"32-bit signed too large", Bytes({0x80, 0x80, 0x80, 0x80, 0x10}),
       [](ByteReader& r) { r.I32(); }, "number out of range"},
      {"text longer than the bytes", Bytes({0x05, 'a', 'b'}), [](ByteReader& r) { r.StrView(); },
       "text longer than the message"},
      {"count larger than the bytes", Bytes({0x03, 0x00, 0x00}), [](ByteReader& r) { r.Count(2); },
       "count larger than the message"},
      {"flag of 2", Bytes({0x02}), [](ByteReader& r) { r.Bool(); }, "bad flag"},
      {"bytes left over", Bytes({0x00, 0x00}),
       [](ByteReader& r) {
         r.U8();
         r.End();
       },
       "trailing bytes"},
  };
  for (const Case& c : cases) {
    ByteReader r(c.bytes);
    try {
      c.read(r);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const ProtocolError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Malformed protocol message: ") + c.reason)
          << c.what;
    }
  }
}

}  // namespace
}  // namespace remote::coding
