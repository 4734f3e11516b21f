// The wire protocol between a client and the application server: the messages and their binary
// encoding, built from the byte coding of remote/coding.h (little-endian, varints, zigzag,
// length-prefixed texts). Encoding appends to a byte buffer; decoding is a pure function of a
// byte span that checks every length and count against the bytes that are there, limits nesting
// depth and throws remote::ProtocolError on anything malformed. Nothing here touches a socket.
//
// A conversation: the client sends Hello (magic, protocol version, ProgID); the server answers
// Challenge when it holds a site key (the client then sends Auth, an HMAC-SHA-256 of the
// challenge), and then Ready once the server object instance exists, or Error. After Ready every
// request gets exactly one reply: the result of that request, or Error with the server's message.
// A reply that carries many rows (OpenResult, Packet) may be preceded by RowsChunk messages: their
// rows come first, in order, and the reply's own rows follow them. The server sends rows in
// chunks while it is still reading further rows, so that the client decodes while the server
// works.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "remote/coding.h"
#include "remote/server_object.h"
#include "remote/value.h"

namespace remote {
namespace wire {

inline constexpr uint16_t kProtocolVersion = 1;
inline constexpr char kMagic[4] = {'Q', 'M', 'D', 'W'};
inline constexpr std::size_t kNonceSize = 32;
inline constexpr std::size_t kMacSize = 32;  // HMAC-SHA-256
// Nesting of field definitions, rows and change logs beyond this depth is refused.
inline constexpr int kMaxDepth = 8;

enum class Kind : uint8_t {
  // client -> server
  kHello = 0x01,
  kAuth = 0x02,
  kOpen = 0x10,
  kFetch = 0x11,
  kCloseCursor = 0x12,
  kExecute = 0x13,
  kApplyUpdates = 0x14,
  kCall = 0x15,
  // server -> client
  kChallenge = 0x81,
  kReady = 0x82,
  kOpenResult = 0x90,
  kPacket = 0x91,
  kDone = 0x92,
  kRowsChunk = 0x93,
  kApplyResult = 0x94,
  kCallResult = 0x95,
  kError = 0xFF,
};

struct Hello {
  uint16_t version = kProtocolVersion;
  std::string prog_id;
};
struct Auth {
  std::array<uint8_t, kMacSize> mac{};
};
struct Challenge {
  std::array<uint8_t, kNonceSize> nonce{};
};
struct Ready {};
struct FetchRequest {
  uint32_t cursor = 0;
  int32_t count = -1;
};
struct CloseCursorRequest {
  uint32_t cursor = 0;
};
struct ExecuteRequest {
  std::string provider;
  std::vector<Param> params;
  std::string command_text;
};
struct ApplyUpdatesRequest {
  std::string provider;
  std::vector<RowDelta> delta;
  int32_t max_errors = 0;
};
struct CallRequest {
  std::string method;
  std::vector<Value> args;
};
struct Done {};
struct RowsChunk {
  std::vector<Row> rows;
};
struct CallResult {
  Value result;
  std::vector<Value> args;  // the arguments as the method left them (by reference)
};
struct ErrorReply {
  std::string message;
};

using ClientMessage = std::variant<Hello, Auth, OpenRequest, FetchRequest, CloseCursorRequest,
                                   ExecuteRequest, ApplyUpdatesRequest, CallRequest>;
using ServerMessage = std::variant<Challenge, Ready, OpenResult, Packet, Done, ApplyResult,
                                   CallResult, ErrorReply, RowsChunk>;

// Appends the encoding of one message to `out` (which may already hold a frame header).
void Encode(const ClientMessage& message, std::string& out);
void Encode(const ServerMessage& message, std::string& out);
// The same for the two large replies, without copying them into a variant first.
void EncodeOpenResult(const OpenResult& result, std::string& out);
void EncodePacket(const Packet& packet, std::string& out);
void EncodeRowsChunk(const std::vector<Row>& rows, std::string& out);

// Decodes one whole message; every byte of `bytes` must belong to it.
ClientMessage DecodeClientMessage(std::string_view bytes);
ServerMessage DecodeServerMessage(std::string_view bytes);

// Decodes a RowsChunk message, appending its rows to `rows` (nothing is appended when it is
// malformed, rows decoded before the fault may have been appended: the caller drops them).
void AppendRowsChunk(std::string_view bytes, std::vector<Row>& rows);

// The kind byte of a message (for logging), or 0 for an empty one.
uint8_t PeekKind(std::string_view bytes);
const char* KindName(uint8_t kind);

// What the client proves it holds the site key with: HMAC-SHA-256 over a fixed label, the
// server's challenge and the ProgID asked for.
std::string AuthMessage(const Challenge& challenge, std::string_view prog_id);

}  // namespace wire
}  // namespace remote
