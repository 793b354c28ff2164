// Hardware initialisation and teardown: register window, interrupt, DMA adapter, the thirteen
// common buffers and the kernel objects of the interrupt path and the pins.
#include "driver/audio/audio.h"
#include "driver/core/buffers.h"
#include "driver/device/device.h"
#include "driver/hw/engines.h"
#include "driver/hw/registers.h"
#include "driver/video/video.h"

namespace {

constexpr ULONG kBufferCount = 13;
constexpr ULONG kFirstBufferAttempts = 12;
constexpr ULONG kFirstBufferRetryMs = 1000;
constexpr ULONG kInterruptSettleMs = 10;
constexpr ULONG kMinimumWindow = kRegHighestUsed + 4;

struct BufferSpec {
    const char* name;
    ULONG size;
};

// Allocation order; also the order of the address trace and of the release.
constexpr BufferSpec kBuffers[kBufferCount] = {
    {"channel0videobuf[0]", kVideoBufferSize}, {"channel0videobuf[1]", kVideoBufferSize},
    {"channel0videobuf[2]", kVideoBufferSize}, {"channel1videobuf[0]", kVideoBufferSize},
    {"channel1videobuf[1]", kVideoBufferSize}, {"channel1videobuf[2]", kVideoBufferSize},
    {"channel2videobuf[0]", kVideoBufferSize}, {"channel2videobuf[1]", kVideoBufferSize},
    {"channel2videobuf[2]", kVideoBufferSize}, {"channel3videobuf[0]", kVideoBufferSize},
    {"channel3videobuf[1]", kVideoBufferSize}, {"channel3videobuf[2]", kVideoBufferSize},
    {"channelallaudiobuf", kAudioBufferSize},
};
constexpr ULONG kAudioBufferIndex = kBufferCount - 1;

CommonBuffer* BufferAt(devext* ext, ULONG index) {
    if (index == kAudioBufferIndex) {
        return &ext->channelallaudiobuf;
    }
    return &VideoBuffers(ext, index / 3)[index % 3];
}

constexpr PKDEFERRED_ROUTINE kVideoDpcRoutine[kChannelCount] = {channel0VideoFrameDpc, channel1VideoFrameDpc,
                                                                channel2VideoFrameDpc, channel3VideoFrameDpc};
constexpr PKDEFERRED_ROUTINE kAudioDpcRoutine[kChannelCount] = {channel0AudioDpcRoutine, channel1AudioDpcRoutine,
                                                                channel2AudioDpcRoutine, channel3AudioDpcRoutine};

}  // namespace

// Everything the interrupt routine may queue and the pins may wait on. Done before the interrupt
// is connected, so that an early interrupt never finds an uninitialised DPC.
void InitializeKernelObjects(devext* ext) {
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        KeInitializeEvent(&ext->Channel[channel].FrameEvent, NotificationEvent, FALSE);
    }
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        KeInitializeTimer(&ext->AudioTimer[channel]);
    }
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        KeInitializeDpc(VideoDpc(ext, channel), kVideoDpcRoutine[channel], ext);
    }
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        KeInitializeDpc(AudioDpc(ext, channel), kAudioDpcRoutine[channel], ext);
    }
    // Audio goes to the head of the DPC queue: its ring is small, video has three buffers.
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        KeSetImportanceDpc(AudioDpc(ext, channel), HighImportance);
    }
    KeInitializeMutex(&ext->HwMutex, 0);
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        KeInitializeMutex(&ext->I2cMutex[channel], 0);
    }
    SharedWrite(ext->AudioHalted, ULONG(0));
}

