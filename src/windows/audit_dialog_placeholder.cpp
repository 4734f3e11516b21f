// Stands in for the audit date dialog until its unit is written: no dialog opens.
#include "windows/QMDWLRT_SHSJU.h"

namespace windows {

void ShowAuditDateDialog(widgets::Application&) {}

}  // namespace windows
