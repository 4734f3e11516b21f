// The lists a client keeps a copy of, against a real application server on every backend:
// - never stale: a change committed by any writer (this application server's own connection to
//   the database, another application server on the same database, plain SQL through the
//   database's own command-line tool) is in the list at the next open;
// - a reopen of an unchanged list is answered from the copy;
// - every value of a list comes back bit for bit as the server read it from the database.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include "remote/list_cache.h"
#include "remote/prog_ids.h"
#include "remote/tcp_client.h"
#include "server/net/app_server.h"
#include "server/objects.h"
#include "server/schema.h"
#include "server/storage.h"
#include "tests/support/test_app_server.h"

namespace {

using remote::Row;
using remote::Value;
using testsupport::Backend;
using testsupport::TestAppServer;

// Equal kinds, equal texts and integers, equal bits of floats and date-times.
bool SameValue(const Value& a, const Value& b) {
  if (a.storage().index() != b.storage().index()) return false;
  if (a.is_float()) {
    return std::bit_cast<uint64_t>(a.float_value()) == std::bit_cast<uint64_t>(b.float_value());
  }
  if (a.is_date()) {
    return std::bit_cast<uint64_t>(a.date().value) == std::bit_cast<uint64_t>(b.date().value);
  }
  return a == b;
}

::testing::AssertionResult SameRows(const std::vector<Row>& got, const std::vector<Row>& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << got.size() << " rows, expected " << want.size();
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].cells.size() != want[i].cells.size())
      return ::testing::AssertionFailure() << "row " << i << " has another shape";
    for (std::size_t j = 0; j < got[i].cells.size(); ++j) {
      if (!SameValue(got[i].cells[j], want[i].cells[j]))
        return ::testing::AssertionFailure() << "row " << i << ", value " << j << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

struct ListOf {
  const char* prog_id;
  const char* provider;
};
const ListOf kStock{remote::kProgIdSysTran, "dsp_xstzxkc0_ck"};
const ListOf kGoods{remote::kProgIdStoreProduct, "dsp_lirrainfo2"};
const ListOf kUnits{remote::kProgIdStoreProduct, "dsp_LirraUnit"};
const ListOf kWarnings{remote::kProgIdStoreProduct, "Dsp_StockColor"};
const ListOf kStaff{remote::kProgIdSysControl, "dsp_gstrygl0"};
const ListOf kWarehouses{remote::kProgIdCompanyInfo, "DataSetProvider_StorCode"};

remote::OpenRequest WholeList(const ListOf& list) {
  remote::OpenRequest r;
  r.provider = list.provider;
  return r;
}

// Who changes the data between two opens.
enum class Writer { kThisServer, kOtherServer, kPlainSql };

const char* WriterName(Writer w) {
  switch (w) {
    case Writer::kThisServer:
      return "this application server";
    case Writer::kOtherServer:
      return "another application server on the same database";
    case Writer::kPlainSql:
      return "plain SQL";
  }
  return "?";
}

// A word for the shell, as it is.
std::string ShellWord(const std::string& text) {
  std::string q = "'";
  for (char c : text) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

class KeptListTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    remote::ListCache::Process().Clear();
    server_ = std::make_unique<TestAppServer>(GetParam());
    own_ = server_->storage().NewSession();
    if (GetParam() == Backend::kPostgreSQL) {
      auto rows = own_->Query("SELECT current_schema()");
      rows->Next();
      schema_ = std::string(rows->Text(0));
    }
    // Another application server on the same database, with its own connections to it.
    server::StorageOptions options;
    options.pg_schema = schema_;
    other_storage_ = server::OpenStorage(server_->database_url(), options);
    appserver::ServerOptions o;
    o.port = 0;
    other_ = std::make_unique<appserver::AppServer>(o, [this](const std::string& prog_id) {
      return server::CreateServerObject(prog_id, *other_storage_);
    });
    other_->Start();
    other_session_ = other_storage_->NewSession();
  }
  void TearDown() override {
    other_session_.reset();
    other_.reset();
    other_storage_.reset();
    own_.reset();
    server_.reset();
    remote::ListCache::Process().Clear();
  }

  std::string OtherComputer() const { return "127.0.0.1:" + std::to_string(other_->port()); }

  // Runs `sql` as the writer does.
  void Write(Writer writer, const std::string& sql) {
    switch (writer) {
      case Writer::kThisServer:
        own_->Execute(sql);
        return;
      case Writer::kOtherServer:
        other_session_->Execute(sql);
        return;
      case Writer::kPlainSql:
        PlainSql(sql);
        return;
    }
  }

  // Through the database's own command-line tool, as an operator or another program would.
  void PlainSql(const std::string& sql) {
    std::string command;
    if (GetParam() == Backend::kSQLite) {
      const std::string& url = server_->database_url();
      command = "sqlite3 " + ShellWord(url.substr(url.find(':') + 1)) + " " + ShellWord(sql);
    } else {
      command = "psql -q -v ON_ERROR_STOP=1 " + ShellWord(server_->database_url()) + " -c " +
                ShellWord("SET search_path TO " + schema_ + "; " + sql);
    }
    ASSERT_EQ(std::system((command + " >/dev/null").c_str()), 0) << command;
  }

  bool HavePlainSqlTool() const {
    const char* tool = GetParam() == Backend::kSQLite ? "sqlite3" : "psql";
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
  }

  // The list as the server's own objects deliver it now, in-process, without the wire.
  std::vector<Row> Direct(const ListOf& list) {
    auto object = server::CreateServerObject(list.prog_id, server_->storage());
    return object->Open(WholeList(list)).packet.rows;
  }

  std::unique_ptr<TestAppServer> server_;
  std::unique_ptr<server::DbSession> own_;
  std::string schema_;
  std::unique_ptr<server::StorageFactory> other_storage_;
  std::unique_ptr<appserver::AppServer> other_;
  std::unique_ptr<server::DbSession> other_session_;
};

