// The four video capture pins: per-input entry points (defined in channel0video.cpp …
// channel3video.cpp), the shared intersection handler and the format tables.
#pragma once

#include "driver/core/devext.h"

constexpr ULONG kVideoFormatCount = 13;

// Writable: entry 0 is rewritten by detection. One table per video pin.
extern KS_DATARANGE_VIDEO channel0VideoFormats[kVideoFormatCount];
extern KS_DATARANGE_VIDEO channel1VideoFormats[kVideoFormatCount];
extern KS_DATARANGE_VIDEO channel2VideoFormats[kVideoFormatCount];
extern KS_DATARANGE_VIDEO channel3VideoFormats[kVideoFormatCount];
// The pin descriptors' DataRanges arrays (pointers into the tables above).
extern const PKSDATARANGE channel0VideoRanges[kVideoFormatCount];
extern const PKSDATARANGE channel1VideoRanges[kVideoFormatCount];
extern const PKSDATARANGE channel2VideoRanges[kVideoFormatCount];
extern const PKSDATARANGE channel3VideoRanges[kVideoFormatCount];

NTSTATUS NTAPI VideoIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                     PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data, PULONG DataSize);

void Detectchannel0VideoFormat(devext* ext);
void Detectchannel1VideoFormat(devext* ext);
void Detectchannel2VideoFormat(devext* ext);
void Detectchannel3VideoFormat(devext* ext);

void Setchannel0VideoFormat(devext* ext, ULONG width, ULONG height);
void Setchannel1VideoFormat(devext* ext, ULONG width, ULONG height);
void Setchannel2VideoFormat(devext* ext, ULONG width, ULONG height);
void Setchannel3VideoFormat(devext* ext, ULONG width, ULONG height);

// Deferred routines of the VideoDpc objects: they signal FrameEvent.
void NTAPI channel0VideoFrameDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
void NTAPI channel1VideoFrameDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
void NTAPI channel2VideoFrameDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
void NTAPI channel3VideoFrameDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

// Process dispatches of the video pins.
NTSTATUS NTAPI channel0VideoDpcRoutine(PKSPIN Pin);
NTSTATUS NTAPI channel1VideoDpcRoutine(PKSPIN Pin);
NTSTATUS NTAPI channel2VideoDpcRoutine(PKSPIN Pin);
NTSTATUS NTAPI channel3VideoDpcRoutine(PKSPIN Pin);

// Pin dispatch tables (Create/Close, Process, SetDataFormat, SetDeviceState) per input.
extern const KSPIN_DISPATCH channel0VideoPinDispatch;
extern const KSPIN_DISPATCH channel1VideoPinDispatch;
extern const KSPIN_DISPATCH channel2VideoPinDispatch;
extern const KSPIN_DISPATCH channel3VideoPinDispatch;
