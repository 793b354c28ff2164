// The interrupt service routine with its routing to DPCs, and the video DMA engines' start and
// stop sequences.
#include "driver/device/device.h"
#include "driver/hw/registers.h"

namespace {

constexpr ULONG kI2cBits = 0x00F;         // bits 0..3: I2C masters 0..3
constexpr ULONG kCardBits = 0xFFF;        // bits 0..11: every source the card has
constexpr ULONG kInterlacedFieldBit = 0x1000000;
constexpr ULONG kRunState = 3;
constexpr ULONG kAudioBlockMask = 0xF;    // the ring's 16 blocks
constexpr ULONG kCardGone = 0xFFFFFFFF;

// Per channel, the audio source is bit 4 + 2n and the video source the bit above it.
constexpr ULONG AudioBit(ULONG channel) { return 0x10u << (2 * channel); }
constexpr ULONG VideoBit(ULONG channel) { return 0x20u << (2 * channel); }

// Video register block, offsets from the block base.
constexpr ULONG kVideoControl = 0x00;
constexpr ULONG kVideoAddr0High = 0x08;
constexpr ULONG kVideoAddr0Low = 0x0C;
constexpr ULONG kVideoUnitBytes = 0x10;
constexpr ULONG kVideoAddr1Low = 0x3C;
constexpr ULONG kVideoAddr2Low = 0x40;

void AudioSource(devext* ext, ULONG channel) {
    ChannelState& ch = ext->Channel[channel];
    const ULONG current = ReadRegister(ext, kAudioBlock[channel]) & kAudioBlockMask;
    const ULONGLONG bytes = SharedRead(ch.AudioHwBytes);
    ULONG block = current;
    ULONG completed;
    if (bytes == 0) {
        // First block since the engine started: the register already names the block being
        // filled, so delivery starts with the one before it.
        block = (current + kAudioBlockMask) & kAudioBlockMask;
        SharedWrite(ch.AudioReadOffset, block * kAudioBlockSize);
        completed = 1;
    } else {
        // Progress comes from the engine's position, not from the number of interrupts: a late
        // routine, merged messages or a level line served once for two causes find several
        // blocks completed behind one status bit.
        completed = (current - SharedRead(ch.AudioSeenBlock)) & kAudioBlockMask;
    }
    SharedWrite(ch.AudioSeenBlock, current);
    SharedWrite(ch.AudioHwBlock, block);
    SharedWrite(ch.AudioHwBytes, bytes + ULONGLONG(completed) * kAudioBlockSize);
    KeInsertQueueDpc(AudioDpc(ext, channel), nullptr, nullptr);
}

void VideoSource(devext* ext, ULONG channel) {
    ChannelState& ch = ext->Channel[channel];
    const ULONG status = ReadRegister(ext, kVideoBlock[channel] + kVideoControl);
    SharedWrite(ch.VideoStatus, status);
    if (SharedRead(ch.VideoState) != kRunState) {
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
    if (SharedRead(ext->RegisterBase) == nullptr) {
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
}

void StopVideoDma(devext* ext, ULONG channel) {
    if (channel >= kChannelCount || SharedRead(ext->RegisterBase) == nullptr) {
        return;
    }
    const ULONG v = kVideoBlock[channel];
    ReadRegister(ext, v + kVideoControl);
    WriteRegister(ext, kVideoEnable[channel], 0);
    WriteRegister(ext, v + kVideoControl, 0);
}
