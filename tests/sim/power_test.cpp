// The card's power states and the register behaviour that differs between card variants.
#include "sim_fixture.h"

using namespace simtest;

namespace {

constexpr uint32_t kAllOnes = 0xFFFFFFFFu;

// Input 0 (1920x1080p60) streaming video and audio with its interrupt enabled.
struct Streaming {
    explicit Streaming(Rig& rig) {
        bring_up(*rig, 0);
        rig->write32(0xC004, 1);
        video = start_video(rig, 0, 1920 * 1080 * 2);
        audio = start_audio(rig, 0);
    }
    VideoRing video;
    uint64_t audio;
};

}  // namespace

TEST(Power, InD3TheCardIsDeafAndSilentAndComesBackAsAtPowerOn) {
    Rig rig;
    Streaming s(rig);
    ASSERT_EQ(rig->step_video(0), 1u);
    ASSERT_EQ(rig->step_audio(0), 1u);
    ASSERT_NE(rig->interrupt_status(), 0u);
    ASSERT_TRUE(rig.line->level());
    ASSERT_TRUE(rig->receiver_state(0).configured);
    const uint32_t writes_before = rig.bus.writes();
    const size_t receiver_writes = rig->receiver_writes(0).size();
    const uint32_t resets = rig->receiver_state(0).reset_count;

    rig->set_power(host::DevicePower::D3);
    EXPECT_EQ(rig->power(), host::DevicePower::D3);
    EXPECT_FALSE(rig.line->level()) << "a card in D3 keeps its interrupt asserted";
    for (uint32_t offset : {0xC000u, 0xC004u, 0x9000u, 0x8000u, 0x4000u, 0x0040u, 0x0024u})
        EXPECT_EQ(rig->read32(offset), kAllOnes) << std::hex << offset;
    // Writes go nowhere: the enable, a cause's acknowledgement, an engine start, an I2C command.
    rig->write32(0xC004, 1);
    rig->write32(0x9000, 1);
    rig->write32(0x4000, 0xC2u | 0x98u << 8 | 0x20u << 16 | 0x11u << 24);
    EXPECT_EQ(rig->receiver_writes(0).size(), receiver_writes) << "an I2C command reached the receiver in D3";
    EXPECT_EQ(rig->step_video(0), 0u);
    EXPECT_EQ(rig->step_audio(0), 0u);
    EXPECT_EQ(rig.bus.writes(), writes_before) << "DMA in D3";
    EXPECT_FALSE(rig.line->level());
    const auto rx = rig->receiver_state(0);
    EXPECT_FALSE(rx.configured) << "the receiver kept its configuration without power";
    EXPECT_EQ(rx.map_address[static_cast<size_t>(sim::Map::HDMI)], 0u);
    EXPECT_FALSE(rx.locked);

    // D0: power-on. Nothing runs, nothing is enabled or pending, every engine register is clear,
    // engines come up where the configuration puts them (block 0, buffer 0 here).
    rig->set_power(host::DevicePower::D0);
    EXPECT_EQ(rig->power(), host::DevicePower::D0);
    EXPECT_EQ(rig->read32(0xC000), 0u);
    EXPECT_EQ(rig->read32(0xC004), 0u);
    EXPECT_FALSE(rig.line->level());
    EXPECT_FALSE(rig->video_engine_running(0));
    EXPECT_FALSE(rig->audio_engine_running(0));
    for (uint32_t offset :
         {0x9000u, 0x900Cu, 0x9010u, 0x903Cu, 0x9040u, 0x8000u, 0x8004u, 0x800Cu, 0x8010u, 0xC018u, 0xC01Cu})
        EXPECT_EQ(rig->read32(offset), 0u) << std::hex << offset;
    EXPECT_EQ(rig->read32(0x0000) >> 16, 0u) << "the frame count restarts at power-on";
    EXPECT_EQ(rig->read32(0x0044), 0u);
    EXPECT_FALSE(rig->receiver_state(0).configured);
    EXPECT_EQ(rig->receiver_state(0).reset_count, resets) << "losing power is not a reset the driver asked for";
    EXPECT_EQ(rig->step_video(0), 0u) << "an engine ran after power-on without being started";

    // Brought up and started again, the card works as before.
    bring_up(*rig, 0);
    rig->write32(0xC004, 1);
    start_video(rig, 0, 1920 * 1080 * 2);
    ASSERT_EQ(rig->step_video(0), 1u);
    EXPECT_EQ(rig->read32(0x9000) & 3, 0u);
    EXPECT_TRUE(rig.line->level());
    EXPECT_EQ(rig->i2c_protocol_faults(0), 0u);
}

TEST(Power, D1AndD2AreNotSupportedAndAFunctionWithoutAHandlerIsLeftAlone) {
    Rig rig;
    Streaming s(rig);
    for (auto state : {host::DevicePower::D1, host::DevicePower::D2}) {
        rig->set_power(state);
        EXPECT_EQ(rig->power(), host::DevicePower::D0);
        EXPECT_TRUE(rig->video_engine_running(0));
        EXPECT_EQ(rig->step_video(0), 1u);
        rig.acknowledge();
    }
    // A rig card is not on the host bus: the bus has no handler for it and changes nothing.
    host::set_device_power(rig.card.get(), host::DevicePower::D3);
    EXPECT_EQ(rig->power(), host::DevicePower::D0);
}

