// The application server's network core with a fake server object: every request end to end,
// errors carrying the server's message, refusals of bad clients (the server staying up), the
// site-key proof, and instances destroyed when their connection ends.
#include "server/net/app_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "remote/connection.h"
#include "remote/crypto.h"
#include "remote/list_cache.h"
#include "remote/messages.h"
#include "remote/socket.h"
#include "remote/tcp_client.h"
#include "remote/wire.h"
#include "server/messages.h"
#include "server/net/log.h"
#include "tests/remote/fake_object.h"

extern char** environ;

namespace appserver {
namespace {

using remote::ServerError;
using remote::ServerObject;
using remote::Value;
using remote::testing::FakeObject;
using remote::testing::FakeRecord;
namespace wire = remote::wire;

constexpr const char* kFake = "Fake.Object";

// What the operator reads when the creator fails unforeseen ("Storage is offline" in the log).
std::string CreatorFailed() {
  return server::msg::Make("S-GEN-001").ForOperator();
}

ObjectCreator FakeCreator(std::shared_ptr<FakeRecord> record) {
  return [record](const std::string& prog_id) -> std::unique_ptr<ServerObject> {
    if (prog_id == "Throwing.Creator") throw ServerError("Storage is offline");
    if (prog_id != kFake && prog_id != remote::kProgIdCommunicate) return nullptr;
    return std::make_unique<FakeObject>(record, prog_id);
  };
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogLevel(LogLevel::kError);
    Start(ServerOptions{});
  }
  void Start(ServerOptions options) {
    server_.reset();
    options.port = 0;
    server_ = std::make_unique<AppServer>(options, FakeCreator(record_));
    server_->Start();
  }
  std::string Computer() const { return "127.0.0.1:" + std::to_string(server_->port()); }
  std::unique_ptr<ServerObject> Connect(const std::string& prog_id = kFake,
                                        remote::ClientSettings settings = {}) {
    return remote::ConnectServerObject(Computer(), prog_id, settings);
  }
  // The server still serves a well-behaved client.
  void ExpectServing() {
    auto object = Connect();
    std::vector<Value> args;
    EXPECT_EQ(object->Call("prog_id", args), Value::Text(kFake));
  }

  std::shared_ptr<FakeRecord> record_ = std::make_shared<FakeRecord>();
  std::unique_ptr<AppServer> server_;
};

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const ServerError& e) {
    return e.what();
  }
  return "(no error)";
}

remote::OpenRequest RowsRequest(int64_t n, int32_t packet) {
  remote::OpenRequest r;
  r.provider = "rows";
  r.params = {{"N", remote::ParamType::Integer, remote::ParamDirection::Input, Value::Integer(n)}};
  r.packet_records = packet;
  return r;
}

TEST_F(ServerTest, OpenFetchAndCloseTravelWhole) {
  auto object = Connect();
  remote::OpenResult first = object->Open(RowsRequest(5, 2));
  ASSERT_NE(first.cursor, 0u);
  EXPECT_EQ(first.packet.fields.size(), 4u);
  EXPECT_EQ(first.packet.fields[1].name, "CKMC00");
  EXPECT_EQ(first.packet.fields[1].width, 30);
  ASSERT_EQ(first.packet.rows.size(), 2u);
  EXPECT_TRUE(first.packet.more);
  EXPECT_EQ(first.packet.rows[1].cells, remote::testing::FakeRow(1).cells);

  remote::Packet next = object->Fetch(first.cursor, 2);
  ASSERT_EQ(next.rows.size(), 2u);
  EXPECT_EQ(next.rows[0].cells[1], Value::Text("仓库2"));
  EXPECT_TRUE(next.more);
  object->CloseCursor(first.cursor);
  EXPECT_EQ(ErrorOf([&] { object->Fetch(first.cursor, 1); }),
            "No open result " + std::to_string(first.cursor));

  remote::OpenResult all = object->Open(RowsRequest(3, -1));
  EXPECT_EQ(all.cursor, 0u);
  EXPECT_EQ(all.packet.rows.size(), 3u);
  EXPECT_FALSE(all.packet.more);
}

