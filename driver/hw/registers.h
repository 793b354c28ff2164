// The FPGA's register window and the millisecond delay: the only places that touch the card or
// the clock.
#pragma once

#include "driver/device/devext.h"

ULONG ReadRegister(devext* ext, ULONG offset);
void WriteRegister(devext* ext, ULONG offset, ULONG value);
void DelayMs(ULONG milliseconds);
// The processor's precise clock in 100 ns units (any IRQL): the interrupt routine stamps the
// engines' events with it, so that a stretch without events can be told from a steady stream.
LONGLONG Now100ns();

// Register map (byte offsets in the window).
constexpr ULONG kRegInterruptStatus = 0xC000;
constexpr ULONG kRegInterruptEnable = 0xC004;
constexpr ULONG kRegHighestUsed = 0xC034;      // the window must reach kRegHighestUsed + 4
constexpr ULONG kI2cBlock[kChannelCount] = {0x4000, 0x5000, 0x6000, 0x7000};
constexpr ULONG kAudioBlock[kChannelCount] = {0x8000, 0xA000, 0x8800, 0xA800};
constexpr ULONG kVideoBlock[kChannelCount] = {0x9000, 0xB000, 0x9800, 0xB800};
constexpr ULONG kAudioEnable[kChannelCount] = {0xC018, 0xC020, 0xC028, 0xC030};
constexpr ULONG kVideoEnable[kChannelCount] = {0xC01C, 0xC024, 0xC02C, 0xC034};
