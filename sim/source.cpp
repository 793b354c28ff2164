// Parsing and printing of source descriptions such as "1920x1080i60" or "none".
#include "sim/card.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace sim {

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
    std::string rate(q, end);
    char* stop = nullptr;
    out.fps = std::strtod(rate.c_str(), &stop);
    if (stop == rate.c_str() || *stop != '\0' || !(out.fps > 0.0) || out.fps > 1000.0) return std::nullopt;
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
    const std::string ms_text(text);
    char* stop = nullptr;
    const double ms = std::strtod(ms_text.c_str(), &stop);
    if (ms_text.empty() || *stop != '\0' || !(ms >= 0) || ms > 10000) return false;
    out.latency_us = static_cast<uint32_t>(ms * 1000 + 0.5);
    timing = out;
    return true;
}

}  // namespace sim
