// The FPGA's I2C masters, one per input, reached through two registers of the input's block.
#pragma once

#include "driver/core/devext.h"

bool Check_I2c_Free(devext* ext, ULONG block);
bool I2c_ReadOnce(devext* ext, ULONG block, UCHAR device, const UCHAR* subaddress, ULONG subaddressLength,
                  UCHAR* buffer, UCHAR length);
bool I2c_Read(devext* ext, ULONG block, UCHAR device, UCHAR subaddress, UCHAR* buffer, UCHAR length);
bool I2c_WriteOnce(devext* ext, ULONG block, UCHAR device, ULONG length, const UCHAR* data);
bool I2c_Write(devext* ext, ULONG block, UCHAR device, const UCHAR* data, ULONG length);
