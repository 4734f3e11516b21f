#include "tests/support/test_app_server.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "remote/connection.h"
#include "remote/socket.h"
#include "server/demo_data.h"
#include "server/net/log.h"
#include "server/objects.h"

namespace testsupport {
namespace {

const char* PgUrl() {
  const char* url = std::getenv("QMDW_PG_URL");
  return url && *url ? url : nullptr;
}

// A server object whose connection ends when the client calls `drop_at`.
class DroppingObject : public remote::ServerObject {
 public:
  DroppingObject(std::unique_ptr<remote::ServerObject> inner, std::string drop_at)
      : inner_(std::move(inner)), drop_at_(std::move(drop_at)) {}

  remote::OpenResult Open(const remote::OpenRequest& request) override {
    return inner_->Open(request);
  }
  void Prefetch(const remote::OpenRequest& request) override { inner_->Prefetch(request); }
  remote::Packet Fetch(uint32_t cursor, int32_t count) override {
    return inner_->Fetch(cursor, count);
  }
  void CloseCursor(uint32_t cursor) override { inner_->CloseCursor(cursor); }
  void Execute(const std::string& provider, const std::vector<remote::Param>& params,
               const std::string& command_text) override {
    inner_->Execute(provider, params, command_text);
  }
  remote::ApplyResult ApplyUpdates(const std::string& provider,
                                   const std::vector<remote::RowDelta>& delta,
                                   int32_t max_errors) override {
    return inner_->ApplyUpdates(provider, delta, max_errors);
  }
  remote::Value Call(const std::string& method, std::vector<remote::Value>& args) override {
    if (method == drop_at_)
      throw remote::ConnectionLost("the test ends the connection at " + method);
    return inner_->Call(method, args);
  }

 private:
  std::unique_ptr<remote::ServerObject> inner_;
  std::string drop_at_;
};

}  // namespace

std::vector<Backend> AvailableBackends() {
  std::vector<Backend> b = {Backend::kSQLite};
  if (PgUrl()) b.push_back(Backend::kPostgreSQL);
  return b;
}

std::string BackendName(Backend backend) {
  return backend == Backend::kSQLite ? "SQLite" : "PostgreSQL";
}

TestAppServer::TestAppServer(Backend backend)
    : TestAppServer(TestAppServerOptions(backend, true, {})) {}

TestAppServer::TestAppServer(const TestAppServerOptions& options) : backend_(options.backend) {
  if (appserver::GetLogLevel() == appserver::LogLevel::kInfo)
    appserver::SetLogLevel(appserver::LogLevel::kWarning);

  server::StorageOptions storage_options;
  storage_options.busy_timeout_ms = options.busy_timeout_ms;
  if (backend_ == Backend::kSQLite) {
    std::string pattern = (std::filesystem::temp_directory_path() / "qmdw-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
    temp_dir_ = pattern;
    url_ = "sqlite:" + temp_dir_ + "/qmdw.db";
  } else {
    if (!PgUrl()) throw std::runtime_error("QMDW_PG_URL is not set");
    static std::atomic<int> counter{0};
    url_ = PgUrl();
    pg_schema_ = "qmdw_t" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    storage_options.pg_schema = pg_schema_;
  }
  storage_ = server::OpenStorage(url_, storage_options);
  if (options.small_demo) server::CreateDemoData(*storage_, server::DemoSet::kSmall);

  appserver::ServerOptions server_options = options.server;
  server_options.port = 0;
  server_options.site_key = options.site_key;
  if (server_options.prog_ids.empty()) server_options.prog_ids = server::HostedProgIds();
  server::StorageFactory* storage = storage_.get();
  const std::string drop_at = options.drop_connection_at;
  server_ = std::make_unique<appserver::AppServer>(
      server_options,
      [storage, drop_at](const std::string& prog_id) -> std::unique_ptr<remote::ServerObject> {
        server::ClientInfo client;
        client.address = appserver::CreatingForAddress();
        client.computer_name = appserver::CreatingForComputerName();
        auto object = server::CreateServerObject(prog_id, *storage, client);
        if (drop_at.empty() || !object) return object;
        return std::make_unique<DroppingObject>(std::move(object), drop_at);
      });
  server_->Start();

  if (const char* old = std::getenv("QMDW_SERVER_PORT")) saved_port_env_ = old;
  setenv("QMDW_SERVER_PORT", std::to_string(server_->port()).c_str(), 1);
  remote::SetObjectFactory({});
}

TestAppServer::~TestAppServer() {
  server_->Stop();
  server_.reset();
  if (saved_port_env_)
    setenv("QMDW_SERVER_PORT", saved_port_env_->c_str(), 1);
  else
    unsetenv("QMDW_SERVER_PORT");
  if (!pg_schema_.empty()) {
    try {
      storage_->NewSession()->ExecuteScript("DROP SCHEMA IF EXISTS " + pg_schema_ + " CASCADE");
    } catch (const std::exception&) {
    }
  }
  storage_.reset();
  if (!temp_dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(temp_dir_, ec);
  }
}

}  // namespace testsupport
