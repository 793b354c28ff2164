// The audio capture pins: formats, sample rate, pin states and delivery, written once for the
// four inputs. Each routine takes the input's constant record (channel0audio.cpp …).
#include "driver/audio/audio_impl.h"

#include "driver/core/buffers.h"
#include "driver/hw/engines.h"
#include "driver/public.h"
#include "driver/hw/i2c.h"
#include "driver/hw/registers.h"

// The analog bridge range of the four bridge pins: the HDMI audio entering the filter's topology.
const KSDATARANGE AudioBridgeRange = {{sizeof(KSDATARANGE), 0, 0, 0, kTypeAudio, kSubtypeAnalog, kSpecifierNone}};
const PKSDATARANGE AudioBridgeRangeList[1] = {const_cast<PKSDATARANGE>(&AudioBridgeRange)};

namespace audio {
namespace {

// Sampling frequency announced by the source's channel status (bits 27..24), in Hz; 0 for codes
// this driver does not map.
constexpr ULONG kSamplingFrequency[16] = {44100, 0,      48000, 32000, 0,      0, 0,      0,
                                          88200, 768000, 96000, 0,     176400, 0, 192000, 0};

constexpr LONGLONG kRetryDue = -30000;   // 3 ms, relative
constexpr LONGLONG kDrainPoll = -10000;  // 1 ms, relative

// A full-barrier compare-exchange on a 32-bit word shared with the DPCs of other processors.
// Both builds are compiled by GCC; another compiler would map this to InterlockedCompareExchange.
inline LONG CompareExchange(LONG& target, LONG exchange, LONG comparand) {
    LONG expected = comparand;
    __atomic_compare_exchange_n(&target, &expected, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return expected;
}

inline ChannelState& ChannelOf(const Input& in, devext* ext) { return ext->Channel[in.channel]; }

inline PUCHAR RingOf(const Input& in, devext* ext) {
    PUCHAR base = static_cast<PUCHAR>(ext->channelallaudiobuf.VirtAddr);
    return base ? base + in.ringOffset : nullptr;
}

void TraceConflict(const Input& in, KSSTATE ToState, KSSTATE FromState) {
    DbgPrint("error pin resource :::::::::::::::::::%s: %s()  :ToState=%d : FromState=%d\n", in.tag, "DispatchSetState",
             static_cast<LONG>(ToState), static_cast<LONG>(FromState));
}

// Passive level: returns once no run of the input's audio DPC is in progress. A run that starts
// afterwards reads AudioPin and AudioState as they are now.
void WaitForDeliveryIdle(ChannelState& ch) {
    while (CompareExchange(ch.AudioDpcActive, kDpcIdle, kDpcIdle) != static_cast<LONG>(kDpcIdle)) {
        LARGE_INTEGER interval;
        interval.QuadPart = kDrainPoll;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

// Skips a buffer that has no data area: it completes unfilled and the leading edge moves on.
void SkipBuffer(PKSPIN pin, PKSSTREAM_POINTER pointer) {
    KsPinAttemptProcessing(pin, TRUE);
    // A successful advance leaves the edge locked on the next buffer; the next run locks it again.
    if (NT_SUCCESS(KsStreamPointerAdvance(pointer))) KsStreamPointerUnlock(pointer, FALSE);
}

// Overrun: when the card has (or may have) overwritten the oldest pending audio, moves the read
// position on to the oldest audio still intact, counts what was lost and marks the next
// delivered buffer. Returns the bytes pending afterwards. The counts are 64-bit throughout: the
// card passes 2^32 bytes in about six hours, which a client without buffers can leave pending.
ULONG SkipOverwritten(ChannelState& ch, ULONGLONG hwBytes, ULONGLONG& delivered, ULONG& offset) {
    const ULONGLONG pending = hwBytes - delivered;
    if (pending <= kIntactBytes) return static_cast<ULONG>(pending);
    const ULONGLONG lost = pending - kIntactBytes;
    delivered += lost;
    offset = static_cast<ULONG>((static_cast<ULONGLONG>(offset) + lost) % kAudioRingSize);
    SharedWrite(ch.AudioDeliveredBytes, delivered);
    SharedWrite(ch.AudioReadOffset, offset);
    SharedWrite(ch.AudioLostBytes, SharedRead(ch.AudioLostBytes) + lost);
    SharedWrite(ch.AudioDiscontinuity, ULONG(1));
    return kIntactBytes;
}

// Audio the interrupt routine could not account for (it was held up for a whole ring or more,
// or the source stopped and came back): delivery goes on from the point the routine named, the
// audio before it counted as lost and the next delivered buffer marked. A restart point beyond the
// count read is left for the run that reads the count it belongs to.
void SkipUnaccounted(ChannelState& ch, ULONGLONG hwBytes, ULONGLONG& delivered, ULONG& offset) {
    const ULONGLONG resume = SharedRead(ch.AudioResyncAt);
    if (resume <= delivered || resume > hwBytes) return;
    const ULONGLONG lost = resume - delivered;
    delivered = resume;
    offset = static_cast<ULONG>((static_cast<ULONGLONG>(offset) + lost) % kAudioRingSize);
    SharedWrite(ch.AudioDeliveredBytes, delivered);
    SharedWrite(ch.AudioReadOffset, offset);
    SharedWrite(ch.AudioLostBytes, SharedRead(ch.AudioLostBytes) + lost);
    SharedWrite(ch.AudioDiscontinuity, ULONG(1));
}

// Copies `used` bytes of the ring from `offset`, in two parts when the ring's end comes first.
void CopyFromRing(const UCHAR* ring, ULONG offset, PUCHAR data, ULONG used) {
    if (offset + used < kAudioRingSize) {
        RtlCopyMemory(data, ring + offset, used);
    } else {
        const ULONG first = kAudioRingSize - offset;
        RtlCopyMemory(data, ring + offset, first);
        RtlCopyMemory(data + first, ring, used - first);
    }
}

// One run of the input's delivery: fills at most one stream buffer from the ring.
void DeliverOne(const Input& in, devext* ext) {
    ChannelState& ch = ChannelOf(in, ext);
    PKSPIN pin = SharedRead(ch.AudioPin);
    ULONG state = SharedRead(ch.AudioState);
    if (pin == nullptr || static_cast<LONG>(state) < KSSTATE_RUN || SharedRead(ext->AudioHalted) != 0) {
        if (in.dpcIdleShowsPin)
            DbgPrint(in.dpcIdleTrace, pin, state);
        else
            DbgPrint("%s", in.dpcIdleTrace);
        return;
    }

    PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (pointer == nullptr) {
        DbgPrint("%s", in.dpcNoBufferTrace);
        KsPinAttemptProcessing(pin, TRUE);
        return;
    }
    PKSSTREAM_HEADER header = pointer->StreamHeader;
    PUCHAR ring = RingOf(in, ext);
    // The kernel's mapping of the buffer (header->Data is the client's user address).
    PUCHAR data = pointer->OffsetOut.Data;
    if (header == nullptr || data == nullptr || ring == nullptr) {
        DbgPrint("%s", in.dpcNoDataTrace);
        SkipBuffer(pin, pointer);
        return;
    }

    // The read position is set by the interrupt before the byte count that makes it usable, so
    // the count is read first.
    const ULONGLONG hwBytes = SharedRead(ch.AudioHwBytes);
    ULONGLONG delivered = SharedRead(ch.AudioDeliveredBytes);
    ULONG offset = SharedRead(ch.AudioReadOffset);
    SkipUnaccounted(ch, hwBytes, delivered, offset);
    ULONG pending = SkipOverwritten(ch, hwBytes, delivered, offset);

    // A buffer is filled whole, in sample frames, and never with more than the ring keeps
    // intact: a larger buffer receives kIntactBytes and says so in DataUsed.
    ULONG used = pointer->OffsetOut.Remaining;
    if (used > kIntactBytes) used = kIntactBytes;
    used -= used % kBlockAlign;

    // DataUsed is written only once the buffer is filled: a buffer still waiting for audio
    // that is flushed at STOP must not claim bytes it never received.
    if (pending < used) {
        LARGE_INTEGER due;
        due.QuadPart = kRetryDue;
        KeSetTimer(&ext->AudioTimer[in.channel], due, AudioDpc(ext, in.channel));
        KsStreamPointerUnlock(pointer, FALSE);
        return;
    }

    CopyFromRing(ring, offset, data, used);
    // The card keeps writing while the copy runs. Should the count show that it came round to
    // the bytes being copied (a run held up that long), or should the routine have found audio
    // it cannot account for, the copy is not handed out: the routine that moved the count has
    // asked for this delivery again, and that run skips what was lost and says so. The count
    // moves only when the routine runs, and a routine running late leaves the engine blocks
    // ahead of it, possibly already filling the oldest audio just copied: with a block pending
    // beyond the count it cannot be told how far the engine got, and the copy is not handed out
    // either; the routine queues this delivery again once it has counted the blocks.
    ChannelProgress progress;
    if (!ReadChannelProgress(ext, in.channel, progress) || progress.audioPending ||
        progress.audioBytes - delivered > kIntactBytes || SharedRead(ch.AudioResyncAt) > delivered) {
        KsStreamPointerUnlock(pointer, FALSE);
        return;
    }
    delivered += used;
    offset = static_cast<ULONG>((static_cast<ULONGLONG>(offset) + used) % kAudioRingSize);
    SharedWrite(ch.AudioDeliveredBytes, delivered);
    SharedWrite(ch.AudioReadOffset, offset);
    header->DataUsed = used;
    if (SharedRead(ch.AudioDiscontinuity) != 0) {
        header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
        SharedWrite(ch.AudioDiscontinuity, ULONG(0));
    }

    KsStreamPointerUnlock(pointer, TRUE);
    KsPinAttemptProcessing(pin, TRUE);

    // A run fills one buffer, and the card's interrupts bring one block each; audio that piled
    // up while the client had no buffers queued would so stay pending for good, every later
    // buffer a constant delay behind the card. While more than a block is still pending, run
    // again at once: the backlog drains as fast as the client gives buffers.
    if (SharedRead(ch.AudioHwBytes) - delivered >= kAudioBlockSize) {
        KeInsertQueueDpc(AudioDpc(ext, in.channel), nullptr, nullptr);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Formats

NTSTATUS IntersectHandler(const Input& in, PVOID Context, PKSDATARANGE CallerDataRange,
                          PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data, PULONG DataSize) {
    if (DataBufferSize == 0) {
        *DataSize = kFormatSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (DataBufferSize < kFormatSize) return STATUS_BUFFER_TOO_SMALL;

    // A client range too short to carry the audio fields is not read past its end: no match.
    if (CallerDataRange->FormatSize < kRangeFormatSize) {
        *DataSize = kFormatSize;
        return STATUS_NO_MATCH;
    }
    const KSDATARANGE_AUDIO* caller = reinterpret_cast<const KSDATARANGE_AUDIO*>(CallerDataRange);
    const KSDATARANGE_AUDIO* mine = reinterpret_cast<const KSDATARANGE_AUDIO*>(DescriptorDataRange);
    if (caller->MaximumChannels != mine->MaximumChannels ||
        caller->MinimumBitsPerSample != mine->MinimumBitsPerSample ||
        caller->MaximumBitsPerSample != mine->MaximumBitsPerSample ||
        caller->MinimumSampleFrequency != mine->MinimumSampleFrequency ||
        caller->MaximumSampleFrequency != mine->MaximumSampleFrequency) {
        *DataSize = kFormatSize;
        return STATUS_NO_MATCH;
    }

    devext* ext = DevextOf(Context);
    ULONG rate = SharedRead(ChannelOf(in, ext).AudioSampleRate);
    DbgPrint(in.intersectTrace, mine->MaximumBitsPerSample);

    PKSDATAFORMAT_WAVEFORMATEX format = static_cast<PKSDATAFORMAT_WAVEFORMATEX>(Data);
    RtlCopyMemory(&format->DataFormat, DescriptorDataRange, sizeof(KSDATAFORMAT));
    format->DataFormat.FormatSize = kFormatSize;
    format->WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
    format->WaveFormatEx.nChannels = kChannels;
    format->WaveFormatEx.nSamplesPerSec = rate;
    format->WaveFormatEx.wBitsPerSample = kBitsPerSample;
    format->WaveFormatEx.nBlockAlign = static_cast<WORD>((kBitsPerSample / 8) * kChannels);
    format->WaveFormatEx.nAvgBytesPerSec = format->WaveFormatEx.nBlockAlign * rate;
    format->WaveFormatEx.cbSize = 0;
    format->DataFormat.SampleSize = format->WaveFormatEx.nBlockAlign;
    *DataSize = kFormatSize;
    return STATUS_SUCCESS;
}

void SetRate(const Input& in, devext* ext) {
    ULONG lookedUp = kRate;

    // A failed read leaves the byte cleared rather than whatever the transfer left behind.
    UCHAR value = 0;
    AcquireI2cMaster(ext, in.i2cBlock);
    if (!I2c_Read(ext, in.i2cBlock, kRxIoMap, kRxIoCable, &value, 1)) value = 0;
    DbgPrint("%s connect:%x  \n", in.tag, static_cast<ULONG>(value));
    if (value & kRxIoCableBit) {
        value = 0;
        if (!I2c_Read(ext, in.i2cBlock, kRxHdmiMap, kRxHdmiChannelStatusFs, &value, 1)) value = 0;
        lookedUp = kSamplingFrequency[value & 0xF];
    }
    ReleaseI2cMaster(ext, in.i2cBlock);

    // The input's audio always runs at 48 kHz, whatever the source announces.
    ChannelState& ch = ChannelOf(in, ext);
    SharedWrite(ch.AudioSampleRate, kRate);
    in.ranges[0].MaximumSampleFrequency = kRate;
    in.ranges[0].MinimumSampleFrequency = kRate;
    DbgPrint(in.rateTrace, kRate, static_cast<ULONG>(value), lookedUp);
}

NTSTATUS SetFormat(const Input& in, PKSPIN Pin, const KSDATARANGE* DataRange) {
    DbgPrint("%s()\n", "DispatchSetFormat");
    devext* ext = DevextOf(Pin);
    const KSDATAFORMAT* format = Pin->ConnectionFormat;
    if (format == nullptr || format->FormatSize < kFormatSize) {
        DbgPrint("%s", in.formatShortTrace);
        return STATUS_NO_MATCH;
    }
    const KSDATAFORMAT_WAVEFORMATEX* wave = reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX*>(format);
    // The matched range is one of this pin's own audio ranges; anything shorter matches nothing.
    ULONG rangeRate = 0;
    if (DataRange != nullptr && DataRange->FormatSize >= kRangeFormatSize)
        rangeRate = reinterpret_cast<const KSDATARANGE_AUDIO*>(DataRange)->MaximumSampleFrequency;
    WORD tag = wave->WaveFormatEx.wFormatTag;
    if (tag != WAVE_FORMAT_PCM || rangeRate != SharedRead(ChannelOf(in, ext).AudioSampleRate)) {
        if (in.formatRefusedShowsFormat) {
            ULONG samplesPerSec = wave->WaveFormatEx.nSamplesPerSec;
            ULONG channels = wave->WaveFormatEx.nChannels;
            DbgPrint(in.formatRefusedTrace, samplesPerSec, channels);
        } else {
            DbgPrint(in.formatRefusedTrace, rangeRate);
        }
        return STATUS_NO_MATCH;
    }
    DbgPrint(in.formatAcceptedTrace, rangeRate);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Pin states

NTSTATUS NTAPI DispatchCreateClose(PKSPIN Pin, PIRP Irp) {
    UNREFERENCED_PARAMETER(Pin);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS SetState(const Input& in, PKSPIN Pin, KSSTATE ToState, KSSTATE FromState) {
    devext* ext = DevextOf(Pin);
    ChannelState& ch = ChannelOf(in, ext);
    const LONG to = static_cast<LONG>(ToState);
    const LONG from = static_cast<LONG>(FromState);
    DbgPrint("%s: %s()  :ToState=%d : FromState=%d\n", in.tag, "DispatchSetState", to, from);

    AcquireHwMutex(ext);
    PKSPIN owner = SharedRead(ch.AudioPin);
    if (owner != nullptr && owner != Pin) {
        TraceConflict(in, ToState, FromState);
        ReleaseHwMutex(ext);
        return STATUS_INVALID_DEVICE_STATE;
    }
    ReleaseHwMutex(ext);

    switch (to) {
    case KSSTATE_STOP:
        if (from > KSSTATE_STOP) {
            AcquireHwMutex(ext);
            SharedWrite(ch.AudioPin, static_cast<PKSPIN>(nullptr));
            ReleaseHwMutex(ext);
            // The pin may be closed as soon as this returns: let every run of the input's DPC
            // that may still hold it finish, and leave no timer that would queue another.
            WaitForDeliveryIdle(ch);
            KeCancelTimer(&ext->AudioTimer[in.channel]);
            KeFlushQueuedDpcs();
            HardwareReleaseResources(in, ext);
        }
        break;
    case KSSTATE_ACQUIRE:
        if (from < KSSTATE_ACQUIRE) {
            AcquireHwMutex(ext);
            if (SharedRead(ch.AudioPin) != nullptr) {
                TraceConflict(in, ToState, FromState);
                ReleaseHwMutex(ext);
                return STATUS_INVALID_DEVICE_STATE;
            }
            SharedWrite(ch.AudioPin, Pin);
            ReleaseHwMutex(ext);
            HardwareAcquireResources(in, ext);
            if (ch.AudioClock == nullptr) KsPinGetReferenceClockInterface(Pin, &ch.AudioClock);
        }
        break;
    case KSSTATE_PAUSE:
        if (from > KSSTATE_PAUSE) HardwarePause(in, ext);
        break;
    case KSSTATE_RUN:
        AcquireHwMutex(ext);
        if (SharedRead(ch.AudioPin) == nullptr) {
            TraceConflict(in, ToState, FromState);
            ReleaseHwMutex(ext);
            return STATUS_INVALID_DEVICE_STATE;
        }
        ReleaseHwMutex(ext);
        if (from < KSSTATE_RUN) HardwareRun(in, ext);
        break;
    default: break;
    }

    SharedWrite(ch.AudioState, static_cast<ULONG>(to));
    return STATUS_SUCCESS;
}

NTSTATUS HardwareAcquireResources(const Input& in, devext* ext) {
    DbgPrint("%s: %s()\n", in.tag, "HardwareAcquireResources");
    // A new stream: its first run follows nothing.
    SharedWrite(ChannelOf(in, ext).AudioDeliveredBytes, ULONGLONG(0));
    // A device stopping or gone frees the ring: it is cleared only while it is sure to be there.
    if (AcquireBuffers(ext)) {
        PUCHAR ring = RingOf(in, ext);
        if (ring != nullptr) RtlZeroMemory(ring, kAudioRingSize);
        ReleaseBuffers(ext);
    }
    return STATUS_SUCCESS;
}

void HardwareReleaseResources(const Input& in, devext* ext) {
    DbgPrint("%s: %s()\n", in.tag, "HardwareReleaseResources");
    ChannelState& ch = ChannelOf(in, ext);
    if (ch.AudioClock != nullptr) {
        ch.AudioClock->Release();
        ch.AudioClock = nullptr;
    }
}

NTSTATUS HardwareRun(const Input& in, devext* ext) {
    DbgPrint("%s: %s()\n", in.tag, "HardwareRun");
    ChannelState& ch = ChannelOf(in, ext);
    // A run of the DPC left over from the previous RUN would add to the counters after their
    // reset; runs that start from here on see the pin paused and leave them alone.
    WaitForDeliveryIdle(ch);
    // A run after a pause continues a stream with a hole where the pause (and perhaps a sleep)
    // was: its first buffer does not follow the last one delivered.
    const bool resumed = SharedRead(ch.AudioDeliveredBytes) != 0;
    SharedWrite(ch.AudioReadOffset, ULONG(0));
    SharedWrite(ch.AudioHwBytes, ULONGLONG(0));
    SharedWrite(ch.AudioDeliveredBytes, ULONGLONG(0));
    SharedWrite(ch.AudioLostBytes, ULONGLONG(0));
    SharedWrite(ch.AudioDiscontinuity, ULONG(resumed ? 1 : 0));
    SharedWrite(ch.AudioResyncAt, ULONGLONG(0));

    AcquireHwMutex(ext);
    // A PnP stop may have unmapped the window meanwhile; the restart programs the running pin.
    if (SharedRead(ext->RegisterBase) != nullptr) {
        ForgetAudioCompletions(ext, in.channel);
        StartAudioDma(ext, UCHAR(in.channel));
    }
    ReleaseHwMutex(ext);
    DbgPrint("%s:%d %s() end\n", in.file, __LINE__, "HardwareRun");
    return STATUS_SUCCESS;
}

NTSTATUS HardwarePause(const Input& in, devext* ext) {
    DbgPrint("%s: %s()\n", in.tag, "HardwarePause");
    AcquireHwMutex(ext);
    // A device that is stopped or gone has no window: its engines are already silent.
    StopAudioDma(ext, UCHAR(in.channel));
    ReleaseHwMutex(ext);
    DbgPrint("%s:%d %s() end\n", in.file, __LINE__, "HardwarePause");
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Delivery

NTSTATUS Process(const Input&, PKSPIN Pin) {
    // Delivery is driven by the audio DPC; the class is only told to come back when it asks.
    (void)DevextOf(Pin);
    return STATUS_PENDING;
}

void DpcRoutine(const Input& in, devext* ext) {
    ChannelState& ch = ChannelOf(in, ext);
    // The interrupt and the timer can start runs on two processors at once. Only one runs; a
    // run requested meanwhile is carried out by the running one when it finishes, so no
    // request is lost and the ring position is never updated twice at once.
    for (;;) {
        LONG seen = CompareExchange(ch.AudioDpcActive, kDpcRunning, kDpcIdle);
        if (seen == static_cast<LONG>(kDpcIdle)) break;
        if (seen == static_cast<LONG>(kDpcRerun)) return;
        if (CompareExchange(ch.AudioDpcActive, kDpcRerun, kDpcRunning) == static_cast<LONG>(kDpcRunning)) return;
    }
    for (;;) {
        DeliverOne(in, ext);
        if (CompareExchange(ch.AudioDpcActive, kDpcIdle, kDpcRunning) == static_cast<LONG>(kDpcRunning)) return;
        CompareExchange(ch.AudioDpcActive, kDpcRunning, kDpcRerun);
    }
}

}  // namespace audio

void HaltAudioDelivery(devext* ext) {
    // A run that started before the flag may still arm its timer: wait for it, then cancel. A
    // run the timer queued meanwhile finds the flag and leaves the timer alone.
    SharedWrite(ext->AudioHalted, ULONG(1));
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        audio::WaitForDeliveryIdle(ext->Channel[channel]);
        KeCancelTimer(&ext->AudioTimer[channel]);
    }
    KeFlushQueuedDpcs();
}

void ResumeAudioDelivery(devext* ext) {
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        ChannelState& ch = ext->Channel[channel];
        AcquireHwMutex(ext);
        if (SharedRead(ch.AudioPin) != nullptr && static_cast<LONG>(SharedRead(ch.AudioState)) == KSSTATE_RUN) {
            // The ring was freed with the old resources: delivery starts again from the engine's
            // first block, after a gap the client is told of.
            SharedWrite(ch.AudioReadOffset, ULONG(0));
            SharedWrite(ch.AudioHwBytes, ULONGLONG(0));
            SharedWrite(ch.AudioDeliveredBytes, ULONGLONG(0));
            SharedWrite(ch.AudioResyncAt, ULONGLONG(0));
            SharedWrite(ch.AudioDiscontinuity, ULONG(1));
            StartAudioDma(ext, UCHAR(channel));
        }
        ReleaseHwMutex(ext);
    }
    SharedWrite(ext->AudioHalted, ULONG(0));
}

// ---------------------------------------------------------------------------------------------
// Property handlers of the ADC node and of the capture pin: constant answers.

namespace {
template <typename T>
NTSTATUS Answer(PIRP Irp, PVOID Data, const T& value) {
    RtlCopyMemory(Data, &value, sizeof(T));
    Irp->IoStatus.Information = sizeof(T);
    return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS NTAPI KStrGetCpuResourcesHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    UNREFERENCED_PARAMETER(Request);
    DbgPrint("KStrGetCpuResourcesHandler\n");
    return Answer(Irp, Data, static_cast<ULONG>(KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU));
}

NTSTATUS NTAPI KStrGetAudioVolumelevelHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    UNREFERENCED_PARAMETER(Request);
    DbgPrint("KStrGetAudioVolumelevelHandler\n");
    return Answer(Irp, Data, static_cast<LONG>(0x7FFFFFFF));
}

NTSTATUS NTAPI KStrGetAudioAGCHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    UNREFERENCED_PARAMETER(Request);
    DbgPrint("KStrGetAudioAGCHandler\n");
    return Answer(Irp, Data, static_cast<ULONG>(1));
}

NTSTATUS NTAPI KStrGetAudioDynaSamplingRateHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    UNREFERENCED_PARAMETER(Request);
    DbgPrint("KStrGetAudioDynaSamplingRateHandler\n");
    return Answer(Irp, Data, static_cast<ULONG>(1));
}

NTSTATUS NTAPI KStrGetAudioLatencyHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    UNREFERENCED_PARAMETER(Request);
    DbgPrint("KStrGetAudioLatencyHandler\n");
    KSTIME latency;
    latency.Time = 10;
    latency.Numerator = 1;
    latency.Denominator = 1;
    return Answer(Irp, Data, latency);
}

NTSTATUS NTAPI KStrGetAudioSamplingRateHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    UNREFERENCED_PARAMETER(Request);
    DbgPrint("KStrGetAudioSamplingRateHandler\n");
    return Answer(Irp, Data, audio::kRate);
}

NTSTATUS NTAPI KStrSetAudioSamplingRateHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Request);
    UNREFERENCED_PARAMETER(Data);
    DbgPrint("KStrSetAudioSamplingRateHandler\n");
    return STATUS_ACCESS_VIOLATION;
}
