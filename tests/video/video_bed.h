// Helpers shared by the video suites: a test bed with a manually paced card, the video filter of
// an input, formats picked from the pin's own table, and the stamps the card's test pattern puts
// at the start of every line.
#pragma once

#include "driver/core/devext.h"
#include "driver/public.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/trace.h"
#include "sim/pattern.h"
#include "testbed/testbed.h"
#include "tests/support/device_ext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace videotest {

constexpr uint32_t kGenerousMs = 10000;
constexpr uint32_t kFrame1080 = 1920 * 1080 * 2;
constexpr uint32_t kHeaderWithInfo = 128;
constexpr uint32_t kPlainHeader = 56;

inline const GUID& VideoReference(uint32_t input) {
    static const GUID* refs[] = {&kRefVideo0, &kRefVideo1, &kRefVideo2, &kRefVideo3};
    return *refs[input];
}

// Polls a condition until it holds or the time-out passes (no fixed sleeps in the tests).
inline bool WaitUntil(const std::function<bool()>& condition, uint32_t timeout_ms = kGenerousMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A manually paced card, and kernel time that moves only when a test advances it: the card's
// units come when the test steps them, so the driver's clock must not see the test's own pauses
// as a source that stopped.
// As WaitUntil, with kernel time moving on 10 ms a poll meanwhile (when it is virtual): for what
// the driver notices on a time-out.
inline bool WaitWhileTimePasses(const std::function<bool()>& condition, uint32_t timeout_ms = kGenerousMs) {
    return WaitUntil(
        [&] {
            if (condition()) return true;
            if (host::virtual_clock()) host::advance_clock(100000);
            return false;
        },
        timeout_ms);
}

inline qh::TestbedOptions ManualOptions() {
    qh::TestbedOptions options;
    options.card = sim::Card::default_config();
    options.card.pacing = sim::Pacing::Manual;
    options.virtual_clock = true;
    return options;
}

// The frames one pin delivers, checked as they come: each whole (every line the pattern's line
// of one frame of the input, fields woven in order), each later than the one before, unless the
// driver flagged it as a discontinuity (the source started again). Returns the frame number.
class FrameStream {
public:
    explicit FrameStream(uint32_t input) : input_(input) {}

    uint32_t Check(const std::vector<uint8_t>& data, uint32_t pitch, uint32_t lines, bool woven,
                   bool discontinuity = false) {
        if (data.size() < size_t(pitch) * (lines ? lines - 1 : 0) + std::min<size_t>(pitch, sim::kStampBytes)) {
            ADD_FAILURE() << "a buffer of " << data.size() << " bytes cannot hold " << lines << " lines";
            return 0;
        }
        const sim::FrameCheck c = sim::check_frame(data.data(), pitch, lines, input_, woven);
        EXPECT_EQ(c.fault, sim::FrameFault::None)
            << sim::frame_fault_name(c.fault) << " frame " << c.frame << ": line " << c.line << " holds frame "
            << c.found.frame << " line " << c.found.line << " field " << int(c.found.field) << " input "
            << int(c.found.input);
        const uint32_t before = order_.last();
        const sim::FrameOrder::Result order = order_.next(c.frame, discontinuity);
        EXPECT_FALSE(sim::FrameOrder::bad(order.step))
            << "frame number " << c.frame << " after frame number " << before
            << (discontinuity ? "" : ", not flagged as a discontinuity")
            << " (a frame delivered again, or a source restarted unannounced)";
        ++frames_;
        return c.frame;
    }
    uint32_t Check(const qh::client::CompletedFrame& f, uint32_t pitch, uint32_t lines, bool woven) {
        return Check(f.data, pitch, lines, woven,
                     (f.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0);
    }
    // Another source connected while nothing was checked: its numbers start again.
    void Restart() { order_.restart(); }
    uint32_t frames() const { return frames_; }

private:
    uint32_t input_;
    sim::FrameOrder order_;
    uint32_t frames_ = 0;
};

inline const KS_FRAME_INFO& FrameInfo(const qh::client::CompletedFrame& f) {
    return *reinterpret_cast<const KS_FRAME_INFO*>(f.header.data() + sizeof(KSSTREAM_HEADER));
}

// A test bed and the video filter of one input.
class VideoBed {
public:
    explicit VideoBed(qh::TestbedOptions options = ManualOptions())
        : bed(std::move(options)), device(qh::client::open_device(bed.ksdevice())) {}

    // Opens (another instance of) the input's video filter; runs its detection.
    std::unique_ptr<qh::client::Filter> OpenVideo(uint32_t input) {
        std::unique_ptr<qh::client::Filter> filter;
        for (const auto& info : device->filters()) {
            if (IsEqualGUID(info.reference, VideoReference(input))) {
                EXPECT_EQ(device->open_filter(info.index, filter), STATUS_SUCCESS);
                return filter;
            }
        }
        ADD_FAILURE() << "no video filter for input " << input;
        return filter;
    }

    static std::vector<uint8_t> Range(qh::client::Filter& filter, uint32_t entry) {
        auto pins = filter.pins();
        EXPECT_FALSE(pins.empty());
        if (pins.empty() || entry >= pins[0].ranges.size()) return {};
        return pins[0].ranges[entry];
    }
    static const KS_DATARANGE_VIDEO& AsRange(const std::vector<uint8_t>& bytes) {
        return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(bytes.data());
    }

    // Intersects with one entry of the pin's table, as enumerated.
    static std::vector<uint8_t> Format(qh::client::Filter& filter, uint32_t entry) {
        std::vector<uint8_t> format;
        EXPECT_EQ(filter.intersect(0, {Range(filter, entry)}, format), STATUS_SUCCESS);
        return format;
    }

    static std::unique_ptr<qh::client::Pin> CreatePin(qh::client::Filter& filter, const std::vector<uint8_t>& format) {
        std::unique_ptr<qh::client::Pin> pin;
        EXPECT_EQ(filter.create_pin(0, format, pin), STATUS_SUCCESS);
        return pin;
    }

    ChannelState& Channel(uint32_t input) { return device_ext(bed)->Channel[input]; }
    uint32_t VideoState(uint32_t input) { return SharedRead(Channel(input).VideoState); }
    uint32_t FrameCount(uint32_t input) { return SharedRead(Channel(input).FrameCount); }
    uint64_t DropCount(uint32_t input) { return SharedRead(Channel(input).DropCount); }

    // One unit (frame or field) from the card; the interrupt has been delivered on return.
    void Step(uint32_t input, uint32_t units = 1) {
        for (uint32_t i = 0; i < units; ++i)
            bed.card().step_video(input);
    }

    qh::Testbed bed;
    std::unique_ptr<qh::client::Device> device;  // the client's view of the test bed's device
};

}  // namespace videotest
