// A store-product/system-transaction/... stand-in: answers Open for the providers the print
// module reads, from tables the test fills.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "remote/connection.h"
#include "tests/support/server_object_double.h"

namespace printmodule::testing {

struct FakeData {
  std::map<std::string, remote::Packet> providers;  // by provider name
  std::string fail_with;                            // every Open fails with this message
  std::string last_dhao00;                          // parameter of the last single-document open
};

// A server object over `data`: serves its providers' packets and remembers the document asked for.
inline std::unique_ptr<remote::ServerObject> FakeObject(FakeData* data) {
  auto object = std::make_unique<testsupport::ServerObjectDouble>();
  object->on_open = [data](const remote::OpenRequest& request) {
    if (!data->fail_with.empty()) throw remote::ServerError(data->fail_with);
    for (const remote::Param& p : request.params) {
      if (p.name == "DHAO00" && p.value.is_text()) data->last_dhao00 = p.value.text();
    }
    auto it = data->providers.find(request.provider);
    if (it == data->providers.end()) throw remote::ServerError("no provider " + request.provider);
    remote::OpenResult r;
    r.packet = it->second;
    if (request.provider == "dsp_qmdwlrt1" && data->last_dhao00 != "123") r.packet.rows.clear();
    return r;
  };
  return object;
}

inline remote::FieldDef F(const char* name, remote::FieldType type = remote::FieldType::Text) {
  remote::FieldDef f;
  f.name = name;
  f.type = type;
  return f;
}

// Document 123 of warehouse "01" made by "0001", audited by "0002", with two lines.
inline FakeData SampleData() {
  using remote::FieldType;
  using remote::Value;
  FakeData d;
  remote::Packet header;
  remote::FieldDef lines = F("tb_qmdwlrt2", FieldType::Nested);
  lines.nested = {F("DHAO00", FieldType::Float), F("SPDM00"),
                  F("DJIA00", FieldType::Float), F("SL0000", FieldType::Float),
                  F("JE0000", FieldType::Float), F("SE0000", FieldType::Float)};
  header.fields = {F("DHAO00", FieldType::Float),
                   F("CKRQ00", FieldType::DateTime),
                   F("CKRY00"),
                   F("YWRQ00", FieldType::DateTime),
                   F("YWRY00"),
                   F("CKDM00"),
                   F("ZZSL00", FieldType::Float),
                   F("BEIZHU"),
                   F("GSDW00"),
                   lines};
  remote::Row h;
  h.cells = {Value::Float(123),   Value::Date(rtl::EncodeDate(2024, 3, 5)),
             Value::Text("0001"), Value::Date(rtl::EncodeDate(2024, 3, 6)),
             Value::Text("0002"), Value::Text("01"),
             Value::Float(17),    Value::Text("盘点 <复核>"),
             Value::Text("G1"),   Value()};
  remote::Row l1, l2;
  l1.cells = {Value::Float(123), Value::Text("1001"), Value::Float(12.5),
              Value::Float(10),  Value::Float(125),   Value::Float(18.16)};
  l2.cells = {Value::Float(123), Value::Text("9999"), Value(), Value::Float(-3), Value(), Value()};
  h.nested = {{l1, l2}};
  header.rows = {h};
  d.providers["dsp_qmdwlrt1"] = header;

  auto list = [](const char* key, const char* name,
                 const std::vector<std::pair<std::string, std::string>>& rows) {
    remote::Packet p;
    p.fields = {F(key), F(name)};
    for (auto& [k, n] : rows) {
      remote::Row r;
      r.cells = {Value::Text(k), Value::Text(n)};
      p.rows.push_back(r);
    }
    return p;
  };
  d.providers["dsp_gstrygl0"] = list("RYDM00", "RYMC00", {{"0001", "王制单"}, {"0002", "李审核"}});
  d.providers["DataSetProvider_StorCode"] = list("CKDM00", "CKMC00", {{"01", "一号仓库"}});
  d.providers["dsp_lirrainfo2"] = list("SPDM00", "SPMC00", {{"1001", "红河谷(软)"}});
  return d;
}

// Installs a factory that hands out FakeObjects over `data` for as long as it lives.
class FakeServer {
 public:
  explicit FakeServer(FakeData data) : data_(std::move(data)) {
    previous_ = remote::GetObjectFactory();
    remote::SetObjectFactory(
        [this](const std::string&, const std::string&) { return FakeObject(&data_); });
  }
  ~FakeServer() { remote::SetObjectFactory(previous_); }
  FakeData& data() { return data_; }

 private:
  FakeData data_;
  remote::ObjectFactory previous_;
};

}  // namespace printmodule::testing
