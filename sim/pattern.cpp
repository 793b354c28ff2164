#include "sim/pattern.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {
namespace {

// 75 % colour bars in YUY2: white, yellow, cyan, green, magenta, red, blue, black.
constexpr uint8_t kBars[8][3] = {
    {180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
    {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128},
};
constexpr uint8_t kBox[3] = {235, 128, 128};
constexpr uint32_t kBoxSize = 64;

// Tone periods in sample frames: 500, 600, 750 and 1000 Hz at 48 kHz.
constexpr uint32_t kTonePeriod[4] = {96, 80, 64, 48};

void put_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t box_size(uint32_t width, uint32_t height) {
    uint32_t s = std::min({kBoxSize, width / 4, height / 4});
    return s & ~1u;
}

}  // namespace

Stamp read_stamp(const uint8_t* line) {
    Stamp s;
    s.frame = static_cast<uint32_t>(line[0]) | static_cast<uint32_t>(line[1]) << 8 |
              static_cast<uint32_t>(line[2]) << 16 | static_cast<uint32_t>(line[3]) << 24;
    s.line = static_cast<uint16_t>(line[4] | line[5] << 8);
    s.field = line[6];
    s.input = line[7];
    return s;
}

const char* frame_fault_name(FrameFault fault) {
    switch (fault) {
    case FrameFault::None: return "whole";
    case FrameFault::Torn: return "torn";
    case FrameFault::Mixed: return "mixed";
    case FrameFault::Misplaced: return "misplaced";
    }
    return "?";
}

FrameCheck check_frame(const uint8_t* data, size_t pitch, uint32_t lines, uint32_t input, bool woven) {
    FrameCheck result;
    const size_t have = std::min(pitch, kStampBytes);
    if (have < 4 || lines == 0) return result;
    // Only the bytes a line has: a missing field reads as what the pattern would put there.
    auto stamp_of = [&](uint32_t r) {
        uint8_t bytes[kStampBytes];
        const uint16_t line = static_cast<uint16_t>(r);
        bytes[4] = static_cast<uint8_t>(line);
        bytes[5] = static_cast<uint8_t>(line >> 8);
        bytes[6] = woven ? static_cast<uint8_t>(r & 1) : 0;
        bytes[7] = static_cast<uint8_t>(input);
        std::memcpy(bytes, data + r * pitch, have);
        return read_stamp(bytes);
    };
    const uint32_t top = stamp_of(0).frame;
    const uint32_t bottom = woven && lines > 1 ? stamp_of(1).frame : top;
    result.frame = top;
    // The worst finding decides: torn over mixed over misplaced; the first line of it is kept.
    auto note = [&](FrameFault fault, uint32_t r, const Stamp& s) {
        if (result.fault != FrameFault::None && static_cast<int>(result.fault) <= static_cast<int>(fault)) return;
        result.fault = fault;
        result.line = r;
        result.found = s;
    };
    for (uint32_t r = 0; r < lines; ++r) {
        const Stamp s = stamp_of(r);
        const bool odd = woven && (r & 1);
        if (s.field > 1) {
            note(FrameFault::Misplaced, r, s);  // no stamp there: bytes of another geometry
        } else if (s.input != input || s.field != (odd ? 1 : 0)) {
            note(FrameFault::Mixed, r, s);
        } else if (s.line != static_cast<uint16_t>(r)) {
            note(FrameFault::Misplaced, r, s);
        } else if (s.frame != (odd ? bottom : top)) {
            note(FrameFault::Torn, r, s);
        } else if (odd && bottom != top) {
            note(FrameFault::Mixed, r, s);
        }
    }
    return result;
}

FrameOrder::Result FrameOrder::next(uint32_t frame, bool discontinuity) {
    const bool had = have_last_;
    const uint32_t last = last_;
    have_last_ = true;
    last_ = frame;
    if (!had) return {Step::First, 0};
    if (frame > last) return {Step::Next, frame - last - 1};
    if (discontinuity) return {Step::Restarted, 0};
    return {frame == last ? Step::Repeated : Step::Backwards, 0};
}

uint32_t AudioIndexCheck::feed(const uint8_t* pcm, size_t bytes, bool discontinuity) {
    uint32_t added = 0;
    bool at_start = true;
    // A flag on a buffer without audio still stands between the audio before and after it.
    discontinuity = discontinuity || flag_pending_;
    flag_pending_ = discontinuity && bytes < 4;
    auto take = [&](const uint8_t* frame) {
        const uint16_t index = static_cast<uint16_t>(frame[0] | (frame[1] << 8));
        if (have_last_ && index != static_cast<uint16_t>(last_ + 1)) {
            if (discontinuity && at_start) {
                ++flagged_;
            } else {
                ++unflagged_;
                ++added;
                break_before_ = last_;
                break_after_ = index;
            }
        }
        at_start = false;
        last_ = index;
        have_last_ = true;
        ++frames_;
    };
    // Buffers hold whole sample frames in practice; a partial one is carried into the next.
    while (bytes > 0 && carry_bytes_ > 0) {
        carry_[carry_bytes_++] = *pcm++;
        --bytes;
        if (carry_bytes_ == 4) {
            take(carry_);
            carry_bytes_ = 0;
        }
    }
    for (; bytes >= 4; bytes -= 4, pcm += 4)
        take(pcm);
    while (bytes-- > 0)
        carry_[carry_bytes_++] = *pcm++;
    return added;
}

void VideoPattern::bar_pixels(uint32_t width, uint32_t x, uint8_t out[4]) {
    uint32_t bar = width ? static_cast<uint32_t>(static_cast<uint64_t>(x) * 8 / width) : 0;
    const uint8_t* c = kBars[std::min(bar, 7u)];
    out[0] = c[0];
    out[1] = c[1];
    out[2] = c[0];
    out[3] = c[2];
}

void VideoPattern::prepare(uint32_t input, uint32_t width, uint32_t height, bool interlaced) {
    if (input == input_ && width == width_ && height == height_ && interlaced == interlaced_) return;
    input_ = input;
    width_ = width;
    height_ = height;
    interlaced_ = interlaced;
    const size_t pitch = static_cast<size_t>(width) * 2;
    bars_line_.assign(pitch, 0);
    for (uint32_t x = 0; x + 1 < width; x += 2)
        bar_pixels(width, x, &bars_line_[x * 2]);
    const uint32_t planes = interlaced ? 2 : 1;
    const uint32_t lines = interlaced ? height / 2 : height;
    for (uint32_t f = 0; f < 2; ++f) {
        Plane& plane = planes_[f];
        plane.box_drawn = false;
        if (f >= planes) {
            plane.bytes.clear();
            continue;
        }
        plane.bytes.resize(pitch * lines);
        for (uint32_t r = 0; r < lines; ++r) {
            uint8_t* line = plane.bytes.data() + r * pitch;
            std::memcpy(line, bars_line_.data(), pitch);
            uint32_t frame_line = interlaced ? 2 * r + f : r;
            uint8_t stamp[kStampBytes] = {0,
                                          0,
                                          0,
                                          0,
                                          static_cast<uint8_t>(frame_line),
                                          static_cast<uint8_t>(frame_line >> 8),
                                          static_cast<uint8_t>(f),
                                          static_cast<uint8_t>(input)};
            std::memcpy(line, stamp, std::min(pitch, kStampBytes));
        }
    }
}

const std::vector<uint8_t>& VideoPattern::render(uint32_t input, uint32_t width, uint32_t height, bool interlaced,
                                                 uint64_t frame, uint32_t field) {
    prepare(input, width, height, interlaced);
    Plane& plane = planes_[interlaced ? (field & 1) : 0];
    const size_t pitch = static_cast<size_t>(width) * 2;
    const uint32_t lines = pitch ? static_cast<uint32_t>(plane.bytes.size() / pitch) : 0;
    const uint32_t parity = interlaced ? (field & 1) : 0;

    // Move the box: restore the bars where it was, draw it at the frame's position.
    const uint32_t size = box_size(width, height);
    if (size > 0) {
        if (plane.box_drawn)
            for (uint32_t r = plane.box_y0; r < plane.box_y1; ++r)
                std::memcpy(plane.bytes.data() + r * pitch + plane.box_x * 2, bars_line_.data() + plane.box_x * 2,
                            size * 2);
        uint32_t x = static_cast<uint32_t>((frame * 8) % (width - size)) & ~1u;
        uint32_t y = static_cast<uint32_t>((frame * 4) % (height - size));
        if (x < 4) x = 4;  // keep the box clear of the stamp
        // Plane lines whose frame line (2r + parity when interlaced) lies in [y, y + size).
        uint32_t y0 = interlaced ? (y + 1 - parity) / 2 : y;
        uint32_t y1 = std::min(lines, interlaced ? (y + size - parity + 1) / 2 : y + size);
        for (uint32_t r = y0; r < y1; ++r) {
            uint8_t* p = plane.bytes.data() + r * pitch + x * 2;
            for (uint32_t i = 0; i + 1 < size && x + i + 1 < width; i += 2) {
                p[i * 2] = kBox[0];
                p[i * 2 + 1] = kBox[1];
                p[i * 2 + 2] = kBox[0];
                p[i * 2 + 3] = kBox[2];
            }
        }
        plane.box_drawn = true;
        plane.box_x = x;
        plane.box_y0 = y0;
        plane.box_y1 = std::max(y0, y1);
    }

    if (pitch >= 4) {
        const uint32_t f = static_cast<uint32_t>(frame);
        for (uint32_t r = 0; r < lines; ++r)
            put_le32(plane.bytes.data() + r * pitch, f);
    }
    return plane.bytes;
}

int16_t tone_sample(uint32_t input, uint64_t frame_index) {
    static const auto tables = [] {
        std::vector<std::vector<int16_t>> t(4);
        for (uint32_t i = 0; i < 4; ++i) {
            t[i].resize(kTonePeriod[i]);
            for (uint32_t n = 0; n < kTonePeriod[i]; ++n)
                t[i][n] = static_cast<int16_t>(std::lround(8000.0 * std::sin(2.0 * M_PI * n / kTonePeriod[i])));
        }
        return t;
    }();
    const auto& table = tables[input & 3];
    return table[frame_index % table.size()];
}

void render_audio(uint32_t input, uint64_t byte_position, uint8_t* out, size_t length) {
    for (size_t i = 0; i < length;) {
        uint64_t pos = byte_position + i;
        uint64_t frame = pos / 4;
        uint16_t left = static_cast<uint16_t>(frame);
        uint16_t right = static_cast<uint16_t>(tone_sample(input, frame));
        uint8_t bytes[4] = {static_cast<uint8_t>(left), static_cast<uint8_t>(left >> 8), static_cast<uint8_t>(right),
                            static_cast<uint8_t>(right >> 8)};
        for (uint32_t b = static_cast<uint32_t>(pos % 4); b < 4 && i < length; ++b)
            out[i++] = bytes[b];
    }
}

}  // namespace sim
