// The card's interface in one place: the FPGA's register map (every offset and bit the driver
// uses), the receivers' I2C maps and the registers read or written in them, and the two accessors
// of the register window with the millisecond delay and the precise clock: the only places that
// touch the card or the clock.
#pragma once

#include "driver/core/devext.h"

ULONG ReadRegister(devext* ext, ULONG offset);
void WriteRegister(devext* ext, ULONG offset, ULONG value);
void DelayMs(ULONG milliseconds);
// The processor's precise clock in 100 ns units (any IRQL): the interrupt routine stamps the
// engines' events with it, so that a stretch without events can be told from a steady stream.
LONGLONG Now100ns();

// ---------------------------------------------------------------------------------------------
// FPGA register window (byte offsets).

// Every register of a card that has left the bus reads all ones.
constexpr ULONG kCardGone = 0xFFFFFFFF;

// Interrupt status (written back to acknowledge) and the global enable.
constexpr ULONG kRegInterruptStatus = 0xC000;
constexpr ULONG kRegInterruptEnable = 0xC004;
constexpr ULONG kRegHighestUsed = 0xC034;  // the window must reach kRegHighestUsed + 4
// Status bits 0..3: the I2C masters; per channel n, the audio source is bit 4 + 2n and the video
// source the bit above it; nothing above bit 11.
constexpr ULONG kI2cBits = 0x00F;
constexpr ULONG kCardBits = 0xFFF;
constexpr ULONG AudioBit(ULONG channel) { return 0x10u << (2 * channel); }
constexpr ULONG VideoBit(ULONG channel) { return 0x20u << (2 * channel); }

// Per-channel blocks and enable registers.
constexpr ULONG kI2cBlock[kChannelCount] = {0x4000, 0x5000, 0x6000, 0x7000};
constexpr ULONG kAudioBlock[kChannelCount] = {0x8000, 0xA000, 0x8800, 0xA800};
constexpr ULONG kVideoBlock[kChannelCount] = {0x9000, 0xB000, 0x9800, 0xB800};
constexpr ULONG kAudioEnable[kChannelCount] = {0xC018, 0xC020, 0xC028, 0xC030};
constexpr ULONG kVideoEnable[kChannelCount] = {0xC01C, 0xC024, 0xC02C, 0xC034};

// The FPGA's measured frame rate of each input: 8 bits of a shared register.
constexpr ULONG kRateRegister[kChannelCount] = {0x24, 0x20, 0x24, 0x20};
constexpr ULONG kRateShift[kChannelCount] = {24, 24, 8, 8};
// Registers each input's format setting traces: a status word per input, and three debug words.
constexpr ULONG kChipStatusRegister[kChannelCount] = {0x00, 0x04, 0x08, 0x0C};
constexpr ULONG kDebugRegister[3] = {0x40, 0x44, 0x48};

// I2C master, offsets from its block: the command word (read back: the status, bit 0 set while
// the master is idle), then the data word. A chunk carries at most 4 bytes read, or 6 written (two
// in the command word, four in the data word); its control byte asks for a START condition and the
// address byte before it, and a STOP condition after it.
constexpr ULONG kI2cCommand = 0x0;
constexpr ULONG kI2cData = 0x4;
constexpr ULONG kI2cIdleBit = 0x1;
constexpr ULONG kI2cReadChunk = 4;
constexpr ULONG kI2cWriteChunk = 6;
constexpr UCHAR kI2cCtlStart = 0x80;
constexpr UCHAR kI2cCtlStop = 0x40;

// Video DMA engine, offsets from its block. The control register reads back the engine's status:
// the buffer index it last completed in bits 0..1 (3 names none) and, for an interlaced input, the
// bottom field in bit 24.
constexpr ULONG kVideoControl = 0x00;
constexpr ULONG kVideoAddr0High = 0x08;
constexpr ULONG kVideoAddr0Low = 0x0C;
constexpr ULONG kVideoUnitBytes = 0x10;
constexpr ULONG kVideoAddr1Low = 0x3C;
constexpr ULONG kVideoAddr2Low = 0x40;
constexpr ULONG kVideoIndexMask = 0x3;
constexpr ULONG kVideoNoIndex = 3;
constexpr ULONG kInterlacedFieldBit = 0x1000000;

// Audio DMA engine, offsets from its block. The control register reads back the block of the ring
// being filled, modulo the ring's sixteen.
constexpr ULONG kAudioControl = 0x00;
constexpr ULONG kAudioRingBytes = 0x04;
constexpr ULONG kAudioAddrHigh = 0x08;
constexpr ULONG kAudioAddrLow = 0x0C;
constexpr ULONG kAudioBlockBytes = 0x10;
constexpr ULONG kAudioBlockMask = 0xF;

// The registers that aim a DMA engine at memory or size its writes: never written from outside.
constexpr ULONG kVideoDmaRegisters[] = {kVideoAddr0High, kVideoAddr0Low, kVideoUnitBytes, kVideoAddr1Low,
                                        kVideoAddr2Low};
constexpr ULONG kAudioDmaRegisters[] = {kAudioRingBytes, kAudioAddrHigh, kAudioAddrLow, kAudioBlockBytes};

// ---------------------------------------------------------------------------------------------
// HDMI receivers: 8-bit I2C addresses of their maps, as the bring-up table places them.
constexpr UCHAR kRxIoMap = 0x98;
constexpr UCHAR kRxHdmiMap = 0x68;
constexpr UCHAR kRxCpMap = 0x44;

// IO map.
constexpr UCHAR kRxIoScanSetup = 0x06;  // written with one of the two values below
constexpr UCHAR kRxIoScanInterlaced = 0x24;
constexpr UCHAR kRxIoScanProgressive = 0xA4;
constexpr UCHAR kRxIoCable = 0x6F;  // bit 0: cable connected
constexpr UCHAR kRxIoCableBit = 0x01;
constexpr UCHAR kRxIoId = 0xEA;     // two identification bytes
constexpr UCHAR kRxIoReset = 0xFF;  // written with kRxIoResetValue
constexpr UCHAR kRxIoResetValue = 0x80;
// HDMI map: width (0x07, 0x08) and lines of a field or frame (0x09, 0x0A), 13 bits each; the scan
// type in 0x0B; the sampling frequency of the audio channel status in 0x39.
constexpr UCHAR kRxHdmiWidth = 0x07;
constexpr UCHAR kRxHdmiLines = 0x09;
constexpr UCHAR kRxHdmiScan = 0x0B;
constexpr UCHAR kRxHdmiInterlacedBit = 0x20;
constexpr UCHAR kRxHdmiChannelStatusFs = 0x39;
// CP map: the field period count the receiver measures.
constexpr UCHAR kRxCpFieldPeriod = 0xB8;

// A 13-bit size from its two register bytes.
constexpr ULONG RxSize13(UCHAR high, UCHAR low) { return (ULONG(high) & 0x1F) * 256 + low; }
