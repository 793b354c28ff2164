// The user-mode view of a kernel-streaming device: what a capture application (and the class
// driver's user-mode proxy) does with it. Tools and tests go through this API; every request is
// encoded as user mode sends it and travels through a Transport (client/transport.h): to the
// host class layer in the host build, to the system on Windows.
//
// Errors are NTSTATUS values (no exceptions across this API for expected failures).
#pragma once

#include "client/transport.h"
#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qh::client {

// One filter factory as enumerated (like a capture-device lister sees it).
struct FilterInfo {
    uint32_t index;  // position in the device descriptor
    GUID reference;  // the factory's reference GUID
    std::vector<GUID> categories;
};

struct PinInfo {
    uint32_t id;
    KSPIN_DATAFLOW dataflow;
    KSPIN_COMMUNICATION communication;
    GUID category;        // GUID_NULL when the pin type has none
    std::u16string name;  // the name the class answers for the pin type; empty when it answers none
    uint32_t instances_possible;
    std::vector<std::vector<uint8_t>> ranges;  // each data range as its bytes (FormatSize long)
};

struct Topology {
    std::vector<GUID> node_types;
    std::vector<KSTOPOLOGY_CONNECTION> connections;
};

// Result of a property request as user mode sees it.
struct PropertyResult {
    NTSTATUS status;
    uint32_t bytes_returned;    // IoStatus.Information
    std::vector<uint8_t> data;  // the output buffer after the call (bytes_returned valid bytes for GET)
};

class Clock;  // a graph's master clock
class Pin;
class Filter;
class Device;

// A frame handed back to the client after completion.
struct CompletedFrame {
    NTSTATUS status;              // STATUS_SUCCESS, or STATUS_CANCELLED when flushed at STOP
    std::vector<uint8_t> header;  // the stream header as the driver left it (header size bytes)
    const KSSTREAM_HEADER& stream_header() const { return *reinterpret_cast<const KSSTREAM_HEADER*>(header.data()); }
    std::vector<uint8_t> data;  // the data buffer (FrameExtent bytes)
    uint64_t sequence;          // submission order, from 0
    uint64_t completed_ns;      // host monotonic time of completion
    bool guards_intact = true;  // no byte around the header or the data was overwritten
};

class Pin {
public:
    virtual ~Pin() = default;
    virtual uint32_t id() const = 0;
#if !defined(QH_USER_MODE)
    virtual PKSPIN kspin() const = 0;  // for tests that inspect the object
#endif
    // Walks the state one step at a time to `state`; returns the first failing step's status.
    virtual NTSTATUS set_state(KSSTATE state) = 0;
    virtual KSSTATE state() const = 0;  // the state actually reached
    // Later format change (KSPROPERTY_CONNECTION_DATAFORMAT).
    virtual NTSTATUS set_format(const std::vector<uint8_t>& format) = 0;
    // Must be called in STOP: assigns (or removes, with nullptr) the master clock.
    virtual NTSTATUS set_master_clock(std::shared_ptr<Clock> clock) = 0;
    // Queues one frame: a header of `header_size` bytes (56 plain, 128 with KS_FRAME_INFO) and a
    // data buffer of `frame_extent` bytes (`with_data` false submits a header whose Data is null).
    virtual NTSTATUS submit(uint32_t frame_extent, uint32_t header_size, bool with_data = true) = 0;
    // Waits for the next completed frame, in completion order; false on time-out.
    virtual bool wait_completed(CompletedFrame& out, uint32_t timeout_ms) = 0;
    virtual size_t queued() const = 0;  // frames submitted and not completed
    // Completions of frames that were not (or no longer) outstanding: a buffer returned twice.
    virtual uint64_t stray_completions() const = 0;
    virtual PropertyResult property(const std::vector<uint8_t>& request, uint32_t output_length,
                                    const std::vector<uint8_t>& input_data = {}) = 0;
    virtual NTSTATUS close() = 0;  // walks down to STOP, then closes
};

