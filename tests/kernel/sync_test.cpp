// Events, the kernel mutex, waits with time-outs and recorded delays.
#include <vector>

#include "kernel_fixture.h"

namespace {

TEST_F(KernelTest, NotificationEventStaysSignalledAndReleasesEveryWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);

    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            ++woken;
        });
    }
    // Whether a waiter is already blocked or arrives later, the one set releases it: the event
    // stays signalled.
    EXPECT_EQ(woken.load(), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);  // previous state: not signalled
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 3);

    // Stays signalled: a later wait returns at once and does not clear it; setting again reports it.
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_NE(KeSetEvent(&event, 0, FALSE), 0);
    // Two sets are one state, not a count: one clear makes it non-signalled.
    KeClearEvent(&event);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeResetEvent(&event), 0);
}

TEST_F(KernelTest, SetThenClearStillReleasesWaitersAlreadyBlocked) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<bool> entered{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] {
        entered = true;
        LARGE_INTEGER t = relative_ms(20000);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
    });
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    // Give the waiter time to block; the outcome is the same either way (it sees the signal or
    // the generation change), so this sleep only makes the interesting path more likely.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    KeSetEvent(&event, 0, FALSE);
    KeClearEvent(&event);
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(KernelTest, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    // Starts signalled; one satisfied wait consumes it.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        });
    KeSetEvent(&event, 0, FALSE);
    ASSERT_TRUE(eventually([&] { return woken.load() == 1; }));
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, 0, FALSE);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(KeReadStateEvent(&event), 0);

    // Two sets in a row while two threads wait release both: each set hands the event to one
    // waiter at once rather than leaving it signalled for whoever runs first.
    woken = 0;
    waiters.clear();
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        });
    // The host counts a synchronization event's blocked waiters in its Reserved field.
    ASSERT_TRUE(eventually([&] { return __atomic_load_n(&event.Reserved, __ATOMIC_ACQUIRE) == 2; }));
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);  // the first set left it not signalled
    ASSERT_TRUE(eventually([&] { return woken.load() == 2; }));
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(KernelTest, WaitTimesOutWithSuccessCodeAndIsRecorded) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = relative_ms(30);
    auto begin = std::chrono::steady_clock::now();
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_TRUE(NT_SUCCESS(status));  // a time-out passes NT_SUCCESS
    // A relative time-out expires on a clock tick: up to one tick early.
    EXPECT_GE(std::chrono::steady_clock::now() - begin,
              std::chrono::milliseconds(30) - std::chrono::nanoseconds(host::clock_tick_100ns() * 100));

    // An absolute due time in the past is a poll.
    LARGE_INTEGER past;
    past.QuadPart = host::system_time_100ns() - 10000000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);

    auto waits = host::waits();
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_EQ(waits[0].interval, -300000);
    EXPECT_EQ(waits[0].object, &event);
    EXPECT_EQ(waits[0].result, STATUS_TIMEOUT);
    EXPECT_EQ(waits[0].thread, host::thread_id());
    EXPECT_FALSE(waits[0].infinite);
    EXPECT_EQ(host::timeouts(&event), 2u);

    // A set that arrives before the time-out ends the wait with STATUS_SUCCESS.
    std::thread setter([&] { KeSetEvent(&event, 0, FALSE); });
    LARGE_INTEGER long_timeout = relative_ms(20000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &long_timeout), STATUS_SUCCESS);
    setter.join();
    EXPECT_EQ(host::timeouts(&event), 2u);
}

