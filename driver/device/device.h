// The top of the driver: driver entry, device dispatch (PnP, power), hardware initialisation and
// teardown, and the interrupt service routine.
#pragma once

#include "driver/core/devext.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern const KSDEVICE_DESCRIPTOR DeviceDescriptor;
extern const KSDEVICE_DESCRIPTOR CameraDeviceDescriptor;

// The driver's AddDevice: the class's device, made from DeviceDescriptor or, when the hardware
// key asks for the camera category, from CameraDeviceDescriptor.
NTSTATUS NTAPI DeviceAdd(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

NTSTATUS NTAPI DeviceDispatchCreate(PKSDEVICE Device);
NTSTATUS NTAPI DeviceDispatchPnpStart(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResources,
                                      PCM_RESOURCE_LIST UntranslatedResources);
void NTAPI DeviceDispatchPnpStop(PKSDEVICE Device, PIRP Irp);
void NTAPI DeviceDispatchSurpriseRemoval(PKSDEVICE Device, PIRP Irp);
void NTAPI dispatchSetPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From);

// Once per device, at Add: the kernel objects pins and DPCs may wait on or queue while the
// device stops and starts again under them (a rebalance with pins running).
void InitializeKernelObjects(devext* ext);
NTSTATUS InitializeHW(devext* ext, PCM_RESOURCE_LIST TranslatedResources);
void UninitializeHW(devext* ext);
void UnmapResources(devext* ext);
// After a restart or a return to D0: the engines of the pins still running are programmed
// again (their next frame and audio buffer marked as following a gap) and their Process asked for.
void ResumeRunningPins(devext* ext);

BOOLEAN NTAPI DeviceInterruptService(PKINTERRUPT Interrupt, PVOID ServiceContext);
