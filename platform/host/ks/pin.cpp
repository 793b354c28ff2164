// Pins: creation with format matching, later format changes, state stepping and close.
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"

#include "platform/host/measure/cost.h"
#include "platform/host/kernel/kernel.h"

#include <cstdio>

namespace host::ks {

namespace {

const KSPIN_DESCRIPTOR_EX* pin_descriptor(const KSFILTER_DESCRIPTOR* fd, uint32_t pin_id) {
    if (!fd || pin_id >= fd->PinDescriptorsCount || !fd->PinDescriptors) return nullptr;
    ULONG stride = fd->PinDescriptorSize ? fd->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const char*>(fd->PinDescriptors) +
                                                        size_t(pin_id) * stride);
}

bool guid_agrees(const GUID& a, const GUID& b) { return a == b || a == kGuidNull || b == kGuidNull; }

// Copies a format into 8-byte aligned storage; the format's own FormatSize is the length.
bool install_format(std::vector<uint64_t>& storage, const void* format, uint32_t size) {
    if (!format || size < sizeof(KSDATAFORMAT)) return false;
    const auto* f = static_cast<const KSDATAFORMAT*>(format);
    // A FormatSize beyond the buffer would make the driver read past the caller's data.
    if (f->FormatSize < sizeof(KSDATAFORMAT) || f->FormatSize > size) return false;
    storage.assign((f->FormatSize + 7) / 8, 0);
    std::memcpy(storage.data(), format, f->FormatSize);
    return true;
}

// Offers the pin's connection format to each candidate range in table order.
NTSTATUS match_format(PinObj* pin, PKSDATAFORMAT old_format) {
    const KSPIN_DESCRIPTOR_EX* desc = pin->ks.Descriptor;
    const KSPIN_DESCRIPTOR& pd = desc->PinDescriptor;
    const KSDATAFORMAT& format = *pin->ks.ConnectionFormat;
    for (ULONG i = 0; i < pd.DataRangesCount; ++i) {
        const KSDATARANGE* range = pd.DataRanges[i];
        if (!range || !range_matches(*range, format)) continue;
        if (!desc->Dispatch || !desc->Dispatch->SetDataFormat) return STATUS_SUCCESS;
        NTSTATUS status = invoke_callback("pin SetDataFormat", false, [&] {
            return desc->Dispatch->SetDataFormat(&pin->ks, old_format, nullptr, range, nullptr);
        });
        if (status == STATUS_NO_MATCH) continue;
        return status;
    }
    return STATUS_NO_MATCH;
}

void destroy_pin(PinObj* pin) {
    unregister_object(pin);
    release_clock_refs(pin);
    delete_bag(static_cast<Bag*>(pin->ks.Bag));
    retire_object(pin, "pin");
}

}  // namespace

bool range_matches(const KSDATARANGE& a, const KSDATARANGE& b) {
    return guid_agrees(a.MajorFormat, b.MajorFormat) && guid_agrees(a.SubFormat, b.SubFormat) &&
           guid_agrees(a.Specifier, b.Specifier);
}

KSSTATE min_processing_state(const PinObj* pin) {
    return (pin->flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) ? KSSTATE_RUN : KSSTATE_PAUSE;
}

NTSTATUS create_pin(PKSFILTER ksfilter, uint32_t pin_id, const void* format, uint32_t format_size, PKSPIN* out) {
    FilterObj* filter = as_filter(ksfilter);
    if (!filter || !out) return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR_EX* desc = pin_descriptor(filter->ks.Descriptor, pin_id);
    if (!desc) return STATUS_INVALID_PARAMETER;
    // Pin types that only describe topology have no instances.
    if (desc->PinDescriptor.Communication == KSPIN_COMMUNICATION_NONE) return STATUS_INVALID_DEVICE_REQUEST;

    auto* pin = new_object<PinObj>();
    if (!install_format(pin->format_storage, format, format_size)) {
        retire_object(pin, "pin");
        return STATUS_INVALID_BUFFER_SIZE;
    }

    ControlGuard control(filter);
    {
        // The instance limit is enforced before any driver callback.
        std::lock_guard<host::sched::Mutex> guard(filter->pins_lock);
        if (desc->InstancesPossible != KSINSTANCE_INDETERMINATE &&
            filter->instances[pin_id] >= desc->InstancesPossible) {
            retire_object(pin, "pin");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        ++filter->instances[pin_id];
    }
    auto unreserve = [&] {
        std::lock_guard<host::sched::Mutex> guard(filter->pins_lock);
        --filter->instances[pin_id];
    };

    pin->filter = filter;
    pin->ks.Descriptor = desc;
    pin->ks.Bag = new_bag();
    static_cast<Bag*>(pin->ks.Bag)->control = filter;
    pin->ks.Context = filter->ks.Context;
    pin->ks.Id = pin_id;
    pin->ks.Communication = desc->PinDescriptor.Communication;
    pin->ks.ConnectionIsExternal = TRUE;
    pin->ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format_storage.data());
    pin->ks.AttributeList = nullptr;
    pin->ks.StreamHeaderSize = 0;
    pin->ks.DataFlow = desc->PinDescriptor.DataFlow;
    pin->ks.DeviceState = KSSTATE_STOP;
    pin->ks.ClientState = KSSTATE_STOP;
    pin->ks.ResetState = KSRESET_END;
    pin->edge.ks.Pin = &pin->ks;
    pin->flags = desc->Flags;
    pin->process = desc->Dispatch ? desc->Dispatch->Process : nullptr;
    register_object(pin, Kind::Pin);
    cost::describe(cost::Kind::Process, &pin->ks, reinterpret_cast<const void*>(pin->process),
                   filter->device ? filter->device->ks.PhysicalDeviceObject : nullptr);

    NTSTATUS status = match_format(pin, nullptr);
    if (NT_SUCCESS(status) && desc->Dispatch && desc->Dispatch->Create) {
        IRP irp{};
        irp.HostTarget = &pin->ks;
        irp.HostKind = kIrpPin;
        status = invoke_callback("pin Create", false, [&] { return desc->Dispatch->Create(&pin->ks, &irp); });
    }
    if (!NT_SUCCESS(status)) {
        // No Close for a pin whose creation failed; its bag goes with it.
        destroy_pin(pin);
        unreserve();
        return status;
    }
    {
        std::lock_guard<host::sched::Mutex> guard(filter->pins_lock);
        filter->pins.insert(pin);
    }
    start_worker(pin);
    *out = &pin->ks;
    return STATUS_SUCCESS;
}

