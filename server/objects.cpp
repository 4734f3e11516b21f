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
#include "server/trail.h"

namespace server {
namespace {

using remote::Value;
using Refused = msg::Error;
using msg::Part;
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
  ObjectBase(std::string prog_id, StorageFactory& storage, ClientInfo client)
      : prog_id_(std::move(prog_id)),
        storage_(storage),
        client_(std::move(client)),
        db_(storage.NewSession()),
        options_(GetObjectOptions()),
        memory_(options_.result_memory_per_session, options_.result_memory_total) {}
  ~ObjectBase() override {
    TransactionTimer::Instance().Cancel(this);
    {
      std::lock_guard<std::mutex> lock(mu_);
      cursors_.clear();
      db_->Rollback();
      FlushTrail();
    }
    // The instance's events are written before it is gone (and before its storage may be).
    trail::WaitFor(this);
  }

  remote::OpenResult Open(const remote::OpenRequest& request) override {
    return Guarded(Request::kOpen, request.provider, [&] {
      CheckText(request.provider, Part("part.provider_name"));
      CheckParams(request.params);
      if (request.command_text) CheckText(*request.command_text, Part("part.command_text"));
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
          throw Refused(msg::TooManyOpenResults(prog_id_, options_.max_open_results));
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
          const msg::Message message = closed->second;
          closed_.erase(closed);
          throw Refused(message);
        }
        throw Refused(msg::NoOpenResult(prog_id_, cursor));
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
      CheckText(provider, Part("part.provider_name"));
      CheckParams(params);
      CheckText(command_text, Part("part.command_text"));
      Provider& p = FindProvider(provider);
      ExecuteCommand(p, params, command_text);
      return 0;
    });
  }

  remote::ApplyResult ApplyUpdates(const std::string& provider,
                                   const std::vector<remote::RowDelta>& delta,
                                   int32_t max_errors) override {
    return Guarded(Request::kApply, provider, [&] {
      CheckText(provider, Part("part.provider_name"));
      for (const remote::RowDelta& row : delta) CheckDelta(row);
      Provider& p = FindProvider(provider);
      if (!p.Applies()) throw Refused(msg::TakesNoChanges(provider + " of " + prog_id_));
      return ApplyChanges(p, delta, max_errors);
    });
  }

  Value Call(const std::string& method, std::vector<Value>& args) override {
    return Guarded(Request::kCall, method, [&] {
      CheckText(method, Part("part.method_name"));
      for (size_t i = 0; i < args.size(); ++i) {
        CheckValue(
            args[i],
            Part("part.argument", {msg::Count(static_cast<int64_t>(i + 1)), msg::Same(method)}),
            TextUse::kName);
      }
      auto it = methods_.find(method);
      if (it == methods_.end()) throw Refused(msg::NoMethod(prog_id_, method));
      return it->second(args);
    });
  }

  // Called by the timer with mu_ held, and by every request before it runs, so that a request
  // arriving after the deadline finds the transaction rolled back however late the timer is.
  void OnDeadline(bool from_timer = true) {
    const Clock::time_point now = Clock::now();
    if (txn_ != Txn::kOpen || now < deadline_) return;
    const msg::Message reason = now >= limit_deadline_ ? msg::TransactionTooLong(limit_.count())
                                                       : msg::TransactionIdle(idle_.count());
    Log(LogLevel::kWarning, prog_id_ + ": transaction rolled back: " + reason.ForLog());
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
    if (args.size() != expected) throw Refused(msg::ArgCount(method, expected, args.size()));
  }

