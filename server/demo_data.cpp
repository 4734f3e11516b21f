#include "server/demo_data.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "rtl/datetime.h"
#include "server/objects_log.h"
#include "server/schema.h"
#include "server/trail.h"

namespace server {
namespace {

using remote::Value;

Value T(const std::string& s) {
  return Value::Text(s);
}
Value F(double d) {
  return Value::Float(d);
}
Value I(int64_t i) {
  return Value::Integer(i);
}
Value D(int y, int m, int d, int hh = 0, int nn = 0) {
  rtl::DateParts p;
  p.year = y;
  p.month = m;
  p.day = d;
  p.hour = hh;
  p.minute = nn;
  return Value::Date(rtl::EncodeDateTime(p));
}
Value DayAfter(const Value& date, int days) {
  return Value::Date(rtl::DateTime{date.date().value + days});
}
Value Null() {
  return Value();
}

double Round2(double v) {
  return std::round(v * 100.0) / 100.0;
}

// A fixed sequence of pseudo-random numbers (splitmix64): the same set on every machine.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }

 private:
  uint64_t state_;
};

// A stock quantity in cartons as a ledger holds it: now and then none, mostly tens to hundreds,
// some thousands; a few with half a carton or some boxes (tenths) besides.
double StockQuantity(Random& rng) {
  const int kind = rng.Below(100);
  if (kind < 6) return 0;
  static constexpr int kLow[] = {1, 10, 100, 1000};
  static constexpr int kHigh[] = {10, 100, 1000, 6000};
  const int band = kind < 26 ? 0 : kind < 61 ? 1 : kind < 91 ? 2 : 3;
  double q = kLow[band] + rng.Below(kHigh[band] - kLow[band]);
  const int fraction = rng.Below(100);
  if (fraction < 5) {
    q += 0.5;
  } else if (fraction < 12) {
    q += (1 + rng.Below(9)) / 10.0;
  }
  return q;
}

std::string Code(const char* prefix, int n, int digits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%0*d", prefix, digits, n);
  return buf;
}

void AddUnits(DbSession& db) {
  auto w = db.BulkInsert(schema::kUnitTable, {"SPDW02", "ZHXS00", "XHAO00"});
  w->Add({T("条"), F(1), I(1)});
  w->Add({T("件"), F(50), I(2)});
  w->Add({T("盒"), F(0.1), I(3)});
  w->Finish();
}

DemoCounts Small(DbSession& db) {
  DemoCounts counts;
  {
    auto w = db.BulkInsert(schema::kStaffTable, {"RYDM00", "RYMC00", "CKDM00"});
    const char* names[] = {"陈思远", "林雨桐", "周明轩", "吴若溪", "郑海涛", "孙佳怡"};
    const char* homes[] = {"0B", "01", "02", "03", "01", "0B"};
    for (int i = 0; i < 6; ++i) w->Add({T(Code("", i + 1, 4)), T(names[i]), T(homes[i])});
    w->Finish();
  }
  const std::vector<std::string> warehouses = {"0B", "01", "02", "03", "04"};
  {
    auto w = db.BulkInsert(schema::kWarehouseTable, {"CKDM00", "CKMC00"});
    const char* names[] = {"配送中心总仓", "城东仓库", "城西仓库", "城南仓库", "江北备用仓库"};
    for (int i = 0; i < 5; ++i) w->Add({T(warehouses[i]), T(names[i])});
    w->Finish();
    counts.warehouses = 5;
  }
  const char* goods_names[] = {"青岚(硬盒)", "青岚(软盒)", "松涛(精品)", "竹韵(细支)",
                               "雁归(硬盒)", "云岫(中支)", "溪月(软盒)", "墨林(硬盒)",
                               "霁光(细支)", "澄川(精品)", "晴川(试销)"};
  auto goods = [](int g) { return Code("1001", g, 4); };  // g = 1..11
  {
    auto w = db.BulkInsert(schema::kGoodsTable, {"SPDM00", "SPMC00"});
    for (int g = 1; g <= 11; ++g) w->Add({T(goods(g)), T(goods_names[g - 1])});
    w->Finish();
    counts.goods = 11;
  }
  AddUnits(db);
  {
    auto w = db.BulkInsert(schema::kStockTable, {"SPDM00", "CKDM00", "KCBZ00", "KCSL00"});
    for (int g = 1; g <= 10; ++g) {
      for (size_t k = 0; k < warehouses.size(); ++k) {
        const double ck = 40.0 * g + 25.0 * k + (g % 3 == 0 ? 0.5 : 0);
        w->Add({T(goods(g)), T(warehouses[k]), T("CK"), F(ck)});
        ++counts.stock_rows;
        if (g == 10 && warehouses[k] == "03") continue;  // no "YW" row: a warning case
        w->Add({T(goods(g)), T(warehouses[k]), T("YW"), F(ck + 100)});
        ++counts.stock_rows;
      }
    }
    w->Finish();
  }
  {
    auto w = db.BulkInsert(schema::kWarningTable,
                           {"XHAO00", "SPDM00", "ZGKCSL", "ZGYJYS", "ZDKCSL", "ZDYJYS"});
    w->Add({I(1), T(goods(1)), I(500), T("clRed"), I(100), T("CLBLUE")});
    w->Add({I(2), T(goods(2)), I(800), T("255"), I(50), T("$FF0000")});
    w->Add({I(3), T(goods(3)), I(300), T("0x00FF00"), I(120), T("clYellow")});
    w->Add({I(4), T(goods(4)), Null(), T("clFuchsia"), Null(), T("clNavy")});
    w->Add({I(5), T(goods(5)), I(600), T("clGreen"), I(150), T("")});
    w->Add({I(6), T(goods(1)), I(10), T("clLime"), I(5), T("clLime")});  // second: never counts
    w->Add({I(7), T(goods(6)), I(400), T("clMaroon"), I(200), T("$0000FF")});
    w->Add({I(8), T(goods(7)), I(250), T("clwindowtext"), I(100), T("  -1")});
    w->Finish();
  }
  {
    auto w = db.BulkInsert(schema::kClosingTable, {"KJQJ00", "JSRQ00", "JZRY00"});
    w->Add({T("2024-01"), D(2024, 1, 31), T("0001")});
    w->Add({T("2024-02"), D(2024, 2, 29), T("0001")});
    w->Add({T("2024-03"), D(2024, 3, 31), Null()});
    w->Finish();
  }
  auto headers = db.BulkInsert(
      schema::kHeaderTable,
      {"DHAO00", "CKRQ00", "CKRY00", "YWRQ00", "YWRY00", "CKDM00", "ZZSL00", "BEIZHU", "GSDW00"});
  std::vector<std::vector<Value>> lines;
  const char* remarks[] = {"月末盘点溢余", "运输途中破损", "仓库盘亏，待查", "受潮报损"};
  const Value first_day = D(2024, 1, 3, 9, 30);
  for (int i = 1; i <= 30; ++i) {
    const double number = 20240000 + i;
    const Value made = DayAfter(first_day, 4 * (i - 1));
    const std::string warehouse = i == 7 ? "0B" : warehouses[1 + i % 3];
    const std::string maker = i == 11 ? "9999" : Code("", 1 + i % 5, 4);
    Value audited, auditor;
    if (i <= 6) {  // audited before the latest closing date: cannot be cancelled
      audited = DayAfter(D(2024, 1, 3), 4 * (i - 1) + 2);
      auditor = T("0001");
    } else if (i >= 20 && i <= 22) {  // audited after it: may be cancelled
      audited = D(2024, 3, 10 + i - 20);
      auditor = T("0002");
    }
    const double rate = i % 4 == 0 ? 13 : 17;
    headers->Add({F(number), made, T(maker), audited, auditor, T(warehouse), F(rate),
                  i % 3 == 0 ? Null() : T(remarks[i % 4]), T("GS0001")});
    ++counts.documents;
    if (i == 9) continue;  // a document without lines
    const int n = 1 + (i * 7) % 5;
    for (int k = 0; k < n; ++k) {
      const int g = (i == 15 && k == 0) ? 11 : (i + k * 3) % 10 + 1;
      double quantity = 5 + (i * (k + 1)) % 20;
      if (i == 12 && k == 0) quantity = 2.5;
      if (i == 13 && k == 0) quantity = -3;
      if (i % 4 == 0 && k == 1) quantity += 0.5;
      const double price = 45 + 10 * g + 0.5;
      const double amount = Round2(price * quantity);
      const double tax = Round2(amount * (rate / 100) / (rate / 100 + 1));
      lines.push_back({F(number), T(goods(g)), F(price), F(quantity), F(amount), F(tax)});
    }
  }
  headers->Finish();
  auto w = db.BulkInsert(schema::kLineTable,
                         {"DHAO00", "SPDM00", "DJIA00", "SL0000", "JE0000", "SE0000"});
  for (const auto& line : lines) w->Add(line);
  w->Finish();
  counts.lines = static_cast<int64_t>(lines.size());
  return counts;
}

DemoCounts Large(DbSession& db) {
  constexpr int kGoods = 5000, kWarehouses = 30, kStaff = 50, kDocuments = 100000;
  DemoCounts counts;
  std::vector<std::string> warehouses = {"0B"};
  for (int k = 1; k < kWarehouses; ++k) warehouses.push_back(Code("", k, 2));
  auto goods = [](int g) { return Code("2000", g, 4); };  // g = 1..5000
  {
    auto w = db.BulkInsert(schema::kStaffTable, {"RYDM00", "RYMC00", "CKDM00"});
    for (int i = 1; i <= kStaff; ++i) {
      w->Add({T(Code("", 1000 + i, 4)), T("演示职员" + Code("", i, 2)),
              T(warehouses[i % kWarehouses])});
    }
    w->Finish();
  }
  {
    auto w = db.BulkInsert(schema::kWarehouseTable, {"CKDM00", "CKMC00"});
    for (int k = 0; k < kWarehouses; ++k) {
      w->Add({T(warehouses[k]), T(k == 0 ? "配送中心总仓" : "演示仓库" + warehouses[k])});
    }
    w->Finish();
    counts.warehouses = kWarehouses;
  }
  {
    auto w = db.BulkInsert(schema::kGoodsTable, {"SPDM00", "SPMC00"});
    for (int g = 1; g <= kGoods; ++g) w->Add({T(goods(g)), T("演示商品" + Code("", g, 4))});
    w->Finish();
    counts.goods = kGoods;
  }
  AddUnits(db);
  {
    auto w = db.BulkInsert(schema::kStockTable, {"SPDM00", "CKDM00", "KCBZ00", "KCSL00"});
    Random rng(20241101);
    for (int g = 1; g <= kGoods; ++g) {
      const std::string code = goods(g);
      for (int k = 0; k < kWarehouses; ++k) {
        const double q = StockQuantity(rng);
        // The business stock differs from the counted one by what is under way.
        const double yw = q + rng.Below(120) - 20;
        w->Add({T(code), T(warehouses[k]), T("CK"), F(q)});
        w->Add({T(code), T(warehouses[k]), T("YW"), F(yw)});
      }
    }
    w->Finish();
    counts.stock_rows = 2LL * kGoods * kWarehouses;
  }
  {
    auto w = db.BulkInsert(schema::kWarningTable,
                           {"XHAO00", "SPDM00", "ZGKCSL", "ZGYJYS", "ZDKCSL", "ZDYJYS"});
    const char* colours[] = {"clRed", "clBlue", "255", "$FF0000", "0x00FF00", "clGreen"};
    for (int g = 1; g <= 1000; ++g) {
      w->Add({I(g), T(goods(g * 5)), I(800), T(colours[g % 6]), I(50), T(colours[(g + 3) % 6])});
    }
    w->Finish();
  }
  {
    auto w = db.BulkInsert(schema::kClosingTable, {"KJQJ00", "JSRQ00", "JZRY00"});
    for (int m = 1; m <= 12; ++m) {
      const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
      w->Add({T("2024-" + Code("", m, 2)), D(2024, m, days[m - 1]), m <= 6 ? T("1001") : Null()});
    }
    w->Finish();
  }
  const Value first_day = D(2023, 1, 1);
  auto headers = db.BulkInsert(
      schema::kHeaderTable,
      {"DHAO00", "CKRQ00", "CKRY00", "YWRQ00", "YWRY00", "CKDM00", "ZZSL00", "BEIZHU", "GSDW00"});
  for (int i = 1; i <= kDocuments; ++i) {
    const Value made = DayAfter(first_day, i / 150);
    const bool audited = i % 10 < 3;
    headers->Add({F(i), made, T(Code("", 1001 + i % kStaff, 4)),
                  audited ? DayAfter(made, 1) : Null(), audited ? T("1001") : Null(),
                  T(warehouses[1 + i % (kWarehouses - 1)]), F(17),
                  i % 5 == 0 ? T("演示溢耗单据") : Null(), T("GS0001")});
  }
  headers->Finish();
  counts.documents = kDocuments;
  auto w = db.BulkInsert(schema::kLineTable,
                         {"DHAO00", "SPDM00", "DJIA00", "SL0000", "JE0000", "SE0000"});
  for (int i = 1; i <= kDocuments; ++i) {
    const int n = 8 + i % 5;
    for (int k = 0; k < n; ++k) {
      const int g = (i * 37 + k * 401) % kGoods + 1;
      const double quantity = 1 + (i + k) % 50;
      const double price = 50 + g % 200;
      const double amount = price * quantity;
      w->Add(
          {F(i), T(goods(g)), F(price), F(quantity), F(amount), F(Round2(amount * 0.17 / 1.17))});
      ++counts.lines;
    }
  }
  w->Finish();
  return counts;
}

}  // namespace

