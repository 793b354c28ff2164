// Every verifier check fires as a named failure; the offending call does nothing harmful.
#include <cstdio>
#include <string>
#include <vector>

#include "kernel_fixture.h"
#include "platform/host/bus/bus.h"
#include "platform/host/diag/symbols.h"

namespace {

using host::verifier::Capture;
namespace v = host::verifier;

constexpr ULONG kTag = (ULONG('M') << 24) | (ULONG('V') << 16) | (ULONG('C') << 8) | ULONG('D');

bool has(const Capture& c, uint32_t code, const std::string& text) {
    for (const auto& r : c.records())
        if (r.code == code && r.message.find(text) != std::string::npos) return true;
    return false;
}

TEST_F(KernelTest, BugCheckWithoutCaptureStopsTheProcessWithItsName) {
    // The kernel's DPC and timer threads exist: re-execute rather than fork a threaded process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(v::bugcheck(v::kThreadNotMutexOwner, "mutex X released by thread 9"),
                 "STOP 0x00000011 \\(THREAD_NOT_MUTEX_OWNER\\): mutex X released by thread 9");
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_DEATH(KeReleaseMutex(&mutex, FALSE), "THREAD_NOT_MUTEX_OWNER.*not owned");
}

TEST_F(KernelTest, CallsAboveTheirIrqlLimitAreNamedAndRefused) {
    Capture capture;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    {
        host::ScopedIrql dirql(6);  // what an interrupt routine may not do
        KeSetEvent(&event, 0, FALSE);
        EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag), nullptr);
        KTIMER timer;
        KeInitializeTimer(&timer);
    }
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // the illegal set did nothing
    EXPECT_TRUE(has(capture, v::kIrqlNotLessOrEqual, "KeSetEvent called at IRQL 6; its limit is IRQL 2"));
    EXPECT_TRUE(has(capture, v::kIrqlNotLessOrEqual, "ExAllocatePoolWithTag called at IRQL 6"));
    EXPECT_TRUE(has(capture, v::kIrqlNotLessOrEqual, "KeInitializeTimer called at IRQL 6"));
    EXPECT_EQ(host::pool_usage().live_blocks, 0u);
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        IO_CONNECT_INTERRUPT_PARAMETERS params{};
        EXPECT_EQ(IoConnectInterruptEx(&params), STATUS_INVALID_PARAMETER);
        DEVICE_DESCRIPTION desc{};
        EXPECT_EQ(IoGetDmaAdapter(nullptr, &desc, nullptr), nullptr);
        LARGE_INTEGER t{};
        KeDelayExecutionThread(KernelMode, FALSE, &t);
        KeFlushQueuedDpcs();
        MmUnmapIoSpace(nullptr, 0);  // Verifier's limit is APC_LEVEL
    }
    for (const char* name :
         {"IoConnectInterruptEx", "IoGetDmaAdapter", "KeDelayExecutionThread", "KeFlushQueuedDpcs", "MmUnmapIoSpace"})
        EXPECT_TRUE(has(capture, v::kIrqlNotLessOrEqual, std::string(name) + " called at IRQL 2")) << name;
    EXPECT_EQ(capture.count(), 8u);
    EXPECT_TRUE(host::delays().empty());
}

TEST_F(KernelTest, WaitingAtDispatchLevelFailsUnlessItIsAPoll) {
    Capture capture;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(capture.count(), 0u);  // a zero time-out is a legal poll
    LARGE_INTEGER t = relative_ms(5000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    ASSERT_EQ(capture.count(), 2u);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "with a non-zero time-out at IRQL 2"));
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "with a NULL time-out at IRQL 2"));
    // Waiting on something that is not an initialised dispatcher object.
    KEVENT garbage;
    std::memset(&garbage, 0xA5, sizeof garbage);
    EXPECT_EQ(KeWaitForSingleObject(&garbage, Executive, KernelMode, FALSE, &zero), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "not an initialised event, mutex or timer"));
}

