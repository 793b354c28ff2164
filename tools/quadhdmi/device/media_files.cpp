#include "tools/quadhdmi/device/media_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace qh::tool {

namespace {

std::string errno_text(const std::string& path) { return path + ": " + std::strerror(errno); }

class RawWriter : public VideoWriter {
public:
    RawWriter(FILE* f, size_t frame_bytes) : file_(f), frame_bytes_(frame_bytes) {}
    ~RawWriter() override { close(); }
    bool write_frame(const uint8_t* yuy2) override {
        return file_ && std::fwrite(yuy2, 1, frame_bytes_, file_) == frame_bytes_;
    }
    bool close() override {
        if (!file_) return true;
        bool ok = std::fclose(file_) == 0;
        file_ = nullptr;
        return ok;
    }

private:
    FILE* file_;
    size_t frame_bytes_;
};

// YUV4MPEG2 with 4:2:2 planes: Y (w × h), then U and V (w/2 × h each).
class Y4mWriter : public VideoWriter {
public:
    Y4mWriter(FILE* f, uint32_t w, uint32_t h) : file_(f), width_(w), height_(h), planes_(size_t(w) * h * 2) {}
    ~Y4mWriter() override { close(); }
    bool write_frame(const uint8_t* yuy2) override {
        if (!file_) return false;
        const size_t pixels = size_t(width_) * height_;
        uint8_t* y = planes_.data();
        uint8_t* u = y + pixels;
        uint8_t* v = u + pixels / 2;
        for (size_t i = 0; i < pixels / 2; ++i) {
            y[2 * i] = yuy2[4 * i];
            u[i] = yuy2[4 * i + 1];
            y[2 * i + 1] = yuy2[4 * i + 2];
            v[i] = yuy2[4 * i + 3];
        }
        static const char kFrame[] = "FRAME\n";
        return std::fwrite(kFrame, 1, 6, file_) == 6 &&
               std::fwrite(planes_.data(), 1, planes_.size(), file_) == planes_.size();
    }
    bool close() override {
        if (!file_) return true;
        bool ok = std::fclose(file_) == 0;
        file_ = nullptr;
        return ok;
    }

private:
    FILE* file_;
    uint32_t width_, height_;
    std::vector<uint8_t> planes_;
};

// The frame rate as a rational: whole rates (within a hundredth) as N:1, NTSC-style rates as
// N000:1001, anything else as 10,000,000:duration.
std::string y4m_rate(int64_t duration) {
    if (duration <= 0) return "60:1";
    const double fps = 1e7 / double(duration);
    const double whole = std::round(fps);
    if (std::fabs(fps - whole) < 0.01) return std::to_string(int64_t(whole)) + ":1";
    const double ntsc = std::round(fps * 1.001);
    if (std::fabs(fps - ntsc / 1.001) < 0.01) return std::to_string(int64_t(ntsc) * 1000) + ":1001";
    return "10000000:" + std::to_string(duration);
}

}  // namespace

std::unique_ptr<VideoWriter> open_video_writer(const std::string& path, uint32_t width, uint32_t height,
                                               int64_t frame_duration_100ns, bool interlaced, std::string& error) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        error = errno_text(path);
        return nullptr;
    }
    const bool y4m = path.size() >= 4 && path.compare(path.size() - 4, 4, ".y4m") == 0;
    if (!y4m) return std::make_unique<RawWriter>(f, size_t(width) * height * 2);

    // A woven interlaced frame holds the top field on its even lines: top field first.
    std::string header = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" +
                         y4m_rate(frame_duration_100ns) + (interlaced ? " It" : " Ip") + " A1:1 C422\n";
    if (std::fwrite(header.data(), 1, header.size(), f) != header.size()) {
        error = errno_text(path);
        std::fclose(f);
        return nullptr;
    }
    return std::make_unique<Y4mWriter>(f, width, height);
}

// ---------------------------------------------------------------------------------------------

namespace {
void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
constexpr size_t kWavHeaderBytes = 44;
}  // namespace

WavWriter::~WavWriter() { close(); }

bool WavWriter::open(const std::string& path, uint32_t sample_rate, uint16_t channels, std::string& error) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error = errno_text(path);
        return false;
    }
    uint8_t h[kWavHeaderBytes] = {};
    const uint16_t block_align = uint16_t(channels * 2);
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, 36);  // patched on close
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    put32(h + 16, 16);
    put16(h + 20, 1);  // PCM
    put16(h + 22, channels);
    put32(h + 24, sample_rate);
    put32(h + 28, sample_rate * block_align);
    put16(h + 32, block_align);
    put16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    put32(h + 40, 0);  // patched on close
    if (std::fwrite(h, 1, sizeof h, file_) != sizeof h) {
        error = errno_text(path);
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    data_bytes_ = 0;
    return true;
}

bool WavWriter::write(const uint8_t* data, size_t bytes) {
    if (!file_ || std::fwrite(data, 1, bytes, file_) != bytes) return false;
    data_bytes_ += bytes;
    return true;
}

bool WavWriter::close() {
    if (!file_) return true;
    // RIFF sizes are 32-bit; a capture longer than that keeps the largest size that fits.
    const uint32_t data = uint32_t(std::min<uint64_t>(data_bytes_, 0xFFFFFFFFull - 36));
    uint8_t size[4];
    bool ok = true;
    put32(size, 36 + data);
    ok &= std::fseek(file_, 4, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    put32(size, data);
    ok &= std::fseek(file_, 40, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    ok &= std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
}

// ---------------------------------------------------------------------------------------------

std::vector<uint8_t> yuy2_to_rgb(const uint8_t* yuy2, uint32_t width, uint32_t height) {
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    auto clamp = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
    const size_t pairs = size_t(width) * height / 2;
    for (size_t i = 0; i < pairs; ++i) {
        const int u = yuy2[4 * i + 1] - 128;
        const int v = yuy2[4 * i + 3] - 128;
        for (int k = 0; k < 2; ++k) {
            // BT.601 limited range, fixed point (x256).
            const int c = 298 * (yuy2[4 * i + 2 * k] - 16);
            uint8_t* px = &rgb[(2 * i + k) * 3];
            px[0] = clamp((c + 409 * v + 128) >> 8);
            px[1] = clamp((c - 100 * u - 208 * v + 128) >> 8);
            px[2] = clamp((c + 516 * u + 128) >> 8);
        }
    }
    return rgb;
}

std::string per_input_path(const std::string& pattern, uint32_t input, bool several_inputs) {
    const size_t pos = pattern.find('%');
    if (pos != std::string::npos) {
        // Accept %d and zero-padded widths like %02d.
        size_t end = pos + 1;
        while (end < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[end])))
            ++end;
        if (end < pattern.size() && pattern[end] == 'd') {
            char number[16];
            const std::string conversion = pattern.substr(pos, end - pos + 1);
            std::snprintf(number, sizeof number, conversion.c_str(), int(input));
            return pattern.substr(0, pos) + number + pattern.substr(end + 1);
        }
    }
    if (!several_inputs) return pattern;
    const size_t slash = pattern.find_last_of('/');
    size_t dot = pattern.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = pattern.size();
    return pattern.substr(0, dot) + "-" + std::to_string(input) + pattern.substr(dot);
}

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = size_t(std::ceil(p / 100.0 * double(samples.size())));
    if (rank == 0) rank = 1;
    return samples[std::min(rank, samples.size()) - 1];
}

}  // namespace qh::tool
