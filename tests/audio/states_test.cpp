// The audio pin's states: who owns an input, the engine programming at RUN and PAUSE, the
// counters and the ring across a restart, and the reference clock.
#include "tests/audio/audio_bed.h"

#include "platform/host/diag/verifier.h"

#include <atomic>
#include <thread>

namespace audiotest {
namespace {

std::string Conflict(uint32_t input, int to, int from) {
    return "error pin resource :::::::::::::::::::audio" + std::to_string(input) +
           ": DispatchSetState()  :ToState=" + std::to_string(to) + " : FromState=" + std::to_string(from) + "\n";
}

TEST(AudioStates, OwnershipConflictsAreRefusedAndLeaveTheOwnerAlone) {
    AudioBed a;
    auto first = a.OpenAudio(1);
    auto second = a.OpenAudio(1);
    ASSERT_TRUE(first && second);
    auto owner = AudioBed::CreatePin(*first);
    auto intruder = AudioBed::CreatePin(*second);
    ASSERT_TRUE(owner && intruder);

    ASSERT_EQ(owner->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(SharedRead(a.Channel(1).AudioPin), owner->kspin());
    EXPECT_EQ(a.AudioState(1), uint32_t(KSSTATE_PAUSE));

    a.bed.clear_trace();
    EXPECT_EQ(intruder->set_state(KSSTATE_ACQUIRE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(a.bed.trace_count(Conflict(1, 1, 0)), 1u) << a.bed.trace_text();
    EXPECT_EQ(intruder->state(), KSSTATE_STOP);
    EXPECT_EQ(SharedRead(a.Channel(1).AudioPin), owner->kspin());
    EXPECT_EQ(a.AudioState(1), uint32_t(KSSTATE_PAUSE));

    // The owner still runs and delivers.
    a.Submit(*owner, 1);
    ASSERT_EQ(owner->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    a.Step(1);
    auto frame = a.Completed(*owner);
    EXPECT_EQ(frame.stream_header().DataUsed, kBlock);

    // Once the owner stops, the other pin may take the input.
    ASSERT_EQ(owner->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(SharedRead(a.Channel(1).AudioPin), nullptr);
    EXPECT_EQ(intruder->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(SharedRead(a.Channel(1).AudioPin), intruder->kspin());
}

TEST(AudioStates, RunWithoutAnOwnerIsRefusedAndTheStateKept) {
    AudioBed a;
    auto filter = a.OpenAudio(0);
    auto pin = AudioBed::CreatePin(*filter);
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    // The input loses its owner underneath the pin (a device restart clears the owners).
    SharedWrite(a.Channel(0).AudioPin, static_cast<PKSPIN>(nullptr));
    a.bed.card().set_access_log(true);
    a.bed.clear_trace();
    EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(a.bed.trace_count(Conflict(0, 3, 2)), 1u) << a.bed.trace_text();
    EXPECT_EQ(a.AudioState(0), uint32_t(KSSTATE_PAUSE));
    EXPECT_TRUE(qh::testing::writes_in(a.bed.card().access_log(), 0x8000, 0x8010).empty());
    EXPECT_FALSE(a.bed.card().audio_engine_running(0));
    // Same-state requests change nothing.
    EXPECT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(a.AudioState(0), uint32_t(KSSTATE_PAUSE));
}

TEST(AudioStates, RunPauseRunReprogramsResetsCountersAndKeepsTheRing) {
    AudioBed a;
    const uint32_t input = 2;
    auto filter = a.OpenAudio(input);
    auto pin = AudioBed::CreatePin(*filter);
    ASSERT_TRUE(pin);
    auto clock = qh::client::make_clock();
    ASSERT_EQ(pin->set_master_clock(clock), STATUS_SUCCESS);

    // Acquire clears the ring.
    std::memset(a.Ring(input), 0x5A, kRing);
    ASSERT_EQ(pin->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(clock->outstanding_references(), 1u);
    for (uint32_t i = 0; i < kRing; ++i)
        ASSERT_EQ(a.Ring(input)[i], 0) << "byte " << i;

    a.bed.card().set_access_log(true);
    const uint32_t A = kAudioRegs[input], E = kAudioEnables[input];
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    auto log = a.bed.card().access_log();
    // The engine is programmed, then enabled, then started, in that order.
    const long hi = qh::testing::first_index(log, A + 0x08, true), lo = qh::testing::first_index(log, A + 0x0C, true);
    const long size = qh::testing::first_index(log, A + 0x04, true),
               block = qh::testing::first_index(log, A + 0x10, true);
    const long enable = qh::testing::first_index(log, E, true), start = qh::testing::first_index(log, A, true);
    ASSERT_TRUE(hi >= 0 && lo > hi && size > lo && block > size && enable > block && start > enable);
    const uint64_t bus = static_cast<uint64_t>(device_ext(a.bed)->channelallaudiobuf.PhysAddr.QuadPart);
    EXPECT_EQ(log[hi].value, uint32_t(bus >> 32));
    EXPECT_EQ(log[lo].value, uint32_t(bus) + input * kRing);
    EXPECT_EQ(log[size].value, kRing);
    EXPECT_EQ(log[block].value, kBlock);
    EXPECT_EQ(log[enable].value, 1u);
    EXPECT_EQ(log[start].value, 1u);
    EXPECT_TRUE(a.bed.card().audio_engine_running(input));

    a.Submit(*pin, 3);
    a.Step(input, 5);
    for (int i = 0; i < 3; ++i)
        a.Completed(*pin);
    EXPECT_EQ(a.HwBytes(input), 5u * kBlock);
    EXPECT_EQ(a.DeliveredBytes(input), 3u * kBlock);
    std::vector<uint8_t> ring(a.Ring(input), a.Ring(input) + kRing);

    a.bed.card().clear_access_log();
    ASSERT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    log = a.bed.card().access_log();
    // Stopped in the reverse order: enable off first, then the control register.
    const long off = qh::testing::first_index(log, E, true), stop = qh::testing::first_index(log, A, true);
    ASSERT_TRUE(off >= 0 && stop > off);
    EXPECT_EQ(log[off].value, 0u);
    EXPECT_EQ(log[stop].value, 0u);
    EXPECT_FALSE(a.bed.card().audio_engine_running(input));

    a.bed.card().clear_access_log();
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(qh::testing::writes_to(a.bed.card().access_log(), A + 0x0C).size(), 1u);
    EXPECT_EQ(a.HwBytes(input), 0u);
    EXPECT_EQ(a.DeliveredBytes(input), 0u);
    EXPECT_EQ(a.ReadOffset(input), 0u);
    EXPECT_EQ(std::memcmp(ring.data(), a.Ring(input), kRing), 0) << "the ring was touched by the restart";
    // Delivery starts afresh from the restarted engine's first block.
    a.Submit(*pin, 1);
    a.Step(input);
    auto frame = a.Completed(*pin);
    EXPECT_EQ(frame.stream_header().DataUsed, kBlock);
    EXPECT_EQ(a.DeliveredBytes(input), uint64_t(kBlock));

    // The clock is released once, at STOP.
    ASSERT_EQ(pin->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(clock->outstanding_references(), 1u);
    ASSERT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(clock->outstanding_references(), 0u);
    EXPECT_EQ(device_ext(a.bed)->Channel[input].AudioClock, nullptr);
    EXPECT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(clock->outstanding_references(), 0u);
}

TEST(AudioStates, StopWithoutAClockOnlyReleasesTheInput) {
    AudioBed a;
    auto filter = a.OpenAudio(3);
    auto pin = AudioBed::CreatePin(*filter);
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(device_ext(a.bed)->Channel[3].AudioClock, nullptr);
    a.bed.clear_trace();
    ASSERT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(SharedRead(a.Channel(3).AudioPin), nullptr);
    EXPECT_EQ(a.AudioState(3), uint32_t(KSSTATE_STOP));
    EXPECT_EQ(a.bed.trace_count("audio3: HardwareReleaseResources()\n"), 1u);
}

TEST(AudioStates, StopReturnsOnlyAfterTheRunOfTheDpcThatFoundThePinRunning) {
    AudioBed a;
    const uint32_t input = 2;
    auto filter = a.OpenAudio(input);
    auto pin = AudioBed::CreatePin(*filter);
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    a.Submit(*pin, 1);
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    host::clear_wait_records();

    // A run of the DPC has read the owner and found it running; the client stops the pin right
    // then, on another thread. The client may close the pin as soon as STOP returns, so STOP
    // must wait (polling, at passive level) for the run still holding it.
    std::atomic<uint64_t> stopper_id{0};
    std::atomic<bool> stopped{false};
    std::thread stopper;
    const auto stopper_polls = [&] {
        for (const auto& delay : host::delays()) {
            if (delay.thread == stopper_id.load()) return true;
        }
        return false;
    };
    host::watch_shared_read(&a.Channel(input).AudioState, [&] {
        stopper = std::thread([&] {
            stopper_id = host::thread_id();
            EXPECT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
            stopped = true;
        });
        EXPECT_TRUE(qh::testing::wait_until(
            [&] { return stopped.load() || (SharedRead(a.Channel(input).AudioPin) == nullptr && stopper_polls()); }));
        EXPECT_FALSE(stopped.load()) << "STOP returned while a run of the DPC still held the pin";
    });
    a.Step(input);
    if (stopper.joinable()) stopper.join();
    ASSERT_TRUE(host::shared_read_watch_fired());
    EXPECT_EQ(SharedRead(a.Channel(input).AudioDpcActive), 0);
    // The run finished its buffer, or STOP handed it back unfilled: either way it came back.
    auto frame = a.Completed(*pin);
    if (frame.status == STATUS_SUCCESS) {
        EXPECT_EQ(frame.stream_header().DataUsed, kBlock);
    }
    EXPECT_EQ(pin->queued(), 0u);
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);
}

// A pin on input 0 running with one buffer of `blocks` blocks, and one block come: the DPC waits
// for the rest on its retry timer, again and again.
std::unique_ptr<qh::client::Pin> WaitingOnItsRetryTimer(AudioBed& a, qh::client::Filter& filter, uint32_t blocks) {
    auto pin = AudioBed::CreatePin(filter);
    if (!pin) return pin;
    EXPECT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    a.Submit(*pin, 1, blocks * kBlock);
    EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    a.Step(0);
    EXPECT_TRUE(qh::testing::wait_until([] { return host::pending_timer_count() > 0; }));
    return pin;
}

// After a device stop: the next start initialises the timers again, which must not be armed then,
// and a STOP hands the buffer back unfilled.
void RestartAndStop(AudioBed& a, qh::client::Pin& pin) {
    ASSERT_EQ(a.bed.start(), STATUS_SUCCESS);
    ASSERT_EQ(pin.set_state(KSSTATE_STOP), STATUS_SUCCESS);
    auto frame = a.Completed(pin);
    EXPECT_EQ(frame.stream_header().DataUsed, 0u);
}

TEST(AudioStates, DeviceStopWithAPinRunningLeavesNoRetryTimerAndTheNextStartIsClean) {
    AudioBed a;
    host::verifier::Capture capture;
    auto filter = a.OpenAudio(0);
    auto pin = WaitingOnItsRetryTimer(a, *filter, 2);
    ASSERT_TRUE(pin);

    // The device stops (a rebalance) with the pin running: the ring is freed, so no timer may
    // be left to run the DPC, and no run may come after the free.
    a.bed.clear_trace();
    a.bed.stop();
    EXPECT_EQ(host::pending_timer_count(), 0u) << "a retry timer survived the device stop";
    EXPECT_EQ(host::queued_dpc_count(), 0u);
    EXPECT_EQ(a.bed.trace_count("channel0AudioDpcRoutine 2\n"), 0u) << "the DPC ran with the ring gone";
    EXPECT_EQ(pin->queued(), 1u);
    RestartAndStop(a, *pin);
    for (const auto& record : capture.records())
        ADD_FAILURE() << record.message;
}

TEST(AudioStates, ADeviceStopMeetingARunOfTheDpcLeavesNoRetryTimer) {
    AudioBed a;
    host::verifier::Capture capture;
    auto filter = a.OpenAudio(0);
    auto pin = WaitingOnItsRetryTimer(a, *filter, 3);
    ASSERT_TRUE(pin);

    // The next block's run of the DPC has found the pin running and the delivery not halted; the
    // device stops right then, on another thread. The run will arm the retry timer again (two
    // blocks for a three-block buffer), so the halt must wait for it before it cancels the timer:
    // a timer cancelled first is armed again behind the stop, and runs the DPC with the ring gone.
    std::atomic<uint64_t> stopper_id{0};
    std::thread stopper;
    const auto stopper_polls = [&] {
        for (const auto& delay : host::delays()) {
            if (delay.thread == stopper_id.load()) return true;
        }
        return false;
    };
    host::clear_wait_records();
    host::watch_shared_read(&a.Channel(0).AudioDeliveredBytes, [&] {
        stopper = std::thread([&] {
            stopper_id = host::thread_id();
            a.bed.stop();
        });
        // The halt either waits for this run (it polls) or has cancelled the timer already.
        EXPECT_TRUE(qh::testing::wait_until([&] {
            return SharedRead(device_ext(a.bed)->AudioHalted) != 0 &&
                   (stopper_polls() || host::pending_timer_count() == 0);
        }));
    });
    a.Step(0);
    ASSERT_TRUE(qh::testing::wait_until([] { return host::shared_read_watch_fired(); }));
    if (stopper.joinable()) stopper.join();
    EXPECT_EQ(host::pending_timer_count(), 0u) << "a retry timer was armed again behind the device stop";
    RestartAndStop(a, *pin);
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);
    for (const auto& record : capture.records())
        ADD_FAILURE() << record.message;
}

}  // namespace
}  // namespace audiotest
