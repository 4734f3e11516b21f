// The statement recogniser: any text is recognised or refused. A recognised statement, written
// again from its values as the module writes it, is recognised with the same meaning; a stock
// batch splits only into stock decrements, and the ledger's shape check of an audit's batch
// accepts it only as pairs for warehouse "0B" and one other with the same goods and quantity.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/numtext.h"
#include "server/ledger.h"
#include "server/statements.h"
#include "tests/support/statement_text.h"

namespace {

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
    std::string again = testsupport::StatementText(*st);
    auto st2 = server::Recognise(again);
    if (!st2) std::abort();
    Same(*st, *st2);
    if (testsupport::StatementText(*st2) != again) std::abort();  // the written form is stable
  }
  try {
    const std::vector<server::Statement> batch = server::ParseStockBatch(text);
    for (const server::Statement& s : batch) {
      if (s.kind != server::StatementKind::kStockDecrement) std::abort();
    }
    if (!server::CheckAuditBatchShape(batch)) {
      if (batch.size() % 2 != 0) std::abort();
      for (size_t i = 0; i + 1 < batch.size(); i += 2) {
        if (batch[i].warehouse != "0B" || batch[i].goods != batch[i + 1].goods ||
            batch[i + 1].warehouse != batch[1].warehouse ||
            rtl::FloatToStr(batch[i].quantity) != rtl::FloatToStr(batch[i + 1].quantity)) {
          std::abort();
        }
      }
    }
  } catch (const server::StatementRefused& e) {
    if (std::string(e.what()).empty()) std::abort();
  }
  return 0;
}
