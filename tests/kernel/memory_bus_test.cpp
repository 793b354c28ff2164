// Pool, DMA common buffers, register windows and interrupt delivery.
#include <mutex>
#include <vector>

#include "kernel_fixture.h"
#include "platform/host/bus/bus.h"

namespace {

constexpr ULONG kTag = (ULONG('M') << 24) | (ULONG('V') << 16) | (ULONG('C') << 8) | ULONG('D');
constexpr ULONG kOtherTag = (ULONG('T') << 24) | (ULONG('e') << 16) | (ULONG('s') << 8) | ULONG('t');

TEST_F(KernelTest, PoolIsTaggedAccountedUninitialisedAndAligned) {
    auto* small = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag));
    auto* large = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 3 * 4096 + 5, kOtherTag));
    ASSERT_NE(small, nullptr);
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(small) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(large) % 4096, 0u);
    // Not zeroed: a driver that forgets to clear sees garbage.
    size_t zeros = 0;
    for (int i = 0; i < 40; ++i)
        zeros += small[i] == 0;
    EXPECT_EQ(zeros, 0u);
    EXPECT_EQ(host::pool_usage().live_blocks, 2u);
    EXPECT_EQ(host::pool_usage(kTag).live_bytes, 40u);
    EXPECT_EQ(host::pool_usage(kOtherTag).live_bytes, 3u * 4096 + 5);
    EXPECT_EQ(host::tag_name(kTag), "MVCD (dump DCVM)");

    std::string report = host::leak_report();
    EXPECT_NE(report.find("1 block(s), 40 bytes with tag MVCD (dump DCVM)"), std::string::npos) << report;
    EXPECT_NE(report.find("tag Test (dump tseT)"), std::string::npos) << report;

    std::memset(small, 0, 40);  // using the whole block is fine
    ExFreePoolWithTag(small, kTag);
    ExFreePool(large);
    EXPECT_EQ(host::pool_usage().live_blocks, 0u);
    EXPECT_EQ(host::pool_usage().live_bytes, 0u);
    EXPECT_EQ(host::pool_usage(kTag).allocations, 1u);
    EXPECT_EQ(host::leak_report(), "");
    host::verifier::Capture none;  // a clean leak check raises nothing
    EXPECT_EQ(host::check_leaks("device removal"), 0u);
    EXPECT_EQ(none.count(), 0u);
}

TEST_F(KernelTest, PoolFailureInjectionByCountSizeAndTag) {
    host::fail_pool_nth(3);
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);  // the third from now
    void* d = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);  // one-shot
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr);

    host::fail_pool_size(100);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 100, kOtherTag), nullptr);
    void* e = ExAllocatePoolWithTag(NonPagedPoolNx, 101, kTag);
    EXPECT_NE(e, nullptr);

    host::clear_pool_failures();
    host::fail_pool_tag(kOtherTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag), nullptr);
    void* f = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag);
    EXPECT_NE(f, nullptr);

    EXPECT_EQ(host::pool_usage().failures, 4u);
    EXPECT_EQ(host::pool_usage(kOtherTag).failures, 2u);
    EXPECT_EQ(host::pool_usage().live_blocks, 5u);
    for (void* p : {a, b, d, e, f})
        ExFreePool(p);
    EXPECT_EQ(host::pool_usage().live_blocks, 0u);
}

