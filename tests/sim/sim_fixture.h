// Test doubles for exercising the card alone: an interrupt line that records what the card did
// with it, and bus memory made of registered buffers. Plus a minimal bus-side I2C client that
// follows the command-word protocol, so tests can talk to receivers through the window.
#pragma once

#include "sim/card.h"
#include "sim/pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <vector>

namespace simtest {

class FakeLine : public host::InterruptLine {
public:
    explicit FakeLine(Mode mode) : mode_(mode) {}
    Mode mode() const override { return mode_; }
    void set_level(bool asserted) override {
        std::lock_guard<std::mutex> lk(mu_);
        level_ = asserted;
        levels_.push_back(asserted);
    }
    void signal_message() override {
        std::lock_guard<std::mutex> lk(mu_);
        ++messages_;
    }
    void inject_foreign() override {
        std::lock_guard<std::mutex> lk(mu_);
        ++foreign_;
    }
    bool wait_quiet(uint32_t) override { return true; }
    uint64_t calls() const override { return 0; }
    uint64_t claimed() const override { return 0; }

    bool level() const {
        std::lock_guard<std::mutex> lk(mu_);
        return level_;
    }
    uint32_t messages() const {
        std::lock_guard<std::mutex> lk(mu_);
        return messages_;
    }
    uint32_t foreign() const {
        std::lock_guard<std::mutex> lk(mu_);
        return foreign_;
    }
    std::vector<bool> levels() const {
        std::lock_guard<std::mutex> lk(mu_);
        return levels_;
    }

private:
    mutable std::mutex mu_;
    Mode mode_;
    bool level_ = false;
    uint32_t messages_ = 0, foreign_ = 0;
    std::vector<bool> levels_;
};

// Bus memory: only registered buffers accept DMA, like common buffers under the verifier.
class FakeBus {
public:
    uint64_t add(size_t bytes) {
        std::lock_guard<std::mutex> lk(mu_);
        uint64_t address = next_;
        next_ += (bytes + 0xFFFF) & ~uint64_t{0xFFFF};
        next_ += 0x10000;  // a gap, so a write past the end touches no buffer
        buffers_[address].assign(bytes, 0xEE);
        return address;
    }
    bool write(uint64_t address, const void* data, size_t length) {
        std::lock_guard<std::mutex> lk(mu_);
        auto it = buffers_.upper_bound(address);
        if (it == buffers_.begin()) return refuse();
        --it;
        uint64_t offset = address - it->first;
        if (offset > it->second.size() || length > it->second.size() - offset) return refuse();
        std::memcpy(it->second.data() + offset, data, length);
        ++writes_;
        return true;
    }
    std::vector<uint8_t> bytes(uint64_t address, size_t offset, size_t length) const {
        std::lock_guard<std::mutex> lk(mu_);
        const auto& b = buffers_.at(address);
        return std::vector<uint8_t>(b.begin() + offset, b.begin() + offset + length);
    }
    void fill(uint64_t address, uint8_t value) {
        std::lock_guard<std::mutex> lk(mu_);
        auto& b = buffers_.at(address);
        std::fill(b.begin(), b.end(), value);
    }
    uint32_t refused() const {
        std::lock_guard<std::mutex> lk(mu_);
        return refused_;
    }
    uint32_t writes() const {
        std::lock_guard<std::mutex> lk(mu_);
        return writes_;
    }

private:
    bool refuse() {
        ++refused_;
        return false;
    }
    mutable std::mutex mu_;
    uint64_t next_ = 0x10000000;
    std::map<uint64_t, std::vector<uint8_t>> buffers_;
    uint32_t refused_ = 0, writes_ = 0;
};

struct Rig {
    FakeBus bus;
    FakeLine* line = nullptr;
    std::unique_ptr<sim::Card> card;

