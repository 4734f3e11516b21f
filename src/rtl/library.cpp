#include "rtl/library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace rtl {

std::string PlatformLibraryPath(const std::string& path) {
#ifdef _WIN32
  return path;
#else
  std::string p = path;
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  const std::string dll = ".dll";
  if (p.size() >= dll.size()) {
    std::string tail = p.substr(p.size() - dll.size());
    for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (tail == dll) p = p.substr(0, p.size() - dll.size()) + ".so";
  }
  return p;
#endif
}

LibraryHandle LoadLibraryByPath(const std::string& path) {
#ifdef _WIN32
  return reinterpret_cast<LibraryHandle>(LoadLibraryA(path.c_str()));
#else
  const std::string mapped = PlatformLibraryPath(path);
  if (!mapped.empty() && mapped.front() == '/') return dlopen(mapped.c_str(), RTLD_NOW);
  // The program's own directory first, then the current directory.
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    std::string dir(exe, static_cast<size_t>(n));
    dir = dir.substr(0, dir.rfind('/') + 1);
    if (void* h = dlopen((dir + mapped).c_str(), RTLD_NOW)) return h;
  }
  return dlopen(("./" + mapped).c_str(), RTLD_NOW);
#endif
}

void* FindExport(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

}  // namespace rtl
