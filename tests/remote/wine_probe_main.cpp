// A Windows client of the application server (run under Wine by wine_client_check.sh): opens
// the units list through a connection and sends a statement the server refuses. Prints what
// arrived; exits 1 on any other failure.
#include <cstdio>

#include "remote/connection.h"

int main(int argc, char** argv) {
  try {
    remote::Connection units(remote::kProgIdStoreProduct);
    units.SetComputerName(argc > 1 ? argv[1] : "");
    remote::OpenRequest request;
    request.provider = "dsp_LirraUnit";
    remote::OpenResult result = units.Object().Open(request);
    std::printf("rows %zu first %s\n", result.packet.rows.size(),
                result.packet.rows.at(0).cells.at(0).text().c_str());

    remote::Connection commu(remote::kProgIdCommunicate);
    commu.SetComputerName(argc > 1 ? argv[1] : "");
    try {
      commu.Object().Execute("dsp_qmdwlrt_tmp", {}, "DELETE FROM XSTZXKC0");
      std::printf("not refused\n");
    } catch (const remote::ServerError& e) {
      std::printf("refused: %s\n", e.what());
    }
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
    return 1;
  }
  return 0;
}
