// The host's Driver Verifier: what would stop a Windows machine becomes an immediate, named
// failure. By default a bug check prints its name and message to stderr and aborts the process
// (a gtest death test observes it). Inside a verifier::Capture it is recorded instead, and the
// offending call returns without doing the illegal thing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace host::verifier {

// Bug check codes, as Windows numbers them.
enum Code : uint32_t {
    kIrqlNotLessOrEqual = 0x0A,              // call at the wrong IRQL
    kThreadNotMutexOwner = 0x11,             // KeReleaseMutex by a non-owner / at another IRQL
    kPageFaultInNonPagedArea = 0x50,         // register access outside a mapped window
    kInvalidKernelHandle = 0x93,             // closing a kernel handle that is not open
    kInterruptStorm = 0x9C,                  // level line nobody claims (host: storm report)
    kAttemptedWriteToReadonlyMemory = 0xBE,  // register write through a PAGE_READONLY mapping
    kBadPoolCaller = 0xC2,                   // double free, bad pointer, wrong tag
    kDriverVerifierViolation = 0xC4,         // waits at DISPATCH, leaks, armed timers in freed pool, ...
    kPageFaultInFreedSpecialPool = 0xD5,     // CPU access to a freed pool block (special pool)
    kPageFaultBeyondEndOfAllocation = 0xD6,  // CPU access to the page after a pool block (special pool)
    kDmaViolation = 0xE6,                    // adapter and common-buffer misuse, DMA outside buffers
    kKernelSecurityCheckFailure = 0x139,     // a fast-fail: a stack cookie overwritten, ...
    kAssertionFailure = 0x788,               // RtlAssert when assertions are made fatal (host)
};

const char* code_name(uint32_t code);

struct BugCheck {
    uint32_t code;
    std::string message;
};

// Raises a bug check. Returns only while a Capture is active (after recording it).
void bugcheck(uint32_t code, std::string_view message);

// Raises a bug check from a signal handler (a fault on guarded memory): without a capture it
// writes the stop line and aborts using only async-signal-safe calls; inside one it keeps the
// record in a fixed slot that the capture takes in the next time it is read.
void bugcheck_from_signal(uint32_t code, const char* what, uintptr_t address);
// A stop nothing can return from (a fast-fail: the caller's own stack is corrupt): writes the
// stop line and aborts, capture or not. Async-signal-safe, so the image's fault handler uses it too.
[[noreturn]] void fatal_stop(uint32_t code, const char* what);
// After a stop found in a signal handler has been written: a controlled run ends here with its
// schedule and last switches, as a stop found anywhere else does; otherwise it returns.
void end_controlled_run_at_stop(uint32_t code);
// What a fast-fail code means (the codes Windows' FAST_FAIL_* constants give).
const char* fast_fail_reason(uint32_t code);
// Whether a capture is active (lock-free, for signal handlers).
bool capture_active();

// Records every bug check raised on any thread while it lives (the innermost capture wins).
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<BugCheck> records() const;
    size_t count() const;
    // Number of records whose message contains `text`.
    size_t count_containing(std::string_view text) const;
    // Waits (up to timeout_ms) until at least `n` bug checks were recorded.
    bool wait_for(size_t n, uint32_t timeout_ms) const;
    void clear();

    struct State;

private:
    State* state_;
};

// Findings Windows does not stop on at once but that still mean a fault (a KS verifier finding,
// an interrupt line left connected, a failed ASSERT, ...): kept in order, also printed to stderr
// when QH_VERIFIER_VERBOSE is set in the environment. Every program of the host build fails
// when any is left recorded at its end (tests: at the end of each test); a test that provokes
// one on purpose checks it and clears it.
void diagnostic(std::string_view text);
std::vector<std::string> diagnostics();
size_t count_diagnostics(std::string_view containing);
// Number recorded since the last clear (the kept list is bounded; the count is not).
size_t diagnostic_count();
void clear_diagnostics();

// Timing rules Windows measures without stopping (KS callback and processing-mutex time limits,
// DPC and ISR budgets): counted per rule and per callback or routine name. `limit_us` is the limit
// that was passed (in wall time); `own_time_over` says whether the routine's own CPU time passed
// it too; `runs` is how often the routine's object has run so far, when known (0: not known).
void note_overrun(std::string_view rule, std::string_view name, uint64_t limit_us, bool own_time_over,
                  uint64_t runs = 0);
struct Overrun {
    std::string rule;
    std::string name;
    uint64_t count;      // times the limit was passed in wall time
    uint64_t own_count;  // of those, times the routine's own CPU time passed it
    uint64_t limit_us;   // the limit at the last one
    uint64_t runs;       // the routine's runs up to the last one (0: not known)
};
std::vector<Overrun> overruns();
uint64_t count_overruns(std::string_view rule);
void clear_overruns();

// One overrun as a sentence for a reader: what ran, what its limit is and what the count means.
std::string describe_overrun(const Overrun& overrun);

// What a host program prints at its end: the diagnostics count (and each one kept), then the
// timing overruns that matter (see verifier.cpp), or every one when `all_overruns`. Returns the
// number of diagnostics.
size_t print_summary(std::FILE* out, bool all_overruns = false);

}  // namespace host::verifier
