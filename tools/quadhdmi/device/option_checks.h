// The command line's numbers and file names, checked the same way on every build: numbers within
// their ranges (no sign, no wrap, no NaN or infinity, no zero standing for a default), file
// patterns with at most one place for the input.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>

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

}  // namespace qh::tool
