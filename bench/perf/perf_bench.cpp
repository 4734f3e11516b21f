// qmdw_perf: the module's operations timed end to end through its own windows (headless) against
// a real application server over loopback, each next to the database alone doing the same work
// through the SQLite C API. Prints one JSON object (figures in milliseconds, medians and p90 of
// the repeats); scripts/perf-report turns it into docs/performance.md.
//
//   qmdw_perf --database sqlite:PATH [--doc N] [--repeats R] [--only activation|editor|all]
//
// The database must hold document N (default: the highest) with its lines, unaudited or audited.
//   activation   showdll until the browser shows its first document and waits for input
//   audit        the browser's "审核" until control is back in the browser; inside it:
//     editor     the date dialog's "确定" until the editor waits for input (the document, its
//                stock rows "CK" of every goods, staff and warnings loaded and shown)
//     save       the editor's "保存" (stock batch, apply, commit) until the browser's list is
//                reloaded
//   cancel       the browser's "取消审核" (confirmation answered at once) until the list is
//                reloaded
//   unit_switch  choosing the next unit in the title band (the document's quantities converted)
//   tranpara_batch  the stock batch of a save of the document (2 statements a line) through
//                "TranPara" and its apply over loopback, against the same UPDATEs prepared and
//                run in one transaction through the SQLite C API
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ledger.h"
#include "operator.h"
#include "process.h"
#include "remote/connection.h"
#include "server/storage.h"

namespace {

using Json = nlohmann::json;

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Json Stats(std::vector<double> ms) {
  Json j;
  j["n"] = ms.size();
  if (ms.empty()) return j;
  std::sort(ms.begin(), ms.end());
  auto at = [&](double p) {
    size_t r = static_cast<size_t>(std::ceil(p / 100 * static_cast<double>(ms.size())));
    return ms[std::max<size_t>(r, 1) - 1];
  };
  j["median_ms"] = at(50);
  j["p90_ms"] = at(90);
  j["min_ms"] = ms.front();
  return j;
}

struct Line {
  std::string goods;
  double quantity;
};

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

// The SQLite file behind a "sqlite:PATH" URL.
std::string SqlitePath(const std::string& url) {
  return url.rfind("sqlite:", 0) == 0 ? url.substr(7) : std::string();
}

double LoadAverage() {
  FILE* f = std::fopen("/proc/loadavg", "r");
  double l = 0;
  if (f != nullptr) {
    if (std::fscanf(f, "%lf", &l) != 1) l = 0;
    std::fclose(f);
  }
  return l;
}

}  // namespace

