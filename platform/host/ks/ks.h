// Host-side interface of the class layer (the ks.sys stand-in): what the PnP manager, the
// client library and tests use to drive devices, filters and pins the way user-mode requests
// and the Windows class driver would. The driver itself sees only the WDK names in ks_host.h.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host::ks {

// Property sets and identifiers the class itself answers.
inline constexpr GUID kPropsetPin = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
inline constexpr GUID kPropsetConnection = {
    0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID kPropsetStream = {0x65AABA60, 0x98AE, 0x11CF, {0xA1, 0x0D, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
inline constexpr GUID kSpecifierNone = {0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kGuidNull = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr GUID kPropsetTopology = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
// What a pin type offers when its descriptor lists no interface or no medium.
inline constexpr GUID kInterfaceSetStandard = KSINTERFACESETID_Standard;
inline constexpr GUID kMediumSetStandard = KSMEDIUMSETID_Standard;

inline constexpr ULONG kPinDataIntersection = 4;   // KSPROPERTY_PIN_DATAINTERSECTION
inline constexpr ULONG kConnectionState = 0;       // KSPROPERTY_CONNECTION_STATE
inline constexpr ULONG kConnectionDataFormat = 2;  // KSPROPERTY_CONNECTION_DATAFORMAT
inline constexpr ULONG kConnectionAllocatorFramingEx = 6;
inline constexpr ULONG kStreamMasterClock = 3;  // KSPROPERTY_STREAM_MASTERCLOCK

typedef struct {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} PropertyDescription;  // KSPROPERTY_DESCRIPTION
static_assert(sizeof(PropertyDescription) == 40);

// ---------------------------------------------------------------------------------------------
// Interface checking: what Windows' KS verification would report. A rule Windows stops on (or
// hangs on) is a verifier stop named "<rule>: <text>" (DRIVER_VERIFIER_DETECTED_VIOLATION):
// "KsCallbackIrql", "KsCallbackMutex", "KsCallbackReturn", "KsStreamPointerLock",
// "KsStreamPointerUnlock", "KsProcessingMutex", "KsIrql", "KsEdit", "KsClockReference",
// "KsInvalidObject", "KsInvalidStreamPointer", "KsIntersection", "KsPropertyInformation". The
// only finding that is recorded as a diagnostic instead is "KsGetDeviceIrql" (KsGetDevice
// above PASSIVE_LEVEL, a pointer walk Windows lets pass). Callbacks over the time limit and
// processing-mutex holds over 100 ms are timing overruns ("KsCallbackDuration",
// "KsProcessingMutexHold"), counted per callback name.

// Limit above which a callback's run time is counted as an overrun (default 500 ms).
void set_callback_time_limit_ms(uint32_t ms);
// Limit above which a hold of a processing mutex is counted as an overrun (default 100 ms).
void set_processing_mutex_limit_ms(uint32_t ms);

// Failure injection for object bags: the next `skip` additions succeed, then `count` fail with
// STATUS_INSUFFICIENT_RESOURCES.
void fail_bag_additions(uint32_t skip, uint32_t count);
// Number of items currently held by any bag (for tests that check what a close freed).
size_t bag_item_count(KSOBJECT_BAG bag);
bool bag_contains(KSOBJECT_BAG bag, const void* item);

// ---------------------------------------------------------------------------------------------
// Driver and device (used by the PnP manager)

// The descriptor recorded by KsInitializeDriver for this driver object (NULL if none).
const KSDEVICE_DESCRIPTOR* recorded_descriptor(PDRIVER_OBJECT driver);
void forget_driver(PDRIVER_OBJECT driver);

PKSDEVICE create_device(const KSDEVICE_DESCRIPTOR* descriptor, PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo);
// The PnP manager's side of AddDevice: the functional device object KsCreateDevice is to use for
// `pdo` (what IoCreateDevice would make), and afterwards the KSDEVICE it made (NULL if none).
void expect_add_device(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo);
PKSDEVICE take_added_device(PDEVICE_OBJECT pdo);
// Empties the device bag and forgets the device. Filters still open are closed first.
void delete_device(PKSDEVICE device);
// Closes every filter (and its pins) still open on the device.
void close_all_filters(PKSDEVICE device);
void acquire_device_mutex(PKSDEVICE device);
// Surprise removal as user mode sees it: the device's interfaces go away (the notification a
// capture application registers for), opens fail with STATUS_NO_SUCH_DEVICE; handles already
// open stay valid until their owners close them.
void mark_removed(PKSDEVICE device);
bool removed(PKSDEVICE device);
// Blocks until the device is marked removed (or the time-out); true when it is.
bool wait_removed(PKSDEVICE device, uint32_t timeout_ms);
// Filters (with their pins) still open on the device, and a wait for there being none left.
size_t open_filters(PKSDEVICE device);
bool wait_filters_closed(PKSDEVICE device, uint32_t timeout_ms);
// What the class does to the device's pins around a system sleep: every pin in RUN is taken to
// PAUSE (one step, through SetDeviceState), and the pins so paused are returned for the wake,
// which takes those still open back to RUN.
std::vector<PKSPIN> pause_running_pins(PKSDEVICE device);
void resume_pins(const std::vector<PKSPIN>& pins);
void release_device_mutex(PKSDEVICE device);

// Runs a class callback with the checks Windows' interface checking performs around it:
// IRQL on return equal to entry, no kernel mutex newly owned, duration within the limit, and
// STATUS_PENDING refused where the callback may not pend. `name` names it in diagnostics.
NTSTATUS invoke_callback(const char* name, bool may_pend, const std::function<NTSTATUS()>& callback);
void invoke_void_callback(const char* name, const std::function<void()>& callback);

// ---------------------------------------------------------------------------------------------
// Filters and pins as a user-mode client reaches them

NTSTATUS open_filter(PKSDEVICE device, uint32_t factory_index, PKSFILTER* filter);
NTSTATUS close_filter(PKSFILTER filter);
PKSDEVICE device_of_filter(PKSFILTER filter);

// KSPIN_CONNECT + format: creates a pin of type `pin_id` on `filter`.
NTSTATUS create_pin(PKSFILTER filter, uint32_t pin_id, const void* format, uint32_t format_size, PKSPIN* pin);
// Walks the pin to STOP, flushes, calls Close and frees the pin.
NTSTATUS close_pin(PKSPIN pin);
KSSTATE pin_state(PKSPIN pin);  // the state actually reached
uint32_t pin_instances(PKSFILTER filter, uint32_t pin_id);

// A property request. `input` is the whole request (KSPROPERTY, KSP_PIN, KSP_NODE, ...); the
// output buffer is `output_length` bytes at `output` (holding the value for SET). `user_mode`
// copies through system buffers and gives back only `*information` bytes, as user mode sees it;
// otherwise the handler writes into the caller's buffer directly.
struct PropertyCall {
    const void* input = nullptr;
    uint32_t input_length = 0;
    void* output = nullptr;
    uint32_t output_length = 0;
    bool user_mode = true;
};
NTSTATUS filter_property(PKSFILTER filter, const PropertyCall& call, ULONG_PTR* information);
NTSTATUS pin_property(PKSPIN pin, const PropertyCall& call, ULONG_PTR* information);

// A data buffer as a user-mode client has it: the client's memory (memory()), and the address
// the client puts in StreamHeader->Data for it (user()), its own user-mode address. That address
// is never accessible: kernel code that dereferences it (meaningless outside the client's
// process context) stops the run (PAGE_FAULT_IN_NONPAGED_AREA). The driver reaches the buffer
// through the stream pointer's OffsetOut.Data, the kernel's mapping the class gives it. That
// mapping is made for one frame and ends when the frame completes, as an MDL's system address
// does: a touch through it afterwards stops the run too.
class UserBuffer {
public:
    explicit UserBuffer(size_t size);
    ~UserBuffer();
    UserBuffer(const UserBuffer&) = delete;
    UserBuffer& operator=(const UserBuffer&) = delete;
    uint8_t* memory() { return memory_; }
    // The client's user-mode address of memory() + offset.
    uint8_t* user(size_t offset = 0) const { return user_ + offset; }
    size_t size() const { return size_; }

private:
    // The client's memory is a shared mapping, so that the kernel's own view of a frame (made at
    // probe and ended at completion) maps the very pages the client reads.
    uint8_t* memory_ = nullptr;
    size_t mapped_ = 0;
    uint8_t* user_ = nullptr;
    size_t size_ = 0;
    size_t reserved_ = 0;
};

// Frames. A submitted header (and its data) must stay valid until completion is reported;
// completion runs in whatever context completes the frame (possibly a DPC thread at
// DISPATCH_LEVEL). Frames submitted in STOP are completed at once with STATUS_DEVICE_NOT_READY.
using CompletionRoutine = std::function<void(PKSSTREAM_HEADER header, void* cookie, NTSTATUS status)>;
void set_completion_routine(PKSPIN pin, CompletionRoutine routine);
NTSTATUS submit_frame(PKSPIN pin, PKSSTREAM_HEADER header, void* cookie);
size_t queued_frames(PKSPIN pin);

// ---------------------------------------------------------------------------------------------
// Requests as user mode sends them. A handle a user-mode client holds is a file object of the
// class layer; every request names one and carries the buffers as user mode passes them: the
// addresses of the caller's own memory (UserBuffer), probed and copied in and out as ks.sys does
// (a buffer outside user memory fails with STATUS_ACCESS_VIOLATION). A handle that is not open
// fails with STATUS_INVALID_HANDLE.
struct File;
class MasterClock;

// The object name a pin's create request carries: KSSTRING_Pin, a backslash, then the
// KSPIN_CONNECT and its data format as bytes.
inline constexpr char16_t kPinCreatePrefix[] = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}\\";

// The reference string of a filter factory's device interfaces: its reference GUID in braces.
std::u16string reference_string(const GUID& reference);
// IRP_MJ_CREATE of a filter: `name` is the device interface's reference string, the filter
// factory's reference GUID in braces ("{...}").
NTSTATUS create_filter_file(PKSDEVICE device, const std::u16string& name, File** file);
// IRP_MJ_CREATE relative to an open filter: `name` is the object name as bytes (kPinCreatePrefix,
// then the connect request). Refused as ks.sys refuses it: a name that is not a pin's, a
// truncated connect or format (STATUS_INVALID_BUFFER_SIZE), an interface or medium the pin does
// not offer (STATUS_NO_MATCH), a PinToHandle that names no open pin (STATUS_INVALID_HANDLE).
NTSTATUS create_pin_file(File* filter, const std::vector<uint8_t>& name, File** file);
// A clock object user mode can name in KSPROPERTY_STREAM_MASTERCLOCK.
File* create_clock_file(std::shared_ptr<MasterClock> clock);

// IRP_MJ_DEVICE_CONTROL. IOCTL_KS_PROPERTY completes before the call returns. IOCTL_KS_READ_STREAM
// on a pin returns STATUS_PENDING once its frames are queued; `done` then runs exactly once, in
// the context that completes the last of them, after the headers are copied back to the
// caller's array. Any other return is the final status and `done` is not called.
struct DeviceControl {
    uint32_t code = 0;
    const void* input = nullptr;
    uint32_t input_length = 0;
    void* output = nullptr;
    uint32_t output_length = 0;
};
using RequestCompletion = std::function<void(NTSTATUS status, ULONG_PTR information)>;
NTSTATUS device_control(File* file, const DeviceControl& request, ULONG_PTR* information, RequestCompletion done);
// IRP_MJ_CLOSE. A pin is walked to STOP and its pending reads complete (cancelled) first. A filter
// whose pins are still open closes when the last of them does, as the pins' file objects hold it.
NTSTATUS close_file(File* file);

// What an open handle stands for (for tests that look inside); NULL for another kind.
PKSFILTER file_filter(File* file);
PKSPIN file_pin(File* file);

// Reference clock. A master clock whose stream time runs in real time while running.
class MasterClock {
public:
    MasterClock();
    ~MasterClock();
    void run();
    void pause();
    void set_offset(int64_t stream_time_100ns);  // resets the stream time
    KSSTATE state() const;
    int64_t stream_time() const;    // 100 ns
    int64_t physical_time() const;  // 100 ns, monotonic
    uint32_t outstanding_references() const;
    // Runs `hook` in the releasing thread after each Release of a reference (set it while no
    // pin uses the clock).
    void on_reference_released(std::function<void()> hook);
    struct Impl;
    Impl* impl() const { return impl_.get(); }

private:
    std::shared_ptr<Impl> impl_;
};
// Assigns (or removes, with nullptr) the pin's master clock; only in STOP.
NTSTATUS set_master_clock(PKSPIN pin, std::shared_ptr<MasterClock> clock);

// Number of Process calls made on the pin so far (counted when a call returns).
uint64_t process_calls(PKSPIN pin);
// True while a Process call of the pin is running.
bool process_in_progress(PKSPIN pin);
// Blocks until the pin's worker is idle (no Process call running, no attempt pending).
bool wait_processing_idle(PKSPIN pin, uint32_t timeout_ms);

}  // namespace host::ks
