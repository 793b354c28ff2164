// The DMA engines' start and stop sequences, and the read of their progress under the interrupt
// lock.
#include "driver/hw/engines.h"

#include "driver/core/buffers.h"
#include "driver/hw/registers.h"

namespace {

struct ProgressRead {
    devext* ext;
    ULONG channel;
    ChannelProgress* out;
};

BOOLEAN NTAPI ReadProgress(PVOID context) {
    auto* read = static_cast<ProgressRead*>(context);
    ChannelState& ch = read->ext->Channel[read->channel];
    const ULONG status = ReadRegister(read->ext, kRegInterruptStatus);
    read->out->videoEvent = SharedRead(ch.VideoEvent);
    read->out->audioBytes = SharedRead(ch.AudioHwBytes);
    read->out->videoPending = status == kCardGone || (status & VideoBit(read->channel)) != 0;
    read->out->audioPending = status == kCardGone || (status & AudioBit(read->channel)) != 0;
    return TRUE;
}

struct CompletionsForgotten {
    devext* ext;
    ULONG channel;
    bool audio;
};

BOOLEAN NTAPI ForgetCompletions(PVOID context) {
    auto* forget = static_cast<CompletionsForgotten*>(context);
    ChannelState& ch = forget->ext->Channel[forget->channel];
    const ULONG bit = forget->audio ? AudioBit(forget->channel) : VideoBit(forget->channel);
    const ULONG status = ReadRegister(forget->ext, kRegInterruptStatus);
    // The write-back acknowledges only the bits written: other causes stay for the routine.
    if (status != kCardGone && (status & bit) != 0) WriteRegister(forget->ext, kRegInterruptStatus, bit);
    if (forget->audio) {
        // No block counted: the routine takes the next one for the run's first.
        SharedWrite(ch.AudioHwBytes, ULONGLONG(0));
        SharedWrite(ch.AudioReadOffset, ULONG(0));
        SharedWrite(ch.AudioResyncAt, ULONGLONG(0));
    } else {
        SharedWrite(ch.VideoEvent, VideoEvent::kNone);
        SharedWrite(ch.VideoGapUnit, ULONG(0));
    }
    return TRUE;
}

// A PnP stop disconnects the interrupt, and frees its object, while the window is still mapped:
// the mapped window alone does not keep the object. The stop closes the buffers' gate and waits
// for those inside before it disconnects, and a start opens it only once connected, so inside the
// gate the object stays connected. A stop that has begun leaves nothing to forget: the restart
// starts the engine afresh.
void Forget(devext* ext, ULONG channel, bool audio) {
    if (channel >= kChannelCount || !AcquireBuffers(ext)) return;
    PKINTERRUPT interrupt = ext->InterruptObject;
    if (interrupt != nullptr) {
        CompletionsForgotten forget = {ext, channel, audio};
        KeSynchronizeExecution(interrupt, ForgetCompletions, &forget);
    }
    ReleaseBuffers(ext);
}

// Engines stopped, buffers new: nothing the card completed before belongs to them.
BOOLEAN NTAPI ForgetEarlierCompletions(PVOID context) {
    auto* ext = static_cast<devext*>(context);
    constexpr ULONG kEngineBits = kCardBits & ~kI2cBits;
    const ULONG status = ReadRegister(ext, kRegInterruptStatus);
    if (status != kCardGone && (status & kEngineBits) != 0)
        WriteRegister(ext, kRegInterruptStatus, status & kEngineBits);
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        ChannelState& ch = ext->Channel[channel];
        const ULONGLONG event = SharedRead(ch.VideoEvent);
        if ((event & VideoEvent::kNone) != 0) continue;
        // Taken, and naming no buffer: the count of units goes on (so the pin's comparisons with
        // what it delivered hold), and the engine's next completion begins a stream.
        const ULONG units = VideoEvent::Units(event);
        SharedWrite(ch.VideoEvent, VideoEvent::Make(units, kVideoNoIndex, false, false));
        SharedWrite(ch.VideoTakenUnit, units);
    }
    return TRUE;
}

}  // namespace

// A stop leaves in the card's status what its engines completed while interrupts were off, and in
// the routine's records what the pins had not taken yet; the buffers they name are freed with
// the stop. The new connection's routine would serve them as soon as interrupts are on, and
// Process would copy a buffer allocated since. Called at a start, engines stopped, before the
// buffers' gate opens (no Process copies) and before interrupts are enabled.
void ForgetCompletionsBeforeStart(devext* ext) {
    if (ext->InterruptObject != nullptr)
        KeSynchronizeExecution(ext->InterruptObject, ForgetEarlierCompletions, ext);
    else
        ForgetEarlierCompletions(ext);
}

// The interrupt of an engine's last completion may come late (another device's routine first, a
// virtual processor not running), after the next run has begun: taken for that run's first
// completion, it would name a buffer or a block cleared or written since. With the engine stopped,
// what is pending now is of the run before; under the interrupt's lock the routine is not
// part-way through recording one. Without a connected interrupt nothing can be pending.
void ForgetVideoCompletions(devext* ext, ULONG channel) { Forget(ext, channel, false); }

