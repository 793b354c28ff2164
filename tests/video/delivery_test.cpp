// Frame delivery through the client API: data proven by the card's line stamps, stream header
// fields, frame info, drop counting, the no-signal loop and buffers that cannot hold a frame.
#include "platform/host/measure/cost.h"
#include "platform/host/kernel/kernel.h"
#include "video_bed.h"

#include <atomic>
#include <cstdlib>

namespace videotest {
namespace {

// Streams a pin of `input` in RUN with (or without) a clock.
struct Streaming {
    Streaming(VideoBed& vb, uint32_t input, uint32_t entry, bool with_clock) : frames(input) {
        filter = vb.OpenVideo(input);
        EXPECT_TRUE(filter);
        pin = VideoBed::CreatePin(*filter, VideoBed::Format(*filter, entry));
        EXPECT_TRUE(pin);
        if (with_clock) {
            clock = qh::client::make_clock();
            EXPECT_EQ(pin->set_master_clock(clock), STATUS_SUCCESS);
            clock->run();
        }
        EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    }
    ~Streaming() {
        if (pin) pin->set_state(KSSTATE_STOP);
    }
    qh::client::CompletedFrame Next() {
        qh::client::CompletedFrame frame{};
        // A frame that never came reads as a failed one, so that callers stop before its data.
        if (!pin->wait_completed(frame, kGenerousMs)) {
            ADD_FAILURE() << "no frame completed";
            frame.status = STATUS_UNSUCCESSFUL;
        }
        return frame;
    }
    // A delivered frame whole, and later than the pin's frame before it; its number.
    uint32_t ExpectWholeFrame(const qh::client::CompletedFrame& f, uint32_t pitch, uint32_t lines, bool woven) {
        return frames.Check(f, pitch, lines, woven);
    }
    FrameStream frames;
    std::unique_ptr<qh::client::Filter> filter;
    std::unique_ptr<qh::client::Pin> pin;
    std::shared_ptr<qh::client::Clock> clock;
};

TEST(VideoDelivery, ProgressiveFramesCompleteInOrderWithStampsAndFrameInfo) {
    VideoBed vb;
    Streaming s(vb, 0, 2, true);  // 1920x1080p60

    uint32_t previous_frame = 0;
    LONGLONG previous_time = -1;
    for (uint32_t k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
        host::advance_clock(166667);  // a frame period of the graph's clock
        vb.Step(0);
        const auto f = s.Next();
        ASSERT_EQ(f.status, STATUS_SUCCESS);
        const KSSTREAM_HEADER& h = f.stream_header();
        EXPECT_EQ(h.DataUsed, kFrame1080);
        EXPECT_EQ(h.OptionsFlags & 0x110u, 0x110u);
        EXPECT_EQ(h.Duration, 166666);
        EXPECT_EQ(h.PresentationTime.Numerator, 1u);
        EXPECT_EQ(h.PresentationTime.Denominator, 1u);
        EXPECT_GT(h.PresentationTime.Time, previous_time);
        previous_time = h.PresentationTime.Time;
        const KS_FRAME_INFO& info = FrameInfo(f);
        EXPECT_EQ(info.ExtendedHeaderSize, 72u);
        EXPECT_EQ(info.dwFrameFlags, 0u);
        EXPECT_EQ(info.PictureNumber, LONGLONG(k + 1));
        EXPECT_EQ(info.DropCount, 0);
        const uint32_t frame = s.ExpectWholeFrame(f, 3840, 1080, false);
        if (k > 0) {
            EXPECT_EQ(frame, previous_frame + 1);
        }
        previous_frame = frame;
    }

    // A plain header gets the frame but no frame info (the class checks the bytes around it).
    ASSERT_EQ(s.pin->submit(kFrame1080, kPlainHeader), STATUS_SUCCESS);
    vb.Step(0);
    const auto plain = s.Next();
    ASSERT_EQ(plain.status, STATUS_SUCCESS);
    EXPECT_EQ(plain.header.size(), kPlainHeader);
    EXPECT_EQ(plain.stream_header().DataUsed, kFrame1080);
    EXPECT_EQ(s.ExpectWholeFrame(plain, 3840, 1080, false), previous_frame + 1);
    EXPECT_EQ(vb.FrameCount(0), 5u);
}

TEST(VideoDelivery, InterlacedFramesAreWovenAtTheClientsPitch) {
    VideoBed vb;
    Streaming s(vb, 1, 2, true);  // 1920x1080i60 with the 1920x1080 format
    ASSERT_EQ(vb.Channel(1).Interlaced, 1u);

    // Exact buffer: top field on the even lines, bottom field on the odd ones, one frame.
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(1, 2);
    auto f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.stream_header().DataUsed, kFrame1080);
    EXPECT_EQ(FrameInfo(f).PictureNumber, 1);
    const uint32_t first = s.ExpectWholeFrame(f, 3840, 1080, true);

