// Input 3's video pin: the constants that make it different from the other inputs, and its
// named entry points bound to them.
#include "driver/video/video_input.h"

namespace {

constexpr video::Input kInput = {
    .channel = 3,
    .i2cBlock = kI2cBlock[3],
    .formats = channel3VideoFormats,

    .connectTrace = "temp connect video3 :%x  \n",

    .setFormatTrace = "Setchannel3VideoFormat width:%d height:%d\n",
    .rateRegister = kRateRegister[3],
    .rateShift = kRateShift[3],
    .statusRegister = kChipStatusRegister[3],
    .statusTrace = "fpga chip3_int:%x\n",
    .traceDebugRegisters = false,

    .stateTrace = "video3: %s()  :ToState=%d : FromState=%d\n",
    .foreignOwnerTrace = "error pin resource :::::::::::::::::::video3: %s()\t:ToState=%d : FromState=%d\n",
    .ownershipTrace = "error pin resource :::::::::::::::::::video3: %s()  :ToState=%d : FromState=%d\n",
    .acquireTrace = "%s()\n",
    .stepTrace = "%s()\n",
    .sourceFile = "channel3video",
    .runEndLine = __LINE__,
    .pauseEndLine = __LINE__,

    .frameTimeout = -5000000,  // 500 ms
    .notRunKind = video::NotRunTrace::PinAndState,
    .notRunTrace = "channel3VideoDpcRoutine 0 pin:%p runstate:%x\n",
    .noDataTrace = "channel3VideoDpcRoutine no data\n",
    .noPointerTrace = "channel3VideoDpcRoutine 1\n",
    .noBufferTrace = "channel3VideoDpcRoutine 2\n",
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

void Detectchannel3VideoFormat(devext* ext) { video::DetectFormat(ext, kInput); }

void Setchannel3VideoFormat(devext* ext, ULONG width, ULONG height) { video::SetFormat(ext, kInput, width, height); }

void NTAPI channel3VideoFrameDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    (void)Dpc;
    (void)SystemArgument1;
    (void)SystemArgument2;
    video::FrameDpc(DeferredContext, kInput);
}

NTSTATUS NTAPI channel3VideoDpcRoutine(PKSPIN Pin) { return video::Process(kInput, Pin); }

constinit const KSPIN_DISPATCH channel3VideoPinDispatch = {
    video::DispatchCreateClose,  // Create
    video::DispatchCreateClose,  // Close
    channel3VideoDpcRoutine,     // Process
    nullptr,                     // Reset
    SetDataFormat,
    SetDeviceState,
    nullptr,  // Connect
    nullptr,  // Disconnect
    nullptr,  // Clock
    nullptr,  // Allocator
};
