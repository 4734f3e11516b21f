// The text of a recognised statement written back from its values, exactly as the module writes
// that statement; the recogniser's tests and fuzz target check that it is read back the same.
#pragma once

#include <string>

#include "rtl/numtext.h"
#include "rtl/quoted.h"
#include "server/statements.h"

namespace testsupport {

inline std::string StatementText(const server::Statement& st) {
  using K = server::StatementKind;
  switch (st.kind) {
    case K::kStockDecrement:
      return "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(" + rtl::FloatToStr(st.quantity) +
             ") WHERE SPDM00=" + rtl::QuotedStr(st.goods) +
             " AND CKDM00=" + rtl::QuotedStr(st.warehouse) + " AND KCBZ00='YW'";
    case K::kStockIncrement:
      return "UPDATE XSTZXKC0 SET KCSL00=KCSL00+(" + rtl::FloatToStr(st.quantity) +
             ") WHERE CKDM00=" + rtl::QuotedStr(st.warehouse) +
             " AND SPDM00=" + rtl::QuotedStr(st.goods) + " AND KCBZ00='YW'";
    case K::kHeaderReset:
      return "UPDATE QMDWLRT1 SET YWRQ00=NULL,YWRY00=NULL WHERE DHAO00=" +
             rtl::FloatToStr(st.document);
    case K::kClosingPeriodQuery:
      return "SELECT MAX(JSRQ00) JSRQ00 FROM XSTYJZQJ WHERE JZRY00 IS NOT NULL";
  }
  return {};
}

}  // namespace testsupport
