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

// The client whose instance the creator is making, on the session's thread (CreatingForAddress,
// CreatingForComputerName).
struct CreatingFor {
  const std::string* address;
  const std::string* computer_name;
};
thread_local CreatingFor t_creating_for{nullptr, nullptr};

// The name a client computer gives itself in its greeting, as it may be logged and stored: at
// most 63 bytes, control characters and what is not valid UTF-8 dropped.
std::string ComputerNameOf(const std::string& told) {
  std::string name;
  for (std::size_t i = 0; i < told.size() && name.size() < 63;) {
    const auto c = static_cast<unsigned char>(told[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = n > 0 && i + n <= told.size() && name.size() + n <= 63;
    for (std::size_t k = 1; ok && k < n; ++k)
      ok = (static_cast<unsigned char>(told[i + k]) >> 6) == 2;
    if (ok && n == 1 && (c < 0x20 || c == 0x7F)) ok = false;
    if (ok) name.append(told, i, n);
    i += ok ? n : 1;
  }
  return name;
}

// Buffers above this are given back after each request, so that an idle session holds little.
constexpr std::size_t kKeptBufferBytes = std::size_t{1} << 20;

}  // namespace

struct AppServer::Session {
  uint64_t id = 0;
  remote::Socket socket;
  std::string peer;
  std::string address;        // peer without the port: the computer counted for its limits
  std::string computer_name;  // the name the client computer gave itself in its greeting
  std::thread thread;
  bool done = false;
  std::string frame;    // the reply being built
  std::string payload;  // the request being read
  std::chrono::steady_clock::time_point connected;

  // The instances on this connection by channel; a channel whose instance could not be made
  // keeps the reason until it is released, and every request on it gets that reason back.
  struct Channel {
    std::string prog_id;
    std::unique_ptr<ServerObject> object;
    std::string failure;
  };
  std::map<uint32_t, Channel> channels;

  std::string Tag() const { return "session " + std::to_string(id) + " (" + peer + "): "; }
  std::string Tag(uint32_t channel) const {
    auto it = channels.find(channel);
    return "session " + std::to_string(id) + " (" + peer + " channel " + std::to_string(channel) +
           (it == channels.end() ? "" : " " + LogSafe(it->second.prog_id)) + "): ";
  }
};

// The copies of whole lists the server keeps, ready to send: the encoded messages of a reply,
// with the version of the rows they hold, by ProgID and provider. Any client opening that list
// while its version is unchanged gets the copy, without the rows being read again.
struct AppServer::ListCopies {
  static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;
  static constexpr std::size_t kMaxCopyBytes = std::size_t{16} << 20;
  struct Copy {
    std::string version;
    std::vector<std::string> messages;
    std::size_t bytes = 0;
  };
  std::mutex mu;
  std::map<std::string, std::shared_ptr<const Copy>> copies;
  std::size_t bytes = 0;

  static std::string Key(const std::string& prog_id, const std::string& provider) {
    return prog_id + '\n' + provider;
  }
  std::shared_ptr<const Copy> Find(const std::string& key) {
    std::lock_guard<std::mutex> lock(mu);
    auto it = copies.find(key);
    return it == copies.end() ? nullptr : it->second;
  }
  void Store(const std::string& key, Copy copy) {
    for (const std::string& m : copy.messages) copy.bytes += m.size();
    if (copy.bytes > kMaxCopyBytes) return;
    std::lock_guard<std::mutex> lock(mu);
    auto& slot = copies[key];
    if (slot) bytes -= slot->bytes;
    if (bytes + copy.bytes > kMaxBytes) {  // room for the newest: the others go
      copies.clear();
      bytes = 0;
    }
    bytes += copy.bytes;
    copies[key] = std::make_shared<const Copy>(std::move(copy));
  }
};

std::string CreatingForAddress() {
  return t_creating_for.address ? *t_creating_for.address : std::string();
}

std::string CreatingForComputerName() {
  return t_creating_for.computer_name ? *t_creating_for.computer_name : std::string();
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
    : options_(std::move(options)),
      creator_(std::move(creator)),
      copies_(std::make_unique<ListCopies>()) {}

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

std::size_t AppServer::ObjectCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return objects_;
}

bool AppServer::WaitForObjectCount(std::size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return objects_ == n; });
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
  try {
    // A backstop for blocking sends; reads and replies run under their own deadlines.
    s.socket.SetSendTimeout(options_.send_timeout_ms);
    if (Handshake(s)) Serve(s);
  } catch (const remote::DeadlinePassed& e) {
    APPSERVER_LOG(kWarning) << s.Tag() << "disconnected: " << e.what();
    s.socket.SetAbortiveClose();
  } catch (const remote::ConnectionLost& e) {
    APPSERVER_LOG(kInfo) << s.Tag() << "connection lost: " << e.what();
  } catch (const std::exception& e) {
    APPSERVER_LOG(kError) << s.Tag() << "session failed: " << msg::LogText(e);
  }
  // Ends every instance: their open transactions are rolled back here.
  while (!s.channels.empty()) Release(s, s.channels.begin()->first);
  s.socket.Shutdown();
  std::lock_guard<std::mutex> lock(mu_);
  s.done = true;
  --live_;
  if (auto it = per_address_.find(s.address); it != per_address_.end() && --it->second == 0) {
    per_address_.erase(it);
  }
  changed_.notify_all();
}

