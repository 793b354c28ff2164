// Driver initialisation and devices: the descriptor each driver registered, device creation and
// deletion, removal, and pausing the running pins for a power or resource change.
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"

#include "platform/host/kernel/kernel.h"

#include <unordered_map>

namespace host::ks {

// ---------------------------------------------------------------------------------------------
// Driver and device

namespace {
host::sched::Mutex g_driver_lock;
std::unordered_map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*> g_drivers;
}  // namespace

const KSDEVICE_DESCRIPTOR* recorded_descriptor(PDRIVER_OBJECT driver) {
    std::lock_guard<host::sched::Mutex> guard(g_driver_lock);
    auto it = g_drivers.find(driver);
    return it == g_drivers.end() ? nullptr : it->second;
}

void forget_driver(PDRIVER_OBJECT driver) {
    std::lock_guard<host::sched::Mutex> guard(g_driver_lock);
    g_drivers.erase(driver);
}

PKSDEVICE create_device(const KSDEVICE_DESCRIPTOR* descriptor, PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo) {
    auto* device = new DeviceObj;
    device->ks.Descriptor = descriptor;
    device->ks.Bag = new_bag();
    device->ks.Context = nullptr;
    device->ks.FunctionalDeviceObject = fdo;
    device->ks.PhysicalDeviceObject = pdo;
    device->ks.NextDeviceObject = pdo;
    device->ks.Started = FALSE;
    device->ks.SystemPowerState = PowerSystemWorking;
    device->ks.DevicePowerState = PowerDeviceD0;
    register_object(device, Kind::Device);
    return &device->ks;
}

void delete_device(PKSDEVICE ksdevice) {
    DeviceObj* device = as_device(ksdevice);
    if (!device) return;
    close_all_filters(ksdevice);
    unregister_object(device);
    delete_bag(static_cast<Bag*>(device->ks.Bag));
    delete device;
}

void close_all_filters(PKSDEVICE ksdevice) {
    DeviceObj* device = as_device(ksdevice);
    if (!device) return;
    for (;;) {
        FilterObj* filter = nullptr;
        {
            std::lock_guard<host::sched::Mutex> guard(device->filters_lock);
            if (device->filters.empty()) break;
            filter = *device->filters.begin();
        }
        close_filter(&filter->ks);
    }
}

void mark_removed(PKSDEVICE ksdevice) {
    DeviceObj* device = as_device(ksdevice);
    if (!device) return;
    std::lock_guard<host::sched::Mutex> guard(device->filters_lock);
    device->removed.store(true);
    device->filters_changed.notify_all();
}

bool removed(PKSDEVICE ksdevice) {
    DeviceObj* device = as_device(ksdevice);
    return device == nullptr || device->removed.load();
}

namespace {
// Waits on the device's filter set and removal flag; true when `done` held in time.
bool wait_device(PKSDEVICE ksdevice, uint32_t timeout_ms, const std::function<bool(DeviceObj*)>& done) {
    DeviceObj* device = as_device(ksdevice);
    if (!device) return true;
    std::unique_lock<host::sched::Mutex> guard(device->filters_lock);
    return device->filters_changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return done(device); });
}
}  // namespace

bool wait_removed(PKSDEVICE ksdevice, uint32_t timeout_ms) {
    return wait_device(ksdevice, timeout_ms, [](DeviceObj* device) { return device->removed.load(); });
}

size_t open_filters(PKSDEVICE ksdevice) {
    DeviceObj* device = as_device(ksdevice);
    if (!device) return 0;
    std::lock_guard<host::sched::Mutex> guard(device->filters_lock);
    return device->filters.size();
}

bool wait_filters_closed(PKSDEVICE ksdevice, uint32_t timeout_ms) {
    return wait_device(ksdevice, timeout_ms, [](DeviceObj* device) { return device->filters.empty(); });
}

std::vector<PKSPIN> pause_running_pins(PKSDEVICE ksdevice) {
    std::vector<PKSPIN> paused;
    DeviceObj* device = as_device(ksdevice);
    if (!device) return paused;
    std::vector<PinObj*> pins;
    {
        std::lock_guard<host::sched::Mutex> guard(device->filters_lock);
        for (FilterObj* filter : device->filters) {
            std::lock_guard<host::sched::Mutex> pins_guard(filter->pins_lock);
            for (PinObj* pin : filter->pins)
                pins.push_back(pin);
        }
    }
    for (PinObj* pin : pins) {
        if (!is_live(pin, Kind::Pin) || pin->reached.load() != KSSTATE_RUN) continue;
        if (NT_SUCCESS(step_pin_state(pin, KSSTATE_PAUSE))) paused.push_back(&pin->ks);
    }
    return paused;
}

void resume_pins(const std::vector<PKSPIN>& pins) {
    for (PKSPIN ks : pins) {
        // A pin its client closed while the system slept is gone; its memory is never reused.
        if (!is_live(ks, Kind::Pin)) continue;
        if (PinObj* pin = as_pin(ks)) step_pin_state(pin, KSSTATE_RUN);
    }
}

void acquire_device_mutex(PKSDEVICE ksdevice) {
    if (DeviceObj* device = as_device(ksdevice)) device->device_mutex.lock();
}

void release_device_mutex(PKSDEVICE ksdevice) {
    if (DeviceObj* device = as_device(ksdevice)) device->device_mutex.unlock();
}

}  // namespace host::ks

// ---------------------------------------------------------------------------------------------
// The class services the driver calls

using namespace host::ks;

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                            const KSDEVICE_DESCRIPTOR* Descriptor) {
    (void)RegistryPath;
    require_passive("KsInitializeDriver");
    if (!DriverObject || !Descriptor) return STATUS_INVALID_PARAMETER;
    // PnP reaches the class through the driver's AddDevice, which a driver may replace after this.
    if (DriverObject->DriverExtension) DriverObject->DriverExtension->AddDevice = KsAddDevice;
    std::lock_guard<host::sched::Mutex> guard(g_driver_lock);
    g_drivers[DriverObject] = Descriptor;
    return STATUS_SUCCESS;
}
