// The application server's network core: listens on TCP, runs one session per client
// connection and serves the remote object protocol (remote/wire.h) on it.
//
// Guarantees:
// - A connection carries the server object instances of one client (usually all of a module's),
//   each on a channel of its own, created by ProgID through the ObjectCreator after the greeting
//   (and after the site-key proof when the server holds a key). Only the connection's own thread
//   calls them, one request at a time, in the order the requests arrive.
// - When an instance is released, or its connection ends (the client closes it, dies, or sends
//   what cannot be framed), the instance is destroyed at once, on that thread; Stop() ends every
//   connection and returns only after every instance has been destroyed.
// - A failure inside a call goes back to the client as an error carrying its message; the
//   session goes on. A malformed request gets an error and the session goes on; an oversized
//   frame or a failed greeting gets an error and the connection is closed. The server itself
//   never stops for a client's sake.
// - No client holds a slot or memory without end (ServerOptions): connections and instances are
//   counted in all and per computer (address); the whole greeting has one deadline from the
//   connection; a session without a request for the idle limit is closed; a request, once begun,
//   must arrive whole within its limit; each reply frame must be taken by the client within the
//   send limit from the start of its sending, however slowly it reads. A request's buffer grows
//   only as its bytes arrive.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "remote/client_settings.h"
#include "remote/server_object.h"
#include "remote/socket.h"

namespace appserver {

// Creates a server object instance by ProgID; returns nullptr (or throws with the reason) for
// a ProgID it does not know.
using ObjectCreator =
    std::function<std::unique_ptr<remote::ServerObject>(const std::string& prog_id)>;

struct ServerOptions {
  std::string listen_address = "127.0.0.1";
  uint16_t port = remote::kDefaultPort;  // 0: a free port chosen by the system (see port())
  std::string site_key;  // empty: no proof asked; required when listening beyond loopback
  std::size_t max_clients = 256;
  // Connections from one address at once (a module keeps one).
  std::size_t max_clients_per_address = 64;
  // Server object instances at once, each with its database session: in all, and from one
  // address (a module keeps six while its browser is open, one more in the audit editor).
  std::size_t max_objects = 1024;
  std::size_t max_objects_per_address = 128;
  // The ProgIDs the ObjectCreator knows, named to clients in the greeting so that they can
  // refuse an unknown one at once; empty: not named (an unknown one is refused when created).
  std::vector<std::string> prog_ids;
  std::size_t max_request_bytes = std::size_t{4} << 20;
  // The whole greeting (Hello and, with a site key, the proof) within this from the connection.
  int handshake_timeout_ms = 10000;
  // A session that sends no request for this long is closed (its instance destroyed).
  int idle_timeout_ms = 8 * 3600 * 1000;
  // A request whose first byte has arrived must arrive whole within this.
  int request_timeout_ms = 60000;
  // Each reply frame must be taken by the client within this from the start of its sending; a
  // client that does not is disconnected (its instance destroyed).
  int send_timeout_ms = 120000;
};

class StartError : public remote::ServerError {
 public:
  using remote::ServerError::ServerError;
};

// The address of the client computer whose instance the ObjectCreator is creating: set on the
// session's thread while the creator runs (so that the instance can name its client, e.g. in the
// audit trail), empty anywhere else.
std::string CreatingForAddress();
// The name that client computer gave itself in its greeting (empty when it gave none).
std::string CreatingForComputerName();

// Whether a numeric or named address lies in 127.0.0.0/8 or is ::1 (every address it resolves
// to, for a name).
bool IsLoopbackAddress(const std::string& address);

class AppServer {
 public:
  struct ListCopies;

  AppServer(ServerOptions options, ObjectCreator creator);
  ~AppServer();  // Stop()
  AppServer(const AppServer&) = delete;
  AppServer& operator=(const AppServer&) = delete;

  // Binds, listens and starts accepting clients. Throws StartError (address in use, a
  // non-loopback address without site key, ...).
  void Start();
  // The port listened on (the chosen one when the options asked for 0).
  uint16_t port() const { return port_; }
  // Stops accepting, ends every session and waits until every instance is destroyed.
  // Idempotent.
  void Stop();

  // Connections whose instances have not all been destroyed yet (including those still in the
  // greeting).
  std::size_t SessionCount() const;
  // Waits until SessionCount() == n; false after `timeout_ms`.
  bool WaitForSessionCount(std::size_t n, int timeout_ms) const;
  // Server object instances not destroyed yet.
  std::size_t ObjectCount() const;
  bool WaitForObjectCount(std::size_t n, int timeout_ms) const;

 private:
  struct Session;
  void AcceptLoop();
  void RunSession(Session& session);
  bool Handshake(Session& session);
  void Serve(Session& session);
  void Create(Session& session, uint32_t channel, const std::string& prog_id);
  void Release(Session& session, uint32_t channel);
  void ReapFinished();
  void Refuse(remote::Socket& socket, const std::string& peer, const std::string& message);

  ServerOptions options_;
  ObjectCreator creator_;
  remote::Socket listener_;
  uint16_t port_ = 0;
  int wake_pipe_[2] = {-1, -1};
  std::thread accept_thread_;
  bool started_ = false;

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::map<uint64_t, std::unique_ptr<Session>> sessions_;
  std::map<std::string, std::size_t> per_address_;  // live sessions by the client's address
  std::map<std::string, std::size_t> objects_per_address_;
  std::size_t live_ = 0;
  std::size_t objects_ = 0;
  uint64_t next_id_ = 1;
  bool stopping_ = false;
  // Accept thread only: giving freed memory back to the system after sessions ended.
  bool trim_due_ = false;
  std::chrono::steady_clock::time_point last_trim_;
  std::unique_ptr<ListCopies> copies_;
};

}  // namespace appserver