bool AppServer::Handshake(Session& s) {
  // Refusals before the Welcome go without a channel, in the layout every client version reads.
  // The operator reads the Chinese text; the log keeps the code and the English.
  auto refuse = [&](const msg::Message& message, bool welcomed = false) {
    if (auto suffix = Refusals().Admit()) {
      APPSERVER_LOG(kWarning) << s.Tag() << "refused: " << message << *suffix;
    }
    remote::BeginFrame(s.frame);
    if (welcomed) wire::PutChannel(0, s.frame);
    wire::Encode(wire::ServerMessage(wire::ErrorReply{message.ForOperator()}), s.frame);
    remote::SendFrame(s.socket, s.frame, After(1000));
    return false;
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
  auto too_slow = [&]() {
    if (auto suffix = Refusals().Admit()) {
      APPSERVER_LOG(kWarning) << s.Tag() << "disconnected: "
                              << msg::HandshakeTooSlow(options_.handshake_timeout_ms) << *suffix;
    }
    return false;
  };

  std::size_t announced = 0;
  FrameStatus status = read(announced);
  if (status == FrameStatus::kClosed) return false;
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
  s.computer_name = ComputerNameOf(hello->client);
  wire::Welcome welcome;
  welcome.prog_ids = options_.prog_ids;
  welcome.challenge = !options_.site_key.empty();
  if (welcome.challenge) remote::RandomBytes(welcome.nonce.data(), welcome.nonce.size());
  remote::BeginFrame(s.frame);
  wire::Encode(wire::ServerMessage(welcome), s.frame);
  remote::SendFrame(s.socket, s.frame, After(options_.send_timeout_ms));
  if (!welcome.challenge) return true;

  // The proof: the first frame on channel 0.
  status = read(announced);
  if (status == FrameStatus::kClosed) return false;
  if (status == FrameStatus::kIdle) return too_slow();
  if (status == FrameStatus::kTooLarge) return refuse(msg::SiteKeyProofMalformed(""), true);
  wire::ClientMessage answer;
  uint32_t channel = 0;
  try {
    std::string_view bytes = s.payload;
    channel = wire::TakeChannel(bytes);
    answer = wire::DecodeClientMessage(bytes);
  } catch (const remote::ProtocolError& e) {
    return refuse(msg::SiteKeyProofMalformed(e.what()), true);
  }
  auto* auth = std::get_if<wire::Auth>(&answer);
  if (!auth || channel != 0) return refuse(msg::SiteKeyNotProven(), true);
  auto expected = remote::HmacSha256(options_.site_key, wire::AuthMessage(welcome.nonce));
  if (!remote::ConstantTimeEqual(expected.data(), auth->mac.data(), expected.size()))
    return refuse(msg::SiteKeyWrong(), true);
  return true;
}

void AppServer::Create(Session& s, uint32_t channel, const std::string& prog_id) {
  auto reply = [&](const wire::ServerMessage& m) {
    remote::BeginFrame(s.frame);
    wire::PutChannel(channel, s.frame);
    wire::Encode(m, s.frame);
    remote::SendFrame(s.socket, s.frame, After(options_.send_timeout_ms));
  };
  if (channel == 0 || s.channels.count(channel)) {
    reply(wire::ErrorReply{msg::ChannelInUse(channel)});
    return;
  }
  Session::Channel& c = s.channels[channel];
  // The operator reads the Chinese text (again at every later request on the channel); the log
  // keeps the code and the English.
  auto fail = [&](const msg::Message& message) {
    APPSERVER_LOG(kWarning) << s.Tag(channel) << "refused: " << message;
    c.failure = message.ForOperator();
    reply(wire::ErrorReply{c.failure});
  };
  // The name is logged with every line of the channel and passed to the object factory.
  if (ForbiddenControl(prog_id, server::TextUse::kName) >= 0) {
    fail(msg::ProgIdControlCharacter());
    return;
  }
  c.prog_id = prog_id;
  std::optional<msg::Message> limit;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (objects_ >= options_.max_objects) {
      limit = msg::TooManyObjects(options_.max_objects);
    } else if (objects_per_address_[s.address] >= options_.max_objects_per_address) {
      limit = msg::TooManyObjectsFromAddress(s.address, options_.max_objects_per_address);
    } else {
      ++objects_;
      ++objects_per_address_[s.address];
      changed_.notify_all();
    }
  }
  if (limit) {
    fail(*limit);
    return;
  }
  std::optional<msg::Message> failure;
  try {
    t_creating_for = {&s.address, &s.computer_name};
    c.object = creator_(prog_id);
    t_creating_for = {nullptr, nullptr};
    if (!c.object) failure = msg::UnknownProgId(prog_id);
  } catch (const std::exception& e) {
    t_creating_for = {nullptr, nullptr};
    failure = msg::MessageOf(e);
  }
  if (failure) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      --objects_;
      if (--objects_per_address_[s.address] == 0) objects_per_address_.erase(s.address);
      changed_.notify_all();
    }
    fail(*failure);
    return;
  }
  APPSERVER_LOG(kInfo) << s.Tag(channel) << "instance created";
  reply(wire::Ready{});
}

