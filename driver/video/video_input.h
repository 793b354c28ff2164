// Everything that makes one video input different from the others, and the routines written
// once for all four inputs. channel0video.cpp … channel3video.cpp each hold one `Input` record
// and bind the input's named entry points to it.
#pragma once

#include "driver/hw/registers.h"
#include "driver/video/video.h"

namespace video {

// Size of the format returned by intersection: KSDATAFORMAT + KS_VIDEOINFOHEADER.
constexpr ULONG kFormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
// Every frame is stamped with 1/60 s whatever the signal's rate.
constexpr LONGLONG kFrameDuration = 166666;
// Stream header followed by KS_FRAME_INFO.
constexpr ULONG kHeaderWithFrameInfo = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
static_assert(kHeaderWithFrameInfo == 128);

// How the Process dispatch traces a call made while the pin is not running.
enum class NotRunTrace {
    State,       // "...%x" with VideoState
    PinAndState  // "...%p ...%x" with the pin and VideoState
};

struct Input {
    ULONG channel;                // 0..3: ChannelState, buffers, StartVideoDma/StopVideoDma
    ULONG i2cBlock;               // the input's I2C master
    KS_DATARANGE_VIDEO* formats;  // the pin's table; entry 0 is rewritten by detection

    // Detection.
    const char* connectTrace;  // "temp connect videoN :%x  \n"

    // Format setting.
    const char* setFormatTrace;  // "SetchannelNVideoFormat width:%d height:%d\n"
    ULONG rateRegister;          // FPGA register holding the measured frame rate …
    ULONG rateShift;             // … as the 8 bits starting here
    ULONG statusRegister;        // FPGA register traced after the rate
    const char* statusTrace;     // "fpga chipN_int:%x\n"
    bool traceDebugRegisters;    // also trace FPGA registers 0x40, 0x44, 0x48

    // Pin states.
    const char* stateTrace;         // "videoN: %s()  :ToState=%d : FromState=%d\n"
    const char* foreignOwnerTrace;  // error trace when another pin owns the input
    const char* ownershipTrace;     // error trace at ACQUIRE (already owned) and RUN (not owned)
    const char* acquireTrace;       // trace of HardwareAcquireResources
    const char* stepTrace;          // trace of HardwareReleaseResources, HardwareRun, HardwarePause
    const char* sourceFile;         // named in the "%s:%d %s() end\n" traces …
    ULONG runEndLine;               // … with these lines of that file
    ULONG pauseEndLine;

