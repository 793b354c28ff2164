// Input 1's audio capture pin: its constants and its named entry points.
#include "driver/audio/audio_impl.h"

#include "driver/public.h"
#include "driver/hw/registers.h"

KSDATARANGE_AUDIO channel1AudioRanges[kAudioRangeCount] = {QH_AUDIO_RANGE, QH_AUDIO_RANGE, QH_AUDIO_RANGE};
const PKSDATARANGE channel1AudioRangeList[kAudioRangeCount] = {
    &channel1AudioRanges[0].DataRange, &channel1AudioRanges[1].DataRange, &channel1AudioRanges[2].DataRange};

namespace {
constexpr audio::Input kInput = {
    .channel = 1,
    .i2cBlock = kI2cBlock[1],
    .ringOffset = 1 * kAudioRingSize,
    .tag = "audio1",
    .file = "channel1audio",
    .rateTrace = "Set Audio1 rate:%d,chip value: %d, rate: %d\n",
    .formatShortTrace = "Audio pin b STATUS_NO_MATCH 0\n",
    .formatRefusedTrace = "Audio pin b STATUS_NO_MATCH 1 samp:%d channel:%d\n",
    .formatRefusedShowsFormat = true,
    .formatAcceptedTrace = "Audio pin b set format:%d\n",
    .intersectTrace = "channel1AudioIntersectHandler sample:%d \n",
    .dpcIdleTrace = "channel1AudioDpcRoutine 0 pin:%p runstate:%x\n",
    .dpcIdleShowsPin = true,
    .dpcNoBufferTrace = "channel1AudioDpcRoutine 1\n",
    .dpcNoDataTrace = "channel1AudioDpcRoutine 2\n",
    .ranges = channel1AudioRanges,
};
using Input = audio::Entry<kInput>;
}  // namespace

NTSTATUS NTAPI channel1AudioIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE CallerDataRange,
                                             PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data,
                                             PULONG DataSize) {
    return Input::Intersect(Context, Irp, Pin, CallerDataRange, DescriptorDataRange, DataBufferSize, Data, DataSize);
}

void Setchannel1AudioRate(devext* ext) { audio::SetRate(kInput, ext); }

void NTAPI channel1AudioDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    Input::Dpc(Dpc, DeferredContext, SystemArgument1, SystemArgument2);
}

const KSPIN_DISPATCH channel1AudioPinDispatch = Input::PinDispatch;
