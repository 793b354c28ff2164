// Input 2's audio capture pin: its constants and its named entry points.
#include "driver/audio/audio_impl.h"

#include "driver/public.h"
#include "driver/hw/registers.h"

KSDATARANGE_AUDIO channel2AudioRanges[kAudioRangeCount] = {QH_AUDIO_RANGE, QH_AUDIO_RANGE, QH_AUDIO_RANGE};
const PKSDATARANGE channel2AudioRangeList[kAudioRangeCount] = {
    &channel2AudioRanges[0].DataRange, &channel2AudioRanges[1].DataRange, &channel2AudioRanges[2].DataRange};

namespace {
constexpr audio::AudioInput kInput = {
    .Index = 2,
    .I2cBlock = kI2cBlock[2],
    .RegBlock = kAudioBlock[2],
    .EnableReg = kAudioEnable[2],
    .RingOffset = 2 * kAudioRingSize,
    .Tag = "audio2",
    .File = "channel2audio",
    .RateTrace = "Set Audio2 rate:%d,chip value: %d, rate: %d\n",
    .FormatShortTrace = "Audio pin c STATUS_NO_MATCH 0\n",
    .FormatRefusedTrace = "Audio pin c STATUS_NO_MATCH 1 samp:%d channel:%d\n",
    .FormatRefusedShowsFormat = true,
    .FormatAcceptedTrace = "Audio pin c set format:%d\n",
    .IntersectTrace = "channel2AudioIntersectHandler sample:%d \n",
    .DpcIdleTrace = "channel2AudioDpcRoutine 0 pin:%p runstate:%x\n",
    .DpcIdleShowsPin = true,
    .DpcNoBufferTrace = "channel2AudioDpcRoutine 1\n",
    .DpcNoDataTrace = "channel2AudioDpcRoutine 2\n",
    .Ranges = channel2AudioRanges,
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
