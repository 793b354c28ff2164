// The source of a running input unplugged or switched to another mode: no frame of the wrong
// geometry is ever delivered (every completed frame is checked line by line against the pin's
// format), frames are held back while the signal does not fit, the first frame after such a gap
// says so, and capture resumes by itself when the same mode returns, or after the client
// reconnects (or stops and runs again) when it does not.
#include "platform/host/kernel/kernel.h"
#include "sim/card.h"

#include <algorithm>

#include "video_bed.h"

namespace videotest {
namespace {

constexpr ULONG kDiscontinuity = KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;

sim::SourceConfig Mode(const char* text) { return *sim::parse_source(text); }

// Another source on the cable: the receiver takes time to lock on it, during which nothing comes
// (100 ms of kernel time, which these tests move on themselves).
void ChangeSource(sim::Card& card, uint32_t input, const char* mode) {
    card.set_source(input, Mode(mode));
    host::advance_clock(1000000);
}

// The line that tells why frames are held back, once. The driver flags the mismatch before it
// prints the line, so a test that has seen the flag may still be ahead of the line.
void ExpectTracedOnce(host::trace::Mark mark, const std::string& line) {
    EXPECT_TRUE(host::trace::wait_for(mark, line, kGenerousMs)) << "no line: " << line;
    EXPECT_EQ(host::trace::count_exact(mark, line), 1u) << line;
}

// One client of an input: the video filter opened (which detects the signal), a pin created
// with the detected format (entry 0), running, with one buffer queued at all times.
class Client {
public:
    Client(VideoBed& vb, uint32_t input) : vb_(vb), input_(input) { Connect(); }
    ~Client() { Disconnect(); }

