#include "remote/wire.h"

#include <cstring>

#include "remote/compression.h"
#include "remote/rowset.h"

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
  void Rows(const std::vector<Row>& rows) { rowset::Write(*this, rows); }
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
    rowset::Read(*this, rows, budget_, depth, kMaxDepth);
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

 private:
  rowset::Budget budget_;  // what the rows of this message may still take
};

// ---- encoding per message ---------------------------------------------------------------------

struct ClientEncoder {
  Writer& w;
  void operator()(const Hello& m) {
    w.U8(static_cast<uint8_t>(Kind::kHello));
    w.Bytes(kMagic, 4);
    w.Varint(m.version);
    w.Str(m.client);
  }
  void operator()(const Auth& m) {
    w.U8(static_cast<uint8_t>(Kind::kAuth));
    w.Bytes(m.mac.data(), m.mac.size());
  }
  void operator()(const CreateRequest& m) {
    w.U8(static_cast<uint8_t>(Kind::kCreate));
    w.Str(m.prog_id);
  }
  void operator()(const ReleaseRequest&) { w.U8(static_cast<uint8_t>(Kind::kRelease)); }
  void operator()(const OpenRequest& m) {
    w.U8(static_cast<uint8_t>(Kind::kOpen));
    w.Str(m.provider);
    w.Params(m.params);
    w.Bool(m.command_text.has_value());
    if (m.command_text) w.Str(*m.command_text);
    w.Signed(m.packet_records);
    w.Str(m.cached_version);
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
  void operator()(const Welcome& m) {
    w.U8(static_cast<uint8_t>(Kind::kWelcome));
    w.Bytes(kMagic, 4);
    w.Varint(m.version);
    w.Varint(m.prog_ids.size());
    for (const std::string& p : m.prog_ids) w.Str(p);
    w.Bool(m.challenge);
    if (m.challenge) w.Bytes(m.nonce.data(), m.nonce.size());
  }
  void operator()(const Ready&) { w.U8(static_cast<uint8_t>(Kind::kReady)); }
  void operator()(const OpenResult& m) {
    w.U8(static_cast<uint8_t>(Kind::kOpenResult));
    w.Varint(m.cursor);
    w.PacketBody(m.packet);
    w.Str(m.version);
    w.Bool(m.unchanged);
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

// Replaces the message written from `base` on by its compressed form when that is shorter.
void Compress(std::string& out, std::size_t base) {
  const std::size_t size = out.size() - base;
  if (size < kCompressFrom) return;
  std::string packed;
  packed.reserve(size / 2 + 64);
  {
    coding::ByteWriter w(packed);
    w.U8(static_cast<uint8_t>(Kind::kCompressed));
    w.U8(static_cast<uint8_t>(out[base]));  // the message's kind, readable without inflating
    w.Varint(size);
  }
  compression::Deflate(std::string_view(out).substr(base), kCompressionLevel, packed);
  if (packed.size() >= size) return;
  out.resize(base);
  out.append(packed);
}

void Encode(const ServerMessage& message, std::string& out) {
  const std::size_t base = out.size();
  {
    Writer w(out);
    std::visit(ServerEncoder{w}, message);
  }
  Compress(out, base);
}

void EncodeOpenResult(const OpenResult& result, std::string& out) {
  const std::size_t base = out.size();
  {
    Writer w(out);
    ServerEncoder{w}(result);
  }
  Compress(out, base);
}

void EncodePacket(const Packet& packet, std::string& out) {
  const std::size_t base = out.size();
  {
    Writer w(out);
    ServerEncoder{w}(packet);
  }
  Compress(out, base);
}

void EncodeRowsChunk(const std::vector<Row>& rows, std::string& out) {
  const std::size_t base = out.size();
  {
    Writer w(out);
    w.U8(static_cast<uint8_t>(Kind::kRowsChunk));
    w.Rows(rows);
  }
  Compress(out, base);
}

std::string_view Inflated(std::string_view bytes, std::string& scratch) {
  if (PeekKind(bytes) != static_cast<uint8_t>(Kind::kCompressed)) return bytes;
  coding::ByteReader r(bytes);
  r.U8();
  const uint8_t kind = r.U8();
  const uint64_t size = r.Varint();
  if (size > compression::kMaxInflatedBytes) Malformed("compressed message larger than the limit");
  if (kind == static_cast<uint8_t>(Kind::kCompressed)) Malformed("compressed twice");
  scratch.clear();
  compression::Inflate(bytes.substr(bytes.size() - r.Left()), static_cast<std::size_t>(size),
                       scratch);
  if (PeekKind(scratch) != kind) Malformed("compressed message of another kind than announced");
  return scratch;
}

uint8_t MessageKind(std::string_view bytes) {
  const uint8_t kind = PeekKind(bytes);
  if (kind != static_cast<uint8_t>(Kind::kCompressed)) return kind;
  return bytes.size() > 1 ? static_cast<uint8_t>(bytes[1]) : 0;
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
      m.client = r.Str();
      out = std::move(m);
      break;
    }
    case Kind::kAuth: {
      Auth m;
      r.Bytes(m.mac.data(), m.mac.size());
      out = m;
      break;
    }
    case Kind::kCreate: {
      CreateRequest m;
      m.prog_id = r.Str();
      out = std::move(m);
      break;
    }
    case Kind::kRelease:
      out = ReleaseRequest{};
      break;
    case Kind::kOpen: {
      OpenRequest m;
      m.provider = r.Str();
      m.params = r.Params();
      if (r.Bool()) m.command_text = r.Str();
      m.packet_records = r.I32();
      m.cached_version = r.Str();
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
  std::string inflated;
  Reader r(Inflated(bytes, inflated));
  ServerMessage out;
  switch (static_cast<Kind>(r.U8())) {
    case Kind::kWelcome: {
      char magic[4];
      r.Bytes(magic, 4);
      if (std::memcmp(magic, kMagic, 4) != 0) Malformed("not an application server");
      Welcome m;
      uint64_t v = r.Varint();
      m.version = v > UINT16_MAX ? UINT16_MAX : static_cast<uint16_t>(v);
      // Another version may lay out the rest otherwise: its version alone is read, so that the
      // client can say which version the server speaks.
      if (m.version != kProtocolVersion) return m;
      m.prog_ids.resize(r.Count());
      for (std::string& p : m.prog_ids) p = r.Str();
      m.challenge = r.Bool();
      if (m.challenge) r.Bytes(m.nonce.data(), m.nonce.size());
      out = std::move(m);
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
      m.version = r.Str();
      m.unchanged = r.Bool();
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
  std::string inflated;
  Reader r(Inflated(bytes, inflated));
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
    case Kind::kCreate:
      return "Create";
    case Kind::kRelease:
      return "Release";
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
    case Kind::kWelcome:
      return "Welcome";
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
    case Kind::kCompressed:
      return "Compressed";
    case Kind::kError:
      return "Error";
  }
  return "unknown";
}

std::string AuthMessage(const std::array<uint8_t, kNonceSize>& nonce) {
  std::string m = "QMDW-AUTH-2";
  m.push_back('\0');
  m.append(reinterpret_cast<const char*>(nonce.data()), nonce.size());
  return m;
}

void PutChannel(uint32_t channel, std::string& out) {
  coding::ByteWriter w(out);
  w.Varint(channel);
}

uint32_t TakeChannel(std::string_view& bytes) {
  coding::ByteReader r(bytes);
  const uint32_t channel = r.U32();
  bytes.remove_prefix(bytes.size() - r.Left());
  return channel;
}

}  // namespace remote::wire
