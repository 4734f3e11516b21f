#include "data/dataset.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "data/filter_expr.h"
#include "data/record_store.h"
#include "rtl/gbk.h"
#include "rtl/numtext.h"

namespace data {

using internal::ColumnDef;
using internal::FilterExpr;
using internal::kNoRow;
using internal::Layout;
using internal::NestedDef;
using internal::Probe;
using internal::RecordStore;
using internal::SameName;
using remote::Value;

namespace {

std::vector<std::string> SplitNames(std::string_view list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string_view::npos) end = list.size();
    std::string_view name = list.substr(start, end - start);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (!name.empty()) names.emplace_back(name);
    start = end + 1;
  }
  return names;
}

bool IsNoValue(const Value& v) {
  return v.is_null() || (v.is_text() && v.text().empty());
}

[[noreturn]] void ThrowNotInteger(std::string_view text) {
  throw rtl::ConvertError("'" + std::string(text) + "' is not a valid integer value");
}

int64_t RoundToInteger(double d) {
  double r = std::nearbyint(d);  // the default rounding mode: halves to even
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) {
    throw rtl::ConvertError(rtl::FloatToStr(d) + " is not a valid integer value");
  }
  return static_cast<int64_t>(r);
}

std::string ValueText(const Value& v) {
  if (v.is_text()) return v.text();
  if (v.is_float()) return rtl::FloatToStr(v.float_value());
  if (v.is_integer()) return rtl::IntToStr(v.integer());
  if (v.is_date()) return rtl::DateToStr(v.date());
  return std::string();
}

double ValueFloat(const Value& v) {
  if (v.is_float()) return v.float_value();
  if (v.is_integer()) return static_cast<double>(v.integer());
  if (v.is_date()) return v.date().value;
  if (v.is_text() && !v.text().empty()) return rtl::StrToFloat(v.text());
  return 0;
}

int64_t ValueInteger(const Value& v) {
  if (v.is_integer()) return v.integer();
  if (v.is_float()) return RoundToInteger(v.float_value());
  if (v.is_date()) return static_cast<int64_t>(std::trunc(v.date().value));
  if (v.is_text() && !v.text().empty()) {
    int64_t i = 0;
    if (rtl::TryStrToInt64(v.text(), i)) return i;
    double d = 0;
    if (rtl::TryStrToFloat(v.text(), d)) return RoundToInteger(d);
    ThrowNotInteger(v.text());
  }
  return 0;
}

rtl::DateTime ValueDate(const Value& v) {
  if (v.is_date()) return v.date();
  if (v.is_float()) return rtl::DateTime{v.float_value()};
  if (v.is_integer()) return rtl::DateTime{static_cast<double>(v.integer())};
  if (v.is_text() && !v.text().empty()) return rtl::StrToDateTime(v.text());
  return rtl::DateTime{};
}

// A value of any kind brought into a column's type. False when it does not convert.
bool Coerce(const Value& v, FieldType type, Value& out) {
  if (v.is_null()) {
    out = Value();
    return true;
  }
  switch (type) {
    case FieldType::Text:
      out = v.is_text() ? v : Value::Text(ValueText(v));
      return true;
    case FieldType::Float: {
      if (v.is_float()) {
        out = v;
        return true;
      }
      double d = 0;
      if (v.is_text()) {
        if (v.text().empty()) {
          out = Value();
          return true;
        }
        if (!rtl::TryStrToFloat(v.text(), d)) return false;
      } else {
        d = ValueFloat(v);
      }
      out = Value::Float(d);
      return true;
    }
    case FieldType::DateTime: {
      if (v.is_date()) {
        out = v;
        return true;
      }
      rtl::DateTime d;
      if (v.is_text()) {
        if (v.text().empty()) {
          out = Value();
          return true;
        }
        if (!rtl::TryIsoToDateTime(v.text(), d) && !rtl::TryStrToDateTime(v.text(), d)) {
          return false;
        }
      } else {
        d = ValueDate(v);
      }
      out = Value::Date(d);
      return true;
    }
    case FieldType::Integer: {
      if (v.is_integer()) {
        out = v;
        return true;
      }
      if (v.is_text() && v.text().empty()) {
        out = Value();
        return true;
      }
      try {
        out = Value::Integer(ValueInteger(v));
      } catch (const rtl::ConvertError&) {
        return false;
      }
      return true;
    }
    case FieldType::Nested:
      return false;
  }
  return false;
}

// A comparison value for a column of `type`; false when `v` cannot be one.
bool MakeProbe(const Value& v, FieldType type, Probe& probe) {
  Value c;
  if (!Coerce(v, type, c)) return false;
  probe.null = c.is_null();
  probe.text.clear();
  probe.bits = 0;
  if (c.is_null()) return true;
  switch (type) {
    case FieldType::Text:
      probe.text = c.text();
      break;
    case FieldType::Float:
      probe.bits = internal::DoubleBits(c.float_value());
      break;
    case FieldType::DateTime:
      probe.bits = internal::DoubleBits(c.date().value);
      break;
    case FieldType::Integer:
      probe.bits = static_cast<uint64_t>(c.integer());
      break;
    case FieldType::Nested:
      return false;
  }
  return true;
}

