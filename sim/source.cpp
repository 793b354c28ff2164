// Parsing and printing of source descriptions such as "1920x1080i60" or "none".
#include "sim/card.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sim {

std::optional<double> parse_decimal(std::string_view text) {
    // Digits with an optional fraction ("59.94", "60", ".5"); strtod alone would also take signs,
    // exponents ("1e3"), hexadecimal, "inf" and leading spaces.
    size_t digits = 0, dots = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.' && dots == 0) {
            ++dots;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0) return std::nullopt;
    const std::string copy(text);
    return std::strtod(copy.c_str(), nullptr);
}

std::optional<SourceConfig> parse_source(std::string_view text) {
    std::string s;
    for (char c : text) s.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    SourceConfig out;
    if (s == "none" || s == "nocable" || s == "unplugged") {
        out.cable = false;
        return out;
    }
    const char* p = s.data();
    const char* end = s.data() + s.size();
    auto r1 = std::from_chars(p, end, out.width);
    if (r1.ec != std::errc() || r1.ptr == end || *r1.ptr != 'x') return std::nullopt;
    auto r2 = std::from_chars(r1.ptr + 1, end, out.height);
    if (r2.ec != std::errc() || r2.ptr == end || (*r2.ptr != 'p' && *r2.ptr != 'i')) return std::nullopt;
    out.interlaced = *r2.ptr == 'i';
    const char* q = r2.ptr + 1;
    if (q == end) return std::nullopt;
    // Rate: digits with an optional fraction, e.g. 59.94.
    const auto rate = parse_decimal(std::string_view(q, size_t(end - q)));
    if (!rate || !(*rate > 0.0) || *rate > 1000.0) return std::nullopt;
    out.fps = *rate;
    if (out.width == 0 || out.height == 0 || out.width > 8191 || out.height > 16382) return std::nullopt;
    if (out.interlaced && (out.height % 2) != 0) return std::nullopt;
    return out;
}

std::string format_source(const SourceConfig& source) {
    if (!source.cable) return "none";
    char rate[32];
    if (std::fabs(source.fps - std::round(source.fps)) < 1e-9)
        std::snprintf(rate, sizeof rate, "%.0f", source.fps);
    else
        std::snprintf(rate, sizeof rate, "%.2f", source.fps);
    return std::to_string(source.width) + "x" + std::to_string(source.height) + (source.interlaced ? "i" : "p") + rate;
}

bool parse_interrupt_latency(std::string_view text, InterruptTiming& timing) {
    InterruptTiming out = timing;
    out.random_latency = !text.empty() && text.front() == '~';
    if (out.random_latency) text.remove_prefix(1);
    const size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        if (!out.random_latency) return false;
        const std::string_view seed = text.substr(colon + 1);
        auto r = std::from_chars(seed.data(), seed.data() + seed.size(), out.seed);
        if (seed.empty() || r.ec != std::errc() || r.ptr != seed.data() + seed.size()) return false;
        text = text.substr(0, colon);
    }
    // Milliseconds as a decimal number ("2.5"), at most 10 s.
    const auto ms = parse_decimal(text);
    if (!ms || *ms > 10000) return false;
    out.latency_us = static_cast<uint32_t>(*ms * 1000 + 0.5);
    timing = out;
    return true;
}

}  // namespace sim