    void Connect() {
        filter_ = vb_.OpenVideo(input_);
        ASSERT_TRUE(filter_);
        const auto format = VideoBed::Format(*filter_, 0);
        ASSERT_GE(format.size(), sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
        Connect(format);
    }

    void Connect(const std::vector<uint8_t>& format) {
        if (!filter_) filter_ = vb_.OpenVideo(input_);
        const auto& bmi =
            reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader;
        width_ = uint32_t(bmi.biWidth);
        height_ = uint32_t(bmi.biHeight);
        pin_ = VideoBed::CreatePin(*filter_, format);
        ASSERT_TRUE(pin_);
        Run();
    }

    // Everything the pin completed is checked, then the pin and the filter go.
    void Disconnect() {
        if (pin_) {
            EXPECT_EQ(pin_->set_state(KSSTATE_STOP), STATUS_SUCCESS);
            Drain();
            EXPECT_EQ(pin_->close(), STATUS_SUCCESS);
            pin_.reset();
        }
        if (filter_) {
            EXPECT_EQ(filter_->close(), STATUS_SUCCESS);
            filter_.reset();
        }
    }

    qh::client::Pin& pin() { return *pin_; }

    void Reconnect() {
        Disconnect();
        Connect();
    }

    // A run from STOP starts the pin's stream of frames afresh.
    void Run() {
        frames_.Restart();
        ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(pin_->submit(FrameBytes(), kHeaderWithInfo), STATUS_SUCCESS);
    }

    // STOP returns the queued buffer (checked); RUN again on the same pin and format.
    void StopAndRun() {
        ASSERT_EQ(pin_->set_state(KSSTATE_STOP), STATUS_SUCCESS);
        Drain();
        Run();
    }

    // The card completes whole frames (two fields when interlaced; an interlaced capture
    // starts with a top field) until one more frame has come, or nothing comes from it.
    void StepFrame() {
        sim::Card& card = vb_.bed.card();
        const uint64_t before = card.frames_produced(input_);
        for (int unit = 0; unit < 4 && card.frames_produced(input_) == before; ++unit)
            vb_.Step(input_);
    }

    // The signal fits again: the driver passes over the frame that shows it (the engine may not
    // have written a frame of the returning signal yet); the frame after that one is delivered.
    ULONG ExpectFrameAfterGap(bool woven) {
        StepFrame();
        // Passed over up to the end of the check: the next frame is stepped only once the driver
        // has also taken the completions the check saw, or it would be passed over with them.
        ChannelState& ch = vb_.Channel(input_);
        EXPECT_TRUE(WaitUntil([&] {
            return SharedRead(ch.SignalMismatch) == 0 &&
                   SharedRead(ch.VideoTakenUnit) == VideoEvent::Units(SharedRead(ch.VideoEvent));
        })) << "the driver did not notice the signal back";
        return ExpectFrame(woven);
    }

    // A frame of the source completes the queued buffer with a whole frame of the format; the
    // next buffer is queued. Returns the header's options flags.
    ULONG ExpectFrame(bool woven) {
        StepFrame();
        qh::client::CompletedFrame f{};
        EXPECT_TRUE(pin_->wait_completed(f, kGenerousMs)) << "no frame";
        if (f.header.empty()) return 0;
        Check(f, woven);
        EXPECT_EQ(f.status, STATUS_SUCCESS);
        EXPECT_EQ(pin_->submit(FrameBytes(), kHeaderWithInfo), STATUS_SUCCESS);
        return f.stream_header().OptionsFlags;
    }

    // One more frame from the card: true when it was delivered (checked; the next buffer queued),
    // false when the driver noticed meanwhile that the signal does not fit, and held it back.
    bool FrameUnlessNoticed() {
        StepFrame();
        qh::client::CompletedFrame f{};
        bool delivered = false;
        EXPECT_TRUE(WaitUntil([&] {
            delivered = pin_->wait_completed(f, 0);
            return delivered || SharedRead(vb_.Channel(input_).SignalMismatch) != 0;
        }));
        if (!delivered) return false;
        Check(f, woven_);
        EXPECT_EQ(pin_->submit(FrameBytes(), kHeaderWithInfo), STATUS_SUCCESS);
        return true;
    }

    // After a change of the source: whatever the card sends now, the driver notices that the
    // signal does not fit and completes nothing; the buffer stays queued.
    void ExpectHeldBack() {
        for (int k = 0; k < 3; ++k)
            StepFrame();
        EXPECT_TRUE(WaitWhileTimePasses([&] { return SharedRead(vb_.Channel(input_).SignalMismatch) != 0; }))
            << "the driver did not notice the change";
        StepFrame();
        Settle();
        qh::client::CompletedFrame f{};
        if (pin_->wait_completed(f, 0)) {
            ADD_FAILURE() << "a buffer completed while the signal did not fit";
            Check(f, woven_);
        }
        EXPECT_EQ(pin_->queued(), 1u);
    }

    // The pin has taken every unit the interrupt routine recorded (a step of the card returns once
    // the routine has run): delivered, held back or passed over. A frame the pin takes only after
    // the test has changed the source again would be judged against the new source: the frame
    // that tells the signal is back would be one of the old signal, and the first frame of the
    // returning signal would be delivered instead of passed over.
    void Settle() {
        ChannelState& ch = vb_.Channel(input_);
        EXPECT_TRUE(WaitUntil([&] {
            return SharedRead(ch.VideoTakenUnit) == VideoEvent::Units(SharedRead(ch.VideoEvent));
        })) << "the pin did not take the card's last unit";
    }

    void set_woven(bool woven) { woven_ = woven; }
    // A new source whose frames the driver cannot tell from the old one's: its numbers start
    // again without the driver knowing, so the order check starts again too.
    void SourceRestarted() { frames_.Restart(); }
    // A format of another size than the signal's gets the card's bytes as they come (no
    // scaling): only its first line is a line of the frame.
    void set_scaled(bool scaled) { scaled_ = scaled; }

private:
    uint32_t FrameBytes() const { return width_ * height_ * 2; }

    void Drain() {
        qh::client::CompletedFrame f{};
        while (pin_->wait_completed(f, 0)) {
            if (f.status == STATUS_SUCCESS)
                Check(f, woven_);
            else
                EXPECT_EQ(f.stream_header().DataUsed, 0u);
        }
    }

    // Every line of the buffer carries the stamp of line r of one frame of this input (fields
    // alternating when woven): a frame copied with another geometry fails from line 1 on. And
    // each frame of the pin's run is later than the one before unless flagged.
    void Check(const qh::client::CompletedFrame& f, bool woven) {
        if (f.status != STATUS_SUCCESS) return;
        EXPECT_EQ(f.stream_header().DataUsed, FrameBytes());
        ASSERT_GE(f.data.size(), size_t(FrameBytes()));
        frames_.Check(f, width_ * 2, scaled_ ? 1 : height_, woven);
        ++checked_;
    }

    VideoBed& vb_;
    uint32_t input_;
    uint32_t width_ = 0, height_ = 0;
    bool woven_ = false;
    bool scaled_ = false;
    std::unique_ptr<qh::client::Filter> filter_;
    std::unique_ptr<qh::client::Pin> pin_;
    FrameStream frames_{input_};

public:
    uint32_t checked_ = 0;
};

TEST(VideoSignalChange, EachInputThroughModesAndNoCableNeverDeliversAWrongFrame) {
    qh::TestbedOptions options = ManualOptions();
    for (auto& source : options.card.sources)
        source = Mode("1920x1080p60");
    VideoBed vb(options);
    sim::Card& card = vb.bed.card();

    for (uint32_t input = 0; input < 4; ++input) {
        SCOPED_TRACE(input);
        const host::trace::Mark mark = host::trace::mark();
        const std::string video = "video" + std::to_string(input) + ": ";
        Client c(vb, input);
        EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);

        // 1080p60 -> 720p60: frames of 1280x720 arrive, none goes out as 1920x1080.
        ChangeSource(card, input, "1280x720p60");
        c.ExpectHeldBack();
        ExpectTracedOnce(mark, video + "signal 1280x720p does not fit the format 1920x1080p, frames held back\n");
        c.Reconnect();  // the filter's detected entry is now 1280x720
        EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);
        c.ExpectFrame(false);

