// Host kernel: DMA adapters, common buffers in a simulated bus space (below 4 GiB for a 32-bit
// master, above it for a 64-bit one), and the bus-master access the simulated card uses to reach
// them. A freed common buffer stays inaccessible to the CPU for a while (bounded quarantine).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <shared_mutex>
#include <unordered_map>

#include "platform/host/bus/bus.h"
#include "platform/host/kernel/kernel_private.h"

namespace host {
namespace detail {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kGuard = kPage;                    // guard area on each side of a buffer
constexpr uint64_t kBusBase = 0x10000000;           // first bus address handed out to a 32-bit master
constexpr uint64_t kBusLimit = 0x100000000ULL;      // 32-bit master: everything below 4 GiB
constexpr uint64_t kHighBusBase = 0x1000000000ULL;  // 64-bit master: 64 GiB and up
constexpr uint64_t kHighBusLimit = 0x10000000000ULL;
constexpr size_t kQuarantineBuffers = 64;
constexpr unsigned char kFreshPattern = 0xC3;
constexpr unsigned char kGuardPattern = 0xFE;

struct Adapter {
    DMA_ADAPTER adapter;  // first: the driver's pointer is this object's address
    PDEVICE_OBJECT pdo = nullptr;
    bool high = false;  // a 64-bit master: its buffers lie above 4 GiB
    bool put = false;
    bool counted = true;  // false once forgotten by a reset
    size_t live_buffers = 0;
};

struct Buffer {
    Adapter* adapter;
    uint64_t bus;
    size_t length;
    size_t span;         // whole pages
    unsigned char* raw;  // guard + span + guard
    unsigned char* va;
};

struct Dma {
    std::shared_mutex lock;              // readers: the card's transfers
    std::map<uint64_t, Buffer*> by_bus;  // live buffers
    std::unordered_map<void*, Buffer*> by_va;
    std::unordered_map<void*, Buffer*> forgotten;
    std::vector<Adapter*> adapters;  // never freed, so a use after put is still detectable
    std::deque<Buffer*> quarantine;  // freed, inaccessible, oldest first
    uint64_t next_bus = kBusBase;
    uint64_t next_high_bus = kHighBusBase;
    CommonBufferUsage usage;
    uint64_t fail_countdown = 0;
    std::vector<size_t> fail_sizes;
    bool fail_adapter = false;
};

Dma& dma() {
    static auto* d = new Dma;
    return *d;
}

DMA_OPERATIONS g_operations;  // filled once below; shared by every adapter

// Caller holds the lock exclusively. Finds a free range of `span` bytes plus a guard gap, below
// 4 GiB or (high) above it.
bool allocate_bus(Dma& d, size_t span, bool high, uint64_t& bus) {
    const uint64_t base = high ? kHighBusBase : kBusBase;
    const uint64_t limit = high ? kHighBusLimit : kBusLimit;
    uint64_t& next_bus = high ? d.next_high_bus : d.next_bus;
    auto fits = [&](uint64_t at) {
        if (at + span + kGuard > limit) return false;
        auto next = d.by_bus.lower_bound(at);
        if (next != d.by_bus.end() && next->first < at + span + kGuard) return false;
        if (next != d.by_bus.begin()) {
            auto prev = std::prev(next);
            if (prev->first + prev->second->span + kGuard > at) return false;
        }
        return true;
    };
    // Addresses are handed out upwards and not reused until the space wraps, so a card that
    // keeps writing to a freed buffer hits nothing live.
    if (fits(next_bus)) {
        bus = next_bus;
        next_bus += span + kGuard;
        return true;
    }
    uint64_t at = base;
    for (auto it = d.by_bus.lower_bound(base); it != d.by_bus.end() && it->first < limit; ++it) {
        if (fits(at)) break;
        at = it->first + it->second->span + kGuard;
    }
    if (!fits(at)) return false;
    bus = at;
    next_bus = at + span + kGuard;
    return true;
}

Adapter* live_adapter(PDMA_ADAPTER a, const char* service) {
    Dma& d = dma();
    Adapter* found = nullptr;
    {
        std::shared_lock<std::shared_mutex> guard(d.lock);
        for (Adapter* x : d.adapters)
            if (&x->adapter == a) found = x;
    }
    if (!found) {
        verifier::bugcheck(verifier::kDmaViolation, std::string(service) + " on " + ptr(a) +
                                                        ", which is not a DMA adapter" + (a ? "" : " (NULL adapter)"));
        return nullptr;
    }
    if (found->put) {
        verifier::bugcheck(verifier::kDmaViolation,
                           std::string(service) + ": adapter " + ptr(a) + " used after PutDmaAdapter");
        return nullptr;
    }
    return found;
}

void NTAPI PutAdapter(PDMA_ADAPTER DmaAdapter) {
    if (!check_irql("PutDmaAdapter", DISPATCH_LEVEL)) return;
    Adapter* a = live_adapter(DmaAdapter, "PutDmaAdapter");
    if (!a) return;
    Dma& d = dma();
    std::unique_lock<std::shared_mutex> guard(d.lock);
    if (a->live_buffers) {
        std::string msg = "PutDmaAdapter on " + ptr(DmaAdapter) + " with " + std::to_string(a->live_buffers) +
                          " common buffer(s) still allocated";
        guard.unlock();
        verifier::bugcheck(verifier::kDmaViolation, msg);
        return;
    }
    a->put = true;
    if (a->counted) --d.usage.live_adapters;
}

PVOID NTAPI AllocateCommon(PDMA_ADAPTER DmaAdapter, ULONG Length, PPHYSICAL_ADDRESS LogicalAddress,
                           BOOLEAN CacheEnabled) {
    (void)CacheEnabled;  // x64: DMA is cache-coherent
    if (!check_irql("AllocateCommonBuffer", PASSIVE_LEVEL)) return nullptr;
    Adapter* a = live_adapter(DmaAdapter, "AllocateCommonBuffer");
    if (!a || !LogicalAddress || Length == 0) return nullptr;
    Dma& d = dma();
    size_t span = (static_cast<size_t>(Length) + kPage - 1) / kPage * kPage;
    {
        std::unique_lock<std::shared_mutex> guard(d.lock);
        bool fail = false;
        for (size_t s : d.fail_sizes)
            fail |= s == Length;
        if (d.fail_countdown && --d.fail_countdown == 0) fail = true;
        if (fail) {
            ++d.usage.failures;
            return nullptr;
        }
    }
    auto* raw = static_cast<unsigned char*>(map_pages(span + 2 * kGuard));
    if (!raw) return nullptr;
    unsigned char* va = raw + kGuard;
    std::memset(raw, kGuardPattern, kGuard);
    std::memset(va, kFreshPattern, Length);
    std::memset(va + Length, kGuardPattern, span - Length + kGuard);
    auto* b = new Buffer{a, 0, Length, span, raw, va};
    std::unique_lock<std::shared_mutex> guard(d.lock);
    if (!allocate_bus(d, span, a->high, b->bus)) {
        ++d.usage.failures;
        unmap_pages(raw, span + 2 * kGuard);
        delete b;
        return nullptr;
    }
    d.by_bus.emplace(b->bus, b);
    d.by_va.emplace(va, b);
    ++a->live_buffers;
    ++d.usage.live_buffers;
    d.usage.live_bytes += Length;
    ++d.usage.allocations;
    LogicalAddress->QuadPart = static_cast<LONGLONG>(b->bus);
    return va;
}

void NTAPI FreeCommon(PDMA_ADAPTER DmaAdapter, ULONG Length, PHYSICAL_ADDRESS LogicalAddress, PVOID VirtualAddress,
                      BOOLEAN CacheEnabled) {
    (void)CacheEnabled;
    if (!check_irql("FreeCommonBuffer", PASSIVE_LEVEL)) return;
    Adapter* a = live_adapter(DmaAdapter, "FreeCommonBuffer");
    if (!a) return;
    Dma& d = dma();
    std::unique_lock<std::shared_mutex> guard(d.lock);
    auto it = d.by_va.find(VirtualAddress);
    if (it == d.by_va.end()) {
        auto f = d.forgotten.find(VirtualAddress);
        if (f != d.forgotten.end()) {  // allocated before a reset: release quietly
            unmap_pages(f->second->raw, f->second->span + 2 * kGuard);
            delete f->second;
            d.forgotten.erase(f);
            return;
        }
        guard.unlock();
        verifier::bugcheck(verifier::kDmaViolation, "FreeCommonBuffer of " + ptr(VirtualAddress) +
                                                        ": not a live common buffer (double free or bad address)");
        return;
    }
    Buffer* b = it->second;
    std::string wrong;
    if (b->adapter != a)
        wrong = "it belongs to adapter " + ptr(&b->adapter->adapter);
    else if (b->length != Length)
        wrong = "length " + std::to_string(Length) + ", allocated " + std::to_string(b->length);
    else if (static_cast<uint64_t>(LogicalAddress.QuadPart) != b->bus)
        wrong = "logical address " + trace_hex(static_cast<uint64_t>(LogicalAddress.QuadPart)) + ", allocated " +
                trace_hex(b->bus);
    if (!wrong.empty()) {
        guard.unlock();
        verifier::bugcheck(verifier::kDmaViolation, "FreeCommonBuffer of " + ptr(VirtualAddress) +
                                                        " with values not those of the allocation: " + wrong);
        return;
    }
    guard.unlock();
    if (!check_freed_range(b->va, b->length, "freed common buffer")) return;
    guard.lock();
    it = d.by_va.find(VirtualAddress);
    if (it == d.by_va.end() || it->second != b) return;  // freed concurrently
    d.by_va.erase(it);
    d.by_bus.erase(b->bus);
    --a->live_buffers;
    --d.usage.live_buffers;
    d.usage.live_bytes -= b->length;
    guard.unlock();
    std::string overrun;
    for (size_t i = 0; i < kGuard && overrun.empty(); ++i)
        if (b->raw[i] != kGuardPattern) overrun = "before its start";
    for (size_t i = b->length; i < b->span + kGuard && overrun.empty(); ++i)
        if (b->va[i] != kGuardPattern) overrun = "past its end at offset " + std::to_string(i);
    if (!overrun.empty())
        verifier::bugcheck(verifier::kDmaViolation, "common buffer " + ptr(VirtualAddress) + " (" +
                                                        std::to_string(b->length) + " bytes) was written " + overrun +
                                                        " (guard area overwritten)");
    protect_freed(b->raw, b->span + 2 * kGuard, "freed common buffer", verifier::kPageFaultInNonPagedArea);
    guard.lock();
    d.quarantine.push_back(b);
    while (d.quarantine.size() > kQuarantineBuffers) {
        Buffer* old = d.quarantine.front();
        d.quarantine.pop_front();
        unmap_pages(old->raw, old->span + 2 * kGuard);
        delete old;
    }
}

const bool g_operations_ready = [] {
    g_operations.Size = sizeof(DMA_OPERATIONS);
    g_operations.PutDmaAdapter = PutAdapter;
    g_operations.AllocateCommonBuffer = AllocateCommon;
    g_operations.FreeCommonBuffer = FreeCommon;
    return true;
}();

// The card's bus-master transfers. On real hardware the CPU's memory model does not see DMA as
// a thread's accesses: the device writes a buffer while the driver may still be reading an
// older frame from it, and the driver's design accepts that. The thread sanitizer would report
// every such overlap as a race between two threads, so in that build the device's copy is made
// by code it does not instrument (word by word, through volatile pointers so that the compiler
// cannot turn the loop back into an instrumented memcpy call).
#if defined(__SANITIZE_THREAD__)
__attribute__((no_sanitize("thread"))) void device_copy(void* destination, const void* source, size_t length) {
    auto* d = static_cast<volatile unsigned char*>(destination);
    auto* s = static_cast<const volatile unsigned char*>(source);
    size_t i = 0;
    if ((reinterpret_cast<uintptr_t>(destination) % 8) == (reinterpret_cast<uintptr_t>(source) % 8)) {
        for (; i < length && (reinterpret_cast<uintptr_t>(d + i) % 8) != 0; ++i)
            d[i] = s[i];
        auto* dw = reinterpret_cast<volatile uint64_t*>(d + i);
        auto* sw = reinterpret_cast<const volatile uint64_t*>(s + i);
        const size_t words = (length - i) / 8;
        for (size_t w = 0; w < words; ++w)
            dw[w] = sw[w];
        i += words * 8;
    }
    for (; i < length; ++i)
        d[i] = s[i];
}
#else
void device_copy(void* destination, const void* source, size_t length) { std::memcpy(destination, source, length); }
#endif

bool transfer(uint64_t bus_address, void* host, size_t length, bool to_memory) {
    Dma& d = dma();
    {
        std::shared_lock<std::shared_mutex> guard(d.lock);
        auto it = d.by_bus.upper_bound(bus_address);
        if (it != d.by_bus.begin()) {
            Buffer* b = std::prev(it)->second;
            uint64_t offset = bus_address - b->bus;
            if (offset <= b->length && length <= b->length - offset) {
                if (to_memory) {
                    device_copy(b->va + offset, host, length);
                    // Published before whatever the card does next (status bit, interrupt).
                    full_barrier();
                } else {
                    full_barrier();
                    device_copy(host, b->va + offset, length);
                }
                return true;
            }
        }
    }
    verifier::bugcheck(verifier::kDmaViolation, std::string("DMA outside common buffers: card ") +
                                                    (to_memory ? "write" : "read") + " of " + std::to_string(length) +
                                                    " bytes at bus address " + trace_hex(bus_address) +
                                                    " is not inside a live common buffer");
    return false;
}

}  // namespace

std::string trace_hex(uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(value));
    return buf;
}

