#include "remote/tcp_client.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>

#include "remote/crypto.h"
#include "remote/list_cache.h"
#include "remote/messages.h"
#include "remote/socket.h"
#include "remote/wire.h"

namespace remote {
namespace {

// A reply the session waits for, in the order of the requests.
struct Expected {
  enum class Kind { kCreate, kRows, kOne };
  uint32_t channel = 0;
  Kind kind = Kind::kOne;
  bool complete = false;
  std::vector<std::string> messages;  // the reply's messages as they arrived, channel removed
  // An open: the request sent, whether the client may keep its list, the copy whose version it
  // offered; announced ahead (not asked for yet), and given up (its answer is dropped).
  OpenRequest request;
  bool keepable = false;
  std::shared_ptr<const ListCopy> copy;
  bool announced = false;
  bool stale = false;
};

bool SameValue(const Value& a, const Value& b) {
  return a == b && a.storage().index() == b.storage().index();
}

bool SameRequest(const OpenRequest& a, const OpenRequest& b) {
  if (a.provider != b.provider || a.command_text != b.command_text ||
      a.packet_records != b.packet_records || a.params.size() != b.params.size())
    return false;
  for (std::size_t i = 0; i < a.params.size(); ++i) {
    const Param& p = a.params[i];
    const Param& q = b.params[i];
    if (p.name != q.name || p.type != q.type || p.direction != q.direction ||
        !SameValue(p.value, q.value))
      return false;
  }
  return true;
}

// One TCP connection to one application server, carrying the instances of every object this
// thread connects there (usually all of a module's): each on a channel of its own. Calls block
// until their reply has arrived; requests that need no reply (making an instance after the
// first, closing a result, announced opens) travel with the next request that does.
class Session {
 public:
  Session(const ServerAddress& address, const ClientSettings& settings)
      : where_(address.host + ":" + std::to_string(address.port)), settings_(settings) {
    socket_ = Socket::Connect(address.host, address.port, settings.connect_timeout_ms);
    Greet();
  }
  ~Session() = default;  // closing the connection ends whatever instances remain on it

  const std::string& where() const { return where_; }

  // Still usable for a new instance: not broken, and the server has not closed it meanwhile (a
  // connection idle for long is closed by the server, which says so first).
  bool Usable() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!socket_.valid()) return false;
    if (expected_.empty() &&
        socket_.WaitReadable(std::chrono::steady_clock::now() + std::chrono::milliseconds(0))) {
      // Nothing is asked, so this is the server's last word (why it closed) or the end: the
      // instances still on the connection report that word at their next call.
      std::string why = ClosedText();
      try {
        std::string payload;
        if (ReadFrame(socket_, payload, std::size_t{1} << 20) == FrameStatus::kOk) {
          std::string_view message = payload;
          if (wire::TakeChannel(message) == 0) {
            wire::ServerMessage reply = wire::DecodeServerMessage(message);
            if (auto* error = std::get_if<wire::ErrorReply>(&reply)) why = error->message;
          }
        }
      } catch (const ServerError&) {
      }
      socket_.Close();
      broken_ = why;
      return false;
    }
    return true;
  }