  // Hooks of the derived objects; the defaults run without an explicit transaction.
  virtual void BeforeRequest(Request, const std::string& name) {}
  virtual void OnFailure(Request, const msg::Message& what) {}
  // The transaction was rolled back for `reason` (a time limit, a failure): the object records
  // what it had begun. Called with the mutex held, also from the timer's thread.
  virtual void OnAborted(const msg::Message& reason) {}
  // Whether the failed event waiting to be written must wait for a later request (which will
  // name its document) rather than be written when this request ends.
  virtual bool HoldsFailedEvent() const { return false; }
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
    aborted_reason_ = {};
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
    aborted_reason_ = {};
    TransactionTimer::Instance().Cancel(this);
  }
  // Rolls back; the reason is given to the requests that the transaction refuses from now on.
  void Abort(const msg::Message& reason, bool cancel_timer = true) {
    db_->Rollback();
    txn_ = Txn::kAborted;
    aborted_reason_ = reason;
    if (cancel_timer) TransactionTimer::Instance().Cancel(this);
    OnAborted(reason);
  }

  // A new event of the trail, naming this instance's client.
  trail::Event NewEvent(trail::Kind kind) const {
    trail::Event e;
    e.kind = kind;
    e.time = trail::Now();
    e.client_address = client_.address;
    e.computer_name = client_.computer_name;
    e.operator_code = client_.operator_code;
    return e;
  }
  // A failed save or cancel: the event is written after the rollback by the trail writer.
  static void SetFailure(trail::Event& e, const msg::Message& why) {
    e.code = why.code;
    e.reason = why.text.en;
  }
  void QueueEvent(trail::Event e) { trail::Queue(storage_, std::move(e), this); }
  // The failed event that waits for a request to name its document (or for the instance's end).
  void HoldEvent(trail::Event e) {
    FlushTrail();
    unwritten_ = std::move(e);
  }
  void FlushTrail() {
    if (!unwritten_) return;
    QueueEvent(std::move(*unwritten_));
    unwritten_.reset();
  }

  std::string prog_id_;
  StorageFactory& storage_;
  ClientInfo client_;
  std::unique_ptr<DbSession> db_;
  ObjectOptions options_;
  Txn txn_ = Txn::kNone;
  msg::Message aborted_reason_;
  std::optional<trail::Event> unwritten_;

 private:
  Provider& FindProvider(const std::string& name) {
    auto it = providers_.find(name);
    if (it == providers_.end()) throw Refused(msg::NoProvider(prog_id_, name));
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
    // A failed event of this request (or of a time limit met before it) is handed to the trail
    // writer when the request ends, unless it waits for a later request to name its document.
    struct FlushAtEnd {
      ObjectBase& self;
      ~FlushAtEnd() {
        if (!self.HoldsFailedEvent()) self.FlushTrail();
      }
    } flush{*this};
    try {
      OnDeadline(/*from_timer=*/false);
      DetachCursors(keep_cursor);
      BeforeRequest(request, name);
      return body();
    } catch (const Refused& e) {
      OnFailure(request, e.message());
      throw;
    } catch (const std::exception& e) {
      // Every failure leaves with a code and the operator's text; what it said is logged.
      const msg::Message m = msg::MessageOf(e);
      OnFailure(request, m);
      throw Refused(m);
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
      msg::Message message = refusal == ResultMemory::Refusal::kSession
                                 ? msg::ResultMemorySession(it->first, memory_.session_limit())
                                 : msg::ResultMemoryServer(it->first, memory_.server_limit());
      Log(LogLevel::kWarning, prog_id_ + ": " + message.ForLog());
      closed_[it->first] = std::move(message);
      if (closed_.size() > 64) closed_.erase(closed_.begin());
      it = cursors_.erase(it);
    }
  }

  static void CheckParams(const std::vector<remote::Param>& params) {
    for (const remote::Param& p : params) {
      CheckText(p.name, Part("part.parameter_name"));
      CheckValue(p.value, Part("part.parameter", {msg::Same(p.name)}), TextUse::kName);
    }
  }
  // Field names of a change, with its nested changes; the values of stored fields are checked
  // where they are written (ApplyDocumentChanges fails the row).
  static void CheckDelta(const remote::RowDelta& row) {
    for (const auto* values : {&row.changed, &row.original}) {
      for (const remote::FieldValue& v : *values) {
        CheckText(v.field, Part("part.change_field_name"));
      }
    }
    for (const remote::NestedDelta& nested : row.nested) {
      CheckText(nested.field, Part("part.change_field_name"));
      for (const remote::RowDelta& r : nested.rows) CheckDelta(r);
    }
  }

  std::mutex mu_;
  std::map<std::string, std::unique_ptr<Provider>> providers_;
  std::map<std::string, std::function<Value(std::vector<Value>&)>> methods_;
  ResultMemory memory_;  // before the cursors, which give their memory back when destroyed
  std::map<uint32_t, std::unique_ptr<ProviderCursor>> cursors_;
  std::map<uint32_t, msg::Message> closed_;  // results closed for memory: why
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

