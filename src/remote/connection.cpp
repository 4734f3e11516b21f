#include "remote/connection.h"

#include <mutex>

#include "remote/messages.h"
#include "remote/tcp_client.h"

namespace remote {
namespace {

std::mutex& FactoryMutex() {
  static std::mutex m;
  return m;
}

ObjectFactory& FactorySlot() {
  static ObjectFactory factory;
  return factory;
}

}  // namespace

void SetObjectFactory(ObjectFactory factory) {
  std::lock_guard<std::mutex> lock(FactoryMutex());
  FactorySlot() = std::move(factory);
}

ObjectFactory GetObjectFactory() {
  std::lock_guard<std::mutex> lock(FactoryMutex());
  if (FactorySlot()) return FactorySlot();
  // None installed: reach the application server over TCP.
  return [](const std::string& computer_name, const std::string& prog_id) {
    return ConnectServerObject(computer_name, prog_id);
  };
}

Connection::Connection(std::string prog_id) : prog_id_(std::move(prog_id)) {}
Connection::~Connection() = default;

void Connection::SetConnected(bool connected) {
  if (!connected) {
    object_.reset();
    return;
  }
  if (object_) return;
  ObjectFactory factory = GetObjectFactory();
  if (!factory) throw msg::Error(msg::NoObjectFactory(prog_id_));
  object_ = factory(computer_name_, prog_id_);
  if (!object_) throw msg::Error(msg::CannotCreateObject(prog_id_));
}

ServerObject& Connection::Object() {
  SetConnected(true);
  return *object_;
}

}  // namespace remote
