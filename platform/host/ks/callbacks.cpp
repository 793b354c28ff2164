// The checks made around every driver callback: IRQL and kernel mutexes as they were on entry,
// the return codes a callback may give, and its time against the class's limit.
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"

#include "platform/host/measure/cost.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/verifier.h"

#include <atomic>
#include <chrono>
#include <cstdio>

namespace host::ks {

// ---------------------------------------------------------------------------------------------
// Callback checks

namespace {
std::atomic<uint32_t> g_callback_limit_ms{500};
}  // namespace

void set_callback_time_limit_ms(uint32_t ms) { g_callback_limit_ms = ms; }

namespace {
uint32_t owned_mutexes() { return static_cast<uint32_t>(host::owned_mutex_count()); }
}  // namespace

// When a callback started: on the wall clock (what the limit is about) and on the thread's CPU
// clock (what says whether the callback itself, not a wait or the host's load, used the time).
struct CallbackStart {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    uint64_t cpu_ns = cost::thread_cpu_ns();
};

static void after_callback(const char* name, KIRQL entry_irql, uint32_t entry_owned, const CallbackStart& start) {
    char text[160];
    if (host::take_owed_wait()) {
        // Back in the class with the dispatcher lock still held: Windows hangs or stops here.
        std::snprintf(text, sizeof text,
                      "%s returned after KeSetEvent with Wait TRUE without the KeWaitXxx call that must follow it",
                      name);
        record("KsCallbackIrql", text);
    }
    KIRQL now_irql = KeGetCurrentIrql();
    if (now_irql != entry_irql) {
        std::snprintf(text, sizeof text, "%s returned at IRQL %u, entered at %u", name, unsigned(now_irql),
                      unsigned(entry_irql));
        record("KsCallbackIrql", text);
        // Put the thread back where it was so that the host can go on after the report.
        if (now_irql > entry_irql) KeLowerIrql(entry_irql);
    }
    uint32_t owned = owned_mutexes();
    if (owned != entry_owned) {
        std::snprintf(text, sizeof text, "%s returned owning %u kernel mutexes, entered owning %u", name, owned,
                      entry_owned);
        record("KsCallbackMutex", text);
    }
    auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start.wall).count();
    const uint64_t limit_us = uint64_t(g_callback_limit_ms.load()) * 1000;
    if (us > int64_t(limit_us) && !host::sched::controlled())  // real time means nothing in a controlled run
        host::verifier::note_overrun("KsCallbackDuration", name, limit_us,
                                     cost::thread_cpu_ns() - start.cpu_ns > limit_us * 1000);
}

NTSTATUS invoke_callback(const char* name, bool may_pend, const std::function<NTSTATUS()>& callback) {
    KIRQL irql = KeGetCurrentIrql();
    uint32_t owned = owned_mutexes();
    const CallbackStart start;
    NTSTATUS status = callback();
    after_callback(name, irql, owned, start);
    if (status == STATUS_PENDING && !may_pend) {
        record("KsCallbackReturn", std::string(name) + " returned STATUS_PENDING, which it may not");
        status = STATUS_UNSUCCESSFUL;
    } else if (NT_SUCCESS(status) && status != STATUS_SUCCESS && status != STATUS_PENDING) {
        char text[128];
        std::snprintf(text, sizeof text, "%s returned the unexpected success code 0x%08X", name,
                      static_cast<unsigned>(status));
        record("KsCallbackReturn", text);
    }
    return status;
}

void invoke_void_callback(const char* name, const std::function<void()>& callback) {
    KIRQL irql = KeGetCurrentIrql();
    uint32_t owned = owned_mutexes();
    const CallbackStart start;
    callback();
    after_callback(name, irql, owned, start);
}

}  // namespace host::ks