// Text typed by the operator (or a window) for a field of `type`: ConvertError when it is not
// a value of that type; the empty text is "without value".
Value ParseText(std::string_view text, FieldType type, int width) {
  if (text.empty()) return Value();
  switch (type) {
    case FieldType::Text:
      if (width > 0 && rtl::GbkLength(text) > static_cast<size_t>(width)) {
        return Value::Text(rtl::GbkTruncate(text, width));
      }
      return Value::Text(std::string(text));
    case FieldType::Float:
      return Value::Float(rtl::StrToFloat(text));
    case FieldType::DateTime:
      return Value::Date(rtl::StrToDateTime(text));
    case FieldType::Integer: {
      int64_t i = 0;
      if (!rtl::TryStrToInt64(text, i)) ThrowNotInteger(text);
      return Value::Integer(i);
    }
    case FieldType::Nested:
      break;
  }
  return Value();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Fields

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

  // The visible records and the cursor.
  bool filtered = false;
  std::string filter_text;
  std::unique_ptr<FilterExpr> filter;
  bool use_visible = false;  // false: every live record is visible
  std::vector<uint32_t> visible;
  uint32_t pos = 0;
  bool bof = true, eof = true;

  // Editing.
  DataSetState state = DataSetState::Inactive;
  std::vector<Value> buffer;
  std::vector<uint8_t> changed;
  bool modified = false;
  bool nested_modified = false;  // a line was posted or deleted during this edit
  bool snapshot_taken = false;
  std::vector<std::unique_ptr<RecordStore>> snapshot;  // the lines as they were before the edit
  std::vector<std::pair<const FieldImpl*, Value>> lookup_overrides;

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
  uint32_t Count() const {
    if (!active || !store) return 0;
    return use_visible ? static_cast<uint32_t>(visible.size()) : store->LiveCount();
  }
  uint32_t RowAt(uint32_t p) const { return use_visible ? visible[p] : store->LiveRow(p); }
  bool HasCurrent() const { return pos < Count(); }
  uint32_t CurrentRow() const { return RowAt(pos); }
  int64_t PosOf(uint32_t row) const {
    if (!store || !store->Live(row)) return -1;
    if (!use_visible) return store->LivePos(row);
    auto it = std::lower_bound(visible.begin(), visible.end(), row);
    if (it == visible.end() || *it != row) return -1;
    return it - visible.begin();
  }
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
  void ApplyView();
  bool Passes(uint32_t row) const;
  void Deactivate();

  // --- moving ---
  void MoveTo(uint32_t new_pos, bool new_bof, bool new_eof);
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

FieldImpl* ClientDataSet::Impl::Find(std::string_view field_name) const {
  for (const auto& f : fields) {
    if (SameName(f->FieldName(), field_name)) return f.get();
  }
  return nullptr;
}

Value ClientDataSet::Impl::ValueAtRow(const FieldImpl& f, uint32_t row, bool edited) const {
  switch (f.Kind()) {
    case FieldKind::Stored:
    case FieldKind::Local:
      if (f.col < 0) return Value();
      if (edited) return buffer[f.col];
      return store->Get(row, f.col);
    case FieldKind::Lookup:
      if (edited) {
        for (const auto& [field, value] : lookup_overrides) {
          if (field == &f) return value;
        }
      }
      return ResolveLookup(f, row, edited);
    case FieldKind::Nested:
      break;
  }
  return Value();
}

Value ClientDataSet::Impl::ValueAtIndex(int rec_index, const Field& field) const {
  if (&field.DataSet() != self)
    Fail("Field '" + field.FieldName() + "' belongs to another dataset");
  if (rec_index < 0 || static_cast<uint32_t>(rec_index) >= Count()) {
    Fail("Record index " + std::to_string(rec_index) + " is out of range");
  }
  uint32_t p = static_cast<uint32_t>(rec_index);
  return ValueAtRow(static_cast<const FieldImpl&>(field), RowAt(p),
                    p == pos && state == DataSetState::Edit);
}

// The first visible row of this dataset whose `cols` equal `probes` and, when `prefix_col` is a
// column, whose text in it begins with `prefix`. Uses (and builds) the hash index on `cols`.
uint32_t ClientDataSet::Impl::FindFirst(const std::vector<int>& cols,
                                        const std::vector<Probe>& probes, int prefix_col,
                                        std::string_view prefix) const {
  if (Count() == 0) return kNoRow;
  auto prefix_ok = [&](uint32_t row) {
    return prefix_col < 0 || store->Text(row, prefix_col).substr(0, prefix.size()) == prefix;
  };
  if (cols.empty()) {
    for (uint32_t p = 0; p < Count(); ++p) {
      if (prefix_ok(RowAt(p))) return RowAt(p);
    }
    return kNoRow;
  }
  const internal::KeyIndex& index = store->Index(cols);
  for (uint32_t row = index.FirstRow(index.HashProbes(*store, probes)); row != kNoRow;
       row = index.NextRow(row)) {
    if (index.RowMatches(*store, row, probes) && prefix_ok(row) && RowVisible(row)) return row;
  }
  return kNoRow;
}

Value ClientDataSet::Impl::ResolveLookup(const FieldImpl& f, uint32_t row, bool edited) const {
  Impl* src = f.source;
  if (!src || !src->active || !src->store) return Value();
  const Layout* src_layout = &src->store->layout();
  if (f.source_layout != src_layout) {
    f.source_key_cols.clear();
    for (const std::string& key : f.source_key_names) {
      int c = src_layout->ColumnIndex(key);
      if (c < 0) src->FailField(key, "not found");
      f.source_key_cols.push_back(c);
    }
    f.source_result_col = src_layout->ColumnIndex(f.decl().lookup_result_field);
    if (f.source_result_col < 0) src->FailField(f.decl().lookup_result_field, "not found");
    f.source_layout = src_layout;
  }
  const std::vector<FieldImpl*>& keys = f.KeyFields();
  std::vector<Probe> probes(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    Value key = ValueAtRow(*keys[i], row, edited);
    if (IsNoValue(key)) return Value();
    if (!MakeProbe(key, src_layout->columns[f.source_key_cols[i]].type, probes[i])) {
      return Value();
    }
  }
  uint32_t found = src->FindFirst(f.source_key_cols, probes, -1, {});
  if (found == kNoRow) return Value();
  Value result = src->store->Get(found, f.source_result_col);
  Value out;
  if (!Coerce(result, f.DataType(), out)) return Value();
  if (out.is_text() && f.Size() > 0) {
    if (rtl::GbkLength(out.text()) > static_cast<size_t>(f.Size())) {
      out = Value::Text(rtl::GbkTruncate(out.text(), f.Size()));
    }
  }
  return out;
}

void ClientDataSet::Impl::CheckCanModify(const FieldImpl& f) const {
  if (f.Kind() == FieldKind::Nested) FailField(f.FieldName(), "cannot be modified");
  CheckActive();
  if (state != DataSetState::Edit) Fail("Dataset not in edit or insert mode");
}

void ClientDataSet::Impl::SetValue(FieldImpl& f, Value v) {
  CheckCanModify(f);
  if (f.Kind() == FieldKind::Lookup) {
    if (v.is_text() && f.Size() > 0 && rtl::GbkLength(v.text()) > static_cast<size_t>(f.Size())) {
      v = Value::Text(rtl::GbkTruncate(v.text(), f.Size()));
    }
    for (auto& entry : lookup_overrides) {
      if (entry.first == &f) {
        entry.second = std::move(v);
        Notify(DataLink::Event::RecordChanged);
        return;
      }
    }
    lookup_overrides.emplace_back(&f, std::move(v));
    Notify(DataLink::Event::RecordChanged);
    return;
  }
  if (f.col < 0) FailField(f.FieldName(), "is not bound to the data");
  buffer[f.col] = std::move(v);
  changed[f.col] = 1;
  modified = true;
  // A lookup whose key changed shows its source again.
  lookup_overrides.erase(std::remove_if(lookup_overrides.begin(), lookup_overrides.end(),
                                        [&](const auto& entry) {
                                          const auto& keys = entry.first->key_names;
                                          return std::any_of(keys.begin(), keys.end(),
                                                             [&](const std::string& k) {
                                                               return SameName(k, f.FieldName());
                                                             });
                                        }),
                         lookup_overrides.end());
  Notify(DataLink::Event::RecordChanged);
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

std::shared_ptr<Layout> ClientDataSet::Impl::DefaultLayout(
    const std::vector<remote::FieldDef>& defs) {
  auto layout = std::make_shared<Layout>();
  int nested_seen = 0;
  for (size_t i = 0; i < defs.size(); ++i) {
    const remote::FieldDef& def = defs[i];
    if (def.type == FieldType::Nested) {
      layout->nested.push_back({def.name, nested_seen++, DefaultLayout(def.nested)});
    } else {
      layout->columns.push_back({def.name, def.type, def.width, true, static_cast<int>(i)});
    }
  }
  return layout;
}

// Binds the fields of this dataset (and of its line datasets) to a packet's field definitions.
// Throws, naming the field, when a declared stored or nested field is not in the packet.
std::shared_ptr<Layout> ClientDataSet::Impl::Bind(const std::vector<remote::FieldDef>& defs) {
  auto layout = std::make_shared<Layout>();
  auto find_def = [&](std::string_view field_name, bool nested_def) -> int {
    for (size_t i = 0; i < defs.size(); ++i) {
      if ((defs[i].type == FieldType::Nested) == nested_def && SameName(defs[i].name, field_name)) {
        return static_cast<int>(i);
      }
    }
    return -1;
  };
  auto nested_position = [&](int def_index) {
    int n = 0;
    for (int i = 0; i < def_index; ++i) n += defs[i].type == FieldType::Nested;
    return n;
  };
  auto bind_nested = [&](FieldImpl& f, int def_index) {
    std::shared_ptr<const Layout> lines;
    Impl* detail = nullptr;
    for (Impl* d : details) {
      if (d->dataset_field == &f) detail = d;
    }
    if (detail) {
      std::shared_ptr<Layout> bound = detail->Bind(defs[def_index].nested);
      detail->layout = bound;
      lines = bound;
    } else {
      lines = DefaultLayout(defs[def_index].nested);
    }
    f.nested = static_cast<int>(layout->nested.size());
    layout->nested.push_back({defs[def_index].name, nested_position(def_index), lines});
  };

  bool declares_data = std::any_of(fields.begin(), fields.end(), [](const auto& f) {
    return f->declared() && (f->Kind() == FieldKind::Stored || f->Kind() == FieldKind::Nested);
  });
  if (declares_data) {
    for (auto& f : fields) {
      if (f->Kind() == FieldKind::Stored) {
        int i = find_def(f->FieldName(), false);
        if (i < 0) FailField(f->FieldName(), "not found");
        int width = f->decl().size > 0 ? f->decl().size : defs[i].width;
        f->col = static_cast<int>(layout->columns.size());
        layout->columns.push_back({f->FieldName(), f->DataType(), width, true, i});
      } else if (f->Kind() == FieldKind::Nested) {
        int i = find_def(f->FieldName(), true);
        if (i < 0) FailField(f->FieldName(), "not found");
        bind_nested(*f, i);
      }
    }
  } else {
    for (size_t i = 0; i < defs.size(); ++i) {
      const remote::FieldDef& def = defs[i];
      bool nested_def = def.type == FieldType::Nested;
      FieldImpl* f = Find(def.name);
      if (f && f->declared()) Fail("Field '" + def.name + "' is declared twice");
      if (!f) {
        FieldDecl decl;
        decl.name = def.name;
        fields.push_back(std::make_unique<FieldImpl>(this, decl, false));
        f = fields.back().get();
      }
      f->mutable_decl().type = def.type;
      f->mutable_decl().kind = nested_def ? FieldKind::Nested : FieldKind::Stored;
      if (nested_def) {
        bind_nested(*f, static_cast<int>(i));
      } else {
        f->col = static_cast<int>(layout->columns.size());
        layout->columns.push_back({def.name, def.type, def.width, true, static_cast<int>(i)});
      }
    }
  }
  for (auto& f : fields) {
    if (f->Kind() != FieldKind::Local) continue;
    f->col = static_cast<int>(layout->columns.size());
    layout->columns.push_back({f->FieldName(), f->DataType(), f->decl().size, false, -1});
  }
  return layout;
}

void ClientDataSet::Impl::LoadRows(RecordStore& target,
                                   const std::vector<remote::Row>& rows) const {
  const Layout& lay = target.layout();
  size_t text_bytes = 0;
  for (const remote::Row& row : rows) {
    for (const ColumnDef& c : lay.columns) {
      if (c.packet_index >= 0 && c.packet_index < static_cast<int>(row.cells.size()) &&
          row.cells[c.packet_index].is_text()) {
        text_bytes += row.cells[c.packet_index].text().size();
      }
    }
  }
  target.Reserve(rows.size(), text_bytes);
  Value converted;
  for (const remote::Row& row : rows) {
    uint32_t r = target.AppendRow();
    for (int col = 0; col < static_cast<int>(lay.columns.size()); ++col) {
      const ColumnDef& c = lay.columns[col];
      if (c.packet_index < 0) continue;
      if (c.packet_index >= static_cast<int>(row.cells.size())) {
        Fail("The data packet has too few values for field '" + c.name + "'");
      }
      const Value& v = row.cells[c.packet_index];
      if (v.is_null()) continue;
      switch (c.type) {
        case FieldType::Text:
          if (v.is_text()) {
            target.LoadText(r, col, v.text());
            continue;
          }
          break;
        case FieldType::Float:
          if (v.is_float()) {
            target.LoadBits(r, col, internal::DoubleBits(v.float_value()));
            continue;
          }
          break;
        case FieldType::DateTime:
          if (v.is_date()) {
            target.LoadBits(r, col, internal::DoubleBits(v.date().value));
            continue;
          }
          break;
        case FieldType::Integer:
          if (v.is_integer()) {
            target.LoadBits(r, col, static_cast<uint64_t>(v.integer()));
            continue;
          }
          break;
        case FieldType::Nested:
          break;
      }
      if (!Coerce(v, c.type, converted)) {
        FailField(c.name, "cannot hold the value '" + ValueText(v) + "' sent by the server");
      }
      if (!converted.is_null()) target.Set(r, col, converted);
    }
    for (int n = 0; n < static_cast<int>(lay.nested.size()); ++n) {
      const NestedDef& nd = lay.nested[n];
      auto lines = std::make_unique<RecordStore>(nd.layout);
      if (nd.packet_nested_index < static_cast<int>(row.nested.size())) {
        LoadRows(*lines, row.nested[nd.packet_nested_index]);
      }
      target.ChildSlot(r, n) = std::move(lines);
    }
  }
}

void ClientDataSet::Impl::CompileFilter() {
  filter.reset();
  if (!filtered) return;
  if (std::all_of(filter_text.begin(), filter_text.end(), [](char c) { return c == ' '; })) return;
  filter = FilterExpr::Parse(
      filter_text,
      [this](std::string_view field_name) {
        FieldImpl& f = Get(field_name);
        FilterExpr::FieldInfo info;
        info.id = static_cast<int>(std::find_if(fields.begin(), fields.end(),
                                                [&](const auto& p) { return p.get() == &f; }) -
                                   fields.begin());
        info.type = f.Kind() == FieldKind::Lookup ? FieldType::Text : f.DataType();
        return info;
      },
      [this](const std::string& message) { Fail(message); });
}

bool ClientDataSet::Impl::Passes(uint32_t row) const {
  return filter->Matches([&](int id) { return ValueAtRow(*fields[id], row, false); });
}

void ClientDataSet::Impl::ApplyView() {
  visible.clear();
  use_visible = filter != nullptr && store != nullptr;
  if (!use_visible) return;
  for (uint32_t p = 0; p < store->LiveCount(); ++p) {
    uint32_t row = store->LiveRow(p);
    if (Passes(row)) visible.push_back(row);
  }
}

// Makes a closed state: for a header, its line datasets are closed as well.
void ClientDataSet::Impl::Deactivate() {
  for (Impl* d : details) d->Deactivate();
  bool was_active = active;
  active = false;
  state = DataSetState::Inactive;
  store = nullptr;
  root.reset();
  layout.reset();
  filter.reset();
  visible.clear();
  use_visible = false;
  pos = 0;
  bof = eof = true;
  buffer.clear();
  changed.clear();
  modified = nested_modified = false;
  snapshot_taken = false;
  snapshot.clear();
  lookup_overrides.clear();
  if (was_active) {
    Notify(DataLink::Event::ActiveChanged);
    NotifyDependents();
  }
}

// ---------------------------------------------------------------------------------------------
// Moving

void ClientDataSet::Impl::MoveTo(uint32_t new_pos, bool new_bof, bool new_eof) {
  pos = new_pos;
  bof = new_bof;
  eof = new_eof;
  SyncDetails();
  Notify(DataLink::Event::Scrolled);
  FireAfterScroll();
}

void ClientDataSet::Impl::SyncDetails() {
  for (Impl* d : details) {
    if (d->active && d->dataset_field) d->Present(CurrentChild(d->dataset_field->nested));
  }
}

// Shows `lines` (the lines of the header now under the header's cursor) from the first line.
void ClientDataSet::Impl::Present(RecordStore* lines) {
  if (state == DataSetState::Edit) LeaveEdit();
  store = lines;
  layout = lines ? lines->layout_ptr() : layout;
  ApplyView();
  pos = 0;
  bof = true;
  eof = Count() == 0;
  SyncDetails();
  Notify(DataLink::Event::DataChanged);
  if (Count() > 0) FireAfterScroll();
}

// ---------------------------------------------------------------------------------------------
// Editing

bool ClientDataSet::Impl::IsModified() const {
  if (state != DataSetState::Edit) return false;
  if (modified || nested_modified) return true;
  return std::any_of(details.begin(), details.end(), [](Impl* d) { return d->IsModified(); });
}

void ClientDataSet::Impl::CheckBrowseMode() {
  if (state != DataSetState::Edit) return;
  if (IsModified()) {
    PostRecord();
  } else {
    CancelEdit();
  }
}

void ClientDataSet::Impl::EnterEdit() {
  CheckActive();
  if (state == DataSetState::Edit) return;
  if (Count() == 0) Fail("Cannot perform this operation on an empty dataset");
  if (master) master->EnterEdit();
  uint32_t row = CurrentRow();
  int cols = static_cast<int>(store->layout().columns.size());
  buffer.resize(cols);
  for (int c = 0; c < cols; ++c) buffer[c] = store->Get(row, c);
  changed.assign(cols, 0);
  modified = false;
  nested_modified = false;
  snapshot_taken = false;
  snapshot.clear();
  lookup_overrides.clear();
  state = DataSetState::Edit;
  Notify(DataLink::Event::StateChanged);
}

void ClientDataSet::Impl::EnsureSnapshot() {
  if (snapshot_taken || !HasCurrent()) return;
  uint32_t row = CurrentRow();
  int n = static_cast<int>(store->layout().nested.size());
  snapshot.clear();
  for (int i = 0; i < n; ++i) {
    RecordStore* lines = store->Child(row, i);
    snapshot.push_back(lines ? std::make_unique<RecordStore>(*lines) : nullptr);
  }
  snapshot_taken = true;
}

void ClientDataSet::Impl::WriteBuffer() {
  if (master) master->EnsureSnapshot();
  uint32_t row = CurrentRow();
  const Layout& lay = store->layout();
  bool stored_change = false;
  for (size_t c = 0; c < lay.columns.size(); ++c) {
    if (changed[c] && lay.columns[c].stored && !(store->Get(row, c) == buffer[c])) {
      stored_change = true;
    }
  }
  bool line_changes = store->ChildrenHaveChanges(row);
  auto& log = store->changes();
  if ((stored_change || line_changes) && log.find(row) == log.end()) {
    log[row] = RecordStore::Change{remote::ChangeKind::Modify, store->StoredValues(row)};
  }
  for (size_t c = 0; c < lay.columns.size(); ++c) {
    if (changed[c]) store->Set(row, static_cast<int>(c), buffer[c]);
  }
  auto it = log.find(row);
  if (it != log.end() && it->second.kind == remote::ChangeKind::Modify && !line_changes &&
      store->StoredValues(row) == it->second.original) {
    log.erase(it);  // changed back to what the server holds
  }
  if (master) master->nested_modified = true;
}

void ClientDataSet::Impl::LeaveEdit() {
  state = active ? DataSetState::Browse : DataSetState::Inactive;
  buffer.clear();
  changed.clear();
  modified = false;
  nested_modified = false;
  snapshot_taken = false;
  snapshot.clear();
  lookup_overrides.clear();
}

void ClientDataSet::Impl::PostRecord() {
  CheckActive();
  if (state != DataSetState::Edit) Fail("Dataset not in edit or insert mode");
  for (Impl* d : details) d->CheckBrowseMode();  // the pending line first
  for (const auto& f : fields) {
    if (f->Required() && f->col >= 0 && IsNoValue(buffer[f->col])) {
      FailField(f->FieldName(), "must have a value");
    }
  }
  if (self->BeforePost) self->BeforePost(*self);
  if (state != DataSetState::Edit) return;  // the hook settled the record itself
  WriteBuffer();
  LeaveEdit();
  Notify(DataLink::Event::StateChanged);
  DataChanged();
}

void ClientDataSet::Impl::CancelEdit() {
  if (state != DataSetState::Edit) return;
  for (Impl* d : details) d->CancelEdit();
  bool restore = snapshot_taken;
  if (restore) {
    uint32_t row = CurrentRow();
    for (size_t i = 0; i < snapshot.size(); ++i) {
      store->ChildSlot(row, static_cast<int>(i)) = std::move(snapshot[i]);
    }
  }
  LeaveEdit();
  Notify(DataLink::Event::StateChanged);
  if (restore) SyncDetails();
  Notify(DataLink::Event::DataChanged);
}

void ClientDataSet::Impl::DeleteRecord() {
  CheckActive();
  if (Count() == 0) Fail("Cannot perform this operation on an empty dataset");
  if (state == DataSetState::Edit) CancelEdit();
  if (master) {
    master->EnterEdit();
    master->EnsureSnapshot();
  }
  uint32_t row = CurrentRow();
  auto& log = store->changes();
  auto it = log.find(row);
  if (it == log.end()) {
    log[row] = RecordStore::Change{remote::ChangeKind::Delete, store->StoredValues(row)};
  } else if (it->second.kind == remote::ChangeKind::Insert) {
    log.erase(it);
  } else {
    it->second.kind = remote::ChangeKind::Delete;
  }
  store->Remove(row);
  if (use_visible) visible.erase(std::lower_bound(visible.begin(), visible.end(), row));
  if (master) master->nested_modified = true;
  uint32_t n = Count();
  if (pos >= n) pos = n > 0 ? n - 1 : 0;
  bof = eof = n == 0;
  SyncDetails();
  DataChanged();
  FireAfterScroll();
}

// ---------------------------------------------------------------------------------------------
// Declarations

FieldDecl StoredField(std::string name, FieldType type, int size, bool required) {
  FieldDecl d;
  d.name = std::move(name);
  d.type = type;
  d.kind = type == FieldType::Nested ? FieldKind::Nested : FieldKind::Stored;
  d.size = size;
  d.required = required;
  return d;
}

FieldDecl LocalField(std::string name, FieldType type, int size) {
  FieldDecl d = StoredField(std::move(name), type, size);
  d.kind = FieldKind::Local;
  return d;
}

FieldDecl NestedField(std::string name) {
  return StoredField(std::move(name), FieldType::Nested);
}

FieldDecl LookupField(std::string name, int size, ClientDataSet* source, std::string key_fields,
                      std::string source_key_fields, std::string result_field) {
  FieldDecl d = StoredField(std::move(name), FieldType::Text, size);
  d.kind = FieldKind::Lookup;
  d.lookup_dataset = source;
  d.key_fields = std::move(key_fields);
  d.lookup_key_fields = std::move(source_key_fields);
  d.lookup_result_field = std::move(result_field);
  return d;
}

// ---------------------------------------------------------------------------------------------
// Param

Param::Param(std::string name, remote::ParamType type, remote::ParamDirection direction) {
  p_.name = std::move(name);
  p_.type = type;
  p_.direction = direction;
}

std::string Param::AsString() const {
  return ValueText(p_.value);
}

void Param::SetAsString(std::string text) {
  p_.type = remote::ParamType::Text;
  p_.value = Value::Text(std::move(text));
}

void Param::SetAsFloat(double value) {
  p_.type = remote::ParamType::Float;
  p_.value = Value::Float(value);
}

void Param::Clear() {
  p_.value = Value();
}

// ---------------------------------------------------------------------------------------------
// ClientDataSet

ClientDataSet::ClientDataSet(std::string name)
    : impl_(std::make_unique<Impl>(this, std::move(name))) {}

ClientDataSet::~ClientDataSet() {
  Impl& d = *impl_;
  d.Notify(DataLink::Event::Destroying);
  d.links.clear();
  for (Impl* detail : d.details) {
    detail->Deactivate();
    detail->master = nullptr;
    detail->dataset_field = nullptr;
  }
  d.details.clear();
  if (d.master) {
    auto& siblings = d.master->details;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), &d), siblings.end());
    d.master = nullptr;
  }
  for (auto& f : d.fields) {
    if (f->source && f->source != &d) {
      auto& deps = f->source->lookup_dependents;
      auto it = std::find(deps.begin(), deps.end(), &d);
      if (it != deps.end()) deps.erase(it);
    }
  }
  std::vector<Impl*> dependents = d.lookup_dependents;
  for (Impl* dep : dependents) {
    if (dep == &d) continue;
    for (auto& f : dep->fields) {
      if (f->source == &d) f->source = nullptr;
    }
  }
  for (Impl* dep : dependents) {
    if (dep != &d) dep->Notify(DataLink::Event::DataChanged);
  }
  d.lookup_dependents.clear();
}

