// Bring-up of the four HDMI receivers.
#pragma once

#include "driver/core/devext.h"

extern const UCHAR ADV7611_Table[];  // 46 records {device, sub-address, value}, then 0xFF

void Reset_ADV7611(devext* ext, ULONG block);
void Write_ADV7611_Table(devext* ext, ULONG block, const UCHAR* table);
NTSTATUS Reset_All_ADV7611(devext* ext);
