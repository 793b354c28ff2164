// Stop, restart, power changes and teardown of a started device.
#include "driver/device/device.h"
#include "driver/hw/engines.h"
#include "driver/public.h"
#include "driver/hw/registers.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/verifier.h"
#include "tests/support/testbed_fixture.h"

#include <gtest/gtest.h>

#include <thread>

using namespace qh::testing;

namespace {

// What a started device holds, as far as the extension and the card tell.
struct ResourceState {
    bool window, interrupt, adapter;
    ULONG length;
    int buffers;
    uint64_t live_buffers, live_adapters;
    bool card_interrupts;
    bool operator==(const ResourceState&) const = default;
};

ResourceState StateOf(qh::Testbed& bed) {
    devext* ext = device_ext(bed);
    const auto usage = host::common_buffer_usage();
    return {ext->RegisterBase != nullptr, ext->InterruptObject != nullptr, ext->DmaAdapter != nullptr,
            ext->RegisterLength,          bed.buffers_allocated(),         usage.live_buffers,
            usage.live_adapters,          bed.card().interrupt_enabled()};
}

// Trace lines without the ones that print addresses, which differ between starts.
std::vector<std::string> WithoutAddresses(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) {
        if (l.find("VirtAddr:") == std::string::npos && l.find(" Mapped ") == std::string::npos) {
            out.push_back(l);
        }
    }
    return out;
}

// Input 0's video engine started for 1080 lines, as RUN would, with no pin.
void StartInputZerosEngine(qh::Testbed& bed) {
    devext* ext = device_ext(bed);
    ext->Channel[0].Width = 1920;
    ext->Channel[0].Height = 1080;
    AcquireHwMutex(ext);
    StartVideoDma(ext, 0);
    ReleaseHwMutex(ext);
}

}  // namespace

TEST(DeviceLifecycle, StopReleasesEverythingAndARestartRebuildsTheSameState) {
    qh::Testbed bed(manual_options());
    ASSERT_EQ(bed.start_status(), STATUS_SUCCESS);
    const ResourceState started = StateOf(bed);
    EXPECT_EQ(started, (ResourceState{true, true, true, 0x10000, 13, 13, 1, true}));
    const auto first_start = WithoutAddresses(bed.trace_lines());

    bed.card().set_access_log(true);
    bed.clear_trace();
    bed.stop();
    EXPECT_TRUE(lines_match(bed.trace_lines(), 0, {"DeviceDispatchPnpStop()\n", "UnmapResources()\n"}));
    EXPECT_EQ(StateOf(bed), (ResourceState{false, false, false, 0x10000, 0, 0, 0, false}));
    // Interrupts were turned off while the window was still mapped.
    const auto log = bed.card().access_log();
    ASSERT_FALSE(writes_to(log, kRegInterruptEnable).empty());
    EXPECT_EQ(writes_to(log, kRegInterruptEnable).back().value, 0u);

    // A second teardown finds nothing to release (and the verifier nothing to complain about).
    {
        host::verifier::Capture capture;
        bed.card().clear_access_log();
        UninitializeHW(device_ext(bed));
        EXPECT_EQ(capture.count(), 0u);
        EXPECT_TRUE(bed.card().access_log().empty());
    }

    // Started again: the same resources, the same trace (addresses aside), the same receivers.
    for (uint32_t input = 0; input < 4; ++input)
        bed.card().clear_receiver_writes(input);
    bed.clear_trace();
    ASSERT_EQ(bed.start(), STATUS_SUCCESS);
    EXPECT_EQ(StateOf(bed), started);
    const auto second = WithoutAddresses(bed.trace_lines());
    // The first trace also holds the creation line.
    ASSERT_EQ(first_start.size(), second.size() + 1);
    EXPECT_TRUE(lines_match(second, 0, std::vector<std::string>(first_start.begin() + 1, first_start.end())));
    EXPECT_EQ(bed.receivers_configured(), 4);
    EXPECT_EQ(bed.remove(), 0u);
}

TEST(DeviceLifecycle, PowerChangesOnlyWhatTheTargetStateAsks) {
    qh::Testbed bed(manual_options());
    ASSERT_EQ(bed.start_status(), STATUS_SUCCESS);
    devext* ext = device_ext(bed);
    // The card's own accesses only: the interrupts of the bring-up's I2C traffic are all served.
    ASSERT_TRUE(bed.card().interrupt_line().wait_quiet(kWaitMs));
    bed.card().set_access_log(true);
    bed.clear_trace();

    // D0 to D0: nothing at all.
    bed.set_power(PowerDeviceD0);
    EXPECT_TRUE(bed.trace_lines().empty());
    EXPECT_TRUE(bed.card().access_log().empty());
    EXPECT_EQ(ext->PowerState, 0u);

    // D1 and D2 are refused with their trace, the state unchanged.
    bed.set_power(PowerDeviceD1);
    bed.set_power(PowerDeviceD0);
    bed.set_power(PowerDeviceD2);
    EXPECT_EQ(bed.trace_count("unsupported device state requested\n"), 2u);
    EXPECT_EQ(ext->PowerState, ULONG(PowerDeviceD0));

    // D3: traced, recorded, and the card is left alone.
    ASSERT_TRUE(bed.card().interrupt_line().wait_quiet(kWaitMs));
    bed.clear_trace();
    bed.card().clear_access_log();
    bed.set_power(PowerDeviceD3);
    EXPECT_TRUE(lines_match(bed.trace_lines(), 0, {"dispatchSetPower:low power state\n"}));
    EXPECT_EQ(ext->PowerState, ULONG(PowerDeviceD3));
    EXPECT_TRUE(writes_in(bed.card().access_log(), 0, 0xFFFF).empty());

    // Back to D0: interrupts on first, then all four receivers brought up again in order.
    ASSERT_TRUE(bed.card().interrupt_line().wait_quiet(kWaitMs));
    bed.clear_trace();
    bed.card().clear_access_log();
    std::vector<uint32_t> resets_before;
    for (uint32_t input = 0; input < 4; ++input)
        resets_before.push_back(bed.card().receiver_state(input).reset_count);
    bed.set_power(PowerDeviceD0);
    EXPECT_EQ(ext->PowerState, ULONG(PowerDeviceD0));
    const auto lines = bed.trace_lines();
    EXPECT_EQ(positions_in_order(lines, {"dispatchSetPower:Fully working state\n", "ADV7611 channel 4000 reset ok\n",
                                         "ADV7611 channel 5000 reset ok\n", "ADV7611 channel 6000 reset ok\n",
                                         "ADV7611 channel 7000 reset ok\n"}),
              (std::vector<long>{0, 2, 4, 6, 8}));
    const auto log = bed.card().access_log();
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log[0].is_write && log[0].offset == kRegInterruptEnable && log[0].value == 1u);
    for (uint32_t input = 0; input < 4; ++input) {
        EXPECT_EQ(bed.card().receiver_state(input).reset_count, resets_before[input] + 1) << "input " << input;
    }
}