        // 720p60 -> 1080i60: fields arrive, none goes out as a 1280x720 frame.
        ChangeSource(card, input, "1920x1080i60");
        c.ExpectHeldBack();
        c.Reconnect();
        ASSERT_EQ(SharedRead(vb.Channel(input).Interlaced), 1u);
        c.set_woven(true);
        c.ExpectFrame(true);

        // No cable: nothing, and no old frame; the same mode back: frames resume by themselves,
        // the first one after the gap flagged.
        ChangeSource(card, input, "none");
        c.ExpectHeldBack();
        ExpectTracedOnce(mark, video + "no signal, frames held back\n");
        ChangeSource(card, input, "1920x1080i60");
        EXPECT_NE(c.ExpectFrameAfterGap(true) & kDiscontinuity, 0u);
        EXPECT_EQ(c.ExpectFrame(true) & kDiscontinuity, 0u);

        // No cable, then 1080p60 at the same size: the interlaced pin gets no bottom field and
        // notices on its time-out; STOP and RUN take the new scan type and frames come again.
        ChangeSource(card, input, "none");
        c.ExpectHeldBack();
        ChangeSource(card, input, "1920x1080p60");
        for (int k = 0; k < 3; ++k)
            c.StepFrame();
        card.clear_receiver_writes(input);
        c.StopAndRun();
        EXPECT_EQ(SharedRead(vb.Channel(input).Interlaced), 0u);
        // The receiver is set up for progressive input, as a format setting would.
        const auto writes = card.receiver_writes(input);
        EXPECT_TRUE(std::any_of(writes.begin(), writes.end(), [](const sim::ReceiverWrite& w) {
            return w.map == sim::Map::IO && w.sub_address == 0x06 && w.value == 0xA4;
        }));
        c.set_woven(false);
        c.ExpectFrame(false);
        c.ExpectFrame(false);
        c.Disconnect();
        EXPECT_GE(c.checked_, 8u);
    }
}

TEST(VideoSignalChange, ASourceChangeWhileAFrameIsCopiedHoldsThatFrameBack) {
    VideoBed vb;
    sim::Card& card = vb.bed.card();
    Client c(vb, 0);  // 1920x1080p60
    c.ExpectFrame(false);

    // Between the driver's read of the engine's status and its copy, the source turns 720p and
    // the engine goes once round its ring: the buffer the status names now holds a 720p frame.
    host::watch_shared_read(&vb.Channel(0).VideoTakenUnit, [&] {
        ChangeSource(card, 0, "1280x720p60");
        for (int k = 0; k < 3; ++k)
            card.step_video(0);
    });
    c.StepFrame();
    EXPECT_TRUE(WaitUntil([] { return host::shared_read_watch_fired(); }));
    c.ExpectHeldBack();

    ChangeSource(card, 0, "1920x1080p60");
    EXPECT_NE(c.ExpectFrameAfterGap(false) & kDiscontinuity, 0u);
}

// The source leaves the pin's 1080p for 720p and the engine writes a frame of it. The receiver
// here locks at once; 40 ms of kernel time without a frame make that frame end a gap (more than
// two frame periods) without Process's 50 ms frame wait running out (which would ask the
// receiver on its own and find the other mode first). So the driver asks the receiver after
// copying the 720p frame; just before it does, the source is back and locked again, 40 ms later.
// The answer "fits" does not speak for the frame: it must be held back, the count reaching `held`.
void AFrameOfAModeLeftBeforeItsAnswer(VideoBed& vb, Client& c, ULONGLONG held) {
    sim::Card& card = vb.bed.card();
    ChannelState& ch = vb.Channel(0);
    card.set_source(0, Mode("1280x720p60"));
    host::advance_clock(400000);
    host::watch_shared_read(&ch.SignalCheckedUnit, [&] {
        card.set_source(0, Mode("1920x1080p60"));
        host::advance_clock(400000);
    });
    c.StepFrame();
    ASSERT_TRUE(WaitUntil([] { return host::shared_read_watch_fired(); }));
    EXPECT_TRUE(WaitUntil([&] { return SharedRead(ch.FramesHeldBack) == held; })) << "the 720p frame was not held back";
}

// A frame of another mode is copied, and before the driver asks the receiver the source has come
// back to the format's mode and the receiver has locked on it again: the answer "fits" comes long
// after the frame and does not speak for it, so the frame is held back. And a Process that is
// late again (a loaded machine) still delivers the next frame, which began a stream of its own
// (the card here completes one frame at a time).
TEST(VideoSignalChange, AnAnswerLongAfterTheFrameDoesNotVouchForItButLatenessNeverStarvesThePin) {
    VideoBed vb;
    ChannelState& ch = vb.Channel(0);
    Client c(vb, 0);  // 1920x1080p60
    c.ExpectFrame(false);

    const ULONGLONG held = SharedRead(ch.FramesHeldBack);
    AFrameOfAModeLeftBeforeItsAnswer(vb, c, held + 1);

    // The next frame is of the format; the answer for it comes 20 ms late too, and it goes out.
    host::watch_shared_read(&ch.SignalCheckedUnit, [] { host::advance_clock(200000); });
    EXPECT_NE(c.ExpectFrame(false) & kDiscontinuity, 0u);
    EXPECT_TRUE(host::shared_read_watch_fired());
}

// After a frame held back for lateness, the next frame begins a stream of its own. When the
// source left for another mode and came back between the held frame's check and that frame, the
// frame is of the other mode, and a late answer finds the format's signal back: it stays held.
TEST(VideoSignalChange, AFrameOfAnotherModeAfterOneHeldForLatenessIsHeldToo) {
    VideoBed vb;
    ChannelState& ch = vb.Channel(0);
    Client c(vb, 0);  // 1920x1080p60
    c.ExpectFrame(false);

    const ULONGLONG held = SharedRead(ch.FramesHeldBack);
    // A frame of the format after 40 ms without one (a gap: it is checked), whose answer comes
    // 20 ms late: held.
    host::advance_clock(400000);
    host::watch_shared_read(&ch.SignalCheckedUnit, [] { host::advance_clock(200000); });
    c.StepFrame();
    ASSERT_TRUE(WaitUntil([] { return host::shared_read_watch_fired(); }));
    ASSERT_TRUE(WaitUntil([&] { return SharedRead(ch.FramesHeldBack) == held + 1; }));

    // The source leaves for 720p and the engine writes a frame of it; the source is back, and the
    // receiver locked on it, by the time that frame's late answer comes.
    AFrameOfAModeLeftBeforeItsAnswer(vb, c, held + 2);
    qh::client::CompletedFrame f{};
    EXPECT_FALSE(c.pin().wait_completed(f, 0)) << "a frame went out";

    // The source's next frame, checked at once, goes out and says it follows a gap.
    EXPECT_NE(c.ExpectFrame(false) & kDiscontinuity, 0u);
}

TEST(VideoSignalChange, AFormatOfAnotherSizeKeepsItsFramesOnlyWhileTheSignalItWasSetAgainstStays) {
    VideoBed vb;
    sim::Card& card = vb.bed.card();
    Client c(vb, 0);  // 1920x1080p60
    c.Disconnect();
    auto filter = vb.OpenVideo(0);
    ASSERT_TRUE(filter);
    const auto format = VideoBed::Format(*filter, 12);  // 640x360: what the client asked for
    ASSERT_EQ(filter->close(), STATUS_SUCCESS);
    c.set_scaled(true);
    c.Connect(format);
    c.ExpectFrame(false);

    ChangeSource(card, 0, "1280x720p60");
    c.ExpectHeldBack();
    ChangeSource(card, 0, "1920x1080p60");
    EXPECT_NE(c.ExpectFrameAfterGap(false) & kDiscontinuity, 0u);
    EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);
}

