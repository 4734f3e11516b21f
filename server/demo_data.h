// Demo data with invented names and Chinese texts (all GBK-representable, within the field
// widths). The small set serves the demo and the scenario tests; the large set the benchmarks.
//
// Small set (fixed content, described in docs/server.md):
//   staff 0001-0006; warehouses 0B 01 02 03 04; goods 10010001-10010011 (10010011 without stock
//   rows or warning); units 条 (1), 件 (50), 盒 (0.1) in that order; stock rows "CK" and "YW"
//   for goods 1-10 in every warehouse (no "YW" row of 10010010 in 03); closing periods 2024-01
//   and 2024-02 closed (latest closing date 2024-02-29), 2024-03 open; stock warnings with named
//   and numeric colours; 30 documents 20240001-20240030, of which 20240001-06 are audited before
//   the latest closing date, 20240020-22 after it; 20240009 has no lines, 20240007 is of
//   warehouse 0B, 20240011's maker is not in the staff list, 20240012 has a quantity of 2.5 and
//   20240013 one of -3.
// Large set: 5,000 goods, 30 warehouses (0B and 01-29), 50 staff, 100,000 documents of 8-12
// lines (numbers 1-100000, 30% audited), stock rows for every goods x warehouse x {CK, YW} with
// pseudo-random quantities as a real ledger holds them (a fixed seed: the same on every run).
#pragma once

#include <cstdint>

#include "server/storage.h"

namespace server {

enum class DemoSet { kSmall, kLarge };

struct DemoCounts {
  int64_t documents = 0;
  int64_t lines = 0;
  int64_t goods = 0;
  int64_t warehouses = 0;
  int64_t stock_rows = 0;
};

// Replaces every row of every table by the demo set, in one transaction.
DemoCounts CreateDemoData(StorageFactory& storage, DemoSet set);

// Removes every row of every table, in one transaction.
void ClearAllData(DbSession& session);

}  // namespace server
