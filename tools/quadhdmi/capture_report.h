// What the capture command prints about its streams: the progress line while it runs, the
// summary once they are closed, and the driver's own CPU time per pin (--stats).
#pragma once

#include "tools/quadhdmi/capture_streams.h"
#include "tools/quadhdmi/commands.h"

#include <memory>
#include <string>
#include <vector>

namespace qh::tool {

using VideoStreams = std::vector<std::unique_ptr<VideoStream>>;
using AudioStreams = std::vector<std::unique_ptr<AudioStream>>;

std::string progress_line(const VideoStreams& video, const AudioStreams& audio, double elapsed);

// The driver's cost as the host measured it, per pin and per interrupt routine. Read while the
// pins still exist, before they stop: what the driver does at STOP is not per-frame work.
std::string driver_stats(const VideoStreams& video, const AudioStreams& audio, double elapsed);

// Prints one line per stream, names every failure on standard error (the files written, a
// snapshot, an input that delivered nothing, bad frames, audio breaks no flag announced) and
// returns kExitFailed when there was one, else 0. `cut_short`: the card's removal ended the
// capture, so streams that stopped with it are not failures for that alone.
int report_streams(const CaptureOptions& options, bool several, bool cut_short, double elapsed,
                   const VideoStreams& video, const AudioStreams& audio);

}  // namespace qh::tool
