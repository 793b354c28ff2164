// The card on the real host bus: its window reached through a mapping as a driver reaches it,
// its DMA landing in common buffers from the host kernel's adapter, and a unit aimed at a freed
// buffer reported by the verifier instead of written.
#include "sim/card.h"
#include "sim/pattern.h"

#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/verifier.h"
#include "tests/support/dma_adapter.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Common buffers of the host's adapter, put back at the end of the test.
struct Adapter : qh::testing::DmaAdapter {
    ~Adapter() {
        if (adapter) put();
    }
    struct Buffer {
        PVOID virt = nullptr;
        PHYSICAL_ADDRESS logical{};
        ULONG length = 0;
    };
    Buffer allocate(ULONG length) {
        Buffer b;
        b.length = length;
        b.virt = adapter->DmaOperations->AllocateCommonBuffer(adapter, length, &b.logical, FALSE);
        return b;
    }
    void free(Buffer& b) {
        adapter->DmaOperations->FreeCommonBuffer(adapter, b.length, b.logical, b.virt, FALSE);
        b.virt = nullptr;
    }
};

}  // namespace

TEST(HostBus, WindowMappingCommonBuffersAndRefusedDma) {
    host::reset();
    auto config = sim::Card::default_config();
    config.pacing = sim::Pacing::Manual;
    config.video_start_buffer[0] = 0u;
    sim::Card card(config);
    ASSERT_NE(card.mmio_physical(), 0u);
    EXPECT_EQ(card.mmio_length(), 0x10000u);

    // The window as a driver sees it: mapped, then 32-bit register accesses.
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(card.mmio_physical());
    auto* regs = static_cast<volatile ULONG*>(MmMapIoSpace(pa, 0x10000, MmNonCached));
    ASSERT_NE(regs, nullptr);
    auto reg = [&](uint32_t offset) { return regs + offset / 4; };
    uint8_t id[2] = {};
    WRITE_REGISTER_ULONG(reg(0x4000), 0x81u | 0x98u << 8 | 0xEAu << 16);
    while (!(READ_REGISTER_ULONG(reg(0x4000)) & 1)) {
    }
    WRITE_REGISTER_ULONG(reg(0x4000), 0xC2u | 0x99u << 8 | 0xEAu << 16);
    while (!(READ_REGISTER_ULONG(reg(0x4000)) & 1)) {
    }
    ULONG data = READ_REGISTER_ULONG(reg(0x4004));
    id[0] = static_cast<uint8_t>(data);
    id[1] = static_cast<uint8_t>(data >> 8);
    EXPECT_EQ(id[0], 0x20);
    EXPECT_EQ(id[1], 0x51);
    // Place the HDMI and CP maps so that input 0 reports its signal.
    for (uint32_t word :
         {0xC2u | 0x98u << 8 | 0xFBu << 16 | 0x68u << 24, 0xC2u | 0x98u << 8 | 0xFDu << 16 | 0x44u << 24}) {
        WRITE_REGISTER_ULONG(reg(0x4000), word);
        while (!(READ_REGISTER_ULONG(reg(0x4000)) & 1)) {
        }
    }
    ASSERT_TRUE(card.receiver_state(0).locked);
    WRITE_REGISTER_ULONG(reg(0xC000), READ_REGISTER_ULONG(reg(0xC000)));

    Adapter adapter;
    ASSERT_NE(adapter.adapter, nullptr);
    Adapter::Buffer bufs[3];
    for (auto& b : bufs) {
        b = adapter.allocate(0x400000);
        ASSERT_NE(b.virt, nullptr);
        EXPECT_EQ(b.logical.HighPart, 0);
    }
    WRITE_REGISTER_ULONG(reg(0xC01C), 1);
    WRITE_REGISTER_ULONG(reg(0x9010), 1920 * 1080 * 2);
    WRITE_REGISTER_ULONG(reg(0x9008), static_cast<ULONG>(bufs[0].logical.HighPart));
    WRITE_REGISTER_ULONG(reg(0x900C), bufs[0].logical.LowPart);
    WRITE_REGISTER_ULONG(reg(0x903C), bufs[1].logical.LowPart);
    WRITE_REGISTER_ULONG(reg(0x9040), bufs[2].logical.LowPart);
    WRITE_REGISTER_ULONG(reg(0x9000), 1);

    for (uint32_t k = 0; k < 3; ++k) {
        ASSERT_EQ(card.step_video(0), 1u);
        EXPECT_EQ(READ_REGISTER_ULONG(reg(0x9000)) & 3, k);
        const auto* frame = static_cast<const uint8_t*>(bufs[k].virt);
        auto last = sim::read_stamp(frame + 1079 * 3840);
        EXPECT_EQ(last.frame, k);
        EXPECT_EQ(last.line, 1079);
        EXPECT_EQ(READ_REGISTER_ULONG(reg(0xC000)) & 0x20, 0x20u);
        WRITE_REGISTER_ULONG(reg(0xC000), 0x20);
    }

    // Buffer 0 freed while the engine still points at it: the next unit would land there.
    adapter.free(bufs[0]);
    {
        host::verifier::Capture capture;
        EXPECT_EQ(card.step_video(0), 0u);
        EXPECT_GE(capture.count_containing("DMA outside common buffers"), 1u);
    }
    EXPECT_EQ(card.dma_failures(0), 1u);
    EXPECT_EQ(READ_REGISTER_ULONG(reg(0xC000)), 0u) << "a refused unit is not announced";

    WRITE_REGISTER_ULONG(reg(0xC01C), 0);
    WRITE_REGISTER_ULONG(reg(0x9000), 0);
    adapter.free(bufs[1]);
    adapter.free(bufs[2]);
    MmUnmapIoSpace(const_cast<ULONG*>(regs), 0x10000);
}
