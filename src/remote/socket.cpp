#include "remote/socket.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "remote/messages.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace remote {

#ifdef _WIN32
const Socket::Native Socket::kInvalid = static_cast<Socket::Native>(INVALID_SOCKET);
#else
const Socket::Native Socket::kInvalid = -1;
#endif

namespace {

#ifdef _WIN32
int LastErrorCode() {
  return WSAGetLastError();
}
bool Interrupted(int) {
  return false;
}
bool TimedOut(int code) {
  return code == WSAETIMEDOUT;
}
#else
int LastErrorCode() {
  return errno;
}
bool Interrupted(int code) {
  return code == EINTR;
}
bool TimedOut(int code) {
  return code == EAGAIN || code == EWOULDBLOCK;
}
#endif

std::string ErrorText(int code) {
#ifdef _WIN32
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&buf), 0, nullptr);
  std::string text;
  if (n && buf) {
    int len =
        WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(len));
    WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), text.data(), len, nullptr, nullptr);
    LocalFree(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
      text.pop_back();
  }
  return text.empty() ? "socket error " + std::to_string(code) : text;
#else
  return std::strerror(code);
#endif
}

void CloseNative(Socket::Native fd) {
#ifdef _WIN32
  closesocket(static_cast<SOCKET>(fd));
#else
  ::close(fd);
#endif
}

void SetBlocking(Socket::Native fd, bool blocking) {
#ifdef _WIN32
  u_long mode = blocking ? 0 : 1;
  ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &mode);
#else
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
#endif
}

// Connects one address, waiting at most `timeout_ms`; returns 0 or the error code.
int ConnectWithTimeout(Socket::Native fd, const sockaddr* addr, socklen_t len, int timeout_ms) {
  SetBlocking(fd, false);
  int rc = ::connect(fd, addr, len);
  if (rc != 0) {
    int code = LastErrorCode();
#ifdef _WIN32
    if (code != WSAEWOULDBLOCK) return code;
    fd_set wr, ex;
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(static_cast<SOCKET>(fd), &wr);
    FD_SET(static_cast<SOCKET>(fd), &ex);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int n = select(0, nullptr, &wr, &ex, &tv);
    if (n == 0) return WSAETIMEDOUT;
    if (n < 0) return LastErrorCode();
#else
    if (code != EINPROGRESS) return code;
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
      n = ::poll(&p, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return ETIMEDOUT;
    if (n < 0) return errno;
#endif
    int err = 0;
    socklen_t elen = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &elen);
    if (err != 0) return err;
  }
  SetBlocking(fd, true);
  return 0;
}

}  // namespace

void InitSockets() {
#ifdef _WIN32
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
#endif
}

std::string LastSocketError() {
  return ErrorText(LastErrorCode());
}

std::string ThisComputerName() {
#ifdef _WIN32
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &n) || n == 0) return {};
  int len =
      WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(n), text.data(), len, nullptr, nullptr);
  return text;
#else
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
#endif
}

Socket& Socket::operator=(Socket&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = o.fd_;
    o.fd_ = kInvalid;
  }
  return *this;
}

Socket Socket::Connect(const std::string& host, uint16_t port, int timeout_ms) {
  InitSockets();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0 || !list) {
    throw msg::Error(msg::ServerNotFound(host));
  }
  std::string last_error = "no address";
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    Native fd = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd == kInvalid) {
      last_error = LastSocketError();
      continue;
    }
    int code =
        ConnectWithTimeout(fd, ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen), timeout_ms);
    if (code == 0) {
      freeaddrinfo(list);
      Socket s(fd);
      s.SetNoDelay();
      s.SetKeepAlive();
      return s;
    }
    last_error = ErrorText(code);
    CloseNative(fd);
  }
  freeaddrinfo(list);
  throw msg::Error(msg::CannotConnect(host + ":" + service, last_error));
}

namespace {

// Milliseconds left until `deadline`, rounded up, at most a day (waits are repeated).
int MillisUntil(Deadline deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, 86400000));
}

