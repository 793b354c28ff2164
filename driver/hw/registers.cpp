// The register window and the millisecond delay.
#include "driver/hw/registers.h"

namespace {

// The register at `offset`: the two low bits of the offset are ignored. Computed on the integer
// value of the base so that no pointer arithmetic is done on a null base.
volatile ULONG* RegisterAt(PVOID base, ULONG offset) {
    return reinterpret_cast<volatile ULONG*>(reinterpret_cast<ULONG_PTR>(base) + ULONG_PTR(offset / 4) * 4);
}

// With no window mapped an access is dropped and a read answers 0: every caller runs between
// mapping and unmapping, and this keeps a stray call from faulting on a null base. The host
// platform's accessors already refuse such an access, and name it as the fault it is; there the
// access is handed on so that the report is not lost.
bool Unmapped(PVOID base) {
#if defined(_WIN32)
    return base == nullptr;
#else
    UNREFERENCED_PARAMETER(base);
    return false;
#endif
}

}  // namespace

ULONG ReadRegister(devext* ext, ULONG offset) {
    PVOID base = SharedRead(ext->RegisterBase);
    if (Unmapped(base)) {
        return 0;
    }
    return READ_REGISTER_ULONG(RegisterAt(base, offset));
}

void WriteRegister(devext* ext, ULONG offset, ULONG value) {
    PVOID base = SharedRead(ext->RegisterBase);
    if (Unmapped(base)) {
        return;
    }
    WRITE_REGISTER_ULONG(RegisterAt(base, offset), value);
}

// The assertion is reported under a fixed line number so that its report reads the same in
// every build of this file.
constexpr ULONG kDelayAssertLine = 91;

void DelayMs(ULONG milliseconds) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        RtlAssert(const_cast<char*>("KeGetCurrentIrql() == PASSIVE_LEVEL"), const_cast<char*>("registers.cpp"),
                  kDelayAssertLine, nullptr);
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

LONGLONG Now100ns() {
    LARGE_INTEGER frequency;
    const LONGLONG ticks = KeQueryPerformanceCounter(&frequency).QuadPart;
    const LONGLONG hz = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    // In two steps: ticks × 10^7 would overflow after some weeks at a 10 MHz counter.
    return (ticks / hz) * 10000000 + (ticks % hz) * 10000000 / hz;
}
