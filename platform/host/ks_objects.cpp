// Object model of the host class layer: the registry of live objects, diagnostics, object bags
// and _KsEdit, driver initialisation, devices and filters, and the checks made around every
// driver callback.
#include "platform/host/ks_internal.h"

#include "platform/host/cost.h"
#include "platform/host/kernel.h"
#include "platform/host/verifier.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace host::ks {

// ---------------------------------------------------------------------------------------------
// Diagnostics

namespace {
std::atomic<uint32_t> g_callback_limit_ms{500};
std::atomic<uint32_t> g_pm_limit_ms{100};
}  // namespace

void record(const char* rule, const std::string& text) {
    std::string line = std::string(rule) + ": " + text;
    // KsGetDevice is a pointer walk: calling it at DISPATCH_LEVEL is a finding, not a crash.
    if (std::strcmp(rule, "KsGetDeviceIrql") == 0) {
        host::verifier::diagnostic("ks: " + line);
        return;
    }
    host::verifier::bugcheck(host::verifier::kDriverVerifierViolation, line);
}

void set_callback_time_limit_ms(uint32_t ms) { g_callback_limit_ms = ms; }
void set_processing_mutex_limit_ms(uint32_t ms) { g_pm_limit_ms = ms; }
uint32_t processing_mutex_limit_ms() { return g_pm_limit_ms.load(); }

// ---------------------------------------------------------------------------------------------
// Registry of live objects

namespace {
std::mutex g_registry_lock;
std::unordered_map<const void*, Kind> g_registry;
}  // namespace

void register_object(const void* object, Kind kind) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    g_registry[object] = kind;
}

void unregister_object(const void* object) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    g_registry.erase(object);
}

bool is_live(const void* object, Kind kind) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    auto it = g_registry.find(object);
    return it != g_registry.end() && it->second == kind;
}

static const char* kind_name(Kind k) {
    switch (k) {
    case Kind::Device: return "device";
    case Kind::Filter: return "filter";
    case Kind::Pin: return "pin";
    }
    return "?";
}

template <typename T>
static T* checked(const void* object, Kind kind) {
    if (object && is_live(object, kind)) return reinterpret_cast<T*>(const_cast<void*>(object));
    char text[96];
    std::snprintf(text, sizeof text, "%p is not a live %s", object, kind_name(kind));
    record("KsInvalidObject", text);
    return nullptr;
}

DeviceObj* as_device(const void* object) { return checked<DeviceObj>(object, Kind::Device); }
FilterObj* as_filter(const void* object) { return checked<FilterObj>(object, Kind::Filter); }
PinObj* as_pin(const void* object) {
    PinObj* pin = checked<PinObj>(object, Kind::Pin);
    // Every service naming a pin comes through here: a DPC or interrupt routine calling one is
    // seen serving that pin (what the cost figures relate).
    if (pin) cost::note_pin(&pin->ks);
    return pin;
}

// ---------------------------------------------------------------------------------------------
// Object bags. An item may sit in several bags; it is freed when it leaves the last one.

namespace {
std::mutex g_bag_lock;  // guards the membership counts and the failure knob
std::unordered_map<const void*, int> g_membership;
std::set<const Bag*> g_bags;
uint32_t g_fail_skip = 0;
uint32_t g_fail_count = 0;
}  // namespace

Bag* new_bag() {
    Bag* bag = new Bag;
    std::lock_guard<std::mutex> guard(g_bag_lock);
    g_bags.insert(bag);
    return bag;
}

static void free_item(void* item, PFNKSFREE free_routine) {
    if (free_routine)
        free_routine(item);
    else
        ExFreePool(item);
}

void delete_bag(Bag* bag) {
    if (!bag) return;
    std::vector<std::pair<void*, PFNKSFREE>> items;
    {
        std::lock_guard<std::mutex> guard(bag->lock);
        items.swap(bag->items);
    }
    {
        std::lock_guard<std::mutex> guard(g_bag_lock);
        g_bags.erase(bag);
    }
    for (auto& [item, free_routine] : items) {
        bool last;
        {
            std::lock_guard<std::mutex> guard(g_bag_lock);
            last = --g_membership[item] <= 0;
            if (last) g_membership.erase(item);
        }
        if (last) free_item(item, free_routine);
    }
    delete bag;
}

static Bag* checked_bag(KSOBJECT_BAG bag) {
    std::lock_guard<std::mutex> guard(g_bag_lock);
    if (bag && g_bags.count(static_cast<const Bag*>(bag))) return static_cast<Bag*>(bag);
    return nullptr;
}

static bool bag_addition_fails() {
    std::lock_guard<std::mutex> guard(g_bag_lock);
    if (g_fail_skip > 0) {
        --g_fail_skip;
        return false;
    }
    if (g_fail_count > 0) {
        --g_fail_count;
        return true;
    }
    return false;
}

static NTSTATUS bag_add(Bag* bag, void* item, PFNKSFREE free_routine) {
    if (bag_addition_fails()) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> guard(bag->lock);
    for (auto& entry : bag->items)
        if (entry.first == item) return STATUS_SUCCESS;  // already held by this bag
    bag->items.emplace_back(item, free_routine);
    std::lock_guard<std::mutex> guard2(g_bag_lock);
    ++g_membership[item];
    return STATUS_SUCCESS;
}

