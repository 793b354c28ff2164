// Input 2's audio capture pin: its constants and its named entry points.
#include "driver/audio/audio_impl.h"

#include "driver/public.h"
#include "driver/hw/registers.h"

KSDATARANGE_AUDIO channel2AudioRanges[kAudioRangeCount] = {QH_AUDIO_RANGE, QH_AUDIO_RANGE, QH_AUDIO_RANGE};
const PKSDATARANGE channel2AudioRangeList[kAudioRangeCount] = {
    &channel2AudioRanges[0].DataRange, &channel2AudioRanges[1].DataRange, &channel2AudioRanges[2].DataRange};

namespace {
constexpr audio::Input kInput = {
    .channel = 2,
    .i2cBlock = kI2cBlock[2],
    .ringOffset = 2 * kAudioRingSize,
    .tag = "audio2",
    .file = "channel2audio",
    .rateTrace = "Set Audio2 rate:%d,chip value: %d, rate: %d\n",
    .formatShortTrace = "Audio pin c STATUS_NO_MATCH 0\n",
    .formatRefusedTrace = "Audio pin c STATUS_NO_MATCH 1 samp:%d channel:%d\n",
    .formatRefusedShowsFormat = true,
    .formatAcceptedTrace = "Audio pin c set format:%d\n",
    .intersectTrace = "channel2AudioIntersectHandler sample:%d \n",
    .dpcIdleTrace = "channel2AudioDpcRoutine 0 pin:%p runstate:%x\n",
    .dpcIdleShowsPin = true,
    .dpcNoBufferTrace = "channel2AudioDpcRoutine 1\n",
    .dpcNoDataTrace = "channel2AudioDpcRoutine 2\n",
    .ranges = channel2AudioRanges,
};
using Input = audio::Entry<kInput>;
}  // namespace

NTSTATUS NTAPI channel2AudioIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE CallerDataRange,
                                             PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data,
                                             PULONG DataSize) {
    return Input::Intersect(Context, Irp, Pin, CallerDataRange, DescriptorDataRange, DataBufferSize, Data, DataSize);
}

void Setchannel2AudioRate(devext* ext) { audio::SetRate(kInput, ext); }

void NTAPI channel2AudioDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    Input::Dpc(Dpc, DeferredContext, SystemArgument1, SystemArgument2);
}

const KSPIN_DISPATCH channel2AudioPinDispatch = Input::PinDispatch;
