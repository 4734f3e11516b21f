// Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/): real messages, statements
// and texts of the kinds the module and the server exchange. Run by scripts/fuzz when a corpus
// directory is missing; the small corpora kept in the repository came from it.
//
//   fuzz_make_corpus DIR
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "remote/compression.h"
#include "remote/rowset.h"
#include "remote/wire.h"
#include "rtl/datetime.h"

namespace {

namespace fs = std::filesystem;
using remote::FieldValue;
using remote::Value;

void Put(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

std::string Enc(const remote::wire::ClientMessage& m) {
  std::string s;
  remote::wire::Encode(m, s);
  return s;
}
std::string Enc(const remote::wire::ServerMessage& m) {
  std::string s;
  remote::wire::Encode(m, s);
  return s;
}

std::string Frame(const std::string& payload) {
  std::string f(4, '\0');
  uint32_t n = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) f[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return f + payload;
}

remote::RowDelta AuditDelta(double doc, bool with_line) {
  remote::RowDelta d;
  d.kind = remote::ChangeKind::Modify;
  d.original = {{"DHAO00", Value::Float(doc)},
                {"YWRQ00", Value()},
                {"YWRY00", Value()},
                {"CKDM00", Value::Text("01")},
                {"BEIZHU", Value::Text("")}};
  d.changed = {{"YWRQ00", Value::Date(rtl::EncodeDate(2024, 3, 5))},
               {"YWRY00", Value::Text("0001")}};
  if (with_line) {
    remote::RowDelta line;
    line.original = {{"DHAO00", Value::Float(doc)}, {"SPDM00", Value::Text("10010001")},
                     {"DJIA00", Value::Float(10)},  {"SL0000", Value::Float(2.5)},
                     {"JE0000", Value::Float(25)},  {"SE0000", Value::Float(3.63)}};
    line.changed = {{"DJIA00", Value::Float(12.5)},
                    {"JE0000", Value::Float(31.25)},
                    {"SE0000", Value::Float(4.54)},
                    {"KCSL00", Value::Float(500)}};
    d.nested.push_back({"tb_qmdwlrt2", {line}});
  }
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_make_corpus DIR\n";
    return 2;
  }
  const fs::path root = argv[1];
  namespace w = remote::wire;

  std::vector<std::pair<std::string, std::string>> client, server;
  client.push_back({"hello", Enc(w::Hello{w::kProtocolVersion, ""})});
  remote::OpenRequest open;
  open.provider = "dsp_qmdwlrt1";
  open.params = {
      {"CKDM00", remote::ParamType::Text, remote::ParamDirection::Input, Value()},
      {"FLAG", remote::ParamType::Text, remote::ParamDirection::Input, Value::Text("1")}};
  open.packet_records = 10;
  client.push_back({"open", Enc(open)});
  remote::OpenRequest closing;
  closing.provider = "dsp_xstyjzqj_edit";
  closing.command_text = "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL";
  client.push_back({"open_command", Enc(closing)});
  remote::OpenRequest kept;
  kept.provider = "dsp_xstzxkc0_ck";
  kept.cached_version = "4f2a.17";
  client.push_back({"open_kept", Enc(kept)});
  client.push_back({"fetch", Enc(w::FetchRequest{3, 10})});
  client.push_back({"close", Enc(w::CloseCursorRequest{3})});
  client.push_back(
      {"execute", Enc(w::ExecuteRequest{"dsp_qmdwlrt_tmp",
                                        {},
                                        "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(2.5) WHERE "
                                        "CKDM00='0B' AND SPDM00='10010001' AND KCBZ00='YW'"})});
  client.push_back(
      {"apply", Enc(w::ApplyUpdatesRequest{"dsp_qmdwlrt1", {AuditDelta(20240010, true)}, 0})});
  client.push_back(
      {"call_tranpara",
       Enc(w::CallRequest{"TranPara",
                          {Value::Text("UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1) WHERE "
                                       "SPDM00='10010001' AND CKDM00='0B' AND KCBZ00='YW'")}})});
  client.push_back({"call_start", Enc(w::CallRequest{"sustarttran", {}})});
  client.push_back({"create", Enc(w::CreateRequest{"LirraMISServer.CoStoreProduct"})});
  client.push_back({"release", Enc(w::ReleaseRequest{})});
  client.push_back({"auth", Enc(w::Auth{})});

  remote::Packet packet;
  packet.fields = {
      {"DHAO00", remote::FieldType::Float, 0, {}},
      {"CKRQ00", remote::FieldType::DateTime, 0, {}},
      {"CKRY00", remote::FieldType::Text, 8, {}},
      {"qry_qmdwlrt2",
       remote::FieldType::Nested,
       0,
       {{"SPDM00", remote::FieldType::Text, 8, {}}, {"SL0000", remote::FieldType::Float, 0, {}}}}};
  remote::Row row;
  row.cells = {Value::Float(20240010), Value::Date(rtl::EncodeDate(2024, 2, 8)),
               Value::Text("0001"), Value()};
  remote::Row line;
  line.cells = {Value::Text("10010001"), Value::Float(-3)};
  row.nested = {{line}};
  packet.rows = {row, row};
  packet.more = true;
  server.push_back({"open_result", Enc(remote::OpenResult{7, packet, "", false})});
  server.push_back({"open_unchanged", Enc(remote::OpenResult{0, {}, "4f2a.17", true})});
  server.push_back({"packet", Enc(packet)});
  server.push_back({"apply_result", Enc(remote::ApplyResult{1, {"Document 1 was changed"}})});
  server.push_back({"call_result", Enc(w::CallResult{Value::Integer(42), {Value::Text("x")}})});
  server.push_back({"error", Enc(w::ErrorReply{"Unknown server object \"X\""})});
  server.push_back({"done", Enc(w::Done{})});
  server.push_back({"ready", Enc(w::Ready{})});
  w::Welcome welcome;
  welcome.prog_ids = {"LirraMISServer.CoStoreProduct", "systransctrl.cosystransctrl"};
  server.push_back({"welcome", Enc(welcome)});
  welcome.challenge = true;
  welcome.nonce.fill(7);
  server.push_back({"welcome_challenge", Enc(welcome)});
  server.push_back({"rows_chunk", Enc(w::RowsChunk{{row}})});

  // Row sets: a stock list's shape (columns), the header packet's rows (lines nested), a few
  // irregular rows (row by row); compressed streams with the inflated size / 64 in front.
  std::vector<remote::Row> stock;
  for (int g = 0; g < 40; ++g) {
    for (const char* wh : {"0B", "01", "02"}) {
      remote::Row r;
      r.cells = {Value::Text("2000" + std::to_string(1000 + g)), Value::Text(wh), Value::Text("CK"),
                 Value::Float(g % 3 ? g * 7.0 : g + 0.5)};
      stock.push_back(r);
    }
  }
  auto rowset = [](const std::vector<remote::Row>& rows) {
    std::string out;
    {
      remote::coding::ByteWriter bw(out);
      remote::rowset::Write(bw, rows);
    }
    return out;
  };
  std::vector<remote::Row> odd = {row, line, remote::Row{}};
  Put(root / "rowset", "stock", rowset(stock));
  Put(root / "rowset", "headers", rowset(std::vector<remote::Row>(6, row)));
  Put(root / "rowset", "rows", rowset(odd));
  std::string raw(64 * 40, 'a');
  for (std::size_t i = 0; i < raw.size(); i += 5) raw[i] = static_cast<char>(i);
  std::string packed = {0, 40};
  remote::compression::Deflate(raw, 1, packed);
  Put(root / "rowset", "compressed", packed);
  std::string big;
  remote::wire::Encode(remote::wire::RowsChunk{stock}, big);
  server.push_back({"compressed_chunk", big});

  for (const auto& [name, bytes] : client) Put(root / "wire", name, bytes);
  for (const auto& [name, bytes] : server) Put(root / "wire", name, bytes);
  // A stream as the server reads it: the greeting, then frames behind their channel.
  auto on = [](uint32_t channel, const std::string& bytes) {
    std::string out;
    w::PutChannel(channel, out);
    return out + bytes;
  };
  for (const auto& [name, bytes] : client)
    Put(root / "frames", name, Frame(client[0].second) + Frame(on(1, bytes)));
  Put(root / "frames", "two_frames", Frame(client[0].second) + Frame(on(1, client[3].second)));

  const std::vector<std::pair<std::string, std::string>> statements = {
      {"decrement",
       "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(2.5) WHERE SPDM00='10010001' AND "
       "CKDM00='0B' AND KCBZ00='YW'"},
      {"increment",
       "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(-3) WHERE CKDM00='01' AND "
       "SPDM00='1001''0001' AND KCBZ00='YW'"},
      {"reset", "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=20240020"},
      {"closing", "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL"},
      {"batch",
       "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1.5E-7) WHERE SPDM00='a!b' AND CKDM00='0B' "
       "AND KCBZ00='YW'!UPDATE XSTZXKC0 SET KCSL00=KCSL00-(1E20) WHERE SPDM00='x' AND "
       "CKDM00='02' AND KCBZ00='YW'"},
  };
  for (const auto& [name, text] : statements) Put(root / "statements", name, text);

  Put(root / "apply", "audit_with_line",
      Enc(w::ApplyUpdatesRequest{"A", {AuditDelta(20240010, true)}, 0}));
  Put(root / "apply", "audit_without_batch",
      Enc(w::ApplyUpdatesRequest{"x", {AuditDelta(20240011, false)}, -1}));
  remote::RowDelta clear = AuditDelta(20240020, false);
  std::swap(clear.original[1], clear.changed[0]);
  clear.changed[0].field = "YWRQ00";
  Put(root / "apply", "clear_stamp", Enc(w::ApplyUpdatesRequest{"A", {clear}, 1}));
  Put(root / "apply", "two_documents",
      Enc(w::ApplyUpdatesRequest{
          "A", {AuditDelta(20240012, true), AuditDelta(20240013, true)}, 1}));

  const std::vector<std::string> texts = {"12.5",       "-3",
                                          "1E20",       "1.5E-7",
                                          " 42 ",       "0.00001",
                                          "2024-03-05", "2024-03-05 10:11:12.123",
                                          "2024/3/5",   "9223372036854775807",
                                          "-0",         "1e-400"};
  for (size_t i = 0; i < texts.size(); ++i)
    Put(root / "numbers_dates", "t" + std::to_string(i), texts[i]);
  std::cout << "corpora written to " << root << "\n";
  return 0;
}