void ForgetAudioCompletions(devext* ext, ULONG channel) { Forget(ext, channel, true); }

// Under the interrupt's lock the routine is either not yet at the status, or done with it and
// with everything it records: a completion is in the records or still pending, never in neither.
// Only the read-back write acknowledges a cause, so this read leaves the status to the routine.
bool ReadChannelProgress(devext* ext, ULONG channel, ChannelProgress& progress) {
    PKINTERRUPT interrupt = ext->InterruptObject;
    if (interrupt == nullptr || channel >= kChannelCount) {
        return false;
    }
    ProgressRead read = {ext, channel, &progress};
    KeSynchronizeExecution(interrupt, ReadProgress, &read);
    return true;
}

void StartVideoDma(devext* ext, UCHAR channel) {
    if (channel >= kChannelCount) {
        return;
    }
    const ChannelState& ch = ext->Channel[channel];
    const ULONGLONG frame = ULONGLONG(ch.Width) * ch.Height;
    // YUY2 is two bytes a pixel; an interlaced unit is one field, half the frame's lines.
    const ULONGLONG unitBytes = SharedRead(ch.Interlaced) == 1 ? frame : frame * 2;
    // The engine would write past the end of its 4 MiB buffers.
    if (unitBytes > kVideoBufferSize) {
        DbgPrint("StartVideoDma: channel %d needs %u bytes a unit, more than its buffers hold\n", channel,
                 ULONG(unitBytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : unitBytes));
        return;
    }
    // A device stopped or gone has no window: the engine is programmed again at the restart.
    // The buffers' gate is held while the engine is given their addresses: a stop that has begun
    // (the gate closed, its engines about to be silenced and the buffers freed) is never followed
    // by an engine started on buffers about to go, and one that begins meanwhile silences the
    // engine only once this is done.
    if (SharedRead(ext->RegisterBase) == nullptr || !AcquireBuffers(ext)) {
        return;
    }
    const ULONG v = kVideoBlock[channel];
    const CommonBuffer* buffers = VideoBuffers(ext, channel);
    ReadRegister(ext, v + kVideoControl);
    WriteRegister(ext, kVideoEnable[channel], 1);
    WriteRegister(ext, v + kVideoUnitBytes, ULONG(unitBytes));
    WriteRegister(ext, v + kVideoAddr0High, ULONG(buffers[0].PhysAddr.HighPart));
    WriteRegister(ext, v + kVideoAddr0Low, buffers[0].PhysAddr.LowPart);
    WriteRegister(ext, v + kVideoAddr1Low, buffers[1].PhysAddr.LowPart);
    WriteRegister(ext, v + kVideoAddr2Low, buffers[2].PhysAddr.LowPart);
    WriteRegister(ext, v + kVideoControl, 1);  // start last, once everything is programmed
    ReleaseBuffers(ext);
}

void StopVideoDma(devext* ext, UCHAR channel) {
    if (channel >= kChannelCount || SharedRead(ext->RegisterBase) == nullptr) {
        return;
    }
    const ULONG v = kVideoBlock[channel];
    ReadRegister(ext, v + kVideoControl);
    WriteRegister(ext, kVideoEnable[channel], 0);
    WriteRegister(ext, v + kVideoControl, 0);
}

void StartAudioDma(devext* ext, UCHAR channel) {
    // As for video: no engine is started on a ring a stop that has begun is about to free.
    if (channel >= kChannelCount || SharedRead(ext->RegisterBase) == nullptr || !AcquireBuffers(ext)) {
        return;
    }
    const ULONG a = kAudioBlock[channel];
    const ULONGLONG bus = static_cast<ULONGLONG>(ext->channelallaudiobuf.PhysAddr.QuadPart);
    WriteRegister(ext, a + kAudioAddrHigh, static_cast<ULONG>(bus >> 32));
    WriteRegister(ext, a + kAudioAddrLow, static_cast<ULONG>(bus) + channel * kAudioRingSize);
    WriteRegister(ext, a + kAudioRingBytes, kAudioRingSize);
    WriteRegister(ext, a + kAudioBlockBytes, kAudioBlockSize);
    (void)ReadRegister(ext, a + kAudioControl);
    WriteRegister(ext, kAudioEnable[channel], 1);
    WriteRegister(ext, a + kAudioControl, 1);  // start last, once everything is programmed
    ReleaseBuffers(ext);
}

void StopAudioDma(devext* ext, UCHAR channel) {
    if (channel >= kChannelCount || SharedRead(ext->RegisterBase) == nullptr) {
        return;
    }
    WriteRegister(ext, kAudioEnable[channel], 0);
    WriteRegister(ext, kAudioBlock[channel] + kAudioControl, 0);
}

void SilenceEngines(devext* ext) {
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        WriteRegister(ext, kAudioEnable[channel], 0);
        WriteRegister(ext, kAudioBlock[channel] + kAudioControl, 0);
        WriteRegister(ext, kVideoEnable[channel], 0);
        WriteRegister(ext, kVideoBlock[channel] + kVideoControl, 0);
    }
}
