// A stand-in for the print module lz/lirralossPRT: its entry appends what it was called with to
// the file named by QMDW_PRINT_STANDIN_LOG, one call a line:
//   owner <tab> document number <tab> unit bytes in hex <tab> server host address <tab> server host
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "print_api.h"

extern "C" LIRRALOSS_EXPORT int LIRRALOSS_CALL printlirraloss(void* owner,
                                                              const char* document_number,
                                                              const char* unit,
                                                              const char* server_host) {
  const char* path = std::getenv("QMDW_PRINT_STANDIN_LOG");
  if (path == nullptr) return 1;
  FILE* f = std::fopen(path, "a");
  if (f == nullptr) return 1;
  std::fprintf(f, "%ju\t%s\t", static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(owner)),
               document_number ? document_number : "(null)");
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(unit); p && *p; ++p) {
    std::fprintf(f, "%02X", *p);
  }
  std::fprintf(f, "\t%ju\t%s\n", static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(server_host)),
               server_host ? server_host : "(null)");
  std::fclose(f);
  return 0;
}
