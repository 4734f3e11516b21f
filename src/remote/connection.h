// A connection to a server object (the `dcom_*` components): names the object by ProgID and
// the computer that runs it. Making it active creates one instance of the object on that
// computer (this computer when the name is empty); making it inactive releases the instance.
// Every call blocks until the server answers.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "remote/prog_ids.h"
#include "remote/server_object.h"

namespace remote {

// Creates a server object instance by ProgID on a computer. The process has one factory; the
// default reaches the application server over TCP (remote/tcp_client.h); installing an empty
// factory restores it. Tests may install their own.
using ObjectFactory = std::function<std::unique_ptr<ServerObject>(const std::string& computer_name,
                                                                  const std::string& prog_id)>;
void SetObjectFactory(ObjectFactory factory);
ObjectFactory GetObjectFactory();

class Connection {
 public:
  explicit Connection(std::string prog_id);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& ProgID() const { return prog_id_; }
  const std::string& ComputerName() const { return computer_name_; }
  void SetComputerName(std::string name) { computer_name_ = std::move(name); }

  bool Connected() const { return object_ != nullptr; }
  // true: creates the instance (nothing when already connected); false: releases it.
  void SetConnected(bool connected);

  // The connected instance; connects first when inactive.
  ServerObject& Object();

 private:
  std::string prog_id_;
  std::string computer_name_;
  std::unique_ptr<ServerObject> object_;
};

}  // namespace remote
