#include "server/objects.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "remote/prog_ids.h"
#include "rtl/numtext.h"
#include "server/apply.h"
#include "server/ledger.h"
#include "server/messages.h"
#include "server/objects_log.h"
#include "server/providers.h"
#include "server/schema.h"
#include "server/text_rules.h"

namespace server {
namespace {

using remote::ServerError;
using remote::Value;
using Clock = std::chrono::steady_clock;

std::mutex& OptionsMutex() {
  static std::mutex m;
  return m;
}
ObjectOptions& Options() {
  static ObjectOptions options;
  return options;
}

class ObjectBase;

// Rolls back transactions whose deadline passed. One thread for the process, started on first
// use. It never waits for an instance that is busy with a request: it retries shortly after.
class TransactionTimer {
 public:
  // Never destroyed: instances still alive while the process exits may use it.
  static TransactionTimer& Instance() {
    static TransactionTimer* timer = new TransactionTimer;
    return *timer;
  }
  void Schedule(ObjectBase* object, Clock::time_point when) {
    std::lock_guard<std::mutex> lock(mu_);
    due_[object] = when;
    if (!started_) {
      std::thread([this] { Run(); }).detach();
      started_ = true;
    }
    cv_.notify_all();
  }
  void Cancel(ObjectBase* object) {
    std::lock_guard<std::mutex> lock(mu_);
    due_.erase(object);
  }

 private:
  void Run();

  std::mutex mu_;
  std::condition_variable cv_;
  std::map<ObjectBase*, Clock::time_point> due_;
  bool started_ = false;
};

// What every object shares: its database session, its providers and methods, its open results,
// the transaction state, and one mutex that serialises requests against the timer.
class ObjectBase : public remote::ServerObject {
 public:
  ObjectBase(std::string prog_id, StorageFactory& storage)
      : prog_id_(std::move(prog_id)),
        db_(storage.NewSession()),
        options_(GetObjectOptions()),
        memory_(options_.result_memory_per_session, options_.result_memory_total) {}
  ~ObjectBase() override {
    TransactionTimer::Instance().Cancel(this);
    std::lock_guard<std::mutex> lock(mu_);
    cursors_.clear();
    db_->Rollback();
  }

  remote::OpenResult Open(const remote::OpenRequest& request) override {
    return Guarded(Request::kOpen, request.provider, [&] {
      CheckText(request.provider, "The provider name");
      CheckParams(request.params);
      if (request.command_text) CheckText(*request.command_text, "The command text");
      Provider& p = FindProvider(request.provider);
      OpenedResult opened = p.Open(*db_, request);
      remote::OpenResult result;
      if (opened.unchanged || opened.server_copy_current) {  // a copy is current: no rows
        result.unchanged = opened.unchanged;
        result.server_copy_current = opened.server_copy_current;
        result.version = std::move(opened.version);
        return result;
      }
      result.packet.fields = std::move(opened.fields);
      result.packet.more = opened.cursor->Next(request.packet_records, result.packet.rows);
      result.version = opened.cursor->Version();
      if (result.packet.more) {
        if (static_cast<int>(cursors_.size()) >= options_.max_open_results) {
          throw ServerError(prog_id_ + ": too many open results (at most " +
                            std::to_string(options_.max_open_results) + "); close some first");
        }
        result.cursor = next_cursor_++;
        if (next_cursor_ == 0) next_cursor_ = 1;
        cursors_[result.cursor] = std::move(opened.cursor);
      }
      return result;
    });
  }

  remote::Packet Fetch(uint32_t cursor, int32_t count) override {
    return Guarded(Request::kFetch, "fetch", cursor, [&] {
      auto it = cursors_.find(cursor);
      remote::Packet packet;
      if (it == cursors_.end()) {
        if (cursor == 0) return packet;  // every row had arrived: nothing more
        if (auto closed = closed_.find(cursor); closed != closed_.end()) {
          const std::string message = closed->second;
          closed_.erase(closed);
          throw ServerError(message);
        }
        throw ServerError(prog_id_ + ": no open result " + std::to_string(cursor));
      }
      packet.more = it->second->Next(count, packet.rows);
      if (!packet.more) cursors_.erase(it);
      return packet;
    });
  }

  void CloseCursor(uint32_t cursor) override {
    std::lock_guard<std::mutex> lock(mu_);
    cursors_.erase(cursor);
  }

