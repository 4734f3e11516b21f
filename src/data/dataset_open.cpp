// The client dataset's life: opening (binding the declared fields to the packet's and loading
// the rows), the later packets, closing, and what the provider does with the dataset's command
// text and change log.
#include <algorithm>

#include "data/dataset_impl.h"

namespace data {

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
  view.Clear();
  buffer.End();
  if (was_active) {
    Notify(DataLink::Event::ActiveChanged);
    NotifyDependents();
  }
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
  if (d.view.Appended(first, d.ViewFilter()) && before == 0) d.SyncDetails();
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

}  // namespace data
