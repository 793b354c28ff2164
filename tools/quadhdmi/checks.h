// What the tool accepts on its command line, checked before the card is plugged in: numbers
// within their ranges (no sign, no wrap, no NaN or infinity, no zero standing for a default),
// sources the card can carry, and output files that can be written and do not collide.
#pragma once

#include "sim/card.h"
#include "tools/quadhdmi/device/option_checks.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qh::tool {

// Why the card cannot carry this source, or "" when it can: YUY2 needs an even width of at least
// two pixels, the receiver reports 13-bit sizes, and a frame must fit one 4 MiB DMA buffer.
std::string uncarriable(const sim::SourceConfig& source);

// One file the command will write.
struct OutputFile {
    std::string option;  // "--video", "--audio", "--snapshot", "--trace"
    std::string path;
};
// Every file distinct (also through links to one file) and writable: an existing file that can
// be written, or a new one in a folder that can. On failure `error` names the file and the reason.
bool check_outputs(const std::vector<OutputFile>& files, std::string& error);

}  // namespace qh::tool
