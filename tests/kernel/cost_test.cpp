// The host's cost figures: a routine's own CPU time leaves out what ran nested inside it (the
// client's completion routine, or another measured routine), and waits do not count.
#include "platform/host/cost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

// Spins until this thread has used `ns` of CPU.
void Burn(uint64_t ns) {
    const uint64_t start = host::cost::thread_cpu_ns();
    volatile uint64_t sink = 0;
    while (host::cost::thread_cpu_ns() - start < ns) sink = sink + 1;
}

TEST(HostCost, NestedWorkCountsOnlyForItselfAndWaitsNotAtAll) {
    using host::cost::Kind;
    alignas(8) static char outer_object[8], inner_object[8], other_object[8];
    host::cost::reset();
    {
        host::cost::Scope outer(Kind::Process, outer_object);
        {
            host::cost::Scope inner(Kind::Completion, inner_object);
            Burn(30'000'000);
            host::cost::Scope deeper(Kind::Dpc, other_object);
            Burn(10'000'000);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const auto outer = host::cost::figures(Kind::Process, outer_object);
    const auto inner = host::cost::figures(Kind::Completion, inner_object);
    const auto deeper = host::cost::figures(Kind::Dpc, other_object);
    EXPECT_EQ(outer.calls, 1u);
    EXPECT_EQ(inner.calls, 1u);
    EXPECT_GE(inner.cpu_ns, 30'000'000u);
    EXPECT_LT(inner.cpu_ns, 40'000'000u);   // the deeper routine's time is its own
    EXPECT_GE(deeper.cpu_ns, 10'000'000u);
    EXPECT_LT(outer.cpu_ns, 10'000'000u);   // neither nested routine nor the sleep
    // The same object under another kind is another figure.
    EXPECT_EQ(host::cost::figures(Kind::Process, inner_object).calls, 0u);
    host::cost::reset();
    EXPECT_EQ(host::cost::figures(Kind::Completion, inner_object).cpu_ns, 0u);
}

}  // namespace
