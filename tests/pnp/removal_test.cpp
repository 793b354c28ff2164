// The card pulled out, the device's resources rebalanced and the system put to sleep while pins
// stream: every queued buffer comes back to its client, nothing touches the card after its
// removal, no verifier stop, no leak, and capture works again on the card put back.
#include "tests/audio/audio_bed.h"
#include "tests/support/testbed_fixture.h"
#include "tests/video/video_bed.h"

#include "driver/filter/filter.h"
#include "driver/hw/registers.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/verifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

using qh::testing::kWaitMs;
using qh::testing::wait_until;

constexpr uint32_t kVideoBuffers = 3;
constexpr uint32_t kAudioBuffers = 4;

// Every input with a progressive signal, so that every video pin delivers on each step.
qh::TestbedOptions FourInputs() {
    qh::TestbedOptions options = videotest::ManualOptions();
    options.card.sources[1] = *sim::parse_source("1280x720p60");
    options.card.sources[3] = *sim::parse_source("1280x720p60");
    return options;
}

// One input's video and audio filters and capture pins, as an application holds them.
struct Input {
    uint32_t index = 0;
    std::unique_ptr<qh::client::Filter> video_filter, audio_filter;
    std::unique_ptr<qh::client::Pin> video, audio;
    uint64_t submitted_video = 0, submitted_audio = 0;
    uint64_t returned_video = 0, returned_audio = 0;
    uint64_t good_video = 0, good_audio = 0;
    uint32_t width = 0, height = 0;  // the video pin's format
    std::unique_ptr<videotest::FrameStream> frames;
    int64_t newest_video_frame = -1;  // highest frame number among the frames delivered
};

class Session {
public:
    explicit Session(qh::Testbed& bed) : bed_(bed) { reopen(); }

    void reopen() { device_ = qh::client::open_device(bed_.ksdevice()); }
    qh::client::Device& device() { return *device_; }

    std::unique_ptr<qh::client::Filter> open(const GUID& reference) {
        std::unique_ptr<qh::client::Filter> filter;
        for (const auto& info : device_->filters()) {
            if (IsEqualGUID(info.reference, reference)) {
                EXPECT_EQ(device_->open_filter(info.index, filter), STATUS_SUCCESS);
            }
        }
        return filter;
    }

