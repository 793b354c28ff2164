// The audio pins' shared routines, written once and bound to one input by that input's constant
// record (Input). channel0audio.cpp … channel3audio.cpp hold the records and the named entry
// points; audio.cpp holds the routines.
#pragma once

#include "driver/audio/audio.h"

namespace audio {

// Format of the single format every audio pin offers.
constexpr ULONG kRate = 48000;
constexpr USHORT kChannels = 2;
constexpr USHORT kBitsPerSample = 16;
constexpr USHORT kBlockAlign = (kBitsPerSample / 8) * kChannels;  // 4
constexpr ULONG kFormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX);  // 82
constexpr ULONG kRangeFormatSize = sizeof(KSDATARANGE_AUDIO);     // 88

// The card writes the block after the last one it announced, i.e. the oldest block of the ring,
// progressively, and moves on to the next one as soon as it completes, before its interrupt has
// been served: the block after it may already be under the engine while the count still says
// otherwise. Only fourteen blocks are certain to hold what they held when announced. Delivery
// never hands out more than that, and never reads behind it.
constexpr ULONG kIntactBytes = kAudioRingSize - 2 * kAudioBlockSize;  // 26880
// The engine's block register counts the ring's blocks modulo their number, a power of two.
constexpr ULONG kRingBlockMask = kAudioRingSize / kAudioBlockSize - 1;
static_assert((kRingBlockMask & (kRingBlockMask + 1)) == 0 && kRingBlockMask == 0xF);

constexpr ULONG kDpcIdle = 0;
constexpr ULONG kDpcRunning = 1;
constexpr ULONG kDpcRerun = 2;

// Everything that makes one input's audio pin different from the others.
struct Input {
    ULONG channel;          // 0..3, also the ChannelState and DPC/timer index
    ULONG i2cBlock;         // the input's FPGA I2C master
    ULONG ringOffset;       // the input's slice of channelallaudiobuf
    const char* tag;        // "audio0": prefix of the state and hardware traces
    const char* file;       // source file named in the "end" traces
    const char* rateTrace;  // Setchannel0AudioRate's result
    // DispatchSetFormat: too short / refused / accepted.
    const char* formatShortTrace;
    const char* formatRefusedTrace;
    bool formatRefusedShowsFormat;  // inputs 1..3 print the format's rate and channel count
    const char* formatAcceptedTrace;
    const char* intersectTrace;
    // The DPC routine's traces: not running / no buffer / buffer without data.
    const char* dpcIdleTrace;
    bool dpcIdleShowsPin;  // inputs 1..3 print the pin and AudioState
    const char* dpcNoBufferTrace;
    const char* dpcNoDataTrace;
    KSDATARANGE_AUDIO* ranges;  // the input's three writable ranges
};

// The three equal audio ranges of one pin: 2 channels, 16 bits, 48000 Hz PCM.
#define QH_AUDIO_RANGE                                                                                           \
    {                                                                                                            \
        {{audio::kRangeFormatSize, 0, 0, 0, kTypeAudio, kSubtypePcm, kSpecifierWaveFormatEx}}, audio::kChannels, \
            audio::kBitsPerSample, audio::kBitsPerSample, audio::kRate, audio::kRate                             \
    }

NTSTATUS IntersectHandler(const Input& in, PVOID Context, PKSDATARANGE CallerDataRange,
                          PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data, PULONG DataSize);
void SetRate(const Input& in, devext* ext);
NTSTATUS SetFormat(const Input& in, PKSPIN Pin, const KSDATARANGE* DataRange);
NTSTATUS SetState(const Input& in, PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
NTSTATUS Process(const Input& in, PKSPIN Pin);
void DpcRoutine(const Input& in, devext* ext);

// The pin's four hardware steps.
NTSTATUS HardwareAcquireResources(const Input& in, devext* ext);
void HardwareReleaseResources(const Input& in, devext* ext);
NTSTATUS HardwareRun(const Input& in, devext* ext);
NTSTATUS HardwarePause(const Input& in, devext* ext);

// Create and Close of every audio pin: the pins keep no context of their own.
NTSTATUS NTAPI DispatchCreateClose(PKSPIN Pin, PIRP Irp);

// The routines of one input under the signatures the class and the kernel call them with.
template <const Input& In>
struct Entry {
    static NTSTATUS NTAPI Intersect(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE CallerDataRange,
                                    PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data,
                                    PULONG DataSize) {
        UNREFERENCED_PARAMETER(Irp);
        UNREFERENCED_PARAMETER(Pin);
        return IntersectHandler(In, Context, CallerDataRange, DescriptorDataRange, DataBufferSize, Data, DataSize);
    }
    static NTSTATUS NTAPI DispatchSetFormat(PKSPIN Pin, PKSDATAFORMAT OldFormat, PKSMULTIPLE_ITEM OldAttributeList,
                                            const KSDATARANGE* DataRange, const KSATTRIBUTE_LIST* AttributeRange) {
        UNREFERENCED_PARAMETER(OldFormat);
        UNREFERENCED_PARAMETER(OldAttributeList);
        UNREFERENCED_PARAMETER(AttributeRange);
        return SetFormat(In, Pin, DataRange);
    }
    static NTSTATUS NTAPI DispatchSetState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState) {
        return SetState(In, Pin, ToState, FromState);
    }
    static NTSTATUS NTAPI DispatchProcess(PKSPIN Pin) { return Process(In, Pin); }
    static void NTAPI Dpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
        UNREFERENCED_PARAMETER(Dpc);
        UNREFERENCED_PARAMETER(SystemArgument1);
        UNREFERENCED_PARAMETER(SystemArgument2);
        DpcRoutine(In, static_cast<devext*>(DeferredContext));
    }
    // Create and Close: DispatchCreateClose; Reset, Connect, Disconnect, Clock and Allocator: none.
    static constexpr KSPIN_DISPATCH PinDispatch = {DispatchCreateClose,
                                                   DispatchCreateClose,
                                                   DispatchProcess,
                                                   nullptr,
                                                   DispatchSetFormat,
                                                   DispatchSetState,
                                                   nullptr,
                                                   nullptr,
                                                   nullptr,
                                                   nullptr};
};

}  // namespace audio
