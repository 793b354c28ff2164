// The host PnP manager and the CM_RESOURCE_LIST builder.
#include "platform/host/pnp/pnp.h"
#include "platform/host/sched/sched.h"

#include "platform/host/bus/bus.h"
#include "platform/host/diag/verifier.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/kernel/kernel_private.h"
#include "platform/host/ks/ks.h"

#include <algorithm>

#include <cstdio>
#include <string>

namespace host::pnp {

// ---------------------------------------------------------------------------------------------
// Resource lists

ResourceList& ResourceList::begin_full(INTERFACE_TYPE type, ULONG bus) {
    fulls_.push_back({type, bus, {}});
    return *this;
}

ResourceList::Full& ResourceList::current() {
    if (fulls_.empty()) begin_full();
    return fulls_.back();
}

ResourceList& ResourceList::add_raw(const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor) {
    current().partials.push_back(descriptor);
    return *this;
}

ResourceList& ResourceList::add_memory(uint64_t start, uint32_t length, USHORT flags, UCHAR share) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeMemory;
    d.ShareDisposition = share;
    d.Flags = flags;
    d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(start);
    d.u.Memory.Length = length;
    return add_raw(d);
}

ResourceList& ResourceList::add_line_interrupt(ULONG level, ULONG vector, KAFFINITY affinity, bool shared,
                                               bool latched) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = shared ? CmResourceShareShared : CmResourceShareDeviceExclusive;
    d.Flags = latched ? CM_RESOURCE_INTERRUPT_LATCHED : CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    d.u.Interrupt.Level = level;
    d.u.Interrupt.Vector = vector;
    d.u.Interrupt.Affinity = affinity;
    return add_raw(d);
}

ResourceList& ResourceList::add_message_interrupt(ULONG level, ULONG vector, KAFFINITY affinity, bool shared) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = shared ? CmResourceShareShared : CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_INTERRUPT_MESSAGE | CM_RESOURCE_INTERRUPT_LATCHED;
    d.u.MessageInterrupt.Translated.Level = level;
    d.u.MessageInterrupt.Translated.Vector = vector;
    d.u.MessageInterrupt.Translated.Affinity = affinity;
    return add_raw(d);
}

ResourceList& ResourceList::add_port(uint64_t start, uint32_t length) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypePort;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.u.Port.Start.QuadPart = static_cast<LONGLONG>(start);
    d.u.Port.Length = length;
    return add_raw(d);
}

ResourceList& ResourceList::add_dma(ULONG channel, ULONG port) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeDma;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.u.Dma.Channel = channel;
    d.u.Dma.Port = port;
    return add_raw(d);
}

ResourceList& ResourceList::add_device_private(ULONG d0, ULONG d1, ULONG d2) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeDevicePrivate;
    d.u.DevicePrivate.Data[0] = d0;
    d.u.DevicePrivate.Data[1] = d1;
    d.u.DevicePrivate.Data[2] = d2;
    return add_raw(d);
}

ResourceList& ResourceList::add_unknown(UCHAR type) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = type;
    d.u.DevicePrivate.Data[0] = 0xDEADBEEF;
    return add_raw(d);
}

PCM_RESOURCE_LIST ResourceList::get(bool null_when_empty) {
    if (fulls_.empty() && null_when_empty) return nullptr;
    // Layout: ULONG Count, then each full descriptor: InterfaceType, BusNumber, Version,
    // Revision, Count, then Count partial descriptors (the declared [1] array is open-ended).
    size_t size = offsetof(CM_RESOURCE_LIST, List);
    for (const Full& f : fulls_)
        size += offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
                f.partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    size = std::max(size, sizeof(CM_RESOURCE_LIST));
    bytes_.assign((size + 7) / 8, 0);
    auto* base = reinterpret_cast<unsigned char*>(bytes_.data());
    auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(base);
    list->Count = static_cast<ULONG>(fulls_.size());
    unsigned char* p = base + offsetof(CM_RESOURCE_LIST, List);
    for (const Full& f : fulls_) {
        auto* full = reinterpret_cast<PCM_FULL_RESOURCE_DESCRIPTOR>(p);
        full->InterfaceType = f.type;
        full->BusNumber = f.bus;
        full->PartialResourceList.Version = 1;
        full->PartialResourceList.Revision = 1;
        full->PartialResourceList.Count = static_cast<ULONG>(f.partials.size());
        unsigned char* d = p + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                           offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors);
        if (!f.partials.empty())
            std::memcpy(d, f.partials.data(), f.partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
        p = d + f.partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    }
    return list;
}

