// qmdw_list_probe: opens one list of one server object several times in one process, as the
// module reopens the stock list at the next audit, and prints one JSON line per open: its wall
// time and rows. With the link simulator's counting relay in between, the bytes and round trips
// of the first open and of a reopen are the difference between one and two opens.
//
//   qmdw_list_probe --host H [--prog-id P] [--provider X] [--times N]
// Defaults: the system-transaction object's stock list "dsp_xstzxkc0_ck", 2 opens. Uses only
// the remote layer's public calls, so the same source builds against older versions of it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "remote/server_object.h"
#include "remote/tcp_client.h"

int main(int argc, char** argv) {
  std::string host, prog_id = "systransctrl.cosystransctrl", provider = "dsp_xstzxkc0_ck";
  int times = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    if (k == "--host") {
      host = argv[i + 1];
    } else if (k == "--prog-id") {
      prog_id = argv[i + 1];
    } else if (k == "--provider") {
      provider = argv[i + 1];
    } else if (k == "--times") {
      times = std::atoi(argv[i + 1]);
    } else {
      std::fprintf(stderr, "qmdw_list_probe: unknown option %s\n", k.c_str());
      return 2;
    }
  }
  if (host.empty() || times < 1) {
    std::fprintf(stderr,
                 "usage: qmdw_list_probe --host H [--prog-id P] [--provider X] [--times N]\n");
    return 2;
  }
  try {
    auto object = remote::ConnectServerObject(host, prog_id);
    for (int i = 1; i <= times; ++i) {
      remote::OpenRequest request;
      request.provider = provider;
      request.packet_records = -1;
      const auto start = std::chrono::steady_clock::now();
      remote::OpenResult result = object->Open(request);
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      std::printf("{\"open\": %d, \"ms\": %.3f, \"rows\": %zu}\n", i, ms,
                  result.packet.rows.size());
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmdw_list_probe: %s\n", e.what());
    return 1;
  }
  return 0;
}
