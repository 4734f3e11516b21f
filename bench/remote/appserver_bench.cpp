// The application server over loopback TCP with its real server objects, on the large demo set:
//   stock list  opening dsp_xstzxkc0_ck (~150,000 rows), decoded into rows on the client,
//               against the same SELECT through the SQLite C API alone (every column read),
//               measured back to back in each run: the first open (no copy of the list kept by
//               the client; goal: ratio at most 2) and the reopen of the unchanged list (the
//               client's copy confirmed by the server; goal: ratio at most 1);
//   first packet  opening the document list (FLAG "1", packets of 10) until its first packet
//               has arrived (goal: under 5 ms).
// The database is $QMDW_BENCH_DB (default /tmp/qmdw_bench_large.sqlite, shared with
// bench/server), created with the large set when it does not hold it yet.
// Usage: bench_appserver [REPEATS] [--json FILE]   (default 7; medians are printed)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "remote/connection.h"
#include "remote/list_cache.h"
#include "remote/tcp_client.h"
#include "server/demo_data.h"
#include "server/net/app_server.h"
#include "server/net/log.h"
#include "server/objects.h"
#include "server/objects_log.h"
#include "server/storage.h"

namespace {

const char* kStockSelect =
    "SELECT SPDM00, CKDM00, KCBZ00, KCSL00 FROM XSTZXKC0 WHERE substr(KCBZ00, 1, 2) = 'CK' "
    "ORDER BY SPDM00, CKDM00, KCBZ00";

std::string DbPath() {
  const char* p = std::getenv("QMDW_BENCH_DB");
  return p && *p ? p : "/tmp/qmdw_bench_large.sqlite";
}

std::size_t RawSelect(sqlite3* db) {
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, kStockSelect, -1, &st, nullptr);
  std::size_t rows = 0, bytes = 0;
  double sum = 0;
  while (sqlite3_step(st) == SQLITE_ROW) {
    for (int c = 0; c < 3; ++c) {
      sqlite3_column_text(st, c);
      bytes += static_cast<std::size_t>(sqlite3_column_bytes(st, c));
    }
    sum += sqlite3_column_double(st, 3);
    ++rows;
  }
  sqlite3_finalize(st);
  if (sum < 0 && bytes == 0) std::printf(" ");
  return rows;
}

template <typename F>
double TimeMs(F&& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int repeats = 7;
  std::string json;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--json" && i + 1 < argc) {
      json = argv[++i];
    } else {
      repeats = std::atoi(argv[i]);
    }
  }
  appserver::SetLogLevel(appserver::LogLevel::kError);
  server::SetLogLevel(server::LogLevel::kWarning);

  auto storage = server::OpenStorage("sqlite:" + DbPath());
  {
    auto db = storage->NewSession();
    auto rows = db->Query("SELECT COUNT(*) FROM QMDWLRT1");
    if (!(rows->Next() && rows->Integer(0) == 100000)) {
      rows.reset();
      std::fprintf(stderr, "creating the large demo set in %s ...\n", DbPath().c_str());
      server::CreateDemoData(*storage, server::DemoSet::kLarge);
    }
  }

  appserver::ServerOptions options;
  options.port = 0;
  appserver::AppServer app(options, [&storage](const std::string& prog_id) {
    return server::CreateServerObject(prog_id, *storage);
  });
  app.Start();
  std::string computer = "127.0.0.1:" + std::to_string(app.port());
  auto systran = remote::ConnectServerObject(computer, remote::kProgIdSysTran);
  auto commu = remote::ConnectServerObject(computer, remote::kProgIdCommunicate);

  sqlite3* db = nullptr;
  sqlite3_open_v2(DbPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);

  remote::OpenRequest stock;
  stock.provider = "dsp_xstzxkc0_ck";
  remote::OpenRequest list;
  list.provider = "dsp_qmdwlrt1";
  list.params.push_back({"CKDM00", remote::ParamType::Text, remote::ParamDirection::Input, {}});
  list.params.push_back(
      {"FLAG", remote::ParamType::Text, remote::ParamDirection::Input, remote::Value::Text("1")});
  list.packet_records = 10;

  std::vector<double> raw, open, ratio, reopen, reopen_ratio, first;
  std::size_t raw_rows = 0, open_rows = 0, reopen_rows = 0;
  systran->Open(stock);  // warm the page cache for both
  for (int r = 0; r < repeats; ++r) {
    double s = TimeMs([&] { raw_rows = RawSelect(db); });
    remote::OpenResult result;
    remote::ListCache::Process().Clear();  // a first open: no copy kept
    double o = TimeMs([&] { result = systran->Open(stock); });
    open_rows = result.packet.rows.size();
    result = {};
    double s2 = TimeMs([&] { raw_rows = RawSelect(db); });
    double o2 = TimeMs([&] { result = systran->Open(stock); });  // the copy confirmed
    reopen_rows = result.packet.rows.size();
    result = {};
    raw.push_back(s);
    open.push_back(o);
    ratio.push_back(o / s);
    reopen.push_back(o2);
    reopen_ratio.push_back(o2 / s2);
    remote::OpenResult page;
    first.push_back(TimeMs([&] { page = commu->Open(list); }));
    if (page.cursor) commu->CloseCursor(page.cursor);
  }
  sqlite3_close(db);
  systran.reset();
  commu.reset();
  app.Stop();

  std::printf("database %s: %zu stock rows by the SELECT, %zu opened, %zu reopened\n",
              DbPath().c_str(), raw_rows, open_rows, reopen_rows);
  std::printf("%-52s %10s\n", "measure (median of runs)", "ms");
  std::printf("%-52s %10.2f\n", "SELECT through the SQLite C API", Median(raw));
  std::printf("%-52s %10.2f\n", "open dsp_xstzxkc0_ck over loopback, decoded", Median(open));
  std::printf("%-52s %10.2f\n", "ratio open / SELECT (goal <= 2)", Median(ratio));
  std::printf("%-52s %10.2f\n", "reopen of the unchanged list, decoded", Median(reopen));
  std::printf("%-52s %10.2f\n", "ratio reopen / SELECT (goal <= 1)", Median(reopen_ratio));
  std::printf("%-52s %10.3f\n", "first packet of the document list (goal < 5)", Median(first));
  if (!json.empty()) {
    std::ofstream(json) << "{\"select_ms\": " << Median(raw) << ", \"open_ms\": " << Median(open)
                        << ", \"open_ratio\": " << Median(ratio)
                        << ", \"reopen_ms\": " << Median(reopen)
                        << ", \"reopen_ratio\": " << Median(reopen_ratio)
                        << ", \"first_packet_ms\": " << Median(first) << "}\n";
  }
  return Median(ratio) <= 2.0 && Median(reopen_ratio) <= 1.0 && Median(first) < 5.0 ? 0 : 1;
}
