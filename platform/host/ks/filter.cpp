// Filters: opening one from its factory, closing it with its pins, and the walks from a request
// or a pin to its filter.
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"

#include "platform/host/kernel/kernel.h"

namespace host::ks {

// ---------------------------------------------------------------------------------------------
// Filters

NTSTATUS open_filter(PKSDEVICE ksdevice, uint32_t factory_index, PKSFILTER* out) {
    DeviceObj* device = as_device(ksdevice);
    if (!device || !out) return STATUS_INVALID_PARAMETER;
    const KSDEVICE_DESCRIPTOR* dd = device->ks.Descriptor;
    if (!dd || factory_index >= dd->FilterDescriptorsCount) return STATUS_NOT_FOUND;
    // The device mutex is held across the Create dispatch, so the Started check and the
    // creation do not race a stop.
    std::lock_guard<host::sched::Mutex> device_guard(device->device_mutex);
    if (device->removed.load()) return STATUS_NO_SUCH_DEVICE;
    if (!device->ks.Started) return STATUS_DEVICE_NOT_READY;
    const KSFILTER_DESCRIPTOR* fd = dd->FilterDescriptors[factory_index];
    auto* filter = new_object<FilterObj>();
    filter->ks.Descriptor = fd;
    filter->ks.Bag = new_bag();
    static_cast<Bag*>(filter->ks.Bag)->control = filter;
    filter->ks.Context = device->ks.Context;
    filter->device = device;
    filter->factory = factory_index;
    filter->instances.assign(fd->PinDescriptorsCount, 0);
    register_object(filter, Kind::Filter);

    NTSTATUS status = STATUS_SUCCESS;
    if (fd->Dispatch && fd->Dispatch->Create) {
        IRP irp{};
        irp.HostTarget = &filter->ks;
        irp.HostKind = kIrpFilter;
        ControlGuard control_guard(filter);
        status = invoke_callback("filter Create", false, [&] { return fd->Dispatch->Create(&filter->ks, &irp); });
    }
    if (!NT_SUCCESS(status)) {
        unregister_object(filter);
        delete_bag(static_cast<Bag*>(filter->ks.Bag));
        retire_object(filter, "filter");
        return status;
    }
    {
        std::lock_guard<host::sched::Mutex> guard(device->filters_lock);
        device->filters.insert(filter);
    }
    *out = &filter->ks;
    return STATUS_SUCCESS;
}

NTSTATUS close_filter(PKSFILTER ksfilter) {
    // A client handle to a filter the device's removal already closed: nothing left to close.
    if (!is_live(ksfilter, Kind::Filter)) return STATUS_INVALID_PARAMETER;
    FilterObj* filter = as_filter(ksfilter);
    if (!filter) return STATUS_INVALID_PARAMETER;
    // Pins first, as a closing handle's children go before it.
    for (;;) {
        PinObj* pin = nullptr;
        {
            std::lock_guard<host::sched::Mutex> guard(filter->pins_lock);
            if (filter->pins.empty()) break;
            pin = *filter->pins.begin();
        }
        close_pin(&pin->ks);
    }
    const KSFILTER_DESCRIPTOR* fd = filter->ks.Descriptor;
    if (fd && fd->Dispatch && fd->Dispatch->Close) {
        IRP irp{};
        irp.HostTarget = &filter->ks;
        irp.HostKind = kIrpFilter;
        ControlGuard control_guard(filter);
        invoke_callback("filter Close", false, [&] { return fd->Dispatch->Close(&filter->ks, &irp); });
    }
    {
        std::lock_guard<host::sched::Mutex> guard(filter->device->filters_lock);
        filter->device->filters.erase(filter);
        filter->device->filters_changed.notify_all();
    }
    unregister_object(filter);
    delete_bag(static_cast<Bag*>(filter->ks.Bag));
    retire_object(filter, "filter");
    return STATUS_SUCCESS;
}

PKSDEVICE device_of_filter(PKSFILTER ksfilter) {
    FilterObj* filter = as_filter(ksfilter);
    return filter ? &filter->device->ks : nullptr;
}

uint32_t pin_instances(PKSFILTER ksfilter, uint32_t pin_id) {
    FilterObj* filter = as_filter(ksfilter);
    if (!filter) return 0;
    std::lock_guard<host::sched::Mutex> guard(filter->pins_lock);
    return pin_id < filter->instances.size() ? filter->instances[pin_id] : 0;
}

}  // namespace host::ks

// ---------------------------------------------------------------------------------------------
// The class services the driver calls

using namespace host::ks;

PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
    if (!Irp || !Irp->HostTarget) return nullptr;
    if (Irp->HostKind == kIrpPin) {
        PinObj* pin = as_pin(Irp->HostTarget);
        return pin ? &pin->filter->ks : nullptr;
    }
    FilterObj* filter = as_filter(Irp->HostTarget);
    return filter ? &filter->ks : nullptr;
}

PKSPIN KsGetPinFromIrp(PIRP Irp) {
    if (!Irp || !Irp->HostTarget || Irp->HostKind != kIrpPin) return nullptr;
    PinObj* pin = as_pin(Irp->HostTarget);
    return pin ? &pin->ks : nullptr;
}

PKSFILTER KsPinGetParentFilter(PKSPIN Pin) {
    PinObj* pin = as_pin(Pin);
    return pin ? &pin->filter->ks : nullptr;
}
