// DPC queueing rules and timers that queue DPCs.
#include <mutex>
#include <vector>

#include "kernel_fixture.h"

namespace {

// A DPC routine that can be held inside its body, records its runs and arguments.
struct Probe {
    std::mutex lock;
    std::vector<uintptr_t> args;  // SystemArgument1 of each run
    std::vector<int> order;       // DeferredContext tags in run order (shared through `shared`)
    std::atomic<int> runs{0};
    std::atomic<int> inside{0};
    std::atomic<int> max_inside{0};
    std::atomic<bool> hold{false};
    std::atomic<int> irql_seen{-1};
    KEVENT release;
};

void NTAPI ProbeDpc(PKDPC, PVOID context, PVOID arg1, PVOID) {
    auto* p = static_cast<Probe*>(context);
    int now = ++p->inside;
    int prev = p->max_inside.load();
    while (now > prev && !p->max_inside.compare_exchange_weak(prev, now)) {
    }
    p->irql_seen = KeGetCurrentIrql();
    {
        std::lock_guard<std::mutex> guard(p->lock);
        p->args.push_back(reinterpret_cast<uintptr_t>(arg1));
    }
    if (p->hold) {
        LARGE_INTEGER zero{};
        // At DISPATCH_LEVEL only a poll is legal: spin on it.
        while (KeWaitForSingleObject(&p->release, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT)
            std::this_thread::yield();
    }
    --p->inside;
    ++p->runs;
}

TEST_F(KernelTest, DpcIsQueuedOnceArgumentsOfLaterInsertsDroppedAndRunsAtDispatch) {
    Probe probe;
    KeInitializeEvent(&probe.release, NotificationEvent, FALSE);
    probe.hold = true;
    KDPC blocker, dpc;
    KeInitializeDpc(&blocker, ProbeDpc, &probe);
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    host::set_current_processor(0);
    // Keep processor 0 busy so the DPC under test stays queued.
    ASSERT_TRUE(KeInsertQueueDpc(&blocker, reinterpret_cast<PVOID>(100), nullptr));
    ASSERT_TRUE(eventually([&] { return probe.inside.load() == 1; }));
    probe.hold = false;
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(1), nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(2), nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(3), nullptr));
    EXPECT_EQ(host::queued_dpc_count(), 1u);
    KeSetEvent(&probe.release, 0, FALSE);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs.load(), 2);  // the blocker and one run of the DPC
    std::lock_guard<std::mutex> guard(probe.lock);
    EXPECT_EQ(probe.args, (std::vector<uintptr_t>{100, 1}));
    EXPECT_EQ(probe.irql_seen.load(), DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

struct Ordered {
    std::mutex lock;
    std::vector<int> order;
};
struct Tagged {
    Ordered* shared;
    int tag;
};
void NTAPI OrderDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* t = static_cast<Tagged*>(context);
    std::lock_guard<std::mutex> guard(t->shared->lock);
    t->shared->order.push_back(t->tag);
}

TEST_F(KernelTest, HighImportanceGoesToTheHeadOfTheQueue) {
    Probe probe;
    KeInitializeEvent(&probe.release, NotificationEvent, FALSE);
    probe.hold = true;
    KDPC blocker;
    KeInitializeDpc(&blocker, ProbeDpc, &probe);
    host::set_current_processor(1);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    ASSERT_TRUE(eventually([&] { return probe.inside.load() == 1; }));

    Ordered ordered;
    Tagged tags[4] = {{&ordered, 1}, {&ordered, 2}, {&ordered, 3}, {&ordered, 4}};
    KDPC dpcs[4];
    for (int i = 0; i < 4; ++i)
        KeInitializeDpc(&dpcs[i], OrderDpc, &tags[i]);
    KeSetImportanceDpc(&dpcs[2], HighImportance);
    KeSetImportanceDpc(&dpcs[3], HighImportance);
    for (auto& d : dpcs)
        KeInsertQueueDpc(&d, nullptr, nullptr);
    KeSetEvent(&probe.release, 0, FALSE);
    KeFlushQueuedDpcs();
    std::lock_guard<std::mutex> guard(ordered.lock);
    // Each high-importance insertion went in front of everything queued before it.
    EXPECT_EQ(ordered.order, (std::vector<int>{4, 3, 1, 2}));
}

struct Requeue {
    std::atomic<int> runs{0};
    PKDPC self = nullptr;
};
void NTAPI RequeueDpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto* r = static_cast<Requeue*>(context);
    // Dequeued before the call, so an insertion from inside the routine succeeds and runs again.
    if (++r->runs == 1) {
        EXPECT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr));
    }
}

TEST_F(KernelTest, ReinsertWhileRunningRunsAgainAndRemoveCancelsAQueuedOne) {
    Requeue r;
    KDPC dpc;
    KeInitializeDpc(&dpc, RequeueDpc, &r);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    ASSERT_TRUE(eventually([&] { return r.runs.load() == 2; }));
    KeFlushQueuedDpcs();
    EXPECT_EQ(r.runs.load(), 2);

    Probe probe;
    KeInitializeEvent(&probe.release, NotificationEvent, FALSE);
    probe.hold = true;
    KDPC blocker, victim;
    KeInitializeDpc(&blocker, ProbeDpc, &probe);
    KeInitializeDpc(&victim, ProbeDpc, &probe);
    host::set_current_processor(0);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    ASSERT_TRUE(eventually([&] { return probe.inside.load() == 1; }));
    EXPECT_TRUE(KeInsertQueueDpc(&victim, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&victim));
    EXPECT_FALSE(KeRemoveQueueDpc(&victim));
    EXPECT_FALSE(KeRemoveQueueDpc(&blocker));  // running, not queued: not waited for either
    KeSetEvent(&probe.release, 0, FALSE);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs.load(), 1);
    // Once removed it can be queued again.
    probe.hold = false;
    EXPECT_TRUE(KeInsertQueueDpc(&victim, nullptr, nullptr));
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs.load(), 2);
}