TEST_F(KernelTest, MutexReleaseByNonOwnerOrAtAnotherIrqlIsFatal) {
    Capture capture;
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    uint64_t owner = host::thread_id();
    uint64_t other_id = 0;
    std::thread([&] {
        other_id = host::thread_id();
        KeReleaseMutex(&mutex, FALSE);
    }).join();
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_EQ(capture.records()[0].code, v::kThreadNotMutexOwner);
    EXPECT_NE(capture.records()[0].message.find("owned by thread " + std::to_string(owner) + ", released by thread " +
                                                std::to_string(other_id)),
              std::string::npos)
        << capture.records()[0].message;
    EXPECT_EQ(KeReadStateMutex(&mutex), 0);  // still owned by us
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KeReleaseMutex(&mutex, FALSE);
    }
    EXPECT_TRUE(has(capture, v::kThreadNotMutexOwner, "acquired at IRQL 0, released at IRQL 2"));
    EXPECT_EQ(host::owned_mutex_count(), 1u);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(host::owned_mutex_count(), 0u);
    EXPECT_EQ(capture.count(), 2u);
}

TEST_F(KernelTest, PoolMisuseIsNamed) {
    Capture capture;
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag), nullptr);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "ExAllocatePoolWithTag of zero bytes with tag MVCD"));

    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTag ^ 0x01010101);
    EXPECT_TRUE(has(capture, v::kBadPoolCaller, "the block was allocated with tag MVCD (dump DCVM)"));
    EXPECT_EQ(host::pool_usage().live_blocks, 1u);  // the wrong-tag free did not free it
    ExFreePoolWithTag(p, kTag);
    ExFreePool(p);
    EXPECT_TRUE(has(capture, v::kBadPoolCaller, "block already freed (double free)"));
    int local = 0;
    ExFreePool(&local);
    EXPECT_TRUE(has(capture, v::kBadPoolCaller, "did not come from the pool (bad pointer)"));

    auto* q = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 30, kTag));
    q[30] = 1;  // one byte past the end
    ExFreePool(q);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "written past its end at offset 30 (pool overrun)"));
    EXPECT_EQ(capture.count(), 5u);
    EXPECT_EQ(host::pool_usage().live_blocks, 0u);
}

void NTAPI NoopDpc(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(KernelTest, FreeingPoolThatHoldsAnArmedTimerOrQueuedDpcIsNamed) {
    Capture capture;
    struct Holder {
        KTIMER timer;
        KDPC dpc;
    };
    auto* h = static_cast<Holder*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Holder), kTag));
    KeInitializeTimer(&h->timer);
    KeInitializeDpc(&h->dpc, NoopDpc, nullptr);
    KeSetTimer(&h->timer, relative_ms(60000), &h->dpc);
    ExFreePool(h);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "holds a pending timer"));
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "active timer in freed memory"));
    // The free was refused: the block is still live and the timer can be cancelled, then freed.
    EXPECT_EQ(host::pool_usage().live_blocks, 1u);
    EXPECT_TRUE(KeCancelTimer(&h->timer));
    ExFreePool(h);
    EXPECT_EQ(host::pool_usage().live_blocks, 0u);

    // A DPC stuck behind a running one on a single processor stays queued.
    host::set_processor_count(1);
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    KDPC blocker;
    std::atomic<bool> running{false};
    struct Ctx {
        KEVENT* release;
        std::atomic<bool>* running;
    } ctx{&release, &running};
    KeInitializeDpc(
        &blocker,
        [](PKDPC, PVOID c, PVOID, PVOID) NTAPI {
            auto* x = static_cast<Ctx*>(c);
            *x->running = true;
            LARGE_INTEGER zero{};
            while (KeWaitForSingleObject(x->release, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT)
                std::this_thread::yield();
        },
        &ctx);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    ASSERT_TRUE(eventually([&] { return running.load(); }));
    auto* d = static_cast<KDPC*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KDPC), kTag));
    KeInitializeDpc(d, NoopDpc, nullptr);
    KeInsertQueueDpc(d, nullptr, nullptr);
    ExFreePool(d);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "queued DPC in freed memory"));
    EXPECT_TRUE(KeRemoveQueueDpc(d));
    ExFreePool(d);
    KeSetEvent(&release, 0, FALSE);
    KeFlushQueuedDpcs();
    EXPECT_EQ(capture.count(), 2u);
}

