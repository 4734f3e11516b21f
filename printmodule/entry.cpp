// printlirraloss: loads the document from the application server, lays it out and hands the
// pages to the platform's output: a print preview owned by the caller's window on Windows, SVG
// files on Linux. Nothing escapes the entry: every failure becomes a message to the operator.
#include <exception>
#include <string>

#include "page.h"
#include "print_api.h"
#include "print_document.h"
#include "print_output.h"
#include "rtl/fpu.h"
#include "rtl/gbk.h"

namespace {

std::string Arg(const char* text) {
  return text ? rtl::GbkToUtf8(text) : std::string();
}

}  // namespace

extern "C" int LIRRALOSS_CALL printlirraloss(void* owner, const char* document_number,
                                             const char* unit, const char* server_host) {
  // Its own floating-point state whatever its caller's; the caller's back on return (rtl/fpu.h).
  const rtl::ModuleFpu fpu;
  try {
    const std::string number = Arg(document_number);
    const printmodule::PrintDocument doc = printmodule::LoadPrintDocument(Arg(server_host), number);
    const auto pages = printmodule::LayoutDocument(doc, Arg(unit).empty() ? "条" : Arg(unit));
    printmodule::ShowPages(owner, doc, pages);
    return 0;
  } catch (const std::exception& e) {
    printmodule::TellOperator(owner, e.what());
  } catch (...) {
    printmodule::TellOperator(owner, "打印失败。");
  }
  return 1;
}
