// The wire protocol between a client and the application server: the messages and their binary
// encoding, built from the byte coding of remote/coding.h (little-endian, varints, zigzag,
// length-prefixed texts). Encoding appends to a byte buffer; decoding is a pure function of a
// byte span that checks every length and count against the bytes that are there, limits nesting
// depth and throws remote::ProtocolError on anything malformed. Nothing here touches a socket.
//
// A conversation, one TCP connection per client process and server:
// - Greeting. The client sends Hello (magic, protocol version, a name for the server's log); the
//   server answers Welcome (its version, the ProgIDs it hosts, and a challenge when it holds a
//   site key) or Error, and closes, when the versions differ. Hello's layout is the same in every
//   version, so a server and a client of different versions always understand this refusal.
// - After the greeting every frame names a channel first (a varint): channel 0 is the
//   connection's own; each server object instance has a channel of its own, numbered by the
//   client. When challenged, the client's first frame is Auth on channel 0 (an HMAC-SHA-256 of
//   the challenge); a wrong one is answered Error on channel 0 and the connection closed.
// - Create (a ProgID) on a new channel makes an instance there, answered Ready or Error; Release
//   ends it (no answer). Each request on a channel gets exactly one reply on that channel: its
//   result, or Error with the server's message; CloseCursor gets none. A reply that carries many
//   rows (OpenResult, Packet) may be preceded by RowsChunk messages: their rows come first, in
//   order, and the reply's own rows follow them. Replies come in the order of the requests, so a
//   client may send several requests before it reads (Create and CloseCursor travel with the
//   next request, an announced open with the ones after it).
// - Error on channel 0 after the greeting ends the connection (access denied, idle too long,
//   a request beyond the limits): every request under way fails with its message.
//
// Rows travel column by column (remote/rowset.h). A server message of kCompressFrom bytes or more
// travels compressed (remote/compression.h) when that makes it shorter: the kind byte
// kCompressed, the message's own kind byte, its size as a varint, then its zlib stream. Clients
// never compress.
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

inline constexpr uint16_t kProtocolVersion = 2;
inline constexpr char kMagic[4] = {'Q', 'M', 'D', 'W'};
inline constexpr std::size_t kNonceSize = 32;
inline constexpr std::size_t kMacSize = 32;  // HMAC-SHA-256
// Nesting of field definitions, rows and change logs beyond this depth is refused.
inline constexpr int kMaxDepth = 8;
// Server messages of at least this many bytes are compressed, with this zlib level.
inline constexpr std::size_t kCompressFrom = 1024;
inline constexpr int kCompressionLevel = 1;

enum class Kind : uint8_t {
  // client -> server
  kHello = 0x01,
  kAuth = 0x02,
  kCreate = 0x03,
  kRelease = 0x04,
  kOpen = 0x10,
  kFetch = 0x11,
  kCloseCursor = 0x12,
  kExecute = 0x13,
  kApplyUpdates = 0x14,
  kCall = 0x15,
  // server -> client
  kReady = 0x82,
  kWelcome = 0x83,
  kOpenResult = 0x90,
  kPacket = 0x91,
  kDone = 0x92,
  kRowsChunk = 0x93,
  kApplyResult = 0x94,
  kCallResult = 0x95,
  kCompressed = 0xC0,  // wraps any other server message
  kError = 0xFF,
};

struct Hello {
  uint16_t version = kProtocolVersion;
  std::string client;  // names the client in the server's log (free text)
};
struct Auth {
  std::array<uint8_t, kMacSize> mac{};
};
// Makes an instance of `prog_id` on the frame's channel.
struct CreateRequest {
  std::string prog_id;
};
// Ends the instance of the frame's channel.
struct ReleaseRequest {};
struct Welcome {
  uint16_t version = kProtocolVersion;
  std::vector<std::string> prog_ids;  // the server objects it hosts
  bool challenge = false;             // the client must prove the site key
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

using ClientMessage =
    std::variant<Hello, Auth, CreateRequest, ReleaseRequest, OpenRequest, FetchRequest,
                 CloseCursorRequest, ExecuteRequest, ApplyUpdatesRequest, CallRequest>;
using ServerMessage = std::variant<Welcome, Ready, OpenResult, Packet, Done, ApplyResult,
                                   CallResult, ErrorReply, RowsChunk>;

// The channel in front of every frame after the greeting: PutChannel appends it; TakeChannel
// reads it from the front of `bytes` and leaves the message in `bytes` (ProtocolError when the
// bytes do not begin with one).
void PutChannel(uint32_t channel, std::string& out);
uint32_t TakeChannel(std::string_view& bytes);

// Appends the encoding of one message to `out` (which may already hold a frame header).
void Encode(const ClientMessage& message, std::string& out);
void Encode(const ServerMessage& message, std::string& out);
// The same for the two large replies, without copying them into a variant first.
void EncodeOpenResult(const OpenResult& result, std::string& out);
void EncodePacket(const Packet& packet, std::string& out);
void EncodeRowsChunk(const std::vector<Row>& rows, std::string& out);

// Decodes one whole message; every byte of `bytes` must belong to it. A server message may come
// compressed.
ClientMessage DecodeClientMessage(std::string_view bytes);
ServerMessage DecodeServerMessage(std::string_view bytes);

// Decodes a RowsChunk message (compressed or not), appending its rows to `rows` (rows decoded
// before a fault may have been appended: the caller drops them).
void AppendRowsChunk(std::string_view bytes, std::vector<Row>& rows);

// A server message as it was before compression: `bytes` itself when it is not compressed,
// otherwise its inflation, kept in `scratch`. Throws ProtocolError for a damaged one.
std::string_view Inflated(std::string_view bytes, std::string& scratch);

// The kind byte of a message (for logging), or 0 for an empty one.
uint8_t PeekKind(std::string_view bytes);
// The kind of a message, looking through compression (a compressed message names it in front).
uint8_t MessageKind(std::string_view bytes);
const char* KindName(uint8_t kind);

// What the client proves it holds the site key with: HMAC-SHA-256 over a fixed label and the
// server's challenge (fresh for every connection).
std::string AuthMessage(const std::array<uint8_t, kNonceSize>& nonce);

}  // namespace wire
}  // namespace remote
