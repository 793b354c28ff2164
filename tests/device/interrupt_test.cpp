// Interrupt routing to the DPCs, and the programming of the video DMA engines, access by access.
#include "driver/core/buffers.h"
#include "driver/device/device.h"
#include "driver/hw/engines.h"
#include "driver/hw/registers.h"
#include "tests/device/fake_device.h"

#include <gtest/gtest.h>

using devtest::Access;
using devtest::FakeDevice;
using devtest::R;
using devtest::W;

namespace {

BOOLEAN Fire(FakeDevice& dev, uint32_t status) {
    dev.window().script(kRegInterruptStatus, {status});
    host::ScopedIrql irql(FakeDevice::kDeviceIrql);
    return DeviceInterruptService(nullptr, dev.ext());
}

}  // namespace

TEST(InterruptRouting, InterruptsThatAreNotTheCardsAreAcknowledgedAndRefused) {
    FakeDevice dev;
    // Status 0: another device on a shared line.
    EXPECT_EQ(Fire(dev, 0), FALSE);
    EXPECT_EQ(dev.window().log(), (std::vector<Access>{R(0xC000, 0), W(0xC000, 0), W(0xC004, 1)}));

    // Only bits the card does not use.
    dev.window().clear();
    EXPECT_EQ(Fire(dev, 0xFFFFF000u), FALSE);
    EXPECT_EQ(dev.window().log(), (std::vector<Access>{R(0xC000, 0xFFFFF000u), W(0xC000, 0xFFFFF000u), W(0xC004, 1)}));
    EXPECT_EQ(dev.total_runs(), 0);

    // One card bit among unused ones is the card's.
    dev.window().clear();
    EXPECT_EQ(Fire(dev, 0xF001u), TRUE);
    EXPECT_EQ(dev.window().log(),
              (std::vector<Access>{R(0xC000, 0xF001u), W(0xC000, 0xF001u), R(0x4000), W(0xC004, 1)}));
}

TEST(InterruptRouting, SourcesAreHandledAudioAndVideoByChannelThenI2c) {
    FakeDevice dev;
    for (ULONG ch = 0; ch < kChannelCount; ++ch) {
        dev.ext()->Channel[ch].VideoState = 3;
    }
    // Video 0 with I2C 0: video first.
    EXPECT_EQ(Fire(dev, 0x21), TRUE);
    EXPECT_EQ(dev.window().log(),
              (std::vector<Access>{R(0xC000, 0x21), W(0xC000, 0x21), R(0x9000), R(0x4000), W(0xC004, 1)}));
    EXPECT_EQ(dev.video_runs(0), 1);

    // I2C 0 and 2: their command registers are read in order and nothing is queued.
    dev.window().clear();
    const int before = dev.total_runs();
    EXPECT_EQ(Fire(dev, 0x5), TRUE);
    EXPECT_EQ(dev.window().log(),
              (std::vector<Access>{R(0xC000, 0x5), W(0xC000, 0x5), R(0x4000), R(0x6000), W(0xC004, 1)}));
    EXPECT_EQ(dev.total_runs(), before);

    // Every source at once: the engine blocks in bit order (note the swapped blocks of channels
    // 1 and 2), then the four I2C masters.
    dev.window().clear();
    EXPECT_EQ(Fire(dev, 0xFFF), TRUE);
    EXPECT_EQ(dev.window().log(), (std::vector<Access>{R(0xC000, 0xFFF), W(0xC000, 0xFFF), R(0x8000), R(0x9000),
                                                       R(0xA000), R(0xB000), R(0x8800), R(0x9800), R(0xA800), R(0xB800),
                                                       R(0x4000), R(0x5000), R(0x6000), R(0x7000), W(0xC004, 1)}));
    for (ULONG ch = 0; ch < kChannelCount; ++ch) {
        EXPECT_EQ(dev.audio_runs(ch), 1) << "channel " << ch;
        EXPECT_EQ(dev.video_runs(ch), ch == 0 ? 2 : 1) << "channel " << ch;
    }
}

