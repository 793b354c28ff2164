// Input 1's video pin: the constants that make it different from the other inputs, and its
// named entry points bound to them.
#include "driver/video/video_input.h"

namespace {

constexpr video::Input kInput = {
    .channel = 1,
    .i2cBlock = kI2cBlock[1],
    .formats = channel1VideoFormats,

    .connectTrace = "temp connect video1 :%x  \n",

    .setFormatTrace = "Setchannel1VideoFormat width:%d height:%d\n",
    .rateRegister = kRateRegister[1],
    .rateShift = kRateShift[1],
    .statusRegister = kChipStatusRegister[1],
    .statusTrace = "fpga chip1_int:%x\n",
    .traceDebugRegisters = false,

    .stateTrace = "video1: %s()  :ToState=%d : FromState=%d\n",
    .foreignOwnerTrace = "error pin resource :::::::::::::::::::video1: %s()  :ToState=%d : FromState=%d\n",
    .ownershipTrace = "error pin resource :::::::::::::::::::video1: %s()  :ToState=%d : FromState=%d\n",
    .acquireTrace = "video1:%s()\n",
    .stepTrace = "video1:%s()\n",
    .sourceFile = "channel1video",
    .runEndLine = __LINE__,
    .pauseEndLine = __LINE__,

    .frameTimeout = -5000000,  // 500 ms
    .notRunKind = video::NotRunTrace::PinAndState,
    .notRunTrace = "channel1VideoDpcRoutine 0 pin:%p runstate:%x\n",
    .noDataTrace = "channel1VideoDpcRoutine no data\n",
    .noPointerTrace = "channel1VideoDpcRoutine 1\n",
    .noBufferTrace = "channel1VideoDpcRoutine 2\n",
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

void Detectchannel1VideoFormat(devext* ext) { video::DetectFormat(ext, kInput); }

void Setchannel1VideoFormat(devext* ext, ULONG width, ULONG height) { video::SetFormat(ext, kInput, width, height); }

void NTAPI channel1VideoFrameDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    (void)Dpc;
    (void)SystemArgument1;
    (void)SystemArgument2;
    video::FrameDpc(DeferredContext, kInput);
}

NTSTATUS NTAPI channel1VideoDpcRoutine(PKSPIN Pin) { return video::Process(kInput, Pin); }

constinit const KSPIN_DISPATCH channel1VideoPinDispatch = {
    video::DispatchCreateClose,  // Create
    video::DispatchCreateClose,  // Close
    channel1VideoDpcRoutine,     // Process
    nullptr,                     // Reset
    SetDataFormat,
    SetDeviceState,
    nullptr,  // Connect
    nullptr,  // Disconnect
    nullptr,  // Clock
    nullptr,  // Allocator
};
