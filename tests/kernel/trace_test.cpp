// DbgPrint formatting (Windows rules, not glibc's), the trace sink and RtlAssert.
#include "kernel_fixture.h"

namespace {

using host::trace::format;

TEST_F(KernelTest, DbgPrintFormatsIntegersAsWindowsLlp64Does) {
    // 'l' stays 32 bits: a 64-bit argument's upper half must not leak into %lx.
    uint32_t u32 = 0xDEADBEEF;
    EXPECT_EQ(format("%lx|%lX|%x|%X", u32, u32, 0xabcu, 0xabcu), "deadbeef|DEADBEEF|abc|ABC");
    EXPECT_EQ(format("%d %i %u %ld", -5, 42, 4294967295u, -7), "-5 42 4294967295 -7");
    EXPECT_EQ(format("%llx %I64d %I64u", 0x123456789ABCull, -9000000000ll, 18446744073709551615ull),
              "123456789abc -9000000000 18446744073709551615");
    EXPECT_EQ(format("%Ix", static_cast<size_t>(0x1122334455ull)), "1122334455");
    // Widths, precision, flags and the alternate form.
    EXPECT_EQ(format("[%5d][%-5d][%05d][%.3d][%+d][% d]", 42, 42, -42, 7, 3, 3), "[   42][42   ][-0042][007][+3][ 3]");
    EXPECT_EQ(format("%#x %#X %#x %08X", 255u, 255u, 0u, 0xBEEFu), "0xff 0XFF 0 0000BEEF");
    EXPECT_EQ(format("%*d|%-*d|%.*s", 4, 1, 3, 2, 2, "abcdef"), "   1|2  |ab");
    EXPECT_EQ(format("%hd %hu", 70000, 70000), "4464 4464");
    EXPECT_EQ(format("100%%"), "100%");
}

TEST_F(KernelTest, DbgPrintFormatsPointersStringsAndCharacters) {
    void* p = reinterpret_cast<void*>(0xFFFFA8012345ABCDull);
    EXPECT_EQ(format("%p", p), "FFFFA8012345ABCD");
    EXPECT_EQ(format("%p", nullptr), "0000000000000000");
    EXPECT_EQ(format("%20p|", reinterpret_cast<void*>(0x10)), "    0000000000000010|");
    EXPECT_EQ(format("%s %s %c%c", "video0:", static_cast<const char*>(nullptr), 'o', 'k'), "video0: (null) ok");
    EXPECT_EQ(format("[%6s][%-6s]", "ab", "ab"), "[    ab][ab    ]");
    const WCHAR wide[] = u"Wide";
    EXPECT_EQ(format("%ws %S", wide, wide), "Wide Wide");
    UNICODE_STRING us{8, 10, const_cast<WCHAR*>(wide)};
    EXPECT_EQ(format("%wZ!", &us), "Wide!");
    // Floating point is not supported by the kernel's DbgPrint: nothing printed, argument consumed.
    EXPECT_EQ(format("a%fb%d", 1.5, 7), "ab7");
}

TEST_F(KernelTest, DbgPrintKeepsEachCallExactlyWithOrderAndCap) {
    auto mark = host::trace::mark();
    DbgPrint("%s()\n", "DeviceDispatchPnpStart");
    DbgPrint("video%d: %s()\n", 0, "DispatchSetState");
    DbgPrint("partial ");  // kept as its own entry, no newline invented
    auto lines = host::trace::since(mark);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "DeviceDispatchPnpStart()\n");
    EXPECT_EQ(lines[1].text, "video0: DispatchSetState()\n");
    EXPECT_EQ(lines[2].text, "partial ");
    EXPECT_LT(lines[0].sequence, lines[1].sequence);
    EXPECT_LE(lines[0].time_ns, lines[1].time_ns);
    EXPECT_EQ(lines[0].thread, host::thread_id());
    EXPECT_EQ(host::trace::count_exact(mark, "video0: DispatchSetState()\n"), 1u);

    // One call sends at most 512 bytes.
    std::string big(2000, 'x');
    auto mark2 = host::trace::mark();
    DbgPrint("%s\n", big.c_str());
    auto capped = host::trace::since(mark2);
    ASSERT_EQ(capped.size(), 1u);
    EXPECT_EQ(capped[0].text.size(), 512u);

    // Listeners see entries as they are emitted; removal stops them.
    std::vector<std::string> seen;
    int id = host::trace::add_listener([&](const host::trace::Line& l) { seen.push_back(l.text); });
    DbgPrint("heard %u\n", 1u);
    host::trace::remove_listener(id);
    DbgPrint("not heard\n");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], "heard 1\n");
}

TEST_F(KernelTest, TraceFromOtherThreadsCanBeAwaited) {
    auto mark = host::trace::mark();
    std::thread t([] {
        host::ScopedIrql dirql(5);  // DbgPrint is legal up to device level
        DbgPrint("from isr %X\n", 0xC000u);
    });
    EXPECT_TRUE(host::trace::wait_for(mark, "from isr C000", 10000));
    t.join();
    EXPECT_FALSE(host::trace::wait_for(mark, "never printed", 10));
}

TEST_F(KernelTest, RtlAssertWritesOneFixedLineAndContinuesUnlessMadeFatal) {
    auto mark = host::trace::mark();
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    }
    RtlAssert(const_cast<char*>("KeGetCurrentIrql() == PASSIVE_LEVEL"), const_cast<char*>("registers.cpp"), 91,
              nullptr);
    auto lines = host::trace::since(mark);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text,
              "*** Assertion failed: KeGetCurrentIrql() == PASSIVE_LEVEL\n***   Source File: registers.cpp, line 91\n");
    EXPECT_NE(lines[0].text.find("*** Assertion failed: KeGetCurrentIrql() == PASSIVE_LEVEL\n"), std::string::npos);
    EXPECT_EQ(host::assert_count(), 2u);
    // Execution went on, but each failed assertion stays a diagnostic the test must claim.
    EXPECT_EQ(host::verifier::count_diagnostics("assertion failed: KeGetCurrentIrql() == PASSIVE_LEVEL"), 2u);
    host::verifier::clear_diagnostics();

    host::set_assert_fatal(true);
    host::verifier::Capture capture;
    RtlAssert(const_cast<char*>("x != 0"), const_cast<char*>("f.cpp"), 7, nullptr);
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_EQ(capture.records()[0].code, host::verifier::kAssertionFailure);
    EXPECT_NE(capture.records()[0].message.find("x != 0 at f.cpp:7"), std::string::npos);
}

TEST_F(KernelTest, RtlCompareMemoryCountsEqualLeadingBytes) {
    const char a[] = "abcdefgh";
    const char b[] = "abcXefgh";
    EXPECT_EQ(RtlCompareMemory(a, b, 8), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 8), 8u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
    EXPECT_EQ(RtlCompareMemory("x", "y", 1), 0u);
}

}  // namespace