  void Execute(const std::string& provider, const std::vector<remote::Param>& params,
               const std::string& command_text) override {
    Guarded(Request::kExecute, provider, [&] {
      CheckText(provider, "The provider name");
      CheckParams(params);
      CheckText(command_text, "The command text");
      Provider& p = FindProvider(provider);
      ExecuteCommand(p, params, command_text);
      return 0;
    });
  }

  remote::ApplyResult ApplyUpdates(const std::string& provider,
                                   const std::vector<remote::RowDelta>& delta,
                                   int32_t max_errors) override {
    return Guarded(Request::kApply, provider, [&] {
      CheckText(provider, "The provider name");
      for (const remote::RowDelta& row : delta) CheckDelta(row);
      Provider& p = FindProvider(provider);
      if (!p.Applies()) throw ServerError(provider + " of " + prog_id_ + " takes no changes");
      return ApplyChanges(p, delta, max_errors);
    });
  }

  Value Call(const std::string& method, std::vector<Value>& args) override {
    return Guarded(Request::kCall, method, [&] {
      CheckText(method, "The method name");
      for (size_t i = 0; i < args.size(); ++i) {
        CheckValue(args[i], "Argument " + std::to_string(i + 1) + " of " + method, TextUse::kName);
      }
      auto it = methods_.find(method);
      if (it == methods_.end()) {
        throw ServerError(prog_id_ + " has no method '" + method + "'");
      }
      return it->second(args);
    });
  }

  // Called by the timer with mu_ held, and by every request before it runs, so that a request
  // arriving after the deadline finds the transaction rolled back however late the timer is.
  void OnDeadline(bool from_timer = true) {
    const Clock::time_point now = Clock::now();
    if (txn_ != Txn::kOpen || now < deadline_) return;
    const std::string reason = now >= limit_deadline_ ? msg::TransactionTooLong(limit_.count())
                                                      : msg::TransactionIdle(idle_.count());
    Log(LogLevel::kWarning, prog_id_ + ": transaction rolled back: " + reason);
    Abort(reason, /*cancel_timer=*/!from_timer);
  }
  std::mutex& mutex() { return mu_; }

 protected:
  enum class Request { kOpen, kFetch, kExecute, kApply, kCall };
  enum class Txn { kNone, kOpen, kAborted };

  void AddProvider(std::unique_ptr<Provider> p) {
    const std::string name = p->name();
    providers_[name] = std::move(p);
  }
  void AddMethod(std::string name, std::function<Value(std::vector<Value>&)> fn) {
    methods_[std::move(name)] = std::move(fn);
  }
  static void CheckArgCount(const std::string& method, const std::vector<Value>& args,
                            size_t expected) {
    if (args.size() != expected) {
      throw ServerError("Method " + method + " takes " + std::to_string(expected) +
                        (expected == 1 ? " argument (" : " arguments (") +
                        std::to_string(args.size()) + " given)");
    }
  }

  // Hooks of the derived objects; the defaults run without an explicit transaction.
  virtual void BeforeRequest(Request, const std::string& name) {}
  virtual void OnFailure(Request, const std::string& what) {}
  virtual void ExecuteCommand(Provider& p, const std::vector<remote::Param>& params,
                              const std::string& text) {
    RunStatement(*db_, p.RecogniseCommand(params, text));
  }
  virtual remote::ApplyResult ApplyChanges(Provider& p, const std::vector<remote::RowDelta>& delta,
                                           int32_t max_errors) {
    db_->Begin();
    try {
      remote::ApplyResult result = p.Apply(*db_, delta, max_errors);
      if (max_errors >= 0 && result.error_count > max_errors) {
        db_->Rollback();
      } else {
        db_->Commit();
      }
      return result;
    } catch (...) {
      db_->Rollback();
      throw;
    }
  }

