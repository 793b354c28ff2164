// The filter-level properties: raw register access on input 0's video filter (with its guards),
// and the dropped-frames counters on the video filters of inputs 1 to 3.
#include "driver/public.h"
#include "driver/filter/filter.h"
#include "tests/filter/filter_bed.h"

#include <cstring>

namespace {

using filtertest::FilterTest;
using qh::testing::kWaitMs;

constexpr uint32_t kRegisterRequest = sizeof(KSPROPERTY_REGISTER_VALUE_S);
constexpr uint32_t kDroppedRequest = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);

std::vector<uint8_t> register_request(ULONG flags, uint32_t offset, uint32_t value) {
    auto request = qh::client::make_property(kPropsetRegisterAccess, KSPROPERTY_REGISTER_VALUE, flags);
    request.resize(kRegisterRequest);
    std::memcpy(request.data() + 24, &offset, 4);
    std::memcpy(request.data() + 28, &value, 4);
    return request;
}

std::vector<uint8_t> dropped_request() {
    auto request =
        qh::client::make_property(kPropsetDroppedFrames, KSPROPERTY_DROPPEDFRAMES_CURRENT, KSPROPERTY_TYPE_GET);
    request.resize(kDroppedRequest);
    // Distinctive bytes in the counters' places: the answer must overwrite them.
    for (size_t i = 24; i < request.size(); ++i)
        request[i] = uint8_t(0xA0 + i);
    return request;
}

class RegisterAccess : public FilterTest {
protected:
    void SetUp() override {
        FilterTest::SetUp();
        ASSERT_EQ(device().open_filter(1, filter_), STATUS_SUCCESS);  // video of input 0
        // Opening ran the input's detection; the interrupt routine's accesses for its I2C
        // chunks must be over before a test reads the card's log as the property's doing.
        ASSERT_TRUE(bed().card().interrupt_line().wait_quiet(10000));
    }
    void TearDown() override {
        if (filter_) filter_->close();
        filter_.reset();
        FilterTest::TearDown();
    }
    qh::client::PropertyResult get(uint32_t offset) {
        return filter_->property(register_request(KSPROPERTY_TYPE_GET, offset, 0), kRegisterRequest);
    }
    qh::client::PropertyResult set(uint32_t offset, uint32_t value) {
        auto request = register_request(KSPROPERTY_TYPE_SET, offset, value);
        // The data buffer deliberately carries another value: only the request counts.
        auto data = register_request(KSPROPERTY_TYPE_SET, offset ^ 4, ~value);
        return filter_->property(request, kRegisterRequest, data);
    }
    static uint32_t value_of(const qh::client::PropertyResult& r) {
        uint32_t v = 0;
        if (r.data.size() >= 32) std::memcpy(&v, r.data.data() + 28, 4);
        return v;
    }

    std::unique_ptr<qh::client::Filter> filter_;
};

TEST_F(RegisterAccess, GetAndSetRoundTripThroughTheCardsWindow) {
    sim::Card& card = bed().card();
    ASSERT_TRUE(card.interrupt_enabled());
    card.set_access_log(true);
    card.clear_access_log();

    // A get returns the register's content, with all 32 bytes handed back to user mode.
    auto r = get(0xC004);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes_returned, kRegisterRequest);
    EXPECT_EQ(value_of(r), 1u);
    auto reads = qh::testing::reads_of(card.access_log(), 0xC004);
    ASSERT_EQ(reads.size(), 1u);

    // A set writes the request's value to the request's offset; the card sees exactly that.
    card.clear_access_log();
    r = set(0xC004, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto log = card.access_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].is_write);
    EXPECT_EQ(log[0].offset, 0xC004u);
    EXPECT_EQ(log[0].value, 0u);
    EXPECT_FALSE(card.interrupt_enabled());
    EXPECT_EQ(value_of(get(0xC004)), 0u);

    EXPECT_EQ(set(0xC004, 1).status, STATUS_SUCCESS);
    EXPECT_TRUE(card.interrupt_enabled());
    EXPECT_EQ(value_of(get(0xC004)), 1u);

    // The last register of the window is still reachable.
    const uint32_t last = device_ext(bed())->RegisterLength - 4;
    EXPECT_EQ(get(last).status, STATUS_SUCCESS);
}

