// appserver: the application server process. Hosts the five server objects over TCP on an
// SQLite or PostgreSQL database; see UsageText() for the command line.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "remote/client_settings.h"
#include "server/demo_data.h"
#include "server/net/admin_commands.h"
#include "server/net/app_server.h"
#include "server/net/log.h"
#include "server/net/options.h"
#include "server/objects.h"
#include "server/objects_log.h"
#include "server/storage.h"
#include "server/trail.h"

namespace {

// The server objects log through the process's log.
void RouteObjectLog(appserver::LogLevel level) {
  server::SetLogLevel(static_cast<server::LogLevel>(
      std::min(static_cast<int>(level), static_cast<int>(server::LogLevel::kError))));
  server::SetLogSink([](server::LogLevel l, std::string_view message) {
    appserver::WriteLog(static_cast<appserver::LogLevel>(static_cast<int>(l)),
                        std::string(message));
  });
}

int Run(const appserver::CommandLine& cl) {
  appserver::SetLogLevel(cl.log_level);
  RouteObjectLog(cl.log_level);

  // SIGINT and SIGTERM are taken by sigwait below; every thread started from here on inherits
  // the blocked mask, so no thread is interrupted by them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  appserver::ServerOptions options = cl.server;
  options.prog_ids = server::HostedProgIds();  // named to clients in the greeting
  if (!cl.site_key_file.empty()) options.site_key = remote::ReadSiteKeyFile(cl.site_key_file);

  // The audit trail's hash chain is keyed with the trail key, else with the site key.
  std::string trail_key = options.site_key;
  if (!cl.trail_key_files.empty()) trail_key = remote::ReadSiteKeyFile(cl.trail_key_files.front());
  server::trail::SetKey(trail_key);
  if (cl.command == appserver::CommandLine::Command::kServe) {
    if (trail_key.empty()) {
      APPSERVER_LOG(kWarning) << "the audit trail is not keyed (no --trail-key or --site-key): a "
                                 "change of the trail made by someone who recomputes its hashes "
                                 "is not found by appserver check";
    } else {
      APPSERVER_LOG(kInfo) << "the audit trail is keyed (key id " << server::trail::KeyId(trail_key)
                           << ")";
    }
  }

  server::SetObjectOptions(cl.objects);
  if (cl.storage.busy_timeout_ms <= cl.objects.transaction_limit.count()) {
    APPSERVER_LOG(kWarning) << "--busy-timeout is not longer than --transaction-limit: a writer "
                               "queued behind another client's transaction may be turned away";
  }
  std::unique_ptr<server::StorageFactory> storage = server::OpenStorage(cl.database, cl.storage);
  APPSERVER_LOG(kInfo) << "database " << storage->Describe();

  if (cl.command == appserver::CommandLine::Command::kDemo) {
    // CreateDemoData logs what it created.
    server::CreateDemoData(
        *storage, cl.demo_set == "large" ? server::DemoSet::kLarge : server::DemoSet::kSmall);
    return 0;
  }

  appserver::AppServer app(options, [&storage](const std::string& prog_id) {
    server::ClientInfo client;
    client.address = appserver::CreatingForAddress();
    client.computer_name = appserver::CreatingForComputerName();
    return server::CreateServerObject(prog_id, *storage, client);
  });
  app.Start();
  if (!cl.port_file.empty()) {
    std::ofstream(cl.port_file) << app.port() << "\n";
  }

  int sig = 0;
  sigwait(&stop_signals, &sig);
  APPSERVER_LOG(kInfo) << "received " << (sig == SIGTERM ? "SIGTERM" : "SIGINT")
                       << ", shutting down";
  app.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  signal(SIGPIPE, SIG_IGN);
  if (const int rc = appserver::RunAdminCommand(args, std::cout, std::cerr); rc >= 0) return rc;
  appserver::CommandLine cl;
  try {
    cl = appserver::ParseCommandLine(args);
  } catch (const appserver::UsageError& e) {
    std::cerr << "appserver: " << e.what() << "\n\n"
              << appserver::UsageText() << "\n"
              << appserver::AdminUsageText();
    return 2;
  }
  if (cl.command == appserver::CommandLine::Command::kHelp) {
    std::cout << appserver::UsageText() << "\nThe administrator's commands:\n"
              << appserver::AdminUsageText();
    return 0;
  }
  try {
    return Run(cl);
  } catch (const std::exception& e) {
    appserver::WriteLog(appserver::LogLevel::kError, server::msg::LogText(e));
    return 1;
  }
}
