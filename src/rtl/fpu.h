// The floating-point state the module's code runs with, whatever state its host runs with.
//
// A host calls the module with the floating-point state of its own tool chain: hosts of the
// module's own family run with the x87 control word $1332 (64-bit precision; the invalid-
// operation, zero-divide and overflow exceptions unmasked), hosts built with other common C
// runtimes with $027F (53-bit precision). The money arithmetic needs a 64-bit significand, and
// an unmasked overflow raised by an oversized amount would end the host's process. So the
// module's code computes in a state of its own, and the host's code always runs in the host's:
//
// - ModuleFpu stands at every entry into the module's code: showdll, printlirraloss, and every
//   window procedure, subclass procedure and hook that the system calls. While it lives, the
//   state is the module's: x87 with 64-bit precision, rounding to nearest, every exception
//   masked; SSE (MXCSR) rounding to nearest, every exception masked, denormals kept (no
//   flush-to-zero, no denormals-are-zero). When it ends, the caller has its own state back: its
//   control words and its exception flags as they were (the flags the module's work raised are
//   dropped, so that an exception the host has unmasked never fires later in the host's code
//   for something the module computed).
// - CallerFpu stands around every call by which the module's code lets code that is not its
//   own run: the message loop's waiting and dispatching, message boxes, the enabling and
//   activating of the host's windows, the print module. While it lives, the state is the host's
//   (what the host had when it last passed control to the module); when it ends, the module's
//   state is set again. A window procedure of the module reached meanwhile takes the module's
//   state for its own time (its ModuleFpu).
// - "The host's state" follows the host: when host code that the module's loop dispatches
//   changes the host's control word, the host keeps that change, in later dispatches and when
//   showdll returns.
//
// Per thread, nesting to any depth, no allocation, nothing thrown. On 32-bit x86 the MXCSR is
// handled when the processor has SSE (the module's own 32-bit code computes on the x87, but
// system and run-time code it calls may use SSE). On processors other than x86 these are no-ops.
#pragma once

#include <cstdint>

namespace rtl {

// The x87 control word and MXCSR of the module's state.
inline constexpr uint16_t kModuleX87Control = 0x037F;
inline constexpr uint32_t kModuleMxcsr = 0x1F80;

// A thread's floating-point state as the guards save and restore it.
struct FpuState {
  uint16_t x87_control = 0;
  uint16_t x87_status = 0;  // exception flags in bits 0-5, stack fault and summary in 6-7
  uint32_t mxcsr = 0;       // 0 where there is no SSE
};

class ModuleFpu {
 public:
  ModuleFpu() noexcept;
  ~ModuleFpu();
  ModuleFpu(const ModuleFpu&) = delete;
  ModuleFpu& operator=(const ModuleFpu&) = delete;

 private:
  FpuState entry_;       // the state found at entry
  FpuState outer_host_;  // the thread's host state before this entry (entries from host code)
  bool from_host_;       // entered from code that is not the module's
};

class CallerFpu {
 public:
  CallerFpu() noexcept;
  ~CallerFpu();
  CallerFpu(const CallerFpu&) = delete;
  CallerFpu& operator=(const CallerFpu&) = delete;

 private:
  bool active_;  // false outside the module's code: nothing to give back
};

// The current state, and setting parts of it directly (hosts and tests that play a host).
FpuState CurrentFpu() noexcept;
void SetX87ControlWord(uint16_t control) noexcept;
void SetMxcsr(uint32_t mxcsr) noexcept;
// Whether this processor has the MXCSR (always on x86-64).
bool HasMxcsr() noexcept;

}  // namespace rtl
