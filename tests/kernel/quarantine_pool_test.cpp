// Memory as Driver Verifier's special pool sees it: freed pool blocks and common buffers fault
// at the first CPU access, whatever their size; small blocks never cross a page; the DMA adapter
// places buffers where the device description says the device can reach.
#include "kernel_fixture.h"

#include <fstream>
#include <string>

namespace {

constexpr ULONG kTag = (ULONG('M') << 24) | (ULONG('V') << 16) | (ULONG('C') << 8) | ULONG('D');
constexpr uint64_t k4GiB = uint64_t(1) << 32;

// AddressSanitizer reports the fault itself; elsewhere the host names it.
#if defined(__SANITIZE_ADDRESS__)
constexpr const char* kFreedPoolFault = "SEGV";
constexpr const char* kFreedBufferFault = "SEGV";
constexpr const char* kBeyondPoolBlockFault = "SEGV";
#else
constexpr const char* kBeyondPoolBlockFault =
    "STOP 0x000000D6 \\(DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION\\).*past the page that ends pool block";
constexpr const char* kFreedPoolFault =
    "STOP 0x000000D5 \\(DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL\\).*freed pool block";
constexpr const char* kFreedBufferFault = "STOP 0x00000050 \\(PAGE_FAULT_IN_NONPAGED_AREA\\).*freed common buffer";
#endif

size_t MappingCount() {
    std::ifstream maps("/proc/self/maps");
    size_t n = 0;
    for (std::string line; std::getline(maps, line);)
        ++n;
    return n;
}

TEST_F(KernelTest, FreedPoolAndCommonBuffersFaultAtTheFirstAccessWhateverTheirSize) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (size_t size : {size_t(8), size_t(200), size_t(5000)}) {
        SCOPED_TRACE(size);
        auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag));
        ASSERT_NE(block, nullptr);
        block[0] = 1;
        ExFreePool(const_cast<unsigned char*>(block));
        EXPECT_DEATH({ (void)block[size / 2]; }, kFreedPoolFault);
        EXPECT_DEATH({ block[0] = 2; }, kFreedPoolFault);
    }

    DmaAdapter dma;
    PDMA_ADAPTER adapter = dma.adapter;
    ASSERT_NE(adapter, nullptr);
    for (ULONG length : {ULONG(64), ULONG(0x1E000)}) {
        SCOPED_TRACE(length);
        PHYSICAL_ADDRESS bus{};
        auto* va = static_cast<volatile unsigned char*>(
            adapter->DmaOperations->AllocateCommonBuffer(adapter, length, &bus, TRUE));
        ASSERT_NE(va, nullptr);
        va[length - 1] = 1;
        adapter->DmaOperations->FreeCommonBuffer(adapter, length, bus, const_cast<unsigned char*>(va), TRUE);
        EXPECT_DEATH({ (void)va[length - 1]; }, kFreedBufferFault);
        EXPECT_DEATH({ va[0] = 2; }, kFreedBufferFault);
    }
    adapter->DmaOperations->PutDmaAdapter(adapter);
}

TEST_F(KernelTest, SmallPoolBlocksNeverCrossAPageAndTheQuarantineIsBounded) {
    for (size_t size : {size_t(1), size_t(16), size_t(40), size_t(1000), size_t(4000), size_t(4095)}) {
        auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag));
        ASSERT_NE(p, nullptr);
        const auto at = reinterpret_cast<uintptr_t>(p);
        EXPECT_EQ(at % 16, 0u) << size;
        EXPECT_LE(at % 4096 + size, 4096u) << size << " bytes cross a page";
        std::memset(p, 0x11, size);  // the whole block is usable
        ExFreePool(p);
    }
    // Freed blocks are kept inaccessible for a while, not for ever.
    const size_t before = MappingCount();
    for (int i = 0; i < 3000; ++i)
        ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag));
    EXPECT_LT(MappingCount(), before + 1500);
    EXPECT_EQ(host::pool_usage().live_blocks, 0u);
}

TEST_F(KernelTest, SmallPoolBlocksEndAtTheirPageEndSoAnOverrunFaultsAtOnceAndTheSlackIsCheckedAtFree) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (size_t size : {size_t(1), size_t(40), size_t(64), size_t(1000), size_t(4000), size_t(4095)}) {
        SCOPED_TRACE(size);
        auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag));
        ASSERT_NE(block, nullptr);
        const auto at = reinterpret_cast<uintptr_t>(block);
        const uintptr_t page_end = (at | 4095) + 1;
        EXPECT_EQ(at % 16, 0u);
        EXPECT_LT(page_end - (at + size), 16u) << "more slack than the alignment needs";
        block[size - 1] = 1;
        // The byte after the page is not there: reading or writing it faults at once.
        const size_t past = page_end - at;
        EXPECT_DEATH({ (void)block[past]; }, kBeyondPoolBlockFault);
        EXPECT_DEATH({ block[past] = 2; }, kBeyondPoolBlockFault);
        ExFreePool(const_cast<unsigned char*>(block));
    }

    // A write into the slack, or before the block's start, is found when the block is freed.
    host::verifier::Capture capture;
    auto* odd = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag));
    ASSERT_NE(odd, nullptr);
    odd[40] = 0;
    ExFreePool(odd);
    auto* under = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag));
    ASSERT_NE(under, nullptr);
    under[-1] = 0;
    ExFreePool(under);
    ASSERT_EQ(capture.count(), 2u);
    EXPECT_EQ(capture.count_containing("written past its end at offset 40 (pool overrun)"), 1u);
    EXPECT_EQ(capture.count_containing("written before its start at offset -1 (pool underrun)"), 1u);

    // A block of a page or more starts its pages, as Windows aligns it.
    auto* large = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 5000, kTag));
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(large) % 4096, 0u);
    ExFreePool(large);
    EXPECT_EQ(host::pool_usage().live_blocks, 0u);
}

TEST_F(KernelTest, DmaAdapterPlacesBuffersWhereTheDescriptionSaysTheMasterReaches) {
    struct Case {
        bool master, dma32, dma64;
        bool granted, high;
    };
    const Case cases[] = {
        {true, true, false, true, false},  // a 32-bit bus master: below 4 GiB
        {true, false, true, true, true},   // 64-bit: above, so a card that takes 32 bits misses
        {true, true, true, true, true},     {true, false, false, false, false},  // a master with neither: refused
        {false, true, false, false, false},                                      // not a bus master: refused
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.master) + std::to_string(c.dma32) + std::to_string(c.dma64));
        DmaAdapter dma(c.master, c.dma32, c.dma64);
        PDMA_ADAPTER adapter = dma.adapter;
        ASSERT_EQ(adapter != nullptr, c.granted);
        if (!adapter) continue;
        PHYSICAL_ADDRESS bus[2]{};
        void* va[2];
        for (int i = 0; i < 2; ++i) {
            va[i] = adapter->DmaOperations->AllocateCommonBuffer(adapter, 0x400000, &bus[i], TRUE);
            ASSERT_NE(va[i], nullptr);
            const auto start = static_cast<uint64_t>(bus[i].QuadPart);
            if (c.high) {
                EXPECT_GE(start, k4GiB);
            } else {
                EXPECT_LE(start + 0x400000, k4GiB);
            }
            EXPECT_EQ(start % 4096, 0u);
        }
        for (int i = 0; i < 2; ++i)
            adapter->DmaOperations->FreeCommonBuffer(adapter, 0x400000, bus[i], va[i], TRUE);
        adapter->DmaOperations->PutDmaAdapter(adapter);
    }
    EXPECT_EQ(host::common_buffer_usage().live_adapters, 0u);
}

}  // namespace
