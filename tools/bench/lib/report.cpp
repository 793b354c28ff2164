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

DriverCost driver_cost(const void* pin, const void* dpc, const void* interrupt, double interrupt_share) {
    using host::cost::Kind;
    DriverCost c;
    const host::cost::Figures p = host::cost::figures(Kind::Process, pin);
    const host::cost::Figures d = host::cost::figures(Kind::Dpc, dpc);
    const host::cost::Figures i = host::cost::figures(Kind::Interrupt, interrupt);
    c.process_ns = p.cpu_ns;
    c.max_process_ns = p.max_ns;
    c.frames = p.frames;
    c.bytes = p.bytes;
    c.dpc_ns = d.cpu_ns;
    c.max_dpc_ns = d.max_ns;
    c.process_calls = p.calls;
    c.dpc_calls = d.calls;
    c.interrupt_ns = static_cast<uint64_t>(double(i.cpu_ns) * interrupt_share);
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
    for (double v : values) number(nullptr, v);
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
constexpr Rgb kGrid{225, 225, 225}, kAxis{60, 60, 60}, kGoal{150, 0, 150};

// 3x5 glyphs for axis labels: digits, '.', 'm', 's', '%'.
const char* glyph(char c) {
    switch (c) {
        case '0': return "111101101101111";
        case '1': return "010110010010111";
        case '2': return "111001111100111";
        case '3': return "111001111001111";
        case '4': return "101101111001001";
        case '5': return "111100111001111";
        case '6': return "111100111101111";
        case '7': return "111001001001001";
        case '8': return "111101111101111";
        case '9': return "111101111001111";
        case '.': return "000000000000010";
        case 'm': return "000000111111101";
        case 's': return "000011010001110";
        case '%': return "101001010100101";
        default: return "000000000000000";
    }
}

struct Canvas {
    int w, h;
    std::vector<uint8_t> px;
    Canvas(int width, int height) : w(width), h(height), px(size_t(width) * size_t(height) * 3, 255) {}
    void set(int x, int y, Rgb c) {
        if (x < 0 || y < 0 || x >= w || y >= h) return;
        uint8_t* p = &px[(size_t(y) * size_t(w) + size_t(x)) * 3];
        p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
    void hline(int x0, int x1, int y, Rgb c) {
        for (int x = x0; x <= x1; ++x) set(x, y, c);
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
    void text(int x, int y, const std::string& s, Rgb c) {
        for (char ch : s) {
            const char* g = glyph(ch);
            for (int r = 0; r < 5; ++r)
                for (int k = 0; k < 3; ++k)
                    if (g[r * 3 + k] == '1') set(x + k, y + r, c);
            x += 4;
        }
    }
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
    constexpr int kWidth = 900, kPanel = 240, kLeft = 40, kRight = 20, kTop = 12, kBottom = 24;
    if (panels.empty()) {
        error = "nothing to plot";
        return false;
    }
    Canvas canvas(kWidth, kPanel * int(panels.size()));
    for (size_t p = 0; p < panels.size(); ++p) {
        const int y0 = int(p) * kPanel + kTop, y1 = int(p + 1) * kPanel - kBottom;
        const int x0 = kLeft, x1 = kWidth - kRight;
        // The range shows every sample up to the slowest percent, and the goal.
        double top = goal_ms;
        for (const Series& s : panels[p].series) top = std::max(top, percentile(s.ms, 0.999));
        top = top <= 0 ? 1.0 : top * 1.1;
        const double step = top <= 5 ? 0.5 : top <= 10 ? 1 : top <= 50 ? 5 : top <= 200 ? 20 : 100;
        for (double v = 0; v <= top; v += step) {
            const int x = x0 + int((x1 - x0) * (v / top));
            canvas.vline(x, y0, y1, kGrid);
            canvas.text(x - 4, y1 + 4, label(v), kAxis);
        }
        canvas.text(x1 - 8, y1 + 12, "ms", kAxis);
        for (int k = 0; k <= 10; ++k) {
            const int y = y1 - (y1 - y0) * k / 10;
            canvas.hline(x0, x1, y, kGrid);
            if (k % 5 == 0) canvas.text(4, y - 2, std::to_string(k * 10) + "%", kAxis);
        }
        canvas.hline(x0, x1, y1, kAxis);
        canvas.vline(x0, y0, y1, kAxis);
        if (goal_ms > 0) canvas.vline(x0 + int((x1 - x0) * (goal_ms / top)), y0, y1, kGoal, true);
        for (size_t s = 0; s < panels[p].series.size(); ++s) {
            std::vector<double> v = panels[p].series[s].ms;
            if (v.empty()) continue;
            std::sort(v.begin(), v.end());
            const Rgb c = kColours[s % 4];
            int px = x0, py = y1;
            for (size_t i = 0; i < v.size(); ++i) {
                const int x = x0 + int((x1 - x0) * std::min(1.0, v[i] / top));
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
