// Interrupt status and enable, level-sensitive against message-signalled delivery, and the
// interrupt fault knobs.
#include "sim_fixture.h"

using namespace simtest;

namespace {

// One I2C chunk polled to its end: the simplest way to make the card raise a cause.
void raise_i2c(Rig& rig, uint32_t input) {
    rig->write32(0x4000 + 0x1000 * input, 0xC2u | 0x98u << 8 | 0x20u << 16);
    ASSERT_TRUE(I2cClient(*rig, input).wait_idle());
}

}  // namespace

TEST(Interrupts, LevelLineFollowsEnabledPendingCauses) {
    Rig rig;
    ASSERT_EQ(rig.line->mode(), host::InterruptLine::Mode::LevelSensitive);
    raise_i2c(rig, 0);
    EXPECT_EQ(rig->interrupt_status(), 0x1u);
    EXPECT_FALSE(rig.line->level()) << "masked while the enable is 0";
    rig->write32(0xC004, 1);
    EXPECT_TRUE(rig.line->level());
    raise_i2c(rig, 2);
    EXPECT_EQ(rig->read32(0xC000), 0x5u);
    // Acknowledging one cause keeps the line up; acknowledging the other drops it.
    rig->write32(0xC000, 0x1);
    EXPECT_TRUE(rig.line->level());
    EXPECT_EQ(rig->read32(0xC000), 0x4u);
    rig->write32(0xC000, 0x4);
    EXPECT_FALSE(rig.line->level());
    // Bits above 11 are not causes: writing them changes nothing.
    rig->write32(0xC000, 0xFFFFF000);
    EXPECT_EQ(rig->read32(0xC000), 0u);
    // Disabling drops the line although a cause is pending; re-enabling raises it again.
    raise_i2c(rig, 1);
    EXPECT_TRUE(rig.line->level());
    rig->write32(0xC004, 0);
    EXPECT_FALSE(rig.line->level());
    rig->write32(0xC004, 1);
    EXPECT_TRUE(rig.line->level());
    EXPECT_EQ(rig.line->messages(), 0u);
}

TEST(Interrupts, MessageModeSendsOneMessagePerNewlySetCause) {
    auto config = Rig::manual_config();
    config.interrupt_mode = sim::InterruptMode::Message;
    Rig rig(config);
    ASSERT_EQ(rig.line->mode(), host::InterruptLine::Mode::MessageSignalled);
    rig->write32(0xC004, 1);
    raise_i2c(rig, 0);
    EXPECT_EQ(rig.line->messages(), 1u);
    raise_i2c(rig, 0);  // already pending: not new
    EXPECT_EQ(rig.line->messages(), 1u);
    raise_i2c(rig, 3);
    EXPECT_EQ(rig.line->messages(), 2u);
    EXPECT_EQ(rig.acknowledge(), 0x9u);
    raise_i2c(rig, 0);
    EXPECT_EQ(rig.line->messages(), 3u);
    rig.acknowledge();
    // Masked causes latch silently and are announced once when unmasked.
    rig->write32(0xC004, 0);
    raise_i2c(rig, 1);
    raise_i2c(rig, 2);
    EXPECT_EQ(rig.line->messages(), 3u);
    rig->write32(0xC004, 1);
    EXPECT_EQ(rig.line->messages(), 4u);
    rig->write32(0xC004, 1);  // writing 1 again is no new unmasking
    EXPECT_EQ(rig.line->messages(), 4u);
    EXPECT_TRUE(rig.line->levels().empty()) << "no level changes in message mode";
}

TEST(InterruptFaults, SpuriousSharedStormAndSuppressed) {
    Rig rig;
    rig->write32(0xC004, 1);
    // Spurious and shared: the routine is called while the status reads 0.
    rig->inject_spurious_interrupt();
    rig->inject_shared_interrupt();
    EXPECT_EQ(rig.line->foreign(), 2u);
    EXPECT_EQ(rig->read32(0xC000), 0u);

    // Storm: the cause comes back at every acknowledgement, so the line never drops.
    rig->set_interrupt_storm(0x20);
    EXPECT_TRUE(rig.line->level());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(rig.acknowledge(), 0x20u);
    EXPECT_TRUE(rig.line->level());
    rig->set_interrupt_storm(0);
    rig.acknowledge();
    EXPECT_FALSE(rig.line->level());

    // Suppressed: causes still latch in the status, the line stays low.
    rig->set_interrupts_suppressed(true);
    raise_i2c(rig, 0);
    EXPECT_EQ(rig->read32(0xC000), 0x1u);
    EXPECT_FALSE(rig.line->level());
    rig->set_interrupts_suppressed(false);
    EXPECT_TRUE(rig.line->level());
}

TEST(Interrupts, StormInMessageModeSendsAMessagePerAcknowledgement) {
    auto config = Rig::manual_config();
    config.interrupt_mode = sim::InterruptMode::Message;
    Rig rig(config);
    rig->write32(0xC004, 1);
    rig->set_interrupt_storm(0x10);
    EXPECT_EQ(rig.line->messages(), 1u);
    rig.acknowledge();
    rig.acknowledge();
    EXPECT_EQ(rig.line->messages(), 3u);
    rig->inject_spurious_interrupt();  // a message with nothing new pending
    EXPECT_EQ(rig.line->messages(), 4u);
}
