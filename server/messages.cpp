#include "server/messages.h"

#include <cstdio>
#include <iterator>
#include <map>
#include <mutex>

#include "rtl/numtext.h"

namespace server::msg {
namespace {

// Every text of the application server that can reach an operator, and the parts they are built
// from. Codes: S-GEN general, S-REQ the texts and numbers of a request, S-OBJ server objects and
// providers, S-STMT statements, S-APPLY the changes of a document, S-LEDGER the stock ledger's
// rules, S-SAVE saving an audit, S-TXN transactions, S-CANCEL cancelling an audit, S-LIMIT limits,
// S-NET connections, S-DB the database. A code keeps its meaning for good; a message that goes
// away leaves its code unused.
constexpr Entry kTable[] = {
    // --- General ---------------------------------------------------------------------------
    {"S-GEN-001", "应用服务器处理请求时出错，本次操作没有完成。请与管理员联系。", "{1}"},

    // --- Texts and numbers of a request ----------------------------------------------------
    {"S-REQ-001", "{1}含有控制字符 0x{2}，不能接受，没有作任何修改。",
     "{1} contains the control character 0x{2}; texts with control characters are refused and "
     "nothing was changed"},
    {"S-REQ-002", "{1}不是有效的数值（无穷大或非数值不能接受），没有作任何修改。",
     "{1} is not a finite number; infinities and NaN are refused and nothing was changed"},
    {"part.provider_name", "数据提供者名称", "The provider name"},
    {"part.command_text", "命令文本", "The command text"},
    {"part.method_name", "方法名", "The method name"},
    {"part.parameter_name", "参数名", "A parameter name"},
    {"part.parameter", "参数 {1} ", "The parameter {1}"},
    {"part.argument", "方法 {2} 的第 {1} 个参数", "Argument {1} of {2}"},
    {"part.change_field_name", "修改内容中的字段名", "A field name of the changes"},
    {"part.field_of", "{1} 的{2}", "{1}: {2}"},

    // --- Server objects and providers -----------------------------------------------------
    {"S-OBJ-001", "应用服务器上没有服务器对象“{1}”。请确认应用服务器的版本，或与管理员联系。",
     "This server hosts no object '{1}'"},
    {"S-OBJ-002", "服务器对象 {1} 没有数据提供者“{2}”。", "{1} has no provider '{2}'"},
    {"S-OBJ-003", "服务器对象 {1} 没有方法“{2}”。", "{1} has no method '{2}'"},
    {"S-OBJ-004", "方法 {1} 需要 {2} 个参数，收到 {3} 个。", "Method {1} takes {4} ({3} given)"},
    {"S-OBJ-005", "方法 TranPara 需要一个文本参数。", "Method TranPara takes one text argument"},
    {"S-OBJ-006", "同时打开的结果过多（最多 {2} 个），请先关闭一些。",
     "{1}: too many open results (at most {2}); close some first"},
    {"S-OBJ-007", "结果 {2} 没有打开或已经关闭，请重新打开。", "{1}: no open result {2}"},
    {"S-OBJ-008", "{1} 不接受修改。", "{1} takes no changes"},
    {"S-OBJ-009", "{1} 不接受命令文本 {2}：它只提供自己的列表。",
     "{1} refused the command text {2}: it delivers its own list only"},
    {"S-OBJ-010", "{1} 不接受命令文本 {2}：它只提供由单据号 DHAO00 指定的单据。",
     "{1} refused the command text {2}: it delivers the document named by DHAO00 only"},
    {"S-OBJ-011", "{1}：FLAG“{2}”不是有效的选择（1：全部单据，0：未审核，2：已审核）。",
     "{1}: FLAG '{2}' is not a selection (1: all documents, 0: not audited, 2: audited)"},
    {"S-OBJ-012", "{1}：参数 {2} 必须是文本。", "{1}: the parameter {2} must be text"},
    {"S-OBJ-013", "{1} 需要单据号 DHAO00。", "{1} needs the document number DHAO00"},
    {"S-OBJ-014", "{1}：“{2}”不是单据号。", "{1}: '{2}' is not a document number"},
    {"S-OBJ-015", "{1} 不接受参数（收到 {2}）。", "{1} takes no parameters ({2} given)"},
    {"S-OBJ-016", "{1} 不提供数据，只执行命令。",
     "{1} delivers no rows; it executes commands only"},
    {"S-OBJ-017", "{1} 不执行命令 {2}。", "{1} refused the command {2}: it executes no commands"},
    {"S-OBJ-018", "{1} 没有参数“{2}”。", "{1} has no parameter '{2}'"},
    {"S-OBJ-019", "结转期间查询返回数据，不能作为命令执行。",
     "The closing-period query returns rows; it cannot be executed"},
    {"S-OBJ-020", "{1} 的结果太大，无法发送（{2} 字节），请分批读取。",
     "The result of {1} is too large to send ({2} bytes); open it in packets"},

    // --- Statements ------------------------------------------------------------------------
    {"S-STMT-001", "{1} 拒绝执行语句 {2}：应用服务器不执行这种语句，没有作任何修改。",
     "{1} refused the statement {2}: it is not one of the statements this server runs"},
    {"S-STMT-002", "{1} 拒绝执行语句 {2}：它不执行{3}，没有作任何修改。",
     "{1} refused the statement {2}: it does not run the {3}"},
    {"S-STMT-003", "TranPara 拒绝了批处理中的第 {1} 条语句 {2}：{3}；整批语句都没有执行。",
     "TranPara refused statement {1} of its batch {2}: {3}; nothing of the batch was run"},
    {"S-STMT-004", "商品“{1}”在仓库“{2}”的库存将不再是有效的数值，该语句被拒绝，库存没有改变。",
     "The stock of goods '{1}' in warehouse '{2}' would no longer be a finite number; the "
     "statement was refused"},
    {"part.kind.stock_decrement", "库存扣减语句", "stock decrement"},
    {"part.kind.stock_increment", "库存恢复语句", "stock increment"},
    {"part.kind.audit_reset", "审核清除语句", "audit reset"},
    {"part.kind.closing_query", "结转期间查询", "closing-period query"},
    {"part.kind.statement", "语句", "statement"},
    {"part.batch_decrements_only", "TranPara 只执行库存扣减语句",
     "TranPara runs only stock decrements"},
    {"part.not_a_statement", "应用服务器不执行这种语句",
     "it is not one of the statements this server runs"},

    // --- The changes of a document ---------------------------------------------------------
    {"part.document", "单据 {1}", "Document {1}"},
    {"part.document_line", "单据 {1} 的商品 {2}", "Document {1}, goods {2}"},
    {"part.document_without_number", "没有单据号的单据", "Document (without DHAO00)"},
    {"S-APPLY-001", "{1}：{2}必须是文本。", "{1}: {2} must be text"},
    {"S-APPLY-002", "{1}：{2}不是有效的文本。", "{1}: {2} is not valid text"},
    {"S-APPLY-003", "{1}：{2}最多 {3} 个字节（一个汉字占两个字节），请缩短后再保存。",
     "{1}: {2} holds at most {3} bytes"},
    {"S-APPLY-004", "{1}：{2}必须是数值。", "{1}: {2} must be a number"},
    {"S-APPLY-005", "{1}：{2}必须是日期。", "{1}: {2} must be a date"},
    {"S-APPLY-006", "{1}：{2}必须是整数。", "{1}: {2} must be a whole number"},
    {"S-APPLY-007", "{1}：{2}不能写入。", "{1}: {2} cannot be written"},
    {"S-APPLY-008", "{1}：{2}不能修改。", "{1}: {2} cannot be changed"},
    {"S-APPLY-009", "{1}：{2}的修改缺少读取时的原值。",
     "{1}: the change of {2} lacks the value read"},
    {"S-APPLY-010", "{1}：审核只能与它的库存扣减一起保存（TranPara）。",
     "{1}: the audit is stored only together with its stock changes (TranPara)"},
    {"S-APPLY-011", "{1}：审核只能通过“取消审核”来取消。",
     "{1}: an audit is cancelled only by cancelling the audit"},
    {"S-APPLY-012", "{1} 已不存在。", "{1} no longer exists"},
    {"S-APPLY-013", "{1} 在打开之后已被其他操作员修改（{2}）。",
     "{1} was changed by another user after it was read ({2}); it was not saved"},
    {"S-APPLY-014", "{1}：未知的明细字段 {2}。", "{1}: unknown nested field {2}"},
    {"S-APPLY-015", "{1}：不能增加或删除明细行。", "{1}: lines cannot be added or deleted"},
    {"S-APPLY-016", "{1}：明细行缺少商品代码 SPDM00。", "{1}: the line lacks its SPDM00"},
    {"S-APPLY-017", "{1}：该明细行已不存在。", "{1}: the line no longer exists"},
    {"S-APPLY-018", "{1}：该明细行在打开之后已被其他操作员修改（{2}）。",
     "{1}: the line was changed by another user after it was read ({2}); it was not saved"},
    {"S-APPLY-019", "修改的单据缺少单据号 DHAO00。", "A changed document lacks its number DHAO00"},
    {"S-APPLY-020", "{1}：这里不能增加或删除单据。",
     "{1}: documents cannot be added or deleted here"},
    {"S-APPLY-021", "{1}：单据号 DHAO00 不能修改。", "{1}: DHAO00 cannot be changed"},

    // --- The stock ledger's rules ----------------------------------------------------------
    {"S-LEDGER-001",
     "库存恢复语句只能在取消审核的事务中执行（sustarttran … sucommit），已被拒绝，没有作任何修改。",
     "A stock increment runs only inside the transaction of a cancel (sustarttran ... sucommit); "
     "it was refused and nothing was changed"},
    {"S-LEDGER-002",
     "审核清除语句只能在取消审核的事务中执行（sustarttran … sucommit），已被拒绝，没有作任何修改。",
     "An audit reset runs only inside the transaction of a cancel (sustarttran ... sucommit); it "
     "was refused and nothing was changed"},
    {"S-LEDGER-003", "取消审核的事务以清除审核结束，其后的语句被拒绝，事务已回滚。",
     "The transaction of a cancel ends with its audit reset; the statement after it was refused "
     "and the transaction rolled back"},
    {"S-LEDGER-004",
     "单据 {1} 的取消审核被拒绝：库存恢复语句与单据明细不符（{2}）。事务已回滚，没有作任何修改。",
     "The cancel of document {1} was refused: its stock increments are not exactly the "
     "document's lines ({2}); the transaction was rolled back and nothing was changed"},
    {"S-LEDGER-005",
     "事务没有提交：其中的库存恢复语句不属于任何单据的取消审核。事务已回滚，没有作任何修改。",
     "The transaction was not committed: its stock increments belong to no audit reset of a "
     "document; it was rolled back and nothing was changed"},
    {"S-LEDGER-006",
     "TranPara 拒绝了这批语句：审核的批处理对每行明细先有仓库 0B "
     "的语句，再有单据仓库、商品和数量相同的语句"
     "（{1}）；整批语句都没有执行。",
     "TranPara refused its batch: the batch of an audit holds, for each line, the statement for "
     "warehouse 0B followed by the one for the document's warehouse with the same goods and "
     "quantity ({1}); nothing of the batch was run"},
    {"S-LEDGER-007",
     "库存扣减已撤销：TranPara "
     "之后保存的修改必须恰好是一张单据的审核（{1}）；库存和单据都没有改变。",
     "The stock batch was rolled back: the changes applied after TranPara must store the audit "
     "of exactly one document ({1}); neither the stock nor any document was changed"},
    {"S-LEDGER-008",
     "单据 {1} 的保存被拒绝：库存扣减语句与单据明细不符（{2}），单据可能在打开后被修改过。"
     "库存和单据都没有改变；请退出审核窗口，重新打开该单后再审核。",
     "The save of document {1} was refused: its stock batch is not exactly the two statements of "
     "each of the document's lines ({2}); the document may have changed since it was opened. "
     "Neither the stock nor the document was changed; reopen the document and save again"},
    {"part.ledger.no_document", "单据不存在", "the document does not exist"},
    {"part.ledger.count", "有 {1} 条语句，而单据的 {2} 行明细需要 {3} 条",
     "{1} statements where the document's {2} lines need {3}"},
    {"part.ledger.entry", "商品“{1}”、仓库“{2}”、数量 {3}",
     "goods '{1}' in warehouse '{2}' with quantity {3}"},
    {"part.ledger.missing", "缺少{1}的语句", "no statement for {1}"},
    {"part.ledger.extra", "{1}的语句不属于单据明细",
     "the statement for {1} is not one of the document's lines"},
    {"part.shape.odd", "共有 {1} 条语句，是奇数", "it holds {1} statements, an odd number"},
    {"part.shape.not_0b", "第 {1} 条语句针对仓库“{2}”，而不是 0B",
     "statement {1} is for warehouse '{2}', not 0B"},
    {"part.shape.goods", "第 {1} 条和第 {2} 条语句的商品不同",
     "statements {1} and {2} name different goods"},
    {"part.shape.quantity", "第 {1} 条和第 {2} 条语句的数量不同",
     "statements {1} and {2} have different quantities"},
    {"part.shape.warehouse", "第 {1} 条语句针对仓库“{2}”，第 2 条却针对“{3}”",
     "statement {1} is for warehouse '{2}', statement 2 for '{3}'"},
    {"part.shape.pairs", "商品“{1}”有不止一对语句",
     "goods '{1}' has more than one pair of statements"},
    {"part.save.no_document", "修改中没有单据", "the changes name no document"},
    {"part.save.documents", "修改中有 {1} 张单据", "{1} documents in the changes"},
    {"part.save.no_number", "修改缺少单据号 DHAO00", "the changes lack the document number DHAO00"},
    {"part.save.no_stamp", "单据 {1} 的修改中没有审核日期",
     "the changes of document {1} store no audit date"},

    // --- Saving an audit -------------------------------------------------------------------
    {"S-SAVE-001", "本次保存的库存扣减已撤销（{1}），没有保存任何内容。请再保存一次。",
     "The stock changes of this save were rolled back ({1}); nothing was saved. Save again."},
    {"part.save.rolled_back",
     "{1}本次保存没有生效，库存和单据都没有改变。请退出审核窗口，查看该单的最新状态。",
     "{1} (the save was rolled back: neither the stock nor the document was changed)"},
    {"S-SAVE-002", "在单据之前收到了其他请求（{1}）",
     "another request ({1}) came before the document"},
    {"S-SAVE-003", "客户端的连接在单据保存之前断开",
     "the connection to the client ended before the document was saved"},

    // --- Transactions ----------------------------------------------------------------------
    {"S-TXN-001", "已有一个事务正在进行，请先提交或回滚。",
     "A transaction is already open; commit or roll it back first"},
    {"S-TXN-002", "事务已回滚（{1}），没有提交任何修改。",
     "The transaction was rolled back ({1}); nothing was committed"},
    {"S-TXN-003", "事务已回滚（{1}），请先回滚，再执行其他命令。",
     "The transaction was rolled back ({1}); roll back before executing further commands"},
    {"S-TXN-004", "没有正在进行的事务，无可提交。", "No transaction is open: nothing to commit"},
    {"S-TXN-005", "超过 {1} 秒没有继续", "it was left open for more than {1} s"},
    {"S-TXN-006", "从开始起占用数据库超过 {1} 秒",
     "it held the database for more than {1} s from its start"},

    // --- Cancelling an audit ---------------------------------------------------------------
    {"S-CANCEL-001", "单据 {1} 不存在，不能取消审核。",
     "Document {1} does not exist: its audit cannot be cancelled"},
    {"S-CANCEL-002", "单据 {1} 尚未审核（或审核已被取消），不能取消审核。",
     "Document {1} is not audited (any more): its audit cannot be cancelled"},
    {"S-CANCEL-003", "单据 {1} 的审核日期早于最近的结转日期，不能取消审核。",
     "Document {1} was audited before the latest closing date: its audit cannot be cancelled"},
    {"S-CANCEL-004", "客户端回滚了取消审核（surollback）",
     "the client rolled the cancel back (surollback)"},
    {"S-CANCEL-005", "客户端的连接在取消审核提交之前断开",
     "the connection to the client ended before the cancel was committed"},

    // --- Limits ----------------------------------------------------------------------------
    {"S-LIMIT-001",
     "结果 {1} 已关闭：本连接为打开的结果保存的数据将超过 {2} "
     "MiB。请先读完一个结果再打开其他结果，或重新打开。",
     "The open result {1} was closed: the rows this connection holds for its open results would "
     "exceed {2} MiB; read a result to its end before opening others, or open it again"},
    {"S-LIMIT-002",
     "结果 {1} 已关闭：应用服务器为打开的结果保存的数据将超过 {2} MiB。请稍后重新打开。",
     "The open result {1} was closed: the rows the application server holds for open results "
     "would exceed {2} MiB; open it again later"},
    {"S-LIMIT-003", "应用服务器最多同时为 {1} 个客户端服务，现在已满。请稍后再试。",
     "The application server serves at most {1} clients at once; try again later"},
    {"S-LIMIT-004", "计算机 {1} 与应用服务器的连接已达到上限（{2} 个）。请关闭一些窗口后再试。",
     "The computer {1} already has {2} connections to the application server, the most one "
     "computer may have; close some and try again"},
    {"S-LIMIT-005", "连接在 {1} 秒内没有请求，已被应用服务器关闭。请重新连接。",
     "The connection was closed after {1} s without a request; connect again"},
    {"S-LIMIT-006", "问候没有在 {1} 秒内完成", "the greeting did not complete within {1} s"},
    {"S-LIMIT-007", "请求没有在 {1} 秒内完整到达", "the request did not arrive whole within {1} s"},
    {"S-LIMIT-008", "客户端没有在 {1} 秒内读取回复",
     "the client did not read a reply within {1} s"},
    {"S-LIMIT-009", "应用服务器最多同时保持 {1} 个服务器对象，现在已满。请稍后再试。",
     "The application server holds at most {1} server objects at once; try again later"},
    {"S-LIMIT-010",
     "计算机 {1} 在应用服务器上的服务器对象已达到上限（{2} 个）。请关闭一些窗口后再试。",
     "The computer {1} already holds {2} server objects on the application server, the most one "
     "computer may hold; release some and try again"},
    {"S-LIMIT-011",
     "请求有 {1} 个字节，超过了应用服务器的上限（{2} 个字节），连接已关闭。请与管理员联系。",
     "The request of {1} bytes exceeds the limit of {2} bytes"},

    // --- Connections -----------------------------------------------------------------------
    {"S-NET-001", "服务器对象的名称含有控制字符，已被拒绝。",
     "The name of the server object contains a control character; it was refused"},
    {"S-NET-002", "通道 {1} 上已经有服务器对象。", "Channel {1} already holds a server object"},
    {"S-NET-003", "通道 {1} 上没有服务器对象。", "No server object on channel {1}"},
    {"S-NET-004", "客户端的问候有 {1} 个字节，超过了上限，连接已关闭。请确认本模块的版本。",
     "The greeting of {1} bytes is too large"},
    {"S-NET-005", "客户端没有先问候应用服务器，连接已关闭。请确认本模块的版本。",
     "The first message must be the greeting (Hello)"},
    {"S-NET-006",
     "应用服务器使用通信协议版本 {1}，本模块使用版本 {2}，二者不能通信。"
     "请安装与应用服务器相符的模块版本，或与管理员联系。",
     "This application server speaks protocol version {1}; the client speaks version {2}"},
    {"S-NET-007", "访问被拒绝：本计算机的站点密钥与应用服务器的不符。请与管理员联系。",
     "Access denied: the client does not hold this site's key"},
    {"S-NET-008", "访问被拒绝：本计算机没有证明站点密钥。请与管理员联系。",
     "Access denied: the client did not prove the site key"},
    {"S-NET-009", "访问被拒绝：站点密钥的证明格式不正确。请与管理员联系。",
     "Access denied: malformed site-key proof{1}"},
    {"S-NET-010", "客户端的问候不符合通信协议，连接已关闭。请确认本模块的版本。", "{1}"},
    {"S-NET-011", "请求不符合通信协议，没有执行。请确认本模块的版本，或与管理员联系。", "{1}"},
    {"S-NET-012", "连接已经问候过应用服务器，不能再次问候。请确认本模块的版本。",
     "Already connected"},

    // --- The database ----------------------------------------------------------------------
    {"S-DB-001",
     "数据库正忙：其他操作员的修改没有及时完成，本次操作没有完成，没有作任何修改。请稍后再试。",
     "The database is busy: another client's change did not finish in time"},
    {"S-DB-002",
     "数据库正忙：与其他操作员的修改发生冲突，本次操作没有完成，没有作任何修改。请稍后再试。",
     "The database is busy: another client's change conflicted ({1})"},
    {"S-DB-003", "数据库出错，本次操作没有完成。请与管理员联系。", "Database error{1}: {2}"},
    {"S-DB-004", "应用服务器与数据库的连接已断开，本次操作没有完成。请与管理员联系。",
     "The connection to the database was lost: {1}"},
    {"S-DB-005", "文本中含有 NUL 字符，不能写入数据库，没有作任何修改。",
     "Database error: a text value holds a NUL character"},
    {"S-DB-006", "数据库在提交时回滚了事务，没有作任何修改。请稍后再试，或与管理员联系。",
     "Database error: the transaction was rolled back"},
    {"S-DB-007", "数据库中的日期“{1}”无法读取。请与管理员联系。",
     "The stored date '{1}' cannot be read"},
    {"S-DB-008", "无法打开数据库 {1}。请与管理员联系。", "Cannot open the database {1}: {2}"},
    {"S-DB-009", "无法连接 PostgreSQL 数据库。请与管理员联系。",
     "Cannot connect to the PostgreSQL database: {1}"},
    {"S-DB-010", "数据库地址“sqlite:”没有指明文件。", "The database URL 'sqlite:' names no file"},
    {"S-DB-011", "无法识别数据库“{1}”：应为 sqlite:路径 或 PostgreSQL 连接串。",
     "Unknown database '{1}': expected sqlite:PATH or a PostgreSQL connection string"},
    {"S-DB-012", "无效的模式名“{1}”。", "Invalid schema name '{1}'"},

    // --- Field captions --------------------------------------------------------------------
    {"field.DHAO00", "单据号", "DHAO00"},
    {"field.CKRQ00", "制单日期", "CKRQ00"},
    {"field.CKRY00", "制单人员", "CKRY00"},
    {"field.YWRQ00", "审核日期", "YWRQ00"},
    {"field.YWRY00", "审核人员", "YWRY00"},
    {"field.CKDM00", "溢耗仓库", "CKDM00"},
    {"field.ZZSL00", "税率", "ZZSL00"},
    {"field.BEIZHU", "备注", "BEIZHU"},
    {"field.GSDW00", "公司单位", "GSDW00"},
    {"field.SPDM00", "商品代码", "SPDM00"},
    {"field.DJIA00", "单价", "DJIA00"},
    {"field.SL0000", "数量", "SL0000"},
    {"field.JE0000", "金额", "JE0000"},
    {"field.SE0000", "税额", "SE0000"},
};

const remote::msg::Table& ServerTable() {
  // A key missing from the table is a fault of this program, not of the request: say so in a
  // form that still reaches the operator as a message.
  static const remote::msg::Table table(
      std::begin(kTable), std::end(kTable),
      Entry{"S-GEN-001", "应用服务器处理请求时出错，本次操作没有完成。请与管理员联系。",
            "Message {1} is missing from the table"});
  return table;
}

std::string Seconds(int64_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(ms) / 1000.0);
  return buf;
}

}  // namespace