// The staff code a change stamps as the auditor (YWRY00's new value), or "".
std::string StampedAuditor(const remote::RowDelta& row) {
  for (const remote::FieldValue& v : row.changed) {
    if (v.field == "YWRY00" && v.value.is_text()) return v.value.text();
  }
  return "";
}

// dsp_xstzxkc0_ck and the single document; "TranPara" with the pending save described in
// objects.h.
class SysTranObject : public ObjectBase {
 public:
  SysTranObject(StorageFactory& storage, ClientInfo client)
      : ObjectBase(remote::kProgIdSysTran, storage, std::move(client)) {
    AddProvider(MakeDocumentProvider());
    AddProvider(MakeListProvider(
        "dsp_xstzxkc0_ck",
        "SELECT " + schema::ColumnList(schema::StockFields()) +
            " FROM XSTZXKC0 WHERE substr(KCBZ00, 1, 2) = 'CK' ORDER BY SPDM00, CKDM00, KCBZ00",
        schema::StockFields(), schema::kCounterStockCK));
    AddMethod("TranPara", [this](std::vector<Value>& args) { return TranPara(args); });
  }
  ~SysTranObject() override {
    // The timer no longer looks at this instance once Cancel returns.
    TransactionTimer::Instance().Cancel(this);
    std::lock_guard<std::mutex> lock(mutex());
    if (txn_ == Txn::kOpen) {
      // The client went away with its stock batch pending: rolled back, and recorded.
      db_->Rollback();
      EndTxn();
      QueueFailedSave(msg::ClientGoneBeforeSave(), nullptr);
    }
    FlushTrail();
  }

 protected:
  void BeforeRequest(Request request, const std::string& name) override {
    if (txn_ != Txn::kOpen) return;
    if (request == Request::kApply && name == "dsp_qmdwlrt1") return;
    const msg::Message reason = msg::OtherRequestFirst(name);
    Log(LogLevel::kWarning, prog_id_ + ": stock batch rolled back: " + reason.ForLog());
    Abort(reason);
  }

  // The batch's event waits for the apply that would have stored its document.
  void OnAborted(const msg::Message& reason) override {
    trail::Event e = FailedSave(reason, nullptr);
    pending_.clear();
    pending_stock_.clear();
    HoldEvent(std::move(e));
  }
  bool HoldsFailedEvent() const override { return txn_ == Txn::kAborted; }

