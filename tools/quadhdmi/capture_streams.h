// The capture command's streams: one pin of one input, run the way a capture application runs it
// (intersect, create the pin with the format, give it the graph's clock, keep buffers queued,
// run), with what arrives checked against the card's pattern and written to its file. Each
// stream's loop runs on a thread of its own; the command's run loop (capture.cpp) watches them.
#pragma once

#include "client/client.h"
#include "platform/host/sched/sched.h"
#include "sim/pattern.h"
#include "tools/quadhdmi/device/frame_checks.h"
#include "tools/quadhdmi/media.h"
#include "tools/quadhdmi/session.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qh::tool {

// Set when the user interrupts the capture (SIGINT): every stream's loop ends.
extern std::atomic<bool> g_capture_interrupted;

// What a stream is whatever its medium: the filter and pin of its input, and what the summary
// says of it besides its counts.
class PinStream {
public:
    uint32_t input = 0;
    std::unique_ptr<client::Filter> filter;
    std::unique_ptr<client::Pin> pin;
    std::string note;                // why the stream ended early, if it did (read once joined)
    std::string silence;             // why the input may deliver nothing, from the driver's trace
    std::string write_error;         // the first failure of the stream's file; nothing is written after it
    std::atomic<bool> ended{false};  // the stream's thread gave up; the run loop polls this

    // Master clock, then PAUSE, `buffers` buffers queued (a stopped pin refuses them), RUN.
    NTSTATUS run(std::shared_ptr<client::Clock> clock, uint32_t buffers);
    // Stops and closes the pin and the filter; the file stays open (a capture may resume).
    void release();

protected:
    PinStream(uint32_t buffer_bytes, uint32_t header_bytes)
        : buffer_bytes_(buffer_bytes), header_bytes_(header_bytes) {}

    // The next completion of the pin, waited for a short while so that the loop can look at its
    // stop conditions: Idle when none came yet; Ended (with `note` set) when none came for
    // kStallLimit, or one completed with a failure. `idle_from` is when the wait began (reset by
    // each completion).
    enum class Wait { Completed, Idle, Ended };
    Wait wait_next(client::CompletedFrame& frame, host::sched::Clock::time_point& idle_from, bool delivered_any,
                   const char* silent_note, const char* stopped_note, const char* failed_note);
    // Opens the input's filter of the medium and reads from the driver's trace of the opening why
    // the input may deliver nothing (`connect_prefix`: the line the driver traces its cable byte in).
    bool open_filter(Session& session, bool video, const std::string& connect_prefix, std::string& error);
    NTSTATUS requeue() { return pin->submit(buffer_bytes_, header_bytes_); }
    uint32_t buffer_bytes_;

private:
    uint32_t header_bytes_;
};

class VideoStream : public PinStream {
public:
    VideoStream() : PinStream(0, kHeaderBytes) {}

    uint32_t width = 0, height = 0, frame_bytes = 0;
    int64_t duration = 0;
    bool interlaced = false;
    std::unique_ptr<VideoWriter> writer;
    bool keep_last = false;

    // Results.
    std::atomic<uint64_t> frames{0};
    uint64_t missed = 0;      // frame numbers skipped between delivered frames
    uint64_t bad_frames = 0;  // frames with any of the faults below (counted once each)
    uint64_t torn = 0, mixed = 0, misplaced = 0, short_frames = 0;  // what the stamps say (sim::FrameFault)
    uint64_t repeated = 0;                                          // a frame number delivered again
    uint64_t backwards = 0;       // a smaller frame number without the discontinuity flag
    VideoFrameChecks generic;     // what holds for any source (frame_checks.h)
    uint64_t driver_drops = 0;    // DropCount of the last frame info
    uint64_t held_back = 0;       // frames the driver held back as possibly torn, repeated or mixed
    uint64_t picture_number = 0;  // PictureNumber of the last frame info
    std::vector<double> latency_ms;
    std::vector<uint8_t> last_frame;
    uint64_t written = 0;  // frames in the video file
    uint64_t first_ns = 0, last_ns = 0;

    // Opens the filter, intersects, creates the pin. `format` "WxH" picks a range, "" range 0.
    bool open(Session& session, uint32_t in, const std::string& format, std::string& error);
    // Waits for completed frames and queues them again until `stop`, the target (0: none) or a
    // stall ends it.
    void loop(uint64_t target, const std::atomic<bool>& stop, int64_t clock_start_ns);
    // "" when every frame was good, else what was wrong with the bad ones.
    std::string bad_detail() const;
    // Releases the pin and closes the file.
    void close();

private:
    static constexpr uint32_t kHeaderBytes = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    void check(const uint8_t* data, bool discontinuity);
    sim::FrameOrder order_;
};

class AudioStream : public PinStream {
public:
    AudioStream();

    WavWriter wav;
    bool write = false;
    sim::AudioIndexCheck checker;
    std::atomic<uint64_t> bytes{0};
    uint64_t flagged = 0;       // buffers marked as data discontinuities by the driver
    AudioBufferChecks generic;  // what holds for any source (frame_checks.h)

    bool open(Session& session, uint32_t in, std::string& error);
    void loop(uint64_t target_bytes, const std::atomic<bool>& stop);
    void close();
};

}  // namespace qh::tool