const std::string& ClientDataSet::Name() const {
  return impl_->name;
}

Field& ClientDataSet::AddField(const FieldDecl& decl) {
  Impl& d = *impl_;
  if (d.active) d.Fail("Cannot add fields to an open dataset");
  if (decl.name.empty()) d.Fail("A field needs a name");
  if (d.Find(decl.name)) d.FailField(decl.name, "is declared twice");
  FieldDecl fixed = decl;
  if (fixed.kind == FieldKind::Nested) fixed.type = FieldType::Nested;
  if (fixed.type == FieldType::Nested) fixed.kind = FieldKind::Nested;
  auto field = std::make_unique<FieldImpl>(&d, fixed, true);
  if (fixed.kind == FieldKind::Lookup) {
    if (!fixed.lookup_dataset) d.FailField(fixed.name, "has no source list");
    field->key_names = SplitNames(fixed.key_fields);
    field->source_key_names = SplitNames(fixed.lookup_key_fields);
    if (field->key_names.empty() || field->key_names.size() != field->source_key_names.size()) {
      d.FailField(fixed.name, "needs as many key fields as source key fields");
    }
    if (fixed.lookup_result_field.empty()) d.FailField(fixed.name, "has no result field");
    field->source = fixed.lookup_dataset->impl_.get();
    field->source->lookup_dependents.push_back(&d);
  }
  d.fields.push_back(std::move(field));
  return *d.fields.back();
}

