// The test bed: one simulated card with the driver loaded and a device added for it, started
// with the card's resources, as the Windows PnP manager would do it. Tests, benchmarks and the
// tool build on it; the destructor stops and removes the device and runs the leak check.
//
// What the tools may know of the driver beyond the client's view is asked here, by name
// (driver_input, driver_resources, the buffer views); the driver's own records stay behind
// this header. Tests that check state the driver's design names reach the device extension
// through tests/support/device_ext.h.
#pragma once

#include "client/client.h"
#include "platform/host/image/image_loader.h"
#include "platform/host/pnp/pnp.h"
#include "platform/host/diag/trace.h"
#include "sim/card.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qh {

// What the driver keeps for one input that a tool may read on the simulated set-up: figures no
// property reports, and the picture and pin the driver last set its video engine for.
struct DriverInput {
    bool interlaced = false;         // the engine captures fields and the driver weaves them
    uint32_t width = 0, height = 0;  // the picture the input's format was last set from
    PKSPIN video_pin = nullptr;      // the pin the video engine works for; only to compare
    bool signal_mismatch = false;    // the receiver's signal does not fit the pin's format
    uint64_t frames_held_back = 0;   // frames not delivered as possibly torn, repeated or mixed
    uint64_t audio_lost_bytes = 0;   // audio the card overwrote before it could be delivered
};

// The common buffers and register window the started driver holds.
struct DriverResources {
    uint32_t video_buffers = 0;  // allocated, of video_buffers_total
    uint32_t video_buffers_total = 0;
    uint32_t video_buffer_bytes = 0;
    bool audio_buffer = false;
    uint32_t audio_buffer_bytes = 0;  // one buffer, a ring per input
    uint32_t audio_ring_bytes = 0;
    uint32_t register_bytes = 0;  // of the window the driver mapped
};

// Host memory a card engine writes into, as the driver allocated it (null while it is not).
struct DmaView {
    const uint8_t* data = nullptr;
    size_t bytes = 0;
};

struct TestbedOptions {
    // The card: sources, faults, interrupt mode (line-based or message-signalled) and pacing.
    sim::CardConfig card = sim::Card::default_config();

    // Scale of KeDelayExecutionThread: 0 records every delay and returns at once (the 200 ms and
    // 1 s waits of the bring-up do not slow a suite); 1 is real time.
    double delay_scale = 0.0;

    // Kernel time on the virtual clock (host::set_virtual_clock): timers and time-outs expire
    // only when the test advances it. For manually paced tests whose driver paths never wait
    // for time to pass on their own.
    bool virtual_clock = false;

    // Bring the host kernel back to its defaults first (host::reset()).
    bool reset_kernel = true;

    // How far the constructor goes: load the driver always; add the device; start it.
    bool add = true;
    bool start = true;

    // Resources of the start. By default the card's memory window, then its interrupt (a shared
    // level-sensitive line, or a message-signalled interrupt, following card.interrupt_mode).
    ULONG interrupt_level = 5;  // the descriptor's level: the routine's IRQL
    KAFFINITY interrupt_affinity = 1;
    bool interrupt_latched = false;  // line-based only: CM_RESOURCE_INTERRUPT_LATCHED
    bool interrupt_shared = true;    // line-based only: CmResourceShareShared
    // Descriptors put before and after the default ones (port, DMA, device-private, unknown, or a
    // second memory range / interrupt).
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> resources_before;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> resources_after;
    // Replaces the default list entirely when set (it may leave the list empty: no resources).
    std::function<void(host::pnp::ResourceList&, sim::Card&)> build_resources;

    // Stop and remove the device in the destructor and check for leaks; a leak is a verifier
    // bug check (fatal unless a verifier capture is active).
    bool remove_on_destroy = true;

    // What the installation wrote under the device's hardware key (the INF's .HW section), which
    // the driver reads when the device is added: the camera variant sets RegisterAsCamera to 1.
    std::vector<host::registry::Value> hardware_key;

    // Copy every trace line to stdout as it is emitted (the tool's view).
    bool echo_trace = false;

    // The driver: empty for the one compiled into this program, or the path of a shipped image
    // (quadhdmi.sys) to load in its place. Defaults to the QH_DRIVER_IMAGE environment variable,
    // so that whole suites run against the image unchanged.
    std::string driver_image = default_driver_image();
    static std::string default_driver_image();
};

