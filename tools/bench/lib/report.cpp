#include "tools/bench/lib/report.h"

#include <png.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <thread>

namespace bench {

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    const size_t k = std::min(samples.size() - 1, static_cast<size_t>(p * double(samples.size() - 1) + 0.5));
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(k), samples.end());
    return samples[k];
}

double mean(const std::vector<double>& samples) {
    return samples.empty() ? 0.0 : std::accumulate(samples.begin(), samples.end(), 0.0) / double(samples.size());
}

DriverCost driver_cost(const void* pin, double interrupt_share) {
    DriverCost c;
    const host::cost::PinCost pc = host::cost::pin_cost(pin);
    const host::cost::Figures& p = pc.process;
    c.process_ns = p.cpu_ns;
    c.max_process_ns = p.max_ns;
    c.frames = p.frames;
    c.bytes = p.bytes;
    c.dpc_ns = pc.dpc.cpu_ns;
    c.max_dpc_ns = pc.dpc.max_ns;
    c.process_calls = p.calls;
    c.dpc_calls = pc.dpc.calls;
    c.interrupt_ns = static_cast<uint64_t>(double(pc.interrupt.cpu_ns) * interrupt_share);
    return c;
}

std::set<uint32_t> interrupt_threads(const std::vector<sim::AccessRecord>& log) {
    constexpr uint32_t kInterruptStatus = 0xC000;
    std::set<uint32_t> routine;
    for (const auto& a : log)
        if (!a.is_write && a.offset == kInterruptStatus) routine.insert(a.thread);
    return routine;
}

std::vector<sim::AccessRecord> interrupt_reads(const std::vector<sim::AccessRecord>& log) {
    const std::set<uint32_t> routine = interrupt_threads(log);
    std::vector<sim::AccessRecord> reads;
    for (const auto& a : log)
        if (!a.is_write && routine.count(a.thread)) reads.push_back(a);
    return reads;
}