// Every change of every kind, by every writer, is in the list at the next open; an unchanged
// list is answered from the copy (the copy is not replaced).
TEST_P(KeptListTest, AChangeByAnyWriterIsInTheNextOpen) {
  struct Change {
    const char* what;
    ListOf list;
    std::string sql;
  };
  std::vector<Change> changes = {
      {"a stock quantity", kStock,
       "UPDATE XSTZXKC0 SET KCSL00 = 123.25 WHERE SPDM00 = '10010003' AND CKDM00 = '02' AND "
       "KCBZ00 = 'CK'"},
      {"a quantity without value", kStock,
       "UPDATE XSTZXKC0 SET KCSL00 = NULL WHERE SPDM00 = '10010004' AND KCBZ00 = 'CK'"},
      {"a new stock row", kStock,
       "INSERT INTO XSTZXKC0 (SPDM00, CKDM00, KCBZ00, KCSL00) VALUES ('10010011', '01', 'CK', 7)"},
      {"a stock row gone", kStock,
       "DELETE FROM XSTZXKC0 WHERE SPDM00 = '10010001' AND CKDM00 = '03' AND KCBZ00 = 'CK'"},
      {"a row that leaves the list", kStock,
       "UPDATE XSTZXKC0 SET KCBZ00 = 'YK' WHERE SPDM00 = '10010002' AND CKDM00 = '01' AND "
       "KCBZ00 = 'CK'"},
      {"a goods name", kGoods, "UPDATE GSTJYGL1 SET SPMC00 = '新名称' WHERE SPDM00 = '10010005'"},
      {"a unit's factor", kUnits, "UPDATE GSTJYDW0 SET ZHXS00 = 25 WHERE SPDW02 = '件'"},
      {"a stock warning", kWarnings, "DELETE FROM XSTKCYJ0 WHERE SPDM00 = '10010001'"},
      {"a staff member", kStaff,
       "INSERT INTO GSTRYGL0 (RYDM00, RYMC00, CKDM00) VALUES ('0099', '新员工', '01')"},
      {"a warehouse name", kWarehouses,
       "UPDATE GSTCKGL0 SET CKMC00 = '城北仓库' WHERE CKDM00 = '04'"},
  };
  // Every row of a table at once, as a database empties a table.
  changes.push_back(
      {"every warning at once", kWarnings,
       GetParam() == Backend::kPostgreSQL ? "TRUNCATE XSTKCYJ0" : "DELETE FROM XSTKCYJ0"});
  for (Writer writer : {Writer::kThisServer, Writer::kOtherServer, Writer::kPlainSql}) {
    if (writer == Writer::kPlainSql && !HavePlainSqlTool()) {
      ADD_FAILURE() << "the database's command-line tool is missing (scripts/setup)";
      continue;
    }
    for (const Change& c : changes) {
      SCOPED_TRACE(std::string(WriterName(writer)) + ": " + c.what);
      // Opened through both servers: each copy is kept (under its server's address).
      auto here = remote::ConnectServerObject(server_->computer_name(), c.list.prog_id);
      auto there = remote::ConnectServerObject(OtherComputer(), c.list.prog_id);
      const std::vector<Row> before = Direct(c.list);
      ASSERT_TRUE(SameRows(here->Open(WholeList(c.list)).packet.rows, before));
      ASSERT_TRUE(SameRows(there->Open(WholeList(c.list)).packet.rows, before));
      const std::string key =
          remote::ListCacheKey(server_->computer_name(), c.list.prog_id, c.list.provider);
      auto copy = remote::ListCache::Process().Find(key);
      ASSERT_NE(copy, nullptr);

      // Unchanged: answered from the copy, which stays as it was.
      EXPECT_TRUE(SameRows(here->Open(WholeList(c.list)).packet.rows, before));
      EXPECT_EQ(remote::ListCache::Process().Find(key), copy);

      Write(writer, c.sql);
      const std::vector<Row> after = Direct(c.list);
      ASSERT_FALSE(SameRows(after, before)) << "the change changed nothing";
      EXPECT_TRUE(SameRows(here->Open(WholeList(c.list)).packet.rows, after));
      EXPECT_TRUE(SameRows(there->Open(WholeList(c.list)).packet.rows, after));
      EXPECT_NE(remote::ListCache::Process().Find(key), copy);
    }
    // Back to the small demo set for the next writer.
    TearDown();
    SetUp();
  }
}

