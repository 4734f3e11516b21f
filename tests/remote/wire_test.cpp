// The wire codec: every message survives a round trip unchanged, and malformed bytes of every
// kind are refused with ProtocolError (never a crash, an over-read or a huge allocation).
#include "remote/wire.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "tests/remote/wire_equal.h"

namespace remote::wire {
namespace {

Packet SamplePacket() {
  Packet p;
  FieldDef lines{"qry_qmdwlrt2",
                 FieldType::Nested,
                 0,
                 {{"SPDM00", FieldType::Text, 8, {}}, {"SL0000", FieldType::Float, 0, {}}}};
  p.fields = {{"DHAO00", FieldType::Integer, 0, {}},
              {"CKMC00", FieldType::Text, 30, {}},
              {"YWRQ00", FieldType::DateTime, 0, {}},
              {"JE0000", FieldType::Float, 0, {}},
              lines};
  Row r1;
  r1.cells = {Value::Integer(20240001), Value::Text("一号仓库"), Value::Date({45292.5}),
              Value::Float(-1234.56), Value()};
  Row l1, l2;
  l1.cells = {Value::Text("6901028"), Value::Float(12.5)};
  l2.cells = {Value::Text(""), Value()};
  r1.nested = {{l1, l2}};
  Row r2;
  r2.cells = {Value::Integer(std::numeric_limits<int64_t>::min()), Value(), Value::Date({-1.25}),
              Value::Float(std::numeric_limits<double>::infinity()), Value()};
  r2.nested = {{}};
  Row r3;
  r3.cells = {Value::Integer(std::numeric_limits<int64_t>::max()),
              Value::Text(std::string(300, 'x')), Value::Date({0}), Value::Float(-0.0), Value()};
  r3.nested = {{}};
  p.rows = {r1, r2, r3};
  p.more = true;
  return p;
}

// Enough rows of a stock list's shape for the message to travel compressed.
std::vector<Row> StockRows() {
  std::vector<Row> rows;
  for (int i = 0; i < 600; ++i) {
    Row r;
    r.cells = {Value::Text("2000" + std::to_string(1000 + i / 30)),
               Value::Text(std::to_string(10 + i % 30)), Value::Text("CK"),
               Value::Float((i * 7919) % 3001 + (i % 9 == 0 ? 0.5 : 0))};
    rows.push_back(std::move(r));
  }
  return rows;
}

std::vector<Param> SampleParams() {
  return {{"CKDM00", ParamType::Text, ParamDirection::Input, Value::Text("01")},
          {"FLAG", ParamType::Integer, ParamDirection::InputOutput, Value::Integer(-1)},
          {"RQ", ParamType::DateTime, ParamDirection::Output, Value()},
          {"SL", ParamType::Float, ParamDirection::Input, Value::Float(0.1)}};
}

std::vector<RowDelta> SampleDelta() {
  RowDelta line;
  line.kind = ChangeKind::Modify;
  line.original = {{"DJIA00", Value::Float(10)}, {"XHAO00", Value::Integer(1)}};
  line.changed = {{"DJIA00", Value::Float(11.5)}};
  RowDelta inserted;
  inserted.kind = ChangeKind::Insert;
  inserted.changed = {{"BEIZHU", Value::Text("补录")}};
  RowDelta header;
  header.kind = ChangeKind::Modify;
  header.original = {{"DHAO00", Value::Integer(7)}, {"YWRY00", Value()}};
  header.changed = {{"YWRY00", Value::Text("0001")}, {"YWRQ00", Value::Date({45300})}};
  header.nested = {{"tb_qmdwlrt2", {line, inserted}}};
  RowDelta deleted;
  deleted.kind = ChangeKind::Delete;
  deleted.original = {{"DHAO00", Value::Integer(8)}};
  return {header, deleted};
}

std::vector<ClientMessage> ClientSamples() {
  OpenRequest open{"dsp_qmdwlrt1", SampleParams(), std::nullopt, 10};
  OpenRequest open_sql{
      "dsp_xstyjzqj_edit", {}, std::string("select max(JZRQ00) from XSTYJZQJ"), -1};
  OpenRequest open_empty_sql{"p", {}, std::string(), 0};
  OpenRequest open_kept{"dsp_xstzxkc0_ck", {}, std::nullopt, -1, "8f3a0c1d.42"};
  Auth auth;
  for (std::size_t i = 0; i < auth.mac.size(); ++i) auth.mac[i] = static_cast<uint8_t>(i * 7);
  return {Hello{kProtocolVersion, "qmdw_scenario"},
          Hello{0, ""},
          auth,
          CreateRequest{"LirraMISServer.CoStoreProduct"},
          CreateRequest{""},
          ReleaseRequest{},
          open,
          open_sql,
          open_empty_sql,
          open_kept,
          FetchRequest{4294967295u, -1},
          FetchRequest{1, 10},
          CloseCursorRequest{3},
          ExecuteRequest{"dsp_qmdwlrt_tmp", {}, "update XSTZXKC0 set SL0000=SL0000+(1)"},
          ApplyUpdatesRequest{"dsp_qmdwlrt1", SampleDelta(), 0},
          ApplyUpdatesRequest{"dsp_qmdwlrt1", {}, -1},
          CallRequest{"TranPara", {Value::Text("a!b")}},
          CallRequest{"sustarttran", {}}};
}

std::vector<ServerMessage> ServerSamples() {
  Welcome challenged{kProtocolVersion, {"systransctrl.cosystransctrl", "仓库"}, true, {}};
  for (std::size_t i = 0; i < challenged.nonce.size(); ++i)
    challenged.nonce[i] = static_cast<uint8_t>(255 - i);
  return {challenged,
          Welcome{kProtocolVersion, {}, false, {}},
          Ready{},
          OpenResult{0, Packet{}},
          OpenResult{42, SamplePacket()},
          OpenResult{0, SamplePacket(), "8f3a0c1d.42", false},
          OpenResult{0, Packet{}, "8f3a0c1d.42", true},
          SamplePacket(),
          Done{},
          ApplyResult{0, {}},
          ApplyResult{2, {"单据 7 已被他人修改", "second"}},
          CallResult{Value(), {Value::Text("done"), Value::Integer(3)}},
          ErrorReply{"表 XSTZXKC0 无此记录"},
          ErrorReply{""},
          RowsChunk{},
          RowsChunk{SamplePacket().rows},
          RowsChunk{StockRows()}};
}

TEST(WireTest, EveryClientMessageRoundTrips) {
  for (const ClientMessage& m : ClientSamples()) {
    std::string bytes;
    Encode(m, bytes);
    SCOPED_TRACE(KindName(PeekKind(bytes)));
    ClientMessage back = DecodeClientMessage(bytes);
    EXPECT_TRUE(back == m);
    std::string again;
    Encode(back, again);
    EXPECT_EQ(again, bytes);
  }
}

TEST(WireTest, EveryServerMessageRoundTrips) {
  for (const ServerMessage& m : ServerSamples()) {
    std::string bytes;
    Encode(m, bytes);
    SCOPED_TRACE(KindName(PeekKind(bytes)));
    ServerMessage back = DecodeServerMessage(bytes);
    EXPECT_TRUE(back == m);
  }
}

TEST(WireTest, DirectEncodersMatchTheGeneralOne) {
  OpenResult r{9, SamplePacket()};
  std::string a, b, c, d;
  EncodeOpenResult(r, a);
  Encode(ServerMessage(r), b);
  EXPECT_EQ(a, b);
  EncodePacket(r.packet, c);
  Encode(ServerMessage(r.packet), d);
  EXPECT_EQ(c, d);
}

TEST(WireTest, ChunksOfRowsAppendInOrder) {
  std::vector<Row> rows = SamplePacket().rows;
  std::string a, b;
  EncodeRowsChunk({rows[0]}, a);
  EncodeRowsChunk({rows[1], rows[2]}, b);
  std::vector<Row> got;
  AppendRowsChunk(a, got);
  AppendRowsChunk(b, got);
  EXPECT_TRUE(got == rows);
  std::string not_chunk;
  EncodePacket(SamplePacket(), not_chunk);
  EXPECT_THROW(AppendRowsChunk(not_chunk, got), ProtocolError);
}

TEST(WireTest, LargeRepliesTravelCompressedAndComeBackWhole) {
  std::string bytes;
  Encode(ServerMessage(RowsChunk{StockRows()}), bytes);
  EXPECT_EQ(PeekKind(bytes), static_cast<uint8_t>(Kind::kCompressed));
  std::string scratch;
  EXPECT_EQ(PeekKind(Inflated(bytes, scratch)), static_cast<uint8_t>(Kind::kRowsChunk));
  std::vector<Row> rows;
  AppendRowsChunk(bytes, rows);
  EXPECT_TRUE(rows == StockRows());
  // Small replies travel as they are.
  std::string small;
  Encode(ServerMessage(Done{}), small);
  EXPECT_EQ(Inflated(small, scratch), small);
  // A client never compresses, and a compressed request is no request.
  std::string request;
  Encode(ClientMessage(ExecuteRequest{"p", {}, std::string(5000, 'x')}), request);
  EXPECT_EQ(PeekKind(request), static_cast<uint8_t>(Kind::kExecute));
  EXPECT_THROW(DecodeClientMessage(bytes), ProtocolError);
}

TEST(WireTest, NaNSurvivesAsNaN) {
  Packet p;
  p.fields = {{"X", FieldType::Float, 0, {}}};
  p.rows.resize(1);
  p.rows[0].cells = {Value::Float(std::nan(""))};
  std::string bytes;
  EncodePacket(p, bytes);
  Packet back = std::get<Packet>(DecodeServerMessage(bytes));
  ASSERT_TRUE(back.rows[0].cells[0].is_float());
  EXPECT_TRUE(std::isnan(back.rows[0].cells[0].float_value()));
}

// Every strict prefix of a valid message is truncated, and so is refused; so is a valid message
// with a byte appended.
TEST(WireTest, TruncatedAndOverlongMessagesAreRefused) {
  for (const ClientMessage& m : ClientSamples()) {
    std::string bytes;
    Encode(m, bytes);
    for (std::size_t n = 0; n < bytes.size(); ++n)
      EXPECT_THROW(DecodeClientMessage(bytes.substr(0, n)), ProtocolError) << n;
    EXPECT_THROW(DecodeClientMessage(bytes + '\0'), ProtocolError);
  }
  for (const ServerMessage& m : ServerSamples()) {
    std::string bytes;
    Encode(m, bytes);
    for (std::size_t n = 0; n < bytes.size(); ++n)
      EXPECT_THROW(DecodeServerMessage(bytes.substr(0, n)), ProtocolError) << n;
    EXPECT_THROW(DecodeServerMessage(bytes + '\0'), ProtocolError);
  }
}

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

TEST(WireTest, MalformedClientMessagesAreRefusedWithTheReason) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;
  };
  const Case cases[] = {
      {"empty", "", "truncated"},
      {"unknown request", Bytes({0x7F}), "unknown request"},
      {"a reply sent as request", Bytes({0x82}), "unknown request"},
      {"hello without magic", Bytes({0x01, 'H', 'T', 'T', 'P', 1, 0}), "not a client"},
      {"text longer than message", Bytes({0x15, 0x90, 0x4E, 'a', 'b'}), "text longer"},
      {"count larger than message", Bytes({0x15, 0x01, 'm', 0x80, 0x80, 0x80, 0x80, 0x10}),
       "count larger"},
      {"varint of 11 bytes",
       Bytes({0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00}),
       "integer"},
      {"cursor beyond 32 bits", Bytes({0x12, 0x80, 0x80, 0x80, 0x80, 0x10}), "out of range"},
      {"count beyond 32 bits", Bytes({0x11, 0x01, 0x80, 0x80, 0x80, 0x80, 0x20}), "out of range"},
      {"unknown value tag", Bytes({0x15, 0x01, 'm', 0x01, 0x09}), "unknown value tag"},
      {"bad command text flag", Bytes({0x10, 0x01, 'p', 0x00, 0x02}), "bad flag"},
      {"unknown parameter type",
       Bytes({0x10, 0x01, 'p', 0x01, 0x01, 'n', 0x09, 0x01, 0x00, 0x00, 0x01}), "parameter type"},
      {"unknown parameter direction",
       Bytes({0x10, 0x01, 'p', 0x01, 0x01, 'n', 0x01, 0x00, 0x00, 0x00, 0x01}), "direction"},
      {"unknown change kind", Bytes({0x14, 0x01, 'p', 0x01, 0x07, 0x00, 0x00, 0x00, 0x00}),
       "change kind"},
      {"auth too short", Bytes({0x02, 1, 2, 3}), "truncated"},
      {"create without a name", Bytes({0x03}), "truncated"},
      {"release with a body", Bytes({0x04, 0x00}), "trailing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      DecodeClientMessage(c.bytes);
      ADD_FAILURE() << "accepted";
    } catch (const ProtocolError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
}

TEST(WireTest, MalformedRepliesAreRefused) {
  const std::string cases[] = {
      Bytes({0x01}),                                                       // a request kind
      Bytes({0x90, 0x00, 0x01, 0x01, 'F', 0x09, 0x00, 0x00, 0x00, 0x00}),  // unknown field type
      Bytes({0x91, 0x00, 0x01, 0x00, 0x00, 0x02}),                         // `more` flag of 2
      Bytes({0x91, 0x00, 0x05}),                            // five rows announced, none there
      Bytes({0x94, 0x00, 0x03, 0x00}),                      // three errors announced, one empty
      Bytes({0x83, 'Q', 'M', 'D', 'X', 0x02, 0x00, 0x00}),  // a welcome of another protocol
      Bytes({0x83, 'Q', 'M', 'D', 'W', 0x02, 0x00, 0x01}),  // a challenge without its bytes
      Bytes({0xC0, 0x92, 0x01, 0x78, 0x01}),                // compressed, cut short
  };
  for (const std::string& c : cases) EXPECT_THROW(DecodeServerMessage(c), ProtocolError);
}

TEST(WireTest, NestingBeyondTheLimitIsRefused) {
  // Rows nested kMaxDepth + 1 levels deep.
  Row row;
  for (int i = 0; i < kMaxDepth; ++i) {
    Row outer;
    outer.nested = {{row}};
    row = outer;
  }
  Packet deep;
  deep.rows = {row};
  std::string bytes;
  EncodePacket(deep, bytes);
  EXPECT_THROW(DecodeServerMessage(bytes), ProtocolError);

  // One level less is accepted.
  Packet ok;
  ok.rows = {row.nested[0][0]};
  bytes.clear();
  EncodePacket(ok, bytes);
  EXPECT_NO_THROW(DecodeServerMessage(bytes));

  FieldDef field{"F", FieldType::Text, 0, {}};
  for (int i = 0; i < kMaxDepth; ++i) field = FieldDef{"N", FieldType::Nested, 0, {field}};
  Packet deep_fields;
  deep_fields.fields = {field};
  bytes.clear();
  EncodePacket(deep_fields, bytes);
  EXPECT_THROW(DecodeServerMessage(bytes), ProtocolError);

  RowDelta delta;
  for (int i = 0; i < kMaxDepth; ++i) {
    RowDelta outer;
    outer.nested = {{"lines", {delta}}};
    delta = outer;
  }
  bytes.clear();
  Encode(ClientMessage(ApplyUpdatesRequest{"p", {delta}, 0}), bytes);
  EXPECT_THROW(DecodeClientMessage(bytes), ProtocolError);
}

// Random corruption of valid messages: the decoder either accepts the bytes or refuses them
// with ProtocolError; it never crashes or reads out of bounds (run under ASan/UBSan).
TEST(WireTest, CorruptedMessagesNeverCrashTheDecoder) {
  std::mt19937 rng(20240917);
  std::vector<std::string> seeds;
  for (const ClientMessage& m : ClientSamples()) {
    seeds.emplace_back();
    Encode(m, seeds.back());
  }
  for (const ServerMessage& m : ServerSamples()) {
    seeds.emplace_back();
    Encode(m, seeds.back());
  }
  for (int i = 0; i < 20000; ++i) {
    std::string bytes = seeds[rng() % seeds.size()];
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips && !bytes.empty(); ++f)
      bytes[rng() % bytes.size()] = static_cast<char>(rng());
    try {
      DecodeClientMessage(bytes);
    } catch (const ProtocolError&) {
    }
    try {
      DecodeServerMessage(bytes);
    } catch (const ProtocolError&) {
    }
  }
}

TEST(WireTest, AuthMessageBindsTheChallenge) {
  std::array<uint8_t, kNonceSize> a{}, b{};
  b[0] = 1;
  EXPECT_NE(AuthMessage(a), AuthMessage(b));
}

// Hello is laid out alike in every version (magic, version, a text), so that a server reads the
// version of any client and can refuse it in words the client reads.
TEST(WireTest, HelloKeepsItsLayoutAcrossVersions) {
  std::string bytes;
  Encode(ClientMessage(Hello{1, "LirraMISServer.CoStoreProduct"}), bytes);
  const std::string v1 =
      Bytes({0x01, 'Q', 'M', 'D', 'W', 0x01, 29}) + "LirraMISServer.CoStoreProduct";
  EXPECT_EQ(bytes, v1);
  EXPECT_EQ(std::get<Hello>(DecodeClientMessage(v1)).version, 1);
  std::string error;
  Encode(ServerMessage(ErrorReply{"x"}), error);
  EXPECT_EQ(error, Bytes({0xFF, 0x01, 'x'}));
}

TEST(WireTest, EveryFrameAfterTheGreetingNamesItsChannel) {
  for (uint32_t channel : {0u, 1u, 127u, 128u, 4294967295u}) {
    std::string frame;
    PutChannel(channel, frame);
    Encode(ClientMessage(FetchRequest{3, 10}), frame);
    std::string_view bytes = frame;
    EXPECT_EQ(TakeChannel(bytes), channel);
    EXPECT_TRUE(std::get<FetchRequest>(DecodeClientMessage(bytes)) == (FetchRequest{3, 10}));
  }
  std::string_view empty;
  EXPECT_THROW(TakeChannel(empty), ProtocolError);
  std::string_view too_long = "\xFF\xFF\xFF\xFF\x7F";
  EXPECT_THROW(TakeChannel(too_long), ProtocolError);
}

}  // namespace
}  // namespace remote::wire