TEST(Power, MessagesAndTheI2cMasterAreForgottenToo) {
    auto config = Rig::manual_config();
    config.interrupt_mode = sim::InterruptMode::Message;
    Rig rig(config);
    Streaming s(rig);
    const uint32_t messages = rig.line->messages();
    // A chunk in flight and a transfer left open when the power goes.
    rig->write32(0x4000, 0x81u | 0x68u << 8 | 0x07u << 16);
    rig->set_power(host::DevicePower::D3);
    EXPECT_EQ(rig->step_video(0), 0u);
    EXPECT_EQ(rig.line->messages(), messages);
    rig->set_power(host::DevicePower::D0);
    EXPECT_EQ(rig.line->messages(), messages) << "a message for a cause raised before D3";
    // The master is idle and no transfer is open: a new START is no misuse.
    I2cClient i2c(*rig, 0);
    EXPECT_EQ(rig->read32(0x4000) & 1, 1u);
    uint8_t id[2] = {};
    ASSERT_TRUE(i2c.read(0x98, 0xEA, id, 2));
    EXPECT_EQ(id[1], 0x51);
    EXPECT_EQ(rig->i2c_protocol_faults(0), 0u);
}

TEST(RegisterVariants, AReadOfAVideoBlockRegisterClearsTheFieldBitOnlyWhereTheVariantSaysSo) {
    for (bool clears : {false, true}) {
        SCOPED_TRACE(clears ? "clear-field" : "plain");
        auto config = Rig::manual_config();
        config.sources[0] = *sim::parse_source("1920x1080i60");
        config.variant.video_read_clears_field = clears;
        Rig rig(config);
        bring_up(*rig, 0);
        rig->write32(0xC004, 1);
        start_video(rig, 0, 1920 * 540 * 2);
        ASSERT_EQ(rig->step_video(0), 1u);  // top field
        EXPECT_EQ(rig->read32(0x9000) & (1u << 24), 0u);
        rig.acknowledge();
        ASSERT_EQ(rig->step_video(0), 1u);  // bottom field
        const uint32_t first = rig->read32(0x9000);
        EXPECT_NE(first & (1u << 24), 0u) << "the interrupt's read sees the bottom field";
        const uint32_t second = rig->read32(0x9000);
        EXPECT_EQ(second & (1u << 24), clears ? 0u : (1u << 24));
        EXPECT_EQ(second & 3, first & 3) << "the buffer index is not affected";
        // Reads of other engine registers have no such effect.
        rig->write32(0x9000 + 0x10, 1920 * 540 * 2);
        EXPECT_EQ(rig->read32(0x9010), 1920u * 540 * 2);
    }
}

TEST(RegisterVariants, AHeldBlockRegisterKeepsTheCompletionThatRaisedItsCauseUntilAcknowledged) {
    for (bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "follows");
        auto config = Rig::manual_config();
        config.variant.block_register_held = held;
        Rig rig(config);
        Streaming s(rig);
        // Two video units and two audio blocks behind one pending cause each.
        ASSERT_EQ(rig->step_video(0), 1u);
        ASSERT_EQ(rig->step_video(0), 1u);
        ASSERT_EQ(rig->step_audio(0, 2), 2u);
        EXPECT_EQ(rig->read32(0x9000) & 3, held ? 0u : 1u);
        EXPECT_EQ(rig->read32(0x8000) & 0xF, held ? 1u : 2u);
        EXPECT_EQ(rig.acknowledge(), 0x30u);
        // Acknowledged: still the value it held, until the next completion latches anew.
        EXPECT_EQ(rig->read32(0x9000) & 3, held ? 0u : 1u);
        ASSERT_EQ(rig->step_video(0), 1u);
        ASSERT_EQ(rig->step_audio(0), 1u);
        EXPECT_EQ(rig->read32(0x9000) & 3, 2u);
        EXPECT_EQ(rig->read32(0x8000) & 0xF, 3u);
    }
}

TEST(RegisterVariants, NamesParseAndPrint) {
    struct Case {
        const char* text;
        bool clears, held;
    };
    for (const Case& c :
         {Case{"", false, false}, Case{"plain", false, false}, Case{"clear-field", true, false},
          Case{"HELD", false, true}, Case{"held,clear-field", true, true}, Case{"clear-field+held", true, true}}) {
        SCOPED_TRACE(c.text);
        auto v = sim::parse_register_variant(c.text);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->video_read_clears_field, c.clears);
        EXPECT_EQ(v->block_register_held, c.held);
        EXPECT_EQ(sim::parse_register_variant(sim::format_register_variant(*v)), v);
    }
    for (const char* bad : {"clear", "held,", "held,,clear-field", "plain,held", " held"})
        EXPECT_FALSE(sim::parse_register_variant(bad).has_value()) << bad;
}
