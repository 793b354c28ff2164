// Thread priorities modelling IRQL preemption: DPC threads above passive-level threads, the
// interrupt thread above them, and the watchdog that drops a runaway real-time thread back.
#include <pthread.h>
#include <sched.h>

#include <cstdlib>

#include "kernel_fixture.h"
#include "platform/host/bus/bus.h"
#include "platform/host/kernel/priority.h"

namespace {

struct Policy {
    int policy = -1;
    int priority = -1;
};

Policy policy_of(pthread_t thread) {
    Policy p;
    sched_param param{};
    if (pthread_getschedparam(thread, &p.policy, &param) == 0) p.priority = param.sched_priority;
    p.policy &= ~SCHED_RESET_ON_FORK;
    return p;
}

std::atomic<int> g_dpc_policy{-1}, g_dpc_priority{-1};

void NTAPI RecordPolicyDpc(PKDPC, PVOID, PVOID, PVOID) {
    const Policy p = policy_of(pthread_self());
    g_dpc_priority = p.priority;
    g_dpc_policy = p.policy;
}

}  // namespace

TEST_F(KernelTest, RealtimeLevelsOrderedAndRunawayThreadDroppedByTheWatchdog) {
    // Decided once per process, at the first thread that asks (ctest runs each test alone).
    setenv("QH_REALTIME", "1", 0);
    if (!host::realtime_priorities())
        GTEST_SKIP() << "this process runs without real-time priorities (not permitted, QH_REALTIME not 1, or "
                        "decided before this test)";
    // A DPC runs on a real-time thread; this passive-level thread keeps the normal policy.
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordPolicyDpc, nullptr);
    ASSERT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    ASSERT_TRUE(eventually([] { return g_dpc_policy.load() != -1; }));
    EXPECT_EQ(g_dpc_policy.load(), SCHED_FIFO);
    EXPECT_EQ(policy_of(pthread_self()).policy, SCHED_OTHER);

    // Interrupt threads stand above DPC threads, which stand above the processing threads.
    auto level_policy = [](host::ThreadLevel level) {
        Policy p;
        std::thread([&] {
            host::run_at_level(level);
            p = policy_of(pthread_self());
        }).join();
        return p;
    };
    const Policy interrupt = level_policy(host::ThreadLevel::Device);
    const Policy worker = level_policy(host::ThreadLevel::Worker);
    EXPECT_EQ(interrupt.policy, SCHED_FIFO);
    EXPECT_EQ(worker.policy, SCHED_FIFO);
    EXPECT_GT(interrupt.priority, g_dpc_priority.load());
    EXPECT_GT(g_dpc_priority.load(), worker.priority);

    // A real-time thread that blocks now and then is left alone; one that spins past the limit
    // is dropped to the normal policy and reported.
    const uint64_t before = host::runaway_threads();
    std::atomic<bool> stop{false};
    Policy spinning_after;
    std::thread spinner([&] {
        host::run_at_level(host::ThreadLevel::Dispatch);
        while (policy_of(pthread_self()).policy == SCHED_FIFO && !stop.load()) {
        }
        spinning_after = policy_of(pthread_self());
    });
    std::thread sleeper([&] {
        host::run_at_level(host::ThreadLevel::Dispatch);
        while (!stop.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(policy_of(pthread_self()).policy, SCHED_FIFO) << "a thread that blocks keeps its priority";
    });
    const bool dropped = eventually([&] { return host::runaway_threads() > before; }, std::chrono::seconds(20));
    stop = true;
    spinner.join();
    sleeper.join();
    ASSERT_TRUE(dropped);
    EXPECT_EQ(spinning_after.policy, SCHED_OTHER);
    EXPECT_EQ(host::runaway_threads(), before + 1);
    EXPECT_EQ(host::verifier::count_diagnostics("without blocking; dropped to normal priority"), 1u);
    host::verifier::clear_diagnostics();
}