void wait_for_lock(sim::Card& card, uint32_t inputs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (uint32_t n = 0; n < inputs; ++n) {
        while (!card.receiver_state(n).locked && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

uint64_t register_model_ns() {
    uint64_t total = 0;
    for (const host::cost::Figures& f : host::cost::all())
        if (f.kind == host::cost::Kind::Device) total += f.cpu_ns;
    return total;
}

// ---- JSON ---------------------------------------------------------------------------------------

namespace {
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}
std::string num(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}
}  // namespace

void Json::separate(const char* key) {
    if (!first_.back()) out_ += ",";
    first_.back() = false;
    if (key) out_ += quoted(key) + ":";
}
Json& Json::open_object(const char* key) {
    separate(key);
    out_ += "{";
    first_.push_back(true);
    return *this;
}
Json& Json::close_object() {
    out_ += "}";
    first_.pop_back();
    return *this;
}
Json& Json::open_array(const char* key) {
    separate(key);
    out_ += "[";
    first_.push_back(true);
    return *this;
}
Json& Json::close_array() {
    out_ += "]";
    first_.pop_back();
    return *this;
}
Json& Json::number(const char* key, double value) {
    separate(key);
    out_ += num(value);
    return *this;
}
Json& Json::integer(const char* key, uint64_t value) {
    separate(key);
    out_ += std::to_string(value);
    return *this;
}
Json& Json::text(const char* key, const std::string& value) {
    separate(key);
    out_ += quoted(value);
    return *this;
}
Json& Json::numbers(const char* key, const std::vector<double>& values) {
    open_array(key);
    for (double v : values)
        number(nullptr, v);
    return close_array();
}
bool Json::write(const std::string& path, std::string& error) const {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        error = "cannot write " + path;
        return false;
    }
    const bool ok = std::fwrite(out_.data(), 1, out_.size(), f) == out_.size() && std::fputc('\n', f) != EOF;
    if (std::fclose(f) != 0 || !ok) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

// ---- plot ---------------------------------------------------------------------------------------

namespace {

struct Rgb {
    uint8_t r, g, b;
};
constexpr Rgb kColours[] = {{31, 119, 180}, {255, 127, 14}, {44, 160, 44}, {214, 39, 40}};
constexpr Rgb kGrid{225, 225, 225}, kAxis{60, 60, 60}, kGoal{150, 0, 150}, kText{20, 20, 20};

// A 5x7 font: seven rows of five bits, the leftmost pixel in bit 4.
struct Glyph {
    char c;
    uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {' ', {0, 0, 0, 0, 0, 0, 0}},
    {'0', {0b01110, 0b10001, 0b10011, 0b10101, 0b11001, 0b10001, 0b01110}},
    {'1', {0b00100, 0b01100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'2', {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0b01000, 0b11111}},
    {'3', {0b11111, 0b00010, 0b00100, 0b00010, 0b00001, 0b10001, 0b01110}},
    {'4', {0b00010, 0b00110, 0b01010, 0b10010, 0b11111, 0b00010, 0b00010}},
    {'5', {0b11111, 0b10000, 0b11110, 0b00001, 0b00001, 0b10001, 0b01110}},
    {'6', {0b00110, 0b01000, 0b10000, 0b11110, 0b10001, 0b10001, 0b01110}},
    {'7', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b01000, 0b01000}},
    {'8', {0b01110, 0b10001, 0b10001, 0b01110, 0b10001, 0b10001, 0b01110}},
    {'9', {0b01110, 0b10001, 0b10001, 0b01111, 0b00001, 0b00010, 0b01100}},
    {'A', {0b01110, 0b10001, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001}},
    {'B', {0b11110, 0b10001, 0b10001, 0b11110, 0b10001, 0b10001, 0b11110}},
    {'C', {0b01110, 0b10001, 0b10000, 0b10000, 0b10000, 0b10001, 0b01110}},
    {'D', {0b11100, 0b10010, 0b10001, 0b10001, 0b10001, 0b10010, 0b11100}},
    {'E', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b11111}},
    {'F', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'G', {0b01110, 0b10001, 0b10000, 0b10111, 0b10001, 0b10001, 0b01111}},
    {'H', {0b10001, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}},
    {'I', {0b01110, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'J', {0b00111, 0b00010, 0b00010, 0b00010, 0b00010, 0b10010, 0b01100}},
    {'K', {0b10001, 0b10010, 0b10100, 0b11000, 0b10100, 0b10010, 0b10001}},
    {'L', {0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b11111}},
    {'M', {0b10001, 0b11011, 0b10101, 0b10101, 0b10001, 0b10001, 0b10001}},
    {'N', {0b10001, 0b10001, 0b11001, 0b10101, 0b10011, 0b10001, 0b10001}},
    {'O', {0b01110, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'P', {0b11110, 0b10001, 0b10001, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'Q', {0b01110, 0b10001, 0b10001, 0b10001, 0b10101, 0b10010, 0b01101}},
    {'R', {0b11110, 0b10001, 0b10001, 0b11110, 0b10100, 0b10010, 0b10001}},
    {'S', {0b01111, 0b10000, 0b10000, 0b01110, 0b00001, 0b00001, 0b11110}},
    {'T', {0b11111, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100}},
    {'U', {0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'V', {0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01010, 0b00100}},
    {'W', {0b10001, 0b10001, 0b10001, 0b10101, 0b10101, 0b10101, 0b01010}},
    {'X', {0b10001, 0b10001, 0b01010, 0b00100, 0b01010, 0b10001, 0b10001}},
    {'Y', {0b10001, 0b10001, 0b10001, 0b01010, 0b00100, 0b00100, 0b00100}},
    {'Z', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b10000, 0b11111}},
    {'a', {0b00000, 0b00000, 0b01110, 0b00001, 0b01111, 0b10001, 0b01111}},
    {'b', {0b10000, 0b10000, 0b10110, 0b11001, 0b10001, 0b10001, 0b11110}},
    {'c', {0b00000, 0b00000, 0b01110, 0b10000, 0b10000, 0b10001, 0b01110}},
    {'d', {0b00001, 0b00001, 0b01101, 0b10011, 0b10001, 0b10001, 0b01111}},
    {'e', {0b00000, 0b00000, 0b01110, 0b10001, 0b11111, 0b10000, 0b01110}},
    {'f', {0b00110, 0b01001, 0b01000, 0b11100, 0b01000, 0b01000, 0b01000}},
    {'g', {0b00000, 0b01111, 0b10001, 0b10001, 0b01111, 0b00001, 0b01110}},
    {'h', {0b10000, 0b10000, 0b10110, 0b11001, 0b10001, 0b10001, 0b10001}},
    {'i', {0b00100, 0b00000, 0b01100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'j', {0b00010, 0b00000, 0b00110, 0b00010, 0b00010, 0b10010, 0b01100}},
    {'k', {0b10000, 0b10000, 0b10010, 0b10100, 0b11000, 0b10100, 0b10010}},
    {'l', {0b01100, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'m', {0b00000, 0b00000, 0b11010, 0b10101, 0b10101, 0b10001, 0b10001}},
    {'n', {0b00000, 0b00000, 0b10110, 0b11001, 0b10001, 0b10001, 0b10001}},
    {'o', {0b00000, 0b00000, 0b01110, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'p', {0b00000, 0b00000, 0b11110, 0b10001, 0b11110, 0b10000, 0b10000}},
    {'q', {0b00000, 0b00000, 0b01101, 0b10011, 0b01111, 0b00001, 0b00001}},
    {'r', {0b00000, 0b00000, 0b10110, 0b11001, 0b10000, 0b10000, 0b10000}},
    {'s', {0b00000, 0b00000, 0b01110, 0b10000, 0b01110, 0b00001, 0b11110}},
    {'t', {0b01000, 0b01000, 0b11100, 0b01000, 0b01000, 0b01001, 0b00110}},
    {'u', {0b00000, 0b00000, 0b10001, 0b10001, 0b10001, 0b10011, 0b01101}},
    {'v', {0b00000, 0b00000, 0b10001, 0b10001, 0b10001, 0b01010, 0b00100}},
    {'w', {0b00000, 0b00000, 0b10001, 0b10001, 0b10101, 0b10101, 0b01010}},
    {'x', {0b00000, 0b00000, 0b10001, 0b01010, 0b00100, 0b01010, 0b10001}},
    {'y', {0b00000, 0b00000, 0b10001, 0b10001, 0b01111, 0b00001, 0b01110}},
    {'z', {0b00000, 0b00000, 0b11111, 0b00010, 0b00100, 0b01000, 0b11111}},
    {'.', {0b00000, 0b00000, 0b00000, 0b00000, 0b00000, 0b01100, 0b01100}},
    {',', {0b00000, 0b00000, 0b00000, 0b00000, 0b01100, 0b00100, 0b01000}},
    {':', {0b00000, 0b01100, 0b01100, 0b00000, 0b01100, 0b01100, 0b00000}},
    {'-', {0b00000, 0b00000, 0b00000, 0b11111, 0b00000, 0b00000, 0b00000}},
    {'+', {0b00000, 0b00100, 0b00100, 0b11111, 0b00100, 0b00100, 0b00000}},
    {'/', {0b00000, 0b00001, 0b00010, 0b00100, 0b01000, 0b10000, 0b00000}},
    {'(', {0b00010, 0b00100, 0b01000, 0b01000, 0b01000, 0b00100, 0b00010}},
    {')', {0b01000, 0b00100, 0b00010, 0b00010, 0b00010, 0b00100, 0b01000}},
    {'%', {0b11000, 0b11001, 0b00010, 0b00100, 0b01000, 0b10011, 0b00011}},
    {'=', {0b00000, 0b00000, 0b11111, 0b00000, 0b11111, 0b00000, 0b00000}},
    {'<', {0b00010, 0b00100, 0b01000, 0b10000, 0b01000, 0b00100, 0b00010}},
    {'>', {0b01000, 0b00100, 0b00010, 0b00001, 0b00010, 0b00100, 0b01000}},
    {'_', {0b00000, 0b00000, 0b00000, 0b00000, 0b00000, 0b00000, 0b11111}},
    {'\'', {0b01100, 0b00100, 0b01000, 0b00000, 0b00000, 0b00000, 0b00000}},
    {'?', {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0b00000, 0b00100}},
};

// A character the font lacks is drawn as '?'.
const uint8_t* glyph(char c) {
    const uint8_t* unknown = nullptr;
    for (const Glyph& g : kFont) {
        if (g.c == c) return g.rows;
        if (g.c == '?') unknown = g.rows;
    }
    return unknown;
}

constexpr int kGlyphAdvance = 6;  // five columns and a space

struct Canvas {
    int w, h;
    std::vector<uint8_t> px;
    Canvas(int width, int height) : w(width), h(height), px(size_t(width) * size_t(height) * 3, 255) {}
    void set(int x, int y, Rgb c) {
        if (x < 0 || y < 0 || x >= w || y >= h) return;
        uint8_t* p = &px[(size_t(y) * size_t(w) + size_t(x)) * 3];
        p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
    void hline(int x0, int x1, int y, Rgb c, bool dashed = false) {
        for (int x = x0; x <= x1; ++x)
            if (!dashed || (x / 4) % 2 == 0) set(x, y, c);
    }
    void vline(int x, int y0, int y1, Rgb c, bool dashed = false) {
        for (int y = y0; y <= y1; ++y)
            if (!dashed || (y / 4) % 2 == 0) set(x, y, c);
    }
    void line(int x0, int y0, int x1, int y1, Rgb c) {
        const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
        for (int s = 0; s <= steps; ++s) {
            const double t = steps ? double(s) / steps : 0.0;
            const int x = int(std::lround(x0 + t * (x1 - x0))), y = int(std::lround(y0 + t * (y1 - y0)));
            set(x, y, c);
            set(x, y + 1, c);
        }
    }
    // Text with its top left corner at (x, y), each font pixel `scale` pixels square.
    void text(int x, int y, const std::string& s, Rgb c, int scale = 1) {
        for (char ch : s) {
            const uint8_t* rows = glyph(ch);
            for (int r = 0; r < 7; ++r)
                for (int k = 0; k < 5; ++k)
                    if (rows[r] & (0x10 >> k))
                        for (int dy = 0; dy < scale; ++dy)
                            for (int dx = 0; dx < scale; ++dx)
                                set(x + k * scale + dx, y + r * scale + dy, c);
            x += kGlyphAdvance * scale;
        }
    }
    static int text_width(const std::string& s, int scale = 1) { return int(s.size()) * kGlyphAdvance * scale; }
};

std::string label(double v) {
    char buf[16];
    if (v == std::floor(v))
        std::snprintf(buf, sizeof buf, "%.0f", v);
    else
        std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

}  // namespace

bool plot_latency(const std::string& path, const std::vector<Panel>& panels, double goal_ms, std::string& error) {
    // Each panel: title, legend, the y axis' label, the plot, the x axis' ticks and label.
    constexpr int kWidth = 900, kPanel = 320, kLeft = 48, kRight = 24;
    constexpr int kTitleY = 8, kLegendY = 32, kYLabelY = 50, kPlotTop = 64, kPlotBottom = 40;
    if (panels.empty()) {
        error = "nothing to plot";
        return false;
    }
    Canvas canvas(kWidth, kPanel * int(panels.size()));
    for (size_t p = 0; p < panels.size(); ++p) {
        const Panel& panel = panels[p];
        const int top = int(p) * kPanel;
        const int y0 = top + kPlotTop, y1 = top + kPanel - kPlotBottom;
        const int x0 = kLeft, x1 = kWidth - kRight;
        if (p > 0) canvas.hline(0, kWidth - 1, top, kAxis);
        canvas.text(x0, top + kTitleY, panel.title, kText, 2);

        // Legend: a short stroke of each curve's colour and its name, then the goal's dashes.
        int lx = x0;
        for (size_t s = 0; s < panel.series.size(); ++s) {
            const Rgb c = kColours[s % 4];
            for (int t = 0; t < 3; ++t)
                canvas.hline(lx, lx + 18, top + kLegendY + 2 + t, c);
            canvas.text(lx + 24, top + kLegendY, panel.series[s].name, kText);
            lx += 24 + Canvas::text_width(panel.series[s].name) + 20;
        }
        if (goal_ms > 0) {
            canvas.hline(lx, lx + 18, top + kLegendY + 3, kGoal, true);
            canvas.text(lx + 24, top + kLegendY, "goal " + label(goal_ms) + " ms", kText);
        }
        canvas.text(4, top + kYLabelY, panel.y_label, kText);

        // The range shows every sample up to the slowest per mille, and the goal.
        double range = goal_ms;
        for (const Series& s : panel.series)
            range = std::max(range, percentile(s.ms, 0.999));
        range = range <= 0 ? 1.0 : range * 1.1;
        const double step = range <= 5 ? 0.5 : range <= 10 ? 1 : range <= 50 ? 5 : range <= 200 ? 20 : 100;
        for (double v = 0; v <= range; v += step) {
            const int x = x0 + int((x1 - x0) * (v / range));
            canvas.vline(x, y0, y1, kGrid);
            const std::string text = label(v);
            canvas.text(x - Canvas::text_width(text) / 2, y1 + 5, text, kAxis);
        }
        canvas.text((x0 + x1 - Canvas::text_width(panel.x_label)) / 2, y1 + 20, panel.x_label, kText);
        for (int k = 0; k <= 10; ++k) {
            const int y = y1 - (y1 - y0) * k / 10;
            canvas.hline(x0, x1, y, kGrid);
            if (k % 5 == 0) {
                const std::string text = std::to_string(k * 10) + "%";
                canvas.text(x0 - 6 - Canvas::text_width(text), y - 3, text, kAxis);
            }
        }
        canvas.hline(x0, x1, y1, kAxis);
        canvas.vline(x0, y0, y1, kAxis);
        if (goal_ms > 0) canvas.vline(x0 + int((x1 - x0) * (goal_ms / range)), y0, y1, kGoal, true);
        for (size_t s = 0; s < panel.series.size(); ++s) {
            std::vector<double> v = panel.series[s].ms;
            if (v.empty()) continue;
            std::sort(v.begin(), v.end());
            const Rgb c = kColours[s % 4];
            int px = x0, py = y1;
            for (size_t i = 0; i < v.size(); ++i) {
                const int x = x0 + int((x1 - x0) * std::min(1.0, v[i] / range));
                const int y = y1 - int(double(y1 - y0) * double(i + 1) / double(v.size()));
                canvas.line(px, py, x, y, c);
                px = x, py = y;
            }
        }
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = kWidth;
    image.height = png_uint_32(canvas.h);
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, canvas.px.data(), kWidth * 3, nullptr)) {
        error = "cannot write " + path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

}  // namespace bench
