// AddDevice as the class driver does it: KsAddDevice (the routine KsInitializeDriver installs)
// and KsCreateDevice, which a driver with an AddDevice routine of its own calls with the
// descriptor of its choice.
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"

#include "platform/host/kernel/kernel_private.h"

#include <unordered_map>

namespace host::ks {
namespace {

struct PendingAdd {
    PDEVICE_OBJECT fdo = nullptr;
    PKSDEVICE device = nullptr;
};
host::sched::Mutex g_add_lock;
std::unordered_map<PDEVICE_OBJECT, PendingAdd> g_adds;

}  // namespace

void expect_add_device(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo) {
    std::lock_guard<host::sched::Mutex> guard(g_add_lock);
    g_adds[pdo] = PendingAdd{fdo, nullptr};
}

PKSDEVICE take_added_device(PDEVICE_OBJECT pdo) {
    std::lock_guard<host::sched::Mutex> guard(g_add_lock);
    auto it = g_adds.find(pdo);
    if (it == g_adds.end()) return nullptr;
    PKSDEVICE device = it->second.device;
    g_adds.erase(it);
    return device;
}

}  // namespace host::ks

using namespace host;
using namespace host::ks;

NTSTATUS NTAPI KsAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    return KsCreateDevice(DriverObject, PhysicalDeviceObject, recorded_descriptor(DriverObject), 0, nullptr);
}

NTSTATUS NTAPI KsCreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                              const KSDEVICE_DESCRIPTOR* Descriptor, ULONG ExtensionSize, PKSDEVICE* Device) {
    if (!detail::check_irql("KsCreateDevice", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    if (Device) *Device = nullptr;
    // The device extension, when the driver sizes it, must at least hold the class's header.
    if (!DriverObject || !PhysicalDeviceObject || (ExtensionSize != 0 && ExtensionSize < sizeof(PVOID)))
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT fdo = nullptr;
    {
        std::lock_guard<host::sched::Mutex> guard(g_add_lock);
        auto it = g_adds.find(PhysicalDeviceObject);
        if (it == g_adds.end() || it->second.device) {
            record("KsCreateDevice",
                   "KsCreateDevice outside the AddDevice of its physical device object, or twice in it");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        fdo = it->second.fdo;
    }
    // Without a descriptor the class makes a device with no filter factories and no dispatch.
    static const KSDEVICE_DESCRIPTOR kEmpty = {};
    const KSDEVICE_DESCRIPTOR* descriptor = Descriptor ? Descriptor : &kEmpty;
    PKSDEVICE ks = create_device(descriptor, fdo, PhysicalDeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    if (descriptor->Dispatch && descriptor->Dispatch->Add)
        status = invoke_callback("device Add", false, [&] { return descriptor->Dispatch->Add(ks); });
    if (!NT_SUCCESS(status)) {
        delete_device(ks);
        return status;
    }
    {
        std::lock_guard<host::sched::Mutex> guard(g_add_lock);
        g_adds[PhysicalDeviceObject].device = ks;
    }
    if (Device) *Device = ks;
    return STATUS_SUCCESS;
}
