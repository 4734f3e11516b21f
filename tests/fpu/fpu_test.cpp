// The module computes the same whatever floating-point state its host calls it with, and gives
// the host its own state back. The host states are those of real hosts: $1332 (64-bit precision,
// invalid operation, zero divide and overflow unmasked: an overflow the module let through would
// end this test program), $027F (53-bit precision) and $037F (64-bit precision, all masked).
#include "rtl/fpu.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "entry/QMDWLRTSH.h"
#include "entry/module.h"
#include "rtl/capitals.h"
#include "rtl/datetime.h"
#include "rtl/error.h"
#include "rtl/money.h"
#include "rtl/numtext.h"
#include "widgets/headless/headless.h"
#include "windows/Base.h"
#include "windows/QMDWLRT_SHU.h"
#include "windows/audit_rules.h"

#if defined(__i386__) || defined(__x86_64__)

namespace {

constexpr uint16_t kHostControlWords[] = {0x1332, 0x027F, 0x037F};
constexpr uint16_t kFlags = 0x003F;  // the six exception flags of the status word

std::string Hex(uint16_t v) {
  static const char* digits = "0123456789ABCDEF";
  std::string s = "$";
  for (int shift = 12; shift >= 0; shift -= 4) s += digits[(v >> shift) & 0xF];
  return s;
}

// Plays a host: its control word set for the duration, the test's own state back afterwards.
class HostState {
 public:
  explicit HostState(uint16_t control) : saved_(rtl::CurrentFpu()) {
    rtl::SetX87ControlWord(control);
    control_ = rtl::CurrentFpu().x87_control;
  }
  ~HostState() {
    rtl::SetX87ControlWord(saved_.x87_control);
    if (rtl::HasMxcsr()) rtl::SetMxcsr(saved_.mxcsr);
  }
  uint16_t Control() const { return control_; }