  // The transaction state shared by the derived objects. The transaction is rolled back when it
  // has been idle for `idle` or open for `limit` since it took the database.
  void BeginTxn(std::chrono::milliseconds idle, std::chrono::milliseconds limit) {
    db_->Rollback();
    db_->Begin();
    txn_ = Txn::kOpen;
    aborted_reason_.clear();
    idle_ = idle;
    limit_ = limit;
    limit_deadline_ = Clock::now() + limit;
    Touch();
  }
  void Touch() {
    deadline_ = std::min(Clock::now() + idle_, limit_deadline_);
    TransactionTimer::Instance().Schedule(this, deadline_);
  }
  void EndTxn() {
    txn_ = Txn::kNone;
    aborted_reason_.clear();
    TransactionTimer::Instance().Cancel(this);
  }
  // Rolls back; the reason is given to the requests that the transaction refuses from now on.
  void Abort(const std::string& reason, bool cancel_timer = true) {
    db_->Rollback();
    txn_ = Txn::kAborted;
    aborted_reason_ = reason;
    if (cancel_timer) TransactionTimer::Instance().Cancel(this);
  }

  std::string prog_id_;
  std::unique_ptr<DbSession> db_;
  ObjectOptions options_;
  Txn txn_ = Txn::kNone;
  std::string aborted_reason_;

 private:
  Provider& FindProvider(const std::string& name) {
    auto it = providers_.find(name);
    if (it == providers_.end()) {
      throw ServerError(prog_id_ + " has no provider '" + name + "'");
    }
    return *it->second;
  }

  // Runs one request under the mutex; every failure leaves as remote::ServerError.
  template <typename F>
  auto Guarded(Request request, const std::string& name, F&& body) -> decltype(body()) {
    return Guarded(request, name, 0, std::forward<F>(body));
  }
  // `keep_cursor`: the open result that this request reads on (a fetch).
  template <typename F>
  auto Guarded(Request request, const std::string& name, uint32_t keep_cursor, F&& body)
      -> decltype(body()) {
    std::lock_guard<std::mutex> lock(mu_);
    try {
      OnDeadline(/*from_timer=*/false);
      DetachCursors(keep_cursor);
      BeforeRequest(request, name);
      return body();
    } catch (const ServerError& e) {
      OnFailure(request, e.what());
      throw;
    } catch (const std::exception& e) {
      OnFailure(request, e.what());
      throw ServerError(e.what());
    }
  }

  // Open results other than `keep` stop holding the database (a list left half-read must not
  // keep its statement and snapshot while other requests run on the session). A result whose
  // rows would pass the memory limits is closed instead; its next fetch is told why.
  void DetachCursors(uint32_t keep) {
    for (auto it = cursors_.begin(); it != cursors_.end();) {
      if (it->first == keep) {
        ++it;
        continue;
      }
      const ResultMemory::Refusal refusal = it->second->Detach(memory_);
      if (refusal == ResultMemory::Refusal::kNone) {
        ++it;
        continue;
      }
      std::string message = refusal == ResultMemory::Refusal::kSession
                                ? msg::ResultMemorySession(it->first, memory_.session_limit())
                                : msg::ResultMemoryServer(it->first, memory_.server_limit());
      Log(LogLevel::kWarning, prog_id_ + ": " + message);
      closed_[it->first] = std::move(message);
      if (closed_.size() > 64) closed_.erase(closed_.begin());
      it = cursors_.erase(it);
    }
  }

  static void CheckParams(const std::vector<remote::Param>& params) {
    for (const remote::Param& p : params) {
      CheckText(p.name, "A parameter name");
      CheckValue(p.value, "The parameter " + p.name, TextUse::kName);
    }
  }
  // Field names of a change, with its nested changes; the values of stored fields are checked
  // where they are written (ApplyDocumentChanges fails the row).
  static void CheckDelta(const remote::RowDelta& row) {
    for (const auto* values : {&row.changed, &row.original}) {
      for (const remote::FieldValue& v : *values) CheckText(v.field, "A field name of the changes");
    }
    for (const remote::NestedDelta& nested : row.nested) {
      CheckText(nested.field, "A field name of the changes");
      for (const remote::RowDelta& r : nested.rows) CheckDelta(r);
    }
  }