TEST_F(KernelTest, CommonBuffersLieBelow4GiBArePageAlignedAndReachableByTheCard) {
    DmaAdapter dma;
    PDMA_ADAPTER adapter = dma.adapter;
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->Version, 1);
    EXPECT_GT(dma.map_registers, 0u);

    struct Allocation {
        unsigned char* va;
        PHYSICAL_ADDRESS bus;
        ULONG length;
    };
    std::vector<Allocation> buffers;
    for (ULONG length : {4u << 20, 120u * 1024, 100u}) {
        PHYSICAL_ADDRESS bus{};
        auto* va =
            static_cast<unsigned char*>(adapter->DmaOperations->AllocateCommonBuffer(adapter, length, &bus, FALSE));
        ASSERT_NE(va, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(va) % 4096, 0u);
        EXPECT_EQ(bus.QuadPart % 4096, 0);
        EXPECT_EQ(bus.HighPart, 0);
        EXPECT_LE(static_cast<uint64_t>(bus.QuadPart) + length, 1ull << 32);
        EXPECT_NE(va[0], 0);  // filled with a non-zero pattern, not zeroed
        buffers.push_back({va, bus, length});
    }
    // Distinct, non-overlapping bus ranges.
    for (size_t i = 0; i < buffers.size(); ++i)
        for (size_t j = i + 1; j < buffers.size(); ++j)
            EXPECT_TRUE(buffers[i].bus.QuadPart + buffers[i].length <= buffers[j].bus.QuadPart ||
                        buffers[j].bus.QuadPart + buffers[j].length <= buffers[i].bus.QuadPart);
    auto usage = host::common_buffer_usage();
    EXPECT_EQ(usage.live_buffers, 3u);
    EXPECT_EQ(usage.live_bytes, (4u << 20) + 120u * 1024 + 100u);
    EXPECT_EQ(usage.live_adapters, 1u);

    // The card writes by bus address and the driver sees it at the virtual address, and back.
    const char frame[] = "frame 17 line 3";
    auto& audio = buffers[1];
    ASSERT_TRUE(host::dma_write(audio.bus.QuadPart + 1000, frame, sizeof frame));
    EXPECT_EQ(std::memcmp(audio.va + 1000, frame, sizeof frame), 0);
    std::memcpy(audio.va + 5, "xyz", 3);
    char back[3];
    ASSERT_TRUE(host::dma_read(audio.bus.QuadPart + 5, back, 3));
    EXPECT_EQ(std::memcmp(back, "xyz", 3), 0);
    // The last byte is reachable, one past it is not.
    EXPECT_TRUE(host::dma_write(buffers[2].bus.QuadPart + 99, "z", 1));

    host::fail_common_buffer_nth(1);
    PHYSICAL_ADDRESS ignored{};
    EXPECT_EQ(adapter->DmaOperations->AllocateCommonBuffer(adapter, 4096, &ignored, FALSE), nullptr);
    host::fail_common_buffer_size(8192);
    EXPECT_EQ(adapter->DmaOperations->AllocateCommonBuffer(adapter, 8192, &ignored, FALSE), nullptr);
    EXPECT_EQ(host::common_buffer_usage().failures, 2u);

    EXPECT_NE(host::leak_report().find("common buffer"), std::string::npos);
    for (auto& b : buffers)
        adapter->DmaOperations->FreeCommonBuffer(adapter, b.length, b.bus, b.va, FALSE);
    EXPECT_EQ(host::common_buffer_usage().live_buffers, 0u);
    adapter->DmaOperations->PutDmaAdapter(adapter);
    EXPECT_EQ(host::common_buffer_usage().live_adapters, 0u);
    EXPECT_EQ(host::leak_report(), "");
}

TEST_F(KernelTest, RegisterWindowReachesTheDeviceOnlyThroughTheAccessorsInOrder) {
    FakeRegisters device;
    uint64_t physical = host::register_mmio(&device, 0x10000);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(physical);
    auto* base = static_cast<volatile ULONG*>(MmMapIoSpace(pa, 0x10000, MmNonCached));
    ASSERT_NE(base, nullptr);
    device.set(0xC000, 0x21);
    WRITE_REGISTER_ULONG(base + 0xC004 / 4, 1);
    WRITE_REGISTER_ULONG(base + 0x9000 / 4, 0xABCD);
    EXPECT_EQ(READ_REGISTER_ULONG(base + 0xC000 / 4), 0x21u);
    EXPECT_EQ(READ_REGISTER_ULONG(base + 0xFFFC / 4), 0u);  // the last register of the window
    using A = RegisterAccess;
    EXPECT_EQ(device.log(),
              (std::vector<A>{{true, 0xC004, 1}, {true, 0x9000, 0xABCD}, {false, 0xC000, 0x21}, {false, 0xFFFC, 0}}));

    // A second mapping of part of the window addresses the same registers from its own base.
    PHYSICAL_ADDRESS upper;
    upper.QuadPart = static_cast<LONGLONG>(physical + 0xC000);
    auto* part = static_cast<volatile ULONG*>(MmMapIoSpace(upper, 0x1000, MmNonCached));
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(READ_REGISTER_ULONG(part + 1), 1u);  // 0xC004
    MmUnmapIoSpace(const_cast<ULONG*>(part), 0x1000);

    // Register accesses from several threads are serialised into the device model.
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; i < 500; ++i)
                WRITE_REGISTER_ULONG(base + t, i);
        });
    for (auto& t : threads)
        t.join();
    for (uint32_t t = 0; t < 4; ++t)
        EXPECT_EQ(device.value(4 * t), 499u);
    EXPECT_EQ(device.overlaps(), 0) << "two accesses were inside the device model at once";

    MmUnmapIoSpace(const_cast<ULONG*>(base), 0x10000);
    host::unregister_mmio(physical);
    // An unknown physical range cannot be mapped.
    EXPECT_EQ(MmMapIoSpace(pa, 0x10000, MmNonCached), nullptr);
}

