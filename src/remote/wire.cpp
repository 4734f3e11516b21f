#include "remote/wire.h"

#include <cstring>

namespace remote::wire {
namespace {

// Value tags. A tag is one byte; the payload follows.
enum : uint8_t { kNull = 0, kText = 1, kFloat = 2, kInteger = 3, kDate = 4 };

// ---- writing ----------------------------------------------------------------------------------

// The protocol's values and structures, written with the byte coding of remote/coding.h.
class Writer : public coding::ByteWriter {
 public:
  using ByteWriter::ByteWriter;

  void Val(const Value& v) {
    const Value::Storage& s = v.storage();
    switch (s.index()) {
      case 0:
        U8(kNull);
        break;
      case 1:
        U8(kText);
        Str(std::get<1>(s));
        break;
      case 2:
        U8(kFloat);
        Double(std::get<2>(s));
        break;
      case 3:
        U8(kInteger);
        Signed(std::get<3>(s));
        break;
      case 4:
        U8(kDate);
        Double(std::get<4>(s).value);
        break;
    }
  }
  void Values(const std::vector<Value>& vs) {
    Varint(vs.size());
    for (const Value& v : vs) Val(v);
  }
  void Field(const FieldDef& f) {
    Str(f.name);
    U8(static_cast<uint8_t>(f.type));
    Signed(f.width);
    Varint(f.nested.size());
    for (const FieldDef& n : f.nested) Field(n);
  }
  void Rows(const std::vector<Row>& rows) {
    Varint(rows.size());
    for (const Row& r : rows) {
      Values(r.cells);
      Varint(r.nested.size());
      for (const std::vector<Row>& lines : r.nested) Rows(lines);
    }
  }
  void PacketBody(const Packet& p) {
    Varint(p.fields.size());
    for (const FieldDef& f : p.fields) Field(f);
    Rows(p.rows);
    Bool(p.more);
  }
  void Params(const std::vector<Param>& ps) {
    Varint(ps.size());
    for (const Param& p : ps) {
      Str(p.name);
      U8(static_cast<uint8_t>(p.type));
      U8(static_cast<uint8_t>(p.direction));
      Val(p.value);
    }
  }
  void FieldValues(const std::vector<FieldValue>& fvs) {
    Varint(fvs.size());
    for (const FieldValue& fv : fvs) {
      Str(fv.field);
      Val(fv.value);
    }
  }
  void Deltas(const std::vector<RowDelta>& ds) {
    Varint(ds.size());
    for (const RowDelta& d : ds) {
      U8(static_cast<uint8_t>(d.kind));
      FieldValues(d.original);
      FieldValues(d.changed);
      Varint(d.nested.size());
      for (const NestedDelta& n : d.nested) {
        Str(n.field);
        Deltas(n.rows);
      }
    }
  }
};

// ---- reading ----------------------------------------------------------------------------------

[[noreturn]] void Malformed(const char* what) {
  coding::ThrowMalformed(what);
}

// The protocol's values and structures, read with the byte coding of remote/coding.h.
class Reader : public coding::ByteReader {
 public:
  using ByteReader::ByteReader;

  Value Val() {
    switch (U8()) {
      case kNull:
        return Value();
      case kText:
        return Value::Text(Str());
      case kFloat:
        return Value::Float(Double());
      case kInteger:
        return Value::Integer(Signed());
      case kDate:
        return Value::Date(rtl::DateTime{Double()});
      default:
        Malformed("unknown value tag");
    }
  }
  // Appends each value in place: no temporary Value or string is made and moved.
  void Values(std::vector<Value>& out) {
    std::size_t n = Count();
    out.reserve(out.size() + n);
    for (std::size_t i = 0; i < n; ++i) {
      switch (U8()) {
        case kNull:
          out.emplace_back();
          break;
        case kText: {
          std::string_view s = StrView();
          out.emplace_back(std::in_place_type<std::string>, s.data(), s.size());
          break;
        }
        case kFloat:
          out.emplace_back(std::in_place_type<double>, Double());
          break;
        case kInteger:
          out.emplace_back(std::in_place_type<int64_t>, Signed());
          break;
        case kDate:
          out.emplace_back(std::in_place_type<rtl::DateTime>, rtl::DateTime{Double()});
          break;
        default:
          Malformed("unknown value tag");
      }
    }
  }
  std::vector<Value> Values() {
    std::vector<Value> v;
    Values(v);
    return v;
  }

