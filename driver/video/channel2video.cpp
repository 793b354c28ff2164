// Input 2's video pin: the constants that make it different from the other inputs, and its
// named entry points bound to them.
#include "driver/video/video_input.h"

namespace {

constexpr video::Input kInput = {
    .channel = 2,
    .i2cBlock = kI2cBlock[2],
    .formats = channel2VideoFormats,

    .connectTrace = "temp connect video2 :%x  \n",

    .setFormatTrace = "Setchannel2VideoFormat width:%d height:%d\n",
    .rateRegister = kRateRegister[2],
    .rateShift = kRateShift[2],
    .statusRegister = kChipStatusRegister[2],
    .statusTrace = "fpga chip2_int:%x\n",
    .traceDebugRegisters = false,

    .stateTrace = "video2: %s()  :ToState=%d : FromState=%d\n",
    .foreignOwnerTrace = "error pin resource :::::::::::::::::::video2: %s()  :ToState=%d : FromState=%d\n",
    .ownershipTrace = "error pin resource :::::::::::::::::::video2: %s()  :ToState=%d : FromState=%d\n",
    .acquireTrace = "video2:%s()\n",
    .stepTrace = "video2:%s()\n",
    .sourceFile = "channel2video",
    .runEndLine = __LINE__,
    .pauseEndLine = __LINE__,

    .frameTimeout = -5000000,  // 500 ms
    .notRunKind = video::NotRunTrace::PinAndState,
    .notRunTrace = "channel2VideoDpcRoutine 0 pin:%p runstate:%x\n",
    .noDataTrace = "channel2VideoDpcRoutine no data\n",
    .noPointerTrace = "channel2VideoDpcRoutine 1\n",
    .noBufferTrace = "channel2VideoDpcRoutine 2\n",
    .advanceBeforeAttempt = false,
    .clearFrameInfo = false,
};

NTSTATUS NTAPI SetDataFormat(PKSPIN Pin, PKSDATAFORMAT OldFormat, PKSMULTIPLE_ITEM OldAttributeList,
                             const KSDATARANGE* DataRange, const KSATTRIBUTE_LIST* AttributeRange) {
    (void)OldFormat;
    (void)OldAttributeList;
    (void)AttributeRange;
    return video::DispatchSetFormat(kInput, Pin, DataRange);
}

NTSTATUS NTAPI SetDeviceState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState) {
    return video::DispatchSetState(kInput, Pin, ToState, FromState);
}

}  // namespace

void Detectchannel2VideoFormat(devext* ext) { video::DetectFormat(ext, kInput); }

void Setchannel2VideoFormat(devext* ext, ULONG width, ULONG height) { video::SetFormat(ext, kInput, width, height); }

void NTAPI channel2VideoFrameDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    (void)Dpc;
    (void)SystemArgument1;
    (void)SystemArgument2;
    video::FrameDpc(DeferredContext, kInput);
}

NTSTATUS NTAPI channel2VideoDpcRoutine(PKSPIN Pin) { return video::Process(kInput, Pin); }

constinit const KSPIN_DISPATCH channel2VideoPinDispatch = {
    video::DispatchCreateClose,  // Create
    video::DispatchCreateClose,  // Close
    channel2VideoDpcRoutine,     // Process
    nullptr,                     // Reset
    SetDataFormat,
    SetDeviceState,
    nullptr,  // Connect
    nullptr,  // Disconnect
    nullptr,  // Clock
    nullptr,  // Allocator
};
