// Where the entry point gets its main window from.
#pragma once

#include "widgets/application.h"
#include "widgets/form.h"

namespace windows {

// Creates the document browser TFM_QMDWLRTSH, owned by `app`, and records it as the browser
// instance (FM_QMDWLRTSH). Defined by the browser's unit, QMDWLRT_SHU.cpp.
widgets::Form* CreateBrowser(widgets::Application& app);

}  // namespace windows