// ---------------------------------------------------------------------------------------------
// Driver

NTSTATUS Driver::load(DriverEntryRoutine entry, std::shared_ptr<Driver>& out) {
    if (!entry) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Driver> driver(new Driver);
    static const char kPath[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\quadhdmi";
    for (const char* c = kPath; *c; ++c)
        driver->path_text_.push_back(static_cast<WCHAR>(*c));
    driver->path_text_.push_back(0);
    driver->registry_path_.Buffer = driver->path_text_.data();
    driver->registry_path_.Length = static_cast<USHORT>((driver->path_text_.size() - 1) * sizeof(WCHAR));
    driver->registry_path_.MaximumLength = static_cast<USHORT>(driver->path_text_.size() * sizeof(WCHAR));
    driver->object_.HostDriver = driver.get();
    driver->extension_.DriverObject = &driver->object_;
    driver->object_.DriverExtension = &driver->extension_;
    NTSTATUS status = host::ks::invoke_callback("DriverEntry", false,
                                                [&] { return entry(&driver->object_, &driver->registry_path_); });
    if (!NT_SUCCESS(status)) return status;
    if (!driver->descriptor()) {
        std::fprintf(stderr, "pnp: the driver entry did not call KsInitializeDriver\n");
        return STATUS_UNSUCCESSFUL;
    }
    out = std::move(driver);
    return STATUS_SUCCESS;
}

Driver::~Driver() { host::ks::forget_driver(&object_); }

const KSDEVICE_DESCRIPTOR* Driver::descriptor() const {
    return host::ks::recorded_descriptor(const_cast<PDRIVER_OBJECT>(&object_));
}

// ---------------------------------------------------------------------------------------------
// Device

namespace {
host::sched::Mutex g_leak_lock;
std::function<size_t()> g_leak_check;
}  // namespace

void Device::set_leak_check(std::function<size_t()> check) {
    std::lock_guard<host::sched::Mutex> guard(g_leak_lock);
    g_leak_check = std::move(check);
}

NTSTATUS Device::add(const std::shared_ptr<Driver>& driver, void* pci_function, uint32_t function_id,
                     std::unique_ptr<Device>& out, std::vector<host::registry::Value> hardware_key) {
    if (!driver || !driver->descriptor()) return STATUS_INVALID_PARAMETER;
    PDRIVER_OBJECT object = driver->driver_object();
    const PDRIVER_ADD_DEVICE add_device = object->DriverExtension->AddDevice;
    if (!add_device) return STATUS_INVALID_PARAMETER;
    std::unique_ptr<Device> device(new Device);
    device->driver_ = driver;
    device->pdo_.HostDevice = pci_function;
    device->pdo_.HostId = function_id;
    device->fdo_.HostDevice = pci_function;
    device->fdo_.HostId = function_id;
    host::registry::set_hardware_key(&device->pdo_, std::move(hardware_key));
    host::ks::expect_add_device(&device->pdo_, &device->fdo_);
    PDEVICE_OBJECT pdo = &device->pdo_;
    NTSTATUS status = host::ks::invoke_callback("AddDevice", false, [&] { return add_device(object, pdo); });
    device->ksdevice_ = host::ks::take_added_device(pdo);
    if (NT_SUCCESS(status) && !device->ksdevice_) {
        host::verifier::diagnostic("pnp: AddDevice returned success without creating a device object");
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        // A driver that made its device and then failed would delete it on Windows; the host
        // cleans up either way so that the failure, not a leak, is what the caller sees.
        if (device->ksdevice_) host::ks::delete_device(device->ksdevice_);
        device->ksdevice_ = nullptr;
        host::registry::forget_hardware_key(pdo);
        device->state_ = DeviceState::Removed;
        return status;
    }
    object->DeviceObject = &device->fdo_;
    out = std::move(device);
    return STATUS_SUCCESS;
}

Device::~Device() {
    if (state() == DeviceState::Removed) return;
    const size_t open = surprise_removed() ? host::ks::open_filters(ksdevice_) : 0;
    if (open != 0) {
        // Nothing of the device may outlive this object, so its handles are closed here all the
        // same; the run has failed by then.
        std::string message = "device object destroyed after its surprise removal with ";
        message += std::to_string(open);
        message += " filter handle(s) still open: IRP_MN_REMOVE_DEVICE was never due";
        host::verifier::diagnostic(message);
    }
    tear_down();
}

DeviceState Device::state() const {
    std::lock_guard<host::sched::Mutex> guard(state_lock_);
    return state_;
}

bool Device::started() const { return state() == DeviceState::Started; }

NTSTATUS Device::start(ResourceList* translated, ResourceList* untranslated) {
    return start(translated ? translated->get() : nullptr, untranslated ? untranslated->get() : nullptr);
}

namespace {

// The bus remembers how each interrupt resource was assigned, shared or not, so that a driver's
// connection can be held against it (the first descriptor of a vector counts).
void note_interrupt_assignments(PCM_RESOURCE_LIST list) {
    if (!list) return;
    std::vector<ULONG> seen;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(list) + offsetof(CM_RESOURCE_LIST, List);
    for (ULONG f = 0; f < list->Count; ++f) {
        const auto* full = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(p);
        const CM_PARTIAL_RESOURCE_LIST& partials = full->PartialResourceList;
        const auto* first = reinterpret_cast<const CM_PARTIAL_RESOURCE_DESCRIPTOR*>(
            reinterpret_cast<const unsigned char*>(&partials) + offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors));
        for (ULONG i = 0; i < partials.Count; ++i) {
            const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = first[i];
            if (d.Type != CmResourceTypeInterrupt) continue;
            const ULONG vector = (d.Flags & CM_RESOURCE_INTERRUPT_MESSAGE) ? d.u.MessageInterrupt.Translated.Vector
                                                                           : d.u.Interrupt.Vector;
            if (std::find(seen.begin(), seen.end(), vector) != seen.end()) continue;
            seen.push_back(vector);
            host::detail::note_interrupt_assignment(vector, d.ShareDisposition == CmResourceShareShared);
        }
        p += offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
             offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
             partials.Count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    }
}

}  // namespace

