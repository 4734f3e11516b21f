#include "server/providers.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>

#include "rtl/numtext.h"
#include "server/apply.h"
#include "server/messages.h"
#include "server/schema.h"

namespace server {
namespace {

using remote::FieldDef;
using remote::FieldType;
using remote::Row;
using Refused = msg::Error;
using remote::Value;

constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max() / 2;

// The row of `fields` from the columns from `first` on.
Row ReadRow(const DbRows& rows, const std::vector<FieldDef>& fields, int first = 0) {
  Row row;
  row.cells.reserve(fields.size());
  int column = first;
  for (const FieldDef& f : fields) {
    if (f.type == FieldType::Nested) {
      row.cells.emplace_back();
      row.nested.emplace_back();
      continue;
    }
    row.cells.push_back(rows.Get(column++, f.type));
  }
  return row;
}

std::atomic<int64_t> g_result_bytes{0};

// What a row takes in memory, near enough: its cells, the texts beyond the in-place buffer, and
// its nested rows.
int64_t RowBytes(const Row& row) {
  int64_t n = static_cast<int64_t>(sizeof(Row) + row.cells.capacity() * sizeof(Value));
  for (const Value& v : row.cells) {
    if (v.is_text() && v.text().size() > 15) n += static_cast<int64_t>(v.text().capacity() + 1);
  }
  for (const std::vector<Row>& nested : row.nested) {
    n += static_cast<int64_t>(sizeof(std::vector<Row>));
    for (const Row& r : nested) n += RowBytes(r);
  }
  return n;
}

// A list read from an open query as it is fetched (streaming chunk after chunk), or from memory
// once detached.
class ListCursor : public ProviderCursor {
 public:
  // `versioned`: the query's first column is the list's version, the fields follow.
  ListCursor(std::unique_ptr<DbRows> rows, std::vector<FieldDef> fields, bool versioned = false)
      : rows_(std::move(rows)), fields_(std::move(fields)), first_column_(versioned ? 1 : 0) {}
  explicit ListCursor(std::vector<Row> rows) : buffer_(std::move(rows)) {}
  ~ListCursor() override { Release(); }

  bool Next(int32_t count, std::vector<Row>& out) override {
    if (rows_) {
      if (count > 0) out.reserve(out.size() + count);
      int64_t n = 0;
      if (lookahead_) {
        if (count == 0) return true;
        out.push_back(std::move(*lookahead_));
        lookahead_.reset();
        ++n;
      }
      while (count < 0 || n < count) {
        if (!rows_->Next()) {
          rows_.reset();
          return false;
        }
        out.push_back(Read());
        ++n;
      }
      if (rows_->Next()) {
        lookahead_ = Read();
        return true;
      }
      rows_.reset();
      return false;
    }
    size_t n = buffer_.size() - pos_;
    if (count >= 0 && static_cast<size_t>(count) < n) n = count;
    for (size_t i = 0; i < n; ++i) {
      if (memory_) {
        const int64_t bytes = std::min(held_, RowBytes(buffer_[pos_ + i]));
        memory_->Give(bytes);
        held_ -= bytes;
      }
      out.push_back(std::move(buffer_[pos_ + i]));
    }
    pos_ += n;
    if (pos_ == buffer_.size()) {
      std::vector<Row>().swap(buffer_);
      pos_ = 0;
      Release();
      return false;
    }
    return true;
  }

  ResultMemory::Refusal Detach(ResultMemory& memory) override {
    if (!rows_) return ResultMemory::Refusal::kNone;
    memory_ = &memory;
    auto keep = [&](Row row) {
      const int64_t bytes = RowBytes(row);
      const ResultMemory::Refusal refusal = memory.Take(bytes);
      if (refusal != ResultMemory::Refusal::kNone) return refusal;
      held_ += bytes;
      buffer_.push_back(std::move(row));
      return refusal;
    };
    ResultMemory::Refusal refusal = ResultMemory::Refusal::kNone;
    if (lookahead_) refusal = keep(std::move(*lookahead_));
    lookahead_.reset();
    while (refusal == ResultMemory::Refusal::kNone && rows_->Next()) {
      refusal = keep(Read());
    }
    rows_.reset();
    if (refusal != ResultMemory::Refusal::kNone) {
      std::vector<Row>().swap(buffer_);
      pos_ = 0;
      Release();
    }
    return refusal;
  }