    // Both pins of the input created, buffers queued, running.
    Input& add(uint32_t index) {
        inputs_.push_back(std::make_unique<Input>());
        Input& in = *inputs_.back();
        in.index = index;
        in.video_filter = open(videotest::VideoReference(index));
        in.audio_filter = open(audiotest::AudioReference(index));
        EXPECT_TRUE(in.video_filter && in.audio_filter);
        if (!in.video_filter || !in.audio_filter) return in;
        const std::vector<uint8_t> format = videotest::VideoBed::Format(*in.video_filter, 0);
        if (format.size() >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
            const auto& bmi =
                reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader;
            in.width = uint32_t(bmi.biWidth);
            in.height = uint32_t(bmi.biHeight);
        }
        in.frames = std::make_unique<videotest::FrameStream>(index);
        in.video = videotest::VideoBed::CreatePin(*in.video_filter, format);
        in.audio = audiotest::AudioBed::CreatePin(*in.audio_filter);
        EXPECT_TRUE(in.video && in.audio);
        if (!in.video || !in.audio) return in;
        EXPECT_EQ(in.video->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(in.audio->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
        for (uint32_t i = 0; i < kVideoBuffers; ++i)
            submit_video(in);
        for (uint32_t i = 0; i < kAudioBuffers; ++i)
            submit_audio(in);
        EXPECT_EQ(in.video->set_state(KSSTATE_RUN), STATUS_SUCCESS);
        EXPECT_EQ(in.audio->set_state(KSSTATE_RUN), STATUS_SUCCESS);
        return in;
    }

    void submit_video(Input& in) {
        ASSERT_EQ(in.video->submit(videotest::kFrame1080, videotest::kHeaderWithInfo), STATUS_SUCCESS);
        ++in.submitted_video;
    }
    void submit_audio(Input& in) {
        ASSERT_EQ(in.audio->submit(audiotest::kBlock, audiotest::kPlainHeader), STATUS_SUCCESS);
        ++in.submitted_audio;
    }

    // Takes every completion there is; a good buffer is given back to the pin while `requeue`.
    void collect(Input& in, bool requeue) {
        qh::client::CompletedFrame frame;
        while (in.video && in.video->wait_completed(frame, 0)) {
            ++in.returned_video;
            if (frame.status == STATUS_SUCCESS && frame.stream_header().DataUsed > 0) {
                ++in.good_video;
                // Every input is progressive here: whole frames of the pin's size, in order.
                EXPECT_GE(frame.stream_header().DataUsed, in.width * in.height * 2);
                in.frames->Check(frame, in.width * 2, in.height, false);
                in.newest_video_frame =
                    std::max<int64_t>(in.newest_video_frame, sim::read_stamp(frame.data.data()).frame);
            }
            if (requeue) submit_video(in);
        }
        while (in.audio && in.audio->wait_completed(frame, 0)) {
            ++in.returned_audio;
            if (frame.status == STATUS_SUCCESS && frame.stream_header().DataUsed > 0) ++in.good_audio;
            if (requeue) submit_audio(in);
        }
    }

    // One video unit and one audio block on every input, and their completions taken.
    void step_all() {
        for (auto& in : inputs_) {
            bed_.card().step_video(in->index);
            bed_.card().step_audio(in->index);
        }
        host::flush_dpcs();
        for (auto& in : inputs_)
            collect(*in, true);
    }

    // Steps until every input delivered `frames` video frames and audio buffers.
    void stream(uint64_t frames) {
        for (auto& in : inputs_) {
            const uint64_t video_goal = in->good_video + frames, audio_goal = in->good_audio + frames;
            ASSERT_TRUE(wait_until([&] {
                step_all();
                return in->good_video >= video_goal && in->good_audio >= audio_goal;
            })) << "input "
                << in->index << " stopped delivering";
        }
    }

    // What the application does when told of the removal: stops its pins, which gives every
    // queued buffer back, and closes its handles.
    void stop_and_close() {
        for (auto& in : inputs_) {
            if (in->video) {
                EXPECT_EQ(in->video->set_state(KSSTATE_STOP), STATUS_SUCCESS);
            }
            if (in->audio) {
                EXPECT_EQ(in->audio->set_state(KSSTATE_STOP), STATUS_SUCCESS);
            }
            collect(*in, false);
            EXPECT_EQ(in->returned_video, in->submitted_video) << "video buffers of input " << in->index << " kept";
            EXPECT_EQ(in->returned_audio, in->submitted_audio) << "audio buffers of input " << in->index << " kept";
            if (in->video) {
                EXPECT_EQ(in->video->stray_completions(), 0u);
            }
            if (in->audio) {
                EXPECT_EQ(in->audio->stray_completions(), 0u);
            }
            if (in->video) in->video->close();
            if (in->audio) in->audio->close();
            if (in->video_filter) in->video_filter->close();
            if (in->audio_filter) in->audio_filter->close();
        }
        inputs_.clear();
    }

    std::vector<std::unique_ptr<Input>>& inputs() { return inputs_; }

private:
    qh::Testbed& bed_;
    std::unique_ptr<qh::client::Device> device_;
    std::vector<std::unique_ptr<Input>> inputs_;
};

// After the surprise removal: the client is told, no register of the card is touched again
// (reads of a card that is gone are logged like any other), and the card stays silent.
void ExpectCardLeftAlone(qh::Testbed& bed, Session& session) {
    EXPECT_TRUE(session.device().wait_removed(kWaitMs));
    std::unique_ptr<qh::client::Filter> refused;
    EXPECT_EQ(session.device().open_filter(1, refused), STATUS_NO_SUCH_DEVICE);
    for (uint32_t n = 0; n < sim::kInputs; ++n) {
        EXPECT_EQ(bed.card().step_video(n), 0u);
        EXPECT_EQ(bed.card().step_audio(n), 0u);
    }
}

// The card put back: a new device on which input 0 captures again.
void ExpectCaptureOnNewCard(qh::Testbed& bed) {
    ASSERT_EQ(bed.replug(), STATUS_SUCCESS);
    Session session(bed);
    Input& in = session.add(0);
    session.stream(2);
    EXPECT_GE(in.good_video, 2u);
    session.stop_and_close();
}

TEST(Removal, DuringFourInputRunEveryBufferComesBackAndTheCardWorksAgain) {
    qh::Testbed bed(FourInputs());
    {
        Session session(bed);
        for (uint32_t n = 0; n < sim::kInputs; ++n)
            session.add(n);
        session.stream(3);

        bed.unplug(/*shared_line_keeps_firing=*/true);
        bed.card().set_access_log(true);
        bed.card().clear_access_log();
        ExpectCardLeftAlone(bed, session);
        session.stop_and_close();
        EXPECT_TRUE(bed.card().access_log().empty()) << "the driver touched the card after its removal";
    }
    EXPECT_EQ(bed.finish_removal(kWaitMs), 0u);
    ExpectCaptureOnNewCard(bed);
}

TEST(Removal, WhileThePinsAreBeingStopped) {
    qh::Testbed bed(FourInputs());
    {
        Session session(bed);
        session.add(0);
        session.add(2);
        session.stream(2);
        // The application stops its graph while the card goes: both orders of the two meet.
        std::thread stopper([&] {
            for (auto& in : session.inputs()) {
                EXPECT_EQ(in->video->set_state(KSSTATE_STOP), STATUS_SUCCESS);
                EXPECT_EQ(in->audio->set_state(KSSTATE_STOP), STATUS_SUCCESS);
            }
        });
        bed.unplug();
        stopper.join();
        ExpectCardLeftAlone(bed, session);
        session.stop_and_close();
    }
    EXPECT_EQ(bed.finish_removal(kWaitMs), 0u);
    ExpectCaptureOnNewCard(bed);
}

TEST(Removal, DuringFilterOpenWhileTheReceiverIsAskedForItsSignal) {
    qh::TestbedOptions options = FourInputs();
    qh::Testbed bed(options);
    {
        Session session(bed);
        // The I2C master stays busy: the detection the open runs is held in its polling loop.
        bed.card().set_i2c_stuck_busy(0, true);
        bed.card().set_access_log(true);
        bed.card().clear_access_log();
        std::unique_ptr<qh::client::Filter> filter;
        const auto creates = bed.trace_count("FilterCreate()\n");
        std::thread opener([&] { filter = session.open(videotest::VideoReference(0)); });
        // The filter's Create is under way (not just any I2C traffic of the device) and its
        // detection is polling the master.
        ASSERT_TRUE(wait_until([&] {
            return bed.trace_count("FilterCreate()\n") > creates &&
                   !qh::testing::reads_of(bed.card().access_log(), kI2cBlock[0]).empty();
        })) << "the detection did not start";
        bed.unplug();
        opener.join();
        ExpectCardLeftAlone(bed, session);
        if (filter) filter->close();
    }
    EXPECT_EQ(bed.finish_removal(kWaitMs), 0u);
    ExpectCaptureOnNewCard(bed);
}

TEST(Removal, DuringARegisterRequest) {
    qh::Testbed bed(FourInputs());
    {
        Session session(bed);
        auto filter = session.open(videotest::VideoReference(0));
        ASSERT_TRUE(filter);
        auto bytes = qh::client::make_property(kPropsetRegisterAccess, KSPROPERTY_REGISTER_VALUE, KSPROPERTY_TYPE_GET);
        bytes.resize(sizeof(KSPROPERTY_REGISTER_VALUE_S));
        const uint32_t offset = kRegInterruptEnable;
        std::memcpy(bytes.data() + 24, &offset, 4);

        // The removal runs while the handler is between its look at the window and its read:
        // the read must find the window still there, or the handler must not read at all.
        std::thread remover;
        devext* ext = device_ext(bed);
        // The interrupt routine reads the window too, on its own thread, whenever the card's line
        // is asserted: only the handler's read, on this thread, is the one meant.
        host::watch_shared_read(&ext->RegisterBase, std::this_thread::get_id(), [&] {
            remover = std::thread([&] { bed.unplug(); });
            EXPECT_TRUE(wait_until([&] { return bed.trace_count("UnmapResources()\n") > 0; }));
            // Unmapped at once unless the handler holds it off; give it the chance.
            wait_until([&] { return __atomic_load_n(&ext->RegisterBase, __ATOMIC_SEQ_CST) == nullptr; }, 200);
        });
        const auto result = filter->property(bytes, sizeof(KSPROPERTY_REGISTER_VALUE_S));
        remover.join();
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        // Once the card is gone the request is refused rather than answered with all ones.
        EXPECT_EQ(filter->property(bytes, sizeof(KSPROPERTY_REGISTER_VALUE_S)).status, STATUS_INVALID_PARAMETER);
        ExpectCardLeftAlone(bed, session);
        filter->close();
    }
    EXPECT_EQ(bed.finish_removal(kWaitMs), 0u);
    ExpectCaptureOnNewCard(bed);
}

TEST(Removal, WhileAFrameIsBeingCopiedTheBuffersOutliveTheCopy) {
    qh::Testbed bed(FourInputs());
    Session session(bed);
    Input& in = session.add(0);
    session.stream(1);
    // The removal arrives while Process has the frame's buffer in hand and is about to copy it:
    // the buffer may be freed only once the copy is done.
    std::thread remover;
    std::atomic<bool> removed{false}, remover_started{false};
    host::watch_shared_read(&device_ext(bed)->Channel[0].FrameCount, [&] {
        remover = std::thread([&] {
            bed.unplug();
            removed = true;
        });
        remover_started = true;
        // Done at once unless the teardown waits for this copy; give it the chance.
        wait_until([&] { return removed.load(); }, 300);
    });
    const uint64_t before = in.good_video;
    ASSERT_TRUE(wait_until([&] {
        session.step_all();
        return in.good_video > before || removed.load();
    }));
    ASSERT_TRUE(wait_until([&] { return remover_started.load(); }));
    remover.join();
    EXPECT_TRUE(removed.load());
    ExpectCardLeftAlone(bed, session);
    session.stop_and_close();
    EXPECT_EQ(bed.finish_removal(kWaitMs), 0u);
}

// The card goes between the interrupt routine's read of its status (an audio block and a frame
// announced) and its reads of the engines' registers, which then read all ones: that names no
// block and no buffer, and nothing may be counted from it (the ring holds nothing the card wrote
// there).
TEST(Removal, BetweenTheStatusAndTheEngineRegistersNothingIsCounted) {
    qh::TestbedOptions options = FourInputs();
    options.card.audio_start_block[0] = 0;  // all ones would name block 15, far from the engine
    qh::Testbed bed(options);
    {
        Session session(bed);
        Input& in = session.add(0);
        session.stream(2);
        ChannelState& ch = device_ext(bed)->Channel[0];
        const uint64_t counted = SharedRead(ch.AudioHwBytes);
        const uint64_t event = SharedRead(ch.VideoEvent);
        sim::Card& card = bed.card();
        card.hold_interrupts(true);
        ASSERT_EQ(card.step_audio(0), 1u);
        // The source's frames are numbered from 0 and every one so far went to the engine.
        const uint64_t unannounced_frame = card.frames_produced(0);
        ASSERT_EQ(card.step_video(0), 1u);
        card.unplug_after_read(0xC000);
        card.hold_interrupts(false);
        ASSERT_TRUE(card.interrupt_line().wait_quiet(kWaitMs));
        host::flush_dpcs();
        ASSERT_TRUE(card.removed());
        EXPECT_EQ(SharedRead(ch.AudioHwBytes), counted) << "audio counted from a register of a card that is gone";
        EXPECT_EQ(SharedRead(ch.VideoEvent), event) << "a frame counted from a register of a card that is gone";
        const uint64_t good = in.good_audio;
        bed.unplug();  // the removal reaches the PnP manager
        ExpectCardLeftAlone(bed, session);
        session.collect(in, false);
        EXPECT_EQ(in.good_audio, good) << "audio delivered that the card never wrote";
        // Frames of the steps before may still arrive (the pin copies on its own thread); the
        // frame whose interrupt found the card gone may not.
        EXPECT_LT(in.newest_video_frame, int64_t(unannounced_frame)) << "a frame counted from a card that is gone";
        session.stop_and_close();
    }
    EXPECT_EQ(bed.finish_removal(kWaitMs), 0u);
}

TEST(Removal, TheInterruptOfAnotherDeviceOnTheSharedLineIsNotClaimed) {
    qh::Testbed bed(FourInputs());
    Session session(bed);
    session.add(0);
    session.stream(1);
    auto& line = bed.card().interrupt_line();
    const uint64_t claimed = line.claimed(), calls = line.calls();
    // The card is gone but its removal not yet reported: the routine still runs for the line.
    bed.card().unplug(/*shared_line_keeps_firing=*/true);
    ASSERT_TRUE(wait_until([&] { return line.calls() >= calls + 50; }));
    EXPECT_EQ(line.claimed(), claimed);
    const uint32_t frames = SharedRead(device_ext(bed)->Channel[0].FrameCount);
    bed.pnp_device().surprise_remove();
    EXPECT_EQ(SharedRead(device_ext(bed)->Channel[0].FrameCount), frames)
        << "frames delivered from a card that is gone";
    session.stop_and_close();
    EXPECT_EQ(bed.finish_removal(kWaitMs), 0u);
}

// After a surprise removal the device is removed only once the application has closed its last
// handle, by itself: a removal asked for earlier is refused, loudly, and leaves every handle
// working; one that waits completes when the client closes them.
TEST(Removal, IsHeldUntilTheClientHasClosedItsLastHandle) {
    qh::Testbed bed(FourInputs());
    Session session(bed);
    session.add(0);
    session.add(1);
    session.stream(1);
    bed.unplug();
    ExpectCardLeftAlone(bed, session);

    EXPECT_EQ(bed.pnp_device().remove(), host::pnp::Device::kRemovalHeld);
    EXPECT_EQ(host::verifier::count_diagnostics("IRP_MN_REMOVE_DEVICE asked for while 4 filter handle(s)"), 1u);
    host::verifier::clear_diagnostics();
    EXPECT_THROW(bed.finish_removal(50), std::runtime_error);
    EXPECT_TRUE(bed.added());
    EXPECT_TRUE(bed.started()) << "stopped before the last handle was closed";

    // The removal waits on its own thread while the application stops and closes everything,
    // which it can only do on handles nobody closed for it.
    std::atomic<size_t> leaks{1};
    std::thread remover([&] { leaks = bed.remove(); });
    session.stop_and_close();
    remover.join();
    EXPECT_EQ(leaks.load(), 0u);
    EXPECT_FALSE(bed.added());
    EXPECT_EQ(bed.trace_count("DeviceDispatchPnpStop()\n"), 1u);
}

// A format set while the card's removal tears the device down, after the buffers' gate has closed
// and the window is gone but before the buffers are freed: it finds no cable (the window is gone)
// and must leave the buffers alone all the same, since they are freed next.
TEST(Removal, AFormatSetDuringTheTeardownLeavesTheBuffersAlone) {
    qh::Testbed bed(FourInputs());
    {
        Session session(bed);
        auto filter = session.open(videotest::VideoReference(0));
        ASSERT_TRUE(filter);
        auto pin = videotest::VideoBed::CreatePin(*filter, videotest::VideoBed::Format(*filter, 2));
        ASSERT_TRUE(pin);
        const auto other = videotest::VideoBed::Format(*filter, 1);
        CommonBuffer& first = device_ext(bed)->channel0videobuf[0];
        bool written = false, untouched = false;
        host::watch_shared_read(&first.VirtAddr, [&] {
            auto* bytes = static_cast<uint8_t*>(first.VirtAddr);
            std::memset(bytes, 0xAB, 4096);
            std::thread([&] { pin->set_format(other); }).join();
            written = true;
            untouched = std::all_of(bytes, bytes + 4096, [](uint8_t b) { return b == 0xAB; });
        });
        bed.unplug();
        ASSERT_TRUE(host::shared_read_watch_fired());
        EXPECT_TRUE(written);
        EXPECT_TRUE(untouched) << "buffers written after the gate closed";
        pin->close();
        filter->close();
    }
    EXPECT_EQ(bed.finish_removal(kWaitMs), 0u);
}

// A surprise removal for a card that is still on the bus (it failed, or its link came back):
// its engines keep running until told. The teardown stops them before the buffers go, so no
// engine writes into freed memory, and the card is left silent.
TEST(Removal, OfACardStillOnTheBusStopsItsEnginesBeforeTheBuffersGo) {
    qh::Testbed bed(FourInputs());
    {
        Session session(bed);
        for (uint32_t n = 0; n < sim::kInputs; ++n)
            session.add(n);
        session.stream(2);
        bed.pnp_device().surprise_remove();
        EXPECT_TRUE(session.device().wait_removed(kWaitMs));
        for (uint32_t n = 0; n < sim::kInputs; ++n) {
            EXPECT_FALSE(bed.card().video_engine_running(n)) << "video engine " << n << " left running";
            EXPECT_FALSE(bed.card().audio_engine_running(n)) << "audio engine " << n << " left running";
            EXPECT_EQ(bed.card().step_video(n), 0u);
            EXPECT_EQ(bed.card().step_audio(n), 0u);
        }
        EXPECT_FALSE(bed.card().interrupt_enabled());
        session.stop_and_close();
    }
    EXPECT_EQ(bed.finish_removal(kWaitMs), 0u);
}

TEST(Rebalance, DuringRunThePinsCarryOnWithTheNewResources) {
    qh::Testbed bed(FourInputs());
    Session session(bed);
    Input& zero = session.add(0);
    Input& two = session.add(2);
    session.stream(2);
    // First the window at another address, then the interrupt of the other kind as well.
    ASSERT_EQ(bed.rebalance(/*move_window=*/true), STATUS_SUCCESS);
    session.stream(3);
    ASSERT_EQ(bed.rebalance(/*move_window=*/true, sim::InterruptMode::Message), STATUS_SUCCESS);
    const uint64_t before = zero.good_video + two.good_video;
    session.stream(3);
    EXPECT_GE(zero.good_video + two.good_video, before + 6);
    EXPECT_EQ(bed.trace_count("DeviceDispatchPnpStop()\n"), 2u);
    session.stop_and_close();
}

TEST(Sleep, DuringRunCaptureResumesAfterTheWakeInEitherOrder) {
    qh::Testbed bed(FourInputs());
    Session session(bed);
    Input& in = session.add(1);
    session.stream(2);
    for (bool pins_first : {false, true}) {
        ASSERT_EQ(bed.sleep(), STATUS_SUCCESS);
        EXPECT_EQ(in.video->state(), KSSTATE_PAUSE);
        EXPECT_EQ(in.audio->state(), KSSTATE_PAUSE);
        EXPECT_FALSE(bed.card().video_engine_running(1));
        EXPECT_FALSE(bed.card().audio_engine_running(1));
        bed.wake(pins_first);
        EXPECT_EQ(in.video->state(), KSSTATE_RUN);
        session.stream(2);
    }
    session.stop_and_close();
}

TEST(Removal, FiftyRoundsOfUnplugAndReplugWhileStreaming) {
    qh::Testbed bed(FourInputs());
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            Session session(bed);
            session.add(2);
            session.stream(1);
            bed.unplug(round % 2 == 0);
            ExpectCardLeftAlone(bed, session);
            session.stop_and_close();
        }
        ASSERT_EQ(bed.finish_removal(kWaitMs), 0u);
        ASSERT_EQ(bed.replug(), STATUS_SUCCESS);
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
