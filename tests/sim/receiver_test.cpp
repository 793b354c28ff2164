// The receivers: identification, placement of the register maps, reset, the write record, the
// registers the driver reads, and the settle time before a size is reported.
#include "sim_fixture.h"

#include <chrono>
#include <thread>

using namespace simtest;

namespace {

uint32_t read13(I2cClient& i2c, uint8_t device, uint8_t sub) {
    uint8_t b[2] = {};
    i2c.read(device, sub, b, 2);
    return (b[0] & 0x1Fu) * 256 + b[1];
}

}  // namespace

TEST(Receiver, IdentifiesAndAnswersOnlyWherePlaced) {
    Rig rig;
    I2cClient i2c(*rig, 0);
    uint8_t id[2] = {};
    ASSERT_TRUE(i2c.read(0x98, 0xEA, id, 2));
    EXPECT_EQ(id[0], 0x20);
    EXPECT_EQ(id[1], 0x51);
    // Before the configuration nothing answers at the HDMI or CP addresses.
    EXPECT_EQ(i2c.read1(0x68, 0x07), 0xFF);
    EXPECT_EQ(i2c.read1(0x44, 0xB8), 0xFF);
    EXPECT_FALSE(rig->receiver_state(0).configured);

    bring_up(*rig, 0);
    auto state = rig->receiver_state(0);
    EXPECT_TRUE(state.configured);
    EXPECT_TRUE(state.locked) << "manual pacing settles at once";
    EXPECT_EQ(state.map_address[size_t(sim::Map::HDMI)], 0x68);
    EXPECT_EQ(state.map_address[size_t(sim::Map::CP)], 0x44);
    EXPECT_EQ(state.map_address[size_t(sim::Map::CEC)], 0x80);
    EXPECT_EQ(state.map_address[size_t(sim::Map::Repeater)], 0x64);
    EXPECT_NE(i2c.read1(0x68, 0x07), 0xFF);

    // The write record shows the reset, then every table record in order, in its map.
    auto writes = rig->receiver_writes(0);
    const auto& table = configuration_table();
    ASSERT_EQ(writes.size(), table.size() + 1);
    EXPECT_EQ(writes[0].map, sim::Map::IO);
    EXPECT_EQ(writes[0].sub_address, 0xFF);
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(i);
        sim::Map expected = table[i][0] == 0x98   ? sim::Map::IO
                            : table[i][0] == 0x68 ? sim::Map::HDMI
                            : table[i][0] == 0x44 ? sim::Map::CP
                                                  : sim::Map::Repeater;
        EXPECT_EQ(writes[i + 1].map, expected);
        EXPECT_EQ(writes[i + 1].sub_address, table[i][1]);
        EXPECT_EQ(writes[i + 1].value, table[i][2]);
    }

    // A map moved to another address answers there and no longer at the old one.
    ASSERT_TRUE(i2c.write(0x98, {0xFB, 0x6A}));
    EXPECT_EQ(i2c.read1(0x68, 0x9B), 0xFF);
    EXPECT_EQ(i2c.read1(0x6A, 0x9B), 0x03);
}

TEST(Receiver, ResetRestoresDefaultsAndUnplacesMaps) {
    Rig rig;
    I2cClient i2c(*rig, 1);
    bring_up(*rig, 1);
    const uint32_t resets = rig->receiver_state(1).reset_count;
    EXPECT_EQ(i2c.read1(0x98, 0x06), 0xA4);

    ASSERT_TRUE(i2c.write(0x98, {0xFF, 0x80}));
    auto state = rig->receiver_state(1);
    EXPECT_EQ(state.reset_count, resets + 1);
    EXPECT_FALSE(state.configured);
    EXPECT_FALSE(state.locked);
    for (size_t m = 1; m < state.map_address.size(); ++m)
        EXPECT_EQ(state.map_address[m], 0) << m;
    EXPECT_EQ(i2c.read1(0x98, 0x06), 0x00) << "written register back to its default";
    EXPECT_EQ(i2c.read1(0x68, 0x9B), 0xFF) << "HDMI map no longer placed";
    // Writing 0xFF without bit 7 is not a reset.
    ASSERT_TRUE(i2c.write(0x98, {0xFF, 0x7F}));
    EXPECT_EQ(rig->receiver_state(1).reset_count, resets + 1);

    // Wrong identification fault.
    rig->set_wrong_id(1, true);
    uint8_t id[2] = {};
    ASSERT_TRUE(i2c.read(0x98, 0xEA, id, 2));
    EXPECT_FALSE(id[0] == 0x20 && id[1] == 0x51);
}