void ClientDataSet::SetRemoteServer(remote::Connection* connection) {
  impl_->connection = connection;
}
remote::Connection* ClientDataSet::RemoteServer() const {
  return impl_->connection;
}
void ClientDataSet::SetProviderName(std::string provider) {
  impl_->provider = std::move(provider);
}
const std::string& ClientDataSet::ProviderName() const {
  return impl_->provider;
}
void ClientDataSet::SetPacketRecords(int records) {
  impl_->packet_records = records;
}
int ClientDataSet::PacketRecords() const {
  return impl_->packet_records;
}

Param& ClientDataSet::AddParam(std::string name, remote::ParamType type,
                               remote::ParamDirection direction) {
  Impl& d = *impl_;
  for (const auto& p : d.params) {
    if (SameName(p->Name(), name)) d.Fail("Parameter '" + name + "' is declared twice");
  }
  d.params.push_back(std::make_unique<Param>(std::move(name), type, direction));
  return *d.params.back();
}

Param& ClientDataSet::ParamByName(std::string_view name) {
  for (const auto& p : impl_->params) {
    if (SameName(p->Name(), name)) return *p;
  }
  impl_->Fail("Parameter '" + std::string(name) + "' not found");
}

int ClientDataSet::ParamCount() const {
  return static_cast<int>(impl_->params.size());
}
void ClientDataSet::SetCommandText(std::string text) {
  impl_->command_text = std::move(text);
}
const std::string& ClientDataSet::CommandText() const {
  return impl_->command_text;
}

