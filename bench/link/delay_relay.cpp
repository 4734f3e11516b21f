// qmdw_delay_relay: a TCP relay that stands in for the distance between an operator's computer
// and the application server. It accepts connections, opens one to the target for each, and
// passes the bytes on in both directions, each of them held back for a fixed one-way delay, so
// that a request and its reply cost one round-trip time, as they do over a WAN link. Bandwidth is
// not its concern (the link simulator shapes the network device for that).
//
// It also counts what the link carries, per run:
//   connections   TCP connections opened (each costs one round trip for its handshake: the
//                 client's first bytes are held until one round-trip time after the accept);
//   bytes_up/down payload bytes client -> server and server -> client;
//   exchanges     turns of the conversation: bytes from the server that follow bytes from the
//                 client (a request answered, however many frames either side sent);
//   round_trips   connections + exchanges: what a client waits for on a link whose latency
//                 dominates.
// The counts are written as JSON to the stats file when the relay ends (SIGTERM, SIGINT).
//
//   qmdw_delay_relay --target HOST:PORT [--listen ADDR] [--port N] [--port-file FILE]
//                    [--one-way-ms D] [--stats FILE]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

struct Chunk {
  Clock::time_point due;
  std::string bytes;
  size_t sent = 0;
};

// One direction of one relayed connection: bytes read from `from`, written to `to` when due.
struct Direction {
  int from = -1, to = -1;
  std::deque<Chunk> queue;
  bool read_closed = false;  // `from` sent its end; `to` is shut down once the queue is empty
  bool shut = false;
};

struct Pair {
  Direction up, down;        // up: client -> server
  Clock::time_point usable;  // the client's bytes go no earlier (the handshake's round trip)
  bool last_was_up = false;
  bool dead = false;
};

struct Stats {
  uint64_t connections = 0, bytes_up = 0, bytes_down = 0, exchanges = 0;
};

int Listen(const std::string& address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0) return -1;
  return fd;
}

int BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  return ntohs(a.sin_port);
}

int ConnectTo(const std::string& host, const std::string& port) {
  addrinfo hints{}, *res = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0) return -1;
  int fd = -1;
  for (addrinfo* r = res; r != nullptr; r = r->ai_next) {
    fd = socket(r->ai_family, r->ai_socktype, r->ai_protocol);
    if (fd >= 0 && connect(fd, r->ai_addr, r->ai_addrlen) == 0) break;
    if (fd >= 0) close(fd);
    fd = -1;
  }
  freeaddrinfo(res);
  return fd;
}

void Prepare(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Reads what `d.from` has; returns false when the pair is broken.
bool ReadSide(Direction& d, Clock::time_point due, uint64_t& counter) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(d.from, buf, sizeof buf);
    if (n > 0) {
      d.queue.push_back({due, std::string(buf, static_cast<size_t>(n)), 0});
      counter += static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0) {
      d.read_closed = true;
      return true;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  }
}

