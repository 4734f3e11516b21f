// Hostile clients against a real application server on loopback: one test per way a client
// could starve, corrupt or blind the server, each with its variants in a table. Memory and time
// are asserted as generous bounds (the figures themselves are printed and kept in
// docs/robustness.md). Tests where the backend matters run on SQLite and, with QMDW_PG_URL, on
// PostgreSQL.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "remote/connection.h"
#include "remote/socket.h"
#include "remote/tcp_client.h"
#include "remote/wire.h"
#include "rtl/datetime.h"
#include "rtl/numtext.h"
#include "server/messages.h"
#include "server/net/log.h"
#include "server/objects.h"
#include "server/objects_log.h"
#include "server/providers.h"
#include "server/statements.h"
#include "tests/support/statement_text.h"
#include "tests/support/test_app_server.h"

namespace {

using remote::ServerError;
using remote::ServerObject;
using remote::Value;
using ::testing::HasSubstr;
using testsupport::Backend;
using testsupport::TestAppServer;
using testsupport::TestAppServerOptions;
namespace wire = remote::wire;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Resident memory of this process, which runs the server.
int64_t RssBytes() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
  }
  return 0;
}

std::string Mib(int64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return buf;
}

// Sets the objects' options for the instances created while it lives.
struct ScopedObjectOptions {
  explicit ScopedObjectOptions(const server::ObjectOptions& o) { server::SetObjectOptions(o); }
  ~ScopedObjectOptions() { server::SetObjectOptions(server::ObjectOptions{}); }
};

// A client that speaks the protocol by hand, from a chosen loopback address.
class Peer {
 public:
  Peer(uint16_t port, const char* from = "127.0.0.1", int receive_buffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ADD_FAILURE() << "cannot bind to " << from;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      ADD_FAILURE() << "cannot connect from " << from;
    }
    socket_ = remote::Socket(fd);
  }

  void SendRaw(const std::string& bytes) { socket_.SendAll(bytes.data(), bytes.size()); }
  // A message: before the greeting as it is, after it on the one instance's channel (1).
  void Send(const wire::ClientMessage& m) { SendOn(1, m); }
  void SendOn(uint32_t channel, const wire::ClientMessage& m) {
    std::string frame;
    remote::BeginFrame(frame);
    if (greeted_) wire::PutChannel(channel, frame);
    wire::Encode(m, frame);
    remote::SendFrame(socket_, frame);
  }
  // The next message (after the greeting: of any channel), or nullopt when the connection
  // closed or nothing came in time.
  std::optional<wire::ServerMessage> Receive(int timeout_ms = 5000) {
    remote::FrameDeadlines d;
    d.begin_by = d.end_by = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string payload;
    try {
      if (remote::ReadFrame(socket_, payload, 64 << 20, nullptr, &d) != remote::FrameStatus::kOk)
        return std::nullopt;
      std::string_view bytes = payload;
      if (greeted_) wire::TakeChannel(bytes);
      return wire::DecodeServerMessage(bytes);
    } catch (const ServerError&) {
      return std::nullopt;
    }
  }
  std::string ReceiveError(int timeout_ms = 5000) {
    auto m = Receive(timeout_ms);
    if (!m) return "(closed)";
    auto* e = std::get_if<wire::ErrorReply>(&*m);
    return e ? e->message : "(no error)";
  }
  // Greets the server and makes an instance of `prog_id` on channel 1.
  bool Hello(const std::string& prog_id) {
    Send(wire::Hello{wire::kProtocolVersion, "peer"});
    auto m = Receive();
    if (!m || !std::holds_alternative<wire::Welcome>(*m)) return false;
    greeted_ = true;
    Send(wire::CreateRequest{prog_id});
    m = Receive();
    if (m && std::holds_alternative<wire::Ready>(*m)) return true;
    refusal_ = m && std::holds_alternative<wire::ErrorReply>(*m)
                   ? std::get<wire::ErrorReply>(*m).message
                   : "(no answer)";
    return false;
  }
  // Why Hello failed.
  const std::string& refusal() const { return refusal_; }
  // Reads and drops whatever comes (`chunk` bytes every `pause_ms`) until the server closes the
  // connection; false when it is still open after `timeout_ms`.
  bool ClosedWithin(int timeout_ms, std::size_t chunk = 65536, int pause_ms = 0) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string sink(chunk, '\0');
    while (Clock::now() < until) {
      pollfd p{socket_.native(), POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(socket_.native(), sink.data(), sink.size(), 0);
      if (n <= 0) return true;
      if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
    return false;
  }
  remote::Socket& socket() { return socket_; }

 private:
  remote::Socket socket_;
  bool greeted_ = false;
  std::string refusal_;
};

std::string FrameHeader(uint32_t size) {
  std::string h(4, '\0');
  for (int i = 0; i < 4; ++i) h[i] = static_cast<char>(size >> (8 * i));
  return h;
}

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const ServerError& e) {
    return e.what();
  }
  return "";
}

// Adds `n` stock rows marked "CK" (goods 3xxxxxxx in warehouse 05): a long stock list.
void AddStockRows(server::StorageFactory& storage, int n) {
  auto db = storage.NewSession();
  db->Begin();
  auto w = db->BulkInsert("XSTZXKC0", {"SPDM00", "CKDM00", "KCBZ00", "KCSL00"});
  char goods[16];
  for (int i = 0; i < n; ++i) {
    std::snprintf(goods, sizeof goods, "3%07d", i);
    // Quantities with every bit of their own: a long list stays long on the wire too.
    w->Add({Value::Text(goods), Value::Text("05"), Value::Text("CK"),
            Value::Float(std::sqrt(static_cast<double>(i) + 0.5))});
  }
  w->Finish();
  db->Commit();
}

