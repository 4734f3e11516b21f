// A server object for protocol tests: deterministic rows, errors on request, by-reference
// arguments, and a shared record of how many instances exist.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "remote/server_object.h"

namespace remote::testing {

struct FakeRecord {
  std::atomic<int> created{0};
  std::atomic<int> destroyed{0};
  std::mutex mu;
  std::vector<std::string> executed;  // command texts, in order
  // Provider "kept": a list clients may keep, at version "v<kept_version>", whose rows differ
  // from one version to the next; reads counts the times its rows were read; each fetch of
  // its rows takes kept_fetch_ms.
  std::atomic<int> kept_version{1};
  std::atomic<int> kept_rows{5000};
  std::atomic<int> kept_reads{0};
  std::atomic<int> kept_fetch_ms{0};
};

// Row i of provider "rows": DHAO00 = i, CKMC00 = "仓库<i>", JE0000 = i * 1.5, YWRQ00 = 45000 + i.
inline Row FakeRow(int64_t i) {
  Row r;
  r.cells = {Value::Integer(i), Value::Text("仓库" + std::to_string(i)), Value::Float(i * 1.5),
             Value::Date({45000.0 + static_cast<double>(i)})};
  return r;
}

inline std::vector<FieldDef> FakeFields() {
  return {{"DHAO00", FieldType::Integer, 0, {}},
          {"CKMC00", FieldType::Text, 30, {}},
          {"JE0000", FieldType::Float, 0, {}},
          {"YWRQ00", FieldType::DateTime, 0, {}}};
}

class FakeObject : public ServerObject {
 public:
  FakeObject(std::shared_ptr<FakeRecord> record, std::string prog_id)
      : record_(std::move(record)), prog_id_(std::move(prog_id)) {
    ++record_->created;
  }
  ~FakeObject() override { ++record_->destroyed; }

  // "rows": parameter N (integer) rows; "noise": the same with a text of 256 bytes that do not
  // compress in front of each row; "fail": refuses with a Chinese message.
  OpenResult Open(const OpenRequest& request) override {
    if (request.provider == "fail") throw ServerError("提供者 fail 拒绝打开");
    if (request.provider == "kept") return OpenKept(request);
    if (request.provider != "rows" && request.provider != "noise")
      throw ServerError("Unknown provider " + request.provider);
    int64_t n = 0;
    for (const Param& p : request.params)
      if (p.name == "N" && p.value.is_integer()) n = p.value.integer();
    uint32_t id = next_cursor_++;
    cursors_[id] = Cursor{0, n, request.packet_records, request.provider == "noise"};
    OpenResult result;
    result.packet = Take(id, request.packet_records);
    result.packet.fields = FakeFields();
    result.cursor = result.packet.more ? id : 0;
    if (!result.packet.more) cursors_.erase(id);
    return result;
  }

  Packet Fetch(uint32_t cursor, int32_t count) override {
    if (!cursors_.count(cursor)) throw ServerError("No open result " + std::to_string(cursor));
    if (cursors_[cursor].kept && record_->kept_fetch_ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(record_->kept_fetch_ms.load()));
    Packet p = Take(cursor, count);
    if (!p.more) cursors_.erase(cursor);
    return p;
  }

  void CloseCursor(uint32_t cursor) override { cursors_.erase(cursor); }

  void Execute(const std::string& provider, const std::vector<Param>& params,
               const std::string& command_text) override {
    if (command_text.find("drop") != std::string::npos)
      throw ServerError("Refused statement: " + command_text);
    std::lock_guard<std::mutex> lock(record_->mu);
    record_->executed.push_back(command_text);
  }

  // Every deleted row fails with an error naming it.
  ApplyResult ApplyUpdates(const std::string& provider, const std::vector<RowDelta>& delta,
                           int32_t max_errors) override {
    ApplyResult r;
    for (const RowDelta& d : delta) {
      if (d.kind == ChangeKind::Delete) {
        ++r.error_count;
        r.errors.push_back("cannot delete " +
                           (d.original.empty() ? std::string("?") : d.original[0].field));
      }
    }
    if (max_errors >= 0 && r.error_count > max_errors)
      throw ServerError("Apply rolled back: " + r.errors.front());
    return r;
  }

  // "TranPara": marks its text argument as done and returns the count of arguments;
  // "boom": fails with an exception that is not a ServerError; "slow": takes 300 ms.
  Value Call(const std::string& method, std::vector<Value>& args) override {
    if (method == "TranPara") {
      for (Value& a : args)
        if (a.is_text()) a = Value::Text("done:" + a.text());
      return Value::Integer(static_cast<int64_t>(args.size()));
    }
    if (method == "sustarttran") return Value();
    if (method == "boom") throw std::runtime_error("disk full");
    if (method == "slow") {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      return Value::Text(prog_id_);
    }
    if (method == "prog_id") return Value::Text(prog_id_);
    throw ServerError("Unknown method " + method);
  }

 private:
  struct Cursor {
    int64_t next = 0;
    int64_t end = 0;
    int32_t packet = -1;
    bool noise = false;
    bool kept = false;
    int64_t offset = 0;  // added to the row numbers
  };

  OpenResult OpenKept(const OpenRequest& request) {
    const std::string version = "v" + std::to_string(record_->kept_version.load());
    OpenResult result;
    result.version = version;
    if (request.cached_version == version) {
      result.unchanged = true;
      return result;
    }
    ++record_->kept_reads;
    uint32_t id = next_cursor_++;
    Cursor c{0, record_->kept_rows, request.packet_records, false, true};
    c.offset = int64_t{1000000} * record_->kept_version;
    cursors_[id] = c;
    result.packet = Take(id, request.packet_records);
    result.packet.fields = FakeFields();
    result.cursor = result.packet.more ? id : 0;
    if (!result.packet.more) cursors_.erase(id);
    return result;
  }

  Packet Take(uint32_t id, int32_t count) {
    Cursor& c = cursors_[id];
    int64_t n = count < 0 ? c.end - c.next : std::min<int64_t>(count, c.end - c.next);
    Packet p;
    p.rows.reserve(static_cast<std::size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
      p.rows.push_back(FakeRow(c.offset + c.next++));
      if (c.noise) {
        std::string text(256, '\0');
        for (char& ch : text) {
          noise_ = noise_ * 6364136223846793005ull + 1442695040888963407ull;
          ch = static_cast<char>(noise_ >> 56);
        }
        p.rows.back().cells.insert(p.rows.back().cells.begin(), Value::Text(std::move(text)));
      }
    }
    p.more = c.next < c.end;
    return p;
  }

  std::shared_ptr<FakeRecord> record_;
  std::string prog_id_;
  std::map<uint32_t, Cursor> cursors_;
  uint32_t next_cursor_ = 1;
  uint64_t noise_ = 1;
};

}  // namespace remote::testing
