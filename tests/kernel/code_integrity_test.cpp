// Memory integrity and Driver Verifier's code-integrity checks: executable pool and executable
// mappings are refused by name, page protections of a mapped window hold, and what
// IoConnectInterruptEx connected IoDisconnectInterruptEx disconnects only with its version.
#include <atomic>

#include "kernel_fixture.h"
#include "platform/host/bus.h"

namespace {

using host::verifier::Capture;
namespace v = host::verifier;

constexpr ULONG kTag = (ULONG('M') << 24) | (ULONG('V') << 16) | (ULONG('C') << 8) | ULONG('D');

bool has(const Capture& c, uint32_t code, const std::string& text) {
    for (const auto& r : c.records())
        if (r.code == code && r.message.find(text) != std::string::npos) return true;
    return false;
}

struct Registers : host::MmioRegion {
    uint32_t read32(uint32_t offset) override { return regs[offset / 4]; }
    void write32(uint32_t offset, uint32_t value) override { regs[offset / 4] = value; }
    uint32_t regs[0x1000 / 4] = {};
};

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
    Registers device;
    uint64_t physical = host::register_mmio(&device, 0x1000);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(physical);
    Capture capture;

    // What the driver maps its registers with: read-write, uncached.
    auto* rw = static_cast<volatile ULONG*>(MmMapIoSpaceEx(pa, 0x1000, PAGE_READWRITE | PAGE_NOCACHE));
    ASSERT_NE(rw, nullptr);
    WRITE_REGISTER_ULONG(rw + 1, 0x55);
    EXPECT_EQ(READ_REGISTER_ULONG(rw + 1), 0x55u);
    EXPECT_EQ(device.regs[1], 0x55u);

    // A read-only mapping reads the same registers and refuses writes by name.
    auto* ro = static_cast<volatile ULONG*>(MmMapIoSpaceEx(pa, 0x1000, PAGE_READONLY | PAGE_NOCACHE));
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(READ_REGISTER_ULONG(ro + 1), 0x55u);
    WRITE_REGISTER_ULONG(ro + 1, 0xAA);
    EXPECT_EQ(device.regs[1], 0x55u);
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

BOOLEAN CountingIsr(PKINTERRUPT, PVOID context) {
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

}  // namespace