void fail_bag_additions(uint32_t skip, uint32_t count) {
    std::lock_guard<std::mutex> guard(g_bag_lock);
    g_fail_skip = skip;
    g_fail_count = count;
}

size_t bag_item_count(KSOBJECT_BAG bag) {
    Bag* b = checked_bag(bag);
    if (!b) return 0;
    std::lock_guard<std::mutex> guard(b->lock);
    return b->items.size();
}

bool bag_contains(KSOBJECT_BAG bag, const void* item) {
    Bag* b = checked_bag(bag);
    if (!b) return false;
    std::lock_guard<std::mutex> guard(b->lock);
    for (auto& entry : b->items)
        if (entry.first == item) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Callback checks

namespace {
uint32_t owned_mutexes() { return static_cast<uint32_t>(host::owned_mutex_count()); }
}  // namespace

// When a callback started: on the wall clock (what the limit is about) and on the thread's CPU
// clock (what says whether the callback itself, not a wait or the host's load, used the time).
struct CallbackStart {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    uint64_t cpu_ns = cost::thread_cpu_ns();
};

static void after_callback(const char* name, KIRQL entry_irql, uint32_t entry_owned, const CallbackStart& start) {
    KIRQL now_irql = KeGetCurrentIrql();
    char text[160];
    if (now_irql != entry_irql) {
        std::snprintf(text, sizeof text, "%s returned at IRQL %u, entered at %u", name, unsigned(now_irql),
                      unsigned(entry_irql));
        record("KsCallbackIrql", text);
        // Put the thread back where it was so that the host can go on after the report.
        if (now_irql > entry_irql) KeLowerIrql(entry_irql);
    }
    uint32_t owned = owned_mutexes();
    if (owned != entry_owned) {
        std::snprintf(text, sizeof text, "%s returned owning %u kernel mutexes, entered owning %u", name, owned,
                      entry_owned);
        record("KsCallbackMutex", text);
    }
    auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start.wall).count();
    const uint64_t limit_us = uint64_t(g_callback_limit_ms.load()) * 1000;
    if (us > int64_t(limit_us))
        host::verifier::note_overrun("KsCallbackDuration", name, limit_us,
                                     cost::thread_cpu_ns() - start.cpu_ns > limit_us * 1000);
}

NTSTATUS invoke_callback(const char* name, bool may_pend, const std::function<NTSTATUS()>& callback) {
    KIRQL irql = KeGetCurrentIrql();
    uint32_t owned = owned_mutexes();
    const CallbackStart start;
    NTSTATUS status = callback();
    after_callback(name, irql, owned, start);
    if (status == STATUS_PENDING && !may_pend) {
        record("KsCallbackReturn", std::string(name) + " returned STATUS_PENDING, which it may not");
        status = STATUS_UNSUCCESSFUL;
    } else if (NT_SUCCESS(status) && status != STATUS_SUCCESS && status != STATUS_PENDING) {
        char text[128];
        std::snprintf(text, sizeof text, "%s returned the unexpected success code 0x%08X", name,
                      static_cast<unsigned>(status));
        record("KsCallbackReturn", text);
    }
    return status;
}

void invoke_void_callback(const char* name, const std::function<void()>& callback) {
    KIRQL irql = KeGetCurrentIrql();
    uint32_t owned = owned_mutexes();
    const CallbackStart start;
    callback();
    after_callback(name, irql, owned, start);
}

// ---------------------------------------------------------------------------------------------
// Driver and device

namespace {
std::mutex g_driver_lock;
std::unordered_map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*> g_drivers;
}  // namespace

const KSDEVICE_DESCRIPTOR* recorded_descriptor(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_driver_lock);
    auto it = g_drivers.find(driver);
    return it == g_drivers.end() ? nullptr : it->second;
}

void forget_driver(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_driver_lock);
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
            std::lock_guard<std::mutex> guard(device->filters_lock);
            if (device->filters.empty()) break;
            filter = *device->filters.begin();
        }
        close_filter(&filter->ks);
    }
}

void mark_removed(PKSDEVICE ksdevice) {
    DeviceObj* device = as_device(ksdevice);
    if (!device) return;
    std::lock_guard<std::mutex> guard(device->filters_lock);
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
    std::unique_lock<std::mutex> guard(device->filters_lock);
    return device->filters_changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return done(device); });
}
}  // namespace

bool wait_removed(PKSDEVICE ksdevice, uint32_t timeout_ms) {
    return wait_device(ksdevice, timeout_ms, [](DeviceObj* device) { return device->removed.load(); });
}