    // A wider buffer: lines laid out at its pitch (2048 pixels), the next frame.
    const uint32_t pitch = 2048 * 2;
    ASSERT_EQ(s.pin->submit(pitch * 1080, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(1, 2);
    f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.stream_header().DataUsed, pitch * 1080);
    EXPECT_EQ(FrameInfo(f).PictureNumber, 2);
    EXPECT_EQ(s.ExpectWholeFrame(f, pitch, 1080, true), first + 1);
}

TEST(VideoDelivery, WithoutClockFramesCarryNoTime) {
    VideoBed vb;
    Streaming s(vb, 2, 1, false);  // 1280x720p60
    EXPECT_EQ(vb.Channel(2).VideoClock, nullptr);
    ASSERT_EQ(s.pin->submit(1280 * 720 * 2, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(2);
    const auto f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    const KSSTREAM_HEADER& h = f.stream_header();
    EXPECT_EQ(h.OptionsFlags & 0x110u, 0u);
    EXPECT_EQ(h.Duration, 0);
    EXPECT_EQ(h.PresentationTime.Time, 0);
    EXPECT_EQ(FrameInfo(f).PictureNumber, 1);
    s.ExpectWholeFrame(f, 2560, 720, false);
}

TEST(VideoDelivery, NoSignalLoopsOnTheTimeoutAndDeliversNothing) {
    VideoBed vb;
    Streaming s0(vb, 0, 2, false);  // paced manually: no unit ever comes
    Streaming s3(vb, 3, 2, false);  // no cable
    ASSERT_EQ(s0.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    ASSERT_EQ(s3.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    const host::trace::Mark mark = host::trace::mark();
    EXPECT_TRUE(WaitWhileTimePasses([&] {
        return host::trace::count_exact(mark, "channel0VideoDpcRoutine no data\n") >= 3 &&
               host::trace::count_exact(mark, "channel3VideoDpcRoutine no data\n") >= 2;
    }));
    qh::client::CompletedFrame f;
    EXPECT_FALSE(s0.pin->wait_completed(f, 0));
    EXPECT_FALSE(s3.pin->wait_completed(f, 0));
    EXPECT_EQ(s0.pin->queued(), 1u);
    EXPECT_EQ(s3.pin->queued(), 1u);
    EXPECT_EQ(vb.FrameCount(0), 0u);

    // The waits were for 50 ms on input 0 and 500 ms on input 3.
    size_t waits0 = 0, waits3 = 0;
    for (const auto& w : host::waits()) {
        if (w.object == &vb.Channel(0).FrameEvent) {
            ++waits0;
            EXPECT_EQ(w.interval, -500000);
        }
        if (w.object == &vb.Channel(3).FrameEvent) {
            ++waits3;
            EXPECT_EQ(w.interval, -5000000);
        }
    }
    EXPECT_GE(waits0, 3u);
    EXPECT_GE(waits3, 2u);
}

// Inputs 1 to 3 attempt processing before advancing past the buffer, input 0 after: each input's
// path skips the buffer once, counts it, and fills the next one.
TEST(VideoDelivery, MissingDataBufferIsSkippedAndCountedAsDropOnEveryInput) {
    qh::TestbedOptions options = ManualOptions();
    for (auto& source : options.card.sources)
        source = *sim::parse_source("1920x1080p60");
    VideoBed vb(options);
    for (uint32_t input = 0; input < 4; ++input) {
        SCOPED_TRACE(input);
        Streaming s(vb, input, 2, true);
        const host::trace::Mark mark = host::trace::mark();
        ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo, false), STATUS_SUCCESS);
        ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
        vb.Step(input);
        const auto skipped = s.Next();
        EXPECT_EQ(skipped.stream_header().DataUsed, 0u);
        const auto filled = s.Next();
        ASSERT_EQ(filled.status, STATUS_SUCCESS);
        EXPECT_EQ(filled.stream_header().DataUsed, kFrame1080);
        EXPECT_EQ(FrameInfo(filled).PictureNumber, 1);
        EXPECT_EQ(FrameInfo(filled).DropCount, 1);
        EXPECT_EQ(vb.DropCount(input), 1u);
        const std::string trace = "channel" + std::to_string(input) + "VideoDpcRoutine 2\n";
        EXPECT_EQ(host::trace::count_exact(mark, trace), 1u);
        s.ExpectWholeFrame(filled, 3840, 1080, false);
        EXPECT_EQ(s.pin->queued(), 0u);
    }
}

// The host's measurement of the driver: the pin's frames and bytes as completed, the CPU of its
// Process dispatch without the client's completion routine (which copies every frame out), the
// input's DPC and the interrupt routine, each under its own object.
TEST(VideoDelivery, HostMeasuresTheDriversOwnCostPerObject) {
    VideoBed vb;
    Streaming s(vb, 0, 2, true);
    host::cost::reset();
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo, false), STATUS_SUCCESS);
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(0);
    EXPECT_EQ(s.Next().stream_header().DataUsed, 0u);
    EXPECT_EQ(s.Next().stream_header().DataUsed, kFrame1080);
    // One frame at a time: a second frame signalled before the copy of the first is passed over.
    for (uint32_t k = 0; k < 2; ++k) {
        ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
        vb.Step(0);
        EXPECT_EQ(s.Next().stream_header().DataUsed, kFrame1080);
    }

    using host::cost::Kind;
    devext* ext = device_ext(vb.bed);
    const void* pin = s.pin->kspin();
    // A routine's figures are added as it returns, which may be just after the client saw its frame.
    EXPECT_TRUE(WaitUntil([&] { return host::cost::figures(Kind::Completion, pin).calls == 4; }));
    EXPECT_TRUE(WaitUntil([&] { return host::cost::figures(Kind::Dpc, VideoDpc(ext, 0)).calls == 3; }));
    const auto process = host::cost::figures(Kind::Process, pin);
    EXPECT_EQ(process.frames, 3u);  // the buffer without data carried no frame
    EXPECT_EQ(process.bytes, 3ull * kFrame1080);
    EXPECT_GE(process.calls, 3u);
    EXPECT_GT(process.cpu_ns, 0u);
    EXPECT_EQ(host::cost::figures(Kind::Dpc, VideoDpc(ext, 1)).calls, 0u);
    EXPECT_GE(host::cost::figures(Kind::Interrupt, ext->InterruptObject).calls, 3u);
    // The card's register handling is measured apart, under the card.
    uint64_t device_calls = 0;
    for (const auto& f : host::cost::all()) {
        EXPECT_LE(f.max_ns, f.cpu_ns);
        if (f.kind == Kind::Device) device_calls += f.calls;
    }
    EXPECT_GE(device_calls, 3u);

    // What a tool sees without the device extension: the host found the input's DPC itself (it
    // wakes the pin's Process through an event the Process waits on) and the device's interrupt,
    // and names their routines; the shipped image carries no names, so there it says where they lie.
    const host::cost::PinCost c = host::cost::pin_cost(pin);
    ASSERT_EQ(c.dpcs.size(), 1u);
    EXPECT_EQ(c.dpcs[0].figures.object, static_cast<const void*>(VideoDpc(ext, 0)));
    EXPECT_EQ(c.dpc.calls, host::cost::figures(Kind::Dpc, VideoDpc(ext, 0)).calls);
    EXPECT_EQ(c.process.frames, 3u);
    ASSERT_EQ(c.interrupts.size(), 1u);
    EXPECT_EQ(c.interrupts[0].figures.object, static_cast<const void*>(ext->InterruptObject));
    EXPECT_EQ(c.dpcs[0].device, c.device);
    EXPECT_NE(c.device, nullptr);
    const char* image = std::getenv("QH_DRIVER_IMAGE");
    if (image && *image) {
        const std::string file = std::string(image).substr(std::string(image).find_last_of('/') + 1);
        EXPECT_EQ(c.dpcs[0].name.rfind("DPC routine at " + file + "+0x", 0), 0u) << c.dpcs[0].name;
        EXPECT_EQ(c.interrupts[0].name.rfind("interrupt service routine at " + file + "+0x", 0), 0u)
            << c.interrupts[0].name;
    } else {
        EXPECT_EQ(c.dpcs[0].name, "channel0VideoFrameDpc");
        EXPECT_EQ(c.interrupts[0].name, "DeviceInterruptService");
    }
}

TEST(VideoDelivery, BuffersTooSmallGetWholeLinesOnly) {
    VideoBed vb;
    Streaming p(vb, 0, 2, false);  // progressive 1080p
    Streaming i(vb, 1, 2, false);  // interlaced 1080i

    // Progressive: 500 whole lines fit (the rest of the buffer is too short for a line).
    const uint32_t small = 3840 * 500 + 100;
    ASSERT_EQ(p.pin->submit(small, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(0);
    auto f = p.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.stream_header().DataUsed, 3840u * 500);
    p.ExpectWholeFrame(f, 3840, 500, false);

    // Interlaced with a pitch below the width: packed lines, as many as fit.
    ASSERT_EQ(i.pin->submit(3840 * 700, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(1, 2);
    f = i.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.stream_header().DataUsed, 3840u * 700);
    i.ExpectWholeFrame(f, 3840, 700, true);
    EXPECT_EQ(FrameInfo(f).PictureNumber, 1);

    // Shorter than one line: no frame fits, so the buffer goes back empty and the frame counts
    // as a drop, not as a delivered frame; the next buffer gets the next frame.
    ASSERT_EQ(p.pin->submit(3000, kHeaderWithInfo), STATUS_SUCCESS);
    ASSERT_EQ(p.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(0);
    f = p.Next();
    EXPECT_EQ(f.stream_header().DataUsed, 0u);
    EXPECT_EQ(vb.FrameCount(0), 1u);
    EXPECT_EQ(vb.DropCount(0), 1u);
    vb.Step(0);
    f = p.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.stream_header().DataUsed, kFrame1080);
    EXPECT_EQ(FrameInfo(f).PictureNumber, 2);
    EXPECT_EQ(FrameInfo(f).DropCount, 1);
}

TEST(VideoDelivery, LateCopyNeverWeavesFieldsOfTwoFrames) {
    VideoBed vb;
    Streaming s(vb, 1, 2, false);  // 1920x1080i60 with the 1920x1080 format
    ChannelState& ch = vb.Channel(1);

    // Frame 0 completes while the client has no buffer queued, and the top field of frame 1
    // completes before any copy could run: the frame signal is pending, but the status now
    // names a top field.
    vb.Step(1, 2);
    vb.Step(1, 1);
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateEvent(&ch.FrameEvent) == 1; }));  // set by the video DPC