void ClearAllData(DbSession& db) {
  const auto& tables = schema::AllTables();
  if (db.dialect() == Dialect::kPostgreSQL) {
    std::string list;
    for (const auto& t : tables) list += (list.empty() ? "" : ", ") + t;
    db.ExecuteScript("TRUNCATE " + list);
    return;
  }
  for (auto it = tables.rbegin(); it != tables.rend(); ++it) db.ExecuteScript("DELETE FROM " + *it);
}

DemoCounts CreateDemoData(StorageFactory& storage, DemoSet set) {
  const auto start = std::chrono::steady_clock::now();
  auto db = storage.NewSession();
  db->Begin();
  DemoCounts counts;
  try {
    ClearAllData(*db);
    counts = set == DemoSet::kSmall ? Small(*db) : Large(*db);
    // A new database's content: its trail begins anew, with these documents' audits.
    trail::RestartTrail(*db);
    db->Commit();
  } catch (...) {
    db->Rollback();
    throw;
  }
  if (db->dialect() == Dialect::kPostgreSQL) db->ExecuteScript("ANALYZE");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char buf[200];
  std::snprintf(buf, sizeof buf,
                "Demo data (%s) created in %.2f s: %lld documents, %lld lines, %lld goods, "
                "%lld stock rows",
                set == DemoSet::kSmall ? "small" : "large", seconds,
                static_cast<long long>(counts.documents), static_cast<long long>(counts.lines),
                static_cast<long long>(counts.goods), static_cast<long long>(counts.stock_rows));
  Log(LogLevel::kInfo, buf);
  return counts;
}

}  // namespace server