 private:
  rtl::FpuState saved_;
  uint16_t control_ = 0;
};

// A value the compiler cannot fold, so that the arithmetic happens at run time.
volatile double g_big = 1e300;
volatile double g_infinity = std::numeric_limits<double>::infinity();

struct RuleResults {
  std::optional<double> amount_125, tax_125, amount_oversized, tax_oversized, amount_minus100,
      tax_minus100, tax_precise;
  std::string texts[6];
  std::string money[4];
  std::string capitals[2];
  std::string quantity[2];
  std::string quantity_error;
  double parsed = 0;
  bool huge_refused = false;
  double tiny = -1;
  std::string date;
};

// The rules of the module as its windows use them.
RuleResults RunTheRules() {
  RuleResults r;
  using windows::audit::AmountsForPrice;
  const auto a = AmountsForPrice(12.5, 10, 17);
  r.amount_125 = a.amount;
  r.tax_125 = a.tax;
  const auto oversized = AmountsForPrice(1e300, 1e300, 17);  // the product overflows a double
  r.amount_oversized = oversized.amount;
  r.tax_oversized = oversized.tax;
  const auto minus100 = AmountsForPrice(10, 3, -100);  // r + 1 is 0
  r.amount_minus100 = minus100.amount;
  r.tax_minus100 = minus100.tax;
  // 0.375 x 0.25 / 1.25 is 0.075: with a 64-bit significand the quotient's 18 digits read
  // 0.0750000000000000000 (0.08); held to 53 bits it is 0.0749999999999999972 (0.07).
  r.tax_precise = AmountsForPrice(0.125, 3, 25).tax;
  r.texts[0] = rtl::FloatToStr(7.0 / 3.0);
  r.texts[1] = rtl::FloatToStr(12345678901234.25);
  r.texts[2] = rtl::FloatToStr(1353603561.733145);
  r.texts[3] = rtl::FloatToStr(g_big * g_big);  // overflows to infinity
  r.texts[4] = rtl::FloatToStr(std::numeric_limits<double>::denorm_min());
  r.texts[5] = rtl::FloatToStr(g_infinity * 0.0);  // invalid operation
  r.money[0] = rtl::FormatMoney(static_cast<rtl::Extended>(125) * 0.17L / 1.17L);
  r.money[1] = rtl::FormatMoney(0.125);
  r.money[2] = rtl::FormatMoney(-4.3589743589743589744L);
  r.money[3] = rtl::FormatFooter(-12.345);
  r.capitals[0] = rtl::MoneyToCapitals(1234.56);
  r.capitals[1] = rtl::MoneyToCapitals(-0.5);
  r.quantity[0] = windows::QuantityInUnit(25, "2.5");
  r.quantity[1] = windows::QuantityInUnit(g_big, "1e-300");  // the quotient overflows
  try {
    windows::QuantityInUnit(1, "0");
  } catch (const rtl::Error& e) {
    r.quantity_error = e.what();
  }
  r.parsed = rtl::StrToFloat("1e308");
  double huge = 0;
  r.huge_refused = !rtl::TryStrToFloat("1e400", huge);
  rtl::TryStrToFloat("1e-400", r.tiny);
  rtl::DateTime later = rtl::EncodeDate(2024, 3, 5);
  later.value += 366.25;
  r.date = rtl::DateToStr(later);
  return r;
}

void ExpectTheModulesResults(const RuleResults& r, const std::string& where) {
  SCOPED_TRACE(where);
  EXPECT_EQ(r.amount_125, 125.0);
  EXPECT_EQ(r.tax_125, 18.16);
  EXPECT_EQ(r.amount_oversized, std::nullopt);
  EXPECT_EQ(r.tax_oversized, std::nullopt);
  EXPECT_EQ(r.amount_minus100, 30.0);
  EXPECT_EQ(r.tax_minus100, std::nullopt);
  EXPECT_EQ(r.tax_precise, 0.08);
  EXPECT_EQ(r.texts[0], "2.33333333333333");
  EXPECT_EQ(r.texts[1], "12345678901234.3");
  EXPECT_EQ(r.texts[2], "1353603561.73315");
  EXPECT_EQ(r.texts[3], "INF");
  EXPECT_EQ(r.texts[4], "4.94065645841247E-324");
  EXPECT_EQ(r.texts[5], "NAN");
  EXPECT_EQ(r.money[0], "18.16");
  EXPECT_EQ(r.money[1], "0.13");
  EXPECT_EQ(r.money[2], "-4.36");
  EXPECT_EQ(r.money[3], "-12.35");
  EXPECT_EQ(r.capitals[0], "壹仟贰佰叁拾肆圆伍角陆分整");
  EXPECT_EQ(r.capitals[1], "负伍角零分整");
  EXPECT_EQ(r.quantity[0], "10");
  EXPECT_EQ(r.quantity[1], "INF");
  EXPECT_EQ(r.quantity_error, "Floating point division by zero");
  EXPECT_EQ(r.parsed, 1e308);
  EXPECT_TRUE(r.huge_refused);
  EXPECT_EQ(r.tiny, 0.0);
}

TEST(ModuleFpuTest, TheRulesGiveTheSameResultsUnderEveryHostControlWord) {
  for (uint16_t control : kHostControlWords) {
    HostState host(control);
    RuleResults results;
    {
      const rtl::ModuleFpu entry;  // as showdll enters the module
      EXPECT_EQ(rtl::CurrentFpu().x87_control, rtl::kModuleX87Control);
      results = RunTheRules();
    }
    // The host's control word is back, and nothing the module raised is left pending for it.
    const rtl::FpuState after = rtl::CurrentFpu();
    EXPECT_EQ(after.x87_control, host.Control()) << Hex(control);
    EXPECT_EQ(after.x87_status & kFlags, 0) << Hex(control);
    ExpectTheModulesResults(results, "host control word " + Hex(control));
    EXPECT_EQ(results.date, rtl::DateToStr(rtl::EncodeDate(2025, 3, 6)));
  }
}

TEST(ModuleFpuTest, HostFlagsAndMxcsrComeBackAsTheyWere) {
  HostState host(0x037F);
  volatile double third = 1.0;
  third = third / 3.0;  // leaves the inexact flag set, as host code would
  const uint16_t host_flags = rtl::CurrentFpu().x87_status & kFlags;
  uint32_t host_mxcsr = 0;
  if (rtl::HasMxcsr()) {
    // Flush-to-zero and rounding toward zero, every exception masked (denormals-are-zero is
    // left out: not every processor has it).
    host_mxcsr = 0xFF80;
    rtl::SetMxcsr(host_mxcsr);
  }
  {
    const rtl::ModuleFpu entry;
    if (rtl::HasMxcsr()) {
      EXPECT_EQ(rtl::CurrentFpu().mxcsr, rtl::kModuleMxcsr);
    }
    EXPECT_EQ(rtl::CurrentFpu().x87_status & kFlags, 0);
    // The module's own arithmetic raises overflow and invalid operation.
    // (infinity - infinity: on the 32-bit x87, 1e300 x 1e300 is still finite in a register)
    EXPECT_EQ(rtl::FloatToStr(g_big * g_big * g_infinity - g_infinity), "NAN");
    // Subnormal results survive in the module's state (no flush to zero).
    volatile double small = std::numeric_limits<double>::min();
    EXPECT_GT(small / 4, 0.0);
  }
  const rtl::FpuState after = rtl::CurrentFpu();
  EXPECT_EQ(after.x87_status & kFlags, host_flags);
  if (rtl::HasMxcsr()) {
    EXPECT_EQ(after.mxcsr, host_mxcsr);
  }
}

TEST(ModuleFpuTest, CodeThatIsNotTheModulesRunsInTheHostsState) {
  HostState host(0x1332);
  const uint16_t host_control = host.Control();
  std::vector<uint16_t> seen;
  {
    const rtl::ModuleFpu entry;  // showdll
    seen.push_back(rtl::CurrentFpu().x87_control);
    {
      const rtl::CallerFpu dispatch;  // the modal loop dispatches a message to the host's window
      seen.push_back(rtl::CurrentFpu().x87_control);
      {
        const rtl::ModuleFpu window_procedure;  // ...and then one to a window of the module
        seen.push_back(rtl::CurrentFpu().x87_control);
        {
          const rtl::CallerFpu box;  // which shows a message box
          seen.push_back(rtl::CurrentFpu().x87_control);
        }
        seen.push_back(rtl::CurrentFpu().x87_control);
      }
      seen.push_back(rtl::CurrentFpu().x87_control);
    }
    seen.push_back(rtl::CurrentFpu().x87_control);
  }
  seen.push_back(rtl::CurrentFpu().x87_control);
  const uint16_t m = rtl::kModuleX87Control, h = host_control;
  EXPECT_EQ(seen, (std::vector<uint16_t>{m, h, m, h, m, h, m, h}));
}

TEST(ModuleFpuTest, TheHostKeepsAChangeItsOwnCodeMadeMeanwhile) {
  HostState host(0x1332);
  uint16_t in_later_dispatch = 0;
  {
    const rtl::ModuleFpu entry;
    {
      const rtl::CallerFpu dispatch;
      rtl::SetX87ControlWord(0x027F);  // the host's window procedure sets its control word
    }
    EXPECT_EQ(rtl::CurrentFpu().x87_control, rtl::kModuleX87Control);
    {
      const rtl::CallerFpu dispatch;
      in_later_dispatch = rtl::CurrentFpu().x87_control;
    }
  }
  EXPECT_EQ(in_later_dispatch, 0x027F);
  EXPECT_EQ(rtl::CurrentFpu().x87_control, 0x027F);
}

TEST(ModuleFpuTest, CallerFpuOutsideTheModuleChangesNothing) {
  HostState host(0x027F);
  {
    const rtl::CallerFpu nothing_to_give_back;
    EXPECT_EQ(rtl::CurrentFpu().x87_control, host.Control());
  }
  EXPECT_EQ(rtl::CurrentFpu().x87_control, host.Control());
}

TEST(ModuleFpuTest, ShowdllRunsTheModuleInItsStateAndHandsTheHostsBack) {
  using widgets::headless::Act;
  using widgets::headless::Click;
  for (uint16_t control : kHostControlWords) {
    widgets::headless::Instance().Reset();
    std::vector<uint16_t> inside;
    RuleResults results;
    entry::SetBrowserFactory([&](widgets::Application& app) {
      inside.push_back(rtl::CurrentFpu().x87_control);
      return app.CreateForm<windows::TFm_Base>();
    });
    widgets::headless::Instance().SetScript({Act("the operator's work",
                                                 [&](widgets::headless::Screen&) {
                                                   inside.push_back(rtl::CurrentFpu().x87_control);
                                                   results = RunTheRules();
                                                 }),
                                             Click("tbexit")});
    HostState host(control);
    showdll(1, 0, "0001", "", 0, "host");
    EXPECT_EQ(rtl::CurrentFpu().x87_control, host.Control()) << Hex(control);
    EXPECT_EQ(rtl::CurrentFpu().x87_status & kFlags, 0) << Hex(control);
    EXPECT_EQ(inside, (std::vector<uint16_t>{rtl::kModuleX87Control, rtl::kModuleX87Control}));
    ExpectTheModulesResults(results, "showdll at " + Hex(control));
    entry::SetBrowserFactory(nullptr);
  }
  widgets::headless::Instance().Reset();
}

}  // namespace

#endif