    // The late copy must not weave frame 0's bottom field with frame 1's top field.
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateEvent(&ch.FrameEvent) == 0; }));
    qh::client::CompletedFrame f;
    EXPECT_FALSE(s.pin->wait_completed(f, 0));
    EXPECT_EQ(vb.FrameCount(1), 0u);

    // The bottom field completes frame 1, which arrives whole.
    vb.Step(1, 1);
    f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(FrameInfo(f).PictureNumber, 1);
    EXPECT_EQ(s.ExpectWholeFrame(f, 3840, 1080, true), 1u);
}

// The card does not wait for the weave: here the next top field completes after the weave has
// read the status that names frame 0, and the engine has written half of the following bottom
// field over frame 0's top-field buffer before the copy reads it. That frame is torn and must not
// be delivered; the client's buffer takes the next frame whole.
TEST(VideoDelivery, TopFieldCompletingMidWeaveDeliversNoTornFrame) {
    VideoBed vb;
    Streaming s(vb, 1, 2, false);  // 1920x1080i60 with the 1920x1080 format
    ChannelState& ch = vb.Channel(1);
    vb.Step(1, 2);  // frame 0, with no client buffer queued yet
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateEvent(&ch.FrameEvent) == 1; }));

    sim::Card& card = vb.bed.card();
    host::watch_shared_read(&ch.VideoTakenUnit, [&] {
        card.advance_video(1, sim::Card::kVideoPieces);      // frame 1's top field completes
        card.advance_video(1, sim::Card::kVideoPieces / 2);  // its bottom field half written
    });
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([] { return host::shared_read_watch_fired(); }));

    // The rest of frame 1's bottom field: frame 1 is the first frame the client gets.
    card.advance_video(1, sim::Card::kVideoPieces);
    auto f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(s.ExpectWholeFrame(f, 3840, 1080, true), 1u);
    EXPECT_EQ(FrameInfo(f).PictureNumber, 1);
    EXPECT_EQ(vb.FrameCount(1), 1u) << "the torn frame is not counted as delivered";
}

