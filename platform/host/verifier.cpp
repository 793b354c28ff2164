// Bug checks and diagnostics of the host verifier.
#include "platform/host/verifier.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace host::verifier {

struct Capture::State {
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<BugCheck> records;
    Capture::State* outer = nullptr;
};

namespace {

std::mutex& capture_lock() {
    static auto* lock = new std::mutex;
    return *lock;
}
Capture::State* g_innermost = nullptr;  // guarded by capture_lock()

std::mutex& diagnostic_lock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::vector<std::string>& diagnostic_list() {
    static auto* list = new std::vector<std::string>;
    return *list;
}
size_t g_diagnostic_count = 0;  // guarded by diagnostic_lock()

std::mutex& overrun_lock() {
    static auto* lock = new std::mutex;
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
    case kInterruptStorm: return "INTERRUPT_STORM";
    case kAttemptedWriteToReadonlyMemory: return "ATTEMPTED_WRITE_TO_READONLY_MEMORY";
    case kBadPoolCaller: return "BAD_POOL_CALLER";
    case kDriverVerifierViolation: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case kPageFaultInFreedSpecialPool: return "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL";
    case kDmaViolation: return "DRIVER_VERIFIER_DMA_VIOLATION";
    case kAssertionFailure: return "ASSERTION_FAILURE";
    default: return "BUGCHECK";
    }
}

void bugcheck(uint32_t code, std::string_view message) {
    {
        std::lock_guard<std::mutex> guard(capture_lock());
        if (g_innermost) {
            std::lock_guard<std::mutex> inner(g_innermost->lock);
            g_innermost->records.push_back(BugCheck{code, std::string(message)});
            g_innermost->changed.notify_all();
            return;
        }
    }
    std::fprintf(stderr, "*** STOP 0x%08X (%s): %.*s\n", code, code_name(code), static_cast<int>(message.size()),
                 message.data());
    std::fflush(stderr);
    std::abort();
}

Capture::Capture() : state_(new State) {
    std::lock_guard<std::mutex> guard(capture_lock());
    state_->outer = g_innermost;
    g_innermost = state_;
}

Capture::~Capture() {
    {
        std::lock_guard<std::mutex> guard(capture_lock());
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
}

std::vector<BugCheck> Capture::records() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->records;
}

size_t Capture::count() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->records.size();
}

size_t Capture::count_containing(std::string_view text) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    size_t n = 0;
    for (const auto& r : state_->records) n += r.message.find(text) != std::string::npos;
    return n;
}

bool Capture::wait_for(size_t n, uint32_t timeout_ms) const {
    std::unique_lock<std::mutex> guard(state_->lock);
    return state_->changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                    [&] { return state_->records.size() >= n; });
}

void Capture::clear() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->records.clear();
}

void diagnostic(std::string_view text) {
    static const bool verbose = std::getenv("QH_VERIFIER_VERBOSE") != nullptr;
    std::lock_guard<std::mutex> guard(diagnostic_lock());
    auto& list = diagnostic_list();
    // Bounded: a streaming run over budget on a slow host must not grow without limit.
    if (list.size() >= 10000) list.erase(list.begin(), list.begin() + 5000);
    list.emplace_back(text);
    ++g_diagnostic_count;
    if (verbose) std::fprintf(stderr, "verifier: %.*s\n", static_cast<int>(text.size()), text.data());
}

std::vector<std::string> diagnostics() {
    std::lock_guard<std::mutex> guard(diagnostic_lock());
    return diagnostic_list();
}

size_t count_diagnostics(std::string_view containing) {
    std::lock_guard<std::mutex> guard(diagnostic_lock());
    size_t n = 0;
    for (const auto& d : diagnostic_list()) n += d.find(containing) != std::string::npos;
    return n;
}

size_t diagnostic_count() {
    std::lock_guard<std::mutex> guard(diagnostic_lock());
    return g_diagnostic_count;
}

void clear_diagnostics() {
    std::lock_guard<std::mutex> guard(diagnostic_lock());
    diagnostic_list().clear();
    g_diagnostic_count = 0;
}

void note_overrun(std::string_view rule, std::string_view name) {
    std::lock_guard<std::mutex> guard(overrun_lock());
    for (auto& o : overrun_list()) {
        if (o.rule == rule && o.name == name) {
            ++o.count;
            return;
        }
    }
    overrun_list().push_back(Overrun{std::string(rule), std::string(name), 1});
}

std::vector<Overrun> overruns() {
    std::lock_guard<std::mutex> guard(overrun_lock());
    return overrun_list();
}

uint64_t count_overruns(std::string_view rule) {
    std::lock_guard<std::mutex> guard(overrun_lock());
    uint64_t n = 0;
    for (const auto& o : overrun_list())
        if (o.rule == rule) n += o.count;
    return n;
}

void clear_overruns() {
    std::lock_guard<std::mutex> guard(overrun_lock());
    overrun_list().clear();
}

size_t print_summary(std::FILE* out) {
    std::vector<std::string> kept = diagnostics();
    size_t count = diagnostic_count();
    std::fprintf(out, "Diagnostics: %zu\n", count);
    for (const auto& d : kept) std::fprintf(out, "  %s\n", d.c_str());
    std::vector<Overrun> slow = overruns();
    if (slow.empty()) {
        std::fprintf(out, "Timing overruns: none\n");
    } else {
        std::fprintf(out, "Timing overruns:\n");
        for (const auto& o : slow)
            std::fprintf(out, "  %-28s %-32s %llu\n", o.rule.c_str(), o.name.c_str(),
                         static_cast<unsigned long long>(o.count));
    }
    return count;
}

}  // namespace host::verifier