void ClientDataSet::SetDataSetField(Field* nested_field) {
  Impl& d = *impl_;
  if (d.active) d.Fail("Cannot change the nested field of an open dataset");
  if (d.master) {
    auto& siblings = d.master->details;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), &d), siblings.end());
    d.master = nullptr;
    d.dataset_field = nullptr;
  }
  if (!nested_field) return;
  auto* f = dynamic_cast<FieldImpl*>(nested_field);
  if (!f || f->Kind() != FieldKind::Nested) {
    d.Fail("Field '" + nested_field->FieldName() + "' is not a nested field");
  }
  if (f->owner() == &d) d.Fail("A dataset cannot present its own nested field");
  if (f->owner()->active) d.Fail("Cannot bind to the nested field of an open dataset");
  d.master = f->owner();
  d.dataset_field = f;
  d.master->details.push_back(&d);
}

Field* ClientDataSet::DataSetField() const {
  return impl_->dataset_field;
}

void ClientDataSet::Open() {
  Impl& d = *impl_;
  if (d.active) return;
  if (d.master) {
    if (!d.master->active) d.Fail("Cannot open lines while their header is closed");
    d.active = true;
    d.state = DataSetState::Browse;
    d.CompileFilter();
    d.Notify(DataLink::Event::ActiveChanged);
    d.Present(d.master->CurrentChild(d.dataset_field->nested));
    return;
  }
  if (!d.connection) d.Fail("Missing remote server");
  if (d.provider.empty()) d.Fail("Missing data provider");

  const remote::OpenRequest request = d.OpenRequest();
  remote::ServerObject& object = d.connection->Object();
  remote::OpenResult result = object.Open(request);

  auto release_cursor = [&object](uint32_t cursor) {
    if (cursor == 0) return;
    try {
      object.CloseCursor(cursor);
    } catch (const std::exception&) {
      // The result is of no further use; a server that cannot release it loses nothing of ours.
    }
  };
  std::unique_ptr<RecordStore> records;
  try {
    std::shared_ptr<Layout> layout = d.Bind(result.packet.fields);
    d.CompileFilter();
    for (Impl* detail : d.details) detail->CompileFilter();
    records = std::make_unique<RecordStore>(layout);
    d.LoadRows(*records, result.packet.rows);
  } catch (...) {
    d.filter.reset();
    for (Impl* detail : d.details) detail->filter.reset();
    release_cursor(result.cursor);
    throw;
  }
  if (result.packet.more) {
    d.server_cursor = result.cursor;
  } else {
    release_cursor(result.cursor);
    d.server_cursor = 0;
  }
  d.root = std::move(records);
  d.store = d.root.get();
  d.layout = d.root->layout_ptr();
  d.active = true;
  d.state = DataSetState::Browse;
  for (Impl* detail : d.details) {
    detail->active = true;
    detail->state = DataSetState::Browse;
  }
  d.ApplyView();
  d.pos = 0;
  d.bof = true;
  d.eof = d.Count() == 0;
  d.Notify(DataLink::Event::ActiveChanged);
  d.NotifyDependents();
  for (Impl* detail : d.details) detail->Notify(DataLink::Event::ActiveChanged);
  d.SyncDetails();
  if (d.Count() > 0) d.FireAfterScroll();
}

