// Number and date text: reading never fails otherwise than by saying no; what is read is written
// again and reads back to the same value (numbers to 15 significant digits, dates exactly to the
// millisecond).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rtl/datetime.h"
#include "rtl/error.h"
#include "rtl/money.h"
#include "rtl/numtext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  double v = 0;
  if (rtl::TryStrToFloat(text, v)) {
    if (!std::isfinite(v)) std::abort();  // infinities and NaN are refused
    std::string written = rtl::FloatToStr(v);
    double back = 0;
    if (!rtl::TryStrToFloat(written, back)) std::abort();
    if (!(back == v || std::fabs(back - v) <= 1e-14 * std::fabs(v))) std::abort();
    if (rtl::FloatToStr(back) != written) std::abort();
    std::string money = rtl::FormatMoney(v);
    if (money.empty()) std::abort();
  }
  int64_t i = 0;
  if (rtl::TryStrToInt64(text, i)) {
    int64_t back = 0;
    if (!rtl::TryStrToInt64(rtl::IntToStr(i), back) || back != i) std::abort();
  }

  rtl::DateTime d;
  if (rtl::TryIsoToDateTime(text, d)) {
    std::string iso = rtl::DateTimeToIso(d);
    rtl::DateTime back;
    if (!rtl::TryIsoToDateTime(iso, back)) std::abort();
    if (rtl::DateTimeToIso(back) != iso) std::abort();
  }
  // The module's date format after the audit date dialog, and the system's own.
  for (const char* format : {"yyyy-mm-dd", "yyyy/m/d"}) {
    rtl::SetShortDateFormat(format);
    if (rtl::TryStrToDate(text, d)) {
      std::string shown = rtl::DateToStr(d);
      rtl::DateTime back;
      if (!rtl::TryStrToDate(shown, back)) std::abort();
      if (rtl::CalendarDay(back) != rtl::CalendarDay(d)) std::abort();
    }
    rtl::TryStrToDateTime(text, d);
  }
  return 0;
}