remote::OpenRequest StockList(int32_t packet) {
  remote::OpenRequest r;
  r.provider = "dsp_xstzxkc0_ck";
  r.packet_records = packet;
  return r;
}

// --- Documents as the module reads, saves and cancels them ---------------------------------

struct Doc {
  double number = 0;
  std::string warehouse;
  std::vector<std::pair<std::string, double>> lines;  // goods, quantity, in list order
  remote::Packet packet;
};

remote::Param TextParam(const std::string& name, const std::string& value) {
  remote::Param p;
  p.name = name;
  p.type = remote::ParamType::Text;
  p.value = Value::Text(value);
  return p;
}

Doc OpenDoc(ServerObject& systran, double number) {
  remote::OpenRequest r;
  r.provider = "dsp_qmdwlrt1";
  r.params = {TextParam("DHAO00", rtl::FloatToStr(number))};
  Doc d;
  d.packet = systran.Open(r).packet;
  EXPECT_EQ(d.packet.rows.size(), 1u) << number;
  d.number = number;
  d.warehouse = d.packet.rows[0].cells[5].text();
  for (const remote::Row& line : d.packet.rows[0].nested[0]) {
    d.lines.emplace_back(line.cells[1].text(), line.cells[3].float_value());
  }
  return d;
}

server::Statement Stock(server::StatementKind kind, const std::string& goods,
                        const std::string& warehouse, double quantity) {
  server::Statement st;
  st.kind = kind;
  st.goods = goods;
  st.warehouse = warehouse;
  st.quantity = quantity;
  return st;
}

// The module's batch: lines from the last to the first, "0B" before the document's warehouse.
std::string AuditBatch(const std::vector<std::pair<std::string, double>>& lines,
                       const std::string& warehouse) {
  std::string batch;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    for (const std::string& w : {std::string("0B"), warehouse}) {
      if (!batch.empty()) batch += "!";
      batch += testsupport::StatementText(
          Stock(server::StatementKind::kStockDecrement, it->first, w, it->second));
    }
  }
  return batch;
}

std::vector<std::string> CancelStatements(const std::vector<std::pair<std::string, double>>& lines,
                                          const std::string& warehouse, double number) {
  std::vector<std::string> out;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    for (const std::string& w : {std::string("0B"), warehouse}) {
      out.push_back(testsupport::StatementText(
          Stock(server::StatementKind::kStockIncrement, it->first, w, it->second)));
    }
  }
  server::Statement reset;
  reset.kind = server::StatementKind::kHeaderReset;
  reset.document = number;
  out.push_back(testsupport::StatementText(reset));
  return out;
}

// The audit stamp (and more changes) of a document's header, originals as read.
remote::RowDelta AuditDelta(const Doc& d, std::vector<remote::FieldValue> more = {}) {
  remote::RowDelta delta;
  for (size_t i = 0; i < d.packet.fields.size(); ++i) {
    if (d.packet.fields[i].type == remote::FieldType::Nested) continue;
    delta.original.push_back({d.packet.fields[i].name, d.packet.rows[0].cells[i]});
  }
  delta.changed.push_back({"YWRQ00", Value::Date(rtl::EncodeDate(2024, 4, 1))});
  delta.changed.push_back({"YWRY00", Value::Text("0003")});
  for (auto& f : more) delta.changed.push_back(std::move(f));
  return delta;
}

// A save as the module makes it; "" on success, else the error or the rows' errors.
std::string Save(ServerObject& systran, const std::string& batch,
                 const std::vector<remote::RowDelta>& delta) {
  return ErrorOf([&] {
    std::vector<Value> args = {Value::Text(batch)};
    systran.Call("TranPara", args);
    remote::ApplyResult r = systran.ApplyUpdates("dsp_qmdwlrt1", delta, 0);
    if (r.error_count > 0) throw ServerError(r.errors.back());
  });
}

// A cancel as the browser runs it (rolling back on failure); "" on success, else the error.
std::string Cancel(ServerObject& commu, const std::vector<std::string>& statements) {
  std::vector<Value> none;
  std::string error = ErrorOf([&] {
    commu.Call("sustarttran", none);
    for (const std::string& s : statements) commu.Execute("dsp_qmdwlrt_tmp", {}, s);
    commu.Call("sucommit", none);
  });
  if (!error.empty()) commu.Call("surollback", none);
  return error;
}

// Every value that a client could change, as text.
std::string Snapshot(server::StorageFactory& storage) {
  auto db = storage.NewSession();
  std::string s;
  auto dump = [&](const char* sql, int columns) {
    auto rows = db->Query(sql);
    while (rows->Next()) {
      for (int c = 0; c < columns; ++c) {
        s += rows->IsNull(c) ? std::string("<null>") : std::string(rows->Text(c));
        s += '|';
      }
      s += '\n';
    }
  };
  dump("SELECT SPDM00, CKDM00, KCBZ00, KCSL00 FROM XSTZXKC0 ORDER BY SPDM00, CKDM00, KCBZ00", 4);
  dump("SELECT DHAO00, YWRQ00, YWRY00, CKDM00, BEIZHU FROM QMDWLRT1 ORDER BY DHAO00", 5);
  dump("SELECT DHAO00, SPDM00, DJIA00, SL0000, JE0000, SE0000 FROM QMDWLRT2 ORDER BY 1, 2", 6);
  return s;
}

double StockOf(server::StorageFactory& storage, const std::string& goods,
               const std::string& warehouse) {
  auto db = storage.NewSession();
  auto rows =
      db->Query("SELECT KCSL00 FROM XSTZXKC0 WHERE SPDM00 = ? AND CKDM00 = ? AND KCBZ00 = 'YW'",
                {Value::Text(goods), Value::Text(warehouse)});
  return rows->Next() ? rows->Float(0) : NAN;
}

