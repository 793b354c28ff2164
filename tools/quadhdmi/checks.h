// What the tool accepts on its command line, checked before the card is plugged in: numbers
// within their ranges (no sign, no wrap, no NaN or infinity, no zero standing for a default),
// sources the card can carry, and output files that can be written and do not collide.
#pragma once

#include "sim/card.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qh::tool {

// Decimal digits only (or 0x followed by hexadecimal digits when `hex`), between min and max.
std::optional<uint64_t> parse_whole(const std::string& text, uint64_t min, uint64_t max, bool hex = false);
// A finite decimal number above zero and at most max.
std::optional<double> parse_positive(const std::string& text, double max);

// The same checks as CLI11 validators (they see the text before it is converted).
CLI::Validator whole_number(uint64_t min, uint64_t max);
CLI::Validator positive_number(double max);
// Any text but none: an option given with an empty value is refused, not taken as not given.
CLI::Validator not_empty();
// An output file name: at most one "%d" (or "%0Nd", N up to 9) standing for the input.
CLI::Validator file_pattern();

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