TEST_F(KernelTest, DmaMisuseIsNamed) {
    Capture capture;
    DmaAdapter dma;
    PHYSICAL_ADDRESS bus{};
    auto* va = static_cast<unsigned char*>(dma.alloc(8192, &bus));
    ASSERT_NE(va, nullptr);

    // The card reaching outside a live buffer: past its end, and into the gap before it.
    char data[16] = {};
    EXPECT_FALSE(host::dma_write(bus.QuadPart + 8190, data, 4));
    EXPECT_FALSE(host::dma_read(bus.QuadPart - 16, data, 4));
    EXPECT_EQ(capture.count_containing("DMA outside common buffers"), 2u);
    EXPECT_TRUE(has(capture, v::kDmaViolation, "card write of 4 bytes at bus address"));

    // Putting the adapter with a buffer still allocated is refused.
    dma.adapter->DmaOperations->PutDmaAdapter(dma.adapter);
    EXPECT_TRUE(has(capture, v::kDmaViolation, "with 1 common buffer(s) still allocated"));

    // Freeing with values other than the allocation's is refused; the buffer stays live.
    dma.free(4096, bus, va);
    EXPECT_TRUE(has(capture, v::kDmaViolation, "length 4096, allocated 8192"));
    PHYSICAL_ADDRESS wrong_bus = bus;
    wrong_bus.QuadPart += 4096;
    dma.free(8192, wrong_bus, va);
    EXPECT_TRUE(has(capture, v::kDmaViolation, "values not those of the allocation: logical address"));
    EXPECT_EQ(host::common_buffer_usage().live_buffers, 1u);

    // The driver writing past the end of its buffer is caught by the guard at free.
    va[8192] = 0;
    dma.free(8192, bus, va);
    EXPECT_TRUE(has(capture, v::kDmaViolation, "written past its end at offset 8192 (guard area overwritten)"));
    // After the free the card can no longer reach it, and a second free is named.
    EXPECT_FALSE(host::dma_write(bus.QuadPart, data, 4));
    dma.free(8192, bus, va);
    EXPECT_TRUE(has(capture, v::kDmaViolation, "not a live common buffer (double free or bad address)"));

    // Adapter used after PutDmaAdapter.
    dma.adapter->DmaOperations->PutDmaAdapter(dma.adapter);
    size_t before = capture.count();
    PHYSICAL_ADDRESS b2{};
    EXPECT_EQ(dma.alloc(4096, &b2), nullptr);
    dma.adapter->DmaOperations->PutDmaAdapter(dma.adapter);
    EXPECT_EQ(capture.count(), before + 2);
    EXPECT_EQ(capture.count_containing("used after PutDmaAdapter"), 2u);
    EXPECT_EQ(host::common_buffer_usage().live_adapters, 0u);
}

TEST_F(KernelTest, LeakCheckAtRemovalNamesEveryLeak) {
    DmaAdapter dma;
    PHYSICAL_ADDRESS bus{};
    void* buffer = dma.alloc(4096, &bus);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 48, kTag);
    Capture capture;
    EXPECT_EQ(host::check_leaks("device removal"), 3u);  // pool block, common buffer, adapter
    ASSERT_EQ(capture.count(), 1u);
    const std::string m = capture.records()[0].message;
    EXPECT_EQ(capture.records()[0].code, v::kDriverVerifierViolation);
    EXPECT_NE(m.find("device removal: 3 allocation(s) leaked"), std::string::npos) << m;
    EXPECT_NE(m.find("1 block(s), 48 bytes with tag MVCD (dump DCVM)"), std::string::npos) << m;
    EXPECT_NE(m.find("common buffer"), std::string::npos) << m;
    EXPECT_NE(m.find("not released with PutDmaAdapter"), std::string::npos) << m;
    dma.free(4096, bus, buffer);
    ExFreePool(block);
    dma.adapter->DmaOperations->PutDmaAdapter(dma.adapter);
    EXPECT_EQ(host::check_leaks("device removal"), 0u);
    EXPECT_EQ(capture.count(), 1u);
}