// Writes the chunks that are due; returns false when the pair is broken.
bool WriteSide(Direction& d, Clock::time_point now) {
  while (!d.queue.empty() && d.queue.front().due <= now) {
    Chunk& c = d.queue.front();
    ssize_t n = write(d.to, c.bytes.data() + c.sent, c.bytes.size() - c.sent);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c.sent += static_cast<size_t>(n);
    if (c.sent < c.bytes.size()) return true;
    d.queue.pop_front();
  }
  if (d.read_closed && d.queue.empty() && !d.shut) {
    shutdown(d.to, SHUT_WR);
    d.shut = true;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen_address = "127.0.0.1", target, port_file, stats_file;
  int port = 0;
  double one_way_ms = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--target") {
      target = v;
    } else if (k == "--listen") {
      listen_address = v;
    } else if (k == "--port") {
      port = std::stoi(v);
    } else if (k == "--port-file") {
      port_file = v;
    } else if (k == "--one-way-ms") {
      one_way_ms = std::stod(v);
    } else if (k == "--stats") {
      stats_file = v;
    } else {
      target.clear();
      break;
    }
  }
  const size_t colon = target.rfind(':');
  if (target.empty() || colon == std::string::npos) {
    std::cerr << "usage: qmdw_delay_relay --target HOST:PORT [--listen ADDR] [--port N] "
                 "[--port-file FILE] [--one-way-ms D] [--stats FILE]\n";
    return 2;
  }
  const std::string target_host = target.substr(0, colon), target_port = target.substr(colon + 1);
  const auto delay = std::chrono::microseconds(static_cast<int64_t>(one_way_ms * 1000));

  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
  const int listener = Listen(listen_address, port);
  if (listener < 0) {
    std::cerr << "qmdw_delay_relay: cannot listen on " << listen_address << ":" << port << ": "
              << std::strerror(errno) << "\n";
    return 1;
  }
  if (!port_file.empty()) std::ofstream(port_file) << BoundPort(listener) << "\n";

  Stats stats;
  std::vector<std::unique_ptr<Pair>> pairs;
  while (g_stop == 0) {
    const Clock::time_point now = Clock::now();
    // Wake for the nearest chunk that falls due.
    int timeout_ms = 200;
    for (auto& p : pairs)
      for (Direction* d : {&p->up, &p->down})
        if (!d->queue.empty()) {
          auto wait = std::chrono::ceil<std::chrono::milliseconds>(d->queue.front().due - now);
          timeout_ms = std::min<int>(timeout_ms, std::max<int>(0, static_cast<int>(wait.count())));
        }
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    for (auto& p : pairs) {
      for (Direction* d : {&p->up, &p->down}) {
        short want = d->read_closed ? 0 : POLLIN;
        fds.push_back({d->from, want, 0});
        bool due = !d->queue.empty() && d->queue.front().due <= now;
        fds.push_back({d->to, static_cast<short>(due ? POLLOUT : 0), 0});
      }
    }
    if (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) break;
    if ((fds[0].revents & POLLIN) != 0) {
      int client = accept(listener, nullptr, nullptr);
      if (client >= 0) {
        int server = ConnectTo(target_host, target_port);
        if (server < 0) {
          close(client);
        } else {
          Prepare(client);
          Prepare(server);
          auto p = std::make_unique<Pair>();
          p->up.from = p->down.to = client;
          p->up.to = p->down.from = server;
          p->usable = Clock::now() + 2 * delay;
          pairs.push_back(std::move(p));
          ++stats.connections;
        }
      }
    }
    const Clock::time_point t = Clock::now();
    for (auto& p : pairs) {
      const uint64_t up_before = stats.bytes_up, down_before = stats.bytes_down;
      bool ok = ReadSide(p->up, std::max(t, p->usable) + delay, stats.bytes_up) &&
                ReadSide(p->down, t + delay, stats.bytes_down);
      if (stats.bytes_up > up_before) p->last_was_up = true;
      if (stats.bytes_down > down_before && p->last_was_up) {
        ++stats.exchanges;
        p->last_was_up = false;
      }
      ok = ok && WriteSide(p->up, t) && WriteSide(p->down, t);
      const bool finished = p->up.shut && p->down.shut;
      if (!ok || finished) {
        close(p->up.from);
        close(p->up.to);
        p->dead = true;
      }
    }
    std::erase_if(pairs, [](const std::unique_ptr<Pair>& p) { return p->dead; });
  }
  if (!stats_file.empty()) {
    std::ofstream out(stats_file);
    out << "{\"connections\": " << stats.connections << ", \"bytes_up\": " << stats.bytes_up
        << ", \"bytes_down\": " << stats.bytes_down << ", \"exchanges\": " << stats.exchanges
        << ", \"round_trips\": " << stats.connections + stats.exchanges << "}\n";
  }
  return 0;
}