  remote::ApplyResult ApplyChanges(Provider& p, const std::vector<remote::RowDelta>& delta,
                                   int32_t max_errors) override {
    if (txn_ == Txn::kAborted) {
      const msg::Message reason = aborted_reason_;
      EndTxn();
      if (unwritten_ && !delta.empty()) NameDocument(*unwritten_, delta.front());
      FlushTrail();
      throw Refused(msg::BatchRolledBack(reason.AsPart()));
    }
    if (txn_ != Txn::kOpen) return PlainApply(p, delta, max_errors);
    // The pending save: the document joins the stock batch's transaction, and the batch must be
    // that document's.
    const remote::RowDelta* row = delta.size() == 1 ? &delta.front() : nullptr;
    auto fail = [&](const msg::Message& why) {
      db_->Rollback();
      EndTxn();
      QueueFailedSave(why, row);
      pending_.clear();
      pending_stock_.clear();
    };
    auto refuse = [&](const msg::Message& message) {
      fail(message);
      throw Refused(message);
    };
    if (delta.size() != 1) {
      refuse(msg::SaveNeedsOneAudit(
          delta.empty()
              ? Part("part.save.no_document")
              : Part("part.save.documents", {msg::Count(static_cast<int64_t>(delta.size()))})));
    }
    const std::optional<double> number = ChangedDocumentNumber(delta.front());
    if (!number) refuse(msg::SaveNeedsOneAudit(Part("part.save.no_number")));
    if (!StoresAudit(delta.front())) {
      refuse(msg::SaveNeedsOneAudit(Part("part.save.no_stamp", {msg::Number(*number)})));
    }
    remote::ApplyResult result;
    std::vector<msg::Message> failures;
    std::vector<WrittenField> written;
    try {
      ApplyOptions options;
      options.nested_field = "tb_qmdwlrt2";
      options.max_errors = max_errors;
      options.audit_allowed = true;
      options.failures = &failures;
      options.written = &written;
      result = ApplyDocumentChanges(*db_, delta, options);
    } catch (const std::exception& e) {
      fail(msg::MessageOf(e));
      throw;
    }
    if (result.error_count > 0) {
      // One message per failing row; the last says what became of the save.
      for (const msg::Message& f : failures) {
        Log(LogLevel::kWarning,
            "The save of document " + rtl::FloatToStr(*number) + " failed: " + f.ForLog());
      }
      fail(failures.empty() ? msg::Make("S-GEN-001", {msg::Same("the save failed")})
                            : failures.front());
      if (!failures.empty()) result.errors.back() = msg::SaveRolledBack(failures.back());
      return result;
    }
    std::optional<msg::Message> mismatch_refusal;
    try {
      // The document as stored now, inside the transaction: its lines and warehouse.
      const LedgerDocument stored = ReadLedgerDocument(*db_, *number);
      if (auto mismatch = CompareWithDocument(stored, pending_)) {
        mismatch_refusal = msg::SaveMismatch(*number, *mismatch);
      } else {
        // The audit and its event are committed together.
        trail::Event e = NewEvent(trail::Kind::kAudit);
        e.document = *number;
        e.warehouse = stored.warehouse;
        if (const std::string auditor = StampedAuditor(delta.front()); !auditor.empty()) {
          e.operator_code = auditor;
        }
        trail::Details details;
        details.stock = pending_stock_;
        details.fields = std::move(written);
        e.details = details.Json();
        trail::Append(*db_, e);
        db_->Commit();
      }
    } catch (const std::exception& e) {
      fail(msg::MessageOf(e));
      throw;
    }
    if (mismatch_refusal) refuse(*mismatch_refusal);
    EndTxn();
    pending_.clear();
    pending_stock_.clear();
    return result;
  }

 private:
  trail::Event FailedSave(const msg::Message& why, const remote::RowDelta* row) const {
    trail::Event e = NewEvent(trail::Kind::kAuditFailed);
    SetFailure(e, why);
    if (row) NameDocument(e, *row);
    trail::Details details;
    details.statements = pending_;
    e.details = details.Json();
    return e;
  }
  void QueueFailedSave(const msg::Message& why, const remote::RowDelta* row) {
    FlushTrail();
    QueueEvent(FailedSave(why, row));
  }
  static void NameDocument(trail::Event& e, const remote::RowDelta& row) {
    e.document = ChangedDocumentNumber(row);
    if (const std::string auditor = StampedAuditor(row); !auditor.empty()) {
      e.operator_code = auditor;
    }
  }