// Audits and cancels change "YW" rows only: the stock list stays current, its copy is used.
TEST_P(KeptListTest, StockRowsOfOtherKindsLeaveTheStockListCurrent) {
  auto systran = remote::ConnectServerObject(server_->computer_name(), kStock.prog_id);
  systran->Open(WholeList(kStock));
  const std::string key =
      remote::ListCacheKey(server_->computer_name(), kStock.prog_id, kStock.provider);
  auto copy = remote::ListCache::Process().Find(key);
  ASSERT_NE(copy, nullptr);
  Write(Writer::kThisServer,
        "UPDATE XSTZXKC0 SET KCSL00 = KCSL00 - 5 WHERE KCBZ00 = 'YW' AND CKDM00 = '0B'");
  EXPECT_TRUE(SameRows(systran->Open(WholeList(kStock)).packet.rows, Direct(kStock)));
  EXPECT_EQ(remote::ListCache::Process().Find(key), copy);
}

// A change made inside a transaction that is rolled back leaves the copy current; one that is
// committed later is seen then.
TEST_P(KeptListTest, OnlyCommittedChangesCount) {
  auto systran = remote::ConnectServerObject(server_->computer_name(), kStock.prog_id);
  const std::vector<Row> before = systran->Open(WholeList(kStock)).packet.rows;
  own_->Begin();
  own_->Execute("UPDATE XSTZXKC0 SET KCSL00 = 999 WHERE KCBZ00 = 'CK'");
  // Not committed: the server reads the committed rows, and their version is the copy's.
  EXPECT_TRUE(SameRows(systran->Open(WholeList(kStock)).packet.rows, before));
  own_->Rollback();
  EXPECT_TRUE(SameRows(systran->Open(WholeList(kStock)).packet.rows, before));
  own_->Begin();
  own_->Execute("UPDATE XSTZXKC0 SET KCSL00 = 999 WHERE KCBZ00 = 'CK'");
  own_->Commit();
  EXPECT_TRUE(SameRows(systran->Open(WholeList(kStock)).packet.rows, Direct(kStock)));
}