  void Field(FieldDef& f, int depth) {
    if (depth > kMaxDepth) Malformed("nested too deeply");
    f.name = Str();
    uint8_t t = U8();
    if (t < static_cast<uint8_t>(FieldType::Text) || t > static_cast<uint8_t>(FieldType::Nested))
      Malformed("unknown field type");
    f.type = static_cast<FieldType>(t);
    f.width = I32();
    std::size_t n = Count(3);
    f.nested.resize(n);
    for (FieldDef& nf : f.nested) Field(nf, depth + 1);
  }
  void Rows(std::vector<Row>& rows, int depth) {
    if (depth > kMaxDepth) Malformed("nested too deeply");
    std::size_t n = Count(2);
    std::size_t start = rows.size();
    rows.resize(start + n);
    for (std::size_t i = start; i < rows.size(); ++i) {
      Row& r = rows[i];
      Values(r.cells);
      std::size_t nn = Count();
      if (nn) {
        r.nested.resize(nn);
        for (std::vector<Row>& lines : r.nested) Rows(lines, depth + 1);
      }
    }
  }
  void PacketBody(Packet& p) {
    std::size_t nf = Count(3);
    p.fields.resize(nf);
    for (FieldDef& f : p.fields) Field(f, 1);
    Rows(p.rows, 1);
    p.more = Bool();
  }
  std::vector<Param> Params() {
    std::vector<Param> ps(Count(4));
    for (Param& p : ps) {
      p.name = Str();
      uint8_t t = U8();
      if (t < static_cast<uint8_t>(ParamType::Text) ||
          t > static_cast<uint8_t>(ParamType::DateTime))
        Malformed("unknown parameter type");
      p.type = static_cast<ParamType>(t);
      uint8_t d = U8();
      if (d < static_cast<uint8_t>(ParamDirection::Input) ||
          d > static_cast<uint8_t>(ParamDirection::InputOutput))
        Malformed("unknown parameter direction");
      p.direction = static_cast<ParamDirection>(d);
      p.value = Val();
    }
    return ps;
  }
  std::vector<FieldValue> FieldValues() {
    std::vector<FieldValue> fvs(Count(2));
    for (FieldValue& fv : fvs) {
      fv.field = Str();
      fv.value = Val();
    }
    return fvs;
  }
  void Deltas(std::vector<RowDelta>& ds, int depth) {
    if (depth > kMaxDepth) Malformed("nested too deeply");
    ds.resize(Count(4));
    for (RowDelta& d : ds) {
      uint8_t k = U8();
      if (k < static_cast<uint8_t>(ChangeKind::Modify) ||
          k > static_cast<uint8_t>(ChangeKind::Delete))
        Malformed("unknown change kind");
      d.kind = static_cast<ChangeKind>(k);
      d.original = FieldValues();
      d.changed = FieldValues();
      d.nested.resize(Count(2));
      for (NestedDelta& n : d.nested) {
        n.field = Str();
        Deltas(n.rows, depth + 1);
      }
    }
  }
};

// ---- encoding per message ---------------------------------------------------------------------

struct ClientEncoder {
  Writer& w;
  void operator()(const Hello& m) {
    w.U8(static_cast<uint8_t>(Kind::kHello));
    w.Bytes(kMagic, 4);
    w.Varint(m.version);
    w.Str(m.prog_id);
  }
  void operator()(const Auth& m) {
    w.U8(static_cast<uint8_t>(Kind::kAuth));
    w.Bytes(m.mac.data(), m.mac.size());
  }
  void operator()(const OpenRequest& m) {
    w.U8(static_cast<uint8_t>(Kind::kOpen));
    w.Str(m.provider);
    w.Params(m.params);
    w.Bool(m.command_text.has_value());
    if (m.command_text) w.Str(*m.command_text);
    w.Signed(m.packet_records);
  }
  void operator()(const FetchRequest& m) {
    w.U8(static_cast<uint8_t>(Kind::kFetch));
    w.Varint(m.cursor);
    w.Signed(m.count);
  }
  void operator()(const CloseCursorRequest& m) {
    w.U8(static_cast<uint8_t>(Kind::kCloseCursor));
    w.Varint(m.cursor);
  }
  void operator()(const ExecuteRequest& m) {
    w.U8(static_cast<uint8_t>(Kind::kExecute));
    w.Str(m.provider);
    w.Params(m.params);
    w.Str(m.command_text);
  }
  void operator()(const ApplyUpdatesRequest& m) {
    w.U8(static_cast<uint8_t>(Kind::kApplyUpdates));
    w.Str(m.provider);
    w.Deltas(m.delta);
    w.Signed(m.max_errors);
  }
  void operator()(const CallRequest& m) {
    w.U8(static_cast<uint8_t>(Kind::kCall));
    w.Str(m.method);
    w.Values(m.args);
  }
};

struct ServerEncoder {
  Writer& w;
  void operator()(const Challenge& m) {
    w.U8(static_cast<uint8_t>(Kind::kChallenge));
    w.Bytes(m.nonce.data(), m.nonce.size());
  }
  void operator()(const Ready&) { w.U8(static_cast<uint8_t>(Kind::kReady)); }
  void operator()(const OpenResult& m) {
    w.U8(static_cast<uint8_t>(Kind::kOpenResult));
    w.Varint(m.cursor);
    w.PacketBody(m.packet);
  }
  void operator()(const Packet& m) {
    w.U8(static_cast<uint8_t>(Kind::kPacket));
    w.PacketBody(m);
  }
  void operator()(const Done&) { w.U8(static_cast<uint8_t>(Kind::kDone)); }
  void operator()(const ApplyResult& m) {
    w.U8(static_cast<uint8_t>(Kind::kApplyResult));
    w.Signed(m.error_count);
    w.Varint(m.errors.size());
    for (const std::string& e : m.errors) w.Str(e);
  }
  void operator()(const CallResult& m) {
    w.U8(static_cast<uint8_t>(Kind::kCallResult));
    w.Val(m.result);
    w.Values(m.args);
  }
  void operator()(const ErrorReply& m) {
    w.U8(static_cast<uint8_t>(Kind::kError));
    w.Str(m.message);
  }
  void operator()(const RowsChunk& m) {
    w.U8(static_cast<uint8_t>(Kind::kRowsChunk));
    w.Rows(m.rows);
  }
};

}  // namespace

void Encode(const ClientMessage& message, std::string& out) {
  Writer w(out);
  std::visit(ClientEncoder{w}, message);
}

void Encode(const ServerMessage& message, std::string& out) {
  Writer w(out);
  std::visit(ServerEncoder{w}, message);
}

void EncodeOpenResult(const OpenResult& result, std::string& out) {
  Writer w(out);
  ServerEncoder{w}(result);
}

void EncodePacket(const Packet& packet, std::string& out) {
  Writer w(out);
  ServerEncoder{w}(packet);
}

void EncodeRowsChunk(const std::vector<Row>& rows, std::string& out) {
  Writer w(out);
  w.U8(static_cast<uint8_t>(Kind::kRowsChunk));
  w.Rows(rows);
}

ClientMessage DecodeClientMessage(std::string_view bytes) {
  Reader r(bytes);
  ClientMessage out;
  switch (static_cast<Kind>(r.U8())) {
    case Kind::kHello: {
      char magic[4];
      r.Bytes(magic, 4);
      if (std::memcmp(magic, kMagic, 4) != 0) Malformed("not a client of this application server");
      Hello m;
      uint64_t v = r.Varint();
      m.version = v > UINT16_MAX ? UINT16_MAX : static_cast<uint16_t>(v);
      m.prog_id = r.Str();
      out = std::move(m);
      break;
    }
    case Kind::kAuth: {
      Auth m;
      r.Bytes(m.mac.data(), m.mac.size());
      out = m;
      break;
    }
    case Kind::kOpen: {
      OpenRequest m;
      m.provider = r.Str();
      m.params = r.Params();
      if (r.Bool()) m.command_text = r.Str();
      m.packet_records = r.I32();
      out = std::move(m);
      break;
    }
    case Kind::kFetch: {
      FetchRequest m;
      m.cursor = r.U32();
      m.count = r.I32();
      out = m;
      break;
    }
    case Kind::kCloseCursor: {
      CloseCursorRequest m;
      m.cursor = r.U32();
      out = m;
      break;
    }
    case Kind::kExecute: {
      ExecuteRequest m;
      m.provider = r.Str();
      m.params = r.Params();
      m.command_text = r.Str();
      out = std::move(m);
      break;
    }
    case Kind::kApplyUpdates: {
      ApplyUpdatesRequest m;
      m.provider = r.Str();
      r.Deltas(m.delta, 1);
      m.max_errors = r.I32();
      out = std::move(m);
      break;
    }
    case Kind::kCall: {
      CallRequest m;
      m.method = r.Str();
      m.args = r.Values();
      out = std::move(m);
      break;
    }
    default:
      Malformed("unknown request");
  }
  r.End();
  return out;
}

ServerMessage DecodeServerMessage(std::string_view bytes) {
  Reader r(bytes);
  ServerMessage out;
  switch (static_cast<Kind>(r.U8())) {
    case Kind::kChallenge: {
      Challenge m;
      r.Bytes(m.nonce.data(), m.nonce.size());
      out = m;
      break;
    }
    case Kind::kReady:
      out = Ready{};
      break;
    case Kind::kOpenResult: {
      out = OpenResult{};
      OpenResult& m = std::get<OpenResult>(out);
      m.cursor = r.U32();
      r.PacketBody(m.packet);
      break;
    }
    case Kind::kPacket: {
      out = Packet{};
      r.PacketBody(std::get<Packet>(out));
      break;
    }
    case Kind::kDone:
      out = Done{};
      break;
    case Kind::kRowsChunk: {
      out = RowsChunk{};
      r.Rows(std::get<RowsChunk>(out).rows, 1);
      break;
    }
    case Kind::kApplyResult: {
      ApplyResult m;
      m.error_count = r.I32();
      m.errors.resize(r.Count());
      for (std::string& e : m.errors) e = r.Str();
      out = std::move(m);
      break;
    }
    case Kind::kCallResult: {
      CallResult m;
      m.result = r.Val();
      m.args = r.Values();
      out = std::move(m);
      break;
    }
    case Kind::kError: {
      ErrorReply m;
      m.message = r.Str();
      out = std::move(m);
      break;
    }
    default:
      Malformed("unknown reply");
  }
  r.End();
  return out;
}

void AppendRowsChunk(std::string_view bytes, std::vector<Row>& rows) {
  Reader r(bytes);
  if (static_cast<Kind>(r.U8()) != Kind::kRowsChunk) Malformed("not a chunk of rows");
  r.Rows(rows, 1);
  r.End();
}

uint8_t PeekKind(std::string_view bytes) {
  return bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]);
}