TEST_F(KernelTest, RegisterAccessOutsideAMappedWindowIsNamed) {
    Capture capture;
    FakeRegisters device(0x1000, FakeRegisters::Reads::Fixed, 0x5A5A5A5A);
    uint64_t physical = host::register_mmio(&device, 0x1000);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(physical);
    auto* base = static_cast<volatile ULONG*>(MmMapIoSpace(pa, 0x100, MmNonCached));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(READ_REGISTER_ULONG(base + 0x3F), 0x5A5A5A5Au);  // last register of the 0x100 mapping
    EXPECT_EQ(capture.count(), 0u);

    EXPECT_EQ(READ_REGISTER_ULONG(base + 0x40), 0u);  // just past the mapped length
    EXPECT_TRUE(has(capture, v::kPageFaultInNonPagedArea, "outside any mapped register window"));
    auto* odd = reinterpret_cast<volatile ULONG*>(reinterpret_cast<volatile char*>(base) + 2);
    WRITE_REGISTER_ULONG(odd, 1);
    EXPECT_TRUE(has(capture, v::kPageFaultInNonPagedArea, "misaligned register access"));
    WRITE_REGISTER_ULONG(nullptr, 1);  // no window at all
    EXPECT_EQ(capture.count_containing("outside any mapped register window"), 2u);
    EXPECT_EQ(device.writes(), 0u);

    MmUnmapIoSpace(const_cast<ULONG*>(base), 0x80);  // wrong length: refused
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "it was mapped with length 256"));
    MmUnmapIoSpace(const_cast<ULONG*>(base), 0x100);
    EXPECT_EQ(READ_REGISTER_ULONG(base), 0u);
    WRITE_REGISTER_ULONG(base + 1, 7);
    EXPECT_EQ(capture.count_containing("after MmUnmapIoSpace"), 2u);
    MmUnmapIoSpace(const_cast<ULONG*>(base), 0x100);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "which is not a mapped register window"));
    EXPECT_EQ(device.writes(), 0u);
    host::unregister_mmio(physical);
}

TEST_F(KernelTest, UnclaimedAssertedLevelLineIsReportedAsAStorm) {
    Capture capture;
    auto line = host::create_interrupt_line(host::InterruptLine::Mode::LevelSensitive);
    ULONG vector = host::register_interrupt_line(line.get());
    PKINTERRUPT interrupt = nullptr;
    IO_CONNECT_INTERRUPT_PARAMETERS params{};
    params.Version = CONNECT_FULLY_SPECIFIED;
    params.FullySpecified.InterruptObject = &interrupt;
    params.FullySpecified.ServiceRoutine = [](PKINTERRUPT, PVOID) NTAPI -> BOOLEAN { return FALSE; };
    params.FullySpecified.SynchronizeIrql = 5;
    params.FullySpecified.Irql = 5;
    params.FullySpecified.Vector = vector;
    params.FullySpecified.ShareVector = TRUE;  // a line-based PCI interrupt is shared
    params.FullySpecified.ProcessorEnableMask = 1;
    ASSERT_EQ(IoConnectInterruptEx(&params), STATUS_SUCCESS);
    // A second connection to the line is refused and leaves its output untouched.
    PKINTERRUPT second = reinterpret_cast<PKINTERRUPT>(0x5678);
    params.FullySpecified.InterruptObject = &second;
    EXPECT_EQ(IoConnectInterruptEx(&params), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second, reinterpret_cast<PKINTERRUPT>(0x5678));
    line->set_level(true);
    ASSERT_TRUE(capture.wait_for(1, 10000));
    EXPECT_TRUE(has(capture, v::kInterruptStorm, "interrupt storm"));
    // Masked after the report: the line goes quiet although still asserted.
    EXPECT_TRUE(line->wait_quiet(10000));
    EXPECT_EQ(line->claimed(), 0u);
    line->set_level(false);
    IoDisconnectInterrupt(interrupt);
    capture.clear();

    // A routine that claims the interrupt but never makes the device lower the line is a storm too.
    params.FullySpecified.InterruptObject = &interrupt;
    params.FullySpecified.ServiceRoutine = [](PKINTERRUPT, PVOID) NTAPI -> BOOLEAN { return TRUE; };
    ASSERT_EQ(IoConnectInterruptEx(&params), STATUS_SUCCESS);
    line->set_level(true);
    ASSERT_TRUE(capture.wait_for(1, 10000));
    EXPECT_EQ(capture.count_containing("1000 calls of the service routine (1000 of them claimed it"), 1u);
    EXPECT_TRUE(line->wait_quiet(10000));
    line->set_level(false);
    IoDisconnectInterrupt(interrupt);
    IoDisconnectInterrupt(interrupt);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "which was already disconnected"));
    host::unregister_interrupt_line(line.get());
}