  // An apply without a pending batch: written and committed on its own (it can store no audit).
  // What it changed is recorded as a "change" of each document, in the same transaction; a
  // refused attempt to store an audit this way is recorded as a failed save.
  remote::ApplyResult PlainApply(Provider& p, const std::vector<remote::RowDelta>& delta,
                                 int32_t max_errors) {
    if (p.name() != "dsp_qmdwlrt1") return ObjectBase::ApplyChanges(p, delta, max_errors);
    std::vector<msg::Message> failures;
    std::vector<WrittenField> written;
    ApplyOptions options;
    options.nested_field = "tb_qmdwlrt2";
    options.max_errors = max_errors;
    options.failures = &failures;
    options.written = &written;
    db_->Begin();
    remote::ApplyResult result;
    try {
      result = ApplyDocumentChanges(*db_, delta, options);
      const bool rolled_back = max_errors >= 0 && result.error_count > max_errors;
      if (rolled_back) {
        db_->Rollback();
      } else {
        std::map<double, std::vector<WrittenField>> by_document;
        for (WrittenField& w : written) by_document[w.document].push_back(std::move(w));
        for (auto& [document, fields] : by_document) {
          trail::Event e = NewEvent(trail::Kind::kChange);
          e.document = document;
          trail::Details details;
          details.fields = std::move(fields);
          e.details = details.Json();
          trail::Append(*db_, e);
        }
        db_->Commit();
      }
    } catch (...) {
      db_->Rollback();
      throw;
    }
    if (result.error_count > 0) {
      for (const msg::Message& f : failures) Log(LogLevel::kWarning, "Apply: " + f.ForLog());
      for (const remote::RowDelta& row : delta) {
        if (!StoresAudit(row)) continue;
        trail::Event e = NewEvent(trail::Kind::kAuditFailed);
        SetFailure(e,
                   msg::AuditOnlyWithStock(msg::Document(ChangedDocumentNumber(row).value_or(0))));
        NameDocument(e, row);
        QueueEvent(std::move(e));
      }
    }
    return result;
  }

  Value TranPara(std::vector<Value>& args) {
    // An earlier batch rolled back whose apply never came: its event is written now.
    FlushTrail();
    try {
      CheckArgCount("TranPara", args, 1);
      if (!args[0].is_text()) throw Refused(msg::TranParaTakesText());
      pending_ = ParseStockBatch(args[0].text());
      if (auto wrong = CheckAuditBatchShape(pending_)) {
        throw StatementRefused(msg::BatchShape(*wrong));
      }
      BeginTxn(options_.save_timeout, std::min(options_.save_timeout, options_.transaction_limit));
    } catch (const std::exception& e) {
      QueueFailedSave(msg::MessageOf(e), nullptr);
      pending_.clear();
      throw;
    }
    try {
      size_t unbooked = 0;
      const Statement* first_unbooked = nullptr;
      pending_stock_.clear();
      for (const Statement& st : pending_) {
        double before = 0, after = 0;
        if (RunStatement(*db_, st, &before, &after) > 0) {
          pending_stock_.push_back({st.goods, st.warehouse, before, after});
          continue;
        }
        if (unbooked++ == 0) first_unbooked = &st;
      }
      if (first_unbooked) {
        // One line for the whole batch, however long it is.
        Log(LogLevel::kWarning,
            std::to_string(unbooked) + " of " + std::to_string(pending_.size()) +
                " stock statements of a TranPara batch found no stock row \"YW\" (the first: "
                "goods '" +
                first_unbooked->goods + "' in warehouse '" + first_unbooked->warehouse +
                "'); their quantities were not booked");
      }
    } catch (const std::exception& e) {
      db_->Rollback();
      EndTxn();
      QueueFailedSave(msg::MessageOf(e), nullptr);
      pending_.clear();
      pending_stock_.clear();
      throw;
    }
    return Value();
  }

  std::vector<Statement> pending_;                 // the stock batch waiting for its document
  std::vector<trail::StockChange> pending_stock_;  // what its statements changed
};

