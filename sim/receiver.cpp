#include "sim/receiver.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

// IO-map registers that hold the 8-bit address of another map.
constexpr struct {
    uint8_t io_register;
    Map map;
} kPlacement[] = {
    {0xF4, Map::CEC}, {0xF5, Map::InfoFrame}, {0xF8, Map::DPLL}, {0xF9, Map::Repeater},
    {0xFA, Map::EDID}, {0xFB, Map::HDMI},     {0xFD, Map::CP},
};

constexpr size_t idx(Map m) { return static_cast<size_t>(m); }

// Upper bits of the size registers that are status flags, not size: a reader must mask them.
constexpr uint8_t kWidthFlags = 0xA0;
constexpr uint8_t kLinesFlags = 0xE0;
constexpr uint8_t kRateFlags = 0x80;
constexpr uint8_t kChannelStatusFlags = 0x20;
constexpr uint8_t kCodeNotIndicated = 0x01;

}  // namespace

const char* map_name(Map map) {
    switch (map) {
    case Map::IO: return "IO";
    case Map::CEC: return "CEC";
    case Map::InfoFrame: return "InfoFrame";
    case Map::DPLL: return "DPLL";
    case Map::Repeater: return "Repeater";
    case Map::EDID: return "EDID";
    case Map::HDMI: return "HDMI";
    case Map::CP: return "CP";
    case Map::Count: break;
    }
    return "?";
}

Receiver::Receiver() : source_since_(Clock::now()) {
    reset();
    reset_count_ = 0;
}

void Receiver::reset() {
    for (auto& map : regs_) map.fill(0);
    pointer_.fill(0);
    configured_ = false;
    selected_ = -1;
    expect_pointer_ = false;
    ++reset_count_;
}

void Receiver::set_source(const SourceConfig& source, Clock::time_point now) {
    // A source connected anew, even in the mode of the one before, makes the receiver lock anew.
    source_since_ = now;
    source_ = source;
}

uint32_t Receiver::rate_code(double rate) {
    if (!(rate > 1.0)) return 0x1FFF;
    double v = std::floor(103662.0 / (rate - 1.0));
    return static_cast<uint32_t>(std::clamp(v, 1.0, 8191.0));
}

bool Receiver::locked(Clock::time_point now) const {
    if (absent_ || !configured_ || !source_.cable || source_.width == 0 || source_.height == 0) return false;
    auto since = std::max(source_since_, configured_since_);
    return now - since >= settle_;
}

uint8_t Receiver::map_address(Map map) const {
    if (map == Map::IO) return kIoAddress;
    for (const auto& p : kPlacement)
        if (p.map == map) return regs_[idx(Map::IO)][p.io_register] & 0xFE;
    return 0;
}

int Receiver::map_at(uint8_t address_byte) const {
    uint8_t a = address_byte & 0xFE;
    if (a == kIoAddress) return static_cast<int>(idx(Map::IO));
    for (const auto& p : kPlacement) {
        uint8_t placed = regs_[idx(Map::IO)][p.io_register] & 0xFE;
        if (placed != 0 && placed == a) return static_cast<int>(idx(p.map));
    }
    return -1;
}

bool Receiver::address(uint8_t address_byte) {
    if (absent_) return false;
    selected_ = map_at(address_byte);
    expect_pointer_ = (address_byte & 1) == 0;
    return selected_ >= 0;
}

void Receiver::write(uint8_t byte) {
    if (selected_ < 0) return;
    if (expect_pointer_) {
        pointer_[selected_] = byte;
        expect_pointer_ = false;
        return;
    }
    Map map = static_cast<Map>(selected_);
    uint8_t sub = pointer_[selected_]++;
    store(map, sub, byte);
}

uint8_t Receiver::read() {
    if (selected_ < 0) return 0xFF;
    Map map = static_cast<Map>(selected_);
    uint8_t sub = pointer_[selected_]++;
    return register_value(map, sub, Clock::now());
}

void Receiver::stop() {
    selected_ = -1;
    expect_pointer_ = false;
}

void Receiver::store(Map map, uint8_t sub, uint8_t value) {
    if (writes_.size() < kMaxLoggedWrites) writes_.push_back({map, sub, value});
    if (map == Map::IO && sub == 0xFF && (value & 0x80)) {
        // Main reset: every map back to its default, nothing placed; the bus transaction ends.
        reset();
        return;
    }
    bool was_configured = configured_;
    regs_[idx(map)][sub] = value;
    configured_ = map_address(Map::HDMI) != 0 && map_address(Map::CP) != 0;
    if (configured_ && !was_configured) configured_since_ = Clock::now();
}

uint8_t Receiver::register_value(Map map, uint8_t sub, Clock::time_point now) const {
    const bool lock = locked(now);
    const uint32_t width = source_.width;
    const uint32_t lines = source_.unit_lines();
    switch (map) {
    case Map::IO:
        if (sub == 0x6F) return source_.cable ? 0x01 : 0x00;
        if (sub == 0xEA) return wrong_id_ ? kWrongId[0] : kId[0];
        if (sub == 0xEB) return wrong_id_ ? kWrongId[1] : kId[1];
        break;
    case Map::HDMI:
        switch (sub) {
        case 0x07: return lock ? static_cast<uint8_t>(kWidthFlags | ((width >> 8) & 0x1F)) : 0;
        case 0x08: return lock ? static_cast<uint8_t>(width & 0xFF) : 0;
        case 0x09: return lock ? static_cast<uint8_t>(kLinesFlags | ((lines >> 8) & 0x1F)) : 0;
        case 0x0A: return lock ? static_cast<uint8_t>(lines & 0xFF) : 0;
        case 0x0B:
            if (!lock || !source_.interlaced) return 0;
            return static_cast<uint8_t>(0x20 | (((source_.height - lines) >> 8) & 0x1F));
        case 0x0C: return lock && source_.interlaced ? static_cast<uint8_t>((source_.height - lines) & 0xFF) : 0;
        case 0x39:
            return lock ? static_cast<uint8_t>(kChannelStatusFlags | (source_.audio_code & 0x0F)) : kCodeNotIndicated;
        default: break;
        }
        break;
    case Map::CP:
        if (sub == 0xB8 || sub == 0xB9) {
            if (!lock) return 0;
            uint32_t code = rate_code(source_.fps);
            return sub == 0xB8 ? static_cast<uint8_t>(kRateFlags | ((code >> 8) & 0x1F)) : static_cast<uint8_t>(code & 0xFF);
        }
        break;
    default: break;
    }
    return regs_[idx(map)][sub];
}

}  // namespace sim
