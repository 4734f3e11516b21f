#include "remote/tcp_client.h"

#include <iterator>
#include <mutex>

#include "remote/crypto.h"
#include "remote/messages.h"
#include "remote/socket.h"
#include "remote/wire.h"

namespace remote {
namespace {

class TcpServerObject : public ServerObject {
 public:
  TcpServerObject(const ServerAddress& address, const std::string& prog_id,
                  const ClientSettings& settings)
      : where_(address.host + ":" + std::to_string(address.port)), prog_id_(prog_id) {
    socket_ = Socket::Connect(address.host, address.port, settings.connect_timeout_ms);
    Handshake(settings);
  }

  ~TcpServerObject() override = default;

  OpenResult Open(const OpenRequest& request) override {
    std::lock_guard<std::mutex> lock(mu_);
    Send(request);
    return ReceiveRows<OpenResult>();
  }

  Packet Fetch(uint32_t cursor, int32_t count) override {
    std::lock_guard<std::mutex> lock(mu_);
    Send(wire::FetchRequest{cursor, count});
    return ReceiveRows<Packet>();
  }

  void CloseCursor(uint32_t cursor) override {
    std::lock_guard<std::mutex> lock(mu_);
    Send(wire::CloseCursorRequest{cursor});
    Expect<wire::Done>(Receive());
  }

  void Execute(const std::string& provider, const std::vector<Param>& params,
               const std::string& command_text) override {
    std::lock_guard<std::mutex> lock(mu_);
    Send(wire::ExecuteRequest{provider, params, command_text});
    Expect<wire::Done>(Receive());
  }

  ApplyResult ApplyUpdates(const std::string& provider, const std::vector<RowDelta>& delta,
                           int32_t max_errors) override {
    std::lock_guard<std::mutex> lock(mu_);
    Send(wire::ApplyUpdatesRequest{provider, delta, max_errors});
    return Expect<ApplyResult>(Receive());
  }

  Value Call(const std::string& method, std::vector<Value>& args) override {
    std::lock_guard<std::mutex> lock(mu_);
    Send(wire::CallRequest{method, args});
    wire::CallResult r = Expect<wire::CallResult>(Receive());
    if (r.args.size() != args.size()) Broken(msg::ArgumentsMismatch(r.args.size(), args.size()));
    args = std::move(r.args);
    return std::move(r.result);
  }

 private:
  // `why`: how the connection broke, in both languages.
  [[noreturn]] void Broken(const msg::Text& why) {
    socket_.Close();
    broken_ = msg::ConnectionClosed(where_);
    throw msg::Error(msg::ConnectionLost(where_, prog_id_, why));
  }
  // A failure of the socket or of the protocol: the operator reads what kind of failure it was,
  // the English keeps the detail.
  [[noreturn]] void Broken(const ProtocolError& e) { Broken(msg::ProtocolFault(e.what())); }
  [[noreturn]] void Broken(const ServerError& e) { Broken(msg::NetworkFailure(e.what())); }

  void Send(const wire::ClientMessage& message) {
    if (!socket_.valid()) throw msg::Error(broken_);
    BeginFrame(frame_);
    wire::Encode(message, frame_);
    try {
      SendFrame(socket_, frame_);
    } catch (const ServerError& e) {
      Broken(e);
    }
  }

  // The reply to a request that may bring rows: RowsChunk messages first, then the reply, whose
  // rows follow the chunks' rows.
  template <typename T>
  T ReceiveRows() {
    std::vector<Row> rows;
    for (;;) {
      ReceiveFrame();
      if (wire::PeekKind(payload_) == static_cast<uint8_t>(wire::Kind::kRowsChunk)) {
        try {
          wire::AppendRowsChunk(payload_, rows);
        } catch (const ProtocolError& e) {
          Broken(e);
        }
        continue;
      }
      T result = Expect<T>(DecodeReply());
      std::vector<Row>& tail = RowsOf(result);
      if (!rows.empty()) {
        rows.insert(rows.end(), std::make_move_iterator(tail.begin()),
                    std::make_move_iterator(tail.end()));
        tail = std::move(rows);
      }
      return result;
    }
  }
  static std::vector<Row>& RowsOf(OpenResult& r) { return r.packet.rows; }
  static std::vector<Row>& RowsOf(Packet& p) { return p.rows; }

  wire::ServerMessage Receive() {
    ReceiveFrame();
    return DecodeReply();
  }

  void ReceiveFrame() {
    std::size_t announced = 0;
    FrameStatus status;
    try {
      status = ReadFrame(socket_, payload_, kMaxReplyBytes, &announced);
    } catch (const ServerError& e) {
      Broken(e);
    }
    if (status == FrameStatus::kClosed) Broken(msg::ServerClosed());
    if (status == FrameStatus::kTooLarge) Broken(msg::ReplyTooLarge(announced));
  }

  wire::ServerMessage DecodeReply() {
    try {
      return wire::DecodeServerMessage(payload_);
    } catch (const ProtocolError& e) {
      Broken(e);
    }
  }

  template <typename T>
  T Expect(wire::ServerMessage&& reply) {
    if (auto* error = std::get_if<wire::ErrorReply>(&reply)) throw ServerError(error->message);
    if (auto* value = std::get_if<T>(&reply)) return std::move(*value);
    Broken(msg::UnexpectedReply());
  }

  void Handshake(const ClientSettings& settings) {
    wire::Hello hello;
    hello.prog_id = prog_id_;
    Send(hello);
    wire::ServerMessage reply = Receive();
    if (auto* challenge = std::get_if<wire::Challenge>(&reply)) {
      if (settings.site_key_file.empty()) {
        socket_.Close();
        broken_ = msg::NotConnected();
        throw msg::Error(msg::SiteKeyMissing(where_, PathText(ClientConfigPath())));
      }
      std::string key = ReadSiteKeyFile(settings.site_key_file);
      wire::Auth auth;
      auth.mac = HmacSha256(key, wire::AuthMessage(*challenge, prog_id_));
      Send(auth);
      reply = Receive();
    }
    Expect<wire::Ready>(std::move(reply));
  }

  std::mutex mu_;
  std::string where_;
  std::string prog_id_;
  Socket socket_;
  std::string frame_;
  std::string payload_;
  msg::Message broken_ = msg::NotConnected();
};

}  // namespace

std::unique_ptr<ServerObject> ConnectServerObject(const std::string& computer_name,
                                                  const std::string& prog_id,
                                                  const ClientSettings& settings) {
  ServerAddress address = ParseComputerName(computer_name, settings.port);
  return std::make_unique<TcpServerObject>(address, prog_id, settings);
}

std::unique_ptr<ServerObject> ConnectServerObject(const std::string& computer_name,
                                                  const std::string& prog_id) {
  return ConnectServerObject(computer_name, prog_id, LoadClientSettings());
}

}  // namespace remote
