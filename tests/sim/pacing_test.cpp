// Source descriptions, the test pattern, the access log and the pacing modes.
#include "sim_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

using namespace simtest;

TEST(Sources, ParseAndPrint) {
    auto s = sim::parse_source("1920x1080i60");
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->cable);
    EXPECT_EQ(s->width, 1920u);
    EXPECT_EQ(s->height, 1080u);
    EXPECT_TRUE(s->interlaced);
    EXPECT_EQ(s->fps, 60.0);
    EXPECT_EQ(s->unit_bytes(), 1920u * 540 * 2);
    EXPECT_EQ(sim::format_source(*s), "1920x1080i60");
    auto p = sim::parse_source("1280X720P59.94");
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->interlaced);
    EXPECT_DOUBLE_EQ(p->fps, 59.94);
    EXPECT_EQ(sim::format_source(*p), "1280x720p59.94");
    EXPECT_FALSE(sim::parse_source("none")->cable);
    EXPECT_EQ(sim::format_source(*sim::parse_source("none")), "none");
    for (const char* bad : {"", "1920", "1920x", "1920x1080", "1920x1080q60", "0x1080p60", "1920x1080p", "1920x1080p-5",
                            "1920x1081i60", "1920x1080p60x", "axbp60", "1920x1080p6e1", "1920x1080p1e3",
                            "1920x1080p0x3c", "1920x1080p 60", "1920x1080p+60", "1920x1080pinf", "1920x1080p."})
        EXPECT_FALSE(sim::parse_source(bad)) << bad;
    EXPECT_DOUBLE_EQ(sim::parse_source("720x576i.5")->fps, 0.5);
    // Interrupt latencies are plain decimal milliseconds too.
    sim::InterruptTiming timing;
    EXPECT_TRUE(sim::parse_interrupt_latency("~2.5:7", timing));
    EXPECT_EQ(timing.latency_us, 2500u);
    EXPECT_TRUE(timing.random_latency);
    EXPECT_EQ(timing.seed, 7u);
    for (const char* bad : {"", "~", "1e1", " 2", "0x2", "-1", "2:7", "~2:", "10001"})
        EXPECT_FALSE(sim::parse_interrupt_latency(bad, timing)) << bad;
    EXPECT_EQ(timing.latency_us, 2500u) << "a refused text leaves the timing alone";

    auto d = sim::Card::default_config();
    EXPECT_EQ(sim::format_source(d.sources[0]), "1920x1080p60");
    EXPECT_EQ(sim::format_source(d.sources[1]), "1920x1080i60");
    EXPECT_EQ(sim::format_source(d.sources[2]), "1280x720p60");
    EXPECT_FALSE(d.sources[3].cable);
}

TEST(Pattern, StampsEveryLineAndStaysDeterministic) {
    sim::VideoPattern a, b;
    const auto first = a.render(2, 640, 480, true, 7, 1);
    const auto again = b.render(2, 640, 480, true, 7, 1);
    EXPECT_EQ(first, again) << "same unit, same bytes";
    ASSERT_EQ(first.size(), 640u * 240 * 2);
    for (uint32_t r = 0; r < 240; ++r) {
        auto s = sim::read_stamp(first.data() + r * 1280);
        ASSERT_EQ(s.frame, 7u);
        ASSERT_EQ(s.line, 2 * r + 1);
        ASSERT_EQ(s.field, 1);
        ASSERT_EQ(s.input, 2);
    }
    // The box moves: two frames differ beyond their stamps, and a frame rendered after others
    // equals the same frame rendered fresh (no trail left behind).
    a.render(2, 640, 480, true, 8, 1);
    a.render(2, 640, 480, true, 9, 1);
    const auto later = a.render(2, 640, 480, true, 30, 1);
    const auto fresh = sim::VideoPattern().render(2, 640, 480, true, 30, 1);
    EXPECT_EQ(later, fresh);
    size_t differing = 0;
    for (size_t i = 0; i < first.size(); ++i)
        if (i % 1280 >= sim::kStampBytes && first[i] != later[i]) ++differing;
    EXPECT_GT(differing, 0u);
    // Audio: left is the running index, right a tone, from any byte position.
    uint8_t block[16];
    sim::render_audio(1, 4 * 65535, block, sizeof block);
    EXPECT_EQ(block[0] | block[1] << 8, 0xFFFF);
    EXPECT_EQ(block[4] | block[5] << 8, 0x0000);
    uint8_t tail[6];
    sim::render_audio(1, 4 * 65535 + 2, tail, sizeof tail);
    EXPECT_EQ(0, std::memcmp(tail, block + 2, sizeof tail));
}