class Testbed {
public:
    explicit Testbed(TestbedOptions options = {});
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // AddDevice (DeviceDispatchCreate). Needed only when the options said add = false.
    NTSTATUS add();
    // IRP_MN_START_DEVICE with a resource list built as the options say.
    NTSTATUS start();
    // IRP_MN_START_DEVICE with a list built by the caller.
    NTSTATUS start(host::pnp::ResourceList& translated);
    void stop();
    // Stops (if started) and removes the device; returns the number of leaks the check found.
    // After a surprise removal this is finish_removal(kRemovalWaitMs): the removal waits for the
    // client to close its handles.
    size_t remove();
    void set_power(DEVICE_POWER_STATE to);

    // The card pulled out while the device runs: the card goes dead (see sim::Card::unplug) and
    // the PnP manager sends the surprise removal. Handles stay open until their owners close
    // them; finish_removal() then waits for that and removes the device (Stop, Remove, leak
    // check: the number of leaks). The test bed never closes a handle of the client's: when
    // one is still open at the time-out, nothing is removed and it throws (a hang is a failure).
    void unplug(bool shared_line_keeps_firing = false);
    size_t finish_removal(uint32_t timeout_ms);
    static constexpr uint32_t kRemovalWaitMs = 30000;
    // A card put back after a removal: a new card (as configured) and a new device, added and
    // started; the client view is opened anew.
    NTSTATUS replug();
    // Rebalance with pins open: query-stop, stop, start with a new list; `move_window` gives the
    // card's registers another bus address, `interrupt_mode` another kind of interrupt.
    NTSTATUS rebalance(bool move_window, std::optional<sim::InterruptMode> interrupt_mode = std::nullopt);
    // System sleep (running pins paused, D3) and wake (D0 and the pins back to RUN, in the order
    // asked for).
    NTSTATUS sleep();
    void wake(bool pins_before_power = false);

    NTSTATUS add_status() const { return add_status_; }
    NTSTATUS start_status() const { return start_status_; }
    bool added() const { return device_ != nullptr; }
    // The shipped image the driver was loaded from, or null for the compiled-in driver.
    const host::image::Image* image() const { return image_.get(); }
    bool started() const;

    sim::Card& card() { return *card_; }
    const TestbedOptions& options() const { return options_; }
    host::pnp::Device& pnp_device() { return *device_; }
    PKSDEVICE ksdevice() const;
    // The user-mode view of the device (filters, pins, properties).
    client::Device& client();

    // The resource list of the default start (for tests that inspect or tweak it).
    host::pnp::ResourceList default_resources();

    // Trace since the test bed was created (or since the last clear_trace()).
    host::trace::Mark trace_mark() const { return trace_mark_; }
    std::vector<std::string> trace_lines() const;
    std::string trace_text() const;
    size_t trace_count(const std::string& exact) const;
    void clear_trace();

    // Short summary of the last start: receivers that answered and were configured, and common
    // buffers the driver holds.
    int receivers_configured() const;
    int buffers_allocated() const;

    // The driver's records of the device, read as they are now (all zero before a successful
    // add). Fields shared with the interrupt and DPC paths are read as the driver reads them.
    DriverInput driver_input(uint32_t input) const;
    DriverResources driver_resources() const;
    // An input's three video buffers and its slice of the audio buffer, for benchmarks that copy
    // what the driver copies. Valid while the device holds its buffers (between start and stop).
    std::array<DmaView, 3> video_buffers(uint32_t input) const;
    DmaView audio_ring(uint32_t input) const;

private:
    TestbedOptions options_;
    std::unique_ptr<sim::Card> card_;
    std::shared_ptr<host::image::Image> image_;  // outlives the driver it carries
    std::shared_ptr<host::pnp::Driver> driver_;
    std::unique_ptr<host::pnp::Device> device_;
    std::unique_ptr<client::Device> client_;
    host::pnp::ResourceList resources_;
    host::trace::Mark trace_mark_ = 0;
    host::trace::Mark start_mark_ = 0;
    int echo_listener_ = -1;
    NTSTATUS add_status_ = STATUS_SUCCESS;
    NTSTATUS start_status_ = STATUS_SUCCESS;
};

// A partial resource descriptor of the given type, zero otherwise (for resources_before/after).
CM_PARTIAL_RESOURCE_DESCRIPTOR make_descriptor(UCHAR type);

}  // namespace qh
