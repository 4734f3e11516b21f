// The data the browser's tests put on a real application server, and how they read the server's
// tables back afterwards.
//
// Every fixture holds the same reference lists (four staff: 0001 陈思远, 0002 林雨桐, 0003 Ann,
// 0004 ANN; three warehouses 0B, 01, 02; five goods 10010001 to 10010005;
// stock rows "CK" 500 and "YW" 1000 of every goods in every warehouse) and its own units, closing
// periods and documents.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/storage.h"

namespace browsertest {

struct Line {
  std::string goods;  // 10010001 ... 10010005
  double quantity = 1;
  double price = 10;
};

struct Doc {
  double number = 0;
  std::string made = "2024-03-01 09:30:00";  // CKRQ00
  std::string audited;                       // YWRQ00 ("" = not audited)
  std::string auditor;                       // YWRY00
  std::string warehouse = "01";
  std::string maker = "0001";
  std::string remark;
  std::vector<Line> lines;
};

struct Fixture {
  // Units in list order: name and cartons per unit.
  std::vector<std::pair<std::string, double>> units = {
      {"条", 1}, {"件", 50}, {"盒", 0.1}, {"提", 3}};
  // Closing dates of closed periods; an open period (no closer) is always added.
  std::vector<std::string> closed = {"2024-02-29"};
  std::vector<Doc> docs;
};

// Replaces every row of the server's tables by the fixture's.
void WriteFixture(server::StorageFactory& storage, const Fixture& fixture);

// `count` unaudited documents numbered first, first+1, ... with one line each.
std::vector<Doc> NumberedDocs(int first, int count);

// What the server holds.
double StockYW(server::StorageFactory& storage, const std::string& goods,
               const std::string& warehouse);
// Every "YW" row as "goods/warehouse=quantity", in key order.
std::vector<std::string> StockYWRows(server::StorageFactory& storage);
// YWRQ00 as yyyy-mm-dd[ hh:nn:ss] (nullopt without value) and YWRY00 ("" without value).
std::optional<std::string> AuditDate(server::StorageFactory& storage, double number);
std::string Auditor(server::StorageFactory& storage, double number);

}  // namespace browsertest