TEST(Receiver, ReportsSignalSizeScanRateAndAudioCodeWithFlagBitsToMask) {
    auto config = Rig::manual_config();
    config.sources[0].audio_code = 0;  // 44.1 kHz
    Rig rig(config);
    for (uint32_t n = 0; n < 4; ++n)
        bring_up(*rig, n);

    struct Expect {
        uint32_t input, width, lines;
        bool interlaced, cable;
        uint8_t code;
    };
    const Expect expect[] = {{0, 1920, 1080, false, true, 0},
                             {1, 1920, 540, true, true, 2},
                             {2, 1280, 720, false, true, 2},
                             {3, 0, 0, false, false, 0}};
    for (const auto& e : expect) {
        SCOPED_TRACE(e.input);
        I2cClient i2c(*rig, e.input);
        EXPECT_EQ(i2c.read1(0x98, 0x6F) & 1, e.cable ? 1 : 0);
        uint8_t size[4] = {};
        ASSERT_TRUE(i2c.read(0x68, 0x07, size, 4));
        EXPECT_EQ((size[0] & 0x1F) * 256 + size[1], e.width);
        EXPECT_EQ((size[2] & 0x1F) * 256 + size[3], e.lines);
        if (e.cable) {
            EXPECT_NE(size[0] & 0xE0, 0) << "lock flags share the width's high byte";
            EXPECT_NE(size[2] & 0xE0, 0) << "lock flags share the line count's high byte";
            EXPECT_EQ((i2c.read1(0x68, 0x39) & 0x0F), e.code);
        }
        EXPECT_EQ((i2c.read1(0x68, 0x0B) & 0x20) != 0, e.interlaced);
    }

    // FPGA measured rates: input 0 in 0x24 bits 31..24, input 2 in 0x24 bits 15..8, input 1 in
    // 0x20 bits 31..24 (field rate), input 3 (no cable) 0.
    EXPECT_EQ((rig->read32(0x24) >> 24) & 0xFF, 60u);
    EXPECT_EQ((rig->read32(0x24) >> 8) & 0xFF, 60u);
    EXPECT_EQ((rig->read32(0x20) >> 24) & 0xFF, 60u);
    EXPECT_EQ((rig->read32(0x20) >> 8) & 0xFF, 0u);
    // Status words follow cable and scan type.
    EXPECT_EQ(rig->read32(0x0000) & 0x7, 0x3u);
    EXPECT_EQ(rig->read32(0x0004) & 0x7, 0x7u);
    EXPECT_EQ(rig->read32(0x000C) & 0x1, 0x0u);

    // CP 0xB8 gives the rate back under (v + 103662) / v, for common rates.
    I2cClient i2c(*rig, 2);
    for (double fps : {60.0, 59.94, 50.0, 30.0, 29.97, 25.0, 24.0, 23.976, 120.0}) {
        SCOPED_TRACE(fps);
        auto src = rig->source(2);
        src.fps = fps;
        rig->set_source(2, src);
        uint32_t v = read13(i2c, 0x44, 0xB8);
        ASSERT_NE(v, 0u);
        EXPECT_EQ(((v + 103662) / v) & 0xFF, static_cast<uint32_t>(fps));
        EXPECT_EQ((rig->read32(0x24) >> 8) & 0xFF, static_cast<uint32_t>(fps));
    }
}

TEST(Receiver, SizeReadsZeroUntilConfiguredAndSettled) {
    auto config = Rig::manual_config();
    config.settle_ms = 150;
    Rig rig(config);
    I2cClient i2c(*rig, 0);
    EXPECT_EQ(read13(i2c, 0x68, 0x07), 8191u) << "unplaced map floats high";
    bring_up(*rig, 0);
    // Just configured: no size yet (the settle time has not passed).
    EXPECT_EQ(read13(i2c, 0x68, 0x07), 0u);
    EXPECT_EQ(read13(i2c, 0x68, 0x09), 0u);
    EXPECT_EQ((rig->read32(0x24) >> 24) & 0xFF, 0u);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read13(i2c, 0x68, 0x07) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(read13(i2c, 0x68, 0x07), 1920u);
    EXPECT_EQ(read13(i2c, 0x68, 0x09), 1080u);

    // A mode change starts the settle time again; unplugging drops the size at once.
    rig->set_source(0, *sim::parse_source("1280x720p50"));
    EXPECT_EQ(read13(i2c, 0x68, 0x07), 0u);
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read13(i2c, 0x68, 0x07) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(read13(i2c, 0x68, 0x07), 1280u);
    rig->set_source(0, *sim::parse_source("none"));
    EXPECT_EQ(i2c.read1(0x98, 0x6F) & 1, 0);
    EXPECT_EQ(read13(i2c, 0x68, 0x07), 0u);
}
