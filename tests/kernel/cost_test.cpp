// The host's cost figures: a routine's own CPU time leaves out what ran nested inside it (the
// client's completion routine, or another measured routine), and waits do not count.
#include "platform/host/measure/cost.h"
#include "platform/host/diag/symbols.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <thread>

// Routines for the naming tests: one the program exports (external linkage), one it cannot (internal).
namespace costtest {
void NamedRoutine(void* context) { *static_cast<volatile int*>(context) = 1; }
}  // namespace costtest
static void UnexportedRoutine(void* context) { *static_cast<volatile int*>(context) = 2; }

namespace {

// Spins until this thread has used `ns` of CPU.
void Burn(uint64_t ns) {
    const uint64_t start = host::cost::thread_cpu_ns();
    volatile uint64_t sink = 0;
    while (host::cost::thread_cpu_ns() - start < ns)
        sink = sink + 1;
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
    EXPECT_LT(inner.cpu_ns, 40'000'000u);  // the deeper routine's time is its own
    EXPECT_GE(deeper.cpu_ns, 10'000'000u);
    EXPECT_LT(outer.cpu_ns, 10'000'000u);  // neither nested routine nor the sleep
    // The same object under another kind is another figure.
    EXPECT_EQ(host::cost::figures(Kind::Process, inner_object).calls, 0u);
    host::cost::reset();
    EXPECT_EQ(host::cost::figures(Kind::Completion, inner_object).cpu_ns, 0u);
    EXPECT_EQ(host::cost::figures(Kind::Completion, inner_object).calls, 0u);
    // How often a routine ran in all (what says whether its overruns are the rule) outlives a reset.
    EXPECT_EQ(host::cost::runs(Kind::Completion, inner_object), 1u);
    EXPECT_EQ(host::cost::runs(Kind::Process, inner_object), 0u);
}

// Names come from the program's own symbols, only for an address a symbol starts at; anything
// else is described by where it lies (a loaded image and offset, or the bare address).
TEST(HostCost, RoutinesAreNamedByTheirSymbolOrDescribedByWhereTheyLie) {
    const auto* named = reinterpret_cast<const void*>(&costtest::NamedRoutine);
    const auto* unexported = reinterpret_cast<const void*>(&UnexportedRoutine);
    EXPECT_EQ(host::symbols::name_of(named), "costtest::NamedRoutine");
    EXPECT_EQ(host::symbols::describe(named, "DPC routine"), "costtest::NamedRoutine");
    // Inside a routine, or at one without an exported symbol: never the name of a neighbour.
    EXPECT_EQ(host::symbols::name_of(static_cast<const char*>(named) + 1), "");
    EXPECT_EQ(host::symbols::name_of(unexported), "");
    char text[64];
    std::snprintf(text, sizeof text, "DPC routine at 0x%zx", reinterpret_cast<size_t>(unexported));
    EXPECT_EQ(host::symbols::describe(unexported, "DPC routine"), text);

    alignas(64) static char image[256];
    const auto base = reinterpret_cast<uintptr_t>(image);
    host::symbols::add_image(base, sizeof image, "card.sys");
    EXPECT_EQ(host::symbols::describe(image + 0x40, "interrupt service routine"),
              "interrupt service routine at card.sys+0x40");
    EXPECT_EQ(host::symbols::where(image + 0x40), "at card.sys+0x40");
    EXPECT_EQ(
        host::symbols::where(image + sizeof image), "at 0x" + [&] {
            char hex[32];
            std::snprintf(hex, sizeof hex, "%zx", reinterpret_cast<size_t>(image + sizeof image));
            return std::string(hex);
        }());
    host::symbols::remove_image(base);
    EXPECT_EQ(host::symbols::where(image + 0x40).find("card.sys"), std::string::npos);
}

// The host relates what it measures without help from the driver: a DPC to the pins it names in
// class calls or wakes through an event its Process waits on, a pin and an interrupt to the
// device they were set up for. A tool asks by pin and gets the routines named.
TEST(HostCost, APinsCostGathersTheDpcsSeenServingItAndItsDevicesInterrupt) {
    using host::cost::Kind;
    namespace cost = host::cost;
    alignas(8) static char device[8], other_device[8], pin_a[8], pin_b[8], dpc_a[8], dpc_b[8], dpc_c[8], isr[8],
        other_isr[8], event[8];
    const auto* routine = reinterpret_cast<const void*>(&costtest::NamedRoutine);
    cost::reset();
    cost::describe(Kind::Process, pin_a, nullptr, device);
    cost::describe(Kind::Process, pin_b, nullptr, device);
    cost::describe(Kind::Dpc, dpc_a, routine, nullptr);
    cost::describe(Kind::Dpc, dpc_b, nullptr, nullptr);
    cost::describe(Kind::Dpc, dpc_c, nullptr, nullptr);
    cost::describe(Kind::Interrupt, isr, routine, device);
    cost::describe(Kind::Interrupt, other_isr, routine, other_device);
    cost::forget_event(event);

    {  // dpc_a names pin A in a class call, twice; only its own pin.
        cost::Scope run(Kind::Dpc, dpc_a);
        cost::note_pin(pin_a);
        cost::note_pin(pin_a);
    }
    {  // pin B's Process waits on the event that dpc_b sets (in that order and the other).
        cost::Scope process(Kind::Process, pin_b);
        cost::note_wait(event);
        cost::note_pin(pin_a);  // a Process is its own pin's: it relates nothing
    }
    {
        cost::Scope run(Kind::Dpc, dpc_b);
        cost::note_set(event);
    }
    { cost::Scope isr_run(Kind::Interrupt, isr); }
    cost::note_pin(pin_b);  // outside any routine: nothing
    cost::note_set(event);

    const cost::PinCost a = cost::pin_cost(pin_a);
    ASSERT_EQ(a.dpcs.size(), 1u);
    EXPECT_EQ(a.dpcs[0].figures.object, static_cast<const void*>(dpc_a));
    EXPECT_EQ(a.dpcs[0].name, "costtest::NamedRoutine");
    EXPECT_EQ(a.dpcs[0].device, static_cast<const void*>(device));  // through its pin
    EXPECT_EQ(a.dpc.calls, 1u);
    EXPECT_EQ(a.device, static_cast<const void*>(device));
    ASSERT_EQ(a.interrupts.size(), 1u);  // not the other device's
    EXPECT_EQ(a.interrupts[0].figures.object, static_cast<const void*>(isr));
    EXPECT_EQ(a.interrupt.calls, 1u);

    const cost::PinCost b = cost::pin_cost(pin_b);
    ASSERT_EQ(b.dpcs.size(), 1u);
    EXPECT_EQ(b.dpcs[0].figures.object, static_cast<const void*>(dpc_b));
    EXPECT_EQ(b.dpcs[0].name.rfind("DPC routine", 0), 0u) << b.dpcs[0].name;  // no routine known: what it is
    EXPECT_EQ(b.process.calls, 1u);

    // The other order: a setter that comes first is related when the pin's Process first waits.
    {
        cost::Scope run(Kind::Dpc, dpc_c);
        cost::note_set(event);
    }
    EXPECT_EQ(cost::pin_cost(pin_b).dpcs.size(), 2u);
    // A DPC set up again, or an event set up again, starts with no relations.
    cost::describe(Kind::Dpc, dpc_a, routine, nullptr);
    EXPECT_TRUE(cost::pin_cost(pin_a).dpcs.empty());
    cost::describe(Kind::Dpc, dpc_b, nullptr, nullptr);
    cost::describe(Kind::Dpc, dpc_c, nullptr, nullptr);
    cost::forget_event(event);
    {
        cost::Scope run(Kind::Dpc, dpc_b);
        cost::note_set(event);
    }
    EXPECT_TRUE(cost::pin_cost(pin_b).dpcs.empty());
    // The device connects its interrupt again (a restart, or a new device on a reused physical
    // device object): only the new connection is the device's.
    alignas(8) static char isr_again[8];
    cost::describe(Kind::Interrupt, isr_again, routine, device);
    const cost::PinCost again = cost::pin_cost(pin_a);
    ASSERT_EQ(again.interrupts.size(), 1u);
    EXPECT_EQ(again.interrupts[0].figures.object, static_cast<const void*>(isr_again));
    EXPECT_EQ(again.interrupt.calls, 0u);
    ASSERT_EQ(cost::pin_cost(pin_a).interrupts.size(), 1u);
    cost::reset();
}

}  // namespace
