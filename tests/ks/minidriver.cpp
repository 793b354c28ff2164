// The class-layer suite's minidriver (see minidriver.h).
#include "tests/ks/minidriver.h"

#include "platform/host/kernel/kernel.h"

#include <chrono>

namespace ksmini {

namespace {

constexpr ULONG kTag = (ULONG('T') << 24) | (ULONG('S') << 16) | (ULONG('K') << 8) | ULONG('k');

struct Range {
    KSDATARANGE range;
    ULONGLONG value;
};

Range g_ranges[3] = {
    {{{kFormatSize, 0, 0, 0, kMajor, kSubA, kSpec}}, 1},
    {{{kFormatSize, 0, 0, 0, kMajor, kSubB, kSpec}}, 2},
    {{{kFormatSize, 0, 0, 0, kMajor, kSubB, kSpec}}, 3},
};
const PKSDATARANGE g_range_table[3] = {&g_ranges[0].range, &g_ranges[1].range, &g_ranges[2].range};

Range g_bridge_range = {{{kFormatSize, 0, 0, 0, kMajor, kOther, host::ks::kSpecifierNone}}, 0};
const PKSDATARANGE g_bridge_table[1] = {&g_bridge_range.range};

KSALLOCATOR_FRAMING_EX g_framing = {1, 0, {1, 1, 0}, 0, {}};

State g_state;
PIKSREFERENCECLOCK g_clock = nullptr;
KMUTEX g_mutex;
std::atomic<unsigned char*> g_completed_data{nullptr};  // see process_touches_old_data

int range_index(const KSDATARANGE* r) {
    for (int i = 0; i < 3; ++i)
        if (r == &g_ranges[i].range) return i;
    return -1;
}

// Device dispatch ---------------------------------------------------------------------------

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device) {
    g_state.note("Add");
    void* context = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
    if (!context) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePool(context);
        return status;
    }
    device->Context = context;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceStart(PKSDEVICE, PIRP, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST) {
    ULONG partials = translated ? translated->List[0].PartialResourceList.Count : 0;
    g_state.note("Start:" + std::to_string(translated ? translated->Count : 0) + ":" + std::to_string(partials));
    return g_state.fail_start ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

void NTAPI DeviceStop(PKSDEVICE, PIRP) { g_state.note("Stop"); }
void NTAPI DeviceRemove(PKSDEVICE, PIRP) { g_state.note("Remove"); }
void NTAPI DeviceSetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    g_state.note("Power:" + std::to_string(from) + "->" + std::to_string(to));
}

// Filter -------------------------------------------------------------------------------------

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp) {
    g_state.note("FilterCreate");
    if (KsGetFilterFromIrp(irp) != filter || KsGetPinFromIrp(irp) != nullptr) g_state.context_ok = false;
    if (filter->Context != KsGetDevice(filter)->Context) g_state.context_ok = false;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterClose(PKSFILTER, PIRP) {
    g_state.note("FilterClose");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetCounter(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    g_state.property_handler_calls++;
    ULONG delta = reinterpret_cast<PKSP_PIN>(request)->PinId;  // the request's tail is readable
    ULONGLONG value = g_state.counter.load() + delta;
    std::memcpy(data, &value, sizeof value);
    irp->IoStatus.Information = sizeof value;
    if (KsGetFilterFromIrp(irp) == nullptr) g_state.context_ok = false;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetSilent(PIRP, PKSIDENTIFIER, PVOID data) {
    g_state.property_handler_calls++;
    ULONG seen;
    std::memcpy(&seen, data, sizeof seen);
    g_state.silent_output_seen = seen;
    ULONG value = 0x12345678;
    std::memcpy(data, &value, sizeof value);
    return STATUS_SUCCESS;  // Information left as the class preset it
}

NTSTATUS NTAPI GetNode(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    g_state.property_handler_calls++;
    ULONG value = 100 + reinterpret_cast<PKSP_NODE>(request)->NodeId;
    std::memcpy(data, &value, sizeof value);
    irp->IoStatus.Information = sizeof value;
    return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM g_filter_items[] = {
    DEFINE_KSPROPERTY_ITEM(kPropCounter, GetCounter, sizeof(KSP_PIN), sizeof(ULONGLONG), nullptr, nullptr, 0, nullptr,
                           nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(kPropSilent, GetSilent, sizeof(KSPROPERTY), sizeof(ULONG), nullptr, nullptr, 0, nullptr,
                           nullptr, 0),
};
const KSPROPERTY_SET g_filter_sets[] = {DEFINE_KSPROPERTY_SET(&kPropset, 2, g_filter_items, 0, nullptr)};
const KSAUTOMATION_TABLE g_filter_automation = {
    1, sizeof(KSPROPERTY_ITEM), g_filter_sets, 0, sizeof(KSMETHOD_ITEM), nullptr, 0, sizeof(KSEVENT_ITEM), nullptr};

const KSPROPERTY_ITEM g_node_items[] = {
    DEFINE_KSPROPERTY_ITEM(kNodeProp, GetNode, sizeof(KSP_NODE), sizeof(ULONG), nullptr, nullptr, 0, nullptr, nullptr,
                           0),
};
const KSPROPERTY_SET g_node_sets[] = {DEFINE_KSPROPERTY_SET(&kNodeSet, 1, g_node_items, 0, nullptr)};
const KSAUTOMATION_TABLE g_node_automation = {
    1, sizeof(KSPROPERTY_ITEM), g_node_sets, 0, sizeof(KSMETHOD_ITEM), nullptr, 0, sizeof(KSEVENT_ITEM), nullptr};
const KSNODE_DESCRIPTOR g_nodes[] = {{nullptr, &kOther, nullptr}, {&g_node_automation, &kNodeSet, nullptr}};
const KSTOPOLOGY_CONNECTION g_connections[] = {{1, 0, 0, 1}, {0, 0, KSFILTER_NODE, 0}};

// Pin -----------------------------------------------------------------------------------------

NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT old_format, PKSMULTIPLE_ITEM, const KSDATARANGE* range,
                                const KSATTRIBUTE_LIST*) {
    int index = range_index(range);
    g_state.note("SetDataFormat:" + std::to_string(index) + ":" + (old_format ? "old" : "null"));
    if (index == g_state.format_no_match_range.load()) return STATUS_NO_MATCH;
    // Private copies of the descriptor and its framing, sized from the accepted format.
    NTSTATUS status =
        _KsEdit(pin->Bag, (PVOID*)&pin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kTag);
    if (!NT_SUCCESS(status)) return status;
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    status = _KsEdit(pin->Bag, (PVOID*)&descriptor->AllocatorFraming, sizeof(KSALLOCATOR_FRAMING_EX),
                     sizeof(KSALLOCATOR_FRAMING_EX), kTag);
    if (!NT_SUCCESS(status)) return status;
    ULONGLONG value = 0;
    std::memcpy(&value, reinterpret_cast<const char*>(pin->ConnectionFormat) + sizeof(KSDATAFORMAT), sizeof value);
    const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming)->FramingItem[0].FramingRange.Range.MaxFrameSize =
        static_cast<ULONG>(value);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP irp) {
    g_state.note("Create");
    if (KsGetPinFromIrp(irp) != pin || KsPinGetParentFilter(pin)->Context != pin->Context ||
        KsGetDevice(pin)->Context != pin->Context)
        g_state.context_ok = false;
    pin->StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinClose(PKSPIN, PIRP) {
    g_state.note("Close");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    g_state.note("State:" + std::to_string(from) + "->" + std::to_string(to));
    if (pin->ClientState != to) g_state.context_ok = false;
    if (int(to) == g_state.fail_step_to.load()) return STATUS_INVALID_DEVICE_STATE;
    if (from == KSSTATE_STOP && to == KSSTATE_ACQUIRE && g_state.take_clock) {
        auto* sentinel = reinterpret_cast<PIKSREFERENCECLOCK>(uintptr_t(0x5A5A5A50));
        PIKSREFERENCECLOCK clock = sentinel;
        NTSTATUS status = KsPinGetReferenceClockInterface(pin, &clock);
        g_state.last_clock_status = status;
        if (NT_SUCCESS(status))
            g_clock = clock;
        else if (clock != sentinel)
            g_state.context_ok = false;  // a failed call must leave the output alone
    }
    if (g_state.state_keeps_mutex) KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, nullptr);
    if (from == KSSTATE_ACQUIRE && to == KSSTATE_STOP && g_clock && g_state.release_clock) {
        g_clock->Release();
        g_clock = nullptr;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinProcess(PKSPIN pin) {
    if (g_state.process_concurrency.fetch_add(1) != 0) g_state.process_overlaps++;
    g_state.process_thread = host::thread_id();
    struct Leave {
        ~Leave() { g_state.process_concurrency.fetch_sub(1); }
    } leave;
    if (g_state.process_recursive_mutex) {
        KsPinAcquireProcessingMutex(pin);
        KsPinReleaseProcessingMutex(pin);
    }
    if (g_state.process_edit_descriptor)
        _KsEdit(pin->Bag, (PVOID*)&pin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kTag);
    if (g_state.process_hold) return STATUS_PENDING;
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (!sp) return STATUS_PENDING;
    PKSSTREAM_HEADER h = sp->StreamHeader;
    // A header kept past its frame's completion: only the client's copy is the frame's now.
    static std::atomic<PKSSTREAM_HEADER> completed_before{nullptr};
    if (g_state.process_writes_old_header) {
        if (PKSSTREAM_HEADER old = completed_before.exchange(nullptr)) old->OptionsFlags |= 0x40;
    }
    // Data kept past its frame's completion (one frame keeps it, the next touches it): the
    // stream pointer's mapping of it ended there.
    bool touched_old_data = false;
    if (g_state.process_touches_old_data) {
        if (unsigned char* old = g_completed_data.exchange(nullptr)) {
            touched_old_data = true;
            if (g_state.process_touches_old_data == 1) {
                old[0] = 0xEE;
            } else {
                g_state.old_data_read = *static_cast<volatile unsigned char*>(old + kFillBytes - 1);
            }
        }
    }
    ULONGLONG number = g_state.counter.fetch_add(1);
    // The kernel's mapping of the buffer; h->Data is the client's own address.
    auto* bytes = g_state.process_writes_user_address ? static_cast<unsigned char*>(h->Data) : sp->OffsetOut.Data;
    if (bytes) {
        ULONG n = sp->OffsetOut.Remaining < kFillBytes ? sp->OffsetOut.Remaining : kFillBytes;
        for (ULONG i = 0; i < n; ++i)
            bytes[i] = static_cast<unsigned char>(number + i);
        h->DataUsed = n;
    }
    if (h->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        auto* info = reinterpret_cast<PKS_FRAME_INFO>(h + 1);
        info->PictureNumber = static_cast<LONGLONG>(number);
    }
    if (g_clock) {
        LONGLONG system = 0;
        h->PresentationTime.Time = g_clock->GetCorrelatedTime(&system);
        h->PresentationTime.Numerator = h->PresentationTime.Denominator = 1;
        h->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
        g_state.last_clock_time = h->PresentationTime.Time;
    }
    if (g_state.process_leave_locked) return STATUS_PENDING;
    if (g_state.process_leave_irql_raised) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    if (g_state.process_writes_old_header) completed_before = h;
    if (g_state.process_touches_old_data && !touched_old_data) g_completed_data = sp->OffsetOut.Data;
    KsStreamPointerUnlock(sp, TRUE);
    if (g_state.process_sets_event_waiting) {
        static KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeSetEvent(&event, 0, TRUE);  // and no wait after it
    }
    return STATUS_SUCCESS;  // call again while frames are queued
}

NTSTATUS NTAPI PinIntersect(PVOID context, PIRP, PKSP_PIN, PKSDATARANGE, PKSDATARANGE matching, ULONG size, PVOID data,
                            PULONG data_size) {
    {
        std::lock_guard<std::mutex> g(g_state.lock);
        g_state.intersect_buffer_sizes.push_back(size);
        g_state.intersect_data_null.push_back(data == nullptr);
        g_state.calls.push_back("Intersect:" + std::to_string(range_index(matching)));
    }
    g_state.intersect_context = context;
    if (g_state.intersect_no_match_first.load() > 0) {
        g_state.intersect_no_match_first--;
        return STATUS_NO_MATCH;
    }
    *data_size = kFormatSize;
    if (size == 0) return STATUS_BUFFER_OVERFLOW;
    if (size < kFormatSize) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(data, matching, kFormatSize);
    return STATUS_SUCCESS;
}

const KSPIN_DISPATCH g_pin_dispatch = {PinCreate,         PinClose, PinProcess, nullptr, PinSetDataFormat,
                                       PinSetDeviceState, nullptr,  nullptr,    nullptr, nullptr};

constexpr ULONG kPinFlags =
    KSPIN_FLAG_ASYNCHRONOUS_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_USE_STANDARD_TRANSPORT;

KSPIN_DESCRIPTOR_EX g_pins[] = {
    {&g_pin_dispatch,
     nullptr,
     {0,
      nullptr,
      0,
      nullptr,
      3,
      g_range_table,
      KSPIN_DATAFLOW_OUT,
      KSPIN_COMMUNICATION_SINK,
      &kCategory,
      &kReference,
      {}},
     kPinFlags,
     1,
     0,
     &g_framing,
     PinIntersect},
    {nullptr,
     nullptr,
     {0, nullptr, 0, nullptr, 1, g_bridge_table, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &kCategory, nullptr, {}},
     0,
     1,
     0,
     nullptr,
     nullptr},
};

const KSFILTER_DISPATCH g_filter_dispatch = {FilterCreate, FilterClose, nullptr, nullptr};
const GUID g_categories[] = {kCategory};
const KSFILTER_DESCRIPTOR g_filter = {&g_filter_dispatch,
                                      &g_filter_automation,
                                      KSFILTER_DESCRIPTOR_VERSION,
                                      0,
                                      &kReference,
                                      2,
                                      sizeof(KSPIN_DESCRIPTOR_EX),
                                      g_pins,
                                      1,
                                      g_categories,
                                      2,
                                      sizeof(KSNODE_DESCRIPTOR),
                                      g_nodes,
                                      2,
                                      g_connections,
                                      nullptr};
const KSFILTER_DESCRIPTOR* const g_filters[] = {&g_filter};
const KSDEVICE_DISPATCH g_device_dispatch = {DeviceAdd,  DeviceStart, nullptr,        nullptr,      nullptr,
                                             DeviceStop, nullptr,     nullptr,        DeviceRemove, nullptr,
                                             nullptr,    nullptr,     DeviceSetPower, nullptr};
const KSDEVICE_DESCRIPTOR g_device = {&g_device_dispatch, 1, g_filters, KSDEVICE_DESCRIPTOR_VERSION};

}  // namespace

State& state() { return g_state; }

void reset_state() {
    std::lock_guard<std::mutex> g(g_state.lock);
    g_state.calls.clear();
    g_state.fail_step_to = -1;
    g_state.format_no_match_range = -1;
    g_state.fail_start = false;
    g_state.process_hold = false;
    g_state.process_recursive_mutex = false;
    g_state.process_leave_irql_raised = false;
    g_state.process_leave_locked = false;
    g_state.process_edit_descriptor = false;
    g_state.process_thread = 0;
    g_pins[0].Flags = kPinFlags;
    g_state.process_writes_user_address = false;
    g_state.process_writes_old_header = false;
    g_state.process_touches_old_data = 0;
    g_completed_data = nullptr;
    g_state.process_sets_event_waiting = false;
    g_state.old_data_read = -1;
    g_state.state_keeps_mutex = false;
    KeInitializeMutex(&g_mutex, 0);
    g_state.take_clock = false;
    g_state.release_clock = true;
    g_state.intersect_no_match_first = 0;
    g_state.counter = 0;
    g_state.property_handler_calls = 0;
    g_state.process_concurrency = 0;
    g_state.process_overlaps = 0;
    g_state.last_clock_time = -1;
    g_state.last_clock_status = 0;
    g_state.intersect_context = nullptr;
    g_state.intersect_buffer_sizes.clear();
    g_state.intersect_data_null.clear();
    g_state.context_ok = true;
    g_clock = nullptr;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
    return KsInitializeDriver(driver, registry, &g_device);
}

PIKSREFERENCECLOCK held_clock() { return g_clock; }
void set_capture_pin_flags(ULONG flags) { g_pins[0].Flags = flags; }
PRKMUTEX held_mutex() { return &g_mutex; }

const KSDATARANGE* range(int index) { return &g_ranges[index].range; }

std::vector<uint8_t> format(const GUID& sub, ULONGLONG value, const GUID& specifier) {
    std::vector<uint8_t> out(kFormatSize, 0);
    auto* f = reinterpret_cast<PKSDATAFORMAT>(out.data());
    f->FormatSize = kFormatSize;
    f->MajorFormat = kMajor;
    f->SubFormat = sub;
    f->Specifier = specifier;
    std::memcpy(out.data() + sizeof(KSDATAFORMAT), &value, sizeof value);
    return out;
}

Bed::Bed(bool start) {
    reset_state();
    host::reset();
    if (!NT_SUCCESS(host::pnp::Driver::load(Entry, driver))) return;
    if (!NT_SUCCESS(host::pnp::Device::add(driver, nullptr, 7, device))) return;
    if (start) {
        host::pnp::ResourceList resources;
        resources.add_memory(0xF0000000, 0x10000).add_line_interrupt(5, 0x50, 1);
        device->start(&resources, &resources);
    }
    client = qh::client::open_device(device->ksdevice());
}

Bed::~Bed() {
    client.reset();
    if (device) device->remove();
}

}  // namespace ksmini
