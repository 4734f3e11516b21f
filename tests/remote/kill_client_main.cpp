// A client that connects, starts a transaction, says "ready" and waits to be killed: the
// application server must then destroy its instance.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "remote/tcp_client.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  auto object = remote::ConnectServerObject(argv[1], argv[2]);
  std::vector<remote::Value> args;
  object->Call("sustarttran", args);
  std::printf("ready\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::minutes(5));
  return 0;
}
