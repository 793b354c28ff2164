// Host kernel core: per-thread IRQL, time, events, the kernel mutex, waits, delays, reset.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <thread>
#include <unordered_map>

#include "platform/host/measure/cost.h"
#include "platform/host/sched/sched.h"
#include "platform/host/kernel/kernel_private.h"
#include "platform/host/diag/trace.h"

namespace host {
namespace detail {

namespace {
std::atomic<uint64_t> g_next_thread_id{1};
std::atomic<unsigned> g_next_passive_processor{0};
}  // namespace

ThreadState& self() {
    thread_local ThreadState state;
    if (state.id == 0) state.id = g_next_thread_id.fetch_add(1);
    return state;
}

namespace {
// A controlled run's preemptions go by the thread's IRQL: only interrupts hold up code at
// dispatch level, and nothing below the device's own interrupt holds up an interrupt routine.
host::sched::Level LevelOfThisThread() {
    const KIRQL irql = self().irql;
    if (irql < DISPATCH_LEVEL) return host::sched::Level::Preemptible;
    if (irql == DISPATCH_LEVEL) return host::sched::Level::Interruptible;
    return host::sched::Level::Never;
}
const bool g_level_source_set = (host::sched::set_level_source(LevelOfThisThread), true);
}  // namespace

bool check_irql(const char* service, KIRQL max_irql) {
    KIRQL irql = self().irql;
    if (irql <= max_irql) return true;
    verifier::bugcheck(verifier::kIrqlNotLessOrEqual, std::string(service) + " called at IRQL " + std::to_string(irql) +
                                                          "; its limit is IRQL " + std::to_string(max_irql));
    return false;
}

namespace {
constexpr size_t kBuckets = 256;
Bucket* buckets() {
    static Bucket* all = new Bucket[kBuckets];
    return all;
}
}  // namespace

Bucket& bucket_for(const volatile void* object) {
    auto a = reinterpret_cast<uintptr_t>(object);
    return buckets()[((a >> 3) ^ (a >> 11)) % kBuckets];
}

void notify_all_buckets() {
    for (size_t i = 0; i < kBuckets; ++i) {
        std::lock_guard<host::sched::Mutex> guard(buckets()[i].lock);
        buckets()[i].wake.notify_all();
    }
}

std::string ptr(const volatile void* p) { return trace::format("%p", const_cast<void*>(p)); }

// ---- wait and delay records ----------------------------------------------------------------

namespace {
struct Records {
    host::sched::Mutex lock;
    std::deque<WaitRecord> delays;
    std::deque<WaitRecord> waits;
    std::unordered_map<const void*, uint64_t> timeouts;
};
Records& records() {
    static auto* r = new Records;
    return *r;
}
constexpr size_t kMaxRecords = 65536;

void record(std::deque<WaitRecord>& list, const WaitRecord& r) {
    list.push_back(r);
    if (list.size() > kMaxRecords) list.pop_front();
}
}  // namespace

void reset_waits() {
    Records& r = records();
    std::lock_guard<host::sched::Mutex> guard(r.lock);
    r.delays.clear();
    r.waits.clear();
    r.timeouts.clear();
}

}  // namespace detail

using namespace detail;

uint64_t thread_id() { return self().id; }

// ---- time ------------------------------------------------------------------------------------

namespace detail {

// Two clocks: the real one, whose timers and time-outs expire on a clock tick as Windows's do,
// and a virtual one for manually paced tests, which moves only when a test advances it and
// expires everything exactly at its due time.
namespace {
std::atomic<double> g_delay_scale{1.0};
constexpr int64_t kEpochDelta1601 = 116444736000000000LL;  // 1601 to 1970 in 100 ns
constexpr int64_t kDefaultTick = 156250;                   // 15.625 ms (64 Hz)
std::atomic<int64_t> g_tick{kDefaultTick};
std::atomic<bool> g_virtual{false};
std::atomic<int64_t> g_virtual_now{0};
host::sched::Mutex g_clock_lock;  // delays sleeping on the virtual clock
host::sched::CondVar g_clock_moved;

int64_t real_now_100ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(host::sched::Clock::now() - host::sched::Clock::start())
               .count() /
           100;
}

int64_t first_tick_at_or_after(int64_t t) {
    const int64_t tick = g_tick.load(std::memory_order_relaxed);
    return (t + tick - 1) / tick * tick;
}

// Wakes everything that sleeps until a host time: waits with a time-out, delays, the timer thread.
void clock_moved() {
    { std::lock_guard<host::sched::Mutex> guard(g_clock_lock); }
    g_clock_moved.notify_all();
    notify_all_buckets();
    timers_clock_moved();
}
}  // namespace

int64_t expiry_relative(int64_t now, int64_t interval) {
    if (g_virtual.load()) return now + interval;
    // The interval is added to the time of the last clock tick and expires at the first tick
    // after that: up to a tick early or late, and at the next tick (maybe at once) for a tick or less.
    const int64_t tick = g_tick.load(std::memory_order_relaxed);
    return first_tick_at_or_after(now / tick * tick + interval);
}

int64_t expiry_absolute(int64_t system_time) {
    const int64_t now = now_100ns();
    const int64_t remaining = system_time - system_time_100ns();
    // A due time already past was due at a tick that has gone by: it expires now, not at the next one.
    if (remaining <= 0) return now;
    const int64_t due = now + remaining;
    return g_virtual.load() ? due : first_tick_at_or_after(due);
}

bool clock_is_virtual() { return g_virtual.load(); }

host::sched::Clock::time_point real_time_point(int64_t host_time) {
    return host::sched::Clock::start() + std::chrono::nanoseconds(host_time) * 100;
}

}  // namespace detail

