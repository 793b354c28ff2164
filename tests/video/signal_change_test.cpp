// The source of a running input unplugged or switched to another mode: no frame of the wrong
// geometry is ever delivered (every completed frame is checked line by line against the pin's
// format), frames are held back while the signal does not fit, the first frame after such a gap
// says so, and capture resumes by itself when the same mode returns, or after the client
// reconnects (or stops and runs again) when it does not.
#include "platform/host/kernel.h"
#include "sim/card.h"

#include <algorithm>

#include "video_bed.h"

namespace videotest {
namespace {

constexpr ULONG kDiscontinuity = KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;

sim::SourceConfig Mode(const char* text) { return *sim::parse_source(text); }

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
        const auto& bmi = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader;
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
        for (int unit = 0; unit < 4 && card.frames_produced(input_) == before; ++unit) vb_.Step(input_);
    }

    // The signal fits again: the driver passes over the frame the status named when it noticed
    // (the engine may not have written a frame of the returning signal yet), unless its time-out
    // noticed first; either way the frame after that one is delivered.
    ULONG ExpectFrameAfterGap(bool woven) {
        StepFrame();
        EXPECT_TRUE(WaitUntil([&] { return SharedRead(vb_.Channel(input_).SignalMismatch) == 0; }))
            << "the driver did not notice the signal back";
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

    // After a change of the source: whatever the card sends now, the driver notices that the
    // signal does not fit and completes nothing; the buffer stays queued.
    void ExpectHeldBack() {
        for (int k = 0; k < 3; ++k) StepFrame();
        EXPECT_TRUE(WaitUntil([&] { return SharedRead(vb_.Channel(input_).SignalMismatch) != 0; }))
            << "the driver did not notice the change";
        StepFrame();
        qh::client::CompletedFrame f{};
        if (pin_->wait_completed(f, 0)) {
            ADD_FAILURE() << "a buffer completed while the signal did not fit";
            Check(f, woven_);
        }
        EXPECT_EQ(pin_->queued(), 1u);
    }

    void set_woven(bool woven) { woven_ = woven; }
    // A format of another size than the signal's gets the card's bytes as they come (no
    // scaling): only its first line is a line of the frame.
    void set_scaled(bool scaled) { scaled_ = scaled; }

private:
    uint32_t FrameBytes() const { return width_ * height_ * 2; }

    void Drain() {
        qh::client::CompletedFrame f{};
        while (pin_->wait_completed(f, 0)) {
            if (f.status == STATUS_SUCCESS) Check(f, woven_);
            else EXPECT_EQ(f.stream_header().DataUsed, 0u);
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
    for (auto& source : options.card.sources) source = Mode("1920x1080p60");
    VideoBed vb(options);
    sim::Card& card = vb.bed.card();

    for (uint32_t input = 0; input < 4; ++input) {
        SCOPED_TRACE(input);
        const host::trace::Mark mark = host::trace::mark();
        const std::string video = "video" + std::to_string(input) + ": ";
        Client c(vb, input);
        EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);

        // 1080p60 -> 720p60: frames of 1280x720 arrive, none goes out as 1920x1080.
        card.set_source(input, Mode("1280x720p60"));
        c.ExpectHeldBack();
        EXPECT_EQ(host::trace::count_exact(
                      mark, video + "signal 1280x720p does not fit the format 1920x1080p, frames held back\n"),
                  1u);
        c.Reconnect();  // the filter's detected entry is now 1280x720
        EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);
        c.ExpectFrame(false);

        // 720p60 -> 1080i60: fields arrive, none goes out as a 1280x720 frame.
        card.set_source(input, Mode("1920x1080i60"));
        c.ExpectHeldBack();
        c.Reconnect();
        ASSERT_EQ(SharedRead(vb.Channel(input).Interlaced), 1u);
        c.set_woven(true);
        c.ExpectFrame(true);

        // No cable: nothing, and no old frame; the same mode back: frames resume by themselves,
        // the first one after the gap flagged.
        card.set_source(input, Mode("none"));
        c.ExpectHeldBack();
        EXPECT_EQ(host::trace::count_exact(mark, video + "no signal, frames held back\n"), 1u);
        card.set_source(input, Mode("1920x1080i60"));
        EXPECT_NE(c.ExpectFrameAfterGap(true) & kDiscontinuity, 0u);
        EXPECT_EQ(c.ExpectFrame(true) & kDiscontinuity, 0u);

        // No cable, then 1080p60 at the same size: the interlaced pin gets no bottom field and
        // notices on its time-out; STOP and RUN take the new scan type and frames come again.
        card.set_source(input, Mode("none"));
        c.ExpectHeldBack();
        card.set_source(input, Mode("1920x1080p60"));
        for (int k = 0; k < 3; ++k) c.StepFrame();
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
    host::watch_shared_read(&vb.Channel(0).VideoStatus, [&] {
        card.set_source(0, Mode("1280x720p60"));
        for (int k = 0; k < 3; ++k) card.step_video(0);
    });
    c.StepFrame();
    EXPECT_TRUE(WaitUntil([] { return host::shared_read_watch_fired(); }));
    c.ExpectHeldBack();

    card.set_source(0, Mode("1920x1080p60"));
    EXPECT_NE(c.ExpectFrameAfterGap(false) & kDiscontinuity, 0u);
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

    card.set_source(0, Mode("1280x720p60"));
    c.ExpectHeldBack();
    card.set_source(0, Mode("1920x1080p60"));
    EXPECT_NE(c.ExpectFrameAfterGap(false) & kDiscontinuity, 0u);
    EXPECT_EQ(c.ExpectFrame(false) & kDiscontinuity, 0u);
}

}  // namespace
}  // namespace videotest
