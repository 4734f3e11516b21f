#include "server/schema.h"

#include <string_view>

#include "remote/crypto.h"
#include "server/trail.h"

namespace server::schema {
namespace {

using remote::FieldDef;
using remote::FieldType;

FieldDef Text(const char* name, int width) {
  return FieldDef{name, FieldType::Text, width, {}};
}
FieldDef Float(const char* name) {
  return FieldDef{name, FieldType::Float, 0, {}};
}
FieldDef Date(const char* name) {
  return FieldDef{name, FieldType::DateTime, 0, {}};
}
FieldDef Whole(const char* name) {
  return FieldDef{name, FieldType::Integer, 0, {}};
}

// Column types by dialect: float, text, date, whole number.
struct Types {
  const char* real;
  const char* text;
  const char* date;
  const char* whole;
  const char* without_rowid;
};

Types TypesFor(Dialect d) {
  if (d == Dialect::kSQLite) return {"REAL", "TEXT", "TEXT", "INTEGER", " WITHOUT ROWID"};
  // Texts compare byte by byte on both backends, whatever the cluster's locale.
  return {"DOUBLE PRECISION", "VARCHAR COLLATE \"C\"", "TIMESTAMP", "BIGINT", ""};
}

std::string Ddl(Dialect d) {
  const Types t = TypesFor(d);
  auto col = [](const char* name, const char* type, bool not_null = false) {
    return std::string(name) + " " + type + (not_null ? " NOT NULL" : "");
  };
  std::string s;
  auto table = [&](const char* name, std::initializer_list<std::string> cols, const char* pk,
                   bool without_rowid, const char* extra = nullptr) {
    s += "CREATE TABLE IF NOT EXISTS ";
    s += name;
    s += " (";
    bool first = true;
    for (const std::string& c : cols) {
      if (!first) s += ", ";
      s += c;
      first = false;
    }
    s += ", PRIMARY KEY (";
    s += pk;
    s += ")";
    if (extra) {
      s += ", ";
      s += extra;
    }
    s += ")";
    if (without_rowid) s += t.without_rowid;
    s += ";\n";
  };
  table(kHeaderTable,
        {col("DHAO00", t.real, true), col("CKRQ00", t.date), col("CKRY00", t.text),
         col("YWRQ00", t.date), col("YWRY00", t.text), col("CKDM00", t.text), col("ZZSL00", t.real),
         col("BEIZHU", t.text), col("GSDW00", t.text)},
        "DHAO00", false);
  table(kLineTable,
        {col("DHAO00", t.real, true), col("SPDM00", t.text, true), col("DJIA00", t.real),
         col("SL0000", t.real, true), col("JE0000", t.real), col("SE0000", t.real)},
        "DHAO00, SPDM00", true,
        "FOREIGN KEY (DHAO00) REFERENCES QMDWLRT1 (DHAO00) ON DELETE CASCADE");
  table(kStockTable,
        {col("SPDM00", t.text, true), col("CKDM00", t.text, true), col("KCBZ00", t.text, true),
         col("KCSL00", t.real)},
        "SPDM00, CKDM00, KCBZ00", true);
  table(kClosingTable, {col("KJQJ00", t.text, true), col("JSRQ00", t.date), col("JZRY00", t.text)},
        "KJQJ00", false);
  table(kStaffTable, {col("RYDM00", t.text, true), col("RYMC00", t.text), col("CKDM00", t.text)},
        "RYDM00", false);
  table(kWarehouseTable, {col("CKDM00", t.text, true), col("CKMC00", t.text)}, "CKDM00", false);
  table(kGoodsTable, {col("SPDM00", t.text, true), col("SPMC00", t.text)}, "SPDM00", false);
  // Keyed by list order: two units may share a name (the first in the list counts).
  table(kUnitTable,
        {col("XHAO00", t.whole, true), col("SPDW02", t.text, true), col("ZHXS00", t.real, true)},
        "XHAO00", false);
  table(kWarningTable,
        {col("XHAO00", t.whole, true), col("SPDM00", t.text, true), col("ZGKCSL", t.whole),
         col("ZGYJYS", t.text), col("ZDKCSL", t.whole), col("ZDYJYS", t.text)},
        "XHAO00", false);
  s += "CREATE INDEX IF NOT EXISTS QMDWLRT1_CKDM00 ON QMDWLRT1 (CKDM00, DHAO00);\n";
  s += "CREATE INDEX IF NOT EXISTS XSTKCYJ0_SPDM00 ON XSTKCYJ0 (SPDM00, XHAO00);\n";
  return s;
}

// Whether the unit table is still keyed by the unit's name (databases made before units were
// keyed by list order).
bool UnitTableKeyedByName(DbSession& session) {
  std::unique_ptr<DbRows> rows;
  if (session.dialect() == Dialect::kSQLite) {
    rows = session.Query("SELECT pk FROM pragma_table_info('GSTJYDW0') WHERE name = 'XHAO00'");
    return rows->Next() && rows->Integer(0) == 0;
  }
  rows = session.Query(
      "SELECT COUNT(*) FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid AND "
      "a.attnum = ANY(i.indkey) WHERE i.indrelid = 'gstjydw0'::regclass AND i.indisprimary AND "
      "a.attname = 'xhao00'");
  return rows->Next() && rows->Integer(0) == 0;
}

// Rebuilds the unit table keyed by list order. The list keeps the order in which the server
// delivered it before (by XHAO00, then name; rows without XHAO00 where the backend sorted them),
// numbered 1, 2, ... in that order.
void MigrateUnitTable(DbSession& session) {
  if (!UnitTableKeyedByName(session)) return;
  const Types t = TypesFor(session.dialect());
  session.ExecuteScript(std::string("CREATE TABLE GSTJYDW0_NEW (XHAO00 ") + t.whole +
                        " NOT NULL, SPDW02 " + t.text + " NOT NULL, ZHXS00 " + t.real +
                        " NOT NULL, PRIMARY KEY (XHAO00));\n"
                        "INSERT INTO GSTJYDW0_NEW (XHAO00, SPDW02, ZHXS00) SELECT ROW_NUMBER() "
                        "OVER (ORDER BY XHAO00, SPDW02), SPDW02, ZHXS00 FROM GSTJYDW0;\n"
                        "DROP TABLE GSTJYDW0;\n"
                        "ALTER TABLE GSTJYDW0_NEW RENAME TO GSTJYDW0;\n");
}

// The counter table and, for every counter, its triggers. SQLite: row triggers (for the stock
// rows only when a "CK" row is among the old or new rows). PostgreSQL: statement triggers, so
// that a bulk load raises a counter once, not once a row; the stock trigger looks at the
// statement's old and new rows and raises its counter only when one of them is a "CK" row, so
// that audits and cancels neither raise it nor wait for its lock. TRUNCATE raises it too.
std::string CounterDdl(Dialect d) {
  const std::string ck = "substr(KCBZ00, 1, 2) = 'CK'";
  std::string s;
  if (d == Dialect::kSQLite) {
    s += "CREATE TABLE IF NOT EXISTS QMDWBBH0 (BBMC00 TEXT NOT NULL, BBSJ00 TEXT NOT NULL, "
         "BBHA00 INTEGER NOT NULL, PRIMARY KEY (BBMC00));\n";
    for (const Counter& c : Counters()) {
      const std::string table = c.table;
      const std::string raise = std::string(" BEGIN UPDATE QMDWBBH0 SET BBHA00 = BBHA00 + 1 ") +
                                "WHERE BBMC00 = '" + c.name + "'; END;\n";
      const bool stock = std::string_view(c.name) == kCounterStockCK;
      const std::string when_new = stock ? " WHEN substr(NEW.KCBZ00, 1, 2) = 'CK'" : "";
      const std::string when_old = stock ? " WHEN substr(OLD.KCBZ00, 1, 2) = 'CK'" : "";
      const std::string when_either =
          stock ? " WHEN substr(OLD.KCBZ00, 1, 2) = 'CK' OR substr(NEW.KCBZ00, 1, 2) = 'CK'" : "";
      s += "CREATE TRIGGER IF NOT EXISTS QMDWBB_" + table + "_I AFTER INSERT ON " + table +
           " FOR EACH ROW" + when_new + raise;
      s += "CREATE TRIGGER IF NOT EXISTS QMDWBB_" + table + "_U AFTER UPDATE ON " + table +
           " FOR EACH ROW" + when_either + raise;
      s += "CREATE TRIGGER IF NOT EXISTS QMDWBB_" + table + "_D AFTER DELETE ON " + table +
           " FOR EACH ROW" + when_old + raise;
    }
    return s;
  }
  s += "CREATE TABLE IF NOT EXISTS QMDWBBH0 (BBMC00 VARCHAR COLLATE \"C\" NOT NULL, BBSJ00 "
       "VARCHAR NOT NULL, BBHA00 BIGINT NOT NULL, PRIMARY KEY (BBMC00));\n";
  // The functions keep the schema they were made in, so that a writer with another search path
  // still finds the counters.
  s += "CREATE OR REPLACE FUNCTION qmdw_count() RETURNS trigger LANGUAGE plpgsql "
       "SET search_path FROM CURRENT AS $$ BEGIN "
       "UPDATE QMDWBBH0 SET BBHA00 = BBHA00 + 1 WHERE BBMC00 = TG_ARGV[0]; RETURN NULL; "
       "END $$;\n";
  s += "CREATE OR REPLACE FUNCTION qmdw_count_stock() RETURNS trigger LANGUAGE plpgsql "
       "SET search_path FROM CURRENT AS $$ BEGIN "
       "IF TG_OP = 'INSERT' THEN "
       "IF NOT EXISTS (SELECT 1 FROM qmdw_new WHERE " +
       ck +
       ") THEN RETURN NULL; END IF; "
       "ELSIF TG_OP = 'UPDATE' THEN "
       "IF NOT EXISTS (SELECT 1 FROM qmdw_old WHERE " +
       ck + ") AND NOT EXISTS (SELECT 1 FROM qmdw_new WHERE " + ck +
       ") THEN RETURN NULL; END IF; "
       "ELSIF TG_OP = 'DELETE' THEN "
       "IF NOT EXISTS (SELECT 1 FROM qmdw_old WHERE " +
       ck +
       ") THEN RETURN NULL; END IF; "
       "END IF; "
       "UPDATE QMDWBBH0 SET BBHA00 = BBHA00 + 1 WHERE BBMC00 = '" +
       std::string(kCounterStockCK) + "'; RETURN NULL; END $$;\n";
  for (const Counter& c : Counters()) {
    const std::string table = c.table;
    for (const char* t :
         {"qmdw_count_i", "qmdw_count_u", "qmdw_count_d", "qmdw_count_t", "qmdw_count"}) {
      s += std::string("DROP TRIGGER IF EXISTS ") + t + " ON " + table + ";\n";
    }
    if (std::string_view(c.name) == kCounterStockCK) {
      s += "CREATE TRIGGER qmdw_count_i AFTER INSERT ON " + table +
           " REFERENCING NEW TABLE AS qmdw_new FOR EACH STATEMENT EXECUTE FUNCTION "
           "qmdw_count_stock();\n";
      s += "CREATE TRIGGER qmdw_count_u AFTER UPDATE ON " + table +
           " REFERENCING OLD TABLE AS qmdw_old NEW TABLE AS qmdw_new FOR EACH STATEMENT EXECUTE "
           "FUNCTION qmdw_count_stock();\n";
      s += "CREATE TRIGGER qmdw_count_d AFTER DELETE ON " + table +
           " REFERENCING OLD TABLE AS qmdw_old FOR EACH STATEMENT EXECUTE FUNCTION "
           "qmdw_count_stock();\n";
      s += "CREATE TRIGGER qmdw_count_t AFTER TRUNCATE ON " + table +
           " FOR EACH STATEMENT EXECUTE FUNCTION qmdw_count_stock();\n";
    } else {
      s += "CREATE TRIGGER qmdw_count AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON " + table +
           " FOR EACH STATEMENT EXECUTE FUNCTION qmdw_count('" + c.name + "');\n";
    }
  }
  return s;
}

// A new counter row's generation: random, so that a counter made anew (a database restored or
// made again, a row deleted by hand) never repeats a version a client may hold.
std::string NewGeneration() {
  uint8_t bytes[8];
  remote::RandomBytes(bytes, sizeof bytes);
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += hex[b >> 4];
    s += hex[b & 15];
  }
  return s;
}

void CreateCounters(DbSession& session) {
  session.ExecuteScript(CounterDdl(session.dialect()));
  for (const Counter& c : Counters()) {
    session.Execute(
        "INSERT INTO QMDWBBH0 (BBMC00, BBSJ00, BBHA00) VALUES (?, ?, 0) ON CONFLICT (BBMC00) DO "
        "NOTHING",
        {remote::Value::Text(c.name), remote::Value::Text(NewGeneration())});
  }
}

// The audit trail (server/trail.h): its table, index, triggers and start event, when missing.
void CreateAuditTrail(DbSession& session) {
  trail::CreateTrail(session);
}

}  // namespace

