// The frame reader as the server runs it: a stream of bytes from a peer, read frame by frame
// with the request limit, each payload decoded as a client message (after the first, the
// greeting, behind its channel). Any stream ends in a clean
// close, a refused length, a lost connection or a protocol error, never in a crash or an
// allocation the bytes did not pay for.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "remote/socket.h"
#include "remote/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 60000) return 0;  // must fit the socket buffer: the writer does not wait
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
  int buf = 1 << 20;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fds[0], data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  close(fds[0]);
  remote::Socket socket(fds[1]);
  std::string payload;
  bool greeted = false;
  constexpr size_t kLimit = 4096;  // small limit, so that refused lengths are reached too
  for (;;) {
    remote::FrameStatus status;
    try {
      status = remote::ReadFrame(socket, payload, kLimit);
    } catch (const remote::ConnectionLost&) {
      break;
    }
    if (status != remote::FrameStatus::kOk) break;
    if (payload.size() > kLimit) std::abort();
    try {
      // After the greeting every frame names its channel first.
      std::string_view bytes = payload;
      if (greeted) remote::wire::TakeChannel(bytes);
      remote::wire::DecodeClientMessage(bytes);
    } catch (const remote::ProtocolError&) {
    }
    greeted = true;
  }
  return 0;
}
