// The values, field definitions and packets that travel between a server object and the client
// datasets. Shared by the client (datasets, connections) and the application server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "rtl/datetime.h"

namespace remote {

enum class FieldType : uint8_t { Text = 1, Float = 2, DateTime = 3, Integer = 4, Nested = 5 };

// One field of a provider's result. A nested field's value is a table of lines, whose fields are
// `nested`; a nested field has no scalar value of its own.
struct FieldDef {
  std::string name;
  FieldType type = FieldType::Text;
  int32_t width = 0;  // text: at most this many GBK bytes; 0 when only the data bounds it
  std::vector<FieldDef> nested;
};

// A scalar value: no value, text (UTF-8), a 64-bit float, a whole number or a date-time.
class Value {
 public:
  using Storage = std::variant<std::monostate, std::string, double, int64_t, rtl::DateTime>;

  Value() = default;
  // Constructs the stored alternative in place (for emplace_back without a temporary), e.g.
  // Value(std::in_place_type<std::string>, data, size).
  template <typename T, typename... Args>
  explicit Value(std::in_place_type_t<T> type, Args&&... args)
      : v_(type, std::forward<Args>(args)...) {}
  static Value Text(std::string s) { return Value(Storage(std::move(s))); }
  static Value Float(double d) { return Value(Storage(d)); }
  static Value Integer(int64_t i) { return Value(Storage(i)); }
  static Value Date(rtl::DateTime t) { return Value(Storage(t)); }

  bool is_null() const { return std::holds_alternative<std::monostate>(v_); }
  bool is_text() const { return std::holds_alternative<std::string>(v_); }
  bool is_float() const { return std::holds_alternative<double>(v_); }
  bool is_integer() const { return std::holds_alternative<int64_t>(v_); }
  bool is_date() const { return std::holds_alternative<rtl::DateTime>(v_); }

  const std::string& text() const { return std::get<std::string>(v_); }
  double float_value() const { return std::get<double>(v_); }
  int64_t integer() const { return std::get<int64_t>(v_); }
  rtl::DateTime date() const { return std::get<rtl::DateTime>(v_); }

  const Storage& storage() const { return v_; }
  friend bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

 private:
  explicit Value(Storage v) : v_(std::move(v)) {}
  Storage v_;
};

// One record. `cells` holds one value per field of its table, in field order (a nested field's
// cell is without value); `nested` holds the lines of each nested field, in field order.
struct Row {
  std::vector<Value> cells;
  std::vector<std::vector<Row>> nested;
};

// A packet of a provider's result: the field definitions and the next rows. `more` tells whether
// the provider holds further rows for a later fetch.
struct Packet {
  std::vector<FieldDef> fields;
  std::vector<Row> rows;
  bool more = false;
};

enum class ParamType : uint8_t { Text = 1, Float = 2, Integer = 3, DateTime = 4 };
enum class ParamDirection : uint8_t { Input = 1, Output = 2, InputOutput = 3 };

// A provider parameter. A parameter without value travels without one (`value` is null).
struct Param {
  std::string name;
  ParamType type = ParamType::Text;
  ParamDirection direction = ParamDirection::Input;
  Value value;
};

struct OpenRequest {
  std::string provider;
  std::vector<Param> params;
  std::optional<std::string> command_text;  // a statement the provider runs instead of its own
  int32_t packet_records = -1;              // rows in the first and every later packet; -1: all
  // The version of a copy of this list that the client holds (OpenResult::version of an earlier
  // open); empty when it holds none.
  std::string cached_version = {};
  // Within the application server only (never on the wire): the version of the copy of this
  // list that the server itself keeps, ready to send to any client.
  std::string server_copy_version = {};
};

struct OpenResult {
  uint32_t cursor = 0;  // names the open result for fetch/close; 0 when every row has arrived
  Packet packet;
  // For a whole list that clients may keep a copy of: the version of the data the rows were
  // read from, which changes with every committed change of that data; empty for any other
  // result.
  std::string version = {};
  // The list is still as the copy named by OpenRequest::cached_version: nothing else came (no
  // fields, no rows), `version` repeats the copy's version.
  bool unchanged = false;
  // Within the application server only (never on the wire): the list is still as the server's
  // own copy (OpenRequest::server_copy_version); no rows were read.
  bool server_copy_current = false;
};

// The change log of a header dataset, as apply updates sends it.
enum class ChangeKind : uint8_t { Modify = 1, Insert = 2, Delete = 3 };

struct FieldValue {
  std::string field;
  Value value;
};

struct NestedDelta;

struct RowDelta {
  ChangeKind kind = ChangeKind::Modify;
  std::vector<FieldValue> original;  // every stored scalar field as read from the server
  std::vector<FieldValue> changed;   // new values of the changed stored fields
  std::vector<NestedDelta> nested;   // changes of the record's lines
};

struct NestedDelta {
  std::string field;  // the nested field's name
  std::vector<RowDelta> rows;
};

struct ApplyResult {
  int32_t error_count = 0;
  std::vector<std::string> errors;  // the provider's message for each row it could not apply
};

}  // namespace remote
