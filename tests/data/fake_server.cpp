#include "fake_server.h"

#include <algorithm>

#include "rtl/datetime.h"
#include "tests/support/server_object_double.h"

namespace data::testing {
namespace {

// An instance of a ProgID's object: every request goes to the one FakeServer of that ProgID.
std::unique_ptr<remote::ServerObject> FakeObject(const std::shared_ptr<FakeServer>& server) {
  auto object = std::make_unique<testsupport::ServerObjectDouble>();
  object->on_open = [server](const remote::OpenRequest& r) { return server->Open(r); };
  object->on_fetch = [server](uint32_t cursor, int32_t count) {
    return server->Fetch(cursor, count);
  };
  object->on_close_cursor = [server](uint32_t cursor) { server->CloseCursor(cursor); };
  object->on_execute = [server](const std::string& provider,
                                const std::vector<remote::Param>& params,
                                const std::string& command_text) {
    server->executes.push_back({provider, params, command_text});
  };
  object->on_apply = [server](const std::string& provider,
                              const std::vector<remote::RowDelta>& delta, int32_t max_errors) {
    server->applies.push_back({provider, delta, max_errors});
    remote::ApplyResult result;
    result.error_count = server->apply_error_count;
    return result;
  };
  object->on_call = [server](const std::string& method, std::vector<remote::Value>&) {
    server->calls.push_back(method);
    return remote::Value();
  };
  return object;
}

}  // namespace

remote::Packet FakeServer::Take(Cursor& c, int32_t count) {
  const FakeTable& table = providers.at(c.provider);
  remote::Packet packet;
  packet.fields = table.fields;
  size_t n =
      count < 0 ? table.rows.size() - c.next : std::min<size_t>(count, table.rows.size() - c.next);
  packet.rows.assign(table.rows.begin() + c.next, table.rows.begin() + c.next + n);
  c.next += n;
  packet.more = c.next < table.rows.size();
  return packet;
}

remote::OpenResult FakeServer::Open(const remote::OpenRequest& request) {
  opens.push_back(request);
  if (!open_error.empty()) throw remote::ServerError(open_error);
  if (!providers.count(request.provider)) {
    throw remote::ServerError("Provider " + request.provider + " not found");
  }
  Cursor c;
  c.provider = request.provider;
  c.packet = request.packet_records;
  remote::OpenResult result;
  result.packet = Take(c, request.packet_records);
  if (result.packet.more) {
    result.cursor = next_cursor_++;
    cursors_[result.cursor] = c;
  }
  return result;
}

remote::Packet FakeServer::Fetch(uint32_t cursor, int32_t count) {
  fetch_counts.push_back(count);
  auto it = cursors_.find(cursor);
  if (it == cursors_.end()) throw remote::ServerError("Unknown cursor");
  remote::Packet packet = Take(it->second, count);
  packet.fields.clear();
  fetched_rows.push_back(packet.rows.size());
  return packet;
}

void FakeServer::CloseCursor(uint32_t cursor) {
  closed_cursors.push_back(cursor);
  cursors_.erase(cursor);
}

FakeServers::FakeServers() : previous_(remote::GetObjectFactory()) {
  remote::SetObjectFactory([this](const std::string&, const std::string& prog_id) {
    auto& slot = servers_[prog_id];
    if (!slot) slot = std::make_shared<FakeServer>();
    return FakeObject(slot);
  });
  for (const char* id :
       {remote::kProgIdSysTran, remote::kProgIdStoreProduct, remote::kProgIdCommunicate,
        remote::kProgIdSysControl, remote::kProgIdCompanyInfo}) {
    servers_[id] = std::make_shared<FakeServer>();
  }
}

FakeServers::~FakeServers() {
  remote::SetObjectFactory(previous_);
}

remote::FieldDef TextDef(const std::string& name, int width) {
  return remote::FieldDef{name, remote::FieldType::Text, width, {}};
}
remote::FieldDef FloatDef(const std::string& name) {
  return remote::FieldDef{name, remote::FieldType::Float, 0, {}};
}
remote::FieldDef DateDef(const std::string& name) {
  return remote::FieldDef{name, remote::FieldType::DateTime, 0, {}};
}
remote::FieldDef IntDef(const std::string& name) {
  return remote::FieldDef{name, remote::FieldType::Integer, 0, {}};
}
remote::FieldDef NestedDef(const std::string& name, std::vector<remote::FieldDef> fields) {
  return remote::FieldDef{name, remote::FieldType::Nested, 0, std::move(fields)};
}
remote::Value T(const std::string& text) {
  return remote::Value::Text(text);
}
remote::Value F(double d) {
  return remote::Value::Float(d);
}
remote::Value I(int64_t i) {
  return remote::Value::Integer(i);
}
remote::Value D(int year, int month, int day) {
  return remote::Value::Date(rtl::EncodeDate(year, month, day));
}
remote::Row MakeRow(std::vector<remote::Value> cells,
                    std::vector<std::vector<remote::Row>> nested) {
  remote::Row row;
  row.cells = std::move(cells);
  row.nested = std::move(nested);
  return row;
}

}  // namespace data::testing