void reset_dma() {
    Dma& d = dma();
    std::unique_lock<std::shared_mutex> guard(d.lock);
    for (auto& [va, b] : d.by_va)
        d.forgotten.emplace(va, b);
    d.by_va.clear();
    d.by_bus.clear();
    for (Adapter* a : d.adapters) {
        a->counted = false;
        a->live_buffers = 0;
    }
    d.usage = CommonBufferUsage{};
    d.fail_countdown = 0;
    d.fail_sizes.clear();
    d.fail_adapter = false;
}

size_t dma_leaks(std::string& report) {
    Dma& d = dma();
    std::shared_lock<std::shared_mutex> guard(d.lock);
    size_t n = 0;
    for (auto& [bus, b] : d.by_bus) {
        ++n;
        report += "common buffer: " + ptr(b->va) + " bus " + trace_hex(b->bus) + ", " + std::to_string(b->length) +
                  " bytes, adapter " + ptr(&b->adapter->adapter) + " still allocated\n";
    }
    for (Adapter* a : d.adapters) {
        if (a->counted && !a->put) {
            ++n;
            report += "DMA adapter " + ptr(&a->adapter) + " not released with PutDmaAdapter\n";
        }
    }
    return n;
}

}  // namespace detail

using namespace detail;

CommonBufferUsage common_buffer_usage() {
    Dma& d = dma();
    std::shared_lock<std::shared_mutex> guard(d.lock);
    return d.usage;
}

