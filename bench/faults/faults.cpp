// qmdw_faults: kills the application server (or operators' connections) at random points during
// audits and cancels, and checks after every trial that the stock ledger holds only whole
// operations: every document fully audited with its stock lowered once, or not audited with its
// stock unchanged.
//
//   qmdw_faults --database URL [--target server|client] [--trials N] [--clients C] [--hot K]
//               [--seed X] [--work DIR] [--appserver PATH]
//
// A trial starts C operators (qmdw_loadgen client) against the server; they audit and cancel the
// K newest documents. The trial aims at one moment, in turn: right before an operator's "保存"
// click, right after a save's stock batch (TranPara) returned and before its apply, right after
// a cancel's transaction began ("sustarttran"), or a random time after the operators are ready;
// it waits a random delay (up to 1.5 ms, 0.2 ms, 6 ms, 1.5 s) and then
// kills with SIGKILL either the server (target server: the server is restarted on the same
// database) or the aiming operator's process (target client: its connections drop in the middle
// of what it was doing; the server stays up). Every remaining operator is killed too. Then the
// database is checked directly: no write lock may remain held (a dropped transaction must have
// been rolled back), and the ledger must satisfy the invariants of load::CheckLedger against the
// state before the first trial.
//
// With the server's debug log the tool also counts where the kills landed: with a save's stock
// batch pending (TranPara done, its apply not) or with a cancel's transaction open. Exit status 0
// when no trial found a violation.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ledger.h"
#include "process.h"

