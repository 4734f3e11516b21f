// A client that connects, starts a transaction, optionally executes a command through a
// provider in it, says "ready" and waits to be killed: the application server must then destroy
// its instance and roll the transaction back.
//   remote_kill_client COMPUTER PROGID [PROVIDER COMMAND_TEXT]
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "remote/tcp_client.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) return 2;
  try {
    auto object = remote::ConnectServerObject(argv[1], argv[2]);
    std::vector<remote::Value> args;
    object->Call("sustarttran", args);
    if (argc == 5) object->Execute(argv[3], {}, argv[4]);
    std::printf("ready\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::minutes(5));
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
    return 1;
  }
  return 0;
}
