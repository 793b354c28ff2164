// The scheduler of controlled runs on small programs of its own primitives: what it finds, that a
// seed replays, and what it reports when a run cannot go on. Each schedule runs in a child process.
#include "tests/support/schedules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <set>
#include <vector>

namespace {

using host::sched::Strategy;
using qh::schedules::check;
using qh::schedules::Outcome;
using qh::schedules::run_one;

constexpr std::chrono::seconds kTimeout{60};

host::sched::Options options(Strategy::Kind kind, uint64_t seed, uint32_t depth = 2, uint64_t expected = 8) {
    host::sched::Options o;
    o.strategy = Strategy{kind, seed, depth};
    o.expected_steps = expected;
    return o;
}

// Two threads add one to a counter each; with `locked` false the read and the write are apart.
void counter_program(bool locked) {
    host::sched::Mutex m;
    int counter = 0;
    auto add = [&] {
        if (locked) m.lock();
        const int seen = counter;
        host::sched::point("between read and write");
        counter = seen + 1;
        if (locked) m.unlock();
    };
    host::sched::Thread other("adder", add);
    add();
    other.join();
    check(counter == 2, "counter is " + std::to_string(counter) + " after two additions");
}

TEST(Schedule, PctFindsALostUpdateAndItsSeedReplaysTheSameSwitches) {
    std::optional<Outcome> found;
    uint64_t tried = 0;
    for (uint64_t seed = 1; seed <= 50 && !found; ++seed, ++tried) {
        Outcome o = run_one(
            options(Strategy::Kind::Pct, seed), [] { counter_program(false); }, kTimeout);
        if (!o.passed()) found = o;
    }
    ASSERT_TRUE(found) << "PCT at depth 2 never interleaved the read and the write in 50 schedules";
    EXPECT_EQ(found->status, 78) << found->output;
    EXPECT_NE(found->output.find("counter is 1 after two additions"), std::string::npos) << found->output;
    EXPECT_NE(found->output.find("replay: QH_SCHEDULE=pct:"), std::string::npos) << found->output;
    EXPECT_NE(found->output.find("between read and write"), std::string::npos) << "the trace names the point\n"
                                                                               << found->output;
    for (int i = 0; i < 3; ++i) {
        Outcome again = run_one(
            options(Strategy::Kind::Pct, found->strategy.seed), [] { counter_program(false); }, kTimeout);
        EXPECT_TRUE(qh::schedules::same_run(*found, again)) << found->output << "\n---\n" << again.output;
    }
    // The same schedules with the lock: nothing to find.
    for (uint64_t seed = 1; seed <= tried; ++seed) {
        Outcome o = run_one(
            options(Strategy::Kind::Pct, seed), [] { counter_program(true); }, kTimeout);
        ASSERT_TRUE(o.passed()) << o.output;
    }
}

TEST(Schedule, RandomSeedsExploreDifferentOrdersAndEachReplaysExactly) {
    auto program = [] {
        host::sched::Mutex m;
        std::vector<int> order;
        std::vector<host::sched::Thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back("writer", [&, t] {
                for (int i = 0; i < 3; ++i) {
                    std::lock_guard<host::sched::Mutex> guard(m);
                    order.push_back(t);
                }
            });
        for (auto& t : threads)
            t.join();
        check(order.size() == 9, "nine writes");
    };
    std::set<std::string> traces;
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        Outcome a = run_one(options(Strategy::Kind::Random, seed), program, kTimeout);
        ASSERT_TRUE(a.passed()) << a.output;
        ASSERT_FALSE(a.trace_hash.empty()) << a.output;
        Outcome b = run_one(options(Strategy::Kind::Random, seed), program, kTimeout);
        EXPECT_TRUE(qh::schedules::same_run(a, b)) << "random:" << seed << " did not replay";
        traces.insert(a.trace_hash);
    }
    EXPECT_GE(traces.size(), 4u) << "eight seeds gave only " << traces.size() << " different interleavings";

    Strategy s;
    std::string error;
    EXPECT_TRUE(host::sched::parse("pct:12:3", s, error));
    EXPECT_EQ(host::sched::describe(s), "pct:12:3");
    EXPECT_TRUE(host::sched::parse("pct:12:3:8", s, error));
    EXPECT_EQ(s.delays, 8u);
    EXPECT_EQ(host::sched::describe(s), "pct:12:3:8");
    EXPECT_TRUE(host::sched::parse("random:5:2", s, error));
    EXPECT_EQ(host::sched::describe(s), "random:5:2");
    for (const char* bad : {"pct:12", "random:", "random:-1", "pct:1:0", "lottery:3", "random:99999999999999999999",
                            "pct:1:3:x", "random:1:2:3", "pct:1:3:1001"}) {
        EXPECT_FALSE(host::sched::parse(bad, s, error)) << bad;
        EXPECT_NE(error.find("expected random:SEED or pct:SEED:DEPTH"), std::string::npos) << error;
    }
}

