// The card's register map as the card decodes it: every offset in the 64 KiB window, every field
// of a register the card reads or writes, named once. The card model's parts use these names and
// nothing else; the driver keeps its own map (the card knows nothing of the driver).
#pragma once

#include "sim/card.h"  // kInputs and kWindowLength: the card's shape, public

#include <cstdint>

namespace sim::regs {

// Accesses are 32 bits wide: the low two bits of an offset are ignored, and the window repeats.
constexpr uint32_t window_offset(uint32_t offset) { return offset & (kWindowLength - 1) & ~3u; }

// What a read completes with when the card is gone (link down) or powered off.
constexpr uint32_t kAllOnes = 0xFFFFFFFFu;

// Bit 0 switches a control, enable or interrupt-enable register on; the rest are ignored.
constexpr uint32_t kOn = 1u << 0;

// --- FPGA status and identification ---------------------------------------------------------

// One status word per input, at 0x00, 0x04, 0x08, 0x0C.
constexpr uint32_t kStatusWord0 = 0x0000;
constexpr uint32_t kStatusWordLast = kStatusWord0 + 4 * (kInputs - 1);
constexpr uint32_t kStatusCable = 1u << 0;
constexpr uint32_t kStatusLocked = 1u << 1;
constexpr uint32_t kStatusInterlaced = 1u << 2;
constexpr uint32_t kStatusVideoRunning = 1u << 3;
constexpr uint32_t kStatusAudioRunning = 1u << 4;
constexpr uint32_t kStatusFramesShift = 16;  // frames since power-on, bits 31..16
constexpr uint32_t kStatusFramesMask = 0xFFFF;

// Measured frame rates, two inputs a register: the high half-word one input, the low the other;
// each half-word is whole units per second (bits 15..8) and hundredths (bits 7..0).
constexpr uint32_t kRate13 = 0x0020;  // input 1 (bits 31..16) and input 3 (bits 15..0)
constexpr uint32_t kRate02 = 0x0024;  // input 0 (bits 31..16) and input 2 (bits 15..0)
constexpr uint32_t kRateHighShift = 16;
constexpr uint32_t kRateWholeShift = 8;

constexpr uint32_t kVersionRegister = 0x0040;
constexpr uint32_t kVersion = 0x00010004;
constexpr uint32_t kVideoTotal = 0x0044;  // video units completed since power-on, all inputs
constexpr uint32_t kAudioTotal = 0x0048;  // audio blocks completed since power-on, all inputs

// --- I2C masters: one 4 KiB block per input ---------------------------------------------------

constexpr uint32_t kI2cBase = 0x4000;
constexpr uint32_t kI2cSpan = 0x1000;
constexpr uint32_t kI2cCommand = 0x0;  // write: a command word; read: the status
constexpr uint32_t kI2cData = 0x4;     // write: bytes 3..6 of a write chunk; read: bytes read

// Command word: bits 7..0 control, 15..8 the address byte (bit 8 set: a read), 23..16 and
// 31..24 the first two bytes of a write chunk.
constexpr uint32_t kI2cStart = 1u << 7;
constexpr uint32_t kI2cStop = 1u << 6;
constexpr uint32_t kI2cCountMask = 0x07;  // bytes in the chunk
constexpr uint32_t kI2cAddressShift = 8;
// An address byte carries the direction in bit 0 (set: a read); a device answers to both.
constexpr uint8_t kI2cReadBit = 0x01;
constexpr uint8_t kI2cAddressMask = 0xFE;
constexpr uint32_t kI2cMaxRead = 4;   // bytes a read chunk returns in the data register
constexpr uint32_t kI2cMaxWrite = 6;  // two in the command word, four in the data register

// Status: bit 0 is what a driver polls; bits 23..8 echo the low half of the last command.
constexpr uint32_t kI2cIdle = 1u << 0;
constexpr uint32_t kI2cNack = 1u << 1;      // the last chunk's address was not acknowledged
constexpr uint32_t kI2cProtocol = 1u << 2;  // a chunk the master could not honour as written
constexpr uint32_t kI2cEchoShift = 8;
constexpr uint32_t kI2cEchoMask = 0xFFFF;

// --- DMA engines: one 2 KiB block per engine ----------------------------------------------------

constexpr uint32_t kAudioBase[kInputs] = {0x8000, 0xA000, 0x8800, 0xA800};
constexpr uint32_t kVideoBase[kInputs] = {0x9000, 0xB000, 0x9800, 0xB800};
constexpr uint32_t kEngineSpan = 0x800;

// Offsets inside a video engine's block.
constexpr uint32_t kVideoBlock = 0x00;      // write: control (kOn); read: the engine's position
constexpr uint32_t kVideoAddr0High = 0x08;  // buffer 0's bus address, high and low halves
constexpr uint32_t kVideoAddr0Low = 0x0C;
constexpr uint32_t kVideoUnitBytes = 0x10;  // bytes of one frame or field
constexpr uint32_t kVideoAddr1Low = 0x3C;   // buffers 1 and 2: below 4 GiB
constexpr uint32_t kVideoAddr2Low = 0x40;
constexpr uint32_t kVideoBuffers = 3;
// Position read from kVideoBlock: a ring buffer index in the low bits, and for an interlaced
// source whether the latest field was the bottom one.
constexpr uint32_t kVideoBottomField = 1u << 24;

// Offsets inside an audio engine's block.
constexpr uint32_t kAudioBlock = 0x00;  // write: control (kOn); read: the engine's position
constexpr uint32_t kAudioRingBytes = 0x04;
constexpr uint32_t kAudioAddrHigh = 0x08;  // the ring's bus address, high and low halves
constexpr uint32_t kAudioAddrLow = 0x0C;
constexpr uint32_t kAudioBlockBytes = 0x10;
// Position read from kAudioBlock: the block written next, modulo the 16 the field holds.
constexpr uint32_t kAudioBlockMask = 0xF;
constexpr uint32_t kAudioBlockCount = kAudioBlockMask + 1;

// --- Interrupts and engine enables ------------------------------------------------------------

constexpr uint32_t kIntStatus = 0xC000;  // read: causes latched; write: ones acknowledge
constexpr uint32_t kIntEnable = 0xC004;  // bit 0 (kOn): the card raises its interrupt

// Causes in kIntStatus: the I2C masters in bits 3..0, then an audio and a video bit per input.
constexpr uint32_t kCauseMask = 0xFFF;
constexpr uint32_t i2c_cause(uint32_t n) { return 1u << n; }
constexpr uint32_t audio_cause(uint32_t n) { return 1u << (4 + 2 * n); }
constexpr uint32_t video_cause(uint32_t n) { return 1u << (5 + 2 * n); }

// Engine enables, one pair per input: audio at kAudioEnable0 + 8n, video 4 bytes after it.
constexpr uint32_t kAudioEnable0 = 0xC018;
constexpr uint32_t kVideoEnable0 = 0xC01C;
constexpr uint32_t kEnableStride = 8;
constexpr uint32_t kEnableFirst = kAudioEnable0;
constexpr uint32_t kEnableLast = kVideoEnable0 + kEnableStride * (kInputs - 1);

// --- The receivers: register maps on each input's I2C bus --------------------------------------

// The IO map, at a fixed address; the other maps answer where its placement registers put them.
constexpr uint8_t kRxIoAddress = 0x98;
constexpr uint8_t kRxCableDetect = 0x6F;  // bit 0: a source's +5 V is present
constexpr uint8_t kRxIdHigh = 0xEA;       // identification, two bytes
constexpr uint8_t kRxIdLow = 0xEB;
constexpr uint8_t kRxPlaceCec = 0xF4;
constexpr uint8_t kRxPlaceInfoFrame = 0xF5;
constexpr uint8_t kRxPlaceDpll = 0xF8;
constexpr uint8_t kRxPlaceRepeater = 0xF9;
constexpr uint8_t kRxPlaceEdid = 0xFA;
constexpr uint8_t kRxPlaceHdmi = 0xFB;
constexpr uint8_t kRxPlaceCp = 0xFD;
constexpr uint8_t kRxMainReset = 0xFF;  // writing kRxMainResetBit resets every map
constexpr uint8_t kRxMainResetBit = 0x80;

// The HDMI map: the active size of one unit (frame, or field when interlaced), each a 13-bit
// value in a high and a low register; the high registers carry status flags above the size.
constexpr uint8_t kRxWidthHigh = 0x07;
constexpr uint8_t kRxWidthLow = 0x08;
constexpr uint8_t kRxLinesHigh = 0x09;
constexpr uint8_t kRxLinesLow = 0x0A;
constexpr uint8_t kRxSecondFieldLinesHigh = 0x0B;  // interlaced only; 0 otherwise
constexpr uint8_t kRxSecondFieldLinesLow = 0x0C;
constexpr uint8_t kRxSizeHighMask = 0x1F;
constexpr uint8_t kRxWidthFlags = 0xA0;
constexpr uint8_t kRxLinesFlags = 0xE0;
constexpr uint8_t kRxSecondFieldFlags = 0x20;
// Audio channel status: the sampling-frequency code in bits 3..0, with a flag above it.
constexpr uint8_t kRxChannelStatus = 0x39;
constexpr uint8_t kRxChannelStatusFlags = 0x20;
constexpr uint8_t kRxCodeMask = 0x0F;
constexpr uint8_t kRxCodeNotIndicated = 0x01;  // what the register holds without a signal

// The CP map: the measured unit rate as a 13-bit code in a high and a low register.
constexpr uint8_t kRxRateHigh = 0xB8;
constexpr uint8_t kRxRateLow = 0xB9;
constexpr uint8_t kRxRateFlags = 0x80;
constexpr uint32_t kRxRateCodeMax = 0x1FFF;

}  // namespace sim::regs