TEST(InterruptRouting, AudioBlocksAreCountedAndTheFirstOneStartsDeliveryAtTheBlockBefore) {
    FakeDevice dev;
    ChannelState& c0 = dev.ext()->Channel[0];
    ChannelState& c2 = dev.ext()->Channel[2];

    // First interrupt of a run, register reading 0: delivery starts at block 15 (offset 28,800).
    dev.window().script(0x8000, {0, 1});
    EXPECT_EQ(Fire(dev, 0x10), TRUE);
    EXPECT_EQ(c0.AudioHwBlock, 15u);
    EXPECT_EQ(c0.AudioReadOffset, 28800u);
    EXPECT_EQ(c0.AudioHwBytes, 1920u);
    EXPECT_EQ(dev.audio_runs(0), 1);

    // The next interrupt stores the register value as it is and leaves the read offset alone.
    c0.AudioReadOffset = 1234;
    EXPECT_EQ(Fire(dev, 0x10), TRUE);
    EXPECT_EQ(c0.AudioHwBlock, 1u);
    EXPECT_EQ(c0.AudioReadOffset, 1234u);
    EXPECT_EQ(c0.AudioHwBytes, 3840u);
    EXPECT_EQ(dev.audio_runs(0), 2);

    // Channel 2 (block 0x8800) starting at register value 5: block 4, offset 7,680; whatever the
    // pin's state, every block counts and queues the DPC.
    c2.AudioState = 0;
    dev.window().script(0x8800, {5});
    EXPECT_EQ(Fire(dev, 0x100), TRUE);
    EXPECT_EQ(c2.AudioHwBlock, 4u);
    EXPECT_EQ(c2.AudioReadOffset, 7680u);
    EXPECT_EQ(c2.AudioHwBytes, 1920u);
    EXPECT_EQ(dev.audio_runs(2), 1);
    EXPECT_EQ(c0.AudioHwBytes, 3840u) << "other channels untouched";
}

TEST(InterruptRouting, VideoWakesOnlyARunningPinAndAnInterlacedOneOncePerFrame) {
    FakeDevice dev;
    ChannelState& c1 = dev.ext()->Channel[1];

    // Progressive, paused: the status is recorded, nothing queued.
    c1.VideoState = 2;
    dev.window().script(0xB000, {0x2});
    EXPECT_EQ(Fire(dev, 0x80), TRUE);
    EXPECT_EQ(c1.VideoStatus, 0x2u);
    EXPECT_EQ(dev.video_runs(1), 0);

    // Progressive, running: every frame wakes the pin (each run awaited: two insertions of a DPC
    // that has not run yet are one run).
    c1.VideoState = 3;
    dev.window().script(0xB000, {0x1, 0x2});
    Fire(dev, 0x80);
    EXPECT_EQ(dev.video_runs(1), 1);
    Fire(dev, 0x80);
    EXPECT_EQ(dev.video_runs(1), 2);

    // Interlaced, running: the field without bit 24 only records, the one with it wakes.
    c1.Interlaced = 1;
    dev.window().script(0xB000, {0x0000001, 0x1000002});
    Fire(dev, 0x80);
    EXPECT_EQ(c1.VideoStatus, 0x1u);
    EXPECT_EQ(dev.video_runs(1), 2);
    Fire(dev, 0x80);
    EXPECT_EQ(c1.VideoStatus, 0x1000002u);
    EXPECT_EQ(dev.video_runs(1), 3);
}

namespace {

// The buffers of a started device: allocated, and their gate open.
void GiveBuffers(devext* ext, ULONG channel, uint32_t base) {
    for (int i = 0; i < 3; ++i) {
        VideoBuffers(ext, channel)[i].PhysAddr.QuadPart = base + 0x400000u * i;
    }
    OpenBuffers(ext);
}

}  // namespace