NTSTATUS Device::start(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated) {
    DeviceState s = state();
    if (s == DeviceState::Started || s == DeviceState::Removed) return STATUS_INVALID_DEVICE_STATE;
    note_interrupt_assignments(translated);
    const KSDEVICE_DESCRIPTOR* dd = ksdevice_->Descriptor;
    NTSTATUS status = STATUS_SUCCESS;
    host::ks::acquire_device_mutex(ksdevice_);
    if (dd->Dispatch && dd->Dispatch->Start) {
        IRP irp{};
        irp.HostTarget = ksdevice_;
        PKSDEVICE ks = ksdevice_;
        status = host::ks::invoke_callback("device Start", false,
                                           [&] { return dd->Dispatch->Start(ks, &irp, translated, untranslated); });
    }
    if (NT_SUCCESS(status)) {
        ksdevice_->Started = TRUE;
        if (dd->Dispatch && dd->Dispatch->PostStart) {
            PKSDEVICE ks = ksdevice_;
            host::ks::invoke_callback("device PostStart", false, [&] { return dd->Dispatch->PostStart(ks); });
        }
    }
    host::ks::release_device_mutex(ksdevice_);
    if (NT_SUCCESS(status)) {
        std::lock_guard<host::sched::Mutex> guard(state_lock_);
        state_ = DeviceState::Started;
    }
    return status;
}

