// Bug checks and diagnostics of the host verifier.
#include "platform/host/diag/verifier.h"
#include "platform/host/sched/sched.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace host::verifier {

struct Capture::State {
    mutable host::sched::Mutex lock;
    mutable host::sched::CondVar changed;
    std::vector<BugCheck> records;
    Capture::State* outer = nullptr;
};

namespace {

host::sched::Mutex& capture_lock() {
    static auto* lock = new host::sched::Mutex;
    return *lock;
}
Capture::State* g_innermost = nullptr;  // guarded by capture_lock()
std::atomic<int> g_captures{0};

// Stops raised in signal handlers while a capture is active, waiting to be recorded.
struct SignalSlot {
    std::atomic<int> state{0};  // 0 free, 1 being written, 2 ready
    uint32_t code = 0;
    uintptr_t address = 0;
    char what[192] = {};
};
SignalSlot g_signal_slots[16];

// Moves stops raised in signal handlers into the capture (outside any handler).
void drain_signal_slots() {
    for (SignalSlot& slot : g_signal_slots) {
        if (slot.state.load(std::memory_order_acquire) != 2) continue;
        char where[48];
        std::snprintf(where, sizeof where, " (address 0x%llX)", static_cast<unsigned long long>(slot.address));
        std::string message = std::string(slot.what) + where;
        uint32_t code = slot.code;
        slot.state.store(0, std::memory_order_release);
        bugcheck(code, message);
    }
}

host::sched::Mutex& diagnostic_lock() {
    static auto* lock = new host::sched::Mutex;
    return *lock;
}
std::vector<std::string>& diagnostic_list() {
    static auto* list = new std::vector<std::string>;
    return *list;
}
size_t g_diagnostic_count = 0;  // guarded by diagnostic_lock()

host::sched::Mutex& overrun_lock() {
    static auto* lock = new host::sched::Mutex;
    return *lock;
}
std::vector<Overrun>& overrun_list() {
    static auto* list = new std::vector<Overrun>;
    return *list;
}

}  // namespace

const char* code_name(uint32_t code) {
    switch (code) {
    case kIrqlNotLessOrEqual: return "IRQL_NOT_LESS_OR_EQUAL";
    case kThreadNotMutexOwner: return "THREAD_NOT_MUTEX_OWNER";
    case kPageFaultInNonPagedArea: return "PAGE_FAULT_IN_NONPAGED_AREA";
    case kInvalidKernelHandle: return "INVALID_KERNEL_HANDLE";
    case kInterruptStorm: return "INTERRUPT_STORM";
    case kAttemptedWriteToReadonlyMemory: return "ATTEMPTED_WRITE_TO_READONLY_MEMORY";
    case kBadPoolCaller: return "BAD_POOL_CALLER";
    case kDriverVerifierViolation: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case kPageFaultInFreedSpecialPool: return "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL";
    case kPageFaultBeyondEndOfAllocation: return "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION";
    case kDmaViolation: return "DRIVER_VERIFIER_DMA_VIOLATION";
    case kKernelSecurityCheckFailure: return "KERNEL_SECURITY_CHECK_FAILURE";
    case kAssertionFailure: return "ASSERTION_FAILURE";
    default: return "BUGCHECK";
    }
}

void bugcheck(uint32_t code, std::string_view message) {
    {
        std::lock_guard<host::sched::Mutex> guard(capture_lock());
        if (g_innermost) {
            std::lock_guard<host::sched::Mutex> inner(g_innermost->lock);
            g_innermost->records.push_back(BugCheck{code, std::string(message)});
            g_innermost->changed.notify_all();
            return;
        }
    }
    std::fprintf(stderr, "*** STOP 0x%08X (%s): %.*s\n", code, code_name(code), static_cast<int>(message.size()),
                 message.data());
    std::fflush(stderr);
    // A controlled run's stop is replayed from its schedule: say which, and how it got here.
    if (host::sched::controlled()) host::sched::fail(std::string("stop ") + code_name(code), 79);
    std::abort();
}

void end_controlled_run_at_stop(uint32_t code) {
    // Not async-signal-safe, and needs not be: in a controlled run every other thread is parked
    // and the faulting one holds none of the scheduler's locks between its scheduling points.
    if (host::sched::controlled()) host::sched::fail(std::string("stop ") + code_name(code), 79);
}

void fatal_stop(uint32_t code, const char* what) {
    // write(2) and abort() only: the image's fault handler calls this too.
    char line[320];
    size_t n = 0;
    auto put = [&](const char* text) {
        while (*text && n + 1 < sizeof line)
            line[n++] = *text++;
    };
    put("*** STOP 0x");
    for (int i = 7; i >= 0; --i)
        line[n++] = "0123456789ABCDEF"[(code >> (4 * i)) & 0xF];
    put(" (");
    put(code_name(code));
    put("): ");
    put(what);
    put("\n");
    ssize_t ignored = write(2, line, n);
    (void)ignored;
    end_controlled_run_at_stop(code);
    std::abort();
}

