// The quadhdmi commands. Each returns the process exit code.
#pragma once

#include "tools/quadhdmi/device/device_commands.h"
#include "tools/quadhdmi/options.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qh::tool {

class Session;

// Exit statuses. When several apply, the first of this list is given (the messages name all):
//   3  the verifier found a fault of the driver: a leak at the device's removal, or a diagnostic
//      left recorded at the end;
//   1  the command failed: a file could not be written, a frame or buffer was bad, an input
//      delivered nothing, a pin did not run, the capture did not resume on a card put back, ...;
//   4  the card's removal cut the capture short (and --replug-after did not resume it); what was
//      written up to then is whole and checked;
//   0  done as asked (also a capture that a card put back resumed).
// 2 stands alone: the command line was refused before the card was plugged in.
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;
constexpr int kExitVerifier = 3;
constexpr int kExitRemoved = 4;
constexpr const char* kExitStatusHelp =
    "Exit status (when several apply, the first of this list):\n"
    "  3  the verifier found a fault of the driver (a leak at removal, a diagnostic)\n"
    "  1  the command failed (a file not written, a bad frame or buffer, an input that delivered nothing,\n"
    "     a capture that did not resume)\n"
    "  4  the card's removal cut the capture short and it did not resume (what was written is whole)\n"
    "  0  done as asked, also when a card put back resumed the capture\n"
    "  2  (alone) the command line was refused before anything ran";

// The card from the options, with the trace destination opened: what every command does before
// it plugs the card in. False (after a message) if an option is malformed.
bool prepare_run(const CommonOptions& common, sim::CardConfig& config, std::unique_ptr<TraceOutput>& trace);
// PnP start of the session's device; false (after a message naming the status) if it failed.
bool start_session(Session& session);

int run_start(const CommonOptions& common);
int run_list(const CommonOptions& common);

struct CaptureOptions {
    std::vector<uint32_t> inputs;  // -i, repeatable
    std::string input_list;        // --inputs 0,1,2,3
    uint64_t frames = 0;           // 0: not given
    double seconds = 0;            // 0: not given
    std::string video;             // .yuv or .y4m; %d for the input
    std::string audio;             // .wav
    std::string snapshot;          // .png
    std::string format;            // WxH: the range to intersect with (default: entry 0)
    uint32_t buffers = 8;          // video stream buffers kept queued per pin (audio: four times as many)
    bool quiet = false;            // no progress line
    bool stats = false;            // the driver's own CPU time and copied bytes per pin
    // Seconds into the capture (0: never): the card pulled out, put back, the device's resources
    // rebalanced, the system put to sleep (for half a second).
    double unplug_after = 0;
    double replug_after = 0;
    double rebalance_after = 0;
    double sleep_after = 0;
};
int run_capture(const CommonOptions& common, CaptureOptions options);

int run_reg_read(const CommonOptions& common, const std::string& offset);
int run_reg_write(const CommonOptions& common, const std::string& offset, const std::string& value);

struct StatsOptions {
    uint32_t input = 1;
    uint64_t frames = 0;  // stream this many frames first, and ask while still running
};
int run_stats(const CommonOptions& common, const StatsOptions& options);

}  // namespace qh::tool