// Progressive: two more frames complete once the copy has chosen frame 0's buffer, and the
// engine has written half of the third over it. Not delivered; the next copy takes frame 2.
TEST(VideoDelivery, EngineComingBackToTheBufferMidCopyDeliversNoTornFrame) {
    VideoBed vb;
    Streaming s(vb, 0, 2, false);  // 1920x1080p60
    ChannelState& ch = vb.Channel(0);
    vb.Step(0);
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateEvent(&ch.FrameEvent) == 1; }));

    sim::Card& card = vb.bed.card();
    host::watch_shared_read(&ch.VideoTakenUnit, [&] {
        card.step_video(0);
        card.step_video(0);
        card.advance_video(0, sim::Card::kVideoPieces / 2);
    });
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    auto f = s.Next();
    ASSERT_TRUE(host::shared_read_watch_fired());
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(s.ExpectWholeFrame(f, 3840, 1080, false), 2u);
    EXPECT_EQ(vb.FrameCount(0), 1u);
}

// The DPC of a frame can run after Process has already copied that frame (woken by the frame's
// earlier wake-up, left set while no buffer was queued): its wake-up brings nothing new, and the
// next buffer waits for the next frame instead of getting the same one again.
TEST(VideoDelivery, AWakeUpForAFrameAlreadyCopiedDeliversNothingTwice) {
    VideoBed vb;
    Streaming s(vb, 0, 2, false);  // 1920x1080p60
    ChannelState& ch = vb.Channel(0);
    vb.Step(0);  // frame 0 while no buffer is queued: the wake-up stays set
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateEvent(&ch.FrameEvent) == 1; }));

    // Frame 0's DPC, held up on another processor, sets the event once Process has taken it.
    host::watch_shared_read(&ch.VideoTakenUnit, [&] { KeSetEvent(&ch.FrameEvent, 0, FALSE); });
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    auto f = s.Next();
    ASSERT_TRUE(host::shared_read_watch_fired());
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    const uint32_t first = s.ExpectWholeFrame(f, 3840, 1080, false);

    // The next buffer finds that wake-up; Process looks at the engine's completions once more
    // before frame 1 exists, and must find nothing to copy.
    host::watch_shared_read(&ch.VideoTakenUnit, [] {});
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([] { return host::shared_read_watch_fired(); }));
    vb.Step(0);
    f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(s.ExpectWholeFrame(f, 3840, 1080, false), first + 1) << "a frame delivered twice";
    EXPECT_EQ(FrameInfo(f).PictureNumber, 2);
    EXPECT_EQ(vb.FrameCount(0), 2u);
}

