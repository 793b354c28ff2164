// The signal check of the video pins. The engine writes whatever the receiver passes on, with the
// geometry of the signal, not of the pin's format: a source unplugged or switched to another mode
// while the pin runs would otherwise have its frames copied with the old size (wrong lines
// delivered as good frames), or leave an interlaced pin waiting for a bottom field that no
// longer comes. Frames are therefore taken from the card only while the receiver reports the
// signal the format describes.
#include "driver/hw/i2c.h"
#include "driver/hw/registers.h"
#include "driver/video/video_input.h"

namespace video {

namespace {

const char* ScanLetter(bool interlaced) { return interlaced ? "i" : "p"; }

// The receiver is asked at least this often while frames come (100 ns units): a source that
// changes without the stream stopping and without another rate is noticed within this time.
constexpr LONGLONG kWatchPeriod = 5000000;  // 500 ms

// What the FPGA measures of the signal now: units (frames, or fields) per second, 0 without one.
ULONG MeasuredRate(devext* ext, const Input& in) { return (ReadRegister(ext, in.rateRegister) >> in.rateShift) & 0xFF; }

// A signal of the format's own size, or of the size the format was set against (a client may
// choose a format of another size; it goes on getting what it chose while that signal stays).
bool SizeFits(const Signal& signal, const ChannelState& ch) {
    if (signal.width == SharedRead(ch.Width) && signal.height == SharedRead(ch.Height)) return true;
    return signal.width == SharedRead(ch.SignalWidth) && signal.height == SharedRead(ch.SignalHeight);
}

// Whether an answer of the receiver given now speaks for the completion at `completedAt` (100 ns):
// it comes within a unit of it. A receiver locks anew for longer than a unit (which is what makes
// a change of mode show as a stop), so it cannot have left that frame's signal and come back to
// the format's meanwhile. While frames come, the latest completion is always that recent.
bool SpeaksFor(const ChannelState& ch, LONGLONG completedAt) { return Now100ns() - completedAt <= SignalUnit(ch); }

}  // namespace

Signal ReadSignal(devext* ext, const Input& in, bool askCable) {
    Signal signal = {};
    UCHAR bytes[5] = {};
    if (askCable) {
        I2c_Read(ext, in.i2cBlock, kRxIoMap, kRxIoCable, bytes, 1);
        if (!CableConnected(bytes[0])) return signal;
    }
    // Width, lines of a field or frame and the scan bit (five registers from kRxHdmiWidth) in one
    // transfer. Its first chunk carries the width's high byte and its second the rest, so a
    // receiver that changes its lock in between gives the new signal's reading under the old
    // one's high byte: the new signal itself, or a width neither signal had. A failed read leaves
    // zeros: no size.
    I2c_Read(ext, in.i2cBlock, kRxHdmiMap, kRxHdmiWidth, bytes, 5);
    signal.width = RxSize13(bytes[0], bytes[1]);
    const ULONG lines = RxSize13(bytes[2], bytes[3]);
    signal.interlaced = (bytes[4] & kRxHdmiInterlacedBit) != 0;
    signal.height = signal.interlaced ? lines * 2 : lines;
    // Until the receiver has locked on the signal it reports no size, and nothing arrives.
    signal.present = signal.width != 0 && signal.height != 0;
    return signal;
}

bool SignalFitsFormat(devext* ext, const Input& in, bool afterFrame) {
    ChannelState& ch = ext->Channel[in.channel];
    // The answer covers the completions recorded before the question, if it speaks for the
    // latest of them (see SpeaksFor): a check long after it, a time-out's say, may find the
    // format's signal back while those frames were written in another mode.
    const ULONG units = VideoEvent::Units(SharedRead(ch.VideoEvent));
    const LONGLONG latest = SharedRead(ch.VideoEventTime);
    // Each transfer is polled to its end on the input's own bus (a few hundred microseconds at
    // 100 kHz): the check after a frame is one transfer of three chunks.
    AcquireI2cMaster(ext, in.i2cBlock);
    const Signal signal = ReadSignal(ext, in, !afterFrame);
    ReleaseI2cMaster(ext, in.i2cBlock);

    const ULONG width = SharedRead(ch.Width);
    const ULONG height = SharedRead(ch.Height);
    const bool interlaced = SharedRead(ch.Interlaced) != 0;
    const bool fits = signal.present && SizeFits(signal, ch) && signal.interlaced == interlaced;
    SharedWrite(ch.SignalCheckedAt, Now100ns());
    if (SpeaksFor(ch, latest)) SharedWrite(ch.SignalCheckedUnit, units);
    if (fits) SharedWrite(ch.SignalRate, MeasuredRate(ext, in));
    if (!fits) {
        SharedWrite(ch.SignalFitAt, LONGLONG(0));
    } else if (SharedRead(ch.SignalFitAt) == 0 ||
               LONG(SharedRead(ch.SignalFitAsked) - SharedRead(ch.VideoGapUnit)) < 0) {
        SharedWrite(ch.SignalFitAsked, units);
        SharedWrite(ch.SignalFitAt, Now100ns());
    }
    if (!fits) {
        // Whatever comes next no longer continues the frames delivered so far.
        SharedWrite(ch.SignalGap, ULONG(1));
        if (!SharedRead(ch.SignalMismatch)) {
            SharedWrite(ch.SignalMismatch, ULONG(1));
            if (signal.present)
                DbgPrint("video%d: signal %dx%d%s does not fit the format %dx%d%s, frames held back\n", in.channel,
                         signal.width, signal.height, ScanLetter(signal.interlaced), width, height,
                         ScanLetter(interlaced));
            else
                DbgPrint("video%d: no signal, frames held back\n", in.channel);
        }
    } else if (afterFrame && SharedRead(ch.SignalMismatch)) {
        // Only a frame ends a gap: the frame that tells is passed over (the engine may have
        // written it before the receiver locked on the returning signal), and frames are taken
        // again from the next. A check on a time-out, with no frame, leaves that to the first one.
        SharedWrite(ch.SignalMismatch, ULONG(0));
        DbgPrint("video%d: signal fits the format again\n", in.channel);
    }
    return fits;
}

void RefreshScan(devext* ext, const Input& in) {
    ChannelState& ch = ext->Channel[in.channel];
    const Signal signal = ReadSignal(ext, in);
    const bool interlaced = SharedRead(ch.Interlaced) != 0;
    // Only a source of a size that fits decides: any other one gets no frames anyway, and an
    // unlocked receiver reports every signal as progressive.
    if (!signal.present || !SizeFits(signal, ch) || signal.interlaced == interlaced) return;
    DbgPrint("video%d: source now %s at the format's size\n", in.channel,
             signal.interlaced ? "interlaced" : "progressive");
    // The receiver is set up for the scan type as at format setting.
    const UCHAR write[2] = {kRxIoScanSetup, signal.interlaced ? kRxIoScanInterlaced : kRxIoScanProgressive};
    I2c_Write(ext, in.i2cBlock, kRxIoMap, write, 2);
    const ULONG fps = MeasuredRate(ext, in);
    SharedWrite(ch.Interlaced, ULONG(signal.interlaced ? 1 : 0));
    SharedWrite(ch.FrameRate, fps >> (signal.interlaced ? 1 : 0));
}

}  // namespace video

