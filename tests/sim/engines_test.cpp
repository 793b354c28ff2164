// The DMA engines: where each unit or block lands, the status word the driver decodes, the
// interrupt bits, and what happens at the edges (stop, refused DMA, mode change, removal).
#include "sim_fixture.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

using namespace simtest;

namespace {

sim::Stamp stamp_at(Rig& rig, uint64_t buffer, uint32_t line, uint32_t width) {
    auto bytes = rig.bus.bytes(buffer, static_cast<size_t>(line) * width * 2, sim::kStampBytes);
    return sim::read_stamp(bytes.data());
}

}  // namespace

TEST(VideoEngine, ProgressiveUnitsFollowTheRingAndNameTheCompletedBuffer) {
    Rig rig;
    bring_up(*rig, 2);  // 1280x720p60 on input 2: block 0x9800, enable 0xC02C, bit 9
    rig->write32(0xC004, 1);
    auto ring = start_video(rig, 2, 1280 * 720 * 2);
    EXPECT_TRUE(rig->video_engine_running(2));

    for (uint32_t k = 0; k < 7; ++k) {
        SCOPED_TRACE(k);
        ASSERT_EQ(rig->step_video(2), 1u);
        const uint32_t status = rig->read32(0x9800);
        EXPECT_EQ(status & 3, k % 3) << "progressive: the buffer just completed";
        EXPECT_EQ(status & (1u << 24), 0u);
        EXPECT_EQ(rig.acknowledge(), 0x200u);
        const uint64_t buf = ring.buf[status & 3];
        for (uint32_t line : {0u, 1u, 359u, 719u}) {
            auto s = stamp_at(rig, buf, line, 1280);
            EXPECT_EQ(s.frame, k);
            EXPECT_EQ(s.line, line);
            EXPECT_EQ(s.field, 0);
            EXPECT_EQ(s.input, 2);
        }
    }
    // Nothing beyond the unit is written.
    EXPECT_EQ(rig.bus.bytes(ring.buf[0], 1280 * 720 * 2, 1)[0], 0xEE);
    EXPECT_EQ(rig->video_units_produced(2), 7u);
    EXPECT_EQ(rig->frames_produced(2), 7u);

    // After the stop sequence a step writes nothing and raises nothing.
    stop_video(rig, 2);
    EXPECT_EQ(rig->step_video(2), 0u);
    EXPECT_EQ(rig->interrupt_status(), 0u);
}

TEST(VideoEngine, InterlacedFieldsWeaveFromTheTwoBuffersBeforeTheIndex) {
    Rig rig;
    bring_up(*rig, 1);  // 1920x1080i60 on input 1: block 0xB000, enable 0xC024, bit 7
    rig->write32(0xC004, 1);
    auto ring = start_video(rig, 1, 1920 * 1080);  // one field: 540 lines of 3840 bytes

    uint32_t bottoms = 0;
    for (uint32_t k = 0; k < 6; ++k) {
        SCOPED_TRACE(k);
        ASSERT_EQ(rig->step_video(1), 1u);
        const uint32_t status = rig->read32(0xB000);
        const uint32_t index = status & 3;
        EXPECT_EQ(index, (k + 1) % 3) << "interlaced: the buffer written next";
        const bool bottom = (k % 2) == 1;
        EXPECT_EQ((status >> 24) & 1, bottom ? 1u : 0u);
        EXPECT_EQ(rig.acknowledge(), 0x80u);
        if (!bottom) continue;
        ++bottoms;
        // What a driver weaves at this interrupt: top from (index+1)%3, bottom from (index+2)%3.
        const uint64_t top = ring.buf[(index + 1) % 3];
        const uint64_t bot = ring.buf[(index + 2) % 3];
        for (uint32_t r : {0u, 1u, 270u, 539u}) {
            auto t = stamp_at(rig, top, r, 1920);
            auto b = stamp_at(rig, bot, r, 1920);
            EXPECT_EQ(t.frame, k / 2);
            EXPECT_EQ(b.frame, k / 2);
            EXPECT_EQ(t.line, 2 * r);
            EXPECT_EQ(b.line, 2 * r + 1);
            EXPECT_EQ(t.field, 0);
            EXPECT_EQ(b.field, 1);
            EXPECT_EQ(t.input, 1);
        }
    }
    EXPECT_EQ(bottoms, 3u);
    EXPECT_EQ(rig->frames_produced(1), 3u);
    EXPECT_EQ(rig->video_units_produced(1), 6u);
    // A field is 540 lines: the 541st line of the buffer was never written.
    EXPECT_EQ(rig.bus.bytes(ring.buf[0], 1920 * 1080, 1)[0], 0xEE);

    // Restarting on a bottom field: that field is skipped, capture begins with a top field.
    stop_video(rig, 1);
    rig->step_video(1);  // the source moves on to a bottom field while stopped
    start_video(rig, 1, 1920 * 1080);
    EXPECT_EQ(rig->step_video(1), 0u);
    EXPECT_EQ(rig->step_video(1), 1u);
    EXPECT_EQ(rig->read32(0xB000), 1u);
}