Text Number(double value) {
  return Same(rtl::FloatToStr(value));
}
Text Count(int64_t value) {
  return Same(std::to_string(value));
}

Message MessageOf(const std::exception& e) {
  if (const auto* coded = dynamic_cast<const Error*>(&e)) return coded->message();
  return Make("S-GEN-001", {Same(e.what())});
}

std::string LogText(const std::exception& e) {
  return MessageOf(e).ForLog();
}

const std::vector<Entry>& Table() {
  return ServerTable().entries();
}

Message Make(std::string_view code, std::initializer_list<Text> args) {
  return ServerTable().Make(code, args);
}

Text Part(std::string_view key, std::initializer_list<Text> args) {
  return ServerTable().Part(key, args);
}

Text Field(std::string_view name) {
  const Entry* e = ServerTable().Find("field." + std::string(name));
  if (e == nullptr) return Same(name);
  return Text{e->zh, e->en};
}

Text Fields(const std::vector<std::string>& names) {
  Text out;
  for (const std::string& n : names) {
    const Text f = Field(n);
    if (!out.en.empty()) {
      out.zh += "、";
      out.en += ", ";
    }
    out.zh += f.zh;
    out.en += f.en;
  }
  return out;
}

Text Document(double number) {
  return Part("part.document", {Number(number)});
}

