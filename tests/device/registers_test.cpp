// The register window and the millisecond delay.
#include "driver/hw/registers.h"
#include "platform/host/diag/trace.h"
#include "platform/host/diag/verifier.h"
#include "tests/device/fake_device.h"

#include <gtest/gtest.h>

using devtest::Access;
using devtest::FakeDevice;
using devtest::R;
using devtest::W;

TEST(RegisterWindow, AccessesReachTheDeviceWordAlignedAndInProgramOrder) {
    FakeDevice dev;
    dev.window().script(0x4000, {0x11223344});
    dev.window().script(0xC000, {0x5});

    // Offsets with their low bits set address the register they fall into.
    EXPECT_EQ(ReadRegister(dev.ext(), 0x4003), 0x11223344u);
    WriteRegister(dev.ext(), 0x9811, 0xABCD);
    WriteRegister(dev.ext(), 0xC01E, 1);
    // Back-to-back writes to different registers, then a read: seen exactly in that order, with
    // nothing split, merged or repeated.
    WriteRegister(dev.ext(), 0xC024, 7);
    WriteRegister(dev.ext(), 0x9000, 0);
    EXPECT_EQ(ReadRegister(dev.ext(), 0xC000), 0x5u);

    const std::vector<Access> expected = {R(0x4000, 0x11223344), W(0x9810, 0xABCD), W(0xC01C, 1),
                                          W(0xC024, 7),          W(0x9000, 0),      R(0xC000, 0x5)};
    EXPECT_EQ(dev.window().log(), expected);
}

TEST(RegisterWindow, WithoutAMappedWindowNothingReachesTheDeviceAndTheVerifierNamesTheAccess) {
    FakeDevice dev;
    PVOID base = dev.ext()->RegisterBase;
    dev.window().script(0xC000, {0x77});
    dev.ext()->RegisterBase = nullptr;

    host::verifier::Capture capture;
    EXPECT_EQ(ReadRegister(dev.ext(), 0xC000), 0u);
    WriteRegister(dev.ext(), 0xC004, 1);
    EXPECT_TRUE(dev.window().log().empty());
    ASSERT_EQ(capture.count(), 2u) << "an access without a window is a driver fault";
    EXPECT_EQ(capture.records()[0].code, uint32_t(host::verifier::kPageFaultInNonPagedArea));
    EXPECT_EQ(capture.count_containing("outside any mapped register window"), 2u);

    // Mapped again, the device answers as before: the dropped read consumed nothing.
    dev.ext()->RegisterBase = base;
    EXPECT_EQ(ReadRegister(dev.ext(), 0xC000), 0x77u);
}

TEST(Delay, IntervalsAreRelativeHundredNanosecondUnitsWithoutOverflow) {
    host::reset();
    host::set_delay_scale(0);
    DelayMs(0);
    DelayMs(200);
    DelayMs(0xFFFFFFFF);
    const auto delays = host::delays();
    ASSERT_EQ(delays.size(), 3u);
    EXPECT_EQ(delays[0].interval, 0);
    EXPECT_EQ(delays[1].interval, -2000000);
    // 0xFFFFFFFF ms in 100 ns units needs 64 bits: 42,949,672,950,000.
    EXPECT_EQ(delays[2].interval, -42949672950000LL);
    for (const auto& d : delays) {
        EXPECT_EQ(d.irql, PASSIVE_LEVEL);
    }
    EXPECT_EQ(host::assert_count(), 0u);
}

TEST(Delay, AtDispatchLevelTheAssertionIsReportedAndTheWaitMeetsTheVerifier) {
    host::reset();
    host::set_delay_scale(0);
    const auto mark = host::trace::mark();
    host::verifier::Capture capture;
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        DelayMs(5);
    }
    const std::string text = host::trace::text_since(mark);
    EXPECT_NE(text.find("KeGetCurrentIrql() == PASSIVE_LEVEL"), std::string::npos) << text;
    EXPECT_NE(text.find("line 91\n"), std::string::npos) << text;
    EXPECT_EQ(host::assert_count(), 1u);
    EXPECT_EQ(host::verifier::count_diagnostics("assertion failed: KeGetCurrentIrql() == PASSIVE_LEVEL"), 1u);
    host::verifier::clear_diagnostics();
    // The wait that follows is illegal at DISPATCH_LEVEL, as Windows' verifier says too.
    ASSERT_TRUE(capture.wait_for(1, 10000));
    EXPECT_EQ(capture.records()[0].code, uint32_t(host::verifier::kIrqlNotLessOrEqual)) << capture.records()[0].message;
}