  std::mutex mu_;
  std::map<std::string, std::unique_ptr<Provider>> providers_;
  std::map<std::string, std::function<Value(std::vector<Value>&)>> methods_;
  ResultMemory memory_;  // before the cursors, which give their memory back when destroyed
  std::map<uint32_t, std::unique_ptr<ProviderCursor>> cursors_;
  std::map<uint32_t, std::string> closed_;  // results closed for memory: why
  uint32_t next_cursor_ = 1;
  Clock::time_point deadline_;
  Clock::time_point limit_deadline_;
  std::chrono::milliseconds idle_{0};
  std::chrono::milliseconds limit_{0};
};

void TransactionTimer::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (due_.empty()) {
      cv_.wait(lock);
      continue;
    }
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [object, when] : due_) next = std::min(next, when);
    if (Clock::now() < next) {
      cv_.wait_until(lock, next);
      continue;
    }
    const Clock::time_point now = Clock::now();
    for (auto it = due_.begin(); it != due_.end();) {
      if (it->second > now) {
        ++it;
        continue;
      }
      ObjectBase* object = it->first;
      std::unique_lock<std::mutex> object_lock(object->mutex(), std::try_to_lock);
      if (!object_lock.owns_lock()) {  // busy with a request: look again shortly
        it->second = now + std::chrono::milliseconds(20);
        ++it;
        continue;
      }
      it = due_.erase(it);
      object->OnDeadline();
    }
  }
}

// dsp_xstzxkc0_ck and the single document; "TranPara" with the pending save described in
// objects.h.
class SysTranObject : public ObjectBase {
 public:
  explicit SysTranObject(StorageFactory& storage) : ObjectBase(remote::kProgIdSysTran, storage) {
    AddProvider(MakeDocumentProvider());
    AddProvider(MakeListProvider(
        "dsp_xstzxkc0_ck",
        "SELECT " + schema::ColumnList(schema::StockFields()) +
            " FROM XSTZXKC0 WHERE substr(KCBZ00, 1, 2) = 'CK' ORDER BY SPDM00, CKDM00, KCBZ00",
        schema::StockFields(), schema::kCounterStockCK));
    AddMethod("TranPara", [this](std::vector<Value>& args) { return TranPara(args); });
  }

 protected:
  void BeforeRequest(Request request, const std::string& name) override {
    if (txn_ != Txn::kOpen) return;
    if (request == Request::kApply && name == "dsp_qmdwlrt1") return;
    const std::string reason = "another request (" + name + ") came before the document";
    Log(LogLevel::kWarning, prog_id_ + ": stock batch rolled back: " + reason);
    Abort(reason);
  }

  remote::ApplyResult ApplyChanges(Provider& p, const std::vector<remote::RowDelta>& delta,
                                   int32_t max_errors) override {
    if (txn_ == Txn::kAborted) {
      const std::string reason = aborted_reason_;
      EndTxn();
      throw ServerError("The stock changes of this save were rolled back (" + reason +
                        "); nothing was saved. Save again.");
    }
    if (txn_ != Txn::kOpen) return ObjectBase::ApplyChanges(p, delta, max_errors);
    // The pending save: the document joins the stock batch's transaction, and the batch must be
    // that document's.
    auto refuse = [&](const std::string& message) {
      db_->Rollback();
      EndTxn();
      pending_.clear();
      throw ServerError(message);
    };
    if (delta.size() != 1) {
      refuse(msg::SaveNeedsOneAudit(delta.empty() ? std::string("the changes name no document")
                                                  : std::to_string(delta.size()) +
                                                        " documents in the changes"));
    }
    const std::optional<double> number = ChangedDocumentNumber(delta.front());
    if (!number) refuse(msg::SaveNeedsOneAudit("the changes lack the document number DHAO00"));
    const std::string doc = rtl::FloatToStr(*number);
    if (!StoresAudit(delta.front())) {
      refuse(msg::SaveNeedsOneAudit("the changes of document " + doc + " store no audit date"));
    }
    remote::ApplyResult result;
    try {
      ApplyOptions options;
      options.nested_field = "tb_qmdwlrt2";
      options.max_errors = max_errors;
      options.audit_allowed = true;
      result = ApplyDocumentChanges(*db_, delta, options);
    } catch (...) {
      db_->Rollback();
      EndTxn();
      pending_.clear();
      throw;
    }
    if (result.error_count > 0) {
      db_->Rollback();
      EndTxn();
      pending_.clear();
      // One message per failing row; the last says what became of the save.
      result.errors.back() +=
          " (the save was rolled back: neither the stock nor the document "
          "was changed)";
      return result;
    }
    try {
      // The document as stored now, inside the transaction: its lines and warehouse.
      const std::string mismatch = CompareWithDocument(ReadLedgerDocument(*db_, *number), pending_);
      if (!mismatch.empty()) refuse(msg::SaveMismatch(doc, mismatch));
      db_->Commit();
    } catch (...) {
      db_->Rollback();
      EndTxn();
      pending_.clear();
      throw;
    }
    EndTxn();
    pending_.clear();
    return result;
  }

