// The module's one export. Six 32-bit arguments on 32-bit Windows, removed by showdll itself
// (the platform's standard calling convention for library exports); no result.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define QMDW_STDCALL __stdcall
#define QMDW_EXPORT
#else
#define QMDW_STDCALL
#define QMDW_EXPORT __attribute__((visibility("default")))
#endif

extern "C" QMDW_EXPORT void QMDW_STDCALL showdll(uintptr_t AppHandle, intptr_t unused2,
                                                 const char* UserCode, const char* AccessMode,
                                                 intptr_t unused5, const char* ServerHost);
