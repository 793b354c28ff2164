// Host kernel: DPC queues (one queue and one thread per simulated processor) and timers (one
// timer thread that inserts the timers' DPCs on expiry).
#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <thread>

#include "platform/host/measure/cost.h"
#include "platform/host/sched/sched.h"
#include "platform/host/kernel/kernel_private.h"
#include "platform/host/kernel/priority.h"
#include "platform/host/diag/symbols.h"

namespace host {
namespace detail {
namespace {

constexpr unsigned kMaxProcessors = 64;

std::atomic<unsigned> g_processor_count{2};
std::atomic<uint32_t> g_dpc_budget_us{100};
std::atomic<uint32_t> g_isr_budget_us{25};
std::atomic<uint64_t> g_dpc_runs{0};
std::atomic<uint64_t> g_dpcs_over{0};

struct Entry {
    PRKDPC dpc;
    uint64_t ticket;
};

struct Queue {
    unsigned index = 0;
    host::sched::Mutex lock;
    host::sched::CondVar work;
    host::sched::CondVar idle;
    std::deque<Entry> items;
    PRKDPC running = nullptr;
    uint64_t running_ticket = 0;
    uint64_t next_ticket = 1;
    std::once_flag started;
};

// Queues live for the whole process (threads never stop), so a DPC thread never outlives its queue.
std::array<Queue, kMaxProcessors>& queues() {
    static auto* q = [] {
        auto* a = new std::array<Queue, kMaxProcessors>;
        for (unsigned i = 0; i < kMaxProcessors; ++i)
            (*a)[i].index = i;
        return a;
    }();
    return *q;
}
std::atomic<unsigned> g_queues_used{0};  // highest started queue index + 1

void run_queue(Queue& q) {
    run_at_level(ThreadLevel::Dispatch);
    ThreadState& t = self();
    t.processor = static_cast<int>(q.index);
    for (;;) {
        // Other DPCs and interrupts of this processor may hold a queued DPC up for a while.
        host::sched::latency_point("DPC queue");
        PRKDPC dpc;
        PKDEFERRED_ROUTINE routine;
        PVOID context, arg1, arg2;
        {
            std::unique_lock<host::sched::Mutex> guard(q.lock);
            q.work.wait(guard, [&] { return !q.items.empty(); });
            Entry e = q.items.front();
            q.items.pop_front();
            dpc = e.dpc;
            routine = dpc->DeferredRoutine;
            context = dpc->DeferredContext;
            arg1 = dpc->SystemArgument1;
            arg2 = dpc->SystemArgument2;
            // Off the queue before the call: an insertion made while the routine runs queues it again.
            store(dpc->Inserted, LONG{0});
            q.running = dpc;
            q.running_ticket = e.ticket;
        }
        t.irql = DISPATCH_LEVEL;
        auto begin = std::chrono::steady_clock::now();
        {
            cost::Scope measured(cost::Kind::Dpc, dpc);
            routine(dpc, context, arg1, arg2);
        }
        const uint64_t own_ns = cost::last_own_ns();
        auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin).count();
        g_dpc_runs.fetch_add(1, std::memory_order_relaxed);
        const uint32_t budget_us = g_dpc_budget_us.load(std::memory_order_relaxed);
        // Real time says nothing in a controlled run, where a routine's time includes other threads' turns.
        if (us > budget_us && !host::sched::controlled()) {
            g_dpcs_over.fetch_add(1, std::memory_order_relaxed);
            verifier::note_overrun("DpcBudget", symbols::where(reinterpret_cast<const void*>(routine)), budget_us,
                                   own_ns > uint64_t(budget_us) * 1000, cost::runs(cost::Kind::Dpc, dpc));
        }
        if (t.irql != DISPATCH_LEVEL) {
            verifier::bugcheck(verifier::kIrqlNotLessOrEqual, "DPC routine " + ptr(reinterpret_cast<void*>(routine)) +
                                                                  " returned at IRQL " + std::to_string(t.irql) +
                                                                  ", entered at DISPATCH_LEVEL");
            t.irql = DISPATCH_LEVEL;
        }
        if (!t.owned_mutexes.empty()) {
            verifier::bugcheck(verifier::kDriverVerifierViolation,
                               "DPC routine " + ptr(reinterpret_cast<void*>(routine)) + " returned owning mutex " +
                                   ptr(t.owned_mutexes.front()));
            t.owned_mutexes.clear();
        }
        {
            std::lock_guard<host::sched::Mutex> guard(q.lock);
            q.running = nullptr;
        }
        q.idle.notify_all();
    }
}

Queue& queue(unsigned index) {
    Queue& q = queues()[index];
    std::call_once(q.started, [&] {
        host::sched::Thread("dpc", [&q] { run_queue(q); }).detach();
        unsigned used = g_queues_used.load();
        while (used < index + 1 && !g_queues_used.compare_exchange_weak(used, index + 1)) {
        }
    });
    return q;
}

bool flushed(Queue& q, uint64_t snapshot) {
    if (q.running && q.running_ticket <= snapshot) return false;
    for (const auto& e : q.items)
        if (e.ticket <= snapshot) return false;
    return true;
}

// ---- timers ------------------------------------------------------------------------------------

struct Timers {
    host::sched::Mutex lock;
    host::sched::CondVar changed;
    std::multimap<int64_t, PKTIMER> queue;  // by absolute due time (host interrupt time)
    std::once_flag started;
};

Timers& timers() {
    static auto* t = new Timers;
    return *t;
}

void erase_timer(Timers& tm, PKTIMER timer) {
    auto range = tm.queue.equal_range(load(timer->DueTime));
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == timer) {
            tm.queue.erase(it);
            return;
        }
    }
}

