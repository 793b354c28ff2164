// The register window and the millisecond delay.
#include "driver/hw/registers.h"

// With no window mapped an access is dropped and a read answers 0: every caller runs between
// mapping and unmapping, and this keeps a stray call from dereferencing a null base.
ULONG ReadRegister(devext* ext, ULONG offset) {
    PVOID base = SharedRead(ext->RegisterBase);
    if (base == nullptr) {
        return 0;
    }
    return READ_REGISTER_ULONG(static_cast<volatile ULONG*>(base) + offset / 4);
}

void WriteRegister(devext* ext, ULONG offset, ULONG value) {
    PVOID base = SharedRead(ext->RegisterBase);
    if (base == nullptr) {
        return;
    }
    WRITE_REGISTER_ULONG(static_cast<volatile ULONG*>(base) + offset / 4, value);
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
