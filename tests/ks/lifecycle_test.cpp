// Driver load, device add/start/stop/power/remove, object bags and the resource-list builder.
#include "tests/ks/minidriver.h"

#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/verifier.h"

#include <gtest/gtest.h>

using namespace ksmini;
using StrVec = std::vector<std::string>;

TEST(KsLifecycle, DeviceWalksAddStartPowerStopRemoveAndTheBagFreesTheContext) {
    Bed bed(false);
    ASSERT_TRUE(bed.device);
    PKSDEVICE dev = bed.device->ksdevice();
    ASSERT_NE(dev->Context, nullptr);
    EXPECT_TRUE(host::ks::bag_contains(dev->Bag, dev->Context));
    EXPECT_EQ(dev->PhysicalDeviceObject->HostId, 7u);
    EXPECT_EQ(KsGetDevice(dev), dev);
    EXPECT_EQ(host::pool_usage().live_blocks, 1u);

    // A filter cannot be opened before the device is started.
    std::unique_ptr<qh::client::Filter> filter;
    EXPECT_EQ(bed.client->open_filter(0, filter), STATUS_DEVICE_NOT_READY);
    EXPECT_FALSE(filter);

    host::pnp::ResourceList resources;
    resources.add_memory(0xF0000000, 0x10000).add_port(0x300, 8).add_line_interrupt(5, 0x50, 1);
    ASSERT_EQ(bed.device->start(&resources, &resources), STATUS_SUCCESS);
    EXPECT_TRUE(dev->Started);
    bed.device->set_power(PowerDeviceD3);
    bed.device->set_power(PowerDeviceD0);
    ASSERT_EQ(bed.client->open_filter(0, filter), STATUS_SUCCESS);
    filter.reset();  // closes it
    bed.device->stop();
    EXPECT_FALSE(dev->Started);
    EXPECT_EQ(bed.client->open_filter(0, filter), STATUS_DEVICE_NOT_READY);

    EXPECT_EQ(state().take(),
              (StrVec{"Add", "Start:1:3", "Power:1->4", "Power:4->1", "FilterCreate", "FilterClose", "Stop"}));
    bed.client.reset();
    EXPECT_EQ(bed.device->remove(), 0u);  // the bag freed the context: no leak
    EXPECT_EQ(state().take(), (StrVec{"Remove"}));
    EXPECT_EQ(host::pool_usage().live_blocks, 0u);
    EXPECT_TRUE(state().context_ok);
}