Text DocumentLine(double number, std::string_view goods) {
  return Part("part.document_line", {Number(number), Same(goods)});
}

// --- Server objects and providers ----------------------------------------------------------

Message UnknownProgId(std::string_view prog_id) {
  return Make("S-OBJ-001", {Same(prog_id)});
}
Message NoProvider(std::string_view prog_id, std::string_view name) {
  return Make("S-OBJ-002", {Same(prog_id), Same(name)});
}
Message NoMethod(std::string_view prog_id, std::string_view name) {
  return Make("S-OBJ-003", {Same(prog_id), Same(name)});
}
Message ArgCount(std::string_view method, std::size_t expected, std::size_t given) {
  const std::string n = std::to_string(expected);
  return Make("S-OBJ-004", {Same(method), Same(n), Count(static_cast<int64_t>(given)),
                            Same(n + (expected == 1 ? " argument" : " arguments"))});
}
Message TranParaTakesText() {
  return Make("S-OBJ-005");
}
Message TooManyOpenResults(std::string_view prog_id, int max) {
  return Make("S-OBJ-006", {Same(prog_id), Count(max)});
}
Message NoOpenResult(std::string_view prog_id, uint32_t cursor) {
  return Make("S-OBJ-007", {Same(prog_id), Count(cursor)});
}
Message TakesNoChanges(std::string_view where) {
  return Make("S-OBJ-008", {Same(where)});
}
Message OwnListOnly(std::string_view provider, std::string_view quoted) {
  return Make("S-OBJ-009", {Same(provider), Same(quoted)});
}
Message DocumentByNumberOnly(std::string_view provider, std::string_view quoted) {
  return Make("S-OBJ-010", {Same(provider), Same(quoted)});
}
Message FlagNotSelection(std::string_view provider, std::string_view flag) {
  return Make("S-OBJ-011", {Same(provider), Same(flag)});
}
Message ParameterMustBeText(std::string_view provider, std::string_view name) {
  return Make("S-OBJ-012", {Same(provider), Same(name)});
}
Message NeedsDocumentNumber(std::string_view provider) {
  return Make("S-OBJ-013", {Same(provider)});
}
Message NotDocumentNumber(std::string_view provider, std::string_view text) {
  return Make("S-OBJ-014", {Same(provider), Same(text)});
}
Message TakesNoParameters(std::string_view provider, std::string_view name) {
  return Make("S-OBJ-015", {Same(provider), Same(name)});
}
Message DeliversNoRows(std::string_view provider) {
  return Make("S-OBJ-016", {Same(provider)});
}
Message ExecutesNoCommands(std::string_view provider, std::string_view quoted) {
  return Make("S-OBJ-017", {Same(provider), Same(quoted)});
}
Message NoSuchParameter(std::string_view provider, std::string_view name) {
  return Make("S-OBJ-018", {Same(provider), Same(name)});
}
Message ClosingQueryNotExecutable() {
  return Make("S-OBJ-019");
}
Message ResultTooLarge(std::string_view what, std::size_t bytes) {
  return Make("S-OBJ-020", {Same(what), Count(static_cast<int64_t>(bytes))});
}

