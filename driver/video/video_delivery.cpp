// Frame delivery: the video DPC signals a completed frame, and the pin's Process dispatch copies
// the buffer the engine's status names (weaving two fields for an interlaced signal) into the
// leading stream buffer, stamps it and completes it.
#include "driver/core/buffers.h"
#include "driver/hw/engines.h"
#include "driver/video/video_input.h"

namespace video {

namespace {

ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

}  // namespace

CopyPlan PlanCopy(ULONG width, ULONG height, bool interlaced, ULONG index, ULONG frameExtent) {
    CopyPlan plan = {};
    // No geometry, or a line longer than a whole DMA buffer: nothing can be read.
    if (width == 0 || height == 0 || width > kVideoBufferSize / 2) return plan;
    plan.lineBytes = width * 2;
    const ULONG bufferLines = kVideoBufferSize / plan.lineBytes;  // lines one DMA buffer holds

    if (!interlaced) {
        // A progressive frame is one buffer; index 3 names none, so nothing valid can be
        // copied and the client's buffer waits for the next frame.
        if (index >= kVideoNoIndex) return plan;
        plan.deliver = true;
        plan.dstPitch = plan.lineBytes;  // always packed
        plan.lines = Min(Min(height, bufferLines), frameExtent / plan.lineBytes);
        plan.dataUsed = plan.lines == height ? frameExtent : plan.lines * plan.lineBytes;
        return plan;
    }

    // Woven: frame line d comes from line d / 2 of a field buffer, written at the client's
    // pitch. A buffer too small for the pitch to hold a line gets packed lines instead.
    plan.deliver = true;
    const ULONG pitchPixels = (frameExtent / height) / 2;
    const bool pitchHoldsLine = pitchPixels >= width;
    plan.dstPitch = pitchHoldsLine ? pitchPixels * 2 : plan.lineBytes;
    const ULONG fitLines = frameExtent >= plan.lineBytes ? (frameExtent - plan.lineBytes) / plan.dstPitch + 1 : 0;
    // Field lines beyond a DMA buffer cannot be read: frame lines up to 2 × bufferLines.
    plan.lines = Min(Min(height, bufferLines * 2), fitLines);
    if (plan.lines == height && pitchHoldsLine)
        plan.dataUsed = frameExtent;
    else
        plan.dataUsed = plan.lines == 0 ? 0 : (plan.lines - 1) * plan.dstPitch + plan.lineBytes;
    return plan;
}

void FrameDpc(PVOID deferredContext, const Input& in) {
    auto* ext = static_cast<devext*>(deferredContext);
    KeSetEvent(&ext->Channel[in.channel].FrameEvent, 0, FALSE);
}

namespace {

// A frame whose receiver check came late and that nothing else vouches for: taken as it comes
// only if it began a stream of its own right after the frame last held back for lateness, and
// completed within two units of the moment that frame's check was asked. That check found the
// format's signal; a frame of another mode needs the receiver to lock on it (longer than a unit)
// and then a unit of its own, so this one cannot be of another mode. A Process that is always late
// behind a card that completes one frame and nothing more for a while (frames stepped one at a
// time) would otherwise deliver nothing. A late frame that continues a stream whose beginning was
// held stays held: those are the frames of a mode the source left and came back from before the
// receiver was asked. So does a new stream that began long after that check: the source may have
// gone to another mode and come back meanwhile.
bool LateFrameMayGo(const ChannelState& ch, ULONG units, bool interlaced) {
    const ULONG unitsPerFrame = interlaced ? 2 : 1;
    if (SharedRead(ch.SignalLateHeld) == 0 || units - SharedRead(ch.SignalLateHeldUnit) > unitsPerFrame ||
        units - SharedRead(ch.VideoGapUnit) >= unitsPerFrame)
        return false;
    // The latest completion, this frame's or one after it: never earlier than this frame's.
    return SharedRead(ch.VideoEventTime) - SharedRead(ch.SignalLateHeldAsked) <= 2 * SignalUnit(ch);
}

NTSTATUS ProcessFrame(const Input& in, PKSPIN pin, devext* ext) {
    ChannelState& ch = ext->Channel[in.channel];

    const ULONG state = SharedRead(ch.VideoState);
    if (state < KSSTATE_RUN) {
        if (in.notRunKind == NotRunTrace::State)
            DbgPrint(in.notRunTrace, state);
        else
            DbgPrint(in.notRunTrace, pin, state);
        return STATUS_PENDING;
    }

    LARGE_INTEGER timeout;
    timeout.QuadPart = in.frameTimeout;
    if (KeWaitForSingleObject(&ch.FrameEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        DbgPrint(in.noDataTrace);
        // No frame may mean no signal, or one the engine no longer announces as this pin
        // expects (an interlaced wait sees no bottom field from a progressive source): that is
        // a gap, and the trace tells why nothing comes.
        if (SharedRead(ch.VideoState) == KSSTATE_RUN) SignalFitsFormat(ext, in);
        KsPinAttemptProcessing(pin, TRUE);
        return STATUS_PENDING;
    }
    // Leaving RUN sets the event so that a STOP does not wait out the time-out: no frame then.
    // So does a teardown, which waits for this call before it frees the buffers.
    if (SharedRead(ch.VideoState) < KSSTATE_RUN || SharedRead(ext->BuffersOpen) == 0) return STATUS_PENDING;

    // The class holds the pin's processing mutex around this call (it is not recursive: taking
    // it here would wait for ourselves), so the copy below is already exclusive.
    PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (!pointer) {
        DbgPrint(in.noPointerTrace);
        KsPinAttemptProcessing(pin, TRUE);
        return STATUS_PENDING;
    }

    // The buffer as the kernel may write it: header->Data is the client's own (user-mode)
    // address, not to be touched from here.
    PKSSTREAM_HEADER header = pointer->StreamHeader;
    auto* data = pointer->OffsetOut.Data;
    const ULONG capacity = pointer->OffsetOut.Remaining;
    if (!header || !data) {
        DbgPrint(in.noBufferTrace);
        SharedWrite(ch.DropCount, SharedRead(ch.DropCount) + 1);
        // A successful advance leaves the edge locked on the next buffer; the next call locks
        // it again, so it is unlocked here.
        if (in.advanceBeforeAttempt) {
            if (NT_SUCCESS(KsStreamPointerAdvance(pointer))) KsStreamPointerUnlock(pointer, FALSE);
            KsPinAttemptProcessing(pin, TRUE);
        } else {
            KsPinAttemptProcessing(pin, TRUE);
            if (NT_SUCCESS(KsStreamPointerAdvance(pointer))) KsStreamPointerUnlock(pointer, FALSE);
        }
        return STATUS_PENDING;
    }

    KeClearEvent(&ch.FrameEvent);

    // While the signal is known not to fit, every frame the card announces has the wrong
    // geometry: it is checked again before anything is copied. Once it fits again, the frame the
    // status names may still be one of the old signal (the receiver reports a new mode before
    // the engine has written a frame of it), so it is passed over too: frames are taken again
    // from the next one the card completes. Only a completion not looked at yet tells: a wake-up
    // that brings none (the DPC of a unit an earlier call already took) asks nothing, or a
    // receiver that locked meanwhile would end the gap without a frame, and the next frame, which
    // may still be one of the old signal, would go out.
    if (SharedRead(ch.SignalMismatch)) {
        if (VideoEvent::Units(SharedRead(ch.VideoEvent)) != SharedRead(ch.VideoTakenUnit)) {
            SignalFitsFormat(ext, in, true);
            // Everything completed up to the end of the check is passed over.
            SharedWrite(ch.VideoTakenUnit, VideoEvent::Units(SharedRead(ch.VideoEvent)));
        }
        KsStreamPointerUnlock(pointer, FALSE);
        KsPinAttemptProcessing(pin, TRUE);
        return STATUS_PENDING;
    }

    // The completion the interrupt routine recorded last, whole. A wake-up whose event was
    // already taken (the DPC of a frame copied before it ran, or a frame held back) brings
    // nothing new: no frame is copied twice.
    const ULONGLONG event = SharedRead(ch.VideoEvent);
    const ULONG units = VideoEvent::Units(event);
    if ((event & VideoEvent::kNone) != 0 || units == SharedRead(ch.VideoTakenUnit)) {
        KsStreamPointerUnlock(pointer, FALSE);
        KsPinAttemptProcessing(pin, TRUE);
        return STATUS_PENDING;
    }
    SharedWrite(ch.VideoTakenUnit, units);

    // One consistent view of the format for this frame.
    const ULONG width = SharedRead(ch.Width);
    const ULONG height = SharedRead(ch.Height);
    const bool interlaced = SharedRead(ch.Interlaced) != 0;
    const ULONG index = VideoEvent::Index(event);
    const CommonBuffer* buffers = VideoBuffers(ext, in.channel);

    CopyPlan plan = PlanCopy(width, height, interlaced, index, capacity);
    if (plan.deliver && plan.lines == 0) {
        // Not even one line fits: no frame can ever be delivered in this buffer. It goes back
        // empty and the frame counts as dropped, never as a delivered frame with no data.
        SharedWrite(ch.DropCount, SharedRead(ch.DropCount) + 1);
        KsStreamPointerUnlock(pointer, TRUE);
        KsPinAttemptProcessing(pin, TRUE);
        return STATUS_PENDING;
    }
    // Frames that may not be what they claim are held back (the client's buffer stays queued for
    // the next frame) and counted: a woven frame whose two fields may not belong together (the
    // stream began, or began again, between them), and any copy during which the engine
    // completed another unit.
    bool suspect = false;
    if (plan.deliver && (event & VideoEvent::kWhole) == 0) {
        plan.deliver = false;
        suspect = true;
    }
    if (plan.deliver) {
        if (interlaced) {
            const auto* top = static_cast<const UCHAR*>(buffers[(index + 1) % 3].VirtAddr);
            const auto* bottom = static_cast<const UCHAR*>(buffers[(index + 2) % 3].VirtAddr);
            if (!top || !bottom) plan.deliver = false;
            if (plan.deliver) {
                for (ULONG row = 0; row < plan.lines; row += 2) {
                    const ULONG source = (row / 2) * plan.lineBytes;
                    if (row + 1 < plan.lines)
                        RtlCopyMemory(data + (row + 1) * plan.dstPitch, bottom + source, plan.lineBytes);
                    RtlCopyMemory(data + row * plan.dstPitch, top + source, plan.lineBytes);
                }
            }
        } else {
            const auto* frame = static_cast<const UCHAR*>(buffers[index].VirtAddr);
            if (!frame) plan.deliver = false;
            if (plan.deliver) RtlCopyMemory(data, frame, plan.lines * plan.lineBytes);
        }
        // The engine does not wait for the copy. After the unit copied from it writes the next
        // buffer; once that one completes it starts on a buffer just read (the woven frame's
        // top field, or, a unit later, the progressive frame itself), line by line, so a copy
        // that saw another completion may hold lines of two frames. The interrupt routine
        // records every completion; what it has not recorded yet (it may run late) is still
        // pending in the card's status. Neither moved: the copy is whole, and the engine was
        // not asked where it is.
        ChannelProgress progress;
        if (plan.deliver && (!ReadChannelProgress(ext, in.channel, progress) ||
                             VideoEvent::Units(progress.videoEvent) != units || progress.videoPending)) {
            plan.deliver = false;
            suspect = true;
        }
    }

    // The source may have changed before the engine wrote this frame or while it was copied; a
    // frame of another geometry arrives only once the receiver reports that geometry, so asking
    // the receiver after the copy tells whether the copy holds a frame of the format. A receiver
    // changes mode only by locking anew, which stops the stream, or shows as another rate: the
    // receiver is asked before delivery then, not for every frame. An answer given long after the
    // frame completed, with nothing completed since, does not speak for it: a source that changed
    // and came back meanwhile has the receiver report the format again, while the frame was
    // written in the other mode.
    // An answer that came late still speaks for the frame once another frame of its stream
    // followed it; failing that, a frame that began its own stream right after one held back for
    // lateness goes out (see LateFrameMayGo).
    if (plan.deliver && SignalInDoubt(ext, in)) {
        // The receiver answers at some moment of the transfer: no earlier than this.
        const LONGLONG asked = Now100ns();
        if (!SignalFitsFormat(ext, in, true)) {
            plan.deliver = false;
        } else if (!SignalCheckCovers(ext, in, units) && !LateFrameMayGo(ch, units, interlaced)) {
            SharedWrite(ch.SignalLateHeld, ULONG(1));
            SharedWrite(ch.SignalLateHeldUnit, units);
            SharedWrite(ch.SignalLateHeldAsked, asked);
            plan.deliver = false;
            suspect = true;
        } else {
            SharedWrite(ch.SignalLateHeld, ULONG(0));
        }
    }

    if (!plan.deliver) {
        if (suspect) SharedWrite(ch.FramesHeldBack, SharedRead(ch.FramesHeldBack) + 1);
        KsStreamPointerUnlock(pointer, FALSE);
        KsPinAttemptProcessing(pin, TRUE);
        return STATUS_PENDING;
    }

    // A frame that does not follow the one delivered before it (frames passed over, or the
    // source stopped and came back between them) says so, as does the first after a signal gap.
    const ULONG unitsPerFrame = interlaced ? 2 : 1;
    const ULONG previous = SharedRead(ch.VideoDeliveredUnit);
    bool discontinuity = SharedRead(ch.SignalGap) != 0;
    if (SharedRead(ch.VideoDeliveredAny) != 0 &&
        (units - previous > unitsPerFrame || LONG(SharedRead(ch.VideoGapUnit) - previous) > 0))
        discontinuity = true;
    SharedWrite(ch.VideoDeliveredUnit, units);
    SharedWrite(ch.VideoDeliveredAny, ULONG(1));

    SharedWrite(ch.FrameCount, SharedRead(ch.FrameCount) + 1);
    header->DataUsed = plan.dataUsed;
    if (discontinuity) {
        SharedWrite(ch.SignalGap, ULONG(0));
        header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
    }
    PIKSREFERENCECLOCK clock = SharedRead(ch.VideoClock);
    if (clock) {
        LONGLONG systemTime;
        header->PresentationTime.Numerator = 1;
        header->PresentationTime.Denominator = 1;
        header->Duration = SharedRead(ch.AvgTimePerFrame);
        header->PresentationTime.Time = clock->GetCorrelatedTime(&systemTime);
        header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    }
    if (header->Size >= kHeaderWithFrameInfo) {
        auto* info = reinterpret_cast<KS_FRAME_INFO*>(header + 1);
        if (in.clearFrameInfo) RtlZeroMemory(info, sizeof(KS_FRAME_INFO));
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        info->dwFrameFlags = 0;
        info->PictureNumber = static_cast<LONGLONG>(SharedRead(ch.FrameCount));
        info->DropCount = static_cast<LONGLONG>(SharedRead(ch.DropCount));
    }

    KsStreamPointerUnlock(pointer, TRUE);
    // Between doubts the receiver is still asked now and then, once the frame has gone out.
    if (SignalCheckDue(ext, in)) SignalFitsFormat(ext, in, true);
    KsPinAttemptProcessing(pin, TRUE);
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS Process(const Input& in, PKSPIN pin) {
    devext* ext = DevextOf(pin);
    // Between the stop and the start of a rebalance the buffers are gone: the restart asks for
    // processing again. Once the card is gone they never come back: the pin's buffers stay
    // queued until its client, told of the removal, stops it and so gets them back.
    if (!AcquireBuffers(ext)) return STATUS_PENDING;
    const NTSTATUS status = ProcessFrame(in, pin, ext);
    ReleaseBuffers(ext);
    return status;
}

}  // namespace video