// Waits until `fd` can be read (or written) or `deadline` passes; true when it can (or the socket
// failed, which the next call reports).
bool WaitFor(Socket::Native fd, bool for_write, Deadline deadline) {
  for (;;) {
    const int ms = MillisUntil(deadline);
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(fd), &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    const int n =
        for_write ? select(0, nullptr, &set, nullptr, &tv) : select(0, &set, nullptr, nullptr, &tv);
#else
    pollfd p{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    const int n = ::poll(&p, 1, ms);
#endif
    if (n > 0) return true;
    if (n < 0 && !Interrupted(LastErrorCode())) return true;
    if (n == 0 && std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace

bool Socket::WaitReadable(Deadline deadline) {
  if (deadline == kNoDeadline) return true;
  return WaitFor(fd_, /*for_write=*/false, deadline);
}

void Socket::SendAllBy(const char* data, std::size_t size, Deadline deadline) {
#ifdef _WIN32
  (void)deadline;
  SendAll(data, size);
#else
  if (deadline == kNoDeadline) return SendAll(data, size);
  while (size > 0) {
    if (!WaitFor(fd_, /*for_write=*/true, deadline)) {
      throw DeadlinePassed("the peer did not take the reply within the time allowed");
    }
    const ssize_t n = ::send(fd_, data, std::min<std::size_t>(size, std::size_t{1} << 30),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      const int code = LastErrorCode();
      if (Interrupted(code) || TimedOut(code)) continue;
      throw ConnectionLost("the connection was lost while sending: " + ErrorText(code));
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
#endif
}

void Socket::SendAll(const char* data, std::size_t size) {
  while (size > 0) {
    int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
#ifdef _WIN32
    int n = ::send(static_cast<SOCKET>(fd_), data, chunk, 0);
#else
    ssize_t n = ::send(fd_, data, static_cast<std::size_t>(chunk), MSG_NOSIGNAL);
#endif
    if (n < 0) {
      int code = LastErrorCode();
      if (Interrupted(code)) continue;
      if (TimedOut(code)) throw ConnectionLost("the peer stopped reading");
      throw ConnectionLost("the connection was lost while sending: " + ErrorText(code));
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::size_t Socket::RecvSome(char* data, std::size_t size) {
  int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
  for (;;) {
#ifdef _WIN32
    int n = ::recv(static_cast<SOCKET>(fd_), data, chunk, 0);
#else
    ssize_t n = ::recv(fd_, data, static_cast<std::size_t>(chunk), 0);
#endif
    if (n >= 0) return static_cast<std::size_t>(n);
    int code = LastErrorCode();
    if (Interrupted(code)) continue;
    if (TimedOut(code)) throw ConnectionLost("no answer within the time allowed");
    throw ConnectionLost("the connection was lost: " + ErrorText(code));
  }
}

void Socket::SetRecvTimeout(int timeout_ms) {
#ifdef _WIN32
  DWORD tv = static_cast<DWORD>(timeout_ms);
#else
  timeval tv{timeout_ms / 1000, static_cast<suseconds_t>(timeout_ms % 1000) * 1000};
#endif
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&tv), sizeof tv);
}

void Socket::SetSendTimeout(int timeout_ms) {
#ifdef _WIN32
  DWORD tv = static_cast<DWORD>(timeout_ms);
#else
  timeval tv{timeout_ms / 1000, static_cast<suseconds_t>(timeout_ms % 1000) * 1000};
#endif
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&tv), sizeof tv);
}

void Socket::SetNoDelay() {
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void Socket::SetKeepAlive() {
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
}

void Socket::SetAbortiveClose() {
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

void Socket::Shutdown() {
  if (!valid()) return;
#ifdef _WIN32
  ::shutdown(static_cast<SOCKET>(fd_), SD_BOTH);
#else
  ::shutdown(fd_, SHUT_RDWR);
#endif
}

void Socket::ShutdownSend() {
  if (!valid()) return;
#ifdef _WIN32
  ::shutdown(static_cast<SOCKET>(fd_), SD_SEND);
#else
  ::shutdown(fd_, SHUT_WR);
#endif
}

void Socket::Close() {
  if (valid()) {
    CloseNative(fd_);
    fd_ = kInvalid;
  }
}

void SendFrame(Socket& socket, std::string& frame, Deadline deadline) {
  uint32_t n = static_cast<uint32_t>(frame.size() - kFrameHeaderSize);
  for (int i = 0; i < 4; ++i) frame[static_cast<std::size_t>(i)] = static_cast<char>(n >> (8 * i));
  socket.SendAllBy(frame.data(), frame.size(), deadline);
}

FrameStatus ReadFrame(Socket& socket, std::string& payload, std::size_t max_payload,
                      std::size_t* announced, const FrameDeadlines* deadlines) {
  const FrameDeadlines none;
  const FrameDeadlines& d = deadlines ? *deadlines : none;
  Deadline frame_deadline = d.end_by;  // once the first byte is in
  auto wait = [&](bool begun) {
    if (!begun) return socket.WaitReadable(std::min(d.begin_by, d.end_by));
    if (socket.WaitReadable(frame_deadline)) return true;
    throw DeadlinePassed("the message did not arrive whole within the time allowed");
  };
  unsigned char header[kFrameHeaderSize];
  std::size_t got = 0;
  while (got < kFrameHeaderSize) {
    if (!wait(got > 0)) return FrameStatus::kIdle;
    std::size_t n = socket.RecvSome(reinterpret_cast<char*>(header) + got, kFrameHeaderSize - got);
    if (n == 0) {
      if (got == 0) return FrameStatus::kClosed;
      throw ConnectionLost("the connection ended inside a message");
    }
    if (got == 0 && d.frame_ms > 0) {
      frame_deadline = std::min(
          d.end_by, std::chrono::steady_clock::now() + std::chrono::milliseconds(d.frame_ms));
    }
    got += n;
  }
  std::size_t size =
      static_cast<std::size_t>(header[0]) | (static_cast<std::size_t>(header[1]) << 8) |
      (static_cast<std::size_t>(header[2]) << 16) | (static_cast<std::size_t>(header[3]) << 24);
  if (announced) *announced = size;
  if (size > max_payload) return FrameStatus::kTooLarge;
  // Grow with the bytes that arrive, a step at a time, never by the announced size alone.
  payload.clear();
  std::size_t have = 0;
  while (have < size) {
    const std::size_t target = std::min(size, have + kFrameReadStep);
    payload.resize(target);
    while (have < target) {
      wait(true);
      std::size_t n = socket.RecvSome(payload.data() + have, target - have);
      if (n == 0) throw ConnectionLost("the connection ended inside a message");
      have += n;
    }
  }
  return FrameStatus::kOk;
}

}  // namespace remote