void run_timers(Timers& tm) {
    run_at_level(ThreadLevel::Dispatch);
    ThreadState& t = self();
    t.irql = DISPATCH_LEVEL;  // expiry is processed at dispatch level
    std::unique_lock<host::sched::Mutex> guard(tm.lock);
    for (;;) {
        if (tm.queue.empty()) {
            tm.changed.wait(guard);
            continue;
        }
        auto first = tm.queue.begin();
        int64_t due = first->first;
        int64_t now = now_100ns();
        if (due > now) {
            if (clock_is_virtual())
                tm.changed.wait(guard);  // until the clock is advanced or the queue changes
            else
                tm.changed.wait_until(guard, real_time_point(due));
            continue;
        }
        PKTIMER timer = first->second;
        tm.queue.erase(first);
        store(timer->Pending, LONG{0});
        {
            Bucket& b = bucket_for(timer);
            std::lock_guard<host::sched::Mutex> signal(b.lock);
            store(timer->Signalled, LONG{1});
            b.wake.notify_all();
        }
        // Inserted under the timer lock, so a KeSetTimer/KeCancelTimer that follows sees the
        // expiry complete, as with the dispatcher lock on Windows. The timer thread stands for the
        // last processor, so its DPCs can run beside ones the interrupt queues to processor 0.
        if (PKDPC dpc = timer->Dpc) {
            t.processor = static_cast<int>(g_processor_count.load() - 1);
            KeInsertQueueDpc(dpc, nullptr, nullptr);
        }
    }
}

Timers& started_timers() {
    Timers& tm = timers();
    std::call_once(tm.started, [&] { host::sched::Thread("timers", [&tm] { run_timers(tm); }).detach(); });
    return tm;
}

bool check_dpc(PRKDPC Dpc, const char* service) {
    if (Dpc && header_kind(load(Dpc->Header)) == kKindDpc) return true;
    verifier::bugcheck(verifier::kDriverVerifierViolation,
                       std::string(service) + " on " + ptr(Dpc) + ", which is not an initialised DPC");
    return false;
}

bool check_timer(PKTIMER Timer, const char* service) {
    if (Timer && header_kind(load(Timer->Header)) == kKindTimer) return true;
    verifier::bugcheck(verifier::kDriverVerifierViolation,
                       std::string(service) + " on " + ptr(Timer) + ", which is not an initialised timer");
    return false;
}

}  // namespace

void reset_dpcs_and_timers() {
    {
        Timers& tm = timers();
        std::lock_guard<host::sched::Mutex> guard(tm.lock);
        for (auto& [due, timer] : tm.queue)
            store(timer->Pending, LONG{0});
        tm.queue.clear();
    }
    unsigned used = g_queues_used.load();
    for (unsigned i = 0; i < used; ++i) {
        Queue& q = queues()[i];
        std::lock_guard<host::sched::Mutex> guard(q.lock);
        for (auto& e : q.items)
            store(e.dpc->Inserted, LONG{0});
        q.items.clear();
    }
    flush_dpcs();
    g_dpc_runs = 0;
    g_dpcs_over = 0;
}

void timers_clock_moved() {
    Timers& tm = timers();
    { std::lock_guard<host::sched::Mutex> guard(tm.lock); }
    tm.changed.notify_all();
}