const std::vector<Counter>& Counters() {
  static const std::vector<Counter> counters = {
      {kCounterStockCK, kStockTable},     {kStaffTable, kStaffTable},
      {kWarehouseTable, kWarehouseTable}, {kGoodsTable, kGoodsTable},
      {kUnitTable, kUnitTable},           {kWarningTable, kWarningTable}};
  return counters;
}

std::string VersionSubquery(const std::string& counter) {
  return "(SELECT BBSJ00 || '.' || CAST(BBHA00 AS TEXT) FROM QMDWBBH0 WHERE BBMC00 = '" + counter +
         "')";
}

std::string CurrentVersion(DbSession& session, const std::string& counter) {
  auto rows =
      session.Query("SELECT BBSJ00 || '.' || CAST(BBHA00 AS TEXT) FROM QMDWBBH0 WHERE BBMC00 = ?",
                    {remote::Value::Text(counter)});
  if (!rows->Next() || rows->IsNull(0)) return {};
  return std::string(rows->Text(0));
}

const std::vector<std::string>& AllTables() {
  static const std::vector<std::string> tables = {kStaffTable,   kWarehouseTable, kGoodsTable,
                                                  kUnitTable,    kWarningTable,   kStockTable,
                                                  kClosingTable, kHeaderTable,    kLineTable};
  return tables;
}

