// The parts of a client dataset, internal to the dataset engine: the dataset's state (Impl) and
// its fields (FieldImpl). The dataset's sources share them: dataset.cpp (declaration, cursor,
// filter, locate, editing), dataset_fields.cpp (field values, lookups) and dataset_open.cpp
// (opening, packets, closing, execute, apply). The invariants of the visible records and of the
// record being edited are kept by data/view.h and data/edit_buffer.h.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/dataset.h"
#include "data/edit_buffer.h"
#include "data/filter_expr.h"
#include "data/record_store.h"
#include "data/values.h"
#include "data/view.h"
#include "rtl/numtext.h"

namespace data {

using internal::Coerce;
using internal::ColumnDef;
using internal::EditBuffer;
using internal::FilterExpr;
using internal::IsNoValue;
using internal::kNoRow;
using internal::Layout;
using internal::MakeProbe;
using internal::NestedDef;
using internal::ParseText;
using internal::Probe;
using internal::RecordStore;
using internal::RecordView;
using internal::SameName;
using internal::SplitNames;
using internal::ValueDate;
using internal::ValueFloat;
using internal::ValueInteger;
using internal::ValueText;
using remote::Value;

class FieldImpl;

struct ClientDataSet::Impl {
  Impl(ClientDataSet* owner, std::string dataset_name)
      : self(owner), name(std::move(dataset_name)) {}

  ClientDataSet* self;
  std::string name;

  std::vector<std::unique_ptr<FieldImpl>> fields;
  remote::Connection* connection = nullptr;
  std::string provider;
  int packet_records = -1;
  std::vector<std::unique_ptr<Param>> params;
  std::string command_text;

  // Nesting: a header lists its line datasets; a line dataset knows its header and nested field.
  Impl* master = nullptr;
  FieldImpl* dataset_field = nullptr;
  std::vector<Impl*> details;

  // Lookup fields of other datasets that read this one (one entry per field).
  std::vector<Impl*> lookup_dependents;

  // Records.
  bool active = false;
  std::shared_ptr<const Layout> layout;
  std::unique_ptr<RecordStore> root;  // top-level datasets own their records
  RecordStore* store = nullptr;       // the records shown (for lines: the header's)
  uint32_t server_cursor = 0;

  // The filter, and the visible records with the cursor (data/view.h).
  bool filtered = false;
  std::string filter_text;
  std::unique_ptr<FilterExpr> filter;
  RecordView view;

  // Editing: the state, and the record being edited (data/edit_buffer.h).
  DataSetState state = DataSetState::Inactive;
  EditBuffer buffer;

  std::vector<DataLink*> links;

  // --- errors ---
  [[noreturn]] void Fail(const std::string& what) const { throw DataError(name + ": " + what); }
  [[noreturn]] void FailField(std::string_view field, const std::string& what) const {
    Fail("Field '" + std::string(field) + "' " + what);
  }
  void CheckActive() const {
    if (!active) Fail("Cannot perform this operation on a closed dataset");
  }

  // --- visible records ---
  uint32_t Count() const { return active ? view.Count() : 0; }
  uint32_t RowAt(uint32_t p) const { return view.RowAt(p); }
  uint32_t Pos() const { return view.Pos(); }
  bool HasCurrent() const { return Pos() < Count(); }
  uint32_t CurrentRow() const { return view.CurrentRow(); }
  int64_t PosOf(uint32_t row) const { return view.PosOf(row); }
  bool RowVisible(uint32_t row) const { return PosOf(row) >= 0; }

  // --- field values ---
  FieldImpl* Find(std::string_view field_name) const;
  FieldImpl& Get(std::string_view field_name) const {
    FieldImpl* f = Find(field_name);
    if (!f) FailField(field_name, "not found");
    return *f;
  }
  Value ValueAtRow(const FieldImpl& f, uint32_t row, bool edited) const;
  Value CurrentValue(const FieldImpl& f) const {
    if (!HasCurrent()) return Value();
    return ValueAtRow(f, CurrentRow(), state == DataSetState::Edit);
  }
  Value ValueAtIndex(int rec_index, const Field& field) const;
  Value ResolveLookup(const FieldImpl& f, uint32_t row, bool edited) const;
  uint32_t FindFirst(const std::vector<int>& cols, const std::vector<Probe>& probes, int prefix_col,
                     std::string_view prefix) const;
  void SetValue(FieldImpl& f, Value v);
  void CheckCanModify(const FieldImpl& f) const;

  // --- opening ---
  // What Open sends: the provider, the parameters, the command text when one is set.
  remote::OpenRequest OpenRequest() const {
    remote::OpenRequest request;
    request.provider = provider;
    for (const auto& p : params) request.params.push_back(p->Wire());
    if (!command_text.empty()) request.command_text = command_text;
    request.packet_records = packet_records > 0 ? packet_records : -1;
    return request;
  }
  std::shared_ptr<Layout> Bind(const std::vector<remote::FieldDef>& defs);
  static std::shared_ptr<Layout> DefaultLayout(const std::vector<remote::FieldDef>& defs);
  void LoadRows(RecordStore& target, const std::vector<remote::Row>& rows) const;
  void CompileFilter();
  // Shows the store's records that the filter accepts, the cursor on the first (no hooks run).
  void ApplyView();
  bool Passes(uint32_t row) const;
  // The filter as the view applies it: null when every live record is visible.
  const RecordView::Filter* ViewFilter() const { return filter ? &passes : nullptr; }
  RecordView::Filter passes = [this](uint32_t row) { return Passes(row); };
  void Deactivate();