// The checks every consumer of the pattern relies on: a frame of two frames within a field is
// torn, fields of two frames (or in the wrong order, or of another input) are mixed, a line out
// of place is misplaced; frame numbers must move on unless a flag says the source started again;
// the audio index must step by one unless a flag at the buffer's start announces the gap.
TEST(Pattern, ChecksTellTornMixedAndMisplacedFramesRepeatsAndUnannouncedAudioBreaks) {
    constexpr uint32_t kWidth = 64, kHeight = 16, kPitch = kWidth * 2, kInput = 2;
    sim::VideoPattern pattern;
    auto progressive = [&](uint32_t input, uint64_t frame) {
        return pattern.render(input, kWidth, kHeight, false, frame, 0);
    };
    auto check = [&](const std::vector<uint8_t>& f, bool woven) {
        return sim::check_frame(f.data(), kPitch, kHeight, kInput, woven);
    };
    const std::vector<uint8_t> five = progressive(kInput, 5), six = progressive(kInput, 6);
    EXPECT_EQ(check(five, false).fault, sim::FrameFault::None);
    EXPECT_EQ(check(five, false).frame, 5u);

    std::vector<uint8_t> f = five;  // the engine overtook the copy at line 9
    std::copy(six.begin() + 9 * kPitch, six.end(), f.begin() + 9 * kPitch);
    sim::FrameCheck c = check(f, false);
    EXPECT_EQ(c.fault, sim::FrameFault::Torn);
    EXPECT_EQ(c.line, 9u);
    EXPECT_EQ(c.found.frame, 6u);
    f = five;  // two lines swapped
    std::swap_ranges(f.begin() + 3 * kPitch, f.begin() + 4 * kPitch, f.begin() + 4 * kPitch);
    c = check(f, false);
    EXPECT_EQ(c.fault, sim::FrameFault::Misplaced);
    EXPECT_EQ(c.line, 3u);
    EXPECT_EQ(check(progressive(1, 5), false).fault, sim::FrameFault::Mixed) << "another input's frame";
    f = five;  // a frame of another geometry: line 2 starts in the middle of a line, on the bars
    std::copy_n(five.begin() + 2 * kPitch + 24, kPitch, f.begin() + 2 * kPitch);
    c = check(f, false);
    EXPECT_EQ(c.fault, sim::FrameFault::Misplaced);
    EXPECT_EQ(c.line, 2u);
    EXPECT_EQ(check(five, true).fault, sim::FrameFault::Mixed) << "a progressive frame is no woven one";

    // Woven frames from the two fields of an interlaced source.
    auto field = [&](uint64_t frame, uint32_t parity) {
        return pattern.render(kInput, kWidth, kHeight, true, frame, parity);
    };
    auto weave = [&](const std::vector<uint8_t>& even, const std::vector<uint8_t>& odd) {
        std::vector<uint8_t> out(size_t(kPitch) * kHeight);
        for (uint32_t r = 0; r < kHeight; ++r)
            std::copy_n((r & 1 ? odd : even).begin() + (r / 2) * kPitch, kPitch, out.begin() + r * kPitch);
        return out;
    };
    const std::vector<uint8_t> top3 = field(3, 0), bottom3 = field(3, 1), top4 = field(4, 0), bottom4 = field(4, 1);
    EXPECT_EQ(check(weave(top3, bottom3), true).fault, sim::FrameFault::None);
    EXPECT_EQ(check(weave(top3, bottom4), true).fault, sim::FrameFault::Mixed) << "fields of two frames";
    EXPECT_EQ(check(weave(bottom3, top3), true).fault, sim::FrameFault::Mixed) << "fields in the wrong order";
    std::vector<uint8_t> half = top3;  // the top field's buffer overwritten part-way by the next top field
    std::copy(top4.begin() + 4 * kPitch, top4.end(), half.begin() + 4 * kPitch);
    c = check(weave(half, bottom3), true);
    EXPECT_EQ(c.fault, sim::FrameFault::Torn);
    EXPECT_EQ(c.line, 8u);
    // Lines narrower than a stamp: only the frame number (4 bytes) is there to compare.
    const std::vector<uint8_t> tiny = {7, 0, 0, 0, 7, 0, 0, 0, 8, 0, 0, 0};
    EXPECT_EQ(sim::check_frame(tiny.data(), 4, 2, kInput, false).fault, sim::FrameFault::None);
    EXPECT_EQ(sim::check_frame(tiny.data(), 4, 3, kInput, false).fault, sim::FrameFault::Torn);

    using Step = sim::FrameOrder::Step;
    sim::FrameOrder order;
    EXPECT_EQ(order.next(1, false).step, Step::First);
    EXPECT_EQ(order.next(2, false).step, Step::Next);
    const auto skipped = order.next(5, false);
    EXPECT_EQ(skipped.step, Step::Next);
    EXPECT_EQ(skipped.skipped, 2u);
    EXPECT_EQ(order.next(5, false).step, Step::Repeated);
    EXPECT_EQ(order.next(3, false).step, Step::Backwards);
    EXPECT_EQ(order.next(0, true).step, Step::Restarted) << "the source started again, and the driver said so";
    EXPECT_EQ(order.next(0, true).step, Step::Restarted) << "and again, at the same number";
    EXPECT_EQ(order.next(1, false).step, Step::Next);
    EXPECT_TRUE(sim::FrameOrder::bad(Step::Repeated) && sim::FrameOrder::bad(Step::Backwards));
    EXPECT_FALSE(sim::FrameOrder::bad(Step::Restarted) || sim::FrameOrder::bad(Step::Next));

    // Audio: blocks of 480 sample frames from the card's stream, some left out.
    auto block = [](uint64_t index) {
        std::vector<uint8_t> b(1920);
        sim::render_audio(0, index * 1920, b.data(), b.size());
        return b;
    };
    sim::AudioIndexCheck audio;
    for (uint64_t k = 0; k < 3; ++k)
        EXPECT_EQ(audio.feed(block(k).data(), 1920, false), 0u);
    EXPECT_EQ(audio.feed(block(140).data(), 1920, false), 1u) << "a gap nothing announced";
    EXPECT_EQ(audio.feed(block(150).data(), 1920, true), 0u) << "a gap the flag announced";
    EXPECT_EQ(audio.feed(nullptr, 0, true), 0u);
    EXPECT_EQ(audio.feed(block(160).data(), 1920, false), 0u) << "the flag of an empty buffer stands before the next";
    std::vector<uint8_t> broken = block(161);
    std::copy_n(block(170).begin(), 960, broken.begin() + 960);
    EXPECT_EQ(audio.feed(broken.data(), 1920, true), 1u) << "a flag announces a gap at its buffer's start only";
    EXPECT_EQ(audio.unflagged_breaks(), 2u);
    EXPECT_EQ(audio.flagged_breaks(), 2u);
    EXPECT_EQ(audio.frames(), 7u * 480);
}

