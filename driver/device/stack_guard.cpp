// Stack protection: every function with a local array or an address-taken local stores the guard
// below its return address on entry and compares it on return; a difference means the frame was
// overrun, and the routine below stops the machine before the corrupted return address is used.
#include "driver/device/stack_guard.h"

extern "C" {
// Writable data: Windows' loader seeds it through the load configuration (windows/load_config.cpp)
// and DriverEntry mixes the driver's own sources in.
ULONG_PTR __stack_chk_guard = static_cast<ULONG_PTR>(kStackGuardInitial);

// A frame's guard no longer matches: its return address cannot be trusted, so nothing may return
// or unwind through it. The fast-fail ends it as Windows' cookie check does, without touching the
// stack it would need to report anything more.
[[noreturn]] void __stack_chk_fail(void) { FastFail(kFastFailStackCookieCheckFailure); }
}

namespace {

// splitmix64's finaliser: every input bit reaches every output bit, so sources that vary only in
// their low bits still change the whole guard.
ULONGLONG Mix(ULONGLONG x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

// Not protected itself: it changes the value its own epilogue would compare against.
__attribute__((no_stack_protector)) void SeedStackGuard(const void* load_object) {
    // The time-stamp counter counts from the processor's reset, so it differs at every boot and
    // every load; the guard's own address moves with the image (randomised per boot); the driver
    // object is a fresh pool block per load. The loader's value, where it seeded one, stays in.
    ULONGLONG value = static_cast<ULONGLONG>(__stack_chk_guard);
    value ^= Mix(__builtin_ia32_rdtsc());
    value ^= Mix(reinterpret_cast<ULONGLONG>(&__stack_chk_guard) ^ (reinterpret_cast<ULONGLONG>(load_object) << 1));
    // The top 16 bits clear, as Windows' own x64 cookies have them: a string copy that ran on past
    // the guard to the return address would have to write those zero bytes, and a string copy
    // ends at its first zero. Never the initial value: that would read as never seeded.
    value &= 0x0000FFFFFFFFFFFFull;
    if (value == 0 || value == kStackGuardInitial) {
        value = Mix(value + 1) & 0x0000FFFFFFFFFFFFull;
    }
    __stack_chk_guard = static_cast<ULONG_PTR>(value);
}