int64_t now_100ns() { return detail::g_virtual.load() ? detail::g_virtual_now.load() : detail::real_now_100ns(); }

void set_clock_tick_100ns(int64_t tick) { detail::g_tick = tick < 1 ? 1 : tick; }
int64_t clock_tick_100ns() { return detail::g_tick.load(); }

void set_virtual_clock(bool on) {
    {
        std::lock_guard<host::sched::Mutex> guard(detail::g_clock_lock);
        if (on && !detail::g_virtual.load()) detail::g_virtual_now = detail::real_now_100ns();
        detail::g_virtual = on;
    }
    detail::clock_moved();
}

bool virtual_clock() { return detail::clock_is_virtual(); }

void advance_clock(int64_t interval) {
    {
        std::lock_guard<host::sched::Mutex> guard(detail::g_clock_lock);
        detail::g_virtual_now += std::max<int64_t>(0, interval);
    }
    detail::clock_moved();
}

int64_t system_time_100ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                   .count() /
               100 +
           kEpochDelta1601;
}

void set_delay_scale(double scale) { g_delay_scale = scale < 0 ? 0 : scale; }
double delay_scale() { return g_delay_scale.load(); }

std::vector<WaitRecord> delays() {
    Records& r = records();
    std::lock_guard<host::sched::Mutex> guard(r.lock);
    return {r.delays.begin(), r.delays.end()};
}

std::vector<WaitRecord> waits() {
    Records& r = records();
    std::lock_guard<host::sched::Mutex> guard(r.lock);
    return {r.waits.begin(), r.waits.end()};
}

void clear_wait_records() { reset_waits(); }

uint64_t timeouts(const void* object) {
    Records& r = records();
    std::lock_guard<host::sched::Mutex> guard(r.lock);
    auto it = r.timeouts.find(object);
    return it == r.timeouts.end() ? 0 : it->second;
}

// ---- IRQL and processors ----------------------------------------------------------------------

ScopedIrql::ScopedIrql(KIRQL irql) : previous_(self().irql) { self().irql = irql; }
ScopedIrql::~ScopedIrql() { self().irql = previous_; }

unsigned current_processor() {
    ThreadState& t = self();
    if (t.processor < 0) t.processor = static_cast<int>(g_next_passive_processor.fetch_add(1));
    return static_cast<unsigned>(t.processor) % processor_count();
}

void set_current_processor(unsigned processor) { self().processor = static_cast<int>(processor); }

ThreadSnapshot snapshot_thread() {
    ThreadState& t = self();
    return ThreadSnapshot{t.irql, t.owned_mutexes};
}

size_t owned_mutex_count() { return self().owned_mutexes.size(); }