bool check_freed_range(const void* begin, size_t length, const char* what) {
    auto lo = reinterpret_cast<uintptr_t>(begin);
    auto hi = lo + length;
    auto inside = [&](const void* p) {
        auto a = reinterpret_cast<uintptr_t>(p);
        return a >= lo && a < hi;
    };
    {
        Timers& tm = timers();
        std::lock_guard<host::sched::Mutex> guard(tm.lock);
        for (auto& [due, timer] : tm.queue) {
            if (inside(timer)) {
                verifier::bugcheck(verifier::kDriverVerifierViolation, std::string(what) + " " + ptr(begin) +
                                                                           " holds a pending timer " + ptr(timer) +
                                                                           " (active timer in freed memory)");
                return false;
            }
        }
    }
    unsigned used = g_queues_used.load();
    for (unsigned i = 0; i < used; ++i) {
        Queue& q = queues()[i];
        std::lock_guard<host::sched::Mutex> guard(q.lock);
        for (auto& e : q.items) {
            if (inside(e.dpc)) {
                verifier::bugcheck(verifier::kDriverVerifierViolation, std::string(what) + " " + ptr(begin) +
                                                                           " holds a queued DPC " + ptr(e.dpc) +
                                                                           " (queued DPC in freed memory)");
                return false;
            }
        }
    }
    return true;
}

size_t check_no_timers_or_dpcs(const char* when) {
    std::vector<std::string> found;
    {
        Timers& tm = timers();
        std::lock_guard<host::sched::Mutex> guard(tm.lock);
        for (auto& [due, timer] : tm.queue)
            found.push_back(std::string("timer ") + ptr(timer) + " still armed at " + when);
    }
    unsigned used = g_queues_used.load();
    for (unsigned i = 0; i < used; ++i) {
        Queue& q = queues()[i];
        std::lock_guard<host::sched::Mutex> guard(q.lock);
        for (auto& e : q.items)
            found.push_back(std::string("DPC ") + ptr(e.dpc) + " still queued at " + when);
    }
    for (const auto& message : found)
        verifier::bugcheck(verifier::kDriverVerifierViolation, message);
    return found.size();
}

}  // namespace detail

using namespace detail;

void set_processor_count(unsigned count) {
    if (count < 1) count = 1;
    if (count > kMaxProcessors) count = kMaxProcessors;
    flush_dpcs();
    g_processor_count = count;
}

unsigned processor_count() { return g_processor_count.load(); }

void flush_dpcs() {
    unsigned used = g_queues_used.load();
    for (unsigned i = 0; i < used; ++i) {
        Queue& q = queues()[i];
        std::unique_lock<host::sched::Mutex> guard(q.lock);
        // A DPC thread flushing its own queue would wait for itself.
        if (self().processor == static_cast<int>(i) && q.running && self().irql >= DISPATCH_LEVEL) continue;
        uint64_t snapshot = q.next_ticket - 1;
        q.idle.wait(guard, [&] { return flushed(q, snapshot); });
    }
}

size_t pending_timer_count() {
    Timers& tm = timers();
    std::lock_guard<host::sched::Mutex> guard(tm.lock);
    return tm.queue.size();
}

size_t queued_dpc_count() {
    size_t n = 0;
    unsigned used = g_queues_used.load();
    for (unsigned i = 0; i < used; ++i) {
        Queue& q = queues()[i];
        std::lock_guard<host::sched::Mutex> guard(q.lock);
        n += q.items.size();
    }
    return n;
}

void set_budgets_us(uint32_t dpc_us, uint32_t isr_us) {
    g_dpc_budget_us = dpc_us;
    g_isr_budget_us = isr_us;
}
uint64_t dpc_runs() { return g_dpc_runs.load(); }
uint64_t dpcs_over_budget() { return g_dpcs_over.load(); }

namespace detail {
uint32_t isr_budget_us() { return g_isr_budget_us.load(std::memory_order_relaxed); }
}  // namespace detail

}  // namespace host

using namespace host;
using namespace host::detail;

// ---- DPC services --------------------------------------------------------------------------------

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    // Initialising a queued DPC would corrupt the queue it is in (memory that merely looks like a
    // queued DPC, such as a freed and reused block, is looked up in the queues first).
    if (header_kind(load(Dpc->Header)) == kKindDpc && load(Dpc->Inserted)) {
        const LONG where = load(Dpc->Inserted);
        if (where > 0 && static_cast<unsigned>(where) <= g_queues_used.load()) {
            Queue& q = queues()[where - 1];
            std::lock_guard<host::sched::Mutex> guard(q.lock);
            for (const auto& e : q.items) {
                if (e.dpc == Dpc) {
                    verifier::bugcheck(verifier::kDriverVerifierViolation, "KeInitializeDpc on queued DPC " + ptr(Dpc));
                    return;
                }
            }
        }
    }
    store(Dpc->Header, kHeaderMagic | kKindDpc);
    store(Dpc->Importance, static_cast<LONG>(MediumImportance));
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    cost::describe(cost::Kind::Dpc, Dpc, reinterpret_cast<const void*>(DeferredRoutine), nullptr);
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    store(Dpc->Inserted, LONG{0});
    store(Dpc->Ticket, ULONGLONG{0});
}

