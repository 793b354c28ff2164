// Device creation and PnP start against the simulated card: what the driver traces, what the
// card and its receivers see, and what the device extension holds afterwards.
#include "driver/device/device.h"
#include "driver/hw/registers.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/ks/ks.h"
#include "tests/support/testbed_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

using namespace qh::testing;

namespace {

std::string Hex(uint32_t v, bool upper) {
    char buf[16];
    std::snprintf(buf, sizeof buf, upper ? "%X" : "%x", v);
    return buf;
}

// The receiver configuration as each receiver must see it after its reset: {map, sub, value}.
const std::vector<sim::ReceiverWrite>& ExpectedReceiverWrites() {
    using sim::Map;
    static const std::vector<sim::ReceiverWrite> writes = {
        {Map::IO, 0xFF, 0x80},  // reset
        {Map::IO, 0xF4, 0x80},       {Map::IO, 0xF5, 0x7C},   {Map::IO, 0xF8, 0x4C},   {Map::IO, 0xF9, 0x64},
        {Map::IO, 0xFA, 0x6C},       {Map::IO, 0xFB, 0x68},   {Map::IO, 0xFD, 0x44},   {Map::IO, 0x01, 0x06},
        {Map::IO, 0x02, 0xF5},       {Map::IO, 0x03, 0x80},   {Map::IO, 0x04, 0x60},   {Map::IO, 0x05, 0x2C},
        {Map::IO, 0x06, 0xA4},       {Map::IO, 0x0B, 0x44},   {Map::IO, 0x0C, 0x42},   {Map::IO, 0x14, 0x7F},
        {Map::IO, 0x15, 0x80},       {Map::IO, 0x19, 0x83},   {Map::IO, 0x33, 0x40},   {Map::CP, 0xBA, 0x01},
        {Map::Repeater, 0x40, 0x81}, {Map::HDMI, 0x9B, 0x03}, {Map::HDMI, 0xC1, 0x01}, {Map::HDMI, 0xC2, 0x01},
        {Map::HDMI, 0xC3, 0x01},     {Map::HDMI, 0xC4, 0x01}, {Map::HDMI, 0xC5, 0x01}, {Map::HDMI, 0xC6, 0x01},
        {Map::HDMI, 0xC7, 0x01},     {Map::HDMI, 0xC8, 0x01}, {Map::HDMI, 0xC9, 0x01}, {Map::HDMI, 0xCA, 0x01},
        {Map::HDMI, 0xCB, 0x01},     {Map::HDMI, 0xCC, 0x01}, {Map::HDMI, 0x00, 0x00}, {Map::HDMI, 0x83, 0xFE},
        {Map::HDMI, 0x6F, 0x0C},     {Map::HDMI, 0x85, 0x1F}, {Map::HDMI, 0x87, 0x70}, {Map::HDMI, 0x8D, 0x04},
        {Map::HDMI, 0x8E, 0x1E},     {Map::HDMI, 0x1A, 0x8A}, {Map::HDMI, 0x57, 0xDA}, {Map::HDMI, 0x58, 0x01},
        {Map::HDMI, 0x03, 0x98},     {Map::HDMI, 0x75, 0x10},
    };
    return writes;
}

::testing::AssertionResult SameWrites(const std::vector<sim::ReceiverWrite>& got,
                                      const std::vector<sim::ReceiverWrite>& want) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << got.size() << " writes, expected " << want.size();
    }
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].map != want[i].map || got[i].sub_address != want[i].sub_address || got[i].value != want[i].value) {
            return ::testing::AssertionFailure()
                   << "write " << i << ": " << sim::map_name(got[i].map) << " " << Hex(got[i].sub_address, false) << "="
                   << Hex(got[i].value, false) << ", expected " << sim::map_name(want[i].map) << " "
                   << Hex(want[i].sub_address, false) << "=" << Hex(want[i].value, false);
        }
    }
    return ::testing::AssertionSuccess();
}

qh::TestbedOptions Unstarted() {
    qh::TestbedOptions options = manual_options();
    options.start = false;
    return options;
}

bool AllZero(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) {
        if (b[i] != 0) return false;
    }
    return true;
}

}  // namespace

