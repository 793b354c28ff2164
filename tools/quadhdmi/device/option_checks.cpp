#include "tools/quadhdmi/device/option_checks.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qh::tool {

std::optional<uint64_t> parse_whole(const std::string& text, uint64_t min, uint64_t max, bool hex) {
    size_t at = 0;
    unsigned base = 10;
    if (hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        at = 2;
        base = 16;
    }
    if (at == text.size()) return std::nullopt;
    uint64_t value = 0;
    for (; at < text.size(); ++at) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        unsigned digit;
        if (std::isdigit(c)) {
            digit = c - '0';
        } else if (base == 16 && std::isxdigit(c)) {
            digit = unsigned(std::tolower(c) - 'a' + 10);
        } else {
            return std::nullopt;
        }
        if (value > (UINT64_MAX - digit) / base) return std::nullopt;
        value = value * base + digit;
    }
    if (value < min || value > max) return std::nullopt;
    return value;
}

std::optional<double> parse_positive(const std::string& text, double max) {
    // Plain decimal notation only: no sign, no hexadecimal floats, no "nan" or "inf".
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.') ||
        text.find_first_not_of("0123456789.eE+-") != std::string::npos)
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(value) || !(value > 0) || value > max)
        return std::nullopt;
    return value;
}

CLI::Validator whole_number(uint64_t min, uint64_t max) {
    const std::string range = std::to_string(min) + ".." + std::to_string(max);
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            if (parse_whole(text, min, max)) return {};
            return "'" + text + "' is not a whole number in " + range;
        },
        "INT in " + range, "whole number");
}

CLI::Validator positive_number(double max) {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", max);
    const std::string range = std::string("above 0, at most ") + limit;
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            if (parse_positive(text, max)) return {};
            return "'" + text + "' is not a number " + range;
        },
        "NUMBER " + range, "positive number");
}

CLI::Validator not_empty() {
    return CLI::Validator([](std::string& text) -> std::string { return text.empty() ? "an empty value" : ""; }, "TEXT",
                          "not empty");
}

CLI::Validator file_pattern() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (text.empty()) return "an empty file name";
            size_t conversions = 0;
            for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1)) {
                size_t end = at + 1;
                while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
                    ++end;
                const size_t digits = end - at - 1;
                const bool width_ok = digits == 0 || (digits == 2 && text[at + 1] == '0' && text[at + 2] != '0');
                if (end >= text.size() || text[end] != 'd' || !width_ok)
                    return "'" + text + "': only %d or %0Nd (N from 1 to 9) may stand for the input";
                ++conversions;
                at = end;
            }
            if (conversions > 1) return "'" + text + "': the input may appear only once (%d)";
            return {};
        },
        "FILE", "file pattern");
}

}  // namespace qh::tool
