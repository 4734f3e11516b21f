// The platform of the Windows builds of the module library: linked into QMDWLRTSH.dll itself
// (not into the static toolkit), so that test programs of the Windows builds keep the headless
// platform while the library shows real windows.
#include "widgets/win32/platform.h"

namespace widgets {
Platform& DefaultPlatform() {
  return win32::Instance();
}
}  // namespace widgets
