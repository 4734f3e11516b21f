// Fixtures for the server tests: a fresh database per test on each backend. SQLite always; a
// PostgreSQL database when QMDW_PG_URL holds a connection string (the test is skipped
// otherwise). Each test program keeps its PostgreSQL tables in a schema of its own, so programs
// may run in parallel against one cluster.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "remote/connection.h"
#include "rtl/numtext.h"
#include "server/demo_data.h"
#include "server/messages.h"
#include "server/objects.h"
#include "server/storage.h"

namespace server::testing {

// A refusal of the server, matched on what its log keeps: the code and the English text
// ("S-OBJ-002 LirraMISServer.CoStoreProduct has no provider 'dsp_nothing'"). The operator reads
// the same message in Chinese (msg::Message::ForOperator).
template <typename M>
auto Refusal(M matcher) {
  return ::testing::Throws<msg::Error>(::testing::ResultOf(
      "the log's text", [](const msg::Error& e) { return e.message().ForLog(); }, matcher));
}

inline const char* PgUrl() {
  const char* url = std::getenv("QMDW_PG_URL");
  return url && *url ? url : nullptr;
}

inline std::string BackendName(const ::testing::TestParamInfo<std::string>& info) {
  return info.param;
}

// Parameterised by "sqlite" or "postgresql"; sets up the small demo set.
class DbTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgresql") {
      if (!PgUrl()) GTEST_SKIP() << "QMDW_PG_URL is not set";
      StorageOptions options;
      options.pg_schema = QMDW_TEST_SCHEMA;
      storage_ = OpenStorage(PgUrl(), options);
    } else {
      char tmpl[] = "/tmp/qmdw_server_test_XXXXXX";
      ASSERT_NE(mkdtemp(tmpl), nullptr);
      dir_ = tmpl;
      storage_ = OpenStorage("sqlite:" + dir_ + "/test.sqlite");
    }
    CreateDemoData(*storage_, DemoSet::kSmall);
    db_ = storage_->NewSession();
  }
  void TearDown() override {
    db_.reset();
    storage_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::unique_ptr<remote::ServerObject> Object(const std::string& prog_id) {
    return CreateServerObject(prog_id, *storage_);
  }

  // A single value read straight from the database (nullopt: no row or no value).
  std::optional<double> Number(const std::string& sql, const std::vector<remote::Value>& p = {}) {
    auto rows = db_->Query(sql, p);
    if (!rows->Next() || rows->IsNull(0)) return std::nullopt;
    return rows->Float(0);
  }
  std::optional<double> Stock(const std::string& goods, const std::string& warehouse,
                              const std::string& kind = "YW") {
    return Number(
        "SELECT KCSL00 FROM XSTZXKC0 WHERE SPDM00 = ? AND CKDM00 = ? AND KCBZ00 = ?",
        {remote::Value::Text(goods), remote::Value::Text(warehouse), remote::Value::Text(kind)});
  }
  bool Audited(double doc) {
    auto rows =
        db_->Query("SELECT YWRQ00 FROM QMDWLRT1 WHERE DHAO00 = ?", {remote::Value::Float(doc)});
    return rows->Next() && !rows->IsNull(0);
  }

  // Every changeable value of the database as text: equal snapshots mean nothing changed.
  std::string Snapshot() {
    std::string s;
    auto dump = [&](const std::string& sql, int columns) {
      auto rows = db_->Query(sql);
      while (rows->Next()) {
        for (int c = 0; c < columns; ++c) {
          s += rows->IsNull(c) ? std::string("<null>") : std::string(rows->Text(c));
          s += '|';
        }
        s += '\n';
      }
    };
    dump("SELECT SPDM00, CKDM00, KCBZ00, KCSL00 FROM XSTZXKC0 ORDER BY SPDM00, CKDM00, KCBZ00", 4);
    dump(
        "SELECT DHAO00, CKRQ00, CKRY00, YWRQ00, YWRY00, CKDM00, ZZSL00, BEIZHU, GSDW00 "
        "FROM QMDWLRT1 ORDER BY DHAO00",
        9);
    dump(
        "SELECT DHAO00, SPDM00, DJIA00, SL0000, JE0000, SE0000 FROM QMDWLRT2 "
        "ORDER BY DHAO00, SPDM00",
        6);
    dump("SELECT KJQJ00, JSRQ00, JZRY00 FROM XSTYJZQJ ORDER BY KJQJ00", 3);
    dump("SELECT RYDM00, RYMC00 FROM GSTRYGL0 ORDER BY RYDM00", 2);
    return s;
  }

  std::string dir_;
  std::unique_ptr<StorageFactory> storage_;
  std::unique_ptr<DbSession> db_;
};

#define QMDW_BACKENDS(suite)                                                           \
  INSTANTIATE_TEST_SUITE_P(Backends, suite, ::testing::Values("sqlite", "postgresql"), \
                           ::server::testing::BackendName)

inline remote::Param TextParam(const std::string& name, std::optional<std::string> value) {
  remote::Param p;
  p.name = name;
  p.type = remote::ParamType::Text;
  if (value) p.value = remote::Value::Text(*value);
  return p;
}

inline int FieldIndex(const std::vector<remote::FieldDef>& fields, const std::string& name) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name == name) return static_cast<int>(i);
  }
  ADD_FAILURE() << "no field " << name;
  return 0;
}

// The module's audit batch for a document: lines from the last to the first, for each the
// statement of warehouse "0B" and then that of the document's warehouse, joined by "!".
struct BatchLine {
  std::string goods;
  double quantity;
};
inline std::string AuditBatch(const std::vector<BatchLine>& lines, const std::string& warehouse) {
  std::string batch;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    const std::string q = rtl::FloatToStr(it->quantity);
    batch += "!UPDATE XSTZXKC0 SET KCSL00=KCSL00-(" + q + ") WHERE SPDM00='" + it->goods +
             "' AND CKDM00='0B' AND KCBZ00='YW'";
    batch += "!UPDATE XSTZXKC0 SET KCSL00=KCSL00-(" + q + ") WHERE SPDM00='" + it->goods +
             "' AND CKDM00='" + warehouse + "' AND KCBZ00='YW'";
  }
  return batch.empty() ? batch : batch.substr(1);
}

inline std::string IncrementStatement(const std::string& warehouse, const std::string& goods,
                                      double quantity) {
  return "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(" + rtl::FloatToStr(quantity) + ") WHERE CKDM00='" +
         warehouse + "' AND SPDM00='" + goods + "' AND KCBZ00='YW'";
}

inline std::string ResetStatement(double doc) {
  return "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=" + rtl::FloatToStr(doc);
}

}  // namespace server::testing