    explicit Rig(sim::CardConfig config = manual_config()) {
        sim::Wiring w;
        w.make_line = [this](host::InterruptLine::Mode m) {
            auto l = std::make_unique<FakeLine>(m);
            line = l.get();
            return l;
        };
        w.dma_write = [this](uint64_t a, const void* d, size_t n) {
            if (on_dma) on_dma();
            return bus.write(a, d, n);
        };
        w.register_on_bus = false;
        card = std::make_unique<sim::Card>(config, std::move(w));
    }
    // Called at the start of every transfer, on the writing thread (a test holds a transfer on
    // the wire with it). Set it before the transfers it concerns begin.
    std::function<void()> on_dma;
    // A card on its own: a line nobody serves, DMA that goes nowhere.
    static sim::Wiring manual_wiring() {
        sim::Wiring w;
        w.make_line = [](host::InterruptLine::Mode m) { return std::make_unique<FakeLine>(m); };
        w.dma_write = [](uint64_t, const void*, size_t) { return false; };
        w.register_on_bus = false;
        return w;
    }
    // Fast-mode I2C at the usual read latency, whatever the environment asks of other cards: at
    // 400 kHz every chunk the protocol allows ends within a driver's 800 polls.
    static sim::CardConfig manual_config() {
        auto c = at_block_zero(sim::Card::default_config());
        c.pacing = sim::Pacing::Manual;
        c.i2c_khz = 400;
        c.bus_read_ns = 500;
        return c;
    }
    // The engines' register arithmetic is checked from a known start: block 0, buffer 0.
    static sim::CardConfig at_block_zero(sim::CardConfig c) {
        c.audio_start_block.fill(0u);
        c.video_start_buffer.fill(0u);
        return c;
    }
    sim::Card& operator*() { return *card; }
    sim::Card* operator->() { return card.get(); }

    // What an interrupt routine does: read the status and write it back.
    uint32_t acknowledge() {
        uint32_t s = card->read32(0xC000);
        card->write32(0xC000, s);
        return s;
    }
};

// Bus-side I2C client speaking the command-word protocol through the window.
struct I2cClient {
    sim::Card& card;
    uint32_t block;
    uint32_t max_polls = 800;

    explicit I2cClient(sim::Card& c, uint32_t input) : card(c), block(0x4000 + 0x1000 * input) {}