    // Frame delivery.
    LONGLONG frameTimeout;  // relative wait for FrameEvent, 100 ns units (negative)
    NotRunTrace notRunKind;
    const char* notRunTrace;
    const char* noDataTrace;     // no frame within the time-out
    const char* noPointerTrace;  // frame, but no stream pointer
    const char* noBufferTrace;   // frame, pointer without header or data
    bool advanceBeforeAttempt;   // order of the two calls when a pointer without data is skipped
    bool clearFrameInfo;         // clear all of KS_FRAME_INFO before writing its four fields
};

// The receiver's cable bit. A receiver that does not answer reads 0xFF on every register: that is
// no receiver and so no signal, not a cable with an interlaced 8191-pixel source.
inline bool CableConnected(UCHAR ioStatus) { return ioStatus != 0xFF && (ioStatus & kRxIoCableBit) != 0; }

// Format tables (video_formats.cpp).
void WriteDetectedRange(KS_DATARANGE_VIDEO& range, ULONG width, ULONG height);

// Detection (video_detect.cpp).
void DetectFormat(devext* ext, const Input& in);

// Format setting (video_format.cpp).
NTSTATUS NTAPI DispatchSetFormat(const Input& in, PKSPIN pin, const KSDATARANGE* dataRange);
void SetFormat(devext* ext, const Input& in, ULONG width, ULONG height);
void TakeFormatOfOwner(devext* ext, const Input& in, PKSPIN pin);

// Pin states (video_state.cpp).
NTSTATUS NTAPI DispatchSetState(const Input& in, PKSPIN pin, KSSTATE toState, KSSTATE fromState);
NTSTATUS NTAPI DispatchCreateClose(PKSPIN pin, PIRP irp);
// Fills the input's three video buffers with zeros, inside the buffers' gate: a stop or a removal
// under way frees them, and then nothing is written.
void ClearVideoBuffers(devext* ext, const Input& in);
NTSTATUS HardwareAcquireResources(devext* ext, const Input& in);
void HardwareReleaseResources(devext* ext, const Input& in);
NTSTATUS HardwareRun(devext* ext, const Input& in);
NTSTATUS HardwarePause(devext* ext, const Input& in);

// The signal as the receiver reports it (video_signal.cpp).
struct Signal {
    bool present;  // cable connected and the receiver locked (it reports a size)
    ULONG width;
    ULONG height;  // frame lines as detection counts them: twice the field's if interlaced
    bool interlaced;
};
// HwMutex held by the caller. `askCable`: read the cable state first (a separate transfer). Once
// the engine has completed a frame the cable was in for it, and an unlocked receiver reports no
// size either way, so the check that follows every frame leaves that transfer out.
Signal ReadSignal(devext* ext, const Input& in, bool askCable = true);
// Whether frames of the owner's format can be taken from the card now; a signal that does not
// fit marks a gap in the stream. `afterFrame`: called for a frame the engine completed (the cable
// is not asked; only such a check ends a gap). Passive level, inside the buffers' gate, HwMutex
// not held.
bool SignalFitsFormat(devext* ext, const Input& in, bool afterFrame = false);
// At RUN, with HwMutex held: a source of the format's size whose scan type changed since the
// format was set (or that had no cable then) decides Interlaced before the engine is programmed.
void RefreshScan(devext* ext, const Input& in);
// At RUN, with HwMutex held: the time one unit (frame, or field when interlaced) takes, from the
// FPGA's measured rate (or the rate found when the format was set), so that the interrupt routine
// can tell a stream that stopped and came back from a steady one; and the signal watch's start.
void StartWatch(devext* ext, const Input& in);
// Passive level, inside the buffers' gate: whether the signal may have changed since the receiver
// was last asked (the stream stopped and came back, or the FPGA measures another rate). Costs one
// register read, no I2C transfer.
bool SignalInDoubt(devext* ext, const Input& in);
// Whether the receiver's last answer covers the frame that completed at `units`: the answer
// covered a completion at or after it (see SignalFitsFormat) and the stream did not stop between.
bool SignalCheckCovers(devext* ext, const Input& in, ULONG units);
// The engine's unit (100 ns) as the FPGA measured it, or without a measurement the shortest one
// the formats describe (1/60 s). A receiver takes longer than this to lock anew.
LONGLONG SignalUnit(const ChannelState& ch);
// Whether the receiver is due to be asked again while frames keep coming.
bool SignalCheckDue(devext* ext, const Input& in);

// Frame delivery (video_delivery.cpp).
void FrameDpc(PVOID deferredContext, const Input& in);
NTSTATUS Process(const Input& in, PKSPIN pin);

// What one delivery copies, decided from the frame geometry and the client buffer alone so that
// the rules can be checked without a card. Nothing is ever read outside the source buffers
// (kVideoBufferSize each) nor written beyond FrameExtent.
struct CopyPlan {
    bool deliver;     // false: the frame is not copied and the buffer is kept for the next one
    ULONG lineBytes;  // bytes of one line (Width × 2)
    ULONG dstPitch;   // bytes between two frame lines in the client buffer
    ULONG lines;      // frame lines written, from the top
    ULONG dataUsed;   // DataUsed of the completed buffer
};
CopyPlan PlanCopy(ULONG width, ULONG height, bool interlaced, ULONG index, ULONG frameExtent);

}  // namespace video
