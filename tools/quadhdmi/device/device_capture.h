// capture against any device: the streams a capture application runs (intersect, create the pin
// with the format, keep buffers queued, run, stop), every completed buffer put through the checks
// that hold for any source (frame_checks.h), written to YUV4MPEG2, raw YUY2 and WAV files. What
// needs the simulated card (its stamps, the machine's events, the host's cost figures and
// trace) is the host tool's own capture.
#pragma once

#include "client/client.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qh::tool {

struct DeviceCaptureOptions {
    std::vector<uint32_t> inputs;  // -i, repeatable
    std::string input_list;        // --inputs 0,1,2,3
    uint64_t frames = 0;           // 0: not given
    double seconds = 0;            // 0: not given
    std::string video;             // .yuv or .y4m; %d for the input
    std::string audio;             // .wav
    std::string format;            // WxH: the range to intersect with (default: range 0)
    uint32_t buffers = 8;          // video buffers kept queued per pin (audio: four times as many)
    bool quiet = false;            // no progress line
};

// What can be refused before any device is looked at: the inputs, the files (distinct, in folders
// that exist, not folders themselves). Fills in the inputs and the default length. "" when
// accepted, else the reason.
std::string check_device_capture(DeviceCaptureOptions& options);

// Runs the capture the options (checked) ask for. `clock`: the graph's master clock, or null when
// none can be made (the driver then stamps no presentation times, and none are required).
// Returns 0, or 1 when an input failed (named on standard error).
int run_device_capture(client::Device& device, const DeviceCaptureOptions& options,
                       std::shared_ptr<client::Clock> clock);

}  // namespace qh::tool
