// Format setting: accept the connection format the class matched, size the pin's framing to one
// frame, and record size, scan type and rate of the input.
#include "driver/public.h"
#include "driver/hw/i2c.h"
#include "driver/hw/registers.h"
#include "driver/video/video_input.h"

namespace video {

NTSTATUS NTAPI DispatchSetFormat(const Input& in, PKSPIN pin, const KSDATARANGE* dataRange) {
    devext* ext = DevextOf(pin);
    const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(dataRange);
    const auto* format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(pin->ConnectionFormat);

    // The class matched only the GUIDs; a connection format too short to hold a
    // KS_VIDEOINFOHEADER is refused before its header is read.
    NTSTATUS status = STATUS_NO_MATCH;
    if (IsEqualGUID(format->DataFormat.Specifier, kSpecifierVideoInfo) &&
        format->DataFormat.FormatSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        const KS_BITMAPINFOHEADER& wanted = format->VideoInfoHeader.bmiHeader;
        const KS_BITMAPINFOHEADER& offered = range->VideoInfoHeader.bmiHeader;
        if (wanted.biWidth == offered.biWidth && wanted.biHeight == offered.biHeight &&
            wanted.biCompression == offered.biCompression)
            status = STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) return status;

    // Private descriptor and framing, so that sizing the framing touches this pin only.
    status = _KsEdit(pin->Bag, reinterpret_cast<PVOID*>(const_cast<PKSPIN_DESCRIPTOR_EX*>(&pin->Descriptor)),
                     sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), QH_POOL_TAG);
    if (!NT_SUCCESS(status)) return status;
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    status =
        _KsEdit(pin->Bag, reinterpret_cast<PVOID*>(const_cast<PKSALLOCATOR_FRAMING_EX*>(&descriptor->AllocatorFraming)),
                sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), QH_POOL_TAG);
    if (!NT_SUCCESS(status)) return status;

    if (descriptor->AllocatorFraming) {
        const ULONG frameSize = range->VideoInfoHeader.bmiHeader.biSizeImage;
        auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming);
        KS_FRAMING_ITEM& item = framing->FramingItem[0];
        item.Frames = 1;
        item.PhysicalRange.MinFrameSize = frameSize;
        item.PhysicalRange.MaxFrameSize = frameSize;
        item.PhysicalRange.Stepping = 0;
        item.FramingRange.Range.MinFrameSize = frameSize;
        item.FramingRange.Range.MaxFrameSize = frameSize;
        item.FramingRange.Range.Stepping = 0;
    }
    pin->StreamHeaderSize = kHeaderWithFrameInfo;

    // The input's geometry, its buffers and its receiver belong to the pin that owns the input.
    // A pin created (or given a new format) while another pin owns it keeps its format to itself
    // until it acquires the input, so no other client's stream is copied with its size or has
    // its buffers cleared. While nobody owns the input the format takes effect at once.
    AcquireHwMutex(ext);
    ChannelState& ch = ext->Channel[in.channel];
    if (!ch.VideoPin || ch.VideoPin == pin) {
        SetFormat(ext, in, static_cast<ULONG>(range->VideoInfoHeader.bmiHeader.biWidth),
                  static_cast<ULONG>(range->VideoInfoHeader.bmiHeader.biHeight));
        ch.FormatPin = pin;
    }
    ReleaseHwMutex(ext);
    return STATUS_SUCCESS;
}

// Called with HwMutex held by the pin that has just claimed the input: if another pin's format
// was set since this pin's own, this pin's format (checked when it was set) takes effect now.
void TakeFormatOfOwner(devext* ext, const Input& in, PKSPIN pin) {
    ChannelState& ch = ext->Channel[in.channel];
    if (ch.FormatPin == pin || !pin->ConnectionFormat) return;
    const auto* format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(pin->ConnectionFormat);
    SetFormat(ext, in, static_cast<ULONG>(format->VideoInfoHeader.bmiHeader.biWidth),
              static_cast<ULONG>(format->VideoInfoHeader.bmiHeader.biHeight));
    ch.FormatPin = pin;
}