// The header list and the command provider; "sustarttran", "sucommit", "surollback".
class CommunicationObject : public ObjectBase {
 public:
  CommunicationObject(StorageFactory& storage, ClientInfo client)
      : ObjectBase(remote::kProgIdCommunicate, storage, std::move(client)) {
    AddProvider(MakeHeaderListProvider());
    AddProvider(MakeCommandProvider());
    AddMethod("sustarttran", [this](std::vector<Value>& args) {
      CheckArgCount("sustarttran", args, 0);
      if (txn_ == Txn::kOpen) throw Refused(msg::TransactionAlreadyOpen());
      BeginTxn(options_.transaction_timeout, options_.transaction_limit);
      ResetCancel();
      return Value();
    });
    AddMethod("sucommit", [this](std::vector<Value>& args) {
      CheckArgCount("sucommit", args, 0);
      if (txn_ == Txn::kAborted) {
        const msg::Message reason = aborted_reason_;
        EndTxn();
        throw Refused(msg::TransactionRolledBack(reason.AsPart()));
      }
      if (txn_ != Txn::kOpen) throw Refused(msg::NoTransaction());
      if (!increments_.empty() && !reset_done_) {
        db_->Rollback();
        EndTxn();
        QueueEvent(FailedCancel(msg::CommitWithoutReset()));
        ResetCancel();
        throw Refused(msg::CommitWithoutReset());
      }
      try {
        if (reset_done_) {
          // The cancel and its event are committed together.
          trail::Event e = NewEvent(trail::Kind::kCancel);
          e.document = document_;
          e.warehouse = warehouse_;
          trail::Details details;
          details.stock = stock_;
          details.fields = stamp_;
          e.details = details.Json();
          trail::Append(*db_, e);
        }
        db_->Commit();
      } catch (const std::exception& e) {
        db_->Rollback();
        EndTxn();
        if (reset_done_ || !increments_.empty()) QueueEvent(FailedCancel(msg::MessageOf(e)));
        ResetCancel();
        throw;
      }
      EndTxn();
      ResetCancel();
      return Value();
    });
    AddMethod("surollback", [this](std::vector<Value>& args) {
      CheckArgCount("surollback", args, 0);
      if (txn_ == Txn::kOpen && Begun()) QueueEvent(FailedCancel(msg::ClientRolledBackCancel()));
      db_->Rollback();
      EndTxn();
      ResetCancel();
      return Value();
    });
  }
  ~CommunicationObject() override {
    TransactionTimer::Instance().Cancel(this);
    std::lock_guard<std::mutex> lock(mutex());
    if (txn_ == Txn::kOpen && Begun()) {
      db_->Rollback();
      EndTxn();
      QueueEvent(FailedCancel(msg::ClientGoneBeforeCommit()));
    }
    FlushTrail();
  }

 protected:
  void BeforeRequest(Request request, const std::string& name) override {
    if (txn_ == Txn::kOpen) Touch();
  }
  void ExecuteCommand(Provider& p, const std::vector<remote::Param>& params,
                      const std::string& text) override {
    if (txn_ == Txn::kAborted) {
      throw Refused(msg::TransactionRolledBackExecute(aborted_reason_.AsPart()));
    }
    const Statement st = p.RecogniseCommand(params, text);
    const bool increment = st.kind == StatementKind::kStockIncrement;
    // Outside a transaction nothing is run: a lone increment would raise the stock for no
    // document, a lone reset would clear an audit without giving its stock back.
    if (txn_ != Txn::kOpen) {
      throw StatementRefused(increment ? msg::LoneStockIncrement() : msg::LoneAuditReset());
    }
    if (reset_done_) throw StatementRefused(msg::AfterAuditReset());
    sent_.push_back(st);
    if (increment) {
      double before = 0, after = 0;
      if (RunStatement(*db_, st, &before, &after) == 0) {
        Log(LogLevel::kWarning, "No stock row \"YW\" for goods '" + st.goods + "' in warehouse '" +
                                    st.warehouse + "': the quantity " +
                                    rtl::FloatToStr(st.quantity) + " was not booked");
      } else {
        stock_.push_back({st.goods, st.warehouse, before, after});
      }
      increments_.push_back(st);
      return;
    }
    // The audit being cancelled, as stored, for the trail.
    document_ = st.document;
    ReadStamp(st.document);
    RunStatement(*db_, st);  // refuses a document not audited or closed
    if (auto mismatch = CompareWithDocument(ReadLedgerDocument(*db_, st.document), increments_)) {
      throw StatementRefused(msg::CancelMismatch(st.document, *mismatch));
    }
    reset_done_ = true;
  }
  void OnFailure(Request request, const msg::Message& what) override {
    if (txn_ != Txn::kOpen || request == Request::kCall) return;
    Abort(what);
  }
  void OnAborted(const msg::Message& reason) override {
    if (Begun()) HoldEvent(FailedCancel(reason));
    ResetCancel();
  }

