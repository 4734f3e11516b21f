// qmdw_loadgen: N operators audit and cancel documents at the same time through the module's own
// windows against a real application server, then the stock ledger is checked in the database.
//
//   qmdw_loadgen run --database URL [--clients N] [--seconds S] [--hot K] [--seed X]
//                    [--appservers A] [--stock-writer] [--appserver PATH] [--json FILE]
//                    [--work DIR]
//   qmdw_loadgen client --host H [--user U] [--hot K] [--newest N] [--seconds S] [--ops M]
//                       [--seed X] [--out FILE] [--marks]
//   qmdw_loadgen list-check --hosts H1,H2 --seconds S --out FILE
//
// `run` starts A application servers (default 1) on the database (which must hold the large
// demo set or any set whose newest documents are to be worked on), reads the ledger, starts N
// `client` processes (each one showdll call, one operator; operator i works through server
// i mod A) that work on the K newest documents for S seconds, stops the servers, checks the
// ledger and prints throughput and latencies. With --stock-writer it also changes the stock list
// while the operators work: a writer in this process commits a new quantity of one "CK" row of
// the last goods in warehouse "29" (the marker) every 50 ms, by plain SQL on its own database
// connection, and a `list-check` process reopens the stock list through each server in turn,
// as the module does, and records the marker it saw: a list that showed a marker older than one
// committed before the open began is stale, and counts as a violation. Exit status 0 when every
// invariant held and no operator met an unforeseen error; 1 otherwise; 2 for a bad command line.
//
// `client` runs one operator; with --marks it writes one character to stdout at the moments a
// fault injector aims at (see load::OperatorOptions::on_mark).
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ledger.h"
#include "operator.h"
#include "process.h"
#include "remote/connection.h"
#include "remote/tcp_client.h"

namespace {

using Json = nlohmann::json;

struct Args {
  std::map<std::string, std::string> values;
  std::vector<std::string> flags;
  std::string Get(const std::string& k, const std::string& def = "") const {
    auto it = values.find(k);
    return it == values.end() ? def : it->second;
  }
  bool Has(const std::string& f) const {
    return std::find(flags.begin(), flags.end(), f) != flags.end();
  }
};

Args Parse(int argc, char** argv, int from) {
  Args a;
  for (int i = from; i < argc; ++i) {
    std::string k = argv[i];
    if (k.rfind("--", 0) != 0) throw std::runtime_error("unexpected argument " + k);
    k = k.substr(2);
    if (k == "marks" || k == "keep" || k == "stock-writer") {
      a.flags.push_back(k);
    } else if (i + 1 < argc) {
      a.values[k] = argv[++i];
    } else {
      throw std::runtime_error("--" + k + " needs a value");
    }
  }
  return a;
}

void EmitMark(char m) {
  // One byte, unbuffered, so that the injector sees it at once.
  ssize_t n = write(1, &m, 1);
  (void)n;
}

class MarkingObject : public remote::ServerObject {
 public:
  explicit MarkingObject(std::unique_ptr<remote::ServerObject> inner) : inner_(std::move(inner)) {}
  remote::OpenResult Open(const remote::OpenRequest& r) override { return inner_->Open(r); }
  remote::Packet Fetch(uint32_t c, int32_t n) override { return inner_->Fetch(c, n); }
  void CloseCursor(uint32_t c) override { inner_->CloseCursor(c); }
  void Execute(const std::string& p, const std::vector<remote::Param>& params,
               const std::string& text) override {
    inner_->Execute(p, params, text);
  }
  remote::ApplyResult ApplyUpdates(const std::string& p, const std::vector<remote::RowDelta>& d,
                                   int32_t max_errors) override {
    return inner_->ApplyUpdates(p, d, max_errors);
  }
  remote::Value Call(const std::string& method, std::vector<remote::Value>& args) override {
    remote::Value v = inner_->Call(method, args);
    if (method == "TranPara") EmitMark('T');
    if (method == "sustarttran") EmitMark('B');
    return v;
  }

