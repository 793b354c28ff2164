// Helpers shared by the audio suites: a test bed whose four inputs all carry a source, the audio
// filter and pin of an input, and the sample index the card's audio carries in every left sample
// (the running sample-frame index, mod 65536).
#pragma once

#include "driver/core/devext.h"
#include "driver/public.h"
#include "platform/host/kernel/kernel.h"
#include "sim/pattern.h"
#include "testbed/testbed.h"
#include "tests/support/device_ext.h"
#include "tests/support/testbed_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace audiotest {

constexpr uint32_t kBlock = 1920;
constexpr uint32_t kRing = 30720;
constexpr uint32_t kFramesPerBlock = kBlock / 4;
constexpr uint32_t kPlainHeader = 56;
constexpr uint32_t kAudioRegs[4] = {0x8000, 0xA000, 0x8800, 0xA800};
constexpr uint32_t kAudioEnables[4] = {0xC018, 0xC020, 0xC028, 0xC030};

inline const GUID& AudioReference(uint32_t input) {
    static const GUID* refs[] = {&kRefAudio0, &kRefAudio1, &kRefAudio2, &kRefAudio3};
    return *refs[input];
}

// Manually paced card with a source on every input (the default leaves input 3 unplugged), and
// kernel time that moves only when a test advances it: the audio pins' retry timers never fire
// by themselves.
inline qh::TestbedOptions AllSourcesManual() {
    qh::TestbedOptions options = qh::testing::manual_options();
    options.virtual_clock = true;
    for (auto& source : options.card.sources)
        source.cable = true;
    options.card.sources[3] = options.card.sources[0];
    return options;
}

// A client data range for the audio pin, with the audio fields given.
inline std::vector<uint8_t> ClientRange(uint32_t channels, uint32_t min_bits, uint32_t max_bits, uint32_t min_hz,
                                        uint32_t max_hz) {
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    r.DataRange.MajorFormat = kTypeAudio;
    r.DataRange.SubFormat = kSubtypePcm;
    r.DataRange.Specifier = kSpecifierWaveFormatEx;
    r.MaximumChannels = channels;
    r.MinimumBitsPerSample = min_bits;
    r.MaximumBitsPerSample = max_bits;
    r.MinimumSampleFrequency = min_hz;
    r.MaximumSampleFrequency = max_hz;
    std::vector<uint8_t> bytes(sizeof r);
    std::memcpy(bytes.data(), &r, sizeof r);
    return bytes;
}
inline std::vector<uint8_t> EqualRange() { return ClientRange(2, 16, 16, 48000, 48000); }

inline uint16_t LeftSample(const std::vector<uint8_t>& data, size_t frame) {
    return static_cast<uint16_t>(data[frame * 4] | (data[frame * 4 + 1] << 8));
}

// Checks that a buffer carries consecutive sample indices; returns the index of its first frame.
inline uint16_t ExpectContinuousWithin(const std::vector<uint8_t>& data, uint32_t used) {
    sim::AudioIndexCheck within;
    if (within.feed(data.data(), std::min<size_t>(used, data.size()), false) != 0) {
        ADD_FAILURE() << "sample index breaks within the buffer: " << within.break_before() << " then "
                      << within.break_after();
    }
    return LeftSample(data, 0);
}

// A test bed with the audio filters and pins of the inputs under test.
class AudioBed {
public:
    explicit AudioBed(qh::TestbedOptions options = AllSourcesManual())
        : bed(std::move(options)), device(qh::client::open_device(bed.ksdevice())) {}

    std::unique_ptr<qh::client::Filter> OpenAudio(uint32_t input) {
        std::unique_ptr<qh::client::Filter> filter;
        for (const auto& info : device->filters()) {
            if (IsEqualGUID(info.reference, AudioReference(input))) {
                EXPECT_EQ(device->open_filter(info.index, filter), STATUS_SUCCESS);
                return filter;
            }
        }
        ADD_FAILURE() << "no audio filter for input " << input;
        return filter;
    }

    static std::unique_ptr<qh::client::Pin> CreatePin(qh::client::Filter& filter) {
        std::unique_ptr<qh::client::Pin> pin;
        EXPECT_EQ(filter.create_pin(0, qh::client::make_pcm_format(), pin), STATUS_SUCCESS);
        return pin;
    }

    ChannelState& Channel(uint32_t input) { return device_ext(bed)->Channel[input]; }
    uint32_t AudioState(uint32_t input) { return SharedRead(Channel(input).AudioState); }
    uint32_t ReadOffset(uint32_t input) { return SharedRead(Channel(input).AudioReadOffset); }
    uint64_t HwBytes(uint32_t input) { return SharedRead(Channel(input).AudioHwBytes); }
    uint64_t DeliveredBytes(uint32_t input) { return SharedRead(Channel(input).AudioDeliveredBytes); }
    uint64_t LostBytes(uint32_t input) { return SharedRead(Channel(input).AudioLostBytes); }
    uint8_t* Ring(uint32_t input) {
        return static_cast<uint8_t*>(device_ext(bed)->channelallaudiobuf.VirtAddr) + input * kRing;
    }

    // Blocks from the card; on return the interrupts were taken and the DPC runs they queued
    // have finished.
    void Step(uint32_t input, uint32_t blocks = 1) {
        for (uint32_t i = 0; i < blocks; ++i) {
            ASSERT_EQ(bed.card().step_audio(input), 1u) << "the card produced no audio block";
            host::flush_dpcs();
        }
    }

    void Submit(qh::client::Pin& pin, uint32_t count, uint32_t extent = kBlock) {
        for (uint32_t i = 0; i < count; ++i)
            ASSERT_EQ(pin.submit(extent, kPlainHeader), STATUS_SUCCESS);
    }

    qh::client::CompletedFrame Completed(qh::client::Pin& pin) {
        qh::client::CompletedFrame frame{};
        EXPECT_TRUE(pin.wait_completed(frame, qh::testing::kWaitMs)) << "no buffer completed";
        return frame;
    }

    qh::Testbed bed;
    std::unique_ptr<qh::client::Device> device;  // the user-mode view of the bed's device
};

}  // namespace audiotest
