// The client dataset's fields: their declaration, the values they read on any record (the
// record being edited reads as edited), lookups into their source lists, and setting them.
#include <algorithm>

#include "data/dataset_impl.h"
#include "rtl/gbk.h"

namespace data {

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
      if (edited) return buffer.Get(f.col);
      return store->Get(row, f.col);
    case FieldKind::Lookup:
      if (edited) {
        if (const Value* own = buffer.LookupValue(&f)) return *own;
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
                    p == Pos() && state == DataSetState::Edit);
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
    buffer.SetLookupValue(&f, std::move(v));
    Notify(DataLink::Event::RecordChanged);
    return;
  }
  if (f.col < 0) FailField(f.FieldName(), "is not bound to the data");
  buffer.Set(f.col, std::move(v));
  // A lookup whose key changed shows its source again.
  buffer.ForgetLookupValues([&](const Field* lookup) {
    const auto& keys = static_cast<const FieldImpl*>(lookup)->key_names;
    return std::any_of(keys.begin(), keys.end(),
                       [&](const std::string& k) { return SameName(k, f.FieldName()); });
  });
  Notify(DataLink::Event::RecordChanged);
}

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
    bool edited = p == d.Pos() && d.state == DataSetState::Edit;
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

}  // namespace data