void ClientDataSet::PrefetchOpen() {
  Impl& d = *impl_;
  if (d.active || d.master || !d.connection || d.provider.empty() || !d.connection->Connected())
    return;
  try {
    d.connection->Object().Prefetch(d.OpenRequest());
  } catch (const std::exception&) {
    // Only a hint: the open itself reports whatever is wrong.
  }
}

void PrefetchOpen(std::initializer_list<ClientDataSet*> datasets) {
  for (ClientDataSet* ds : datasets) {
    if (ds) ds->PrefetchOpen();
  }
}

void ClientDataSet::Close() {
  Impl& d = *impl_;
  if (!d.active) return;
  if (d.server_cursor != 0 && d.connection) {
    try {
      d.connection->Object().CloseCursor(d.server_cursor);
    } catch (const std::exception&) {
      // Closing drops the records whatever the server says.
    }
  }
  d.server_cursor = 0;
  d.Deactivate();
}

bool ClientDataSet::Active() const {
  return impl_->active;
}
DataSetState ClientDataSet::State() const {
  return impl_->state;
}

int ClientDataSet::GetNextPacket() {
  Impl& d = *impl_;
  if (!d.active || d.master || d.server_cursor == 0) return 0;
  remote::ServerObject& object = d.connection->Object();
  remote::Packet packet =
      object.Fetch(d.server_cursor, d.packet_records > 0 ? d.packet_records : -1);
  if (!packet.more) {
    uint32_t cursor = d.server_cursor;
    d.server_cursor = 0;
    try {
      object.CloseCursor(cursor);
    } catch (const std::exception&) {
      // Every row has arrived; the server keeps nothing we need.
    }
  }
  uint32_t before = d.Count();
  uint32_t first = d.store->RowCount();
  d.LoadRows(*d.store, packet.rows);
  d.store->IndexRowsFrom(first);
  if (d.use_visible) {
    for (uint32_t row = first; row < d.store->RowCount(); ++row) {
      if (d.Passes(row)) d.visible.push_back(row);
    }
  }
  if (d.Count() > before) {
    d.eof = false;
    if (before == 0) d.SyncDetails();
  }
  d.DataChanged();
  return static_cast<int>(d.store->RowCount() - first);
}

