// The four audio capture pins: per-input entry points (defined in channel0audio.cpp …
// channel3audio.cpp), ranges, intersection handlers and property handlers.
#pragma once

#include "driver/core/devext.h"

constexpr ULONG kAudioRangeCount = 3;

// Writable: the first range of each pin carries the input's rate. One copy per audio pin.
extern KSDATARANGE_AUDIO channel0AudioRanges[kAudioRangeCount];
extern KSDATARANGE_AUDIO channel1AudioRanges[kAudioRangeCount];
extern KSDATARANGE_AUDIO channel2AudioRanges[kAudioRangeCount];
extern KSDATARANGE_AUDIO channel3AudioRanges[kAudioRangeCount];
extern const PKSDATARANGE channel0AudioRangeList[kAudioRangeCount];
extern const PKSDATARANGE channel1AudioRangeList[kAudioRangeCount];
extern const PKSDATARANGE channel2AudioRangeList[kAudioRangeCount];
extern const PKSDATARANGE channel3AudioRangeList[kAudioRangeCount];
// The analog bridge range shared by the four bridge pins.
extern const KSDATARANGE AudioBridgeRange;
extern const PKSDATARANGE AudioBridgeRangeList[1];

NTSTATUS NTAPI channel0AudioIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE CallerDataRange,
                                             PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data,
                                             PULONG DataSize);
NTSTATUS NTAPI channel1AudioIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE CallerDataRange,
                                             PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data,
                                             PULONG DataSize);
NTSTATUS NTAPI channel2AudioIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE CallerDataRange,
                                             PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data,
                                             PULONG DataSize);
NTSTATUS NTAPI channel3AudioIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE CallerDataRange,
                                             PKSDATARANGE DescriptorDataRange, ULONG DataBufferSize, PVOID Data,
                                             PULONG DataSize);

void Setchannel0AudioRate(devext* ext);
void Setchannel1AudioRate(devext* ext);
void Setchannel2AudioRate(devext* ext);
void Setchannel3AudioRate(devext* ext);

// Deferred routines of the AudioDpc objects (queued by the interrupt routine and the timers).
void NTAPI channel0AudioDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
void NTAPI channel1AudioDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
void NTAPI channel2AudioDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
void NTAPI channel3AudioDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

// Passive level, at device stop, before the interrupt is disconnected: returns with no audio DPC
// queued or running that delivers, and no retry timer armed; until the next start a run the
// interrupt routine queues leaves at once, and none arms a timer.
void HaltAudioDelivery(devext* ext);
// Passive level, at the end of a (re)start: the engines of the audio pins still running are
// programmed again (their next buffer marked as following a gap) and the DPCs may deliver.
void ResumeAudioDelivery(devext* ext);

extern const KSPIN_DISPATCH channel0AudioPinDispatch;
extern const KSPIN_DISPATCH channel1AudioPinDispatch;
extern const KSPIN_DISPATCH channel2AudioPinDispatch;
extern const KSPIN_DISPATCH channel3AudioPinDispatch;

// Property handlers: the ADC node's five and the capture pin's sampling rate.
NTSTATUS NTAPI KStrGetCpuResourcesHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI KStrGetAudioVolumelevelHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI KStrGetAudioAGCHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI KStrGetAudioDynaSamplingRateHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI KStrGetAudioLatencyHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI KStrGetAudioSamplingRateHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI KStrSetAudioSamplingRateHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
