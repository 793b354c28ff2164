// The capture that runs against any device (the one quadhdmi.exe offers): its checks of what
// completes, fed requests a faulty driver could hand back, and the whole capture run in this
// process against a started simulated card, without and with a master clock.
#include "tests/support/testbed_fixture.h"
#include "tools/quadhdmi/device/device_capture.h"
#include "tools/quadhdmi/device/frame_checks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <unistd.h>

namespace {

using namespace qh;
namespace fs = std::filesystem;

constexpr uint32_t kFrameBytes = 64;

client::CompletedFrame video_frame(uint32_t used, int64_t picture, int64_t drops, bool timed, int64_t time,
                                   NTSTATUS status = STATUS_SUCCESS) {
    client::CompletedFrame f;
    f.status = status;
    f.header.assign(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO), 0);
    KSSTREAM_HEADER h{};
    h.Size = ULONG(f.header.size());
    h.FrameExtent = kFrameBytes;
    h.DataUsed = used;
    if (timed) {
        h.OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
        h.PresentationTime.Time = time;
    }
    std::memcpy(f.header.data(), &h, sizeof h);
    KS_FRAME_INFO info{};
    info.ExtendedHeaderSize = sizeof info;
    info.PictureNumber = picture;
    info.DropCount = drops;
    std::memcpy(f.header.data() + sizeof h, &info, sizeof info);
    f.data.assign(kFrameBytes, 0x80);
    return f;
}

client::CompletedFrame audio_buffer(uint32_t used, uint32_t extent, ULONG flags) {
    client::CompletedFrame f;
    f.status = STATUS_SUCCESS;
    f.header.assign(sizeof(KSSTREAM_HEADER), 0);
    KSSTREAM_HEADER h{};
    h.Size = sizeof h;
    h.FrameExtent = extent;
    h.DataUsed = used;
    h.OptionsFlags = flags;
    std::memcpy(f.header.data(), &h, sizeof h);
    f.data.assign(extent, 0);
    return f;
}

// A pin with a clock: every fault counted once, under its own name, drops read from the frame
// info, cancellations at stop apart from the frames; a second pin without a clock takes frames
// without a time as they come and starts its counts afresh.
TEST(FrameChecksTool, VideoFaultsAreEachCountedAndDropsComeFromTheFrameInfo) {
    tool::VideoFrameChecks c;
    c.restart(kFrameBytes, true);
    EXPECT_TRUE(c.check(video_frame(kFrameBytes, 1, 0, true, 100)));
    EXPECT_TRUE(c.check(video_frame(kFrameBytes, 2, 2, true, 200)));       // two dropped before it
    EXPECT_FALSE(c.check(video_frame(kFrameBytes - 2, 3, 2, true, 300)));  // short
    EXPECT_FALSE(c.check(video_frame(kFrameBytes, 4, 2, true, 300)));      // time stands still
    EXPECT_FALSE(c.check(video_frame(kFrameBytes, 4, 2, true, 400)));      // picture number again
    EXPECT_FALSE(c.check(video_frame(kFrameBytes, 5, 2, false, 0)));       // no time with a clock
    client::CompletedFrame overwritten = video_frame(kFrameBytes, 6, 2, true, 500);
    overwritten.guards_intact = false;
    EXPECT_FALSE(c.check(overwritten));
    EXPECT_FALSE(c.check(video_frame(kFrameBytes, 7, 2, true, 600, STATUS_DEVICE_NOT_READY)));
    EXPECT_TRUE(c.check(video_frame(0, 0, 0, false, 0, STATUS_CANCELLED)));
    EXPECT_TRUE(c.check(video_frame(kFrameBytes, 9, 3, true, 700)));  // a picture and a drop skipped
    // A run after a pause: the driver's counts start again on a frame flagged as a discontinuity.
    client::CompletedFrame resumed = video_frame(kFrameBytes, 1, 0, true, 800);
    reinterpret_cast<KSSTREAM_HEADER*>(resumed.header.data())->OptionsFlags |=
        KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
    EXPECT_TRUE(c.check(resumed));
    EXPECT_FALSE(c.check(video_frame(kFrameBytes, 1, 0, true, 900)));  // the same count again, unflagged
    EXPECT_EQ(c.frames, 10u);
    EXPECT_EQ(c.cancelled, 1u);
    EXPECT_EQ(c.bad, 7u);
    EXPECT_EQ(c.discontinuities, 1u);
    EXPECT_EQ(c.wrong_size, 1u);
    EXPECT_EQ(c.bad_time, 2u);
    EXPECT_EQ(c.out_of_order, 2u);
    EXPECT_EQ(c.overwritten, 1u);
    EXPECT_EQ(c.failed, 1u);
    EXPECT_EQ(c.dropped, 4u);
    EXPECT_EQ(c.detail(),
              " (1 failed, 1 wrong size, 2 bad time, 2 picture number not moving on, 1 guard bytes overwritten)");

    tool::VideoFrameChecks unclocked;
    unclocked.restart(kFrameBytes, false);
    EXPECT_TRUE(unclocked.check(video_frame(kFrameBytes, 1, 0, false, 0)));
    EXPECT_TRUE(unclocked.check(video_frame(kFrameBytes, 2, 0, false, 0)));
    EXPECT_FALSE(unclocked.check(video_frame(kFrameBytes + 2, 3, 0, false, 0)));  // longer than the format's frame
    EXPECT_EQ(unclocked.unstamped, 3u);
    EXPECT_EQ(unclocked.bad, 1u);
    EXPECT_EQ(unclocked.dropped, 0u);
    EXPECT_EQ(unclocked.detail(), " (1 wrong size)");
}

