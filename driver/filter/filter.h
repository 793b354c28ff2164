// The eight filters: descriptors, FilterCreate, and the filter-level property handlers.
#pragma once

#include "driver/device/devext.h"

constexpr ULONG kFilterCount = 8;
// In device order: audio 0, video 0, audio 1, video 1, audio 2, video 2, audio 3, video 3.
extern const KSFILTER_DESCRIPTOR* const FilterDescriptors[kFilterCount];

NTSTATUS FilterCreate(PKSFILTER Filter, PIRP Irp);