TEST(KsLifecycle, FailedStartIsNotFollowedByStopAndRemoveStopsAStartedDevice) {
    {
        Bed bed(false);
        state().fail_start = true;
        host::pnp::ResourceList resources;  // no resources: the driver receives NULL lists
        EXPECT_EQ(bed.device->start(&resources, &resources), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(bed.device->ksdevice()->Started);
        bed.client.reset();
        bed.device->remove();
        EXPECT_EQ(state().take(), (StrVec{"Add", "Start:0:0", "Remove"}));
    }
    {
        Bed bed(true);
        std::unique_ptr<qh::client::Filter> filter;
        ASSERT_EQ(bed.client->open_filter(0, filter), STATUS_SUCCESS);
        bed.client.reset();
        // Removing a started device with a filter open: the filter goes, then Stop, then Remove.
        bed.device->remove();
        EXPECT_EQ(state().take(), (StrVec{"Add", "Start:1:2", "FilterCreate", "FilterClose", "Stop", "Remove"}));
        filter.reset();
    }
}

TEST(KsLifecycle, BagFailureMakesAddFailWithTheBagStatusAndLeaksNothing) {
    reset_state();
    host::reset();
    std::shared_ptr<host::pnp::Driver> driver;
    ASSERT_EQ(host::pnp::Driver::load(Entry, driver), STATUS_SUCCESS);
    host::ks::fail_bag_additions(0, 1);
    std::unique_ptr<host::pnp::Device> device;
    EXPECT_EQ(host::pnp::Device::add(driver, nullptr, 0, device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(device);
    EXPECT_EQ(host::pool_usage().live_blocks, 0u);
    // The knob was one-shot.
    EXPECT_EQ(host::pnp::Device::add(driver, nullptr, 0, device), STATUS_SUCCESS);
    EXPECT_EQ(device->remove(), 0u);
}

TEST(KsLifecycle, ResourceListsLayOutSeveralFullAndPartialDescriptors) {
    host::pnp::ResourceList empty;
    EXPECT_EQ(empty.get(), nullptr);

    host::pnp::ResourceList list;
    list.add_memory(0xFEDC0000, 0x10000)
        .add_message_interrupt(7, 0x61, 0x3)
        .add_dma(2, 4)
        .add_device_private(1, 2, 3)
        .add_unknown(0x42)
        .begin_full(PCIBus, 3)
        .add_line_interrupt(9, 0x70, 0xF, false, true)
        .add_memory(0x1000, 0x100);
    PCM_RESOURCE_LIST r = list.get();
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->Count, 2u);
    const CM_FULL_RESOURCE_DESCRIPTOR& first = r->List[0];
    ASSERT_EQ(first.PartialResourceList.Count, 5u);
    const CM_PARTIAL_RESOURCE_DESCRIPTOR* d = first.PartialResourceList.PartialDescriptors;
    EXPECT_EQ(d[0].Type, CmResourceTypeMemory);
    EXPECT_EQ(d[0].u.Memory.Start.QuadPart, 0xFEDC0000LL);
    EXPECT_EQ(d[0].u.Memory.Length, 0x10000u);
    EXPECT_EQ(d[1].Type, CmResourceTypeInterrupt);
    EXPECT_EQ(d[1].Flags & CM_RESOURCE_INTERRUPT_MESSAGE, CM_RESOURCE_INTERRUPT_MESSAGE);
    EXPECT_EQ(d[1].u.MessageInterrupt.Translated.Vector, 0x61u);
    EXPECT_EQ(d[1].u.MessageInterrupt.Translated.Level, 7u);
    EXPECT_EQ(d[2].Type, CmResourceTypeDma);
    EXPECT_EQ(d[3].Type, CmResourceTypeDevicePrivate);
    EXPECT_EQ(d[3].u.DevicePrivate.Data[2], 3u);
    EXPECT_EQ(d[4].Type, 0x42);
    // The second full descriptor starts right after the fifth partial one.
    const auto* second = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(d + 5);
    EXPECT_EQ(second->BusNumber, 3u);
    ASSERT_EQ(second->PartialResourceList.Count, 2u);
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& line = second->PartialResourceList.PartialDescriptors[0];
    EXPECT_EQ(line.Flags, CM_RESOURCE_INTERRUPT_LATCHED);
    EXPECT_EQ(line.ShareDisposition, CmResourceShareDeviceExclusive);
    KAFFINITY affinity;  // the packed layout leaves the 64-bit field 4-byte aligned
    std::memcpy(&affinity, &line.u.Interrupt.Affinity, sizeof affinity);
    EXPECT_EQ(affinity, KAFFINITY(0xF));
    EXPECT_EQ(second->PartialResourceList.PartialDescriptors[1].u.Memory.Start.QuadPart, 0x1000LL);
    EXPECT_LE(reinterpret_cast<const char*>(second->PartialResourceList.PartialDescriptors + 2),
              reinterpret_cast<const char*>(r) + list.byte_size());
}

TEST(KsLifecycle, KsEditCopiesOnceIntoTheBagAndTheCopiesGoWithTheBag) {
    Bed bed;
    PKSDEVICE dev = bed.device->ksdevice();
    static const ULONG original[4] = {1, 2, 3, 4};
    const ULONG* item = original;
    size_t before = host::pool_usage().live_blocks;
    ASSERT_EQ(_KsEdit(dev->Bag, (PVOID*)&item, sizeof original, sizeof original, 0x41424344), STATUS_SUCCESS);
    EXPECT_NE(item, original);
    EXPECT_EQ(std::memcmp(item, original, sizeof original), 0);
    const ULONG* first_copy = item;
    // Already private and not growing: nothing new.
    ASSERT_EQ(_KsEdit(dev->Bag, (PVOID*)&item, sizeof original, sizeof original, 0x41424344), STATUS_SUCCESS);
    EXPECT_EQ(item, first_copy);
    EXPECT_EQ(host::pool_usage().live_blocks, before + 1);
    // Growing: a new copy replaces the old one in the bag; the extra is zeroed.
    ASSERT_EQ(_KsEdit(dev->Bag, (PVOID*)&item, 2 * sizeof original, sizeof original, 0x41424344), STATUS_SUCCESS);
    EXPECT_NE(item, first_copy);
    EXPECT_EQ(item[3], 4u);
    EXPECT_EQ(item[7], 0u);
    EXPECT_FALSE(host::ks::bag_contains(dev->Bag, first_copy));
    EXPECT_EQ(host::pool_usage().live_blocks, before + 1);
    // A failing bag leaves the pointer alone and frees the copy.
    const ULONG* other = original;
    host::ks::fail_bag_additions(0, 1);
    EXPECT_EQ(_KsEdit(dev->Bag, (PVOID*)&other, sizeof original, sizeof original, 0x41424344),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(other, original);
    EXPECT_EQ(host::pool_usage().live_blocks, before + 1);
    bed.client.reset();
    EXPECT_EQ(bed.device->remove(), 0u);
}
