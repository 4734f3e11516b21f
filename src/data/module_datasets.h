// The client datasets of the document browser and of the audit editor. Each dataset is declared
// once, as a DataSetSpec (module_datasets.cpp): its fields with kind, type, width and required
// flag, its lookups and their source lists, its parameters, command text, provider, server object
// and packet size. The window classes get their datasets ready-made from CreateBrowserDataSets
// and CreateEditorDataSets.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "data/dataset.h"
#include "remote/connection.h"

namespace data {

// The server object a dataset's provider belongs to.
enum class ServerRole { SysTran, StoreProduct, Communicate, SysControl, CompanyInfo, None };

// The reference list a lookup field reads.
enum class LookupList { None, Staff, Warehouses, Goods };

struct FieldSpec {
  std::string name;
  FieldKind kind = FieldKind::Stored;
  FieldType type = FieldType::Text;
  int size = 0;  // text: GBK bytes; 0: as the server's packet defines it
  bool required = false;
  LookupList list = LookupList::None;  // lookups: the source list,
  std::string key;                     // the key field(s) here,
  std::string list_key;                // the key field(s) of the list
  std::string result;                  // and the list's field shown
};

struct ParamSpec {
  std::string name;
  remote::ParamType type = remote::ParamType::Text;
  remote::ParamDirection direction = remote::ParamDirection::Input;
};

struct DataSetSpec {
  std::string name;
  ServerRole server = ServerRole::None;
  std::string provider;     // empty for lines, which come nested in their header
  int packet_records = -1;  // -1: every row at opening
  std::vector<ParamSpec> params;
  std::string command_text;
  std::vector<FieldSpec> fields;
  // Lines: the header dataset and its nested field whose lines this dataset presents.
  std::string header;
  std::string nested_field;
};

// The closing-period query of cancel-audit (the command text of cds_xstyjzqj).
inline constexpr const char* kClosingPeriodQuery =
    "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL";

// The declarations, in the order the windows list them.
const std::vector<DataSetSpec>& BrowserDataSetSpecs();
const std::vector<DataSetSpec>& EditorDataSetSpecs();

// Declares a closed dataset from its desc. `connection_for` gives the connection of a server
// role, `list_for` the dataset of a lookup list, `dataset_named` the header of nested lines
// (declared before its lines).
struct SpecBindings {
  std::function<remote::Connection*(ServerRole)> connection_for;
  std::function<ClientDataSet*(LookupList)> list_for;
  std::function<ClientDataSet*(const std::string&)> dataset_named;
};
void DeclareDataSet(ClientDataSet& dataset, const DataSetSpec& desc, const SpecBindings& bindings);

struct BrowserConnections {
  remote::Connection* systran = nullptr;  // dcom_systran
  remote::Connection* storpro = nullptr;  // dcom_storpro
  remote::Connection* commu = nullptr;    // dcom_commu
  remote::Connection* sysctrl = nullptr;  // dcom_sysctrl
  remote::Connection* cominfo = nullptr;  // dcom_cominfo
};

// The browser's datasets; the browser owns them for as long as it exists. Destroying them in any
// order is safe (lines and lookups let go of destroyed datasets).
struct BrowserDataSets {
  std::unique_ptr<ClientDataSet> cds_qmdwlrt1;     // document headers, packets of 10
  std::unique_ptr<ClientDataSet> cds_qmdwlrt2;     // lines of the current document
  std::unique_ptr<ClientDataSet> cds_gstjydw0;     // units of measure
  std::unique_ptr<ClientDataSet> cds_gstjygl1;     // goods
  std::unique_ptr<ClientDataSet> cds_xstyjzqj;     // latest closing date
  std::unique_ptr<ClientDataSet> cds_gstrygl0;     // staff
  std::unique_ptr<ClientDataSet> cds_gstckgl0;     // warehouses
  std::unique_ptr<ClientDataSet> cds_qmdwlrt_tmp;  // executes the cancel's statements
};
BrowserDataSets CreateBrowserDataSets(const BrowserConnections& connections);

struct EditorConnections {
  remote::Connection* systran = nullptr;  // the browser's dcom_systran
  remote::Connection* storpro = nullptr;  // the browser's dcom_storpro
  remote::Connection* sysctrl = nullptr;  // the editor's own dcom_sysctrl
};

// The browser's lists that the editor's lookups read.
struct EditorLookupLists {
  ClientDataSet* staff = nullptr;       // browser's cds_gstrygl0
  ClientDataSet* warehouses = nullptr;  // browser's cds_gstckgl0
  ClientDataSet* goods = nullptr;       // browser's cds_gstjygl1
};

struct EditorDataSets {
  std::unique_ptr<ClientDataSet> cds_qmdwlrt1;    // the document being audited
  std::unique_ptr<ClientDataSet> cds_qmdwlrt2;    // its lines
  std::unique_ptr<ClientDataSet> cds_gstrygl0;    // staff (the editor's own list)
  std::unique_ptr<ClientDataSet> cds_xstzxkc0;    // stock ledger rows
  std::unique_ptr<ClientDataSet> cds_stockcolor;  // stock warnings
};
EditorDataSets CreateEditorDataSets(const EditorConnections& connections,
                                    const EditorLookupLists& lists);

}  // namespace data
