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

// What the stamps of a delivered frame say about it. A frame is whole when every line carries
// the stamp the pattern puts there: line r of one frame of the input, field 0 when progressive;
// woven, the top field (0) on the even lines and the bottom field (1) of the same frame on the
// odd ones.
enum class FrameFault {
    None,
    Torn,       // lines of two frames within one field (or one progressive frame), each in place
    Mixed,      // woven fields of two frames, fields in the wrong order, or another input's lines
    Misplaced,  // lines not where the pattern puts them, or no stamp at all (another geometry)
};
const char* frame_fault_name(FrameFault fault);

struct FrameCheck {
    uint32_t frame = 0;  // the frame number of the first line
    FrameFault fault = FrameFault::None;
    uint32_t line = 0;  // the first line at fault
    Stamp found{};      // what that line carries (only the bytes it has)
};
// Checks `lines` lines `pitch` bytes apart. A line narrower than a stamp carries only its first
// bytes (the frame number from 4 bytes on), and only those are compared.
FrameCheck check_frame(const uint8_t* data, size_t pitch, uint32_t lines, uint32_t input, bool woven);

// The order of the frames one pin delivers: each frame's number is greater than the one before.
// A repeat is a frame delivered twice; a smaller number, a source that started again. Either is
// right only on a buffer the driver flagged as a data discontinuity: then the source did start
// again and said so, and its numbering starts over (at 0, which may well be the number before).
class FrameOrder {
public:
    enum class Step { First, Next, Repeated, Backwards, Restarted };
    struct Result {
        Step step;
        uint32_t skipped;  // frame numbers passed over before this one (Next only)
    };
    Result next(uint32_t frame, bool discontinuity);
    // Forgets the last frame: the next one starts a new stream (another source was connected
    // while nothing was checked, for example).
    void restart() { have_last_ = false; }
    static bool bad(Step step) { return step == Step::Repeated || step == Step::Backwards; }
    uint32_t last() const { return last_; }  // the number of the frame before (after a first)

private:
    bool have_last_ = false;
    uint32_t last_ = 0;
};

// The audio sample index: the left sample of every stereo frame (4 bytes) counts the source's
// sample frames. Fed the buffers one pin delivers, in order, it counts the places where the
// index does not step by one, apart for those at the start of a buffer flagged as a
// discontinuity (audio the driver announced it skipped).
class AudioIndexCheck {
public:
    // Returns the breaks this buffer adds that no flag announced.
    uint32_t feed(const uint8_t* pcm, size_t bytes, bool discontinuity);
    uint64_t unflagged_breaks() const { return unflagged_; }
    uint64_t flagged_breaks() const { return flagged_; }
    uint64_t frames() const { return frames_; }
    // The index before and after the last break no flag announced.
    uint16_t break_before() const { return break_before_; }
    uint16_t break_after() const { return break_after_; }
    void restart() {
        have_last_ = false;
        flag_pending_ = false;
        carry_bytes_ = 0;
    }

private:
    bool have_last_ = false;
    bool flag_pending_ = false;
    uint16_t last_ = 0;
    uint16_t break_before_ = 0, break_after_ = 0;
    uint64_t unflagged_ = 0, flagged_ = 0, frames_ = 0;
    uint8_t carry_[4] = {};
    size_t carry_bytes_ = 0;
};

// Renders the units of one input. The pattern is drawn once per geometry; each unit only
// patches the stamps and moves the box.
class VideoPattern {
public:
    // One field (interlaced) or frame (progressive) of the given frame number, ready to copy.
    const std::vector<uint8_t>& render(uint32_t input, uint32_t width, uint32_t height, bool interlaced, uint64_t frame,
                                       uint32_t field);

    // The pixel pair (Y0 U Y1 V) the bars have at pixel column x (even), without box or stamp.
    static void bar_pixels(uint32_t width, uint32_t x, uint8_t out[4]);

private:
    struct Plane {
        std::vector<uint8_t> bytes;
        bool box_drawn = false;
        uint32_t box_x = 0, box_y0 = 0, box_y1 = 0;  // box columns [x, x+size) and plane lines [y0, y1)
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
