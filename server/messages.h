// The application server's refusals and limit messages, in one place. Each refusal has its own
// stable text (and function name), so that operators, logs and tests can tell them apart and a
// later translation can key them by name. The texts say what was refused and why, and what became
// of the request (rolled back, nothing changed).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace server::msg {

inline std::string Seconds(int64_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(ms) / 1000.0);
  return buf;
}

// --- Texts and numbers of a request ------------------------------------------------------

// `what` names the text ("the command text", "the parameter FLAG", "BEIZHU of document 5").
inline std::string ControlCharacter(std::string_view what, unsigned char code) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%02X", code);
  return std::string(what) + " contains the control character 0x" + hex +
         "; texts with control characters are refused and nothing was changed";
}

inline std::string NotFinite(std::string_view what) {
  return std::string(what) +
         " is not a finite number; infinities and NaN are refused and nothing was changed";
}

inline std::string StockOutOfRange(std::string_view goods, std::string_view warehouse) {
  return "The stock of goods '" + std::string(goods) + "' in warehouse '" + std::string(warehouse) +
         "' would no longer be a finite number; the statement was refused";
}

// --- The ledger's rules --------------------------------------------------------------------

inline std::string LoneStockIncrement() {
  return "A stock increment runs only inside the transaction of a cancel (sustarttran ... "
         "sucommit); it was refused and nothing was changed";
}

inline std::string LoneAuditReset() {
  return "An audit reset runs only inside the transaction of a cancel (sustarttran ... "
         "sucommit); it was refused and nothing was changed";
}

inline std::string AfterAuditReset() {
  return "The transaction of a cancel ends with its audit reset; the statement after it was "
         "refused and the transaction rolled back";
}

inline std::string CancelMismatch(std::string_view doc, std::string_view detail) {
  return "The cancel of document " + std::string(doc) +
         " was refused: its stock increments are not exactly the document's lines (" +
         std::string(detail) + "); the transaction was rolled back and nothing was changed";
}

inline std::string CommitWithoutReset() {
  return "The transaction was not committed: its stock increments belong to no audit reset of a "
         "document; it was rolled back and nothing was changed";
}

inline std::string BatchShape(std::string_view detail) {
  return "TranPara refused its batch: the batch of an audit holds, for each line, the statement "
         "for warehouse 0B followed by the one for the document's warehouse with the same goods "
         "and quantity (" +
         std::string(detail) + "); nothing of the batch was run";
}

inline std::string SaveNeedsOneAudit(std::string_view detail) {
  return "The stock batch was rolled back: the changes applied after TranPara must store the "
         "audit of exactly one document (" +
         std::string(detail) + "); neither the stock nor any document was changed";
}

inline std::string SaveMismatch(std::string_view doc, std::string_view detail) {
  return "The save of document " + std::string(doc) +
         " was refused: its stock batch is not exactly the two statements of each of the "
         "document's lines (" +
         std::string(detail) +
         "); the document may have changed since it was opened. Neither the stock nor the "
         "document was changed; reopen the document and save again";
}

// --- Time limits of transactions -----------------------------------------------------------

inline std::string TransactionIdle(int64_t ms) {
  return "it was left open for more than " + Seconds(ms) + " s";
}

inline std::string TransactionTooLong(int64_t ms) {
  return "it held the database for more than " + Seconds(ms) + " s from its start";
}

// --- Memory of open results ----------------------------------------------------------------

inline std::string ResultMemorySession(uint32_t cursor, int64_t bytes) {
  return "The open result " + std::to_string(cursor) +
         " was closed: the rows this connection holds for its open results would exceed " +
         std::to_string(bytes >> 20) +
         " MiB; read a result to its end before opening others, "
         "or open it again";
}

inline std::string ResultMemoryServer(uint32_t cursor, int64_t bytes) {
  return "The open result " + std::to_string(cursor) +
         " was closed: the rows the application server holds for open results would exceed " +
         std::to_string(bytes >> 20) + " MiB; open it again later";
}

// --- Connections ---------------------------------------------------------------------------

inline std::string TooManyClients(std::size_t max) {
  return "The application server serves at most " + std::to_string(max) +
         " clients at once; try again later";
}

inline std::string TooManyFromAddress(std::string_view address, std::size_t max) {
  return "The computer " + std::string(address) + " already has " + std::to_string(max) +
         " connections to the application server, the most one computer may have; close some "
         "and try again";
}

inline std::string TooManyObjects(std::size_t max) {
  return "The application server holds at most " + std::to_string(max) +
         " server objects at once; try again later";
}

inline std::string TooManyObjectsFromAddress(std::string_view address, std::size_t max) {
  return "The computer " + std::string(address) + " already holds " + std::to_string(max) +
         " server objects on the application server, the most one computer may hold; release "
         "some and try again";
}

inline std::string ChannelInUse(uint32_t channel) {
  return "Channel " + std::to_string(channel) + " already holds a server object";
}

inline std::string NoObjectOnChannel(uint32_t channel) {
  return "No server object on channel " + std::to_string(channel);
}

inline std::string ProgIdControlCharacter() {
  return "The name of the server object contains a control character; it was refused";
}

inline std::string HandshakeTooSlow(int64_t ms) {
  return "the greeting did not complete within " + Seconds(ms) + " s";
}

inline std::string SessionIdle(int64_t ms) {
  return "The connection was closed after " + Seconds(ms) + " s without a request; connect again";
}

inline std::string RequestTooSlow(int64_t ms) {
  return "the request did not arrive whole within " + Seconds(ms) + " s";
}

inline std::string ReplyNotRead(int64_t ms) {
  return "the client did not read a reply within " + Seconds(ms) + " s";
}

}  // namespace server::msg