bool wait_owed() { return self().wait_owed; }

bool take_owed_wait() {
    ThreadState& t = self();
    if (!t.wait_owed) return false;
    t.wait_owed = false;
    t.irql = t.irql_before_owed_wait;
    return true;
}

const void* g_watched_field = nullptr;

namespace {
host::sched::Mutex g_watch_lock;
std::function<void()> g_watch_action;
bool g_watch_fired = false;
std::thread::id g_watch_reader;  // any thread when default
}  // namespace

void watch_shared_read(const void* field, std::function<void()> after) {
    watch_shared_read(field, std::thread::id(), std::move(after));
}

void watch_shared_read(const void* field, std::thread::id reader, std::function<void()> after) {
    std::lock_guard<host::sched::Mutex> guard(g_watch_lock);
    __atomic_store_n(&g_watched_field, static_cast<const void*>(nullptr), __ATOMIC_RELEASE);
    g_watch_action = std::move(after);
    g_watch_fired = false;
    g_watch_reader = reader;
    __atomic_store_n(&g_watched_field, field, __ATOMIC_RELEASE);
}

bool shared_read_watch_fired() {
    std::lock_guard<host::sched::Mutex> guard(g_watch_lock);
    return g_watch_fired;
}

void watched_field_read(const void* field) {
    if (__atomic_load_n(&g_watched_field, __ATOMIC_ACQUIRE) != field) return;
    {
        std::lock_guard<host::sched::Mutex> guard(g_watch_lock);
        if (g_watch_reader != std::thread::id() && g_watch_reader != std::this_thread::get_id()) return;
    }
    const void* expected = field;
    // One shot: only the reader that takes the watch away runs the action.
    if (!__atomic_compare_exchange_n(&g_watched_field, &expected, nullptr, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return;
    std::function<void()> action;
    {
        std::lock_guard<host::sched::Mutex> guard(g_watch_lock);
        action = std::move(g_watch_action);
    }
    if (action) action();
    std::lock_guard<host::sched::Mutex> guard(g_watch_lock);
    g_watch_fired = true;
}

void reset() {
    __atomic_store_n(&g_watched_field, static_cast<const void*>(nullptr), __ATOMIC_RELEASE);
    reset_dpcs_and_timers();
    reset_pool();
    reset_dma();
    reset_asserts();
    reset_waits();
    set_delay_scale(1.0);
    set_virtual_clock(false);
    set_clock_tick_100ns(detail::kDefaultTick);
    set_budgets_us(100, 25);
    // Diagnostics are not cleared here: one left by the previous test (or earlier in this one)
    // must reach the check at the end of the test.
    trace::clear();
}

}  // namespace host

using namespace host;
using namespace host::detail;

KIRQL KeGetCurrentIrql() { return self().irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    ThreadState& t = self();
    if (NewIrql < t.irql) {
        verifier::bugcheck(verifier::kIrqlNotLessOrEqual, "KeRaiseIrql to IRQL " + std::to_string(NewIrql) +
                                                              " below the current IRQL " + std::to_string(t.irql));
        return;
    }
    if (OldIrql) *OldIrql = t.irql;
    t.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old = PASSIVE_LEVEL;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void KeLowerIrql(KIRQL NewIrql) {
    ThreadState& t = self();
    if (t.wait_owed) {
        // The dispatcher lock KeSetEvent(..., TRUE) kept is released only by the wait that must
        // follow; lowering the IRQL under it is not a way out.
        verifier::bugcheck(verifier::kIrqlNotLessOrEqual,
                           "KeLowerIrql to IRQL " + std::to_string(NewIrql) +
                               " after KeSetEvent with Wait TRUE; a KeWaitXxx call must come next");
        return;
    }
    if (NewIrql > t.irql) {
        verifier::bugcheck(verifier::kIrqlNotLessOrEqual, "KeLowerIrql to IRQL " + std::to_string(NewIrql) +
                                                              " above the current IRQL " + std::to_string(t.irql));
        return;
    }
    t.irql = NewIrql;
}

// ---- events ------------------------------------------------------------------------------------

namespace {

bool is_event(PRKEVENT e) { return header_kind(load(e->Header)) == kKindEvent; }
bool is_notification(PRKEVENT e) { return ((load(e->Header) >> 8) & 0xFF) == NotificationEvent; }

bool check_event(PRKEVENT Event, const char* service) {
    if (Event && is_event(Event)) return true;
    verifier::bugcheck(verifier::kDriverVerifierViolation,
                       std::string(service) + " on " + ptr(Event) + ", which is not an initialised event");
    return false;
}

}  // namespace

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    store(Event->Header, kHeaderMagic | kKindEvent | (static_cast<LONG>(Type) << 8));
    store(Event->State, State ? 1 : 0);
    store(Event->Generation, LONGLONG{0});
    store(Event->Reserved, LONGLONG{0});
    cost::forget_event(Event);  // a new event: who set and waited on an old one at this address is past
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    host::sched::point("KeSetEvent");
    (void)Increment;
    // With Wait TRUE the caller goes on holding the dispatcher lock until its next wait, which
    // only a thread that may wait (APC_LEVEL or below) can make; a second such set before that
    // wait is caught here too, the thread being at DISPATCH_LEVEL by then.
    if (!check_irql(Wait ? "KeSetEvent (Wait TRUE)" : "KeSetEvent", Wait ? APC_LEVEL : DISPATCH_LEVEL) ||
        !check_event(Event, "KeSetEvent"))
        return 0;
    cost::note_set(Event);
    Bucket& b = bucket_for(Event);
    std::lock_guard<host::sched::Mutex> guard(b.lock);
    LONG previous = load(Event->State);
    if (!is_notification(Event) && previous == 0 && load(Event->Reserved) > load(Event->Generation)) {
        // A synchronization event with a thread waiting: that one thread is released and the
        // event stays not signalled, so each set releases one more waiter.
        store(Event->Generation, load(Event->Generation) + 1);
    } else {
        store(Event->State, LONG{1});
        if (is_notification(Event)) store(Event->Generation, load(Event->Generation) + 1);
    }
    b.wake.notify_all();
    if (Wait) {
        ThreadState& t = self();
        t.irql_before_owed_wait = t.irql;
        t.irql = DISPATCH_LEVEL;
        t.wait_owed = true;
    }
    return previous;
}

void KeClearEvent(PRKEVENT Event) {
    host::sched::point("KeClearEvent");
    if (!check_irql("KeClearEvent", DISPATCH_LEVEL) || !check_event(Event, "KeClearEvent")) return;
    store(Event->State, LONG{0});
}

LONG KeResetEvent(PRKEVENT Event) {
    host::sched::point("KeResetEvent");
    if (!check_irql("KeResetEvent", DISPATCH_LEVEL) || !check_event(Event, "KeResetEvent")) return 0;
    Bucket& b = bucket_for(Event);
    std::lock_guard<host::sched::Mutex> guard(b.lock);
    LONG previous = load(Event->State);
    store(Event->State, LONG{0});
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    if (!check_irql("KeReadStateEvent", DISPATCH_LEVEL) || !check_event(Event, "KeReadStateEvent")) return 0;
    return load(Event->State);
}

// ---- kernel mutex ------------------------------------------------------------------------------

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    (void)Level;
    store(Mutex->Header, kHeaderMagic | kKindMutex);
    store(Mutex->RecursionCount, LONG{0});
    store(Mutex->OwnerThread, ULONGLONG{0});
    store(Mutex->AcquireIrql, LONG{0});
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    host::sched::point("KeReleaseMutex");
    (void)Wait;
    if (!check_irql("KeReleaseMutex", DISPATCH_LEVEL)) return 0;
    if (!Mutex || header_kind(load(Mutex->Header)) != kKindMutex) {
        verifier::bugcheck(verifier::kDriverVerifierViolation,
                           "KeReleaseMutex on " + ptr(Mutex) + ", which is not an initialised mutex");
        return 0;
    }
    ThreadState& t = self();
    Bucket& b = bucket_for(Mutex);
    std::lock_guard<host::sched::Mutex> guard(b.lock);
    ULONGLONG owner = load(Mutex->OwnerThread);
    if (owner != t.id) {
        verifier::bugcheck(verifier::kThreadNotMutexOwner,
                           "KeReleaseMutex: mutex " + ptr(Mutex) + " is " +
                               (owner ? "owned by thread " + std::to_string(owner) : std::string("not owned")) +
                               ", released by thread " + std::to_string(t.id) + " (STATUS_MUTANT_NOT_OWNED)");
        return 0;
    }
    if (load(Mutex->AcquireIrql) != t.irql) {
        verifier::bugcheck(verifier::kThreadNotMutexOwner,
                           "KeReleaseMutex: mutex " + ptr(Mutex) + " acquired at IRQL " +
                               std::to_string(load(Mutex->AcquireIrql)) + ", released at IRQL " +
                               std::to_string(t.irql) + " by thread " + std::to_string(t.id));
        return 0;
    }
    LONG count = load(Mutex->RecursionCount) - 1;
    store(Mutex->RecursionCount, count);
    if (count == 0) {
        store(Mutex->OwnerThread, ULONGLONG{0});
        auto it = std::find(t.owned_mutexes.begin(), t.owned_mutexes.end(), static_cast<const void*>(Mutex));
        if (it != t.owned_mutexes.end()) t.owned_mutexes.erase(it);
        b.wake.notify_all();
    }
    return count == 0 ? 0 : -count;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) { return load(Mutex->OwnerThread) == 0 ? 1 : 1 - load(Mutex->RecursionCount); }

