// Thread priorities that model IRQL preemption on the host: the interrupt thread above the DPC
// threads, those above the class's processing threads (passive level, but system threads, which
// on Windows run above the applications' threads), and those above everything else (the clients'
// threads and the simulated card's pacing threads keep the normal policy). Real-time policies are
// used where the process may (root or CAP_SYS_NICE) and they are asked for: QH_REALTIME=1, or a
// program that prefers them (the benchmarks) and QH_REALTIME not 0. The test suites and the tool
// leave them off by default, so that no suite depends on the scheduling of the machine it runs on.
// A watchdog drops a thread that runs for longer than kRunawayMs without blocking back to the
// normal policy and records a verifier diagnostic: a real-time thread must never starve the
// machine.
#pragma once

#include <cstdint>

namespace host {

// Worker: the class's processing threads, at passive level but system threads, which on Windows
// run above the applications' threads; Dispatch: DPC threads; Device: the interrupt thread.
enum class ThreadLevel { Worker, Dispatch, Device };

// Gives the calling thread the priority of `level` (for the rest of its life) where real-time
// priorities are in use; otherwise does nothing. The first call decides, and says once on
// standard error when they were asked for but are not permitted.
void run_at_level(ThreadLevel level);

// Whether threads get real-time priorities in this process (decided at the first call).
bool realtime_priorities();

// Asks for real-time priorities unless QH_REALTIME is 0; to be called before any thread takes a
// level (at the start of main).
void prefer_realtime();

// Threads the watchdog has dropped back to the normal policy so far.
uint64_t runaway_threads();

constexpr uint32_t kRunawayMs = 500;

}  // namespace host