// As above, with the processor that takes the card's interrupt busy elsewhere meanwhile: the
// routine has recorded none of the engine's progress by the end of the copy, but the card's status
// shows it pending. Not delivered; once the routine runs, the newest whole frame is.
TEST(VideoDelivery, EngineComingBackToTheBufferWhileTheRoutineIsHeldDeliversNoTornFrame) {
    VideoBed vb;
    Streaming s(vb, 0, 2, false);  // 1920x1080p60
    ChannelState& ch = vb.Channel(0);
    vb.Step(0);
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateEvent(&ch.FrameEvent) == 1; }));

    sim::Card& card = vb.bed.card();
    host::watch_shared_read(&ch.VideoTakenUnit, [&] {
        card.hold_interrupts(true);
        card.step_video(0);
        card.step_video(0);
        card.advance_video(0, sim::Card::kVideoPieces / 2);
    });
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return SharedRead(ch.FramesHeldBack) == 1; })) << "the torn copy was not held back";
    qh::client::CompletedFrame early;
    EXPECT_FALSE(s.pin->wait_completed(early, 0)) << "a frame the engine wrote into during the copy was delivered";
    EXPECT_EQ(s.pin->queued(), 1u);

    card.hold_interrupts(false);
    auto f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    // The newest frame the routine hears of: a card whose engine register holds the completion
    // that raised the pending interrupt names frame 1, one that follows the engine frame 2.
    const uint32_t newest = card.config().variant.block_register_held ? 1u : 2u;
    EXPECT_EQ(s.ExpectWholeFrame(f, 3840, 1080, false), newest);
    EXPECT_EQ(vb.FrameCount(0), 1u);
}