size_t open_filters(PKSDEVICE ksdevice) {
    DeviceObj* device = as_device(ksdevice);
    if (!device) return 0;
    std::lock_guard<std::mutex> guard(device->filters_lock);
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
        std::lock_guard<std::mutex> guard(device->filters_lock);
        for (FilterObj* filter : device->filters) {
            std::lock_guard<std::mutex> pins_guard(filter->pins_lock);
            for (PinObj* pin : filter->pins) pins.push_back(pin);
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

// ---------------------------------------------------------------------------------------------
// Filters

NTSTATUS open_filter(PKSDEVICE ksdevice, uint32_t factory_index, PKSFILTER* out) {
    DeviceObj* device = as_device(ksdevice);
    if (!device || !out) return STATUS_INVALID_PARAMETER;
    const KSDEVICE_DESCRIPTOR* dd = device->ks.Descriptor;
    if (!dd || factory_index >= dd->FilterDescriptorsCount) return STATUS_NOT_FOUND;
    // The device mutex is held across the Create dispatch, so the Started check and the
    // creation do not race a stop.
    std::lock_guard<std::mutex> device_guard(device->device_mutex);
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
        std::lock_guard<std::mutex> guard(device->filters_lock);
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
            std::lock_guard<std::mutex> guard(filter->pins_lock);
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
        std::lock_guard<std::mutex> guard(filter->device->filters_lock);
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
    std::lock_guard<std::mutex> guard(filter->pins_lock);
    return pin_id < filter->instances.size() ? filter->instances[pin_id] : 0;
}

}  // namespace host::ks

// ---------------------------------------------------------------------------------------------
// The class services the driver calls

using namespace host::ks;

static void require_passive(const char* service) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        char text[96];
        std::snprintf(text, sizeof text, "%s called at IRQL %u", service, unsigned(KeGetCurrentIrql()));
        record("KsIrql", text);
    }
}

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                            const KSDEVICE_DESCRIPTOR* Descriptor) {
    (void)RegistryPath;
    require_passive("KsInitializeDriver");
    if (!DriverObject || !Descriptor) return STATUS_INVALID_PARAMETER;
    // PnP reaches the class through the driver's AddDevice, which a driver may replace after this.
    if (DriverObject->DriverExtension) DriverObject->DriverExtension->AddDevice = KsAddDevice;
    std::lock_guard<std::mutex> guard(g_driver_lock);
    g_drivers[DriverObject] = Descriptor;
    return STATUS_SUCCESS;
}

PKSDEVICE KsGetDevice(PVOID Object) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) record("KsGetDeviceIrql", "KsGetDevice called above PASSIVE_LEVEL");
    {
        std::lock_guard<std::mutex> guard(g_registry_lock);
        auto it = g_registry.find(Object);
        if (it != g_registry.end()) {
            switch (it->second) {
            case Kind::Device: return static_cast<PKSDEVICE>(Object);
            case Kind::Filter: return &static_cast<FilterObj*>(Object)->device->ks;
            case Kind::Pin: return &static_cast<PinObj*>(Object)->filter->device->ks;
            }
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "KsGetDevice(%p): not a live object", Object);
    record("KsInvalidObject", text);
    return nullptr;
}

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

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
    require_passive("KsAddItemToObjectBag");
    Bag* bag = checked_bag(ObjectBag);
    if (!bag) {
        record("KsInvalidObject", "KsAddItemToObjectBag: not a live bag");
        return STATUS_INVALID_PARAMETER;
    }
    return bag_add(bag, Item, Free);
}

NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize, ULONG Tag) {
    require_passive("_KsEdit");
    Bag* bag = checked_bag(ObjectBag);
    if (!bag || !PointerToPointerToItem) {
        record("KsInvalidObject", "_KsEdit: not a live bag");
        return STATUS_INVALID_PARAMETER;
    }
    if (bag->control && bag->control->control_owner.load() != std::this_thread::get_id())
        record("KsEdit", "_KsEdit on a pin or filter bag without holding the filter control mutex");
    void* old_item = *PointerToPointerToItem;
    bool member = old_item && bag_contains(ObjectBag, old_item);
    if (member && NewSize <= OldSize) return STATUS_SUCCESS;

    void* copy = ExAllocatePoolWithTag(NonPagedPoolNx, NewSize ? NewSize : 1, Tag);
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG keep = old_item ? (OldSize < NewSize ? OldSize : NewSize) : 0;
    if (keep) std::memcpy(copy, old_item, keep);
    if (NewSize > keep) std::memset(static_cast<char*>(copy) + keep, 0, NewSize - keep);
    NTSTATUS status = bag_add(bag, copy, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePool(copy);
        return status;
    }
    if (member) {
        // The grown copy replaces the old one in this bag.
        PFNKSFREE free_routine = nullptr;
        bool found = false;
        {
            std::lock_guard<std::mutex> guard(bag->lock);
            for (auto it = bag->items.begin(); it != bag->items.end(); ++it) {
                if (it->first == old_item) {
                    free_routine = it->second;
                    bag->items.erase(it);
                    found = true;
                    break;
                }
            }
        }
        if (found) {
            bool last;
            {
                std::lock_guard<std::mutex> guard(g_bag_lock);
                last = --g_membership[old_item] <= 0;
                if (last) g_membership.erase(old_item);
            }
            if (last) free_item(old_item, free_routine);
        }
    }
    *PointerToPointerToItem = copy;
    return STATUS_SUCCESS;
}