int main(int argc, char** argv) {
  std::string database, only = "all";
  int64_t doc = 0;
  int repeats = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--database")
      database = v;
    else if (k == "--doc")
      doc = std::stoll(v);
    else if (k == "--repeats")
      repeats = std::stoi(v);
    else if (k == "--only")
      only = v;
  }
  const std::string path = SqlitePath(database);
  if (path.empty()) {
    std::cerr << "usage: qmdw_perf --database sqlite:PATH [--doc N] [--repeats R] [--only ...]\n";
    return 2;
  }
  try {
    auto storage = server::OpenStorage(database);
    auto db = storage->NewSession();
    if (doc == 0) {
      auto r = db->Query("SELECT MAX(DHAO00) FROM QMDWLRT1");
      if (r->Next()) doc = std::llround(r->Float(0));
    }
    std::string warehouse;
    bool audited = false;
    {
      auto r = db->Query("SELECT CKDM00, YWRQ00 FROM QMDWLRT1 WHERE DHAO00 = ?",
                         {remote::Value::Float(static_cast<double>(doc))});
      if (!r->Next()) throw std::runtime_error("document " + std::to_string(doc) + " not found");
      warehouse = std::string(r->Text(0));
      audited = !r->IsNull(1);
    }
    std::vector<Line> lines;
    {
      auto r = db->Query("SELECT SPDM00, SL0000 FROM QMDWLRT2 WHERE DHAO00 = ? ORDER BY SPDM00",
                         {remote::Value::Float(static_cast<double>(doc))});
      while (r->Next()) lines.push_back({std::string(r->Text(0)), r->Float(1)});
    }
    int64_t documents = 0, stock_ck = 0;
    {
      auto r = db->Query("SELECT COUNT(*) FROM QMDWLRT1");
      if (r->Next()) documents = r->Integer(0);
      auto s = db->Query("SELECT COUNT(*) FROM XSTZXKC0 WHERE KCBZ00 LIKE 'CK%'");
      if (s->Next()) stock_ck = s->Integer(0);
    }
    db.reset();

    load::AppServerProcess server(load::ProgramDir() + "/appserver", database,
                                  "/tmp/qmdw_perf_appserver." + std::to_string(getpid()) + ".log");
    server.Start();
    Json out;
    out["document"] = doc;
    out["lines"] = lines.size();
    out["documents"] = documents;
    out["stock_rows_ck"] = stock_ck;
    out["load_average_start"] = LoadAverage();

    // Activation.
    {
      std::vector<double> ms;
      for (int i = 0; i < repeats; ++i) {
        load::OperatorOptions o;
        o.server_host = server.Host();
        o.work = load::Work::kNone;
        load::OperatorResult r = load::RunOperator(o);
        if (!r.failure.empty()) throw std::runtime_error(r.failure);
        ms.push_back(r.activation_us / 1000.0);
      }
      out["activation"] = Stats(ms);
    }
    // Raw: the first packet's queries (10 headers by keyset, their lines) through SQLite.
    sqlite3* raw = nullptr;
    Check(sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr), raw, "open");
    sqlite3_busy_timeout(raw, 10000);
    // The server's own durability setting (WAL, synchronous=NORMAL), so that both sides commit
    // alike.
    Check(sqlite3_exec(raw, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr), raw, "pragma");
    {
      std::vector<double> ms;
      sqlite3_stmt *heads = nullptr, *ls = nullptr;
      Check(sqlite3_prepare_v2(raw,
                               "SELECT DHAO00, CKRQ00, CKRY00, YWRQ00, YWRY00, CKDM00, ZZSL00, "
                               "BEIZHU, GSDW00 FROM QMDWLRT1 ORDER BY DHAO00 DESC LIMIT 11",
                               -1, &heads, nullptr),
            raw, "prepare");
      Check(sqlite3_prepare_v2(raw,
                               "SELECT DHAO00, SPDM00, DJIA00, SL0000, JE0000, SE0000 FROM "
                               "QMDWLRT2 WHERE DHAO00 = ? ORDER BY SPDM00",
                               -1, &ls, nullptr),
            raw, "prepare");
      for (int i = 0; i < repeats * 10; ++i) {
        int64_t t0 = NowUs();
        sqlite3_reset(heads);
        std::vector<double> ids;
        while (sqlite3_step(heads) == SQLITE_ROW) {
          ids.push_back(sqlite3_column_double(heads, 0));
          for (int c = 1; c < 9; ++c) sqlite3_column_text(heads, c);
        }
        for (double id : ids) {
          sqlite3_reset(ls);
          sqlite3_bind_double(ls, 1, id);
          while (sqlite3_step(ls) == SQLITE_ROW)
            for (int c = 0; c < 6; ++c) sqlite3_column_text(ls, c);
        }
        ms.push_back((NowUs() - t0) / 1000.0);
      }
      sqlite3_finalize(heads);
      sqlite3_finalize(ls);
      out["raw_first_packet"] = Stats(ms);
    }
    // Raw: the editor's stock list (every "CK" row, ordered) through SQLite.
    {
      std::vector<double> ms;
      sqlite3_stmt* st = nullptr;
      Check(sqlite3_prepare_v2(raw,
                               "SELECT SPDM00, CKDM00, KCBZ00, KCSL00 FROM XSTZXKC0 WHERE "
                               "KCBZ00 LIKE 'CK%' ORDER BY SPDM00, CKDM00, KCBZ00",
                               -1, &st, nullptr),
            raw, "prepare");
      for (int i = 0; i < std::max(3, repeats / 2); ++i) {
        int64_t t0 = NowUs();
        sqlite3_reset(st);
        while (sqlite3_step(st) == SQLITE_ROW) {
          sqlite3_column_text(st, 0);
          sqlite3_column_text(st, 1);
          sqlite3_column_text(st, 2);
          sqlite3_column_double(st, 3);
        }
        ms.push_back((NowUs() - t0) / 1000.0);
      }
      sqlite3_finalize(st);
      out["raw_stock_list"] = Stats(ms);
    }

    if (only == "all" || only == "editor") {
      // Audit and cancel the document in turn, through the windows.
      load::OperatorOptions o;
      o.server_host = server.Host();
      o.newest_doc = doc;
      o.hot_documents = 1;
      o.max_ops = 2 * repeats + (audited ? 1 : 0);
      o.seconds = 0;
      load::OperatorResult r = load::RunOperator(o);
      if (!r.failure.empty()) throw std::runtime_error(r.failure);
      std::vector<double> audit, editor, save, cancel;
      for (const auto& op : r.ops) {
        if (op.outcome == "audited") {
          audit.push_back(op.total_us / 1000.0);
          editor.push_back(op.editor_us / 1000.0);
          save.push_back(op.save_us / 1000.0);
        } else if (op.outcome == "cancelled") {
          cancel.push_back(op.total_us / 1000.0);
        } else {
          throw std::runtime_error("operation on document " + std::to_string(op.doc) + ": " +
                                   op.outcome + " " + op.message);
        }
      }
      out["audit"] = Stats(audit);
      out["editor"] = Stats(editor);
      out["save"] = Stats(save);
      out["cancel"] = Stats(cancel);
    }
    if (only == "all") {
      load::OperatorOptions o;
      o.server_host = server.Host();
      o.work = load::Work::kUnitSwitch;
      o.max_ops = repeats * 3;
      o.seconds = 0;
      load::OperatorResult r = load::RunOperator(o);
      if (!r.failure.empty()) throw std::runtime_error(r.failure);
      std::vector<double> ms;
      for (const auto& op : r.ops) {
        if (op.outcome != "switched") throw std::runtime_error("unit switch: " + op.message);
        ms.push_back(op.total_us / 1000.0);
      }
      out["unit_switch"] = Stats(ms);
      out["unit_switch_document"] = r.ops.empty() ? 0 : r.ops.front().doc;

      // The stock batch of a save of this document: through the server and through SQLite.
      std::string batch;
      for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        for (const std::string& w : {std::string("0B"), warehouse}) {
          if (!batch.empty()) batch += "!";
          char q[64];
          std::snprintf(q, sizeof q, "%.15g", it->quantity);
          batch += "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(" + std::string(q) + ") WHERE SPDM00='" +
                   it->goods + "' AND CKDM00='" + w + "' AND KCBZ00='YW'";
        }
      }
      const int statements = static_cast<int>(lines.size() * 2);
      remote::Connection systran(remote::kProgIdSysTran);
      systran.SetComputerName(server.Host());
      systran.SetConnected(true);
      std::vector<double> via_server, via_sqlite;
      const int rounds = repeats * 5;
      for (int i = 0; i < rounds; ++i) {
        int64_t t0 = NowUs();
        std::vector<remote::Value> args = {remote::Value::Text(batch)};
        systran.Object().Call("TranPara", args);
        // An empty change log names no document: the server refuses it and rolls the batch
        // back, which costs about what the commit of a real save costs.
        try {
          systran.Object().ApplyUpdates("dsp_qmdwlrt1", {}, 0);
          throw std::runtime_error("apply: an empty change log after TranPara was accepted");
        } catch (const remote::ServerError&) {
        }
        via_server.push_back((NowUs() - t0) / 1000.0);
      }
      systran.SetConnected(false);
      sqlite3_stmt* up = nullptr;
      Check(sqlite3_prepare_v2(raw,
                               "UPDATE XSTZXKC0 SET KCSL00 = COALESCE(KCSL00, 0) - ? WHERE "
                               "SPDM00 = ? AND CKDM00 = ? AND KCBZ00 = 'YW'",
                               -1, &up, nullptr),
            raw, "prepare");
      for (int i = 0; i < rounds; ++i) {
        int64_t t0 = NowUs();
        Check(sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), raw, "begin");
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
          for (const std::string& w : {std::string("0B"), warehouse}) {
            sqlite3_reset(up);
            sqlite3_bind_double(up, 1, it->quantity);
            sqlite3_bind_text(up, 2, it->goods.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(up, 3, w.c_str(), -1, SQLITE_TRANSIENT);
            Check(sqlite3_step(up), raw, "update");
          }
        }
        Check(sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr), raw, "commit");
        via_sqlite.push_back((NowUs() - t0) / 1000.0);
      }
      sqlite3_finalize(up);
      out["tranpara_batch"] = Stats(via_server);
      out["raw_batch"] = Stats(via_sqlite);
      out["batch_statements"] = statements;
    }
    sqlite3_close(raw);
    server.Stop();
    out["load_average_end"] = LoadAverage();
    std::cout << out.dump() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "qmdw_perf: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
