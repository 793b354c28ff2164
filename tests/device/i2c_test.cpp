// The I2C masters' transfers as the card sees them: chunk commands, data-register order, bytes
// placed and read back, retries and time-outs.
#include "driver/hw/i2c.h"
#include "driver/hw/registers.h"
#include "tests/support/testbed_fixture.h"

#include <gtest/gtest.h>

using namespace qh::testing;

namespace {

// The command words written to input 0's master, in order.
std::vector<uint32_t> Commands(sim::Card& card) {
    std::vector<uint32_t> out;
    for (const auto& r : writes_to(card.access_log(), 0x4000))
        out.push_back(r.value);
    return out;
}
std::vector<uint32_t> Controls(sim::Card& card) {
    std::vector<uint32_t> out;
    for (uint32_t c : Commands(card))
        out.push_back(c & 0xFF);
    return out;
}

class I2cTransfers : public TestbedTest {
protected:
    // Fast-mode buses: these tests are about the chunks' layout, and several layouts they walk
    // through (four bytes read after a START, four or more bytes written in one chunk) take longer
    // on a 100 kHz bus than the master's idle wait allows at 500 ns a register read.
    qh::TestbedOptions options() override {
        qh::TestbedOptions o = manual_options();
        o.card.i2c_khz = 400;
        return o;
    }
    void SetUp() override {
        TestbedTest::SetUp();
        ASSERT_EQ(bed().start_status(), STATUS_SUCCESS);
        bed().card().set_access_log(true);
        bed().card().clear_receiver_writes(0);
    }
    sim::Card& card() { return bed().card(); }
    devext* ext() { return device_ext(bed()); }
};

}  // namespace

TEST_F(I2cTransfers, ReadsAreChunkedShortChunkFirstAndStoredInRegisterOrder) {
    // The configuration placed these IO-map registers: 0xF4.. = 80 7C ?? ?? 4C 64 6C 68 ?? 44.
    struct Case {
        UCHAR length;
        std::vector<uint32_t> controls;
    };
    const Case cases[] = {
        {1, {0x81, 0xC1}},
        {4, {0x81, 0xC4}},
        {5, {0x81, 0x81, 0x44}},
        {8, {0x81, 0x84, 0x44}},
        {9, {0x81, 0x81, 0x04, 0x44}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.length));
        card().clear_access_log();
        UCHAR buffer[16];
        std::memset(buffer, 0xEE, sizeof buffer);
        ASSERT_TRUE(I2c_Read(ext(), 0x4000, 0x98, 0xF4, buffer, c.length));
        EXPECT_EQ(Controls(card()), c.controls);
        const auto commands = Commands(card());
        EXPECT_EQ(commands[0], 0x00F49881u) << "sub-address phase: write address, sub-address in byte 2";
        for (size_t i = 1; i < commands.size(); ++i) {
            EXPECT_EQ((commands[i] >> 8) & 0xFF, 0x99u) << "the read address in every data chunk";
        }
        for (UCHAR i = 0; i < c.length; ++i) {
            EXPECT_EQ(buffer[i], card().receiver_register(0, sim::Map::IO, UCHAR(0xF4 + i))) << "byte " << int(i);
        }
        EXPECT_EQ(buffer[c.length], 0xEE) << "nothing stored past the length";
    }

    // Length 0: the sub-address phase goes out, then the read is refused.
    card().clear_access_log();
    bed().clear_trace();
    UCHAR buffer[1] = {0xEE};
    EXPECT_FALSE(I2c_ReadOnce(ext(), 0x4000, 0x98, buffer, 1, buffer, 0));
    EXPECT_EQ(Controls(card()), (std::vector<uint32_t>{0x81}));
    EXPECT_EQ(bed().trace_count(" error! read register length is zero !\n"), 1u);
}

