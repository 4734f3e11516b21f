#include "server/apply.h"

#include <cmath>
#include <optional>

#include "rtl/datetime.h"
#include "rtl/gbk.h"
#include "rtl/numtext.h"
#include "server/schema.h"
#include "server/text_rules.h"

namespace server {
namespace {

using remote::FieldDef;
using remote::FieldType;
using remote::FieldValue;
using remote::RowDelta;
using remote::Value;

// A row that cannot be written; the message is what the operator sees (and the log keeps).
struct RowFailure {
  msg::Message message;
};

const Value* FindValue(const std::vector<FieldValue>& values, const std::string& field) {
  for (const FieldValue& v : values) {
    if (v.field == field) return &v.value;
  }
  return nullptr;
}

// `v` as a value of field `f`, or a failure naming the field. A value read (`original`) is only
// compared with what is stored, so a control character that stored data may already hold does
// not fail it.
Value Coerce(const Value& v, const FieldDef& f, const msg::Text& where, bool original = false) {
  if (v.is_null()) return v;
  switch (f.type) {
    case FieldType::Text:
      if (!v.is_text()) throw RowFailure{msg::FieldMustBeText(where, f.name)};
      if (!rtl::IsValidUtf8(v.text())) throw RowFailure{msg::FieldNotValidText(where, f.name)};
      // Line breaks and tabs are a memo's own; NUL and the other controls are no text.
      if (const int c = original ? -1 : ForbiddenControl(v.text(), TextUse::kStored); c >= 0) {
        throw RowFailure{
            msg::ControlCharacter(msg::Part("part.field_of", {where, msg::Field(f.name)}),
                                  static_cast<unsigned char>(c))};
      }
      if (f.width > 0 && rtl::GbkLength(v.text()) > static_cast<size_t>(f.width)) {
        throw RowFailure{msg::FieldTooLong(where, f.name, f.width)};
      }
      return v;
    case FieldType::Float:
      // NaN and the infinities are no amounts: nothing that is not a number is stored.
      if (v.is_float() && std::isfinite(v.float_value())) return v;
      if (v.is_integer()) return Value::Float(static_cast<double>(v.integer()));
      throw RowFailure{msg::FieldMustBeNumber(where, f.name)};
    case FieldType::DateTime:
      // The wire carries any 8 bytes: a date must be one of years 1 to 9999.
      if (v.is_date() && rtl::IsValidDateTime(v.date())) return v;
      throw RowFailure{msg::FieldMustBeDate(where, f.name)};
    case FieldType::Integer:
      if (v.is_integer()) return v;
      throw RowFailure{msg::FieldMustBeWhole(where, f.name)};
    case FieldType::Nested:
      break;
  }
  throw RowFailure{msg::FieldCannotBeWritten(where, f.name)};
}

struct Assignment {
  std::string field;
  Value value;
  Value original;
};

// The stored fields that `row` changes, with their values read, checked against `fields`.
// Names that are not stored fields are left out; a key or read-only field fails the row.
std::vector<Assignment> Assignments(const RowDelta& row, const std::vector<FieldDef>& fields,
                                    std::initializer_list<const char*> writable,
                                    const msg::Text& where) {
  std::vector<Assignment> out;
  for (const FieldValue& change : row.changed) {
    const FieldDef* f = schema::FindField(fields, change.field);
    if (!f || f->type == FieldType::Nested) continue;  // lookup or local: not the server's
    bool can_write = false;
    for (const char* w : writable) can_write = can_write || change.field == w;
    if (!can_write) throw RowFailure{msg::FieldCannotBeChanged(where, change.field)};
    const Value* original = FindValue(row.original, change.field);
    if (!original) throw RowFailure{msg::ChangeLacksValueRead(where, change.field)};
    out.push_back({change.field, Coerce(change.value, *f, where),
                   Coerce(*original, *f, where, /*original=*/true)});
  }
  return out;
}

// UPDATE table SET a = ?, ... WHERE <key> AND a IS <original> ...; true when the row was written.
bool ConditionalUpdate(DbSession& db, const char* table, const std::vector<Assignment>& set,
                       const std::string& key_condition, const std::vector<Value>& key_values) {
  std::string sql = std::string("UPDATE ") + table + " SET ";
  std::vector<Value> params;
  for (size_t i = 0; i < set.size(); ++i) {
    sql += (i ? ", " : "") + set[i].field + " = ?";
    params.push_back(set[i].value);
  }
  sql += " WHERE " + key_condition;
  params.insert(params.end(), key_values.begin(), key_values.end());
  for (const Assignment& a : set) {
    sql += " AND " + a.field + db.NullSafeEquals() + "?";
    params.push_back(a.original);
  }
  return db.Execute(sql, params) > 0;
}

std::vector<std::string> ChangedNames(const std::vector<Assignment>& set) {
  std::vector<std::string> names;
  names.reserve(set.size());
  for (const Assignment& a : set) names.push_back(a.field);
  return names;
}

// What a document's written rows changed, for the audit trail.
void Record(std::vector<WrittenField>& out, const std::string& goods,
            const std::vector<Assignment>& set) {
  for (const Assignment& a : set) out.push_back({0, goods, a.field, a.original, a.value});
}

}  // namespace

std::optional<double> ChangedDocumentNumber(const RowDelta& row) {
  const Value* v = FindValue(row.original, "DHAO00");
  if (!v || v->is_null()) v = FindValue(row.changed, "DHAO00");
  if (!v) return std::nullopt;
  if (v->is_float()) return v->float_value();
  if (v->is_integer()) return static_cast<double>(v->integer());
  return std::nullopt;
}

bool StoresAudit(const RowDelta& row) {
  const Value* now = FindValue(row.changed, "YWRQ00");
  const Value* was = FindValue(row.original, "YWRQ00");
  return now && !now->is_null() && (!was || was->is_null());
}

namespace {

void ApplyHeader(DbSession& db, const RowDelta& row, double number, const msg::Text& doc,
                 const ApplyOptions& options, std::vector<WrittenField>& written) {
  const std::vector<Assignment> set = Assignments(
      row, schema::HeaderFields(),
      {"CKRQ00", "CKRY00", "YWRQ00", "YWRY00", "CKDM00", "ZZSL00", "BEIZHU", "GSDW00"}, doc);
  if (set.empty()) return;
  for (const Assignment& a : set) {
    if (a.field != "YWRQ00") continue;
    if (a.original.is_null() && !a.value.is_null() && !options.audit_allowed) {
      throw RowFailure{msg::AuditOnlyWithStock(doc)};
    }
    if (!a.original.is_null() && a.value.is_null()) {
      throw RowFailure{msg::CancelOnlyByCancel(doc)};
    }
  }
  if (ConditionalUpdate(db, "QMDWLRT1", set, "DHAO00 = ?", {Value::Float(number)})) {
    Record(written, "", set);
    return;
  }
  auto exists = db.Query("SELECT 1 FROM QMDWLRT1 WHERE DHAO00 = ?", {Value::Float(number)});
  if (!exists->Next()) throw RowFailure{msg::DocumentNoLongerExists(doc)};
  throw RowFailure{msg::ChangedByAnother(doc, ChangedNames(set))};
}

// Returns the failures of the document's lines.
std::vector<msg::Message> ApplyLines(DbSession& db, const RowDelta& header, double number,
                                     const msg::Text& doc, const ApplyOptions& options,
                                     std::vector<WrittenField>& written) {
  std::vector<msg::Message> failures;
  for (const remote::NestedDelta& nested : header.nested) {
    if (nested.field != options.nested_field) {
      failures.push_back(msg::UnknownNestedField(doc, nested.field));
      continue;
    }
    for (const RowDelta& line : nested.rows) {
      const Value* goods = FindValue(line.original, "SPDM00");
      if (!goods || !goods->is_text()) goods = FindValue(line.changed, "SPDM00");
      const msg::Text where =
          msg::DocumentLine(number, goods && goods->is_text() ? goods->text() : std::string("?"));
      try {
        if (line.kind != remote::ChangeKind::Modify) {
          throw RowFailure{msg::LinesCannotBeAddedOrDeleted(where)};
        }
        if (!goods || !goods->is_text()) throw RowFailure{msg::LineLacksGoods(where)};
        const std::vector<Assignment> set =
            Assignments(line, schema::LineFields(), {"DJIA00", "JE0000", "SE0000"}, where);
        if (set.empty()) continue;
        if (ConditionalUpdate(db, "QMDWLRT2", set, "DHAO00 = ? AND SPDM00 = ?",
                              {Value::Float(number), *goods})) {
          Record(written, goods->text(), set);
          continue;
        }
        auto exists = db.Query("SELECT 1 FROM QMDWLRT2 WHERE DHAO00 = ? AND SPDM00 = ?",
                               {Value::Float(number), *goods});
        if (!exists->Next()) throw RowFailure{msg::LineNoLongerExists(where)};
        throw RowFailure{msg::LineChangedByAnother(where, ChangedNames(set))};
      } catch (const RowFailure& f) {
        failures.push_back(f.message);
      }
    }
  }
  return failures;
}

}  // namespace

remote::ApplyResult ApplyDocumentChanges(DbSession& db, const std::vector<RowDelta>& delta,
                                         const ApplyOptions& options) {
  remote::ApplyResult result;
  for (const RowDelta& row : delta) {
    if (options.max_errors >= 0 && result.error_count > options.max_errors) break;
    const std::optional<double> number = ChangedDocumentNumber(row);
    const msg::Text doc =
        number ? msg::Document(*number) : msg::Part("part.document_without_number");
    std::vector<msg::Message> failures;
    std::vector<WrittenField> written;
    db.Savepoint("qmdw_document");
    try {
      if (!number) throw RowFailure{msg::DocumentLacksNumber()};
      if (row.kind != remote::ChangeKind::Modify) {
        throw RowFailure{msg::DocumentsCannotBeAddedOrDeleted(doc)};
      }
      const Value* new_number = FindValue(row.changed, "DHAO00");
      if (new_number &&
          !(Coerce(*new_number, schema::HeaderFields()[0], doc) == Value::Float(*number))) {
        throw RowFailure{msg::NumberCannotBeChanged(doc)};
      }
      ApplyHeader(db, row, *number, doc, options, written);
    } catch (const RowFailure& f) {
      failures.push_back(f.message);
    }
    if (failures.empty() && number) failures = ApplyLines(db, row, *number, doc, options, written);
    if (failures.empty()) {
      db.ReleaseSavepoint("qmdw_document");
      if (options.written) {
        for (WrittenField& w : written) {
          w.document = *number;
          options.written->push_back(std::move(w));
        }
      }
      continue;
    }
    db.RollbackToSavepoint("qmdw_document");
    db.ReleaseSavepoint("qmdw_document");
    for (msg::Message& f : failures) {
      ++result.error_count;
      result.errors.push_back(f.ForOperator());
      if (options.failures) options.failures->push_back(std::move(f));
    }
  }
  return result;
}

}  // namespace server
