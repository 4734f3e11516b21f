#include "remote/messages.h"

#include <iterator>

namespace remote::msg {
namespace {

// Every text of the remote layer that can reach an operator, and the parts they are built from.
// Codes: C-GEN general, C-PRT the print module, C-SET the client settings and the site key, C-SYS
// this computer, C-NET reaching the application server and keeping the connection. A code keeps its
// meaning for good; a message that goes away leaves its code unused.
constexpr Entry kClientTable[] = {
    // --- General -----------------------------------------------------------------------------
    {"C-GEN-001", "程序内部出错，本次操作没有完成。请与管理员联系。", "{1}"},
    {"C-GEN-002", "本计算机保存的列表副本无法读取。请关闭本窗口后重新打开。",
     "The kept copy of a list could not be read again"},

    // --- Settings and the site key -----------------------------------------------------------
    {"C-SET-001", "服务器端口“{1}”（{2}）不是有效的端口号（1 到 65535）。请检查计算机名称的设置。",
     "The server port \"{1}\" ({2}) is not a port number"},
    {"C-SET-002", "计算机名称“{1}”无效。请检查应用服务器的名称或地址。",
     "The computer name \"{1}\" is not valid"},
    {"C-SET-003", "无法读取站点密钥文件 {1}。请检查该文件，或与管理员联系。",
     "Cannot read the site key file {1}"},
    {"C-SET-004", "站点密钥文件 {1} 中的密钥短于 16 个字节。请与管理员联系。",
     "The site key in {1} is shorter than 16 bytes"},
    {"C-SET-005",
     "应用服务器 {1} 要求站点密钥，但本计算机没有设置。请在 {2} 中设置 site_key_file，"
     "或与管理员联系。",
     "The application server at {1} requires the site key, and this computer holds none (set "
     "QMDW_SITE_KEY_FILE or site_key_file in {2})"},
    {"part.where.computer_name", "计算机名称 {1}", "computer name {1}"},
    {"part.where.environment", "环境变量 {1}", "{1}"},
    {"part.where.settings_file", "设置文件 {1}", "settings file {1}"},

    // --- This computer -----------------------------------------------------------------------
    {"C-SYS-001", "本计算机无法计算 HMAC-SHA-256，不能向应用服务器证明站点密钥。请与管理员联系。",
     "HMAC-SHA-256 is not available on this computer"},
    {"C-SYS-002", "本计算机无法产生随机数。请与管理员联系。",
     "No random numbers are available on this computer"},

    // --- Reaching the application server -----------------------------------------------------
    {"C-NET-001", "找不到应用服务器所在的计算机“{1}”。请检查计算机名称是否正确，或与管理员联系。",
     "Cannot find the application server computer \"{1}\""},
    {"C-NET-002",
     "无法连接应用服务器 {1}（{2}）。请确认应用服务器已经启动、网络畅通，然后重试；"
     "如果仍然不行，请与管理员联系。",
     "Cannot connect to the application server at {1}: {2}"},
    {"C-NET-003", "没有可用的服务器对象 {1}。请与管理员联系。",
     "No server object factory is installed for {1}"},
    {"C-NET-004", "无法建立服务器对象 {1}。请与管理员联系。",
     "Cannot create the server object {1}"},
    {"C-NET-005",
     "与应用服务器 {1} 的连接已断开（{3}），服务器对象 {2} 已不可用。"
     "尚未完成的操作没有生效。请关闭本窗口，检查网络后重新打开。",
     "The connection to the application server at {1} was lost ({3}); the server object {2} is "
     "no longer available"},
    {"C-NET-006", "与应用服务器 {1} 的连接已经断开。请关闭本窗口，检查网络后重新打开。",
     "The connection to the application server at {1} is closed"},
    {"C-NET-007", "尚未连接应用服务器。请关闭本窗口后重新打开。", "Not connected"},
    {"C-NET-008", "应用服务器 {1} 上没有服务器对象“{2}”。请确认应用服务器的版本，或与管理员联系。",
     "The application server at {1} hosts no object '{2}'"},
    {"C-NET-009", "应用服务器 {1} 没有应答问候就关闭了连接。请稍后再试，或与管理员联系。",
     "The application server at {1} closed the connection without a greeting"},
    {"C-NET-010", "计算机 {1} 上应答的不是应用服务器。请检查计算机名称和端口，或与管理员联系。",
     "The computer at {1} does not answer as an application server{2}"},
    {"C-NET-011",
     "应用服务器 {1} 使用通信协议版本 {2}，本模块使用版本 {3}，二者不能通信。"
     "请安装与应用服务器相符的模块版本，或与管理员联系。",
     "The application server at {1} speaks protocol version {2}; this client speaks version {3}"},
    {"C-NET-012",
     "应用服务器 {1} 对 {2} 的应答有 {3} 个参数，应为 {4} 个。请确认应用服务器的版本。",
     "The application server at {1} answered {2} with {3} arguments for {4}"},
    // --- The print module ----------------------------------------------------------------------
    {"C-PRT-001",
     "应用服务器的应答缺少字段 {1}，无法打印。请确认应用服务器的版本，或与管理员联系。",
     "The server's answer lacks the field {1}"},

    {"part.server_closed", "应用服务器关闭了连接", "the server closed the connection"},
    {"part.reply_too_large", "应答有 {1} 个字节，超过了上限",
     "a reply of {1} bytes exceeds the limit"},
    {"part.unexpected_reply", "应用服务器的应答不符合协议", "unexpected reply"},
    {"part.network_failure", "网络中断或超时", "{1}"},
    {"part.protocol_fault", "收到的数据不符合通信协议", "{1}"},
};

// `pattern` with "{n}" replaced by the n-th argument's text in the language `pick` chooses.
template <typename Pick>
std::string Fill(const char* pattern, std::initializer_list<Text> args, Pick pick) {
  std::string out;
  for (const char* p = pattern; *p; ++p) {
    if (p[0] == '{' && p[1] >= '1' && p[1] <= '9' && p[2] == '}') {
      const std::size_t n = static_cast<std::size_t>(p[1] - '1');
      if (n < args.size()) out += pick(*(args.begin() + n));
      p += 2;
      continue;
    }
    out += *p;
  }
  return out;
}

Text FillBoth(const Entry& e, std::initializer_list<Text> args) {
  return Text{Fill(e.zh, args, [](const Text& t) { return t.zh; }),
              Fill(e.en, args, [](const Text& t) { return t.en; })};
}

Text Count(std::size_t n) {
  return Same(std::to_string(n));
}

}  // namespace

Text Same(std::string_view s) {
  return Text{std::string(s), std::string(s)};
}

std::string Message::ForOperator() const {
  return text.zh + "（代码 " + code + "）";
}
std::string Message::ForLog() const {
  return code + " " + text.en;
}
Text Message::AsPart() const {
  return Text{text.zh, ForLog()};
}

std::ostream& operator<<(std::ostream& out, const Message& m) {
  return out << m.ForLog();
}

Error::Error(Message m) : ServerError(m.ForOperator()), message_(std::move(m)) {}

Table::Table(const Entry* begin, const Entry* end, Entry missing)
    : entries_(begin, end), missing_(missing) {
  for (const Entry& e : entries_) index_.emplace(e.key, &e);
}

const Entry* Table::Find(std::string_view key) const {
  auto it = index_.find(key);
  return it == index_.end() ? nullptr : it->second;
}

Message Table::Make(std::string_view code, std::initializer_list<Text> args) const {
  if (const Entry* e = Find(code)) return Message{e->key, FillBoth(*e, args)};
  return Message{missing_.key, FillBoth(missing_, {Same(code)})};
}

Text Table::Part(std::string_view key, std::initializer_list<Text> args) const {
  if (const Entry* e = Find(key)) return FillBoth(*e, args);
  return Same(key);
}

// --- The client's table ---------------------------------------------------------------------

const Table& ClientTable() {
  static const Table table(std::begin(kClientTable), std::end(kClientTable),
                           Entry{"C-GEN-001", "程序内部出错，本次操作没有完成。请与管理员联系。",
                                 "Message {1} is missing from the table"});
  return table;
}

namespace {
Message Make(std::string_view code, std::initializer_list<Text> args = {}) {
  return ClientTable().Make(code, args);
}
}  // namespace

Message PortNotNumber(std::string_view text, const Text& where) {
  return Make("C-SET-001", {Same(text), where});
}
Message ComputerNameNotValid(std::string_view computer_name) {
  return Make("C-SET-002", {Same(computer_name)});
}
Message SiteKeyUnreadable(std::string_view path) {
  return Make("C-SET-003", {Same(path)});
}
Message SiteKeyTooShort(std::string_view path) {
  return Make("C-SET-004", {Same(path)});
}
Message SiteKeyMissing(std::string_view where, std::string_view config) {
  return Make("C-SET-005", {Same(where), Same(config)});
}

Message HmacUnavailable() {
  return Make("C-SYS-001");
}
Message NoRandomNumbers() {
  return Make("C-SYS-002");
}

Message ServerNotFound(std::string_view host) {
  return Make("C-NET-001", {Same(host)});
}
Message CannotConnect(std::string_view where, std::string_view system) {
  return Make("C-NET-002", {Same(where), Same(system)});
}
Message NoObjectFactory(std::string_view prog_id) {
  return Make("C-NET-003", {Same(prog_id)});
}
Message CannotCreateObject(std::string_view prog_id) {
  return Make("C-NET-004", {Same(prog_id)});
}
Message ConnectionLost(std::string_view where, std::string_view prog_id, const Text& why) {
  return Make("C-NET-005", {Same(where), Same(prog_id), why});
}
Message ConnectionClosed(std::string_view where) {
  return Make("C-NET-006", {Same(where)});
}
Message NotConnected() {
  return Make("C-NET-007");
}
Message NoSuchObjectOnServer(std::string_view where, std::string_view prog_id) {
  return Make("C-NET-008", {Same(where), Same(prog_id)});
}
Message ClosedWithoutGreeting(std::string_view where) {
  return Make("C-NET-009", {Same(where)});
}
Message NotAnApplicationServer(std::string_view where, std::string_view detail) {
  return Make("C-NET-010",
              {Same(where), Text{"", detail.empty() ? "" : " (" + std::string(detail) + ")"}});
}
Message ServerProtocolVersion(std::string_view where, int server_version, int client_version) {
  return Make("C-NET-011", {Same(where), Count(static_cast<std::size_t>(server_version)),
                            Count(static_cast<std::size_t>(client_version))});
}
Message ArgumentsMismatch(std::string_view where, std::string_view method, std::size_t given,
                          std::size_t expected) {
  return Make("C-NET-012", {Same(where), Same(method), Count(given), Count(expected)});
}
Message KeptCopyUnreadable() {
  return Make("C-GEN-002");
}

Message PrintFieldMissing(std::string_view field) {
  return Make("C-PRT-001", {Same(field)});
}

Text ServerClosed() {
  return ClientTable().Part("part.server_closed");
}
Text ReplyTooLarge(std::size_t bytes) {
  return ClientTable().Part("part.reply_too_large", {Count(bytes)});
}
Text UnexpectedReply() {
  return ClientTable().Part("part.unexpected_reply");
}
Text NetworkFailure(std::string_view detail) {
  return ClientTable().Part("part.network_failure", {Same(detail)});
}
Text ProtocolFault(std::string_view detail) {
  return ClientTable().Part("part.protocol_fault", {Same(detail)});
}

}  // namespace remote::msg