// A device of ours on a shared level-sensitive line, with a status register the routine reads.
struct SharedLineDevice {
    std::unique_ptr<host::InterruptLine> line = host::create_interrupt_line(host::InterruptLine::Mode::LevelSensitive);
    ULONG vector = host::register_interrupt_line(line.get());
    std::atomic<int> status{0};
    std::atomic<bool> hold{false};  // keeps the routine inside its body
    std::atomic<int> inside{0};
    PKINTERRUPT interrupt = nullptr;
    ~SharedLineDevice() { host::unregister_interrupt_line(line.get()); }

    void raise() {
        status = 1;
        line->set_level(true);
    }
    NTSTATUS connect(PKSERVICE_ROUTINE routine, BOOLEAN share, PKINTERRUPT* out) {
        IO_CONNECT_INTERRUPT_PARAMETERS params{};
        params.Version = CONNECT_FULLY_SPECIFIED;
        params.FullySpecified.InterruptObject = out;
        params.FullySpecified.ServiceRoutine = routine;
        params.FullySpecified.ServiceContext = this;
        params.FullySpecified.SynchronizeIrql = 5;
        params.FullySpecified.Irql = 5;
        params.FullySpecified.Vector = vector;
        params.FullySpecified.ShareVector = share;
        params.FullySpecified.ProcessorEnableMask = 1;
        return IoConnectInterruptEx(&params);
    }
};

// Claims only what its status names, and acknowledges it.
BOOLEAN NTAPI StatusIsr(PKINTERRUPT, PVOID context) {
    auto* d = static_cast<SharedLineDevice*>(context);
    ++d->inside;
    while (d->hold.load())
        std::this_thread::yield();
    BOOLEAN mine = FALSE;
    if (d->status.exchange(0) != 0) {
        d->line->set_level(false);
        mine = TRUE;
    }
    --d->inside;
    return mine;
}

// Claims every interrupt, whatever its status says.
BOOLEAN NTAPI GreedyIsr(PKINTERRUPT, PVOID context) {
    auto* d = static_cast<SharedLineDevice*>(context);
    if (d->status.exchange(0) != 0) d->line->set_level(false);
    return TRUE;
}

// The other device on the line is served only by its own routine, which the kernel calls only
// once ours has declined: a routine that claims its interrupt leaves it asserted for good.
TEST_F(KernelTest, OnASharedLevelLineTheOtherDeviceIsServedOnlyAfterOurRoutineDeclines) {
    Capture capture;
    {
        SharedLineDevice d;
        ASSERT_EQ(d.connect(StatusIsr, TRUE, &d.interrupt), STATUS_SUCCESS);
        // Only the other device asserts: ours declines and the other one's routine serves it.
        d.line->inject_foreign();
        ASSERT_TRUE(d.line->wait_quiet(10000));
        EXPECT_EQ(d.line->calls(), 1u);
        EXPECT_EQ(d.line->claimed(), 0u);
        EXPECT_EQ(d.line->foreign_served(), 1u);
        EXPECT_FALSE(d.line->foreign_asserted());

        // Both assert: ours claims its own cause and the kernel stops there, so the line, still
        // held up by the other device, is taken again; ours then declines and the other is served.
        d.hold = true;
        d.raise();
        ASSERT_TRUE(eventually([&] { return d.inside.load() == 1; }));
        d.line->inject_foreign();
        d.hold = false;
        ASSERT_TRUE(d.line->wait_quiet(10000));
        EXPECT_EQ(d.line->calls(), 3u);
        EXPECT_EQ(d.line->claimed(), 1u);
        EXPECT_EQ(d.line->foreign_served(), 2u);
        EXPECT_FALSE(d.line->foreign_asserted());
        EXPECT_EQ(capture.count(), 0u);
        IoDisconnectInterrupt(d.interrupt);
    }
    {
        SharedLineDevice d;
        ASSERT_EQ(d.connect(GreedyIsr, TRUE, &d.interrupt), STATUS_SUCCESS);
        // Its own interrupt it may claim.
        d.raise();
        ASSERT_TRUE(d.line->wait_quiet(10000));
        EXPECT_EQ(capture.count(), 0u);
        // The other device's it may not: that one stays asserted and the run stops.
        d.line->inject_foreign();
        ASSERT_TRUE(capture.wait_for(1, 10000));
        EXPECT_TRUE(has(capture, v::kInterruptStorm,
                        "routine " + host::symbols::where(reinterpret_cast<const void*>(GreedyIsr))));
        EXPECT_TRUE(has(capture, v::kInterruptStorm, "although its device raised none"));
        ASSERT_TRUE(d.line->wait_quiet(10000));
        EXPECT_EQ(d.line->foreign_served(), 0u);
        EXPECT_TRUE(d.line->foreign_asserted());
        EXPECT_EQ(capture.count(), 1u);  // reported once, not at every re-entry
        // With our routine gone from the chain the other device's is called first.
        IoDisconnectInterrupt(d.interrupt);
        EXPECT_EQ(d.line->foreign_served(), 1u);
        EXPECT_FALSE(d.line->foreign_asserted());
    }
}

