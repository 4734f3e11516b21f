#include "rtl/fpu.h"

#if defined(__i386__)
#include <cpuid.h>
#endif

namespace rtl {
namespace {

#if defined(__i386__) || defined(__x86_64__)
#define QMDW_X87 1

// The x87 environment as FNSTENV writes it in 32-bit protected mode (also the default in 64-bit
// mode): control, status and tag words, each in 32 bits, then the last instruction and operand.
struct X87Environment {
  uint16_t control;
  uint16_t unused1;
  uint16_t status;
  uint16_t unused2;
  uint16_t tags;
  uint16_t unused3;
  uint32_t last[4];
};
static_assert(sizeof(X87Environment) == 28, "FNSTENV writes 28 bytes");

// Status word bits that belong to the caller's state: the six exception flags, stack fault and
// the error summary with its busy copy. The rest (register stack top, condition codes) belongs to
// whatever runs now.
constexpr uint16_t kStatusFlags = 0x00FF;
constexpr uint16_t kStatusBusy = 0x8000;

bool Sse() noexcept {
#if defined(__x86_64__)
  return true;
#else
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (d & bit_SSE) != 0;
  }();
  return has;
#endif
}

uint32_t ReadMxcsr() noexcept {
  uint32_t m = 0;
  if (Sse()) __asm__ __volatile__("stmxcsr %0" : "=m"(m));
  return m;
}

void WriteMxcsr(uint32_t m) noexcept {
  if (Sse()) __asm__ __volatile__("ldmxcsr %0" : : "m"(m) : "memory");
}

FpuState Capture() noexcept {
  FpuState s;
  // Both non-waiting: an exception the caller left pending does not fire here.
  __asm__ __volatile__("fnstcw %0" : "=m"(s.x87_control));
  __asm__ __volatile__("fnstsw %0" : "=m"(s.x87_status));
  s.mxcsr = ReadMxcsr();
  return s;
}

// The module's state, with no exception flag set.
void EnterModuleState() noexcept {
  const uint16_t control = kModuleX87Control;
  // FNCLEX first: loading the control word must not meet an exception the caller left pending.
  __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(control) : "memory");
  WriteMxcsr(kModuleMxcsr);
}

// Gives `s` back: control words and exception flags as saved; the register stack stays as it is
// (a result being returned in st(0) survives).
void Restore(const FpuState& s) noexcept {
  X87Environment env;
  __asm__ __volatile__("fnstenv %0" : "=m"(env));
  // Nothing pending may fire on loading the environment; the saved flags come back with it.
  __asm__ __volatile__("fnclex");
  env.control = s.x87_control;
  env.status = static_cast<uint16_t>((env.status & ~(kStatusFlags | kStatusBusy)) |
                                     (s.x87_status & (kStatusFlags | kStatusBusy)));
  __asm__ __volatile__("fldenv %0" : : "m"(env) : "memory");
  WriteMxcsr(s.mxcsr);
}

// Per thread: whether the module's code is running, and the host's state to give back.
struct ThreadFpu {
  bool in_module = false;
  FpuState host;
};
thread_local ThreadFpu t_fpu;

#endif

}  // namespace

#if defined(QMDW_X87)

ModuleFpu::ModuleFpu() noexcept : entry_(Capture()), from_host_(!t_fpu.in_module) {
  if (from_host_) {
    outer_host_ = t_fpu.host;
    t_fpu.host = entry_;
    t_fpu.in_module = true;
  }
  EnterModuleState();
}

ModuleFpu::~ModuleFpu() {
  if (from_host_) {
    // The host's latest state: a change its own code made meanwhile stays.
    const FpuState host = t_fpu.host;
    t_fpu.host = outer_host_;
    t_fpu.in_module = false;
    Restore(host);
  } else {
    Restore(entry_);
  }
}

CallerFpu::CallerFpu() noexcept : active_(t_fpu.in_module) {
  if (!active_) return;
  t_fpu.in_module = false;
  Restore(t_fpu.host);
}

CallerFpu::~CallerFpu() {
  if (!active_) return;
  t_fpu.host = Capture();
  t_fpu.in_module = true;
  EnterModuleState();
}

FpuState CurrentFpu() noexcept {
  return Capture();
}

void SetX87ControlWord(uint16_t control) noexcept {
  __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(control) : "memory");
}

void SetMxcsr(uint32_t mxcsr) noexcept {
  WriteMxcsr(mxcsr);
}

bool HasMxcsr() noexcept {
  return Sse();
}

#else

ModuleFpu::ModuleFpu() noexcept : from_host_(false) {}
ModuleFpu::~ModuleFpu() = default;
CallerFpu::CallerFpu() noexcept : active_(false) {}
CallerFpu::~CallerFpu() = default;
FpuState CurrentFpu() noexcept {
  return {};
}
void SetX87ControlWord(uint16_t) noexcept {}
void SetMxcsr(uint32_t) noexcept {}
bool HasMxcsr() noexcept {
  return false;
}

#endif

}  // namespace rtl
