#include "tools/quadhdmi/media.h"

#include <png.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qh::tool {

namespace {

std::string errno_text(const std::string& path) { return path + ": " + std::strerror(errno); }

// The PNG into an open stream; false with `error` set when libpng or the stream failed.
bool write_png_stream(FILE* file, const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height,
                      std::string& error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    errno = 0;
    const bool encoded = png_image_write_to_stdio(&image, file, 0, rgb, int(width * 3), nullptr) != 0;
    const bool written = encoded && std::fflush(file) == 0 && !std::ferror(file);
    if (written) return true;
    error = path + ": " + (errno != 0 ? std::strerror(errno) : image.message);
    png_image_free(&image);
    return false;
}

}  // namespace

bool write_png(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height, std::string& error) {
    // The file the user named is never removed, whatever fails: libpng's own file writer
    // deletes its file on a write error, which run as root deleted /dev/full. A regular file (or
    // a new one) is replaced only by a whole picture, written beside it first; anything else (a
    // device, a pipe) and a folder that takes no new file are written in place.
    std::string target = path;
    struct stat st;
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists) {
        // Through a link the picture replaces what it points at, and the link stays.
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
    }
    struct stat link;
    const bool dangling = !exists && ::lstat(path.c_str(), &link) == 0;  // written through, not replaced
    if ((!exists && !dangling) || (exists && S_ISREG(st.st_mode))) {
        const size_t slash = target.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            const std::string temporary =
                folder + "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
            const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd < 0) break;
            if (exists) ::fchmod(fd, st.st_mode & 07777);
            FILE* file = ::fdopen(fd, "wb");
            if (!file) {
                error = path + ": " + std::strerror(errno);
                ::close(fd);
                ::unlink(temporary.c_str());
                return false;
            }
            bool ok = write_png_stream(file, path, rgb, width, height, error);
            if (ok && ::fsync(fd) != 0) {
                error = path + ": " + std::strerror(errno);
                ok = false;
            }
            if (std::fclose(file) != 0 && ok) {
                error = path + ": " + std::strerror(errno);
                ok = false;
            }
            if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) {
                error = path + ": " + std::strerror(errno);
                ok = false;
            }
            if (!ok) ::unlink(temporary.c_str());
            return ok;
        }
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = errno_text(path);
        return false;
    }
    bool ok = write_png_stream(file, path, rgb, width, height, error);
    if (std::fclose(file) != 0 && ok) {
        error = errno_text(path);
        ok = false;
    }
    return ok;
}

}  // namespace qh::tool