TEST(AccessLog, RecordsOffsetsValuesDirectionAndOrderOnlyWhenOn) {
    Rig rig;
    rig->write32(0xC004, 1);
    EXPECT_TRUE(rig->access_log().empty());
    rig->set_access_log(true);
    rig->write32(0xC01C, 1);
    rig->write32(0x1234, 0xABCD);  // unlisted: ignored, reads 0
    EXPECT_EQ(rig->read32(0x1234), 0u);
    rig->read32(0xC004);
    auto log = rig->access_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].offset, 0xC01Cu);
    EXPECT_TRUE(log[0].is_write);
    EXPECT_EQ(log[1].value, 0xABCDu);
    EXPECT_FALSE(log[2].is_write);
    EXPECT_EQ(log[3].value, 1u);
    EXPECT_LE(log[0].time_ns, log[3].time_ns);
    rig->set_access_log(false);
    rig->read32(0);
    EXPECT_EQ(rig->access_log().size(), 4u);

    // Limited to some offsets, the log keeps just those, and names the thread of each access:
    // the benchmarks tell the interrupt routine's reads from the delivery's by it.
    rig->clear_access_log();
    rig->set_access_log(true, {0xC004, 0x24});
    rig->read32(0xC004);
    rig->read32(0xC000);
    std::thread([&] { rig->read32(0x24); }).join();
    log = rig->access_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].offset, 0xC004u);
    EXPECT_EQ(log[0].thread, static_cast<uint32_t>(gettid()));
    EXPECT_EQ(log[1].offset, 0x24u);
    EXPECT_NE(log[1].thread, log[0].thread);
}