class Filter {
public:
    virtual ~Filter() = default;
#if !defined(QH_USER_MODE)
    virtual PKSFILTER ksfilter() const = 0;
#endif
    virtual const FilterInfo& info() const = 0;
    virtual std::vector<PinInfo> pins() const = 0;
    virtual Topology topology() const = 0;
    // KSPROPERTY_PIN_DATAINTERSECTION with the given client ranges (each as bytes); on success
    // `format` receives the data format. Performs the size query first, as a proxy does.
    virtual NTSTATUS intersect(uint32_t pin_id, const std::vector<std::vector<uint8_t>>& client_ranges,
                               std::vector<uint8_t>& format) = 0;
    // Raw intersection call with a caller-chosen output length (0 = size query).
    virtual PropertyResult intersect_raw(uint32_t pin_id, const std::vector<std::vector<uint8_t>>& client_ranges,
                                         uint32_t output_length) = 0;
    virtual NTSTATUS create_pin(uint32_t pin_id, const std::vector<uint8_t>& format, std::unique_ptr<Pin>& pin) = 0;
    // A property request to the filter (filter set, or node set with KSPROPERTY_TYPE_TOPOLOGY).
    virtual PropertyResult property(const std::vector<uint8_t>& request, uint32_t output_length,
                                    const std::vector<uint8_t>& input_data = {}) = 0;
    virtual NTSTATUS close() = 0;
};

class Device {
public:
    virtual ~Device() = default;
    virtual std::vector<FilterInfo> filters() const = 0;
    std::vector<FilterInfo> filters_in_category(const GUID& category) const;
    virtual NTSTATUS open_filter(uint32_t index, std::unique_ptr<Filter>& filter) = 0;
    // The device's interfaces went away (surprise removal), as the notification an application
    // registers for tells it: the application stops its pins (getting its buffers back) and
    // closes its handles, after which the device is removed.
    virtual bool removed() const = 0;
    virtual bool wait_removed(uint32_t timeout_ms) const = 0;
};

#if !defined(QH_USER_MODE)
// The user-mode view of a device the host's PnP manager has added (and normally started).
std::unique_ptr<Device> open_device(PKSDEVICE device);
#endif

// A filter opened through `transport` (its handle now belongs to the filter); pins, properties
// and streams go through the same transport.
std::unique_ptr<Filter> make_filter(std::shared_ptr<Transport> transport, Handle handle, FilterInfo info);

// A master clock whose stream time advances in real time while running.
class Clock {
public:
    virtual ~Clock() = default;
    virtual void run() = 0;
    virtual void pause() = 0;
    virtual int64_t stream_time() const = 0;  // 100 ns units
    virtual uint32_t outstanding_references() const = 0;
    // The clock object's handle, what KSPROPERTY_STREAM_MASTERCLOCK names.
    virtual Handle handle() const = 0;
    // Called in the releasing thread each time the driver releases a reference (for tests that
    // check what the driver has or has not done yet at that moment).
    virtual void on_reference_released(std::function<void()> hook) = 0;
};
std::shared_ptr<Clock> make_clock();

// Helpers to build requests.
// The create request of a pin as KsCreatePin sends it: a KSPIN_CONNECT (the standard streaming
// interface and medium, no peer pin, normal priority) followed by `format`.
std::vector<uint8_t> make_connect(uint32_t pin_id, const std::vector<uint8_t>& format);
std::vector<uint8_t> make_property(const GUID& set, uint32_t id, uint32_t flags);
std::vector<uint8_t> make_node_property(const GUID& set, uint32_t id, uint32_t flags, uint32_t node_id);
// The format an audio client connects with: 48 kHz stereo 16-bit PCM. Another tag or a shorter
// size makes the variants a driver must refuse (the bytes past `size` are cut off).
std::vector<uint8_t> make_pcm_format(uint16_t tag = WAVE_FORMAT_PCM, uint32_t size = sizeof(KSDATAFORMAT_WAVEFORMATEX));

}  // namespace qh::client