// ---- waits -------------------------------------------------------------------------------------

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
    host::sched::point("KeWaitForSingleObject");
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    ThreadState& t = self();
    if (t.wait_owed) {
        // The wait KeSetEvent(..., TRUE) announced: it may start at the DISPATCH_LEVEL that set left
        // the thread at, and runs (and returns) at the IRQL the thread had before the set.
        t.wait_owed = false;
        t.irql = t.irql_before_owed_wait;
    }
    const bool poll = Timeout && Timeout->QuadPart == 0;
    if (poll) {
        if (!check_irql("KeWaitForSingleObject (zero time-out)", DISPATCH_LEVEL)) return STATUS_TIMEOUT;
    } else if (t.irql >= DISPATCH_LEVEL) {
        verifier::bugcheck(verifier::kDriverVerifierViolation,
                           std::string("KeWaitForSingleObject with a ") + (Timeout ? "non-zero" : "NULL") +
                               " time-out at IRQL " + std::to_string(t.irql) + " on " + ptr(Object) +
                               " (waits at DISPATCH_LEVEL or above must not block)");
        return STATUS_TIMEOUT;
    }
    auto* header = static_cast<volatile LONG*>(Object);
    LONG kind = Object ? header_kind(load(*header)) : -1;
    if (kind != kKindEvent && kind != kKindMutex && kind != kKindTimer) {
        verifier::bugcheck(
            verifier::kDriverVerifierViolation,
            "KeWaitForSingleObject on " + ptr(Object) + ", which is not an initialised event, mutex or timer");
        return STATUS_INVALID_PARAMETER;
    }
    if (kind == kKindEvent) cost::note_wait(Object);
    const bool infinite = Timeout == nullptr;
    int64_t expiry = 0;
    if (!infinite) {
        expiry = Timeout->QuadPart < 0 ? expiry_relative(now_100ns(), -Timeout->QuadPart)
                                       : expiry_absolute(Timeout->QuadPart);
    }

    Bucket& b = bucket_for(Object);
    NTSTATUS result = STATUS_TIMEOUT;
    {
        std::unique_lock<host::sched::Mutex> guard(b.lock);
        auto* event = static_cast<PRKEVENT>(Object);
        auto* mutex = static_cast<PRKMUTEX>(Object);
        auto* timer = static_cast<PKTIMER>(Object);
        const LONGLONG generation = kind == kKindEvent ? load(event->Generation) : 0;
        // A synchronization event counts its blocked waiters in Reserved and the releases set
        // aside for them in Generation.
        const bool sync_event = kind == kKindEvent && !is_notification(event);
        bool registered = false;
        for (;;) {
            bool satisfied = false;
            if (sync_event && registered && load(event->Generation) > 0) {
                store(event->Generation, load(event->Generation) - 1);
                satisfied = true;
            } else if (kind == kKindEvent) {
                if (load(event->State)) {
                    if (!is_notification(event)) store(event->State, LONG{0});
                    satisfied = true;
                } else if (is_notification(event) && load(event->Generation) != generation) {
                    satisfied = true;  // set and cleared again while we slept: every waiter is released
                }
            } else if (kind == kKindMutex) {
                ULONGLONG owner = load(mutex->OwnerThread);
                if (owner == 0) {
                    store(mutex->OwnerThread, t.id);
                    store(mutex->RecursionCount, LONG{1});
                    store(mutex->AcquireIrql, static_cast<LONG>(t.irql));
                    t.owned_mutexes.push_back(mutex);
                    satisfied = true;
                } else if (owner == t.id) {
                    store(mutex->RecursionCount, load(mutex->RecursionCount) + 1);
                    satisfied = true;
                }
            } else {
                satisfied = load(timer->Signalled) != 0;
            }
            if (satisfied) {
                result = STATUS_SUCCESS;
                break;
            }
            if (poll) break;
            if (sync_event && !registered) {
                store(event->Reserved, load(event->Reserved) + 1);
                registered = true;
            }
            // The object was looked at above, after the last wake: signalled right at the
            // expiry still counts.
            if (infinite) {
                b.wake.wait(guard);
            } else if (now_100ns() >= expiry) {
                break;
            } else if (clock_is_virtual()) {
                b.wake.wait(guard);  // advance_clock wakes every bucket
            } else {
                b.wake.wait_until(guard, real_time_point(expiry));
            }
        }
        if (registered) {
            store(event->Reserved, load(event->Reserved) - 1);
            // A release set aside for a waiter that is gone (timed out) signals the event instead.
            if (load(event->Generation) > load(event->Reserved)) {
                store(event->Generation, load(event->Generation) - 1);
                store(event->State, LONG{1});
            }
        }
    }
    Records& r = records();
    std::lock_guard<host::sched::Mutex> guard(r.lock);
    record(r.waits, WaitRecord{WaitRecord::Kind::Wait, infinite ? INT64_MIN : Timeout->QuadPart, infinite, t.id, t.irql,
                               Object, result});
    if (result == STATUS_TIMEOUT) ++r.timeouts[Object];
    return result;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    ThreadState& t = self();
    if (!check_irql("KeDelayExecutionThread", APC_LEVEL)) return STATUS_SUCCESS;
    int64_t value = Interval ? Interval->QuadPart : 0;
    {
        Records& r = records();
        std::lock_guard<host::sched::Mutex> guard(r.lock);
        record(r.delays, WaitRecord{WaitRecord::Kind::Delay, value, false, t.id, t.irql, nullptr, STATUS_SUCCESS});
    }
    double scale = delay_scale();
    // A controlled run's time is virtual and costs nothing, and a delay that returned at once would
    // keep its thread running for as long as the strategy lets it: there every delay takes its time.
    if (host::sched::controlled()) scale = 1;
    if (scale <= 0) return STATUS_SUCCESS;
    int64_t relative = value < 0 ? -value : std::max<int64_t>(0, value - system_time_100ns());
    if (relative == 0) {
        host::sched::spin();
        return STATUS_SUCCESS;
    }
    relative = static_cast<int64_t>(static_cast<double>(relative) * scale);
    // A delay never ends early (Windows 8 and later); on the real clock it ends at the first tick
    // after the interval, so up to a tick late.
    const int64_t now = now_100ns();
    if (clock_is_virtual()) {
        std::unique_lock<host::sched::Mutex> guard(g_clock_lock);
        g_clock_moved.wait(guard, [&] { return !clock_is_virtual() || now_100ns() >= now + relative; });
        return STATUS_SUCCESS;
    }
    const auto deadline = real_time_point(first_tick_at_or_after(now + relative));
    while (host::sched::Clock::now() < deadline)
        host::sched::sleep_until(deadline);
    return STATUS_SUCCESS;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) { host::sched::burn(std::chrono::microseconds(MicroSeconds)); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER now;
    now.QuadPart = host::now_100ns();
    return now;
}

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
    auto* a = static_cast<const unsigned char*>(Source1);
    auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}
