// Input 3's audio capture pin: its constants and its named entry points.
#include "driver/audio/audio_impl.h"

#include "driver/public.h"
#include "driver/hw/registers.h"

KSDATARANGE_AUDIO channel3AudioRanges[kAudioRangeCount] = {QH_AUDIO_RANGE, QH_AUDIO_RANGE, QH_AUDIO_RANGE};
const PKSDATARANGE channel3AudioRangeList[kAudioRangeCount] = {
    &channel3AudioRanges[0].DataRange, &channel3AudioRanges[1].DataRange, &channel3AudioRanges[2].DataRange};

namespace {
constexpr audio::Input kInput = {
    .channel = 3,
    .i2cBlock = kI2cBlock[3],
    .ringOffset = 3 * kAudioRingSize,
    .tag = "audio3",
    .file = "channel3audio",
    .rateTrace = "Set Audio3 rate:%d,chip value: %d, rate: %d\n",
    .formatShortTrace = "Audio pin d STATUS_NO_MATCH 0\n",
    .formatRefusedTrace = "Audio pin d STATUS_NO_MATCH 3 samp:%d channel:%d\n",
    .formatRefusedShowsFormat = true,
    .formatAcceptedTrace = "Audio pin d set format:%d\n",
    .intersectTrace = "channel3AudioIntersectHandler sample:%d \n",
    .dpcIdleTrace = "channel3AudioDpcRoutine 0 pin:%p runstate:%x\n",
    .dpcIdleShowsPin = true,
    .dpcNoBufferTrace = "channel3AudioDpcRoutine 1\n",
    .dpcNoDataTrace = "channel3AudioDpcRoutine 2\n",
    .ranges = channel3AudioRanges,
};
using Input = audio::Entry<kInput>;
}  // namespace

NTSTATUS NTAPI channel3AudioIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE CallerDataRange,
                                             PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data,
                                             PULONG DataSize) {
    return Input::Intersect(Context, Irp, Pin, CallerDataRange, DescriptorDataRange, DataBufferSize, Data, DataSize);
}

void Setchannel3AudioRate(devext* ext) { audio::SetRate(kInput, ext); }

void NTAPI channel3AudioDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    Input::Dpc(Dpc, DeferredContext, SystemArgument1, SystemArgument2);
}

const KSPIN_DISPATCH channel3AudioPinDispatch = Input::PinDispatch;
