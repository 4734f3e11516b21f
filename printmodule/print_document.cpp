#include "print_document.h"

#include <map>
#include <memory>
#include <optional>

#include "remote/connection.h"
#include "remote/messages.h"
#include "rtl/numtext.h"

namespace printmodule {
namespace {

using remote::FieldDef;
using remote::Row;
using remote::Value;

int FieldIndex(const std::vector<FieldDef>& fields, const char* name) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name == name) return static_cast<int>(i);
  }
  throw remote::msg::Error(remote::msg::PrintFieldMissing(name));
}

std::string Text(const Value& v) {
  if (v.is_null()) return {};
  if (v.is_text()) return v.text();
  if (v.is_float()) return rtl::FloatToStr(v.float_value());
  if (v.is_integer()) return rtl::IntToStr(v.integer());
  return rtl::DateTimeToIso(v.date());
}

double Number(const Value& v) {
  if (v.is_float()) return v.float_value();
  if (v.is_integer()) return static_cast<double>(v.integer());
  if (v.is_text()) {
    double d = 0;
    return rtl::TryStrToFloat(v.text(), d) ? d : 0;
  }
  return 0;
}

std::optional<rtl::DateTime> Date(const Value& v) {
  if (v.is_date()) return v.date();
  if (v.is_text()) {
    rtl::DateTime t;
    if (rtl::TryIsoToDateTime(v.text(), t)) return t;
  }
  return std::nullopt;
}

// Every row of a provider, all packets.
remote::Packet OpenAll(remote::Connection& connection, const std::string& provider,
                       std::vector<remote::Param> params = {}) {
  remote::OpenRequest request;
  request.provider = provider;
  request.params = std::move(params);
  request.packet_records = -1;
  remote::OpenResult result = connection.Object().Open(request);
  while (result.packet.more && result.cursor != 0) {
    remote::Packet next = connection.Object().Fetch(result.cursor, -1);
    for (Row& r : next.rows) result.packet.rows.push_back(std::move(r));
    result.packet.more = next.more;
  }
  return std::move(result.packet);
}

// code -> name of a reference list.
std::map<std::string, std::string> Names(remote::Connection& connection,
                                         const std::string& provider, const char* key,
                                         const char* name) {
  const remote::Packet p = OpenAll(connection, provider);
  const int k = FieldIndex(p.fields, key), n = FieldIndex(p.fields, name);
  std::map<std::string, std::string> names;
  for (const Row& r : p.rows) names.emplace(Text(r.cells[k]), Text(r.cells[n]));
  return names;
}

// The name of a code, or the empty text when the list lacks it.
std::string NameOf(const std::map<std::string, std::string>& names, const std::string& code) {
  auto it = names.find(code);
  return it == names.end() ? std::string() : it->second;
}

std::unique_ptr<remote::Connection> Connect(const char* prog_id, const std::string& host) {
  auto c = std::make_unique<remote::Connection>(prog_id);
  c->SetComputerName(host);
  c->SetConnected(true);
  return c;
}

}  // namespace

PrintDocument LoadPrintDocument(const std::string& server_host, const std::string& number) {
  double doc_no = 0;
  if (!rtl::TryStrToFloat(number, doc_no)) {
    throw PrintError("“" + number + "”不是有效的单号。");
  }
  try {
    auto systran = Connect(remote::kProgIdSysTran, server_host);
    remote::Param p;
    p.name = "DHAO00";
    p.type = remote::ParamType::Text;
    p.direction = remote::ParamDirection::InputOutput;
    p.value = Value::Text(number);
    const remote::Packet header = OpenAll(*systran, "dsp_qmdwlrt1", {p});
    if (header.rows.empty()) throw PrintError("单号为 " + number + " 的溢耗单据不存在。");

    const auto& f = header.fields;
    const Row& h = header.rows.front();
    PrintDocument doc;
    doc.number = Text(h.cells[FieldIndex(f, "DHAO00")]);
    if (auto d = Date(h.cells[FieldIndex(f, "CKRQ00")])) {
      doc.made_on = *d;
      doc.has_made_on = true;
    }
    if (auto d = Date(h.cells[FieldIndex(f, "YWRQ00")])) {
      doc.audited_on = *d;
      doc.audited = true;
    }
    const std::string maker = Text(h.cells[FieldIndex(f, "CKRY00")]);
    const std::string auditor = Text(h.cells[FieldIndex(f, "YWRY00")]);
    const std::string warehouse = Text(h.cells[FieldIndex(f, "CKDM00")]);
    doc.remark = Text(h.cells[FieldIndex(f, "BEIZHU")]);
    doc.tax_rate = Number(h.cells[FieldIndex(f, "ZZSL00")]);

    auto sysctrl = Connect(remote::kProgIdSysControl, server_host);
    const auto staff = Names(*sysctrl, "dsp_gstrygl0", "RYDM00", "RYMC00");
    doc.maker = NameOf(staff, maker);
    doc.auditor = auditor.empty() ? std::string() : NameOf(staff, auditor);
    auto cominfo = Connect(remote::kProgIdCompanyInfo, server_host);
    const auto warehouses = Names(*cominfo, "DataSetProvider_StorCode", "CKDM00", "CKMC00");
    doc.warehouse = NameOf(warehouses, warehouse);
    if (doc.warehouse.empty()) doc.warehouse = warehouse;
    auto storpro = Connect(remote::kProgIdStoreProduct, server_host);
    const auto goods = Names(*storpro, "dsp_lirrainfo2", "SPDM00", "SPMC00");

    const int nested = FieldIndex(f, "tb_qmdwlrt2");
    int nested_slot = 0;
    for (int i = 0; i < nested; ++i) {
      if (f[i].type == remote::FieldType::Nested) ++nested_slot;
    }
    const auto& lf = f[nested].nested;
    const int code = FieldIndex(lf, "SPDM00"), price = FieldIndex(lf, "DJIA00"),
              qty = FieldIndex(lf, "SL0000"), amount = FieldIndex(lf, "JE0000"),
              tax = FieldIndex(lf, "SE0000");
    if (static_cast<int>(h.nested.size()) > nested_slot) {
      for (const Row& r : h.nested[nested_slot]) {
        PrintLine line;
        line.goods_code = Text(r.cells[code]);
        line.goods_name = NameOf(goods, line.goods_code);
        line.has_price = !r.cells[price].is_null();
        line.price = Number(r.cells[price]);
        line.quantity = Number(r.cells[qty]);
        line.has_amount = !r.cells[amount].is_null();
        line.amount = Number(r.cells[amount]);
        line.has_tax = !r.cells[tax].is_null();
        line.tax = Number(r.cells[tax]);
        doc.lines.push_back(std::move(line));
      }
    }
    return doc;
  } catch (const PrintError&) {
    throw;
  } catch (const std::exception& e) {
    throw PrintError(std::string("无法从应用服务器读取单据：") + e.what());
  }
}

}  // namespace printmodule