// Large results travel in chunks; the client sees one packet with every row in order.
TEST_F(ServerTest, LargeResultsArriveWholeAndInOrder) {
  auto object = Connect();
  remote::OpenResult all = object->Open(RowsRequest(10000, -1));
  EXPECT_EQ(all.cursor, 0u);
  EXPECT_FALSE(all.packet.more);
  ASSERT_EQ(all.packet.rows.size(), 10000u);
  EXPECT_EQ(all.packet.fields.size(), 4u);
  for (int64_t i = 0; i < 10000; ++i)
    ASSERT_EQ(all.packet.rows[static_cast<std::size_t>(i)].cells[0], Value::Integer(i));

  remote::OpenResult part = object->Open(RowsRequest(12000, 5000));
  ASSERT_EQ(part.packet.rows.size(), 5000u);
  EXPECT_TRUE(part.packet.more);
  ASSERT_NE(part.cursor, 0u);
  remote::Packet next = object->Fetch(part.cursor, 4097);
  ASSERT_EQ(next.rows.size(), 4097u);
  EXPECT_EQ(next.rows.front().cells[0], Value::Integer(5000));
  EXPECT_TRUE(next.more);
  remote::Packet rest = object->Fetch(part.cursor, -1);
  ASSERT_EQ(rest.rows.size(), 12000u - 9097u);
  EXPECT_EQ(rest.rows.back().cells[0], Value::Integer(11999));
  EXPECT_FALSE(rest.more);

  remote::OpenResult exact = object->Open(RowsRequest(4096, -1));
  EXPECT_EQ(exact.packet.rows.size(), 4096u);
  EXPECT_EQ(exact.cursor, 0u);
}

remote::OpenRequest KeptRequest() {
  remote::OpenRequest r;
  r.provider = "kept";
  return r;
}

int64_t FirstNumber(const remote::OpenResult& r) {
  return r.packet.rows.empty() ? -1 : r.packet.rows.front().cells[0].integer();
}

// A list the server versions: kept by the client after its first open; reopened unchanged it
// comes from the copy (the server reads nothing), changed it comes anew.
TEST_F(ServerTest, AKeptListReopenedUnchangedComesFromTheCopy) {
  remote::ListCache::Process().Clear();
  auto object = Connect();
  remote::OpenResult first = object->Open(KeptRequest());
  ASSERT_EQ(first.packet.rows.size(), 5000u);
  EXPECT_EQ(FirstNumber(first), 1000000);
  EXPECT_EQ(record_->kept_reads.load(), 1);
  EXPECT_EQ(remote::ListCache::Process().size(), 1u);

  // Another instance of the same object (as in a later showdll call) uses the copy too.
  auto later = Connect();
  for (ServerObject* o : {object.get(), later.get()}) {
    remote::OpenResult again = o->Open(KeptRequest());
    EXPECT_FALSE(again.unchanged);
    EXPECT_EQ(again.version, "v1");
    ASSERT_EQ(again.packet.rows.size(), 5000u);
    EXPECT_EQ(again.packet.fields.size(), 4u);
    EXPECT_EQ(again.packet.rows.back().cells, first.packet.rows.back().cells);
  }
  EXPECT_EQ(record_->kept_reads.load(), 1);

  record_->kept_version = 2;
  record_->kept_rows = 3000;
  remote::OpenResult changed = object->Open(KeptRequest());
  ASSERT_EQ(changed.packet.rows.size(), 3000u);
  EXPECT_EQ(FirstNumber(changed), 2000000);
  EXPECT_EQ(record_->kept_reads.load(), 2);
  EXPECT_EQ(FirstNumber(object->Open(KeptRequest())), 2000000);
  EXPECT_EQ(record_->kept_reads.load(), 2);

  // Lists opened with parameters are never kept.
  object->Open(RowsRequest(3000, -1));
  EXPECT_EQ(remote::ListCache::Process().size(), 1u);
}