// The DPC of the last frame held back runs late, after Process already took that frame, and the
// source comes back while its wake-up is served: a wake-up without a new frame does not end the
// gap. The first frame the card completes afterwards is passed over, the one after it delivered
// and flagged, and the frames after that follow on.
TEST(VideoSignalChange, AWakeUpWithoutANewFrameDoesNotEndTheGap) {
    VideoBed vb;
    sim::Card& card = vb.bed.card();
    ChannelState& ch = vb.Channel(0);
    Client c(vb, 0);  // 1920x1080p60
    c.ExpectFrame(false);
    ChangeSource(card, 0, "1280x720p60");
    c.ExpectHeldBack();

    const host::trace::Mark mark = host::trace::mark();
    host::watch_shared_read(&ch.SignalMismatch, [&] { ChangeSource(card, 0, "1920x1080p60"); });
    KeSetEvent(&ch.FrameEvent, 0, FALSE);
    ASSERT_TRUE(WaitUntil([] { return host::shared_read_watch_fired(); }));
    // That call is over once the next one has waited out its time for a frame.
    ASSERT_TRUE(
        WaitWhileTimePasses([&] { return host::trace::count_exact(mark, "channel0VideoDpcRoutine no data\n") >= 1; }));
    EXPECT_EQ(SharedRead(ch.SignalMismatch), 1u) << "a wake-up without a frame ended the gap";

    EXPECT_NE(c.ExpectFrameAfterGap(false) & kDiscontinuity, 0u);
    EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);
    EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);
}

