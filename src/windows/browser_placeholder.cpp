// Stands in for the document browser until its unit is written: the plain window base.
#include "windows/Base.h"
#include "windows/browser_seam.h"

namespace windows {

widgets::Form* CreateBrowser(widgets::Application& app) {
  return app.CreateForm<TFm_Base>();
}

}  // namespace windows