const char* fast_fail_reason(uint32_t code) {
    switch (code) {
    case 2: return "stack cookie check failed: a stack buffer was overrun";
    default: return "fast-fail";
    }
}

bool capture_active() { return g_captures.load(std::memory_order_acquire) > 0; }

void bugcheck_from_signal(uint32_t code, const char* what, uintptr_t address) {
    if (capture_active()) {
        for (SignalSlot& slot : g_signal_slots) {
            int expected = 0;
            if (!slot.state.compare_exchange_strong(expected, 1)) continue;
            slot.code = code;
            slot.address = address;
            size_t n = 0;
            while (what[n] && n + 1 < sizeof slot.what) {
                slot.what[n] = what[n];
                ++n;
            }
            slot.what[n] = 0;
            slot.state.store(2, std::memory_order_release);
            return;
        }
    }
    // write(2) and abort() only: this runs inside a signal handler.
    char line[320];
    size_t n = 0;
    auto put = [&](const char* text) {
        while (*text && n + 1 < sizeof line)
            line[n++] = *text++;
    };
    auto hex = [&](uint64_t value, int digits) {
        for (int i = digits - 1; i >= 0; --i) {
            if (n + 1 < sizeof line) line[n++] = "0123456789ABCDEF"[(value >> (4 * i)) & 0xF];
        }
    };
    put("*** STOP 0x");
    hex(code, 8);
    put(" (");
    put(code_name(code));
    put("): ");
    put(what);
    put(" (address 0x");
    hex(address, 16);
    put(")\n");
    ssize_t ignored = write(2, line, n);
    (void)ignored;
    end_controlled_run_at_stop(code);
    std::abort();
}

Capture::Capture() : state_(new State) {
    g_captures.fetch_add(1);
    std::lock_guard<host::sched::Mutex> guard(capture_lock());
    state_->outer = g_innermost;
    g_innermost = state_;
}

Capture::~Capture() {
    drain_signal_slots();
    {
        std::lock_guard<host::sched::Mutex> guard(capture_lock());
        // Captures nest like scopes; unlink wherever it sits so a misordered destruction is harmless.
        if (g_innermost == state_) {
            g_innermost = state_->outer;
        } else {
            for (State* s = g_innermost; s; s = s->outer) {
                if (s->outer == state_) {
                    s->outer = state_->outer;
                    break;
                }
            }
        }
    }
    delete state_;
    g_captures.fetch_sub(1);
}

std::vector<BugCheck> Capture::records() const {
    drain_signal_slots();
    std::lock_guard<host::sched::Mutex> guard(state_->lock);
    return state_->records;
}

size_t Capture::count() const {
    drain_signal_slots();
    std::lock_guard<host::sched::Mutex> guard(state_->lock);
    return state_->records.size();
}

size_t Capture::count_containing(std::string_view text) const {
    drain_signal_slots();
    std::lock_guard<host::sched::Mutex> guard(state_->lock);
    size_t n = 0;
    for (const auto& r : state_->records)
        n += r.message.find(text) != std::string::npos;
    return n;
}

bool Capture::wait_for(size_t n, uint32_t timeout_ms) const {
    // Stops raised in signal handlers do not wake the wait: look for them every few ms.
    const auto deadline = host::sched::Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        drain_signal_slots();
        std::unique_lock<host::sched::Mutex> guard(state_->lock);
        if (state_->changed.wait_for(guard, std::chrono::milliseconds(5), [&] { return state_->records.size() >= n; }))
            return true;
        if (host::sched::Clock::now() >= deadline) return false;
    }
}

void Capture::clear() {
    drain_signal_slots();
    std::lock_guard<host::sched::Mutex> guard(state_->lock);
    state_->records.clear();
}

void diagnostic(std::string_view text) {
    static const bool verbose = std::getenv("QH_VERIFIER_VERBOSE") != nullptr;
    std::lock_guard<host::sched::Mutex> guard(diagnostic_lock());
    auto& list = diagnostic_list();
    // Bounded: a streaming run over budget on a slow host must not grow without limit.
    if (list.size() >= 10000) list.erase(list.begin(), list.begin() + 5000);
    list.emplace_back(text);
    ++g_diagnostic_count;
    if (verbose) std::fprintf(stderr, "verifier: %.*s\n", static_cast<int>(text.size()), text.data());
}

std::vector<std::string> diagnostics() {
    std::lock_guard<host::sched::Mutex> guard(diagnostic_lock());
    return diagnostic_list();
}

size_t count_diagnostics(std::string_view containing) {
    std::lock_guard<host::sched::Mutex> guard(diagnostic_lock());
    size_t n = 0;
    for (const auto& d : diagnostic_list())
        n += d.find(containing) != std::string::npos;
    return n;
}

