// Loaded by the library loader test through the relative path "lz\probe.dll".
#ifdef _WIN32
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PROBE_EXPORT int probe_answer() {
  return 42;
}
