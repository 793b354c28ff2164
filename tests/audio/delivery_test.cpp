// Audio delivery from the ring into the pin's buffers, driven block by block from the card: where
// delivery starts, continuity of the sample index, buffers of two blocks, the ring's end,
// withheld buffers, overruns, buffers without data and the retry timer after PAUSE.
#include "tests/audio/audio_bed.h"

namespace audiotest {
namespace {

// A running audio pin on one input of a manually paced card, with the sample index the card's
// next block will start with.
struct Running {
    explicit Running(AudioBed& a, uint32_t input, uint32_t buffers, uint32_t extent = kBlock) : a(a), input(input) {
        filter = a.OpenAudio(input);
        pin = AudioBed::CreatePin(*filter);
        // Buffers are taken from PAUSE on.
        EXPECT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
        a.Submit(*pin, buffers, extent);
        next_index = static_cast<uint16_t>(a.bed.card().audio_blocks_produced(input) * kFramesPerBlock);
        EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    }
    // The next completed buffer: whole, continuous, and starting where `expected` says.
    qh::client::CompletedFrame Expect(uint16_t expected, uint32_t used = kBlock, bool discontinuity = false) {
        auto frame = a.Completed(*pin);
        EXPECT_EQ(frame.status, STATUS_SUCCESS);
        EXPECT_EQ(frame.stream_header().DataUsed, used);
        EXPECT_EQ((frame.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0,
                  discontinuity);
        if (frame.stream_header().DataUsed >= 4 && frame.data.size() >= used) {
            EXPECT_EQ(ExpectContinuousWithin(frame.data, used), expected);
        }
        return frame;
    }
    AudioBed& a;
    uint32_t input;
    std::unique_ptr<qh::client::Filter> filter;
    std::unique_ptr<qh::client::Pin> pin;
    uint16_t next_index = 0;
};

uint16_t After(uint16_t index, uint32_t blocks) { return static_cast<uint16_t>(index + blocks * kFramesPerBlock); }

TEST(AudioDelivery, FirstBufferThenContinuityOnceAroundTheRing) {
    AudioBed a;
    // Wherever the card's block counter happens to stand (it is not reset).
    const uint32_t start = a.bed.card().read32(0x8000) & 0xF;
    Running r(a, 0, 40);
    const uint16_t base = r.next_index;
    for (uint32_t i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        a.Step(0);
        // The first buffer holds the block the card finished first: the one before the block
        // its status names.
        r.Expect(After(base, i));
        // A copy that ends exactly at the ring's end leaves the read position at its start.
        EXPECT_EQ(a.ReadOffset(0), ((start + i + 1) * kBlock) % kRing);
    }
    EXPECT_EQ(a.DeliveredBytes(0), 40u * kBlock);
    EXPECT_EQ(a.LostBytes(0), 0u);
}

TEST(AudioDelivery, TwoBlockBufferWaitsThenCopiesAcrossTheRingEnd) {
    auto options = AllSourcesManual();
    options.card.audio_start_block[1] = 0u;  // the ring's end comes after 15 blocks
    AudioBed a(options);
    Running r(a, 1, 15);
    const uint16_t base = r.next_index;
    for (uint32_t i = 0; i < 15; ++i) {
        a.Step(1);
        r.Expect(After(base, i));
    }
    ASSERT_EQ(a.ReadOffset(1), 28800u);

    a.Submit(*r.pin, 1, 2 * kBlock);
    a.Step(1);
    // One block pending for a two-block buffer: the routine retries on its timer and the
    // buffer stays queued.
    EXPECT_TRUE(qh::testing::wait_until([] { return host::pending_timer_count() > 0; }));
    EXPECT_EQ(r.pin->queued(), 1u);
    EXPECT_EQ(a.DeliveredBytes(1), 15u * kBlock);

    a.Step(1);
    // The ring's last block and its first, in one buffer.
    r.Expect(After(base, 15), 2 * kBlock);
    EXPECT_EQ(a.ReadOffset(1), kBlock);
    EXPECT_EQ(a.DeliveredBytes(1), 17u * kBlock);
}

TEST(AudioDelivery, WithheldBuffersResumeWithTheOldestPendingAudio) {
    AudioBed a;
    Running r(a, 2, 1);
    const uint16_t base = r.next_index;
    a.Step(2);
    r.Expect(base);

    a.bed.clear_trace();
    a.Step(2, 10);
    EXPECT_EQ(a.bed.trace_count("channel2AudioDpcRoutine 1\n"), 10u);
    EXPECT_EQ(a.HwBytes(2) - a.DeliveredBytes(2), 10u * kBlock);

    // Buffers come back: the next block's run delivers the oldest pending audio first and keeps
    // going until the backlog is gone, without waiting for ten more blocks.
    a.Submit(*r.pin, 12);
    a.Step(2);
    for (uint32_t i = 0; i < 11; ++i) {
        SCOPED_TRACE(i);
        r.Expect(After(base, 1 + i));
    }
    EXPECT_EQ(a.HwBytes(2) - a.DeliveredBytes(2), 0u);
    EXPECT_EQ(r.pin->queued(), 1u);
    // From then on every block fills the next buffer.
    a.Step(2);
    r.Expect(After(base, 12));
    EXPECT_EQ(a.HwBytes(2) - a.DeliveredBytes(2), 0u);
    EXPECT_EQ(a.LostBytes(2), 0u);
}

TEST(AudioDelivery, OverrunSkipsToIntactAudioAndFlagsTheNextBuffer) {
    AudioBed a;
    Running r(a, 3, 1);
    const uint16_t base = r.next_index;
    a.Step(3);
    r.Expect(base);

    // Twenty blocks with nowhere to go: more than the ring holds.
    a.Step(3, 20);
    a.Submit(*r.pin, 3);
    a.Step(3);
    // 21 blocks pending; the block the card writes next is the oldest of the ring and the one
    // after it may be under the engine before its count arrives, so 14 are intact and the 7
    // before them are lost.
    const uint32_t lost = 21 - 14;
    r.Expect(After(base, 1 + lost), kBlock, true);
    EXPECT_EQ(a.LostBytes(3), lost * kBlock);
    a.Step(3);
    r.Expect(After(base, 2 + lost), kBlock, false);
    a.Step(3);
    r.Expect(After(base, 3 + lost), kBlock, false);
    EXPECT_EQ(a.HwBytes(3) - a.DeliveredBytes(3), 13u * kBlock);
}

TEST(AudioDelivery, AnOverrunByLessThanABlockStillSkipsToIntactAudio) {
    AudioBed a;
    // A buffer of 1,000 bytes leaves the read position inside a block, so the backlog that
    // follows passes the intact part of the ring by less than a block.
    Running r(a, 2, 1, 1000);
    const uint16_t base = r.next_index;
    a.Step(2);
    r.Expect(base, 1000);
    a.Step(2, 13);
    a.Submit(*r.pin, 1);
    a.Step(2);
    // 920 bytes of the first block and 14 blocks pending: those 920 bytes lie in the block the
    // card writes next, so they are lost and said so, and the buffer starts with the second block.
    EXPECT_EQ(a.HwBytes(2) - 1000u, 14u * kBlock + 920u);
    r.Expect(After(base, 1), kBlock, true);
    EXPECT_EQ(a.LostBytes(2), 920u);
}

TEST(AudioDelivery, BacklogBeyondFourGigabytesIsSkippedAsOneOverrun) {
    AudioBed a;
    Running r(a, 1, 0);
    const uint16_t base = r.next_index;
    // No client buffers for some six hours: 139,811 times round the ring, 2^32 bytes and more.
    a.Step(1, 20);
    constexpr uint64_t kLaps = 139811;
    static_assert(kLaps * kRing > (uint64_t(1) << 32));
    SharedWrite(a.Channel(1).AudioHwBytes, a.HwBytes(1) + kLaps * kRing);
    a.Submit(*r.pin, 2);
    a.Step(1);
    // 21 blocks and the laps pending: the 14 newest blocks are intact, everything before is lost
    // and said so, and the buffer gets the oldest intact block, copied once.
    const uint64_t pending = kLaps * kRing + 21ull * kBlock;
    r.Expect(After(base, 21 - 14), kBlock, true);
    EXPECT_EQ(a.LostBytes(1), pending - 14ull * kBlock);
    a.Step(1);
    r.Expect(After(base, 21 - 13), kBlock, false);
    EXPECT_EQ(a.HwBytes(1) - a.DeliveredBytes(1), 13u * kBlock);
}

TEST(AudioDelivery, RunBeforeTheFirstInterruptReadsTheCountBeforeThePosition) {
    AudioBed a;
    Running r(a, 0, 2);
    const uint16_t base = r.next_index;
    // A run of the DPC that starts right after RUN, before the card's first interrupt (an old
    // retry timer expiring), and the interrupt lands between the run's reads. It is a late one
    // that announces two blocks at once, so the position it sets is not where the ring starts.
    host::watch_shared_read(&a.Channel(0).AudioReadOffset, [&] {
        a.bed.card().set_interrupts_suppressed(true);
        // A routine still running for an earlier cause (an I2C transfer) would see the first
        // block on its own.
        EXPECT_TRUE(a.bed.card().interrupt_line().wait_quiet(qh::testing::kWaitMs));
        a.bed.card().step_audio(0, 2);
        a.bed.card().set_interrupts_suppressed(false);
        EXPECT_TRUE(qh::testing::wait_until([&] { return a.HwBytes(0) != 0; }));
    });
    KeInsertQueueDpc(AudioDpc(device_ext(a.bed), 0), nullptr, nullptr);
    ASSERT_TRUE(qh::testing::wait_until(host::shared_read_watch_fired));
    host::flush_dpcs();
    // The interrupt counted one block and put delivery at the second: the first buffer holds
    // that block, not the ring's first one under a count that was not yet there.
    EXPECT_EQ(a.HwBytes(0), kBlock);
    r.Expect(After(base, 1));
    a.Step(0);
    r.Expect(After(base, 2));
    EXPECT_EQ(a.LostBytes(0), 0u);
}

// The interrupt of the engine's last block before a STOP comes only once the pin runs again (the
// processor that takes it busy elsewhere all that time): that block is of the run before, in a
// ring cleared since, and the new run's first buffer holds the first block the engine completed in
// the new run.
TEST(AudioDelivery, AnInterruptOfTheRunBeforeServedInTheNextRunDeliversNothingOfIt) {
    AudioBed a;
    Running r(a, 0, 1);
    a.Step(0);
    r.Expect(r.next_index);

    sim::Card& card = a.bed.card();
    card.hold_interrupts(true);
    ASSERT_EQ(card.step_audio(0), 1u);
    ASSERT_EQ(r.pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(r.pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    a.Submit(*r.pin, 1);
    const uint16_t first = static_cast<uint16_t>(card.audio_frames_rendered(0));
    ASSERT_EQ(r.pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    card.hold_interrupts(false);
    ASSERT_TRUE(card.interrupt_line().wait_quiet(qh::testing::kWaitMs));
    host::flush_dpcs();

    a.Step(0);
    r.Expect(first);
}

// Nor does one left pending across a rebalance: the restart's ring is new, and its first block
// is the one the engine writes after the restart.
TEST(AudioDelivery, AnInterruptLeftPendingAcrossARebalanceDeliversNothingOfIt) {
    AudioBed a;
    Running r(a, 0, 1);
    a.Step(0);
    r.Expect(r.next_index);

    sim::Card& card = a.bed.card();
    card.hold_interrupts(true);
    ASSERT_EQ(card.step_audio(0), 1u);
    a.Submit(*r.pin, 1);
    const uint16_t first = static_cast<uint16_t>(card.audio_frames_rendered(0));
    ASSERT_EQ(a.bed.rebalance(/*move_window=*/true), STATUS_SUCCESS);
    card.hold_interrupts(false);
    ASSERT_TRUE(card.interrupt_line().wait_quiet(qh::testing::kWaitMs));
    host::flush_dpcs();

    a.Step(0);
    r.Expect(first, kBlock, /*discontinuity=*/true);
}

TEST(AudioDelivery, OddSizedBuffersGetWholeFramesAndNeverMoreThanTheRingKeeps) {
    AudioBed a;
    Running r(a, 0, 1, kBlock + 3);
    const uint16_t base = r.next_index;
    a.Step(0);
    r.Expect(base, kBlock);
    EXPECT_EQ(a.ReadOffset(0) % 4, 0u);

    // A buffer larger than the ring is filled with the fourteen blocks the card cannot be
    // overwriting, and no more.
    a.Submit(*r.pin, 1, 2 * kRing);
    a.Step(0, 13);
    EXPECT_EQ(r.pin->queued(), 1u);
    a.Step(0);
    r.Expect(After(base, 1), 14 * kBlock);
    EXPECT_EQ(a.LostBytes(0), 0u);
}

TEST(AudioDelivery, BufferWithoutDataIsSkippedAndTheNextGetsTheAudio) {
    AudioBed a;
    auto filter = a.OpenAudio(1);
    auto pin = AudioBed::CreatePin(*filter);
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pin->submit(kBlock, kPlainHeader, false), STATUS_SUCCESS);
    a.Submit(*pin, 1);
    const uint16_t base = static_cast<uint16_t>(a.bed.card().audio_blocks_produced(1) * kFramesPerBlock);
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);

    a.bed.clear_trace();
    a.Step(1);
    EXPECT_EQ(a.bed.trace_count("channel1AudioDpcRoutine 2\n"), 1u);
    auto skipped = a.Completed(*pin);
    EXPECT_EQ(skipped.stream_header().DataUsed, 0u);
    EXPECT_EQ(a.DeliveredBytes(1), 0u);

    a.Step(1);
    auto frame = a.Completed(*pin);
    ASSERT_EQ(frame.stream_header().DataUsed, kBlock);
    EXPECT_EQ(ExpectContinuousWithin(frame.data, kBlock), base);
}

TEST(AudioDelivery, PendingTimerAfterPauseOnlyTraces) {
    AudioBed a;
    Running r(a, 0, 1, 2 * kBlock);
    a.Step(0);
    ASSERT_TRUE(qh::testing::wait_until([] { return host::pending_timer_count() > 0; }));

    a.bed.clear_trace();
    ASSERT_EQ(r.pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    // The timer armed while running still fires; the run finds the pin paused.
    host::advance_clock(host::clock_tick_100ns());
    EXPECT_TRUE(qh::testing::wait_until([&] { return a.bed.trace_count("channel0AudioDpcRoutine 0\n") >= 1; }));
    EXPECT_TRUE(qh::testing::wait_until([] { return host::pending_timer_count() == 0; }));
    EXPECT_EQ(r.pin->queued(), 1u);
    EXPECT_EQ(a.DeliveredBytes(0), 0u);
    EXPECT_EQ(a.bed.trace_count("channel0AudioDpcRoutine 1\n"), 0u);

    // At STOP the unfilled buffer goes back to the client.
    ASSERT_EQ(r.pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    auto frame = a.Completed(*r.pin);
    EXPECT_EQ(frame.stream_header().DataUsed, 0u);
}

TEST(AudioDelivery, FourInputsAtOnceStayContinuousOverHundredsOfBuffers) {
    AudioBed a;
    std::vector<std::unique_ptr<Running>> pins;
    for (uint32_t input = 0; input < 4; ++input)
        pins.push_back(std::make_unique<Running>(a, input, 4));
    std::array<uint32_t, 4> delivered{};
    std::array<uint16_t, 4> expected{};
    for (uint32_t input = 0; input < 4; ++input)
        expected[input] = pins[input]->next_index;
    constexpr uint32_t kRounds = 300;
    for (uint32_t round = 0; round < kRounds; ++round) {
        for (uint32_t input = 0; input < 4; ++input) {
            Running& r = *pins[input];
            while (r.pin->queued() < 4)
                a.Submit(*r.pin, 1);
            ASSERT_EQ(a.bed.card().step_audio(input), 1u);
        }
        host::flush_dpcs();
        for (uint32_t input = 0; input < 4; ++input) {
            qh::client::CompletedFrame frame{};
            ASSERT_TRUE(pins[input]->pin->wait_completed(frame, qh::testing::kWaitMs)) << "input " << input;
            ASSERT_EQ(frame.stream_header().DataUsed, kBlock);
            ASSERT_EQ(frame.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
            ASSERT_EQ(ExpectContinuousWithin(frame.data, kBlock), expected[input])
                << "input " << input << " buffer " << delivered[input];
            expected[input] = After(expected[input], 1);
            ++delivered[input];
        }
    }
    for (uint32_t input = 0; input < 4; ++input) {
        EXPECT_EQ(delivered[input], kRounds);
        EXPECT_EQ(a.LostBytes(input), 0u);
    }
}

}  // namespace
}  // namespace audiotest
