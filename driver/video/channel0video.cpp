// Input 0's video pin: the constants that make it different from the other inputs, and its
// named entry points bound to them.
#include "driver/video/video_input.h"

namespace {

constexpr video::Input kInput = {
    .channel = 0,
    .i2cBlock = kI2cBlock[0],
    .formats = channel0VideoFormats,

    .connectTrace = "temp connect video0 :%x  \n",

    .setFormatTrace = "Setchannel0VideoFormat width:%d height:%d\n",
    .rateRegister = kRateRegister[0],
    .rateShift = kRateShift[0],
    .statusRegister = kChipStatusRegister[0],
    .statusTrace = "fpga chip0_int:%x\n",
    .traceDebugRegisters = true,

    .stateTrace = "video0: %s()  :ToState=%d : FromState=%d\n",
    .foreignOwnerTrace = "error pin resource :::::::::::::::::::video0: %s()  :ToState=%d : FromState=%d\n",
    .ownershipTrace = "error pin resource :::::::::::::::::::video0: %s()  :ToState=%d : FromState=%d\n",
    .acquireTrace = "video0:%s()\n",
    .stepTrace = "video0: %s()\n",
    .sourceFile = "channel0video",
    .runEndLine = __LINE__,
    .pauseEndLine = __LINE__,

    .frameTimeout = -500000,  // 50 ms
    .notRunKind = video::NotRunTrace::State,
    .notRunTrace = "channel0VideoDpcRoutine 0 state:%x\n",
    .noDataTrace = "channel0VideoDpcRoutine no data\n",
    .noPointerTrace = "channel0VideoDpcRoutine 1\n",
    .noBufferTrace = "channel0VideoDpcRoutine 2\n",
    .advanceBeforeAttempt = true,
    .clearFrameInfo = true,
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

void Detectchannel0VideoFormat(devext* ext) { video::DetectFormat(ext, kInput); }

void Setchannel0VideoFormat(devext* ext, ULONG width, ULONG height) { video::SetFormat(ext, kInput, width, height); }

void NTAPI channel0VideoFrameDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    (void)Dpc;
    (void)SystemArgument1;
    (void)SystemArgument2;
    video::FrameDpc(DeferredContext, kInput);
}

NTSTATUS NTAPI channel0VideoDpcRoutine(PKSPIN Pin) { return video::Process(kInput, Pin); }

constinit const KSPIN_DISPATCH channel0VideoPinDispatch = {
    video::DispatchCreateClose,  // Create
    video::DispatchCreateClose,  // Close
    channel0VideoDpcRoutine,     // Process
    nullptr,                     // Reset
    SetDataFormat,
    SetDeviceState,
    nullptr,  // Connect
    nullptr,  // Disconnect
    nullptr,  // Clock
    nullptr,  // Allocator
};
