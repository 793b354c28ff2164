// Host kernel: pages for pool blocks and common buffers taken straight from the system, so that
// freed ones can be made inaccessible as Driver Verifier's special pool does: a CPU read or
// write of freed memory faults at once, whatever its size, and the fault is named.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/host/diag/guarded.h"
#include "platform/host/sched/sched.h"
#include "platform/host/kernel/kernel_private.h"

namespace host {
namespace detail {
namespace {

// Freed ranges, looked up by the fault handler without locks. A slot is in use while `begin`
// is not zero; `end`, `what` and `code` are written before `begin` is published.
struct FreedRange {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<const char*> what{nullptr};
    std::atomic<uint32_t> code{0};
};
constexpr size_t kFreedSlots = 1024;
std::array<FreedRange, kFreedSlots>& freed_ranges() {
    static auto* r = new std::array<FreedRange, kFreedSlots>;
    return *r;
}
host::sched::Mutex g_slots_lock;  // writers only

// Guard pages after live pool blocks, found by the fault handler without locks: an open-addressed
// table keyed by page address. A slot is empty (0, ends a probe), a tombstone (1, a guard page
// forgotten; a probe goes on past it) or a page with its block. A full table only loses the name
// of a later fault, never the fault.
struct GuardSlot {
    std::atomic<uintptr_t> page{0};
    std::atomic<uintptr_t> block{0};
};
constexpr size_t kGuardSlots = size_t(1) << 16;
constexpr uintptr_t kTombstone = 1;
std::array<GuardSlot, kGuardSlots>& guard_slots() {
    static auto* g = new std::array<GuardSlot, kGuardSlots>;
    return *g;
}
size_t guard_hash(uintptr_t page) { return static_cast<size_t>((page >> 12) * 0x9E3779B97F4A7C15ull >> 48); }

[[noreturn]] void stop_at(uint32_t code, uintptr_t address, const char* text_after) {
    char text[256];
    const int n = std::snprintf(text, sizeof text, "*** STOP 0x%08X (%s): CPU access at 0x%016llX, %s\n", code,
                                verifier::code_name(code), static_cast<unsigned long long>(address), text_after);
    if (n > 0) (void)!write(STDERR_FILENO, text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
    verifier::end_controlled_run_at_stop(code);
    std::signal(SIGABRT, SIG_DFL);
    std::abort();
}

struct sigaction g_previous {};

[[maybe_unused]] void on_fault(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (auto& slot : freed_ranges()) {
        const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
        if (begin == 0 || address < begin || address >= slot.end.load(std::memory_order_relaxed)) continue;
        const uint32_t code = slot.code.load(std::memory_order_relaxed);
        char text[256];
        const int n = std::snprintf(
            text, sizeof text, "*** STOP 0x%08X (%s): CPU access at 0x%016llX, %llu bytes into %s 0x%016llX\n", code,
            verifier::code_name(code), static_cast<unsigned long long>(address),
            static_cast<unsigned long long>(address - begin), slot.what.load(), static_cast<unsigned long long>(begin));
        if (n > 0) (void)!write(STDERR_FILENO, text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
        verifier::end_controlled_run_at_stop(code);
        std::signal(SIGABRT, SIG_DFL);
        std::abort();
    }
    const uintptr_t page = address & ~uintptr_t(4095);
    auto& guards = guard_slots();
    for (size_t i = 0, at = guard_hash(page); i < kGuardSlots; ++i, at = (at + 1) % kGuardSlots) {
        const uintptr_t p = guards[at].page.load(std::memory_order_acquire);
        if (p == 0) break;
        if (p != page) continue;
        const uintptr_t block = guards[at].block.load(std::memory_order_relaxed);
        char what[160];
        std::snprintf(what, sizeof what, "%llu bytes past the page that ends pool block 0x%016llX (special pool)",
                      static_cast<unsigned long long>(address - page), static_cast<unsigned long long>(block));
        stop_at(verifier::kPageFaultBeyondEndOfAllocation, address, what);
    }
    // Not freed memory: whatever handled the fault before.
    guarded::chain_fault(g_previous, signal, info, context);
}

void install_fault_handler() {
    // AddressSanitizer reports the fault itself (an access to an unknown address); its handler
    // is left alone.
#if !defined(__SANITIZE_ADDRESS__)
    static std::once_flag once;
    std::call_once(once, [] { guarded::install_fault_handler(on_fault, g_previous); });
#endif
}

}  // namespace

void* map_pages(size_t bytes) {
    install_fault_handler();
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void protect_pages(void* p, size_t bytes) { mprotect(p, bytes, PROT_NONE); }

void guard_page_after(void* page, const void* block) {
    const auto key = reinterpret_cast<uintptr_t>(page);
    std::lock_guard<host::sched::Mutex> guard(g_slots_lock);
    auto& guards = guard_slots();
    for (size_t i = 0, at = guard_hash(key); i < kGuardSlots; ++i, at = (at + 1) % kGuardSlots) {
        const uintptr_t p = guards[at].page.load(std::memory_order_relaxed);
        if (p != 0 && p != kTombstone) continue;
        guards[at].block.store(reinterpret_cast<uintptr_t>(block), std::memory_order_relaxed);
        guards[at].page.store(key, std::memory_order_release);
        return;
    }
}

void forget_guard_page(void* page) {
    const auto key = reinterpret_cast<uintptr_t>(page);
    std::lock_guard<host::sched::Mutex> guard(g_slots_lock);
    auto& guards = guard_slots();
    for (size_t i = 0, at = guard_hash(key); i < kGuardSlots; ++i, at = (at + 1) % kGuardSlots) {
        const uintptr_t p = guards[at].page.load(std::memory_order_relaxed);
        if (p == 0) return;
        if (p != key) continue;
        guards[at].page.store(kTombstone, std::memory_order_release);
        return;
    }
}

void protect_freed(void* p, size_t bytes, const char* what, uint32_t code) {
    // The contents go back to the system; only the address range stays reserved.
    madvise(p, bytes, MADV_DONTNEED);
    mprotect(p, bytes, PROT_NONE);
    std::lock_guard<host::sched::Mutex> guard(g_slots_lock);
    for (auto& slot : freed_ranges()) {
        if (slot.begin.load(std::memory_order_relaxed) != 0) continue;
        slot.end.store(reinterpret_cast<uintptr_t>(p) + bytes, std::memory_order_relaxed);
        slot.what.store(what, std::memory_order_relaxed);
        slot.code.store(code, std::memory_order_relaxed);
        slot.begin.store(reinterpret_cast<uintptr_t>(p), std::memory_order_release);
        return;
    }
}

void unmap_pages(void* p, size_t bytes) {
    {
        std::lock_guard<host::sched::Mutex> guard(g_slots_lock);
        for (auto& slot : freed_ranges()) {
            if (slot.begin.load(std::memory_order_relaxed) == reinterpret_cast<uintptr_t>(p)) {
                slot.begin.store(0, std::memory_order_release);
                break;
            }
        }
    }
    munmap(p, bytes);
}

}  // namespace detail
}  // namespace host
