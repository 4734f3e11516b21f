// The application server's messages, in one table (server/messages.cpp): every text that can
// reach an operator, each with a stable code, the Simplified Chinese text the operator reads and
// the English text the server's log keeps for the administrator.
//
// - A refusal or failure is thrown as msg::Error. What the client receives (and the module's
//   error display shows) is the Chinese text followed by the code, "……（代码 S-APPLY-013）", so
//   that an operator can quote the code to the administrator; the log writes the code and the
//   English text ("S-APPLY-013 Document 106 was changed by another user ..."). The code travels
//   inside the text the client already shows, so clients of every protocol version show it.
// - A message may be built from parts in both languages (msg::Text): a document's name, a
//   field's caption, the reason of a rollback. A part that is itself a message keeps its code in
//   the English text ("... (S-TXN-005 it was left open for more than 10 s)") and drops it from
//   the Chinese, which names only the code of the whole message.
// - `appserver messages` prints the table.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "remote/messages.h"

namespace server::msg {

// The types are the remote layer's (remote/messages.h): the module shows a server's message as
// the text it receives.
using remote::msg::Entry;
using remote::msg::Error;
using remote::msg::Message;
using remote::msg::Same;
using remote::msg::Text;

Text Number(double value);  // number text, 15 significant digits
Text Count(int64_t value);

// The message of any failure: a coded error's own; anything else becomes S-GEN-001 with what()
// as its English text.
Message MessageOf(const std::exception& e);
// The log's text of any failure: code and English text.
std::string LogText(const std::exception& e);

// The table: messages (key = their code) and parts used inside messages (key in lower case).
const std::vector<Entry>& Table();

// The message or part of the table named `key`, with its arguments put in.
Message Make(std::string_view code, std::initializer_list<Text> args = {});
Text Part(std::string_view key, std::initializer_list<Text> args = {});

// The caption an operator knows a stored field by ("审核日期" for YWRQ00); the English is the
// field's name.
Text Field(std::string_view name);
// Field names joined: "审核日期、审核人员" / "YWRQ00, YWRY00".
Text Fields(const std::vector<std::string>& names);
// "单据 106" / "Document 106".
Text Document(double number);
// "单据 106 的商品 10010001" / "Document 106, goods 10010001".
Text DocumentLine(double number, std::string_view goods);

// --- Server objects and providers ----------------------------------------------------------

Message UnknownProgId(std::string_view prog_id);
Message NoProvider(std::string_view prog_id, std::string_view name);
Message NoMethod(std::string_view prog_id, std::string_view name);
Message ArgCount(std::string_view method, std::size_t expected, std::size_t given);
Message TranParaTakesText();
Message TooManyOpenResults(std::string_view prog_id, int max);
Message NoOpenResult(std::string_view prog_id, uint32_t cursor);
// `where`: the provider, or "provider of ProgID".
Message TakesNoChanges(std::string_view where);
// `quoted`: the client's text as QuoteForMessage quotes it.
Message OwnListOnly(std::string_view provider, std::string_view quoted);
Message DocumentByNumberOnly(std::string_view provider, std::string_view quoted);
Message FlagNotSelection(std::string_view provider, std::string_view flag);
Message ParameterMustBeText(std::string_view provider, std::string_view name);
Message NeedsDocumentNumber(std::string_view provider);
Message NotDocumentNumber(std::string_view provider, std::string_view text);
Message TakesNoParameters(std::string_view provider, std::string_view name);
Message DeliversNoRows(std::string_view provider);
Message ExecutesNoCommands(std::string_view provider, std::string_view quoted);
Message NoSuchParameter(std::string_view provider, std::string_view name);
Message ClosingQueryNotExecutable();
Message ResultTooLarge(std::string_view what, std::size_t bytes);

// --- Statements ----------------------------------------------------------------------------

Message StatementNotRecognised(std::string_view where, std::string_view quoted);
// `kind`: Part("part.kind.stock_decrement") and the like.
Message StatementWrongProvider(std::string_view where, std::string_view quoted, const Text& kind);
Message BatchStatementRefused(std::size_t index, std::string_view quoted, const Text& reason);

// --- The changes of a document -------------------------------------------------------------

// `where`: Document(n) or DocumentLine(n, goods); `field`: the stored field's name.
Message FieldMustBeText(const Text& where, std::string_view field);
Message FieldNotValidText(const Text& where, std::string_view field);
Message FieldTooLong(const Text& where, std::string_view field, int width);
Message FieldMustBeNumber(const Text& where, std::string_view field);
Message FieldMustBeDate(const Text& where, std::string_view field);
Message FieldMustBeWhole(const Text& where, std::string_view field);
Message FieldCannotBeWritten(const Text& where, std::string_view field);
Message FieldCannotBeChanged(const Text& where, std::string_view field);
Message ChangeLacksValueRead(const Text& where, std::string_view field);
Message AuditOnlyWithStock(const Text& where);
Message CancelOnlyByCancel(const Text& where);
Message DocumentNoLongerExists(const Text& where);
Message ChangedByAnother(const Text& where, const std::vector<std::string>& fields);
Message UnknownNestedField(const Text& where, std::string_view name);
Message LinesCannotBeAddedOrDeleted(const Text& where);
Message LineLacksGoods(const Text& where);
Message LineNoLongerExists(const Text& where);
Message LineChangedByAnother(const Text& where, const std::vector<std::string>& fields);
Message DocumentLacksNumber();
Message DocumentsCannotBeAddedOrDeleted(const Text& where);
Message NumberCannotBeChanged(const Text& where);

// --- Texts and numbers of a request ------------------------------------------------------

// `what` names the text (Part("part.command_text"), the parameter FLAG, BEIZHU of document 5).
Message ControlCharacter(const Text& what, unsigned char code);
Message NotFinite(const Text& what);
Message StockOutOfRange(std::string_view goods, std::string_view warehouse);

// --- The ledger's rules --------------------------------------------------------------------

Message LoneStockIncrement();
Message LoneAuditReset();
Message AfterAuditReset();
Message CancelMismatch(double doc, const Text& detail);
Message CommitWithoutReset();
Message BatchShape(const Text& detail);
Message SaveNeedsOneAudit(const Text& detail);
Message SaveMismatch(double doc, const Text& detail);
// The save's stock batch was rolled back before its document came.
Message BatchRolledBack(const Text& reason);
// The last failure of a save gets what became of the save added.
Message SaveRolledBack(const Message& failure);

// --- Transactions --------------------------------------------------------------------------

// Why a transaction was rolled back; used as the reason of the messages below.
Message TransactionIdle(int64_t ms);
Message TransactionTooLong(int64_t ms);
Message OtherRequestFirst(std::string_view request);  // before a save's document
Message ClientGoneBeforeSave();
Message ClientRolledBackCancel();
Message ClientGoneBeforeCommit();
Message TransactionAlreadyOpen();
Message TransactionRolledBack(const Text& reason);         // at sucommit
Message TransactionRolledBackExecute(const Text& reason);  // at a further command
Message NoTransaction();

// --- Cancelling an audit -------------------------------------------------------------------

Message CancelDocumentMissing(double doc);
Message CancelNotAudited(double doc);
Message CancelClosedPeriod(double doc);

// --- Memory of open results ----------------------------------------------------------------

Message ResultMemorySession(uint32_t cursor, int64_t bytes);
Message ResultMemoryServer(uint32_t cursor, int64_t bytes);

// --- Connections ---------------------------------------------------------------------------

Message TooManyClients(std::size_t max);
Message TooManyFromAddress(std::string_view address, std::size_t max);
Message TooManyObjects(std::size_t max);
Message TooManyObjectsFromAddress(std::string_view address, std::size_t max);
Message RequestTooLarge(std::size_t bytes, std::size_t max);
Message ChannelInUse(uint32_t channel);
Message NoObjectOnChannel(uint32_t channel);
Message ProgIdControlCharacter();
Message GreetingTooLarge(std::size_t bytes);
Message FirstMessageNotHello();
Message ProtocolVersionMismatch(int server_version, int client_version);
Message SiteKeyWrong();
Message SiteKeyNotProven();
// `detail`: the decoder's text, for the log only.
Message SiteKeyProofMalformed(std::string_view detail);
// `detail`: the decoder's text (English, for the log).
Message GreetingMalformed(std::string_view detail);
Message RequestMalformed(std::string_view detail);
Message AlreadyConnected();  // a second greeting on a connection
Message HandshakeTooSlow(int64_t ms);
Message SessionIdle(int64_t ms);
Message RequestTooSlow(int64_t ms);
Message ReplyNotRead(int64_t ms);

// --- The database --------------------------------------------------------------------------

Message DatabaseBusy();
Message DatabaseConflict(std::string_view detail);
// `what`: the step that failed ("prepare", "commit"), may be empty; `detail`: the database's own
// message, which only the log shows.
Message DatabaseError(std::string_view what, std::string_view detail);
Message DatabaseConnectionLost(std::string_view detail);
Message DatabaseNul();
Message DatabaseRolledBackAtCommit();
Message StoredDateUnreadable(std::string_view text);

}  // namespace server::msg