// A reader looks at a value twice with nothing between that blocks; a writer changes it at 5 ms.
// Ordering alone runs both looks at one instant (time passes only when nothing can run), so only
// a preemption of the reader between them lets the write fall inside. The writer stands for
// hardware: it is never delayed, and writes at 5 ms exactly.
void window_program(bool on_the_bus = false) {
    int value = 0;
    host::sched::Clock::time_point written{};
    host::sched::Thread writer("writer", [&] {
        host::sched::never_delayed();
        host::sched::sleep_for(std::chrono::milliseconds(5));
        value = 1;
        written = host::sched::Clock::now();
        host::sched::point("written");
    });
    host::sched::sleep_for(std::chrono::milliseconds(4));
    for (int look = 0; look < 20; ++look) {
        std::optional<host::sched::HardwareScope> bus;
        if (on_the_bus) bus.emplace();
        const int first = value;
        host::sched::point("between the looks");
        check(value == first, "the value changed between two looks");
    }
    writer.join();
    check(written - host::sched::Clock::start() == std::chrono::milliseconds(5),
          "the writer was held up: it wrote at " + std::to_string((written - host::sched::Clock::start()).count()) +
              " ns");
}

// A part of interest that ends before the run does: its steps alone are counted, and preemptions
// drawn over a longer span than it took are not taken after it.
TEST(Schedule, PreemptionsStayInsideThePartOfInterest) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        host::sched::Options o = options(Strategy::Kind::Pct, seed, 3, 400);
        o.strategy.delays = 20;
        Outcome run = run_one(
            o,
            [] {
                for (int i = 0; i < 50; ++i)
                    host::sched::point("before");
                host::sched::focus();
                for (int i = 0; i < 200; ++i)
                    host::sched::point("inside");
                host::sched::end_focus();
                const uint64_t focused = host::sched::focused_steps();
                const auto inside = host::sched::delayed();
                for (int i = 0; i < 400; ++i)
                    host::sched::point("after");
                check(focused >= 200 && focused <= 202 && host::sched::focused_steps() == focused,
                      "the part of interest counts its own steps: " + std::to_string(focused) + ", then " +
                          std::to_string(host::sched::focused_steps()));
                check(inside > std::chrono::nanoseconds(0), "no preemption inside the part of interest");
                check(host::sched::delayed() == inside, "a preemption came after the part of interest");
            },
            kTimeout);
        ASSERT_TRUE(run.passed()) << "pct:" << seed << ":3:20\n" << run.output;
    }
}

TEST(Schedule, PreemptionsLetTimePassInsideAWindowThatOrderingAloneNeverOpens) {
    for (uint64_t seed = 1; seed <= 30; ++seed) {
        Outcome o = run_one(
            options(Strategy::Kind::Pct, seed, 3, 60), [] { window_program(); }, kTimeout);
        ASSERT_TRUE(o.passed()) << "without preemptions the window opened under pct:" << seed << ":3\n" << o.output;
    }
    std::optional<Outcome> found;
    for (uint64_t seed = 1; seed <= 200 && !found; ++seed) {
        host::sched::Options o = options(Strategy::Kind::Pct, seed, 3, 60);
        o.strategy.delays = 4;
        Outcome run = run_one(
            o, [] { window_program(); }, kTimeout);
        if (!run.passed()) found = run;
    }
    ASSERT_TRUE(found) << "four preemptions per run never opened the window in 200 schedules";
    EXPECT_NE(found->output.find("the value changed between two looks"), std::string::npos) << found->output;
    EXPECT_NE(found->output.find("preempted"), std::string::npos) << "the trace shows the preemption\n"
                                                                  << found->output;
    EXPECT_NE(found->output.find("QH_SCHEDULE=pct:" + std::to_string(found->strategy.seed) + ":3:4"), std::string::npos)
        << found->output;
    host::sched::Options again = options(Strategy::Kind::Pct, found->strategy.seed, 3, 60);
    again.strategy.delays = 4;
    EXPECT_TRUE(qh::schedules::same_run(*found, run_one(
                                                    again, [] { window_program(); }, kTimeout)));
    // Inside the card model (a register access) the same schedule's preemption never falls.
    const Outcome on_the_bus = run_one(
        again, [] { window_program(true); }, kTimeout);
    EXPECT_TRUE(on_the_bus.passed()) << "a thread was preempted inside a register access\n" << on_the_bus.output;

    // At dispatch level only interrupts hold a thread up: the same preemptions, capped at 100 us,
    // never reach from 4 ms to the write at 5 ms.
    for (uint64_t seed = 1; seed <= 30; ++seed) {
        host::sched::Options o = options(Strategy::Kind::Pct, seed, 3, 60);
        o.strategy.delays = 4;
        Outcome run = run_one(
            o,
            [] {
                host::sched::set_level_source([] { return host::sched::Level::Interruptible; });
                window_program();
            },
            kTimeout);
        ASSERT_TRUE(run.passed()) << "a dispatch-level thread was held up for a millisecond\n" << run.output;
    }
}