void AppServer::Release(Session& s, uint32_t channel) {
  auto it = s.channels.find(channel);
  if (it == s.channels.end()) return;
  const bool had = it->second.object != nullptr;
  const std::string tag = s.Tag(channel);
  try {
    it->second.object.reset();  // ends the instance: an open transaction is rolled back here
  } catch (...) {
    APPSERVER_LOG(kError) << tag << "destroying the instance failed";
  }
  s.channels.erase(it);
  if (!had) return;
  APPSERVER_LOG(kInfo) << tag << "instance destroyed";
  std::lock_guard<std::mutex> lock(mu_);
  --objects_;
  if (auto a = objects_per_address_.find(s.address);
      a != objects_per_address_.end() && --a->second == 0) {
    objects_per_address_.erase(a);
  }
  changed_.notify_all();
}

namespace {

// Rows per RowsChunk when a reply brings many rows.
constexpr int32_t kChunkRows = 2048;

// Runs one request on the instance of a channel and sends its reply on that channel. A request
// for more than kChunkRows rows is served in chunks: the instance is asked for kChunkRows at a
// time and every chunk goes out before the next is read, so that the client decodes while the
// instance reads on. A whole list the server keeps a copy of (AppServer::ListCopies) goes out
// from the copy while its version is current.
struct Dispatcher {
  ServerObject& object;
  const std::string& prog_id;
  uint32_t channel;
  remote::Socket& socket;
  std::string& frame;
  std::string& what;  // for the log
  int send_timeout_ms;
  AppServer::ListCopies& copies;
  std::vector<std::string>* kept = nullptr;  // receives each message sent, when set