void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
    if (!check_dpc(Dpc, "KeSetImportanceDpc")) return;
    store(Dpc->Importance, static_cast<LONG>(Importance));
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    host::sched::point("KeInsertQueueDpc");
    if (!check_dpc(Dpc, "KeInsertQueueDpc")) return FALSE;
    unsigned p = current_processor();
    Queue& q = queue(p);
    {
        std::lock_guard<host::sched::Mutex> guard(q.lock);
        LONG expected = 0;
        if (!__atomic_compare_exchange_n(&Dpc->Inserted, &expected, static_cast<LONG>(p + 1), false, __ATOMIC_ACQ_REL,
                                         __ATOMIC_ACQUIRE))
            return FALSE;  // already queued somewhere: this call's arguments are dropped
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
        Entry e{Dpc, q.next_ticket++};
        store(Dpc->Ticket, e.ticket);
        if (load(Dpc->Importance) == HighImportance)
            q.items.push_front(e);
        else
            q.items.push_back(e);
    }
    q.work.notify_one();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    host::sched::point("KeRemoveQueueDpc");
    if (!check_dpc(Dpc, "KeRemoveQueueDpc")) return FALSE;
    for (;;) {
        LONG where = load(Dpc->Inserted);
        if (where == 0) return FALSE;
        Queue& q = queues()[where - 1];
        {
            std::lock_guard<host::sched::Mutex> guard(q.lock);
            if (load(Dpc->Inserted) != where) continue;  // ran or moved meanwhile; look again
            for (auto it = q.items.begin(); it != q.items.end(); ++it) {
                if (it->dpc == Dpc) {
                    q.items.erase(it);
                    break;
                }
            }
            store(Dpc->Inserted, LONG{0});
        }
        q.idle.notify_all();
        return TRUE;
    }
}

void KeFlushQueuedDpcs() {
    host::sched::point("KeFlushQueuedDpcs");
    if (!check_irql("KeFlushQueuedDpcs", PASSIVE_LEVEL)) return;
    flush_dpcs();
}

// ---- timers --------------------------------------------------------------------------------------

void KeInitializeTimer(PKTIMER Timer) {
    if (!check_irql("KeInitializeTimer", DISPATCH_LEVEL)) return;
    if (header_kind(load(Timer->Header)) == kKindTimer && load(Timer->Pending)) {
        Timers& tm = timers();
        std::lock_guard<host::sched::Mutex> guard(tm.lock);
        for (auto& [due, t] : tm.queue) {
            if (t == Timer) {
                verifier::bugcheck(verifier::kDriverVerifierViolation,
                                   "KeInitializeTimer on pending timer " + ptr(Timer));
                return;
            }
        }
    }
    store(Timer->Header, kHeaderMagic | kKindTimer);
    store(Timer->Pending, LONG{0});
    store(Timer->DueTime, LONGLONG{0});
    Timer->Dpc = nullptr;
    store(Timer->Signalled, LONG{0});
    store(Timer->Generation, ULONGLONG{0});
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    host::sched::point("KeSetTimer");
    if (!check_irql("KeSetTimer", DISPATCH_LEVEL) || !check_timer(Timer, "KeSetTimer")) return FALSE;
    if (Dpc && !check_dpc(Dpc, "KeSetTimer")) return FALSE;
    Timers& tm = started_timers();
    BOOLEAN was_pending;
    {
        std::lock_guard<host::sched::Mutex> guard(tm.lock);
        was_pending = load(Timer->Pending) ? TRUE : FALSE;
        if (was_pending) erase_timer(tm, Timer);  // re-arming replaces the earlier setting
        const int64_t due =
            DueTime.QuadPart < 0 ? expiry_relative(now_100ns(), -DueTime.QuadPart) : expiry_absolute(DueTime.QuadPart);
        store(Timer->Signalled, LONG{0});
        store(Timer->DueTime, due);
        Timer->Dpc = Dpc;
        store(Timer->Generation, load(Timer->Generation) + 1);
        store(Timer->Pending, LONG{1});
        tm.queue.emplace(due, Timer);
    }
    tm.changed.notify_all();
    return was_pending;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    host::sched::point("KeCancelTimer");
    if (!check_irql("KeCancelTimer", DISPATCH_LEVEL) || !check_timer(Timer, "KeCancelTimer")) return FALSE;
    Timers& tm = timers();
    std::lock_guard<host::sched::Mutex> guard(tm.lock);
    if (!load(Timer->Pending)) return FALSE;
    erase_timer(tm, Timer);
    store(Timer->Pending, LONG{0});
    store(Timer->Generation, load(Timer->Generation) + 1);
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    if (!check_timer(Timer, "KeReadStateTimer")) return FALSE;
    return load(Timer->Signalled) ? TRUE : FALSE;
}
