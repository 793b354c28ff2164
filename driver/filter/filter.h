// The eight filters: descriptors, FilterCreate, and the filter-level property handlers.
#pragma once

#include "driver/core/devext.h"
#include "driver/public.h"

// In device order (see driver/public.h).
extern const KSFILTER_DESCRIPTOR* const FilterDescriptors[kFilterCount];
// The same filters, the video ones also under KSCATEGORY_VIDEO_CAMERA (the installation's camera
// option); the audio filters are the very same descriptors.
extern const KSFILTER_DESCRIPTOR* const CameraFilterDescriptors[kFilterCount];

// The descriptors themselves, by input (pointed to by FilterDescriptors).
extern const KSFILTER_DESCRIPTOR channel0VideoFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel1VideoFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel2VideoFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel3VideoFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel0CameraVideoFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel1CameraVideoFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel2CameraVideoFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel3CameraVideoFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel0AudioFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel1AudioFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel2AudioFilterDescriptor;
extern const KSFILTER_DESCRIPTOR channel3AudioFilterDescriptor;

NTSTATUS NTAPI FilterCreate(PKSFILTER Filter, PIRP Irp);

// Register access on input 0's video filter: get reads the register named by the request, set
// writes the request's value to it. Offsets outside the mapped window, or not 32-bit aligned, are
// refused with STATUS_INVALID_PARAMETER; writes to the DMA address and size registers are refused
// with STATUS_ACCESS_DENIED (see filter.cpp).
NTSTATUS NTAPI KStrGetRegisterValueHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI KStrSetRegisterValueHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

// True when a write to `offset` would re-aim or resize one of the eight bus-master DMA engines.
bool IsDmaProgrammingRegister(ULONG offset);

// Dropped-frames counters of the video filters of inputs 1, 2 and 3.
NTSTATUS NTAPI channel1GetDroppedFramesHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI channel2GetDroppedFramesHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI channel3GetDroppedFramesHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
