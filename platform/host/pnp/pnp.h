// The host PnP manager: loads a driver through its entry point, adds a device for a simulated
// PCI function, starts it with hand-built resource lists, stops it, powers it and removes it,
// always at PASSIVE_LEVEL and in the orders the Windows PnP manager uses.
#pragma once

#include "platform/platform.h"
#include "platform/host/sched/sched.h"
#include "platform/host/pnp/registry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace host::pnp {

using DriverEntryRoutine = NTSTATUS(NTAPI*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// ---------------------------------------------------------------------------------------------
// CM_RESOURCE_LIST builder. Each full descriptor holds any number of partial descriptors; the
// result is one contiguous, correctly laid out CM_RESOURCE_LIST.

class ResourceList {
public:
    ResourceList() = default;

    // Starts a new full descriptor (a list starts without one; the first add_* opens one).
    ResourceList& begin_full(INTERFACE_TYPE type = PCIBus, ULONG bus = 0);

    ResourceList& add_memory(uint64_t start, uint32_t length, USHORT flags = 0,
                             UCHAR share = CmResourceShareDeviceExclusive);
    // Line-based interrupt: level, vector, affinity; `latched` sets CM_RESOURCE_INTERRUPT_LATCHED,
    // `shared` sets CmResourceShareShared.
    ResourceList& add_line_interrupt(ULONG level, ULONG vector, KAFFINITY affinity, bool shared = true,
                                     bool latched = false);
    // Message-signalled interrupt (CM_RESOURCE_INTERRUPT_MESSAGE, latched): translated values.
    ResourceList& add_message_interrupt(ULONG level, ULONG vector, KAFFINITY affinity, bool shared = false);
    ResourceList& add_port(uint64_t start, uint32_t length);
    ResourceList& add_dma(ULONG channel, ULONG port);
    ResourceList& add_device_private(ULONG d0, ULONG d1, ULONG d2);
    // A descriptor of a type the driver does not know.
    ResourceList& add_unknown(UCHAR type);
    // Any descriptor as given.
    ResourceList& add_raw(const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor);

    bool empty() const { return fulls_.empty(); }
    size_t full_count() const { return fulls_.size(); }
    // The list laid out in memory; valid until the builder changes. NULL when the list is empty
    // and `null_when_empty` (Windows passes NULL for a device without resources).
    PCM_RESOURCE_LIST get(bool null_when_empty = true);
    size_t byte_size() const { return bytes_.size() * sizeof(uint64_t); }

private:
    struct Full {
        INTERFACE_TYPE type;
        ULONG bus;
        std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials;
    };
    Full& current();
    std::vector<Full> fulls_;
    std::vector<uint64_t> bytes_;  // 8-byte aligned storage for the laid-out list
};

// ---------------------------------------------------------------------------------------------
// Driver and device

class Driver {
public:
    // Calls `entry` with a fresh DRIVER_OBJECT and registry path. The entry is expected to call
    // KsInitializeDriver; the recorded device descriptor is what add_device uses.
    static NTSTATUS load(DriverEntryRoutine entry, std::shared_ptr<Driver>& out);
    ~Driver();

    PDRIVER_OBJECT driver_object() { return &object_; }
    const KSDEVICE_DESCRIPTOR* descriptor() const;

private:
    Driver() = default;
    DRIVER_OBJECT object_{};
    DRIVER_EXTENSION extension_{};
    UNICODE_STRING registry_path_{};
    std::vector<WCHAR> path_text_;
};

enum class DeviceState { Added, Started, Stopped, Removed };

class Device {
public:
    // AddDevice: the physical device object (linking to `pci_function`, its hardware key holding
    // `hardware_key`, as the INF's .HW section left it) goes to the driver's AddDevice routine:
    // KsAddDevice unless the driver installed its own, which calls KsCreateDevice. That creates
    // the KSDEVICE (Context NULL, a fresh bag) and calls the descriptor's Add. On failure `out`
    // stays empty and the device's bag has been emptied.
    static NTSTATUS add(const std::shared_ptr<Driver>& driver, void* pci_function, uint32_t function_id,
                        std::unique_ptr<Device>& out, std::vector<host::registry::Value> hardware_key = {});
    // Removes the device if that has not happened yet; after a surprise removal with handles
    // still open that is a finding (a diagnostic), and the handles are closed as the object goes.
    ~Device();

    // IRP_MN_START_DEVICE: Start(Device, Irp, translated, untranslated) with the device mutex held;
    // `Started` becomes TRUE on success, then PostStart runs. After a failure nothing else is called.
    NTSTATUS start(ResourceList* translated, ResourceList* untranslated);
    NTSTATUS start(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated);
    // IRP_MN_STOP_DEVICE: Stop(Device, Irp) with the device mutex held; `Started` becomes FALSE.
    void stop();
    // IRP_MN_SET_POWER for the device: SetPower(Device, Irp, To, From) with the device mutex held.
    void set_power(DEVICE_POWER_STATE to);

    // Rebalance, with pins open and possibly running (the class leaves their states and queues
    // alone): IRP_MN_QUERY_STOP_DEVICE (QueryStop; none means yes), then IRP_MN_STOP_DEVICE and
    // IRP_MN_START_DEVICE with the list `assign` builds once the old resources are released
    // (used as translated and untranslated list). A veto sends IRP_MN_CANCEL_STOP_DEVICE and
    // leaves the device as it was. Returns the veto or the start's status; a device whose
    // restart failed is then surprise-removed, as Windows does.
    NTSTATUS query_stop();
    void cancel_stop();
    NTSTATUS rebalance(const std::function<void(ResourceList&)>& assign);
    // IRP_MN_SURPRISE_REMOVAL: the device's interfaces are disabled (clients are told, new opens
    // fail), then SurpriseRemoval(Device, Irp) with the device mutex held. The device stays
    // started: its Stop and Remove come with remove(), once every handle is closed.
    void surprise_remove();
    bool surprise_removed() const;
    // Blocks until every filter handle on the device is closed (or the time-out).
    bool wait_handles_closed(uint32_t timeout_ms);
    // System sleep: QueryPower, every running pin RUN -> PAUSE, then SetPower(D0 -> `to`).
    // Wake: SetPower(-> D0) and the paused pins back to RUN, in either order.
    NTSTATUS sleep(DEVICE_POWER_STATE to = PowerDeviceD3);
    void wake(bool pins_before_power = false);
    // IRP_MN_REMOVE_DEVICE: Stop first if still started, then Remove, then the device bag is
    // emptied and the leak check runs. Returns the number of leaks the check reported.
    // After a surprise removal Windows sends it only once the owners of the device's handles have
    // closed the last one: asked for while one is still open, it is refused, loudly (a verifier
    // diagnostic), nothing is called or closed and kRemovalHeld is returned. Wait for the
    // handles first (wait_handles_closed).
    static constexpr size_t kRemovalHeld = SIZE_MAX;
    size_t remove();

    PKSDEVICE ksdevice() const { return ksdevice_; }
    DeviceState state() const;
    bool started() const;

    // Called after the device bag is emptied at removal; returns the number of leaks found.
    // Defaults to the kernel verifier's pool and common-buffer check.
    static void set_leak_check(std::function<size_t()> check);

private:
    Device() = default;
    size_t tear_down();
    std::shared_ptr<Driver> driver_;
    PKSDEVICE ksdevice_ = nullptr;
    DEVICE_OBJECT pdo_{};
    DEVICE_OBJECT fdo_{};
    mutable host::sched::Mutex state_lock_;
    DeviceState state_ = DeviceState::Added;
    bool surprise_removed_ = false;
    std::vector<PKSPIN> slept_pins_;
    ResourceList rebalanced_;
};

}  // namespace host::pnp
