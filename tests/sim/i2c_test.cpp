// The I2C masters as a driver sees them through the window: command-word decoding for every
// chunking, data-register byte order, busy/idle behaviour, the I2C interrupt bit and the faults.
#include "sim_fixture.h"

using namespace simtest;

namespace {

std::vector<uint8_t> command_controls(const sim::Card& card, uint32_t block) {
    std::vector<uint8_t> out;
    for (const auto& a : card.access_log())
        if (a.is_write && a.offset == block) out.push_back(static_cast<uint8_t>(a.value));
    return out;
}

}  // namespace

TEST(I2cMaster, WritesOfTwoSevenAndTwelveBytesLandInRegisterOrder) {
    Rig rig;
    I2cClient i2c(*rig, 0);
    rig->set_access_log(true);

    // 2 bytes: one chunk 0xC2, sub-address and value in bytes 2 and 3 of the command word.
    ASSERT_TRUE(i2c.write(0x98, {0x20, 0x5A}));
    EXPECT_EQ(command_controls(*rig, 0x4000), (std::vector<uint8_t>{0xC2}));
    // 7 bytes: the sub-address alone, then six values (two in the command, four in data).
    rig->clear_access_log();
    ASSERT_TRUE(i2c.write(0x98, {0x30, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(command_controls(*rig, 0x4000), (std::vector<uint8_t>{0x81, 0x46}));
    // 12 bytes: six then six.
    rig->clear_access_log();
    ASSERT_TRUE(i2c.write(0x98, {0x40, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}));
    EXPECT_EQ(command_controls(*rig, 0x4000), (std::vector<uint8_t>{0x86, 0x46}));

    auto writes = rig->receiver_writes(0);
    ASSERT_EQ(writes.size(), 1u + 6u + 11u);
    EXPECT_EQ(writes[0].map, sim::Map::IO);
    EXPECT_EQ(writes[0].sub_address, 0x20);
    EXPECT_EQ(writes[0].value, 0x5A);
    for (uint8_t i = 0; i < 6; ++i) {
        EXPECT_EQ(writes[1 + i].sub_address, 0x30 + i);
        EXPECT_EQ(writes[1 + i].value, 1 + i);
    }
    for (uint8_t i = 0; i < 11; ++i) {
        EXPECT_EQ(writes[7 + i].sub_address, 0x40 + i);
        EXPECT_EQ(writes[7 + i].value, 11 + i);
    }
    // Other inputs' buses saw nothing.
    EXPECT_TRUE(rig->receiver_writes(1).empty());
}

TEST(I2cMaster, ReadsOfOneFourFiveAndEightBytesUseTheirChunkingAndByteOrder) {
    Rig rig;
    I2cClient i2c(*rig, 2);
    ASSERT_TRUE(i2c.write(0x98, {0x50, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
    rig->set_access_log(true);

    struct Case {
        uint32_t length;
        std::vector<uint8_t> controls;
    };
    const Case cases[] = {
        {1, {0x81, 0xC1}},
        {4, {0x81, 0xC4}},
        {5, {0x81, 0x81, 0x44}},
        {8, {0x81, 0x84, 0x44}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        rig->clear_access_log();
        uint8_t buf[8] = {};
        ASSERT_TRUE(i2c.read(0x98, 0x50, buf, c.length));
        EXPECT_EQ(command_controls(*rig, 0x6000), c.controls);
        for (uint32_t i = 0; i < c.length; ++i) EXPECT_EQ(buf[i], 0xA0 + i) << "byte " << i;
    }
    // A one-byte read leaves the first received byte in data-register bits 0..7.
    i2c.read1(0x98, 0x53);
    EXPECT_EQ(rig->read32(0x6004) & 0xFF, 0xA3u);
}

TEST(I2cMaster, ChunksStayBusyForTheConfiguredReadsAndRaiseTheI2cBitAtTheirEnd) {
    auto config = Rig::manual_config();
    config.faults[1].i2c_busy_reads = 3;
    Rig rig(config);
    rig->write32(0xC004, 1);
    rig->write32(0x5000, 0xC2u | 0x98u << 8 | 0x20u << 16 | 0x11u << 24);

    EXPECT_EQ(rig->read32(0x5000) & 1, 0u);
    EXPECT_EQ(rig->read32(0x5000) & 1, 0u);
    EXPECT_EQ(rig->interrupt_status() & 0x2, 0u) << "chunk must not end before its busy reads";
    EXPECT_EQ(rig->read32(0x5000) & 1, 0u);
    EXPECT_EQ(rig->interrupt_status(), 0x2u);
    EXPECT_TRUE(rig.line->level());
    EXPECT_EQ(rig->read32(0x5000) & 1, 1u);
    EXPECT_EQ(rig.acknowledge(), 0x2u);
    EXPECT_FALSE(rig.line->level());

    // Without busy reads the chunk is over as soon as the command is written.
    rig->set_i2c_busy_reads(1, 0);
    rig->write32(0x5000, 0xC2u | 0x98u << 8 | 0x21u << 16 | 0x12u << 24);
    EXPECT_EQ(rig->interrupt_status(), 0x2u);
    EXPECT_EQ(rig->read32(0x5000) & 1, 1u);
    ASSERT_EQ(rig->receiver_writes(1).size(), 2u);
    EXPECT_EQ(rig->receiver_writes(1)[1].value, 0x12);
}

TEST(I2cMaster, ContinuationWithoutAnOpenTransferMovesNothing) {
    Rig rig;
    // 0x46 continues a write that was never started.
    rig->write32(0x4004, 0x04030201);
    rig->write32(0x4000, 0x46u | 0x98u << 8 | 0x20u << 16 | 0x11u << 24);
    I2cClient i2c(*rig, 0);
    ASSERT_TRUE(i2c.wait_idle());
    EXPECT_NE(rig->read32(0x4000) & 0x4, 0u) << "protocol error flag";
    EXPECT_TRUE(rig->receiver_writes(0).empty());
    // The next properly started transfer works.
    ASSERT_TRUE(i2c.write(0x98, {0x20, 0x33}));
    EXPECT_EQ(i2c.read1(0x98, 0x20), 0x33);
}

TEST(I2cFaults, StuckMasterNeverReportsIdleUntilCleared) {
    Rig rig;
    rig->set_i2c_stuck_busy(3, true);
    I2cClient i2c(*rig, 3);
    uint8_t id[2] = {};
    EXPECT_FALSE(i2c.read(0x98, 0xEA, id, 2));
    EXPECT_FALSE(i2c.write(0x98, {0x20, 0x01}));
    // Status bits beyond idle still describe the last command for a time-out trace.
    EXPECT_EQ((rig->read32(0x7000) >> 8) & 0xFF, 0xC2u);
    EXPECT_EQ(rig->interrupt_status() & 0x8, 0u) << "a chunk that never ends raises nothing";
    rig->set_i2c_stuck_busy(3, false);
    ASSERT_TRUE(i2c.read(0x98, 0xEA, id, 2));
    EXPECT_EQ(id[0], 0x20);
    EXPECT_EQ(id[1], 0x51);
}

TEST(I2cFaults, AbsentDeviceReadsFfAndTakesNoWrites) {
    Rig rig;
    rig->set_receiver_absent(1, true);
    I2cClient i2c(*rig, 1);
    uint8_t id[2] = {};
    ASSERT_TRUE(i2c.read(0x98, 0xEA, id, 2)) << "the master completes; the bus simply floats high";
    EXPECT_EQ(id[0], 0xFF);
    EXPECT_EQ(id[1], 0xFF);
    EXPECT_NE(rig->read32(0x5000) & 0x2, 0u) << "NACK flag";
    ASSERT_TRUE(i2c.write(0x98, {0x20, 0x01}));
    EXPECT_TRUE(rig->receiver_writes(1).empty());
    // A device that comes back answers again.
    rig->set_receiver_absent(1, false);
    ASSERT_TRUE(i2c.read(0x98, 0xEA, id, 2));
    EXPECT_EQ(id[1], 0x51);
}

TEST(I2cFaults, FailNextTransfersHangsExactlyThatManyTransfers) {
    Rig rig;
    I2cClient i2c(*rig, 0);
    rig->fail_next_i2c_transfers(0, 2);
    uint8_t id[2] = {};
    // A driver retrying three times: two attempts fail, the third gets through.
    EXPECT_FALSE(i2c.read(0x98, 0xEA, id, 2));
    EXPECT_EQ(rig->faults(0).i2c_fail_next, 1u);
    EXPECT_FALSE(i2c.write(0x98, {0x20, 0x01}));
    EXPECT_EQ(rig->faults(0).i2c_fail_next, 0u);
    EXPECT_TRUE(i2c.read(0x98, 0xEA, id, 2));
    EXPECT_EQ(id[0], 0x20);
    EXPECT_TRUE(rig->receiver_writes(0).empty()) << "the failed write must not reach the receiver";
    // A repeated START inside a transfer is not a new transfer: one failure costs one read.
    rig->fail_next_i2c_transfers(0, 1);
    EXPECT_FALSE(i2c.read(0x98, 0xEA, id, 2));
    EXPECT_TRUE(i2c.read(0x98, 0xEA, id, 2));
}
