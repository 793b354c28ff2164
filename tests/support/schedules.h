// Runs a scenario under many controlled schedules (host/sched): each schedule in its own child
// process, so every run starts from a process without host threads and a failure of one (a stop,
// a failed check, a deadlock, a hang) is reported with its strategy and replayed by setting
// QH_SCHEDULE to it. The test program's own process never runs the host.
//
// Environment, read by plan_from_environment:
//   QH_SCHEDULE=random:SEED | pct:SEED:DEPTH   run exactly that schedule (a replay) and print its trace;
//                                              either may end in :DELAYS (preemptions, see sched.h)
//   QH_SCHEDULES=N                             schedules per scenario (default: the suite's own count)
//   QH_SCHEDULE_FIRST=SEED                     first seed (default 1)
//   QH_SCHEDULE_KIND=pct:DEPTH | random        strategy of the exploration (default: the suite's),
//                                              either may end in :DELAYS
//   QH_SCHEDULE_TRACE=N                        switches a failure shows (default 40)
#pragma once

#include "platform/host/sched/sched.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qh::schedules {

struct Outcome {
    host::sched::Strategy strategy;
    int status = 0;              // the child's exit status; 0 passed
    std::string output;          // what it printed (stdout and stderr)
    uint64_t steps = 0;          // scheduling points passed (when it got to report them)
    uint64_t focused_steps = 0;  // of them, after the scenario's host::sched::focus()
    std::string trace_hash;      // of its last switches, to compare replays
    bool passed() const { return status == 0; }
};

struct Plan {
    uint64_t count = 20;
    uint64_t first_seed = 1;
    host::sched::Strategy::Kind kind = host::sched::Strategy::Kind::Pct;
    uint32_t depth = 3;
    uint32_t delays = 0;                          // preemptions per schedule
    std::optional<host::sched::Strategy> replay;  // QH_SCHEDULE
    std::chrono::seconds timeout{120};            // per schedule; a hang is a failure
    uint64_t expected_steps = 0;                  // PCT's span (QH_SCHEDULE_STEPS); 0: the scheduler's default
    uint64_t step_limit = 0;                      // 0: the scheduler's default
    uint64_t trace_length = 0;                    // switches a failure shows (QH_SCHEDULE_TRACE); 0: the default

    host::sched::Options options(const host::sched::Strategy& strategy) const;
    // The environment that replays `strategy` under this plan.
    std::string replay_hint(const host::sched::Strategy& strategy) const;
};

// Sets the plan's strategy from a kind ("random", "pct:DEPTH", either with ":DELAYS"); false,
// leaving the plan as it was, when the text is not one.
bool set_kind(std::string_view kind, Plan& plan);

// The plan for a scenario whose suite runs `default_count` schedules; false (with `error`) when
// the environment holds an unreadable setting.
bool plan_from_environment(uint64_t default_count, Plan& plan, std::string& error);

// One schedule of `scenario` in a child process. The scenario ends normally to pass; it fails with
// check(), a verifier stop or diagnostic, a deadlock, the step bound or the time-out.
Outcome run_one(const host::sched::Options& options, const std::function<void()>& scenario,
                std::chrono::seconds timeout);

struct Exploration {
    uint64_t runs = 0;            // schedules run (up to and including a failing one)
    uint64_t max_steps = 0;       // the longest passing run
    uint64_t expected_steps = 0;  // the PCT span used (measured when the plan gave none)
    std::optional<Outcome> failure;
};

// Runs the plan's schedules, stopping at the first failure. A PCT plan without a span first runs
// random:0 to measure one.
Exploration explore(const Plan& plan, const std::function<void()>& scenario);

// A scenario's own check: a failure stops the run with the schedule's trace.
void check(bool ok, const std::string& what);

// Whether two runs of the same strategy did the same: steps and trace.
bool same_run(const Outcome& a, const Outcome& b);

}  // namespace qh::schedules