TEST_F(RegisterAccess, OffsetsOutsideTheWindowOrUnalignedAreRefusedWithoutAnyAccess) {
    sim::Card& card = bed().card();
    const uint32_t length = device_ext(bed())->RegisterLength;
    ASSERT_GE(length, 0xC038u);
    card.set_access_log(true);
    card.clear_access_log();
    for (uint32_t offset :
         {length, length - 3, length - 1, length + 4, 0x7FFFFFFCu, 0xFFFFFFFCu, 0xFFFFFFFFu, 0xC002u, 0xC005u}) {
        SCOPED_TRACE(offset);
        const auto g = get(offset);
        EXPECT_EQ(g.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(g.bytes_returned, 0u);
        EXPECT_EQ(set(offset, 0x12345678).status, STATUS_INVALID_PARAMETER);
    }
    EXPECT_TRUE(card.access_log().empty());
    EXPECT_TRUE(card.interrupt_enabled());
}

TEST_F(RegisterAccess, WritesThatWouldReaimTheDmaEnginesAreDenied) {
    sim::Card& card = bed().card();
    const uint32_t video_blocks[] = {0x9000, 0xB000, 0x9800, 0xB800};
    const uint32_t audio_blocks[] = {0x8000, 0xA000, 0x8800, 0xA800};
    std::vector<uint32_t> guarded;
    for (uint32_t block : video_blocks) {
        for (uint32_t reg : {0x08u, 0x0Cu, 0x10u, 0x3Cu, 0x40u})
            guarded.push_back(block + reg);
    }
    for (uint32_t block : audio_blocks) {
        for (uint32_t reg : {0x04u, 0x08u, 0x0Cu, 0x10u})
            guarded.push_back(block + reg);
    }
    ASSERT_EQ(guarded.size(), 36u);

    card.set_access_log(true);
    card.clear_access_log();
    for (uint32_t offset : guarded) {
        SCOPED_TRACE(offset);
        EXPECT_EQ(set(offset, 0xDEAD0000).status, STATUS_ACCESS_DENIED);
        // Reading them stays allowed.
        EXPECT_EQ(get(offset).status, STATUS_SUCCESS);
    }
    EXPECT_TRUE(qh::testing::writes_in(card.access_log(), 0x8000, 0xBFFF).empty());

    // The guard is exact: the registers next to the guarded ones stay writable.
    for (uint32_t offset : {0x9000u + 0x14, 0x8000u + 0x14, 0xB800u + 0x44}) {
        EXPECT_FALSE(IsDmaProgrammingRegister(offset));
    }
    for (uint32_t offset : guarded)
        EXPECT_TRUE(IsDmaProgrammingRegister(offset));
}

TEST_F(RegisterAccess, IsOfferedOnlyByInputZerosVideoFilter) {
    auto& dev = device();
    for (uint32_t index = 0; index < 8; ++index) {
        SCOPED_TRACE(index);
        std::unique_ptr<qh::client::Filter> filter;
        ASSERT_EQ(dev.open_filter(index, filter), STATUS_SUCCESS);
        const auto reg = filter->property(register_request(KSPROPERTY_TYPE_GET, 0xC004, 0), kRegisterRequest);
        const auto dropped = filter->property(dropped_request(), kDroppedRequest);
        const bool video = index % 2 == 1;
        const uint32_t input = index / 2;
        EXPECT_EQ(reg.status == STATUS_SUCCESS, video && input == 0);
        EXPECT_EQ(dropped.status == STATUS_SUCCESS, video && input != 0);
        if (!(video && input == 0)) {
            EXPECT_EQ(reg.status, STATUS_PROPSET_NOT_FOUND);
        }
        if (!(video && input != 0)) {
            EXPECT_EQ(dropped.status, STATUS_PROPSET_NOT_FOUND);
        }
        filter->close();
    }
}

// ---------------------------------------------------------------------------------------------

class DroppedFrames : public FilterTest {
protected:
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S ask(qh::client::Filter& filter, const std::vector<uint8_t>& request,
                                           uint32_t* returned = nullptr) {
        const auto r = filter.property(request, kDroppedRequest);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        if (returned) *returned = r.bytes_returned;
        KSPROPERTY_DROPPEDFRAMES_CURRENT_S answer{};
        if (r.data.size() >= sizeof answer) std::memcpy(&answer, r.data.data(), sizeof answer);
        return answer;
    }
};

TEST_F(DroppedFrames, EchoesTheRequestStartsAtZeroAndCountsWhileStreaming) {
    sim::Card& card = bed().card();
    const uint32_t input = 2;  // 1280x720p60 on the default card
    std::unique_ptr<qh::client::Filter> filter;
    ASSERT_EQ(device().open_filter(2 * input + 1, filter), STATUS_SUCCESS);
    std::vector<uint8_t> format;
    ASSERT_EQ(filter->intersect(0, {filter->pins()[0].ranges[0]}, format), STATUS_SUCCESS);
    std::unique_ptr<qh::client::Pin> pin;
    ASSERT_EQ(filter->create_pin(0, format, pin), STATUS_SUCCESS);
    auto clock = qh::client::make_clock();
    clock->run();
    ASSERT_EQ(pin->set_master_clock(clock), STATUS_SUCCESS);
    const uint32_t frame = 1280 * 720 * 2;

    // Counters left over from an earlier run are cleared when the pin starts the hardware.
    SharedWrite(device_ext(bed())->Channel[input].FrameCount, 77u);
    SharedWrite(device_ext(bed())->Channel[input].DropCount, uint64_t(5));
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);

    const auto request = dropped_request();
    uint32_t returned = 0;
    auto answer = ask(*filter, request, &returned);
    EXPECT_EQ(returned, kDroppedRequest);
    EXPECT_EQ(std::memcmp(&answer, request.data(), sizeof(KSPROPERTY)), 0) << "header echoed";
    EXPECT_EQ(answer.PictureNumber, 0);
    EXPECT_EQ(answer.DropCount, 0);
    EXPECT_EQ(answer.AverageFrameSize, frame);

    // Frames delivered into buffers are counted.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(pin->submit(frame, 128), STATUS_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        card.step_video(input);
        qh::client::CompletedFrame done;
        ASSERT_TRUE(pin->wait_completed(done, kWaitMs));
        EXPECT_EQ(done.status, STATUS_SUCCESS);
    }
    answer = ask(*filter, request);
    EXPECT_EQ(answer.PictureNumber, 3);
    EXPECT_EQ(answer.DropCount, 0);

    // A frame that finds a buffer header without data is dropped, and counted as such.
    ASSERT_EQ(pin->submit(frame, 128, /*with_data=*/false), STATUS_SUCCESS);
    card.step_video(input);
    EXPECT_TRUE(qh::testing::wait_until([&] { return ask(*filter, request).DropCount == 1; }));
    EXPECT_EQ(ask(*filter, request).PictureNumber, 3);

    pin->close();
    clock->pause();
    filter->close();
}

}  // namespace
