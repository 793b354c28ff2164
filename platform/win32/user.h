// What a user-mode Windows program of this project sees of the system: the Win32 and
// kernel-streaming user-mode headers as mingw-w64 ships them, in the one order that compiles in
// C++20 with -Wall -Wextra. The driver never includes this (platform.h picks it only when
// QH_USER_MODE is defined, which the driver's build never does).
#pragma once

// NTSTATUS values come from ntstatus.h, not the handful winnt.h defines for exception codes.
#ifndef WIN32_NO_STATUS
#define WIN32_NO_STATUS
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winioctl.h>
// NTSTATUS itself is declared by the native headers only; user-mode ks.h uses it as well.
typedef LONG NTSTATUS;
#ifndef NT_SUCCESS
#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)
#endif
#include <stddef.h>  // offsetof, which the layout checks use
#include <mmreg.h>   // WAVEFORMATEX, so that ksmedia.h declares KSDATAFORMAT_WAVEFORMATEX
#include <ks.h>
#include <ksmedia.h>