// ShareVector must follow the interrupt resource: a level-sensitive PCI line is shared, a message
// vector is not. A connection that disagrees is refused by name and its output left untouched.
TEST_F(KernelTest, AnInterruptConnectionWhoseShareVectorDisagreesWithTheResourceIsRefused) {
    Capture capture;
    SharedLineDevice d;
    PKINTERRUPT untouched = reinterpret_cast<PKINTERRUPT>(0x4321);
    EXPECT_EQ(d.connect(StatusIsr, FALSE, &untouched), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(untouched, reinterpret_cast<PKINTERRUPT>(0x4321));
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "ShareVector FALSE for vector"));
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "shared (CmResourceShareShared)"));

    auto message = host::create_interrupt_line(host::InterruptLine::Mode::MessageSignalled);
    const ULONG message_vector = host::register_interrupt_line(message.get());
    const ULONG level_vector = d.vector;
    d.vector = message_vector;
    EXPECT_EQ(d.connect(StatusIsr, TRUE, &untouched), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(untouched, reinterpret_cast<PKINTERRUPT>(0x4321));
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "ShareVector TRUE for vector"));
    EXPECT_EQ(capture.count(), 2u);
    ASSERT_EQ(d.connect(StatusIsr, FALSE, &d.interrupt), STATUS_SUCCESS);
    IoDisconnectInterrupt(d.interrupt);
    host::unregister_interrupt_line(message.get());

    d.vector = level_vector;
    ASSERT_EQ(d.connect(StatusIsr, TRUE, &d.interrupt), STATUS_SUCCESS);
    IoDisconnectInterrupt(d.interrupt);
    EXPECT_EQ(capture.count(), 2u);
}

TEST_F(KernelTest, DpcReturningAtAnotherIrqlOrHoldingAMutexIsNamed) {
    Capture capture;
    KDPC bad;
    KeInitializeDpc(
        &bad, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    KeInsertQueueDpc(&bad, nullptr, nullptr);
    ASSERT_TRUE(capture.wait_for(1, 10000));
    EXPECT_TRUE(has(capture, v::kIrqlNotLessOrEqual, "returned at IRQL 0, entered at DISPATCH_LEVEL"));
    KeFlushQueuedDpcs();
    // A DPC that re-inserts something uninitialised is refused by name, not crashed on.
    KDPC garbage;
    std::memset(&garbage, 0, sizeof garbage);
    EXPECT_FALSE(KeInsertQueueDpc(&garbage, nullptr, nullptr));
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "not an initialised DPC"));
}

// Memory integrity and the code-integrity checks: executable pool and executable mappings are
// refused by name, a mapped window's protection holds, and what IoConnectInterruptEx connected
// IoDisconnectInterruptEx disconnects only with its version.
TEST_F(KernelTest, ExecutablePoolIsRefusedWhereNonExecutablePoolServes) {
    Capture capture;
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 64, kTag), nullptr);
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "executable pool (NonPagedPool) with tag MVCD"));
    EXPECT_EQ(host::pool_usage().allocations, 0u);  // refused, not handed out

    // NonPagedPoolNx is still non-paged: usable up to DISPATCH_LEVEL.
    void* nx = nullptr;
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        nx = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
    }
    ASSERT_NE(nx, nullptr);
    void* paged = ExAllocatePoolWithTag(PagedPool, 64, kTag);
    ASSERT_NE(paged, nullptr);
    ExFreePoolWithTag(nx, kTag);
    ExFreePoolWithTag(paged, kTag);
    EXPECT_EQ(capture.count(), 1u);
    EXPECT_EQ(host::check_leaks("code integrity"), 0u);
}

