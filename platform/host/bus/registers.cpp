// The simulated bus's register windows: a device model's MMIO region reached only through
// READ/WRITE_REGISTER_ULONG on a window the driver mapped, and the device power handlers.
#include "platform/host/bus/bus.h"
#include "platform/host/sched/sched.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <optional>

#include "platform/host/measure/cost.h"
#include "platform/host/kernel/kernel_private.h"

namespace host {
namespace detail {
namespace {

constexpr size_t kPage = 4096;

// ---- register windows -------------------------------------------------------------------------

struct Region {
    MmioRegion* device = nullptr;
    uint32_t length = 0;
    uint64_t physical = 0;
    bool registered = true;
    host::sched::Mutex lock;  // the device model is not thread-safe by itself: one access at a time
};

// A live mapping. Slots are published with a release store of `state` and looked up without a
// lock: register accesses come thousands of times a second from several threads.
struct Slot {
    std::atomic<int> state{0};  // 0 free, 1 live
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> length{0};
    std::atomic<Region*> region{nullptr};
    std::atomic<uint32_t> offset{0};  // of the mapping inside the region
    std::atomic<bool> read_only{false};
};

struct Unmapped {
    uintptr_t base;
    size_t length;
};

struct Bus {
    host::sched::Mutex lock;
    std::map<uint64_t, Region*> regions;  // by physical address; entries are never freed
    uint64_t next_physical = 0xF0000000;
    std::array<Slot, 32> slots;
    std::vector<Unmapped> unmapped;  // address space stays reserved, so it is never reused
    std::vector<Region*> retired;    // unregistered regions, kept: a racing access may still hold one
};

Bus& bus() {
    static auto* b = new Bus;
    return *b;
}

Slot* find_slot(uintptr_t address) {
    for (Slot& s : bus().slots) {
        if (s.state.load(std::memory_order_acquire) != 1) continue;
        uintptr_t base = s.base.load(std::memory_order_relaxed);
        if (address >= base && address - base < s.length.load(std::memory_order_relaxed)) return &s;
    }
    return nullptr;
}

// Locates the register for an access; raises the named failure and returns nullptr otherwise.
Slot* access_slot(volatile ULONG* reg, const char* service, uint32_t& offset) {
    auto address = reinterpret_cast<uintptr_t>(reg);
    Slot* s = find_slot(address);
    if (!s) {
        std::string why = "outside any mapped register window";
        {
            Bus& b = bus();
            std::lock_guard<host::sched::Mutex> guard(b.lock);
            for (auto& u : b.unmapped)
                if (address >= u.base && address - u.base < u.length)
                    why = "in register window " + ptr(reinterpret_cast<void*>(u.base)) + " after MmUnmapIoSpace";
        }
        verifier::bugcheck(verifier::kPageFaultInNonPagedArea,
                           std::string(service) + " at " + ptr(const_cast<ULONG*>(reg)) + ": register access " + why);
        return nullptr;
    }
    uintptr_t base = s->base.load(std::memory_order_relaxed);
    size_t length = s->length.load(std::memory_order_relaxed);
    if (address & 3) {
        verifier::bugcheck(verifier::kPageFaultInNonPagedArea,
                           std::string(service) + " at " + ptr(const_cast<ULONG*>(reg)) +
                               ": misaligned register access (offset " + trace_hex(address - base) + ")");
        return nullptr;
    }
    if (address - base + 4 > length) {
        verifier::bugcheck(verifier::kPageFaultInNonPagedArea,
                           std::string(service) + " at " + ptr(const_cast<ULONG*>(reg)) +
                               ": register access outside a mapped window (offset " + trace_hex(address - base) +
                               ", window of " + std::to_string(length) + " bytes)");
        return nullptr;
    }
    offset = static_cast<uint32_t>(address - base) + s->offset.load(std::memory_order_relaxed);
    return s;
}

}  // namespace
}  // namespace detail

using namespace detail;

uint64_t register_mmio(MmioRegion* region, uint32_t length) {
    Bus& b = bus();
    std::lock_guard<host::sched::Mutex> guard(b.lock);
    auto* r = new Region;
    r->device = region;
    r->length = length;
    r->physical = b.next_physical;
    uint64_t span = (static_cast<uint64_t>(length) + 0xFFFFF) & ~uint64_t{0xFFFFF};
    b.next_physical += span ? span : 0x100000;
    b.regions.emplace(r->physical, r);
    return r->physical;
}

void unregister_mmio(uint64_t physical_address) {
    Bus& b = bus();
    std::lock_guard<host::sched::Mutex> guard(b.lock);
    auto it = b.regions.find(physical_address);
    if (it == b.regions.end()) return;
    Region* r = it->second;
    for (Slot& s : b.slots) {
        if (s.state.load() == 1 && s.region.load() == r) {
            verifier::diagnostic("register window " + ptr(reinterpret_cast<void*>(s.base.load())) +
                                 " still mapped when its device left the bus");
            s.state.store(0, std::memory_order_release);
            b.unmapped.push_back(Unmapped{s.base.load(), s.length.load()});
        }
    }
    std::lock_guard<host::sched::Mutex> device(r->lock);  // wait for an access in progress
    r->registered = false;
    b.regions.erase(it);
    b.retired.push_back(r);
}
}  // namespace host

using namespace host;
using namespace host::detail;

// ---- register window ---------------------------------------------------------------------------