    bool wait_idle() {
        for (uint32_t i = 0; i < max_polls; ++i)
            if (card.read32(block) & 1) return true;
        return false;
    }
    static void chunking(uint32_t length, uint32_t k, uint32_t* r, uint32_t* q) {
        *r = length % k;
        *q = length / k;
        if (*r == 0) {
            *r = k;
            *q -= 1;
        }
    }
    bool read(uint8_t device, uint8_t sub, uint8_t* out, uint32_t length) {
        card.write32(block, 0x81u | (device & 0xFEu) << 8 | uint32_t{sub} << 16);
        if (!wait_idle()) return false;
        uint32_t r, q;
        chunking(length, 4, &r, &q);
        uint32_t control = 0x80 + r + (length < 5 ? 0x40 : 0);
        card.write32(block, control | (device | 1u) << 8 | uint32_t{sub} << 16);
        if (!wait_idle()) return false;
        uint32_t data = card.read32(block + 4);
        for (uint32_t i = 0; i < r; ++i)
            out[i] = static_cast<uint8_t>(data >> (8 * i));
        uint32_t p = r;
        for (uint32_t c = 0; c < q; ++c) {
            control = 0x04 + (p == length - 4 ? 0x40 : 0);
            card.write32(block, control | (device | 1u) << 8 | uint32_t{sub} << 16);
            if (!wait_idle()) return false;
            data = card.read32(block + 4);
            for (uint32_t i = 0; i < 4; ++i)
                out[p + i] = static_cast<uint8_t>(data >> (8 * i));
            p += 4;
        }
        return true;
    }
    bool write(uint8_t device, const std::vector<uint8_t>& bytes) {
        const uint32_t length = static_cast<uint32_t>(bytes.size());
        uint32_t r, q;
        chunking(length, 6, &r, &q);
        uint8_t c[8] = {};
        c[0] = static_cast<uint8_t>(0x80 + r + (length < 7 ? 0x40 : 0));
        c[1] = device & 0xFE;
        for (uint32_t i = 0; i < r; ++i)
            c[2 + i] = bytes[i];
        auto send = [&] {
            card.write32(block + 4, c[4] | c[5] << 8 | c[6] << 16 | uint32_t{c[7]} << 24);
            card.write32(block, c[0] | c[1] << 8 | c[2] << 16 | uint32_t{c[3]} << 24);
            return wait_idle();
        };
        if (!send()) return false;
        uint32_t p = r;
        for (uint32_t k = 0; k < q; ++k) {
            c[0] = static_cast<uint8_t>(0x06 + (p == length - 6 ? 0x40 : 0));
            for (uint32_t i = 0; i < 6; ++i)
                c[2 + i] = bytes[p + i];
            p += 6;
            if (!send()) return false;
        }
        return true;
    }
    uint8_t read1(uint8_t device, uint8_t sub) {
        uint8_t b = 0;
        read(device, sub, &b, 1);
        return b;
    }
};

inline constexpr uint32_t kVideoBase[4] = {0x9000, 0xB000, 0x9800, 0xB800};
inline constexpr uint32_t kAudioBase[4] = {0x8000, 0xA000, 0x8800, 0xA800};
inline constexpr size_t kVideoBuffer = 0x400000;

struct VideoRing {
    uint64_t buf[3];
};

inline VideoRing start_video(Rig& rig, uint32_t input, uint32_t unit_bytes) {
    VideoRing ring;
    for (auto& b : ring.buf)
        b = rig.bus.add(kVideoBuffer);
    const uint32_t v = kVideoBase[input];
    rig->read32(v);
    rig->write32(0xC01C + 8 * input, 1);
    rig->write32(v + 0x10, unit_bytes);
    rig->write32(v + 0x08, static_cast<uint32_t>(ring.buf[0] >> 32));
    rig->write32(v + 0x0C, static_cast<uint32_t>(ring.buf[0]));
    rig->write32(v + 0x3C, static_cast<uint32_t>(ring.buf[1]));
    rig->write32(v + 0x40, static_cast<uint32_t>(ring.buf[2]));
    rig->write32(v, 1);
    return ring;
}

inline void stop_video(Rig& rig, uint32_t input) {
    rig->read32(kVideoBase[input]);
    rig->write32(0xC01C + 8 * input, 0);
    rig->write32(kVideoBase[input], 0);
}

// An audio engine on a ring of its own: 16 blocks of 1,920 bytes.
inline uint64_t start_audio(Rig& rig, uint32_t input) {
    const uint64_t ring = rig.bus.add(30720);
    const uint32_t a = kAudioBase[input];
    rig->write32(a + 0x08, static_cast<uint32_t>(ring >> 32));
    rig->write32(a + 0x0C, static_cast<uint32_t>(ring));
    rig->write32(a + 0x04, 30720);
    rig->write32(a + 0x10, 1920);
    rig->read32(a);
    rig->write32(0xC018 + 8 * input, 1);
    rig->write32(a, 1);
    return ring;
}

// The receiver configuration as a driver brings it up: maps placed, then register settings.
inline const std::vector<std::array<uint8_t, 3>>& configuration_table() {
    static const std::vector<std::array<uint8_t, 3>> t = {
        {0x98, 0xF4, 0x80}, {0x98, 0xF5, 0x7C}, {0x98, 0xF8, 0x4C}, {0x98, 0xF9, 0x64}, {0x98, 0xFA, 0x6C},
        {0x98, 0xFB, 0x68}, {0x98, 0xFD, 0x44}, {0x98, 0x01, 0x06}, {0x98, 0x02, 0xF5}, {0x98, 0x03, 0x80},
        {0x98, 0x04, 0x60}, {0x98, 0x05, 0x2C}, {0x98, 0x06, 0xA4}, {0x98, 0x0B, 0x44}, {0x98, 0x0C, 0x42},
        {0x98, 0x14, 0x7F}, {0x98, 0x15, 0x80}, {0x98, 0x19, 0x83}, {0x98, 0x33, 0x40}, {0x44, 0xBA, 0x01},
        {0x64, 0x40, 0x81}, {0x68, 0x9B, 0x03}, {0x68, 0xC1, 0x01}, {0x68, 0xC2, 0x01}, {0x68, 0xC3, 0x01},
        {0x68, 0xC4, 0x01}, {0x68, 0xC5, 0x01}, {0x68, 0xC6, 0x01}, {0x68, 0xC7, 0x01}, {0x68, 0xC8, 0x01},
        {0x68, 0xC9, 0x01}, {0x68, 0xCA, 0x01}, {0x68, 0xCB, 0x01}, {0x68, 0xCC, 0x01}, {0x68, 0x00, 0x00},
        {0x68, 0x83, 0xFE}, {0x68, 0x6F, 0x0C}, {0x68, 0x85, 0x1F}, {0x68, 0x87, 0x70}, {0x68, 0x8D, 0x04},
        {0x68, 0x8E, 0x1E}, {0x68, 0x1A, 0x8A}, {0x68, 0x57, 0xDA}, {0x68, 0x58, 0x01}, {0x68, 0x03, 0x98},
        {0x68, 0x75, 0x10},
    };
    return t;
}

inline void bring_up(sim::Card& card, uint32_t input) {
    I2cClient i2c(card, input);
    ASSERT_TRUE(i2c.write(0x98, {0xFF, 0x80}));
    for (const auto& rec : configuration_table())
        ASSERT_TRUE(i2c.write(rec[0], {rec[1], rec[2]}));
    // The I2C causes of the bring-up, acknowledged as an interrupt routine would.
    card.write32(0xC000, card.read32(0xC000));
}

}  // namespace simtest