// As above, with the held-up routine getting the processor back just as the copy is checked: the
// routine's record and the card's pending status are read at one moment, so the completions it
// takes from the status then are in one or the other, never in neither.
TEST(VideoDelivery, TheRoutineCatchingUpWhileTheCopyIsCheckedDeliversNoTornFrame) {
    VideoBed vb;
    Streaming s(vb, 0, 2, false);  // 1920x1080p60
    ChannelState& ch = vb.Channel(0);
    vb.Step(0);
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateEvent(&ch.FrameEvent) == 1; }));

    sim::Card& card = vb.bed.card();
    std::atomic<bool> caught_up{false};  // set on the pin's thread, read here
    host::watch_shared_read(&ch.VideoTakenUnit, [&] {
        card.hold_interrupts(true);
        card.step_video(0);
        card.step_video(0);
        card.advance_video(0, sim::Card::kVideoPieces / 2);
        // The next look at the routine's record is the check after the copy.
        host::watch_shared_read(&ch.VideoEvent, [&] {
            card.hold_interrupts(false);
            caught_up = card.interrupt_line().wait_quiet(200);
        });
    });
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return SharedRead(ch.FramesHeldBack) == 1; })) << "the torn copy was not held back";
    EXPECT_FALSE(caught_up.load()) << "the routine ran in the middle of the check";
    // The first frame the client gets is frame 2, whole (the routine has run since).
    auto f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(s.ExpectWholeFrame(f, 3840, 1080, false), 2u);
}

