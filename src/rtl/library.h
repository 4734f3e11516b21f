// Loading a library by a relative path through the platform's standard search, and finding an
// export by name.
//
// On Windows the path goes to LoadLibraryA unchanged. On Linux the same path is mapped to the
// Linux build of that library: backslashes become slashes and a final ".dll" becomes ".so"
// ("lz\lirralossPRT.dll" -> "lz/lirralossPRT.so"); the mapped relative path is looked for in the
// directory of the running program, then in the current directory, as the Windows search would.
#pragma once

#include <string>

namespace rtl {

using LibraryHandle = void*;

// Loads (or counts one more load of) the library; nullptr when it cannot be loaded.
LibraryHandle LoadLibraryByPath(const std::string& path);
// The address of the export `name`, or nullptr.
void* FindExport(LibraryHandle library, const char* name);
// The path the loader was given for `path` on this platform (the mapping above).
std::string PlatformLibraryPath(const std::string& path);

}  // namespace rtl