TEST_F(KernelTest, SetEventWithWaitTrueHoldsDispatchLevelUntilTheWaitThatMustFollow) {
    KEVENT done, other;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KeInitializeEvent(&other, SynchronizationEvent, FALSE);
    host::verifier::Capture capture;

    // From PASSIVE_LEVEL and from APC_LEVEL: the set takes effect, the caller is left at
    // DISPATCH_LEVEL, and its next wait (legal there, being the one announced) brings it back.
    for (KIRQL start : {KIRQL(PASSIVE_LEVEL), KIRQL(APC_LEVEL)}) {
        SCOPED_TRACE(int(start));
        KeClearEvent(&done);
        KIRQL old = PASSIVE_LEVEL;
        KeRaiseIrql(start, &old);
        EXPECT_EQ(KeSetEvent(&done, 0, TRUE), 0);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_TRUE(host::wait_owed());
        EXPECT_EQ(KeReadStateEvent(&done), 1);  // what DISPATCH_LEVEL allows meanwhile is allowed
        LARGE_INTEGER timeout = relative_ms(1);
        EXPECT_EQ(KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        EXPECT_FALSE(host::wait_owed());
        EXPECT_EQ(host::waits().back().irql, start);
        KeLowerIrql(old);
    }
    EXPECT_EQ(capture.count(), 0u);

    // Anything between the set and the wait that DISPATCH_LEVEL does not allow is a stop: a
    // delay, a second set with Wait TRUE, lowering the IRQL by hand.
    KeSetEvent(&done, 0, TRUE);
    LARGE_INTEGER delay = relative_ms(1);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    KeSetEvent(&done, 0, TRUE);
    KeLowerIrql(PASSIVE_LEVEL);
    ASSERT_EQ(capture.count(), 3u);
    for (const auto& r : capture.records())
        EXPECT_EQ(r.code, host::verifier::kIrqlNotLessOrEqual) << r.message;
    EXPECT_EQ(capture.count_containing("KeDelayExecutionThread called at IRQL 2"), 1u);
    EXPECT_EQ(capture.count_containing("KeSetEvent (Wait TRUE) called at IRQL 2; its limit is IRQL 1"), 1u);
    EXPECT_EQ(capture.count_containing("KeLowerIrql to IRQL 0 after KeSetEvent with Wait TRUE"), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Wait TRUE from DISPATCH_LEVEL is refused outright: the event is not set, nothing is owed.
    capture.clear();
    KeClearEvent(&done);
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(KeSetEvent(&done, 0, TRUE), 0);
        EXPECT_FALSE(host::wait_owed());
        EXPECT_EQ(KeReadStateEvent(&done), 0);
        KeSetEvent(&done, 0, FALSE);  // Wait FALSE stays legal there
        EXPECT_EQ(KeReadStateEvent(&done), 1);
    }
    EXPECT_EQ(capture.count(), 1u);
    EXPECT_EQ(capture.count_containing("KeSetEvent (Wait TRUE) called at IRQL 2"), 1u);
}

TEST_F(KernelTest, MutexIsRecursiveOwnedPerThreadAndLeavesIrqlPassive) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // a kernel mutex does not raise the IRQL
    ASSERT_EQ(KeWaitForMutexObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(host::owned_mutex_count(), 1u);
    EXPECT_EQ(host::snapshot_thread().owned_mutexes.front(), &mutex);

    // Another thread cannot take it, neither by polling nor within a time-out.
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        LARGE_INTEGER zero{};
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
        LARGE_INTEGER t = relative_ms(10);
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    ASSERT_TRUE(eventually([&] { return host::timeouts(&mutex) == 2; }));
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(host::owned_mutex_count(), 1u);  // still held once
    EXPECT_FALSE(acquired.load());
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(host::owned_mutex_count(), 0u);
    other.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(KernelTest, MutexGivesExclusionUnderContention) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    int counter = 0;  // plain: only touched under the mutex (the thread sanitizer checks the claim)
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
                int v = counter;
                std::this_thread::yield();
                counter = v + 1;
                KeReleaseMutex(&mutex, FALSE);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 2000);
}

TEST_F(KernelTest, DelaysAreRecordedAndScaledByTheClock) {
    host::set_delay_scale(0);
    LARGE_INTEGER interval = relative_ms(1000);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &zero), STATUS_SUCCESS);
    LARGE_INTEGER huge;
    huge.QuadPart = -static_cast<int64_t>(0xFFFFFFFFu) * 10000;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &huge), STATUS_SUCCESS);
    // Well under the second requested: scale 0 returns at once (a loose bound, not a speed test).
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(60));

    // A delay under a held mutex is legal and the IRQL stays passive.
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER ten = relative_ms(10);
    KeDelayExecutionThread(KernelMode, FALSE, &ten);
    KeReleaseMutex(&mutex, FALSE);

    auto d = host::delays();
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[0].interval, -10000000);
    EXPECT_EQ(d[1].interval, 0);
    EXPECT_EQ(d[2].interval, -42949672950000LL);
    EXPECT_EQ(d[3].interval, -100000);
    EXPECT_EQ(d[3].irql, PASSIVE_LEVEL);
    EXPECT_EQ(d[3].thread, host::thread_id());
    EXPECT_TRUE(host::waits().size() == 1);  // the mutex wait, recorded apart from delays

    // Real time: the delay never ends early.
    host::set_delay_scale(1);
    LARGE_INTEGER twenty = relative_ms(20);
    begin = std::chrono::steady_clock::now();
    KeDelayExecutionThread(KernelMode, FALSE, &twenty);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(20));
}

TEST_F(KernelTest, IrqlIsPerThreadAndRaiseLowerNest) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = 0xFF;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KIRQL seen_elsewhere = 0xFF;
    std::thread([&] { seen_elsewhere = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(seen_elsewhere, PASSIVE_LEVEL);
    {
        host::ScopedIrql dirql(7);
        EXPECT_EQ(KeGetCurrentIrql(), 7);
    }
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
