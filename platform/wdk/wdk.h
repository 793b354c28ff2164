// The real WDK headers as shipped with mingw-w64, in the one order that compiles in C++20
// with -Wall -Wextra.
#pragma once

// mingw-w64's wdm.h redefines two intrinsics that intrin.h already provides in C++ mode.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
extern "C" {
#include <ntddk.h>
#include <windef.h>
}
// unknown.h (needed for IKsReferenceClock and KsPinGetReferenceClockInterface, which ks.h
// declares only when IUnknown is known) expects three user-mode macros.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#ifndef interface
#define interface struct
#endif
#include <unknown.h>
extern "C" {
typedef WCHAR TCHAR;  // ksmedia.h uses TCHAR
#define NOBITMAP  // mmreg.h would need the user-mode BITMAPINFOHEADER
#include <mmreg.h>  // WAVEFORMATEX, so that ksmedia.h declares KSDATAFORMAT_WAVEFORMATEX
#include <ks.h>
#include <ksmedia.h>
}

// Declared by the current WDK but not by mingw-w64; the import comes from ntoskrnl-extra.def.
// Maps a device window with explicit page protections (no execute), which memory integrity
// requires of every mapping.
extern "C" NTKERNELAPI PVOID NTAPI MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                                  ULONG Protect);

// The kernel's fast-fail, as the compiler's __fastfail intrinsic emits it: int 0x29 with the code
// in ecx. Windows stops with bug check 0x139 (KERNEL_SECURITY_CHECK_FAILURE), the code as its
// first parameter, without running anything on the current stack.
[[noreturn]] inline void FastFail(ULONG Code) {
    __asm__ volatile("int $0x29" : : "c"(Code) : "memory");
    __builtin_unreachable();
}