TEST(VideoEngine, WritesNoMoreThanTheUnitAndNothingOutsideLiveBuffers) {
    Rig rig;
    bring_up(*rig, 0);
    rig->write32(0xC004, 1);
    // Bytes per unit smaller than the frame: only that much is written.
    auto ring = start_video(rig, 0, 1000);
    ASSERT_EQ(rig->step_video(0), 1u);
    EXPECT_NE(rig.bus.bytes(ring.buf[0], 999, 1)[0], 0xEE);
    EXPECT_EQ(rig.bus.bytes(ring.buf[0], 1000, 1)[0], 0xEE);
    rig.acknowledge();
    stop_video(rig, 0);

    // A source larger than the buffers (bytes per unit says so): the bus refuses, nothing is
    // announced, the failure is counted.
    rig->set_source(0, *sim::parse_source("2048x1080p60"));
    start_video(rig, 0, 2048 * 1080 * 2);
    EXPECT_EQ(rig->step_video(0), 0u);
    EXPECT_EQ(rig->dma_failures(0), 1u);
    EXPECT_EQ(rig->interrupt_status(), 0u);
    EXPECT_GE(rig.bus.refused(), 1u);

    // Unplugged source: no units.
    rig->set_source(0, *sim::parse_source("none"));
    EXPECT_EQ(rig->step_video(0), 0u);
    EXPECT_EQ(rig->dma_failures(0), 1u);
}

TEST(AudioEngine, BlocksCircleTheRingAndTheStatusNamesTheNextBlock) {
    Rig rig;
    bring_up(*rig, 3);
    rig->set_source(3, *sim::parse_source("1920x1080p60"));
    rig->write32(0xC004, 1);
    const uint64_t all = rig.bus.add(4 * 30720);
    const uint32_t a = kAudioBase[3];
    rig->write32(a + 0x08, static_cast<uint32_t>(all >> 32));
    rig->write32(a + 0x0C, static_cast<uint32_t>(all) + 3 * 30720);
    rig->write32(a + 0x04, 30720);
    rig->write32(a + 0x10, 1920);
    rig->read32(a);
    rig->write32(0xC030, 1);
    rig->write32(a, 1);
    EXPECT_EQ(rig->read32(a) & 0xF, 0u);

    uint16_t expected_left = 0;
    for (uint32_t k = 0; k < 18; ++k) {
        SCOPED_TRACE(k);
        ASSERT_EQ(rig->step_audio(3), 1u);
        EXPECT_EQ(rig->read32(a) & 0xF, (k + 1) % 16);
        EXPECT_EQ(rig.acknowledge(), 0x400u);
        // The block before the one named holds the newest audio.
        const uint32_t block = ((rig->read32(a) & 0xF) + 15) & 0xF;
        EXPECT_EQ(block, k % 16);
        auto bytes = rig.bus.bytes(all, 3 * 30720 + block * 1920, 1920);
        int nonzero_right = 0;
        for (uint32_t f = 0; f < 480; ++f) {
            uint16_t left = static_cast<uint16_t>(bytes[4 * f] | bytes[4 * f + 1] << 8);
            int16_t right = static_cast<int16_t>(bytes[4 * f + 2] | bytes[4 * f + 3] << 8);
            ASSERT_EQ(left, expected_left) << "frame " << f;
            ++expected_left;
            nonzero_right += right != 0;
        }
        EXPECT_GT(nonzero_right, 400);
    }
    // Other inputs' slices untouched.
    EXPECT_EQ(rig.bus.bytes(all, 0, 1)[0], 0xEE);
    EXPECT_EQ(rig.bus.bytes(all, 3 * 30720 - 1, 1)[0], 0xEE);
    EXPECT_EQ(rig->audio_blocks_produced(3), 18u);

    // Stop (enable, then control): nothing more. Restart: the counter carries on from block 2,
    // where the engine stopped.
    rig->write32(0xC030, 0);
    rig->write32(a, 0);
    EXPECT_EQ(rig->step_audio(3, 2), 0u);
    rig->write32(0xC030, 1);
    rig->write32(a, 1);
    EXPECT_EQ(rig->read32(a) & 0xF, 2u);
    EXPECT_EQ(rig->step_audio(3, 1), 1u);
    EXPECT_EQ(rig->read32(a) & 0xF, 3u);

    // A ring smaller than a block is refused rather than written past.
    rig->write32(a + 0x04, 1000);
    EXPECT_EQ(rig->step_audio(3), 0u);
}