// A source that stops and comes back in the same mode (a receiver that lost lock for 100 ms):
// the card's frames start again, so the first one after the gap says so; a steady stream does
// not. Kernel time moves only as the test says, one frame period per frame.
TEST(VideoSignalChange, ASourceComingBackInTheSameModeIsFlaggedAsAGap) {
    qh::TestbedOptions options = ManualOptions();
    options.virtual_clock = true;
    VideoBed vb(options);
    sim::Card& card = vb.bed.card();
    Client c(vb, 0);  // 1920x1080p60
    EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);
    host::advance_clock(166667);
    EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);

    card.set_source(0, Mode("1920x1080p60"));
    host::advance_clock(1000000);
    EXPECT_NE(c.ExpectFrame(false) & kDiscontinuity, 0u) << "the source began again and nothing said so";
    host::advance_clock(166667);
    EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);
}

// After the source comes back, the engine's first field can be a bottom field (the top field
// went by while the receiver was still locking): it is not woven with the field before it, which
// belongs to the stream before the gap. The frame after it is whole and flagged. Kernel time
// stands still here, so only the order of the fields tells.
TEST(VideoSignalChange, AStreamBeginningAgainOnABottomFieldIsNotWovenWithTheFieldBeforeIt) {
    qh::TestbedOptions options = ManualOptions();
    options.virtual_clock = true;
    options.card.settle_ms = 400;  // the receiver takes that long to lock on a source
    VideoBed vb(options);
    sim::Card& card = vb.bed.card();
    ASSERT_TRUE(WaitUntil([&] { return card.receiver_state(1).locked; }));
    Client c(vb, 1);  // 1920x1080i60
    c.set_woven(true);
    c.ExpectFrame(true);

    card.set_source(1, Mode("1920x1080i60"));
    ASSERT_EQ(card.step_video(1), 0u) << "the receiver locked before the top field went by";
    ASSERT_TRUE(WaitUntil([&] { return card.receiver_state(1).locked; }));
    ASSERT_EQ(card.step_video(1), 1u);  // a bottom field
    ASSERT_TRUE(WaitUntil([&] { return SharedRead(vb.Channel(1).FramesHeldBack) == 1; }))
        << "the bottom field was not held back";
    EXPECT_NE(c.ExpectFrame(true) & kDiscontinuity, 0u);
    EXPECT_EQ(c.ExpectFrame(true) & kDiscontinuity, 0u);
    c.Disconnect();
    EXPECT_EQ(c.checked_, 3u);
}