// --- Statements ----------------------------------------------------------------------------

Message StatementNotRecognised(std::string_view where, std::string_view quoted) {
  return Make("S-STMT-001", {Same(where), Same(quoted)});
}
Message StatementWrongProvider(std::string_view where, std::string_view quoted, const Text& kind) {
  return Make("S-STMT-002", {Same(where), Same(quoted), kind});
}
Message BatchStatementRefused(std::size_t index, std::string_view quoted, const Text& reason) {
  return Make("S-STMT-003", {Count(static_cast<int64_t>(index)), Same(quoted), reason});
}

// --- The changes of a document -------------------------------------------------------------

Message FieldMustBeText(const Text& where, std::string_view field) {
  return Make("S-APPLY-001", {where, Field(field)});
}
Message FieldNotValidText(const Text& where, std::string_view field) {
  return Make("S-APPLY-002", {where, Field(field)});
}
Message FieldTooLong(const Text& where, std::string_view field, int width) {
  return Make("S-APPLY-003", {where, Field(field), Count(width)});
}
Message FieldMustBeNumber(const Text& where, std::string_view field) {
  return Make("S-APPLY-004", {where, Field(field)});
}
Message FieldMustBeDate(const Text& where, std::string_view field) {
  return Make("S-APPLY-005", {where, Field(field)});
}
Message FieldMustBeWhole(const Text& where, std::string_view field) {
  return Make("S-APPLY-006", {where, Field(field)});
}
Message FieldCannotBeWritten(const Text& where, std::string_view field) {
  return Make("S-APPLY-007", {where, Field(field)});
}
Message FieldCannotBeChanged(const Text& where, std::string_view field) {
  return Make("S-APPLY-008", {where, Field(field)});
}
Message ChangeLacksValueRead(const Text& where, std::string_view field) {
  return Make("S-APPLY-009", {where, Field(field)});
}
Message AuditOnlyWithStock(const Text& where) {
  return Make("S-APPLY-010", {where});
}
Message CancelOnlyByCancel(const Text& where) {
  return Make("S-APPLY-011", {where});
}
Message DocumentNoLongerExists(const Text& where) {
  return Make("S-APPLY-012", {where});
}
Message ChangedByAnother(const Text& where, const std::vector<std::string>& fields) {
  return Make("S-APPLY-013", {where, Fields(fields)});
}
Message UnknownNestedField(const Text& where, std::string_view name) {
  return Make("S-APPLY-014", {where, Same(name)});
}
Message LinesCannotBeAddedOrDeleted(const Text& where) {
  return Make("S-APPLY-015", {where});
}
Message LineLacksGoods(const Text& where) {
  return Make("S-APPLY-016", {where});
}
Message LineNoLongerExists(const Text& where) {
  return Make("S-APPLY-017", {where});
}
Message LineChangedByAnother(const Text& where, const std::vector<std::string>& fields) {
  return Make("S-APPLY-018", {where, Fields(fields)});
}
Message DocumentLacksNumber() {
  return Make("S-APPLY-019");
}
Message DocumentsCannotBeAddedOrDeleted(const Text& where) {
  return Make("S-APPLY-020", {where});
}
Message NumberCannotBeChanged(const Text& where) {
  return Make("S-APPLY-021", {where});
}