TEST(AudioEngine, NoAudioWithoutASignal) {
    Rig rig;
    rig->write32(0xC004, 1);
    const uint64_t ring = rig.bus.add(30720);
    rig->write32(0x8000 + 0x0C, static_cast<uint32_t>(ring));
    rig->write32(0x8000 + 0x04, 30720);
    rig->write32(0x8000 + 0x10, 1920);
    rig->write32(0xC018, 1);
    rig->write32(0x8000, 1);
    EXPECT_EQ(rig->step_audio(0), 0u) << "receiver not configured";
    bring_up(*rig, 0);
    EXPECT_EQ(rig->step_audio(0), 1u);
    rig->set_source(0, *sim::parse_source("none"));
    EXPECT_EQ(rig->step_audio(0), 0u);
}

// The engines write a unit in pieces across its period: a reader part-way through sees the
// leading lines (bytes) of the new unit and the old contents after them, and the interrupt bit
// and the block register move only with the last piece. An engine stopped part-way announces
// nothing and, started again, takes the source's next unit into the same buffer.
TEST(Engines, UnitsLandInPiecesAndCompleteWithTheLastOne) {
    Rig rig;
    bring_up(*rig, 2);
    rig->write32(0xC004, 1);
    auto ring = start_video(rig, 2, 1280 * 720 * 2);
    const uint32_t before = rig->read32(0x9800);
    const uint32_t quarter = sim::Card::kVideoPieces / 4;
    EXPECT_EQ(rig->advance_video(2, quarter), 0u);
    EXPECT_EQ(stamp_at(rig, ring.buf[0], 0, 1280).frame, 0u);
    EXPECT_EQ(stamp_at(rig, ring.buf[0], 179, 1280).line, 179u);
    EXPECT_EQ(rig.bus.bytes(ring.buf[0], 180 * 1280 * 2, 1)[0], 0xEE) << "line 180 not yet written";
    EXPECT_EQ(rig->interrupt_status(), 0u);
    EXPECT_EQ(rig->read32(0x9800), before);
    EXPECT_EQ(rig->advance_video(2, quarter), 0u);
    EXPECT_EQ(stamp_at(rig, ring.buf[0], 359, 1280).line, 359u);
    EXPECT_EQ(rig.bus.bytes(ring.buf[0], 360 * 1280 * 2, 1)[0], 0xEE);
    EXPECT_EQ(rig->advance_video(2, sim::Card::kVideoPieces), 1u) << "the rest of the unit, not another";
    EXPECT_EQ(stamp_at(rig, ring.buf[0], 719, 1280).frame, 0u);
    EXPECT_EQ(rig->read32(0x9800) & 3, 0u);
    EXPECT_EQ(rig.acknowledge(), 0x200u);

    // Half of frame 1 into buffer 1, then the stop sequence: no interrupt, no completion.
    EXPECT_EQ(rig->advance_video(2, 2 * quarter), 0u);
    EXPECT_EQ(stamp_at(rig, ring.buf[1], 0, 1280).frame, 1u);
    stop_video(rig, 2);
    EXPECT_EQ(rig->advance_video(2, 2 * quarter), 0u) << "frame 2 passes a stopped engine by";
    EXPECT_EQ(rig->interrupt_status(), 0u);
    EXPECT_EQ(rig->video_units_produced(2), 1u);
    rig->read32(0x9800);
    rig->write32(0xC02C, 1);
    rig->write32(0x9800, 1);
    EXPECT_EQ(rig->step_video(2), 1u);
    EXPECT_EQ(rig->read32(0x9800) & 3, 1u) << "the unit left half-written is taken again from its start";
    EXPECT_EQ(stamp_at(rig, ring.buf[1], 0, 1280).frame, 3u);
    EXPECT_EQ(stamp_at(rig, ring.buf[1], 719, 1280).frame, 3u);
    rig.acknowledge();

    // Audio: a block's bytes arrive in sample-frame pieces; the register names the next block
    // only once the block is whole.
    rig->set_source(3, *sim::parse_source("1920x1080p60"));
    bring_up(*rig, 3);
    const uint64_t slice = rig.bus.add(30720);
    const uint32_t a = kAudioBase[3];
    rig->write32(a + 0x0C, static_cast<uint32_t>(slice));
    rig->write32(a + 0x04, 30720);
    rig->write32(a + 0x10, 1920);
    rig->write32(0xC030, 1);
    rig->write32(a, 1);
    const uint32_t block = rig->read32(a) & 0xF;
    const size_t piece = 1920 / sim::Card::kAudioPieces;
    EXPECT_EQ(rig->advance_audio(3, 3), 0u);
    auto bytes = rig.bus.bytes(slice, block * 1920, 1920);
    EXPECT_EQ(bytes[3 * piece - 4] | bytes[3 * piece - 3] << 8, static_cast<int>(3 * piece / 4 - 1));
    EXPECT_EQ(bytes[3 * piece], 0xEE);
    EXPECT_EQ(rig->read32(a) & 0xF, block);
    EXPECT_EQ(rig->interrupt_status(), 0u);
    EXPECT_EQ(rig->advance_audio(3, sim::Card::kAudioPieces - 3), 1u);
    EXPECT_EQ(rig->read32(a) & 0xF, (block + 1) % 16);
    EXPECT_NE(rig.bus.bytes(slice, block * 1920 + 1916, 4), std::vector<uint8_t>(4, 0xEE));
    EXPECT_EQ(rig.acknowledge(), 0x400u);
}

