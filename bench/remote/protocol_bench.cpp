// Figures of the remote protocol, printed as a table:
//   codec      encode + decode of a packet of N four-field rows (no network);
//   select     the SELECT of N four-field rows through the SQLite C API, every column read;
//   open       the same SELECT behind a server object, opened over loopback TCP and decoded into
//              rows on the client (the whole path a client dataset sees);
//   ratio      open / select. The SELECT here is a bare scan without ordering, the cheapest
//              way to read the rows, so this ratio is harsher than the goal's (bench_appserver
//              measures the goal on the real stock list);
//   first      opening the same query for a first packet of 10 rows;
//   roundtrip  one call with no work.
// Usage: bench_protocol [ROWS] [REPEATS]   (defaults 150000 and 7; medians are printed)
#include <sqlite3.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "remote/tcp_client.h"
#include "remote/wire.h"
#include "server/net/app_server.h"
#include "server/net/log.h"

namespace {

using remote::Value;

const char* kSelect = "SELECT SPDM00, CKDM00, KCBZ00, SL0000 FROM XSTZXKC0 WHERE KCBZ00 = 'CK'";

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

// A stock table like the large demo set's: goods x warehouses x {CK, YW}.
void CreateTable(const std::string& path, int rows) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db);
  Check(sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; DROP TABLE IF EXISTS XSTZXKC0;"
                     "CREATE TABLE XSTZXKC0 (SPDM00 TEXT NOT NULL, CKDM00 TEXT NOT NULL,"
                     " KCBZ00 TEXT NOT NULL, SL0000 REAL NOT NULL,"
                     " UNIQUE (SPDM00, CKDM00, KCBZ00)); BEGIN",
                     nullptr, nullptr, nullptr),
        db);
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO XSTZXKC0 VALUES (?, ?, ?, ?)", -1, &st, nullptr), db);
  const int warehouses = 30;
  for (int i = 0; i < rows; ++i) {
    char goods[16], wh[8];
    std::snprintf(goods, sizeof goods, "1%07d", i / warehouses + 1);
    std::snprintf(wh, sizeof wh, "%02d", i % warehouses);
    for (const char* mark : {"CK", "YW"}) {
      sqlite3_bind_text(st, 1, goods, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 2, wh, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 3, mark, -1, SQLITE_STATIC);
      sqlite3_bind_double(st, 4, (i % 977) * 2.5);
      Check(sqlite3_step(st), db);
      sqlite3_reset(st);
    }
  }
  sqlite3_finalize(st);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_close(db);
}

// The baseline: the SELECT through the C API, every column read.
double SelectOnly(sqlite3* db, std::size_t* count) {
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db, kSelect, -1, &st, nullptr), db);
  std::size_t n = 0, bytes = 0;
  double sum = 0;
  while (sqlite3_step(st) == SQLITE_ROW) {
    for (int c = 0; c < 3; ++c) {
      sqlite3_column_text(st, c);
      bytes += static_cast<std::size_t>(sqlite3_column_bytes(st, c));
    }
    sum += sqlite3_column_double(st, 3);
    ++n;
  }
  sqlite3_finalize(st);
  *count = n;
  return sum + static_cast<double>(bytes);
}