TEST(FrameChecksTool, AudioBuffersStayWithinTheirExtentInWholeSamplesAndFlagsAreCounted) {
    tool::AudioBufferChecks c;
    c.restart();
    EXPECT_TRUE(c.check(audio_buffer(1920, 1920, 0)));
    EXPECT_TRUE(c.check(audio_buffer(960, 1920, KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY)));
    EXPECT_FALSE(c.check(audio_buffer(1922, 1920, 0)));  // past the extent
    EXPECT_FALSE(c.check(audio_buffer(962, 1920, 0)));   // half a sample frame
    EXPECT_EQ(c.buffers, 4u);
    EXPECT_EQ(c.bytes, 1920u + 960u);
    EXPECT_EQ(c.flagged, 1u);
    EXPECT_EQ(c.bad, 2u);
    EXPECT_EQ(c.wrong_size, 2u);
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class DeviceCaptureTool : public ::testing::Test {
protected:
    void SetUp() override {
        TestbedOptions options;
        options.card.pacing = sim::Pacing::Realtime;
        // The receivers report a picture only once configured for a while: the bring-up's waits
        // take their real time, as the tool's do.
        options.delay_scale = 1.0;
        bed_ = std::make_unique<Testbed>(options);
        ASSERT_EQ(bed_->start_status(), STATUS_SUCCESS);
        dir_ = fs::temp_directory_path() / ("qh-device-capture-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        bed_.reset();
        fs::remove_all(dir_);
    }
    // The capture with its output; the exit status in `code`.
    std::string capture(tool::DeviceCaptureOptions options, std::shared_ptr<client::Clock> clock, int& code) {
        EXPECT_EQ(tool::check_device_capture(options), "");
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        code = tool::run_device_capture(bed_->client(), options, std::move(clock));
        std::string out = ::testing::internal::GetCapturedStdout();
        return out + ::testing::internal::GetCapturedStderr();
    }
    std::unique_ptr<Testbed> bed_;
    fs::path dir_;
};

// Without a clock (as on Windows) the frames come without times and that is not a fault; with
// one every frame has a time after the one before. Either way the frames are whole, the files
// hold what was captured, and the buffers still queued at the end come back cancelled.
TEST_F(DeviceCaptureTool, CapturesWholeFramesAndAudioWithAndWithoutAClock) {
    for (bool with_clock : {false, true}) {
        SCOPED_TRACE(with_clock ? "with a clock" : "without a clock");
        tool::DeviceCaptureOptions options;
        options.inputs = {0};
        options.frames = 10;
        options.video = (dir_ / "v.y4m").string();
        options.audio = (dir_ / "a.wav").string();
        options.quiet = true;
        int code = -1;
        const std::string out = capture(options, with_clock ? client::make_clock() : nullptr, code);
        EXPECT_EQ(code, 0) << out;
        EXPECT_NE(out.find("input 0 video: 10 frames 1920x1080"), std::string::npos) << out;
        // "bad frames 0" ends the line, or other counts follow it, as the run's timing decides.
        const size_t bad = out.find("bad frames 0");
        ASSERT_NE(bad, std::string::npos) << out;
        EXPECT_TRUE(out[bad + 12] == ',' || out[bad + 12] == '\n') << out;
        EXPECT_NE(out.find("bad buffers 0"), std::string::npos) << out;
        EXPECT_NE(out.find("cancelled at stop"), std::string::npos) << out;
        EXPECT_EQ(out.find("no presentation times (no master clock)") != std::string::npos, !with_clock) << out;
        const std::string y4m = read_text(dir_ / "v.y4m");
        EXPECT_EQ(y4m.rfind("YUV4MPEG2 W1920 H1080 F60:1 Ip", 0), 0u);
        EXPECT_EQ(y4m.size(), y4m.find('\n') + 1 + 10 * (6 + 1920 * 1080 * 2));
        const std::string wav = read_text(dir_ / "a.wav");
        ASSERT_GT(wav.size(), 44u);
        uint32_t data_bytes;
        std::memcpy(&data_bytes, wav.data() + 40, 4);
        EXPECT_EQ(data_bytes, wav.size() - 44);
        EXPECT_EQ(data_bytes % 4, 0u);
    }
}

// An input without a cable delivers nothing: the capture names it and fails, and the input
// beside it is captured as asked.
TEST_F(DeviceCaptureTool, AnInputThatDeliversNothingFailsTheCapture) {
    tool::DeviceCaptureOptions options;
    options.input_list = "0,3";
    options.seconds = 0.5;
    options.quiet = true;
    int code = -1;
    const std::string out = capture(options, nullptr, code);
    EXPECT_EQ(code, 1) << out;
    EXPECT_NE(out.find("quadhdmi: input 3: no video frames within the capture"), std::string::npos) << out;
    EXPECT_NE(out.find("input 0 video: "), std::string::npos) << out;
    EXPECT_EQ(out.find("input 0: "), std::string::npos) << out;
}

// What is refused before a device is looked at: an input that does not exist, files that
// collide, a file that is a folder.
TEST(DeviceCaptureOptionsTool, RefusesWhatCannotBeCapturedBeforeAnythingRuns) {
    tool::DeviceCaptureOptions options;
    options.input_list = "0,4";
    EXPECT_NE(tool::check_device_capture(options), "");
    options = {};
    options.video = "same";
    options.audio = "./same";
    EXPECT_NE(tool::check_device_capture(options).find("every output needs a file of its own"), std::string::npos);
    options = {};
    options.video = fs::temp_directory_path().string();
    EXPECT_NE(tool::check_device_capture(options).find("is a folder"), std::string::npos);
    options = {};
    options.input_list = "1,2";
    options.audio = "a.wav";
    EXPECT_EQ(tool::check_device_capture(options), "");
    EXPECT_EQ(options.inputs, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(options.seconds, 1.0);
}

}  // namespace
