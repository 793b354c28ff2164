// The FPGA's I2C masters. Each transfer is cut into chunks that the master runs one at a time;
// the short chunk goes first so that every later chunk is full.
#include "driver/hw/i2c.h"

#include "driver/hw/registers.h"

namespace {

constexpr ULONG kI2cPollLimit = 800;  // reads of the status register before giving up
constexpr ULONG kReadChunk = kI2cReadChunk;
constexpr ULONG kWriteChunk = kI2cWriteChunk;
constexpr UCHAR kCtlStart = kI2cCtlStart;
constexpr UCHAR kCtlStop = kI2cCtlStop;
constexpr ULONG kI2cAttempts = 3;

constexpr ULONG CommandRegister(ULONG block) { return block + kI2cCommand; }
constexpr ULONG DataRegister(ULONG block) { return block + kI2cData; }

constexpr ULONG Word(UCHAR b0, UCHAR b1, UCHAR b2, UCHAR b3) {
    return ULONG(b0) | (ULONG(b1) << 8) | (ULONG(b2) << 16) | (ULONG(b3) << 24);
}

// First chunk r bytes, then q full chunks of k bytes.
struct Chunking {
    ULONG first;
    ULONG full;
};

constexpr Chunking Chunk(ULONG length, ULONG k) {
    if (length % k == 0) {
        return {k, length / k - 1};
    }
    return {length % k, length / k};
}

}  // namespace

bool Check_I2c_Free(devext* ext, ULONG block) {
    ULONG value = 0;
    for (ULONG i = 0; i < kI2cPollLimit; ++i) {
        value = ReadRegister(ext, CommandRegister(block));
        if (value & kI2cIdleBit) {
            return true;
        }
    }
    DbgPrint("----------Check_I2c_Free error! IIC : %x , value: %x, %x, %x, %x\n", block, value & 0xFF,
             (value >> 8) & 0xFF, (value >> 16) & 0xFF, (value >> 24) & 0xFF);
    return false;
}

bool I2c_ReadOnce(devext* ext, ULONG block, UCHAR device, const UCHAR* subaddress, ULONG subaddressLength,
                  UCHAR* buffer, UCHAR length) {
    UNREFERENCED_PARAMETER(subaddressLength);  // one sub-address byte is all the receivers take
    // A failed read leaves zeros rather than whatever the caller's buffer held.
    for (ULONG i = 0; i < length; ++i) {
        buffer[i] = 0;
    }
    // The master's mutex is held (I2c_Read): a window unmapped by a stop or a removal stays
    // unmapped for the whole transfer.
    if (SharedRead(ext->RegisterBase) == nullptr) {
        return false;
    }
    const UCHAR sub = *subaddress;
    const UCHAR writeAddress = UCHAR(device & 0xFE);
    const UCHAR readAddress = UCHAR(device | 0x01);

    WriteRegister(ext, CommandRegister(block), Word(kCtlStart | 1, writeAddress, sub, 0));
    if (!Check_I2c_Free(ext, block)) {
        return false;
    }
    if (length == 0) {
        DbgPrint(" error! read register length is zero !\n");
        return false;
    }
    const Chunking c = Chunk(length, kReadChunk);
    UCHAR control = UCHAR(kCtlStart + c.first + (length < 5 ? kCtlStop : 0));
    WriteRegister(ext, CommandRegister(block), Word(control, readAddress, sub, 0));
    if (!Check_I2c_Free(ext, block)) {
        DbgPrint(" read error! subaddr : %x\n", sub);
        return false;
    }
    ULONG data = ReadRegister(ext, DataRegister(block));
    for (ULONG i = 0; i < c.first; ++i) {
        buffer[i] = UCHAR(data >> (8 * i));
    }
    ULONG p = c.first;
    for (ULONG n = 0; n < c.full; ++n) {
        control = UCHAR(kReadChunk + (p == ULONG(length) - kReadChunk ? kCtlStop : 0));
        WriteRegister(ext, CommandRegister(block), Word(control, readAddress, sub, 0));
        if (!Check_I2c_Free(ext, block)) {
            DbgPrint(" read error! subaddr : %x\n", sub);
            return false;
        }
        data = ReadRegister(ext, DataRegister(block));
        for (ULONG i = 0; i < kReadChunk; ++i) {
            buffer[p + i] = UCHAR(data >> (8 * i));
        }
        p += kReadChunk;
    }
    return true;
}

// Every transfer holds its master for its whole length, attempts included: the chunks of two
// transfers on one bus must never interleave (a START landing between another transfer's
// sub-address chunk and its data chunks breaks both). Callers that need several transfers to see
// one state of the receiver hold the master across them.
bool I2c_Read(devext* ext, ULONG block, UCHAR device, UCHAR subaddress, UCHAR* buffer, UCHAR length) {
    bool done = false;
    AcquireI2cMaster(ext, block);
    for (ULONG attempt = 0; attempt < kI2cAttempts && !done; ++attempt) {
        done = I2c_ReadOnce(ext, block, device, &subaddress, 1, buffer, length);
    }
    ReleaseI2cMaster(ext, block);
    return done;
}

bool I2c_WriteOnce(devext* ext, ULONG block, UCHAR device, ULONG length, const UCHAR* data) {
    // Without a sub-address there is nothing to send; the bus is left alone.
    if (length == 0) {
        DbgPrint(" error! write register length is zero !\n");
        return false;
    }
    if (SharedRead(ext->RegisterBase) == nullptr) {
        return false;
    }
    const Chunking c = Chunk(length, kWriteChunk);
    UCHAR staging[8] = {};  // [0..3] command word, [4..7] data register
    staging[0] = UCHAR(kCtlStart + c.first + (length < 7 ? kCtlStop : 0));
    staging[1] = UCHAR(device & 0xFE);
    for (ULONG i = 0; i < c.first; ++i) {
        staging[2 + i] = data[i];
    }
    WriteRegister(ext, DataRegister(block), Word(staging[4], staging[5], staging[6], staging[7]));
    WriteRegister(ext, CommandRegister(block), Word(staging[0], staging[1], staging[2], staging[3]));
    if (!Check_I2c_Free(ext, block)) {
        DbgPrint(" write error! subaddr : %x\n", data[0]);
        return false;
    }
    ULONG p = c.first;
    for (ULONG n = 0; n < c.full; ++n) {
        staging[0] = UCHAR(kWriteChunk + (p == length - kWriteChunk ? kCtlStop : 0));
        for (ULONG i = 0; i < kWriteChunk; ++i) {
            staging[2 + i] = data[p + i];
        }
        p += kWriteChunk;
        WriteRegister(ext, DataRegister(block), Word(staging[4], staging[5], staging[6], staging[7]));
        WriteRegister(ext, CommandRegister(block), Word(staging[0], staging[1], staging[2], staging[3]));
        if (!Check_I2c_Free(ext, block)) {
            DbgPrint(" write 22 error! subaddr : %x\n", data[0]);
            return false;
        }
    }
    return true;
}

bool I2c_Write(devext* ext, ULONG block, UCHAR device, const UCHAR* data, ULONG length) {
    bool done = false;
    AcquireI2cMaster(ext, block);
    for (ULONG attempt = 0; attempt < kI2cAttempts && !done; ++attempt) {
        done = I2c_WriteOnce(ext, block, device, length, data);
    }
    ReleaseI2cMaster(ext, block);
    return done;
}
