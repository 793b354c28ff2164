// Identification, reset and configuration of the HDMI receivers.
#include "driver/hw/adv7611.h"

#include "driver/hw/i2c.h"
#include "driver/hw/registers.h"

namespace {

constexpr UCHAR kIdExpected[2] = {0x20, 0x51};
constexpr ULONG kIdAttempts = 3;
constexpr ULONG kSettleMs = 200;
constexpr UCHAR kTableEnd = 0xFF;

}  // namespace

// {device, sub-address, value} records. The first seven place the receiver's other register maps
// at the addresses the rest of the driver uses (HDMI map 0x68, CP map 0x44).
extern const UCHAR ADV7611_Table[] = {
    0x98, 0xF4, 0x80,  // CEC map
    0x98, 0xF5, 0x7C,  // InfoFrame map
    0x98, 0xF8, 0x4C,  // DPLL map
    0x98, 0xF9, 0x64,  // repeater map
    0x98, 0xFA, 0x6C,  // EDID map
    0x98, 0xFB, 0x68,  // HDMI map
    0x98, 0xFD, 0x44,  // CP map
    0x98, 0x01, 0x06, 0x98, 0x02, 0xF5, 0x98, 0x03, 0x80, 0x98, 0x04, 0x60, 0x98, 0x05, 0x2C, 0x98,      0x06,
    0xA4, 0x98, 0x0B, 0x44, 0x98, 0x0C, 0x42, 0x98, 0x14, 0x7F, 0x98, 0x15, 0x80, 0x98, 0x19, 0x83,      0x98,
    0x33, 0x40, 0x44, 0xBA, 0x01, 0x64, 0x40, 0x81, 0x68, 0x9B, 0x03, 0x68, 0xC1, 0x01, 0x68, 0xC2,      0x01,
    0x68, 0xC3, 0x01, 0x68, 0xC4, 0x01, 0x68, 0xC5, 0x01, 0x68, 0xC6, 0x01, 0x68, 0xC7, 0x01, 0x68,      0xC8,
    0x01, 0x68, 0xC9, 0x01, 0x68, 0xCA, 0x01, 0x68, 0xCB, 0x01, 0x68, 0xCC, 0x01, 0x68, 0x00, 0x00,      0x68,
    0x83, 0xFE, 0x68, 0x6F, 0x0C, 0x68, 0x85, 0x1F, 0x68, 0x87, 0x70, 0x68, 0x8D, 0x04, 0x68, 0x8E,      0x1E,
    0x68, 0x1A, 0x8A, 0x68, 0x57, 0xDA, 0x68, 0x58, 0x01, 0x68, 0x03, 0x98, 0x68, 0x75, 0x10, kTableEnd,
};
static_assert(sizeof(ADV7611_Table) == 46 * 3 + 1, "46 records and the terminator");

void Write_ADV7611_Table(devext* ext, ULONG block, const UCHAR* table) {
    const UCHAR* record = table;
    do {
        const UCHAR pair[2] = {record[1], record[2]};
        I2c_Write(ext, block, record[0], pair, 2);  // a failed record does not stop the walk
        record += 3;
    } while (*record != kTableEnd);
}

void Reset_ADV7611(devext* ext, ULONG block) {
    // The input's pins may be asking the receiver at the same time (a wake, or a restart after a
    // rebalance, with pins running): the master is held for each step, never across the waits.
    bool identified = false;
    AcquireI2cMaster(ext, block);
    for (ULONG attempt = 0; attempt < kIdAttempts && !identified; ++attempt) {
        UCHAR id[2] = {};
        const bool ok = I2c_Read(ext, block, kRxIoMap, kRxIoId, id, 2);
        DbgPrint("channel %x id = %x,%x\n", block, id[0], id[1]);
        identified = ok && id[0] == kIdExpected[0] && id[1] == kIdExpected[1];
    }
    if (!identified) {
        ReleaseI2cMaster(ext, block);
        return;  // not ours, or not answering: leave it untouched
    }
    const UCHAR reset[2] = {kRxIoReset, kRxIoResetValue};
    I2c_Write(ext, block, kRxIoMap, reset, 2);
    ReleaseI2cMaster(ext, block);
    DelayMs(kSettleMs);
    // The table in one go, so that no pin reads the receiver half configured.
    AcquireI2cMaster(ext, block);
    Write_ADV7611_Table(ext, block, ADV7611_Table);
    ReleaseI2cMaster(ext, block);
    DelayMs(kSettleMs);
    DbgPrint("ADV7611 channel %x reset ok\n", block);
}

NTSTATUS Reset_All_ADV7611(devext* ext) {
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        Reset_ADV7611(ext, kI2cBlock[channel]);
    }
    // The ownership fields are left alone: they start cleared with the device record, every pin
    // clears its own at STOP, and the pins a rebalance finds open keep theirs across the restart.
    return STATUS_SUCCESS;
}