// --- Texts and numbers of a request --------------------------------------------------------

Message ControlCharacter(const Text& what, unsigned char code) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%02X", code);
  return Make("S-REQ-001", {what, Same(hex)});
}

Message NotFinite(const Text& what) {
  return Make("S-REQ-002", {what});
}

Message StockOutOfRange(std::string_view goods, std::string_view warehouse) {
  return Make("S-STMT-004", {Same(goods), Same(warehouse)});
}

// --- The ledger's rules --------------------------------------------------------------------

Message LoneStockIncrement() {
  return Make("S-LEDGER-001");
}
Message LoneAuditReset() {
  return Make("S-LEDGER-002");
}
Message AfterAuditReset() {
  return Make("S-LEDGER-003");
}
Message CancelMismatch(double doc, const Text& detail) {
  return Make("S-LEDGER-004", {Number(doc), detail});
}
Message CommitWithoutReset() {
  return Make("S-LEDGER-005");
}
Message BatchShape(const Text& detail) {
  return Make("S-LEDGER-006", {detail});
}
Message SaveNeedsOneAudit(const Text& detail) {
  return Make("S-LEDGER-007", {detail});
}
Message SaveMismatch(double doc, const Text& detail) {
  return Make("S-LEDGER-008", {Number(doc), detail});
}
Message BatchRolledBack(const Text& reason) {
  return Make("S-SAVE-001", {reason});
}
Message SaveRolledBack(const Message& failure) {
  return Message{failure.code, Part("part.save.rolled_back", {failure.text})};
}

