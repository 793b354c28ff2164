// Filter creation and the filter-level properties: raw register access on input 0's video
// filter and the dropped-frames counters on the video filters of inputs 1 to 3.
#include "driver/filter/filter.h"

#include "driver/audio/audio.h"
#include "driver/public.h"
#include "driver/hw/registers.h"
#include "driver/video/video.h"

namespace {

using DetectRoutine = void (*)(devext*);

// Each reference GUID names one input and one medium; opening that filter re-runs the input's
// detection so the formats it offers reflect the signal present now.
struct FilterBinding {
    const GUID* Reference;
    DetectRoutine Detect;
};

constexpr FilterBinding kBindings[kFilterCount] = {
    {&kRefVideo0, Detectchannel0VideoFormat}, {&kRefVideo1, Detectchannel1VideoFormat},
    {&kRefVideo2, Detectchannel2VideoFormat}, {&kRefVideo3, Detectchannel3VideoFormat},
    {&kRefAudio0, Setchannel0AudioRate},      {&kRefAudio1, Setchannel1AudioRate},
    {&kRefAudio2, Setchannel2AudioRate},      {&kRefAudio3, Setchannel3AudioRate},
};

devext* DevextOfIrp(PIRP Irp) { return DevextOf(KsGetFilterFromIrp(Irp)); }

// The register a request names, if it may be touched at all: inside the mapped window and
// 32-bit aligned (an unaligned access would straddle two registers).
bool RegisterOffsetValid(const devext* ext, ULONG offset) {
    const ULONG length = ext->RegisterLength;
    if (SharedRead(ext->RegisterBase) == nullptr || length < sizeof(ULONG)) return false;
    if (offset > length - sizeof(ULONG)) return false;
    return (offset & 3) == 0;
}

NTSTATUS GetDroppedFrames(PIRP Irp, PKSIDENTIFIER Request, PVOID Data, ULONG channel) {
    devext* ext = DevextOfIrp(Irp);
    ChannelState& ch = ext->Channel[channel];
    auto* answer = static_cast<KSPROPERTY_DROPPEDFRAMES_CURRENT_S*>(Data);

    // The answer starts as a copy of the request (the class has checked both are 48 bytes).
    RtlCopyMemory(answer, Request, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S));
    answer->PictureNumber = static_cast<LONGLONG>(static_cast<ULONGLONG>(SharedRead(ch.FrameCount)));
    answer->DropCount = static_cast<LONGLONG>(SharedRead(ch.DropCount));
    // The field's published meaning: the average size of a frame in bytes, i.e. one YUY2 frame of
    // the current format.
    answer->AverageFrameSize = SharedRead(ch.Width) * SharedRead(ch.Height) * 2;

    Irp->IoStatus.Information = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI FilterCreate(PKSFILTER Filter, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    devext* ext = DevextOf(Filter);
    DbgPrint("%s()\n", "FilterCreate");

    // Every binding is compared: the GUIDs are distinct, so at most one detection runs.
    const GUID* reference = Filter->Descriptor->ReferenceGuid;
    for (const FilterBinding& binding : kBindings) {
        if (RtlCompareMemory(reference, binding.Reference, sizeof(GUID)) == sizeof(GUID)) {
            binding.Detect(ext);
        }
    }
    return STATUS_SUCCESS;
}

bool IsDmaProgrammingRegister(ULONG offset) {
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        for (ULONG reg : kVideoDmaRegisters) {
            if (offset == kVideoBlock[channel] + reg) return true;
        }
        for (ULONG reg : kAudioDmaRegisters) {
            if (offset == kAudioBlock[channel] + reg) return true;
        }
    }
    return false;
}

NTSTATUS NTAPI KStrGetRegisterValueHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    devext* ext = DevextOfIrp(Irp);
    const auto* request = reinterpret_cast<const KSPROPERTY_REGISTER_VALUE_S*>(Request);
    auto* answer = static_cast<KSPROPERTY_REGISTER_VALUE_S*>(Data);

    const ULONG offset = request->Offset;
    // The window is checked and used under HwMutex, which its unmapping takes too: a stop or a
    // removal cannot unmap it between the two.
    AcquireHwMutex(ext);
    if (!RegisterOffsetValid(ext, offset)) {
        ReleaseHwMutex(ext);
        return STATUS_INVALID_PARAMETER;
    }
    // Only the value is written; the caller's header and offset bytes stay as they were.
    answer->Value = ReadRegister(ext, offset);
    ReleaseHwMutex(ext);
    Irp->IoStatus.Information = sizeof(KSPROPERTY_REGISTER_VALUE_S);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KStrSetRegisterValueHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    UNREFERENCED_PARAMETER(Data);
    devext* ext = DevextOfIrp(Irp);
    const auto* request = reinterpret_cast<const KSPROPERTY_REGISTER_VALUE_S*>(Request);

    const ULONG offset = request->Offset;
    // Any process that can open the filter can send this request; it must not be able to make the
    // card write into memory outside the driver's common buffers.
    if (IsDmaProgrammingRegister(offset)) return STATUS_ACCESS_DENIED;
    AcquireHwMutex(ext);
    if (!RegisterOffsetValid(ext, offset)) {
        ReleaseHwMutex(ext);
        return STATUS_INVALID_PARAMETER;
    }
    WriteRegister(ext, offset, request->Value);
    ReleaseHwMutex(ext);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI channel1GetDroppedFramesHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    return GetDroppedFrames(Irp, Request, Data, 1);
}
NTSTATUS NTAPI channel2GetDroppedFramesHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    return GetDroppedFrames(Irp, Request, Data, 2);
}
NTSTATUS NTAPI channel3GetDroppedFramesHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
    return GetDroppedFrames(Irp, Request, Data, 3);
}