void fail_common_buffer_nth(uint64_t n) {
    Dma& d = dma();
    std::unique_lock<std::shared_mutex> guard(d.lock);
    d.fail_countdown = n;
}

void fail_common_buffer_size(size_t size) {
    Dma& d = dma();
    std::unique_lock<std::shared_mutex> guard(d.lock);
    d.fail_sizes.push_back(size);
}

void clear_common_buffer_failures() {
    Dma& d = dma();
    std::unique_lock<std::shared_mutex> guard(d.lock);
    d.fail_countdown = 0;
    d.fail_sizes.clear();
    d.fail_adapter = false;
}

void fail_next_dma_adapter() {
    Dma& d = dma();
    std::unique_lock<std::shared_mutex> guard(d.lock);
    d.fail_adapter = true;
}

bool dma_write(uint64_t bus_address, const void* source, size_t length) {
    return transfer(bus_address, const_cast<void*>(source), length, true);
}

bool dma_read(uint64_t bus_address, void* destination, size_t length) {
    return transfer(bus_address, destination, length, false);
}

}  // namespace host

using namespace host;
using namespace host::detail;

PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                             PULONG NumberOfMapRegisters) {
    if (!check_irql("IoGetDmaAdapter", PASSIVE_LEVEL)) return nullptr;
    if (!DeviceDescription) return nullptr;
    // Only the bus master a PCI card is gets an adapter, and its buffers follow the addresses it
    // declared: below 4 GiB for 32-bit addresses, above for 64-bit ones, so that a description
    // that does not fit the card shows. A master with neither (24-bit) is refused.
    const DEVICE_DESCRIPTION& description = *DeviceDescription;
    if (description.Version > DEVICE_DESCRIPTION_VERSION2 || !description.Master ||
        (!description.Dma32BitAddresses && !description.Dma64BitAddresses))
        return nullptr;
    {
        Dma& d = dma();
        std::unique_lock<std::shared_mutex> guard(d.lock);
        if (d.fail_adapter) {
            d.fail_adapter = false;
            return nullptr;
        }
    }
    auto* a = new Adapter;
    a->adapter.Version = 1;
    a->adapter.Size = sizeof(DMA_ADAPTER);
    a->adapter.DmaOperations = &g_operations;
    a->pdo = PhysicalDeviceObject;
    a->high = description.Dma64BitAddresses != FALSE;
    if (NumberOfMapRegisters) {
        // Enough to map a transfer of MaximumLength at any page offset, capped as Windows caps it.
        uint64_t pages = (static_cast<uint64_t>(DeviceDescription->MaximumLength) + kPage - 1) / kPage + 1;
        *NumberOfMapRegisters = static_cast<ULONG>(pages > 256 ? 256 : pages);
    }
    Dma& d = dma();
    std::unique_lock<std::shared_mutex> guard(d.lock);
    d.adapters.push_back(a);
    ++d.usage.live_adapters;
    return &a->adapter;
}
