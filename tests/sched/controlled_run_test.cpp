// The whole host under a controlled schedule: kernel, class layer, bus, card (paced on the run's
// virtual clock), test bed and client, one thread at a time as a seeded strategy picks them. A
// capture that completes frames, stops cleanly and leaks nothing shows that nothing in the host
// blocks outside the scheduler; running the same strategy again and getting the same steps and
// switches shows that the run replays.
// Each run happens in a child process (tests/support/schedules.h).
#include "driver/public.h"
#include "testbed/testbed.h"
#include "tests/support/schedules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr uint32_t kFrames = 5;

void fail(const std::string& why) { qh::schedules::check(false, why); }

// A card with a 720p source on input 0 and nothing on the others.
qh::TestbedOptions InputZeroOnly(sim::Pacing pacing) {
    qh::TestbedOptions options;
    options.card = sim::Card::default_config();
    options.card.sources[0] = *sim::parse_source("1280x720p60");
    for (uint32_t n = 1; n < options.card.sources.size(); ++n)
        options.card.sources[n] = *sim::parse_source("none");
    options.card.pacing = pacing;
    return options;
}

// One capture on input 0, from the device's start to the leak check of its removal.
void controlled_capture() {
    {
        qh::TestbedOptions bed_options = InputZeroOnly(sim::Pacing::Realtime);
        bed_options.card.start_seed = 3;  // the card's engines start where the schedule expects
        qh::Testbed bed(bed_options);
        if (bed.start_status() != STATUS_SUCCESS) fail("the device did not start");
        {
            qh::client::Device& device = bed.client();
            std::unique_ptr<qh::client::Filter> filter;
            for (const auto& info : device.filters())
                if (IsEqualGUID(info.reference, kRefVideo0) && device.open_filter(info.index, filter) != STATUS_SUCCESS)
                    fail("the video filter of input 0 did not open");
            if (!filter) fail("no video filter for input 0");
            const auto pins = filter->pins();
            if (pins.empty() || pins[0].ranges.empty()) fail("the video pin has no formats");
            std::vector<uint8_t> format;
            if (filter->intersect(0, {pins[0].ranges[0]}, format) != STATUS_SUCCESS)
                fail("no format for the detected signal");
            const auto& video = *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
            const uint32_t image = video.VideoInfoHeader.bmiHeader.biSizeImage;
            if (image != 1280u * 720u * 2u) fail("the detected format is not 1280x720: " + std::to_string(image));
            std::unique_ptr<qh::client::Pin> pin;
            if (filter->create_pin(0, format, pin) != STATUS_SUCCESS || !pin) fail("the pin was not created");
            if (pin->set_state(KSSTATE_RUN) != STATUS_SUCCESS) fail("the pin did not run");
            for (int i = 0; i < 3; ++i)
                if (pin->submit(image, 128) != STATUS_SUCCESS) fail("a buffer was refused");
            uint32_t good = 0;
            while (good < kFrames) {
                qh::client::CompletedFrame frame;
                if (!pin->wait_completed(frame, 10000))
                    fail("no frame in 10 s of virtual time after " + std::to_string(good));
                if (frame.status != STATUS_SUCCESS || !frame.guards_intact)
                    fail("frame " + std::to_string(good) + " came back failed or overwritten");
                if (frame.stream_header().DataUsed == image) ++good;
                if (pin->submit(image, 128) != STATUS_SUCCESS) fail("a buffer was refused");
            }
            if (pin->set_state(KSSTATE_STOP) != STATUS_SUCCESS) fail("the pin did not stop");
            if (pin->close() != STATUS_SUCCESS) fail("the pin did not close");
            pin.reset();
            if (filter->close() != STATUS_SUCCESS) fail("the filter did not close");
        }
    }  // the test bed's destructor removes the device and checks for leaks
}

// A strategy run twice: both runs capture, and the second replays the first step for step.
void capture_and_replay(const char* schedule) {
    SCOPED_TRACE(schedule);
    host::sched::Options options;
    std::string error;
    ASSERT_TRUE(host::sched::parse(schedule, options.strategy, error)) << error;
    const auto first = qh::schedules::run_one(options, controlled_capture, std::chrono::seconds(120));
    ASSERT_TRUE(first.passed()) << first.output;
    ASSERT_GT(first.steps, 0u) << first.output;
    std::printf("%s: %llu steps, trace %s\n", schedule, static_cast<unsigned long long>(first.steps),
                first.trace_hash.c_str());
    const auto again = qh::schedules::run_one(options, controlled_capture, std::chrono::seconds(120));
    ASSERT_TRUE(again.passed()) << again.output;
    EXPECT_TRUE(qh::schedules::same_run(first, again))
        << "the same strategy did not replay the same run:\n"
        << first.steps << " " << first.trace_hash << " against " << again.steps << " " << again.trace_hash;
}

