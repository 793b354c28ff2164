// What the driver's own code costs on the host: per interrupt object, per DPC object and per pin,
// the CPU time its routines spent (the calling thread's CPU clock, so waits and preemption do not
// count) and, per pin, the frames and bytes it completed. The host measures at the places where it
// calls the driver, never inside the driver.
//
// Time the host spends on the client's behalf while a driver routine runs (a completion routine
// called from inside KsStreamPointerUnlock) is not the driver's: it is measured as its own kind and
// taken out of the routine's figure. A routine called from inside another one (Process run
// synchronously from a DPC, say) counts for itself only.
#pragma once

#include <cstdint>
#include <vector>

namespace host {
namespace cost {

// Device: the simulated card's handling of a register access the driver made from a measured
// routine. The model's work stands for bus time, so it is reported apart, not as the driver's. It
// is measured on the monotonic clock (wall time), the others on the thread's CPU clock.
enum class Kind : uint32_t { Interrupt, Dpc, Process, Completion, Device };

struct Figures {
    Kind kind = Kind::Process;
    const void* object = nullptr;  // KINTERRUPT, KDPC or KSPIN
    uint64_t calls = 0;
    uint64_t cpu_ns = 0;      // the routine's own CPU time, summed
    uint64_t max_ns = 0;      // its longest call
    uint64_t frames = 0;      // pins: frames completed with success and data
    uint64_t bytes = 0;       // pins: DataUsed of those frames
};

// The calling thread's CPU time.
uint64_t thread_cpu_ns();

// The cost of one read of the thread's CPU clock, as subtracted from every call measured on it
// (each measured interval holds about one read).
uint64_t read_overhead_ns();

// Measures one call of a driver routine for `object`, from construction to destruction.
class Scope {
public:
    Scope(Kind kind, const void* object);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Kind kind_;
    const void* object_;
    uint64_t start_;
    uint64_t nested_start_;
};

// Whether a measured call is in progress on this thread.
bool measuring();

// A pin completed a frame with success and `bytes` of data (DataUsed at completion); empty ones do not count.
void count_completion(const void* pin, uint64_t bytes);

// The figures of one object (all zero when it never ran), and of every object measured.
Figures figures(Kind kind, const void* object);
std::vector<Figures> all();

// Forgets every figure (a benchmark starts its measured window).
void reset();

}  // namespace cost
}  // namespace host