TEST(DeviceCreation, TheExtensionIsZeroFilledPoolMemoryHeldByTheDevicesBag) {
    qh::Testbed bed(Unstarted());
    ASSERT_EQ(bed.add_status(), STATUS_SUCCESS);
    devext* ext = device_ext(bed);
    ASSERT_NE(ext, nullptr);
    // The kernel objects are initialised at Add (a restart under running pins must not initialise
    // what they wait on); everything else is zero.
    std::vector<unsigned char> bytes(sizeof(devext));
    std::memcpy(bytes.data(), ext, sizeof(devext));
    auto clear = [&](const void* field, size_t size) {
        std::memset(bytes.data() + (static_cast<const unsigned char*>(field) - reinterpret_cast<unsigned char*>(ext)),
                    0, size);
    };
    clear(&ext->HwMutex, sizeof ext->HwMutex);
    clear(ext->I2cMutex, sizeof ext->I2cMutex);
    clear(ext->AudioTimer, sizeof ext->AudioTimer);
    clear(ext->AudioDpc01, sizeof ext->AudioDpc01);
    clear(ext->VideoDpc01, sizeof ext->VideoDpc01);
    clear(ext->AudioDpc23, sizeof ext->AudioDpc23);
    clear(ext->VideoDpc23, sizeof ext->VideoDpc23);
    for (auto& channel : ext->Channel)
        clear(&channel.FrameEvent, sizeof channel.FrameEvent);
    EXPECT_TRUE(AllZero(bytes.data(), bytes.size())) << "every counter zero, every pointer null before start";
    const auto usage = host::pool_usage(QH_POOL_TAG);
    EXPECT_EQ(usage.live_blocks, 1u);
    EXPECT_EQ(usage.live_bytes, sizeof(devext));
    EXPECT_TRUE(host::ks::bag_contains(bed.ksdevice()->Bag, ext));
    EXPECT_EQ(bed.trace_count("DeviceDispatchCreate()\n"), 1u);

    // The bag frees it with the device: nothing of the driver's is left after removal.
    EXPECT_EQ(bed.remove(), 0u);
    EXPECT_EQ(host::pool_usage(QH_POOL_TAG).live_blocks, 0u);
}

