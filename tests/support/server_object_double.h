// A server object for tests: each request does what the test's handler for it says; without a
// handler it goes to the inner object the double wraps, and without one the request is answered
// with nothing (no fields, no rows, no errors, a result without value). A test sets only the
// handlers its case needs: serving a packet, failing a call, recording what arrives.
//
//   testsupport::ServerObjectDouble object;
//   object.on_open = [](const remote::OpenRequest&) { return remote::OpenResult{...}; };
//
//   // Watching a real server's instance: every request still reaches it.
//   auto watched = std::make_unique<testsupport::ServerObjectDouble>(std::move(real));
//   watched->on_call = [&, inner = watched->Inner()](const std::string& m, auto& args) {
//     calls.push_back(m);
//     return inner->Call(m, args);
//   };
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "remote/server_object.h"

namespace testsupport {

class ServerObjectDouble : public remote::ServerObject {
 public:
  ServerObjectDouble() = default;
  explicit ServerObjectDouble(std::unique_ptr<remote::ServerObject> inner)
      : inner_(std::move(inner)) {}

  // The wrapped object, or null.
  remote::ServerObject* Inner() const { return inner_.get(); }

  std::function<remote::OpenResult(const remote::OpenRequest&)> on_open;
  std::function<remote::Packet(uint32_t cursor, int32_t count)> on_fetch;
  std::function<void(uint32_t cursor)> on_close_cursor;
  std::function<void(const std::string& provider, const std::vector<remote::Param>& params,
                     const std::string& command_text)>
      on_execute;
  std::function<remote::ApplyResult(const std::string& provider,
                                    const std::vector<remote::RowDelta>& delta, int32_t max_errors)>
      on_apply;
  std::function<remote::Value(const std::string& method, std::vector<remote::Value>& args)> on_call;

  remote::OpenResult Open(const remote::OpenRequest& request) override {
    if (on_open) return on_open(request);
    return inner_ ? inner_->Open(request) : remote::OpenResult{};
  }
  remote::Packet Fetch(uint32_t cursor, int32_t count) override {
    if (on_fetch) return on_fetch(cursor, count);
    return inner_ ? inner_->Fetch(cursor, count) : remote::Packet{};
  }
  void CloseCursor(uint32_t cursor) override {
    if (on_close_cursor) return on_close_cursor(cursor);
    if (inner_) inner_->CloseCursor(cursor);
  }
  void Execute(const std::string& provider, const std::vector<remote::Param>& params,
               const std::string& command_text) override {
    if (on_execute) return on_execute(provider, params, command_text);
    if (inner_) inner_->Execute(provider, params, command_text);
  }
  remote::ApplyResult ApplyUpdates(const std::string& provider,
                                   const std::vector<remote::RowDelta>& delta,
                                   int32_t max_errors) override {
    if (on_apply) return on_apply(provider, delta, max_errors);
    return inner_ ? inner_->ApplyUpdates(provider, delta, max_errors) : remote::ApplyResult{};
  }
  remote::Value Call(const std::string& method, std::vector<remote::Value>& args) override {
    if (on_call) return on_call(method, args);
    return inner_ ? inner_->Call(method, args) : remote::Value{};
  }

 private:
  std::unique_ptr<remote::ServerObject> inner_;
};

}  // namespace testsupport
