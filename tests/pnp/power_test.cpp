// The system sleeping and waking while pins stream, on a card that loses its state in D3: the PnP
// manager powers the card down after the driver has heard of D3 and up before it hears of D0,
// capture carries on after the wake whichever comes first of D0 and the pins' RUN, and no
// command on any I2C master breaks into another transfer meanwhile.
#include "tests/audio/audio_bed.h"
#include "tests/support/testbed_fixture.h"
#include "tests/video/video_bed.h"

#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/trace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <mutex>
#include <string>

namespace {

using qh::testing::kWaitMs;
using qh::testing::wait_until;

constexpr uint32_t kVideoBuffers = 3;
constexpr uint32_t kAudioBuffers = 4;

// Every I2C master of the card free of misuse, with the first misuses in the message otherwise.
::testing::AssertionResult NoProtocolFaults(const sim::Card& card) {
    std::string why;
    for (uint32_t n = 0; n < sim::kInputs; ++n) {
        if (card.i2c_protocol_faults(n) == 0) continue;
        why += "\n  master " + std::to_string(n) + ": " + std::to_string(card.i2c_protocol_faults(n)) + " misuses";
        for (const std::string& line : card.i2c_protocol_fault_log(n))
            why += "\n    " + line;
    }
    if (why.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "a command broke into a transfer:" << why;
}

// One input's capture pins as an application holds them, buffers given back as they come.
struct Capture {
    Capture(qh::client::Device& device, uint32_t input, bool with_audio) : input(input) {
        for (const auto& info : device.filters()) {
            if (IsEqualGUID(info.reference, videotest::VideoReference(input))) {
                EXPECT_EQ(device.open_filter(info.index, video_filter), STATUS_SUCCESS);
            }
            if (with_audio && IsEqualGUID(info.reference, audiotest::AudioReference(input))) {
                EXPECT_EQ(device.open_filter(info.index, audio_filter), STATUS_SUCCESS);
            }
        }
        if (!video_filter || (with_audio && !audio_filter)) {
            ADD_FAILURE() << "no filters for input " << input;
            return;
        }
        const std::vector<uint8_t> format = videotest::VideoBed::Format(*video_filter, 0);
        // Buffers of the detected frame's size: a sanitized build copying 1080p buffers for four
        // small inputs falls behind the card.
        if (format.size() >= sizeof(KSDATAFORMAT))
            video_bytes = reinterpret_cast<const KSDATAFORMAT*>(format.data())->SampleSize;
        video = videotest::VideoBed::CreatePin(*video_filter, format);
        if (with_audio) audio = audiotest::AudioBed::CreatePin(*audio_filter);
        EXPECT_TRUE(video && (audio || !with_audio));
    }
    void run() {
        for (auto* pin : {video.get(), audio.get()}) {
            if (!pin) continue;
            EXPECT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
            const bool is_video = pin == video.get();
            for (uint32_t i = 0; i < (is_video ? kVideoBuffers : kAudioBuffers); ++i)
                submit(*pin, is_video);
            EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
        }
    }
    void submit(qh::client::Pin& pin, bool is_video) {
        EXPECT_EQ(is_video ? pin.submit(video_bytes, videotest::kHeaderWithInfo)
                           : pin.submit(audiotest::kBlock, audiotest::kPlainHeader),
                  STATUS_SUCCESS);
    }
    // Takes the completions there are, at most one round of each queue (a card producing faster
    // than this thread takes them must not keep it here), and queues each buffer again; the
    // discontinuity flags of the good ones are noted in arrival order.
    void collect() {
        qh::client::CompletedFrame frame;
        for (uint32_t taken = 0; taken < kVideoBuffers && video && video->wait_completed(frame, 0); ++taken) {
            if (frame.status == STATUS_SUCCESS && frame.stream_header().DataUsed > 0) {
                video_flags.push_back(
                    (frame.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0);
                video_numbers.push_back(sim::read_stamp(frame.data.data()).frame);
                EXPECT_EQ(sim::read_stamp(frame.data.data()).input, input);
            }
            submit(*video, true);
        }
        for (uint32_t taken = 0; taken < kAudioBuffers && audio && audio->wait_completed(frame, 0); ++taken) {
            if (frame.status == STATUS_SUCCESS && frame.stream_header().DataUsed > 0) {
                audio_flags.push_back(
                    (frame.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0);
                audiotest::ExpectContinuousWithin(frame.data, frame.stream_header().DataUsed);
            }
            submit(*audio, false);
        }
    }
    void stop_and_close() {
        for (auto* pin : {video.get(), audio.get()}) {
            if (!pin) continue;
            EXPECT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
            qh::client::CompletedFrame frame;
            while (pin->wait_completed(frame, 0)) {
            }
            pin->close();
        }
        if (video_filter) video_filter->close();
        if (audio_filter) audio_filter->close();
    }

    uint32_t input;
    uint32_t video_bytes = videotest::kFrame1080;
    std::unique_ptr<qh::client::Filter> video_filter, audio_filter;
    std::unique_ptr<qh::client::Pin> video, audio;
    std::vector<bool> video_flags, audio_flags;
    std::vector<uint32_t> video_numbers;  // the card's frame number of each good frame
};

// The card's power state each time the driver's SetPower traced its target.
struct PowerAtSetPower {
    explicit PowerAtSetPower(sim::Card& card) {
        listener = host::trace::add_listener([this, &card](const host::trace::Line& line) {
            if (line.text != "dispatchSetPower:low power state\n" &&
                line.text != "dispatchSetPower:Fully working state\n")
                return;
            std::lock_guard<std::mutex> guard(lock);
            seen.push_back(card.power());
        });
    }
    ~PowerAtSetPower() { host::trace::remove_listener(listener); }
    std::vector<host::DevicePower> take() {
        std::lock_guard<std::mutex> guard(lock);
        return std::move(seen);
    }
    int listener;
    std::mutex lock;
    std::vector<host::DevicePower> seen;
};

// Inputs 0 and 2 progressive, every other input without a cable.
qh::TestbedOptions TwoInputs() {
    qh::TestbedOptions options = videotest::ManualOptions();
    options.card.sources[1] = *sim::parse_source("none");
    return options;
}

// Four 640x480p60 inputs paced in real time: small frames, so that the sanitizer builds keep up.
qh::TestbedOptions SmallRealTimeInputs() {
    qh::TestbedOptions options;
    options.card = sim::Card::default_config();
    for (auto& source : options.card.sources)
        source = *sim::parse_source("640x480p60");
    options.card.pacing = sim::Pacing::Realtime;
    return options;
}

}  // namespace

// Inputs 0 and 2 capturing video and audio on a manually paced card.
class Wake : public ::testing::Test {
protected:
    void SetUp() override {
        bed_ = std::make_unique<qh::Testbed>(TwoInputs());
        device_ = qh::client::open_device(bed_->ksdevice());
        for (uint32_t n : {0u, 2u})
            captures_.push_back(std::make_unique<Capture>(*device_, n, true));
        for (auto& c : captures_)
            c->run();
        ASSERT_TRUE(Stream(3));
    }
    void TearDown() override {
        for (auto& c : captures_)
            c->stop_and_close();
        captures_.clear();
        device_.reset();
        bed_.reset();
    }
    sim::Card& card() { return bed_->card(); }

    // Steps until every input has `count` more good video frames and audio buffers.
    bool Stream(size_t count) {
        std::vector<size_t> video_goal, audio_goal;
        for (auto& c : captures_) {
            video_goal.push_back(c->video_flags.size() + count);
            audio_goal.push_back(c->audio_flags.size() + count);
        }
        return wait_until([&] {
            for (auto& c : captures_) {
                card().step_video(c->input);
                card().step_audio(c->input);
            }
            host::flush_dpcs();
            bool done = true;
            for (size_t i = 0; i < captures_.size(); ++i) {
                captures_[i]->collect();
                done = done && captures_[i]->video_flags.size() >= video_goal[i] &&
                       captures_[i]->audio_flags.size() >= audio_goal[i];
            }
            return done;
        });
    }

    // A sleep and a wake; what each input had delivered before them is noted.
    void SleepAndWake(bool pins_first) {
        video_before_.clear();
        audio_before_.clear();
        for (auto& c : captures_) {
            c->collect();
            video_before_.push_back(c->video_flags.size());
            audio_before_.push_back(c->audio_flags.size());
        }
        ASSERT_EQ(bed_->sleep(), STATUS_SUCCESS);
        bed_->wake(pins_first);
    }

    std::unique_ptr<qh::Testbed> bed_;
    std::unique_ptr<qh::client::Device> device_;
    std::vector<std::unique_ptr<Capture>> captures_;
    std::vector<size_t> video_before_, audio_before_;
};

// A wake from D3 with the pins running, D0 before RUN and RUN before D0. The card kept nothing:
// the driver brings its receivers up again and programs the running pins' engines again (a RUN
// that came first programmed a card that dropped the writes), so video and audio come again.
TEST_F(Wake, CaptureResumesOnACardThatForgotEverythingWhicheverComesFirst) {
    PowerAtSetPower power(card());
    for (bool pins_first : {false, true}) {
        SCOPED_TRACE(pins_first ? "RUN before D0" : "D0 before RUN");
        // Down only once the driver has let go, and dead and unconfigured while down.
        ASSERT_EQ(bed_->sleep(), STATUS_SUCCESS);
        EXPECT_EQ(card().power(), host::DevicePower::D3);
        EXPECT_EQ(card().read32(0xC004), 0xFFFFFFFFu);
        EXPECT_FALSE(card().receiver_state(0).configured);
        EXPECT_EQ(card().step_video(0), 0u);

        bed_->wake(pins_first);
        EXPECT_EQ(power.take(), (std::vector<host::DevicePower>{host::DevicePower::D0, host::DevicePower::D0}))
            << "the card must be up while the driver's SetPower runs, to D3 as to D0";
        EXPECT_EQ(card().power(), host::DevicePower::D0);
        EXPECT_TRUE(card().interrupt_enabled());
        for (auto& c : captures_) {
            EXPECT_TRUE(card().receiver_state(c->input).configured) << "input " << c->input;
            EXPECT_TRUE(card().video_engine_running(c->input))
                << "input " << c->input << ": video engine not programmed again";
            EXPECT_TRUE(card().audio_engine_running(c->input))
                << "input " << c->input << ": audio engine not programmed again";
        }
        ASSERT_TRUE(Stream(3)) << "capture did not resume";
    }
    EXPECT_TRUE(NoProtocolFaults(card()));
}

// What came before the sleep and what comes after it do not follow each other: the first frame
// and the first audio buffer after the wake carry the discontinuity flag, the ones after them not.
TEST_F(Wake, TheFirstFrameAndAudioAfterTheSleepAreFlaggedWhicheverComesFirst) {
    for (bool pins_first : {false, true}) {
        SCOPED_TRACE(pins_first ? "RUN before D0" : "D0 before RUN");
        SleepAndWake(pins_first);
        ASSERT_TRUE(Stream(3)) << "capture did not resume";
        for (size_t i = 0; i < captures_.size(); ++i) {
            const Capture& c = *captures_[i];
            SCOPED_TRACE("input " + std::to_string(c.input));
            ASSERT_GT(c.video_flags.size(), video_before_[i] + 1);
            ASSERT_GT(c.audio_flags.size(), audio_before_[i] + 1);
            EXPECT_TRUE(c.video_flags[video_before_[i]]) << "the first frame after the sleep is not flagged";
            EXPECT_TRUE(c.audio_flags[audio_before_[i]]) << "the first audio after the sleep is not flagged";
            // The card is stepped without waiting for the driver: a slow build may pass frames
            // over, which the frame after them says. A frame that follows its predecessor does not.
            const size_t last = c.video_flags.size() - 1;
            EXPECT_EQ(c.video_flags[last], c.video_numbers[last] != c.video_numbers[last - 1] + 1)
                << "frame " << c.video_numbers[last] << " after " << c.video_numbers[last - 1];
            EXPECT_FALSE(c.audio_flags.back());
        }
    }
}

// Waking with four inputs' video pins already in RUN (the graph restarted before the device's D0):
// the receivers' bring-up at D0 shares each I2C master with the running pins, which ask their
// receivers for the signal whenever a frame wait times out and whenever their format is set. At
// real-scale delays, round after round, no command on any master may break into another transfer.
// QH_WAKE_ROUNDS sets the number of rounds (3 by default; 50 for a soak).
TEST(WakeBringUp, NeverInterleavesWithRunningPinsOnAnI2cMaster) {
    uint32_t rounds = 3;
    if (const char* text = std::getenv("QH_WAKE_ROUNDS")) rounds = uint32_t(std::strtoul(text, nullptr, 10));
    ASSERT_GT(rounds, 0u) << "QH_WAKE_ROUNDS must be a positive number";

    qh::TestbedOptions options = SmallRealTimeInputs();
    options.delay_scale = 1.0;
    qh::Testbed bed(options);
    sim::Card& card = bed.card();
    auto device = qh::client::open_device(bed.ksdevice());
    std::vector<std::unique_ptr<Capture>> captures;
    for (uint32_t n = 0; n < sim::kInputs; ++n)
        captures.push_back(std::make_unique<Capture>(*device, n, false));
    for (auto& c : captures)
        c->run();
    // The formats the pins run with, as the application keeps them.
    std::vector<std::vector<uint8_t>> format;
    for (auto& c : captures)
        format.push_back(videotest::VideoBed::Format(*c->video_filter, 0));
    // Whether capture comes back at all, not how fast: under the thread sanitizer the receiver
    // checks that follow a wake (one per frame until an answer speaks for its frame) run many times
    // slower than the card's real-time frames, and four inputs took tens of seconds to resume.
    constexpr uint32_t kResumeMs = 180'000;
    auto delivering_again = [&] {
        std::vector<size_t> before;
        for (auto& c : captures)
            before.push_back(c->video_flags.size());
        return wait_until(
            [&] {
                bool all = true;
                for (size_t i = 0; i < captures.size(); ++i) {
                    captures[i]->collect();
                    all = all && captures[i]->video_flags.size() >= before[i] + 2;
                }
                return all;
            },
            kResumeMs);
    };
    ASSERT_TRUE(delivering_again());
    for (uint32_t round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(bed.sleep(), STATUS_SUCCESS);
        for (auto& c : captures)
            c->collect();
        // The application sets its pins' formats again meanwhile, one input after the other (as
        // it does when it renegotiates): each setting asks the input's receiver about the signal,
        // so every master has one more user all through the wake.
        std::atomic<bool> waking{true};
        std::thread other([&] {
            for (uint32_t k = 0; waking.load(); ++k) {
                Capture& c = *captures[k % sim::kInputs];
                c.video->set_format(format[k % sim::kInputs]);
            }
        });
        bed.wake(/*pins_before_power=*/true);
        waking.store(false);
        other.join();
        ASSERT_TRUE(delivering_again()) << "capture did not resume";
        ASSERT_TRUE(NoProtocolFaults(card));
    }
    for (auto& c : captures)
        c->stop_and_close();
}

// A surprise removal for a card still on the bus, its engines running in real time: the card
// goes on writing until told, so the teardown must stop every engine before the buffers are
// freed. An engine left running writes into freed memory on its next burst, which the host bus
// refuses and names ("DMA outside common buffers"), stopping the run.
TEST(SurpriseRemoval, OfACardThatStaysOnTheBusLeavesNoEngineWritingIntoFreedBuffers) {
    qh::Testbed bed(SmallRealTimeInputs());
    sim::Card& card = bed.card();
    // Filters opened before their receivers lock detect no signal.
    ASSERT_TRUE(wait_until([&] {
        for (uint32_t n = 0; n < sim::kInputs; ++n)
            if (!card.receiver_state(n).locked) return false;
        return true;
    }));
    {
        auto device = qh::client::open_device(bed.ksdevice());
        std::vector<std::unique_ptr<Capture>> captures;
        for (uint32_t n = 0; n < sim::kInputs; ++n)
            captures.push_back(std::make_unique<Capture>(*device, n, true));
        for (auto& c : captures)
            c->run();
        ASSERT_TRUE(wait_until([&] {
            bool all = true;
            for (auto& c : captures) {
                c->collect();
                all = all && c->video_flags.size() >= 2 && c->audio_flags.size() >= 2;
            }
            return all;
        }));
        bed.pnp_device().surprise_remove();
        EXPECT_TRUE(device->wait_removed(kWaitMs));
        for (auto& c : captures)
            c->stop_and_close();
    }
    ASSERT_EQ(bed.finish_removal(kWaitMs), 0u);
    // The card never left: it answers, and only its driver's writes stopped its engines.
    EXPECT_FALSE(card.removed());
    EXPECT_EQ(card.read32(0x0040), 0x00010004u);
    for (uint32_t n = 0; n < sim::kInputs; ++n) {
        EXPECT_FALSE(card.video_engine_running(n)) << "video engine " << n << " left running";
        EXPECT_FALSE(card.audio_engine_running(n)) << "audio engine " << n << " left running";
        EXPECT_EQ(card.dma_failures(n), 0u) << "input " << n << " wrote outside the live buffers";
    }
    EXPECT_FALSE(card.interrupt_enabled());
}