TEST(DeviceCreation, FailuresLeaveNoContextAndNoMemory) {
    // The pool is exhausted: the device is not added.
    {
        qh::TestbedOptions options = Unstarted();
        options.add = false;
        qh::Testbed bed(options);
        host::fail_pool_tag(QH_POOL_TAG);
        EXPECT_EQ(bed.add(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(bed.added());
        EXPECT_EQ(host::pool_usage(QH_POOL_TAG).live_blocks, 0u);
        EXPECT_EQ(host::pool_usage(QH_POOL_TAG).allocations, 0u);
        host::clear_pool_failures();
    }
    // The bag refuses the record: it is freed at once and the bag's status comes back.
    {
        qh::TestbedOptions options = Unstarted();
        options.add = false;
        qh::Testbed bed(options);
        host::ks::fail_bag_additions(0, 1);
        EXPECT_EQ(bed.add(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(bed.added());
        EXPECT_EQ(host::pool_usage(QH_POOL_TAG).allocations, 1u);
        EXPECT_EQ(host::pool_usage(QH_POOL_TAG).live_blocks, 0u);
    }
}

TEST(DeviceStart, ANormalStartTracesInOrderConfiguresEveryReceiverAndEnablesInterruptsLast) {
    qh::Testbed bed(Unstarted());
    bed.card().set_access_log(true);
    host::clear_wait_records();
    const size_t first = bed.trace_lines().size();
    ASSERT_EQ(bed.start(), STATUS_SUCCESS);
    ASSERT_TRUE(bed.started());
    devext* ext = device_ext(bed);

    // The trace, line for line.
    const std::string window = Hex(uint32_t(bed.card().mmio_physical()), true);
    std::vector<std::string> expected = {
        "DeviceDispatchPnpStart()\n",
        "enter InitializeHW\n",
        "1 resource lists 2 resources\n",
        "memory resource: Addr:" + window + " ",
        " Length 10000 ",
        " Mapped *",
        "intX.......\n",
        "IoConnectInterrupt ok\n",
        "calling IoGetDmaAdapter()\n",
        " DmaMapRegs:*",
    };
    for (int ch = 0; ch < 4; ++ch) {
        for (int i = 0; i < 3; ++i) {
            expected.push_back("devext->channel" + std::to_string(ch) + "videobuf[" + std::to_string(i) +
                               "].VirtAddr:*");
        }
    }
    expected.push_back(" devext->channelallaudiobuf.VirtAddr:*");
    expected.push_back("exit InitializeHW (0)\n");
    for (uint32_t block : {0x4000u, 0x5000u, 0x6000u, 0x7000u}) {
        expected.push_back("channel " + Hex(block, false) + " id = 20,51\n");
        expected.push_back("ADV7611 channel " + Hex(block, false) + " reset ok\n");
    }
    const auto lines = bed.trace_lines();
    EXPECT_TRUE(lines_match(lines, first, expected));
    EXPECT_EQ(lines.size(), first + expected.size());

    // Every receiver: one reset, then the 46 records in table order; 10 ms after connecting the
    // interrupt, then 200 ms before and after each receiver's table.
    for (uint32_t input = 0; input < 4; ++input) {
        EXPECT_TRUE(SameWrites(bed.card().receiver_writes(input), ExpectedReceiverWrites())) << "input " << input;
        EXPECT_TRUE(bed.card().receiver_state(input).configured) << "input " << input;
    }
    EXPECT_EQ(recorded_delays_ms(), (std::vector<int64_t>{10, 200, 200, 200, 200, 200, 200, 200, 200}));

    // The card: silenced (interrupts off, the eight engines stopped), then interrupts enabled
    // once everything else is in place, before the receivers are brought up.
    // (Later writes of 1 come from the interrupt routine, which the I2C traffic wakes.)
    auto log = bed.card().access_log();
    const long first_i2c = first_index(log, 0x4000, true);
    ASSERT_GT(first_i2c, 0);
    log.resize(size_t(first_i2c));
    const auto enables = writes_to(log, kRegInterruptEnable);
    ASSERT_EQ(enables.size(), 2u);
    EXPECT_EQ(enables[0].value, 0u);
    EXPECT_EQ(enables[1].value, 1u);
    const long enable_off = first_index(log, kRegInterruptEnable, true);
    const long enable_on = last_index(log, kRegInterruptEnable, true);
    for (uint32_t block : {0x8000u, 0x9000u, 0xA000u, 0xB000u, 0x8800u, 0x9800u, 0xA800u, 0xB800u}) {
        const long at = first_index(log, block, true);
        EXPECT_GT(at, enable_off) << std::hex << block;
        EXPECT_LT(at, enable_on) << std::hex << block;
        EXPECT_EQ(log[size_t(at)].value, 0u);
    }
    EXPECT_EQ(writes_in(log, 0, 0xFFFF).size(), 10u) << "before the receivers, only the silencing and the enable";
    EXPECT_TRUE(bed.card().interrupt_enabled());

    // The extension holds every resource, and no pin owns an input yet.
    EXPECT_EQ(ext->Device, bed.ksdevice());
    EXPECT_NE(ext->RegisterBase, nullptr);
    EXPECT_EQ(ext->RegisterLength, 0x10000u);
    EXPECT_NE(ext->InterruptObject, nullptr);
    EXPECT_NE(ext->DmaAdapter, nullptr);
    std::set<int64_t> addresses;
    for (ULONG ch = 0; ch < kChannelCount; ++ch) {
        for (int i = 0; i < 3; ++i) {
            const CommonBuffer& b = VideoBuffers(ext, ch)[i];
            EXPECT_NE(b.VirtAddr, nullptr);
            EXPECT_EQ(b.PhysAddr.HighPart, 0) << "below 4 GiB";
            addresses.insert(b.PhysAddr.QuadPart);
        }
        EXPECT_EQ(ext->Channel[ch].AudioPin, nullptr);
        EXPECT_EQ(ext->Channel[ch].VideoPin, nullptr);
        EXPECT_EQ(AudioDpc(ext, ch)->Importance, HighImportance);
        EXPECT_EQ(VideoDpc(ext, ch)->Importance, MediumImportance);
        EXPECT_EQ(AudioDpc(ext, ch)->DeferredContext, ext);
        EXPECT_EQ(VideoDpc(ext, ch)->DeferredContext, ext);
    }
    EXPECT_NE(ext->channelallaudiobuf.VirtAddr, nullptr);
    addresses.insert(ext->channelallaudiobuf.PhysAddr.QuadPart);
    EXPECT_EQ(addresses.size(), 13u);
    const auto buffers = host::common_buffer_usage();
    EXPECT_EQ(buffers.live_buffers, 13u);
    EXPECT_EQ(buffers.live_bytes, 12ull * 0x400000 + 0x1E000);
    EXPECT_EQ(buffers.live_adapters, 1u);
    EXPECT_EQ(bed.receivers_configured(), 4);
    EXPECT_EQ(bed.buffers_allocated(), 13);
}

TEST(DeviceStart, FaultyReceiversAreLeftAloneAndTheOtherInputsComeUp) {
    qh::TestbedOptions options = Unstarted();
    options.card.faults[1].wrong_id = true;
    options.card.faults[2].i2c_stuck_busy = true;
    qh::Testbed bed(options);
    bed.card().set_access_log(true);
    ASSERT_EQ(bed.start(), STATUS_SUCCESS) << "a receiver's failure does not fail the start";

    // The wrong identification: three attempts traced with what the receiver said, nothing
    // written to it.
    const std::string wrong = "channel 5000 id = " + Hex(bed.card().receiver_register(1, sim::Map::IO, 0xEA), false) +
                              "," + Hex(bed.card().receiver_register(1, sim::Map::IO, 0xEB), false) + "\n";
    EXPECT_EQ(bed.trace_count(wrong), 3u) << bed.trace_text();
    EXPECT_EQ(bed.trace_count("ADV7611 channel 5000 reset ok\n"), 0u);
    EXPECT_TRUE(bed.card().receiver_writes(1).empty());
    EXPECT_FALSE(bed.card().receiver_state(1).configured);

    // The master that never becomes idle: three identification attempts, each an I2C read of
    // three bus attempts that never get past the sub-address phase; the bytes trace as 0.
    EXPECT_EQ(bed.trace_count("channel 6000 id = 0,0\n"), 3u) << bed.trace_text();
    EXPECT_EQ(bed.trace_count("ADV7611 channel 6000 reset ok\n"), 0u);
    EXPECT_TRUE(bed.card().receiver_writes(2).empty());
    const auto log = bed.card().access_log();
    const auto commands = writes_to(log, 0x6000);
    EXPECT_EQ(commands.size(), 9u);
    for (const auto& c : commands) {
        EXPECT_EQ(c.value, 0x00EA9881u) << "START, address 0x98 for writing, sub-address 0xEA; nothing else";
    }
    EXPECT_TRUE(writes_to(log, 0x6004).empty());
    EXPECT_EQ(reads_of(log, 0x6000).size(), 9u * 800u) << "each idle wait gives up after 800 reads";
    // The time-out message prints the last status value low byte first: the master reports the
    // command it is stuck on in bytes 1 and 2 (control 0x81, address 0x98).
    size_t timeouts = 0;
    for (const auto& line : bed.trace_lines()) {
        if (line.starts_with("----------Check_I2c_Free error! IIC : 6000 , value: ")) {
            ++timeouts;
            EXPECT_TRUE(line.ends_with(", 81, 98, 0\n")) << line;
        }
    }
    EXPECT_EQ(timeouts, 9u);

    // The other inputs are brought up regardless.
    for (uint32_t input : {0u, 3u}) {
        EXPECT_TRUE(SameWrites(bed.card().receiver_writes(input), ExpectedReceiverWrites())) << "input " << input;
    }
    EXPECT_EQ(bed.receivers_configured(), 2);
    EXPECT_EQ(recorded_delays_ms(), (std::vector<int64_t>{10, 200, 200, 200, 200}));
}