const char* KindName(uint8_t kind) {
  switch (static_cast<Kind>(kind)) {
    case Kind::kHello:
      return "Hello";
    case Kind::kAuth:
      return "Auth";
    case Kind::kOpen:
      return "Open";
    case Kind::kFetch:
      return "Fetch";
    case Kind::kCloseCursor:
      return "CloseCursor";
    case Kind::kExecute:
      return "Execute";
    case Kind::kApplyUpdates:
      return "ApplyUpdates";
    case Kind::kCall:
      return "Call";
    case Kind::kChallenge:
      return "Challenge";
    case Kind::kReady:
      return "Ready";
    case Kind::kOpenResult:
      return "OpenResult";
    case Kind::kPacket:
      return "Packet";
    case Kind::kDone:
      return "Done";
    case Kind::kRowsChunk:
      return "RowsChunk";
    case Kind::kApplyResult:
      return "ApplyResult";
    case Kind::kCallResult:
      return "CallResult";
    case Kind::kError:
      return "Error";
  }
  return "unknown";
}

std::string AuthMessage(const Challenge& challenge, std::string_view prog_id) {
  std::string m = "QMDW-AUTH-1";
  m.push_back('\0');
  m.append(reinterpret_cast<const char*>(challenge.nonce.data()), challenge.nonce.size());
  m.append(prog_id.data(), prog_id.size());
  return m;
}

}  // namespace remote::wire