  // --- moving ---
  // The cursor moved (the view says where): the lines follow, the links are told, the after-move
  // hook runs.
  void Moved();
  void FireAfterScroll() {
    if (self->AfterScroll) self->AfterScroll(*self);
  }
  RecordStore* CurrentChild(int nested) const {
    if (!HasCurrent() || nested < 0) return nullptr;
    return store->Child(CurrentRow(), nested);
  }
  void SyncDetails();
  void Present(RecordStore* lines);

  // --- editing ---
  bool IsModified() const;
  void CheckBrowseMode();
  void EnterEdit();
  void PostRecord();
  void CancelEdit();
  void LeaveEdit();
  void WriteBuffer();
  void EnsureSnapshot();
  void DeleteRecord();
  // After a post: a record that the filter no longer accepts leaves the view.
  void RefilterCurrent(uint32_t row);

  // --- notification ---
  void Notify(DataLink::Event event) {
    std::vector<DataLink*> copy = links;
    for (DataLink* link : copy) {
      if (std::find(links.begin(), links.end(), link) != links.end()) {
        link->DataSetEvent(*self, event);
      }
    }
  }
  void NotifyDependents() {
    std::vector<Impl*> seen;
    for (Impl* dep : lookup_dependents) {
      if (dep == this || std::find(seen.begin(), seen.end(), dep) != seen.end()) continue;
      seen.push_back(dep);
      dep->Notify(DataLink::Event::DataChanged);
    }
  }
  void DataChanged() {
    Notify(DataLink::Event::DataChanged);
    NotifyDependents();
  }
};

class FieldImpl final : public Field {
 public:
  FieldImpl(ClientDataSet::Impl* owner, FieldDecl decl, bool declared)
      : ds_(owner), decl_(std::move(decl)), declared_(declared) {}

  const std::string& FieldName() const override { return decl_.name; }
  FieldType DataType() const override { return decl_.type; }
  FieldKind Kind() const override { return decl_.kind; }
  int Size() const override {
    if (decl_.size > 0) return decl_.size;
    if (col >= 0 && ds_->layout) return ds_->layout->columns[col].width;
    return 0;
  }
  bool Required() const override { return decl_.required; }
  ClientDataSet& DataSet() const override { return *ds_->self; }

  bool IsNull() const override { return IsNoValue(ds_->CurrentValue(*this)); }
  std::string AsString() const override { return ValueText(ds_->CurrentValue(*this)); }
  double AsFloat() const override { return ValueFloat(ds_->CurrentValue(*this)); }
  int64_t AsInteger() const override { return ValueInteger(ds_->CurrentValue(*this)); }
  rtl::DateTime AsDateTime() const override { return ValueDate(ds_->CurrentValue(*this)); }

  void SetAsString(std::string_view text) override {
    ds_->CheckCanModify(*this);
    ds_->SetValue(*this, ParseText(text, decl_.type, Size()));
  }
  void SetAsFloat(double value) override {
    ds_->CheckCanModify(*this);
    if (decl_.type == FieldType::Text) return SetAsString(rtl::FloatToStr(value));
    ds_->SetValue(*this, Converted(Value::Float(value)));
  }
  void SetAsInteger(int64_t value) override {
    ds_->CheckCanModify(*this);
    if (decl_.type == FieldType::Text) return SetAsString(rtl::IntToStr(value));
    ds_->SetValue(*this, Converted(Value::Integer(value)));
  }
  void SetAsDateTime(rtl::DateTime value) override {
    ds_->CheckCanModify(*this);
    if (decl_.type == FieldType::Text) return SetAsString(rtl::DateToStr(value));
    ds_->SetValue(*this, Converted(Value::Date(value)));
  }
  void Clear() override {
    ds_->CheckCanModify(*this);
    ds_->SetValue(*this, Value());
  }

  const FieldDecl& decl() const { return decl_; }
  FieldDecl& mutable_decl() { return decl_; }

  // The fields of this dataset that key a lookup field, found on first use.
  const std::vector<FieldImpl*>& KeyFields() const {
    if (key_fields_.empty()) {
      for (const std::string& n : key_names) key_fields_.push_back(&ds_->Get(n));
    }
    return key_fields_;
  }
  bool declared() const { return declared_; }
  ClientDataSet::Impl* owner() const { return ds_; }

  // While open: the column of a stored or local field, the nested table of a nested field.
  int col = -1;
  int nested = -1;

  // Lookup fields: the source list (nullptr once it is destroyed) and the key fields here.
  ClientDataSet::Impl* source = nullptr;
  std::vector<std::string> key_names;
  std::vector<std::string> source_key_names;
  // Source columns, worked out again whenever the source list's layout changes.
  mutable const Layout* source_layout = nullptr;
  mutable std::vector<int> source_key_cols;
  mutable int source_result_col = -1;

 private:
  Value Converted(const Value& v) const {
    Value out;
    if (!Coerce(v, decl_.type, out)) {
      throw rtl::ConvertError("'" + ValueText(v) + "' is not a valid value for field '" +
                              decl_.name + "'");
    }
    return out;
  }

  ClientDataSet::Impl* ds_;
  FieldDecl decl_;
  bool declared_;
  mutable std::vector<FieldImpl*> key_fields_;
};

}  // namespace data
