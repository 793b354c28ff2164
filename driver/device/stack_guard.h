// The guard value of the compiler's stack protection and the routine a corrupted frame ends in.
#pragma once

#include "platform/platform.h"

// What the image holds before anything seeds the guard: the value Windows' loader looks for in
// a driver's load configuration and replaces with a per-load random one.
constexpr ULONGLONG kStackGuardInitial = 0x00002B992DDFA232ull;
// The fast-fail code Windows' own cookie check raises (bug check 0x139, first parameter 2).
constexpr ULONG kFastFailStackCookieCheckFailure = 2;

extern "C" {
// Named as the compiler's -fstack-protector code expects them.
extern ULONG_PTR __stack_chk_guard;
[[noreturn]] void __stack_chk_fail(void);
}

// Mixes values that differ from one boot (and one load) to the next into the guard. Called first
// thing in DriverEntry, before any protected function has a frame on any stack.
void SeedStackGuard(const void* load_object);
