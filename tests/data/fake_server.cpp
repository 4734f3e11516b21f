#include "fake_server.h"

#include <algorithm>

#include "rtl/datetime.h"

namespace data::testing {
namespace {

class FakeObject : public remote::ServerObject {
 public:
  explicit FakeObject(std::shared_ptr<FakeServer> server) : server_(std::move(server)) {}
  remote::OpenResult Open(const remote::OpenRequest& request) override {
    return server_->Open(request);
  }
  remote::Packet Fetch(uint32_t cursor, int32_t count) override {
    return server_->Fetch(cursor, count);
  }
  void CloseCursor(uint32_t cursor) override { server_->CloseCursor(cursor); }
  void Execute(const std::string& provider, const std::vector<remote::Param>& params,
               const std::string& command_text) override {
    server_->executes.push_back({provider, params, command_text});
  }
  remote::ApplyResult ApplyUpdates(const std::string& provider,
                                   const std::vector<remote::RowDelta>& delta,
                                   int32_t max_errors) override {
    server_->applies.push_back({provider, delta, max_errors});
    remote::ApplyResult result;
    result.error_count = server_->apply_error_count;
    return result;
  }
  remote::Value Call(const std::string& method, std::vector<remote::Value>& args) override {
    server_->calls.push_back(method);
    return remote::Value();
  }

 private:
  std::shared_ptr<FakeServer> server_;
};

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
    return std::unique_ptr<remote::ServerObject>(new FakeObject(slot));
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