namespace {

struct Options {
  std::string database, target = "server", work, appserver;
  int trials = 200, clients = 4, hot = 20;
  uint64_t seed = 1;
};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Client {
  pid_t pid = -1;
  int out = -1;
};

// Where the kill landed, read from the server's debug log of the trial: per session whether a
// save's stock batch was pending (TranPara logged, its apply not yet) or a cancel's transaction
// open (sustarttran logged, no sucommit/surollback yet) when the server died (what is still
// pending at the end of the log) or when the session's connection dropped.
struct Landing {
  int pending_saves = 0;  // at the end of the log (the server was killed)
  int open_cancels = 0;
  int dropped_saves = 0;    // connections that dropped with a pending save
  int dropped_cancels = 0;  // ... inside a cancel's transaction
};

Landing ReadLanding(const std::string& log, std::streamoff from) {
  std::ifstream in(log);
  in.seekg(from);
  std::map<std::string, int> save, tx;  // session -> 1 while pending / open
  Landing l;
  std::string line;
  while (std::getline(in, line)) {
    auto s = line.find("session ");
    if (s == std::string::npos) continue;
    auto e = line.find("): ", s);
    if (e == std::string::npos) continue;
    std::string session = line.substr(s + 8, line.find(' ', s + 8) - s - 8);
    std::string what = line.substr(e + 3);
    if (what.rfind("Call TranPara", 0) == 0) save[session] = 1;
    if (what.rfind("ApplyUpdates", 0) == 0) save[session] = 0;
    if (what.rfind("Call sustarttran", 0) == 0) tx[session] = 1;
    if (what.rfind("Call sucommit", 0) == 0 || what.rfind("Call surollback", 0) == 0)
      tx[session] = 0;
    if (what.find("disconnected") != std::string::npos) {
      l.dropped_saves += save[session];
      l.dropped_cancels += tx[session];
      save[session] = tx[session] = 0;
    }
  }
  for (auto& [k, v] : save) l.pending_saves += v;
  for (auto& [k, v] : tx) l.open_cancels += v;
  return l;
}

// A dropped transaction must not keep the write lock: a writer gets through in time.
std::string ProbeNoLockHeld(server::StorageFactory& storage) {
  try {
    auto db = storage.NewSession();
    if (db->dialect() == server::Dialect::kPostgreSQL) db->Execute("SET lock_timeout = '20s'");
    db->Begin();
    // Touches every stock row the operators work on, and the document table.
    db->Execute("UPDATE XSTZXKC0 SET KCSL00 = KCSL00 WHERE KCBZ00 = 'YW' AND CKDM00 = '0B'");
    db->Execute("UPDATE QMDWLRT1 SET YWRY00 = YWRY00 WHERE DHAO00 < 0");
    db->Rollback();
    return "";
  } catch (const std::exception& e) {
    return std::string("a writer could not get through after the trial: ") + e.what();
  }
}

int Run(const Options& o) {
  const std::string dir = load::ProgramDir();
  std::filesystem::create_directories(o.work);
  auto storage = server::OpenStorage(o.database);
  auto db = storage->NewSession();
  int64_t newest = 0;
  {
    auto r = db->Query("SELECT MAX(DHAO00) FROM QMDWLRT1");
    if (r->Next() && !r->IsNull(0)) newest = std::llround(r->Float(0));
  }
  const load::Ledger start = load::ReadLedger(*db);
  std::mt19937_64 rng(o.seed);
  const std::string log = o.work + "/appserver.log";
  std::filesystem::remove(log);
  load::AppServerProcess server(o.appserver.empty() ? dir + "/appserver" : o.appserver, o.database,
                                log, "debug");
  const bool kill_server = o.target == "server";

  int violations_total = 0, trials_with_violation = 0, aimed_missed = 0;
  int landed_save = 0, landed_cancel = 0;
  std::map<char, int> aims;
  int64_t t_begin = NowMs();
  for (int trial = 1; trial <= o.trials; ++trial) {
    if (!server.Running()) server.Start();
    std::streamoff log_from = 0;
    {
      std::ifstream in(log, std::ios::ate);
      if (in) log_from = in.tellg();
    }
    const char aim = "STBU"[trial % 4];
    aims[aim]++;
    std::vector<Client> clients(static_cast<size_t>(o.clients));
    for (int i = 0; i < o.clients; ++i) {
      clients[i].pid =
          load::Spawn({dir + "/qmdw_loadgen", "client", "--host", server.Host(), "--user",
                       std::to_string(1001 + i), "--hot", std::to_string(o.hot), "--newest",
                       std::to_string(newest), "--seconds", "60", "--seed",
                       std::to_string(o.seed * 100000 + trial * 100 + i), "--marks"},
                      "", o.work + "/clients.err", &clients[i].out);
    }
    // Wait for the aim.
    int aimer = -1;
    int64_t deadline = NowMs() + 30000;
    int64_t uniform_at = -1;
    while (NowMs() < deadline && aimer < 0) {
      std::vector<pollfd> fds;
      for (auto& c : clients) fds.push_back({c.out, POLLIN, 0});
      int wait_ms = 50;
      if (uniform_at >= 0) wait_ms = static_cast<int>(std::max<int64_t>(0, uniform_at - NowMs()));
      poll(fds.data(), fds.size(), wait_ms);
      for (size_t i = 0; i < fds.size() && aimer < 0; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buf[256];
        ssize_t n = read(clients[i].out, buf, sizeof buf);
        for (ssize_t k = 0; k < n; ++k) {
          if (aim == 'U' && buf[k] == 'R' && uniform_at < 0) {
            uniform_at = NowMs() + std::uniform_int_distribution<int>(0, 1500)(rng);
          }
          if (buf[k] == aim) aimer = static_cast<int>(i);
        }
      }
      if (uniform_at >= 0 && NowMs() >= uniform_at) aimer = 0;
    }
    if (aimer < 0) {
      ++aimed_missed;
      aimer = 0;
    }
    // The delay after the aimed moment: a save is two round trips, a cancel about twenty.
    int delay_us = 0;
    if (aim == 'S') delay_us = std::uniform_int_distribution<int>(0, 1500)(rng);
    if (aim == 'T') delay_us = std::uniform_int_distribution<int>(0, 200)(rng);
    if (aim == 'B') delay_us = std::uniform_int_distribution<int>(0, 6000)(rng);
    if (delay_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    if (kill_server) {
      server.Kill();
    } else {
      kill(clients[aimer].pid, SIGKILL);
    }
    // Give the others a moment to go on (a dropped client's server session ends meanwhile).
    if (!kill_server) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (auto& c : clients) {
      kill(c.pid, SIGKILL);
      load::Wait(c.pid);
      close(c.out);
    }
    if (kill_server) {
      Landing l = ReadLanding(log, log_from);
      if (l.pending_saves > 0) ++landed_save;
      if (l.open_cancels > 0) ++landed_cancel;
    } else {
      // The server notices the dropped connections and rolls their work back; its log shows
      // what was under way on each.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      Landing l = ReadLanding(log, log_from);
      if (l.dropped_saves > 0) ++landed_save;
      if (l.dropped_cancels > 0) ++landed_cancel;
    }
    std::vector<std::string> v;
    std::string probe = ProbeNoLockHeld(*storage);
    if (!probe.empty()) v.push_back(probe);
    const load::Ledger now = load::ReadLedger(*db);
    load::LedgerCheck check = load::CheckLedger(*db, start, now, nullptr);
    v.insert(v.end(), check.violations.begin(), check.violations.end());
    if (!v.empty()) {
      ++trials_with_violation;
      violations_total += static_cast<int>(v.size());
      std::cout << "trial " << trial << " (aim " << aim << ", delay " << delay_us
                << " us): " << v.size() << " violations\n";
      for (size_t i = 0; i < v.size() && i < 10; ++i) std::cout << "  VIOLATION " << v[i] << "\n";
    }
    if (trial % 20 == 0 || trial == o.trials) {
      std::cout << "after " << trial << " trials: " << check.docs_audited
                << " documents audited and " << check.docs_cancelled
                << " cancelled since the start; " << violations_total << " violations so far ("
                << (NowMs() - t_begin) / 1000 << " s)\n"
                << std::flush;
    }
  }
  server.Stop();
  std::cout << "target " << o.target << ": " << o.trials << " trials (aimed at the save click "
            << aims['S'] << ", at the pending stock batch " << aims['T']
            << ", at the cancel's open transaction " << aims['B'] << ", at random " << aims['U']
            << "; aim not seen within 30 s: " << aimed_missed << ")";
  std::cout << (kill_server ? "; the kill landed" : "; connections dropped")
            << " with a save's stock batch pending in " << landed_save
            << " trials and inside a cancel's transaction in " << landed_cancel
            << " (as the server's log shows: a lower bound)";
  std::cout << "\n"
            << trials_with_violation << " trials with violations, " << violations_total
            << " violations\n";
  std::cout << "RESULT {\"target\":\"" << o.target << "\",\"trials\":" << o.trials
            << ",\"landed_save\":" << landed_save << ",\"landed_cancel\":" << landed_cancel
            << ",\"violations\":" << violations_total
            << ",\"seconds\":" << (NowMs() - t_begin) / 1000 << "}\n";
  return violations_total == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options o;
  o.work = "/tmp/qmdw_faults." + std::to_string(getpid());
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--database")
      o.database = v;
    else if (k == "--target")
      o.target = v;
    else if (k == "--trials")
      o.trials = std::stoi(v);
    else if (k == "--clients")
      o.clients = std::stoi(v);
    else if (k == "--hot")
      o.hot = std::stoi(v);
    else if (k == "--seed")
      o.seed = std::stoull(v);
    else if (k == "--work")
      o.work = v;
    else if (k == "--appserver")
      o.appserver = v;
    else {
      std::cerr << "qmdw_faults: unknown option " << k << "\n";
      return 2;
    }
  }
  if (o.database.empty() || (o.target != "server" && o.target != "client")) {
    std::cerr << "usage: qmdw_faults --database URL [--target server|client] [--trials N] "
                 "[--clients C] [--hot K] [--seed X]\n";
    return 2;
  }
  try {
    return Run(o);
  } catch (const std::exception& e) {
    std::cerr << "qmdw_faults: " << e.what() << "\n";
    return 2;
  }
}
