// Unit QMDWLRT_SHSJU: the audit date dialog TFM_QMDWLRT_SHSJ.
#pragma once

#include "widgets/application.h"

namespace windows {

// Creates a new audit date dialog owned by `app`, records it as the dialog instance and shows it
// modally; returns when the dialog has closed.
void ShowAuditDateDialog(widgets::Application& app);

}  // namespace windows
