// Test content of an HDMI source. Video: YUY2 colour bars with a moving box, every line starting
// with an 8-byte stamp {frame number (4 bytes LE), frame line (2 bytes LE), field, input} so a
// consumer can prove frame identity and weave order from the bytes alone. Audio: 48 kHz stereo
// 16-bit LE; the left sample is the running sample-frame index (mod 65536), the right a tone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

struct Stamp {
    uint32_t frame;
    uint16_t line;
    uint8_t field;
    uint8_t input;
};
constexpr size_t kStampBytes = 8;
Stamp read_stamp(const uint8_t* line);

// Renders the units of one input. The pattern is drawn once per geometry; each unit only
// patches the stamps and moves the box.
class VideoPattern {
public:
    // One field (interlaced) or frame (progressive) of the given frame number, ready to copy.
    const std::vector<uint8_t>& render(uint32_t input, uint32_t width, uint32_t height, bool interlaced,
                                       uint64_t frame, uint32_t field);

    // The pixel pair (Y0 U Y1 V) the bars have at pixel column x (even), without box or stamp.
    static void bar_pixels(uint32_t width, uint32_t x, uint8_t out[4]);

private:
    struct Plane {
        std::vector<uint8_t> bytes;
        bool box_drawn = false;
        uint32_t box_x = 0, box_y0 = 0, box_y1 = 0;   // box columns [x, x+size) and plane lines [y0, y1)
    };
    void prepare(uint32_t input, uint32_t width, uint32_t height, bool interlaced);

    uint32_t input_ = ~0u, width_ = 0, height_ = 0;
    bool interlaced_ = false;
    std::vector<uint8_t> bars_line_;
    Plane planes_[2];
};

// Interleaved stereo samples for stream bytes [byte_position, byte_position + length).
void render_audio(uint32_t input, uint64_t byte_position, uint8_t* out, size_t length);
int16_t tone_sample(uint32_t input, uint64_t frame_index);

}  // namespace sim
