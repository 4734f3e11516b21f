// The tables of the application server's database and the fields its providers deliver.
//
// Table names have eight upper-case characters, field names six. Text widths count GBK bytes
// (a Chinese character takes two); the server checks them when it writes. Dates are stored as
// ISO text on SQLite ("yyyy-mm-dd[ hh:nn:ss[.zzz]]", which sorts like the dates) and as
// timestamps on PostgreSQL.
#pragma once

#include <string>
#include <vector>

#include "remote/value.h"
#include "server/storage.h"

namespace server::schema {

inline constexpr const char* kHeaderTable = "QMDWLRT1";     // document headers
inline constexpr const char* kLineTable = "QMDWLRT2";       // document lines
inline constexpr const char* kStockTable = "XSTZXKC0";      // stock ledger
inline constexpr const char* kClosingTable = "XSTYJZQJ";    // closing periods
inline constexpr const char* kStaffTable = "GSTRYGL0";      // staff
inline constexpr const char* kWarehouseTable = "GSTCKGL0";  // warehouses
inline constexpr const char* kGoodsTable = "GSTJYGL1";      // goods
inline constexpr const char* kUnitTable = "GSTJYDW0";       // units of measure
inline constexpr const char* kWarningTable = "XSTKCYJ0";    // stock warnings

// Change counters of the lists that clients may keep a copy of. Each counter is a row of this
// table: a generation (random text, chosen when the row is made) and a count that triggers raise
// in the same transaction as every change of the counted data, whoever makes it (this server,
// another one on the same database, plain SQL). "generation.count", read in the same snapshot
// as the list's rows, is the list's version: equal versions mean equal rows.
inline constexpr const char* kCounterTable = "QMDWBBH0";
// The stock rows whose marker KCBZ00 begins with "CK" (the stock list reads only those; audits
// and cancels change "YW" rows, which count nothing).
inline constexpr const char* kCounterStockCK = "XSTZXKC0.CK";
// The other counted lists are whole tables, counted under the table's name.

// Every counter: its name and the table it counts.
struct Counter {
  const char* name;
  const char* table;
};
const std::vector<Counter>& Counters();

// A scalar subquery giving the version of `counter` (no value when its row is missing).
std::string VersionSubquery(const std::string& counter);
// The version of `counter` now, or "" when its row is missing.
std::string CurrentVersion(DbSession& session, const std::string& counter);

// Every table, parents before children (insert order; delete in reverse).
const std::vector<std::string>& AllTables();

// The stored fields of a document header in packet order, without the nested lines field.
const std::vector<remote::FieldDef>& HeaderFields();
// The stored fields of a document line in packet order.
const std::vector<remote::FieldDef>& LineFields();
// HeaderFields() followed by the nested field `nested_name` holding LineFields().
std::vector<remote::FieldDef> HeaderWithLines(const std::string& nested_name);

const std::vector<remote::FieldDef>& StockFields();         // SPDM00 CKDM00 KCBZ00 KCSL00
const std::vector<remote::FieldDef>& StaffFields();         // RYDM00 RYMC00 CKDM00
const std::vector<remote::FieldDef>& WarehouseFields();     // CKDM00 CKMC00
const std::vector<remote::FieldDef>& GoodsFields();         // SPDM00 SPMC00
const std::vector<remote::FieldDef>& UnitFields();          // SPDW02 ZHXS00
const std::vector<remote::FieldDef>& WarningFields();       // SPDM00 ZGKCSL ZGYJYS ZDKCSL ZDYJYS
const std::vector<remote::FieldDef>& ClosingQueryFields();  // JSRQ00

// The field of `fields` named `name`, or nullptr.
const remote::FieldDef* FindField(const std::vector<remote::FieldDef>& fields,
                                  const std::string& name);

// "A, B, C": the names of `fields` (nested fields left out) as a column list.
std::string ColumnList(const std::vector<remote::FieldDef>& fields);

// Creates every missing table and index, and brings tables of an older layout to the current
// one (the unit table keyed by name becomes keyed by list order, rows and order kept); makes the
// change counters and their triggers where they are missing. Runs in its own transaction.
void CreateTables(DbSession& session);

}  // namespace server::schema
