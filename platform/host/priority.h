// Thread priorities that model IRQL preemption on the host: the device's own clocked work above
// the interrupt thread, the interrupt thread above the DPC threads, and those above every
// passive-level thread (which keep the normal policy). Real-time policies are used only when
// asked for with QH_REALTIME=1 and where the process may (root or CAP_SYS_NICE). They are not the
// default: on a busy machine with four full-HD streams they left the passive-level client
// threads too little processor time (measured with bench_audio and bench_video). A watchdog drops a thread that runs for longer than kRunawayMs without blocking back to
// the normal policy and records a verifier diagnostic: a real-time thread must never starve the
// machine.
#pragma once

#include <cstdint>

namespace host {

enum class ThreadLevel { Dispatch, Device, Hardware };

// Gives the calling thread the priority of `level` (for the rest of its life) where real-time
// priorities are in use; otherwise does nothing. The first call decides, and says once on
// standard error when they were asked for but are not permitted.
void run_at_level(ThreadLevel level);

// Whether threads get real-time priorities in this process (decided at the first call).
bool realtime_priorities();

// Threads the watchdog has dropped back to the normal policy so far.
uint64_t runaway_threads();

constexpr uint32_t kRunawayMs = 500;

}  // namespace host
