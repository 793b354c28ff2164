// Input 0's audio capture pin: its constants and its named entry points.
#include "driver/audio/audio_impl.h"

#include "driver/public.h"
#include "driver/hw/registers.h"

KSDATARANGE_AUDIO channel0AudioRanges[kAudioRangeCount] = {QH_AUDIO_RANGE, QH_AUDIO_RANGE, QH_AUDIO_RANGE};
const PKSDATARANGE channel0AudioRangeList[kAudioRangeCount] = {
    &channel0AudioRanges[0].DataRange, &channel0AudioRanges[1].DataRange, &channel0AudioRanges[2].DataRange};

namespace {
constexpr audio::Input kInput = {
    .channel = 0,
    .i2cBlock = kI2cBlock[0],
    .ringOffset = 0 * kAudioRingSize,
    .tag = "audio0",
    .file = "channel0audio",
    .rateTrace = "Set Audio0 rate:%d,chip value: %d, rate: %d\n",
    .formatShortTrace = "Audio pin STATUS_NO_MATCH 0\n",
    .formatRefusedTrace = "Audio pin STATUS_NO_MATCH 1 samp:%d\n",
    .formatRefusedShowsFormat = false,
    .formatAcceptedTrace = "Audio pin set format:%d\n",
    .intersectTrace = "channel0AudioIntersectHandler sample:%d \n",
    .dpcIdleTrace = "channel0AudioDpcRoutine 0\n",
    .dpcIdleShowsPin = false,
    .dpcNoBufferTrace = "channel0AudioDpcRoutine 1\n",
    .dpcNoDataTrace = "channel0AudioDpcRoutine 2\n",
    .ranges = channel0AudioRanges,
};
using Input = audio::Entry<kInput>;
}  // namespace

NTSTATUS NTAPI channel0AudioIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE CallerDataRange,
                                             PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data,
                                             PULONG DataSize) {
    return Input::Intersect(Context, Irp, Pin, CallerDataRange, DescriptorDataRange, DataBufferSize, Data, DataSize);
}

void Setchannel0AudioRate(devext* ext) { audio::SetRate(kInput, ext); }

void NTAPI channel0AudioDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    Input::Dpc(Dpc, DeferredContext, SystemArgument1, SystemArgument2);
}

const KSPIN_DISPATCH channel0AudioPinDispatch = Input::PinDispatch;