TEST_F(KernelTest, MappedWindowHonoursItsProtectionAndNeverMapsExecutable) {
    FakeRegisters device(0x1000);
    uint64_t physical = host::register_mmio(&device, 0x1000);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(physical);
    Capture capture;

    // What the driver maps its registers with: read-write, uncached.
    auto* rw = static_cast<volatile ULONG*>(MmMapIoSpaceEx(pa, 0x1000, PAGE_READWRITE | PAGE_NOCACHE));
    ASSERT_NE(rw, nullptr);
    WRITE_REGISTER_ULONG(rw + 1, 0x55);
    EXPECT_EQ(READ_REGISTER_ULONG(rw + 1), 0x55u);
    EXPECT_EQ(device.value(4), 0x55u);

    // A read-only mapping reads the same registers and refuses writes by name.
    auto* ro = static_cast<volatile ULONG*>(MmMapIoSpaceEx(pa, 0x1000, PAGE_READONLY | PAGE_NOCACHE));
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(READ_REGISTER_ULONG(ro + 1), 0x55u);
    WRITE_REGISTER_ULONG(ro + 1, 0xAA);
    EXPECT_EQ(device.value(4), 0x55u);
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_TRUE(has(capture, v::kAttemptedWriteToReadonlyMemory, "mapped PAGE_READONLY"));

    // Executable protections are code-integrity violations; the mapping is not made.
    for (ULONG execute : {PAGE_EXECUTE, PAGE_EXECUTE_READ, PAGE_EXECUTE_READWRITE, PAGE_EXECUTE_WRITECOPY})
        EXPECT_EQ(MmMapIoSpaceEx(pa, 0x1000, execute | PAGE_NOCACHE), nullptr);
    EXPECT_EQ(capture.count(), 5u);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "MmMapIoSpaceEx with executable page protection 0x240"));

    // Protections that are not one base protection plus at most one caching modifier fail.
    EXPECT_EQ(MmMapIoSpaceEx(pa, 0x1000, PAGE_READWRITE | PAGE_NOCACHE | PAGE_WRITECOMBINE), nullptr);
    EXPECT_EQ(MmMapIoSpaceEx(pa, 0x1000, PAGE_NOACCESS), nullptr);
    EXPECT_EQ(MmMapIoSpaceEx(pa, 0x1000, PAGE_READWRITE | PAGE_READONLY), nullptr);
    EXPECT_EQ(MmMapIoSpaceEx(pa, 0x1000, PAGE_NOCACHE), nullptr);
    EXPECT_EQ(capture.count(), 5u);
    // A cached or write-combined view of the window is still a valid mapping.
    auto* wc = MmMapIoSpaceEx(pa, 0x1000, PAGE_READWRITE | PAGE_WRITECOMBINE);
    ASSERT_NE(wc, nullptr);

    MmUnmapIoSpace(wc, 0x1000);
    MmUnmapIoSpace(const_cast<ULONG*>(ro), 0x1000);
    MmUnmapIoSpace(const_cast<ULONG*>(rw), 0x1000);
    EXPECT_EQ(capture.count(), 5u);
    host::unregister_mmio(physical);
}

struct Counter {
    std::atomic<int> calls{0};
};

BOOLEAN NTAPI CountingIsr(PKINTERRUPT, PVOID context) {
    ++static_cast<Counter*>(context)->calls;
    return FALSE;
}