void SetFormat(devext* ext, const Input& in, ULONG width, ULONG height) {
    ChannelState& ch = ext->Channel[in.channel];
    UCHAR bytes[2];

    DbgPrint(in.setFormatTrace, width, height);
    SharedWrite(ch.Interlaced, ULONG(0));
    SharedWrite(ch.FrameRate, ULONG(60));
    SharedWrite(ch.Width, width);
    SharedWrite(ch.Height, height);
    SharedWrite(ch.AvgTimePerFrame, kFrameDuration);

    // HwMutex keeps the window for the FPGA's registers; the input's bus is held across the
    // receiver's answers, so that they describe one signal.
    AcquireHwMutex(ext);
    AcquireI2cMaster(ext, in.i2cBlock);
    bytes[0] = 0;
    I2c_Read(ext, in.i2cBlock, kRxIoMap, kRxIoCable, bytes, 1);
    if (!CableConnected(bytes[0])) {
        ReleaseI2cMaster(ext, in.i2cBlock);
        DbgPrint(" HDMI cable is not connect 0!!!\n");
        // Without a signal nothing stale may be delivered: the buffers read as black.
        ClearVideoBuffers(ext, in);
        SharedWrite(ch.SignalWidth, ULONG(0));
        SharedWrite(ch.SignalHeight, ULONG(0));
        ReleaseHwMutex(ext);
        return;
    }

    bytes[0] = 0;
    I2c_Read(ext, in.i2cBlock, kRxHdmiMap, kRxHdmiScan, bytes, 1);
    ULONG interlaced;
    if (bytes[0] & kRxHdmiInterlacedBit) {
        DbgPrint("HDMI Interlaced Input:%x  \n", bytes[0]);
        interlaced = 1;
        const UCHAR write[2] = {kRxIoScanSetup, kRxIoScanInterlaced};
        I2c_Write(ext, in.i2cBlock, kRxIoMap, write, 2);
    } else {
        DbgPrint("HDMI Progressive Input:%x  \n", bytes[0]);
        interlaced = 0;
        const UCHAR write[2] = {kRxIoScanSetup, kRxIoScanProgressive};
        I2c_Write(ext, in.i2cBlock, kRxIoMap, write, 2);
    }

    bytes[0] = bytes[1] = 0;
    I2c_Read(ext, in.i2cBlock, kRxCpMap, kRxCpFieldPeriod, bytes, 2);
    const ULONG tmpB = RxSize13(bytes[0], bytes[1]);
    ULONG receiverFps = 0;
    if (tmpB != 0) receiverFps = ((tmpB + 103662) / tmpB) & 0xFF;
    DbgPrint("HDMI tmp_B:%x fps:%d  \n", tmpB, receiverFps);

    const ULONG rates = ReadRegister(ext, in.rateRegister);
    const ULONG fps = (rates >> in.rateShift) & 0xFF;
    DbgPrint("fpga == HDMI tmp_B:%x fps:%d  \n", rates, fps);
    DbgPrint(in.statusTrace, ReadRegister(ext, in.statusRegister));
    if (in.traceDebugRegisters) {
        DbgPrint("=============fpga 0x40:%x  \n", ReadRegister(ext, kDebugRegister[0]));
        DbgPrint("=============fpga 0x44:%x  \n", ReadRegister(ext, kDebugRegister[1]));
        DbgPrint("=============fpga 0x48:%x  \n", ReadRegister(ext, kDebugRegister[2]));
    }
    // The signal this format is set against, for the check of every frame.
    const Signal signal = ReadSignal(ext, in);
    ReleaseI2cMaster(ext, in.i2cBlock);
    SharedWrite(ch.SignalWidth, signal.present ? signal.width : ULONG(0));
    SharedWrite(ch.SignalHeight, signal.present ? signal.height : ULONG(0));
    ReleaseHwMutex(ext);

    SharedWrite(ch.Interlaced, interlaced);
    SharedWrite(ch.FrameRate, fps >> interlaced);
}

}  // namespace video
