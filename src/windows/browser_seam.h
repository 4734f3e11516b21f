// Where the entry point gets its main window from.
#pragma once

#include "widgets/application.h"
#include "widgets/form.h"

namespace windows {

// Creates the document browser TFM_QMDWLRTSH, owned by `app`, and records it as the browser
// instance. Defined by the browser's unit; until that unit exists, a plain TFm_Base stands in
// (browser_placeholder.cpp, left out of the build as soon as QMDWLRT_SHU.cpp is there).
widgets::Form* CreateBrowser(widgets::Application& app);

}  // namespace windows
