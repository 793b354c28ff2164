// Real-time priorities for the host's interrupt, DPC and device threads, and the watchdog that
// keeps them from starving the machine.
#include "platform/host/kernel/priority.h"

#include "platform/host/bus/bus.h"
#include "platform/host/diag/verifier.h"
#include "platform/host/sched/sched.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host {
namespace {

// SCHED_FIFO priorities, far below the kernel's own real-time threads (50 and up).
int fifo_priority(ThreadLevel level) {
    switch (level) {
    case ThreadLevel::Worker: return 5;
    case ThreadLevel::Dispatch: return 10;
    case ThreadLevel::Device: return 15;
    }
    return 10;
}
constexpr int kWatchdogPriority = 30;
constexpr auto kWatchdogTick = std::chrono::milliseconds(50);

const char* level_name(ThreadLevel level) {
    switch (level) {
    case ThreadLevel::Worker: return "processing";
    case ThreadLevel::Dispatch: return "DPC";
    case ThreadLevel::Device: return "interrupt";
    }
    return "?";
}

bool set_fifo(pthread_t thread, int priority) {
    sched_param param{};
    param.sched_priority = priority;
    return pthread_setschedparam(thread, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

int64_t cpu_ns(clockid_t clock) {
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return -1;
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

struct Watched {
    pthread_t thread;
    clockid_t clock;
    ThreadLevel level;
    bool demoted = false;
    // CPU time at the start of the current window, and when that window began.
    int64_t window_cpu = 0;
    std::chrono::steady_clock::time_point window_start;
};

struct Registry {
    std::mutex lock;
    std::vector<Watched*> threads;
    std::once_flag watchdog_started;
};

Registry& registry() {
    static auto* r = new Registry;  // lives as long as the detached threads that use it
    return *r;
}

std::atomic<uint64_t> g_runaways{0};

// A thread counts as running without blocking when, over a window of kRunawayMs, it used the
// processor for nearly all of it (blocking even briefly now and then leaves room for others;
// a busy loop does not).
void watch() {
    set_fifo(pthread_self(), kWatchdogPriority);
    Registry& r = registry();
    const auto window = std::chrono::milliseconds(kRunawayMs);
    for (;;) {
        std::this_thread::sleep_for(kWatchdogTick);
        std::vector<std::string> findings;
        {
            std::lock_guard<std::mutex> guard(r.lock);
            const auto now = std::chrono::steady_clock::now();
            for (Watched* w : r.threads) {
                if (w->demoted) continue;
                const auto elapsed = now - w->window_start;
                if (elapsed < window) continue;
                const int64_t cpu = cpu_ns(w->clock);
                const int64_t wall = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
                if (cpu >= 0 && cpu - w->window_cpu >= wall * 9 / 10) {
                    sched_param param{};
                    pthread_setschedparam(w->thread, SCHED_OTHER, &param);
                    w->demoted = true;
                    g_runaways.fetch_add(1, std::memory_order_relaxed);
                    findings.push_back(std::string("a ") + level_name(w->level) + " thread ran " +
                                       std::to_string(wall / 1'000'000) +
                                       " ms at real-time priority without blocking; dropped to normal priority");
                }
                w->window_cpu = cpu;
                w->window_start = now;
            }
        }
        for (const auto& f : findings)
            verifier::diagnostic(f);
    }
}

// Unregisters the thread when it ends, so the watchdog never reads a dead thread's clock.
struct Registration {
    Watched watched{};
    bool active = false;
    ~Registration() {
        if (!active) return;
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        for (auto it = r.threads.begin(); it != r.threads.end(); ++it) {
            if (*it == &watched) {
                r.threads.erase(it);
                break;
            }
        }
    }
};

thread_local Registration t_registration;

std::atomic<bool> g_preferred{false};

bool decide() {
    const char* env = std::getenv("QH_REALTIME");
    const bool wanted = env ? std::strcmp(env, "1") == 0 : g_preferred.load();
    if (!wanted) return false;
    // Probe with a short-lived thread, so the caller's own policy is left alone.
    bool permitted = false;
    std::thread([&] { permitted = set_fifo(pthread_self(), fifo_priority(ThreadLevel::Dispatch)); }).join();
    if (!permitted) {
        std::fprintf(stderr,
                     "host: real-time thread priorities are not permitted (root or CAP_SYS_NICE needed); interrupt "
                     "and DPC threads run at normal priority\n");
    }
    return permitted;
}

bool enabled() {
    // A controlled run has one thread running at a time, on virtual time: priorities order
    // nothing there, and the watchdog's real CPU time measures nothing of the run.
    if (host::sched::controlled()) return false;
    static const bool on = decide();
    return on;
}

}  // namespace

bool realtime_priorities() { return enabled(); }

void prefer_realtime() { g_preferred.store(true); }

uint64_t runaway_threads() { return g_runaways.load(std::memory_order_relaxed); }

void run_at_level(ThreadLevel level) {
    if (!enabled() || t_registration.active) return;
    Registration& reg = t_registration;
    clockid_t clock;
    if (pthread_getcpuclockid(pthread_self(), &clock) != 0) return;
    Registry& r = registry();
    std::call_once(r.watchdog_started, [] { std::thread(watch).detach(); });
    {
        std::lock_guard<std::mutex> guard(r.lock);
        reg.watched = Watched{pthread_self(), clock, level, false, cpu_ns(clock), std::chrono::steady_clock::now()};
        reg.active = true;
        r.threads.push_back(&reg.watched);
    }
    set_fifo(pthread_self(), fifo_priority(level));
}

}  // namespace host
