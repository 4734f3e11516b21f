#include "remote/tcp_client.h"

#include <iterator>
#include <mutex>

#include "remote/crypto.h"
#include "remote/list_cache.h"
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
    // A whole list without parameters may be one the server lets clients keep (it then gives
    // it a version): the copy kept from an earlier open is offered by its version.
    const bool keepable = request.params.empty() && !request.command_text &&
                          request.packet_records < 0 && request.cached_version.empty();
    std::string key;
    std::shared_ptr<const ListCopy> copy;
    if (keepable) {
      key = ListCacheKey(where_, prog_id_, request.provider);
      copy = ListCache::Process().Find(key);
    }
    if (copy) {
      OpenRequest offered = request;
      offered.cached_version = copy->version;
      Send(offered);
    } else {
      Send(request);
    }
    std::vector<std::string> messages;
    OpenResult result = ReceiveRows<OpenResult>(keepable ? &messages : nullptr);
    if (result.unchanged) {
      if (!copy || result.version != copy->version)
        Broken("the server confirmed a copy of " + request.provider + " that this client lacks");
      return FromCopy(*copy);
    }
    if (keepable) {
      if (!result.version.empty() && result.cursor == 0 && !result.packet.more) {
        // Kept only now that the whole reply has arrived and decoded.
        ListCache::Process().Store(key, ListCopy{result.version, std::move(messages)});
      } else if (copy) {
        ListCache::Process().Drop(key);
      }
    }
    return result;
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
    if (r.args.size() != args.size())
      Broken("the server answered with " + std::to_string(r.args.size()) + " arguments for " +
             std::to_string(args.size()));
    args = std::move(r.args);
    return std::move(r.result);
  }

 private:
  [[noreturn]] void Broken(const std::string& why) {
    socket_.Close();
    broken_ = "The connection to the application server at " + where_ + " is closed";
    throw ServerError("The connection to the application server at " + where_ + " was lost (" +
                      why + "); the server object " + prog_id_ + " is no longer available");
  }

  void Send(const wire::ClientMessage& message) {
    if (!socket_.valid()) throw ServerError(broken_);
    BeginFrame(frame_);
    wire::Encode(message, frame_);
    try {
      SendFrame(socket_, frame_);
    } catch (const ServerError& e) {
      Broken(e.what());
    }
  }

  // The reply to a request that may bring rows: RowsChunk messages first, then the reply, whose
  // rows follow the chunks' rows.
  // `messages`, when given, receives a copy of every message of the reply as it arrived.
  template <typename T>
  T ReceiveRows(std::vector<std::string>* messages = nullptr) {
    std::vector<std::vector<Row>> chunks;
    for (;;) {
      ReceiveFrame();
      if (messages) messages->push_back(payload_);
      std::string_view message;
      try {
        message = wire::Inflated(payload_, inflated_);
        if (wire::PeekKind(message) == static_cast<uint8_t>(wire::Kind::kRowsChunk)) {
          chunks.emplace_back();
          wire::AppendRowsChunk(message, chunks.back());
          continue;
        }
      } catch (const ProtocolError& e) {
        Broken(e.what());
      }
      T result = Expect<T>(DecodeReply(message));
      return Joined(std::move(chunks), std::move(result));
    }
  }
  // The rows of the chunks, followed by the reply's own rows, moved once into one vector.
  template <typename T>
  static T Joined(std::vector<std::vector<Row>> chunks, T result) {
    std::vector<Row>& tail = RowsOf(result);
    if (chunks.empty()) return result;
    std::size_t total = tail.size();
    for (const std::vector<Row>& c : chunks) total += c.size();
    std::vector<Row> rows;
    rows.reserve(total);
    for (std::vector<Row>& c : chunks) {
      rows.insert(rows.end(), std::make_move_iterator(c.begin()), std::make_move_iterator(c.end()));
      std::vector<Row>().swap(c);
    }
    rows.insert(rows.end(), std::make_move_iterator(tail.begin()),
                std::make_move_iterator(tail.end()));
    tail = std::move(rows);
    return result;
  }

  // The list as the kept copy holds it, decoded again.
  OpenResult FromCopy(const ListCopy& copy) {
    std::vector<std::vector<Row>> chunks;
    try {
      if (copy.messages.empty()) throw ProtocolError("empty copy");
      for (std::size_t i = 0; i + 1 < copy.messages.size(); ++i) {
        chunks.emplace_back();
        wire::AppendRowsChunk(copy.messages[i], chunks.back());
      }
      wire::ServerMessage last = wire::DecodeServerMessage(copy.messages.back());
      if (auto* r = std::get_if<OpenResult>(&last)) return Joined(std::move(chunks), std::move(*r));
    } catch (const ProtocolError&) {
    }
    throw ServerError("The kept copy of a list could not be read again");
  }
  static std::vector<Row>& RowsOf(OpenResult& r) { return r.packet.rows; }
  static std::vector<Row>& RowsOf(Packet& p) { return p.rows; }

  wire::ServerMessage Receive() {
    ReceiveFrame();
    return DecodeReply(payload_);
  }

  void ReceiveFrame() {
    std::size_t announced = 0;
    FrameStatus status;
    try {
      status = ReadFrame(socket_, payload_, kMaxReplyBytes, &announced);
    } catch (const ServerError& e) {
      Broken(e.what());
    }
    if (status == FrameStatus::kClosed) Broken("the server closed the connection");
    if (status == FrameStatus::kTooLarge)
      Broken("a reply of " + std::to_string(announced) + " bytes exceeds the limit");
  }

  wire::ServerMessage DecodeReply(std::string_view message) {
    try {
      return wire::DecodeServerMessage(message);
    } catch (const ProtocolError& e) {
      Broken(e.what());
    }
  }

  template <typename T>
  T Expect(wire::ServerMessage&& reply) {
    if (auto* error = std::get_if<wire::ErrorReply>(&reply)) throw ServerError(error->message);
    if (auto* value = std::get_if<T>(&reply)) return std::move(*value);
    Broken("unexpected reply");
  }

  void Handshake(const ClientSettings& settings) {
    wire::Hello hello;
    hello.prog_id = prog_id_;
    Send(hello);
    wire::ServerMessage reply = Receive();
    if (auto* challenge = std::get_if<wire::Challenge>(&reply)) {
      if (settings.site_key_file.empty()) {
        socket_.Close();
        broken_ = "Not connected";
        throw ServerError("The application server at " + where_ +
                          " requires the site key, and this computer holds none (set "
                          "QMDW_SITE_KEY_FILE or site_key_file in " +
                          PathText(ClientConfigPath()) + ")");
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
  std::string inflated_;
  std::string broken_;
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