NTSTATUS change_pin_format(PinObj* pin, const void* format, uint32_t size) {
    ControlGuard control(pin->filter);
    if (pin->flags & KSPIN_FLAG_FIXED_FORMAT) return STATUS_INVALID_DEVICE_REQUEST;
    std::vector<uint64_t> fresh;
    if (!install_format(fresh, format, size)) return STATUS_INVALID_BUFFER_SIZE;
    std::vector<uint64_t> old;
    old.swap(pin->format_storage);
    pin->format_storage.swap(fresh);
    auto* old_format = reinterpret_cast<PKSDATAFORMAT>(old.data());
    pin->ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format_storage.data());
    NTSTATUS status = match_format(pin, old_format);
    if (!NT_SUCCESS(status)) {
        // Nothing accepted the new format: the old one stays in force.
        pin->format_storage.swap(old);
        pin->ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format_storage.data());
    }
    return status;
}

NTSTATUS step_pin_state(PinObj* pin, KSSTATE target) {
    if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
    ControlGuard control(pin->filter);
    KSSTATE current = static_cast<KSSTATE>(pin->reached.load());
    if (current == target) return STATUS_SUCCESS;
    pin->ks.DeviceState = target;
    const KSPIN_DESCRIPTOR_EX* desc = pin->ks.Descriptor;
    KSSTATE min_state = min_processing_state(pin);
    while (current != target) {
        KSSTATE next = static_cast<KSSTATE>(current < target ? current + 1 : current - 1);
        bool downward = next < current;
        // Leaving the processing state closes the gate before the driver hears of it, so no
        // Process call starts during or after the step (one in flight finishes).
        if (downward && current == min_state) pin->gate.store(next);
        pin->ks.ClientState = next;
        NTSTATUS status = STATUS_SUCCESS;
        if (desc->Dispatch && desc->Dispatch->SetDeviceState) {
            status = invoke_callback("pin SetDeviceState", false,
                                     [&] { return desc->Dispatch->SetDeviceState(&pin->ks, next, current); });
        }
        if (!NT_SUCCESS(status)) {
            pin->ks.ClientState = current;
            pin->gate.store(current);
            return status;
        }
        pin->reached.store(next);
        pin->gate.store(next);
        if (current == KSSTATE_ACQUIRE && next == KSSTATE_STOP) {
            {
                std::lock_guard<host::sched::Mutex> guard(pin->queue_lock);
                if (pin->edge.locked) record("KsStreamPointerUnlock", "leading edge still locked at stop");
            }
            if (desc->Dispatch && desc->Dispatch->Reset) {
                invoke_void_callback("pin Reset", [&] { desc->Dispatch->Reset(&pin->ks); });
            }
            flush_queue(pin, STATUS_CANCELLED);
        }
        if (!downward && next == min_state) trigger_processing(pin, false);
        current = next;
    }
    return STATUS_SUCCESS;
}

NTSTATUS close_pin(PKSPIN ks) {
    if (!is_live(ks, Kind::Pin)) return STATUS_INVALID_PARAMETER;  // closed with its filter already
    PinObj* pin = as_pin(ks);
    if (!pin) return STATUS_INVALID_PARAMETER;
    step_pin_state(pin, KSSTATE_STOP);
    // Wait for an in-flight Process and keep new ones out while the pin is unbound.
    stop_worker(pin);
    FilterObj* filter = pin->filter;
    {
        ControlGuard control(filter);
        {
            std::lock_guard<host::sched::Mutex> guard(pin->queue_lock);
            if (pin->edge.locked) {
                record("KsStreamPointerUnlock", "leading edge still locked at close");
                pin->edge.locked = false;
            }
        }
        flush_queue(pin, STATUS_CANCELLED);
        const KSPIN_DESCRIPTOR_EX* desc = pin->ks.Descriptor;
        if (desc->Dispatch && desc->Dispatch->Close) {
            IRP irp{};
            irp.HostTarget = &pin->ks;
            irp.HostKind = kIrpPin;
            invoke_callback("pin Close", false, [&] { return desc->Dispatch->Close(&pin->ks, &irp); });
        }
        std::lock_guard<host::sched::Mutex> guard(filter->pins_lock);
        filter->pins.erase(pin);
        --filter->instances[pin->ks.Id];
    }
    destroy_pin(pin);
    return STATUS_SUCCESS;
}

KSSTATE pin_state(PKSPIN ks) {
    PinObj* pin = as_pin(ks);
    return pin ? static_cast<KSSTATE>(pin->reached.load()) : KSSTATE_STOP;
}

}  // namespace host::ks
