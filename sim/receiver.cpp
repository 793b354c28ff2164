#include "sim/receiver.h"

#include "sim/card_registers.h"

#include <algorithm>
#include <cmath>

namespace sim {

using namespace regs;

namespace {

// IO-map registers that hold the 8-bit address of another map.
constexpr struct {
    uint8_t io_register;
    Map map;
} kPlacement[] = {
    {kRxPlaceCec, Map::CEC},   {kRxPlaceInfoFrame, Map::InfoFrame},
    {kRxPlaceDpll, Map::DPLL}, {kRxPlaceRepeater, Map::Repeater},
    {kRxPlaceEdid, Map::EDID}, {kRxPlaceHdmi, Map::HDMI},
    {kRxPlaceCp, Map::CP},
};

constexpr size_t idx(Map m) { return static_cast<size_t>(m); }

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
    for (auto& map : regs_)
        map.fill(0);
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
    if (!(rate > 1.0)) return kRxRateCodeMax;
    double v = std::floor(103662.0 / (rate - 1.0));
    return static_cast<uint32_t>(std::clamp(v, 1.0, static_cast<double>(kRxRateCodeMax)));
}

bool Receiver::locked(Clock::time_point now) const {
    if (absent_ || !configured_ || !source_.cable || source_.width == 0 || source_.height == 0) return false;
    auto since = std::max(source_since_, configured_since_);
    return now - since >= settle_;
}

uint8_t Receiver::map_address(Map map) const {
    if (map == Map::IO) return kRxIoAddress;
    for (const auto& p : kPlacement)
        if (p.map == map) return regs_[idx(Map::IO)][p.io_register] & kI2cAddressMask;
    return 0;
}

int Receiver::map_at(uint8_t address_byte) const {
    uint8_t a = address_byte & kI2cAddressMask;
    if (a == kRxIoAddress) return static_cast<int>(idx(Map::IO));
    for (const auto& p : kPlacement) {
        uint8_t placed = regs_[idx(Map::IO)][p.io_register] & kI2cAddressMask;
        if (placed != 0 && placed == a) return static_cast<int>(idx(p.map));
    }
    return -1;
}

bool Receiver::address(uint8_t address_byte) {
    if (absent_) return false;
    selected_ = map_at(address_byte);
    expect_pointer_ = (address_byte & kI2cReadBit) == 0;
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
    if (map == Map::IO && sub == kRxMainReset && (value & kRxMainResetBit)) {
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
        if (sub == kRxCableDetect) return source_.cable ? 0x01 : 0x00;
        if (sub == kRxIdHigh) return wrong_id_ ? kWrongId[0] : kId[0];
        if (sub == kRxIdLow) return wrong_id_ ? kWrongId[1] : kId[1];
        break;
    case Map::HDMI:
        switch (sub) {
        case kRxWidthHigh: return lock ? static_cast<uint8_t>(kRxWidthFlags | ((width >> 8) & kRxSizeHighMask)) : 0;
        case kRxWidthLow: return lock ? static_cast<uint8_t>(width & 0xFF) : 0;
        case kRxLinesHigh: return lock ? static_cast<uint8_t>(kRxLinesFlags | ((lines >> 8) & kRxSizeHighMask)) : 0;
        case kRxLinesLow: return lock ? static_cast<uint8_t>(lines & 0xFF) : 0;
        case kRxSecondFieldLinesHigh:
            if (!lock || !source_.interlaced) return 0;
            return static_cast<uint8_t>(kRxSecondFieldFlags | (((source_.height - lines) >> 8) & kRxSizeHighMask));
        case kRxSecondFieldLinesLow:
            return lock && source_.interlaced ? static_cast<uint8_t>((source_.height - lines) & 0xFF) : 0;
        case kRxChannelStatus:
            return lock ? static_cast<uint8_t>(kRxChannelStatusFlags | (source_.audio_code & kRxCodeMask))
                        : kRxCodeNotIndicated;
        default: break;
        }
        break;
    case Map::CP:
        if (sub == kRxRateHigh || sub == kRxRateLow) {
            if (!lock) return 0;
            uint32_t code = rate_code(source_.fps);
            return sub == kRxRateHigh ? static_cast<uint8_t>(kRxRateFlags | ((code >> 8) & kRxSizeHighMask))
                                      : static_cast<uint8_t>(code & 0xFF);
        }
        break;
    default: break;
    }
    return regs_[idx(map)][sub];
}

}  // namespace sim