const std::vector<FieldDef>& HeaderFields() {
  static const std::vector<FieldDef> f = {Float("DHAO00"), Date("CKRQ00"),     Text("CKRY00", 8),
                                          Date("YWRQ00"),  Text("YWRY00", 8),  Text("CKDM00", 2),
                                          Float("ZZSL00"), Text("BEIZHU", 50), Text("GSDW00", 12)};
  return f;
}

const std::vector<FieldDef>& LineFields() {
  static const std::vector<FieldDef> f = {Float("DHAO00"), Text("SPDM00", 8), Float("DJIA00"),
                                          Float("SL0000"), Float("JE0000"),   Float("SE0000")};
  return f;
}

std::vector<FieldDef> HeaderWithLines(const std::string& nested_name) {
  std::vector<FieldDef> f = HeaderFields();
  f.push_back(FieldDef{nested_name, FieldType::Nested, 0, LineFields()});
  return f;
}

const std::vector<FieldDef>& StockFields() {
  static const std::vector<FieldDef> f = {Text("SPDM00", 8), Text("CKDM00", 2), Text("KCBZ00", 4),
                                          Float("KCSL00")};
  return f;
}

const std::vector<FieldDef>& StaffFields() {
  static const std::vector<FieldDef> f = {Text("RYDM00", 8), Text("RYMC00", 20), Text("CKDM00", 2)};
  return f;
}