class HostileTest : public ::testing::TestWithParam<Backend> {};

INSTANTIATE_TEST_SUITE_P(Backends, HostileTest,
                         ::testing::ValuesIn(testsupport::AvailableBackends()),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

// --- 1. Memory per connection grows only as bytes arrive -----------------------------------

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryMeasures = false;  // the sanitizer's shadow and quarantine count
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kResidentMemoryMeasures = false;
#else
constexpr bool kResidentMemoryMeasures = true;
#endif
#else
constexpr bool kResidentMemoryMeasures = true;
#endif

TEST(HostileClients, MemoryGrowsOnlyAsRequestBytesArrive) {
  if (!kResidentMemoryMeasures)
    GTEST_SKIP() << "resident memory says nothing under AddressSanitizer";
  TestAppServer server;  // the default limits: 256 clients, 64 from one address
  constexpr int kPeers = 250;
  const int64_t before = RssBytes();
  std::vector<std::unique_ptr<Peer>> peers;
  for (int i = 0; i < kPeers; ++i) {
    // Eight computers (127.0.0.2 to .9), about 31 connections each.
    const std::string from = "127.0.0." + std::to_string(2 + i % 8);
    peers.push_back(std::make_unique<Peer>(server.port(), from.c_str()));
    ASSERT_TRUE(peers.back()->Hello(remote::kProgIdStoreProduct)) << i;
  }
  const int64_t greeted = RssBytes();
  // Each announces the largest request allowed (4 MiB) and sends nothing more.
  for (auto& p : peers) p->SendRaw(FrameHeader(4u << 20));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int64_t announced = RssBytes();
  // And a few bytes of it: the buffer takes one step, not the announced size.
  for (auto& p : peers) p->SendRaw(std::string(1000, 'x'));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int64_t trickled = RssBytes();
  EXPECT_EQ(server.server().SessionCount(), static_cast<std::size_t>(kPeers));
  peers.clear();
  ASSERT_TRUE(server.server().WaitForSessionCount(0, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the freed memory given back
  const int64_t after = RssBytes();
  std::printf(
      "RSS: %s before, %s with %d greeted clients, %s after each announced 4 MiB, %s "
      "after 1000 bytes each, %s after they left\n",
      Mib(before).c_str(), Mib(greeted).c_str(), kPeers, Mib(announced).c_str(),
      Mib(trickled).c_str(), Mib(after).c_str());
  // Allocating the announced size would take 250 x 4 MiB = 1000 MiB.
  EXPECT_LT(announced - greeted, int64_t{32} << 20);
  EXPECT_LT(trickled - greeted, int64_t{64} << 20);
  EXPECT_LT(after - before, int64_t{64} << 20);
}

// --- 2. Rows held for detached results are bounded per connection and in all ---------------

TEST(HostileClients, DetachedResultsAreBoundedPerConnectionAndInAll) {
  server::ObjectOptions options;
  options.result_memory_per_session = int64_t{8} << 20;
  options.result_memory_total = int64_t{10} << 20;
  ScopedObjectOptions scoped(options);
  TestAppServer server;
  constexpr int kRows = 30000;  // about 6 MiB in memory
  AddStockRows(server.storage(), kRows);
  const int total = kRows + 50;  // and the demo set's 50 rows marked "CK"
  std::atomic<int64_t> peak{0};
  auto note = [&] { peak = std::max(peak.load(), server::ResultMemory::ServerHeld()); };

  {  // One connection: each open detaches the other half-read results.
    auto systran = remote::ConnectServerObject(server.computer_name(), remote::kProgIdSysTran);
    std::vector<uint32_t> cursors;
    for (int i = 0; i < 3; ++i) {
      cursors.push_back(systran->Open(StockList(1)).cursor);
      note();
    }
    // The second did not fit beside the first: closed, and its fetch says why.
    EXPECT_EQ(ErrorOf([&] { systran->Fetch(cursors[1], 10); }),
              server::msg::ResultMemorySession(cursors[1], int64_t{8} << 20).ForOperator());
    // The first comes whole.
    EXPECT_EQ(systran->Fetch(cursors[0], -1).rows.size(), static_cast<std::size_t>(total - 1));
    note();
  }
  ASSERT_TRUE(server.server().WaitForSessionCount(0, 5000));
  EXPECT_EQ(server::ResultMemory::ServerHeld(), 0);

  {  // Two connections, each within its own limit, together beyond the server's.
    auto a = remote::ConnectServerObject(server.computer_name(), remote::kProgIdSysTran);
    auto b = remote::ConnectServerObject(server.computer_name(), remote::kProgIdSysTran);
    const uint32_t a1 = a->Open(StockList(1)).cursor;
    a->Open(StockList(1));
    note();
    const uint32_t b1 = b->Open(StockList(1)).cursor;
    b->Open(StockList(1));
    note();
    EXPECT_EQ(ErrorOf([&] { b->Fetch(b1, 10); }),
              server::msg::ResultMemoryServer(b1, int64_t{10} << 20).ForOperator());
    EXPECT_EQ(a->Fetch(a1, -1).rows.size(), static_cast<std::size_t>(total - 1));
  }
  std::printf(
      "rows held for detached results: at most %s (limits 8 MiB per connection, "
      "10 MiB in all)\n",
      Mib(peak).c_str());
  EXPECT_LE(peak.load(), int64_t{10} << 20);
}

// --- 3. No client holds a slot: greeting deadline, per-address limit, idle and request limits

TEST(HostileClients, NoClientHoldsASlot) {
  {
    SCOPED_TRACE("eight computers' worth of slow greetings from one computer");
    TestAppServerOptions o;
    o.server.max_clients = 8;
    o.server.max_clients_per_address = 4;
    o.server.handshake_timeout_ms = 1000;
    TestAppServer server(o);
    std::string hello;
    wire::Encode(wire::Hello{wire::kProtocolVersion, remote::kProgIdStoreProduct}, hello);
    hello = FrameHeader(static_cast<uint32_t>(hello.size())) + hello;
    std::vector<std::unique_ptr<Peer>> slow;
    const auto start = Clock::now();
    for (int i = 0; i < 8; ++i) slow.push_back(std::make_unique<Peer>(server.port(), "127.0.0.2"));
    std::atomic<bool> stop{false};
    std::thread trickle([&] {  // one byte of the greeting every 250 ms on each
      for (std::size_t k = 0; k < hello.size() && !stop; ++k) {
        for (auto& p : slow) {
          try {
            p->SendRaw(hello.substr(k, 1));
          } catch (const ServerError&) {
          }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
    });
    // The operator's computer still gets in.
    const auto operator_start = Clock::now();
    EXPECT_NO_THROW(
        remote::ConnectServerObject(server.computer_name(), remote::kProgIdStoreProduct));
    EXPECT_LT(SecondsSince(operator_start), 5.0);
    // Every slow greeting is shed once the greeting's deadline passes.
    int shed = 0;
    for (auto& p : slow) shed += p->ClosedWithin(5000) ? 1 : 0;
    const double shed_after = SecondsSince(start);
    stop = true;
    trickle.join();
    EXPECT_EQ(shed, 8);
    EXPECT_LT(shed_after, 3.0);
    std::printf("slow greetings shed after %.2f s (greeting deadline 1 s)\n", shed_after);
  }
  {
    SCOPED_TRACE("a session without requests");
    TestAppServerOptions o;
    o.server.idle_timeout_ms = 500;
    TestAppServer server(o);
    auto units = remote::ConnectServerObject(server.computer_name(), remote::kProgIdStoreProduct);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_TRUE(server.server().WaitForSessionCount(0, 2000));
    remote::OpenRequest r;
    r.provider = "dsp_LirraUnit";
    EXPECT_NE(ErrorOf([&] { units->Open(r); }), "");
  }
  {
    SCOPED_TRACE("a request that trickles in");
    TestAppServerOptions o;
    o.server.request_timeout_ms = 500;
    TestAppServer server(o);
    Peer p(server.port());
    ASSERT_TRUE(p.Hello(remote::kProgIdStoreProduct));
    const auto start = Clock::now();
    p.SendRaw(FrameHeader(1000));
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
      for (int k = 0; k < 100 && !stop; ++k) {
        try {
          p.SendRaw("x");
        } catch (const ServerError&) {
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    EXPECT_TRUE(p.ClosedWithin(5000));
    const double shed_after = SecondsSince(start);
    stop = true;
    trickle.join();
    EXPECT_LT(shed_after, 2.0);
    std::printf("trickling request shed after %.2f s (request limit 0.5 s)\n", shed_after);
  }
  {
    SCOPED_TRACE("one computer making instances without end, on one connection and more");
    TestAppServerOptions o;
    o.server.max_objects_per_address = 4;
    TestAppServer server(o);
    Peer hog(server.port(), "127.0.0.2");
    ASSERT_TRUE(hog.Hello(remote::kProgIdStoreProduct));  // channel 1
    const std::string limit = server::msg::TooManyObjectsFromAddress("127.0.0.2", 4).ForOperator();
    const std::string in_use = server::msg::ChannelInUse(2).ForOperator();
    for (uint32_t channel = 2; channel <= 6; ++channel) {
      hog.SendOn(channel, wire::CreateRequest{remote::kProgIdStoreProduct});
      auto m = hog.Receive();
      ASSERT_TRUE(m);
      if (channel <= 4) {
        EXPECT_TRUE(std::holds_alternative<wire::Ready>(*m)) << channel;
      } else {
        ASSERT_TRUE(std::holds_alternative<wire::ErrorReply>(*m)) << channel;
        EXPECT_EQ(std::get<wire::ErrorReply>(*m).message, limit);
      }
    }
    hog.SendOn(2, wire::CreateRequest{remote::kProgIdStoreProduct});  // a channel in use
    EXPECT_EQ(hog.ReceiveError(), in_use);
    EXPECT_EQ(server.server().ObjectCount(), 4u);
    // A second connection from the same computer counts against the same limit.
    Peer more(server.port(), "127.0.0.2");
    EXPECT_FALSE(more.Hello(remote::kProgIdStoreProduct));
    EXPECT_EQ(more.refusal(), limit);
    // Every other computer is served, and a released instance makes room again.
    auto units = remote::ConnectServerObject(server.computer_name(), remote::kProgIdStoreProduct);
    remote::OpenRequest r;
    r.provider = "dsp_LirraUnit";
    EXPECT_FALSE(units->Open(r).packet.rows.empty());
    hog.SendOn(3, wire::ReleaseRequest{});
    EXPECT_TRUE(server.server().WaitForObjectCount(4, 5000));  // three of its own, `units`
    hog.SendOn(7, wire::CreateRequest{remote::kProgIdStoreProduct});
    auto m = hog.Receive();
    EXPECT_TRUE(m && std::holds_alternative<wire::Ready>(*m));
    // A refused channel answers every request with its refusal; the connection goes on.
    hog.SendOn(6, r);
    EXPECT_EQ(hog.ReceiveError(), limit);
    hog.SendOn(1, r);
    m = hog.Receive();
    EXPECT_TRUE(m && std::holds_alternative<remote::OpenResult>(*m));
  }
}

// --- 4. Slow readers are disconnected by the send deadline ----------------------------------

TEST(HostileClients, SlowReadersAreDisconnected) {
  TestAppServerOptions o;
  o.server.send_timeout_ms = 1000;
  TestAppServer server(o);
  AddStockRows(server.storage(), 500000);  // a reply of several MiB, compressed too
  struct Case {
    const char* what;
    std::size_t chunk;  // bytes read at a time; 0: never reads
    int pause_ms;
  };
  const Case cases[] = {{"never reads", 0, 0}, {"reads 1 KB every 100 ms", 1024, 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Peer p(server.port(), "127.0.0.1", 4096);
    ASSERT_TRUE(p.Hello(remote::kProgIdSysTran));
    const auto start = Clock::now();
    p.Send(StockList(-1));
    // The slot and instance are freed when the server gives up on the client; what it had not
    // read is dropped with the connection.
    std::thread reader([&] {
      if (c.chunk > 0) p.ClosedWithin(20000, c.chunk, c.pause_ms);
    });
    const bool shed = server.server().WaitForSessionCount(0, 20000);
    const double after = SecondsSince(start);
    reader.join();
    EXPECT_LT(SecondsSince(start), 15.0);  // the reader saw the connection end too
    EXPECT_TRUE(shed);
    EXPECT_LT(after, 10.0);
    std::printf("slow reader (%s) disconnected after %.2f s (send limit 1 s per frame)\n", c.what,
                after);
    ASSERT_TRUE(server.server().WaitForSessionCount(0, 5000));
  }
}

// --- 5. No client holds the write lock beyond the transaction limit -------------------------

TEST_P(HostileTest, WriteLockIsHeldAtMostTheTransactionLimit) {
  server::ObjectOptions options;
  options.transaction_limit = std::chrono::milliseconds(1000);
  options.save_timeout = std::chrono::milliseconds(1000);
  options.transaction_timeout = std::chrono::milliseconds(60000);  // busy, never idle
  ScopedObjectOptions scoped(options);
  TestAppServerOptions o(GetParam(), true, {});
  o.busy_timeout_ms = 4000;
  TestAppServer server(o);
  const std::string computer = server.computer_name();
  // Document 20240021 (audited, warehouse 01): goods 10010002, 10010005 and 10010008.
  auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
  const Doc doc = OpenDoc(*systran, 20240021);
  const std::string lock_row = testsupport::StatementText(
      Stock(server::StatementKind::kStockIncrement, "10010002", "01", 1));

  struct Case {
    const char* what;
    const char* prog_id;
    // Takes the lock (and the victim's rows), then keeps its client busy until `stop`.
    std::function<void(ServerObject&, std::atomic<bool>& stop)> hold;
  };
  const Case cases[] = {
      {"a transaction kept busy with a request every 200 ms", remote::kProgIdCommunicate,
       [&](ServerObject& o, std::atomic<bool>& stop) {
         std::vector<Value> none;
         o.Call("sustarttran", none);
         o.Execute("dsp_qmdwlrt_tmp", {}, lock_row);
         while (!stop) {
           std::this_thread::sleep_for(std::chrono::milliseconds(200));
           remote::OpenRequest r;
           r.provider = "dsp_qmdwlrt1";
           r.params = {TextParam("FLAG", "1")};
           r.packet_records = 1;
           try {
             o.Open(r);
           } catch (const ServerError&) {
           }
         }
       }},
      {"a stock batch left pending", remote::kProgIdSysTran,
       [&](ServerObject& o, std::atomic<bool>& stop) {
         std::vector<Value> args = {Value::Text(AuditBatch({{"10010002", 1}}, "01"))};
         o.Call("TranPara", args);
         while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto hostile = remote::ConnectServerObject(computer, c.prog_id);
    std::atomic<bool> stop{false};
    std::atomic<bool> holding{false};
    std::thread holder([&] {
      c.hold(*hostile, stop);
      holding = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the lock is taken
    // Another operator cancels document 20240021, which needs the same stock rows.
    auto commu = remote::ConnectServerObject(computer, remote::kProgIdCommunicate);
    const auto start = Clock::now();
    const std::string error =
        Cancel(*commu, CancelStatements(doc.lines, doc.warehouse, doc.number));
    const double waited = SecondsSince(start);
    stop = true;
    holder.join();
    EXPECT_EQ(error, "");
    EXPECT_LT(waited, 3.0);
    std::printf("%s [%s]: the other operator's cancel waited %.2f s (limit 1 s)\n", c.what,
                testsupport::BackendName(GetParam()).c_str(), waited);
    // Put the document back as it was: audited, stock lowered again.
    auto db = server.storage().NewSession();
    db->Execute("UPDATE QMDWLRT1 SET YWRQ00 = ?, YWRY00 = '0002' WHERE DHAO00 = 20240021",
                {Value::Date(rtl::EncodeDate(2024, 3, 11))});
    for (const auto& [goods, quantity] : doc.lines) {
      db->Execute(
          "UPDATE XSTZXKC0 SET KCSL00 = KCSL00 - ? WHERE SPDM00 = ? AND CKDM00 IN ('0B', '01') "
          "AND KCBZ00 = 'YW'",
          {Value::Float(quantity), Value::Text(goods)});
    }
  }
  // What the busy transaction's client is told afterwards: the limit counts from the start.
  auto commu = remote::ConnectServerObject(computer, remote::kProgIdCommunicate);
  std::vector<Value> none;
  commu->Call("sustarttran", none);
  commu->Execute("dsp_qmdwlrt_tmp", {}, lock_row);
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    remote::OpenRequest r;
    r.provider = "dsp_qmdwlrt1";
    r.params = {TextParam("FLAG", "1")};
    r.packet_records = 1;
    commu->Open(r);
  }
  EXPECT_EQ(ErrorOf([&] { commu->Call("sucommit", none); }),
            server::msg::TransactionRolledBack(server::msg::TransactionTooLong(1000).AsPart())
                .ForOperator());
}

// --- 6. Control characters and non-finite numbers are refused in every text and number ------

TEST_P(HostileTest, ControlCharactersAndNonFiniteNumbersAreRefused) {
  TestAppServer server(GetParam());
  const std::string computer = server.computer_name();
  auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
  auto commu = remote::ConnectServerObject(computer, remote::kProgIdCommunicate);
  const Doc doc = OpenDoc(*systran, 20240014);
  const std::string before = Snapshot(server.storage());
  const std::string nul_goods = std::string("10010002\0junk", 13);
  std::vector<Value> none;
  struct Case {
    const char* what;
    std::function<void()> request;
    const char* refusal;
  };
  const Case cases[] = {
      {"NUL in a cancel's statement",
       [&] {
         commu->Call("sustarttran", none);
         commu->Execute("dsp_qmdwlrt_tmp", {},
                        testsupport::StatementText(
                            Stock(server::StatementKind::kStockIncrement, nul_goods, "01", 5)));
       },
       "命令文本含有控制字符 0x00"},
      {"line end in a cancel's statement",
       [&] {
         commu->Call("sustarttran", none);
         commu->Execute("dsp_qmdwlrt_tmp", {},
                        testsupport::StatementText(
                            Stock(server::StatementKind::kStockIncrement, "10010002\nx", "01", 5)));
       },
       "命令文本含有控制字符 0x0A"},
      {"NUL in a TranPara batch",
       [&] {
         std::vector<Value> args = {Value::Text(AuditBatch({{nul_goods, 5}}, "01"))};
         systran->Call("TranPara", args);
       },
       "方法 TranPara 的第 1 个参数含有控制字符 0x00"},
      {"NUL in a parameter",
       [&] {
         remote::OpenRequest r;
         r.provider = "dsp_qmdwlrt1";
         r.params = {TextParam("DHAO00", std::string("20240014\0", 9))};
         systran->Open(r);
       },
       "参数 DHAO00 含有控制字符 0x00"},
      {"infinite parameter",
       [&] {
         remote::OpenRequest r;
         r.provider = "dsp_qmdwlrt1";
         r.params = {TextParam("DHAO00", "")};
         r.params[0].value = Value::Float(INFINITY);
         systran->Open(r);
       },
       "参数 DHAO00 不是有效的数值"},
      {"document number beyond the range of numbers",
       [&] {
         remote::OpenRequest r;
         r.provider = "dsp_qmdwlrt1";
         r.params = {TextParam("DHAO00", "1e999")};
         systran->Open(r);
       },
       "dsp_qmdwlrt1：“1e999”不是单据号。（代码 S-OBJ-014）"},
      {"NUL in a stored remark",
       [&] {
         std::string e = Save(*systran, AuditBatch(doc.lines, doc.warehouse),
                              {AuditDelta(doc, {{"BEIZHU", Value::Text(std::string("a\0b", 3))}})});
         if (!e.empty()) throw ServerError(e);
       },
       "单据 20240014 的备注含有控制字符 0x00"},
      {"a control character in a ProgID",
       [&] {
         // Sent by hand: the client itself refuses a ProgID the server did not name.
         Peer p(server.port());
         if (!p.Hello("LirraMISServer.CoStoreProduct\n")) throw ServerError(p.refusal());
       },
       "服务器对象的名称含有控制字符"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THAT(ErrorOf(c.request), HasSubstr(c.refusal));
    commu->Call("surollback", none);
    EXPECT_EQ(Snapshot(server.storage()), before);
  }
  // Line breaks and tabs are a remark's own: stored and read back unchanged.
  const std::string memo = "第一行\r\n第二行\t完";
  EXPECT_EQ(Save(*systran, AuditBatch(doc.lines, doc.warehouse),
                 {AuditDelta(doc, {{"BEIZHU", Value::Text(memo)}})}),
            "");
  EXPECT_EQ(OpenDoc(*systran, 20240014).packet.rows[0].cells[7], Value::Text(memo));
}

// --- 7. Log lines cannot be forged and stay bounded ------------------------------------------

// Everything written to stderr while it lives.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    path_ = "/tmp/qmdw-hostile-log-" + std::to_string(getpid());
    saved_ = dup(2);
    FILE* f = std::fopen(path_.c_str(), "w");
    dup2(fileno(f), 2);
    std::fclose(f);
  }
  std::string Stop() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path_.c_str());
    return text.str();
  }

 private:
  std::string path_;
  int saved_ = -1;
};

TEST(HostileClients, LogLinesCannotBeForgedAndStayBounded) {
  TestAppServer server;
  const std::string computer = server.computer_name();
  appserver::SetLogLevel(appserver::LogLevel::kInfo);
  server::SetLogSink([](server::LogLevel l, std::string_view m) {
    appserver::WriteLog(static_cast<appserver::LogLevel>(static_cast<int>(l)), std::string(m));
  });
  const std::string forged =
      "\n2024-01-01 00:00:00.000 INFO    session 999 (10.9.9.9:1) instance created\n";
  StderrCapture capture;
  {
    auto commu = remote::ConnectServerObject(computer, remote::kProgIdCommunicate);
    auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
    std::vector<Value> none;
    // A forged line in a goods code, a refused statement and a ProgID.
    commu->Call("sustarttran", none);
    ErrorOf([&] {
      commu->Execute("dsp_qmdwlrt_tmp", {},
                     testsupport::StatementText(
                         Stock(server::StatementKind::kStockIncrement, "1" + forged, "01", 1)));
    });
    commu->Call("surollback", none);
    ErrorOf([&] { commu->Execute("dsp_qmdwlrt_tmp", {}, "DELETE FROM XSTZXKC0" + forged); });
    ErrorOf([&] { remote::ConnectServerObject(computer, "Forged" + forged); });
    // A client turned away again and again: its refusals are logged at most once a second.
    for (int i = 0; i < 50; ++i) {
      ErrorOf([&] { remote::ConnectServerObject(computer, "No.Such.Object"); });
    }
    // A 3 MB goods code, refused, and a 3.25 MB TranPara batch of statements that find no row.
    commu->Call("sustarttran", none);
    ErrorOf([&] {
      commu->Execute("dsp_qmdwlrt_tmp", {},
                     testsupport::StatementText(Stock(server::StatementKind::kStockIncrement,
                                                      std::string(3000000, '7'), "01", 1)));
    });
    commu->Call("surollback", none);
    std::vector<std::pair<std::string, double>> lines;
    char goods[16];
    for (int i = 0; static_cast<int>(lines.size()) * 2 * 100 < 3250000; ++i) {
      std::snprintf(goods, sizeof goods, "9%07d", i);
      lines.emplace_back(goods, 1);
    }
    std::vector<Value> args = {Value::Text(AuditBatch(lines, "01"))};
    EXPECT_GT(args[0].text().size(), 3000000u);
    systran->Call("TranPara", args);
    ErrorOf([&] { systran->ApplyUpdates("dsp_qmdwlrt1", {}, 0); });
  }
  ASSERT_TRUE(server.server().WaitForSessionCount(0, 5000));
  const std::string log = capture.Stop();
  server::SetLogSink(nullptr);
  appserver::SetLogLevel(appserver::LogLevel::kWarning);

  const std::regex line_start(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (DEBUG|INFO|WARNING|ERROR) )");
  std::istringstream in(log);
  std::string line;
  std::size_t lines_seen = 0, longest = 0;
  while (std::getline(in, line)) {
    ++lines_seen;
    longest = std::max(longest, line.size());
    EXPECT_TRUE(std::regex_search(line, line_start)) << line.substr(0, 200);
    EXPECT_EQ(line.find("session 999"), line.rfind("session 999"));
    if (line.find("session 999") != std::string::npos) {
      EXPECT_NE(line.find("\\n2024-01-01"), std::string::npos) << line.substr(0, 200);
    }
  }
  std::printf("log: %zu lines, %zu bytes in all, the longest %zu bytes\n", lines_seen, log.size(),
              longest);
  EXPECT_GT(lines_seen, 0u);
  EXPECT_LT(lines_seen, 25u);
  EXPECT_LE(longest, 2048u + 64u);
  EXPECT_LT(log.size(), 64u << 10);  // a 3 MB text alone was 3 MB of log
}

// --- 8. The ledger's rules hold whatever the client sends -----------------------------------

TEST_P(HostileTest, TheLedgersRulesHoldWhateverTheClientSends) {
  TestAppServer server(GetParam());
  const std::string computer = server.computer_name();
  auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
  auto commu = remote::ConnectServerObject(computer, remote::kProgIdCommunicate);
  const Doc doc = OpenDoc(*systran, 20240014);      // not audited, warehouse 03, 4 lines
  const Doc other = OpenDoc(*systran, 20240015);    // not audited
  const Doc audited = OpenDoc(*systran, 20240021);  // audited, warehouse 01, 3 lines
  ASSERT_GE(doc.lines.size(), 2u);
  auto with = [](std::vector<std::pair<std::string, double>> lines, int index, double quantity) {
    lines[static_cast<std::size_t>(index)].second = quantity;
    return lines;
  };
  auto without_first = [](std::vector<std::pair<std::string, double>> lines) {
    lines.erase(lines.begin());
    return lines;
  };
  const std::string batch = AuditBatch(doc.lines, doc.warehouse);
  const std::vector<std::string> cancel =
      CancelStatements(audited.lines, audited.warehouse, audited.number);
  std::vector<Value> none;

  struct Case {
    const char* what;
    std::function<std::string()> sequence;  // the error the client gets
    const char* refusal;
  };
  const Case cases[] = {
      {"a lone stock increment outside any transaction",
       [&] {
         return ErrorOf([&] {
           commu->Execute("dsp_qmdwlrt_tmp", {},
                          testsupport::StatementText(Stock(server::StatementKind::kStockIncrement,
                                                           "10010002", "01", 1000000)));
         });
       },
       "库存恢复语句只能在取消审核的事务中执行"},
      {"a lone audit reset outside any transaction",
       [&] { return ErrorOf([&] { commu->Execute("dsp_qmdwlrt_tmp", {}, cancel.back()); }); },
       "审核清除语句只能在取消审核的事务中执行"},
      {"TranPara followed by an empty apply", [&] { return Save(*systran, batch, {}); },
       "修改中没有单据"},
      {"TranPara followed by an apply that stores no audit",
       [&] {
         remote::RowDelta d = AuditDelta(doc);
         d.changed = {{"BEIZHU", Value::Text("only the remark")}};
         return Save(*systran, batch, {d});
       },
       "的修改中没有审核日期"},
      {"TranPara followed by the audits of two documents",
       [&] {
         return Save(*systran, batch, {AuditDelta(doc), AuditDelta(other)});
       },
       "修改中有 2 张单据"},
      {"a batch with a line's quantity changed",
       [&] {
         return Save(*systran,
                     AuditBatch(with(doc.lines, 0, doc.lines[0].second + 1), doc.warehouse),
                     {AuditDelta(doc)});
       },
       "单据 20240014 的保存被拒绝"},
      {"a batch without one of the lines",
       [&] {
         return Save(*systran, AuditBatch(without_first(doc.lines), doc.warehouse),
                     {AuditDelta(doc)});
       },
       "行明细需要"},
      {"a batch for another warehouse",
       [&] { return Save(*systran, AuditBatch(doc.lines, "01"), {AuditDelta(doc)}); }, "缺少商品"},
      {"another document's batch",
       [&] { return Save(*systran, AuditBatch(other.lines, other.warehouse), {AuditDelta(doc)}); },
       "单据 20240014 的保存被拒绝"},
      {"a batch that is not pairs of statements",
       [&] {
         return Save(*systran,
                     testsupport::StatementText(
                         Stock(server::StatementKind::kStockDecrement, "10010002", "0B", -1000000)),
                     {AuditDelta(doc)});
       },
       "TranPara 拒绝了这批语句"},
      {"a cancel whose increments are not the document's lines",
       [&] {
         std::vector<std::string> wrong =
             CancelStatements(with(audited.lines, 0, 1000), audited.warehouse, audited.number);
         return Cancel(*commu, wrong);
       },
       "单据 20240021 的取消审核被拒绝"},
      {"a cancel of another document's lines",
       [&] { return Cancel(*commu, CancelStatements(doc.lines, doc.warehouse, audited.number)); },
       "单据 20240021 的取消审核被拒绝"},
      {"increments committed without an audit reset",
       [&] {
         std::vector<std::string> lone(cancel.begin(), cancel.end() - 1);
         return Cancel(*commu, lone);
       },
       "不属于任何单据的取消审核"},
      {"a statement after the audit reset",
       [&] {
         std::vector<std::string> more = cancel;
         more.push_back(cancel.front());
         return Cancel(*commu, more);
       },
       "以清除审核结束"},
  };
  const std::string before = Snapshot(server.storage());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THAT(c.sequence(), HasSubstr(c.refusal));
    EXPECT_EQ(Snapshot(server.storage()), before);
  }

  {
    SCOPED_TRACE("a document whose lines changed after the editor read them");
    auto db = server.storage().NewSession();
    db->Execute("UPDATE QMDWLRT2 SET SL0000 = SL0000 + 1 WHERE DHAO00 = 20240014 AND SPDM00 = ?",
                {Value::Text(doc.lines[0].first)});
    const std::string changed = Snapshot(server.storage());
    EXPECT_THAT(Save(*systran, batch, {AuditDelta(doc)}), HasSubstr("单据可能在打开后被修改过"));
    EXPECT_EQ(Snapshot(server.storage()), changed);
    db->Execute("UPDATE QMDWLRT2 SET SL0000 = SL0000 - 1 WHERE DHAO00 = 20240014 AND SPDM00 = ?",
                {Value::Text(doc.lines[0].first)});
  }
  {
    SCOPED_TRACE("a stock row that would leave the range of numbers");
    // Document 20240013 has a line with a negative quantity, which raises the stock.
    auto db = server.storage().NewSession();
    const Doc negative = OpenDoc(*systran, 20240013);
    ASSERT_LT(negative.lines[0].second, 0);
    db->Execute("UPDATE QMDWLRT2 SET SL0000 = -1.7e308 WHERE DHAO00 = 20240013 AND SPDM00 = ?",
                {Value::Text(negative.lines[0].first)});
    db->Execute("UPDATE XSTZXKC0 SET KCSL00 = 1.7e308 WHERE SPDM00 = ? AND KCBZ00 = 'YW'",
                {Value::Text(negative.lines[0].first)});
    const Doc huge = OpenDoc(*systran, 20240013);
    const std::string big = Snapshot(server.storage());
    EXPECT_THAT(Save(*systran, AuditBatch(huge.lines, huge.warehouse), {AuditDelta(huge)}),
                HasSubstr("将不再是有效的数值"));
    EXPECT_EQ(Snapshot(server.storage()), big);
    EXPECT_TRUE(std::isfinite(StockOf(server.storage(), negative.lines[0].first, "0B")));
  }
}

// The module's own sequences pass: the audit save and the cancel of documents with lines, without
// lines, of warehouse "0B", with a negative and with a fractional quantity; after both the stock
// is back where it was.
TEST_P(HostileTest, TheModulesOwnSequencesPass) {
  TestAppServer server(GetParam());
  const std::string computer = server.computer_name();
  auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
  auto commu = remote::ConnectServerObject(computer, remote::kProgIdCommunicate);
  const std::string before = Snapshot(server.storage());
  for (double number : {20240014.0, 20240009.0, 20240007.0, 20240013.0, 20240012.0}) {
    SCOPED_TRACE(rtl::FloatToStr(number));
    const Doc doc = OpenDoc(*systran, number);
    if (number == 20240009) {
      EXPECT_TRUE(doc.lines.empty());
    }
    if (number == 20240007) {
      EXPECT_EQ(doc.warehouse, "0B");
    }
    std::vector<double> stock;
    for (const auto& [goods, quantity] : doc.lines) {
      stock.push_back(StockOf(server.storage(), goods, doc.warehouse));
    }
    EXPECT_EQ(Save(*systran, AuditBatch(doc.lines, doc.warehouse), {AuditDelta(doc)}), "");
    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
      const double times = doc.warehouse == "0B" ? 2 : 1;
      EXPECT_DOUBLE_EQ(StockOf(server.storage(), doc.lines[i].first, doc.warehouse),
                       stock[i] - times * doc.lines[i].second);
    }
    EXPECT_EQ(Cancel(*commu, CancelStatements(doc.lines, doc.warehouse, number)), "");
  }
  EXPECT_EQ(Snapshot(server.storage()), before);
}

}  // namespace
