// The client dataset: its declaration, the cursor over the visible records, the filter, locate,
// bookmarks and editing. Field values: dataset_fields.cpp; opening and the server's side:
// dataset_open.cpp.
#include "data/dataset.h"

#include <algorithm>

#include "data/dataset_impl.h"

namespace data {

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
  view.Show(store, ViewFilter());
}

void ClientDataSet::Impl::Moved() {
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
  SyncDetails();
  Notify(DataLink::Event::DataChanged);
  if (Count() > 0) FireAfterScroll();
}

bool ClientDataSet::Impl::IsModified() const {
  if (state != DataSetState::Edit) return false;
  if (buffer.Modified()) return true;
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
  buffer.Begin(*store, CurrentRow());
  state = DataSetState::Edit;
  Notify(DataLink::Event::StateChanged);
}

void ClientDataSet::Impl::EnsureSnapshot() {
  if (HasCurrent()) buffer.KeepLines(*store, CurrentRow());
}

void ClientDataSet::Impl::WriteBuffer() {
  if (master) master->EnsureSnapshot();
  buffer.WriteTo(*store, CurrentRow());
  if (master) master->buffer.MarkLinesModified();
}

void ClientDataSet::Impl::LeaveEdit() {
  state = active ? DataSetState::Browse : DataSetState::Inactive;
  buffer.End();
}

void ClientDataSet::Impl::PostRecord() {
  CheckActive();
  if (state != DataSetState::Edit) Fail("Dataset not in edit or insert mode");
  for (Impl* d : details) d->CheckBrowseMode();  // the pending line first
  for (const auto& f : fields) {
    if (f->Required() && f->col >= 0 && IsNoValue(buffer.Get(f->col))) {
      FailField(f->FieldName(), "must have a value");
    }
  }
  if (self->BeforePost) self->BeforePost(*self);
  if (state != DataSetState::Edit) return;  // the hook settled the record itself
  const uint32_t row = CurrentRow();
  WriteBuffer();
  LeaveEdit();
  Notify(DataLink::Event::StateChanged);
  RefilterCurrent(row);
  DataChanged();
}

// While the filter is on, only records it accepts are visible: a record posted with values it no
// longer accepts leaves the view, and the cursor stands on the record that followed it (the last
// one when it was the last).
void ClientDataSet::Impl::RefilterCurrent(uint32_t row) {
  if (!filter || store == nullptr || Passes(row)) return;
  view.Remove(row);
  SyncDetails();
  Notify(DataLink::Event::Scrolled);
}

void ClientDataSet::Impl::CancelEdit() {
  if (state != DataSetState::Edit) return;
  for (Impl* d : details) d->CancelEdit();
  bool restore = buffer.KeptLines();
  if (restore) buffer.RestoreLines(*store, CurrentRow());
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
  view.Remove(row);
  if (master) master->buffer.MarkLinesModified();
  SyncDetails();
  DataChanged();
  FireAfterScroll();
}

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

bool ClientDataSet::Active() const {
  return impl_->active;
}
DataSetState ClientDataSet::State() const {
  return impl_->state;
}

void ClientDataSet::First() {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  d.view.First();
  d.Moved();
}

void ClientDataSet::Last() {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  d.view.Last();
  d.Moved();
}

void ClientDataSet::Next() {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  if (d.view.Next()) d.Moved();
}

void ClientDataSet::Prior() {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  if (d.view.Prior()) d.Moved();
}

bool ClientDataSet::Bof() const {
  return impl_->view.Bof();
}
bool ClientDataSet::Eof() const {
  return impl_->view.Eof();
}
bool ClientDataSet::IsEmpty() const {
  return impl_->Count() == 0;
}
int ClientDataSet::RecordCount() const {
  return static_cast<int>(impl_->Count());
}
int ClientDataSet::RecNo() const {
  return impl_->HasCurrent() ? static_cast<int>(impl_->Pos()) + 1 : 0;
}

void ClientDataSet::SetRecNo(int rec_no) {
  Impl& d = *impl_;
  d.CheckActive();
  d.CheckBrowseMode();
  if (rec_no < 1 || static_cast<uint32_t>(rec_no) > d.Count()) d.Fail("Record not found");
  d.view.Goto(static_cast<uint32_t>(rec_no - 1));
  d.Moved();
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
    d.view.First();
    d.Moved();
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
  d.view.First();
  d.Moved();
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
  d.view.Goto(static_cast<uint32_t>(d.PosOf(found)));
  d.Moved();
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
  d.view.Goto(static_cast<uint32_t>(p));
  d.Moved();
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
  return (d.root ? d.root->MemoryUsage() : 0) + d.view.MemoryUsage();
}

size_t ClientDataSet::TextBytes() const {
  return impl_->root ? impl_->root->TextBytes() : 0;
}

}  // namespace data
