// Internals shared by the host kernel's source files (not for tests or other layers: they use
// kernel.h, verifier.h, trace.h and bus.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/kernel/kernel.h"
#include "platform/host/sched/sched.h"
#include "platform/host/diag/verifier.h"

namespace host::detail {

// Per-thread kernel state: the thread's IRQL, its simulated processor and the kernel mutexes it
// owns (in acquisition order).
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int processor = -1;
    uint64_t id = 0;
    std::vector<const void*> owned_mutexes;
    // KeSetEvent(..., Wait = TRUE) returned with the dispatcher lock held at DISPATCH_LEVEL; the
    // thread owes the KeWaitXxx that releases it and goes back to `irql_before_owed_wait`.
    bool wait_owed = false;
    KIRQL irql_before_owed_wait = PASSIVE_LEVEL;
};
ThreadState& self();

// Checks the caller's IRQL against a service's limit; raises the named bug check when it is
// above. Returns false after a captured violation: the caller then returns without acting.
bool check_irql(const char* service, KIRQL max_irql);

// Header words of waitable and queueable objects.
constexpr LONG kHeaderMagic = 0x51480000;
constexpr LONG kKindEvent = 0x01;  // | EVENT_TYPE << 8
constexpr LONG kKindMutex = 0x02;
constexpr LONG kKindTimer = 0x08;
constexpr LONG kKindDpc = 0x13;
inline LONG header_kind(LONG header) { return (header & 0xFFFF0000) == kHeaderMagic ? (header & 0xFF) : -1; }

// Address-keyed wait channels (a "parking lot"): kernel objects stay plain words with no
// destructor; sleeping and waking go through one of these buckets, chosen by the object address.
struct Bucket {
    host::sched::Mutex lock;
    host::sched::CondVar wake;
};
Bucket& bucket_for(const volatile void* object);
// Wakes every sleeper of every bucket (the virtual clock moved).
void notify_all_buckets();

// Clock (kernel_core.cpp): the host time (now_100ns units) at which a relative interval started
// at `now`, or an absolute system time, expires: on a clock tick for the real clock, exactly for
// the virtual one. real_time_point converts a host time of the real clock for a sleep.
int64_t expiry_relative(int64_t now, int64_t interval);
int64_t expiry_absolute(int64_t system_time);
bool clock_is_virtual();
host::sched::Clock::time_point real_time_point(int64_t host_time);
// Wakes the timer thread (kernel_dpc.cpp) after the virtual clock moved.
void timers_clock_moved();

template <typename T>
inline T load(const volatile T& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <typename T>
inline void store(volatile T& field, T value) {
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

// A full memory barrier. The thread sanitizer does not model fences (and rejects them), so under
// it a sequentially consistent read-modify-write on a shared word stands in.
inline void full_barrier() {
#if defined(__SANITIZE_THREAD__)
    static int word;
    __atomic_fetch_add(&word, 0, __ATOMIC_SEQ_CST);
#else
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
#endif
}

// Hooks run by host::reset() and by the pool's free path.
void reset_dpcs_and_timers();
void reset_pool();
void reset_dma();
void reset_asserts();
void reset_waits();
// Raises a bug check if [begin, begin + length) holds a pending timer or a queued DPC; returns
// false then (after a captured bug check), and the caller must not free the memory.
bool check_freed_range(const void* begin, size_t length, const char* what);
// Raises a bug check for every timer still pending and every DPC still queued at `when` (device
// removal): the memory holding them is about to go. Returns the number found.
size_t check_no_timers_or_dpcs(const char* when);
size_t pool_leaks(std::string& report);
size_t dma_leaks(std::string& report);

// Pages for pool blocks and common buffers (kernel_quarantine.cpp): mapped read-write; made
// inaccessible (a range of them, e.g. a guard page); made inaccessible once freed, with a CPU
// access to them then stopping the run with `code` and a message naming `what` (a string
// literal); and given back (which also forgets a freed range).
void* map_pages(size_t bytes);
void protect_pages(void* p, size_t bytes);
void protect_freed(void* p, size_t bytes, const char* what, uint32_t code);
void unmap_pages(void* p, size_t bytes);
// The inaccessible page after a live pool block: a CPU access to it stops the run with
// DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION naming the block. Forgotten before the page is
// freed or unmapped.
void guard_page_after(void* page, const void* block);
void forget_guard_page(void* page);

// Hex of a pointer the way the trace prints it.
std::string ptr(const volatile void* p);
std::string trace_hex(uint64_t value);
uint32_t isr_budget_us();

// The PnP manager's record of the interrupt resource it assigned for a vector (whether its
// ShareDisposition is CmResourceShareShared), against which IoConnectInterruptEx checks the
// driver's ShareVector. A vector never assigned is taken as its line's kind is assigned: a
// level-sensitive line shared, a message vector exclusive.
void note_interrupt_assignment(uint32_t vector, bool shared);

}  // namespace host::detail
