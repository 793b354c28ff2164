// Driver entry, the device descriptor and the device dispatch: creation, PnP start and stop,
// power changes.
#include "driver/device/device.h"

#include "driver/device/install_options.h"
#include "driver/device/stack_guard.h"

#include "driver/filter/filter.h"
#include "driver/hw/adv7611.h"
#include "driver/hw/registers.h"

namespace {

const KSDEVICE_DISPATCH DeviceDispatch = {
    DeviceDispatchCreate,           // Add
    DeviceDispatchPnpStart,         // Start
    nullptr,                        // PostStart
    nullptr,                        // QueryStop
    nullptr,                        // CancelStop
    DeviceDispatchPnpStop,          // Stop
    nullptr,                        // QueryRemove
    nullptr,                        // CancelRemove
    nullptr,                        // Remove
    nullptr,                        // QueryCapabilities
    DeviceDispatchSurpriseRemoval,  // SurpriseRemoval
    nullptr,                        // QueryPower
    dispatchSetPower,               // SetPower
    nullptr,                        // QueryInterface
};

}  // namespace

// Eight filter factories: audio then video of each input, inputs 0 to 3.
extern const KSDEVICE_DESCRIPTOR DeviceDescriptor = {
    &DeviceDispatch,
    kFilterCount,
    FilterDescriptors,
};
// The same with the video filters also under KSCATEGORY_VIDEO_CAMERA. The class enables a filter's
// interfaces only in the categories its descriptor lists, so the choice is made here, per device,
// when the factories are made; nothing is rewritten at run time.
extern const KSDEVICE_DESCRIPTOR CameraDeviceDescriptor = {
    &DeviceDispatch,
    kFilterCount,
    CameraFilterDescriptors,
};

// Not stack-protected itself: the guard changes under its frame.
extern "C" __attribute__((no_stack_protector)) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                          PUNICODE_STRING RegistryPath) {
    SeedStackGuard(DriverObject);
    const NTSTATUS status = KsInitializeDriver(DriverObject, RegistryPath, &DeviceDescriptor);
    if (NT_SUCCESS(status)) {
        // Ours in place of the class's KsAddDevice, to pick the descriptor per device.
        DriverObject->DriverExtension->AddDevice = DeviceAdd;
    }
    return status;
}

NTSTATUS NTAPI DeviceAdd(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    const bool camera = CameraCategoryRequested(PhysicalDeviceObject);
    if (camera) {
        DbgPrint("%s(): video filters also under the camera category\n", "DeviceAdd");
    }
    return KsCreateDevice(DriverObject, PhysicalDeviceObject, camera ? &CameraDeviceDescriptor : &DeviceDescriptor, 0,
                          nullptr);
}

NTSTATUS NTAPI DeviceDispatchCreate(PKSDEVICE Device) {
    DbgPrint("%s()\n", "DeviceDispatchCreate");
    auto* ext = static_cast<devext*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(devext), QH_POOL_TAG));
    if (ext == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ext, sizeof(devext));
    // The bag frees the record with the device; until it holds it, the record is ours to free.
    NTSTATUS status = KsAddItemToObjectBag(Device->Bag, ext, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePool(ext);
        return status;
    }
    Device->Context = ext;
    InitializeKernelObjects(ext);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceDispatchPnpStart(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResources,
                                      PCM_RESOURCE_LIST UntranslatedResources) {
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(UntranslatedResources);
    auto* ext = static_cast<devext*>(Device->Context);
    ext->Device = Device;
    DbgPrint("%s()\n", "DeviceDispatchPnpStart");

    NTSTATUS status = InitializeHW(ext, TranslatedResources);
    if (NT_SUCCESS(status)) {
        status = Reset_All_ADV7611(ext);
    }
    if (!NT_SUCCESS(status)) {
        // The class does not stop a device whose start failed: release what was obtained here.
        UninitializeHW(ext);
        return status;
    }
    // A restart after a rebalance: the class left the pins in their states, so the ones that
    // were running carry on with the new resources.
    ResumeRunningPins(ext);
    return STATUS_SUCCESS;
}

void NTAPI DeviceDispatchPnpStop(PKSDEVICE Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    DbgPrint("%s()\n", "DeviceDispatchPnpStop");
    UninitializeHW(static_cast<devext*>(Device->Context));
}

// The class keeps the pins (and their queues) until their clients close them, and calls Stop
// only at the removal that follows the last close: until then a connected interrupt would read
// a status of all ones and the pins would wait for frames that never come. The hardware is let
// go of here, and the pins see the gate closed for good.
void NTAPI DeviceDispatchSurpriseRemoval(PKSDEVICE Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    DbgPrint("%s()\n", "DeviceDispatchSurpriseRemoval");
    UninitializeHW(static_cast<devext*>(Device->Context));
}

void NTAPI dispatchSetPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From) {
    UNREFERENCED_PARAMETER(Irp);
    auto* ext = static_cast<devext*>(Device->Context);
    if (To == From) {
        return;
    }
    switch (To) {
    case PowerDeviceD3:
        // Interrupt enable and engines are left as they are: the pins have paused before a sleep.
        DbgPrint("dispatchSetPower:low power state\n");
        ext->PowerState = PowerDeviceD3;
        break;
    case PowerDeviceD0:
        // The receivers lost their configuration while off.
        ext->PowerState = PowerDeviceD0;
        DbgPrint("dispatchSetPower:Fully working state\n");
        // A device that is not started has no window: there is no card to wake.
        if (SharedRead(ext->RegisterBase) == nullptr) {
            break;
        }
        WriteRegister(ext, kRegInterruptEnable, 1);
        for (ULONG channel = 0; channel < kChannelCount; ++channel) {
            Reset_ADV7611(ext, kI2cBlock[channel]);
        }
        // The card forgot its engines while off, and a pin may have been put in RUN before this
        // request came (the two come in either order): the engines of the pins that run are
        // programmed again.
        ResumeRunningPins(ext);
        break;
    default: DbgPrint("unsupported device state requested\n"); break;
    }
}
