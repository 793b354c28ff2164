// The DMA adapter of the tests below the driver: what a bus-master PCI card is given, described
// as the driver describes its card unless a test asks for other capabilities. Putting the
// adapter back is left to the test (several check what happens around PutDmaAdapter).
#pragma once

#include "platform/host/kernel/kernel.h"

namespace qh::testing {

struct DmaAdapter {
    explicit DmaAdapter(bool master = true, bool dma32 = true, bool dma64 = false) {
        DEVICE_DESCRIPTION description{};
        description.Version = DEVICE_DESCRIPTION_VERSION;
        description.Master = master;
        description.Dma32BitAddresses = dma32;
        description.Dma64BitAddresses = dma64;
        description.InterfaceType = PCIBus;
        description.MaximumLength = 0x400000;  // one video buffer
        adapter = IoGetDmaAdapter(&pdo, &description, &map_registers);
    }
    DmaAdapter(const DmaAdapter&) = delete;
    DmaAdapter& operator=(const DmaAdapter&) = delete;

    PVOID alloc(ULONG length, PHYSICAL_ADDRESS* bus, BOOLEAN cached = FALSE) {
        return adapter->DmaOperations->AllocateCommonBuffer(adapter, length, bus, cached);
    }
    void free(ULONG length, PHYSICAL_ADDRESS bus, PVOID va, BOOLEAN cached = FALSE) {
        adapter->DmaOperations->FreeCommonBuffer(adapter, length, bus, va, cached);
    }
    void put() { adapter->DmaOperations->PutDmaAdapter(adapter); }

    DEVICE_OBJECT pdo{};  // the adapter keeps it: it outlives the adapter
    ULONG map_registers = 0;
    PDMA_ADAPTER adapter = nullptr;
};

}  // namespace qh::testing
