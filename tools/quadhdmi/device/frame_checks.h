// Checks of completed buffers that hold whatever the source: what a client can tell from the
// request's status, the stream header, the frame info after it and its own guard bytes, without
// knowing what the card was sent. The host tool runs them beside the simulated card's stamp
// checks; on Windows they are all there is.
#pragma once

#include "client/client.h"

#include <cstdint>
#include <string>

namespace qh::tool {

class VideoFrameChecks {
public:
    // A new pin: `frame_bytes` is the frame size of its connected format; `expect_time`: a master
    // clock was given, so every frame must carry a presentation time (without one the driver
    // stamps none, and then only stamps that do come are checked).
    void restart(uint32_t frame_bytes, bool expect_time);
    // One completed request. false when it holds a fault (counted in `bad`); a request cancelled
    // at stop is counted apart and is not a frame.
    bool check(const client::CompletedFrame& frame);

    uint64_t frames = 0;        // completed with STATUS_SUCCESS
    uint64_t cancelled = 0;     // STATUS_CANCELLED: given back at stop
    uint64_t dropped = 0;       // frames the driver's frame info says it dropped
    uint64_t bad = 0;           // requests with any of the faults below (counted once each)
    uint64_t failed = 0;        // completed with another status
    uint64_t wrong_size = 0;    // DataUsed not the connected format's frame size, or no frame info
    uint64_t bad_time = 0;      // a stamp missing where a clock was given, or not after the one before
    uint64_t out_of_order = 0;  // a PictureNumber that does not move on (unless a discontinuity restarts the count)
    uint64_t overwritten = 0;   // the client's guard bytes around header or data overwritten
    uint64_t unstamped = 0;     // frames without a presentation time (no clock)
    uint64_t discontinuities = 0;

    // "" when nothing was bad, else " (1 wrong size, 2 bad time, …)".
    std::string detail() const;

private:
    uint32_t frame_bytes_ = 0;
    bool expect_time_ = false;
    bool have_time_ = false;
    int64_t last_time_ = 0;
    int64_t last_picture_ = 0, last_drops_ = 0;
};

class AudioBufferChecks {
public:
    void restart();
    bool check(const client::CompletedFrame& frame);

    uint64_t buffers = 0, cancelled = 0, bytes = 0;
    uint64_t bad = 0;
    uint64_t failed = 0;
    uint64_t wrong_size = 0;  // DataUsed beyond FrameExtent or the buffer, or not whole sample frames
    uint64_t bad_time = 0;    // a presentation time not after the one before (the driver stamps none)
    uint64_t overwritten = 0;
    uint64_t flagged = 0;  // buffers flagged as data discontinuities

    std::string detail() const;

private:
    bool have_time_ = false;
    int64_t last_time_ = 0;
};

}  // namespace qh::tool