// A server object that answers Open with that SELECT (all rows, or packets from a cursor).
class StockObject : public remote::ServerObject {
 public:
  explicit StockObject(const std::string& path) {
    Check(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), db_);
  }
  ~StockObject() override {
    if (cursor_) sqlite3_finalize(cursor_);
    sqlite3_close(db_);
  }
  remote::OpenResult Open(const remote::OpenRequest& request) override {
    if (cursor_) sqlite3_finalize(cursor_);
    cursor_ = nullptr;
    Check(sqlite3_prepare_v2(db_, kSelect, -1, &cursor_, nullptr), db_);
    remote::OpenResult r;
    r.packet.fields = {{"SPDM00", remote::FieldType::Text, 8, {}},
                       {"CKDM00", remote::FieldType::Text, 2, {}},
                       {"KCBZ00", remote::FieldType::Text, 2, {}},
                       {"SL0000", remote::FieldType::Float, 0, {}}};
    r.packet.rows = Take(request.packet_records, &r.packet.more);
    r.cursor = r.packet.more ? 1 : 0;
    return r;
  }
  remote::Packet Fetch(uint32_t, int32_t count) override {
    remote::Packet p;
    p.rows = Take(count, &p.more);
    return p;
  }
  void CloseCursor(uint32_t) override {}
  void Execute(const std::string&, const std::vector<remote::Param>&, const std::string&) override {
  }
  remote::ApplyResult ApplyUpdates(const std::string&, const std::vector<remote::RowDelta>&,
                                   int32_t) override {
    return {};
  }
  Value Call(const std::string&, std::vector<Value>&) override { return Value(); }

 private:
  std::vector<remote::Row> Take(int32_t count, bool* more) {
    std::vector<remote::Row> rows;
    *more = false;
    if (!cursor_) return rows;
    if (count > 0) rows.reserve(static_cast<std::size_t>(count));
    for (;;) {
      if (count >= 0 && static_cast<int32_t>(rows.size()) == count) {
        *more = true;
        return rows;
      }
      if (sqlite3_step(cursor_) != SQLITE_ROW) break;
      remote::Row& row = rows.emplace_back();
      row.cells.reserve(4);
      for (int c = 0; c < 3; ++c) {
        const char* t = reinterpret_cast<const char*>(sqlite3_column_text(cursor_, c));
        row.cells.push_back(Value::Text(
            std::string(t, static_cast<std::size_t>(sqlite3_column_bytes(cursor_, c)))));
      }
      row.cells.push_back(Value::Float(sqlite3_column_double(cursor_, 3)));
    }
    sqlite3_finalize(cursor_);
    cursor_ = nullptr;
    return rows;
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* cursor_ = nullptr;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename F>
double TimeMs(F&& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  int rows = argc > 1 ? std::atoi(argv[1]) : 150000;
  int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
  appserver::SetLogLevel(appserver::LogLevel::kError);

  std::string path =
      (std::filesystem::temp_directory_path() / ("qmdw-bench-" + std::to_string(getpid()) + ".db"))
          .string();
  CreateTable(path, rows);

  appserver::ServerOptions options;
  options.port = 0;
  appserver::AppServer server(
      options, [&path](const std::string&) { return std::make_unique<StockObject>(path); });
  server.Start();
  auto client =
      remote::ConnectServerObject("127.0.0.1:" + std::to_string(server.port()), "Bench.Stock");

  sqlite3* db = nullptr;
  Check(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), db);

  std::vector<double> encode, decode, codec, select, open, first, roundtrip, ratio;
  std::size_t selected = 0, opened = 0, wire_bytes = 0;
  remote::OpenRequest all{"dsp_xstzxkc0_ck", {}, std::nullopt, -1};
  remote::OpenRequest packet10{"dsp_xstzxkc0_ck", {}, std::nullopt, 10};
  remote::Packet sample = client->Open(all).packet;

  for (int r = 0; r < repeats; ++r) {
    std::string encoded;
    encode.push_back(TimeMs([&] { remote::wire::EncodePacket(sample, encoded); }));
    remote::wire::ServerMessage decoded;
    decode.push_back(TimeMs([&] { decoded = remote::wire::DecodeServerMessage(encoded); }));
    decoded = remote::wire::Ready{};
    codec.push_back(TimeMs([&] {
      std::string bytes;
      remote::wire::EncodePacket(sample, bytes);
      wire_bytes = bytes.size();
      decoded = remote::wire::DecodeServerMessage(bytes);
    }));
    decoded = remote::wire::Ready{};
    // The two timings of one run are taken back to back, so that both see the same machine.
    double s = TimeMs([&] { SelectOnly(db, &selected); });
    // The result is released after the clock stops: opening is measured, not freeing.
    remote::OpenResult result;
    double o = TimeMs([&] { result = client->Open(all); });
    opened = result.packet.rows.size();
    result = {};
    select.push_back(s);
    open.push_back(o);
    ratio.push_back(o / s);
    first.push_back(TimeMs([&] { client->Open(packet10); }));
    std::vector<Value> none;
    roundtrip.push_back(TimeMs([&] {
                          for (int i = 0; i < 100; ++i) client->Call("nothing", none);
                        }) /
                        100.0);
  }
  sqlite3_close(db);
  client.reset();
  server.Stop();
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  std::filesystem::remove(path + "-shm");

  std::printf("rows selected %zu, rows opened %zu, packet %.1f MiB on the wire\n", selected, opened,
              static_cast<double>(wire_bytes) / (1 << 20));
  std::printf("%-44s %10s\n", "measure (median of runs)", "ms");
  std::printf("%-44s %10.2f\n", "encode of the packet", Median(encode));
  std::printf("%-44s %10.2f\n", "decode of the packet", Median(decode));
  std::printf("%-44s %10.2f\n", "codec: encode + decode of the packet", Median(codec));
  std::printf("%-44s %10.2f\n", "select: SQLite C API, every column read", Median(select));
  std::printf("%-44s %10.2f\n", "open: server object over loopback, decoded", Median(open));
  std::printf("%-44s %10.2f\n", "ratio open / bare scan", Median(ratio));
  std::printf("%-44s %10.3f\n", "first packet of 10 rows", Median(first));
  std::printf("%-44s %10.3f\n", "round trip of an empty call", Median(roundtrip));
  return 0;
}
