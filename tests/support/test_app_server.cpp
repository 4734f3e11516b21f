#include "tests/support/test_app_server.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "remote/connection.h"
#include "server/demo_data.h"
#include "server/net/log.h"
#include "server/objects.h"

namespace testsupport {
namespace {

const char* PgUrl() {
  const char* url = std::getenv("QMDW_PG_URL");
  return url && *url ? url : nullptr;
}

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
  server_ =
      std::make_unique<appserver::AppServer>(server_options, [storage](const std::string& prog_id) {
        server::ClientInfo client;
        client.address = appserver::CreatingForAddress();
        return server::CreateServerObject(prog_id, *storage, client);
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
