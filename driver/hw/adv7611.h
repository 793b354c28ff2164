// Bring-up of the four HDMI receivers.
#pragma once

#include "driver/device/devext.h"

// Receiver register maps, 8-bit I2C addresses as placed by the configuration table.
constexpr UCHAR kRxIoMap = 0x98;
constexpr UCHAR kRxHdmiMap = 0x68;
constexpr UCHAR kRxCpMap = 0x44;

extern const UCHAR ADV7611_Table[];  // 46 records {device, sub-address, value}, then 0xFF

void Reset_ADV7611(devext* ext, ULONG block);
void Write_ADV7611_Table(devext* ext, ULONG block, const UCHAR* table);
NTSTATUS Reset_All_ADV7611(devext* ext);
