// Where the laid-out pages go, per platform.
#pragma once

#include <string>
#include <vector>

#include "page.h"
#include "print_document.h"

namespace printmodule {

// Windows: a modal print preview owned by `owner`, with buttons to page, print through the
// platform's print dialog and close; when LIRRALOSS_OUTPUT_DIR is set, the pages are also written
// there as SVG files, as on Linux. Linux: one SVG file per page, "lirraloss-<number>-<page>.svg",
// in the directory named by LIRRALOSS_OUTPUT_DIR (the current directory when unset).
void ShowPages(void* owner, const PrintDocument& doc, const std::vector<Page>& pages);

// Windows: a message box owned by `owner`. Linux: the message on stderr and in
// "lirraloss-message.txt" of the output directory.
void TellOperator(void* owner, const std::string& message);

}  // namespace printmodule
