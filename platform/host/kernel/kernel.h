// Control surface of the host kernel (platform/host/kernel*.cpp) for tests, the PnP manager, the
// class layer and the tool. The driver never includes this header: it sees only the WDK names
// declared in wdk/ntddk_host.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <map>
#include <string>
#include <vector>

#include "platform/host/wdk/ntddk_host.h"

namespace host {

// ---------------------------------------------------------------------------------------------
// Global state

// Brings the kernel back to its defaults between tests: pending timers cancelled, queued DPCs
// dropped (running ones finished), failure injections and recorded delays/waits cleared, clock
// scale 1, assertion mode non-fatal, budgets restored. Live pool blocks, common buffers and
// adapters left by an earlier test are forgotten (their memory is kept, never reused), so the
// next test's accounting starts from zero. The number of simulated processors is kept.
void reset();

// Small process-wide id of the calling thread (1, 2, ...); what wait records and verifier
// messages name.
uint64_t thread_id();

// ---------------------------------------------------------------------------------------------
// Time

// Monotonic host time in 100 ns units since the process started (interrupt time).
int64_t now_100ns();
// Wall-clock system time in 100 ns units since 1 January 1601 (absolute due times use it).
int64_t system_time_100ns();

// Clock tick on which timers, wait time-outs and delays of the real clock expire: 15.625 ms by
// default (156250); 1 ms (10000) models a raised timer resolution. A relative due time expires
// up to a tick early or late, one of a tick or less possibly at once; a delay never early.
void set_clock_tick_100ns(int64_t tick);
int64_t clock_tick_100ns();

// Virtual clock: now_100ns() stands still until advance_clock moves it, and timers, time-outs
// and delays (when the delay scale is not 0) expire exactly at their due time on it. For
// manually paced tests, which then never wait in real time for a time-out. Off by default.
void set_virtual_clock(bool on);
bool virtual_clock();
void advance_clock(int64_t interval_100ns);

// Scale applied to KeDelayExecutionThread: 0 = every requested interval is recorded and the call
// returns at once; 1 = real time (default); other values stretch or shrink the sleep.
void set_delay_scale(double scale);
double delay_scale();

struct WaitRecord {
    enum class Kind { Delay, Wait };
    Kind kind;
    int64_t interval;    // as passed, 100 ns units (negative = relative); for a NULL time-out INT64_MIN
    bool infinite;       // a wait with a NULL time-out
    uint64_t thread;     // host::thread_id() of the caller
    KIRQL irql;          // caller's IRQL
    const void* object;  // the object waited on (nullptr for delays)
    NTSTATUS result;     // STATUS_SUCCESS or STATUS_TIMEOUT
};
// Delays and waits in call order (the most recent 65,536 are kept).
std::vector<WaitRecord> delays();  // KeDelayExecutionThread calls only
std::vector<WaitRecord> waits();   // KeWaitForSingleObject calls only
void clear_wait_records();
// Number of KeWaitForSingleObject calls on `object` that returned STATUS_TIMEOUT.
uint64_t timeouts(const void* object);

// Runs `after` once, on the thread whose SharedRead next reads `field`, right after that read
// (the value read is the one from before `after`). Puts another context's work between two reads
// of the driver, so an ordering race can be reproduced at will.
void watch_shared_read(const void* field, std::function<void()> after);
// As above, for reads made on `reader` only: reads on other threads (an interrupt routine that
// looks at the same field whenever it runs) neither fire nor use up the watch.
void watch_shared_read(const void* field, std::thread::id reader, std::function<void()> after);
// Whether the watch set last has fired (and `after` returned).
bool shared_read_watch_fired();

// ---------------------------------------------------------------------------------------------
// IRQL and simulated processors

// Sets the calling thread's IRQL for the scope (no limit checks, unlike KeRaiseIrql), e.g. to run
// test code as a DPC would (DISPATCH_LEVEL) or as an interrupt routine would.
class ScopedIrql {
public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

private:
    KIRQL previous_;
};

// Number of simulated processors (one DPC queue and thread each). Default 2; at least 1, at most
// 64. Changing it waits for queued and running DPCs to finish first.
void set_processor_count(unsigned count);
unsigned processor_count();

// The simulated processor whose DPC queue the calling thread's insertions go to. Passive threads
// get one round-robin on first use; the interrupt threads use processor 0, the timer thread the
// last processor, each DPC thread its own.
unsigned current_processor();
void set_current_processor(unsigned processor);

// What a callback boundary must preserve: the IRQL and the set of kernel mutexes the thread
// owns. The class layer takes one before a driver callback and checks it after.
struct ThreadSnapshot {
    KIRQL irql;
    std::vector<const void*> owned_mutexes;
};
ThreadSnapshot snapshot_thread();
// Number of distinct kernel mutexes the calling thread owns.
size_t owned_mutex_count();
// Whether the calling thread returned from KeSetEvent(..., Wait = TRUE) and has not yet made the
// wait that must follow. take_owed_wait() also drops the debt and puts the thread back at the
// IRQL it had before that KeSetEvent (for the class layer's check when a callback returns).
bool wait_owed();
bool take_owed_wait();

// Blocks until every DPC queued or running at the time of the call has finished (what
// KeFlushQueuedDpcs does, but without its IRQL check, for test and teardown code).
void flush_dpcs();
// Number of pending timers and queued DPCs (diagnostics, quiescence checks).
size_t pending_timer_count();
size_t queued_dpc_count();

// Budgets above which a DPC or ISR run is reported as a diagnostic (defaults 100 µs / 25 µs).
void set_budgets_us(uint32_t dpc_us, uint32_t isr_us);
uint64_t dpc_runs();
uint64_t isr_runs();
uint64_t dpcs_over_budget();
uint64_t isrs_over_budget();

// ---------------------------------------------------------------------------------------------
// Pool

struct PoolUsage {
    uint64_t live_blocks = 0;
    uint64_t live_bytes = 0;
    uint64_t allocations = 0;  // successful allocations since reset
    uint64_t failures = 0;     // allocations refused (injected) since reset
};
PoolUsage pool_usage();
PoolUsage pool_usage(ULONG tag);
std::map<ULONG, PoolUsage> pool_usage_by_tag();

// Failure injection; each stays in force until cleared (or reset()).
// The n-th allocation from now fails (1 = the next one); one-shot.
void fail_pool_nth(uint64_t n);
// Every allocation of exactly `size` bytes fails.
void fail_pool_size(size_t size);
// Every allocation with `tag` fails.
void fail_pool_tag(ULONG tag);
void clear_pool_failures();

// A tag as written in source ('MVCD') and as a pool dump shows it (DCVM): "MVCD (dump DCVM)".
std::string tag_name(ULONG tag);

// ---------------------------------------------------------------------------------------------
// DMA adapters and common buffers

struct CommonBufferUsage {
    uint64_t live_buffers = 0;
    uint64_t live_bytes = 0;
    uint64_t allocations = 0;
    uint64_t failures = 0;
    uint64_t live_adapters = 0;
};
CommonBufferUsage common_buffer_usage();
// The n-th AllocateCommonBuffer from now fails (one-shot); or every one of exactly `size` bytes.
void fail_common_buffer_nth(uint64_t n);
void fail_common_buffer_size(size_t size);
void clear_common_buffer_failures();
// The next IoGetDmaAdapter returns NULL (one-shot), as when the system has no adapter to give.
void fail_next_dma_adapter();

// ---------------------------------------------------------------------------------------------
// Leak check (device removal, driver unload)

// Lists live pool blocks (per tag, both spellings, with their allocation sites), live common
// buffers and adapters not put. Empty when nothing is live.
std::string leak_report();
// Reports every leak as a verifier bug check naming what leaked; returns the number of leaked
// items (0 = clean). With a verifier capture active it returns after recording.
size_t check_leaks(const char* context);

// ---------------------------------------------------------------------------------------------
// RtlAssert

// false (default): a failed ASSERT writes its trace line and execution continues.
// true: it also raises a verifier bug check.
void set_assert_fatal(bool fatal);
uint64_t assert_count();

}  // namespace host