// --- Transactions --------------------------------------------------------------------------

Message TransactionIdle(int64_t ms) {
  return Make("S-TXN-005", {Same(Seconds(ms))});
}
Message TransactionTooLong(int64_t ms) {
  return Make("S-TXN-006", {Same(Seconds(ms))});
}
Message OtherRequestFirst(std::string_view request) {
  return Make("S-SAVE-002", {Same(request)});
}
Message ClientGoneBeforeSave() {
  return Make("S-SAVE-003");
}
Message ClientRolledBackCancel() {
  return Make("S-CANCEL-004");
}
Message ClientGoneBeforeCommit() {
  return Make("S-CANCEL-005");
}
Message TransactionAlreadyOpen() {
  return Make("S-TXN-001");
}
Message TransactionRolledBack(const Text& reason) {
  return Make("S-TXN-002", {reason});
}
Message TransactionRolledBackExecute(const Text& reason) {
  return Make("S-TXN-003", {reason});
}
Message NoTransaction() {
  return Make("S-TXN-004");
}

// --- Cancelling an audit -------------------------------------------------------------------

Message CancelDocumentMissing(double doc) {
  return Make("S-CANCEL-001", {Number(doc)});
}
Message CancelNotAudited(double doc) {
  return Make("S-CANCEL-002", {Number(doc)});
}
Message CancelClosedPeriod(double doc) {
  return Make("S-CANCEL-003", {Number(doc)});
}

