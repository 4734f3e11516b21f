// The statement recogniser: any text is recognised or refused. A recognised statement, written
// again from its values as the module writes it, is recognised with the same meaning; a stock
// batch splits only into stock decrements.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rtl/numtext.h"
#include "server/statements.h"

namespace {

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::string Write(const server::Statement& s) {
  using K = server::StatementKind;
  switch (s.kind) {
    case K::kStockDecrement:
      return "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(" + rtl::FloatToStr(s.quantity) +
             ") WHERE SPDM00=" + Quote(s.goods) + " AND CKDM00=" + Quote(s.warehouse) +
             " AND KCBZ00='YW'";
    case K::kStockIncrement:
      return "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(" + rtl::FloatToStr(s.quantity) +
             ") WHERE CKDM00=" + Quote(s.warehouse) + " AND SPDM00=" + Quote(s.goods) +
             " AND KCBZ00='YW'";
    case K::kHeaderReset:
      return "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=" +
             rtl::FloatToStr(s.document);
    case K::kClosingPeriodQuery:
      return "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL";
  }
  return {};
}

void Same(const server::Statement& a, const server::Statement& b) {
  if (a.kind != b.kind || a.goods != b.goods || a.warehouse != b.warehouse) std::abort();
  if (!std::isfinite(a.quantity) || !std::isfinite(b.quantity)) std::abort();
  // Number text keeps 15 significant digits.
  auto close = [](double x, double y) {
    return x == y || std::fabs(x - y) <= 1e-14 * std::max(std::fabs(x), std::fabs(y));
  };
  if (!close(a.quantity, b.quantity) || !close(a.document, b.document)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto st = server::Recognise(text)) {
    std::string again = Write(*st);
    auto st2 = server::Recognise(again);
    if (!st2) std::abort();
    Same(*st, *st2);
    if (Write(*st2) != again) std::abort();  // the written form is stable
  }
  try {
    for (const server::Statement& s : server::ParseStockBatch(text)) {
      if (s.kind != server::StatementKind::kStockDecrement) std::abort();
    }
  } catch (const server::StatementRefused& e) {
    if (std::string(e.what()).empty()) std::abort();
  }
  return 0;
}
