// Format setting and the pin's stream states, observed in the device extension, the card's
// register log, the receiver's write log and the trace.
#include "platform/host/kernel/kernel.h"
#include "platform/host/ks/ks.h"
#include "video_bed.h"

namespace videotest {
namespace {

bool BuffersFilledWith(devext* ext, ULONG input, uint8_t value) {
    const CommonBuffer* buffers = VideoBuffers(ext, input);
    for (int i = 0; i < 3; ++i) {
        const auto* p = static_cast<const uint8_t*>(buffers[i].VirtAddr);
        if (!p) return false;
        for (ULONG off = 0; off < kVideoBufferSize; off += 4093)
            if (p[off] != value) return false;
        if (p[kVideoBufferSize - 1] != value) return false;
    }
    return true;
}

void FillBuffers(devext* ext, ULONG input, uint8_t value) {
    const CommonBuffer* buffers = VideoBuffers(ext, input);
    for (int i = 0; i < 3; ++i)
        std::memset(buffers[i].VirtAddr, value, kVideoBufferSize);
}

bool HasReceiverWrite(sim::Card& card, uint32_t input, sim::Map map, uint8_t sub, uint8_t value) {
    for (const auto& w : card.receiver_writes(input))
        if (w.map == map && w.sub_address == sub && w.value == value) return true;
    return false;
}

std::vector<sim::AccessRecord> VideoAccesses(sim::Card& card, uint32_t block, uint32_t enable) {
    std::vector<sim::AccessRecord> out;
    for (const auto& a : card.access_log())
        if ((a.offset >= block && a.offset < block + 0x100) || a.offset == enable) out.push_back(a);
    return out;
}

TEST(VideoFormatSetting, InterlacedSourceProgressiveSourceAndNoCable) {
    VideoBed vb;
    sim::Card& card = vb.bed.card();

    // 1080i on input 1 with the 1920x1080 format.
    auto filter1 = vb.OpenVideo(1);
    ASSERT_TRUE(filter1);
    const auto format1080 = VideoBed::Format(*filter1, 2);
    card.clear_receiver_writes(1);
    host::trace::Mark mark = host::trace::mark();
    auto pin1 = VideoBed::CreatePin(*filter1, format1080);
    ASSERT_TRUE(pin1);
    ChannelState& ch1 = vb.Channel(1);
    EXPECT_EQ(ch1.Width, 1920u);
    EXPECT_EQ(ch1.Height, 1080u);
    EXPECT_EQ(ch1.Interlaced, 1u);
    EXPECT_EQ(ch1.AvgTimePerFrame, 166666);
    const uint32_t measured = (card.read32(0x20) >> 24) & 0xFF;
    EXPECT_NE(measured, 0u);
    EXPECT_EQ(ch1.FrameRate, measured >> 1);
    EXPECT_TRUE(HasReceiverWrite(card, 1, sim::Map::IO, 0x06, 0x24));
    EXPECT_FALSE(HasReceiverWrite(card, 1, sim::Map::IO, 0x06, 0xA4));
    EXPECT_EQ(host::trace::count_exact(mark, "Setchannel1VideoFormat width:1920 height:1080\n"), 1u);
    EXPECT_NE(host::trace::text_since(mark).find("fpga chip1_int:"), std::string::npos);
    EXPECT_EQ(host::trace::text_since(mark).find("=============fpga 0x40:"), std::string::npos);

    // The pin's framing became private and sized to one frame; the descriptor's stays as it was.
    PKSPIN k1 = pin1->kspin();
    EXPECT_EQ(k1->StreamHeaderSize, 128u);
    const KSPIN_DESCRIPTOR_EX& shared = filter1->ksfilter()->Descriptor->PinDescriptors[0];
    EXPECT_NE(k1->Descriptor, &shared);
    ASSERT_NE(k1->Descriptor->AllocatorFraming, nullptr);
    EXPECT_NE(k1->Descriptor->AllocatorFraming, shared.AllocatorFraming);
    const KS_FRAMING_ITEM& item = k1->Descriptor->AllocatorFraming->FramingItem[0];
    EXPECT_EQ(item.Frames, 1u);
    EXPECT_EQ(item.PhysicalRange.MinFrameSize, kFrame1080);
    EXPECT_EQ(item.PhysicalRange.MaxFrameSize, kFrame1080);
    EXPECT_EQ(item.PhysicalRange.Stepping, 0u);
    EXPECT_EQ(item.FramingRange.Range.MinFrameSize, kFrame1080);
    EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, kFrame1080);
    EXPECT_EQ(shared.AllocatorFraming->FramingItem[0].FramingRange.Range.MaxFrameSize, 0x400000u);