namespace {

void MapWindow(devext* ext, const CM_PARTIAL_RESOURCE_DESCRIPTOR& d, NTSTATUS& recorded) {
    DbgPrint("memory resource: Addr:%X ", d.u.Memory.Start.LowPart);
    DbgPrint(" Length %X ", d.u.Memory.Length);
    if (SharedRead(ext->RegisterBase) != nullptr) {
        DbgPrint(" ignored: a register window is already mapped\n");
        return;
    }
    if (d.u.Memory.Length < kMinimumWindow) {
        DbgPrint(" ignored: shorter than the register map (%X)\n", kMinimumWindow);
        return;
    }
    // Registers: read-write, uncached and, as memory integrity requires of every mapping, with
    // an explicit protection that is not executable.
    PVOID base = MmMapIoSpaceEx(d.u.Memory.Start, d.u.Memory.Length, PAGE_READWRITE | PAGE_NOCACHE);
    if (base == nullptr) {
        DbgPrint("ERROR! MmMapIoSpace failed!\n");
        recorded = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    ext->RegisterLength = d.u.Memory.Length;
    SharedWrite(ext->RegisterBase, base);
    DbgPrint(" Mapped %p\n", base);
}

void ConnectInterrupt(devext* ext, const CM_PARTIAL_RESOURCE_DESCRIPTOR& d, NTSTATUS& recorded) {
    IO_CONNECT_INTERRUPT_PARAMETERS params;
    RtlZeroMemory(&params, sizeof(params));
    params.Version = CONNECT_FULLY_SPECIFIED;
    auto& p = params.FullySpecified;
    p.PhysicalDeviceObject = ext->Device->PhysicalDeviceObject;
    p.InterruptObject = &ext->InterruptObject;
    p.ServiceRoutine = DeviceInterruptService;
    p.ServiceContext = ext;
    p.SpinLock = nullptr;
    p.FloatingSave = FALSE;
    // A message-signalled descriptor keeps its translated level, vector and affinity where the
    // line-based one keeps them.
    if (d.Flags & CM_RESOURCE_INTERRUPT_MESSAGE) {
        p.Vector = d.u.MessageInterrupt.Translated.Vector;
        p.Irql = KIRQL(d.u.MessageInterrupt.Translated.Level & 0xFF);
        p.ProcessorEnableMask = d.u.MessageInterrupt.Translated.Affinity;
        DbgPrint("MSI .......\n");
        DbgPrint("CM_RESOURCE_INTERRUPT_MESSAGE.Irql=%d,SynchronizeIrql=%d \n", p.Irql, p.Irql);
    } else {
        p.Vector = d.u.Interrupt.Vector;
        p.Irql = KIRQL(d.u.Interrupt.Level & 0xFF);
        p.ProcessorEnableMask = d.u.Interrupt.Affinity;
        DbgPrint("intX.......\n");
    }
    p.SynchronizeIrql = p.Irql;
    p.InterruptMode = (d.Flags & CM_RESOURCE_INTERRUPT_LATCHED) ? Latched : LevelSensitive;
    p.ShareVector = d.ShareDisposition == CmResourceShareShared ? TRUE : FALSE;
    p.Group = 0;
    if (ext->InterruptObject != nullptr) {
        DbgPrint("interrupt resource ignored: an interrupt is already connected\n");
        return;
    }
    const NTSTATUS status = IoConnectInterruptEx(&params);
    recorded = status;
    if (!NT_SUCCESS(status)) {
        ext->InterruptObject = nullptr;
        DbgPrint("ERROR! IoConnectInterrupt failed! status = 0x%x\n", status);
        return;
    }
    DbgPrint("IoConnectInterrupt ok\n");
    DelayMs(kInterruptSettleMs);
}

NTSTATUS AllocateBuffers(devext* ext) {
    PDMA_OPERATIONS ops = ext->DmaAdapter->DmaOperations;
    for (ULONG index = 0; index < kBufferCount; ++index) {
        CommonBuffer* buffer = BufferAt(ext, index);
        // A large contiguous buffer may become available once the system has settled, so the
        // first one is worth waiting for; once one is had, a later failure is final.
        const ULONG attempts = index == 0 ? kFirstBufferAttempts : 1;
        for (ULONG attempt = 1;; ++attempt) {
            PHYSICAL_ADDRESS bus;
            bus.QuadPart = 0;
            PVOID va = ops->AllocateCommonBuffer(ext->DmaAdapter, kBuffers[index].size, &bus, TRUE);
            if (va != nullptr) {
                buffer->PhysAddr = bus;
                buffer->VirtAddr = va;
                break;
            }
            DbgPrint("ERROR AllocateCommonBuffer %s\n", kBuffers[index].name);
            if (attempt >= attempts) {
                return STATUS_MEMORY_NOT_ALLOCATED;
            }
            DelayMs(kFirstBufferRetryMs);
        }
    }
    for (ULONG index = 0; index < kAudioBufferIndex; ++index) {
        DbgPrint("devext->%s.VirtAddr:%x\n", kBuffers[index].name, ULONG(ULONG_PTR(BufferAt(ext, index)->VirtAddr)));
    }
    DbgPrint(" devext->channelallaudiobuf.VirtAddr:%x\n", ULONG(ULONG_PTR(ext->channelallaudiobuf.VirtAddr)));
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS InitializeHW(devext* ext, PCM_RESOURCE_LIST TranslatedResources) {
    DbgPrint("enter InitializeHW\n");
    if (TranslatedResources == nullptr || TranslatedResources->Count == 0) {
        DbgPrint("ERROR! No allocated translated resources\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const CM_PARTIAL_RESOURCE_LIST& partial = TranslatedResources->List[0].PartialResourceList;
    DbgPrint("%d resource lists %d resources\n", TranslatedResources->Count, partial.Count);

    // The kernel objects were initialised at Add: a restart must not initialise again what a
    // running pin may be waiting on. Only the audio DPCs' halt is lifted, by ResumeRunningPins.
    NTSTATUS recorded = STATUS_SUCCESS;
    for (ULONG i = 0; i < partial.Count; ++i) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = partial.PartialDescriptors[i];
        switch (d.Type) {
        case CmResourceTypePort:
            DbgPrint("Port resource: Addr:%X Length:%X\n", d.u.Port.Start.LowPart, d.u.Port.Length);
            break;
        case CmResourceTypeMemory: MapWindow(ext, d, recorded); break;
        case CmResourceTypeInterrupt: ConnectInterrupt(ext, d, recorded); break;
        case CmResourceTypeDma: DbgPrint("resource type CmResourceTypeDma\n"); break;
        case CmResourceTypeDevicePrivate: DbgPrint("resource type CmResourceTypeDevicePrivate\n"); break;
        default: DbgPrint("Unsupported resource type %d\n", d.Type); break;
        }
    }
    // Nothing below may touch a card that has no usable window.
    if (SharedRead(ext->RegisterBase) == nullptr) {
        DbgPrint("ERROR! No usable register window\n");
        return NT_SUCCESS(recorded) ? STATUS_INSUFFICIENT_RESOURCES : recorded;
    }

    WriteRegister(ext, kRegInterruptEnable, 0);
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        WriteRegister(ext, kAudioBlock[channel], 0);
        WriteRegister(ext, kVideoBlock[channel], 0);
    }

    DEVICE_DESCRIPTION description;
    RtlZeroMemory(&description, sizeof(description));
    description.Version = DEVICE_DESCRIPTION_VERSION;
    description.Master = TRUE;
    description.ScatterGather = FALSE;
    description.Dma32BitAddresses = TRUE;
    description.InterfaceType = PCIBus;
    description.MaximumLength = kVideoBufferSize;
    DbgPrint("calling IoGetDmaAdapter()\n");
    ULONG mapRegisters = 0;
    ext->DmaAdapter = IoGetDmaAdapter(ext->Device->PhysicalDeviceObject, &description, &mapRegisters);
    if (ext->DmaAdapter == nullptr) {
        DbgPrint("ERROR IoGetDmaAdapter\n");
        return STATUS_ADAPTER_HARDWARE_ERROR;
    }
    DbgPrint(" DmaMapRegs:%d\n", mapRegisters);

    const NTSTATUS status = AllocateBuffers(ext);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    ForgetCompletionsBeforeStart(ext);
    OpenBuffers(ext);
    WriteRegister(ext, kRegInterruptEnable, 1);
    DbgPrint("exit InitializeHW (%x)\n", recorded);
    return recorded;
}

void ResumeRunningPins(devext* ext) {
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        ChannelState& ch = ext->Channel[channel];
        // Ownership is settled under HwMutex: a pin found here has not finished its STOP, so it
        // is not closed while this runs.
        AcquireHwMutex(ext);
        PKSPIN pin = ch.VideoPin;
        if (pin != nullptr && SharedRead(ch.VideoState) == ULONG(KSSTATE_RUN)) {
            // The frames that come next do not follow the ones before the gap.
            SharedWrite(ch.SignalGap, ULONG(1));
            KeClearEvent(&ch.FrameEvent);
            StartVideoDma(ext, static_cast<UCHAR>(channel));
            KsPinAttemptProcessing(pin, TRUE);
        }
        ReleaseHwMutex(ext);
    }
    ResumeAudioDelivery(ext);
}

void UnmapResources(devext* ext) {
    DbgPrint("%s()\n", "UnmapResources");
    // Every passive-level register sequence runs under HwMutex (pins, register properties) or
    // its I2C master's mutex (transfers) and looks at the window first: it finds it either whole
    // or gone, never unmapped mid-way.
    AcquireHwMutex(ext);
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        AcquireI2cMaster(ext, kI2cBlock[channel]);
    }
    PVOID base = SharedRead(ext->RegisterBase);
    if (base != nullptr) {
        SharedWrite(ext->RegisterBase, PVOID(nullptr));
        MmUnmapIoSpace(base, ext->RegisterLength);
    }
    for (ULONG channel = kChannelCount; channel-- > 0;) {
        ReleaseI2cMaster(ext, kI2cBlock[channel]);
    }
    ReleaseHwMutex(ext);
}

void UninitializeHW(devext* ext) {
    CloseBuffers(ext);
    // Interrupts off and every engine stopped, a pin left running would otherwise go on writing
    // into buffers about to be freed. A surprise removal may also come for a card still on the
    // bus (a device that failed, a link that came back), whose engines run on: the writes are
    // made whether or not the card answers; one that is gone drops them.
    if (SharedRead(ext->RegisterBase) != nullptr) {
        WriteRegister(ext, kRegInterruptEnable, 0);
        SilenceEngines(ext);
    }
    // The audio DPCs stop using the ring, the retry timers and the interrupt object before the
    // interrupt goes: a run the routine queues from here on leaves at once.
    HaltAudioDelivery(ext);
    if (ext->InterruptObject != nullptr) {
        // What IoConnectInterruptEx connected, its Ex counterpart disconnects, with the same version.
        IO_DISCONNECT_INTERRUPT_PARAMETERS params;
        RtlZeroMemory(&params, sizeof(params));
        params.Version = CONNECT_FULLY_SPECIFIED;
        params.ConnectionContext.InterruptObject = ext->InterruptObject;
        IoDisconnectInterruptEx(&params);
        ext->InterruptObject = nullptr;
        // Disconnection does not wait for the DPCs the routine already queued.
        KeFlushQueuedDpcs();
        // A routine that was running while interrupts were turned off re-enables them on its
        // way out; it cannot run any more.
        if (SharedRead(ext->RegisterBase) != nullptr) {
            WriteRegister(ext, kRegInterruptEnable, 0);
        }
    }
    UnmapResources(ext);
    if (ext->DmaAdapter != nullptr) {
        PDMA_OPERATIONS ops = ext->DmaAdapter->DmaOperations;
        for (ULONG index = 0; index < kBufferCount; ++index) {
            CommonBuffer* buffer = BufferAt(ext, index);
            // Readers outside the gate may look at the address; none may use it from here on.
            PVOID va = SharedRead(buffer->VirtAddr);
            if (va != nullptr) {
                ops->FreeCommonBuffer(ext->DmaAdapter, kBuffers[index].size, buffer->PhysAddr, va, TRUE);
                SharedWrite(buffer->VirtAddr, PVOID(nullptr));
            }
        }
        ops->PutDmaAdapter(ext->DmaAdapter);
        ext->DmaAdapter = nullptr;
    }
}
