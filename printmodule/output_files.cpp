// Linux output of the print module: SVG files that a test (or a browser) can look at.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "print_output.h"
#include "rtl/numtext.h"
#include "svg.h"

namespace printmodule {
namespace {

std::string OutputDir() {
  const char* dir = std::getenv("LIRRALOSS_OUTPUT_DIR");
  std::string d = dir && *dir ? dir : ".";
  if (d.back() != '/') d += '/';
  return d;
}

}  // namespace

void ShowPages(void* /*owner*/, const PrintDocument& doc, const std::vector<Page>& pages) {
  for (size_t i = 0; i < pages.size(); ++i) {
    const std::string path =
        OutputDir() + "lirraloss-" + doc.number + "-" + rtl::IntToStr(i + 1) + ".svg";
    std::ofstream out(path, std::ios::binary);
    out << PageToSvg(pages[i]);
    if (!out) throw PrintError("无法写入打印文件 " + path);
  }
}

void TellOperator(void* /*owner*/, const std::string& message) {
  std::fprintf(stderr, "lirralossPRT: %s\n", message.c_str());
  std::ofstream out(OutputDir() + "lirraloss-message.txt", std::ios::binary);
  out << message << "\n";
}

}  // namespace printmodule
