// A blocking TCP socket and the framing of protocol messages on it: Winsock on Windows, POSIX
// sockets elsewhere. Every failure is thrown as remote::ServerError with a message that names
// what failed.
//
// Frame: a 4-byte little-endian payload length, then the payload (one protocol message). A
// length above the reader's limit is refused before anything is allocated for it, and the buffer
// grows only as bytes actually arrive (in steps of kFrameReadStep), so a peer cannot make the
// reader reserve memory by announcing a large frame: a reader holds at most about twice what it
// has received, plus one step.
//
// Deadlines (the server's): a read may be bounded by when a frame must begin and by when it must
// be complete, a send by when the peer must have taken the whole frame. They are points in time,
// not times without progress, so a peer that trickles bytes cannot stretch them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "remote/server_object.h"

namespace remote {

// The peer closed the connection or it failed while a message was under way.
class ConnectionLost : public ServerError {
 public:
  using ServerError::ServerError;
};

// A deadline of a read or send passed: the frame under way was not completed in time.
class DeadlinePassed : public ConnectionLost {
 public:
  using ConnectionLost::ConnectionLost;
};

using Deadline = std::chrono::steady_clock::time_point;
inline constexpr Deadline kNoDeadline = Deadline::max();

class Socket {
 public:
#ifdef _WIN32
  using Native = uintptr_t;  // SOCKET
#else
  using Native = int;
#endif
  static const Native kInvalid;

  Socket() : fd_(kInvalid) {}
  explicit Socket(Native fd) : fd_(fd) {}
  ~Socket() {
    Close();
  }
  Socket(Socket&& o) noexcept : fd_(o.fd_) {
    o.fd_ = kInvalid;
  }
  Socket& operator=(Socket&& o) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Connects to `host` (a name or a numeric IPv4/IPv6 address) within `timeout_ms`.
  static Socket Connect(const std::string& host, uint16_t port, int timeout_ms);

  bool valid() const {
    return fd_ != kInvalid;
  }
  Native native() const {
    return fd_;
  }

  void SendAll(const char* data, std::size_t size);
  // Sends everything, throwing DeadlinePassed when the peer has not taken it all by `deadline`
  // (POSIX; elsewhere as SendAll).
  void SendAllBy(const char* data, std::size_t size, Deadline deadline);
  // Waits until a read would not block; false when `deadline` passed first.
  bool WaitReadable(Deadline deadline);
  // Reads up to `size` bytes; 0 when the peer closed the connection.
  std::size_t RecvSome(char* data, std::size_t size);
  // 0 turns the timeout off. A read that times out throws ConnectionLost.
  void SetRecvTimeout(int timeout_ms);
  // 0 turns the timeout off. A send that cannot proceed for this long throws ConnectionLost.
  void SetSendTimeout(int timeout_ms);
  void SetNoDelay();
  void SetKeepAlive();
  // Closing then resets the connection and drops whatever is still queued for the peer, rather
  // than keeping it (and the memory it takes) until a peer that stopped reading takes it.
  void SetAbortiveClose();
  // Ends both directions: a thread blocked reading this socket returns. The handle stays open.
  void Shutdown();
  // Ends the sending direction only: the peer reads what was sent, then the end of the stream.
  void ShutdownSend();
  void Close();

 private:
  Native fd_;
};

// Makes the socket library usable (WSAStartup on Windows); idempotent.
void InitSockets();

inline constexpr std::size_t kFrameHeaderSize = 4;

// Starts a frame in `out`: leaves room for the header; append the payload, then SendFrame.
inline void BeginFrame(std::string& out) {
  out.assign(kFrameHeaderSize, '\0');
}
// Fills in the header of a frame begun with BeginFrame and sends it; with a deadline, the peer
// must have taken the whole frame by then (Socket::SendAllBy).
void SendFrame(Socket& socket, std::string& frame, Deadline deadline = kNoDeadline);

enum class FrameStatus { kOk, kClosed, kTooLarge, kIdle };

// When a frame read must begin and end.
struct FrameDeadlines {
  Deadline begin_by = kNoDeadline;  // the first byte of the frame by then, else kIdle
  Deadline end_by = kNoDeadline;    // every byte by then
  int frame_ms = 0;                 // once begun, the whole frame within this (0: no limit)
};

// The step in which a frame's buffer grows as its bytes arrive.
inline constexpr std::size_t kFrameReadStep = std::size_t{64} << 10;

// Reads one frame's payload into `payload`. kClosed: the peer closed the connection cleanly
// before a new frame began. kTooLarge: the announced length exceeds `max_payload`
// (`*announced` receives it); nothing of the payload has been read. kIdle: no byte of a frame
// arrived by `deadlines->begin_by`. A connection that ends inside a frame throws ConnectionLost;
// a frame begun but not complete by its deadline throws DeadlinePassed.
FrameStatus ReadFrame(Socket& socket, std::string& payload, std::size_t max_payload,
                      std::size_t* announced = nullptr, const FrameDeadlines* deadlines = nullptr);

// The last socket error as text.
std::string LastSocketError();

// The name of this computer as it names itself (Windows: its NetBIOS name; elsewhere the host
// name), UTF-8; empty when the system gives none. Sent in the greeting for the server's log and
// audit trail.
std::string ThisComputerName();

}  // namespace remote
