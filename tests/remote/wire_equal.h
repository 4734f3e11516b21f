// Field-by-field equality of the protocol's values and messages, for round-trip tests.
#pragma once

#include "remote/wire.h"

namespace remote {

inline bool operator==(const FieldDef& a, const FieldDef& b) {
  return a.name == b.name && a.type == b.type && a.width == b.width && a.nested == b.nested;
}
inline bool operator==(const Row& a, const Row& b) {
  return a.cells == b.cells && a.nested == b.nested;
}
inline bool operator==(const Packet& a, const Packet& b) {
  return a.fields == b.fields && a.rows == b.rows && a.more == b.more;
}
inline bool operator==(const Param& a, const Param& b) {
  return a.name == b.name && a.type == b.type && a.direction == b.direction && a.value == b.value;
}
inline bool operator==(const OpenRequest& a, const OpenRequest& b) {
  return a.provider == b.provider && a.params == b.params && a.command_text == b.command_text &&
         a.packet_records == b.packet_records && a.cached_version == b.cached_version;
}
inline bool operator==(const OpenResult& a, const OpenResult& b) {
  return a.cursor == b.cursor && a.packet == b.packet && a.version == b.version &&
         a.unchanged == b.unchanged;
}
inline bool operator==(const FieldValue& a, const FieldValue& b) {
  return a.field == b.field && a.value == b.value;
}
bool operator==(const NestedDelta& a, const NestedDelta& b);
inline bool operator==(const RowDelta& a, const RowDelta& b) {
  return a.kind == b.kind && a.original == b.original && a.changed == b.changed &&
         a.nested == b.nested;
}
inline bool operator==(const NestedDelta& a, const NestedDelta& b) {
  return a.field == b.field && a.rows == b.rows;
}
inline bool operator==(const ApplyResult& a, const ApplyResult& b) {
  return a.error_count == b.error_count && a.errors == b.errors;
}

namespace wire {
inline bool operator==(const Hello& a, const Hello& b) {
  return a.version == b.version && a.client == b.client;
}
inline bool operator==(const Auth& a, const Auth& b) {
  return a.mac == b.mac;
}
inline bool operator==(const CreateRequest& a, const CreateRequest& b) {
  return a.prog_id == b.prog_id;
}
inline bool operator==(const ReleaseRequest&, const ReleaseRequest&) {
  return true;
}
inline bool operator==(const Welcome& a, const Welcome& b) {
  return a.version == b.version && a.prog_ids == b.prog_ids && a.challenge == b.challenge &&
         (!a.challenge || a.nonce == b.nonce);
}
inline bool operator==(const Ready&, const Ready&) {
  return true;
}
inline bool operator==(const Done&, const Done&) {
  return true;
}
inline bool operator==(const FetchRequest& a, const FetchRequest& b) {
  return a.cursor == b.cursor && a.count == b.count;
}
inline bool operator==(const CloseCursorRequest& a, const CloseCursorRequest& b) {
  return a.cursor == b.cursor;
}
inline bool operator==(const ExecuteRequest& a, const ExecuteRequest& b) {
  return a.provider == b.provider && a.params == b.params && a.command_text == b.command_text;
}
inline bool operator==(const ApplyUpdatesRequest& a, const ApplyUpdatesRequest& b) {
  return a.provider == b.provider && a.delta == b.delta && a.max_errors == b.max_errors;
}
inline bool operator==(const CallRequest& a, const CallRequest& b) {
  return a.method == b.method && a.args == b.args;
}
inline bool operator==(const CallResult& a, const CallResult& b) {
  return a.result == b.result && a.args == b.args;
}
inline bool operator==(const RowsChunk& a, const RowsChunk& b) {
  return a.rows == b.rows;
}
inline bool operator==(const ErrorReply& a, const ErrorReply& b) {
  return a.message == b.message;
}
}  // namespace wire

}  // namespace remote