namespace video {

void StartWatch(devext* ext, const Input& in) {
    ChannelState& ch = ext->Channel[in.channel];
    const ULONG interlaced = SharedRead(ch.Interlaced) != 0 ? 1 : 0;
    // The FPGA measures units per second: fields for an interlaced signal.
    const ULONG measured = MeasuredRate(ext, in);
    const ULONG rate = measured != 0 ? measured : SharedRead(ch.FrameRate) << interlaced;
    SharedWrite(ch.VideoUnitPeriod, rate != 0 ? ULONG(10000000 / rate) : ULONG(0));
    // The run's first completion follows nothing, which is a gap: its frame is checked.
    SharedWrite(ch.SignalCheckedUnit, ULONG(0));
    SharedWrite(ch.SignalCheckedAt, Now100ns());
    SharedWrite(ch.SignalRate, measured);
    SharedWrite(ch.SignalFitAt, LONGLONG(0));
}

LONGLONG SignalUnit(const ChannelState& ch) {
    const ULONG period = SharedRead(ch.VideoUnitPeriod);
    return period != 0 ? LONGLONG(period) : LONGLONG(166666);
}

bool SignalInDoubt(devext* ext, const Input& in) {
    ChannelState& ch = ext->Channel[in.channel];
    // The stream stopped and came back since the receiver was last asked: a receiver that locked
    // again may have locked on another mode.
    if (LONG(SharedRead(ch.VideoGapUnit) - SharedRead(ch.SignalCheckedUnit)) > 0) return true;
    // The FPGA measures the rate of what arrives: another rate is another signal (a unit either
    // way is measurement, not a change).
    const ULONG rate = MeasuredRate(ext, in), known = SharedRead(ch.SignalRate);
    return rate == 0 || rate + 1 < known || known + 1 < rate;
}

bool SignalCheckDue(devext* ext, const Input& in) {
    return Now100ns() - SharedRead(ext->Channel[in.channel].SignalCheckedAt) >= kWatchPeriod;
}

bool SignalCheckCovers(devext* ext, const Input& in, ULONG units) {
    const ChannelState& ch = ext->Channel[in.channel];
    // The latest completion is read before the gap: the interrupt routine records a gap before
    // the completion that ends it, so the gap read is never older than that completion.
    const LONGLONG latest = SharedRead(ch.VideoEventTime);
    const ULONG gap = SharedRead(ch.VideoGapUnit);
    if (LONG(gap - units) > 0) return false;
    if (LONG(SharedRead(ch.SignalCheckedUnit) - units) >= 0) return true;
    // An answer that found the format's signal, asked once this frame's stream had begun and
    // followed by another completion of that stream, speaks for every frame of it, however late
    // it came: the receiver held one lock from before the answer to after it. An answer followed
    // by no completion of its stream says nothing of it: the receiver may have locked anew.
    const LONGLONG fitAt = SharedRead(ch.SignalFitAt);
    return fitAt != 0 && LONG(SharedRead(ch.SignalFitAsked) - gap) >= 0 && latest > fitAt;
}

}  // namespace video