TEST(Schedule, ADeadlockAndALivelockStopTheRunWithTheirThreads) {
    auto inversion = [] {
        host::sched::Mutex first, second;
        host::sched::Thread other("other", [&] {
            std::lock_guard<host::sched::Mutex> a(second);
            std::lock_guard<host::sched::Mutex> b(first);
        });
        {
            std::lock_guard<host::sched::Mutex> a(first);
            std::lock_guard<host::sched::Mutex> b(second);
        }
        other.join();
    };
    std::optional<Outcome> deadlock;
    for (uint64_t seed = 1; seed <= 40 && !deadlock; ++seed) {
        Outcome o = run_one(options(Strategy::Kind::Random, seed), inversion, kTimeout);
        if (!o.passed()) deadlock = o;
    }
    ASSERT_TRUE(deadlock) << "no schedule of 40 took the two locks in the crossing order";
    EXPECT_EQ(deadlock->status, 72) << deadlock->output;
    EXPECT_NE(deadlock->output.find("deadlock: every thread is blocked"), std::string::npos) << deadlock->output;
    EXPECT_NE(deadlock->output.find("other#1: blocked on mutex"), std::string::npos) << deadlock->output;
    EXPECT_NE(deadlock->output.find("main#0: blocked on mutex"), std::string::npos) << deadlock->output;

    // Two threads each waiting for the other to move first, spinning: no one blocks, the clock
    // never needs to move, only the step bound ends it.
    host::sched::Options bounded = options(Strategy::Kind::Pct, 3);
    bounded.step_limit = 5000;
    Outcome livelock = run_one(
        bounded,
        [] {
            std::atomic<bool> never{false};
            host::sched::Thread other("spinner", [&] {
                while (!never.load())
                    host::sched::spin();
            });
            while (!never.load())
                host::sched::spin();
            other.join();
        },
        kTimeout);
    EXPECT_EQ(livelock.status, 73) << livelock.output;
    EXPECT_NE(livelock.output.find("step bound of 5000 exceeded"), std::string::npos) << livelock.output;
}

TEST(Schedule, VirtualTimeJumpsToTheEarliestWakeUpAndNeverRunsEarly) {
    auto program = [] {
        using namespace std::chrono_literals;
        const auto t0 = host::sched::Clock::now();
        host::sched::Mutex m;
        host::sched::CondVar cv;
        bool ready = false;
        host::sched::Clock::time_point woke{};
        host::sched::Thread sleeper("sleeper", [&] {
            host::sched::sleep_for(5s);
            std::lock_guard<host::sched::Mutex> g(m);
            ready = true;
            woke = host::sched::Clock::now();
            cv.notify_all();
        });
        {
            std::unique_lock<host::sched::Mutex> lock(m);
            check(!cv.wait_for(lock, 2s, [&] { return ready; }), "a 2 s wait ended before the 5 s sleep");
            check(host::sched::Clock::now() - t0 == 2s, "the 2 s time-out came exactly 2 s on");
            check(cv.wait_for(lock, 60s, [&] { return ready; }), "the notification came");
            check(woke - t0 == 5s, "the sleeper woke exactly 5 s on");
        }
        sleeper.join();
        host::sched::burn(3ms);
        check(host::sched::Clock::now() - t0 == 5s + 3ms, "busy time moves the clock by itself");
    };
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        Outcome o = run_one(options(seed % 2 ? Strategy::Kind::Random : Strategy::Kind::Pct, seed), program, kTimeout);
        EXPECT_TRUE(o.passed()) << o.output;
    }
}

}  // namespace