size_t diagnostic_count() {
    std::lock_guard<host::sched::Mutex> guard(diagnostic_lock());
    return g_diagnostic_count;
}

void clear_diagnostics() {
    std::lock_guard<host::sched::Mutex> guard(diagnostic_lock());
    diagnostic_list().clear();
    g_diagnostic_count = 0;
}

void note_overrun(std::string_view rule, std::string_view name, uint64_t limit_us, bool own_time_over, uint64_t runs) {
    std::lock_guard<host::sched::Mutex> guard(overrun_lock());
    for (auto& o : overrun_list()) {
        if (o.rule == rule && o.name == name) {
            ++o.count;
            o.own_count += own_time_over;
            o.limit_us = limit_us;
            o.runs = std::max(o.runs, runs);
            return;
        }
    }
    overrun_list().push_back(Overrun{std::string(rule), std::string(name), 1, own_time_over ? 1u : 0u, limit_us, runs});
}

std::vector<Overrun> overruns() {
    std::lock_guard<host::sched::Mutex> guard(overrun_lock());
    return overrun_list();
}

uint64_t count_overruns(std::string_view rule) {
    std::lock_guard<host::sched::Mutex> guard(overrun_lock());
    uint64_t n = 0;
    for (const auto& o : overrun_list())
        if (o.rule == rule) n += o.count;
    return n;
}

void clear_overruns() {
    std::lock_guard<host::sched::Mutex> guard(overrun_lock());
    overrun_list().clear();
}

namespace {

std::string limit_text(uint64_t us) {
    if (us >= 1000 && us % 1000 == 0) return std::to_string(us / 1000) + " ms";
    return std::to_string(us) + " \u00b5s";
}

std::string times(uint64_t n) { return n == 1 ? "once" : std::to_string(n) + " times"; }

// An overrun matters when the routine's own work is too long, not when the host was busy. The
// limits are wall time, as Windows measures them, but a development host shares its processors
// with other programs (and the sanitizer builds run everything several times slower): a routine preempted
// in the middle, or a callback waiting as it may at PASSIVE_LEVEL, passes a wall-time limit
// without doing more work. Even the thread's CPU clock runs on while a virtual machine's processor
// is taken away, so an odd run over the limit in CPU time is still the host's load. A routine
// whose own CPU time passes its limit in most of its runs (counted up to its last overrun) is over
// it by its own work; a callback (whose runs are not counted) that uses more CPU time than its
// limit at all is too.
bool matters(const Overrun& o) {
    if (o.own_count == 0) return false;
    return o.runs == 0 || o.own_count * 2 > o.runs;
}

}  // namespace

std::string describe_overrun(const Overrun& o) {
    std::string what, limit = limit_text(o.limit_us);
    if (o.rule == "IsrBudget") {
        what = "the interrupt service routine " + o.name + " ran longer than its budget of " + limit;
    } else if (o.rule == "DpcBudget") {
        what = "the DPC routine " + o.name + " ran longer than its budget of " + limit;
    } else if (o.rule == "KsCallbackDuration") {
        what = "the driver's " + o.name + " callback took longer than " + limit;
    } else if (o.rule == "KsProcessingMutexHold") {
        what = "the processing mutex taken by " + o.name + " was held longer than " + limit;
    } else {
        what = o.name + " passed its limit of " + limit + " (" + o.rule + ")";
    }
    // Appended in pieces: GCC 12 at -O2 takes "literal" + std::string for an overlapping copy.
    what += ' ';
    what += times(o.count);
    if (o.own_count == 0) return what + "; its own CPU time never passed the limit";
    if (o.own_count == o.count) return what + "; its own CPU time passed the limit each time";
    return what + "; its own CPU time passed the limit in " + std::to_string(o.own_count) + " of them";
}

size_t print_summary(std::FILE* out, bool all_overruns) {
    std::vector<std::string> kept = diagnostics();
    size_t count = diagnostic_count();
    std::fprintf(out, "Diagnostics: %zu\n", count);
    for (const auto& d : kept)
        std::fprintf(out, "  %s\n", d.c_str());
    std::vector<Overrun> shown;
    for (const auto& o : overruns())
        if (all_overruns || matters(o)) shown.push_back(o);
    if (!shown.empty()) {
        std::fprintf(out, "Timing overruns:\n");
        for (const auto& o : shown)
            std::fprintf(out, "  %s\n", describe_overrun(o).c_str());
        if (all_overruns)
            std::fprintf(out,
                         "  (limits are wall time: on a busy host, preemption and a callback's waits pass them "
                         "without more work by the driver; an overrun counts against the driver when its own "
                         "CPU time passes the limit in most runs)\n");
    } else if (all_overruns) {
        std::fprintf(out, "Timing overruns: none\n");
    }
    return count;
}

}  // namespace host::verifier