TEST(Schedule, ControlledCaptureRunsAndReplays) {
    capture_and_replay("random:7");
    capture_and_replay("pct:11:3");
    // With preemptions: time passes while threads could run, and still every run is the same.
    capture_and_replay("pct:11:3:20");
}

// A stop that the fault handler finds (memory touched after its free) ends a controlled run as any
// other stop does: with its schedule and the switches that led there.
TEST(Schedule, AStopFoundByTheFaultHandlerReportsItsSchedule) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer takes the fault itself, before the host's handler";
#endif
    host::sched::Options options;
    std::string error;
    ASSERT_TRUE(host::sched::parse("random:3", options.strategy, error)) << error;
    const auto run = qh::schedules::run_one(
        options,
        [] {
            auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, 0x74736554));
            block[0] = 1;
            ExFreePool(const_cast<unsigned char*>(block));
            host::sched::point("freed");
            (void)block[8];
        },
        std::chrono::seconds(60));
    EXPECT_EQ(run.status, 79) << run.output;
    EXPECT_NE(run.output.find("schedule: stop DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL"), std::string::npos)
        << run.output;
    // The point before the fault names this file.
    EXPECT_NE(run.output.find("at freed (controlled_run_test.cpp:"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("replay: QH_SCHEDULE=random:3"), std::string::npos) << run.output;
}

// A card pulled out while its line is up (a frame announced, the routine not yet called): the
// line falls with the link, so no call of the routine that finds the registers reading all ones
// starts after the card reads as gone. A level left up for a moment is served by calls that
// decline, one after another: what the host counts as an interrupt storm on a loaded machine.
void removal_with_the_line_up() {
    qh::Testbed bed(InputZeroOnly(sim::Pacing::Manual));
    if (bed.start_status() != STATUS_SUCCESS) fail("the device did not start");
    qh::client::Device& device = bed.client();
    std::unique_ptr<qh::client::Filter> filter;
    for (const auto& info : device.filters())
        if (IsEqualGUID(info.reference, kRefVideo0)) device.open_filter(info.index, filter);
    if (!filter) fail("no video filter for input 0");
    std::vector<uint8_t> format;
    if (filter->intersect(0, {filter->pins()[0].ranges[0]}, format) != STATUS_SUCCESS) fail("no format");
    std::unique_ptr<qh::client::Pin> pin;
    if (filter->create_pin(0, format, pin) != STATUS_SUCCESS || pin->set_state(KSSTATE_RUN) != STATUS_SUCCESS)
        fail("the pin did not run");
    sim::Card& card = bed.card();
    host::InterruptLine& line = card.interrupt_line();
    card.hold_interrupts(true);
    if (card.step_video(0) != 1) fail("the card completed no frame");
    uint64_t calls_when_gone = 0;
    host::sched::Thread watcher("watcher", [&] {
        while (!card.removed()) {
        }
        calls_when_gone = line.calls();
    });
    card.hold_interrupts(false);
    bed.unplug();
    watcher.join();
    if (!line.wait_quiet(10000)) fail("the line did not go quiet");
    // The call in progress when the card went may still end.
    if (line.calls() > calls_when_gone + 1)
        fail(std::to_string(line.calls() - calls_when_gone) + " calls of the routine after the card read as gone");
    pin->close();
    filter->close();
    if (bed.finish_removal(10000) != 0) fail("a leak after the removal");
}

TEST(Schedule, ACardPulledOutWhileItsLineIsUpTakesTheLineWithIt) {
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        host::sched::Options options;
        std::string error;
        ASSERT_TRUE(host::sched::parse("random:" + std::to_string(seed), options.strategy, error)) << error;
        const auto run = qh::schedules::run_one(options, removal_with_the_line_up, std::chrono::seconds(120));
        ASSERT_TRUE(run.passed()) << run.output;
    }
}

}  // namespace
