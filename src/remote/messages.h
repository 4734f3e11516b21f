// Messages in two languages, kept in tables, and the client's own table (remote/messages.cpp):
// every text of the remote layer that can reach an operator (connecting, the settings, the site
// key, a lost connection), each with a stable code, the Simplified Chinese text the operator
// reads and the English text an administrator or a developer reads.
//
// - A message is thrown as msg::Error; what() is the operator's text, the Chinese followed by
//   the code, "……（代码 C-NET-002）", so that the operator can quote the code. The application
//   server's table (server/messages.cpp) is built on the same types, with codes beginning "S-";
//   its messages reach the module as text and are shown as they come.
// - Keys: a message's key is its code ("C-NET-002"), never reused for another meaning; a part
//   used inside messages has a key in lower case ("part.server_closed"). "{1}", "{2}", ... in an
//   entry stand for the arguments.
// - A part that is itself a message keeps its code in the English ("... (C-NET-004 ...)") and
//   drops it from the Chinese, which names only the code of the whole message.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "remote/server_object.h"

namespace remote::msg {

// A text in the operator's language and in English.
struct Text {
  std::string zh;
  std::string en;
};

// A text the same in both languages: numbers, codes, names, quoted input.
Text Same(std::string_view s);

struct Message {
  std::string code;  // "C-NET-002"; stable, never reused for another meaning
  Text text;

  // What the operator sees: "<Chinese text>（代码 <code>）".
  std::string ForOperator() const;
  // What a log keeps: "<code> <English text>".
  std::string ForLog() const;
  // As a part of another message: the English keeps this message's code.
  Text AsPart() const;
  // Where a plain text is expected (an error's text, a reply to the client) the operator's text.
  operator std::string() const { return ForOperator(); }  // NOLINT(google-explicit-constructor)
};

// Streams write the log's form.
std::ostream& operator<<(std::ostream& out, const Message& m);

// A refusal or failure that carries its message: what() is the operator's text.
class Error : public ServerError {
 public:
  explicit Error(Message m);
  const Message& message() const { return message_; }

 private:
  Message message_;
};

// One entry of a table.
struct Entry {
  const char* key;
  const char* zh;
  const char* en;
};

// A table of messages and parts, looked up by key.
class Table {
 public:
  // `missing`: what a message whose key is not in the table becomes (a fault of this program,
  // not of the operator's input; "{1}" in its English stands for the key). The entries must
  // outlive the table.
  Table(const Entry* begin, const Entry* end, Entry missing);

  const std::vector<Entry>& entries() const { return entries_; }
  // The entry of `key`, or nullptr.
  const Entry* Find(std::string_view key) const;
  // The message `code` with its arguments put in.
  Message Make(std::string_view code, std::initializer_list<Text> args = {}) const;
  // The part `key` with its arguments put in; a key not in the table stands for itself.
  Text Part(std::string_view key, std::initializer_list<Text> args = {}) const;

 private:
  std::vector<Entry> entries_;
  std::map<std::string_view, const Entry*> index_;
  Entry missing_;
};

// --- The client's table ---------------------------------------------------------------------

const Table& ClientTable();

// The client settings. `where`: where the text was read (Part("part.where.computer_name",...)).
Message PortNotNumber(std::string_view text, const Text& where);
Message ComputerNameNotValid(std::string_view computer_name);
Message SiteKeyUnreadable(std::string_view path);
Message SiteKeyTooShort(std::string_view path);
// The server asks for the site key and this computer holds none; `config`: the settings file.
Message SiteKeyMissing(std::string_view where, std::string_view config);

// This computer.
Message HmacUnavailable();
Message NoRandomNumbers();

// Reaching the server and its objects. `where`: "host:port".
Message ServerNotFound(std::string_view host);
// `system`: the system's own text of the last failure.
Message CannotConnect(std::string_view where, std::string_view system);
Message NoObjectFactory(std::string_view prog_id);
Message CannotCreateObject(std::string_view prog_id);
// The connection broke during a request; `why` says how (a part of this table, a protocol
// fault's text, the system's text).
Message ConnectionLost(std::string_view where, std::string_view prog_id, const Text& why);
// A request on a connection that broke before.
Message ConnectionClosed(std::string_view where);
Message NotConnected();
// The server's greeting lists its objects and `prog_id` is not among them.
Message NoSuchObjectOnServer(std::string_view where, std::string_view prog_id);
Message ClosedWithoutGreeting(std::string_view where);
// `detail`: the decoder's text, kept in the English only.
Message NotAnApplicationServer(std::string_view where, std::string_view detail);
Message ServerProtocolVersion(std::string_view where, int server_version, int client_version);
Message ArgumentsMismatch(std::string_view where, std::string_view method, std::size_t given,
                          std::size_t expected);
// A list kept on this computer that cannot be decoded again.
Message KeptCopyUnreadable();

// The print module.
Message PrintFieldMissing(std::string_view field);

// Parts naming why a connection broke.
Text ServerClosed();
Text ReplyTooLarge(std::size_t bytes);
Text UnexpectedReply();
// `detail`: the socket's or the decoder's own text, kept in the English only.
Text NetworkFailure(std::string_view detail);
Text ProtocolFault(std::string_view detail);

}  // namespace remote::msg