// The interrupt of the engine's last completion before a STOP comes only once the pin runs again
// (the processor that takes it busy elsewhere all that time): that completion names a buffer the
// new run cleared, and it is not the new run's first frame. The first frame delivered is one the
// engine completed in the new run, whole.
TEST(VideoDelivery, AnInterruptOfTheRunBeforeServedInTheNextRunDeliversNothingOfIt) {
    VideoBed vb;
    Streaming s(vb, 0, 2, false);  // 1920x1080p60
    ChannelState& ch = vb.Channel(0);
    sim::Card& card = vb.bed.card();
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(0);
    auto f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    const uint32_t first = s.ExpectWholeFrame(f, 3840, 1080, false);

    card.hold_interrupts(true);
    ASSERT_EQ(card.step_video(0), 1u);
    ASSERT_EQ(s.pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(s.pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    ASSERT_EQ(s.pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    card.hold_interrupts(false);
    ASSERT_TRUE(card.interrupt_line().wait_quiet(kGenerousMs));
    host::flush_dpcs();
    // Whatever the routine recorded has been taken by Process before the new run's frame comes.
    ASSERT_TRUE(WaitUntil([&] {
        const ULONGLONG event = SharedRead(ch.VideoEvent);
        return (event & VideoEvent::kNone) != 0 || VideoEvent::Units(event) == SharedRead(ch.VideoTakenUnit);
    }));

    vb.Step(0);
    f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_GT(s.ExpectWholeFrame(f, 3840, 1080, false), first + 1) << "the first frame of the new run is not its own";
}

// A completion whose interrupt is still pending when the device stops for a rebalance outlives the
// stop: the new connection's routine finds it at the restart, and the buffer it names was freed
// and allocated again meanwhile.
TEST(VideoDelivery, AnInterruptLeftPendingAcrossARebalanceDeliversNothingOfIt) {
    VideoBed vb;
    Streaming s(vb, 0, 2, false);  // 1920x1080p60
    sim::Card& card = vb.bed.card();
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(0);
    auto f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    const uint32_t first = s.ExpectWholeFrame(f, 3840, 1080, false);

    card.hold_interrupts(true);
    ASSERT_EQ(card.step_video(0), 1u);
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    ASSERT_EQ(vb.bed.rebalance(/*move_window=*/true), STATUS_SUCCESS);
    card.hold_interrupts(false);
    ASSERT_TRUE(card.interrupt_line().wait_quiet(kGenerousMs));
    host::flush_dpcs();

    vb.Step(0);
    f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_GT(s.ExpectWholeFrame(f, 3840, 1080, false), first + 1) << "a frame from before the rebalance";
    EXPECT_EQ(vb.bed.trace_count("DeviceDispatchPnpStop()\n"), 1u);
}

// A completion the routine recorded while no buffer was queued, not taken when the stop came,
// names a buffer the stop freed. A buffer arriving as soon as the restart has opened the buffers,
// before the running pin is resumed, finds the stop's wake-up still set.
TEST(VideoDelivery, ACompletionNotTakenBeforeARebalanceIsNotTakenAfterIt) {
    VideoBed vb;
    Streaming s(vb, 0, 2, false);  // 1920x1080p60
    ChannelState& ch = vb.Channel(0);
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(0);
    auto f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    const uint32_t first = s.ExpectWholeFrame(f, 3840, 1080, false);

    const ULONG units = VideoEvent::Units(SharedRead(ch.VideoEvent));
    vb.Step(0);
    ASSERT_TRUE(WaitUntil([&] { return VideoEvent::Units(SharedRead(ch.VideoEvent)) == units + 1; }));
    bool early = false;
    // The restart's first look at the pin's state comes once the buffers are open.
    host::watch_shared_read(&ch.VideoState, std::this_thread::get_id(), [&] {
        std::thread([&] {
            ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
            early = s.pin->wait_completed(f, 200);
        }).join();
    });
    ASSERT_EQ(vb.bed.rebalance(/*move_window=*/true), STATUS_SUCCESS);
    ASSERT_TRUE(host::shared_read_watch_fired());
    if (!early) {
        vb.Step(0);
        f = s.Next();
    }
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_GT(s.ExpectWholeFrame(f, 3840, 1080, false), first + 1) << "a frame from before the rebalance";
}

TEST(VideoDelivery, StatusNamingNoBufferLeavesTheClientBufferForTheNextFrame) {
    VideoBed vb;
    Streaming s(vb, 0, 2, false);
    ASSERT_EQ(s.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);

    // A completed-frame signal whose status names buffer 3 (no card ever reports it).
    ChannelState& ch = vb.Channel(0);
    SharedWrite(ch.VideoEvent, VideoEvent::Make(1, 3, false, false));
    KeSetEvent(&ch.FrameEvent, 0, FALSE);
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateEvent(&ch.FrameEvent) == 0; }));
    qh::client::CompletedFrame f;
    EXPECT_FALSE(s.pin->wait_completed(f, 0));
    EXPECT_EQ(s.pin->queued(), 1u);
    EXPECT_EQ(vb.FrameCount(0), 0u);

    // The next real frame fills it.
    vb.Step(0);
    f = s.Next();
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(FrameInfo(f).PictureNumber, 1);
    s.ExpectWholeFrame(f, 3840, 1080, false);
}

TEST(VideoDelivery, OddHeightInterlacedStaysInsideTheFrame) {
    qh::TestbedOptions options = ManualOptions();
    options.card.sources[2] = *sim::parse_source("1366x767p60");
    VideoBed vb(options);
    // Entry 0 is detected as 1366x767 while progressive; the source then turns interlaced.
    auto filter = vb.OpenVideo(2);
    ASSERT_TRUE(filter);
    const auto format = VideoBed::Format(*filter, 0);
    sim::SourceConfig interlaced = vb.bed.card().source(2);
    interlaced.interlaced = true;
    vb.bed.card().set_source(2, interlaced);
    const host::trace::Mark mark = host::trace::mark();
    auto pin = VideoBed::CreatePin(*filter, format);
    ASSERT_TRUE(pin);
    ASSERT_EQ(vb.Channel(2).Interlaced, 1u) << host::trace::text_since(mark);
    ASSERT_EQ(vb.Channel(2).Height, 767u);
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);

    const uint32_t extent = 1366 * 767 * 2;
    ASSERT_EQ(pin->submit(extent, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(2, 2);
    qh::client::CompletedFrame f;
    ASSERT_TRUE(pin->wait_completed(f, kGenerousMs));
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.stream_header().DataUsed, extent);
    // Both fields hold 383 lines: frame lines 0..765 are woven from them.
    FrameStream(2).Check(f, 1366 * 2, 766, true);
    ASSERT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
}

}  // namespace
}  // namespace videotest