  std::string Version() const override { return version_; }

 private:
  void Release() {
    if (memory_ && held_ > 0) memory_->Give(held_);
    held_ = 0;
  }

  Row Read() {
    if (first_column_ == 1 && version_.empty() && !rows_->IsNull(0))
      version_ = std::string(rows_->Text(0));
    return ReadRow(*rows_, fields_, first_column_);
  }

  ResultMemory* memory_ = nullptr;  // what the detached rows are counted against
  int64_t held_ = 0;
  std::unique_ptr<DbRows> rows_;
  std::vector<FieldDef> fields_;
  int first_column_ = 0;
  std::string version_;  // of a versioned query, from its first row
  std::optional<Row> lookahead_;
  std::vector<Row> buffer_;
  size_t pos_ = 0;
};

// The text of a parameter (numbers as number text); nullopt when it has no value.
std::optional<std::string> ParamText(const remote::Param& p, const std::string& provider) {
  const Value& v = p.value;
  if (v.is_null()) return std::nullopt;
  if (v.is_text()) return v.text();
  if (v.is_integer()) return rtl::IntToStr(v.integer());
  if (v.is_float()) return rtl::FloatToStr(v.float_value());
  throw Refused(msg::ParameterMustBeText(provider, p.name));
}

const remote::Param* FindParam(const std::vector<remote::Param>& params, const char* name) {
  for (const remote::Param& p : params) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

const std::string& LineSelect() {
  static const std::string text = "SELECT " + schema::ColumnList(schema::LineFields()) +
                                  " FROM QMDWLRT2 WHERE DHAO00 = ? ORDER BY SPDM00";
  return text;
}

// Fills the nested lines (the last field of `fields`) of each header row.
void LoadLines(DbSession& db, std::vector<Row>& rows, size_t first) {
  const std::vector<FieldDef>& line_fields = schema::LineFields();
  for (size_t i = first; i < rows.size(); ++i) {
    Row& header = rows[i];
    auto lines = db.Query(LineSelect(), {header.cells[0]});
    std::vector<Row>& nested = header.nested.back();
    while (lines->Next()) nested.push_back(ReadRow(*lines, line_fields));
  }
}

class ListProvider : public Provider {
 public:
  ListProvider(std::string name, std::string select, std::vector<FieldDef> fields,
               std::string counter)
      : Provider(std::move(name)),
        select_(std::move(select)),
        fields_(std::move(fields)),
        counter_(std::move(counter)) {
    // "SELECT <version>, <columns> ...": the version in the same statement, so the same snapshot.
    if (!counter_.empty() && select_.rfind("SELECT ", 0) == 0)
      versioned_select_ = "SELECT " + schema::VersionSubquery(counter_) + ", " + select_.substr(7);
  }
  OpenedResult Open(DbSession& db, const remote::OpenRequest& request) override {
    CheckRequest(request, {});
    if (request.command_text) {
      throw Refused(msg::OwnListOnly(name(), QuoteForMessage(*request.command_text)));
    }
    if (versioned_select_.empty() || db.InTransaction())
      return {fields_, std::make_unique<ListCursor>(db.Query(select_), fields_)};
    if (!request.cached_version.empty() || !request.server_copy_version.empty()) {
      // A change committed after a copy was read has raised the counter in its own
      // transaction: the same version now means the same rows.
      std::string now = schema::CurrentVersion(db, counter_);
      const bool clients = !now.empty() && now == request.cached_version;
      if (clients || (!now.empty() && now == request.server_copy_version)) {
        OpenedResult current{{}, std::make_unique<ListCursor>(std::vector<Row>())};
        current.unchanged = clients;
        current.server_copy_current = !clients;
        current.version = std::move(now);
        return current;
      }
    }
    return {fields_, std::make_unique<ListCursor>(db.Query(versioned_select_), fields_, true)};
  }

 private:
  std::string select_;
  std::vector<FieldDef> fields_;
  std::string counter_;
  std::string versioned_select_;
};

// The document list: keyset paging by DHAO00 from the newest document down. Each packet is one
// indexed range query, so the first packet of a long list costs as little as a short list's and
// no result is held open between requests.
class HeaderListCursor : public ProviderCursor {
 public:
  HeaderListCursor(DbSession& db, std::string where, std::vector<Value> params)
      : db_(db), where_(std::move(where)), params_(std::move(params)) {
    const std::string cols = schema::ColumnList(schema::HeaderFields());
    first_sql_ = "SELECT " + cols + " FROM QMDWLRT1" + (where_.empty() ? "" : " WHERE " + where_) +
                 " ORDER BY DHAO00 DESC LIMIT ?";
    next_sql_ = "SELECT " + cols + " FROM QMDWLRT1 WHERE " +
                (where_.empty() ? "" : where_ + " AND ") +
                "DHAO00 < ? ORDER BY DHAO00 DESC LIMIT ?";
    fields_ = schema::HeaderWithLines("qry_qmdwlrt2");
  }

  bool Next(int32_t count, std::vector<Row>& out) override {
    if (done_) return false;
    const int64_t limit = count < 0 ? kNoLimit : static_cast<int64_t>(count) + 1;
    std::vector<Value> params = params_;
    if (last_) params.push_back(Value::Float(*last_));
    params.push_back(Value::Integer(limit));
    auto rows = db_.Query(last_ ? next_sql_ : first_sql_, params);
    const size_t first = out.size();
    int64_t got = 0;
    bool more = false;
    while (rows->Next()) {
      if (count >= 0 && got == count) {
        more = true;
        break;
      }
      out.push_back(ReadRow(*rows, fields_));
      ++got;
    }
    rows.reset();
    if (out.size() > first) last_ = out.back().cells[0].float_value();
    LoadLines(db_, out, first);
    done_ = !more;
    return more;
  }

  const std::vector<FieldDef>& fields() const { return fields_; }

 private:
  DbSession& db_;
  std::string where_;
  std::vector<Value> params_;
  std::string first_sql_, next_sql_;
  std::vector<FieldDef> fields_;
  std::optional<double> last_;
  bool done_ = false;
};

class HeaderListProvider : public Provider {
 public:
  HeaderListProvider() : Provider("dsp_qmdwlrt1") {}
  OpenedResult Open(DbSession& db, const remote::OpenRequest& request) override {
    CheckRequest(request, {"CKDM00", "FLAG"});
    if (request.command_text) {
      throw Refused(msg::OwnListOnly(name(), QuoteForMessage(*request.command_text)));
    }
    std::string where;
    std::vector<Value> params;
    std::optional<std::string> flag;
    if (const remote::Param* p = FindParam(request.params, "FLAG")) flag = ParamText(*p, name());
    if (!flag || *flag == "1") {
      // every document
    } else if (*flag == "0") {
      where = "YWRQ00 IS NULL";
    } else if (*flag == "2") {
      where = "YWRQ00 IS NOT NULL";
    } else {
      throw Refused(msg::FlagNotSelection(name(), *flag));
    }
    std::optional<std::string> warehouse;
    if (const remote::Param* p = FindParam(request.params, "CKDM00")) {
      warehouse = ParamText(*p, name());
    }
    if (warehouse && !warehouse->empty()) {
      where += where.empty() ? "CKDM00 = ?" : " AND CKDM00 = ?";
      params.push_back(Value::Text(*warehouse));
    }
    auto cursor = std::make_unique<HeaderListCursor>(db, where, params);
    std::vector<FieldDef> fields = cursor->fields();
    return {std::move(fields), std::move(cursor)};
  }
};

class DocumentProvider : public Provider {
 public:
  DocumentProvider() : Provider("dsp_qmdwlrt1") {}
  OpenedResult Open(DbSession& db, const remote::OpenRequest& request) override {
    CheckRequest(request, {"DHAO00"});
    if (request.command_text) {
      throw Refused(msg::DocumentByNumberOnly(name(), QuoteForMessage(*request.command_text)));
    }
    const remote::Param* p = FindParam(request.params, "DHAO00");
    std::optional<std::string> text = p ? ParamText(*p, name()) : std::nullopt;
    double number = 0;
    if (!text || text->empty()) {
      throw Refused(msg::NeedsDocumentNumber(name()));
    }
    if (!rtl::TryStrToFloat(*text, number) || !std::isfinite(number)) {
      throw Refused(msg::NotDocumentNumber(name(), *text));
    }
    std::vector<FieldDef> fields = schema::HeaderWithLines("tb_qmdwlrt2");
    std::vector<Row> rows;
    auto header = db.Query(
        "SELECT " + schema::ColumnList(schema::HeaderFields()) + " FROM QMDWLRT1 WHERE DHAO00 = ?",
        {Value::Float(number)});
    while (header->Next()) rows.push_back(ReadRow(*header, fields));
    header.reset();
    LoadLines(db, rows, 0);
    return {std::move(fields), std::make_unique<ListCursor>(std::move(rows))};
  }

  remote::ApplyResult Apply(DbSession& db, const std::vector<remote::RowDelta>& delta,
                            int32_t max_errors) override {
    ApplyOptions options;
    options.nested_field = "tb_qmdwlrt2";
    options.max_errors = max_errors;
    return ApplyDocumentChanges(db, delta, options);
  }
  bool Applies() const override { return true; }
};

class ClosingPeriodProvider : public Provider {
 public:
  ClosingPeriodProvider() : Provider("dsp_xstyjzqj_edit") {}
  OpenedResult Open(DbSession& db, const remote::OpenRequest& request) override {
    CheckRequest(request, {});
    if (request.command_text) {
      RecogniseFor(*request.command_text, {StatementKind::kClosingPeriodQuery}, name());
    }
    return {schema::ClosingQueryFields(),
            std::make_unique<ListCursor>(
                db.Query("SELECT MAX(JSRQ00) FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL"),
                schema::ClosingQueryFields())};
  }
};

class CommandProvider : public Provider {
 public:
  CommandProvider() : Provider("dsp_qmdwlrt_tmp") {}
  Statement RecogniseCommand(const std::vector<remote::Param>& params,
                             const std::string& command_text) override {
    if (!params.empty()) {
      throw Refused(msg::TakesNoParameters(name(), params.front().name));
    }
    return RecogniseFor(command_text, {StatementKind::kStockIncrement, StatementKind::kHeaderReset},
                        name());
  }
};

}  // namespace

OpenedResult Provider::Open(DbSession&, const remote::OpenRequest&) {
  throw Refused(msg::DeliversNoRows(name_));
}

ResultMemory::~ResultMemory() {
  if (held_ > 0) g_result_bytes -= held_;
}

ResultMemory::Refusal ResultMemory::Take(int64_t bytes) {
  if (held_ + bytes > session_limit_) return Refusal::kSession;
  if (g_result_bytes.fetch_add(bytes) + bytes > server_limit_) {
    g_result_bytes -= bytes;
    return Refusal::kServer;
  }
  held_ += bytes;
  return Refusal::kNone;
}

void ResultMemory::Give(int64_t bytes) {
  bytes = std::min(bytes, held_);
  held_ -= bytes;
  g_result_bytes -= bytes;
}

int64_t ResultMemory::ServerHeld() {
  return g_result_bytes.load();
}

Statement Provider::RecogniseCommand(const std::vector<remote::Param>&, const std::string& text) {
  throw Refused(msg::ExecutesNoCommands(name_, QuoteForMessage(text)));
}

remote::ApplyResult Provider::Apply(DbSession&, const std::vector<remote::RowDelta>&, int32_t) {
  throw Refused(msg::TakesNoChanges(name_));
}

void Provider::CheckRequest(const remote::OpenRequest& request,
                            std::initializer_list<const char*> allowed) const {
  for (const remote::Param& p : request.params) {
    bool known = false;
    for (const char* a : allowed) known = known || p.name == a;
    if (!known) throw Refused(msg::NoSuchParameter(name_, p.name));
  }
}

std::unique_ptr<Provider> MakeListProvider(std::string name, std::string select,
                                           std::vector<FieldDef> fields, std::string counter) {
  return std::make_unique<ListProvider>(std::move(name), std::move(select), std::move(fields),
                                        std::move(counter));
}
std::unique_ptr<Provider> MakeHeaderListProvider() {
  return std::make_unique<HeaderListProvider>();
}
std::unique_ptr<Provider> MakeDocumentProvider() {
  return std::make_unique<DocumentProvider>();
}
std::unique_ptr<Provider> MakeClosingPeriodProvider() {
  return std::make_unique<ClosingPeriodProvider>();
}
std::unique_ptr<Provider> MakeCommandProvider() {
  return std::make_unique<CommandProvider>();
}

int64_t RunStatement(DbSession& db, const Statement& st, double* before, double* after) {
  switch (st.kind) {
    case StatementKind::kStockDecrement:
    case StatementKind::kStockIncrement: {
      // The new value is computed here and checked before it is written: SQLite would store an
      // infinity that no later statement can undo, PostgreSQL would fail with its own error.
      const std::vector<Value> key = {Value::Text(st.goods), Value::Text(st.warehouse)};
      auto current = db.Query(
          db.dialect() == Dialect::kPostgreSQL
              ? "SELECT KCSL00 FROM XSTZXKC0 WHERE SPDM00 = ? AND CKDM00 = ? AND KCBZ00 = 'YW' "
                "FOR UPDATE"
              : "SELECT KCSL00 FROM XSTZXKC0 WHERE SPDM00 = ? AND CKDM00 = ? AND KCBZ00 = 'YW'",
          key);
      if (!current->Next()) return 0;
      const double was = current->IsNull(0) ? 0.0 : current->Float(0);
      current.reset();
      const double now =
          st.kind == StatementKind::kStockDecrement ? was - st.quantity : was + st.quantity;
      if (!std::isfinite(now)) throw Refused(msg::StockOutOfRange(st.goods, st.warehouse));
      if (before) *before = was;
      if (after) *after = now;
      return db.Execute(
          "UPDATE XSTZXKC0 SET KCSL00 = ? WHERE SPDM00 = ? AND CKDM00 = ? AND KCBZ00 = 'YW'",
          {Value::Float(now), key[0], key[1]});
    }
    case StatementKind::kHeaderReset: {
      // Only an audited document whose audit date is not before the latest closing date (the
      // cancel's own rule, kept here too so that a period closed meanwhile stays closed).
      const int64_t n = db.Execute(
          "UPDATE QMDWLRT1 SET YWRQ00 = NULL, YWRY00 = NULL "
          "WHERE DHAO00 = ? AND YWRQ00 IS NOT NULL AND NOT EXISTS (SELECT 1 FROM XSTYJZQJ "
          "WHERE JZRY00 IS NOT NULL AND JSRQ00 > QMDWLRT1.YWRQ00)",
          {Value::Float(st.document)});
      if (n > 0) return n;
      auto header =
          db.Query("SELECT YWRQ00 FROM QMDWLRT1 WHERE DHAO00 = ?", {Value::Float(st.document)});
      if (!header->Next()) throw Refused(msg::CancelDocumentMissing(st.document));
      if (header->IsNull(0)) throw Refused(msg::CancelNotAudited(st.document));
      throw Refused(msg::CancelClosedPeriod(st.document));
    }
    case StatementKind::kClosingPeriodQuery:
      throw Refused(msg::ClosingQueryNotExecutable());
  }
  return 0;
}

}  // namespace server
