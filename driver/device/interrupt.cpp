// The interrupt service routine: acknowledges the card's causes, records the engines' progress
// and queues the DPCs of the channels it concerns.
#include "driver/device/device.h"
#include "driver/hw/registers.h"

namespace {

// Audio: a block takes 10 ms (1,920 bytes of 48 kHz stereo 16-bit PCM). Time the blocks found do
// not account for, beyond what a late or jittery routine explains, means the count cannot be
// trusted: the routine was held up for a whole ring or more (the register counts blocks modulo
// the ring's sixteen), or the source stopped and came back.
constexpr LONGLONG kAudioBlockTime = 100000;  // 100 ns units
constexpr ULONG kAudioRingBlocks = kAudioBlockMask + 1;
constexpr ULONG kAudioUnexplainedBlocks = 4;

void AudioSource(devext* ext, ULONG channel) {
    ChannelState& ch = ext->Channel[channel];
    const ULONG value = ReadRegister(ext, kAudioBlock[channel]);
    // The card left the bus after its status was read: the block number would be all ones too,
    // and audio it never wrote would be counted.
    if (value == kCardGone) {
        return;
    }
    const ULONG current = value & kAudioBlockMask;
    const ULONGLONG bytes = SharedRead(ch.AudioHwBytes);
    const LONGLONG now = Now100ns();
    ULONG block = current;
    ULONGLONG total;
    if (bytes == 0) {
        // First block since the engine started: the register already names the block being
        // filled, so delivery starts with the one before it.
        block = (current + kAudioBlockMask) & kAudioBlockMask;
        SharedWrite(ch.AudioReadOffset, block * kAudioBlockSize);
        total = kAudioBlockSize;
    } else {
        // Progress comes from the engine's position, not from the number of interrupts: a late
        // routine, merged messages or a level line served once for two causes find several
        // blocks completed behind one status bit.
        const ULONG completed = (current - SharedRead(ch.AudioSeenBlock)) & kAudioBlockMask;
        total = bytes + ULONGLONG(completed) * kAudioBlockSize;
        const LONGLONG elapsed = now - SharedRead(ch.AudioEventTime);
        if (elapsed > LONGLONG(completed + kAudioUnexplainedBlocks) * kAudioBlockTime) {
            // Only the blocks just found are sure to follow each other; what came before them
            // in the ring may be a whole ring older or from before the source stopped. The count
            // moves on by a whole ring more, which keeps it pointing at the engine's place in
            // the ring, and delivery starts again at the first of the blocks just found, after
            // a gap the client is told of. The restart point is published before the count that
            // makes it reachable.
            total += ULONGLONG(kAudioRingBlocks) * kAudioBlockSize;
            SharedWrite(ch.AudioResyncAt, total - ULONGLONG(completed) * kAudioBlockSize);
        }
    }
    SharedWrite(ch.AudioEventTime, now);
    SharedWrite(ch.AudioSeenBlock, current);
    SharedWrite(ch.AudioHwBlock, block);
    SharedWrite(ch.AudioHwBytes, total);
    KeInsertQueueDpc(AudioDpc(ext, channel), nullptr, nullptr);
}

// Records one video completion event for Process: how many units the engine completed since the
// last event (from its buffer index, which moves one buffer per unit), whether the stream went on
// without a gap, and for an interlaced input whether the two buffers to weave hold the top and the
// bottom field of one frame.
void RecordVideoEvent(ChannelState& ch, ULONG status) {
    const LONGLONG now = Now100ns();
    const ULONGLONG previous = SharedRead(ch.VideoEvent);
    const bool interlaced = SharedRead(ch.Interlaced) != 0;
    const ULONG index = status & kVideoIndexMask;
    const bool bottom = interlaced && (status & kInterlacedFieldBit) != 0;
    ULONG units = VideoEvent::Units(previous);
    bool gap;
    if ((previous & VideoEvent::kNone) != 0 || index == kVideoNoIndex || VideoEvent::Index(previous) == kVideoNoIndex) {
        // Nothing before it in this run (or a position that names no buffer): a stream begins.
        units += 1;
        gap = true;
    } else {
        // A status bit means at least one unit; the index cannot tell three from none.
        ULONG done = (index + 3 - VideoEvent::Index(previous)) % 3;
        if (done == 0) done = 3;
        units += done;
        // The source stopped meanwhile (a receiver that lost lock and locked again, a cable
        // pulled and put back): more time passed than the units explain, with room for a late
        // routine.
        const ULONG period = SharedRead(ch.VideoUnitPeriod);
        gap = period != 0 && now - SharedRead(ch.VideoEventTime) > LONGLONG(done + 1) * period;
        // Fields alternate within one stream: a field of the wrong parity means the engine
        // began again on another field, or the routine fell more units behind than the index
        // shows.
        if (interlaced && bottom != (((previous & VideoEvent::kBottom) != 0) != ((done & 1) != 0))) gap = true;
    }
    // A woven frame is whole when its bottom field follows its top field in one stream.
    const bool whole = interlaced ? (bottom && !gap) : index != kVideoNoIndex;
    if (gap) {
        SharedWrite(ch.VideoGapUnit, units);
    }
    SharedWrite(ch.VideoEventTime, now);
    SharedWrite(ch.VideoEvent, VideoEvent::Make(units, index, bottom, whole));
}

void VideoSource(devext* ext, ULONG channel) {
    ChannelState& ch = ext->Channel[channel];
    const ULONG status = ReadRegister(ext, kVideoBlock[channel] + kVideoControl);
    // The card left the bus after its status was read: nothing was completed.
    if (status == kCardGone) {
        return;
    }
    SharedWrite(ch.VideoStatus, status);
    RecordVideoEvent(ch, status);
    if (SharedRead(ch.VideoState) != ULONG(KSSTATE_RUN)) {
        return;
    }
    // An interlaced input wakes the pin once per frame, at the field that completes it.
    if (SharedRead(ch.Interlaced) == 0 || (status & kInterlacedFieldBit) != 0) {
        KeInsertQueueDpc(VideoDpc(ext, channel), nullptr, nullptr);
    }
}

}  // namespace

BOOLEAN NTAPI DeviceInterruptService(PKINTERRUPT Interrupt, PVOID ServiceContext) {
    UNREFERENCED_PARAMETER(Interrupt);
    auto* ext = static_cast<devext*>(ServiceContext);
    const ULONG status = ReadRegister(ext, kRegInterruptStatus);
    // Every register of a card that has left the bus reads all ones: the interrupt is another
    // device's on the shared line, and claiming it would keep that device from being served.
    // Nothing is acknowledged or queued; the surprise removal follows.
    if (status == kCardGone) {
        return FALSE;
    }
    WriteRegister(ext, kRegInterruptStatus, status);  // the write-back acknowledges what was set
    if ((status & kCardBits) == 0) {
        WriteRegister(ext, kRegInterruptEnable, 1);
        return FALSE;
    }
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        if (status & AudioBit(channel)) {
            AudioSource(ext, channel);
        }
        if (status & VideoBit(channel)) {
            VideoSource(ext, channel);
        }
    }
    // The I2C masters are polled by their transfers; the read only clears the source.
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        if (status & kI2cBits & (1u << channel)) {
            ReadRegister(ext, kI2cBlock[channel]);
        }
    }
    WriteRegister(ext, kRegInterruptEnable, 1);
    return TRUE;
}
