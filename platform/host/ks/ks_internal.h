// Internal objects of the host class layer. The public KS structures (KSDEVICE, KSFILTER,
// KSPIN, KSSTREAM_POINTER) are the first members of the host objects, so the pointers handed to
// the driver are the host objects' addresses; every pointer coming back from the driver is
// checked against the registry of live objects before it is used.
#pragma once

#include "platform/host/diag/guarded.h"
#include "platform/host/sched/sched.h"
#include "platform/host/ks/ks.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace host::ks {

enum class Kind { Device, Filter, Pin };

struct FilterObj;

struct Bag {
    host::sched::Mutex lock;
    std::vector<std::pair<void*, PFNKSFREE>> items;
    FilterObj* control = nullptr;  // pin and filter bags: the filter whose control mutex guards edits
};
Bag* new_bag();
// Frees every item of the bag that is not held by another bag, then deletes the bag.
void delete_bag(Bag* bag);

// Reports a broken rule: a verifier stop for every rule but the few Windows lets pass (see ks.h).
// Returns only inside a verifier capture.
void record(const char* rule, const std::string& text);
uint32_t processing_mutex_limit_ms();
// Reports a class service called above PASSIVE_LEVEL (KsIrql).
void require_passive(const char* service);

struct FilterObj;
struct PinObj;

struct DeviceObj {
    KSDEVICE ks{};
    host::sched::Mutex device_mutex;  // the class's device mutex
    host::sched::Mutex filters_lock;
    host::sched::CondVar filters_changed;
    std::set<FilterObj*> filters;
    // Surprise-removed: the device's interfaces are disabled, so no new handle can be opened.
    std::atomic<bool> removed{false};
};

struct FilterObj {
    KSFILTER ks{};
    DeviceObj* device = nullptr;
    uint32_t factory = 0;
    host::sched::Mutex control;  // the filter control mutex (taken through ControlGuard only)
    std::atomic<std::thread::id> control_owner{};
    host::sched::Mutex pins_lock;
    std::vector<uint32_t> instances;  // open pins per pin type
    std::set<PinObj*> pins;
};

// Holds a filter's control mutex and records its owner (what _KsEdit checks).
class ControlGuard {
public:
    explicit ControlGuard(FilterObj* filter) : filter_(filter) {
        filter_->control.lock();
        filter_->control_owner.store(std::this_thread::get_id());
    }
    ~ControlGuard() {
        filter_->control_owner.store(std::thread::id());
        filter_->control.unlock();
    }
    ControlGuard(const ControlGuard&) = delete;
    ControlGuard& operator=(const ControlGuard&) = delete;

private:
    FilterObj* filter_;
};

struct Frame {
    PKSSTREAM_HEADER header;
    void* cookie;
    // For a buffer in a UserBuffer: the kernel's mapping of header->Data (what OffsetOut.Data
    // gives the driver), inside a system view of the buffer's pages made for this frame alone
    // (`view`, `view_length`) and ended when the frame completes; empty for any other buffer.
    uint8_t* system_data = nullptr;
    uint8_t* view = nullptr;
    size_t view_length = 0;
};

// Probe and lock of a frame's data in a UserBuffer: maps the buffer's pages under
// [address, address + length) once more for the kernel and points frame.system_data at the
// address there. False when the range is not inside one user buffer (nothing mapped).
bool map_frame_data(const void* address, size_t length, Frame& frame);
// The frame completed: its system view becomes inaccessible (kept so for the last completed
// frames, then given back), so the driver's later touch of the data through it is a stop while
// the client's memory keeps what was written before.
void end_frame_data(Frame& frame);
// The frame never reached the driver: its view simply goes.
void drop_frame_data(Frame& frame);

struct StreamPointerObj {
    KSSTREAM_POINTER ks{};
    bool locked = false;
};

struct ClockRef;

struct PinObj {
    KSPIN ks{};
    FilterObj* filter = nullptr;
    std::vector<uint64_t> format_storage;    // ConnectionFormat lives here (8-byte aligned)
    std::atomic<int> reached{KSSTATE_STOP};  // the state actually reached
    std::atomic<int> gate{KSSTATE_STOP};     // the state processing is gated on
    ULONG flags = 0;                         // descriptor flags, fixed at creation
    PFNKSPIN process = nullptr;              // Process dispatch, fixed at creation