TEST_F(KernelTest, SameDpcCanRunOnTwoProcessorsAtOnce) {
    Probe probe;
    KeInitializeEvent(&probe.release, NotificationEvent, FALSE);
    probe.hold = true;
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    host::set_current_processor(0);
    ASSERT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(1), nullptr));
    ASSERT_TRUE(eventually([&] { return probe.inside.load() == 1; }));
    // Dequeued while it runs on processor 0: an insertion from processor 1 runs it there as well.
    host::set_current_processor(1);
    ASSERT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(2), nullptr));
    ASSERT_TRUE(eventually([&] { return probe.inside.load() == 2; }));
    KeSetEvent(&probe.release, 0, FALSE);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.max_inside.load(), 2);
    EXPECT_EQ(probe.runs.load(), 2);
}

TEST_F(KernelTest, SingleProcessorSerialisesDpcs) {
    host::set_processor_count(1);
    Probe probe;
    KeInitializeEvent(&probe.release, NotificationEvent, TRUE);
    KDPC a, b;
    KeInitializeDpc(&a, ProbeDpc, &probe);
    KeInitializeDpc(&b, ProbeDpc, &probe);
    for (int i = 0; i < 200; ++i) {
        host::set_current_processor(static_cast<unsigned>(i));
        KeInsertQueueDpc(&a, nullptr, nullptr);
        KeInsertQueueDpc(&b, nullptr, nullptr);
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.max_inside.load(), 1);
    EXPECT_GE(probe.runs.load(), 2);
}

TEST_F(KernelTest, TimerQueuesItsDpcAfterTheDueTimeAndRearmingReplaces) {
    Probe probe;
    KeInitializeEvent(&probe.release, NotificationEvent, TRUE);
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeReadStateTimer(&timer));

    auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(KeSetTimer(&timer, relative_ms(10000), &dpc));
    // Re-arming a pending timer returns TRUE and replaces the first setting: one run, soon.
    EXPECT_TRUE(KeSetTimer(&timer, relative_ms(20), &dpc));
    EXPECT_EQ(host::pending_timer_count(), 1u);
    ASSERT_TRUE(eventually([&] { return probe.runs.load() == 1; }));
    // On a clock tick: up to one tick early.
    EXPECT_GE(std::chrono::steady_clock::now() - begin,
              std::chrono::milliseconds(20) - std::chrono::nanoseconds(host::clock_tick_100ns() * 100));
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(probe.irql_seen.load(), DISPATCH_LEVEL);
    EXPECT_EQ(host::pending_timer_count(), 0u);
    // Expired: cancelling reports it was not pending.
    EXPECT_FALSE(KeCancelTimer(&timer));

    // A timer can be waited on; its signal comes with the expiry.
    KeSetTimer(&timer, relative_ms(5), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

    // Cancelled before the due time: no DPC.
    KeSetTimer(&timer, relative_ms(30), &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_EQ(host::pending_timer_count(), 0u);
    KTIMER witness;  // a later timer on the same DPC proves the cancelled one never fired
    KeInitializeTimer(&witness);
    KeSetTimer(&witness, relative_ms(60), &dpc);
    ASSERT_TRUE(eventually([&] { return probe.runs.load() == 2; }));
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs.load(), 2);
}

void NTAPI RearmDpc(PKDPC, PVOID context, PVOID, PVOID);
struct Rearm {
    KTIMER timer;
    KDPC dpc;
    std::atomic<int> runs{0};
};
void NTAPI RearmDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* r = static_cast<Rearm*>(context);
    // A DPC may re-arm its own timer at DISPATCH_LEVEL (what the audio retry does).
    if (++r->runs < 5) KeSetTimer(&r->timer, relative_ms(3), &r->dpc);
}

TEST_F(KernelTest, TimerDpcSharedWithDirectInsertionIsAbsorbedWhileQueued) {
    Rearm r;
    KeInitializeTimer(&r.timer);
    KeInitializeDpc(&r.dpc, RearmDpc, &r);
    KeSetTimer(&r.timer, relative_ms(3), &r.dpc);
    ASSERT_TRUE(eventually([&] { return r.runs.load() == 5; }));
    KeFlushQueuedDpcs();
    EXPECT_EQ(host::pending_timer_count(), 0u);
    EXPECT_EQ(r.runs.load(), 5);

    // One DPC object for a timer and for direct insertion: while queued, the timer's expiry adds
    // nothing.
    Probe probe;
    KeInitializeEvent(&probe.release, NotificationEvent, FALSE);
    probe.hold = true;
    KDPC blocker, shared;
    KeInitializeDpc(&blocker, ProbeDpc, &probe);
    KeInitializeDpc(&shared, ProbeDpc, &probe);
    host::set_processor_count(1);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    ASSERT_TRUE(eventually([&] { return probe.inside.load() == 1; }));
    EXPECT_TRUE(KeInsertQueueDpc(&shared, nullptr, nullptr));
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, relative_ms(1), &shared);
    ASSERT_TRUE(eventually([&] { return KeReadStateTimer(&timer) != FALSE; }));
    EXPECT_EQ(host::queued_dpc_count(), 1u);
    KeSetEvent(&probe.release, 0, FALSE);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs.load(), 2);  // the blocker and one run of the shared DPC
}

}  // namespace
