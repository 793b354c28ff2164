// The capture command's video stream: one input's capture pin in the detected (or chosen) format,
// every frame checked against the card's pattern and the frame before it, written, timed.
#include "tools/quadhdmi/capture_streams.h"
#include "platform/host/sched/sched.h"

#include "tools/quadhdmi/describe.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace qh::tool {

bool VideoStream::open(Session& session, uint32_t in, const std::string& format, std::string& error) {
    input = in;
    order_.restart();  // a new pin: the stream of frames starts afresh
    if (!open_filter(session, true, "temp connect video" + std::to_string(input) + " :", error)) return false;
    std::vector<client::PinInfo> pins = filter->pins();
    if (pins.empty() || pins[0].ranges.empty()) {
        error = "the video filter has no capture pin ranges";
        return false;
    }
    const std::vector<uint8_t>* chosen = &pins[0].ranges[0];
    if (!format.empty()) {
        chosen = nullptr;
        for (const auto& range : pins[0].ranges) {
            uint32_t w, h;
            int64_t d;
            if (video_range_size(range, w, h, d) && std::to_string(w) + "x" + std::to_string(h) == format) {
                chosen = &range;
                break;
            }
        }
        if (!chosen) {
            error = "no video range of " + format + " (see quadhdmi list)";
            return false;
        }
    }
    std::vector<uint8_t> data_format;
    NTSTATUS status = filter->intersect(0, {*chosen}, data_format);
    if (status != STATUS_SUCCESS || data_format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        error = "format intersection failed: " + status_text(status);
        return false;
    }
    KS_DATAFORMAT_VIDEOINFOHEADER vf;
    std::memcpy(&vf, data_format.data(), sizeof vf);
    width = uint32_t(vf.VideoInfoHeader.bmiHeader.biWidth);
    height = uint32_t(std::abs(vf.VideoInfoHeader.bmiHeader.biHeight));
    duration = vf.VideoInfoHeader.AvgTimePerFrame;
    frame_bytes = width * height * 2;
    buffer_bytes_ = frame_bytes;
    if (width == 0 || height == 0) {
        error = "the intersected format has no size";
        return false;
    }
    status = filter->create_pin(0, data_format, pin);
    if (status != STATUS_SUCCESS) {
        error = "creating the capture pin failed: " + status_text(status);
        return false;
    }
    // The format does not say whether the engine captures fields the driver weaves (1080i at 30
    // frames a second looks like 1080p30); the driver's record of the input does.
    interlaced = session.driver_input(input).interlaced;
    // The capture always gives the pin the graph's clock, so every frame must carry a time.
    generic.restart(frame_bytes, true);
    return true;
}

// Checks one frame against the card's pattern (every line of one frame, in order; woven, even
// lines from the top field and odd lines from the bottom field of that frame) and against the
// frame before it: a frame number must move on, and may go back only on a frame the driver
// flagged as a discontinuity (the source started again).
void VideoStream::check(const uint8_t* data, bool discontinuity) {
    const sim::FrameCheck c = sim::check_frame(data, size_t(width) * 2, height, input, interlaced);
    switch (c.fault) {
    case sim::FrameFault::None: break;
    case sim::FrameFault::Torn: ++torn; break;
    case sim::FrameFault::Mixed: ++mixed; break;
    case sim::FrameFault::Misplaced: ++misplaced; break;
    }
    const sim::FrameOrder::Result order = order_.next(c.frame, discontinuity);
    if (order.step == sim::FrameOrder::Step::Repeated) ++repeated;
    if (order.step == sim::FrameOrder::Step::Backwards) ++backwards;
    missed += order.skipped;
    if (c.fault != sim::FrameFault::None || sim::FrameOrder::bad(order.step)) ++bad_frames;
}

std::string VideoStream::bad_detail() const {
    if (bad_frames == 0) return {};
    std::string text;
    auto part = [&](const char* what, uint64_t n) {
        if (n == 0) return;
        text += (text.empty() ? " (" : ", ") + std::to_string(n) + " " + what;
    };
    part("torn", torn);
    part("mixed", mixed);
    part("misplaced", misplaced);
    part("short", short_frames);
    part("repeated", repeated);
    part("out of order", backwards);
    // What any source must satisfy, past what the stamps already said.
    const std::string rest = generic.detail();
    if (!rest.empty()) text += (text.empty() ? " (" : ", ") + rest.substr(2, rest.size() - 3);
    return text + ")";
}

void VideoStream::loop(uint64_t target, const std::atomic<bool>& stop, int64_t clock_start_ns) {
    auto idle_from = host::sched::Clock::now();
    while (!stop.load() && !g_capture_interrupted.load() && (target == 0 || frames.load() < target)) {
        client::CompletedFrame frame;
        const Wait wait = wait_next(frame, idle_from, frames != 0, "no frames (no signal?)", "frames stopped arriving",
                                    "a frame completed with ");
        if (wait == Wait::Idle) continue;
        if (wait == Wait::Ended) break;
        const KSSTREAM_HEADER& header = frame.stream_header();
        const bool generic_ok = generic.check(frame);
        if (header.DataUsed >= frame_bytes && frame.data.size() >= frame_bytes) {
            const uint64_t bad_before = bad_frames;
            check(frame.data.data(), (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0);
            if (!generic_ok && bad_frames == bad_before) ++bad_frames;
            if (writer && write_error.empty()) {
                if (writer->write_frame(frame.data.data())) {
                    ++written;
                } else {
                    write_error = std::strerror(errno);
                }
            }
            if (keep_last) last_frame.assign(frame.data.begin(), frame.data.begin() + frame_bytes);
        } else {
            ++short_frames;
            ++bad_frames;
        }
        if (frame.header.size() >= kHeaderBytes) {
            KS_FRAME_INFO info;
            std::memcpy(&info, frame.header.data() + sizeof(KSSTREAM_HEADER), sizeof info);
            driver_drops = uint64_t(info.DropCount);
            picture_number = uint64_t(info.PictureNumber);
        }
        if (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) {
            const double stamp_ns = double(clock_start_ns) + double(header.PresentationTime.Time) * 100.0;
            latency_ms.push_back((double(frame.completed_ns) - stamp_ns) / 1e6);
        }
        if (frames == 0) first_ns = frame.completed_ns;
        last_ns = frame.completed_ns;
        frames.fetch_add(1);
        if (target == 0 || frames.load() + pin->queued() < target + 1) requeue();
    }
}

void VideoStream::close() {
    release();
    if (writer && !writer->close() && write_error.empty()) write_error = std::strerror(errno);
    writer.reset();
}

}  // namespace qh::tool