 private:
  Value TranPara(std::vector<Value>& args) {
    CheckArgCount("TranPara", args, 1);
    if (!args[0].is_text()) throw ServerError("Method TranPara takes one text argument");
    std::vector<Statement> batch = ParseStockBatch(args[0].text());
    if (const std::string wrong = CheckAuditBatchShape(batch); !wrong.empty()) {
      throw StatementRefused(msg::BatchShape(wrong));
    }
    BeginTxn(options_.save_timeout, std::min(options_.save_timeout, options_.transaction_limit));
    try {
      size_t unbooked = 0;
      const Statement* first_unbooked = nullptr;
      for (const Statement& st : batch) {
        if (RunStatement(*db_, st) > 0) continue;
        if (unbooked++ == 0) first_unbooked = &st;
      }
      if (first_unbooked) {
        // One line for the whole batch, however long it is.
        Log(LogLevel::kWarning,
            std::to_string(unbooked) + " of " + std::to_string(batch.size()) +
                " stock statements of a TranPara batch found no stock row \"YW\" (the first: "
                "goods '" +
                first_unbooked->goods + "' in warehouse '" + first_unbooked->warehouse +
                "'); their quantities were not booked");
      }
    } catch (...) {
      db_->Rollback();
      EndTxn();
      throw;
    }
    pending_ = std::move(batch);
    return Value();
  }

  std::vector<Statement> pending_;  // the stock batch waiting for its document
};

// The header list and the command provider; "sustarttran", "sucommit", "surollback".
class CommunicationObject : public ObjectBase {
 public:
  explicit CommunicationObject(StorageFactory& storage)
      : ObjectBase(remote::kProgIdCommunicate, storage) {
    AddProvider(MakeHeaderListProvider());
    AddProvider(MakeCommandProvider());
    AddMethod("sustarttran", [this](std::vector<Value>& args) {
      CheckArgCount("sustarttran", args, 0);
      if (txn_ == Txn::kOpen) {
        throw ServerError("A transaction is already open; commit or roll it back first");
      }
      BeginTxn(options_.transaction_timeout, options_.transaction_limit);
      ResetCancel();
      return Value();
    });
    AddMethod("sucommit", [this](std::vector<Value>& args) {
      CheckArgCount("sucommit", args, 0);
      if (txn_ == Txn::kAborted) {
        const std::string reason = aborted_reason_;
        EndTxn();
        throw ServerError("The transaction was rolled back (" + reason +
                          "); nothing was committed");
      }
      if (txn_ != Txn::kOpen) throw ServerError("No transaction is open: nothing to commit");
      if (!increments_.empty() && !reset_done_) {
        db_->Rollback();
        EndTxn();
        ResetCancel();
        throw ServerError(msg::CommitWithoutReset());
      }
      EndTxn();
      ResetCancel();
      db_->Commit();
      return Value();
    });
    AddMethod("surollback", [this](std::vector<Value>& args) {
      CheckArgCount("surollback", args, 0);
      db_->Rollback();
      EndTxn();
      ResetCancel();
      return Value();
    });
  }

 protected:
  void BeforeRequest(Request request, const std::string& name) override {
    if (txn_ == Txn::kOpen) Touch();
  }
  void ExecuteCommand(Provider& p, const std::vector<remote::Param>& params,
                      const std::string& text) override {
    if (txn_ == Txn::kAborted) {
      throw ServerError("The transaction was rolled back (" + aborted_reason_ +
                        "); roll back before executing further commands");
    }
    const Statement st = p.RecogniseCommand(params, text);
    const bool increment = st.kind == StatementKind::kStockIncrement;
    // Outside a transaction nothing is run: a lone increment would raise the stock for no
    // document, a lone reset would clear an audit without giving its stock back.
    if (txn_ != Txn::kOpen) {
      throw StatementRefused(increment ? msg::LoneStockIncrement() : msg::LoneAuditReset());
    }
    if (reset_done_) throw StatementRefused(msg::AfterAuditReset());
    if (increment) {
      if (RunStatement(*db_, st) == 0) {
        Log(LogLevel::kWarning, "No stock row \"YW\" for goods '" + st.goods + "' in warehouse '" +
                                    st.warehouse + "': the quantity " +
                                    rtl::FloatToStr(st.quantity) + " was not booked");
      }
      increments_.push_back(st);
      return;
    }
    RunStatement(*db_, st);  // refuses a document not audited or closed
    const std::string mismatch =
        CompareWithDocument(ReadLedgerDocument(*db_, st.document), increments_);
    if (!mismatch.empty()) {
      throw StatementRefused(msg::CancelMismatch(rtl::FloatToStr(st.document), mismatch));
    }
    reset_done_ = true;
  }
  void OnFailure(Request request, const std::string& what) override {
    if (txn_ != Txn::kOpen || request == Request::kCall) return;
    Abort(what);
    ResetCancel();
  }

