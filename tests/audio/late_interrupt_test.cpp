// Audio delivery when the interrupt routine comes late: several blocks completed behind one
// call of the routine (a routine held up, merged messages, a level line served once for two
// causes). The card keeps writing on its own clock; every block it completed must reach the
// client, in order, with nothing lost or repeated.
#include "tests/audio/audio_bed.h"

namespace audiotest {
namespace {

uint16_t After(uint16_t index, uint32_t blocks) { return static_cast<uint16_t>(index + blocks * kFramesPerBlock); }

qh::TestbedOptions MessageSignalled() {
    qh::TestbedOptions options = AllSourcesManual();
    options.card.interrupt_mode = sim::InterruptMode::Message;
    return options;
}

// A running audio pin with buffers queued and the sample index of the next block it should get.
struct Capture {
    Capture(AudioBed& a, uint32_t input, uint32_t buffers) : a(a), input(input) {
        filter = a.OpenAudio(input);
        pin = AudioBed::CreatePin(*filter);
        EXPECT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
        a.Submit(*pin, buffers);
        next = static_cast<uint16_t>(a.bed.card().audio_blocks_produced(input) * kFramesPerBlock);
        EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    }
    // The next `count` buffers: whole, each carrying the block after the previous one, unflagged
    // but for the first when `first_flagged`.
    void ExpectBlocks(uint32_t count, bool first_flagged = false) {
        for (uint32_t i = 0; i < count; ++i) {
            SCOPED_TRACE(testing::Message() << "input " << input << ", block " << i << " of " << count);
            qh::client::CompletedFrame frame{};
            ASSERT_TRUE(pin->wait_completed(frame, qh::testing::kWaitMs)) << "no buffer completed";
            ASSERT_EQ(frame.stream_header().DataUsed, kBlock);
            EXPECT_EQ(frame.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY,
                      first_flagged && i == 0 ? KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY : 0u);
            EXPECT_EQ(ExpectContinuousWithin(frame.data, kBlock), next);
            next = After(next, 1);
        }
    }
    AudioBed& a;
    uint32_t input;
    std::unique_ptr<qh::client::Filter> filter;
    std::unique_ptr<qh::client::Pin> pin;
    uint16_t next = 0;
};

// The card completes `blocks` blocks of each input in `per_input` while the interrupt routine is
// held off; then the routine runs (once per pending message or level) and its DPCs finish.
void CompleteBehindOneInterrupt(AudioBed& a, const std::vector<std::pair<uint32_t, uint32_t>>& per_input) {
    sim::Card& card = a.bed.card();
    card.hold_interrupts(true);
    for (auto [input, blocks] : per_input)
        ASSERT_EQ(card.step_audio(input, blocks), blocks);
    card.hold_interrupts(false);
    ASSERT_TRUE(card.interrupt_line().wait_quiet(qh::testing::kWaitMs));
    host::flush_dpcs();
}

TEST(LateAudioInterrupts, TwoBlocksBehindOneLevelInterruptAreBothDelivered) {
    AudioBed a;
    Capture c(a, 0, 40);
    a.Step(0);
    ASSERT_NO_FATAL_FAILURE(c.ExpectBlocks(1));

    const uint64_t calls = a.bed.card().interrupt_line().calls();
    CompleteBehindOneInterrupt(a, {{0, 2}});
    // One call of the routine saw one status bit for two blocks.
    EXPECT_EQ(a.bed.card().interrupt_line().calls() - calls, 1u);
    EXPECT_EQ(a.HwBytes(0), 3u * kBlock);
    ASSERT_NO_FATAL_FAILURE(c.ExpectBlocks(2));

    // Delivery carries on block by block afterwards, nothing pending behind it.
    a.Step(0, 3);
    ASSERT_NO_FATAL_FAILURE(c.ExpectBlocks(3));
    EXPECT_EQ(a.HwBytes(0) - a.DeliveredBytes(0), 0u);
    EXPECT_EQ(a.LostBytes(0), 0u);
}

TEST(LateAudioInterrupts, RoutineStalledFor25MillisecondsLosesNoAudio) {
    AudioBed a;
    Capture c(a, 2, 60);
    a.Step(2);
    ASSERT_NO_FATAL_FAILURE(c.ExpectBlocks(1));
    // Stalls of 25 ms (three blocks of 10 ms complete meanwhile), again and again, around the
    // ring's end several times: a count that slipped a block at each would fall a lap behind.
    for (uint32_t stall = 0; stall < 12; ++stall) {
        SCOPED_TRACE(stall);
        CompleteBehindOneInterrupt(a, {{2, 3}});
        ASSERT_NO_FATAL_FAILURE(c.ExpectBlocks(3));
        ASSERT_EQ(a.HwBytes(2) - a.DeliveredBytes(2), 0u);
    }
    EXPECT_EQ(a.DeliveredBytes(2), 37u * kBlock);
    EXPECT_EQ(a.LostBytes(2), 0u);
}

TEST(LateAudioInterrupts, MergedMessagesServeEveryInputsBlocks) {
    AudioBed a(MessageSignalled());
    Capture c0(a, 0, 20);
    Capture c1(a, 1, 20);
    a.Step(0);
    a.Step(1);
    ASSERT_NO_FATAL_FAILURE(c0.ExpectBlocks(1));
    ASSERT_NO_FATAL_FAILURE(c1.ExpectBlocks(1));

    // Input 0 completes two blocks and input 1 one while a message is pending: the messages of
    // the new causes merge into the pending one, and one call of the routine serves all three.
    const uint64_t calls = a.bed.card().interrupt_line().calls();
    CompleteBehindOneInterrupt(a, {{0, 2}, {1, 1}});
    EXPECT_EQ(a.bed.card().interrupt_line().calls() - calls, 1u);
    ASSERT_NO_FATAL_FAILURE(c0.ExpectBlocks(2));
    ASSERT_NO_FATAL_FAILURE(c1.ExpectBlocks(1));

    // Later messages are served one by one again.
    a.Step(0);
    a.Step(1);
    ASSERT_NO_FATAL_FAILURE(c0.ExpectBlocks(1));
    ASSERT_NO_FATAL_FAILURE(c1.ExpectBlocks(1));
    for (uint32_t input : {0u, 1u}) {
        EXPECT_EQ(a.HwBytes(input) - a.DeliveredBytes(input), 0u) << "input " << input;
        EXPECT_EQ(a.LostBytes(input), 0u) << "input " << input;
    }
}

TEST(LateAudioInterrupts, EngineStartingAtBlock9AndRestartingWhereItStopped) {
    qh::TestbedOptions options = AllSourcesManual();
    options.card.audio_start_block[3] = 9;
    AudioBed a(std::move(options));
    Capture c(a, 3, 40);
    // The first block lands in ring block 9: delivery starts there, not at the ring's start.
    a.Step(3);
    ASSERT_NO_FATAL_FAILURE(c.ExpectBlocks(1));
    EXPECT_EQ(a.ReadOffset(3), 10u * kBlock);
    // Round the ring's end, with a late routine on the way.
    a.Step(3, 5);
    CompleteBehindOneInterrupt(a, {{3, 2}});
    a.Step(3, 3);
    ASSERT_NO_FATAL_FAILURE(c.ExpectBlocks(10));
    EXPECT_EQ(a.ReadOffset(3), 4u * kBlock);

    // PAUSE and RUN again: the engine carries on at block 4 and the counters start afresh. A
    // source goes on through a pause, so the first buffer after it is flagged (this card, paced
    // by hand, happened to produce nothing meanwhile).
    ASSERT_EQ(c.pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(c.pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(a.bed.card().read32(kAudioRegs[3]) & 0xF, 4u);
    a.Step(3, 2);
    ASSERT_NO_FATAL_FAILURE(c.ExpectBlocks(2, true));
    EXPECT_EQ(a.ReadOffset(3), 6u * kBlock);
    EXPECT_EQ(a.DeliveredBytes(3), 2u * kBlock);
    EXPECT_EQ(a.LostBytes(3), 0u);
}

TEST(LateAudioInterrupts, OverrunWindowSparesTheBlockTheEngineMovedOnToBeforeItsInterrupt) {
    AudioBed a;
    Capture c(a, 1, 1);
    const uint16_t first = c.next;
    a.Step(1);
    ASSERT_NO_FATAL_FAILURE(c.ExpectBlocks(1));
    // Fifteen blocks with no buffer to take them: the ring holds them all by the count.
    a.Step(1, 15);
    ASSERT_EQ(a.HwBytes(1) - a.DeliveredBytes(1), 15u * kBlock);

    // The card completes the next block and the one after it before the routine runs: the
    // second went into the slot of the oldest pending block. A retry of the delivery runs
    // meanwhile, with the count still at fifteen pending.
    a.bed.card().hold_interrupts(true);
    ASSERT_EQ(a.bed.card().step_audio(1, 2), 2u);
    a.Submit(*c.pin, 1);
    KeInsertQueueDpc(AudioDpc(device_ext(a.bed), 1), nullptr, nullptr);
    host::flush_dpcs();
    // The oldest pending block is not handed out as good: it is counted lost. The next one is
    // the block the engine fills now (its register says so), so nothing is handed out yet.
    EXPECT_EQ(a.LostBytes(1), kBlock);
    qh::client::CompletedFrame frame{};
    EXPECT_FALSE(c.pin->wait_completed(frame, 0));

    // Once the routine has counted the blocks, the buffer gets the oldest intact one, flagged,
    // and every block skipped is counted lost.
    a.bed.card().hold_interrupts(false);
    ASSERT_TRUE(a.bed.card().interrupt_line().wait_quiet(qh::testing::kWaitMs));
    host::flush_dpcs();
    EXPECT_EQ(a.HwBytes(1), 18u * kBlock);
    ASSERT_TRUE(c.pin->wait_completed(frame, qh::testing::kWaitMs));
    ASSERT_EQ(frame.stream_header().DataUsed, kBlock);
    EXPECT_NE(frame.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
    EXPECT_EQ(ExpectContinuousWithin(frame.data, kBlock), After(first, 1 + a.LostBytes(1) / kBlock));
    EXPECT_EQ(a.LostBytes(1), 3u * kBlock);
}

TEST(LateAudioInterrupts, EngineAheadOfALateRoutineIntoTheCopiedAudioHoldsTheBufferBack) {
    AudioBed a;
    Capture c(a, 1, 1);
    const uint16_t first = c.next;
    a.Step(1);
    ASSERT_NO_FATAL_FAILURE(c.ExpectBlocks(1));
    // Fourteen blocks pending by the count: all of them intact while the routine keeps up.
    a.Step(1, 14);
    ASSERT_EQ(a.HwBytes(1) - a.DeliveredBytes(1), 14u * kBlock);

    // The routine falls behind: the card completes two more blocks and is half-way through the
    // next, which lands in the slot of the oldest pending block. The count still says fourteen.
    sim::Card& card = a.bed.card();
    card.hold_interrupts(true);
    ASSERT_EQ(card.step_audio(1, 2), 2u);
    ASSERT_EQ(card.advance_audio(1, sim::Card::kAudioPieces / 2), 0u);
    a.Submit(*c.pin, 1);
    KeInsertQueueDpc(AudioDpc(device_ext(a.bed), 1), nullptr, nullptr);
    host::flush_dpcs();
    // What the copy held was half the oldest block and half the card's newest: not handed out.
    qh::client::CompletedFrame frame{};
    EXPECT_FALSE(c.pin->wait_completed(frame, 0)) << "a buffer the engine was writing into was delivered";

    // Once the routine has counted the blocks, the overrun is skipped and flagged.
    card.hold_interrupts(false);
    ASSERT_TRUE(card.interrupt_line().wait_quiet(qh::testing::kWaitMs));
    host::flush_dpcs();
    ASSERT_TRUE(c.pin->wait_completed(frame, qh::testing::kWaitMs));
    ASSERT_EQ(frame.stream_header().DataUsed, kBlock);
    EXPECT_NE(frame.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
    EXPECT_EQ(ExpectContinuousWithin(frame.data, kBlock), After(first, 3));
    EXPECT_EQ(a.LostBytes(1), 2u * kBlock);
}

// The routine held up past a whole ring: the engine's position alone cannot tell sixteen more
// blocks from none, so only the time the routine was away shows that blocks went by uncounted.
// Then a source that stops and comes back: its audio starts afresh. Both gaps are announced.
TEST(LateAudioInterrupts, RoutineHeldPastTheRingAndASourceComingBackAreAnnouncedAsGaps) {
    AudioBed a;
    Capture c(a, 0, 40);
    a.Step(0, 2);
    c.ExpectBlocks(2);

    sim::Card& card = a.bed.card();
    card.hold_interrupts(true);
    ASSERT_EQ(card.step_audio(0, 17), 17u);
    host::advance_clock(17 * 100000);  // the 170 ms the card took for them
    card.hold_interrupts(false);
    ASSERT_TRUE(card.interrupt_line().wait_quiet(qh::testing::kWaitMs));
    host::flush_dpcs();
    qh::client::CompletedFrame frame = a.Completed(*c.pin);
    ASSERT_EQ(frame.stream_header().DataUsed, kBlock);
    EXPECT_NE(frame.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u)
        << "sixteen blocks went by uncounted and nothing said so";
    EXPECT_EQ(ExpectContinuousWithin(frame.data, kBlock), After(c.next, 16)) << "not the newest block";
    EXPECT_EQ(a.LostBytes(0), 16u * kBlock);
    c.next = After(c.next, 17);
    host::advance_clock(100000);
    a.Step(0, 2);
    c.ExpectBlocks(2);

    // The receiver locks again after 100 ms: a new source, whose sample index starts at 0.
    card.set_source(0, card.source(0));
    host::advance_clock(10 * 100000);
    a.Step(0, 1);
    frame = a.Completed(*c.pin);
    ASSERT_EQ(frame.stream_header().DataUsed, kBlock);
    EXPECT_NE(frame.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u)
        << "the source began again and nothing said so";
    EXPECT_EQ(ExpectContinuousWithin(frame.data, kBlock), 0u);
    c.next = After(0, 1);
    host::advance_clock(100000);
    a.Step(0, 1);
    c.ExpectBlocks(1);
}

}  // namespace
}  // namespace audiotest
