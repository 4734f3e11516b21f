#include "server/net/app_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <variant>

#include "remote/crypto.h"
#include "remote/tcp_client.h"
#include "remote/wire.h"
#include "server/messages.h"
#include "server/net/log.h"
#include "server/text_rules.h"

namespace appserver {

namespace wire = remote::wire;
namespace msg = server::msg;
using remote::FrameStatus;
using remote::ServerObject;
using server::ForbiddenControl;

namespace {

constexpr std::size_t kMaxHandshakeBytes = 4096;

bool IsLoopbackSockaddr(const sockaddr* sa) {
  if (sa->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (sa->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) return true;
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) return in6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

// The client's computer: its address without the port.
std::string HostText(const sockaddr* sa) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (sa->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, host, sizeof host);
  } else if (sa->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, host, sizeof host);
  }
  return host;
}

std::string AddressText(const sockaddr* sa) {
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (sa->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (sa->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    port = ntohs(in6->sin6_port);
    std::string text = "[";
    text += host;
    text += "]:";
    text += std::to_string(port);
    return text;
  }
  return "?";
}

double MillisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

remote::Deadline After(int ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

void SendMessage(remote::Socket& socket, std::string& frame, const wire::ServerMessage& m,
                 int timeout_ms) {
  remote::BeginFrame(frame);
  wire::Encode(m, frame);
  remote::SendFrame(socket, frame, After(timeout_ms));
}

// Lines about connections turned away before they were served (refused, greeting too slow):
// at most one a second for the whole server, however fast clients reconnect, each carrying the
// count of those left out since the last.
class RefusalLog {
 public:
  // The suffix to log with this line, or nullopt when the line is left out.
  std::optional<std::string> Admit() {
    std::lock_guard<std::mutex> lock(mu_);
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::seconds(1)) {
      ++left_out_;
      return std::nullopt;
    }
    last_ = now;
    std::string suffix;
    if (left_out_ > 0) {
      suffix = " (and " + std::to_string(left_out_) + " more turned away since the last such line)";
    }
    left_out_ = 0;
    return suffix;
  }

 private:
  std::mutex mu_;
  std::chrono::steady_clock::time_point last_;
  std::size_t left_out_ = 0;
};

RefusalLog& Refusals() {
  static RefusalLog* log = new RefusalLog;  // never destroyed: sessions may end at exit
  return *log;
}

// The client whose instance the creator is making, on the session's thread (CreatingForAddress).
thread_local const std::string* t_creating_for = nullptr;

// Buffers above this are given back after each request, so that an idle session holds little.
constexpr std::size_t kKeptBufferBytes = std::size_t{1} << 20;

}  // namespace

struct AppServer::Session {
  uint64_t id = 0;
  remote::Socket socket;
  std::string peer;
  std::string address;  // peer without the port: the computer counted for its limit
  std::string prog_id;
  std::thread thread;
  bool done = false;
  std::string frame;    // the reply being built
  std::string payload;  // the request being read
  std::chrono::steady_clock::time_point connected;

  std::string Tag() const {
    return "session " + std::to_string(id) + " (" + peer +
           (prog_id.empty() ? "" : " " + LogSafe(prog_id)) + "): ";
  }
};

std::string CreatingForAddress() {
  return t_creating_for ? *t_creating_for : std::string();
}

bool IsLoopbackAddress(const std::string& address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(address.c_str(), nullptr, &hints, &list) != 0 || !list) return false;
  bool all = true;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) all = all && IsLoopbackSockaddr(ai->ai_addr);
  freeaddrinfo(list);
  return all;
}

AppServer::AppServer(ServerOptions options, ObjectCreator creator)
    : options_(std::move(options)), creator_(std::move(creator)) {}

AppServer::~AppServer() {
  Stop();
}

