// A second client on an input someone streams from: its open, pin creation, format requests and
// close leave the running stream's frames, geometry and buffers alone. And a receiver that does
// not answer at all is no signal.
#include "video_bed.h"

namespace videotest {
namespace {

constexpr uint32_t kEntry1080 = 2;
constexpr uint32_t kEntry640x360 = 12;

// Client A: one pin of `input` running with the 1920x1080 format.
struct Owner {
    Owner(VideoBed& vb, uint32_t input) : vb(vb), input(input) {
        filter = vb.OpenVideo(input);
        EXPECT_TRUE(filter);
        pin = VideoBed::CreatePin(*filter, VideoBed::Format(*filter, kEntry1080));
        EXPECT_TRUE(pin);
        EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
        woven = SharedRead(vb.Channel(input).Interlaced) != 0;
    }
    ~Owner() {
        if (pin) pin->set_state(KSSTATE_STOP);
    }

    // One frame from the card, stamp-checked: whole 1920x1080, every line of one frame in order
    // (fields alternating when woven), later than the previous one unless flagged.
    void ExpectGoodFrame(const char* when) {
        SCOPED_TRACE(when);
        ASSERT_EQ(pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
        vb.Step(input, woven ? 2 : 1);
        qh::client::CompletedFrame f{};
        ASSERT_TRUE(pin->wait_completed(f, kGenerousMs));
        ASSERT_EQ(f.status, STATUS_SUCCESS);
        EXPECT_EQ(f.stream_header().DataUsed, kFrame1080);
        frames.Check(f, 3840, 1080, woven);
    }

    VideoBed& vb;
    uint32_t input;
    bool woven = false;
    FrameStream frames{input};
    std::unique_ptr<qh::client::Filter> filter;
    std::unique_ptr<qh::client::Pin> pin;
};

struct Geometry {
    ULONG width, height, interlaced;
    bool operator==(const Geometry&) const = default;
};
Geometry GeometryOf(VideoBed& vb, uint32_t input) {
    ChannelState& ch = vb.Channel(input);
    return {SharedRead(ch.Width), SharedRead(ch.Height), SharedRead(ch.Interlaced)};
}

// Client B on the same input: opens, creates a pin with the 640x360 range, asks for another
// format, tries to run (refused: A owns the input) and closes. A's geometry never moves.
void IntrudeAndLeave(VideoBed& vb, Owner& a) {
    const Geometry before = GeometryOf(vb, a.input);
    auto filter = vb.OpenVideo(a.input);
    ASSERT_TRUE(filter);
    auto pin = VideoBed::CreatePin(*filter, VideoBed::Format(*filter, kEntry640x360));
    ASSERT_TRUE(pin);
    EXPECT_EQ(GeometryOf(vb, a.input), before);
    EXPECT_EQ(pin->set_format(VideoBed::Format(*filter, 11)), STATUS_SUCCESS);  // 640x480
    EXPECT_EQ(GeometryOf(vb, a.input), before);
    EXPECT_NE(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);
    EXPECT_EQ(filter->close(), STATUS_SUCCESS);
    EXPECT_EQ(GeometryOf(vb, a.input), before);
}

TEST(VideoOtherClients, OpenCreateFormatAndCloseBesideARunningStreamLeaveItsFramesGood) {
    for (uint32_t input : {0u, 1u}) {  // 1080p60 and 1080i60
        SCOPED_TRACE(input);
        VideoBed vb;
        Owner a(vb, input);
        ASSERT_EQ(a.woven, input == 1);
        a.ExpectGoodFrame("before B");

        auto filter = vb.OpenVideo(input);
        a.ExpectGoodFrame("after B's open");
        auto pin = VideoBed::CreatePin(*filter, VideoBed::Format(*filter, kEntry640x360));
        ASSERT_TRUE(pin);
        a.ExpectGoodFrame("after B's pin creation");
        EXPECT_EQ(pin->set_format(VideoBed::Format(*filter, 11)), STATUS_SUCCESS);
        a.ExpectGoodFrame("after B's format change");
        EXPECT_NE(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
        a.ExpectGoodFrame("after B's refused run");
        EXPECT_EQ(pin->close(), STATUS_SUCCESS);
        EXPECT_EQ(filter->close(), STATUS_SUCCESS);
        a.ExpectGoodFrame("after B's close");

        IntrudeAndLeave(vb, a);
        a.ExpectGoodFrame("after a second intruder");
        EXPECT_EQ(a.frames.frames(), 7u);
    }
}

TEST(VideoOtherClients, WithTheCableOutAnotherClientNeitherClearsNorResizesTheOwnersInput) {
    VideoBed vb;
    sim::Card& card = vb.bed.card();
    Owner a(vb, 0);
    a.ExpectGoodFrame("before the cable is pulled");

    sim::SourceConfig none;
    none.cable = false;
    card.set_source(0, none);
    host::advance_clock(1000000);  // out for 100 ms (kernel time moves as the test says)
    // What the engine last wrote stays in the input's buffers while no signal comes.
    std::vector<std::vector<uint8_t>> held;
    for (int i = 0; i < 3; ++i) {
        const auto* p = static_cast<const uint8_t*>(VideoBuffers(device_ext(vb.bed), 0)[i].VirtAddr);
        held.emplace_back(p, p + kVideoBufferSize);
    }
    IntrudeAndLeave(vb, a);
    for (int i = 0; i < 3; ++i) {
        const auto* p = static_cast<const uint8_t*>(VideoBuffers(device_ext(vb.bed), 0)[i].VirtAddr);
        EXPECT_EQ(std::memcmp(p, held[i].data(), kVideoBufferSize), 0) << "buffer " << i << " changed";
    }

    // The source's frame numbers start again; the first frame after the gap says so.
    card.set_source(0, sim::Card::default_config().sources[0]);
    host::advance_clock(1000000);  // the receiver locks on it 100 ms later
    a.ExpectGoodFrame("after the cable is back");
    a.ExpectGoodFrame("and the next");
}

TEST(VideoOtherClients, AFormatSetWhileAnotherPinOwnedTheInputTakesEffectWhenItsPinAcquires) {
    VideoBed vb;
    {
        Owner a(vb, 0);
        a.ExpectGoodFrame("A");
        auto filter = vb.OpenVideo(0);
        auto pin = VideoBed::CreatePin(*filter, VideoBed::Format(*filter, kEntry640x360));
        ASSERT_TRUE(pin);
        EXPECT_EQ(GeometryOf(vb, 0), (Geometry{1920, 1080, 0}));
        // A stops and leaves; B's own format is set when B takes the input.
        a.pin->set_state(KSSTATE_STOP);
        EXPECT_EQ(GeometryOf(vb, 0), (Geometry{1920, 1080, 0}));
        ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
        EXPECT_EQ(GeometryOf(vb, 0), (Geometry{640, 360, 0}));
        ASSERT_EQ(pin->submit(640 * 360 * 2, kHeaderWithInfo), STATUS_SUCCESS);
        vb.Step(0);
        qh::client::CompletedFrame f{};
        ASSERT_TRUE(pin->wait_completed(f, kGenerousMs));
        EXPECT_EQ(f.stream_header().DataUsed, 640u * 360 * 2);  // the size B asked for, not A's
        pin->set_state(KSSTATE_STOP);
    }
    // Two pins created on a free input: the last format set is the input's until the first pin
    // acquires it, which brings its own back.
    auto fa = vb.OpenVideo(2);
    auto pa = VideoBed::CreatePin(*fa, VideoBed::Format(*fa, kEntry1080));
    auto fb = vb.OpenVideo(2);
    auto pb = VideoBed::CreatePin(*fb, VideoBed::Format(*fb, kEntry640x360));
    ASSERT_TRUE(pa && pb);
    EXPECT_EQ(GeometryOf(vb, 2), (Geometry{640, 360, 0}));
    ASSERT_EQ(pa->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(GeometryOf(vb, 2), (Geometry{1920, 1080, 0}));
    pa->set_state(KSSTATE_STOP);
}

TEST(VideoDetection, AReceiverThatDoesNotAnswerIsNoSignal) {
    VideoBed vb;
    vb.bed.card().set_receiver_absent(2, true);
    const host::trace::Mark mark = host::trace::mark();
    auto filter = vb.OpenVideo(2);
    ASSERT_TRUE(filter);
    const std::string trace = host::trace::text_since(mark);
    EXPECT_NE(trace.find("temp connect video2 :ff"), std::string::npos) << trace;
    EXPECT_EQ(host::trace::count_exact(mark, " HDMI cable is not connect 0!!!\n"), 1u) << trace;
    EXPECT_EQ(trace.find("pix:"), std::string::npos) << trace;

    // Format setting on it takes the no-signal path: progressive, 60 frames per second.
    auto pin = VideoBed::CreatePin(*filter, VideoBed::Format(*filter, kEntry1080));
    ASSERT_TRUE(pin);
    EXPECT_EQ(SharedRead(vb.Channel(2).Interlaced), 0u);
    EXPECT_EQ(SharedRead(vb.Channel(2).FrameRate), 60u);
    EXPECT_EQ(host::trace::text_since(mark).find("HDMI Interlaced Input"), std::string::npos);
}

}  // namespace
}  // namespace videotest

namespace videotest {
namespace {

TEST(VideoRestart, AFrameSignalledInAnEarlierRunIsNeverDeliveredInTheNext) {
    VideoBed vb;
    Owner a(vb, 0);
    // A unit arrives while the pin has no buffer: its wake-up is left pending.
    vb.Step(0);
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateEvent(&vb.Channel(0).FrameEvent) != 0; }));
    ASSERT_EQ(a.pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(a.pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    // The buffers were cleared when the pin acquired the input again; nothing may be delivered
    // from them before the card writes a new frame.
    ASSERT_EQ(a.pin->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    qh::client::CompletedFrame f{};
    EXPECT_FALSE(a.pin->wait_completed(f, 300)) << "a frame was delivered before the card wrote one";
    vb.Step(0);
    ASSERT_TRUE(a.pin->wait_completed(f, kGenerousMs));
    EXPECT_EQ(sim::read_stamp(f.data.data() + 1079 * 3840).line, 1079);
    EXPECT_EQ(sim::read_stamp(f.data.data()).input, 0);
}

}  // namespace
}  // namespace videotest
