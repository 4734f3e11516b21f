// The client side of the remote object layer: a ServerObject that forwards every call over TCP
// to an instance on the application server. Calls block until the reply has arrived. A call
// made while another is under way on the same instance waits for it.
//
// When the connection drops, the call under way and every later call throw ServerError saying
// so; the instance on the server is gone with the connection (its open transaction rolled
// back), so the client never reconnects silently: the owner makes the connection inactive and
// active again.
#pragma once

#include <memory>
#include <string>

#include "remote/client_settings.h"
#include "remote/server_object.h"

namespace remote {

// Connects to the application server that `computer_name` names (see ParseComputerName; the
// port defaults to the settings' port), creates an instance of `prog_id` there and returns it.
// Throws ServerError with the server's message when the server refuses (unknown ProgID, wrong
// protocol version, a site key that does not match) or cannot be reached.
std::unique_ptr<ServerObject> ConnectServerObject(const std::string& computer_name,
                                                  const std::string& prog_id,
                                                  const ClientSettings& settings);
// The same with the machine-wide settings (LoadClientSettings).
std::unique_ptr<ServerObject> ConnectServerObject(const std::string& computer_name,
                                                  const std::string& prog_id);

// Replies larger than this are refused (the connection is then closed).
inline constexpr std::size_t kMaxReplyBytes = std::size_t{1} << 30;

}  // namespace remote
