// An in-process stand-in for the application server's objects: each ProgID gets one FakeServer
// whose providers serve fixed tables in packets, and which records every call it receives.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "remote/connection.h"
#include "remote/server_object.h"
#include "remote/value.h"

namespace data::testing {

struct FakeTable {
  std::vector<remote::FieldDef> fields;
  std::vector<remote::Row> rows;
};

class FakeServer {
 public:
  std::map<std::string, FakeTable> providers;

  // What the server saw.
  std::vector<remote::OpenRequest> opens;
  std::vector<int32_t> fetch_counts;  // rows asked for by each fetch
  std::vector<size_t> fetched_rows;   // rows delivered by each fetch
  std::vector<uint32_t> closed_cursors;
  struct ExecuteCall {
    std::string provider;
    std::vector<remote::Param> params;
    std::string command_text;
  };
  std::vector<ExecuteCall> executes;
  struct ApplyCall {
    std::string provider;
    std::vector<remote::RowDelta> delta;
    int32_t max_errors;
  };
  std::vector<ApplyCall> applies;
  std::vector<std::string> calls;

  // Faults to play.
  std::string open_error;         // Open throws ServerError with this message when set
  int32_t apply_error_count = 0;  // what ApplyUpdates reports

  size_t OpenCursorCount() const { return cursors_.size(); }

  remote::OpenResult Open(const remote::OpenRequest& request);
  remote::Packet Fetch(uint32_t cursor, int32_t count);
  void CloseCursor(uint32_t cursor);

 private:
  struct Cursor {
    std::string provider;
    size_t next = 0;
    int32_t packet = -1;
  };
  remote::Packet Take(Cursor& c, int32_t count);
  std::map<uint32_t, Cursor> cursors_;
  uint32_t next_cursor_ = 1;
};

// Installs an object factory serving one FakeServer per ProgID for its lifetime.
class FakeServers {
 public:
  FakeServers();
  ~FakeServers();
  FakeServers(const FakeServers&) = delete;
  FakeServers& operator=(const FakeServers&) = delete;
  FakeServer& operator[](const std::string& prog_id) { return *servers_[prog_id]; }

 private:
  std::map<std::string, std::shared_ptr<FakeServer>> servers_;
  remote::ObjectFactory previous_;
};

// Building tables.
remote::FieldDef TextDef(const std::string& name, int width = 0);
remote::FieldDef FloatDef(const std::string& name);
remote::FieldDef DateDef(const std::string& name);
remote::FieldDef IntDef(const std::string& name);
remote::FieldDef NestedDef(const std::string& name, std::vector<remote::FieldDef> fields);
remote::Value T(const std::string& text);
remote::Value F(double d);
remote::Value I(int64_t i);
remote::Value D(int year, int month, int day);
inline remote::Value Null() {
  return remote::Value();
}
remote::Row MakeRow(std::vector<remote::Value> cells,
                    std::vector<std::vector<remote::Row>> nested = {});

}  // namespace data::testing