TEST_F(KernelTest, InterruptConnectedExIsDisconnectedExWithItsVersion) {
    auto line = host::create_interrupt_line(host::InterruptLine::Mode::MessageSignalled);
    ULONG vector = host::register_interrupt_line(line.get());
    Counter counter;
    PKINTERRUPT interrupt = nullptr;
    IO_CONNECT_INTERRUPT_PARAMETERS params{};
    params.Version = CONNECT_FULLY_SPECIFIED;
    params.FullySpecified.InterruptObject = &interrupt;
    params.FullySpecified.ServiceRoutine = CountingIsr;
    params.FullySpecified.ServiceContext = &counter;
    params.FullySpecified.SynchronizeIrql = 6;
    params.FullySpecified.Irql = 6;
    params.FullySpecified.Vector = vector;
    params.FullySpecified.ProcessorEnableMask = 1;
    ASSERT_EQ(IoConnectInterruptEx(&params), STATUS_SUCCESS);

    Capture capture;
    // Another version than the one connected with: refused, the routine stays connected.
    IO_DISCONNECT_INTERRUPT_PARAMETERS wrong{};
    wrong.Version = CONNECT_LINE_BASED;
    wrong.ConnectionContext.InterruptObject = interrupt;
    IoDisconnectInterruptEx(&wrong);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "IoDisconnectInterruptEx with version 2"));
    line->signal_message();
    ASSERT_TRUE(line->wait_quiet(10000));
    EXPECT_EQ(counter.calls.load(), 1);

    IO_DISCONNECT_INTERRUPT_PARAMETERS disconnect{};
    disconnect.Version = CONNECT_FULLY_SPECIFIED;
    disconnect.ConnectionContext.InterruptObject = interrupt;
    IoDisconnectInterruptEx(&disconnect);
    line->signal_message();
    ASSERT_TRUE(line->wait_quiet(10000));
    EXPECT_EQ(counter.calls.load(), 1);  // nothing is delivered after it
    EXPECT_EQ(capture.count(), 1u);

    IoDisconnectInterruptEx(&disconnect);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "IoDisconnectInterruptEx of"));
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "which was already disconnected"));
    IoDisconnectInterruptEx(nullptr);
    EXPECT_TRUE(has(capture, v::kDriverVerifierViolation, "(no parameters)"));
    EXPECT_EQ(capture.count(), 3u);
    host::unregister_interrupt_line(line.get());
}

std::string Summary(bool all_overruns) {
    std::FILE* f = std::tmpfile();
    v::print_summary(f, all_overruns);
    std::string text(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fclose(f);
    return text;
}

// The summary speaks of overruns by routine and says what a count means; without being asked it
// shows only those where the routine's own CPU time passed the limit in most runs (or, for a
// callback, at all), not those a busy host alone explains.
TEST(VerifierSummary, OverrunsAreSentencesShownWhenTheRoutinesOwnTimeIsOverOrWhenAsked) {
    v::clear_overruns();
    EXPECT_EQ(Summary(false).find("Timing overruns"), std::string::npos);
    EXPECT_NE(Summary(true).find("Timing overruns: none\n"), std::string::npos);

    for (int i = 0; i < 3; ++i)
        v::note_overrun("IsrBudget", "PreemptedIsr", 25, false, 10 + i);
    for (int i = 0; i < 3; ++i)
        v::note_overrun("DpcBudget", "SlowDpc", 100, true, 3 + i);               // 3 of 5 runs
    v::note_overrun("DpcBudget", "OddDpc", 100, true, 100);                      // 1 of 100
    v::note_overrun("KsCallbackDuration", "pin SetDeviceState", 500000, false);  // waited
    v::note_overrun("KsProcessingMutexHold", "pin Process", 100000, true);       // worked
    const std::string shown = Summary(false);
    EXPECT_NE(shown.find("Timing overruns:\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("  the DPC routine SlowDpc ran longer than its budget of 100 \u00b5s 3 times; its own CPU "
                         "time passed the limit each time\n"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("  the processing mutex taken by pin Process was held longer than 100 ms once; its own CPU "
                         "time passed the limit each time\n"),
              std::string::npos)
        << shown;
    for (const char* hidden : {"PreemptedIsr", "OddDpc", "SetDeviceState", "IsrBudget", "DpcBudget"})
        EXPECT_EQ(shown.find(hidden), std::string::npos) << hidden << "\n" << shown;

    const std::string all = Summary(true);
    EXPECT_NE(all.find("  the interrupt service routine PreemptedIsr ran longer than its budget of 25 \u00b5s 3 "
                       "times; its own CPU time never passed the limit\n"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("  the DPC routine OddDpc ran longer than its budget of 100 \u00b5s once; its own CPU time "
                       "passed the limit each time\n"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("  the driver's pin SetDeviceState callback took longer than 500 ms once; its own CPU time "
                       "never passed the limit\n"),
              std::string::npos)
        << all;
    v::clear_overruns();
}

}  // namespace
