// The data the audit tests put on a real application server, and how they read the server's
// tables back afterwards.
//
// Every fixture holds the same reference lists: staff 0001 陈思远, 0002 林雨桐, 0003 欧阳明月光
// (a name of 10 GBK bytes); warehouses 0B, 01, 02; goods 10010001 to 10010007; one unit 条. The
// stock ledger holds, unless a fixture lists its own rows, "CK" 500 and "YW" 1000 for every goods
// in every warehouse. Documents carry the tax rate 17 unless they say otherwise.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/storage.h"

namespace audittest {

struct Line {
  std::string goods;  // 10010001 ... 10010007
  double quantity = 1;
  std::optional<double> price = 10;
  std::optional<double> amount{};  // price x quantity when not given
  std::optional<double> tax{};     // 1.7 when not given
};

struct Doc {
  double number = 0;
  std::string made = "2024-03-01 09:30:00";  // CKRQ00 ("" = no value)
  std::string audited;                       // YWRQ00 ("" = not audited)
  std::string auditor;                       // YWRY00
  std::string warehouse = "01";
  std::string maker = "0001";
  std::optional<double> rate = 17;  // ZZSL00
  std::string remark;
  std::vector<Line> lines;
};

struct StockRow {
  std::string goods;
  std::string warehouse;
  std::string marker;  // "CK", "YW", "CKX", ...
  std::optional<double> quantity;
};

struct Warning {
  std::string goods;
  std::optional<int> upper;  // ZGKCSL
  std::string upper_color;   // ZGYJYS
  std::optional<int> lower;  // ZDKCSL
  std::string lower_color;   // ZDYJYS
};

// The remark that makes the server fail to store a document (a trigger on the header table), to
// show a failure after the stock batch has run.
inline constexpr const char* kFailingRemark = "注入故障";

struct Fixture {
  std::vector<Doc> docs;
  std::optional<std::vector<StockRow>> stock;  // default: CK 500 and YW 1000 everywhere
  std::vector<Warning> warnings;
  bool failing_remark = false;  // install the trigger for kFailingRemark
};

// Replaces every row of the server's tables by the fixture's.
void WriteFixture(server::StorageFactory& storage, const Fixture& fixture);

// Every stock row as "goods/warehouse/marker=quantity" ("" without value), in key order.
std::vector<std::string> StockRows(server::StorageFactory& storage);
// The default stock rows with some changed ("goods/warehouse/marker" -> quantity text).
std::vector<std::string> DefaultStockRows(
    const std::vector<std::pair<std::string, std::string>>& changed = {});

struct StoredHeader {
  std::optional<std::string> audit_date;  // yyyy-mm-dd[ hh:nn:ss]
  std::string auditor;
  std::string remark;
  std::string made;
  std::string maker;
};
StoredHeader Header(server::StorageFactory& storage, double number);
// The document's lines as "goods price amount tax" in number text ("" without value), by goods.
std::vector<std::string> Lines(server::StorageFactory& storage, double number);
// One stored float of a line exactly as the server holds it (JE0000, SE0000, DJIA00).
double LineValue(server::StorageFactory& storage, double number, const std::string& goods,
                 const std::string& field);

}  // namespace audittest