void Device::stop() {
    if (state() != DeviceState::Started) return;
    const KSDEVICE_DESCRIPTOR* dd = ksdevice_->Descriptor;
    host::ks::acquire_device_mutex(ksdevice_);
    if (dd->Dispatch && dd->Dispatch->Stop) {
        IRP irp{};
        irp.HostTarget = ksdevice_;
        PKSDEVICE ks = ksdevice_;
        host::ks::invoke_void_callback("device Stop", [&] { dd->Dispatch->Stop(ks, &irp); });
    }
    ksdevice_->Started = FALSE;
    host::ks::release_device_mutex(ksdevice_);
    std::lock_guard<host::sched::Mutex> guard(state_lock_);
    state_ = DeviceState::Stopped;
}

void Device::set_power(DEVICE_POWER_STATE to) {
    if (state() == DeviceState::Removed) return;
    const KSDEVICE_DESCRIPTOR* dd = ksdevice_->Descriptor;
    host::ks::acquire_device_mutex(ksdevice_);
    DEVICE_POWER_STATE from = ksdevice_->DevicePowerState;
    // The bus driver below powers the card: up before the request reaches the driver on its way
    // back, down only after the driver has seen it on its way down.
    const void* function = pdo_.HostDevice;
    if (to == PowerDeviceD0 && from != PowerDeviceD0) host::set_device_power(function, host::DevicePower::D0);
    if (dd->Dispatch && dd->Dispatch->SetPower) {
        IRP irp{};
        irp.HostTarget = ksdevice_;
        PKSDEVICE ks = ksdevice_;
        host::ks::invoke_void_callback("device SetPower", [&] { dd->Dispatch->SetPower(ks, &irp, to, from); });
    }
    if (to != PowerDeviceD0 && to != from) {
        const host::DevicePower low = to == PowerDeviceD1   ? host::DevicePower::D1
                                      : to == PowerDeviceD2 ? host::DevicePower::D2
                                                            : host::DevicePower::D3;
        host::set_device_power(function, low);
    }
    ksdevice_->DevicePowerState = to;
    ksdevice_->SystemPowerState = to == PowerDeviceD0 ? PowerSystemWorking : PowerSystemSleeping3;
    host::ks::release_device_mutex(ksdevice_);
}

namespace {

// A device dispatch taking the device and an IRP aimed at it, called (when the driver has one)
// with the device mutex held; a missing one answers success, as the class assumes.
NTSTATUS call_irp(PKSDEVICE device, const char* name, PFNKSDEVICEIRP KSDEVICE_DISPATCH::*member) {
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    NTSTATUS status = STATUS_SUCCESS;
    host::ks::acquire_device_mutex(device);
    if (dispatch && dispatch->*member) {
        IRP irp{};
        irp.HostTarget = device;
        status = host::ks::invoke_callback(name, false, [&] { return (dispatch->*member)(device, &irp); });
    }
    host::ks::release_device_mutex(device);
    return status;
}

void call_irp_void(PKSDEVICE device, const char* name, PFNKSDEVICEIRPVOID KSDEVICE_DISPATCH::*member) {
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    host::ks::acquire_device_mutex(device);
    if (dispatch && dispatch->*member) {
        IRP irp{};
        irp.HostTarget = device;
        host::ks::invoke_void_callback(name, [&] { (dispatch->*member)(device, &irp); });
    }
    host::ks::release_device_mutex(device);
}

}  // namespace