// --- Memory of open results ----------------------------------------------------------------

Message ResultMemorySession(uint32_t cursor, int64_t bytes) {
  return Make("S-LIMIT-001", {Count(cursor), Count(bytes >> 20)});
}
Message ResultMemoryServer(uint32_t cursor, int64_t bytes) {
  return Make("S-LIMIT-002", {Count(cursor), Count(bytes >> 20)});
}

// --- Connections ---------------------------------------------------------------------------

Message TooManyClients(std::size_t max) {
  return Make("S-LIMIT-003", {Count(static_cast<int64_t>(max))});
}
Message TooManyFromAddress(std::string_view address, std::size_t max) {
  return Make("S-LIMIT-004", {Same(address), Count(static_cast<int64_t>(max))});
}
Message TooManyObjects(std::size_t max) {
  return Make("S-LIMIT-009", {Count(static_cast<int64_t>(max))});
}
Message TooManyObjectsFromAddress(std::string_view address, std::size_t max) {
  return Make("S-LIMIT-010", {Same(address), Count(static_cast<int64_t>(max))});
}
Message RequestTooLarge(std::size_t bytes, std::size_t max) {
  return Make("S-LIMIT-011",
              {Count(static_cast<int64_t>(bytes)), Count(static_cast<int64_t>(max))});
}
Message ProgIdControlCharacter() {
  return Make("S-NET-001");
}
Message ChannelInUse(uint32_t channel) {
  return Make("S-NET-002", {Count(channel)});
}
Message NoObjectOnChannel(uint32_t channel) {
  return Make("S-NET-003", {Count(channel)});
}
Message GreetingTooLarge(std::size_t bytes) {
  return Make("S-NET-004", {Count(static_cast<int64_t>(bytes))});
}
Message FirstMessageNotHello() {
  return Make("S-NET-005");
}
Message ProtocolVersionMismatch(int server_version, int client_version) {
  return Make("S-NET-006", {Count(server_version), Count(client_version)});
}
Message SiteKeyWrong() {
  return Make("S-NET-007");
}
Message SiteKeyNotProven() {
  return Make("S-NET-008");
}
Message SiteKeyProofMalformed(std::string_view detail) {
  return Make("S-NET-009", {Text{"", detail.empty() ? "" : ": " + std::string(detail)}});
}
Message GreetingMalformed(std::string_view detail) {
  return Make("S-NET-010", {Same(detail)});
}
Message RequestMalformed(std::string_view detail) {
  return Make("S-NET-011", {Same(detail)});
}
Message AlreadyConnected() {
  return Make("S-NET-012");
}
Message HandshakeTooSlow(int64_t ms) {
  return Make("S-LIMIT-006", {Same(Seconds(ms))});
}
Message SessionIdle(int64_t ms) {
  return Make("S-LIMIT-005", {Same(Seconds(ms))});
}
Message RequestTooSlow(int64_t ms) {
  return Make("S-LIMIT-007", {Same(Seconds(ms))});
}
Message ReplyNotRead(int64_t ms) {
  return Make("S-LIMIT-008", {Same(Seconds(ms))});
}

// --- The database --------------------------------------------------------------------------

Message DatabaseBusy() {
  return Make("S-DB-001");
}
Message DatabaseConflict(std::string_view detail) {
  return Make("S-DB-002", {Same(detail)});
}
Message DatabaseError(std::string_view what, std::string_view detail) {
  return Make("S-DB-003",
              {Same(what.empty() ? std::string() : " (" + std::string(what) + ")"), Same(detail)});
}
Message DatabaseConnectionLost(std::string_view detail) {
  return Make("S-DB-004", {Same(detail)});
}
Message DatabaseNul() {
  return Make("S-DB-005");
}
Message DatabaseRolledBackAtCommit() {
  return Make("S-DB-006");
}
Message StoredDateUnreadable(std::string_view text) {
  return Make("S-DB-007", {Same(text)});
}

}  // namespace server::msg