 private:
  void ResetCancel() {
    increments_.clear();
    reset_done_ = false;
  }

  std::vector<Statement> increments_;  // of the open transaction, in order
  bool reset_done_ = false;            // the open transaction has reset its document's audit
};

class StoreProductObject : public ObjectBase {
 public:
  explicit StoreProductObject(StorageFactory& storage)
      : ObjectBase(remote::kProgIdStoreProduct, storage) {
    AddProvider(MakeListProvider("dsp_LirraUnit",
                                 "SELECT SPDW02, ZHXS00 FROM GSTJYDW0 ORDER BY XHAO00",
                                 schema::UnitFields(), schema::kUnitTable));
    AddProvider(MakeListProvider("dsp_lirrainfo2",
                                 "SELECT SPDM00, SPMC00 FROM GSTJYGL1 ORDER BY SPDM00",
                                 schema::GoodsFields(), schema::kGoodsTable));
    AddProvider(MakeListProvider(
        "Dsp_StockColor",
        "SELECT SPDM00, ZGKCSL, ZGYJYS, ZDKCSL, ZDYJYS FROM XSTKCYJ0 ORDER BY XHAO00",
        schema::WarningFields(), schema::kWarningTable));
    AddProvider(MakeClosingPeriodProvider());
  }
};

class SysControlObject : public ObjectBase {
 public:
  explicit SysControlObject(StorageFactory& storage)
      : ObjectBase(remote::kProgIdSysControl, storage) {
    AddProvider(MakeListProvider("dsp_gstrygl0",
                                 "SELECT RYDM00, RYMC00, CKDM00 FROM GSTRYGL0 ORDER BY RYDM00",
                                 schema::StaffFields(), schema::kStaffTable));
  }
};

class CompanyInfoObject : public ObjectBase {
 public:
  explicit CompanyInfoObject(StorageFactory& storage)
      : ObjectBase(remote::kProgIdCompanyInfo, storage) {
    AddProvider(MakeListProvider("DataSetProvider_StorCode",
                                 "SELECT CKDM00, CKMC00 FROM GSTCKGL0 ORDER BY CKDM00",
                                 schema::WarehouseFields(), schema::kWarehouseTable));
  }
};

}  // namespace

std::unique_ptr<remote::ServerObject> CreateServerObject(const std::string& prog_id,
                                                         StorageFactory& storage) {
  if (prog_id == remote::kProgIdSysTran) return std::make_unique<SysTranObject>(storage);
  if (prog_id == remote::kProgIdCommunicate) {
    return std::make_unique<CommunicationObject>(storage);
  }
  if (prog_id == remote::kProgIdStoreProduct) return std::make_unique<StoreProductObject>(storage);
  if (prog_id == remote::kProgIdSysControl) return std::make_unique<SysControlObject>(storage);
  if (prog_id == remote::kProgIdCompanyInfo) return std::make_unique<CompanyInfoObject>(storage);
  throw ServerError("This server hosts no object '" + prog_id + "'");
}

const std::vector<std::string>& HostedProgIds() {
  static const std::vector<std::string> ids = {
      remote::kProgIdSysTran, remote::kProgIdStoreProduct, remote::kProgIdCommunicate,
      remote::kProgIdSysControl, remote::kProgIdCompanyInfo};
  return ids;
}

void SetObjectOptions(const ObjectOptions& options) {
  std::lock_guard<std::mutex> lock(OptionsMutex());
  Options() = options;
}

ObjectOptions GetObjectOptions() {
  std::lock_guard<std::mutex> lock(OptionsMutex());
  return Options();
}

}  // namespace server