TEST_F(I2cTransfers, WritesAreChunkedWithTheDataRegisterWrittenFirst) {
    struct Case {
        ULONG length;
        std::vector<uint32_t> controls;
    };
    const Case cases[] = {
        {2, {0xC2}}, {6, {0xC6}}, {7, {0x81, 0x46}}, {12, {0x86, 0x46}}, {13, {0x81, 0x06, 0x46}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        card().clear_access_log();
        card().clear_receiver_writes(0);
        // {sub-address 0x10, values 0xA1, 0xA2, ...} to the CP map.
        std::vector<UCHAR> data = {0x10};
        for (ULONG i = 1; i < c.length; ++i)
            data.push_back(UCHAR(0xA0 + i));
        ASSERT_TRUE(I2c_Write(ext(), 0x4000, 0x45, data.data(), c.length)) << "bit 0 of the address is cleared";
        EXPECT_EQ(Controls(card()), c.controls);
        const auto log = writes_in(card().access_log(), 0x4000, 0x4004);
        ASSERT_EQ(log.size(), 2 * c.controls.size());
        for (size_t i = 0; i < log.size(); i += 2) {
            EXPECT_EQ(log[i].offset, 0x4004u) << "data register before each command";
            EXPECT_EQ(log[i + 1].offset, 0x4000u);
            EXPECT_EQ((log[i + 1].value >> 8) & 0xFF, 0x44u);
        }
        // The receiver got the values at consecutive registers, in order.
        const auto writes = card().receiver_writes(0);
        ASSERT_EQ(writes.size(), c.length - 1);
        for (ULONG i = 0; i + 1 < c.length; ++i) {
            EXPECT_EQ(writes[i].map, sim::Map::CP);
            EXPECT_EQ(writes[i].sub_address, 0x10 + i);
            EXPECT_EQ(writes[i].value, 0xA1 + i);
        }
    }
    // A two-byte write carries both bytes in the command word.
    card().clear_access_log();
    const UCHAR pair[2] = {0x3C, 0x5A};
    ASSERT_TRUE(I2c_Write(ext(), 0x4000, 0x44, pair, 2));
    EXPECT_EQ(Commands(card()), (std::vector<uint32_t>{0x5A3C44C2u}));

    // Length 0 leaves the bus alone (the interrupt routine may still be reading the master's
    // register for the last transfer, so only writes count).
    card().clear_access_log();
    EXPECT_FALSE(I2c_WriteOnce(ext(), 0x4000, 0x44, 0, pair));
    EXPECT_TRUE(writes_in(card().access_log(), 0x4000, 0x4FFF).empty());
}

TEST_F(I2cTransfers, FailedTransfersAreRetriedTwiceAndTracedEachTime) {
    // Two transfers hang: the third attempt writes the register.
    card().fail_next_i2c_transfers(0, 2);
    bed().clear_trace();
    const UCHAR pair[2] = {0x20, 0x77};
    EXPECT_TRUE(I2c_Write(ext(), 0x4000, 0x44, pair, 2));
    EXPECT_EQ(bed().trace_count(" write error! subaddr : 20\n"), 2u);
    EXPECT_EQ(card().receiver_register(0, sim::Map::CP, 0x20), 0x77);

    // Three hang: the write fails after three attempts.
    card().fail_next_i2c_transfers(0, 3);
    bed().clear_trace();
    const UCHAR other[2] = {0x20, 0x11};
    EXPECT_FALSE(I2c_Write(ext(), 0x4000, 0x44, other, 2));
    EXPECT_EQ(bed().trace_count(" write error! subaddr : 20\n"), 3u);
    EXPECT_EQ(card().receiver_register(0, sim::Map::CP, 0x20), 0x77);

    // A read whose data chunk hangs clears what it was given and fails with its own trace.
    card().fail_next_i2c_transfers(0, 3);
    bed().clear_trace();
    UCHAR buffer[2] = {0xEE, 0xEE};
    EXPECT_FALSE(I2c_Read(ext(), 0x4000, 0x98, 0xEA, buffer, 2));
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0);
    size_t timeouts = 0;
    for (const auto& l : bed().trace_lines()) {
        timeouts += l.starts_with("----------Check_I2c_Free error! IIC : 4000 , value: ") ? 1 : 0;
    }
    EXPECT_EQ(timeouts, 3u);
}