void AppServer::Start() {
  if (started_) return;
  const std::string& address = options_.listen_address;
  if (options_.site_key.empty() && !IsLoopbackAddress(address)) {
    throw StartError("Listening on " + address +
                     ", which is not a loopback address, requires a site key (--site-key FILE)");
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* list = nullptr;
  std::string service = std::to_string(options_.port);
  if (getaddrinfo(address.empty() ? nullptr : address.c_str(), service.c_str(), &hints, &list) !=
          0 ||
      !list) {
    throw StartError("Cannot listen on \"" + address + "\": not an address of this computer");
  }
  remote::Socket s(::socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol));
  if (!s.valid()) {
    freeaddrinfo(list);
    throw StartError("Cannot create the listening socket: " + remote::LastSocketError());
  }
  int one = 1;
  setsockopt(s.native(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(s.native(), list->ai_addr, list->ai_addrlen) != 0) {
    std::string err = remote::LastSocketError();
    freeaddrinfo(list);
    throw StartError("Cannot listen on " + address + " port " + service + ": " + err);
  }
  freeaddrinfo(list);
  if (::listen(s.native(), 64) != 0)
    throw StartError("Cannot listen on " + address + ": " + remote::LastSocketError());
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(s.native(), reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  if (::pipe2(wake_pipe_, O_CLOEXEC) != 0)
    throw StartError("Cannot create a pipe: " + remote::LastSocketError());
  listener_ = std::move(s);
  started_ = true;
  stopping_ = false;
  accept_thread_ = std::thread([this] { AcceptLoop(); });
  APPSERVER_LOG(kInfo) << "listening on " << AddressText(reinterpret_cast<sockaddr*>(&bound))
                       << (options_.site_key.empty() ? " (no site key)"
                                                     : " (clients prove the site key)");
}

void AppServer::Stop() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  char c = 0;
  [[maybe_unused]] ssize_t n = ::write(wake_pipe_[1], &c, 1);
  if (accept_thread_.joinable()) accept_thread_.join();
  listener_.Close();
  std::map<uint64_t, std::unique_ptr<Session>> sessions;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [id, s] : sessions_) s->socket.Shutdown();
    sessions.swap(sessions_);
  }
  if (!sessions.empty()) APPSERVER_LOG(kInfo) << "ending " << sessions.size() << " session(s)";
  for (auto& [id, s] : sessions) {
    if (s->thread.joinable()) s->thread.join();
  }
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
  wake_pipe_[0] = wake_pipe_[1] = -1;
  started_ = false;
  APPSERVER_LOG(kInfo) << "stopped";
}

std::size_t AppServer::SessionCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return live_;
}

bool AppServer::WaitForSessionCount(std::size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return live_ == n; });
}

void AppServer::ReapFinished() {
  std::vector<std::unique_ptr<Session>> finished;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (it->second->done) {
        finished.push_back(std::move(it->second));
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& s : finished) s->thread.join();
#ifdef __GLIBC__
  // Memory the ended sessions' threads freed goes back to the system rather than staying in
  // their arenas; at most once a second.
  const bool ended = !finished.empty();
  finished.clear();
  trim_due_ = trim_due_ || ended;
  if (trim_due_ && std::chrono::steady_clock::now() - last_trim_ > std::chrono::seconds(1)) {
    malloc_trim(0);
    trim_due_ = false;
    last_trim_ = std::chrono::steady_clock::now();
  }
#endif
}

void AppServer::Refuse(remote::Socket& socket, const std::string& peer,
                       const std::string& message) {
  if (auto suffix = Refusals().Admit()) {
    APPSERVER_LOG(kWarning) << "refused " << peer << ": " << message << *suffix;
  }
  std::string frame;
  try {
    SendMessage(socket, frame, wire::ErrorReply{message}, 1000);
  } catch (const std::exception&) {
  }
}

void AppServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_.native(), POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    int n = ::poll(fds, 2, 1000);
    if (n < 0 && errno != EINTR) {
      APPSERVER_LOG(kError) << "waiting for clients failed: " << std::strerror(errno);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ReapFinished();
    if (fds[1].revents) return;
    if (n <= 0 || !(fds[0].revents & POLLIN)) continue;

    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(listener_.native(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) {
        APPSERVER_LOG(kError) << "cannot accept a client: " << std::strerror(errno);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    auto session = std::make_unique<Session>();
    session->socket = remote::Socket(fd);
    session->socket.SetNoDelay();
    session->socket.SetKeepAlive();
    session->peer = AddressText(reinterpret_cast<sockaddr*>(&peer));
    session->address = HostText(reinterpret_cast<sockaddr*>(&peer));
    session->connected = std::chrono::steady_clock::now();

    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    if (live_ >= options_.max_clients) {
      Refuse(session->socket, session->peer, msg::TooManyClients(options_.max_clients));
      continue;
    }
    std::size_t& from_address = per_address_[session->address];
    if (from_address >= options_.max_clients_per_address) {
      Refuse(session->socket, session->peer,
             msg::TooManyFromAddress(session->address, options_.max_clients_per_address));
      continue;
    }
    session->id = next_id_++;
    Session* raw = session.get();
    ++live_;
    ++from_address;
    changed_.notify_all();
    sessions_[raw->id] = std::move(session);
    try {
      raw->thread = std::thread([this, raw] { RunSession(*raw); });
    } catch (const std::exception& e) {
      // No thread for this client (the system's limit): turn it away, keep serving the others.
      APPSERVER_LOG(kError) << "cannot start a session for " << raw->peer << ": " << e.what();
      if (--per_address_[raw->address] == 0) per_address_.erase(raw->address);
      sessions_.erase(raw->id);
      --live_;
      changed_.notify_all();
    }
  }
}

void AppServer::RunSession(Session& s) {
  APPSERVER_LOG(kDebug) << s.Tag() << "connected";
  std::unique_ptr<ServerObject> object;
  try {
    // A backstop for blocking sends; reads and replies run under their own deadlines.
    s.socket.SetSendTimeout(options_.send_timeout_ms);
    object = Handshake(s);
    if (object) {
      APPSERVER_LOG(kInfo) << s.Tag() << "instance created";
      Serve(s, *object);
    }
  } catch (const remote::DeadlinePassed& e) {
    APPSERVER_LOG(kWarning) << s.Tag() << "disconnected: " << e.what();
    s.socket.SetAbortiveClose();
  } catch (const remote::ConnectionLost& e) {
    APPSERVER_LOG(kInfo) << s.Tag() << "connection lost: " << e.what();
  } catch (const std::exception& e) {
    APPSERVER_LOG(kError) << s.Tag() << "session failed: " << msg::LogText(e);
  }
  bool had_object = object != nullptr;
  try {
    object.reset();  // ends the instance: an open transaction is rolled back here
  } catch (...) {
    APPSERVER_LOG(kError) << s.Tag() << "destroying the instance failed";
  }
  if (had_object) APPSERVER_LOG(kInfo) << s.Tag() << "disconnected, instance destroyed";
  s.socket.Shutdown();
  std::lock_guard<std::mutex> lock(mu_);
  s.done = true;
  --live_;
  if (auto it = per_address_.find(s.address); it != per_address_.end() && --it->second == 0) {
    per_address_.erase(it);
  }
  changed_.notify_all();
}

std::unique_ptr<ServerObject> AppServer::Handshake(Session& s) {
  // The operator reads the Chinese text; the log keeps the code and the English.
  auto refuse = [&](const msg::Message& message) -> std::unique_ptr<ServerObject> {
    if (auto suffix = Refusals().Admit()) {
      APPSERVER_LOG(kWarning) << s.Tag() << "refused: " << message << *suffix;
    }
    SendMessage(s.socket, s.frame, wire::ErrorReply{message.ForOperator()}, 1000);
    return nullptr;
  };
  // One deadline for the whole greeting, however its bytes trickle in.
  remote::FrameDeadlines deadlines;
  deadlines.begin_by = deadlines.end_by =
      s.connected + std::chrono::milliseconds(options_.handshake_timeout_ms);
  auto read = [&](std::size_t& announced) {
    try {
      return remote::ReadFrame(s.socket, s.payload, kMaxHandshakeBytes, &announced, &deadlines);
    } catch (const remote::DeadlinePassed&) {
      return FrameStatus::kIdle;
    }
  };
  auto too_slow = [&]() -> std::unique_ptr<ServerObject> {
    if (auto suffix = Refusals().Admit()) {
      APPSERVER_LOG(kWarning) << s.Tag() << "disconnected: "
                              << msg::HandshakeTooSlow(options_.handshake_timeout_ms) << *suffix;
    }
    return nullptr;
  };

  std::size_t announced = 0;
  FrameStatus status = read(announced);
  if (status == FrameStatus::kClosed) return nullptr;
  if (status == FrameStatus::kIdle) return too_slow();
  if (status == FrameStatus::kTooLarge) return refuse(msg::GreetingTooLarge(announced));
  wire::ClientMessage first;
  try {
    first = wire::DecodeClientMessage(s.payload);
  } catch (const remote::ProtocolError& e) {
    return refuse(msg::GreetingMalformed(e.what()));
  }
  auto* hello = std::get_if<wire::Hello>(&first);
  if (!hello) return refuse(msg::FirstMessageNotHello());
  if (hello->version != wire::kProtocolVersion) {
    return refuse(msg::ProtocolVersionMismatch(wire::kProtocolVersion, hello->version));
  }
  // The name is logged with every line of the session and passed to the object factory.
  if (ForbiddenControl(hello->prog_id, server::TextUse::kName) >= 0) {
    return refuse(msg::ProgIdControlCharacter());
  }
  s.prog_id = hello->prog_id;

  if (!options_.site_key.empty()) {
    wire::Challenge challenge;
    remote::RandomBytes(challenge.nonce.data(), challenge.nonce.size());
    SendMessage(s.socket, s.frame, challenge, options_.send_timeout_ms);
    status = read(announced);
    if (status == FrameStatus::kClosed) return nullptr;
    if (status == FrameStatus::kIdle) return too_slow();
    if (status == FrameStatus::kTooLarge) return refuse(msg::SiteKeyProofMalformed(""));
    wire::ClientMessage answer;
    try {
      answer = wire::DecodeClientMessage(s.payload);
    } catch (const remote::ProtocolError& e) {
      return refuse(msg::SiteKeyProofMalformed(e.what()));
    }
    auto* auth = std::get_if<wire::Auth>(&answer);
    if (!auth) return refuse(msg::SiteKeyNotProven());
    auto expected = remote::HmacSha256(options_.site_key, wire::AuthMessage(challenge, s.prog_id));
    if (!remote::ConstantTimeEqual(expected.data(), auth->mac.data(), expected.size()))
      return refuse(msg::SiteKeyWrong());
  }

  std::unique_ptr<ServerObject> object;
  try {
    t_creating_for = &s.address;
    object = creator_(s.prog_id);
    t_creating_for = nullptr;
  } catch (const std::exception& e) {
    t_creating_for = nullptr;
    return refuse(msg::MessageOf(e));
  }
  if (!object) return refuse(msg::UnknownProgId(s.prog_id));
  SendMessage(s.socket, s.frame, wire::Ready{}, options_.send_timeout_ms);
  return object;
}

namespace {

// Rows per RowsChunk when a reply brings many rows.
constexpr int32_t kChunkRows = 2048;

// Runs one request on the instance and sends its reply. A request for more than kChunkRows
// rows is served in chunks: the instance is asked for kChunkRows at a time and every chunk goes
// out before the next is read, so that the client decodes while the instance reads on.
struct Dispatcher {
  ServerObject& object;
  remote::Socket& socket;
  std::string& frame;
  std::string& what;  // for the log
  int send_timeout_ms;

  void Reply(const wire::ServerMessage& m) {
    remote::BeginFrame(frame);
    wire::Encode(m, frame);
    Send();
  }
  void Send() {
    if (frame.size() - remote::kFrameHeaderSize > remote::kMaxReplyBytes) {
      throw msg::Error(msg::ResultTooLarge(what, frame.size()));
    }
    remote::SendFrame(socket, frame, After(send_timeout_ms));
  }
  void SendChunk(const std::vector<remote::Row>& rows) {
    remote::BeginFrame(frame);
    wire::EncodeRowsChunk(rows, frame);
    Send();
  }

  // Reads the rest of a result in chunks after `packet` (the first kChunkRows rows), up to
  // `wanted` rows in all (-1: every row). Leaves the last chunk in `packet`.
  void Drain(uint32_t& cursor, remote::Packet& packet, int32_t wanted, std::size_t& sent) {
    try {
      while (packet.more && cursor != 0 &&
             (wanted < 0 || sent + packet.rows.size() < static_cast<std::size_t>(wanted))) {
        SendChunk(packet.rows);
        sent += packet.rows.size();
        int32_t next = kChunkRows;
        if (wanted >= 0) next = std::min<int32_t>(kChunkRows, wanted - static_cast<int32_t>(sent));
        remote::Packet p = object.Fetch(cursor, next);
        packet.rows = std::move(p.rows);
        packet.more = p.more;
      }
    } catch (...) {
      if (cursor != 0) object.CloseCursor(cursor);
      throw;
    }
    sent += packet.rows.size();
    if (!packet.more && cursor != 0) {
      object.CloseCursor(cursor);  // every row has been read
      cursor = 0;
    }
  }

  static bool Chunked(int32_t count) { return count < 0 || count > kChunkRows; }

  void operator()(const wire::Hello&) { throw msg::Error(msg::AlreadyConnected()); }
  void operator()(const wire::Auth&) { throw msg::Error(msg::AlreadyConnected()); }
  void operator()(const remote::OpenRequest& m) {
    what = "Open " + m.provider;
    remote::OpenResult r;
    std::size_t sent = 0;
    if (Chunked(m.packet_records)) {
      remote::OpenRequest first = m;
      first.packet_records = kChunkRows;
      r = object.Open(first);
      Drain(r.cursor, r.packet, m.packet_records, sent);
    } else {
      r = object.Open(m);
      sent = r.packet.rows.size();
    }
    what += " (" + std::to_string(sent) + " rows)";
    remote::BeginFrame(frame);
    wire::EncodeOpenResult(r, frame);
    Send();
  }
  void operator()(const wire::FetchRequest& m) {
    what = "Fetch " + std::to_string(m.cursor);
    uint32_t cursor = m.cursor;
    remote::Packet p;
    std::size_t sent = 0;
    if (Chunked(m.count)) {
      p = object.Fetch(cursor, kChunkRows);
      Drain(cursor, p, m.count, sent);
    } else {
      p = object.Fetch(cursor, m.count);
      sent = p.rows.size();
    }
    what += " (" + std::to_string(sent) + " rows)";
    remote::BeginFrame(frame);
    wire::EncodePacket(p, frame);
    Send();
  }
  void operator()(const wire::CloseCursorRequest& m) {
    what = "CloseCursor " + std::to_string(m.cursor);
    object.CloseCursor(m.cursor);
    Reply(wire::Done{});
  }
  void operator()(const wire::ExecuteRequest& m) {
    what = "Execute " + m.provider;
    object.Execute(m.provider, m.params, m.command_text);
    Reply(wire::Done{});
  }
  void operator()(const wire::ApplyUpdatesRequest& m) {
    what = "ApplyUpdates " + m.provider;
    remote::ApplyResult r = object.ApplyUpdates(m.provider, m.delta, m.max_errors);
    what += " (" + std::to_string(r.error_count) + " errors)";
    Reply(std::move(r));
  }
  void operator()(wire::CallRequest& m) {
    what = "Call " + m.method;
    wire::CallResult r;
    r.result = object.Call(m.method, m.args);
    r.args = std::move(m.args);
    Reply(std::move(r));
  }
};

}  // namespace

void AppServer::Serve(Session& s, ServerObject& object) {
  const int send_ms = options_.send_timeout_ms;
  for (;;) {
    std::size_t announced = 0;
    remote::FrameDeadlines deadlines;
    deadlines.begin_by = After(options_.idle_timeout_ms);
    deadlines.frame_ms = options_.request_timeout_ms;
    FrameStatus status;
    try {
      status = remote::ReadFrame(s.socket, s.payload, options_.max_request_bytes, &announced,
                                 &deadlines);
    } catch (const remote::DeadlinePassed&) {
      APPSERVER_LOG(kWarning) << s.Tag() << "disconnected: "
                              << msg::RequestTooSlow(options_.request_timeout_ms);
      return;
    }
    if (status == FrameStatus::kClosed) return;
    if (status == FrameStatus::kIdle) {
      const std::string message = msg::SessionIdle(options_.idle_timeout_ms);
      APPSERVER_LOG(kInfo) << s.Tag() << message;
      // The client reads it as the answer to its next request.
      try {
        SendMessage(s.socket, s.frame, wire::ErrorReply{message}, 1000);
      } catch (const remote::ConnectionLost&) {
      }
      return;
    }
    if (status == FrameStatus::kTooLarge) {
      std::string message = "The request of " + std::to_string(announced) +
                            " bytes exceeds the limit of " +
                            std::to_string(options_.max_request_bytes) + " bytes";
      APPSERVER_LOG(kWarning) << s.Tag() << message << "; closing the connection";
      SendMessage(s.socket, s.frame, wire::ErrorReply{message}, send_ms);
      // Let the client finish sending before the connection closes: closing with its bytes
      // unread would reset the connection and could destroy the reply before it is read.
      s.socket.ShutdownSend();
      const remote::Deadline until = After(2000);
      std::size_t left = std::min(announced, std::size_t{64} << 20);
      char sink[16384];
      try {
        while (left > 0 && s.socket.WaitReadable(until)) {
          std::size_t n = s.socket.RecvSome(sink, std::min(left, sizeof sink));
          if (n == 0) break;
          left -= n;
        }
      } catch (const remote::ConnectionLost&) {
      }
      return;
    }
    auto start = std::chrono::steady_clock::now();
    wire::ClientMessage request;
    try {
      request = wire::DecodeClientMessage(s.payload);
    } catch (const remote::ProtocolError& e) {
      const msg::Message refused = msg::RequestMalformed(e.what());
      APPSERVER_LOG(kWarning) << s.Tag() << refused;
      SendMessage(s.socket, s.frame, wire::ErrorReply{refused.ForOperator()}, send_ms);
      continue;
    }
    std::string what = wire::KindName(wire::PeekKind(s.payload));
    try {
      std::visit(Dispatcher{object, s.socket, s.frame, what, send_ms}, request);
      APPSERVER_LOG(kDebug) << s.Tag() << what << " " << MillisSince(start) << " ms";
    } catch (const remote::DeadlinePassed&) {
      APPSERVER_LOG(kWarning) << s.Tag() << "disconnected: " << msg::ReplyNotRead(send_ms);
      s.socket.SetAbortiveClose();  // what it did not read is dropped, not kept for it
      return;
    } catch (const remote::ConnectionLost&) {
      throw;
    } catch (const std::exception& e) {
      APPSERVER_LOG(kWarning) << s.Tag() << what << " failed: " << msg::LogText(e);
      SendMessage(s.socket, s.frame, wire::ErrorReply{e.what()}, send_ms);
    }
    if (s.frame.capacity() > kKeptBufferBytes) std::string().swap(s.frame);
    if (s.payload.capacity() > kKeptBufferBytes) std::string().swap(s.payload);
  }
}

}  // namespace appserver
