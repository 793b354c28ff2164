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
        for (uint32_t i = 0; i < c.length; ++i)
            EXPECT_EQ(buf[i], 0xA0 + i) << "byte " << i;
    }
    // A one-byte read leaves the first received byte in data-register bits 0..7.
    i2c.read1(0x98, 0x53);
    EXPECT_EQ(rig->read32(0x6004) & 0xFF, 0xA3u);
}

// Status reads until the master reports idle (bounded far beyond any chunk), counting the busy ones.
uint32_t busy_reads_of(sim::Card& card, uint32_t block) {
    uint32_t reads = 0;
    while (!(card.read32(block) & 1) && reads < 100000)
        ++reads;
    return reads;
}

sim::CardConfig bus_config(uint32_t khz, uint32_t read_ns) {
    auto config = Rig::manual_config();
    config.i2c_khz = khz;
    config.bus_read_ns = read_ns;
    return config;
}

TEST(I2cBusTime, AChunkStaysBusyForItsWireTimeCountedInStatusReads) {
    // Bit times: START + address 10, each byte 9, STOP 1; a bit is 10 us at 100 kHz, 2.5 us at 400.
    struct Case {
        uint32_t khz, read_ns;
        uint32_t sub_address, one_byte, four_bytes, continuation;  // 19, 20, 47 and 37 bit times
    };
    const Case cases[] = {
        {100, 500, 380, 400, 940, 740},
        {400, 500, 95, 100, 235, 185},
        {100, 1000, 190, 200, 470, 370},
        {400, 700, 68, 72, 168, 133},  // wire time not a whole number of reads: rounded up
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.khz) + " kHz, " + std::to_string(c.read_ns) + " ns a read");
        Rig rig(bus_config(c.khz, c.read_ns));
        bring_up(*rig, 1);
        const auto before = rig->i2c_counters(1);
        rig->write32(0xC004, 1);
        // Sub-address phase of a read of IO 0xEA (no STOP), then a one-byte read with STOP.
        rig->write32(0x5000, 0x81u | 0x98u << 8 | 0xEAu << 16);
        EXPECT_EQ(busy_reads_of(*rig, 0x5000), c.sub_address);
        rig.acknowledge();
        rig->write32(0x5000, 0xC1u | 0x99u << 8 | 0xEAu << 16);
        // The interrupt bit rises with the read that uses up the wire time, not before.
        for (uint32_t i = 0; i + 1 < c.one_byte; ++i)
            ASSERT_EQ(rig->read32(0x5000) & 1, 0u) << "read " << i;
        EXPECT_EQ(rig->interrupt_status() & 0x2, 0u) << "chunk ended before its time on the wire";
        EXPECT_EQ(rig->read32(0x5000) & 1, 0u) << "the last busy read";
        EXPECT_EQ(rig->interrupt_status(), 0x2u);
        EXPECT_TRUE(rig.line->level());
        EXPECT_EQ(rig->read32(0x5000) & 1, 1u);
        EXPECT_EQ(rig->read32(0x5004) & 0xFF, 0x20u);
        EXPECT_EQ(rig.acknowledge(), 0x2u);
        // Four bytes with STOP after a repeated START; a continuation of four bytes.
        rig->write32(0x5000, 0x81u | 0x98u << 8 | 0xEAu << 16);
        busy_reads_of(*rig, 0x5000);
        rig->write32(0x5000, 0xC4u | 0x99u << 8 | 0xEAu << 16);
        EXPECT_EQ(busy_reads_of(*rig, 0x5000), c.four_bytes);
        rig->write32(0x5000, 0x81u | 0x98u << 8 | 0xEAu << 16);
        busy_reads_of(*rig, 0x5000);
        rig->write32(0x5000, 0x81u | 0x99u << 8 | 0xEAu << 16);
        busy_reads_of(*rig, 0x5000);
        rig->write32(0x5000, 0x44u | 0x99u << 8 | 0xEAu << 16);
        EXPECT_EQ(busy_reads_of(*rig, 0x5000), c.continuation);

        const auto after = rig->i2c_counters(1);
        EXPECT_EQ(after.chunks - before.chunks, 7u);
        EXPECT_EQ(after.transfers - before.transfers, 3u);
        const uint64_t bit_ns = 1000000u / c.khz;
        EXPECT_EQ(after.bus_ns - before.bus_ns, (19 + 20 + 19 + 47 + 19 + 19 + 37) * bit_ns);
        // A repeated START with one byte and no STOP is as long as the sub-address phase.
        EXPECT_EQ(after.busy_reads - before.busy_reads, 4 * c.sub_address + c.one_byte + c.four_bytes + c.continuation);
        EXPECT_EQ(after.status_reads - before.status_reads, after.busy_reads - before.busy_reads + 7)
            << "every status read counts, idle ones too";
        EXPECT_EQ(after.protocol_faults, 0u);
        EXPECT_EQ(rig->i2c_counters(0).chunks, 0u) << "another input's master counted the chunks";
    }
}

