#include "remote/connection.h"

#include <mutex>

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
  return FactorySlot();
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
  if (!factory) throw ServerError("No server object factory is installed for " + prog_id_);
  object_ = factory(computer_name_, prog_id_);
  if (!object_) throw ServerError("Cannot create the server object " + prog_id_);
}

ServerObject& Connection::Object() {
  SetConnected(true);
  return *object_;
}

}  // namespace remote
