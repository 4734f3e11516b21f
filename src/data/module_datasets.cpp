#include "data/module_datasets.h"

#include <map>

namespace data {
namespace {

using remote::ParamDirection;
using remote::ParamType;

FieldSpec Text(std::string name, int size = 0, bool required = false) {
  return FieldSpec{
      std::move(name), FieldKind::Stored, FieldType::Text, size, required, {}, {}, {}, {}};
}
FieldSpec Float(std::string name, bool required = false) {
  return FieldSpec{
      std::move(name), FieldKind::Stored, FieldType::Float, 0, required, {}, {}, {}, {}};
}
FieldSpec Date(std::string name) {
  return FieldSpec{
      std::move(name), FieldKind::Stored, FieldType::DateTime, 0, false, {}, {}, {}, {}};
}
FieldSpec Whole(std::string name) {
  return FieldSpec{
      std::move(name), FieldKind::Stored, FieldType::Integer, 0, false, {}, {}, {}, {}};
}
FieldSpec Nested(std::string name) {
  return FieldSpec{std::move(name), FieldKind::Nested, FieldType::Nested, 0, false, {}, {}, {}, {}};
}
FieldSpec Local(std::string name, FieldType type) {
  return FieldSpec{std::move(name), FieldKind::Local, type, 0, false, {}, {}, {}, {}};
}
FieldSpec Lookup(std::string name, int size, LookupList list, std::string key, std::string list_key,
                 std::string result) {
  return FieldSpec{std::move(name), FieldKind::Lookup,   FieldType::Text,  size, false, list,
                   std::move(key),  std::move(list_key), std::move(result)};
}

constexpr bool kRequired = true;

// ---------------------------------------------------------------------------------------------
// The document browser TFM_QMDWLRTSH

std::vector<DataSetSpec> MakeBrowserSpecs() {
  std::vector<DataSetSpec> decls;

  decls.push_back(
      {.name = "cds_qmdwlrt1",
       .server = ServerRole::Communicate,
       .provider = "dsp_qmdwlrt1",
       .packet_records = 10,
       .params = {{"CKDM00", ParamType::Text, ParamDirection::Input},
                  {"FLAG", ParamType::Text, ParamDirection::Input}},
       .command_text = "",
       .fields = {Float("DHAO00"), Date("CKRQ00"), Text("CKRY00", 8), Date("YWRQ00"),
                  Text("YWRY00", 8), Text("CKDM00", 2), Float("ZZSL00"), Text("BEIZHU", 50),
                  Text("GSDW00", 12), Nested("qry_qmdwlrt2"),
                  Lookup("CKRYMC", 20, LookupList::Staff, "CKRY00", "RYDM00", "RYMC00"),
                  Lookup("YWRYMC", 20, LookupList::Staff, "YWRY00", "RYDM00", "RYMC00"),
                  Lookup("CKMC00", 20, LookupList::Warehouses, "CKDM00", "CKDM00", "CKMC00")},
       .header = "",
       .nested_field = ""});

  decls.push_back(
      {.name = "cds_qmdwlrt2",
       .server = ServerRole::None,
       .provider = "",
       .packet_records = -1,
       .params = {},
       .command_text = "",
       .fields = {Float("DHAO00", kRequired), Text("SPDM00", 8, kRequired), Float("DJIA00"),
                  Float("SL0000", kRequired), Float("JE0000"), Float("SE0000"),
                  Lookup("SPMC00", 20, LookupList::Goods, "SPDM00", "SPDM00", "SPMC00"),
                  Local("SJSL00", FieldType::Float)},
       .header = "cds_qmdwlrt1",
       .nested_field = "qry_qmdwlrt2"});

  decls.push_back({.name = "cds_gstjydw0",
                   .server = ServerRole::StoreProduct,
                   .provider = "dsp_LirraUnit",
                   .packet_records = -1,
                   .params = {},
                   .command_text = "",
                   .fields = {Text("SPDW02"), Float("ZHXS00")},
                   .header = "",
                   .nested_field = ""});

  decls.push_back({.name = "cds_gstjygl1",
                   .server = ServerRole::StoreProduct,
                   .provider = "dsp_lirrainfo2",
                   .packet_records = -1,
                   .params = {},
                   .command_text = "",
                   .fields = {Text("SPDM00"), Text("SPMC00")},
                   .header = "",
                   .nested_field = ""});

  decls.push_back({.name = "cds_xstyjzqj",
                   .server = ServerRole::StoreProduct,
                   .provider = "dsp_xstyjzqj_edit",
                   .packet_records = -1,
                   .params = {},
                   .command_text = kClosingPeriodQuery,
                   .fields = {Date("JSRQ00")},
                   .header = "",
                   .nested_field = ""});

  decls.push_back({.name = "cds_gstrygl0",
                   .server = ServerRole::SysControl,
                   .provider = "dsp_gstrygl0",
                   .packet_records = -1,
                   .params = {},
                   .command_text = "",
                   .fields = {Text("RYDM00"), Text("RYMC00"), Text("CKDM00")},
                   .header = "",
                   .nested_field = ""});

  decls.push_back({.name = "cds_gstckgl0",
                   .server = ServerRole::CompanyInfo,
                   .provider = "DataSetProvider_StorCode",
                   .packet_records = -1,
                   .params = {},
                   .command_text = "",
                   .fields = {Text("CKDM00"), Text("CKMC00")},
                   .header = "",
                   .nested_field = ""});

  // No fields: it only executes the statements of a cancel, one at a time.
  decls.push_back({.name = "cds_qmdwlrt_tmp",
                   .server = ServerRole::Communicate,
                   .provider = "dsp_qmdwlrt_tmp",
                   .packet_records = -1,
                   .params = {},
                   .command_text = "",
                   .fields = {},
                   .header = "",
                   .nested_field = ""});
  return decls;
}

// ---------------------------------------------------------------------------------------------
// The audit editor TFM_QMDWLRTSH_EDIT. Its lookups read the browser's staff, warehouse and goods
// lists; its own staff list only serves the auditor's name at activation.

std::vector<DataSetSpec> MakeEditorSpecs() {
  std::vector<DataSetSpec> decls;

  decls.push_back(
      {.name = "cds_qmdwlrt1",
       .server = ServerRole::SysTran,
       .provider = "dsp_qmdwlrt1",
       .packet_records = -1,
       .params = {{"DHAO00", ParamType::Float, ParamDirection::InputOutput}},
       .command_text = "",
       .fields = {Float("DHAO00"), Date("CKRQ00"), Text("CKRY00", 8), Date("YWRQ00"),
                  Text("YWRY00", 8), Text("CKDM00", 2), Float("ZZSL00"), Text("BEIZHU", 50),
                  Text("GSDW00", 12), Nested("tb_qmdwlrt2"),
                  Lookup("CKRYMC", 8, LookupList::Staff, "CKRY00", "RYDM00", "RYMC00"),
                  Lookup("YWRYMC", 8, LookupList::Staff, "YWRY00", "RYDM00", "RYMC00"),
                  Lookup("CKMC00", 30, LookupList::Warehouses, "CKDM00", "CKDM00", "CKMC00")},
       .header = "",
       .nested_field = ""});

  decls.push_back(
      {.name = "cds_qmdwlrt2",
       .server = ServerRole::None,
       .provider = "",
       .packet_records = -1,
       .params = {},
       .command_text = "",
       .fields = {Float("DHAO00", kRequired), Text("SPDM00", 8, kRequired), Float("DJIA00"),
                  Float("SL0000", kRequired), Float("JE0000"), Float("SE0000"),
                  Lookup("SPMC00", 20, LookupList::Goods, "SPDM00", "SPDM00", "SPMC00"),
                  Local("KCSL00", FieldType::Float)},
       .header = "cds_qmdwlrt1",
       .nested_field = "tb_qmdwlrt2"});

  decls.push_back({.name = "cds_gstrygl0",
                   .server = ServerRole::SysControl,
                   .provider = "dsp_gstrygl0",
                   .packet_records = -1,
                   .params = {},
                   .command_text = "",
                   .fields = {Text("RYDM00"), Text("RYMC00"), Text("CKDM00")},
                   .header = "",
                   .nested_field = ""});

  decls.push_back({.name = "cds_xstzxkc0",
                   .server = ServerRole::SysTran,
                   .provider = "dsp_xstzxkc0_ck",
                   .packet_records = -1,
                   .params = {},
                   .command_text = "",
                   .fields = {Text("SPDM00"), Text("CKDM00"), Text("KCBZ00"), Float("KCSL00")},
                   .header = "",
                   .nested_field = ""});

  decls.push_back(
      {.name = "cds_stockcolor",
       .server = ServerRole::StoreProduct,
       .provider = "Dsp_StockColor",
       .packet_records = -1,
       .params = {},
       .command_text = "",
       .fields = {Text("SPDM00"), Whole("ZGKCSL"), Text("ZGYJYS"), Whole("ZDKCSL"), Text("ZDYJYS")},
       .header = "",
       .nested_field = ""});
  return decls;
}

// Declares every desc on the dataset of the same name in `by_name`.
void DeclareAll(const std::vector<DataSetSpec>& decls,
                const std::map<std::string, ClientDataSet*>& by_name,
                const SpecBindings& bindings) {
  for (const DataSetSpec& desc : decls) {
    auto it = by_name.find(desc.name);
    if (it == by_name.end()) throw DataError("No dataset named " + desc.name);
    DeclareDataSet(*it->second, desc, bindings);
  }
}

}  // namespace

const std::vector<DataSetSpec>& BrowserDataSetSpecs() {
  static const std::vector<DataSetSpec> decls = MakeBrowserSpecs();
  return decls;
}

const std::vector<DataSetSpec>& EditorDataSetSpecs() {
  static const std::vector<DataSetSpec> decls = MakeEditorSpecs();
  return decls;
}

void DeclareDataSet(ClientDataSet& ds, const DataSetSpec& desc, const SpecBindings& bindings) {
  if (ds.Name() != desc.name) {
    throw DataError(ds.Name() + ": declared as " + desc.name);
  }
  for (const FieldSpec& f : desc.fields) {
    FieldDecl decl;
    decl.name = f.name;
    decl.kind = f.kind;
    decl.type = f.type;
    decl.size = f.size;
    decl.required = f.required;
    if (f.kind == FieldKind::Lookup) {
      ClientDataSet* list = bindings.list_for ? bindings.list_for(f.list) : nullptr;
      if (!list) throw DataError(desc.name + ": no source list for lookup field " + f.name);
      decl.lookup_dataset = list;
      decl.key_fields = f.key;
      decl.lookup_key_fields = f.list_key;
      decl.lookup_result_field = f.result;
    }
    ds.AddField(decl);
  }
  for (const ParamSpec& p : desc.params) ds.AddParam(p.name, p.type, p.direction);
  ds.SetCommandText(desc.command_text);
  if (!desc.header.empty()) {
    ClientDataSet* header = bindings.dataset_named ? bindings.dataset_named(desc.header) : nullptr;
    if (!header) throw DataError(desc.name + ": no header dataset " + desc.header);
    ds.SetDataSetField(&header->FieldByName(desc.nested_field));
    return;
  }
  ds.SetRemoteServer(bindings.connection_for ? bindings.connection_for(desc.server) : nullptr);
  ds.SetProviderName(desc.provider);
  ds.SetPacketRecords(desc.packet_records);
}

BrowserDataSets CreateBrowserDataSets(const BrowserConnections& connections) {
  BrowserDataSets s;
  std::map<std::string, ClientDataSet*> by_name;
  auto make = [&](std::unique_ptr<ClientDataSet>& slot, const char* name) {
    slot = std::make_unique<ClientDataSet>(name);
    by_name[name] = slot.get();
  };
  make(s.cds_qmdwlrt1, "cds_qmdwlrt1");
  make(s.cds_qmdwlrt2, "cds_qmdwlrt2");
  make(s.cds_gstjydw0, "cds_gstjydw0");
  make(s.cds_gstjygl1, "cds_gstjygl1");
  make(s.cds_xstyjzqj, "cds_xstyjzqj");
  make(s.cds_gstrygl0, "cds_gstrygl0");
  make(s.cds_gstckgl0, "cds_gstckgl0");
  make(s.cds_qmdwlrt_tmp, "cds_qmdwlrt_tmp");
  SpecBindings bindings;
  bindings.connection_for = [&](ServerRole role) -> remote::Connection* {
    switch (role) {
      case ServerRole::SysTran:
        return connections.systran;
      case ServerRole::StoreProduct:
        return connections.storpro;
      case ServerRole::Communicate:
        return connections.commu;
      case ServerRole::SysControl:
        return connections.sysctrl;
      case ServerRole::CompanyInfo:
        return connections.cominfo;
      case ServerRole::None:
        break;
    }
    return nullptr;
  };
  bindings.list_for = [&](LookupList list) -> ClientDataSet* {
    switch (list) {
      case LookupList::Staff:
        return s.cds_gstrygl0.get();
      case LookupList::Warehouses:
        return s.cds_gstckgl0.get();
      case LookupList::Goods:
        return s.cds_gstjygl1.get();
      case LookupList::None:
        break;
    }
    return nullptr;
  };
  bindings.dataset_named = [&](const std::string& name) { return by_name.at(name); };
  DeclareAll(BrowserDataSetSpecs(), by_name, bindings);
  return s;
}

EditorDataSets CreateEditorDataSets(const EditorConnections& connections,
                                    const EditorLookupLists& lists) {
  EditorDataSets s;
  std::map<std::string, ClientDataSet*> by_name;
  auto make = [&](std::unique_ptr<ClientDataSet>& slot, const char* name) {
    slot = std::make_unique<ClientDataSet>(name);
    by_name[name] = slot.get();
  };
  make(s.cds_qmdwlrt1, "cds_qmdwlrt1");
  make(s.cds_qmdwlrt2, "cds_qmdwlrt2");
  make(s.cds_gstrygl0, "cds_gstrygl0");
  make(s.cds_xstzxkc0, "cds_xstzxkc0");
  make(s.cds_stockcolor, "cds_stockcolor");
  SpecBindings bindings;
  bindings.connection_for = [&](ServerRole role) -> remote::Connection* {
    switch (role) {
      case ServerRole::SysTran:
        return connections.systran;
      case ServerRole::StoreProduct:
        return connections.storpro;
      case ServerRole::SysControl:
        return connections.sysctrl;
      default:
        return nullptr;
    }
  };
  bindings.list_for = [&](LookupList list) -> ClientDataSet* {
    switch (list) {
      case LookupList::Staff:
        return lists.staff;
      case LookupList::Warehouses:
        return lists.warehouses;
      case LookupList::Goods:
        return lists.goods;
      case LookupList::None:
        break;
    }
    return nullptr;
  };
  bindings.dataset_named = [&](const std::string& name) { return by_name.at(name); };
  DeclareAll(EditorDataSetSpecs(), by_name, bindings);
  return s;
}

}  // namespace data
