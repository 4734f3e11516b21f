// A real application server for tests: the network core in-process with the real server
// objects, on a free loopback port, over a fresh temporary database holding the small demo set.
//
// While it exists, QMDW_SERVER_PORT names its port and the TCP factory is the installed object
// factory, so every remote::Connection with an empty computer name reaches it (as do Windows
// programs started under Wine from the test, which inherit the environment). computer_name()
// gives the explicit "127.0.0.1:PORT". Destroying it stops the server (every instance
// destroyed, open transactions rolled back), restores the environment and removes the database.
//
// Backends: SQLite always; PostgreSQL when QMDW_PG_URL names a database (scripts/with-postgres
// provides one). On PostgreSQL each fixture keeps its tables in a schema of its own, dropped
// afterwards, so that test programs can share one cluster and run in parallel.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/net/app_server.h"
#include "server/storage.h"

namespace testsupport {

enum class Backend { kSQLite, kPostgreSQL };

// SQLite, and PostgreSQL when QMDW_PG_URL is set.
std::vector<Backend> AvailableBackends();
// "SQLite" / "PostgreSQL" (for test names).
std::string BackendName(Backend backend);

struct TestAppServerOptions {
  TestAppServerOptions() = default;
  TestAppServerOptions(Backend backend, bool small_demo, std::string site_key)
      : backend(backend), small_demo(small_demo), site_key(std::move(site_key)) {}

  Backend backend = Backend::kSQLite;
  bool small_demo = true;  // false: empty tables
  std::string site_key;    // clients must prove it when set
  // The network core's limits; its port (a free one) and site key are the fixture's.
  appserver::ServerOptions server;
  // How long a writer waits for another (server::StorageOptions::busy_timeout_ms).
  int busy_timeout_ms = server::StorageOptions().busy_timeout_ms;
  // A method name: a client's call of it ends the client's connection before the call runs, as a
  // broken link would (the server rolls back what the connection left open). Empty: none.
  std::string drop_connection_at;
};

class TestAppServer {
 public:
  explicit TestAppServer(Backend backend = Backend::kSQLite);
  explicit TestAppServer(const TestAppServerOptions& options);
  ~TestAppServer();
  TestAppServer(const TestAppServer&) = delete;
  TestAppServer& operator=(const TestAppServer&) = delete;

  uint16_t port() const { return server_->port(); }
  std::string computer_name() const { return "127.0.0.1:" + std::to_string(port()); }
  Backend backend() const { return backend_; }
  // The database as `appserver --database` takes it (SQLite: "sqlite:PATH").
  const std::string& database_url() const { return url_; }

  // Direct access to the database, for setting up and checking what the server stored.
  server::StorageFactory& storage() { return *storage_; }
  appserver::AppServer& server() { return *server_; }

 private:
  Backend backend_;
  std::string url_;
  std::string temp_dir_;
  std::string pg_schema_;
  std::optional<std::string> saved_port_env_;
  std::unique_ptr<server::StorageFactory> storage_;
  std::unique_ptr<appserver::AppServer> server_;
};

}  // namespace testsupport
