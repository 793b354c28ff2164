// A small minidriver used only by the class-layer suite: one filter with two topology nodes and
// a capture pin whose Process dispatch fills frames from a counter. Every callback records what
// it saw; knobs make single callbacks fail or misbehave.
#pragma once

#include "client/client.h"
#include "platform/host/ks/ks.h"
#include "platform/host/pnp/pnp.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ksmini {

inline constexpr GUID kMajor = {0x11111111, 0x1111, 0x1111, {1, 1, 1, 1, 1, 1, 1, 1}};
inline constexpr GUID kSubA = {0x22222222, 0x2222, 0x2222, {2, 2, 2, 2, 2, 2, 2, 2}};
inline constexpr GUID kSubB = {0x33333333, 0x3333, 0x3333, {3, 3, 3, 3, 3, 3, 3, 3}};
inline constexpr GUID kSpec = {0x44444444, 0x4444, 0x4444, {4, 4, 4, 4, 4, 4, 4, 4}};
inline constexpr GUID kOther = {0x55555555, 0x5555, 0x5555, {5, 5, 5, 5, 5, 5, 5, 5}};
inline constexpr GUID kPropset = {0x66666666, 0x6666, 0x6666, {6, 6, 6, 6, 6, 6, 6, 6}};
inline constexpr GUID kNodeSet = {0x77777777, 0x7777, 0x7777, {7, 7, 7, 7, 7, 7, 7, 7}};
inline constexpr GUID kCategory = {0x88888888, 0x8888, 0x8888, {8, 8, 8, 8, 8, 8, 8, 8}};
inline constexpr GUID kReference = {0x99999999, 0x9999, 0x9999, {9, 9, 9, 9, 9, 9, 9, 9}};

inline constexpr ULONG kPropCounter = 1;   // GET: ULONGLONG, MinProperty 32, MinData 8
inline constexpr ULONG kPropSilent = 2;    // GET: succeeds without setting Information
inline constexpr ULONG kNodeProp = 0;      // node GET: ULONG = 100 + node id
inline constexpr ULONG kFormatSize = 72;   // our formats: KSDATAFORMAT + ULONGLONG
inline constexpr ULONG kFillBytes = 1000;  // bytes Process writes into each frame

// What the driver records and the knobs tests turn.
struct State {
    std::mutex lock;
    std::vector<std::string> calls;              // "Add", "Start", "SetDataFormat:<range>:<old?>", "Create", ...
    std::atomic<int> fail_step_to{-1};           // SetDeviceState fails when ToState equals it
    std::atomic<int> format_no_match_range{-1};  // SetDataFormat says NO_MATCH for this range index
    std::atomic<bool> fail_start{false};
    std::atomic<bool> process_hold{false};  // Process returns STATUS_PENDING without work
    std::atomic<bool> process_recursive_mutex{false};
    std::atomic<bool> process_leave_irql_raised{false};
    std::atomic<bool> process_leave_locked{false};
    std::atomic<bool> process_edit_descriptor{false};      // _KsEdit from Process (no control mutex there)
    std::atomic<bool> process_writes_user_address{false};  // fills through StreamHeader->Data
    std::atomic<bool> process_writes_old_header{false};    // writes the header it completed last time
    // Touches the data (through OffsetOut.Data) of the frame it completed last time: 1 writes, 2 reads.
    std::atomic<int> process_touches_old_data{0};
    std::atomic<bool> process_sets_event_waiting{false};  // ends with KeSetEvent(..., Wait = TRUE)
    std::atomic<int> old_data_read{-1};                   // what the read of old data gave
    std::atomic<bool> state_keeps_mutex{false};           // SetDeviceState returns owning held_mutex()
    std::atomic<bool> take_clock{false};                  // take the clock at STOP->ACQUIRE
    std::atomic<bool> release_clock{true};                // release it at ACQUIRE->STOP
    std::atomic<int> intersect_no_match_first{0};         // handler says NO_MATCH for the first n calls
    std::atomic<uint64_t> counter{0};                     // next frame number
    std::atomic<uint64_t> property_handler_calls{0};
    std::atomic<ULONG> silent_output_seen{0};  // what kPropSilent's handler found in its buffer
    std::atomic<int> process_concurrency{0};
    std::atomic<uint64_t> process_thread{0};  // host::thread_id() of the last Process call
    std::atomic<int> process_overlaps{0};
    std::atomic<LONGLONG> last_clock_time{-1};
    std::atomic<NTSTATUS> last_clock_status{0};
    std::atomic<void*> intersect_context{nullptr};
    std::vector<ULONG> intersect_buffer_sizes;
    std::vector<bool> intersect_data_null;
    std::atomic<bool> context_ok{true};  // every pin saw the filter's and device's context

    void note(const std::string& s) {
        std::lock_guard<std::mutex> g(lock);
        calls.push_back(s);
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> g(lock);
        auto out = calls;
        calls.clear();
        return out;
    }
};

State& state();
void reset_state();
// The clock interface the pin took (take_clock), still held when release_clock is false.
PIKSREFERENCECLOCK held_clock();
// Flags of the capture pin's descriptor for pins created from now on (reset_state restores them).
void set_capture_pin_flags(ULONG flags);
// The kernel mutex a faulty SetDeviceState keeps.
PRKMUTEX held_mutex();

// The minidriver's entry point (what DriverEntry is for a real driver).
NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry);

// The pin's ranges (index 0: kSubA, index 1: kSubB, index 2: kSubB again with another value).
const KSDATARANGE* range(int index);
std::vector<uint8_t> format(const GUID& sub, ULONGLONG value = 0, const GUID& specifier = kSpec);

// One loaded driver with a started device and its client view.
struct Bed {
    std::shared_ptr<host::pnp::Driver> driver;
    std::unique_ptr<host::pnp::Device> device;
    std::unique_ptr<qh::client::Device> client;
    explicit Bed(bool start = true);
    ~Bed();
};

}  // namespace ksmini
