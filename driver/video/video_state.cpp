// The video pin's stream states: ownership of the input, the graph's clock, and the input's
// video DMA engine, which runs exactly between HardwareRun and HardwarePause.
#include "driver/core/buffers.h"
#include "driver/hw/engines.h"
#include "driver/video/video_input.h"

namespace video {

NTSTATUS NTAPI DispatchCreateClose(PKSPIN pin, PIRP irp) {
    (void)pin;
    (void)irp;
    return STATUS_SUCCESS;
}

void ClearVideoBuffers(devext* ext, const Input& in) {
    // A device stopping or gone frees the buffers: they are cleared only while sure to be there.
    if (!AcquireBuffers(ext)) return;
    const CommonBuffer* buffers = VideoBuffers(ext, in.channel);
    for (ULONG i = 0; i < 3; ++i)
        if (buffers[i].VirtAddr) RtlZeroMemory(buffers[i].VirtAddr, kVideoBufferSize);
    ReleaseBuffers(ext);
}

NTSTATUS HardwareAcquireResources(devext* ext, const Input& in) {
    DbgPrint(in.acquireTrace, "HardwareAcquireResources");
    // A new stream: its first run follows nothing.
    SharedWrite(ext->Channel[in.channel].VideoDeliveredAny, ULONG(0));
    ClearVideoBuffers(ext, in);
    return STATUS_SUCCESS;
}

void HardwareReleaseResources(devext* ext, const Input& in) {
    DbgPrint(in.stepTrace, "HardwareReleaseResources");
    ChannelState& ch = ext->Channel[in.channel];
    PIKSREFERENCECLOCK clock = SharedRead(ch.VideoClock);
    if (clock) {
        SharedWrite(ch.VideoClock, PIKSREFERENCECLOCK(nullptr));
        clock->Release();
    }
}

NTSTATUS HardwareRun(devext* ext, const Input& in) {
    DbgPrint(in.stepTrace, "HardwareRun");
    ChannelState& ch = ext->Channel[in.channel];
    // A run after a pause continues a stream that has a hole where the pause (and perhaps a
    // sleep) was: its first frame does not follow the last one delivered.
    const bool resumed = SharedRead(ch.VideoDeliveredAny) != 0;
    SharedWrite(ch.FrameCount, ULONG(0));
    SharedWrite(ch.DropCount, ULONGLONG(0));
    SharedWrite(ch.FramesHeldBack, ULONGLONG(0));
    // The engine's completions are counted afresh: nothing taken or delivered yet in this run.
    SharedWrite(ch.VideoEvent, VideoEvent::kNone);
    SharedWrite(ch.VideoTakenUnit, ULONG(0));
    SharedWrite(ch.VideoDeliveredUnit, ULONG(0));
    SharedWrite(ch.VideoDeliveredAny, ULONG(0));
    SharedWrite(ch.VideoGapUnit, ULONG(0));
    // A wake-up left from an earlier run (a frame that came while no buffer was queued) names a
    // buffer cleared since: only frames of this run may be delivered.
    KeClearEvent(&ch.FrameEvent);
    // The signal is checked again.
    SharedWrite(ch.SignalGap, ULONG(resumed ? 1 : 0));
    SharedWrite(ch.SignalMismatch, ULONG(0));
    SharedWrite(ch.SignalLateHeld, ULONG(0));
    AcquireHwMutex(ext);
    // A PnP stop may have unmapped the window meanwhile (the class does not hold a state change
    // back for it): nothing is asked of the hardware then, and the restart programs the running
    // pin. Under HwMutex the window stays whole or gone throughout.
    if (SharedRead(ext->RegisterBase) != nullptr) {
        // The engine's unit and the copy follow the scan type, which the source may have changed
        // since the format was set; a stale one would leave an interlaced pin waiting for bottom
        // fields that never come, and a STOP and RUN would not help.
        RefreshScan(ext, in);
        StartWatch(ext, in);
        ForgetVideoCompletions(ext, in.channel);
        StartVideoDma(ext, UCHAR(in.channel));
    }
    ReleaseHwMutex(ext);
    DbgPrint("%s:%d %s() end\n", in.sourceFile, in.runEndLine, "HardwareRun");
    return STATUS_SUCCESS;
}

NTSTATUS HardwarePause(devext* ext, const Input& in) {
    DbgPrint(in.stepTrace, "HardwarePause");
    AcquireHwMutex(ext);
    StopVideoDma(ext, UCHAR(in.channel));
    ReleaseHwMutex(ext);
    DbgPrint("%s:%d %s() end\n", in.sourceFile, in.pauseEndLine, "HardwarePause");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchSetState(const Input& in, PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
    devext* ext = DevextOf(pin);
    ChannelState& ch = ext->Channel[in.channel];
    const LONG to = static_cast<LONG>(toState);
    const LONG from = static_cast<LONG>(fromState);
    DbgPrint(in.stateTrace, "DispatchSetState", to, from);

    AcquireHwMutex(ext);
    if (ch.VideoPin && ch.VideoPin != pin) {
        DbgPrint(in.foreignOwnerTrace, "DispatchSetState", to, from);
        ReleaseHwMutex(ext);
        return STATUS_INVALID_DEVICE_STATE;
    }
    ReleaseHwMutex(ext);
    // Recorded before the RUN ownership check below, so a refused RUN still reads 3.
    SharedWrite(ch.VideoState, static_cast<ULONG>(to));

    switch (to) {
    case KSSTATE_STOP:
        if (from > KSSTATE_STOP) {
            // A Process call still in flight may be about to stamp with the clock: taking the
            // pin's processing mutex lets it finish first. Only then is the clock released and
            // the input handed over, so a pin of another instance that claims the input next
            // neither finds this pin's clock nor has its frames completed by this pin's Process.
            KsPinAcquireProcessingMutex(pin);
            HardwareReleaseResources(ext, in);
            KsPinReleaseProcessingMutex(pin);
            AcquireHwMutex(ext);
            ch.VideoPin = nullptr;
            ReleaseHwMutex(ext);
        }
        return STATUS_SUCCESS;

    case KSSTATE_ACQUIRE:
        if (from >= KSSTATE_ACQUIRE) return STATUS_SUCCESS;
        AcquireHwMutex(ext);
        if (ch.VideoPin) {
            DbgPrint(in.ownershipTrace, "DispatchSetState", to, from);
            ReleaseHwMutex(ext);
            return STATUS_INVALID_DEVICE_STATE;
        }
        ch.VideoPin = pin;
        TakeFormatOfOwner(ext, in, pin);
        ReleaseHwMutex(ext);
        HardwareAcquireResources(ext, in);
        if (!SharedRead(ch.VideoClock)) {
            // Without a master clock the call fails and leaves the slot untouched: frames go
            // out without time stamps.
            PIKSREFERENCECLOCK clock = nullptr;
            if (NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &clock)) && clock) SharedWrite(ch.VideoClock, clock);
        }
        return STATUS_SUCCESS;

    case KSSTATE_PAUSE:
        if (from > KSSTATE_PAUSE) {
            HardwarePause(ext, in);
            // Wake a Process call waiting for a frame: it sees the state and returns at once,
            // so the STOP that follows does not wait out its time-out.
            KeSetEvent(&ch.FrameEvent, 0, FALSE);
        }
        return STATUS_SUCCESS;

    case KSSTATE_RUN:
        AcquireHwMutex(ext);
        if (!ch.VideoPin) {
            DbgPrint(in.ownershipTrace, "DispatchSetState", to, from);
            ReleaseHwMutex(ext);
            return STATUS_INVALID_DEVICE_STATE;
        }
        ReleaseHwMutex(ext);
        if (from < KSSTATE_RUN) HardwareRun(ext, in);
        return STATUS_SUCCESS;

    default: return STATUS_SUCCESS;
    }
}

}  // namespace video