 private:
  // Whether the open transaction has sent anything of a cancel.
  bool Begun() const { return !sent_.empty(); }

  trail::Event FailedCancel(const msg::Message& why) const {
    trail::Event e = NewEvent(trail::Kind::kCancelFailed);
    SetFailure(e, why);
    e.document = document_;
    e.warehouse = warehouse_;
    trail::Details details;
    details.statements = sent_;
    e.details = details.Json();
    return e;
  }

  void ReadStamp(double document) {
    stamp_.clear();
    auto r = db_->Query("SELECT YWRQ00, YWRY00, CKDM00 FROM QMDWLRT1 WHERE DHAO00 = ?",
                        {Value::Float(document)});
    if (!r->Next()) return;
    const Value date = r->Get(0, remote::FieldType::DateTime);
    const Value auditor = r->Get(1, remote::FieldType::Text);
    warehouse_ = r->IsNull(2) ? "" : std::string(r->Text(2));
    stamp_.push_back({document, "", "YWRQ00", date, Value()});
    stamp_.push_back({document, "", "YWRY00", auditor, Value()});
  }

  void ResetCancel() {
    increments_.clear();
    sent_.clear();
    stock_.clear();
    stamp_.clear();
    document_.reset();
    warehouse_.clear();
    reset_done_ = false;
  }

  std::vector<Statement> increments_;  // of the open transaction, in order
  bool reset_done_ = false;            // the open transaction has reset its document's audit
  // For the trail: every statement sent, what the increments changed, the document and its
  // audit stamp as they were before the reset.
  std::vector<Statement> sent_;
  std::vector<trail::StockChange> stock_;
  std::vector<WrittenField> stamp_;
  std::optional<double> document_;
  std::string warehouse_;
};

class StoreProductObject : public ObjectBase {
 public:
  StoreProductObject(StorageFactory& storage, ClientInfo client)
      : ObjectBase(remote::kProgIdStoreProduct, storage, std::move(client)) {
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
  SysControlObject(StorageFactory& storage, ClientInfo client)
      : ObjectBase(remote::kProgIdSysControl, storage, std::move(client)) {
    AddProvider(MakeListProvider("dsp_gstrygl0",
                                 "SELECT RYDM00, RYMC00, CKDM00 FROM GSTRYGL0 ORDER BY RYDM00",
                                 schema::StaffFields(), schema::kStaffTable));
  }
};

class CompanyInfoObject : public ObjectBase {
 public:
  CompanyInfoObject(StorageFactory& storage, ClientInfo client)
      : ObjectBase(remote::kProgIdCompanyInfo, storage, std::move(client)) {
    AddProvider(MakeListProvider("DataSetProvider_StorCode",
                                 "SELECT CKDM00, CKMC00 FROM GSTCKGL0 ORDER BY CKDM00",
                                 schema::WarehouseFields(), schema::kWarehouseTable));
  }
};

}  // namespace

std::unique_ptr<remote::ServerObject> CreateServerObject(const std::string& prog_id,
                                                         StorageFactory& storage,
                                                         const ClientInfo& client) {
  if (prog_id == remote::kProgIdSysTran) return std::make_unique<SysTranObject>(storage, client);
  if (prog_id == remote::kProgIdCommunicate) {
    return std::make_unique<CommunicationObject>(storage, client);
  }
  if (prog_id == remote::kProgIdStoreProduct) {
    return std::make_unique<StoreProductObject>(storage, client);
  }
  if (prog_id == remote::kProgIdSysControl) {
    return std::make_unique<SysControlObject>(storage, client);
  }
  if (prog_id == remote::kProgIdCompanyInfo) {
    return std::make_unique<CompanyInfoObject>(storage, client);
  }
  throw msg::Error(msg::UnknownProgId(prog_id));
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