TEST_F(KernelTest, MappedWindowCannotBeDereferencedAsMemory) {
    // The kernel's DPC and timer threads exist: re-execute rather than fork a threaded process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakeRegisters device(0x1000);
    uint64_t physical = host::register_mmio(&device, 0x1000);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(physical);
    auto* base = static_cast<volatile ULONG*>(MmMapIoSpace(pa, 0x1000, MmNonCached));
    ASSERT_NE(base, nullptr);
    EXPECT_DEATH({ (void)*(base + 1); }, "");
    MmUnmapIoSpace(const_cast<ULONG*>(base), 0x1000);
    host::unregister_mmio(physical);
}

// An ISR that claims only when the fake card's status is set and clears it on acknowledge.
struct Card {
    std::unique_ptr<host::InterruptLine> line;
    std::atomic<int> pending{0};  // causes not yet acknowledged
    std::atomic<int> isr_calls{0};
    std::atomic<int> claimed{0};
    std::atomic<int> irql_seen{-1};
    std::atomic<int> inside{0};
    std::atomic<int> overlap{0};
    std::atomic<bool> hold{false};  // keeps the routine inside its body
    KDPC dpc;
    std::atomic<int> dpc_runs{0};
};

void NTAPI CardDpc(PKDPC, PVOID context, PVOID, PVOID) { ++static_cast<Card*>(context)->dpc_runs; }

BOOLEAN NTAPI CardIsr(PKINTERRUPT, PVOID context) {
    auto* c = static_cast<Card*>(context);
    if (++c->inside > 1) ++c->overlap;
    ++c->isr_calls;
    c->irql_seen = KeGetCurrentIrql();
    while (c->hold.load())
        std::this_thread::yield();
    BOOLEAN mine = FALSE;
    if (c->pending.load() > 0) {
        // Acknowledge one cause; the level stays up while others remain.
        if (--c->pending == 0 && c->line->mode() == host::InterruptLine::Mode::LevelSensitive)
            c->line->set_level(false);
        KeInsertQueueDpc(&c->dpc, nullptr, nullptr);
        mine = TRUE;
    }
    if (mine) ++c->claimed;
    --c->inside;
    return mine;
}

NTSTATUS Connect(Card& card, PKINTERRUPT* out, ULONG vector) {
    IO_CONNECT_INTERRUPT_PARAMETERS params{};
    params.Version = CONNECT_FULLY_SPECIFIED;
    params.FullySpecified.InterruptObject = out;
    params.FullySpecified.ServiceRoutine = CardIsr;
    params.FullySpecified.ServiceContext = &card;
    params.FullySpecified.SynchronizeIrql = 6;
    params.FullySpecified.Irql = 6;
    params.FullySpecified.Vector = vector;
    // A line-based PCI interrupt is shared; a message vector belongs to its device alone.
    params.FullySpecified.ShareVector = card.line->mode() == host::InterruptLine::Mode::LevelSensitive;
    params.FullySpecified.ProcessorEnableMask = 1;
    return IoConnectInterruptEx(&params);
}