// Nothing resets the engines' positions, so a card comes up anywhere: positions not given are
// drawn from the card's start seed, the same seed giving the same positions; given ones stay.
TEST(Engines, StartPositionsComeFromTheStartSeedUnlessGiven) {
    auto positions = [](sim::CardConfig config) {
        config.pacing = sim::Pacing::Manual;
        Rig rig(config);
        bring_up(*rig, 2);
        start_video(rig, 2, 1280 * 720 * 2);
        EXPECT_EQ(rig->step_video(2), 1u);
        return std::pair{rig->read32(kAudioBase[0]) & 0xF, rig->read32(kVideoBase[2]) & 3};
    };
    std::set<uint32_t> blocks, buffers;
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        auto config = sim::Card::default_config();
        config.start_seed = seed;
        const auto p = positions(config);
        EXPECT_EQ(positions(config), p) << "seed " << seed;
        blocks.insert(p.first);
        buffers.insert(p.second);
        EXPECT_EQ(sim::Card(config, Rig::manual_wiring()).start_seed(), seed);
    }
    EXPECT_GT(blocks.size(), 3u) << "the audio block counter does not always start at 0";
    EXPECT_GT(buffers.size(), 1u);

    auto given = sim::Card::default_config();
    given.start_seed = 5;
    given.audio_start_block[0] = 9;
    given.video_start_buffer[2] = 2;
    EXPECT_EQ(positions(given), std::pair(9u, 2u));
    auto unseeded = sim::Card::default_config();
    EXPECT_EQ(sim::Card(unseeded, Rig::manual_wiring()).start_seed(), sim::start_seed_of_process());
}

// A card pulled out while an engine's transfer is on the wire: its interrupt line drops at once,
// not once the transfer has ended (a line left up would be served by a routine that reads all
// ones, claims nothing, and the host would see an interrupt storm). The transfer in flight is
// the last one: unplug returns only after it, and nothing reaches host memory afterwards.
TEST(Engines, UnplugDropsTheLineAtOnceAndTheTransferOnTheWireIsTheLast) {
    Rig rig;
    bring_up(*rig, 2);
    rig->write32(0xC004, 1);
    start_video(rig, 2, 1280 * 720 * 2);
    ASSERT_EQ(rig->step_video(2), 1u);
    ASSERT_TRUE(rig.line->level()) << "the completed unit's cause is pending, unacknowledged";

    std::mutex mu;
    std::condition_variable cv;
    bool on_wire = false, release = false;
    rig.on_dma = [&] {
        std::unique_lock<std::mutex> lk(mu);
        on_wire = true;
        cv.notify_all();
        cv.wait(lk, [&] { return release; });
    };
    std::thread engine([&] { rig->advance_video(2, 1); });
    auto wait_for = [&](const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return condition();
    };
    {
        std::unique_lock<std::mutex> lk(mu);
        EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [&] { return on_wire; }));
    }
    std::atomic<bool> unplugged{false};
    std::thread remover([&] {
        rig->unplug();
        unplugged = true;
    });
    EXPECT_TRUE(wait_for([&] { return !rig.line->level(); })) << "the line stays up while the transfer drains";
    EXPECT_FALSE(unplugged.load()) << "unplug returned with a transfer still on the wire";
    const uint32_t writes = rig.bus.writes();
    {
        std::lock_guard<std::mutex> lk(mu);
        release = true;
        cv.notify_all();
    }
    remover.join();
    engine.join();
    rig.on_dma = nullptr;
    EXPECT_EQ(rig.bus.writes(), writes + 1) << "only the transfer on the wire completes";

    // Gone for good: no unit, no transfer, no interrupt, registers all ones.
    EXPECT_EQ(rig->step_video(2), 0u);
    EXPECT_EQ(rig->step_audio(2), 0u);
    EXPECT_EQ(rig.bus.writes(), writes + 1);
    EXPECT_FALSE(rig.line->level());
    EXPECT_EQ(rig->read32(0xC000), 0xFFFFFFFFu);
}
