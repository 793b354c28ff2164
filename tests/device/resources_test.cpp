// Hardware initialisation under the resource lists a PnP manager may hand over, and under every
// allocation failure: what is traced, which status comes back, and that nothing is left behind.
#include "driver/device/device.h"
#include "driver/hw/registers.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/verifier.h"
#include "tests/support/testbed_fixture.h"

#include <gtest/gtest.h>

#include <string>

using namespace qh::testing;

namespace {

qh::TestbedOptions Unstarted() {
    qh::TestbedOptions options = manual_options();
    options.start = false;
    return options;
}

const char* const kBufferNames[13] = {
    "channel0videobuf[0]", "channel0videobuf[1]", "channel0videobuf[2]", "channel1videobuf[0]", "channel1videobuf[1]",
    "channel1videobuf[2]", "channel2videobuf[0]", "channel2videobuf[1]", "channel2videobuf[2]", "channel3videobuf[0]",
    "channel3videobuf[1]", "channel3videobuf[2]", "channelallaudiobuf"};

// After a failed start: every resource field null, nothing live, and the device can still be
// removed without a leak.
void ExpectNothingHeld(qh::Testbed& bed) {
    devext* ext = device_ext(bed);
    EXPECT_EQ(ext->RegisterBase, nullptr);
    EXPECT_EQ(ext->InterruptObject, nullptr);
    EXPECT_EQ(ext->DmaAdapter, nullptr);
    EXPECT_EQ(bed.buffers_allocated(), 0);
    const auto usage = host::common_buffer_usage();
    EXPECT_EQ(usage.live_buffers, 0u);
    EXPECT_EQ(usage.live_adapters, 0u);
    EXPECT_FALSE(bed.started());
}

size_t Count(const std::vector<std::string>& lines, const std::string& prefix) {
    size_t n = 0;
    for (const auto& l : lines)
        n += l.starts_with(prefix) ? 1 : 0;
    return n;
}

}  // namespace

TEST(CommonBuffers, TheFirstBufferIsRetriedTwelveTimesASecondApart) {
    // It never comes: 12 attempts, 11 waits of a second, then the failure.
    {
        qh::Testbed bed(Unstarted());
        host::fail_common_buffer_size(0x400000);
        EXPECT_EQ(bed.start(), STATUS_MEMORY_NOT_ALLOCATED);
        EXPECT_EQ(bed.trace_count("ERROR AllocateCommonBuffer channel0videobuf[0]\n"), 12u);
        EXPECT_EQ(Count(bed.trace_lines(), "ERROR AllocateCommonBuffer"), 12u);
        std::vector<int64_t> expected = {10};
        expected.insert(expected.end(), 11, 1000);
        EXPECT_EQ(recorded_delays_ms(), expected);
        ExpectNothingHeld(bed);
        host::clear_common_buffer_failures();
        EXPECT_EQ(bed.remove(), 0u);
    }
    // It comes at the second attempt: one wait, and the start goes on.
    {
        qh::Testbed bed(Unstarted());
        host::fail_common_buffer_nth(1);
        EXPECT_EQ(bed.start(), STATUS_SUCCESS);
        EXPECT_EQ(bed.trace_count("ERROR AllocateCommonBuffer channel0videobuf[0]\n"), 1u);
        EXPECT_EQ(recorded_delays_ms()[1], 1000);
        EXPECT_EQ(bed.buffers_allocated(), 13);
    }
}

TEST(CommonBuffers, AnyLaterBufferFailsTheStartAtOnceAndWhatWasObtainedIsFreed) {
    for (int failing = 1; failing < 13; ++failing) {
        SCOPED_TRACE(kBufferNames[failing]);
        qh::Testbed bed(Unstarted());
        bed.card().set_access_log(true);
        host::fail_common_buffer_nth(uint64_t(failing) + 1);
        EXPECT_EQ(bed.start(), STATUS_MEMORY_NOT_ALLOCATED);
        const auto lines = bed.trace_lines();
        EXPECT_EQ(bed.trace_count(std::string("ERROR AllocateCommonBuffer ") + kBufferNames[failing] + "\n"), 1u);
        EXPECT_EQ(Count(lines, "ERROR AllocateCommonBuffer"), 1u);
        EXPECT_EQ(Count(lines, "ADV7611"), 0u) << "no receiver is touched after a failed start";
        EXPECT_EQ(recorded_delays_ms(), (std::vector<int64_t>{10})) << "no retry";
        EXPECT_EQ(host::common_buffer_usage().allocations, uint64_t(failing));
        ExpectNothingHeld(bed);
        EXPECT_FALSE(bed.card().interrupt_enabled());
        EXPECT_EQ(bed.remove(), 0u);
    }
}

