// Time as Windows keeps it: relative timers and time-outs expire on the clock tick (15.625 ms by
// default, 1 ms with a raised resolution), up to a tick early or late; a delay never ends early;
// and the virtual clock of the manually paced suites, which moves only when a test moves it.
#include "kernel_fixture.h"

#include <atomic>
#include <thread>

namespace {

constexpr int64_t kMs = 10000;  // 100 ns units

void NTAPI CountDpc(PKDPC, PVOID context, PVOID, PVOID) { static_cast<std::atomic<int>*>(context)->fetch_add(1); }

TEST_F(KernelTest, RelativeTimersExpireOnTheClockTickUpToATickEarlyOrLate) {
    EXPECT_EQ(host::clock_tick_100ns(), 156250) << "15.625 ms by default";
    for (int64_t tick : {int64_t(156250), int64_t(10000)}) {
        SCOPED_TRACE(tick);
        host::set_clock_tick_100ns(tick);
        KTIMER timer;
        KeInitializeTimer(&timer);
        for (int64_t interval : {3 * kMs, 20 * kMs, 100 * kMs, 1000 * kMs}) {
            const int64_t before = host::now_100ns();
            LARGE_INTEGER due;
            due.QuadPart = -interval;
            KeSetTimer(&timer, due, nullptr);
            const int64_t after = host::now_100ns();
            const int64_t expiry = timer.DueTime;
            EXPECT_EQ(expiry % tick, 0) << "not on a tick";
            EXPECT_GT(expiry - before, interval - tick) << "more than a tick early";
            EXPECT_LE(expiry - after, interval + tick) << "more than a tick late";
            if (interval <= tick) {
                EXPECT_LE(expiry - after, tick) << "a tick or less: at the next tick";
            }
            KeCancelTimer(&timer);
        }
    }
}

TEST_F(KernelTest, DelayNeverEndsEarlyAndTimeOutsMayEndATickEarly) {
    host::set_clock_tick_100ns(156250);
    for (int64_t interval : {2 * kMs, 25 * kMs}) {
        LARGE_INTEGER delay;
        delay.QuadPart = -interval;
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
        EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::nanoseconds(interval * 100));
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = relative_ms(40);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::nanoseconds((40 * kMs - 156250) * 100));
}

TEST_F(KernelTest, AnAbsoluteDueTimeAlreadyPastExpiresAtOnceNotAtTheNextTick) {
    // A tick of an hour: anything that waits for the next tick waits far past the checks below.
    host::set_clock_tick_100ns(36000000000LL);
    LARGE_INTEGER past;
    past.QuadPart = host::system_time_100ns() - 10 * kMs;

    // A wait on an object not signalled returns STATUS_TIMEOUT without blocking.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] { result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past); });
    const bool returned = eventually([&] { return result.load() != STATUS_PENDING; });
    KeSetEvent(&event, 0, FALSE);  // frees a waiter that was left waiting for the tick
    waiter.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
    EXPECT_EQ(host::timeouts(&event), 1u);
    // Signalled, the same wait is satisfied.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_SUCCESS);

    // A timer set to a past time is due now: its DPC runs without waiting for a tick.
    std::atomic<int> runs{0};
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, CountDpc, &runs);
    const int64_t before = host::now_100ns();
    KeSetTimer(&timer, past, &dpc);
    EXPECT_LE(timer.DueTime, host::now_100ns());
    EXPECT_GE(timer.DueTime, before);
    EXPECT_TRUE(eventually([&] { return runs.load() == 1; }));
    KeCancelTimer(&timer);
    host::flush_dpcs();

    // So is a delay until a past time.
    std::atomic<bool> delayed{false};
    std::thread sleeper([&] {
        KeDelayExecutionThread(KernelMode, FALSE, &past);
        delayed = true;
    });
    EXPECT_TRUE(eventually([&] { return delayed.load(); }));
    sleeper.join();

    // A future absolute due time still expires on a tick (the first one after it).
    LARGE_INTEGER later;
    later.QuadPart = host::system_time_100ns() + 20 * kMs;
    KeSetTimer(&timer, later, nullptr);
    EXPECT_EQ(timer.DueTime % host::clock_tick_100ns(), 0);
    EXPECT_TRUE(KeCancelTimer(&timer));
}

TEST_F(KernelTest, VirtualClockMovesOnlyWhenAdvancedAndExpiresExactlyAtTheDueTime) {
    host::set_virtual_clock(true);
    const int64_t start = host::now_100ns();
    std::atomic<int> runs{0};
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, CountDpc, &runs);
    LARGE_INTEGER due;
    due.QuadPart = -100 * kMs;
    KeSetTimer(&timer, due, &dpc);
    EXPECT_EQ(timer.DueTime, start + 100 * kMs) << "no tick on the virtual clock";
    host::advance_clock(100 * kMs - 1);
    EXPECT_EQ(host::now_100ns(), start + 100 * kMs - 1);
    EXPECT_EQ(host::pending_timer_count(), 1u);
    host::advance_clock(1);
    ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
    EXPECT_TRUE(KeReadStateTimer(&timer));

    // A wait with a long time-out ends when the clock reaches it, not in real time; a set
    // before that still satisfies it.
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    auto wait = [&] {
        LARGE_INTEGER timeout = relative_ms(60000);
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    };
    std::thread first(wait);
    host::advance_clock(30000 * kMs);
    KeSetEvent(&event, 0, FALSE);
    first.join();
    EXPECT_EQ(result.load(), STATUS_SUCCESS);
    result = STATUS_PENDING;
    const auto begin = std::chrono::steady_clock::now();
    std::thread second(wait);
    // The waiter may not have started its wait yet: keep moving the clock until it times out.
    ASSERT_TRUE(eventually([&] {
        host::advance_clock(60000 * kMs);
        return result.load() != STATUS_PENDING;
    }));
    second.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);

    // A delay (scaled 1) sleeps on the virtual clock too.
    host::set_delay_scale(1.0);
    std::atomic<bool> delayed{false};
    std::thread sleeper([&] {
        LARGE_INTEGER interval;
        interval.QuadPart = -10000 * kMs;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        delayed = true;
    });
    ASSERT_TRUE(eventually([&] { return host::delays().size() == 1; }));
    EXPECT_FALSE(delayed.load());
    ASSERT_TRUE(eventually([&] {
        host::advance_clock(10000 * kMs);
        return delayed.load();
    }));
    sleeper.join();
    // Minutes of kernel time went by; the real time spent is what the threads took to run.
    EXPECT_GE(host::now_100ns() - start, 100000 * kMs);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(60));
}

}  // namespace
