// The device extension: all state of one card. The floor of the driver; every part
// of the driver reaches the card through it.
#pragma once

#include "driver/public.h"

// Inside the driver an input is a channel, numbered 0..3 (ChannelState, channel0video.cpp, …).
constexpr ULONG kChannelCount = kInputCount;
constexpr ULONG kVideoBufferSize = 0x400000;  // one 4 MiB buffer, three per channel
constexpr ULONG kAudioRingSize = 30720;       // one channel's slice: 16 blocks
constexpr ULONG kAudioBlockSize = 1920;       // 10 ms of 48 kHz stereo 16-bit PCM
static_assert(kAudioBlockSize == kAudioBufferBytes, "the audio pin completes one block per buffer");
constexpr ULONG kAudioBufferSize = kChannelCount * kAudioRingSize;  // 0x1E000

struct CommonBuffer {
    PHYSICAL_ADDRESS PhysAddr;  // bus address the FPGA is given; below 4 GiB
    PVOID VirtAddr;             // null while not allocated
};

struct ChannelState {
    ULONG AudioSampleRate;
    ULONG AudioHwBlock;
    ULONG AudioState;
    ULONG Width;
    ULONG Height;
    ULONG FrameRate;
    ULONG Interlaced;
    ULONG FrameCount;
    ULONG VideoStatus;
    ULONG VideoState;
    PKSPIN AudioPin;  // guarded by HwMutex
    PKSPIN VideoPin;  // guarded by HwMutex
    // The pin whose format Width, Height and Interlaced were last set from, guarded by HwMutex;
    // only compared, never dereferenced (the pin may be gone).
    PKSPIN FormatPin;
    PIKSREFERENCECLOCK AudioClock;
    PIKSREFERENCECLOCK VideoClock;
    ULONG AudioReadOffset;
    LONGLONG AvgTimePerFrame;
    ULONGLONG DropCount;
    KEVENT FrameEvent;
    ULONGLONG AudioHwBytes;
    ULONGLONG AudioDeliveredBytes;
    // The audio engine's block register as the interrupt routine last read it (the block being
    // filled): blocks completed since then are counted from it.
    ULONG AudioSeenBlock;
    // Kept by the audio pin's delivery (driver/audio): runs of the input's audio DPC are
    // serialised through AudioDpcActive (0 idle, 1 running, 2 running with a re-run requested);
    // audio the card overwrote before it could be delivered is skipped and counted.
    LONG AudioDpcActive;
    ULONG AudioDiscontinuity;  // the next delivered buffer carries the data-discontinuity flag
    ULONGLONG AudioLostBytes;
    // Kept by the video pin's signal check (driver/video): the receiver last reported a signal
    // the pin's format cannot be taken from, and the next delivered frame follows a gap.
    ULONG SignalMismatch;
    ULONG SignalGap;
    // The signal's size when the format took effect (0 without a signal): a format the client
    // chose at another size goes on getting frames as long as that signal stays.
    ULONG SignalWidth;
    ULONG SignalHeight;
    // Kept by the interrupt routine for the video pin: the engine's latest completion (see
    // VideoEvent below), when the routine saw it, and the unit count of the latest event that
    // came after a gap (the source stopped, or fields came out of order).
    ULONGLONG VideoEvent;
    LONGLONG VideoEventTime;
    ULONG VideoGapUnit;
    // 100 ns per unit (frame, or field when interlaced) from the FPGA's measured rate at RUN;
    // 0 when it was not known.
    ULONG VideoUnitPeriod;
    // Kept by the video pin's Process: the unit count of the last event it copied from and of
    // the last frame it delivered (VideoDeliveredAny: one was delivered since RUN), and the
    // frames it held back as possibly torn, repeated or woven from two sources.
    ULONG VideoTakenUnit;
    ULONG VideoDeliveredUnit;
    ULONG VideoDeliveredAny;
    ULONGLONG FramesHeldBack;
    // Kept by the video pin's signal watch: when the receiver was last asked, the unit count the
    // answer covers, and the FPGA's measured rate of the signal found to fit.
    LONGLONG SignalCheckedAt;
    ULONG SignalCheckedUnit;
    // The last frame in doubt was held back because its check came late, its unit count, and
    // when that check was asked (the receiver then reported the format's signal).
    ULONG SignalLateHeld;
    ULONG SignalLateHeldUnit;
    LONGLONG SignalLateHeldAsked;
    // The first answer that found the format's signal during the stream then running: the unit
    // count when it was asked, and when it came (0: none).
    ULONG SignalFitAsked;
    LONGLONG SignalFitAt;
    ULONG SignalRate;
    // Kept by the interrupt routine for the audio pin: when it last counted blocks, and the byte
    // count from which delivery must start again after audio it could not account for (the
    // routine or the source away longer than the blocks it found explain).
    LONGLONG AudioEventTime;
    ULONGLONG AudioResyncAt;
};

