#include "tools/quadhdmi/checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

namespace qh::tool {

namespace {
constexpr uint32_t kMaxSize13 = 8191;             // the receiver's 13-bit size fields
constexpr uint64_t kFrameBufferBytes = 0x400000;  // one video DMA buffer
}  // namespace

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

std::string uncarriable(const sim::SourceConfig& source) {
    if (!source.cable) return {};
    if (source.width < 2 || source.width % 2 != 0)
        return "the width must be even and at least 2 (YUY2 carries pixels in pairs)";
    if (source.width > kMaxSize13 || source.unit_lines() > kMaxSize13)
        return "the receiver reports at most " + std::to_string(kMaxSize13) + " pixels and lines";
    if (uint64_t(source.width) * source.height * 2 > kFrameBufferBytes)
        return "a frame of " + std::to_string(uint64_t(source.width) * source.height * 2) +
               " bytes does not fit the card's 4 MiB frame buffers";
    return {};
}

bool check_outputs(const std::vector<OutputFile>& files, std::string& error) {
    namespace fs = std::filesystem;
    for (size_t i = 0; i < files.size(); ++i) {
        const OutputFile& f = files[i];
        std::error_code ec;
        const fs::path path(f.path);
        const fs::path absolute = fs::absolute(path, ec).lexically_normal();
        struct stat st;
        const bool exists = ::stat(f.path.c_str(), &st) == 0;
        for (size_t j = 0; j < i; ++j) {
            const OutputFile& g = files[j];
            struct stat other;
            const bool same_file =
                exists && ::stat(g.path.c_str(), &other) == 0 && st.st_dev == other.st_dev && st.st_ino == other.st_ino;
            if (same_file || absolute == fs::absolute(fs::path(g.path), ec).lexically_normal()) {
                error = f.option + " and " + g.option + " both write '" + f.path +
                        "': every output needs a file of its own";
                return false;
            }
        }
        if (exists) {
            if (S_ISDIR(st.st_mode)) {
                error = f.option + " '" + f.path + "' is a folder";
                return false;
            }
            if (::access(f.path.c_str(), W_OK) != 0) {
                error = f.option + " '" + f.path + "' cannot be written: " + std::strerror(errno);
                return false;
            }
            continue;
        }
        const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
        if (::access(parent.c_str(), W_OK | X_OK) != 0) {
            error =
                f.option + " '" + f.path + "' cannot be created in '" + parent.string() + "': " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace qh::tool