namespace {

void program_video(Rig& rig, uint32_t input, uint32_t v, uint32_t unit_bytes, uint64_t bufs[3]) {
    for (int i = 0; i < 3; ++i)
        bufs[i] = rig.bus.add(0x400000);
    rig->write32(0xC01C + 8 * input, 1);
    rig->write32(v + 0x10, unit_bytes);
    rig->write32(v + 0x0C, static_cast<uint32_t>(bufs[0]));
    rig->write32(v + 0x3C, static_cast<uint32_t>(bufs[1]));
    rig->write32(v + 0x40, static_cast<uint32_t>(bufs[2]));
    rig->write32(v, 1);
}

}  // namespace

TEST(Pacing, RealtimeProducesSuccessiveFramesWhileEnabled) {
    auto config = sim::Card::default_config();
    config.pacing = sim::Pacing::Realtime;
    config.settle_ms = 0;
    Rig rig(config);
    ASSERT_TRUE(rig->running());
    bring_up(*rig, 0);
    rig->write32(0xC004, 1);
    uint64_t bufs[3];
    program_video(rig, 0, 0x9000, 1920 * 1080 * 2, bufs);
    // Acknowledge as an interrupt routine would, and collect the frame numbers seen.
    std::set<uint32_t> frames;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (frames.size() < 10 && std::chrono::steady_clock::now() < deadline) {
        if (!rig->wait_video_units(0, rig->video_units_produced(0) + 1, 5000)) break;
        uint32_t index = rig->read32(0x9000) & 3;
        rig.acknowledge();
        frames.insert(sim::read_stamp(rig.bus.bytes(bufs[index], 0, 8).data()).frame);
    }
    EXPECT_GE(frames.size(), 10u);
    EXPECT_EQ(rig->dma_failures(0), 0u);
    rig->stop();
    EXPECT_FALSE(rig->running());
    const uint64_t units = rig->video_units_produced(0);
    EXPECT_EQ(rig->step_video(3), 0u);
    EXPECT_EQ(rig->video_units_produced(0), units) << "nothing after stop";
}

TEST(Pacing, AsFastAsPossibleWaitsForEachAcknowledgement) {
    auto config = Rig::at_block_zero(sim::Card::default_config());
    config.pacing = sim::Pacing::AsFastAsPossible;
    config.settle_ms = 0;
    Rig rig(config);
    bring_up(*rig, 2);
    rig->write32(0xC004, 1);
    uint64_t bufs[3];
    program_video(rig, 2, 0x9800, 1280 * 720 * 2, bufs);
    for (uint64_t k = 1; k <= 20; ++k) {
        ASSERT_TRUE(rig->wait_video_units(2, k, 10000)) << k;
        // Until acknowledged, the engine holds the next unit back.
        EXPECT_EQ(rig->video_units_produced(2), k);
        const uint32_t index = rig->read32(0x9800) & 3;
        EXPECT_EQ(index, (k - 1) % 3);
        EXPECT_EQ(sim::read_stamp(rig.bus.bytes(bufs[index], 0, 8).data()).frame, k - 1)
            << "consumer-paced units are consecutive frames";
        rig.acknowledge();
    }
}