// What tells the driver to ask the receiver before delivering, without asking it for every frame:
// a mode whose rate differs shows in the FPGA's measured rate even when the stream does not pause;
// a change that keeps the rate and does not pause (which a real receiver, locking anew, cannot
// make) is found by the watch that asks the receiver every 500 ms while frames come. Kernel time
// moves one frame period a frame.
TEST(VideoSignalChange, AChangeWithoutAPauseIsFoundByTheMeasuredRateOrWithinTheWatchPeriod) {
    VideoBed vb;
    sim::Card& card = vb.bed.card();
    Client c(vb, 0);  // 1920x1080p60
    c.ExpectFrame(false);

    // 1280x720 at 50 Hz, no pause: the measured rate is 50, not 60.
    card.set_source(0, Mode("1280x720p50"));
    host::advance_clock(200000);
    c.ExpectHeldBack();
    card.set_source(0, Mode("1920x1080p60"));
    host::advance_clock(166667);
    EXPECT_NE(c.ExpectFrameAfterGap(false) & kDiscontinuity, 0u);

    // 1280x720 at 60 Hz, no pause: nothing shows it until the watch asks the receiver.
    card.set_source(0, Mode("1280x720p60"));
    c.SourceRestarted();
    c.set_scaled(true);  // until then the 1280x720 frames pass as the format's first lines
    uint32_t frames = 0;
    while (frames < 40) {
        host::advance_clock(166667);
        if (!c.FrameUnlessNoticed()) break;
        ++frames;
    }
    EXPECT_NE(SharedRead(vb.Channel(0).SignalMismatch), 0u) << "the watch never asked the receiver";
    EXPECT_LE(frames, 31u) << "noticed later than the watch period";
    c.set_scaled(false);
    c.ExpectHeldBack();
}

}  // namespace
}  // namespace videotest
