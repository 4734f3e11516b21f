// A server object: what a connection reaches once it is connected. The application server
// implements one per ProgID; the client reaches them over the network through the same
// interface (or in-process in tests). Every failure is thrown as remote::ServerError carrying the
// server's message.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "remote/value.h"
#include "rtl/error.h"

namespace remote {

class ServerError : public rtl::Error {
 public:
  using rtl::Error::Error;
};

class ServerObject {
 public:
  virtual ~ServerObject() = default;

  // Opens a provider: parameters and an optional command text go out; the field definitions and
  // the first packet come back.
  virtual OpenResult Open(const OpenRequest& request) = 0;
  // A hint that Open(request) follows soon, with only local work in between: an object that
  // talks to a server over a network may send the request now, together with the next ones,
  // and hand its answer to that Open. Open must give the same result as without the hint; an
  // object that cannot use the hint ignores it. Never fails.
  virtual void Prefetch(const OpenRequest& request) {}
  // The next `count` rows (-1: all that remain) of an open result.
  virtual Packet Fetch(uint32_t cursor, int32_t count) = 0;
  // Releases an open result; an unknown cursor is ignored.
  virtual void CloseCursor(uint32_t cursor) = 0;
  // The provider executes `command_text`; no rows come back.
  virtual void Execute(const std::string& provider, const std::vector<Param>& params,
                       const std::string& command_text) = 0;
  // Applies a change log; at most `max_errors` rows may fail (-1: any number) before the whole
  // apply is rolled back.
  virtual ApplyResult ApplyUpdates(const std::string& provider, const std::vector<RowDelta>& delta,
                                   int32_t max_errors) = 0;
  // Calls a method by name. Arguments are passed by reference: the server may hand back new
  // values in `args`.
  virtual Value Call(const std::string& method, std::vector<Value>& args) = 0;
};

}  // namespace remote