 private:
  std::unique_ptr<remote::ServerObject> inner_;
};

int Client(const Args& a) {
  load::OperatorOptions o;
  o.server_host = a.Get("host");
  o.user_code = a.Get("user", "1001");
  o.hot_documents = std::stoi(a.Get("hot", "200"));
  o.newest_doc = std::stoll(a.Get("newest", "100000"));
  o.seconds = std::stod(a.Get("seconds", "10"));
  o.max_ops = std::stoi(a.Get("ops", "0"));
  o.seed = std::stoull(a.Get("seed", "1"));
  const bool marks = a.Has("marks");
  std::ofstream out;
  if (!a.Get("out").empty()) out.open(a.Get("out"));
  if (marks) {
    o.on_mark = EmitMark;
    // The moments inside the module's own server calls: the save's stock batch has been run and
    // waits for its apply ('T'), the cancel's transaction has begun ('B'). The wrapper only
    // watches; every request goes to the server unchanged.
    remote::ObjectFactory tcp = remote::GetObjectFactory();
    remote::SetObjectFactory([tcp](const std::string& computer, const std::string& prog_id) {
      return std::unique_ptr<remote::ServerObject>(
          std::make_unique<MarkingObject>(tcp(computer, prog_id)));
    });
  }
  o.on_op = [&out](const load::OpRecord& r) {
    if (!out.is_open()) return;
    std::string msg = r.message;
    std::replace(msg.begin(), msg.end(), '\t', ' ');
    std::replace(msg.begin(), msg.end(), '\n', ' ');
    std::replace(msg.begin(), msg.end(), '\r', ' ');
    out << r.kind << '\t' << r.doc << '\t' << r.outcome << '\t' << r.start_us << '\t' << r.total_us
        << '\t' << r.save_us << '\t' << msg << '\n';
    out.flush();
  };
  load::OperatorResult result = load::RunOperator(o);
  if (out.is_open()) out << "#activation_us\t" << result.activation_us << '\n';
  if (!result.failure.empty()) {
    std::cerr << "qmdw_loadgen client: " << result.failure << "\n";
    return 1;
  }
  return 0;
}

// The stock list's marker row: the writer's stamps go into it.
constexpr const char* kMarkerGoods = "20005000";
constexpr const char* kMarkerWarehouse = "29";

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Reopens the stock list through each server in turn, the copy of the list kept as the module
// keeps it, and writes one line per open: the servers' index, the time the open began and
// ended, and the marker's quantity in the list.
int ListCheck(const Args& a) {
  std::vector<std::string> hosts;
  std::stringstream list(a.Get("hosts"));
  for (std::string h; std::getline(list, h, ',');) hosts.push_back(h);
  if (hosts.empty()) throw std::runtime_error("list-check needs --hosts");
  const double seconds = std::stod(a.Get("seconds", "10"));
  std::ofstream out(a.Get("out"));
  std::vector<std::unique_ptr<remote::ServerObject>> objects;
  for (const std::string& h : hosts)
    objects.push_back(remote::ConnectServerObject(h, remote::kProgIdSysTran));
  remote::OpenRequest stock;
  stock.provider = "dsp_xstzxkc0_ck";
  const int64_t end = NowUs() + static_cast<int64_t>(seconds * 1e6);
  for (std::size_t i = 0; NowUs() < end; ++i) {
    const std::size_t k = i % objects.size();
    const int64_t begun = NowUs();
    remote::OpenResult r = objects[k]->Open(stock);
    const int64_t done = NowUs();
    double marker = -1;
    for (const remote::Row& row : r.packet.rows) {
      if (row.cells[0].is_text() && row.cells[0].text() == kMarkerGoods && row.cells[1].is_text() &&
          row.cells[1].text() == kMarkerWarehouse) {
        marker = row.cells[3].is_float() ? row.cells[3].float_value() : -1;
      }
    }
    out << k << '\t' << begun << '\t' << done << '\t' << marker << '\t' << r.packet.rows.size()
        << '\n';
    out.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

double Percentile(std::vector<int64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  if (rank == 0) rank = 1;
  return static_cast<double>(v[rank - 1]) / 1000.0;  // ms
}

Json Stats(const std::vector<int64_t>& us) {
  Json j;
  j["count"] = us.size();
  j["p50_ms"] = Percentile(us, 50);
  j["p99_ms"] = Percentile(us, 99);
  j["max_ms"] =
      us.empty() ? 0.0 : static_cast<double>(*std::max_element(us.begin(), us.end())) / 1000.0;
  return j;
}

double LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double l = 0;
  in >> l;
  return l;
}

int RunLoad(const Args& a) {
  const std::string database = a.Get("database");
  if (database.empty()) throw std::runtime_error("run needs --database URL");
  const int clients = std::stoi(a.Get("clients", "8"));
  const std::string seconds = a.Get("seconds", "20");
  const std::string hot = a.Get("hot", "200");
  const uint64_t seed = std::stoull(a.Get("seed", "1"));
  const std::string dir = load::ProgramDir();
  const std::string work = a.Get("work", "/tmp/qmdw_load." + std::to_string(getpid()));
  std::filesystem::create_directories(work);

  auto storage = server::OpenStorage(database);
  auto db = storage->NewSession();
  int64_t newest = 0;
  {
    auto r = db->Query("SELECT MAX(DHAO00) FROM QMDWLRT1");
    if (r->Next() && !r->IsNull(0)) newest = std::llround(r->Float(0));
  }
  if (newest == 0) throw std::runtime_error("the database holds no documents");
  const load::Ledger start = load::ReadLedger(*db);

  const int appservers = std::max(1, std::stoi(a.Get("appservers", "1")));
  const bool stock_writer = a.Has("stock-writer");
  if (stock_writer) {
    // The marker starts below every stamp, so that no earlier quantity passes for a new one.
    db->Execute("UPDATE XSTZXKC0 SET KCSL00 = 0 WHERE SPDM00 = ? AND CKDM00 = ? AND KCBZ00 = 'CK'",
                {remote::Value::Text(kMarkerGoods), remote::Value::Text(kMarkerWarehouse)});
  }
  std::vector<std::unique_ptr<load::AppServerProcess>> servers;
  std::string hosts;
  for (int k = 0; k < appservers; ++k) {
    servers.push_back(
        std::make_unique<load::AppServerProcess>(a.Get("appserver", dir + "/appserver"), database,
                                                 work + "/appserver" + std::to_string(k) + ".log"));
    servers.back()->Start();
    hosts += (k ? "," : "") + servers.back()->Host();
  }
  const double load_before = LoadAverage();
  std::vector<pid_t> pids;
  std::vector<std::string> outs;
  for (int i = 0; i < clients; ++i) {
    std::string out = work + "/client" + std::to_string(i) + ".tsv";
    outs.push_back(out);
    pids.push_back(load::Spawn(
        {dir + "/qmdw_loadgen", "client", "--host", servers[i % appservers]->Host(), "--user",
         std::to_string(1001 + i % 50), "--hot", hot, "--newest", std::to_string(newest),
         "--seconds", seconds, "--seed", std::to_string(seed * 1000 + i), "--out", out},
        "", work + "/client" + std::to_string(i) + ".err"));
  }
  // The stock list changing under the operators: stamps committed by plain SQL, and a checker
  // reopening the list through every server.
  std::vector<std::pair<int64_t, double>> stamps;  // commit finished, stamp
  pid_t checker = -1;
  const std::string checks = work + "/list-check.tsv";
  std::thread writer;
  if (stock_writer) {
    checker = load::Spawn({dir + "/qmdw_loadgen", "list-check", "--hosts", hosts, "--seconds",
                           seconds, "--out", checks},
                          "", work + "/list-check.err");
    writer = std::thread([&] {
      auto session = storage->NewSession();
      const int64_t end = NowUs() + static_cast<int64_t>(std::stod(seconds) * 1e6);
      for (double stamp = 1; NowUs() < end; ++stamp) {
        session->Execute(
            "UPDATE XSTZXKC0 SET KCSL00 = ? WHERE SPDM00 = ? AND CKDM00 = ? AND KCBZ00 = 'CK'",
            {remote::Value::Float(stamp), remote::Value::Text(kMarkerGoods),
             remote::Value::Text(kMarkerWarehouse)});
        stamps.emplace_back(NowUs(), stamp);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  int client_failures = 0;
  for (pid_t p : pids)
    if (load::Wait(p) != 0) ++client_failures;
  if (writer.joinable()) writer.join();
  if (checker > 0 && load::Wait(checker) != 0) ++client_failures;
  const double load_after = LoadAverage();
  for (auto& server : servers) server->Stop();

  // Collect the operators' records.
  std::vector<int64_t> audit_us, save_us, cancel_us, activation_us;
  std::map<std::string, int> outcomes;
  std::map<std::string, int> messages;  // outcome and message, document numbers as N
  std::map<int64_t, int> net;
  int64_t first = INT64_MAX, last = 0, ops = 0;
  std::vector<std::string> errors;
  for (const auto& path : outs) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream f(line);
      std::vector<std::string> c;
      std::string cell;
      while (std::getline(f, cell, '\t')) c.push_back(cell);
      if (c.size() >= 2 && c[0] == "#activation_us") {
        activation_us.push_back(std::stoll(c[1]));
        continue;
      }
      if (c.size() < 6) continue;
      const char kind = c[0][0];
      const int64_t doc = std::stoll(c[1]);
      const std::string& outcome = c[2];
      const int64_t s = std::stoll(c[3]), total = std::stoll(c[4]), save = std::stoll(c[5]);
      outcomes[std::string(1, kind) + ":" + outcome]++;
      if (c.size() >= 7 && !c[6].empty()) {
        std::string m;
        for (size_t k = 0; k < c[6].size(); ++k) {
          // A number (not a digit inside a name such as YWRQ00) becomes N.
          const bool in_name = k > 0 && std::isalnum(static_cast<unsigned char>(c[6][k - 1])) &&
                               !m.empty() && m.back() != 'N';
          if (std::isdigit(static_cast<unsigned char>(c[6][k])) && !in_name) {
            if (m.empty() || m.back() != 'N') m += 'N';
          } else {
            m += c[6][k];
          }
        }
        messages[outcome + ": " + m]++;
      }
      ++ops;
      first = std::min(first, s);
      last = std::max(last, s + total);
      if (outcome == "audited") {
        net[doc] += 1;
        audit_us.push_back(total);
        if (save >= 0) save_us.push_back(save);
      } else if (outcome == "cancelled") {
        net[doc] -= 1;
        cancel_us.push_back(total);
      } else if (outcome == "error") {
        errors.push_back(path + ": " + line);
      }
      if (kind == 'A' && outcome != "audited") net.emplace(doc, 0);
      if (kind == 'C' && outcome != "cancelled") net.emplace(doc, 0);
    }
  }
  const load::Ledger end = load::ReadLedger(*db);
  load::LedgerCheck check = load::CheckLedger(*db, start, end, &net);
  // Every list the checker saw: its marker no older than the last stamp committed before the
  // open began.
  int64_t list_opens = 0;
  std::vector<int64_t> list_open_us;
  if (stock_writer) {
    std::ifstream in(checks);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream f(line);
      int server_index = 0;
      int64_t begun = 0, done = 0;
      double marker = 0;
      f >> server_index >> begun >> done >> marker;
      ++list_opens;
      list_open_us.push_back(done - begun);
      double due = 0;
      for (const auto& [at, stamp] : stamps) {
        if (at < begun) due = stamp;
      }
      if (marker < due) {
        check.violations.push_back("stale stock list through server " +
                                   std::to_string(server_index) + ": marker " +
                                   std::to_string(marker) + " where " + std::to_string(due) +
                                   " had been committed before the open");
      }
    }
    if (list_opens == 0) check.violations.push_back("the list checker opened no list");
  }

  const double wall_s = last > first ? static_cast<double>(last - first) / 1e6 : 0;
  Json r;
  r["backend"] = storage->dialect() == server::Dialect::kSQLite ? "sqlite" : "postgresql";
  r["clients"] = clients;
  r["appservers"] = appservers;
  if (stock_writer) {
    r["stock_stamps"] = stamps.size();
    r["list_opens_checked"] = list_opens;
    r["list_open"] = Stats(list_open_us);
  }
  r["hot_documents"] = std::stoi(hot);
  r["operations"] = ops;
  r["wall_s"] = wall_s;
  r["ops_per_s"] = wall_s > 0 ? static_cast<double>(ops) / wall_s : 0;
  r["successful_per_s"] =
      wall_s > 0 ? static_cast<double>(audit_us.size() + cancel_us.size()) / wall_s : 0;
  r["audit"] = Stats(audit_us);
  r["save"] = Stats(save_us);
  r["cancel"] = Stats(cancel_us);
  r["activation"] = Stats(activation_us);
  r["outcomes"] = outcomes;
  r["messages"] = messages;
  r["docs_audited"] = check.docs_audited;
  r["docs_cancelled"] = check.docs_cancelled;
  r["stock_rows_checked"] = check.stock_rows_checked;
  r["violations"] = check.violations;
  r["client_failures"] = client_failures;
  r["unforeseen_errors"] = errors;
  r["load_average"] = {load_before, load_after};

  std::cout << r["backend"].get<std::string>() << ", " << clients << " clients through "
            << appservers << " application server(s) on the " << hot << " newest documents: " << ops
            << " operations in " << wall_s << " s (" << r["ops_per_s"].get<double>()
            << "/s; audited " << audit_us.size() << ", cancelled " << cancel_us.size() << ")\n";
  std::cout << "  audit (click to list reloaded) p50 " << r["audit"]["p50_ms"] << " ms, p99 "
            << r["audit"]["p99_ms"] << " ms; save click p50 " << r["save"]["p50_ms"] << " ms, p99 "
            << r["save"]["p99_ms"] << " ms; cancel p50 " << r["cancel"]["p50_ms"] << " ms, p99 "
            << r["cancel"]["p99_ms"] << " ms\n";
  std::cout << "  outcomes " << Json(outcomes).dump() << "\n";
  for (const auto& [m, n] : messages) std::cout << "    " << n << " x " << m << "\n";
  if (stock_writer) {
    std::cout << "  stock list: " << stamps.size() << " changes committed by plain SQL, "
              << list_opens << " reopens through " << appservers << " servers checked (p50 "
              << r["list_open"]["p50_ms"] << " ms)\n";
  }
  std::cout << "  ledger: " << check.stock_rows_checked << " stock rows checked, "
            << check.docs_audited << " documents audited and " << check.docs_cancelled
            << " cancelled over the run; " << check.violations.size() << " violations\n";
  for (const auto& v : check.violations) std::cout << "  VIOLATION " << v << "\n";
  for (const auto& e : errors) std::cout << "  UNFORESEEN " << e << "\n";
  if (client_failures > 0)
    std::cout << "  " << client_failures << " operators failed (see " << work << ")\n";
  std::cout << "  load average " << load_before << " -> " << load_after << "\n";
  std::cout << "RESULT " << r.dump() << "\n";
  if (!a.Get("json").empty()) std::ofstream(a.Get("json")) << r.dump(2) << "\n";
  if (!a.Has("keep") && check.violations.empty() && errors.empty() && client_failures == 0)
    std::filesystem::remove_all(work);
  return check.violations.empty() && errors.empty() && client_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: qmdw_loadgen run|client [OPTIONS]\n";
    return 2;
  }
  std::string cmd = argv[1];
  try {
    Args a = Parse(argc, argv, 2);
    if (cmd == "client") return Client(a);
    if (cmd == "run") return RunLoad(a);
    if (cmd == "list-check") return ListCheck(a);
  } catch (const std::exception& e) {
    std::cerr << "qmdw_loadgen: " << e.what() << "\n";
    return 2;
  }
  std::cerr << "usage: qmdw_loadgen run|client [OPTIONS]\n";
  return 2;
}
