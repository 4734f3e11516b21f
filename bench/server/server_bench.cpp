// The server objects on the large demo set: opening the "CK" stock list against the same SELECT
// through the SQLite C API alone, the first packet of the document list, and the throughput of
// audit saves (TranPara with its apply). In-process (the objects called directly) and, for the
// lists, over loopback TCP through the application server, decoded into rows on the client.
//
// The SQLite database is kept in $QMDW_BENCH_DB (default /tmp/qmdw_bench_large.sqlite) and
// created once with the large set. With QMDW_PG_URL set, the same benchmarks run on PostgreSQL
// too (schema qmdw_bench, created once).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "remote/connection.h"
#include "remote/tcp_client.h"
#include "rtl/numtext.h"
#include "server/demo_data.h"
#include "server/net/app_server.h"
#include "server/net/log.h"
#include "server/objects.h"
#include "server/objects_log.h"
#include "server/storage.h"

namespace {

using remote::Value;

std::string SqlitePath() {
  const char* p = std::getenv("QMDW_BENCH_DB");
  return p && *p ? p : "/tmp/qmdw_bench_large.sqlite";
}

// Opens the database and creates the large set when it does not hold it yet.
std::unique_ptr<server::StorageFactory> OpenLarge(const std::string& url,
                                                  const server::StorageOptions& options = {}) {
  auto storage = server::OpenStorage(url, options);
  auto db = storage->NewSession();
  auto rows = db->Query("SELECT COUNT(*) FROM QMDWLRT1");
  const bool ready = rows->Next() && rows->Integer(0) == 100000;
  rows.reset();
  if (!ready) {
    const auto start = std::chrono::steady_clock::now();
    server::CreateDemoData(*storage, server::DemoSet::kLarge);
    std::fprintf(stderr, "large demo set created on %s in %.2f s\n", storage->Describe().c_str(),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return storage;
}

server::StorageFactory& Sqlite() {
  static auto storage = OpenLarge("sqlite:" + SqlitePath());
  return *storage;
}

server::StorageFactory* Postgres() {
  static std::unique_ptr<server::StorageFactory> storage = [] {
    const char* url = std::getenv("QMDW_PG_URL");
    if (!url || !*url) return std::unique_ptr<server::StorageFactory>();
    server::StorageOptions options;
    options.pg_schema = "qmdw_bench";
    return OpenLarge(url, options);
  }();
  return storage.get();
}

server::StorageFactory* Backend(const benchmark::State& state) {
  return state.range(0) == 0 ? &Sqlite() : Postgres();
}

const char* kStockSelect =
    "SELECT SPDM00, CKDM00, KCBZ00, KCSL00 FROM XSTZXKC0 WHERE substr(KCBZ00, 1, 2) = 'CK' "
    "ORDER BY SPDM00, CKDM00, KCBZ00";

void BM_StockListOpen(benchmark::State& state) {
  server::StorageFactory* storage = Backend(state);
  if (!storage) return state.SkipWithError("QMDW_PG_URL is not set");
  auto systran = server::CreateServerObject(remote::kProgIdSysTran, *storage);
  remote::OpenRequest request;
  request.provider = "dsp_xstzxkc0_ck";
  size_t rows = 0;
  for (auto _ : state) {
    remote::OpenResult r = systran->Open(request);
    rows = r.packet.rows.size();
    benchmark::DoNotOptimize(r);
  }
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_StockListOpen)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The application server on a free loopback port, serving the SQLite large set.
appserver::AppServer& LoopbackServer(server::StorageFactory& storage) {
  static std::unique_ptr<appserver::AppServer> app = [&storage] {
    appserver::SetLogLevel(appserver::LogLevel::kError);
    appserver::ServerOptions options;
    options.port = 0;
    auto a = std::make_unique<appserver::AppServer>(options, [&storage](const std::string& id) {
      return server::CreateServerObject(id, storage);
    });
    a->Start();
    return a;
  }();
  return *app;
}

std::unique_ptr<remote::ServerObject> ConnectLoopback(const char* prog_id) {
  return remote::ConnectServerObject("127.0.0.1:" + std::to_string(LoopbackServer(Sqlite()).port()),
                                     prog_id);
}

void BM_StockListOpenLoopback(benchmark::State& state) {
  auto systran = ConnectLoopback(remote::kProgIdSysTran);
  remote::OpenRequest request;
  request.provider = "dsp_xstzxkc0_ck";
  size_t rows = 0;
  for (auto _ : state) {
    remote::OpenResult r = systran->Open(request);
    rows = r.packet.rows.size();
    benchmark::DoNotOptimize(r);
  }
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_StockListOpenLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HeaderListFirstPacketLoopback(benchmark::State& state) {
  auto commu = ConnectLoopback(remote::kProgIdCommunicate);
  remote::OpenRequest request;
  request.provider = "dsp_qmdwlrt1";
  request.params.push_back({"CKDM00", remote::ParamType::Text, remote::ParamDirection::Input, {}});
  request.params.push_back(
      {"FLAG", remote::ParamType::Text, remote::ParamDirection::Input, Value::Text("1")});
  request.packet_records = 10;
  for (auto _ : state) {
    remote::OpenResult r = commu->Open(request);
    commu->CloseCursor(r.cursor);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_HeaderListFirstPacketLoopback)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same SELECT through the SQLite C API alone: every column of every row read once.
void BM_StockListRawSqlite(benchmark::State& state) {
  Sqlite();
  sqlite3* db = nullptr;
  sqlite3_open_v2(SqlitePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, kStockSelect, -1, &stmt, nullptr);
  size_t rows = 0;
  for (auto _ : state) {
    rows = 0;
    size_t bytes = 0;
    double sum = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      for (int c = 0; c < 3; ++c) {
        benchmark::DoNotOptimize(sqlite3_column_text(stmt, c));
        bytes += sqlite3_column_bytes(stmt, c);
      }
      sum += sqlite3_column_double(stmt, 3);
      ++rows;
    }
    sqlite3_reset(stmt);
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(sum);
  }
  state.counters["rows"] = static_cast<double>(rows);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}
BENCHMARK(BM_StockListRawSqlite)->Unit(benchmark::kMillisecond);

// The browser's opening of its document list: FLAG "1", no CKDM00, packets of 10; and a later
// packet deep in the list.
void BM_HeaderListFirstPacket(benchmark::State& state) {
  server::StorageFactory* storage = Backend(state);
  if (!storage) return state.SkipWithError("QMDW_PG_URL is not set");
  auto commu = server::CreateServerObject(remote::kProgIdCommunicate, *storage);
  remote::OpenRequest request;
  request.provider = "dsp_qmdwlrt1";
  request.params.push_back({"CKDM00", remote::ParamType::Text, remote::ParamDirection::Input, {}});
  request.params.push_back(
      {"FLAG", remote::ParamType::Text, remote::ParamDirection::Input, Value::Text("1")});
  request.packet_records = 10;
  for (auto _ : state) {
    remote::OpenResult r = commu->Open(request);
    commu->CloseCursor(r.cursor);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_HeaderListFirstPacket)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_HeaderListNextPacket(benchmark::State& state) {
  server::StorageFactory* storage = Backend(state);
  if (!storage) return state.SkipWithError("QMDW_PG_URL is not set");
  auto commu = server::CreateServerObject(remote::kProgIdCommunicate, *storage);
  remote::OpenRequest request;
  request.provider = "dsp_qmdwlrt1";
  request.packet_records = 10;
  remote::OpenResult r = commu->Open(request);
  size_t fetched = 0;
  for (auto _ : state) {
    remote::Packet p = commu->Fetch(r.cursor, 10);
    fetched += p.rows.size();
    if (!p.more) state.SkipWithError("the list ended");
  }
  state.counters["documents"] = static_cast<double>(fetched);
}
BENCHMARK(BM_HeaderListNextPacket)->Arg(0)->Arg(1)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// The stock batch of an audit save of a document of 10 lines: TranPara with 20 statements, then
// an apply with an empty change log, which names no document, so the server rolls the batch back
// (a commit costs about the same). Counts statements per second.
void BM_TranParaSave(benchmark::State& state) {
  server::StorageFactory* storage = Backend(state);
  if (!storage) return state.SkipWithError("QMDW_PG_URL is not set");
  auto systran = server::CreateServerObject(remote::kProgIdSysTran, *storage);
  std::string batch;
  for (int k = 0; k < 10; ++k) {
    const std::string goods = "2000" + std::string(k < 9 ? "000" : "00") + std::to_string(k + 1);
    for (const char* wh : {"0B", "05"}) {
      if (!batch.empty()) batch += "!";
      batch += "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(0) WHERE SPDM00='" + goods + "' AND CKDM00='" +
               wh + "' AND KCBZ00='YW'";
    }
  }
  for (auto _ : state) {
    std::vector<Value> args = {Value::Text(batch)};
    systran->Call("TranPara", args);
    try {
      systran->ApplyUpdates("dsp_qmdwlrt1", {}, 0);
    } catch (const remote::ServerError&) {
      // refused as expected: the batch was rolled back
    }
  }
  state.SetItemsProcessed(state.iterations() * 20);
}
BENCHMARK(BM_TranParaSave)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  server::SetLogLevel(server::LogLevel::kWarning);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