TEST_F(KernelTest, LevelLineRefiresWhileAssertedAndForeignCallsAreAnsweredFalse) {
    Card card;
    card.line = host::create_interrupt_line(host::InterruptLine::Mode::LevelSensitive);
    KeInitializeDpc(&card.dpc, CardDpc, &card);
    ULONG vector = host::register_interrupt_line(card.line.get());
    EXPECT_EQ(host::register_interrupt_line(card.line.get()), vector);  // idempotent

    // Wrong version, unknown vector: refused, output untouched.
    PKINTERRUPT interrupt = reinterpret_cast<PKINTERRUPT>(0x1234);
    IO_CONNECT_INTERRUPT_PARAMETERS bad{};
    bad.Version = CONNECT_LINE_BASED;
    bad.FullySpecified.InterruptObject = &interrupt;
    EXPECT_EQ(IoConnectInterruptEx(&bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Connect(card, &interrupt, vector + 1000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(interrupt, reinterpret_cast<PKINTERRUPT>(0x1234));

    // Already asserted at connect time: the routine runs as soon as the connection exists.
    card.pending = 3;
    card.line->set_level(true);
    ASSERT_EQ(Connect(card, &interrupt, vector), STATUS_SUCCESS);
    EXPECT_NE(interrupt, reinterpret_cast<PKINTERRUPT>(0x1234));
    ASSERT_TRUE(card.line->wait_quiet(10000));
    // Three causes, one acknowledged per call: the line re-fired until it dropped.
    EXPECT_EQ(card.claimed.load(), 3);
    EXPECT_EQ(card.line->claimed(), 3u);
    EXPECT_EQ(card.irql_seen.load(), 6);
    EXPECT_EQ(card.overlap.load(), 0);

    // Shared line: another device's interrupt calls the routine, which must decline.
    card.line->inject_foreign();
    ASSERT_TRUE(card.line->wait_quiet(10000));
    EXPECT_EQ(card.line->calls(), 4u);
    EXPECT_EQ(card.line->claimed(), 3u);

    KeFlushQueuedDpcs();
    EXPECT_GE(card.dpc_runs.load(), 1);
    EXPECT_LE(card.dpc_runs.load(), 3);  // ISR insertions into a still-queued DPC are absorbed

    IoDisconnectInterrupt(interrupt);
    // After disconnect nothing is delivered.
    card.pending = 1;
    card.line->set_level(true);
    EXPECT_TRUE(card.line->wait_quiet(10000));
    EXPECT_EQ(card.line->calls(), 4u);
    host::unregister_interrupt_line(card.line.get());
}

TEST_F(KernelTest, MessageSignalledLineCallsOncePerMessageWithOnePending) {
    Card card;
    card.line = host::create_interrupt_line(host::InterruptLine::Mode::MessageSignalled);
    KeInitializeDpc(&card.dpc, CardDpc, &card);
    ULONG vector = host::register_interrupt_line(card.line.get());
    PKINTERRUPT interrupt = nullptr;
    ASSERT_EQ(Connect(card, &interrupt, vector), STATUS_SUCCESS);
    for (int i = 1; i <= 5; ++i) {
        card.pending = 1;
        card.line->signal_message();
        ASSERT_TRUE(card.line->wait_quiet(10000));
        EXPECT_EQ(card.line->calls(), static_cast<uint64_t>(i));  // no re-trigger without a message
    }
    // Messages arriving while the routine runs coalesce into one delivery after it returns.
    card.pending = 100;
    card.hold = true;
    card.line->signal_message();
    ASSERT_TRUE(eventually([&] { return card.inside.load() == 1; }));
    for (int i = 0; i < 50; ++i)
        card.line->signal_message();
    card.hold = false;
    ASSERT_TRUE(card.line->wait_quiet(10000));
    EXPECT_EQ(card.line->calls(), 7u);
    EXPECT_EQ(card.overlap.load(), 0);
    IoDisconnectInterrupt(interrupt);
    KeFlushQueuedDpcs();
    host::unregister_interrupt_line(card.line.get());
}

}  // namespace
