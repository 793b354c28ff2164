// The card's configuration from text: source descriptions such as "1920x1080i60" or "none",
// interrupt latencies, register variants, and the defaults a card takes from the environment.
#include "sim/card.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace sim {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

[[noreturn]] void bad_environment(const char* name, const char* value, const char* expected) {
    std::fprintf(stderr, "%s=%s: expected %s\n", name, value, expected);
    std::abort();
}

// A whole decimal number from `low` to `high`, digits only.
bool parse_whole(std::string_view text, uint32_t low, uint32_t high, uint32_t& value) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint32_t(c - '0');
    }
    if (v < low || v > high) return false;
    value = v;
    return true;
}

}  // namespace

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
    const std::string s = lower(text);
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

uint64_t start_seed_of_process() {
    static const uint64_t seed = [] {
        if (const char* text = std::getenv("QH_CARD_SEED")) {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(text, &end, 0);
            if (*text && end && *end == '\0') return uint64_t{value};
        }
        std::random_device device;
        return (uint64_t{device()} << 32) | device();
    }();
    return seed;
}

std::optional<RegisterVariant> parse_register_variant(std::string_view text) {
    RegisterVariant v;
    const std::string all = lower(text);
    if (all.empty() || all == "plain") return v;
    size_t from = 0;
    while (from <= all.size()) {
        const size_t end = all.find_first_of(",+", from);
        const std::string knob = all.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (knob == "clear-field")
            v.video_read_clears_field = true;
        else if (knob == "held")
            v.block_register_held = true;
        else
            return std::nullopt;
        if (end == std::string::npos) break;
        from = end + 1;
    }
    return v;
}

std::string format_register_variant(const RegisterVariant& v) {
    std::string out;
    if (v.video_read_clears_field) out += "clear-field";
    if (v.block_register_held) out += out.empty() ? "held" : "+held";
    return out.empty() ? "plain" : out;
}

bool parse_i2c_khz(std::string_view text, uint32_t& value) {
    uint32_t v = 0;
    if (!parse_whole(text, 100, 400, v) || (v != 100 && v != 400)) return false;
    value = v;
    return true;
}

bool parse_bus_read_ns(std::string_view text, uint32_t& value) { return parse_whole(text, 1, 100000, value); }

uint32_t default_i2c_khz() {
    static const uint32_t khz = [] {
        uint32_t v = 100;
        const char* text = std::getenv("QH_CARD_I2C_KHZ");
        if (text && !parse_i2c_khz(text, v)) bad_environment("QH_CARD_I2C_KHZ", text, "100 or 400");
        return v;
    }();
    return khz;
}

uint32_t default_bus_read_ns() {
    static const uint32_t ns = [] {
        uint32_t v = 500;
        const char* text = std::getenv("QH_CARD_BUS_READ_NS");
        if (text && !parse_bus_read_ns(text, v))
            bad_environment("QH_CARD_BUS_READ_NS", text, "a read latency in ns, 1..100000");
        return v;
    }();
    return ns;
}

RegisterVariant default_register_variant() {
    static const RegisterVariant variant = [] {
        const char* text = std::getenv("QH_CARD_VARIANT");
        if (!text) return RegisterVariant{};
        auto v = parse_register_variant(text);
        if (!v) bad_environment("QH_CARD_VARIANT", text, "plain, or clear-field and/or held joined by ','");
        return *v;
    }();
    return variant;
}

CardConfig Card::default_config() {
    CardConfig c;
    c.sources[0] = *parse_source("1920x1080p60");
    c.sources[1] = *parse_source("1920x1080i60");
    c.sources[2] = *parse_source("1280x720p60");
    c.sources[3] = *parse_source("none");
    return c;
}

}  // namespace sim
