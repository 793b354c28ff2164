#include "tools/quadhdmi/checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qh::tool {

namespace {
constexpr uint32_t kMaxSize13 = 8191;             // the receiver's 13-bit size fields
constexpr uint64_t kFrameBufferBytes = 0x400000;  // one video DMA buffer
}  // namespace

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