// A database made again (the counters made anew) is never taken for the one a copy came from,
// even where its counters start over.
TEST_P(KeptListTest, ACopyOfAnotherDatabaseIsNotTakenAsCurrent) {
  auto systran = remote::ConnectServerObject(server_->computer_name(), kStock.prog_id);
  systran->Open(WholeList(kStock));
  auto count = own_->Query("SELECT BBHA00 FROM QMDWBBH0 WHERE BBMC00 = 'XSTZXKC0.CK'");
  ASSERT_TRUE(count->Next());
  const int64_t n = count->Integer(0);
  count.reset();
  Write(Writer::kThisServer, "DELETE FROM QMDWBBH0");
  server::schema::CreateTables(*own_);  // the counters made anew
  // The new counter made to reach the same count with the change below.
  own_->Execute("UPDATE QMDWBBH0 SET BBHA00 = ? WHERE BBMC00 = 'XSTZXKC0.CK'",
                {Value::Integer(n - 1)});
  Write(Writer::kThisServer,
        "UPDATE XSTZXKC0 SET KCSL00 = 4321 WHERE SPDM00 = '10010001' AND KCBZ00 = 'CK'");
  EXPECT_TRUE(SameRows(systran->Open(WholeList(kStock)).packet.rows, Direct(kStock)));
}

// Values at the edges, stored in the database, come through the wire (columns, compression,
// the copy) exactly as the server's objects read them.
TEST_P(KeptListTest, EveryValueComesBackBitForBit) {
  const double values[] = {0.1,
                           -0.0,
                           1e-300,
                           -123456789.125,
                           9007199254740993.0,
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::denorm_min(),
                           2.5,
                           1.0 / 3.0,
                           12.34};
  own_->Begin();
  int i = 0;
  for (double v : values) {
    own_->Execute("INSERT INTO XSTZXKC0 (SPDM00, CKDM00, KCBZ00, KCSL00) VALUES (?, ?, ?, ?)",
                  {Value::Text("3000" + std::to_string(1000 + i)), Value::Text("01"),
                   Value::Text(i % 2 ? "CK" : "CK甲"), Value::Float(v)});
    ++i;
  }
  own_->Execute("INSERT INTO XSTZXKC0 (SPDM00, CKDM00, KCBZ00, KCSL00) VALUES (?, ?, ?, NULL)",
                {Value::Text("30009999"), Value::Text(""), Value::Text("CK")});
  own_->Execute("INSERT INTO GSTJYGL1 (SPDM00, SPMC00) VALUES (?, ?)",
                {Value::Text("30000001"), Value::Text("")});
  own_->Execute("INSERT INTO GSTJYGL1 (SPDM00, SPMC00) VALUES (?, NULL)",
                {Value::Text("30000002")});
  own_->Execute("INSERT INTO GSTJYGL1 (SPDM00, SPMC00) VALUES (?, ?)",
                {Value::Text("30000003"), Value::Text("十个汉字正好二十字节")});
  own_->Commit();
  for (const ListOf& list : {kStock, kGoods, kWarnings, kUnits}) {
    SCOPED_TRACE(list.provider);
    auto object = remote::ConnectServerObject(server_->computer_name(), list.prog_id);
    const std::vector<Row> want = Direct(list);
    EXPECT_TRUE(SameRows(object->Open(WholeList(list)).packet.rows, want));  // first open
    EXPECT_TRUE(SameRows(object->Open(WholeList(list)).packet.rows, want));  // from the copy
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, KeptListTest,
                         ::testing::ValuesIn(testsupport::AvailableBackends()),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                           return testsupport::BackendName(info.param);
                         });

}  // namespace
