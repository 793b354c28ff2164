// Input detection: ask the receiver for cable, active size and scan type when the video filter
// is opened, and publish the signal's size as entry 0 of the pin's format table.
#include "driver/hw/i2c.h"
#include "driver/video/video_input.h"

namespace video {

namespace {

// A receiver read into a buffer cleared first: a failed read then reads as zeros (no cable,
// size 0) instead of whatever the stack held.
void ReadReceiver(devext* ext, const Input& in, UCHAR map, UCHAR subaddress, UCHAR* bytes, UCHAR length) {
    RtlZeroMemory(bytes, length);
    I2c_Read(ext, in.i2cBlock, map, subaddress, bytes, length);
}

// The 13-bit size fields of the HDMI map: high 5 bits in the first byte.

}  // namespace

void DetectFormat(devext* ext, const Input& in) {
    UCHAR bytes[2];

    // The four reads describe one signal: nothing else may use the bus between them.
    AcquireI2cMaster(ext, in.i2cBlock);
    ReadReceiver(ext, in, kRxIoMap, kRxIoCable, bytes, 1);
    DbgPrint(in.connectTrace, bytes[0]);
    if (!CableConnected(bytes[0])) {
        ReleaseI2cMaster(ext, in.i2cBlock);
        DbgPrint(" HDMI cable is not connect 0!!!\n");
        return;
    }

    ReadReceiver(ext, in, kRxHdmiMap, kRxHdmiWidth, bytes, 2);
    const ULONG width = RxSize13(bytes[0], bytes[1]);
    DbgPrint("pix:%d ", width);

    ReadReceiver(ext, in, kRxHdmiMap, kRxHdmiLines, bytes, 2);
    ULONG height = RxSize13(bytes[0], bytes[1]);  // one field when interlaced
    DbgPrint("line:%d \n", height);

    ReadReceiver(ext, in, kRxHdmiMap, kRxHdmiScan, bytes, 1);
    if (bytes[0] & kRxHdmiInterlacedBit) {
        DbgPrint("HDMI Interlaced Input:%x  \n", bytes[0]);
        height *= 2;
    } else {
        DbgPrint("HDMI Progressive Input:%x  \n", bytes[0]);
    }
    ReleaseI2cMaster(ext, in.i2cBlock);

    // A frame must fit one DMA buffer (a field each when interlaced, but the woven frame is read
    // from two of them as a whole frame's worth of lines): larger sizes cannot be captured, so
    // they are refused like a size the receiver has not locked on yet. Both factors are below
    // 2^14, so the product cannot wrap.
    if (width == 0 || height == 0 || width * height * 2 > kVideoBufferSize) {
        DbgPrint("image size error\n");
        return;
    }
    WriteDetectedRange(in.formats[0], width, height);
}

}  // namespace video