NTSTATUS Device::query_stop() {
    if (state() != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
    return call_irp(ksdevice_, "device QueryStop", &KSDEVICE_DISPATCH::QueryStop);
}

void Device::cancel_stop() {
    if (state() != DeviceState::Started) return;
    call_irp_void(ksdevice_, "device CancelStop", &KSDEVICE_DISPATCH::CancelStop);
}

NTSTATUS Device::rebalance(const std::function<void(ResourceList&)>& assign) {
    NTSTATUS status = query_stop();
    if (!NT_SUCCESS(status)) {
        cancel_stop();
        return status;
    }
    stop();
    rebalanced_ = ResourceList();
    assign(rebalanced_);
    status = start(&rebalanced_, &rebalanced_);
    if (!NT_SUCCESS(status)) surprise_remove();
    return status;
}

void Device::surprise_remove() {
    {
        std::lock_guard<host::sched::Mutex> guard(state_lock_);
        if (state_ == DeviceState::Removed || surprise_removed_) return;
        surprise_removed_ = true;
    }
    host::ks::mark_removed(ksdevice_);
    call_irp_void(ksdevice_, "device SurpriseRemoval", &KSDEVICE_DISPATCH::SurpriseRemoval);
}

bool Device::surprise_removed() const {
    std::lock_guard<host::sched::Mutex> guard(state_lock_);
    return surprise_removed_;
}

bool Device::wait_handles_closed(uint32_t timeout_ms) {
    if (state() == DeviceState::Removed) return true;
    return host::ks::wait_filters_closed(ksdevice_, timeout_ms);
}

NTSTATUS Device::sleep(DEVICE_POWER_STATE to) {
    if (state() != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
    const KSDEVICE_DESCRIPTOR* dd = ksdevice_->Descriptor;
    NTSTATUS status = STATUS_SUCCESS;
    if (dd->Dispatch && dd->Dispatch->QueryPower) {
        IRP irp{};
        irp.HostTarget = ksdevice_;
        PKSDEVICE ks = ksdevice_;
        DEVICE_POWER_STATE from = ksdevice_->DevicePowerState;
        host::ks::acquire_device_mutex(ksdevice_);
        status = host::ks::invoke_callback("device QueryPower", false, [&] {
            return dd->Dispatch->QueryPower(ks, &irp, to, from, PowerSystemSleeping3, PowerSystemWorking,
                                            PowerActionSleep);
        });
        host::ks::release_device_mutex(ksdevice_);
        if (!NT_SUCCESS(status)) return status;
    }
    slept_pins_ = host::ks::pause_running_pins(ksdevice_);
    set_power(to);
    return STATUS_SUCCESS;
}

void Device::wake(bool pins_before_power) {
    if (state() == DeviceState::Removed) return;
    std::vector<PKSPIN> pins = std::move(slept_pins_);
    slept_pins_.clear();
    if (pins_before_power) host::ks::resume_pins(pins);
    set_power(PowerDeviceD0);
    if (!pins_before_power) host::ks::resume_pins(pins);
}

size_t Device::remove() {
    if (state() == DeviceState::Removed) return 0;
    if (surprise_removed()) {
        const size_t open = host::ks::open_filters(ksdevice_);
        if (open != 0) {
            std::string message = "IRP_MN_REMOVE_DEVICE asked for while ";
            message += std::to_string(open);
            message +=
                " filter handle(s) are still open after the surprise removal: Windows holds it until their owners "
                "close the last one, and nothing but its owner closes a handle; the removal was refused";
            host::verifier::diagnostic(message);
            return kRemovalHeld;
        }
    }
    return tear_down();
}

size_t Device::tear_down() {
    // Open handles go away with the device; the class closes them before the device is removed
    // (none is left after a surprise removal, unless the device object itself is going).
    host::ks::close_all_filters(ksdevice_);
    stop();
    call_irp_void(ksdevice_, "device Remove", &KSDEVICE_DISPATCH::Remove);
    // The driver's memory goes with the device: nothing of it may still be armed or queued.
    host::detail::check_no_timers_or_dpcs("device removal");
    host::ks::delete_device(ksdevice_);
    ksdevice_ = nullptr;
    host::registry::forget_hardware_key(&pdo_);
    {
        std::lock_guard<host::sched::Mutex> guard(state_lock_);
        state_ = DeviceState::Removed;
    }
    std::function<size_t()> check;
    {
        std::lock_guard<host::sched::Mutex> guard(g_leak_lock);
        check = g_leak_check;
    }
    return check ? check() : host::check_leaks("device removal");
}

}  // namespace host::pnp