    // 1080p on input 0 with the 1280x720 format: accepted as asked, progressive, 0xA4 written,
    // and input 0's three extra register traces.
    auto filter0 = vb.OpenVideo(0);
    ASSERT_TRUE(filter0);
    card.clear_receiver_writes(0);
    mark = host::trace::mark();
    auto pin0 = VideoBed::CreatePin(*filter0, VideoBed::Format(*filter0, 1));
    ASSERT_TRUE(pin0);
    EXPECT_EQ(vb.Channel(0).Width, 1280u);
    EXPECT_EQ(vb.Channel(0).Height, 720u);
    EXPECT_EQ(vb.Channel(0).Interlaced, 0u);
    EXPECT_TRUE(HasReceiverWrite(card, 0, sim::Map::IO, 0x06, 0xA4));
    const std::string text0 = host::trace::text_since(mark);
    EXPECT_NE(text0.find("HDMI Progressive Input:"), std::string::npos);
    EXPECT_NE(text0.find("=============fpga 0x40:"), std::string::npos);
    EXPECT_NE(text0.find("=============fpga 0x48:"), std::string::npos);

    // No cable on input 3: the size is recorded, the buffers are cleared, and nothing is asked of
    // the receiver beyond the connect byte.
    auto filter3 = vb.OpenVideo(3);
    ASSERT_TRUE(filter3);
    FillBuffers(device_ext(vb.bed), 3, 0x5A);
    card.clear_receiver_writes(3);
    mark = host::trace::mark();
    auto pin3 = VideoBed::CreatePin(*filter3, VideoBed::Format(*filter3, 2));
    ASSERT_TRUE(pin3);
    EXPECT_TRUE(BuffersFilledWith(device_ext(vb.bed), 3, 0));
    EXPECT_EQ(vb.Channel(3).Width, 1920u);
    EXPECT_EQ(vb.Channel(3).Interlaced, 0u);
    EXPECT_EQ(vb.Channel(3).FrameRate, 60u);
    const std::string text3 = host::trace::text_since(mark);
    EXPECT_EQ(host::trace::count_exact(mark, " HDMI cable is not connect 0!!!\n"), 1u);
    EXPECT_EQ(text3.find("HDMI Progressive"), std::string::npos);
    EXPECT_EQ(text3.find("HDMI Interlaced"), std::string::npos);
    EXPECT_EQ(text3.find("tmp_B"), std::string::npos);
    EXPECT_TRUE(card.receiver_writes(3).empty());
}

TEST(VideoFormatSetting, TruncatedConnectionFormatIsRefusedBeforeItIsRead) {
    VideoBed vb;
    auto filter = vb.OpenVideo(2);
    ASSERT_TRUE(filter);
    auto format = VideoBed::Format(*filter, 2);
    ASSERT_EQ(format.size(), 152u);
    const ULONG widthBefore = vb.Channel(2).Width;
    // The same header with no VideoInfoHeader behind it.
    format.resize(sizeof(KSDATAFORMAT));
    reinterpret_cast<KSDATAFORMAT*>(format.data())->FormatSize = sizeof(KSDATAFORMAT);
    std::unique_ptr<qh::client::Pin> pin;
    EXPECT_EQ(filter->create_pin(0, format, pin), STATUS_NO_MATCH);
    EXPECT_EQ(vb.Channel(2).Width, widthBefore);
}

TEST(VideoPinStates, OwnershipRestartAndClock) {
    VideoBed vb;
    sim::Card& card = vb.bed.card();
    devext* ext = device_ext(vb.bed);
    auto filterA = vb.OpenVideo(0);
    auto filterB = vb.OpenVideo(0);
    ASSERT_TRUE(filterA && filterB);
    const auto format = VideoBed::Format(*filterA, 2);
    auto pinA = VideoBed::CreatePin(*filterA, format);
    auto pinB = VideoBed::CreatePin(*filterB, format);
    ASSERT_TRUE(pinA && pinB);
    auto clock = qh::client::make_clock();
    ASSERT_EQ(pinA->set_master_clock(clock), STATUS_SUCCESS);
    clock->run();

    // STOP→ACQUIRE claims the input, clears its 12 MiB and takes the clock.
    FillBuffers(ext, 0, 0x77);
    ASSERT_EQ(pinA->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_TRUE(BuffersFilledWith(ext, 0, 0));
    EXPECT_EQ(vb.Channel(0).VideoPin, pinA->kspin());
    EXPECT_NE(vb.Channel(0).VideoClock, nullptr);
    EXPECT_EQ(clock->outstanding_references(), 1u);

    // A second pin on the same input is refused and disturbs nothing of the owner.
    static_cast<uint8_t*>(ext->channel0videobuf[1].VirtAddr)[100] = 0x42;
    host::trace::Mark mark = host::trace::mark();
    EXPECT_EQ(pinB->set_state(KSSTATE_ACQUIRE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host::trace::count_exact(
                  mark, "error pin resource :::::::::::::::::::video0: DispatchSetState()  :ToState=1 : FromState=0\n"),
              1u);
    EXPECT_EQ(pinB->state(), KSSTATE_STOP);
    EXPECT_EQ(vb.Channel(0).VideoPin, pinA->kspin());
    EXPECT_EQ(vb.VideoState(0), 1u);
    EXPECT_EQ(static_cast<uint8_t*>(ext->channel0videobuf[1].VirtAddr)[100], 0x42);

    // ACQUIRE→PAUSE→ACQUIRE→PAUSE touches no engine register.
    card.set_access_log(true);
    card.clear_access_log();
    ASSERT_EQ(pinA->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pinA->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(pinA->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_TRUE(VideoAccesses(card, 0x9000, 0xC01C).empty());

    // RUN starts the engine; frames and a drop are counted.
    ASSERT_EQ(pinA->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_TRUE(card.video_engine_running(0));
    auto started = VideoAccesses(card, 0x9000, 0xC01C);
    ASSERT_FALSE(started.empty());
    EXPECT_EQ(started.back().offset, 0x9000u);
    EXPECT_EQ(started.back().value, 1u);
    EXPECT_TRUE(started.back().is_write);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(pinA->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
        vb.Step(0);
        qh::client::CompletedFrame frame;
        ASSERT_TRUE(pinA->wait_completed(frame, kGenerousMs));
    }
    ASSERT_EQ(pinA->submit(kFrame1080, kHeaderWithInfo, false), STATUS_SUCCESS);
    ASSERT_EQ(pinA->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(0);
    qh::client::CompletedFrame frame;
    ASSERT_TRUE(pinA->wait_completed(frame, kGenerousMs));
    ASSERT_TRUE(pinA->wait_completed(frame, kGenerousMs));
    EXPECT_EQ(vb.FrameCount(0), 3u);
    EXPECT_EQ(vb.DropCount(0), 1u);

    // RUN→PAUSE stops the engine and keeps the counters; PAUSE→RUN restarts and resets them.
    card.clear_access_log();
    ASSERT_EQ(pinA->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_FALSE(card.video_engine_running(0));
    auto stopped = VideoAccesses(card, 0x9000, 0xC01C);
    ASSERT_EQ(stopped.size(), 3u);
    EXPECT_FALSE(stopped[0].is_write);
    EXPECT_EQ(stopped[1].offset, 0xC01Cu);
    EXPECT_EQ(stopped[1].value, 0u);
    EXPECT_EQ(stopped[2].offset, 0x9000u);
    EXPECT_EQ(stopped[2].value, 0u);
    EXPECT_EQ(vb.FrameCount(0), 3u);
    mark = host::trace::mark();
    ASSERT_EQ(pinA->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_TRUE(card.video_engine_running(0));
    EXPECT_EQ(vb.FrameCount(0), 0u);
    EXPECT_EQ(vb.DropCount(0), 0u);
    EXPECT_EQ(host::trace::count_exact(mark, "video0: HardwareRun()\n"), 1u);
    EXPECT_NE(host::trace::text_since(mark).find("channel0video:"), std::string::npos);

    // Down to STOP: the input and the clock are given back.
    ASSERT_EQ(pinA->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(vb.Channel(0).VideoPin, nullptr);
    EXPECT_EQ(vb.Channel(0).VideoClock, nullptr);
    EXPECT_EQ(clock->outstanding_references(), 0u);
    EXPECT_FALSE(card.video_engine_running(0));

    // The other pin may now have the input.
    EXPECT_EQ(pinB->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(vb.Channel(0).VideoPin, pinB->kspin());
    EXPECT_EQ(vb.Channel(0).VideoClock, nullptr);  // no clock in B's graph
    EXPECT_EQ(pinB->set_state(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST(VideoPinStates, StopWakesTheFrameWaitAndHandsTheInputOverOnlyAfterTheClockIsReleased) {
    VideoBed vb;
    ChannelState& ch = vb.Channel(1);
    auto filterA = vb.OpenVideo(1);
    auto filterB = vb.OpenVideo(1);
    ASSERT_TRUE(filterA && filterB);
    const auto format = VideoBed::Format(*filterA, 2);
    auto pinA = VideoBed::CreatePin(*filterA, format);
    auto pinB = VideoBed::CreatePin(*filterB, format);
    ASSERT_TRUE(pinA && pinB);
    auto clockA = qh::client::make_clock();
    ASSERT_EQ(pinA->set_master_clock(clockA), STATUS_SUCCESS);
    clockA->run();
    int releases = 0;
    PKSPIN owner_at_release = nullptr;
    clockA->on_reference_released([&] {
        ++releases;
        owner_at_release = ch.VideoPin;
    });

    // A buffer and no frame (the card is paced by hand): Process waits for one, up to 500 ms.
    ASSERT_EQ(pinA->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pinA->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return host::ks::process_in_progress(pinA->kspin()); }));
    ASSERT_EQ(pinA->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    // Leaving RUN woke the wait: it did not run into its time-out, and the call is over.
    EXPECT_EQ(host::timeouts(&ch.FrameEvent), 0u);
    EXPECT_FALSE(host::ks::process_in_progress(pinA->kspin()));
    EXPECT_EQ(host::ks::process_calls(pinA->kspin()), 1u);
    qh::client::CompletedFrame cancelled;
    ASSERT_TRUE(pinA->wait_completed(cancelled, kGenerousMs));
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    // The clock went back while the input was still A's; only then was the input released.
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(owner_at_release, pinA->kspin());
    EXPECT_EQ(ch.VideoPin, nullptr);
    EXPECT_EQ(clockA->outstanding_references(), 0u);

    // The next owner stamps from its own clock.
    auto clockB = qh::client::make_clock();
    ASSERT_EQ(pinB->set_master_clock(clockB), STATUS_SUCCESS);
    clockB->run();
    ASSERT_EQ(pinB->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(ch.VideoPin, pinB->kspin());
    EXPECT_EQ(clockB->outstanding_references(), 1u);
    EXPECT_EQ(clockA->outstanding_references(), 0u);
    ASSERT_EQ(pinB->submit(kFrame1080, kHeaderWithInfo), STATUS_SUCCESS);
    vb.Step(1, 2);
    qh::client::CompletedFrame frame;
    ASSERT_TRUE(pinB->wait_completed(frame, kGenerousMs));
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_TRUE(frame.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
    ASSERT_EQ(pinB->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(clockB->outstanding_references(), 0u);
}

TEST(VideoPinStates, APausedPinKeepsItsInputAcrossARestartAndRuns) {
    VideoBed vb;
    auto filter = vb.OpenVideo(3);
    ASSERT_TRUE(filter);
    auto pin = VideoBed::CreatePin(*filter, VideoBed::Format(*filter, 2));
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(vb.Channel(3).VideoPin, pin->kspin());

    // A restart of the device under the open pin (a rebalance) brings the receivers up again;
    // the class leaves the pin as it was, and so does the driver: it still owns its input.
    vb.bed.stop();
    ASSERT_EQ(vb.bed.start(), STATUS_SUCCESS);
    ASSERT_EQ(vb.Channel(3).VideoPin, pin->kspin());

    const host::trace::Mark mark = host::trace::mark();
    EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(vb.VideoState(3), 3u);
    EXPECT_TRUE(vb.bed.card().video_engine_running(3));
    EXPECT_EQ(host::trace::count_exact(mark, "HardwareRun()\n"), 1u);
    ASSERT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_FALSE(vb.bed.card().video_engine_running(3));
}

TEST(VideoPinStates, ForeignOwnerTraceOfInputThreeHasItsTab) {
    VideoBed vb;
    auto filterA = vb.OpenVideo(3);
    auto filterB = vb.OpenVideo(3);
    ASSERT_TRUE(filterA && filterB);
    const auto format = VideoBed::Format(*filterA, 2);
    auto pinA = VideoBed::CreatePin(*filterA, format);
    auto pinB = VideoBed::CreatePin(*filterB, format);
    ASSERT_TRUE(pinA && pinB);
    ASSERT_EQ(pinA->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    const host::trace::Mark mark = host::trace::mark();
    EXPECT_EQ(pinB->set_state(KSSTATE_ACQUIRE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host::trace::count_exact(
                  mark, "error pin resource :::::::::::::::::::video3: DispatchSetState()\t:ToState=1 : FromState=0\n"),
              1u);
    EXPECT_EQ(host::trace::count_exact(mark, "video3: DispatchSetState()  :ToState=1 : FromState=0\n"), 1u);
    ASSERT_EQ(pinA->set_state(KSSTATE_STOP), STATUS_SUCCESS);
}

}  // namespace
}  // namespace videotest