TEST(I2cBusTime, A800ReadPollTimesOutOnAChunkLongerThanTheBusCanCarryInIt) {
    // A driver's poll: 800 reads. At 100 kHz and 500 ns a read, a four-byte read chunk opened by a
    // repeated START needs 940: the read fails (on hardware too), while five bytes, cut into 1 + 4
    // with the four as a continuation (740 reads), get through. At 400 kHz both do.
    for (uint32_t khz : {100u, 400u}) {
        SCOPED_TRACE(std::to_string(khz) + " kHz");
        Rig rig(bus_config(khz, 500));
        I2cClient i2c(*rig, 2);
        for (uint8_t i = 0; i < 5; ++i)
            ASSERT_TRUE(i2c.write(0x98, {uint8_t(0x50 + i), uint8_t(0xA0 + i)}));
        uint8_t buf[5] = {};
        EXPECT_EQ(i2c.read(0x98, 0x50, buf, 4), khz == 400);
        ASSERT_TRUE(i2c.read(0x98, 0x50, buf, 5));
        for (uint32_t i = 0; i < 5; ++i)
            EXPECT_EQ(buf[i], 0xA0 + i);
        // Writes: a chunk of six bytes is 65 bit times, 1300 reads at 100 kHz.
        EXPECT_EQ(i2c.write(0x98, {0x60, 1, 2, 3, 4, 5}), khz == 400);
    }
}

TEST(I2cProtocol, MisuseOfAMasterIsCountedFlaggedAndDescribed) {
    Rig rig;
    bring_up(*rig, 0);
    bring_up(*rig, 1);
    I2cClient i2c(*rig, 0);
    uint8_t id[2] = {};
    ASSERT_TRUE(i2c.read(0x98, 0xEA, id, 2));
    ASSERT_TRUE(i2c.write(0x68, {0x20, 0x01}));
    ASSERT_TRUE(i2c.write(0x98, {0x30, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(rig->i2c_protocol_faults(0), 0u) << "a well-formed read and writes are no misuse";

    // A transfer's sub-address phase leaves it open; another transfer's START lands before its
    // read: the misuse of two unsynchronised users of one bus.
    rig->write32(0x4000, 0x81u | 0x68u << 8 | 0x07u << 16);
    ASSERT_TRUE(i2c.wait_idle());
    rig->write32(0x4000, 0xC2u | 0x98u << 8 | 0xF4u << 16 | 0x80u << 24);
    ASSERT_TRUE(i2c.wait_idle());
    EXPECT_EQ(rig->i2c_protocol_faults(0), 1u);
    EXPECT_NE(rig->read32(0x4000) & 0x4, 0u) << "protocol flag in the status";
    // A START to the same device in the write direction is a new transfer breaking in too.
    rig->write32(0x4000, 0x81u | 0x98u << 8 | 0x6Fu << 16);
    ASSERT_TRUE(i2c.wait_idle());
    rig->write32(0x4000, 0xC2u | 0x98u << 8 | 0x06u << 16 | 0xA4u << 24);
    ASSERT_TRUE(i2c.wait_idle());
    EXPECT_EQ(rig->i2c_protocol_faults(0), 2u);
    // A command, or new data, while a chunk still runs.
    rig->write32(0x4000, 0xC2u | 0x98u << 8 | 0x20u << 16 | 0x01u << 24);
    rig->write32(0x4004, 0x12345678);
    rig->write32(0x4000, 0xC2u | 0x98u << 8 | 0x21u << 16 | 0x02u << 24);
    ASSERT_TRUE(i2c.wait_idle());
    EXPECT_EQ(rig->i2c_protocol_faults(0), 4u);
    // A continuation with no transfer open.
    rig->write32(0x4000, 0x44u | 0x99u << 8);
    ASSERT_TRUE(i2c.wait_idle());
    EXPECT_EQ(rig->i2c_protocol_faults(0), 5u);
    // The next well-formed transfer clears the flag and counts nothing.
    ASSERT_TRUE(i2c.read(0x98, 0xEA, id, 2));
    EXPECT_EQ(rig->read32(0x4000) & 0x4, 0u);
    EXPECT_EQ(rig->i2c_protocol_faults(0), 5u);

    const auto log = rig->i2c_protocol_fault_log(0);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_NE(log[0].find("START with address 98"), std::string::npos) << log[0];
    EXPECT_NE(log[0].find("open transfer to 68"), std::string::npos) << log[0];
    EXPECT_NE(log[2].find("data 12345678"), std::string::npos) << log[2];
    EXPECT_NE(log[3].find("command 022198C2 written while the chunk of command 012098C2 still runs"), std::string::npos)
        << log[3];
    EXPECT_NE(log[4].find("no transfer open"), std::string::npos) << log[4];
    EXPECT_EQ(rig->i2c_protocol_faults(1), 0u) << "misuse on one bus counted on another";
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