TEST(CommonBuffers, NoDmaAdapterFailsTheStartBeforeAnyBufferAndReleasesTheRest) {
    qh::Testbed bed(Unstarted());
    bed.card().set_access_log(true);
    host::fail_next_dma_adapter();
    EXPECT_EQ(bed.start(), STATUS_ADAPTER_HARDWARE_ERROR);
    const auto lines = bed.trace_lines();
    EXPECT_EQ(bed.trace_count("calling IoGetDmaAdapter()\n"), 1u);
    EXPECT_EQ(bed.trace_count("ERROR IoGetDmaAdapter\n"), 1u);
    EXPECT_EQ(Count(lines, "ERROR AllocateCommonBuffer"), 0u);
    EXPECT_EQ(Count(lines, "ADV7611"), 0u);
    EXPECT_EQ(host::common_buffer_usage().allocations, 0u);
    // The window and the interrupt obtained before the failure are given back.
    ExpectNothingHeld(bed);
    EXPECT_FALSE(bed.card().interrupt_enabled());
    EXPECT_EQ(bed.remove(), 0u);
}

TEST(ResourceLists, InterruptDescriptorsOfEveryKindConnect) {
    struct Case {
        const char* name;
        sim::InterruptMode mode;
        bool shared, latched;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"line-based, shared", sim::InterruptMode::Level, true, false, {"intX.......\n", "IoConnectInterrupt ok\n"}},
        {"line-based, exclusive",
         sim::InterruptMode::Level,
         false,
         false,
         {"intX.......\n", "IoConnectInterrupt ok\n"}},
        {"line-based, latched", sim::InterruptMode::Level, false, true, {"intX.......\n", "IoConnectInterrupt ok\n"}},
        {"message-signalled",
         sim::InterruptMode::Message,
         false,
         true,
         {"MSI .......\n", "CM_RESOURCE_INTERRUPT_MESSAGE.Irql=7,SynchronizeIrql=7 \n", "IoConnectInterrupt ok\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qh::TestbedOptions options = Unstarted();
        options.card.interrupt_mode = c.mode;
        options.interrupt_shared = c.shared;
        options.interrupt_latched = c.latched;
        options.interrupt_level = 7;
        qh::Testbed bed(options);
        ASSERT_EQ(bed.start(), STATUS_SUCCESS);
        const auto lines = bed.trace_lines();
        const auto at = positions_in_order(lines, c.lines);
        for (size_t i = 0; i < at.size(); ++i) {
            EXPECT_GE(at[i], 0) << c.lines[i];
            if (i > 0) {
                EXPECT_EQ(at[i], at[i - 1] + 1) << c.lines[i];
            }
        }
        // The routine is live: the bring-up's I2C traffic raised interrupts that it claimed.
        EXPECT_TRUE(wait_until([&] { return bed.card().interrupt_line().claimed() > 0; }));
        EXPECT_NE(device_ext(bed)->InterruptObject, nullptr);
    }
}

// Another device on the card's line: on a shared line the driver's routine declines its
// interrupts, which its own routine then serves. A line assigned exclusively takes no other device:
// one that comes while the driver holds the line is reported, and one already there makes the
// driver's exclusive connection, and so the start, fail.
TEST(ResourceLists, AnotherDeviceOnTheLineIsServedWhenSharedAndShutOutWhenExclusive) {
    {
        qh::Testbed bed(manual_options());
        ASSERT_EQ(bed.start_status(), STATUS_SUCCESS);
        auto& line = bed.card().interrupt_line();
        ASSERT_TRUE(line.wait_quiet(kWaitMs));
        const uint64_t claimed = line.claimed();
        for (int i = 0; i < 20; ++i) {
            bed.card().inject_shared_interrupt();
            ASSERT_TRUE(line.wait_quiet(kWaitMs));
        }
        EXPECT_EQ(line.foreign_served(), 20u);
        EXPECT_FALSE(line.foreign_asserted());
        EXPECT_EQ(line.claimed(), claimed);
    }
    {
        qh::TestbedOptions options = manual_options();
        options.interrupt_shared = false;
        qh::Testbed bed(options);
        ASSERT_EQ(bed.start_status(), STATUS_SUCCESS);
        bed.card().inject_shared_interrupt();
        EXPECT_EQ(host::verifier::count_diagnostics("connected the line exclusively (ShareVector FALSE)"), 1u);
        // The compiled-in driver's routines are named by the host; the loaded image's are not.
        if (!bed.image()) {
            EXPECT_EQ(host::verifier::count_diagnostics("DeviceInterruptService"), 1u);
        }
        EXPECT_EQ(bed.card().interrupt_line().foreign_served(), 0u);
        host::verifier::clear_diagnostics();
    }
    {
        qh::TestbedOptions options = Unstarted();
        options.interrupt_shared = false;
        qh::Testbed bed(options);
        bed.card().inject_shared_interrupt();  // its device connects first, shared
        EXPECT_EQ(bed.card().interrupt_line().foreign_served(), 1u);
        EXPECT_EQ(bed.start(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(bed.trace_count("ERROR! IoConnectInterrupt failed! status = 0xc000000d\n"), 1u);
        ExpectNothingHeld(bed);
    }
}

TEST(ResourceLists, OtherDescriptorTypesAreTracedAndIgnored) {
    qh::TestbedOptions options = Unstarted();
    auto port = qh::make_descriptor(CmResourceTypePort);
    port.u.Port.Start.QuadPart = 0xE000;
    port.u.Port.Length = 0x20;
    auto dma = qh::make_descriptor(CmResourceTypeDma);
    auto priv = qh::make_descriptor(CmResourceTypeDevicePrivate);
    auto unknown = qh::make_descriptor(0x42);
    options.resources_before = {port, dma};
    options.resources_after = {priv, unknown};
    qh::Testbed bed(options);
    ASSERT_EQ(bed.start(), STATUS_SUCCESS);
    const auto lines = bed.trace_lines();
    EXPECT_EQ(positions_in_order(lines, {"1 resource lists 6 resources\n", "Port resource: Addr:E000 Length:20\n",
                                         "resource type CmResourceTypeDma\n", "memory resource: Addr:*",
                                         "intX.......\n", "resource type CmResourceTypeDevicePrivate\n",
                                         "Unsupported resource type 66\n", "exit InitializeHW (0)\n"})
                      .back() > 0,
              true)
        << bed.trace_text();
    EXPECT_EQ(bed.receivers_configured(), 4);
    EXPECT_EQ(bed.buffers_allocated(), 13);
}

TEST(ResourceLists, ExtraWindowsAndInterruptsAreTracedAndOnlyTheFirstSuitableIsUsed) {
    qh::TestbedOptions options = Unstarted();
    qh::Testbed bed(options);
    host::pnp::ResourceList list;
    // A window too short for the register map, the card's window, the card's window again, and
    // the interrupt twice.
    list.add_memory(bed.card().mmio_physical(), 0x1000);
    list.add_memory(bed.card().mmio_physical(), bed.card().mmio_length());
    list.add_memory(bed.card().mmio_physical(), bed.card().mmio_length());
    list.add_line_interrupt(5, bed.card().interrupt_vector(), 1);
    list.add_line_interrupt(5, bed.card().interrupt_vector(), 1);
    host::verifier::Capture capture;
    ASSERT_EQ(bed.start(list), STATUS_SUCCESS);
    const auto lines = bed.trace_lines();
    EXPECT_EQ(Count(lines, " Mapped "), 1u);
    EXPECT_EQ(Count(lines, " ignored: shorter than the register map"), 1u);
    EXPECT_EQ(Count(lines, " ignored: a register window is already mapped"), 1u);
    EXPECT_EQ(bed.trace_count("IoConnectInterrupt ok\n"), 1u);
    EXPECT_EQ(bed.trace_count("interrupt resource ignored: an interrupt is already connected\n"), 1u);
    EXPECT_EQ(device_ext(bed)->RegisterLength, bed.card().mmio_length());
    EXPECT_EQ(bed.receivers_configured(), 4);
    // Released once each.
    bed.stop();
    EXPECT_EQ(capture.count(), 0u) << (capture.count() ? capture.records()[0].message : "");
    EXPECT_EQ(bed.remove(), 0u);
}

TEST(ResourceLists, WithoutAUsableWindowNothingTouchesTheCardAndTheStartFails) {
    struct Case {
        const char* name;
        std::function<void(host::pnp::ResourceList&, sim::Card&)> build;
        std::string line;
    };
    const Case cases[] = {
        {"no resources at all", [](host::pnp::ResourceList&, sim::Card&) {},
         "ERROR! No allocated translated resources\n"},
        {"an interrupt only",
         [](host::pnp::ResourceList& l, sim::Card& card) { l.add_line_interrupt(5, card.interrupt_vector(), 1); },
         "ERROR! No usable register window\n"},
        {"a window shorter than the register map",
         [](host::pnp::ResourceList& l, sim::Card& card) {
             l.add_memory(card.mmio_physical(), 0xC034);
             l.add_line_interrupt(5, card.interrupt_vector(), 1);
         },
         "ERROR! No usable register window\n"},
        {"a window that cannot be mapped",
         [](host::pnp::ResourceList& l, sim::Card& card) {
             l.add_memory(0xFE000000ull, 0x10000);
             l.add_line_interrupt(5, card.interrupt_vector(), 1);
         },
         "ERROR! MmMapIoSpace failed!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qh::TestbedOptions options = Unstarted();
        options.build_resources = c.build;
        qh::Testbed bed(options);
        bed.card().set_access_log(true);
        host::verifier::Capture capture;
        EXPECT_EQ(bed.start(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(bed.trace_count(c.line), 1u) << bed.trace_text();
        EXPECT_TRUE(bed.card().access_log().empty()) << "no register of the card may be touched";
        EXPECT_EQ(capture.count(), 0u) << (capture.count() ? capture.records()[0].message : "");
        ExpectNothingHeld(bed);
        EXPECT_EQ(bed.receivers_configured(), 0);
        EXPECT_EQ(bed.remove(), 0u);
    }
}
