// The print module's one entry, as the document browser calls it: the owner window, the document
// number as number text, the unit text in GBK ("条") and the application server's computer name;
// stdcall on Windows (the entry removes its 16 bytes of arguments on 32-bit Windows). Returns 0
// when the document was shown (or written), 1 when the operator was told why not.
#pragma once

#ifdef _WIN32
#define LIRRALOSS_CALL __stdcall
#define LIRRALOSS_EXPORT
#else
#define LIRRALOSS_CALL
#define LIRRALOSS_EXPORT __attribute__((visibility("default")))
#endif

extern "C" LIRRALOSS_EXPORT int LIRRALOSS_CALL printlirraloss(void* owner,
                                                              const char* document_number,
                                                              const char* unit,
                                                              const char* server_host);