// One completion of a video engine as the interrupt routine records it, in one 64-bit word so
// that Process reads all of an event or none of it.
namespace VideoEvent {
constexpr ULONGLONG kNone = 1ull << 63;                          // no completion since the engine was started
constexpr ULONGLONG kBottom = 1ull << 34;                        // the unit was a bottom field
constexpr ULONGLONG kWhole = 1ull << 35;                         // the buffers named hold one whole frame of one stream
constexpr ULONG Units(ULONGLONG event) { return ULONG(event); }  // units completed since the start
constexpr ULONG Index(ULONGLONG event) { return ULONG(event >> 32) & 3; }
constexpr ULONGLONG Make(ULONG units, ULONG index, bool bottom, bool whole) {
    return ULONGLONG(units) | (ULONGLONG(index & 3) << 32) | (bottom ? kBottom : 0) | (whole ? kWhole : 0);
}
}  // namespace VideoEvent

struct devext {
    PKSDEVICE Device;
    ULONG PowerState;
    CommonBuffer channel0videobuf[3];
    CommonBuffer channel1videobuf[3];
    CommonBuffer channel2videobuf[3];
    CommonBuffer channel3videobuf[3];
    CommonBuffer channelallaudiobuf;
    PDMA_ADAPTER DmaAdapter;
    PKINTERRUPT InterruptObject;
    PVOID RegisterBase;
    ULONG RegisterLength;
    KMUTEX HwMutex;
    ChannelState Channel[kChannelCount];
    KTIMER AudioTimer[kChannelCount];
    // Declared in this order: audio and video DPCs of channels 0 and 1, then of 2 and 3.
    KDPC AudioDpc01[2];
    KDPC VideoDpc01[2];
    KDPC AudioDpc23[2];
    KDPC VideoDpc23[2];
    // Set while the device is stopped: the audio DPCs deliver nothing and arm no timer.
    ULONG AudioHalted;
    // The video buffers may be read (a started device that holds them) and the readers doing
    // so now: teardown closes the gate and waits for the readers before freeing the buffers.
    ULONG BuffersOpen;
    LONG BufferReaders;
    // One per I2C master: a transfer is a sequence of commands and status polls that must not be
    // interleaved with another on the same bus. Taken after HwMutex when both are held.
    KMUTEX I2cMutex[kChannelCount];
};

// The three video buffers of a channel.
inline CommonBuffer* VideoBuffers(devext* ext, ULONG channel) {
    switch (channel) {
    case 0: return ext->channel0videobuf;
    case 1: return ext->channel1videobuf;
    case 2: return ext->channel2videobuf;
    default: return ext->channel3videobuf;
    }
}

inline PKDPC AudioDpc(devext* ext, ULONG channel) {
    return channel < 2 ? &ext->AudioDpc01[channel] : &ext->AudioDpc23[channel - 2];
}

inline PKDPC VideoDpc(devext* ext, ULONG channel) {
    return channel < 2 ? &ext->VideoDpc01[channel] : &ext->VideoDpc23[channel - 2];
}

// The device extension of the device that owns a pin or filter.
inline devext* DevextOf(PVOID object) { return static_cast<devext*>(KsGetDevice(object)->Context); }

// HwMutex, waited on without time-out and released; every pin-level register or I2C sequence
// runs between the two.
inline void AcquireHwMutex(devext* ext) { KeWaitForSingleObject(&ext->HwMutex, Executive, KernelMode, FALSE, nullptr); }
inline void ReleaseHwMutex(devext* ext) { KeReleaseMutex(&ext->HwMutex, FALSE); }

// The I2C master of the input whose block starts at `block` (0x4000 + 0x1000 × input). Never held
// across a delay: the receivers' bring-up takes it for its transfers, not for its settling waits.
inline void AcquireI2cMaster(devext* ext, ULONG block) {
    KeWaitForSingleObject(&ext->I2cMutex[((block >> 12) - 4) & 3], Executive, KernelMode, FALSE, nullptr);
}
inline void ReleaseI2cMaster(devext* ext, ULONG block) {
    KeReleaseMutex(&ext->I2cMutex[((block >> 12) - 4) & 3], FALSE);
}