    // Queue (its own lock: legal at DISPATCH_LEVEL, from any thread).
    host::sched::Mutex queue_lock;
    std::deque<Frame> queue;  // front = frame at the leading edge
    StreamPointerObj edge;
    CompletionRoutine completion;
    host::sched::Mutex completion_lock;  // keeps completions in queue order across contexts

    // Processing.
    host::sched::Mutex work_lock;
    host::sched::CondVar work_cv;
    bool wanted = false;
    bool busy = false;
    bool quit = false;
    host::sched::Thread worker;
    std::atomic<uint64_t> process_calls{0};
    std::atomic<bool> in_process{false};

    // The processing mutex: owner-recursive, like a dispatcher mutex.
    host::sched::Mutex pm_lock;
    host::sched::CondVar pm_cv;
    std::thread::id pm_owner;
    uint32_t pm_count = 0;
    const char* pm_holder = "";  // who took it first (the timing overrun names it)
    std::chrono::steady_clock::time_point pm_since;
    uint64_t pm_since_cpu_ns = 0;  // the owner's CPU clock when it took the mutex

    // Clock.
    host::sched::Mutex clock_lock;
    std::shared_ptr<MasterClock> clock;
    std::vector<ClockRef*> clock_refs;
};

// Pins and filters live in memory of their own pages. At close the object is destroyed and its
// memory retired, never reused: a driver that still touches a closed pin or filter faults at
// once (poisoned for AddressSanitizer too) and the fault is a stop naming the object.
template <typename T>
T* new_object() {
    return new (host::guarded::allocate(sizeof(T))) T;
}
template <typename T>
void retire_object(T* object, const char* kind) {
    object->~T();
    host::guarded::retire(object, sizeof(T), std::string("memory of a closed ") + kind + " touched");
}

// Registry of live objects.
void register_object(const void* object, Kind kind);
void unregister_object(const void* object);
bool is_live(const void* object, Kind kind);
DeviceObj* as_device(const void* object);
FilterObj* as_filter(const void* object);
PinObj* as_pin(const void* object);

// Pins.
NTSTATUS step_pin_state(PinObj* pin, KSSTATE target);
NTSTATUS change_pin_format(PinObj* pin, const void* format, uint32_t size);
bool range_matches(const KSDATARANGE& a, const KSDATARANGE& b);
void start_worker(PinObj* pin);
void stop_worker(PinObj* pin);
void flush_queue(PinObj* pin, NTSTATUS status);
// Queues a read request's frames together, all or none: STATUS_PENDING once queued, or
// STATUS_DEVICE_NOT_READY (nothing queued, nothing completed) when the pin is in STOP.
NTSTATUS queue_frames(PinObj* pin, std::vector<Frame> frames);
// A processing trigger. `synchronous`: the trigger may run Process in the calling thread (frame
// arrival, KsPinAttemptProcessing(pin, FALSE)); otherwise the pin's worker serves it.
void trigger_processing(PinObj* pin, bool synchronous);
KSSTATE min_processing_state(const PinObj* pin);
void release_clock_refs(PinObj* pin);

// The user buffer (UserBuffer) an address lies in: its user address, the memory itself and its
// length; all empty when the address is in none.
struct UserMapping {
    uint8_t* user = nullptr;
    uint8_t* system = nullptr;
    size_t length = 0;
};
UserMapping find_user_mapping(const void* address);

// The IRP-like request object the handlers receive.
enum HostIrpKind : ULONG { kIrpFilter = 1, kIrpPin = 2, kIrpNode = 3 };

// Mappings the kernel may no longer touch (a completed request's stream headers, a completed
// frame's data view), already made inaccessible: the last kKept stay so, their addresses not
// handed out again, so a late touch stops at once; older ones are unmapped.
class RetiredMappings {
public:
    void add(void* mapping, size_t bytes);

private:
    static constexpr size_t kKept = 256;
    host::sched::Mutex lock_;
    std::deque<std::pair<void*, size_t>> kept_;
};

}  // namespace host::ks