void ClientDataSet::Execute() {
  Impl& d = *impl_;
  if (!d.connection) d.Fail("Missing remote server");
  if (d.provider.empty()) d.Fail("Missing data provider");
  std::vector<remote::Param> params;
  for (const auto& p : d.params) params.push_back(p->Wire());
  d.connection->Object().Execute(d.provider, params, d.command_text);
}

int ClientDataSet::ApplyUpdates(int max_errors) {
  Impl& d = *impl_;
  if (d.master) return d.master->self->ApplyUpdates(max_errors);
  d.CheckActive();
  d.CheckBrowseMode();
  std::vector<remote::RowDelta> delta = d.store->Delta();
  if (delta.empty()) return 0;
  if (!d.connection) d.Fail("Missing remote server");
  remote::ApplyResult result = d.connection->Object().ApplyUpdates(d.provider, delta, max_errors);
  if (result.error_count == 0) {
    d.store->MergeChanges();
    d.DataChanged();
  }
  return result.error_count;
}

void ClientDataSet::First() {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  d.MoveTo(0, true, d.Count() == 0);
}

void ClientDataSet::Last() {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  uint32_t n = d.Count();
  d.MoveTo(n > 0 ? n - 1 : 0, n == 0, true);
}

void ClientDataSet::Next() {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  if (d.eof) return;
  if (d.pos + 1 < d.Count()) {
    d.MoveTo(d.pos + 1, false, false);
  } else {
    d.MoveTo(d.pos, false, true);
  }
}

void ClientDataSet::Prior() {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  if (d.bof) return;
  if (d.pos > 0) {
    d.MoveTo(d.pos - 1, false, false);
  } else {
    d.MoveTo(0, true, false);
  }
}

bool ClientDataSet::Bof() const {
  return impl_->bof;
}
bool ClientDataSet::Eof() const {
  return impl_->eof;
}
bool ClientDataSet::IsEmpty() const {
  return impl_->Count() == 0;
}
int ClientDataSet::RecordCount() const {
  return static_cast<int>(impl_->Count());
}
int ClientDataSet::RecNo() const {
  return impl_->HasCurrent() ? static_cast<int>(impl_->pos) + 1 : 0;
}

void ClientDataSet::SetRecNo(int rec_no) {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  if (rec_no < 1 || static_cast<uint32_t>(rec_no) > d.Count()) d.Fail("Record not found");
  d.MoveTo(static_cast<uint32_t>(rec_no - 1), false, false);
}

Field& ClientDataSet::FieldByName(std::string_view name) {
  return impl_->Get(name);
}
Field* ClientDataSet::FindField(std::string_view name) {
  return impl_->Find(name);
}
int ClientDataSet::FieldCount() const {
  return static_cast<int>(impl_->fields.size());
}
Field& ClientDataSet::FieldAt(int index) {
  if (index < 0 || index >= FieldCount()) impl_->Fail("Field index out of range");
  return *impl_->fields[index];
}

std::string ClientDataSet::TextAt(int rec_index, const Field& field) const {
  return ValueText(impl_->ValueAtIndex(rec_index, field));
}
double ClientDataSet::FloatAt(int rec_index, const Field& field) const {
  return ValueFloat(impl_->ValueAtIndex(rec_index, field));
}
bool ClientDataSet::IsNullAt(int rec_index, const Field& field) const {
  return IsNoValue(impl_->ValueAtIndex(rec_index, field));
}

long double ClientDataSet::Sum(const Field& field) const {
  const Impl& d = *impl_;
  if (&field.DataSet() != this)
    d.Fail("Field '" + field.FieldName() + "' belongs to another dataset");
  const auto& f = static_cast<const FieldImpl&>(field);
  long double sum = 0;
  uint32_t n = d.Count();
  bool numeric_column =
      f.col >= 0 && (f.DataType() == FieldType::Float || f.DataType() == FieldType::Integer);
  for (uint32_t p = 0; p < n; ++p) {
    bool edited = p == d.pos && d.state == DataSetState::Edit;
    uint32_t row = d.RowAt(p);
    if (numeric_column && !edited) {
      if (d.store->IsNull(row, f.col)) continue;
      sum += f.DataType() == FieldType::Float ? d.store->Double(row, f.col)
                                              : static_cast<long double>(d.store->Int(row, f.col));
    } else {
      Value v = d.ValueAtRow(f, row, edited);
      if (v.is_float())
        sum += v.float_value();
      else if (v.is_integer())
        sum += v.integer();
      else if (v.is_text() && !v.text().empty()) {
        double x = 0;
        if (rtl::TryStrToFloat(v.text(), x)) sum += x;
      }
    }
  }
  return sum;
}