const std::vector<FieldDef>& WarehouseFields() {
  static const std::vector<FieldDef> f = {Text("CKDM00", 2), Text("CKMC00", 30)};
  return f;
}

const std::vector<FieldDef>& GoodsFields() {
  static const std::vector<FieldDef> f = {Text("SPDM00", 8), Text("SPMC00", 20)};
  return f;
}

const std::vector<FieldDef>& UnitFields() {
  static const std::vector<FieldDef> f = {Text("SPDW02", 8), Float("ZHXS00")};
  return f;
}

const std::vector<FieldDef>& WarningFields() {
  static const std::vector<FieldDef> f = {Text("SPDM00", 8), Whole("ZGKCSL"), Text("ZGYJYS", 20),
                                          Whole("ZDKCSL"), Text("ZDYJYS", 20)};
  return f;
}

const std::vector<FieldDef>& ClosingQueryFields() {
  static const std::vector<FieldDef> f = {Date("JSRQ00")};
  return f;
}

const FieldDef* FindField(const std::vector<FieldDef>& fields, const std::string& name) {
  for (const FieldDef& f : fields) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

std::string ColumnList(const std::vector<FieldDef>& fields) {
  std::string s;
  for (const FieldDef& f : fields) {
    if (f.type == FieldType::Nested) continue;
    if (!s.empty()) s += ", ";
    s += f.name;
  }
  return s;
}

void CreateTables(DbSession& session) {
  session.Begin();
  try {
    if (session.dialect() == Dialect::kPostgreSQL) {
      // Two servers starting at once must not both create the tables.
      session.Query("SELECT pg_advisory_xact_lock(727272)")->Next();
    }
    session.ExecuteScript(Ddl(session.dialect()));
    MigrateUnitTable(session);
    CreateCounters(session);  // after the migration, which makes the unit table anew
    CreateAuditTrail(session);
    session.Commit();
  } catch (...) {
    session.Rollback();
    throw;
  }
}

}  // namespace server::schema
