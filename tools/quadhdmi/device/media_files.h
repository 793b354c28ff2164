// The capture's output files that any build writes with the C library alone: raw YUY2,
// YUV4MPEG2 and WAV, plus the file-name patterns and the small arithmetic of the summary.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qh::tool {

// A video file sink. Frames are packed YUY2 of width × height (pitch = width × 2).
class VideoWriter {
public:
    virtual ~VideoWriter() = default;
    virtual bool write_frame(const uint8_t* yuy2) = 0;
    virtual bool close() = 0;
};

// `.y4m` gives YUV4MPEG2 (planar 4:2:2, the frame rate from the frame duration, interlace flag
// for a woven interlaced source); anything else is raw YUY2 frames back to back.
std::unique_ptr<VideoWriter> open_video_writer(const std::string& path, uint32_t width, uint32_t height,
                                               int64_t frame_duration_100ns, bool interlaced, std::string& error);

// A standard RIFF/WAVE file of 16-bit PCM; the sizes are patched in on close.
class WavWriter {
public:
    ~WavWriter();
    bool open(const std::string& path, uint32_t sample_rate, uint16_t channels, std::string& error);
    bool write(const uint8_t* data, size_t bytes);
    bool close();
    uint64_t data_bytes() const { return data_bytes_; }

private:
    FILE* file_ = nullptr;
    uint64_t data_bytes_ = 0;
};

// YUY2 (BT.601, limited range) to 8-bit RGB, width × height × 3 bytes.
std::vector<uint8_t> yuy2_to_rgb(const uint8_t* yuy2, uint32_t width, uint32_t height);

// Expands "%d" (or printf-style "%02d") in a per-input file name pattern; without a pattern and
// with several inputs, "-<input>" goes before the extension so that files never collide.
std::string per_input_path(const std::string& pattern, uint32_t input, bool several_inputs);

// Percentile (0..100) of a set of samples, nearest rank; 0 for an empty set.
double percentile(std::vector<double> samples, double p);

}  // namespace qh::tool