TEST(DeviceLifecycle, PowerRequestsToAStoppedDeviceTouchNoCard) {
    qh::Testbed bed(manual_options());
    bed.stop();
    bed.card().set_access_log(true);
    host::verifier::Capture capture;
    bed.set_power(PowerDeviceD3);
    bed.set_power(PowerDeviceD0);
    EXPECT_EQ(device_ext(bed)->PowerState, ULONG(PowerDeviceD0));
    EXPECT_TRUE(bed.card().access_log().empty());
    EXPECT_EQ(capture.count(), 0u) << (capture.count() ? capture.records()[0].message : "");
}

TEST(DeviceLifecycle, StoppingWithAnEngineRunningStopsItBeforeItsBuffersGo) {
    qh::Testbed bed(manual_options());
    ASSERT_EQ(bed.start_status(), STATUS_SUCCESS);
    // A pin that was never paused leaves its engine running.
    StartInputZerosEngine(bed);
    ASSERT_TRUE(bed.card().video_engine_running(0));
    ASSERT_EQ(bed.card().step_video(0), 1u) << "the running engine captures into its buffer";

    host::verifier::Capture capture;
    bed.stop();
    for (uint32_t input = 0; input < 4; ++input) {
        EXPECT_FALSE(bed.card().video_engine_running(input)) << input;
        EXPECT_FALSE(bed.card().audio_engine_running(input)) << input;
    }
    // The card moves on: nothing may land in the freed buffers.
    EXPECT_EQ(bed.card().step_video(0), 0u);
    EXPECT_EQ(bed.card().dma_failures(0), 0u);
    EXPECT_EQ(capture.count(), 0u) << (capture.count() ? capture.records()[0].message : "");
}

TEST(DeviceLifecycle, AnInterruptRoutineRunningThroughTheStopLeavesTheCardsInterruptsOff) {
    qh::Testbed bed(manual_options());
    ASSERT_EQ(bed.start_status(), STATUS_SUCCESS);
    devext* ext = device_ext(bed);
    StartInputZerosEngine(bed);

    // The routine serves a frame; the device stops while it runs, on another thread, and turns
    // the card's interrupts off under it. The routine turns them on again on its way out, so
    // the stop must turn them off once the routine can no longer run: a card left enabled with
    // nobody connected raises a line that no routine serves.
    host::verifier::Capture capture;
    std::thread stopper;
    host::watch_shared_read(&ext->Channel[0].VideoState, [&] {
        stopper = std::thread([&] { bed.stop(); });
        EXPECT_TRUE(wait_until([&] { return !bed.card().interrupt_enabled(); }));
    });
    bed.card().step_video(0);
    ASSERT_TRUE(wait_until([] { return host::shared_read_watch_fired(); }));
    if (stopper.joinable()) stopper.join();
    EXPECT_FALSE(bed.card().interrupt_enabled()) << "the stop left the card's interrupts on";
    EXPECT_EQ(capture.count(), 0u) << (capture.count() ? capture.records()[0].message : "");
}

TEST(DeviceLifecycle, TheClientSeesTheEightFiltersInDeviceOrderAndTheTestBedLeavesNothingBehind) {
    {
        qh::Testbed bed(manual_options());
        ASSERT_EQ(bed.start_status(), STATUS_SUCCESS);
        const auto filters = bed.client().filters();
        ASSERT_EQ(filters.size(), 8u);
        for (uint32_t i = 0; i < 8; ++i)
            EXPECT_EQ(filters[i].index, i);
        // Audio then video of each input.
        EXPECT_TRUE(IsEqualGUID(filters[0].reference, kRefAudio0));
        EXPECT_TRUE(IsEqualGUID(filters[1].reference, kRefVideo0));
        EXPECT_TRUE(IsEqualGUID(filters[6].reference, kRefAudio3));
        EXPECT_TRUE(IsEqualGUID(filters[7].reference, kRefVideo3));
        std::unique_ptr<qh::client::Filter> filter;
        ASSERT_EQ(bed.client().open_filter(1, filter), STATUS_SUCCESS);
        EXPECT_EQ(filter->close(), STATUS_SUCCESS);
    }
    EXPECT_EQ(host::common_buffer_usage().live_buffers, 0u);
    EXPECT_EQ(host::pool_usage(QH_POOL_TAG).live_blocks, 0u);
}