// A connection lost in the middle of a list's reply leaves the copy as it was before: never a
// part of the new reply that a later open could take as current.
TEST_F(ServerTest, AReplyCutShortLeavesNoCopyBehind) {
  remote::ListCache::Process().Clear();
  auto object = Connect();
  object->Open(KeptRequest());  // v1 kept
  const std::string key = remote::ListCacheKey(Computer(), kFake, "kept");
  ASSERT_NE(remote::ListCache::Process().Find(key), nullptr);

  record_->kept_version = 2;
  record_->kept_rows = 20000;  // several chunks
  record_->kept_fetch_ms = 300;
  std::string error;
  std::thread reader([&] { error = ErrorOf([&] { object->Open(KeptRequest()); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  server_->Stop();  // mid-reply
  reader.join();
  EXPECT_NE(error.find("（代码 C-NET-005）"), std::string::npos) << error;
  auto copy = remote::ListCache::Process().Find(key);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->version, "v1");

  // Nothing kept at all when the first reply is cut short.
  remote::ListCache::Process().Clear();
  record_->kept_fetch_ms = 300;
  Start(ServerOptions{});
  auto fresh = Connect();
  std::thread cut([&] { ErrorOf([&] { fresh->Open(KeptRequest()); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  server_->Stop();
  cut.join();
  EXPECT_EQ(remote::ListCache::Process().size(), 0u);
}

TEST_F(ServerTest, ExecuteApplyAndCallWithArgumentsByReference) {
  auto object = Connect();
  object->Execute("dsp_qmdwlrt_tmp", {}, "update A");
  object->Execute("dsp_qmdwlrt_tmp", {}, "update B");
  {
    std::lock_guard<std::mutex> lock(record_->mu);
    EXPECT_EQ(record_->executed, (std::vector<std::string>{"update A", "update B"}));
  }

  remote::RowDelta modify, remove;
  modify.changed = {{"YWRY00", Value::Text("0001")}};
  remove.kind = remote::ChangeKind::Delete;
  remove.original = {{"DHAO00", Value::Integer(4)}};
  remote::ApplyResult applied = object->ApplyUpdates("dsp_qmdwlrt1", {modify, remove}, -1);
  EXPECT_EQ(applied.error_count, 1);
  EXPECT_EQ(applied.errors, std::vector<std::string>{"cannot delete DHAO00"});

  std::vector<Value> args = {Value::Text("s1!s2"), Value::Integer(7)};
  Value result = object->Call("TranPara", args);
  EXPECT_EQ(result, Value::Integer(2));
  EXPECT_EQ(args[0], Value::Text("done:s1!s2"));
  EXPECT_EQ(args[1], Value::Integer(7));
}

TEST_F(ServerTest, EveryFailureArrivesWithTheServersMessageAndTheSessionGoesOn) {
  auto object = Connect();
  struct Case {
    const char* name;
    std::function<void()> call;
    std::string message;
  };
  std::vector<Value> none;
  remote::RowDelta remove;
  remove.kind = remote::ChangeKind::Delete;
  remove.original = {{"DHAO00", Value::Integer(4)}};
  const Case cases[] = {
      {"open",
       [&] {
         remote::OpenRequest r;
         r.provider = "fail";
         object->Open(r);
       },
       "提供者 fail 拒绝打开"},
      {"fetch", [&] { object->Fetch(99, 1); }, "No open result 99"},
      {"execute", [&] { object->Execute("p", {}, "drop table X"); },
       "Refused statement: drop table X"},
      {"apply", [&] { object->ApplyUpdates("p", {remove}, 0); },
       "Apply rolled back: cannot delete DHAO00"},
      {"call, not a ServerError", [&] { object->Call("boom", none); }, "disk full"},
      {"unknown method", [&] { object->Call("nothing", none); }, "Unknown method nothing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ErrorOf(c.call), c.message);
    std::vector<Value> args;
    EXPECT_EQ(object->Call("prog_id", args), Value::Text(kFake));  // still connected
  }
}

TEST_F(ServerTest, DefaultFactoryReachesTheServerThroughThePortSetting) {
  remote::SetObjectFactory({});
  setenv("QMDW_SERVER_PORT", std::to_string(server_->port()).c_str(), 1);
  remote::Connection connection(remote::kProgIdCommunicate);
  connection.SetComputerName("");
  connection.SetConnected(true);
  std::vector<Value> args;
  EXPECT_EQ(connection.Object().Call("prog_id", args), Value::Text(remote::kProgIdCommunicate));
  connection.SetConnected(false);
  EXPECT_TRUE(server_->WaitForSessionCount(0, 5000));
  EXPECT_EQ(record_->destroyed.load(), 1);
  unsetenv("QMDW_SERVER_PORT");
}

TEST_F(ServerTest, RefusedHandshakesSayWhy) {
  EXPECT_EQ(ErrorOf([&] { Connect("No.Such.Object"); }),
            server::msg::UnknownProgId("No.Such.Object").ForOperator());
  // An unforeseen failure of the creator: the general message (its English is in the log).
  EXPECT_EQ(ErrorOf([&] { Connect("Throwing.Creator"); }), CreatorFailed());
  EXPECT_EQ(ErrorOf([&] {
              remote::ConnectServerObject("127.0.0.1:1", kFake);
            }).rfind("无法连接应用服务器 127.0.0.1:1（", 0),
            0u);
  EXPECT_EQ(record_->created.load(), 0);
  ExpectServing();
}

// A client that speaks the protocol by hand.
class RawClient {
 public:
  explicit RawClient(uint16_t port) : socket_(remote::Socket::Connect("127.0.0.1", port, 5000)) {}
  void SendBytes(const std::string& payload) {
    std::string frame;
    remote::BeginFrame(frame);
    frame += payload;
    remote::SendFrame(socket_, frame);
  }
  void Send(const wire::ClientMessage& m) {
    std::string payload;
    wire::Encode(m, payload);
    SendBytes(payload);
  }
  // A message on a channel (after the greeting).
  void Send(uint32_t channel, const wire::ClientMessage& m) {
    std::string payload;
    wire::PutChannel(channel, payload);
    wire::Encode(m, payload);
    SendBytes(payload);
  }
  void SendRaw(const std::string& bytes) { socket_.SendAll(bytes.data(), bytes.size()); }
  remote::Socket& socket() { return socket_; }
  // The next message before or without a channel; an ErrorReply with "(closed)" when the server
  // closed the connection.
  wire::ServerMessage Receive() {
    std::string payload;
    if (remote::ReadFrame(socket_, payload, 1 << 20) != remote::FrameStatus::kOk)
      return wire::ErrorReply{"(closed)"};
    return wire::DecodeServerMessage(payload);
  }
  // The next message after the greeting, with its channel.
  wire::ServerMessage Receive(uint32_t& channel) {
    std::string payload;
    if (remote::ReadFrame(socket_, payload, 1 << 20) != remote::FrameStatus::kOk) {
      channel = 0;
      return wire::ErrorReply{"(closed)"};
    }
    std::string_view bytes = payload;
    channel = wire::TakeChannel(bytes);
    return wire::DecodeServerMessage(bytes);
  }
  std::string ReceiveError() {
    wire::ServerMessage m = Receive();
    auto* e = std::get_if<wire::ErrorReply>(&m);
    return e ? e->message : "(no error)";
  }
  // An error on `channel` (after the greeting).
  std::string ReceiveError(uint32_t want) {
    uint32_t channel = 0;
    wire::ServerMessage m = Receive(channel);
    auto* e = std::get_if<wire::ErrorReply>(&m);
    if (!e) return "(no error)";
    if (channel != want) return "(on channel " + std::to_string(channel) + ") " + e->message;
    return e->message;
  }
  // Hello, then the Welcome.
  wire::Welcome Greet() {
    Send(wire::Hello{wire::kProtocolVersion, "raw"});
    wire::ServerMessage m = Receive();
    if (auto* w = std::get_if<wire::Welcome>(&m)) return *w;
    ADD_FAILURE() << "no welcome";
    return {};
  }
  // Greets and makes an instance of `prog_id` on channel 1.
  bool Ready(const std::string& prog_id = kFake) {
    Greet();
    Send(1, wire::CreateRequest{prog_id});
    uint32_t channel = 0;
    return std::holds_alternative<wire::Ready>(Receive(channel)) && channel == 1;
  }
  bool Closed() {
    try {
      std::string payload;
      return remote::ReadFrame(socket_, payload, 1 << 20) != remote::FrameStatus::kOk;
    } catch (const remote::ConnectionLost&) {
      return true;
    }
  }

 private:
  remote::Socket socket_;
};

std::string HelloBytes(uint16_t version, const std::string& client) {
  std::string b;
  wire::Encode(wire::ClientMessage(wire::Hello{version, client}), b);
  return b;
}

TEST_F(ServerTest, BadGreetingsAreRefusedAndTheServerStaysUp) {
  struct Case {
    const char* name;
    std::string payload;
    std::string message;
  };
  std::string fetch;
  wire::Encode(wire::ClientMessage(wire::FetchRequest{1, 1}), fetch);
  const Case cases[] = {
      {"wrong version", HelloBytes(99, kFake),
       server::msg::ProtocolVersionMismatch(wire::kProtocolVersion, 99).ForOperator()},
      {"a client of the first version", HelloBytes(1, kFake),
       server::msg::ProtocolVersionMismatch(wire::kProtocolVersion, 1).ForOperator()},
      {"request before hello", fetch, server::msg::FirstMessageNotHello().ForOperator()},
      {"not this protocol", "GET / HTTP/1.1\r\n", server::msg::GreetingMalformed("").ForOperator()},
      {"bad magic", std::string("\x01XXXX\x01\x00", 7),
       server::msg::GreetingMalformed("").ForOperator()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient raw(server_->port());
    raw.SendBytes(c.payload);
    EXPECT_EQ(raw.ReceiveError(), c.message);
    EXPECT_TRUE(raw.Closed());
  }
  {
    SCOPED_TRACE("greeting frame too large");
    RawClient raw(server_->port());
    raw.SendRaw(std::string("\x00\x00\x10\x00", 4));
    EXPECT_EQ(raw.ReceiveError(), server::msg::GreetingTooLarge(1048576).ForOperator());
  }
  {
    SCOPED_TRACE("unknown ProgID: refused on its channel, the connection goes on");
    RawClient raw(server_->port());
    raw.Greet();
    raw.Send(1, wire::CreateRequest{"Evil.Object"});
    EXPECT_EQ(raw.ReceiveError(1), server::msg::UnknownProgId("Evil.Object").ForOperator());
    raw.Send(1, wire::CallRequest{"prog_id", {}});  // every call on it gets the reason
    EXPECT_EQ(raw.ReceiveError(1), server::msg::UnknownProgId("Evil.Object").ForOperator());
    raw.Send(2, wire::CreateRequest{kFake});
    uint32_t channel = 0;
    EXPECT_TRUE(std::holds_alternative<wire::Ready>(raw.Receive(channel)));
    raw.Send(2, wire::CreateRequest{kFake});
    EXPECT_EQ(raw.ReceiveError(2), server::msg::ChannelInUse(2).ForOperator());
    raw.Send(7, wire::CallRequest{"prog_id", {}});
    EXPECT_EQ(raw.ReceiveError(7), server::msg::NoObjectOnChannel(7).ForOperator());
  }
  ExpectServing();
  EXPECT_TRUE(server_->WaitForSessionCount(0, 5000));
}

TEST_F(ServerTest, MalformedRequestGetsAnErrorAndTheSessionGoesOn) {
  RawClient raw(server_->port());
  ASSERT_TRUE(raw.Ready());
  raw.SendBytes(
      std::string("\x01\x15\x05"
                  "ab",
                  5));
  EXPECT_EQ(raw.ReceiveError(1), server::msg::RequestMalformed("").ForOperator());
  raw.Send(1, wire::Hello{wire::kProtocolVersion, kFake});
  EXPECT_EQ(raw.ReceiveError(1), server::msg::AlreadyConnected().ForOperator());
  raw.Send(1, wire::CallRequest{"prog_id", {}});
  uint32_t channel = 0;
  wire::ServerMessage reply = raw.Receive(channel);
  ASSERT_TRUE(std::holds_alternative<wire::CallResult>(reply));
  EXPECT_EQ(std::get<wire::CallResult>(reply).result, Value::Text(kFake));
  EXPECT_EQ(channel, 1u);
}

TEST_F(ServerTest, OversizedRequestIsRefusedBeforeReadingAndTheConnectionClosed) {
  ServerOptions options;
  options.max_request_bytes = 1000;
  Start(options);
  RawClient raw(server_->port());
  ASSERT_TRUE(raw.Ready());
  raw.SendRaw(std::string("\xFF\xFF\xFF\xFF", 4));  // announces 4 GiB, sends nothing
  EXPECT_EQ(raw.ReceiveError(0), server::msg::RequestTooLarge(4294967295u, 1000).ForOperator());
  EXPECT_TRUE(raw.Closed());
  EXPECT_TRUE(server_->WaitForSessionCount(0, 5000));
  EXPECT_EQ(record_->destroyed.load(), 1);
  ExpectServing();
}

TEST_F(ServerTest, OversizedRequestFromTheClientArrivesAsTheServersMessage) {
  ServerOptions options;
  options.max_request_bytes = 1000;
  Start(options);
  auto object = Connect();
  std::vector<Value> args = {Value::Text(std::string(200000, 'x'))};
  std::string error = ErrorOf([&] { object->Call("TranPara", args); });
  EXPECT_EQ(error.rfind("请求有 ", 0), 0u) << error;
  EXPECT_NE(error.find("超过了应用服务器的上限（1000 个字节）"), std::string::npos) << error;
  EXPECT_TRUE(server_->WaitForSessionCount(0, 5000));
  ExpectServing();
}

TEST_F(ServerTest, ConnectionEndingInsideAFrameEndsTheSession) {
  {
    RawClient raw(server_->port());
    ASSERT_TRUE(raw.Ready());
    raw.SendRaw(
        std::string("\x10\x00\x00\x00"
                    "abc",
                    7));
  }
  EXPECT_TRUE(server_->WaitForSessionCount(0, 5000));
  EXPECT_EQ(record_->destroyed.load(), 1);
  ExpectServing();
}

TEST_F(ServerTest, ClientThatStopsReadingIsDisconnected) {
  ServerOptions options;
  options.send_timeout_ms = 300;
  Start(options);
  RawClient raw(server_->port());
  int small = 4096;
  setsockopt(raw.socket().native(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(raw.Ready());
  // A reply far larger than the socket buffers, even compressed; never read.
  remote::OpenRequest noise = RowsRequest(100000, -1);
  noise.provider = "noise";
  raw.Send(1, noise);
  EXPECT_TRUE(server_->WaitForSessionCount(0, 20000));
  EXPECT_EQ(record_->destroyed.load(), 1);
  ExpectServing();
}

TEST_F(ServerTest, SilentClientIsDroppedAfterTheHandshakeTimeout) {
  ServerOptions options;
  options.handshake_timeout_ms = 200;
  Start(options);
  RawClient raw(server_->port());
  EXPECT_TRUE(server_->WaitForSessionCount(1, 5000));
  EXPECT_TRUE(server_->WaitForSessionCount(0, 5000));
  EXPECT_TRUE(raw.Closed());
}

class SiteKeyTest : public ServerTest {
 protected:
  void SetUp() override {
    SetLogLevel(LogLevel::kError);
    dir_ = std::filesystem::temp_directory_path() / ("qmdw-key-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "site.key") << "correct horse battery staple\n";
    std::ofstream(dir_ / "other.key") << "incorrect horse battery staple\n";
    ServerOptions options;
    options.site_key = "correct horse battery staple";
    Start(options);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  remote::ClientSettings WithKey(const char* file) {
    remote::ClientSettings s;
    if (file) s.site_key_file = dir_ / file;
    return s;
  }
  std::filesystem::path dir_;
};

TEST_F(SiteKeyTest, ClientHoldingTheKeyIsServed) {
  auto object = Connect(kFake, WithKey("site.key"));
  std::vector<Value> args;
  EXPECT_EQ(object->Call("prog_id", args), Value::Text(kFake));
}

TEST_F(SiteKeyTest, ClientsWithoutTheKeyAreRefused) {
  EXPECT_EQ(ErrorOf([&] { Connect(kFake, WithKey("other.key")); }),
            server::msg::SiteKeyWrong().ForOperator());
  EXPECT_NE(ErrorOf([&] { Connect(kFake, WithKey(nullptr)); }).find("（代码 C-SET-005）"),
            std::string::npos);
  {
    RawClient raw(server_->port());
    ASSERT_TRUE(raw.Greet().challenge);
    raw.Send(1, wire::CreateRequest{kFake});
    EXPECT_EQ(raw.ReceiveError(0), server::msg::SiteKeyNotProven().ForOperator());
    EXPECT_TRUE(raw.Closed());
  }
  {
    // A proof computed for another challenge (a replay) does not open a new session.
    RawClient raw(server_->port());
    ASSERT_TRUE(raw.Greet().challenge);
    wire::Auth replay;
    replay.mac = remote::HmacSha256("correct horse battery staple",
                                    wire::AuthMessage(std::array<uint8_t, wire::kNonceSize>{}));
    raw.Send(0, replay);
    EXPECT_EQ(raw.ReceiveError(0), server::msg::SiteKeyWrong().ForOperator());
  }
  EXPECT_EQ(record_->created.load(), 0);
  auto object = Connect(kFake, WithKey("site.key"));
  EXPECT_EQ(record_->created.load(), 1);
}

// A server of another protocol version, by hand: it answers the greeting with `reply` (a frame's
// payload) and closes.
class OtherVersionServer {
 public:
  explicit OtherVersionServer(std::string reply) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, reply = std::move(reply)] {
      remote::Socket s(::accept(fd_, nullptr, nullptr));
      std::string hello;
      if (remote::ReadFrame(s, hello, 1 << 16) != remote::FrameStatus::kOk) return;
      std::string frame;
      remote::BeginFrame(frame);
      frame += reply;
      remote::SendFrame(s, frame);
      s.ShutdownSend();
      std::string rest;
      while (remote::ReadFrame(s, rest, 1 << 16) == remote::FrameStatus::kOk) {
      }
    });
  }
  ~OtherVersionServer() {
    thread_.join();
    ::close(fd_);
  }
  std::string computer() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// A client and a server of different protocol versions refuse each other, each saying which
// versions they speak: the server refuses a client's greeting of another version (above); the
// client refuses a server's welcome of another version, however the rest of it is laid out, and
// passes on the refusal of a server that turned its greeting away.
TEST(ProtocolVersionTest, AClientRefusesAServerOfAnotherVersion) {
  {
    std::string welcome;
    welcome.push_back(static_cast<char>(wire::Kind::kWelcome));
    welcome += std::string("QMDW", 4);
    welcome.push_back(3);                   // version 3
    welcome += std::string("\xff\xff", 2);  // laid out otherwise from here
    OtherVersionServer other(welcome);
    EXPECT_EQ(ErrorOf([&] { remote::ConnectServerObject(other.computer(), kFake); }),
              remote::msg::ServerProtocolVersion(other.computer(), 3, wire::kProtocolVersion)
                  .ForOperator());
  }
  {
    const std::string refusal =
        "This application server speaks protocol version 1; the client speaks version " +
        std::to_string(wire::kProtocolVersion);
    std::string error;
    wire::Encode(wire::ServerMessage(wire::ErrorReply{refusal}), error);
    OtherVersionServer other(error);
    EXPECT_EQ(ErrorOf([&] { remote::ConnectServerObject(other.computer(), kFake); }), refusal);
  }
}

TEST(ServerStartTest, ListeningBeyondLoopbackRequiresASiteKey) {
  SetLogLevel(LogLevel::kError);
  ServerOptions options;
  options.port = 0;
  options.listen_address = "0.0.0.0";
  AppServer server(options, [](const std::string&) { return nullptr; });
  try {
    server.Start();
    ADD_FAILURE();
  } catch (const StartError& e) {
    EXPECT_NE(std::string(e.what()).find("requires a site key"), std::string::npos);
  }
  struct Case {
    const char* address;
    bool loopback;
  };
  for (Case c : {Case{"127.0.0.1", true}, Case{"127.5.6.7", true}, Case{"::1", true},
                 Case{"localhost", true}, Case{"0.0.0.0", false}, Case{"::", false},
                 Case{"192.0.2.1", false}}) {
    EXPECT_EQ(IsLoopbackAddress(c.address), c.loopback) << c.address;
  }
}

// The objects a thread connects to one server share its one connection, each its own instance
// on a channel of its own; releasing one destroys its instance at once, the last one closes the
// connection. Another thread connects on its own.
TEST_F(ServerTest, OneConnectionCarriesTheObjectsOfAThread) {
  auto a = Connect();
  auto b = Connect();
  auto c = Connect(remote::kProgIdCommunicate);
  std::vector<Value> args;
  EXPECT_EQ(c->Call("prog_id", args), Value::Text(remote::kProgIdCommunicate));
  EXPECT_EQ(a->Call("prog_id", args), Value::Text(kFake));
  EXPECT_EQ(server_->SessionCount(), 1u);
  EXPECT_EQ(server_->ObjectCount(), 3u);
  a->Execute("p", {}, "on a");
  b->Execute("p", {}, "on b");
  a.reset();
  EXPECT_TRUE(server_->WaitForObjectCount(2, 5000));
  EXPECT_EQ(record_->destroyed.load(), 1);
  EXPECT_EQ(b->Call("prog_id", args), Value::Text(kFake));
  std::unique_ptr<ServerObject> other;
  std::thread([&] { other = Connect(); }).join();
  EXPECT_EQ(server_->SessionCount(), 2u);
  EXPECT_EQ(other->Call("prog_id", args), Value::Text(kFake));  // usable from here too
  other.reset();
  b.reset();
  c.reset();
  EXPECT_TRUE(server_->WaitForSessionCount(0, 5000));
  EXPECT_EQ(record_->destroyed.load(), 4);
}

// The first object of a connection is made before Connect returns, so a refusal (a ProgID the
// server does not know, the storage down, a wrong key) reaches the caller there; later ones
// travel with the next request and a refusal reaches their first call, unless the server named
// the ProgIDs it hosts, which lets the client refuse an unknown one at once.
TEST_F(ServerTest, LaterObjectsOfAConnectionCostNoExchangeOfTheirOwn) {
  auto a = Connect();
  auto refused = Connect("Throwing.Creator");
  std::vector<Value> args;
  EXPECT_EQ(ErrorOf([&] { refused->Call("prog_id", args); }), CreatorFailed());
  EXPECT_EQ(ErrorOf([&] { refused->Open(RowsRequest(3, -1)); }), CreatorFailed());
  EXPECT_EQ(a->Call("prog_id", args), Value::Text(kFake));  // the others go on
  refused.reset();
  a.reset();

  ServerOptions options;
  options.prog_ids = {kFake, remote::kProgIdCommunicate};
  Start(options);
  auto first = Connect();
  EXPECT_EQ(ErrorOf([&] { Connect("No.Such.Object"); }),
            remote::msg::NoSuchObjectOnServer(Computer(), "No.Such.Object").ForOperator());
  auto second = Connect(remote::kProgIdCommunicate);
  EXPECT_EQ(second->Call("prog_id", args), Value::Text(remote::kProgIdCommunicate));
}

TEST_F(ServerTest, StopEndsEverySessionAndTheClientLearnsTheConnectionIsGone) {
  auto a = Connect();
  auto b = Connect(remote::kProgIdCommunicate);
  std::vector<Value> args;
  b->Call("prog_id", args);
  EXPECT_TRUE(server_->WaitForObjectCount(2, 5000));
  server_->Stop();
  EXPECT_EQ(server_->SessionCount(), 0u);
  EXPECT_EQ(record_->destroyed.load(), 2);
  std::string lost = ErrorOf([&] { a->Call("prog_id", args); });
  EXPECT_EQ(lost.rfind("与应用服务器 " + Computer() + " 的连接已断开（", 0), 0u) << lost;
  EXPECT_NE(lost.find("服务器对象 Fake.Object 已不可用"), std::string::npos) << lost;
  EXPECT_NE(lost.find("（代码 C-NET-005）"), std::string::npos) << lost;
  const std::string closed =
      "与应用服务器 " + Computer() +
      " 的连接已经断开。请关闭本窗口，检查网络后重新打开。（代码 C-NET-006）";
  EXPECT_EQ(ErrorOf([&] { a->Call("prog_id", args); }), closed);
  EXPECT_EQ(ErrorOf([&] { b->Call("prog_id", args); }), closed);
}

// A connection the server closed for idleness is not used for a new instance; the instances
// still on it report the server's reason at their next call, as each did on its own connection.
TEST_F(ServerTest, AConnectionClosedByTheServerGivesItsReasonToItsInstances) {
  ServerOptions options;
  options.idle_timeout_ms = 300;
  Start(options);
  auto a = Connect();
  EXPECT_TRUE(server_->WaitForSessionCount(0, 5000));
  auto b = Connect();  // on a connection of its own
  std::vector<Value> args;
  EXPECT_EQ(b->Call("prog_id", args), Value::Text(kFake));
  EXPECT_EQ(ErrorOf([&] { a->Call("prog_id", args); }),
            server::msg::SessionIdle(300).ForOperator());
  EXPECT_EQ(b->Call("prog_id", args), Value::Text(kFake));
}

TEST_F(ServerTest, KilledClientsInstanceIsDestroyed) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string program = KILL_CLIENT_PATH;
  std::string computer = Computer();
  std::string prog_id = remote::kProgIdCommunicate;
  char* argv[] = {program.data(), computer.data(), prog_id.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  char buf[6] = {};
  ASSERT_EQ(read(out[0], buf, 5), 5);
  close(out[0]);
  EXPECT_STREQ(buf, "ready");
  EXPECT_EQ(record_->created.load(), 1);
  EXPECT_EQ(record_->destroyed.load(), 0);

  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(server_->WaitForSessionCount(0, 5000));
  EXPECT_EQ(record_->destroyed.load(), 1);
  ExpectServing();
}

TEST_F(ServerTest, StopWaitsForACallUnderWay) {
  auto object = Connect();
  std::thread caller([&] {
    std::vector<Value> args;
    try {
      object->Call("slow", args);
    } catch (const ServerError&) {
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  server_->Stop();
  EXPECT_EQ(record_->destroyed.load(), 1);
  caller.join();
}

TEST_F(ServerTest, ManyClientsAtOnce) {
  constexpr int kClients = 8;
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      auto object = Connect();
      for (int i = 0; i < 30; ++i) {
        remote::OpenResult r = object->Open(RowsRequest(t * 10 + i, -1));
        if (r.packet.rows.size() == static_cast<std::size_t>(t * 10 + i)) ++good;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), kClients * 30);
  EXPECT_TRUE(server_->WaitForSessionCount(0, 5000));
  EXPECT_EQ(record_->destroyed.load(), kClients);
}

// Settings that give the client a connection of its own (a site key file that the server, which
// holds no key, never asks for).
remote::ClientSettings OwnConnection(const std::string& name) {
  remote::ClientSettings settings;
  settings.site_key_file = name;
  return settings;
}

TEST_F(ServerTest, ClientsBeyondTheLimitAreTurnedAway) {
  ServerOptions options;
  options.max_clients = 2;
  options.max_objects = 3;
  Start(options);
  auto a = Connect(kFake, OwnConnection("a"));
  auto b = Connect(kFake, OwnConnection("b"));
  EXPECT_EQ(ErrorOf([&] { Connect(kFake, OwnConnection("c")); }),
            server::msg::TooManyClients(2).ForOperator());
  a.reset();
  EXPECT_TRUE(server_->WaitForSessionCount(1, 5000));
  auto c = Connect(kFake, OwnConnection("c"));
  // Objects beyond the server's limit, on a connection it serves: refused on their channel.
  auto d = Connect(kFake, OwnConnection("c"));
  std::vector<Value> args;
  EXPECT_EQ(d->Call("prog_id", args), Value::Text(kFake));
  auto e = Connect(kFake, OwnConnection("c"));
  EXPECT_EQ(ErrorOf([&] { e->Call("prog_id", args); }),
            server::msg::TooManyObjects(3).ForOperator());
  EXPECT_EQ(d->Call("prog_id", args), Value::Text(kFake));
}

}  // namespace
}  // namespace appserver
