// Client dataset figures: loading a large stock list from a decoded packet (time and bytes per
// row beyond the text), locating a stock row by goods, warehouse and marker prefix, and resolving
// a goods-name lookup.
//
//   build/release/bin/data_bench            (cmake --preset release && cmake --build --preset
//   release)
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "data/dataset.h"
#include "remote/connection.h"
#include "remote/server_object.h"
#include "tests/support/server_object_double.h"

namespace {

using remote::FieldDef;
using remote::FieldType;
using remote::Row;
using remote::Value;

// Serves one prepared packet per open; the packet is handed over, not copied.
std::unique_ptr<remote::ServerObject> PacketObject(remote::Packet* next) {
  auto object = std::make_unique<testsupport::ServerObjectDouble>();
  object->on_open = [next](const remote::OpenRequest&) {
    remote::OpenResult r;
    r.packet = std::move(*next);
    return r;
  };
  return object;
}

std::string GoodsCode(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "1001%04d", i);
  return buf;
}
std::string WarehouseCode(int i) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", i);
  return buf;
}

// Stock rows: every goods x warehouse x {"CK01", "YW"}, in that order.
remote::Packet StockPacket(int goods, int warehouses) {
  remote::Packet p;
  p.fields = {
      FieldDef{"SPDM00", FieldType::Text, 8, {}}, FieldDef{"CKDM00", FieldType::Text, 2, {}},
      FieldDef{"KCBZ00", FieldType::Text, 4, {}}, FieldDef{"KCSL00", FieldType::Float, 0, {}}};
  p.rows.reserve(static_cast<size_t>(goods) * warehouses * 2);
  for (int g = 0; g < goods; ++g) {
    for (int w = 0; w < warehouses; ++w) {
      for (const char* kind : {"CK01", "YW"}) {
        Row row;
        row.cells = {Value::Text(GoodsCode(g)), Value::Text(WarehouseCode(w)), Value::Text(kind),
                     Value::Float(g * 0.5 + w)};
        p.rows.push_back(std::move(row));
      }
    }
  }
  return p;
}

struct Server {
  remote::Packet next;
  remote::Connection connection{remote::kProgIdSysTran};
  Server() {
    remote::SetObjectFactory(
        [this](const std::string&, const std::string&) { return PacketObject(&next); });
  }
  ~Server() { remote::SetObjectFactory(nullptr); }
};

std::unique_ptr<data::ClientDataSet> StockList(Server& server) {
  auto ds = std::make_unique<data::ClientDataSet>("cds_xstzxkc0");
  ds->SetRemoteServer(&server.connection);
  ds->SetProviderName("dsp_xstzxkc0_ck");
  ds->AddField(data::StoredField("SPDM00", FieldType::Text));
  ds->AddField(data::StoredField("CKDM00", FieldType::Text));
  ds->AddField(data::StoredField("KCBZ00", FieldType::Text));
  ds->AddField(data::StoredField("KCSL00", FieldType::Float));
  return ds;
}

// 150,000 rows: 2,500 goods in 30 warehouses, two stock kinds each.
void BM_LoadStockRows(benchmark::State& state) {
  const int goods = static_cast<int>(state.range(0));
  Server server;
  const remote::Packet packet = StockPacket(goods, 30);
  const size_t rows = packet.rows.size();
  auto ds = StockList(server);
  size_t heap_bytes = 0, text_bytes = 0, own_bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ds->Close();
    // Heap in use before the packet copy: the open hands the packet over and frees it, so what
    // remains afterwards is the dataset.
    size_t before = mallinfo2().uordblks;
    server.next = packet;
    state.ResumeTiming();
    ds->Open();
    state.PauseTiming();
    heap_bytes = mallinfo2().uordblks - before;
    text_bytes = ds->TextBytes();
    own_bytes = ds->MemoryUsage();
    state.ResumeTiming();
  }
  // With the locate index in place as well.
  ds->Locate("SPDM00;CKDM00;KCBZ00", {GoodsCode(1), "01", "CK"}, data::LocateOption::PartialKey);
  size_t with_index = ds->MemoryUsage();
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows));
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["heap_bytes_per_row_beyond_text"] =
      static_cast<double>(heap_bytes - text_bytes) / rows;
  state.counters["bytes_per_row_beyond_text"] = static_cast<double>(own_bytes - text_bytes) / rows;
  state.counters["with_locate_index"] = static_cast<double>(with_index - text_bytes) / rows;
  state.counters["text_bytes_per_row"] = static_cast<double>(text_bytes) / rows;
}
BENCHMARK(BM_LoadStockRows)->Arg(2500)->Unit(benchmark::kMillisecond)->Iterations(5);

