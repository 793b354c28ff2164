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
#include <string>
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
    uint64_t cpu_ns = 0;  // the routine's own CPU time, summed
    uint64_t max_ns = 0;  // its longest call
    uint64_t frames = 0;  // pins: frames completed with success and data
    uint64_t bytes = 0;   // pins: DataUsed of those frames
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
    Kind outer_kind_;
    const void* outer_object_;
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

// Forgets every figure (a benchmark starts its measured window). What objects are (their names,
// devices and pins) is kept.
void reset();

// The own CPU time of the measured call that ended last on this thread (what its figure got).
uint64_t last_own_ns();

// How often the object's routine was measured in all, resets notwithstanding.
uint64_t runs(Kind kind, const void* object);

// ---- What the objects are --------------------------------------------------------------------
//
// The host knows what it calls for each object: the interrupt service routine and the device
// whose interrupt was connected, the DPC's deferred routine, the pin's Process dispatch and the
// device its filter belongs to. Which pins a DPC serves it learns by watching: a class service
// called about a pin from inside a measured DPC or interrupt routine relates the two, and so does
// an event the routine sets and the pin's Process dispatch waits on. So a reader
// needs no pointer into the driver's own data to find a pin's DPC or its device's interrupt.

// Called by the host where an object is set up (KeInitializeDpc, IoConnectInterruptEx, pin
// creation): the routine it will call for `object` and the device (its physical device object)
// the object serves, when known. Setting an object up again forgets the pins it was seen serving;
// an interrupt connected for a device supersedes the ones connected for it before.
void describe(Kind kind, const void* object, const void* routine, const void* device);

// Called by the class layer for every service call naming `pin`: inside a measured DPC or
// interrupt routine, that routine's object is related to the pin. Cheap when not measuring.
void note_pin(const void* pin);

// A measured DPC or interrupt routine set `event`, or a pin's Process dispatch waited on it: a
// routine that sets what a pin's Process waits for serves that pin (a DPC that only wakes the
// pin's Process names no pin itself). Called by KeSetEvent and KeWaitForSingleObject; cheap
// outside those routines. `forget_event` when an event is set up anew.
void note_set(const void* event);
void note_wait(const void* event);
void forget_event(const void* event);

// The most pins one DPC or interrupt object is related to; later ones are not recorded.
constexpr size_t kPinsPerObject = 8;

struct Named {
    Figures figures;
    // The routine's name ("channel0VideoDpcRoutine", "DeviceInterruptService"), or where it is
    // when the driver carries no names ("DPC routine at quadhdmi.sys+0x1a40"); for objects whose
    // routine the host does not know, what they are ("client completion routine").
    std::string name;
    const void* device = nullptr;   // the physical device object it serves; null when unknown
    std::vector<const void*> pins;  // DPC and interrupt: the pins it was seen serving; Process: the pin
};

// One object, named (all figures zero when it never ran), and every object measured or described.
Named named(Kind kind, const void* object);
std::vector<Named> report();

// A pin's cost: its Process dispatch (with the frames and bytes it completed), the DPCs seen
// serving it and the interrupt objects of its device. `dpc` and `interrupt` add up the objects
// listed beside them (calls and time summed, max_ns the largest single call). A DPC serving
// several pins, or an interrupt serving a device's pins, is counted in full for each of them.
struct PinCost {
    Figures process;
    Figures dpc;
    std::vector<Named> dpcs;
    Figures interrupt;
    std::vector<Named> interrupts;
    const void* device = nullptr;
};
PinCost pin_cost(const void* pin);

}  // namespace cost
}  // namespace host