void ClientDataSet::SetFilter(std::string expression) {
  Impl& d = *impl_;
  if (d.active && d.filtered) {
    d.CheckBrowseMode();
    std::string old = std::move(d.filter_text);
    d.filter_text = std::move(expression);
    try {
      d.CompileFilter();
    } catch (...) {
      d.filter_text = std::move(old);
      d.CompileFilter();
      throw;
    }
    d.ApplyView();
    d.DataChanged();
    d.MoveTo(0, true, d.Count() == 0);
    return;
  }
  d.filter_text = std::move(expression);
}

const std::string& ClientDataSet::Filter() const {
  return impl_->filter_text;
}

void ClientDataSet::SetFiltered(bool on) {
  Impl& d = *impl_;
  if (!d.active) {
    d.filtered = on;
    return;
  }
  d.CheckBrowseMode();
  bool old = d.filtered;
  d.filtered = on;
  try {
    d.CompileFilter();
  } catch (...) {
    d.filtered = old;
    d.CompileFilter();
    throw;
  }
  d.ApplyView();
  d.DataChanged();
  d.MoveTo(0, true, d.Count() == 0);
}

bool ClientDataSet::Filtered() const {
  return impl_->filtered;
}

bool ClientDataSet::Locate(std::string_view key_fields, const std::vector<std::string>& values,
                           LocateOption option) {
  Impl& d = *impl_;
  d.CheckActive();
  std::vector<std::string> names = SplitNames(key_fields);
  if (names.empty()) d.Fail("Locate needs at least one field");
  if (names.size() != values.size()) d.Fail("Locate needs one value for each field");
  std::vector<FieldImpl*> keys;
  keys.reserve(names.size());
  for (const std::string& n : names) keys.push_back(&d.Get(n));
  d.CheckBrowseMode();
  if (d.Count() == 0) return false;

  bool prefix_last =
      option == LocateOption::PartialKey && keys.back()->DataType() == FieldType::Text;
  bool columns_only = std::all_of(keys.begin(), keys.end(), [](FieldImpl* f) {
    return (f->Kind() == FieldKind::Stored || f->Kind() == FieldKind::Local) && f->col >= 0;
  });
  uint32_t found = kNoRow;
  if (columns_only) {
    size_t exact = prefix_last ? keys.size() - 1 : keys.size();
    std::vector<int> cols;
    std::vector<Probe> probes(exact);
    for (size_t i = 0; i < exact; ++i) {
      cols.push_back(keys[i]->col);
      Value v = ParseText(values[i], keys[i]->DataType(), 0);
      MakeProbe(v, keys[i]->DataType(), probes[i]);
    }
    found = d.FindFirst(cols, probes, prefix_last ? keys.back()->col : -1,
                        prefix_last ? std::string_view(values.back()) : std::string_view());
  } else {
    std::vector<Value> wanted;
    for (size_t i = 0; i < keys.size(); ++i) {
      wanted.push_back(ParseText(values[i], keys[i]->DataType(), 0));
    }
    for (uint32_t p = 0; p < d.Count() && found == kNoRow; ++p) {
      uint32_t row = d.RowAt(p);
      bool all = true;
      for (size_t i = 0; i < keys.size() && all; ++i) {
        Value v = d.ValueAtRow(*keys[i], row, false);
        if (i + 1 == keys.size() && prefix_last) {
          std::string text = ValueText(v);
          all = text.compare(0, values[i].size(), values[i]) == 0;
        } else if (keys[i]->DataType() == FieldType::Text) {
          all = ValueText(v) == values[i];
        } else {
          all = IsNoValue(v) ? IsNoValue(wanted[i]) : v == wanted[i];
        }
      }
      if (all) found = row;
    }
  }
  if (found == kNoRow) return false;
  d.MoveTo(static_cast<uint32_t>(d.PosOf(found)), false, false);
  return true;
}

Bookmark ClientDataSet::GetBookmark() const {
  const Impl& d = *impl_;
  Bookmark mark;
  if (d.HasCurrent()) {
    mark.record_id = (static_cast<int64_t>(d.store->serial()) << 32) | d.CurrentRow();
  }
  return mark;
}

void ClientDataSet::GotoBookmark(const Bookmark& mark) {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  int64_t p = -1;
  if (mark.Valid() && d.store && static_cast<uint32_t>(mark.record_id >> 32) == d.store->serial()) {
    p = d.PosOf(static_cast<uint32_t>(mark.record_id & 0xFFFFFFFF));
  }
  if (p < 0) d.Fail("Record not found");
  d.MoveTo(static_cast<uint32_t>(p), false, false);
}

void ClientDataSet::FreeBookmark(Bookmark& mark) {
  mark.record_id = -1;
}

void ClientDataSet::Edit() {
  impl_->EnterEdit();
}
void ClientDataSet::Post() {
  impl_->PostRecord();
}
void ClientDataSet::Cancel() {
  impl_->CancelEdit();
}
void ClientDataSet::Delete() {
  impl_->DeleteRecord();
}
bool ClientDataSet::Modified() const {
  return impl_->IsModified();
}

int ClientDataSet::ChangeCount() const {
  const Impl& d = *impl_;
  if (d.master) return d.master->self->ChangeCount();
  return d.store ? static_cast<int>(d.store->Delta().size()) : 0;
}

std::vector<remote::RowDelta> ClientDataSet::Delta() const {
  const Impl& d = *impl_;
  if (d.master) return d.master->self->Delta();
  return d.store ? d.store->Delta() : std::vector<remote::RowDelta>();
}

void ClientDataSet::MergeChangeLog() {
  Impl& d = *impl_;
  if (d.master) return d.master->self->MergeChangeLog();
  if (d.store) d.store->MergeChanges();
}

void ClientDataSet::AddLink(DataLink* link) {
  if (link && std::find(impl_->links.begin(), impl_->links.end(), link) == impl_->links.end()) {
    impl_->links.push_back(link);
  }
}

void ClientDataSet::RemoveLink(DataLink* link) {
  auto& links = impl_->links;
  links.erase(std::remove(links.begin(), links.end(), link), links.end());
}

size_t ClientDataSet::MemoryUsage() const {
  const Impl& d = *impl_;
  return (d.root ? d.root->MemoryUsage() : 0) + d.visible.capacity() * sizeof(uint32_t);
}

size_t ClientDataSet::TextBytes() const {
  return impl_->root ? impl_->root->TextBytes() : 0;
}

}  // namespace data