TEST(VideoDmaProgramming, EnginesAreProgrammedFromTheFormatWithTheStartBitLast) {
    FakeDevice dev;
    devext* ext = dev.ext();

    // Channel 2 lives at 0x9800 with its enable at 0xC02C; progressive 1920 x 1080.
    GiveBuffers(ext, 2, 0x10000000);
    ext->Channel[2].Width = 1920;
    ext->Channel[2].Height = 1080;
    ext->Channel[2].Interlaced = 0;
    StartVideoDma(ext, 2);
    EXPECT_EQ(dev.window().log(),
              (std::vector<Access>{R(0x9800), W(0xC02C, 1), W(0x9810, 4147200), W(0x9808, 0), W(0x980C, 0x10000000),
                                   W(0x983C, 0x10400000), W(0x9840, 0x10800000), W(0x9800, 1)}));

    // Channel 1 lives at 0xB000 with its enable at 0xC024; interlaced: one field per unit.
    dev.window().clear();
    GiveBuffers(ext, 1, 0x20000000);
    ext->Channel[1].Width = 1920;
    ext->Channel[1].Height = 1080;
    ext->Channel[1].Interlaced = 1;
    StartVideoDma(ext, 1);
    EXPECT_EQ(dev.window().log(),
              (std::vector<Access>{R(0xB000), W(0xC024, 1), W(0xB010, 2073600), W(0xB008, 0), W(0xB00C, 0x20000000),
                                   W(0xB03C, 0x20400000), W(0xB040, 0x20800000), W(0xB000, 1)}));

    // 1280 x 720 progressive on channel 3.
    dev.window().clear();
    ext->Channel[3].Width = 1280;
    ext->Channel[3].Height = 720;
    StartVideoDma(ext, 3);
    const auto log = dev.window().log();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[1], W(0xC034, 1));
    EXPECT_EQ(log[2], W(0xB810, 1843200));

    // The stop sequence: read, enable off, engine off.
    dev.window().clear();
    StopVideoDma(ext, 1);
    EXPECT_EQ(dev.window().log(), (std::vector<Access>{R(0xB000), W(0xC024, 0), W(0xB000, 0)}));
}

TEST(VideoDmaProgramming, ChannelsOutOfRangeAndUnitsLargerThanTheBuffersAreRefused) {
    FakeDevice dev;
    devext* ext = dev.ext();
    // Buffers whose gate is closed (a stop has begun and will free them) are never handed to
    // an engine, nor a ring to an audio engine.
    GiveBuffers(ext, 0, 0x30000000);
    __atomic_store_n(&ext->BuffersOpen, ULONG(0), __ATOMIC_SEQ_CST);
    ext->Channel[0].Width = 1280;
    ext->Channel[0].Height = 720;
    StartVideoDma(ext, 0);
    StartAudioDma(ext, 0);
    EXPECT_TRUE(dev.window().log().empty());
    EXPECT_EQ(ext->BufferReaders, 0);
    OpenBuffers(ext);

    StartVideoDma(ext, 4);
    StartVideoDma(ext, 255);
    StopVideoDma(ext, 4);
    EXPECT_TRUE(dev.window().log().empty());

    // 1920 x 1200 progressive is 4,608,000 bytes a frame: more than a 4 MiB buffer.
    ext->Channel[0].Width = 1920;
    ext->Channel[0].Height = 1200;
    StartVideoDma(ext, 0);
    // A product that wraps around 32 bits must not slip through either.
    ext->Channel[0].Width = 0x10000;
    ext->Channel[0].Height = 0x8000;
    StartVideoDma(ext, 0);
    EXPECT_TRUE(dev.window().log().empty());

    // The same size interlaced is 2,304,000 bytes a field and fits.
    ext->Channel[0].Width = 1920;
    ext->Channel[0].Height = 1200;
    ext->Channel[0].Interlaced = 1;
    StartVideoDma(ext, 0);
    const auto log = dev.window().log();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[2], W(0x9010, 2304000));
    EXPECT_EQ(log.back(), W(0x9000, 1));
}