namespace {

PVOID map_window(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, bool read_only) {
    if (NumberOfBytes == 0) return nullptr;
    auto physical = static_cast<uint64_t>(PhysicalAddress.QuadPart);
    Bus& b = bus();
    std::lock_guard<host::sched::Mutex> guard(b.lock);
    auto it = b.regions.upper_bound(physical);
    if (it == b.regions.begin()) return nullptr;
    Region* r = std::prev(it)->second;
    if (physical - r->physical + NumberOfBytes > r->length) return nullptr;
    Slot* slot = nullptr;
    for (Slot& s : b.slots)
        if (s.state.load() == 0 && !slot) slot = &s;
    if (!slot) return nullptr;
    size_t span = (NumberOfBytes + kPage - 1) / kPage * kPage;
    // Address space with no access rights: a plain dereference faults, only the accessors reach
    // the device.
    void* base = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    slot->base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_relaxed);
    slot->length.store(NumberOfBytes, std::memory_order_relaxed);
    slot->region.store(r, std::memory_order_relaxed);
    slot->offset.store(static_cast<uint32_t>(physical - r->physical), std::memory_order_relaxed);
    slot->read_only.store(read_only, std::memory_order_relaxed);
    slot->state.store(1, std::memory_order_release);
    return base;
}

}  // namespace

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
    (void)CacheType;
    if (!check_irql("MmMapIoSpace", DISPATCH_LEVEL)) return nullptr;
    return map_window(PhysicalAddress, NumberOfBytes, false);
}

PVOID MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, ULONG Protect) {
    if (!check_irql("MmMapIoSpaceEx", DISPATCH_LEVEL)) return nullptr;
    constexpr ULONG kExecute = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (Protect & kExecute) {
        // Driver Verifier's code-integrity check (0xC4, 0x2001); memory integrity refuses the mapping.
        verifier::bugcheck(verifier::kDriverVerifierViolation,
                           "MmMapIoSpaceEx with executable page protection " + trace_hex(Protect) +
                               " (code integrity: device memory is never executable)");
        return nullptr;
    }
    const ULONG base = Protect & 0xFF;
    const ULONG caching = Protect & ~0xFFu;
    // Exactly one of the two protections that make sense for device memory, and at most one
    // caching modifier: anything else is an invalid parameter and the mapping fails.
    if ((base != PAGE_READWRITE && base != PAGE_READONLY) ||
        (caching != 0 && caching != PAGE_NOCACHE && caching != PAGE_WRITECOMBINE))
        return nullptr;
    return map_window(PhysicalAddress, NumberOfBytes, base == PAGE_READONLY);
}

void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    // Documented up to DISPATCH_LEVEL, but Driver Verifier flags it above APC_LEVEL.
    if (!check_irql("MmUnmapIoSpace", APC_LEVEL)) return;
    Bus& b = bus();
    std::unique_lock<host::sched::Mutex> guard(b.lock);
    for (Slot& s : b.slots) {
        if (s.state.load() != 1 || s.base.load() != reinterpret_cast<uintptr_t>(BaseAddress)) continue;
        if (s.length.load() != NumberOfBytes) {
            std::string msg = "MmUnmapIoSpace of " + ptr(BaseAddress) + " with length " +
                              std::to_string(NumberOfBytes) + "; it was mapped with length " +
                              std::to_string(s.length.load());
            guard.unlock();
            verifier::bugcheck(verifier::kDriverVerifierViolation, msg);
            return;
        }
        s.state.store(0, std::memory_order_release);
        b.unmapped.push_back(Unmapped{s.base.load(), s.length.load()});
        return;
    }
    guard.unlock();
    verifier::bugcheck(verifier::kDriverVerifierViolation,
                       "MmUnmapIoSpace of " + ptr(BaseAddress) + ", which is not a mapped register window");
}

namespace host {
bool is_register_address(const void* address) {
    return detail::find_slot(reinterpret_cast<uintptr_t>(address)) != nullptr;
}
}  // namespace host

ULONG READ_REGISTER_ULONG(volatile ULONG* Register) {
    uint32_t offset = 0;
    Slot* s = access_slot(Register, "READ_REGISTER_ULONG", offset);
    if (!s) return 0;
    Region* r = s->region.load(std::memory_order_relaxed);
    full_barrier();
    ULONG value = 0;
    host::sched::point("register read");
    {
        std::lock_guard<host::sched::Mutex> guard(r->lock);
        std::optional<cost::Scope> measured;
        if (cost::measuring()) measured.emplace(cost::Kind::Device, r->device);
        if (r->registered) value = r->device->read32(offset);
    }
    full_barrier();
    return value;
}

void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) {
    uint32_t offset = 0;
    Slot* s = access_slot(Register, "WRITE_REGISTER_ULONG", offset);
    if (!s) return;
    if (s->read_only.load(std::memory_order_relaxed)) {
        verifier::bugcheck(
            verifier::kAttemptedWriteToReadonlyMemory,
            "WRITE_REGISTER_ULONG at " + ptr(const_cast<ULONG*>(Register)) + ": the window was mapped PAGE_READONLY");
        return;
    }
    Region* r = s->region.load(std::memory_order_relaxed);
    full_barrier();
    host::sched::point("register write");
    {
        std::lock_guard<host::sched::Mutex> guard(r->lock);
        std::optional<cost::Scope> measured;
        if (cost::measuring()) measured.emplace(cost::Kind::Device, r->device);
        if (r->registered) r->device->write32(offset, Value);
    }
    full_barrier();
}