  // Starts the frame of a message on this channel; the message follows at the returned offset.
  std::size_t Begin() {
    remote::BeginFrame(frame);
    wire::PutChannel(channel, frame);
    return frame.size();
  }
  void Send(std::size_t message_at) {
    if (frame.size() - remote::kFrameHeaderSize > remote::kMaxReplyBytes) {
      throw msg::Error(msg::ResultTooLarge(what, frame.size()));
    }
    if (kept) kept->emplace_back(frame, message_at);
    remote::SendFrame(socket, frame, After(send_timeout_ms));
  }
  void Reply(const wire::ServerMessage& m) {
    const std::size_t at = Begin();
    wire::Encode(m, frame);
    Send(at);
  }
  void SendChunk(const std::vector<remote::Row>& rows) {
    const std::size_t at = Begin();
    wire::EncodeRowsChunk(rows, frame);
    Send(at);
  }
  // A message as it was encoded for another client, on this channel.
  void SendKept(const std::string& message) {
    Begin();
    frame += message;
    remote::SendFrame(socket, frame, After(send_timeout_ms));
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
  void operator()(const wire::CreateRequest&) {}   // handled by the session
  void operator()(const wire::ReleaseRequest&) {}  // handled by the session
  void operator()(const remote::OpenRequest& m);
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
    const std::size_t at = Begin();
    wire::EncodePacket(p, frame);
    Send(at);
  }
  void operator()(const wire::CloseCursorRequest& m) {  // no reply
    what = "CloseCursor " + std::to_string(m.cursor);
    object.CloseCursor(m.cursor);
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

void Dispatcher::operator()(const remote::OpenRequest& m) {
  what = "Open " + m.provider;
  remote::OpenRequest request = m;
  request.server_copy_version.clear();
  // A whole list: the server's own copy may serve it.
  const bool whole = m.params.empty() && !m.command_text && m.packet_records < 0;
  const std::string key = whole ? AppServer::ListCopies::Key(prog_id, m.provider) : std::string();
  std::shared_ptr<const AppServer::ListCopies::Copy> copy = whole ? copies.Find(key) : nullptr;
  if (copy) request.server_copy_version = copy->version;
  std::vector<std::string> messages;
  if (whole) kept = &messages;
  remote::OpenResult r;
  std::size_t sent = 0;
  if (Chunked(m.packet_records)) {
    remote::OpenRequest first = request;
    first.packet_records = kChunkRows;
    r = object.Open(first);
    if (r.server_copy_current && copy) {
      kept = nullptr;
      for (const std::string& message : copy->messages) SendKept(message);
      what += " (the server's copy, version " + LogSafe(copy->version) + ")";
      return;
    }
    Drain(r.cursor, r.packet, m.packet_records, sent);
  } else {
    r = object.Open(request);
    sent = r.packet.rows.size();
  }
  r.server_copy_current = false;
  what += r.unchanged ? " (unchanged)" : " (" + std::to_string(sent) + " rows)";
  const std::size_t at = Begin();
  wire::EncodeOpenResult(r, frame);
  Send(at);
  kept = nullptr;
  if (whole && !r.version.empty() && !r.unchanged && r.cursor == 0 && !r.packet.more)
    copies.Store(key, AppServer::ListCopies::Copy{r.version, std::move(messages)});
}

}  // namespace

void AppServer::Serve(Session& s) {
  const int send_ms = options_.send_timeout_ms;
  // Errors that concern the connection go on channel 0.
  auto reply = [&](uint32_t channel, const std::string& message) {
    remote::BeginFrame(s.frame);
    wire::PutChannel(channel, s.frame);
    wire::Encode(wire::ServerMessage(wire::ErrorReply{message}), s.frame);
    remote::SendFrame(s.socket, s.frame, After(send_ms));
  };
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
      const msg::Message message = msg::SessionIdle(options_.idle_timeout_ms);
      APPSERVER_LOG(kInfo) << s.Tag() << message;
      // The client reads it as the answer to its next request.
      try {
        reply(0, message.ForOperator());
      } catch (const remote::ConnectionLost&) {
      }
      return;
    }
    if (status == FrameStatus::kTooLarge) {
      const msg::Message message = msg::RequestTooLarge(announced, options_.max_request_bytes);
      APPSERVER_LOG(kWarning) << s.Tag() << message << "; closing the connection";
      reply(0, message.ForOperator());
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
    uint32_t channel = 0;
    wire::ClientMessage request;
    std::string_view bytes = s.payload;
    try {
      channel = wire::TakeChannel(bytes);
      request = wire::DecodeClientMessage(bytes);
    } catch (const remote::ProtocolError& e) {
      const msg::Message refused = msg::RequestMalformed(e.what());
      APPSERVER_LOG(kWarning) << s.Tag(channel) << refused;
      reply(channel, refused.ForOperator());
      continue;
    }
    if (auto* create = std::get_if<wire::CreateRequest>(&request)) {
      Create(s, channel, create->prog_id);
      continue;
    }
    if (std::holds_alternative<wire::ReleaseRequest>(request)) {
      Release(s, channel);
      continue;
    }
    std::string what = wire::KindName(wire::PeekKind(bytes));
    auto found = s.channels.find(channel);
    if (found == s.channels.end() || !found->second.object) {
      const std::string message = found == s.channels.end()
                                      ? msg::NoObjectOnChannel(channel).ForOperator()
                                      : found->second.failure;
      APPSERVER_LOG(kWarning) << s.Tag(channel) << what << " refused: " << message;
      if (!std::holds_alternative<wire::CloseCursorRequest>(request)) reply(channel, message);
      continue;
    }
    try {
      std::visit(Dispatcher{*found->second.object, found->second.prog_id, channel, s.socket,
                            s.frame, what, send_ms, *copies_},
                 request);
      APPSERVER_LOG(kDebug) << s.Tag(channel) << what << " " << MillisSince(start) << " ms";
    } catch (const remote::DeadlinePassed&) {
      APPSERVER_LOG(kWarning) << s.Tag(channel) << "disconnected: " << msg::ReplyNotRead(send_ms);
      s.socket.SetAbortiveClose();  // what it did not read is dropped, not kept for it
      return;
    } catch (const remote::ConnectionLost&) {
      throw;
    } catch (const std::exception& e) {
      APPSERVER_LOG(kWarning) << s.Tag(channel) << what << " failed: " << msg::LogText(e);
      // A request without a reply (closing a result) fails silently, as it would succeed.
      if (!std::holds_alternative<wire::CloseCursorRequest>(request)) reply(channel, e.what());
    }
    if (s.frame.capacity() > kKeptBufferBytes) std::string().swap(s.frame);
    if (s.payload.capacity() > kKeptBufferBytes) std::string().swap(s.payload);
  }
}

}  // namespace appserver
