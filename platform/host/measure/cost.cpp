// Per-object cost figures: a fixed open-addressed table, so a measured call takes no lock and
// allocates nothing (it runs in interrupt and DPC context). Objects are never removed; a freed
// object's address reused by a new one adds to the same slot until the next reset.
#include "platform/host/measure/cost.h"
#include "platform/host/sched/sched.h"

#include "platform/host/diag/symbols.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>
#include <mutex>
#include <unordered_map>

namespace host {
namespace cost {
namespace {

constexpr size_t kSlots = 1024;

struct Slot {
    std::atomic<uintptr_t> key{0};  // object address | kind in the low bits (objects are aligned)
    std::atomic<uint64_t> calls{0}, cpu_ns{0}, max_ns{0}, frames{0}, bytes{0};
    std::atomic<uint64_t> runs{0};  // calls since the object was first measured; kept across reset
    // What the object is (see describe and note_pin); kept across reset.
    std::atomic<const void*> routine{nullptr}, device{nullptr};
    std::array<std::atomic<const void*>, kPinsPerObject> pins{};
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
thread_local uint64_t t_last_own_ns = 0;
// The innermost measured call on this thread (what note_pin relates a pin to).
thread_local Kind t_kind = Kind::Process;
thread_local const void* t_object = nullptr;

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
    : kind_(kind),
      object_(object),
      outer_kind_(t_kind),
      outer_object_(t_object),
      start_(clock_for(kind)),
      nested_start_(t_nested_ns) {
    ++t_depth;
    t_kind = kind;
    t_object = object;
}

Scope::~Scope() {
    --t_depth;
    t_kind = outer_kind_;
    t_object = outer_object_;
    uint64_t total = clock_for(kind_) - start_;
    if (kind_ != Kind::Device) total = total > read_overhead_ns() ? total - read_overhead_ns() : 0;
    const uint64_t nested = t_nested_ns - nested_start_;
    const uint64_t own = total > nested ? total - nested : 0;
    t_nested_ns = nested_start_ + total;
    t_last_own_ns = own;
    Slot* s = slot_for(kind_, object_, true);
    if (!s) return;
    s->calls.fetch_add(1, std::memory_order_relaxed);
    s->runs.fetch_add(1, std::memory_order_relaxed);
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

uint64_t last_own_ns() { return t_last_own_ns; }

uint64_t runs(Kind kind, const void* object) {
    const Slot* s = slot_for(kind, object, false);
    return s ? s->runs.load(std::memory_order_relaxed) : 0;
}

void describe(Kind kind, const void* object, const void* routine, const void* device) {
    Slot* s = slot_for(kind, object, true);
    if (!s) return;
    // A device has one interrupt connected at a time: a new connection supersedes the earlier
    // ones (after a restart, or from an earlier device whose physical device object this one
    // reuses), whose objects may be long freed. Their figures stay; they no longer count as the
    // device's.
    if (kind == Kind::Interrupt && device != nullptr) {
        for (Slot& other : slots()) {
            const uintptr_t key = other.key.load(std::memory_order_acquire);
            if (&other != s && key != 0 && static_cast<Kind>(key & 7) == Kind::Interrupt &&
                other.device.load(std::memory_order_acquire) == device)
                other.device.store(nullptr, std::memory_order_release);
        }
    }
    for (auto& p : s->pins)
        p.store(nullptr, std::memory_order_relaxed);
    s->routine.store(routine, std::memory_order_release);
    s->device.store(device, std::memory_order_release);
}

namespace {

bool in_routine() { return t_depth > 0 && (t_kind == Kind::Dpc || t_kind == Kind::Interrupt); }

void relate(Kind kind, const void* object, const void* pin) {
    Slot* s = slot_for(kind, object, true);
    if (!s) return;
    for (auto& p : s->pins) {
        const void* seen = p.load(std::memory_order_acquire);
        if (seen == pin) return;
        if (seen == nullptr) {
            if (p.compare_exchange_strong(seen, pin, std::memory_order_acq_rel) || seen == pin) return;
        }
    }
}

// Who set each event and whose Process waited on it. Taken only the first time a routine or pin
// meets an event (each thread remembers the last pair it noted).
struct EventLinks {
    std::vector<std::pair<Kind, const void*>> setters;
    std::vector<const void*> waiters;
};
host::sched::Mutex& events_lock() {
    static auto* lock = new host::sched::Mutex;
    return *lock;
}
std::unordered_map<const void*, EventLinks>& events() {
    static auto* map = new std::unordered_map<const void*, EventLinks>;  // never destroyed, like the table
    return *map;
}
// Bumped by forget_event, so that no thread trusts a pair it remembers from before.
std::atomic<uint64_t> g_event_epoch{0};
struct Noted {
    const void* event = nullptr;
    const void* by = nullptr;
    uint64_t epoch = 0;
    bool same(const void* e, const void* b) const {
        return event == e && by == b && epoch == g_event_epoch.load(std::memory_order_acquire);
    }
    void set(const void* e, const void* b) { *this = {e, b, g_event_epoch.load(std::memory_order_acquire)}; }
};
thread_local Noted t_set, t_wait;

}  // namespace

void note_pin(const void* pin) {
    if (in_routine() && pin != nullptr) relate(t_kind, t_object, pin);
}

void note_set(const void* event) {
    if (!in_routine() || event == nullptr || t_set.same(event, t_object)) return;
    const std::pair<Kind, const void*> setter{t_kind, t_object};
    {
        std::lock_guard<host::sched::Mutex> guard(events_lock());
        EventLinks& links = events()[event];
        if (std::find(links.setters.begin(), links.setters.end(), setter) == links.setters.end()) {
            links.setters.push_back(setter);
            for (const void* pin : links.waiters)
                relate(setter.first, setter.second, pin);
        }
    }
    t_set.set(event, t_object);
}

void note_wait(const void* event) {
    if (t_depth == 0 || t_kind != Kind::Process || event == nullptr || t_wait.same(event, t_object)) return;
    const void* pin = t_object;
    {
        std::lock_guard<host::sched::Mutex> guard(events_lock());
        EventLinks& links = events()[event];
        if (std::find(links.waiters.begin(), links.waiters.end(), pin) == links.waiters.end()) {
            links.waiters.push_back(pin);
            for (const auto& setter : links.setters)
                relate(setter.first, setter.second, pin);
        }
    }
    t_wait.set(event, pin);
}

void forget_event(const void* event) {
    std::lock_guard<host::sched::Mutex> guard(events_lock());
    if (events().erase(event)) g_event_epoch.fetch_add(1, std::memory_order_acq_rel);
}

namespace {

const char* what(Kind kind) {
    switch (kind) {
    case Kind::Interrupt: return "interrupt service routine";
    case Kind::Dpc: return "DPC routine";
    case Kind::Process: return "Process dispatch";
    case Kind::Completion: return "client completion routine";
    case Kind::Device: return "card register handling";
    }
    return "routine";
}

Named name(const Slot* s, Kind kind, const void* object) {
    Named n;
    n.figures = s ? read(*s, key_of(kind, object)) : figures(kind, object);
    const void* routine = s ? s->routine.load(std::memory_order_acquire) : nullptr;
    n.name = routine ? symbols::describe(routine, what(kind)) : what(kind);
    n.device = s ? s->device.load(std::memory_order_acquire) : nullptr;
    if (kind == Kind::Process || kind == Kind::Completion) {
        n.pins.push_back(object);
    } else if (s) {
        for (const auto& p : s->pins)
            if (const void* pin = p.load(std::memory_order_acquire)) n.pins.push_back(pin);
    }
    // A DPC is set up without its device; it serves the device of the pins it serves.
    if (n.device == nullptr && !n.pins.empty() && kind != Kind::Process)
        if (const Slot* p = slot_for(Kind::Process, n.pins.front(), false))
            n.device = p->device.load(std::memory_order_acquire);
    return n;
}

void add(Figures& sum, const Figures& f) {
    sum.calls += f.calls;
    sum.cpu_ns += f.cpu_ns;
    sum.max_ns = std::max(sum.max_ns, f.max_ns);
    sum.frames += f.frames;
    sum.bytes += f.bytes;
}

}  // namespace

Named named(Kind kind, const void* object) { return name(slot_for(kind, object, false), kind, object); }

std::vector<Named> report() {
    std::vector<Named> out;
    for (const Slot& s : slots()) {
        const uintptr_t key = s.key.load(std::memory_order_acquire);
        if (key == 0) continue;
        const auto kind = static_cast<Kind>(key & 7);
        out.push_back(name(&s, kind, reinterpret_cast<const void*>(key & ~uintptr_t(7))));
    }
    return out;
}

PinCost pin_cost(const void* pin) {
    PinCost c;
    const Named process = named(Kind::Process, pin);
    c.process = process.figures;
    c.device = process.device;
    c.dpc.kind = Kind::Dpc;
    c.interrupt.kind = Kind::Interrupt;
    for (Named& n : report()) {
        const bool serves_pin = std::find(n.pins.begin(), n.pins.end(), pin) != n.pins.end();
        if (n.figures.kind == Kind::Dpc && serves_pin) {
            add(c.dpc, n.figures);
            c.dpcs.push_back(std::move(n));
        } else if (n.figures.kind == Kind::Interrupt && c.device != nullptr && n.device == c.device) {
            add(c.interrupt, n.figures);
            c.interrupts.push_back(std::move(n));
        }
    }
    return c;
}

}  // namespace cost
}  // namespace host