// Locating the current stock of a line: goods and warehouse exact, marker by prefix "CK".
void BM_LocateStockByPrefix(benchmark::State& state) {
  const int goods = static_cast<int>(state.range(0));
  Server server;
  server.next = StockPacket(goods, 30);
  auto ds = StockList(server);
  ds->Open();
  std::mt19937 rng(42);
  std::vector<std::vector<std::string>> keys;
  for (int i = 0; i < 4096; ++i) {
    keys.push_back({GoodsCode(static_cast<int>(rng() % goods)),
                    WarehouseCode(static_cast<int>(rng() % 30)), "CK"});
  }
  ds->Locate("SPDM00;CKDM00;KCBZ00", keys[0], data::LocateOption::PartialKey);  // builds the index
  size_t i = 0, found = 0;
  for (auto _ : state) {
    found += ds->Locate("SPDM00;CKDM00;KCBZ00", keys[i++ & 4095], data::LocateOption::PartialKey);
  }
  if (static_cast<benchmark::IterationCount>(found) != state.iterations())
    state.SkipWithError("a stock row was not found");
  state.counters["rows"] = static_cast<double>(ds->RecordCount());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LocateStockByPrefix)->Arg(250)->Arg(2500);

// Reading the goods name of lines against a goods list of 500 or 5,000 rows.
void BM_LookupGoodsName(benchmark::State& state) {
  const int goods = static_cast<int>(state.range(0));
  Server server;
  remote::Packet list;
  list.fields = {FieldDef{"SPDM00", FieldType::Text, 8, {}},
                 FieldDef{"SPMC00", FieldType::Text, 40, {}}};
  for (int g = 0; g < goods; ++g) {
    list.rows.push_back(
        Row{{Value::Text(GoodsCode(g)), Value::Text("商品名称" + GoodsCode(g))}, {}});
  }
  server.next = std::move(list);
  data::ClientDataSet goods_list("cds_gstjygl1");
  goods_list.SetRemoteServer(&server.connection);
  goods_list.SetProviderName("dsp_lirrainfo2");
  goods_list.Open();

  remote::Packet lines;
  lines.fields = {FieldDef{"SPDM00", FieldType::Text, 8, {}}};
  std::mt19937 rng(7);
  for (int i = 0; i < 1000; ++i) {
    lines.rows.push_back(Row{{Value::Text(GoodsCode(static_cast<int>(rng() % goods)))}, {}});
  }
  server.next = std::move(lines);
  data::ClientDataSet line_list("cds_qmdwlrt2");
  line_list.SetRemoteServer(&server.connection);
  line_list.SetProviderName("lines");
  line_list.AddField(data::StoredField("SPDM00", FieldType::Text, 8));
  data::Field& name = line_list.AddField(
      data::LookupField("SPMC00", 20, &goods_list, "SPDM00", "SPDM00", "SPMC00"));
  line_list.Open();
  int i = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    bytes += line_list.TextAt(i, name).size();
    if (++i == 1000) i = 0;
  }
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupGoodsName)->Arg(500)->Arg(5000);

}  // namespace

BENCHMARK_MAIN();
