// Per-object cost figures: a fixed open-addressed table, so a measured call takes no lock and
// allocates nothing (it runs in interrupt and DPC context). Objects are never removed; a freed
// object's address reused by a new one adds to the same slot until the next reset.
#include "platform/host/cost.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>

namespace host {
namespace cost {
namespace {

constexpr size_t kSlots = 1024;

struct Slot {
    std::atomic<uintptr_t> key{0};  // object address | kind in the low bits (objects are aligned)
    std::atomic<uint64_t> calls{0}, cpu_ns{0}, max_ns{0}, frames{0}, bytes{0};
};

std::array<Slot, kSlots>& slots() {
    static auto* table = new std::array<Slot, kSlots>;  // never destroyed: detached threads may still count
    return *table;
}

uintptr_t key_of(Kind kind, const void* object) {
    return reinterpret_cast<uintptr_t>(object) | static_cast<uintptr_t>(kind);
}

// The object's slot, claimed on first use; nullptr once the table is full (the call goes uncounted).
Slot* slot_for(Kind kind, const void* object, bool claim) {
    const uintptr_t key = key_of(kind, object);
    if (object == nullptr) return nullptr;
    size_t i = (key >> 3) * 0x9E3779B97F4A7C15ull >> 54;  // top 10 bits
    for (size_t probe = 0; probe < kSlots; ++probe, i = (i + 1) % kSlots) {
        Slot& s = slots()[i];
        uintptr_t seen = s.key.load(std::memory_order_acquire);
        if (seen == key) return &s;
        if (seen == 0) {
            if (!claim) return nullptr;
            if (s.key.compare_exchange_strong(seen, key, std::memory_order_acq_rel)) return &s;
            if (seen == key) return &s;
        }
    }
    return nullptr;
}

// CPU time of measured calls that ended on this thread, so that an enclosing call can leave it out.
thread_local uint64_t t_nested_ns = 0;
thread_local uint32_t t_depth = 0;

}  // namespace

uint64_t thread_cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

bool measuring() { return t_depth > 0; }

namespace {
// The thread's CPU clock is a system call (close to 2 us in a virtual machine), and a routine that
// polls a register makes dozens of register accesses: measured on that clock, the measurement
// would be a large part of the routine's figure. The card model's handling of one access is short
// and does not block, so its wall time is taken instead (a vDSO read, tens of nanoseconds).
uint64_t clock_for(Kind kind) {
    if (kind != Kind::Device) return thread_cpu_ns();
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}
}  // namespace

// What one measured call's own clock reads add to its figure: the interval runs from inside the
// first read to inside the second, so about one read's cost (close to 2 us in a virtual machine,
// against a few microseconds of work in an interrupt routine). Taken once, as the median of many
// back-to-back reads, and subtracted from every call measured on the thread's CPU clock.
uint64_t read_overhead_ns() {
    static const uint64_t overhead = [] {
        std::array<uint64_t, 101> d{};
        for (auto& x : d) {
            const uint64_t a = thread_cpu_ns();
            x = thread_cpu_ns() - a;
        }
        std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
        return d[d.size() / 2];
    }();
    return overhead;
}

Scope::Scope(Kind kind, const void* object)
    : kind_(kind), object_(object), start_(clock_for(kind)), nested_start_(t_nested_ns) {
    ++t_depth;
}

Scope::~Scope() {
    --t_depth;
    uint64_t total = clock_for(kind_) - start_;
    if (kind_ != Kind::Device) total = total > read_overhead_ns() ? total - read_overhead_ns() : 0;
    const uint64_t nested = t_nested_ns - nested_start_;
    const uint64_t own = total > nested ? total - nested : 0;
    t_nested_ns = nested_start_ + total;
    Slot* s = slot_for(kind_, object_, true);
    if (!s) return;
    s->calls.fetch_add(1, std::memory_order_relaxed);
    s->cpu_ns.fetch_add(own, std::memory_order_relaxed);
    uint64_t max = s->max_ns.load(std::memory_order_relaxed);
    while (own > max && !s->max_ns.compare_exchange_weak(max, own, std::memory_order_relaxed)) {
    }
}

void count_completion(const void* pin, uint64_t bytes) {
    if (bytes == 0) return;  // a buffer handed back empty carries no frame
    Slot* s = slot_for(Kind::Process, pin, true);
    if (!s) return;
    s->frames.fetch_add(1, std::memory_order_relaxed);
    s->bytes.fetch_add(bytes, std::memory_order_relaxed);
}

namespace {
Figures read(const Slot& s, uintptr_t key) {
    Figures f;
    f.kind = static_cast<Kind>(key & 7);
    f.object = reinterpret_cast<const void*>(key & ~uintptr_t(7));
    f.calls = s.calls.load(std::memory_order_relaxed);
    f.cpu_ns = s.cpu_ns.load(std::memory_order_relaxed);
    f.max_ns = s.max_ns.load(std::memory_order_relaxed);
    f.frames = s.frames.load(std::memory_order_relaxed);
    f.bytes = s.bytes.load(std::memory_order_relaxed);
    return f;
}
}  // namespace

Figures figures(Kind kind, const void* object) {
    if (const Slot* s = slot_for(kind, object, false)) return read(*s, key_of(kind, object));
    Figures f;
    f.kind = kind;
    f.object = object;
    return f;
}

std::vector<Figures> all() {
    std::vector<Figures> out;
    for (const Slot& s : slots()) {
        const uintptr_t key = s.key.load(std::memory_order_acquire);
        if (key != 0) out.push_back(read(s, key));
    }
    return out;
}

void reset() {
    for (Slot& s : slots()) {
        s.calls.store(0, std::memory_order_relaxed);
        s.cpu_ns.store(0, std::memory_order_relaxed);
        s.max_ns.store(0, std::memory_order_relaxed);
        s.frames.store(0, std::memory_order_relaxed);
        s.bytes.store(0, std::memory_order_relaxed);
    }
}

}  // namespace cost
}  // namespace host