  // Makes an instance of `prog_id` on a new channel. The first on the connection waits for the
  // server's answer (so that a refusal reaches the caller here); later ones are sent with the
  // next request, a refusal reaching the first call on the channel.
  uint32_t Create(const std::string& prog_id) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!socket_.valid()) throw ServerError(broken_);
    if (!prog_ids_.empty() &&
        std::find(prog_ids_.begin(), prog_ids_.end(), prog_id) == prog_ids_.end()) {
      throw msg::Error(msg::NoSuchObjectOnServer(where_, prog_id));
    }
    const uint32_t channel = next_channel_++;
    Queue(channel, wire::CreateRequest{prog_id});
    auto e = ExpectReply(channel, Expected::Kind::kCreate);
    if (!first_created_) {
      Await(*e, prog_id);  // a refusal throws here
      first_created_ = true;
    }
    return channel;
  }

  // Ends the instance: sent at once (without waiting), so that the server releases what it held.
  void Release(uint32_t channel) {
    std::lock_guard<std::mutex> lock(mu_);
    failures_.erase(channel);
    for (auto& e : announced_) {
      if (e->channel == channel) e->stale = true;
    }
    if (!socket_.valid()) return;
    try {
      Queue(channel, wire::ReleaseRequest{});
      Flush();
    } catch (const ServerError&) {
      // The connection is gone: so is the instance.
    }
  }

  OpenResult Open(uint32_t channel, const std::string& prog_id, const OpenRequest& request) {
    std::lock_guard<std::mutex> lock(mu_);
    CheckUsable(channel, prog_id);
    std::shared_ptr<Expected> e = TakeAnnounced(channel, request);
    if (!e) {
      GiveUpAnnounced();
      e = QueueOpen(channel, prog_id, request);
    }
    Await(*e, prog_id);
    return FinishOpen(*e, prog_id);
  }

  void Prefetch(uint32_t channel, const std::string& prog_id, const OpenRequest& request) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!socket_.valid() || failures_.count(channel)) return;
    auto e = QueueOpen(channel, prog_id, request);
    e->announced = true;
    announced_.push_back(std::move(e));
  }

  Packet Fetch(uint32_t channel, const std::string& prog_id, uint32_t cursor, int32_t count) {
    std::lock_guard<std::mutex> lock(mu_);
    CheckUsable(channel, prog_id);
    GiveUpAnnounced();
    Queue(channel, wire::FetchRequest{cursor, count});
    auto e = ExpectReply(channel, Expected::Kind::kRows);
    Await(*e, prog_id);
    return Joined<Packet>(*e, prog_id);
  }

  void CloseCursor(uint32_t channel, const std::string& prog_id, uint32_t cursor) {
    std::lock_guard<std::mutex> lock(mu_);
    CheckUsable(channel, prog_id);
    Queue(channel, wire::CloseCursorRequest{cursor});  // no reply: goes with the next request
  }

  // A request answered by one message of type T.
  template <typename T>
  T Request(uint32_t channel, const std::string& prog_id, const wire::ClientMessage& request) {
    std::lock_guard<std::mutex> lock(mu_);
    CheckUsable(channel, prog_id);
    GiveUpAnnounced();  // it may change what the announced opens would read
    Queue(channel, request);
    auto e = ExpectReply(channel, Expected::Kind::kOne);
    Await(*e, prog_id);
    wire::ServerMessage reply = Decode(e->messages.back(), prog_id);
    return Expect<T>(std::move(reply), prog_id);
  }

 private:
  std::string ClosedText() const { return msg::ConnectionClosed(where_).ForOperator(); }

  // `why`: how the connection broke, in both languages.
  [[noreturn]] void Broken(const msg::Text& why, const std::string& prog_id) {
    socket_.Close();
    broken_ = ClosedText();
    expected_.clear();
    announced_.clear();
    outgoing_.clear();
    throw msg::Error(msg::ConnectionLost(where_, prog_id, why));
  }
  // A failure of the socket or of the protocol: the operator reads what kind of failure it was,
  // the English keeps the detail.
  [[noreturn]] void Broken(const ProtocolError& e, const std::string& prog_id) {
    Broken(msg::ProtocolFault(e.what()), prog_id);
  }
  [[noreturn]] void Broken(const ServerError& e, const std::string& prog_id) {
    Broken(msg::NetworkFailure(e.what()), prog_id);
  }
  // The server ended the connection with a message of its own (idle, access, limits).
  [[noreturn]] void EndedByServer(const std::string& message) {
    socket_.Close();
    broken_ = ClosedText();
    expected_.clear();
    announced_.clear();
    outgoing_.clear();
    throw ServerError(message);
  }

  void CheckUsable(uint32_t channel, const std::string& prog_id) {
    if (!socket_.valid()) throw ServerError(broken_);
    // A refusal of the instance known already: every call on the channel gets it.
    if (auto it = failures_.find(channel); it != failures_.end()) throw ServerError(it->second);
  }

  void Greet() {
    wire::Hello hello;
    hello.version = wire::kProtocolVersion;
    hello.client = ThisComputerName();
    std::string frame;
    BeginFrame(frame);
    wire::Encode(wire::ClientMessage(hello), frame);
    SendFrame(socket_, frame);
    std::string payload;
    std::size_t announced = 0;
    FrameStatus status = ReadFrame(socket_, payload, std::size_t{1} << 20, &announced);
    if (status != FrameStatus::kOk) {
      socket_.Close();
      throw msg::Error(msg::ClosedWithoutGreeting(where_));
    }
    wire::ServerMessage reply;
    try {
      reply = wire::DecodeServerMessage(payload);
    } catch (const ProtocolError& e) {
      socket_.Close();
      throw msg::Error(msg::NotAnApplicationServer(where_, e.what()));
    }
    if (auto* error = std::get_if<wire::ErrorReply>(&reply)) {
      socket_.Close();
      throw ServerError(error->message);
    }
    auto* welcome = std::get_if<wire::Welcome>(&reply);
    if (!welcome) {
      socket_.Close();
      throw msg::Error(msg::NotAnApplicationServer(where_, ""));
    }
    if (welcome->version != wire::kProtocolVersion) {
      socket_.Close();
      throw msg::Error(
          msg::ServerProtocolVersion(where_, welcome->version, wire::kProtocolVersion));
    }
    prog_ids_ = welcome->prog_ids;
    if (welcome->challenge) {
      if (settings_.site_key_file.empty()) {
        socket_.Close();
        throw msg::Error(msg::SiteKeyMissing(where_, PathText(ClientConfigPath())));
      }
      std::string key;
      try {
        key = ReadSiteKeyFile(settings_.site_key_file);
      } catch (...) {
        socket_.Close();
        throw;
      }
      wire::Auth auth;
      auth.mac = HmacSha256(key, wire::AuthMessage(welcome->nonce));
      Queue(0, auth);  // goes with the first instance's Create
    }
  }

  void Queue(uint32_t channel, const wire::ClientMessage& message) {
    const std::size_t start = outgoing_.size();
    outgoing_.append(kFrameHeaderSize, '\0');
    wire::PutChannel(channel, outgoing_);
    wire::Encode(message, outgoing_);
    const auto n = static_cast<uint32_t>(outgoing_.size() - start - kFrameHeaderSize);
    for (std::size_t i = 0; i < kFrameHeaderSize; ++i)
      outgoing_[start + i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  }

  std::shared_ptr<Expected> ExpectReply(uint32_t channel, Expected::Kind kind) {
    auto e = std::make_shared<Expected>();
    e->channel = channel;
    e->kind = kind;
    expected_.push_back(e);
    return e;
  }

  std::shared_ptr<Expected> QueueOpen(uint32_t channel, const std::string& prog_id,
                                      const OpenRequest& request) {
    // A whole list without parameters may be one the server lets clients keep (it then gives
    // it a version): the copy kept from an earlier open is offered by its version.
    const bool keepable = request.params.empty() && !request.command_text &&
                          request.packet_records < 0 && request.cached_version.empty();
    std::shared_ptr<const ListCopy> copy;
    if (keepable) copy = ListCache::Process().Find(ListCacheKey(where_, prog_id, request.provider));
    if (copy) {
      OpenRequest offered = request;
      offered.cached_version = copy->version;
      Queue(channel, offered);
    } else {
      Queue(channel, request);
    }
    auto e = ExpectReply(channel, Expected::Kind::kRows);
    e->request = request;
    e->keepable = keepable;
    e->copy = std::move(copy);
    return e;
  }

  // The open announced for this channel first, when it asks exactly what `request` asks (its
  // answer may have arrived already, read on the way to another).
  std::shared_ptr<Expected> TakeAnnounced(uint32_t channel, const OpenRequest& request) {
    for (auto it = announced_.begin(); it != announced_.end(); ++it) {
      std::shared_ptr<Expected> e = *it;
      if (e->channel != channel || e->stale) continue;
      if (!SameRequest(e->request, request)) return nullptr;
      announced_.erase(it);
      e->announced = false;
      return e;
    }
    return nullptr;
  }

  // Something else is asked: the announced opens' answers may no longer be what a later open
  // would read, so none of them is used; they are dropped as they arrive.
  void GiveUpAnnounced() {
    for (auto& e : announced_) {
      e->stale = true;
      if (e->complete) DropStale(*e);
    }
    announced_.clear();
  }

  void Flush() {
    if (outgoing_.empty()) return;
    try {
      socket_.SendAll(outgoing_.data(), outgoing_.size());
    } catch (const ServerError& e) {
      outgoing_.clear();
      throw;
    }
    outgoing_.clear();
  }

  // Sends what is queued, then reads replies in order until `e` has arrived whole.
  void Await(Expected& e, const std::string& prog_id) {
    try {
      Flush();
    } catch (const ServerError& err) {
      Broken(err, prog_id);
    }
    while (!e.complete) ReadReply(prog_id);
  }

  // Reads the reply at the front: its messages, and what it means for the session.
  void ReadReply(const std::string& prog_id) {
    if (expected_.empty()) Broken(msg::ProtocolFault("a reply that no request asked for"), prog_id);
    std::shared_ptr<Expected> e = expected_.front();
    for (;;) {
      ReceiveFrame(prog_id);
      std::string_view message = payload_;
      uint32_t channel = 0;
      try {
        channel = wire::TakeChannel(message);
      } catch (const ProtocolError& err) {
        Broken(err, prog_id);
      }
      if (channel == 0) {
        // The connection's own: the server ends it, saying why.
        try {
          auto reply = wire::DecodeServerMessage(message);
          if (auto* error = std::get_if<wire::ErrorReply>(&reply)) EndedByServer(error->message);
        } catch (const ProtocolError& err) {
          Broken(err, prog_id);
        }
        Broken(msg::ProtocolFault("an unexpected message on the connection"), prog_id);
      }
      if (channel != e->channel)
        Broken(msg::ProtocolFault("a reply on another channel than asked"), prog_id);
      e->messages.emplace_back(message);
      if (e->kind == Expected::Kind::kRows &&
          wire::MessageKind(message) == static_cast<uint8_t>(wire::Kind::kRowsChunk))
        continue;
      break;
    }
    e->complete = true;
    expected_.pop_front();
    if (e->kind == Expected::Kind::kCreate) {
      Finish(*e, prog_id);
    } else if (e->stale) {
      DropStale(*e);
    }
  }

  void ReceiveFrame(const std::string& prog_id) {
    std::size_t announced = 0;
    FrameStatus status;
    try {
      status = ReadFrame(socket_, payload_, kMaxReplyBytes, &announced);
    } catch (const ServerError& e) {
      Broken(e, prog_id);
    }
    if (status == FrameStatus::kClosed) Broken(msg::ServerClosed(), prog_id);
    if (status == FrameStatus::kTooLarge) Broken(msg::ReplyTooLarge(announced), prog_id);
  }

  // The answer to an instance's making: a refusal is kept for the channel's calls.
  void Finish(Expected& e, const std::string& prog_id) {
    if (e.kind != Expected::Kind::kCreate) return;
    wire::ServerMessage reply = Decode(e.messages.back(), prog_id);
    if (auto* error = std::get_if<wire::ErrorReply>(&reply)) {
      failures_[e.channel] = error->message;
      if (!first_created_) throw ServerError(error->message);
      return;
    }
    if (!std::holds_alternative<wire::Ready>(reply)) Broken(msg::UnexpectedReply(), prog_id);
  }

  // An announced open nobody asked for after all: a result it left open is closed.
  void DropStale(const Expected& e) {
    try {
      wire::ServerMessage last = wire::DecodeServerMessage(e.messages.back());
      if (auto* r = std::get_if<OpenResult>(&last); r && r->cursor != 0)
        Queue(e.channel, wire::CloseCursorRequest{r->cursor});
    } catch (const ProtocolError&) {
    }
  }

  wire::ServerMessage Decode(std::string_view message, const std::string& prog_id) {
    try {
      return wire::DecodeServerMessage(message);
    } catch (const ProtocolError& e) {
      Broken(e, prog_id);
    }
  }

  template <typename T>
  T Expect(wire::ServerMessage&& reply, const std::string& prog_id) {
    if (auto* error = std::get_if<wire::ErrorReply>(&reply)) throw ServerError(error->message);
    if (auto* value = std::get_if<T>(&reply)) return std::move(*value);
    Broken(msg::UnexpectedReply(), prog_id);
  }

  static std::vector<Row>& RowsOf(OpenResult& r) { return r.packet.rows; }
  static std::vector<Row>& RowsOf(Packet& p) { return p.rows; }

  // The reply of a request that may bring rows: the chunks' rows, then the reply's own, moved
  // once into one vector.
  template <typename T>
  T Joined(const Expected& e, const std::string& prog_id) {
    std::vector<std::vector<Row>> chunks;
    try {
      for (std::size_t i = 0; i + 1 < e.messages.size(); ++i) {
        chunks.emplace_back();
        wire::AppendRowsChunk(e.messages[i], chunks.back());
      }
    } catch (const ProtocolError& err) {
      Broken(err, prog_id);
    }
    T result = Expect<T>(Decode(e.messages.back(), prog_id), prog_id);
    return Join(std::move(chunks), std::move(result));
  }
  template <typename T>
  static T Join(std::vector<std::vector<Row>> chunks, T result) {
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

  OpenResult FinishOpen(const Expected& e, const std::string& prog_id) {
    OpenResult result = Joined<OpenResult>(e, prog_id);
    const std::string key = ListCacheKey(where_, prog_id, e.request.provider);
    if (result.unchanged) {
      if (!e.copy || result.version != e.copy->version)
        Broken(msg::ProtocolFault("the server confirmed a copy of " + e.request.provider +
                                  " that this client lacks"),
               prog_id);
      return FromCopy(*e.copy, prog_id);
    }
    if (e.keepable) {
      if (!result.version.empty() && result.cursor == 0 && !result.packet.more) {
        // Kept only now that the whole reply has arrived and decoded.
        ListCache::Process().Store(key, ListCopy{result.version, e.messages});
      } else if (e.copy) {
        ListCache::Process().Drop(key);
      }
    }
    return result;
  }

  // The list as the kept copy holds it, decoded again.
  OpenResult FromCopy(const ListCopy& copy, const std::string& prog_id) {
    Expected again;
    again.messages = copy.messages;
    if (!again.messages.empty()) {
      try {
        wire::ServerMessage last = wire::DecodeServerMessage(again.messages.back());
        if (std::holds_alternative<OpenResult>(last)) return Joined<OpenResult>(again, prog_id);
      } catch (const ProtocolError&) {
      }
    }
    throw msg::Error(msg::KeptCopyUnreadable());
  }

  std::mutex mu_;
  std::string where_;
  ClientSettings settings_;
  Socket socket_;
  std::vector<std::string> prog_ids_;  // what the server hosts (empty: it did not say)
  uint32_t next_channel_ = 1;
  bool first_created_ = false;
  std::string outgoing_;  // frames queued for the next send
  std::deque<std::shared_ptr<Expected>> expected_;
  std::vector<std::shared_ptr<Expected>> announced_;  // announced opens not asked for yet
  std::map<uint32_t, std::string> failures_;          // channels whose instance was refused
  std::string payload_;
  std::string broken_;
};

// The sessions of the process, one per server, thread and site key: the module's windows run on
// one thread, so it keeps one connection per server; other threads get their own, so that a
// call that waits on the server (a lock, a long query) never holds up another thread's calls.
class Sessions {
 public:
  // A number for the calling thread, never given to another (thread ids are reused once a
  // thread ends; objects it made may live on).
  static uint64_t ThisThread() {
    static std::atomic<uint64_t> next{0};
    thread_local uint64_t id = 0;  // trivial: nothing to run when the thread ends
    if (id == 0) id = ++next;
    return id;
  }

  static Sessions& Process() {
    // Freed with the module, as the list copies are. It holds the connections only weakly, and
    // only connecting uses it, so an object destroyed after it (at exit) does not miss it.
    static Sessions sessions;
    return sessions;
  }

  std::shared_ptr<Session> For(const ServerAddress& address, const ClientSettings& settings) {
    std::ostringstream key;
    key << address.host << ':' << address.port << '\n'
        << ThisThread() << '\n'
        << PathText(settings.site_key_file);
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {  // forget the ended ones
      if (it->second.expired()) {
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
    if (auto live = sessions_[key.str()].lock(); live && live->Usable()) return live;
    auto session = std::make_shared<Session>(address, settings);
    sessions_[key.str()] = session;
    return session;
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::weak_ptr<Session>> sessions_;
};

class TcpServerObject : public ServerObject {
 public:
  TcpServerObject(std::shared_ptr<Session> session, const std::string& prog_id)
      : session_(std::move(session)), prog_id_(prog_id), channel_(session_->Create(prog_id)) {}

  ~TcpServerObject() override { session_->Release(channel_); }

  OpenResult Open(const OpenRequest& request) override {
    return session_->Open(channel_, prog_id_, request);
  }
  void Prefetch(const OpenRequest& request) override {
    session_->Prefetch(channel_, prog_id_, request);
  }
  Packet Fetch(uint32_t cursor, int32_t count) override {
    return session_->Fetch(channel_, prog_id_, cursor, count);
  }
  void CloseCursor(uint32_t cursor) override { session_->CloseCursor(channel_, prog_id_, cursor); }
  void Execute(const std::string& provider, const std::vector<Param>& params,
               const std::string& command_text) override {
    session_->Request<wire::Done>(channel_, prog_id_,
                                  wire::ExecuteRequest{provider, params, command_text});
  }
  ApplyResult ApplyUpdates(const std::string& provider, const std::vector<RowDelta>& delta,
                           int32_t max_errors) override {
    return session_->Request<ApplyResult>(channel_, prog_id_,
                                          wire::ApplyUpdatesRequest{provider, delta, max_errors});
  }
  Value Call(const std::string& method, std::vector<Value>& args) override {
    wire::CallResult r =
        session_->Request<wire::CallResult>(channel_, prog_id_, wire::CallRequest{method, args});
    if (r.args.size() != args.size()) {
      throw msg::Error(
          msg::ArgumentsMismatch(session_->where(), method, r.args.size(), args.size()));
    }
    args = std::move(r.args);
    return std::move(r.result);
  }

 private:
  std::shared_ptr<Session> session_;
  std::string prog_id_;
  uint32_t channel_;
};

}  // namespace

std::unique_ptr<ServerObject> ConnectServerObject(const std::string& computer_name,
                                                  const std::string& prog_id,
                                                  const ClientSettings& settings) {
  ServerAddress address = ParseComputerName(computer_name, settings.port);
  return std::make_unique<TcpServerObject>(Sessions::Process().For(address, settings), prog_id);
}

std::unique_ptr<ServerObject> ConnectServerObject(const std::string& computer_name,
                                                  const std::string& prog_id) {
  return ConnectServerObject(computer_name, prog_id, LoadClientSettings());
}

}  // namespace remote
